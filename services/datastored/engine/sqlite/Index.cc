// Index.cc - the committed entries in memory: lookups with expiry, accounting, publication.
#include "engine/sqlite/Index.h"

#include <mutex>
#include <shared_mutex>

namespace qmr_datastored {
namespace {

// A std::string keeps up to 15 characters in itself; longer text takes a heap block of its
// capacity plus the NUL, with malloc's 8-byte header, in steps of 16.
size_t heapBytes(size_t size) { return size <= 15 ? 0 : (size + 1 + 8 + 15) & ~size_t(15); }

// The node of std::unordered_map<std::string, Entry>: next pointer, key (32), value (32 + 8),
// cached hash: 88 bytes, a 96-byte malloc block; and the bucket array, 8 to 16 bytes per entry
// as the map grows by doubling. With 1,000,000 entries of 11-byte keys and 16-byte values this
// accounts 144 bytes per entry; the server's resident size grew by 142.
constexpr size_t kNodeBytes = 96 + 16;

}  // namespace

size_t Index::entryBytes(size_t keySize, size_t dataSize) {
  return kNodeBytes + heapBytes(keySize) + heapBytes(dataSize);
}

RwLock::RwLock() {
  pthread_rwlockattr_t attr;
  pthread_rwlockattr_init(&attr);
  pthread_rwlockattr_setkind_np(&attr, PTHREAD_RWLOCK_PREFER_WRITER_NONRECURSIVE_NP);
  pthread_rwlock_init(&lock_, &attr);
  pthread_rwlockattr_destroy(&attr);
}

Index::Index(size_t maxBytes) : maxBytes_(maxBytes) {}

void Index::load(std::string key, std::string data, int64_t expires) {
  size_t add = entryBytes(key.size(), data.size());
  if (maxBytes_ != 0 && bytes_ + add > maxBytes_) {
    throw StoreError(StoreError::kFull, "the committed entries need more than --max-memory-bytes " +
                                            std::to_string(maxBytes_) + " bytes of memory (" +
                                            std::to_string(entries_.size()) +
                                            " entries loaded so far); raise --max-memory-bytes");
  }
  bytes_ += add;
  entries_.emplace(std::move(key), Entry{std::move(data), expires});
}

const std::string* Index::Snapshot::find(const std::string& key, int64_t now) const {
  auto it = index_.entries_.find(key);
  if (it == index_.entries_.end()) return nullptr;
  const Entry& e = it->second;
  if (e.expires > 0 && e.expires <= now) return nullptr;  // expired, not yet purged
  return &e.data;
}

long long Index::growth(const ChangeSet& changes) const {
  // Only the commit leader changes the map, and it is the caller: no lock needed to read.
  long long delta = 0;
  for (const auto& item : changes) {
    auto it = entries_.find(item.first);
    if (it != entries_.end()) {
      delta -= static_cast<long long>(entryBytes(item.first.size(), it->second.data.size()));
    }
    if (!item.second.remove) {
      delta += static_cast<long long>(entryBytes(item.first.size(), item.second.data.size()));
    }
  }
  return delta;
}

bool Index::admit(const ChangeSet& changes, long long* reserved, std::string* why) {
  // Only the commit leader changes the map, and it is the caller: no lock needed to read.
  long long more = growth(changes);
  if (maxBytes_ != 0 && more > 0 &&
      static_cast<long long>(bytes_) + *reserved + more > static_cast<long long>(maxBytes_)) {
    *why = "the committed entries would take " + std::to_string(bytes_ + *reserved + more) +
           " bytes of memory, over --max-memory-bytes " + std::to_string(maxBytes_) +
           "; remove entries or raise the limit";
    return false;
  }
  if (more > 0) *reserved += more;
  return true;
}

void Index::lookup(size_t count, const KeyAt& keyAt, int64_t now, const Visit& visit) {
  // The snapshot holds every key of the request to one state of the store, between two
  // commit groups.
  Snapshot snapshot(*this);
  std::string key;
  for (size_t i = 0; i < count; ++i) {
    std::string_view k = keyAt(i);
    key.assign(k.data(), k.size());
    if (!visit(i, snapshot.find(key, now))) return;
  }
}

void Index::erase(const std::string& key) {
  auto it = entries_.find(key);
  if (it == entries_.end()) return;
  bytes_ -= entryBytes(key.size(), it->second.data.size());
  entries_.erase(it);
}

void Index::publish(const std::vector<const ChangeSet*>& written, int64_t now,
                    const std::vector<std::string>& purged) {
  std::lock_guard<RwLock> lock(mutex_);
  for (const ChangeSet* changes : written) {
    for (const auto& [key, change] : *changes) {
      if (change.remove) {
        erase(key);
        continue;
      }
      auto it = entries_.find(key);
      if (it == entries_.end()) {
        bytes_ += entryBytes(key.size(), change.data.size());
        entries_.emplace(key, Entry{change.data, expiresAt(change, now)});
      } else {
        bytes_ += entryBytes(key.size(), change.data.size());
        bytes_ -= entryBytes(key.size(), it->second.data.size());
        it->second.data = change.data;
        it->second.expires = expiresAt(change, now);
      }
    }
  }
  for (const std::string& key : purged) erase(key);
}

size_t Index::size() const {
  std::shared_lock<RwLock> lock(mutex_);
  return entries_.size();
}

size_t Index::bytes() const {
  std::shared_lock<RwLock> lock(mutex_);
  return bytes_;
}

}  // namespace qmr_datastored
