// Store.h - the committed entries of the data store, in the database that --db names: an
// SQLite file (SqliteEngine) or a PostgreSQL database (PostgresEngine).
//
// With SQLite, reads are served from memory (index(), loaded from the file at start-up) and
// the file is only written. With PostgreSQL, several servers may share the database, so every
// read asks it (one round trip per get) and sees every commit that any of them acknowledged.
// Commits of concurrent sessions are grouped into one transaction (CommitQueue) either way.
//
// Thread-safety: every member may be called from any thread at once. Reads never wait for
// each other nor for a transaction being written; commits are serialised on the one write
// connection.
#ifndef QMR_DATASTORED_STORE_H
#define QMR_DATASTORED_STORE_H

#include <cstddef>
#include <cstdint>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "engine/Engine.h"

namespace qmr_datastored {

class CommitQueue;
class Index;

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
  // Opens the database that `db` names (isPostgresUri() tells which engine) and, for an
  // engine that serves reads from memory, loads its entries. Throws StoreError (see
  // SqliteEngine and PostgresEngine). busyTimeoutMs: how long SQLite waits for a lock that
  // another process holds; the connect timeout of PostgreSQL. maxMemoryBytes: the most memory
  // the committed entries may take in memory (0: no limit); a database that holds more is
  // refused with StoreError(kFull). Not used when reads go to the database. dbTimeoutMs: how
  // long any wait on a PostgreSQL database may last (connect, statement, commit).
  Store(const std::string& db, int busyTimeoutMs, size_t maxMemoryBytes, int dbTimeoutMs = 5000);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // The database for messages: the file path, or the URI without its password.
  const std::string& path() const { return engine_->name(); }

  // The committed entries in memory, for reads; null when reads go to the database. Owned by
  // the store.
  const Index* index() const { return index_.get(); }

  // Calls visit(i, value) for each key i < count (keyAt(i)) with its committed value that has
  // not expired at `now`, or null, all from one state of the store (between two commit
  // groups), until visit returns false. Throws StoreError when the database must be asked and
  // fails (kUnavailable: it cannot be reached now).
  void lookup(size_t count, const KeyAt& keyAt, int64_t now, const Visit& visit) const;

  // Applies `changes` durably (and to the index), in one transaction shared with commits of
  // other sessions that arrive meanwhile; expired entries are purged in it. On failure nothing
  // of `changes` is applied and StoreError is thrown: kFull when the entries would exceed the
  // memory limit, kUnavailable when the database cannot be reached, kFailed when it failed.
  void commit(const ChangeSet& changes);

  // For CommitQueue: the engine's commitGroup, serialised with the other writers.
  void commitGroup(const std::vector<const ChangeSet*>& members, int64_t now,
                   std::vector<std::exception_ptr>* failures, std::vector<std::string>* purged);

  // Commits and transactions so far, and what the commit queue does now.
  CommitStats commitCounts() const;

  // For tests: Engine::limitValueBytesForTest.
  void limitTextBytesForTest(int bytes);

  // Checks the database (Engine::check, on a connection of its own, so commits go on
  // meanwhile) and, when it passes, purges expired entries. One check runs at a time: callers
  // that come while one runs wait for it and share its result. Returns how many entries were
  // purged. Throws StoreError(kDamaged) with the problems found, or another StoreError.
  long checkAndPurge();

  // Ends the waits on the database in progress and to come (Engine::interrupt): the server is
  // stopping.
  void interrupt() { engine_->interrupt(); }

  // One line on how durable commits are (Engine::durability).
  std::string durability();

  // Committed entries, expired ones included (for logs).
  long count();

 private:
  // The outcome of one run of checkAndPurge, shared by the callers that wait for it.
  struct CheckRun {
    bool done = false;
    long purged = 0;
    std::exception_ptr error;
    int callers = 1;
  };

  std::mutex writeMutex_;  // serialises the engine's writing members
  std::mutex checkMutex_;
  std::condition_variable checkDone_;
  std::shared_ptr<CheckRun> check_;  // guarded by checkMutex_: the run in progress, if any
  std::unique_ptr<Engine> engine_;
  std::unique_ptr<Index> index_;  // null when reads go to the database
  std::unique_ptr<CommitQueue> queue_;
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_STORE_H
