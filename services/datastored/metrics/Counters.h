// Counters.h - what the server counts while it serves, for the metrics endpoint: sessions
// started and ended, gets and keys read, commits and their latency, commit group sizes,
// refusals by cause, database reconnects. Every room bumps these; the room uses no other.
//
// Counting is one relaxed atomic add (a histogram: a short scan of its bounds and two adds),
// so the request paths do not wait for each other or for a scrape. A scrape reads each
// counter on its own: two counters read in one scrape may be a few events apart.
//
// Thread-safety: every member may be called from any thread at once.
#ifndef QMR_DATASTORED_METRICS_COUNTERS_H
#define QMR_DATASTORED_METRICS_COUNTERS_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <vector>

namespace qmr_datastored {

// A count that only grows.
class Counter {
 public:
  void add(uint64_t n = 1) { value_.fetch_add(n, std::memory_order_relaxed); }
  uint64_t value() const { return value_.load(std::memory_order_relaxed); }

 private:
  std::atomic<uint64_t> value_{0};
};

// Observations sorted into buckets by fixed upper bounds, in whole units (nanoseconds,
// commits): the Prometheus histogram, without a lock.
class Histogram {
 public:
  static constexpr size_t kMaxBounds = 20;
  // `bounds`: increasing upper bounds (at most kMaxBounds); an observation above the last
  // falls into the +Inf bucket.
  explicit Histogram(std::initializer_list<uint64_t> bounds);
  Histogram(const Histogram&) = delete;
  Histogram& operator=(const Histogram&) = delete;

  void observe(uint64_t value);

  struct Snapshot {
    std::vector<uint64_t> bounds;      // as constructed
    std::vector<uint64_t> cumulative;  // observations <= bounds[i]; one more entry: all
    uint64_t count = 0;                // all observations (== cumulative.back())
    uint64_t sum = 0;                  // their sum
  };
  Snapshot snapshot() const;

 private:
  size_t size_ = 0;
  std::array<uint64_t, kMaxBounds> bounds_{};
  std::array<std::atomic<uint64_t>, kMaxBounds + 1> buckets_{};  // per bucket, not cumulative
  std::atomic<uint64_t> sum_{0};
};

// Why a request was refused: the label values of qmr_datastore_refusals_total.
enum class Refusal {
  kSessionsPerClient,    // startSession past --max-sessions-per-client
  kSessionsBusy,         // startSession with --max-sessions open, every one busy
  kTransactionKeys,      // set/remove past --max-transaction
  kTransactionBytes,     // set/remove past --max-transaction-bytes
  kPendingBytes,         // set/remove past --max-pending-bytes
  kRequestMemory,        // a request past --max-request-memory
  kKeyBytes,             // a key longer than --max-key-bytes
  kValueBytes,           // a value longer than --max-value-bytes
  kReplyBytes,           // a get whose reply would exceed --max-message-bytes
  kMessageBytes,         // a GIOP message the ORB refused (MARSHAL)
  kNulString,            // a string with a NUL byte inside
  kMemoryFull,           // a commit past --max-memory-bytes
  kDatabaseUnavailable,  // the database could not be reached (TRANSIENT)
  kDatabaseFailed,       // the database failed (PERSIST_STORE)
  kCount
};
// The label value of `r`, e.g. "transaction_keys".
const char* refusalName(Refusal r);

// Why a session ended: the label values of qmr_datastore_sessions_ended_total.
enum class SessionEnd { kByClient, kIdle, kEvicted, kCount };
const char* sessionEndName(SessionEnd e);

struct Counters {
  Counters();

  // Sessions.
  Counter sessionsStarted;
  std::array<Counter, static_cast<size_t>(SessionEnd::kCount)> sessionsEnded;
  void sessionEnded(SessionEnd e) { sessionsEnded[static_cast<size_t>(e)].add(); }

  // Reads: calls, keys asked for, keys that had a value. Together on one cache line: a get
  // bumps all three.
  alignas(64) Counter gets;
  Counter keysRead;
  Counter keysFound;

  // Commits that applied changes (successful, not empty), the changes in them, and the time
  // each took from the call to its return (queueing for the group, writing, fsync, publishing).
  alignas(64) Counter commits;
  Counter changesCommitted;
  Histogram commitNanos;
  // Commits per database transaction (one fsync each).
  Histogram groupSize;

  // Refusals.
  alignas(64) std::array<Counter, static_cast<size_t>(Refusal::kCount)> refusals;
  void refused(Refusal r) { refusals[static_cast<size_t>(r)].add(); }

  // The database: connections made again after it could not be reached, and attempts that
  // failed.
  Counter databaseReconnects;
  Counter databaseConnectFailures;
};

// The process's counters.
Counters& counters();

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_METRICS_COUNTERS_H
