// Index.h - the committed entries of an SQLite file in memory: every get is answered from
// here, never from the file (the Reads of the SQLite engine). Loaded from the file at start-up
// (SqliteEngine::load) and changed only by the commit queue, after a group of commits is on
// disk.
//
// Thread-safety: readers hold a Snapshot (a shared lock), so reads never wait for each other;
// publish() takes the lock exclusively, so a reader sees all of a commit group or none of it.
// Only one thread may call publish() and the accounting members at a time (the commit leader).
#ifndef QMR_DATASTORED_INDEX_H
#define QMR_DATASTORED_INDEX_H

#include <pthread.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "engine/Engine.h"
#include "engine/Reads.h"

namespace qmr_datastored {

// A readers-writer lock that lets a waiting writer in before readers that arrive after it
// (pthread's writer-preferring kind). std::shared_mutex prefers readers on glibc: under a steady
// stream of gets a commit would wait for ever to publish.
class RwLock {
 public:
  RwLock();
  ~RwLock() { pthread_rwlock_destroy(&lock_); }
  RwLock(const RwLock&) = delete;
  RwLock& operator=(const RwLock&) = delete;
  void lock_shared() { pthread_rwlock_rdlock(&lock_); }
  void unlock_shared() { pthread_rwlock_unlock(&lock_); }
  void lock() { pthread_rwlock_wrlock(&lock_); }
  void unlock() { pthread_rwlock_unlock(&lock_); }

 private:
  pthread_rwlock_t lock_;
};

class Index : public Reads {
 public:
  // Accounted memory of one entry: the hash node (key and value objects, next pointer, cached
  // hash), its bucket slot and the heap blocks of a key or value too long for the string's own
  // buffer. Checked against the resident size of a server holding 1,000,000 entries.
  static size_t entryBytes(size_t keySize, size_t dataSize);

  // maxBytes: the most memory the entries may take (entryBytes summed); 0 = no limit.
  explicit Index(size_t maxBytes);
  Index(const Index&) = delete;
  Index& operator=(const Index&) = delete;

  // Adds one entry read from the database at start-up (before any reader exists). Throws
  // StoreError(kFull) when the entries exceed the limit, with a message naming the flag.
  void load(std::string key, std::string data, int64_t expires);
  // Makes room for `count` entries before loading them (start-up only).
  void reserve(size_t count) { entries_.reserve(count); }

  // A consistent view for one request; holds the shared lock until destroyed.
  class Snapshot {
   public:
    explicit Snapshot(const Index& index) : index_(index) { index_.mutex_.lock_shared(); }
    ~Snapshot() { index_.mutex_.unlock_shared(); }
    Snapshot(const Snapshot&) = delete;
    Snapshot& operator=(const Snapshot&) = delete;
    // The committed value of `key` that has not expired at `now` (ms since the epoch), or
    // null. Valid while the snapshot lives.
    const std::string* find(const std::string& key, int64_t now) const;

   private:
    const Index& index_;
  };

  // Reads: every key of one lookup from one Snapshot.
  void lookup(size_t count, const KeyAt& keyAt, int64_t now, const Visit& visit) override;
  // Refuses changes that would take the entries past maxBytes (kFull's message).
  bool admit(const ChangeSet& changes, long long* reserved, std::string* why) override;
  // Applies the changes of one commit group and drops the keys that the database purged as
  // expired, all under one exclusive lock.
  void publish(const std::vector<const ChangeSet*>& written, int64_t now,
               const std::vector<std::string>& purged) override;
  // How many bytes applying `changes` would add (negative when they free memory).
  long long growth(const ChangeSet& changes) const;

  size_t size() const;
  size_t bytes() const;  // accounted, as entryBytes summed
  size_t maxBytes() const { return maxBytes_; }

 private:
  struct Entry {
    std::string data;
    int64_t expires;  // ms since the epoch; 0 = never
  };
  using Map = std::unordered_map<std::string, Entry>;

  void erase(const std::string& key);  // mutex_ held exclusively

  const size_t maxBytes_;
  mutable RwLock mutex_;
  Map entries_;       // guarded by mutex_
  size_t bytes_ = 0;  // guarded by mutex_
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_INDEX_H
