// CommitQueue.h - group commit: commits of concurrent sessions that arrive while a transaction
// is being written share the next one (one database transaction, one fsync for the group).
//
// The first caller to find no group in progress leads: it takes every commit waiting, writes
// them in one transaction (each in a savepoint of its own, so a failing commit takes no other
// down with it), then publishes those that were written to the Reads and wakes its members.
// Every caller returns only once its commit is on disk and visible to reads; a commit that
// failed is never published.
//
// Thread-safety: commit() may be called from any thread at once.
#ifndef QMR_DATASTORED_COMMITQUEUE_H
#define QMR_DATASTORED_COMMITQUEUE_H

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "engine/Reads.h"

namespace qmr_datastored {

// What group commit has done: commits and transactions so far (grouping at work when there
// are fewer transactions than commits), and what the queue does now.
struct CommitStats {
  uint64_t commits = 0;       // commits that went through a transaction (failed ones too)
  uint64_t transactions = 0;  // transactions written, one fsync each
  uint64_t largestGroup = 0;  // most commits that shared one transaction
  size_t waiting = 0;         // commits queued behind the group being written
  bool writing = false;       // a group is being written
};

class CommitQueue {
 public:
  // Writes one group in one transaction, as Engine::commitGroup does.
  using Writer = std::function<void(const std::vector<const ChangeSet*>& members, int64_t now,
                                    std::vector<std::exception_ptr>* failures,
                                    std::vector<std::string>* purged)>;

  // `reads` (borrowed) admits each commit before it is written and receives what is written.
  CommitQueue(Writer write, Reads& reads);
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

  const Writer write_;
  Reads& reads_;
  mutable std::mutex mutex_;
  std::condition_variable finished_;
  std::vector<Request*> queue_;  // guarded by mutex_
  bool leading_ = false;         // guarded by mutex_: a group is being written
  CommitStats stats_;            // guarded by mutex_
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_COMMITQUEUE_H
