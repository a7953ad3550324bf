// MemoryBudget.h - server-wide bounds on memory that clients make the server hold: bytes of
// pending changes of all sessions together, and bytes of the requests being served at once;
// and the return of freed memory to the system after large requests.
//
// Thread-safety: every member may be called from any thread.
#ifndef QMR_DATASTORED_MEMORYBUDGET_H
#define QMR_DATASTORED_MEMORYBUDGET_H

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace qmr_datastored {

// A number of bytes that takers reserve and give back; reserving past the limit fails.
class Budget {
 public:
  explicit Budget(long long limit) : limit_(limit) {}
  // Takes `bytes` (> 0) when they fit under the limit, with what others hold; false otherwise.
  bool reserve(long long bytes);
  void release(long long bytes) { used_ -= bytes; }
  long long used() const { return used_.load(); }
  long long limit() const { return limit_; }

 private:
  const long long limit_;
  std::atomic<long long> used_{0};
};

// The bytes of pending changes, held per client: a client may hold at most limit / (n + 1) of
// them, n being the clients that hold pending bytes (itself included), so that however much
// one client sets and never commits, room is left for the next one's small set.
class PendingBudget {
 public:
  enum Result { kTaken, kOverShare, kOverLimit };
  explicit PendingBudget(long long limit) : limit_(limit) {}
  // Takes `bytes` (> 0) for `client` when they fit under both the limit and the client's
  // share; otherwise takes nothing and says which one they exceed, with the share in *share.
  Result reserve(const std::string& client, long long bytes, long long* share);
  // Gives back bytes that `client` took.
  void release(const std::string& client, long long bytes);
  long long used() const;
  long long heldBy(const std::string& client) const;
  long long limit() const { return limit_; }

 private:
  const long long limit_;
  mutable std::mutex mutex_;
  long long used_ = 0;                     // guarded by mutex_
  std::map<std::string, long long> held_;  // clients holding > 0 bytes; guarded by mutex_
};

// Returns free heap memory to the system (malloc_trim) from a thread of its own, shortly after
// a large request has ended: the ORB frees a request's arguments only after the reply is
// sent, so trimming within the call would come too early.
class Trimmer {
 public:
  Trimmer();
  ~Trimmer();
  Trimmer(const Trimmer&) = delete;
  Trimmer& operator=(const Trimmer&) = delete;
  // Asks for a trim about 100 ms from now and another a second later (several requests
  // share them).
  void request();

 private:
  void loop();
  std::mutex mutex_;
  std::condition_variable wake_;
  bool due_ = false;       // guarded by mutex_
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};

// The bounds that all sessions share.
struct MemoryBounds {
  MemoryBounds(long long maxPendingBytes, long long maxRequestMemory)
      : pending(maxPendingBytes), requests(maxRequestMemory) {}
  PendingBudget pending;  // --max-pending-bytes: pending key and value bytes of all sessions
  Budget requests;        // --max-request-memory: estimated memory of the requests being served
  Trimmer trimmer;
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_MEMORYBUDGET_H
