// Session.cc - one client's pending changes, reads through them, and their commit.
#include "Session.h"

#include <cstring>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "qmr/util/Log.h"

namespace qmr_datastored {
namespace {

qmr_util::Log* log() { return qmr_util::Log::primary(); }

// Bytes a Value takes in a reply: boolean and padding, string length, text and NUL.
size_t replyBytes(size_t dataSize) { return 8 + dataSize + 1; }

}  // namespace

Session::Call::Call(Session& s) : s_(s) {
  if (s_.ended_.load()) throw CORBA::OBJECT_NOT_EXIST(0, CORBA::COMPLETED_NO);
  ++s_.inFlight_;
  s_.lastActive_.store(Clock::now().time_since_epoch().count());
}

Session::Call::~Call() {
  s_.lastActive_.store(Clock::now().time_since_epoch().count());
  --s_.inFlight_;
}

Session::Session(uint64_t id, Store& store, const Limits& limits)
    : id_(id), store_(store), limits_(limits),
      lastActive_(Clock::now().time_since_epoch().count()) {}

Session::~Session() = default;

size_t Session::end() {
  std::lock_guard<std::mutex> lock(mutex_);
  ended_.store(true);
  size_t discarded = pending_.size();
  pending_.clear();
  return discarded;
}

bool Session::idleSince(Clock::time_point cutoff) const {
  return inFlight_.load() == 0 && lastActive_.load() < cutoff.time_since_epoch().count();
}

double Session::idleSeconds() const {
  Clock::duration idle =
      Clock::now().time_since_epoch() - Clock::duration(lastActive_.load());
  return std::chrono::duration<double>(idle).count();
}

void Session::checkKey(const char* op, const char* key) const {
  size_t size = std::strlen(key);
  if (size > static_cast<size_t>(limits_.maxKeyBytes)) {
    log()->warning("session %llu: %s refused: a key of %zu bytes exceeds --max-key-bytes %ld",
                   static_cast<unsigned long long>(id_), op, size, limits_.maxKeyBytes);
    throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
  }
}

void Session::checkRoomFor(const char* op, size_t newKeys) {
  if (pending_.size() + newKeys > static_cast<size_t>(limits_.maxTransaction)) {
    log()->warning(
        "session %llu: %s refused: %zu keys pending and %zu new ones exceed "
        "--max-transaction %ld; commit or abort first",
        static_cast<unsigned long long>(id_), op, pending_.size(), newKeys,
        limits_.maxTransaction);
    throw ClientCore::DataStoreSession::TransactionSizeExceeded();
  }
}

void Session::get(const ClientCore::StringList& keys,
                  ClientCore::DataStoreSession::ValueList_out values) {
  Call call(*this);
  const CORBA::ULong n = keys.length();
  ClientCore::DataStoreSession::ValueList_var result =
      new ClientCore::DataStoreSession::ValueList(n);
  result->length(n);
  size_t bytes = 0;
  std::string key;
  std::string data;
  std::lock_guard<std::mutex> lock(mutex_);
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
    if (v.valid) v.data = it->second.data.c_str();
    bytes += replyBytes(v.valid ? it->second.data.size() : 0);
  }
  if (!committed.empty()) {
    try {
      Store::Reader reader(store_);
      int64_t now = nowMs();
      for (CORBA::ULong i : committed) {
        key.assign(keys[i].in());
        ClientCore::DataStoreSession::Value& v = result[i];
        v.valid = reader.lookup(key, now, &data);
        if (v.valid) v.data = data.c_str();
        bytes += replyBytes(v.valid ? data.size() : 0);
        if (bytes > static_cast<size_t>(limits_.maxReplyBytes)) break;
      }
    } catch (const StoreError& e) {
      log()->error("session %llu: get of %u keys failed: %s",
                   static_cast<unsigned long long>(id_), n, e.what());
      throw CORBA::PERSIST_STORE(0, CORBA::COMPLETED_NO);
    }
  }
  if (bytes > static_cast<size_t>(limits_.maxReplyBytes)) {
    log()->warning(
        "session %llu: get of %u keys refused: the reply would exceed --max-message-bytes "
        "%ld; ask for fewer keys at a time",
        static_cast<unsigned long long>(id_), n, limits_.maxReplyBytes);
    throw CORBA::IMP_LIMIT(0, CORBA::COMPLETED_NO);
  }
  if (log()->enabled(qmr_util::Log::kDebug)) {
    log()->debug("session %llu: get of %u keys, %zu from pending changes",
                 static_cast<unsigned long long>(id_), n, n - committed.size());
  }
  values = result._retn();
}

void Session::set(const ClientCore::DataStoreSession::EntryList& entries) {
  Call call(*this);
  const CORBA::ULong n = entries.length();
  for (CORBA::ULong i = 0; i < n; ++i) {
    checkKey("set", entries[i].key.in());
    size_t size = std::strlen(entries[i].data.in());
    if (size > static_cast<size_t>(limits_.maxValueBytes)) {
      log()->warning(
          "session %llu: set refused: the value of a key is %zu bytes, over "
          "--max-value-bytes %ld",
          static_cast<unsigned long long>(id_), size, limits_.maxValueBytes);
      throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  std::unordered_set<std::string_view> fresh;
  for (CORBA::ULong i = 0; i < n; ++i) {
    std::string_view key(entries[i].key.in());
    if (pending_.count(key) == 0) fresh.insert(key);
  }
  checkRoomFor("set", fresh.size());
  for (CORBA::ULong i = 0; i < n; ++i) {
    Change& change = pending_[entries[i].key.in()];
    change.remove = false;
    change.data = entries[i].data.in();
    change.expir = entries[i].expir;
  }
  if (log()->enabled(qmr_util::Log::kDebug)) {
    log()->debug("session %llu: set of %u entries, %zu pending",
                 static_cast<unsigned long long>(id_), n, pending_.size());
  }
}

void Session::remove(const ClientCore::StringList& keys) {
  Call call(*this);
  const CORBA::ULong n = keys.length();
  for (CORBA::ULong i = 0; i < n; ++i) checkKey("remove", keys[i].in());
  std::lock_guard<std::mutex> lock(mutex_);
  std::unordered_set<std::string_view> fresh;
  for (CORBA::ULong i = 0; i < n; ++i) {
    std::string_view key(keys[i].in());
    if (pending_.count(key) == 0) fresh.insert(key);
  }
  checkRoomFor("remove", fresh.size());
  for (CORBA::ULong i = 0; i < n; ++i) {
    Change& change = pending_[keys[i].in()];
    change.remove = true;
    change.data.clear();
    change.expir = 0;
  }
  if (log()->enabled(qmr_util::Log::kDebug)) {
    log()->debug("session %llu: remove of %u keys, %zu pending",
                 static_cast<unsigned long long>(id_), n, pending_.size());
  }
}

void Session::commit() {
  Call call(*this);
  std::lock_guard<std::mutex> lock(mutex_);
  if (pending_.empty()) return;
  try {
    store_.commit(pending_);
  } catch (const StoreError& e) {
    log()->error("session %llu: commit of %zu changes failed, they stay pending: %s",
                 static_cast<unsigned long long>(id_), pending_.size(), e.what());
    throw CORBA::PERSIST_STORE(0, CORBA::COMPLETED_NO);
  }
  if (log()->enabled(qmr_util::Log::kDebug)) {
    log()->debug("session %llu: committed %zu changes", static_cast<unsigned long long>(id_),
                 pending_.size());
  }
  pending_.clear();
}

void Session::abort() {
  Call call(*this);
  std::lock_guard<std::mutex> lock(mutex_);
  if (log()->enabled(qmr_util::Log::kDebug)) {
    log()->debug("session %llu: aborted %zu changes", static_cast<unsigned long long>(id_),
                 pending_.size());
  }
  pending_.clear();
}

}  // namespace qmr_datastored
