// PostgresEngine.h - the committed entries in one PostgreSQL table, entries(key bytea, data
// bytea, expires bigint), shared by every qmr-datastored that names the same database.
//
// Every get asks the database (one round trip: SELECT ... WHERE key = ANY($1)), so a commit
// acknowledged by any front-end is seen at once by a get through any other. A commit group is
// one transaction (a savepoint per member). A connection that breaks is dropped; the next call
// connects again, at once the first time and then after a pause that doubles up to 2 s while
// the database stays unreachable; calls in between fail with StoreError(kUnavailable). With
// a multi-host URI and target_session_attrs=read-write that reconnection follows a promoted
// standby.
#ifndef QMR_DATASTORED_POSTGRESENGINE_H
#define QMR_DATASTORED_POSTGRESENGINE_H

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "engine/Reads.h"
#include "engine/postgres/Postgres.h"

namespace qmr_datastored {

// Both the engine that writes the table and the Reads that look keys up in it: nothing
// committed is kept in memory.
//
// Thread-safety: lookup() may run on any number of threads at once, each on a connection of
// its own from a pool; the writing members run on one thread at a time (Store serialises
// them).
class PostgresEngine : public Engine, public Reads {
 public:
  // Connects to `uri` (a libpq connection URI), creates the table when it is missing, checks
  // its schema (columns and types, primary key, no other index, trigger, rule or row security
  // on it) and purges expired entries. Throws StoreError: kCannotOpen when the database cannot
  // be reached or written (the server does not start without it), kDamaged when the table
  // differs from the server's. timeoutMs (--db-timeout): how long a connection attempt (per
  // host of the URI) or a statement may wait for the database; a statement that runs into it
  // fails with kUnavailable, and its connection is dropped.
  PostgresEngine(const std::string& uri, int timeoutMs);
  ~PostgresEngine() override;

  const std::string& name() const override { return name_; }
  // One round trip to the database, on a pooled connection.
  void lookup(size_t count, const KeyAt& keyAt, int64_t now, const Visit& visit) override;
  // Always true: the database holds the entries, within its own limits.
  bool admit(const ChangeSet&, long long*, std::string*) override { return true; }
  // Nothing to do: the group's COMMIT made it visible to every lookup.
  void publish(const std::vector<const ChangeSet*>&, int64_t,
               const std::vector<std::string>&) override {}
  // Checks the table's schema again.
  void check() override;
  // synchronous_commit, fsync and synchronous_standby_names, read back from the server.
  std::string durability() override;
  long count() override;
  void interrupt() override;

  void begin() override;
  void savepoint(Savepoint step) override;
  void write(const ChangeSet& changes, int64_t now) override;
  void purge(int64_t now, std::vector<std::string>* keys) override;
  void commit() override;
  void abandon() noexcept override;

 private:
  using Clock = std::chrono::steady_clock;
  // A new connection with the statements prepared, or StoreError(kUnavailable) while the
  // pause after a failed attempt lasts or when this attempt fails.
  std::unique_ptr<PgConnection> connect();
  std::unique_ptr<PgConnection> connectOnce(std::string* error);
  // The write connection, connected again if it broke.
  PgConnection& writer();
  // A failure of a statement on `conn`: kUnavailable when the connection broke (it is then
  // dropped by the caller), kFailed otherwise; the message names the database and `what`.
  StoreError failure(const PgConnection& conn, const PgResult& result, const std::string& what);
  // Runs `sql` on the write connection; throws failure(..., what).
  void run(const char* sql, const char* what);
  // Runs `sql` on the write connection for start-up; throws StoreError(kCannotOpen).
  PgResult startupExec(const char* sql, const std::string& what);

  const std::string uri_;
  const std::string name_;  // uri_ without its password
  PgWaits waits_;                    // --db-timeout, and the descriptor interrupt() signals
  std::atomic<bool> stopping_{false};  // set by interrupt()
  bool started_ = false;  // set at the end of the constructor: the table exists

  std::mutex connectMutex_;
  Clock::time_point nextAttempt_;  // guarded by connectMutex_
  Clock::duration pause_{};        // guarded by connectMutex_: 0 after a success
  std::string lastError_;          // guarded by connectMutex_
  // A connection was lost or could not be made: the next one made counts as a reconnect.
  std::atomic<bool> lost_{false};

  std::unique_ptr<PgConnection> writer_;  // used by the writing members only

  std::mutex poolMutex_;
  std::vector<std::unique_ptr<PgConnection>> idle_;  // guarded by poolMutex_: for lookups
};

// The differences between the table `entries` (as search_path finds it) and the server's, or
// "" when they are the same or it does not exist yet. Throws StoreError(kFailed) when the
// catalog cannot be read.
std::string postgresSchemaDifferences(PgConnection& conn, const std::string& name);

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_POSTGRESENGINE_H
