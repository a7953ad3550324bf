// MemoryBudget.h - server-wide bounds on memory that clients make the server hold: bytes of
// pending changes of all sessions together, and bytes of the requests being served at once;
// and the return of freed memory to the system after large requests.
//
// Thread-safety: every member may be called from any thread.
#ifndef QMR_DATASTORED_MEMORYBUDGET_H
#define QMR_DATASTORED_MEMORYBUDGET_H

#include <atomic>
#include <condition_variable>
#include <mutex>
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
  Budget pending;   // --max-pending-bytes: pending key and value bytes of all sessions
  Budget requests;  // --max-request-memory: estimated memory of the requests being served
  Trimmer trimmer;
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_MEMORYBUDGET_H
