// Store.h - the committed entries of the data store as sessions see them: reads through the
// engine's Reads, commits through group commit (CommitQueue) into the Engine.
//
// With SQLite, reads are served from memory (the Index, loaded from the file at start-up) and
// the file is only written. With PostgreSQL, several servers may share the database, so every
// read asks it (one round trip per get) and sees every commit that any of them acknowledged.
// Which of the two the store has is the program's choice (OpenEngine.h).
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
#include "engine/Reads.h"
#include "store/CommitQueue.h"

namespace qmr_datastored {

class Store {
 public:
  // Writes through `engine` and reads through `reads` (the same object for PostgreSQL), both
  // opened and ready; the store keeps them until it is destroyed.
  Store(std::shared_ptr<Engine> engine, std::shared_ptr<Reads> reads);
  ~Store();
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;

  // The database for messages: the file path, or the URI without its password.
  const std::string& path() const { return engine_->name(); }

  // Calls visit(i, value) for each key i < count (keyAt(i)) with its committed value that has
  // not expired at `now`, or null, all from one state of the store (between two commit
  // groups), until visit returns false. Throws StoreError when the database must be asked and
  // fails (kUnavailable: it cannot be reached now).
  void lookup(size_t count, const KeyAt& keyAt, int64_t now, const Visit& visit) const {
    reads_->lookup(count, keyAt, now, visit);
  }

  // Applies `changes` durably (and to the index), in one transaction shared with commits of
  // other sessions that arrive meanwhile; expired entries are purged in it. On failure nothing
  // of `changes` is applied and StoreError is thrown: kFull when the entries would exceed the
  // memory limit, kUnavailable when the database cannot be reached, kFailed when it failed.
  void commit(const ChangeSet& changes);

  // Commits and transactions so far, and what the commit queue does now.
  CommitStats commitCounts() const;

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
  std::shared_ptr<Engine> engine_;
  std::shared_ptr<Reads> reads_;
  std::unique_ptr<CommitQueue> queue_;
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_STORE_H
