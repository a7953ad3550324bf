// Session.cc - one client's pending changes, reads through them, and their commit.
#include "sessions/Session.h"

#include <omniORB4/callHandle.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "FaultPoint.h"
#include "metrics/Counters.h"
#include "orb/SessionStrings.h"
#include "orb/RequestReservation.h"
#include "qmr/util/Log.h"

namespace qmr_datastored {
namespace {

qmr_util::Log* log() { return qmr_util::Log::primary(); }

// Bytes a Value takes in a reply: boolean and padding, string length, text and NUL.
size_t replyBytes(size_t dataSize) { return 8 + dataSize + 1; }

// A CORBA string holding `text` up to its first NUL (what string_dup of c_str() gives), without
// measuring it again.
char* copyString(const std::string& text) {
  size_t size = text.find('\0');
  if (size == std::string::npos) size = text.size();
  char* copy = CORBA::string_alloc(static_cast<CORBA::ULong>(size));
  std::memcpy(copy, text.data(), size);
  copy[size] = '\0';
  return copy;
}

// Memory that the server holds per key of a request, besides the key's text: the string as
// unmarshalled (pointer and heap block), the server's own index of it, and for a get the
// reply's value. Rough, but proportional: a request of a million short keys is ~100 MB.
constexpr long long kPerKeyBytes = 96;
// Memory that one pending change holds beside its key and value: the map node, the key's and
// the value's string objects and heap blocks (measured: 10 million pending keys of 4 bytes in
// 1,024 sessions took 1.32 GB, about 130 bytes each).
constexpr long long kPendingKeyBytes = 128;
// A request that held this much is followed by a trim of the heap.
constexpr long long kTrimAfterBytes = 1 << 20;

// The memory of one request, reserved from --max-request-memory for the time it is served.
class Admission {
 public:
  // A large request reserved its estimate before it was read (RequestReservation.h): only
  // what comes on top of that is taken here.
  Admission(MemoryBounds& bounds, long long bytes, uint64_t id, const char* op, CORBA::ULong n)
      : bounds_(bounds),
        total_(bytes),
        bytes_(std::max(0LL, bytes - RequestReservation::current())) {
    if (bytes_ > 0 && !bounds_.requests.reserve(bytes_)) {
      log()->warning(
          "session %llu: %s of %u keys refused with NO_MEMORY: it takes about %lld bytes and "
          "the requests in progress hold %lld of --max-request-memory %lld; retry later, send "
          "fewer keys at a time, or raise the flag",
          static_cast<unsigned long long>(id), op, n, total_, bounds_.requests.used(),
          bounds_.requests.limit());
      counters().refused(Refusal::kRequestMemory);
      throw CORBA::NO_MEMORY(0, CORBA::COMPLETED_NO);
    }
  }
  ~Admission() {
    bounds_.requests.release(bytes_);
    if (total_ >= kTrimAfterBytes) bounds_.trimmer.request();
  }
  Admission(const Admission&) = delete;
  Admission& operator=(const Admission&) = delete;

 private:
  MemoryBounds& bounds_;
  const long long total_;  // the estimate of the request
  const long long bytes_;  // what this admission reserved of it
};

long long requestBytes(const ClientCore::StringList& keys) {
  long long bytes = 0;
  for (CORBA::ULong i = 0; i < keys.length(); ++i) {
    bytes += kPerKeyBytes + static_cast<long long>(std::strlen(keys[i].in()));
  }
  return bytes;
}

long long requestBytes(const ClientCore::DataStoreSession::EntryList& entries) {
  long long bytes = 0;
  for (CORBA::ULong i = 0; i < entries.length(); ++i) {
    bytes += 2 * kPerKeyBytes + static_cast<long long>(std::strlen(entries[i].key.in()) +
                                                       std::strlen(entries[i].data.in()));
  }
  return bytes;
}

}  // namespace

Session::Call::Call(Session& s, const char* op) : s_(s) {
  // Counted in flight before the check, so that the reaper, which skips sessions with a call
  // in flight, cannot end the session between this check and the work.
  ++s_.inFlight_;
  s_.lastActive_.store(Clock::now().time_since_epoch().count());
  if (s_.ended_.load()) {
    --s_.inFlight_;
    throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
  }
  QMR_FAULT_POINT(op);
}

void Session::checkOpen() const {
  // endSession may have ended the session after Call looked: the work must not go on.
  if (ended_.load()) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
}

Session::Call::~Call() {
  s_.lastActive_.store(Clock::now().time_since_epoch().count());
  --s_.inFlight_;
}

Session::Session(uint64_t id, std::string client, Store& store, const Limits& limits,
                 MemoryBounds& bounds)
    : id_(id),
      client_(std::move(client)),
      store_(store),
      limits_(limits),
      bounds_(bounds),
      lastActive_(Clock::now().time_since_epoch().count()) {}

CORBA::Boolean Session::_dispatch(omniCallHandle& handle) {
  // The estimate of each element of the first argument: a key, or an entry of a set.
  const char* op = handle.operation_name();
  long long perElement = std::strcmp(op, "set") == 0 ? 2 * kPerKeyBytes
                         : std::strcmp(op, "get") == 0 || std::strcmp(op, "remove") == 0
                             ? kPerKeyBytes
                             : 0;
  std::optional<RequestReservation> reservation;
  if (perElement > 0) reservation.emplace(handle, bounds_.requests, perElement, id_);
  SessionStrings strings(handle, id_);
  return POA_ClientCore::DataStoreSession::_dispatch(handle);
}

Session::~Session() { bounds_.pending.release(client_, pendingCharge_); }

size_t Session::end() {
  std::lock_guard<std::mutex> lock(mutex_);
  ended_.store(true);
  size_t discarded = pending_.size();
  dropPending();
  return discarded;
}

bool Session::idleSince(Clock::time_point cutoff) const {
  return inFlight_.load() == 0 && lastActive_.load() < cutoff.time_since_epoch().count();
}

double Session::idleSeconds() const {
  Clock::duration idle = Clock::now().time_since_epoch() - Clock::duration(lastActive_.load());
  return std::chrono::duration<double>(idle).count();
}

void Session::checkKey(const char* op, const char* key) const {
  size_t size = std::strlen(key);
  if (size > static_cast<size_t>(limits_.maxKeyBytes)) {
    log()->warning("session %llu: %s refused: a key of %zu bytes exceeds --max-key-bytes %ld",
                   static_cast<unsigned long long>(id_), op, size, limits_.maxKeyBytes);
    counters().refused(Refusal::kKeyBytes);
    throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
  }
}

void Session::checkRoomFor(const char* op, size_t newKeys, long long newBytes) {
  if (pending_.size() + newKeys > static_cast<size_t>(limits_.maxTransaction)) {
    log()->warning(
        "session %llu: %s refused: %zu keys pending and %zu new ones exceed "
        "--max-transaction %ld; commit or abort first",
        static_cast<unsigned long long>(id_), op, pending_.size(), newKeys, limits_.maxTransaction);
    counters().refused(Refusal::kTransactionKeys);
    throw ClientCore::DataStoreSession::TransactionSizeExceeded();
  }
  if (pendingBytes_ + newBytes > limits_.maxTransactionBytes) {
    log()->warning(
        "session %llu: %s refused: %lld bytes pending and %lld more exceed "
        "--max-transaction-bytes %ld; commit or abort first",
        static_cast<unsigned long long>(id_), op, pendingBytes_, newBytes,
        limits_.maxTransactionBytes);
    counters().refused(Refusal::kTransactionBytes);
    throw ClientCore::DataStoreSession::TransactionSizeExceeded();
  }
}

void Session::get(const ClientCore::StringList& keys,
                  ClientCore::DataStoreSession::ValueList_out values) {
  Call call(*this, "get");
  const CORBA::ULong n = keys.length();
  Admission admission(bounds_, requestBytes(keys), id_, "get", n);
  ClientCore::DataStoreSession::ValueList_var result =
      new ClientCore::DataStoreSession::ValueList(n);
  result->length(n);
  size_t bytes = 0;
  size_t found = 0;  // keys with a value
  std::string key;
  std::lock_guard<std::mutex> lock(mutex_);
  checkOpen();
  std::vector<CORBA::ULong> committed;  // indexes to answer from the store
  for (CORBA::ULong i = 0; i < n; ++i) {
    key.assign(keys[i].in());
    auto it = pending_.find(key);
    if (it == pending_.end()) {
      committed.push_back(i);
      continue;
    }
    ClientCore::DataStoreSession::Value& v = result[i];
    v.valid = !it->second.remove;
    found += v.valid;
    if (v.valid) v.data = it->second.data.c_str();
    bytes += replyBytes(v.valid ? it->second.data.size() : 0);
  }
  if (!committed.empty()) {
    auto keyAt = [&](size_t j) { return std::string_view(keys[committed[j]].in()); };
    auto visit = [&](size_t j, const std::string* value) {
      ClientCore::DataStoreSession::Value& v = result[committed[j]];
      v.valid = value != nullptr;
      found += v.valid;
      if (v.valid) v.data = copyString(*value);
      bytes += replyBytes(v.valid ? value->size() : 0);
      return bytes <= static_cast<size_t>(limits_.maxReplyBytes());
    };
    try {
      store_.lookup(committed.size(), keyAt, nowMs(), visit);
    } catch (const StoreError& e) {
      raiseStoreFailure("get", n, e);
    }
  }
  if (bytes > static_cast<size_t>(limits_.maxReplyBytes())) {
    log()->warning(
        "session %llu: get of %u keys refused: the reply would exceed the %ld bytes that "
        "--max-message-bytes %ld leaves for values; ask for fewer keys at a time",
        static_cast<unsigned long long>(id_), n, limits_.maxReplyBytes(), limits_.maxMessageBytes);
    counters().refused(Refusal::kReplyBytes);
    throw CORBA::IMP_LIMIT(0, CORBA::COMPLETED_NO);
  }
  if (log()->enabled(qmr_util::Log::kDebug)) {
    log()->debug("session %llu: get of %u keys, %zu from pending changes",
                 static_cast<unsigned long long>(id_), n, n - committed.size());
  }
  Counters& count = counters();
  count.gets.add();
  count.keysRead.add(n);
  count.keysFound.add(found);
  values = result._retn();
}

void Session::set(const ClientCore::DataStoreSession::EntryList& entries) {
  Call call(*this, "set");
  const CORBA::ULong n = entries.length();
  Admission admission(bounds_, requestBytes(entries), id_, "set", n);
  std::vector<Incoming> changes;
  changes.reserve(n);
  for (CORBA::ULong i = 0; i < n; ++i) {
    checkKey("set", entries[i].key.in());
    std::string_view data(entries[i].data.in());
    if (data.size() > static_cast<size_t>(limits_.maxValueBytes)) {
      log()->warning(
          "session %llu: set refused: the value of a key is %zu bytes, over "
          "--max-value-bytes %ld",
          static_cast<unsigned long long>(id_), data.size(), limits_.maxValueBytes);
      counters().refused(Refusal::kValueBytes);
      throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
    }
    changes.push_back({entries[i].key.in(), false, data, entries[i].expir});
  }
  apply("set", changes);
}

void Session::remove(const ClientCore::StringList& keys) {
  Call call(*this, "remove");
  const CORBA::ULong n = keys.length();
  Admission admission(bounds_, requestBytes(keys), id_, "remove", n);
  std::vector<Incoming> changes;
  changes.reserve(n);
  for (CORBA::ULong i = 0; i < n; ++i) {
    checkKey("remove", keys[i].in());
    changes.push_back({keys[i].in(), true, std::string_view(), 0});
  }
  apply("remove", changes);
}

void Session::apply(const char* op, const std::vector<Incoming>& changes) {
  std::lock_guard<std::mutex> lock(mutex_);
  checkOpen();
  // What the request would add: keys not pending yet, and bytes (the last change of a key
  // within the request is the one that stays).
  std::unordered_map<std::string_view, const Incoming*> last;
  for (const Incoming& c : changes) last[c.key] = &c;
  size_t fresh = 0;
  long long delta = 0;
  for (const auto& item : last) {
    auto it = pending_.find(item.first);
    if (it == pending_.end()) {
      ++fresh;
      delta += static_cast<long long>(item.first.size() + item.second->data.size());
    } else {
      delta += static_cast<long long>(item.second->data.size()) -
               static_cast<long long>(it->second.data.size());
    }
  }
  checkRoomFor(op, fresh, delta);
  // What the server holds for the changes beside their bytes counts against the bounds too:
  // a million pending keys of 4 bytes take over 100 MB, not 4.
  const long long charge = delta + kPendingKeyBytes * static_cast<long long>(fresh);
  if (charge > 0) {
    long long share = 0;
    PendingBudget::Result taken = bounds_.pending.reserve(client_, charge, &share);
    if (taken == PendingBudget::kOverLimit) {
      log()->warning(
          "session %llu: %s refused with NO_MEMORY: sessions hold %lld bytes of pending "
          "changes in all and %lld more exceed --max-pending-bytes %lld; commit or abort "
          "sooner, or raise the flag",
          static_cast<unsigned long long>(id_), op, bounds_.pending.used(), charge,
          bounds_.pending.limit());
      counters().refused(Refusal::kPendingBytes);
      throw CORBA::NO_MEMORY(0, CORBA::COMPLETED_NO);
    }
    if (taken == PendingBudget::kOverShare) {
      log()->warning(
          "session %llu: %s refused with NO_MEMORY: client %s holds %lld bytes of pending "
          "changes and %lld more exceed its share of --max-pending-bytes %lld (%lld, shared "
          "with the other clients holding pending changes); commit or abort sooner",
          static_cast<unsigned long long>(id_), op, client_.c_str(),
          bounds_.pending.heldBy(client_), charge, bounds_.pending.limit(), share);
      counters().refused(Refusal::kPendingBytes);
      throw CORBA::NO_MEMORY(0, CORBA::COMPLETED_NO);
    }
  }
  if (charge < 0) bounds_.pending.release(client_, -charge);
  for (const Incoming& c : changes) {
    auto it = pending_.find(c.key);
    if (it == pending_.end()) it = pending_.emplace(std::string(c.key), Change()).first;
    it->second.remove = c.remove;
    it->second.data.assign(c.data.data(), c.data.size());
    it->second.expir = c.expir;
  }
  pendingBytes_ += delta;
  pendingCharge_ += charge;
  if (log()->enabled(qmr_util::Log::kDebug)) {
    log()->debug("session %llu: %s of %zu keys, %zu pending", static_cast<unsigned long long>(id_),
                 op, changes.size(), pending_.size());
  }
}

void Session::commit() {
  Call call(*this, "commit");
  std::lock_guard<std::mutex> lock(mutex_);
  checkOpen();
  if (pending_.empty()) return;
  Clock::time_point started = Clock::now();
  try {
    store_.commit(pending_);
  } catch (const StoreError& e) {
    if (e.kind() == StoreError::kFull) {
      log()->warning("session %llu: commit of %zu changes refused, they stay pending: %s",
                     static_cast<unsigned long long>(id_), pending_.size(), e.what());
      counters().refused(Refusal::kMemoryFull);
      throw CORBA::NO_RESOURCES(0, CORBA::COMPLETED_NO);
    }
    raiseStoreFailure("commit", pending_.size(), e);
  }
  if (log()->enabled(qmr_util::Log::kDebug)) {
    log()->debug("session %llu: committed %zu changes", static_cast<unsigned long long>(id_),
                 pending_.size());
  }
  Counters& count = counters();
  count.commitNanos.observe(static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - started).count()));
  count.commits.add();
  count.changesCommitted.add(pending_.size());
  dropPending();
}

void Session::raiseStoreFailure(const char* op, size_t count, const StoreError& e) const {
  // Unreachable: the client may retry soon (TRANSIENT); anything else is the database's
  // failure (PERSIST_STORE). Changes of a failed commit stay pending either way.
  bool unreachable = e.kind() == StoreError::kUnavailable;
  log()->error("session %llu: %s of %zu %s failed%s (%s): %s", static_cast<unsigned long long>(id_),
               op, count, std::strcmp(op, "get") == 0 ? "keys" : "changes",
               std::strcmp(op, "commit") == 0 ? ", they stay pending" : "",
               unreachable ? "TRANSIENT" : "PERSIST_STORE", e.what());
  counters().refused(unreachable ? Refusal::kDatabaseUnavailable : Refusal::kDatabaseFailed);
  if (unreachable) throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
  throw CORBA::PERSIST_STORE(0, CORBA::COMPLETED_NO);
}

void Session::abort() {
  Call call(*this, "abort");
  std::lock_guard<std::mutex> lock(mutex_);
  checkOpen();
  if (log()->enabled(qmr_util::Log::kDebug)) {
    log()->debug("session %llu: aborted %zu changes", static_cast<unsigned long long>(id_),
                 pending_.size());
  }
  dropPending();
}

void Session::dropPending() {
  pending_.clear();
  bounds_.pending.release(client_, pendingCharge_);
  pendingBytes_ = 0;
  pendingCharge_ = 0;
}

}  // namespace qmr_datastored
