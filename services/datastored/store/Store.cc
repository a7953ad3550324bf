// Store.cc - the commit queue in front of the engine, and the engine's members serialised.
#include "store/Store.h"

#include <chrono>

#include "store/CommitQueue.h"
#include "qmr/util/Log.h"

namespace qmr_datastored {

int64_t nowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

Store::Store(std::shared_ptr<Engine> engine, std::shared_ptr<Reads> reads)
    : engine_(std::move(engine)), reads_(std::move(reads)) {
  auto write = [this](const std::vector<const ChangeSet*>& members, int64_t now,
                      std::vector<std::exception_ptr>* failures, std::vector<std::string>* purged) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    engine_->commitGroup(members, now, failures, purged);
  };
  queue_.reset(new CommitQueue(write, *reads_));
}

Store::~Store() {
  CommitStats s = queue_->stats();
  qmr_util::Log::primary()->info(
      "%llu commits written in %llu transactions (group commit; at most %llu in one)",
      static_cast<unsigned long long>(s.commits), static_cast<unsigned long long>(s.transactions),
      static_cast<unsigned long long>(s.largestGroup));
  queue_.reset();
  std::lock_guard<std::mutex> lock(writeMutex_);
  engine_.reset();
}

void Store::commit(const ChangeSet& changes) { queue_->commit(changes); }

CommitStats Store::commitCounts() const { return queue_->stats(); }

long Store::checkAndPurge() {
  std::shared_ptr<CheckRun> run;
  {
    std::unique_lock<std::mutex> lock(checkMutex_);
    if (check_) {
      run = check_;
      ++run->callers;
      checkDone_.wait(lock, [&] { return run->done; });
      if (run->error) std::rethrow_exception(run->error);
      return run->purged;
    }
    run = check_ = std::make_shared<CheckRun>();
  }
  auto started = std::chrono::steady_clock::now();
  try {
    // Not under writeMutex_: the engine checks on a connection of its own, and commits go on.
    engine_->check();
    // An empty commit: the purge goes through the queue and reaches the reads like any
    // commit's does.
    run->purged = static_cast<long>(queue_->commit(ChangeSet()));
  } catch (...) {
    run->error = std::current_exception();
  }
  int callers;
  {
    std::lock_guard<std::mutex> lock(checkMutex_);
    run->done = true;
    callers = run->callers;
    check_.reset();
  }
  checkDone_.notify_all();
  if (!run->error) {
    double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() -
                                                          started)
                    .count();
    qmr_util::Log::primary()->info(
        "checkDataFile: database %s passed the integrity check in %.0f ms; %ld expired "
        "entries purged (%d %s)",
        path().c_str(), ms, run->purged, callers,
        callers == 1 ? "call" : "calls waited for this check and share its result");
    return run->purged;
  }
  std::rethrow_exception(run->error);
}

std::string Store::durability() {
  std::lock_guard<std::mutex> lock(writeMutex_);
  return engine_->durability();
}

long Store::count() {
  std::lock_guard<std::mutex> lock(writeMutex_);
  return engine_->count();
}

}  // namespace qmr_datastored
