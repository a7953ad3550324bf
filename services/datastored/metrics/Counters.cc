// Counters.cc - the process's counters, the histogram's buckets and the label names.
#include "metrics/Counters.h"

#include <stdexcept>

namespace qmr_datastored {

Histogram::Histogram(std::initializer_list<uint64_t> bounds) {
  if (bounds.size() > kMaxBounds) throw std::logic_error("Histogram: too many bounds");
  for (uint64_t b : bounds) {
    if (size_ > 0 && b <= bounds_[size_ - 1]) {
      throw std::logic_error("Histogram: bounds must increase");
    }
    bounds_[size_++] = b;
  }
}

void Histogram::observe(uint64_t value) {
  size_t i = 0;
  while (i < size_ && value > bounds_[i]) ++i;
  buckets_[i].fetch_add(1, std::memory_order_relaxed);
  sum_.fetch_add(value, std::memory_order_relaxed);
}

Histogram::Snapshot Histogram::snapshot() const {
  Snapshot s;
  s.bounds.assign(bounds_.begin(), bounds_.begin() + size_);
  uint64_t running = 0;
  for (size_t i = 0; i <= size_; ++i) {
    running += buckets_[i].load(std::memory_order_relaxed);
    s.cumulative.push_back(running);
  }
  s.count = running;
  s.sum = sum_.load(std::memory_order_relaxed);
  return s;
}

const char* refusalName(Refusal r) {
  switch (r) {
    case Refusal::kSessionsPerClient: return "sessions_per_client";
    case Refusal::kSessionsBusy: return "sessions_busy";
    case Refusal::kTransactionKeys: return "transaction_keys";
    case Refusal::kTransactionBytes: return "transaction_bytes";
    case Refusal::kPendingBytes: return "pending_bytes";
    case Refusal::kRequestMemory: return "request_memory";
    case Refusal::kKeyBytes: return "key_bytes";
    case Refusal::kValueBytes: return "value_bytes";
    case Refusal::kReplyBytes: return "reply_bytes";
    case Refusal::kMessageBytes: return "message_bytes";
    case Refusal::kNulString: return "nul_string";
    case Refusal::kMemoryFull: return "memory_full";
    case Refusal::kDatabaseUnavailable: return "database_unavailable";
    case Refusal::kDatabaseFailed: return "database_failed";
    case Refusal::kCount: break;
  }
  return "unknown";
}

const char* sessionEndName(SessionEnd e) {
  switch (e) {
    case SessionEnd::kByClient: return "client";
    case SessionEnd::kIdle: return "idle";
    case SessionEnd::kEvicted: return "evicted";
    case SessionEnd::kCount: break;
  }
  return "unknown";
}

// Commit latency from 0.25 ms to 10 s: a commit waits for one fsync at least (about a
// millisecond on a local disk), a group under load for a few.
Counters::Counters()
    : commitNanos({250000, 500000, 1000000, 2000000, 5000000, 10000000, 20000000, 50000000,
                   100000000, 200000000, 500000000, 1000000000, 2000000000, 5000000000,
                   10000000000}),
      groupSize({1, 2, 4, 8, 16, 32, 64, 128, 256}) {}

Counters& counters() {
  static Counters instance;
  return instance;
}

}  // namespace qmr_datastored
