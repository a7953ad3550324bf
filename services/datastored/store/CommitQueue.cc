// CommitQueue.cc - leader election for group commit, the admission of each member, and the
// publication of a written group to the reads.
#include "store/CommitQueue.h"

#include <algorithm>

#include "metrics/Counters.h"
#include "qmr/util/Log.h"

namespace qmr_datastored {

CommitQueue::CommitQueue(Writer write, Reads& reads) : write_(std::move(write)), reads_(reads) {}

size_t CommitQueue::commit(const ChangeSet& changes) {
  Request request;
  request.changes = &changes;
  std::unique_lock<std::mutex> lock(mutex_);
  queue_.push_back(&request);
  finished_.wait(lock, [&] { return request.done || !leading_; });
  if (!request.done) {
    // No group in progress: this caller writes every commit queued so far, its own included.
    leading_ = true;
    std::vector<Request*> group;
    group.swap(queue_);
    lock.unlock();
    runGroup(group);
    counters().groupSize.observe(group.size());
    lock.lock();
    for (Request* r : group) r->done = true;
    leading_ = false;
    stats_.commits += group.size();
    ++stats_.transactions;
    stats_.largestGroup = std::max<uint64_t>(stats_.largestGroup, group.size());
    finished_.notify_all();
  }
  if (request.error) std::rethrow_exception(request.error);
  return request.purged;
}

void CommitQueue::runGroup(const std::vector<Request*>& group) {
  // Members that would take the entries past the memory limit are refused before the
  // transaction; the bytes of earlier members of the group count against the later ones.
  std::vector<Request*> members;
  std::vector<const ChangeSet*> sets;
  long long reserved = 0;
  for (Request* r : group) {
    std::string why;
    if (!reads_.admit(*r->changes, &reserved, &why)) {
      r->error = std::make_exception_ptr(StoreError(StoreError::kFull, why));
      continue;
    }
    members.push_back(r);
    sets.push_back(r->changes);
  }
  if (members.empty()) return;
  int64_t now = nowMs();
  std::vector<std::exception_ptr> failures;
  std::vector<std::string> purged;
  try {
    write_(sets, now, &failures, &purged);
  } catch (...) {
    std::exception_ptr error = std::current_exception();
    for (Request* r : members) r->error = error;
    return;
  }
  std::vector<const ChangeSet*> written;
  size_t changes = 0;
  for (size_t i = 0; i < members.size(); ++i) {
    if (failures[i]) {
      members[i]->error = failures[i];
      continue;
    }
    written.push_back(members[i]->changes);
    changes += members[i]->changes->size();
  }
  reads_.publish(written, now, purged);
  for (Request* r : members) r->purged = purged.size();
  qmr_util::Log* log = qmr_util::Log::primary();
  if (log->enabled(qmr_util::Log::kDebug)) {
    log->debug("group commit: %zu commits in one transaction, %zu changes, %zu expired purged",
               members.size(), changes, purged.size());
  }
}

CommitStats CommitQueue::stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  CommitStats s = stats_;
  s.waiting = queue_.size();
  s.writing = leading_;
  return s;
}

}  // namespace qmr_datastored
