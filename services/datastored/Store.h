// Store.h - the committed entries of the data store, in one SQLite file (WAL journal,
// synchronous FULL: a commit that returned is on disk).
//
// Thread-safety: every member may be called from any thread at once. Reads use a pool of
// read connections and never wait for a commit in progress; commits are serialised on the
// one write connection.
#ifndef QMR_DATASTORED_STORE_H
#define QMR_DATASTORED_STORE_H

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Sqlite.h"

namespace qmr_datastored {

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

class Store {
 public:
  // Opens the database at `path`, creating it when it is missing. An existing file must pass
  // SQLite's integrity check and hold exactly the server's schema; it is never replaced. A
  // file that every user may write is refused, one that its group may write is logged. Throws
  // StoreError (kCannotOpen when the file cannot be opened, created or written; kDamaged when it is
  // not a sound database). busyTimeoutMs: how long a statement waits for a lock that another
  // process holds.
  Store(const std::string& path, int busyTimeoutMs);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  const std::string& path() const { return path_; }

  // A read connection taken from the pool for the lifetime of the object; give it back by
  // destroying it. Not thread-safe itself: one per thread.
  class Reader {
   public:
    explicit Reader(Store& store);
    ~Reader();
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;
    // The committed value of `key` that has not expired at `now` (ms): true and `*data`
    // filled, or false. Throws StoreError(kFailed) when SQLite fails.
    bool lookup(const std::string& key, int64_t now, std::string* data);

   private:
    struct Conn;
    Store& store_;
    std::unique_ptr<Conn> conn_;
    friend class Store;
  };

  // Applies `changes` in one transaction, and purges expired entries in it. On failure
  // nothing is applied and StoreError(kFailed) is thrown.
  void commit(const ChangeSet& changes);

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
  std::unique_ptr<Reader::Conn> takeReader();
  void giveBack(std::unique_ptr<Reader::Conn> conn);
  long purgeLocked(int64_t now);  // writeMutex_ held

  std::string path_;
  int busyTimeoutMs_;
  std::mutex writeMutex_;
  std::unique_ptr<Writer> writer_;  // guarded by writeMutex_
  std::mutex poolMutex_;
  std::vector<std::unique_ptr<Reader::Conn>> pool_;  // guarded by poolMutex_
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_STORE_H
