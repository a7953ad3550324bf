// FaultyEngine.h - an Engine that runs another engine's steps and injects the failures a test
// needs where a real database cannot be made to fail on cue: a member of a group whose write
// fails after part of it reached the database, a transaction whose COMMIT fails, and a begin
// held until the test lets it go (so that commits queue up into one group).
#ifndef QMR_TESTS_FAULTYENGINE_H
#define QMR_TESTS_FAULTYENGINE_H

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/Engine.h"

namespace qmr_test {

class FaultyEngine : public qmr_datastored::Engine {
 public:
  using ChangeSet = qmr_datastored::ChangeSet;
  using StoreError = qmr_datastored::StoreError;

  explicit FaultyEngine(std::shared_ptr<qmr_datastored::Engine> inner)
      : inner_(std::move(inner)) {}

  // A later write of changes that hold `key` is written, then fails as a database that refuses
  // the value would (StoreError kFailed, "write failed: ...").
  void failWritesOf(const std::string& key) { poison_ = key; }
  // After `passing` more COMMITs, the next one fails (kFailed) instead of being sent.
  void failCommitAfter(int passing) { commitsToFail_ = passing; }
  // begin() waits until release(); writing() is true while one waits.
  void holdBegin() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = true;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    held_ = false;
    wake_.notify_all();
  }

  const std::string& name() const override { return inner_->name(); }
  void check() override { inner_->check(); }
  std::string durability() override { return inner_->durability(); }
  long count() override { return inner_->count(); }

  void begin() override {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [this] { return !held_; });
    lock.unlock();
    inner_->begin();
  }
  void savepoint(Savepoint step) override { inner_->savepoint(step); }
  void write(const ChangeSet& changes, int64_t now) override {
    inner_->write(changes, now);
    if (!poison_.empty() && changes.count(poison_) != 0) {
      throw StoreError(StoreError::kFailed, "write failed: " + poison_ + " refused (injected)");
    }
  }
  void purge(int64_t now, std::vector<std::string>* keys) override { inner_->purge(now, keys); }
  void commit() override {
    if (commitsToFail_ >= 0 && commitsToFail_-- == 0) {
      throw StoreError(StoreError::kFailed, "commit failed (injected)");
    }
    inner_->commit();
  }
  void abandon() noexcept override { inner_->abandon(); }

 private:
  std::shared_ptr<qmr_datastored::Engine> inner_;
  std::string poison_;
  int commitsToFail_ = -1;  // COMMITs to let pass before one fails; -1: none fails
  std::mutex mutex_;
  std::condition_variable wake_;
  bool held_ = false;
};

}  // namespace qmr_test

#endif  // QMR_TESTS_FAULTYENGINE_H
