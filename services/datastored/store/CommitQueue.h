// CommitQueue.h - group commit: commits of concurrent sessions that arrive while a transaction
// is being written share the next one (one database transaction, one fsync for the group).
//
// The first caller to find no group in progress leads: it takes every commit waiting, writes
// them in one transaction (each in a savepoint of its own, so a failing commit takes no other
// down with it), then publishes them to the in-memory index (when the store has one) under one
// exclusive lock and wakes its members. Every caller returns only once its commit is on disk
// and visible to reads.
//
// Thread-safety: commit() may be called from any thread at once.
#ifndef QMR_DATASTORED_COMMITQUEUE_H
#define QMR_DATASTORED_COMMITQUEUE_H

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <mutex>
#include <vector>

#include "store/Store.h"

namespace qmr_datastored {

class Index;

class CommitQueue {
 public:
  // `index` (borrowed; null when reads go to the database) receives what is written.
  CommitQueue(Store& store, Index* index);
  CommitQueue(const CommitQueue&) = delete;
  CommitQueue& operator=(const CommitQueue&) = delete;

  // Writes `changes` durably and publishes them, all or nothing. Throws StoreError: kFull when
  // the entries would exceed the memory limit, kFailed or kUnavailable when the database
  // failed (nothing applied).
  // Returns how many expired entries the group's transaction purged (an empty `changes` only
  // purges).
  size_t commit(const ChangeSet& changes);

  CommitStats stats() const;

 private:
  struct Request {
    const ChangeSet* changes = nullptr;
    bool done = false;
    std::exception_ptr error;
    size_t purged = 0;
  };
  // Writes and publishes one group; records each member's outcome; never throws.
  void runGroup(const std::vector<Request*>& group);

  Store& store_;
  Index* index_;
  mutable std::mutex mutex_;
  std::condition_variable finished_;
  std::vector<Request*> queue_;  // guarded by mutex_
  bool leading_ = false;         // guarded by mutex_: a group is being written
  CommitStats stats_;            // guarded by mutex_
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_COMMITQUEUE_H
