// Store.h - the committed entries of the data store, in one SQLite file (WAL journal,
// synchronous FULL: a commit that returned is on disk).
//
// Reads are served from memory (index(), loaded from the file at start-up); the file is only
// written. Commits of concurrent sessions are grouped into one transaction (CommitQueue).
//
// Thread-safety: every member may be called from any thread at once. Reads never wait for
// each other nor for a transaction being written; commits are serialised on the one write
// connection.
#ifndef QMR_DATASTORED_STORE_H
#define QMR_DATASTORED_STORE_H

#include <cstddef>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Sqlite.h"

namespace qmr_datastored {

class CommitQueue;
class Index;

// One pending change of a session: a value to store (with its lifetime in seconds from the
// commit; <= 0 never expires) or a removal.
struct Change {
  bool remove = false;
  std::string data;
  int32_t expir = 0;
};
// Pending changes by key; each key once, the last change wins.
using ChangeSet = std::map<std::string, Change, std::less<>>;

// Milliseconds since the epoch (wall clock: expiry times are stored and survive restarts).
int64_t nowMs();

// When a value stored by `change` at `now` expires (ms since the epoch; 0 never).
inline int64_t expiresAt(const Change& change, int64_t now) {
  return change.expir > 0 ? now + int64_t(change.expir) * 1000 : 0;
}

// What group commit has done: commits and transactions so far (grouping at work when there
// are fewer transactions than commits), and what the queue does now.
struct CommitStats {
  uint64_t commits = 0;       // commits that went through a transaction (failed ones too)
  uint64_t transactions = 0;  // transactions written, one fsync each
  uint64_t largestGroup = 0;  // most commits that shared one transaction
  size_t waiting = 0;         // commits queued behind the group being written
  bool writing = false;       // a group is being written
};

class Store {
 public:
  // Opens the database at `path`, creating it when it is missing. An existing file must pass
  // SQLite's integrity check and hold exactly the server's schema; it is never replaced. A
  // file that every user may write is refused, one that its group may write is logged. Throws
  // StoreError (kCannotOpen when the file cannot be opened, created or written; kDamaged when
  // it is not a sound database). busyTimeoutMs: how long a statement waits for a lock that
  // another process holds. maxMemoryBytes: the most memory the committed entries may take
  // (0: no limit); a file that holds more is refused with StoreError(kFull).
  Store(const std::string& path, int busyTimeoutMs, size_t maxMemoryBytes);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::string& path() const { return path_; }

  // The committed entries, for reads. Owned by the store.
  const Index& index() const { return *index_; }

  // Applies `changes` durably and to the index, in one transaction shared with commits of
  // other sessions that arrive meanwhile; expired entries are purged in it. On failure nothing
  // of `changes` is applied and StoreError is thrown: kFull when the entries would exceed the
  // memory limit, kFailed when SQLite failed.
  void commit(const ChangeSet& changes);

  // For CommitQueue: writes `members` in one transaction (each all or nothing, in a savepoint
  // of its own when there are several), values expiring relative to `now`, purges expired
  // entries and commits. (*failures)[i] receives member i's error, or null when it was
  // written; *purged the keys purged. Throws StoreError(kFailed) when the transaction as a
  // whole fails: then nothing is applied.
  void commitGroup(const std::vector<const ChangeSet*>& members, int64_t now,
                   std::vector<std::exception_ptr>* failures, std::vector<std::string>* purged);

  // Commits and transactions so far, and what the commit queue does now.
  CommitStats commitCounts() const;

  // For tests: makes SQLite refuse any text longer than `bytes` (SQLITE_TOOBIG) on the write
  // connection, a failure that hits only the member of a group that stores such a value.
  void limitTextBytesForTest(int bytes);

  // Runs SQLite's integrity check on the file and, when it passes, purges expired entries.
  // Returns how many were purged. Throws StoreError(kDamaged) with the first problems
  // reported, or StoreError(kFailed).
  long checkAndPurge();

  // The journal mode and synchronous level of the write connection, read back from it (they
  // are per connection, so no other connection could tell). Commits are durable when they
  // are "wal" and 2 (FULL). Empty / -1 when SQLite does not answer.
  struct Durability {
    std::string journalMode;
    int synchronous = -1;
  };
  Durability durability();

  // Committed entries, expired ones included (for logs).
  long count();

 private:
  struct Writer;
  // Deletes expired entries in the open transaction (or on its own); appends their keys to
  // *keys. Returns how many were purged.
  long purgeLocked(int64_t now, std::vector<std::string>* keys);  // writeMutex_ held
  void loadIndex();

  std::string path_;
  int busyTimeoutMs_;
  std::mutex writeMutex_;
  std::unique_ptr<Writer> writer_;  // guarded by writeMutex_
  std::unique_ptr<Index> index_;
  std::unique_ptr<CommitQueue> queue_;
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_STORE_H
