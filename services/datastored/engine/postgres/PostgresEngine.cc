// PostgresEngine.cc - connections (start-up, pool, reconnection with a growing pause), reads
// straight from the table, group transactions, purge and the durability report.
#include "engine/postgres/PostgresEngine.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string_view>
#include <unordered_map>

#include "metrics/Counters.h"
#include "qmr/util/Log.h"

namespace qmr_datastored {
namespace {

qmr_util::Log* log() { return qmr_util::Log::primary(); }

constexpr auto kFirstPause = std::chrono::milliseconds(100);
constexpr auto kLongestPause = std::chrono::milliseconds(2000);

const char* const kCreate =
    "CREATE TABLE IF NOT EXISTS entries("
    "  key bytea PRIMARY KEY,"
    "  data bytea NOT NULL,"
    "  expires bigint NOT NULL"  // ms since the epoch; 0 = never
    ");"
    "CREATE INDEX IF NOT EXISTS entries_expires ON entries(expires) WHERE expires > 0";

struct Prepared {
  const char* name;
  const char* sql;
};
const Prepared kStatements[] = {
    {"get", "SELECT key, data, expires FROM entries WHERE key = ANY($1::bytea[])"},
    {"upsert",
     "INSERT INTO entries(key, data, expires) "
     "SELECT * FROM unnest($1::bytea[], $2::bytea[], $3::int8[]) "
     "ON CONFLICT (key) DO UPDATE SET data = excluded.data, expires = excluded.expires"},
    {"erase", "DELETE FROM entries WHERE key = ANY($1::bytea[])"},
    {"purge", "DELETE FROM entries WHERE expires > 0 AND expires <= $1::int8 RETURNING key"},
};

// Prepares the server's statements on `conn`; false with *error when one fails.
bool prepareStatements(PgConnection& conn, std::string* error) {
  for (const Prepared& p : kStatements) {
    PgResult r = conn.prepare(p.name, p.sql);
    if (!r.ok()) {
      *error = std::string("cannot prepare \"") + p.sql + "\": " + conn.why(r);
      return false;
    }
  }
  return true;
}

long long millis(std::chrono::steady_clock::duration d) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(d).count();
}

}  // namespace

PostgresEngine::PostgresEngine(const std::string& uri, int timeoutMs)
    : uri_(uri), name_(redactUri(uri)) {
  waits_.limit = std::chrono::milliseconds(timeoutMs);
  waits_.stopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (waits_.stopFd < 0) {
    throw StoreError(StoreError::kCannotOpen,
                     std::string("cannot create an event descriptor: ") + std::strerror(errno));
  }
  std::string error;
  writer_ = connectOnce(&error);
  if (!writer_) {
    throw StoreError(StoreError::kCannotOpen,
                     "cannot connect to database " + name_ + ": " + error +
                         ". qmr-datastored does not start without its database: start the "
                         "database server or correct --db");
  }
  std::string differences = postgresSchemaDifferences(*writer_, name_);
  if (!differences.empty()) {
    throw StoreError(StoreError::kDamaged,
                     "database " + name_ + " does not have the schema of qmr-datastored (" +
                         differences +
                         "); refusing to use it. Give --db a database or schema of its own "
                         "(options=-csearch_path%3DNAME in the URI), or remove what another "
                         "program added");
  }
  startupExec(kCreate,
              "cannot create the table entries (does the user have CREATE on the "
              "schema?)");
  PgResult rights = startupExec(
      "SELECT has_table_privilege(to_regclass('entries'), 'SELECT, INSERT, UPDATE, DELETE')",
      "cannot read the privileges on entries");
  if (rights.text(0, 0) != "t") {
    throw StoreError(StoreError::kCannotOpen,
                     "the user of database " + name_ +
                         " may not read and write the table entries; GRANT SELECT, INSERT, "
                         "UPDATE, DELETE ON entries to it");
  }
  if (!prepareStatements(*writer_, &error)) {
    throw StoreError(StoreError::kCannotOpen, "database " + name_ + ": " + error);
  }
  PgParams params;
  params.addInt8(nowMs());
  PgResult r = params.execPrepared(*writer_, "purge");
  if (!r.ok()) throw StoreError(StoreError::kCannotOpen, failure(*writer_, r, "purge").what());
  log()->info("database %s: %d expired entries purged at start-up; every get reads from it",
              name_.c_str(), r.rows());
  started_ = true;
}

PostgresEngine::~PostgresEngine() {
  // The connections go first: they watch the descriptor.
  writer_.reset();
  idle_.clear();
  ::close(waits_.stopFd);
}

void PostgresEngine::interrupt() {
  stopping_ = true;
  uint64_t one = 1;
  // Stays readable from now on: every wait in progress and to come ends at once.
  if (::write(waits_.stopFd, &one, sizeof one) != sizeof one) {
    log()->warning("cannot wake the calls waiting for database %s: %s", name_.c_str(),
                   std::strerror(errno));
  }
}

PgResult PostgresEngine::startupExec(const char* sql, const std::string& what) {
  PgResult r = writer_->exec(sql);
  if (!r.ok()) {
    throw StoreError(StoreError::kCannotOpen,
                     "database " + name_ + ": " + what + ": " + writer_->why(r));
  }
  return r;
}

std::unique_ptr<PgConnection> PostgresEngine::connectOnce(std::string* error) {
  const long long limitMs = static_cast<long long>(waits_.limit.count());
  // libpq counts whole seconds, at least 2, per host of the URI.
  std::string seconds = std::to_string(std::max(2LL, (limitMs + 999) / 1000));
  std::string keepIdle = std::to_string(std::max(1LL, limitMs / 2000));
  std::string userTimeout = std::to_string(limitMs);
  // A peer that vanishes (a host that died, a network that drops packets) is noticed by TCP
  // keepalives while idle and by tcp_user_timeout while data waits to be acknowledged. These
  // come before dbname, so that the URI's own parameters override them.
  const std::vector<std::string> keywords = {
      "connect_timeout", "keepalives", "keepalives_idle", "keepalives_interval",
      "keepalives_count", "tcp_user_timeout", "dbname", "fallback_application_name"};
  const std::vector<std::string> values = {seconds, "1", keepIdle, "1", "3",
                                           userTimeout, uri_, "qmr-datastored"};
  if (stopping_) {
    *error = "the server is stopping";
    return nullptr;
  }
  PGconn* raw = connectInterruptibly(keywords, values, waits_.stopFd, error);
  if (raw == nullptr) return nullptr;
  auto conn = std::make_unique<PgConnection>(raw, waits_);
  if (conn->broken()) {
    *error = conn->message();
    return nullptr;
  }
  PgResult state = conn->exec(
      "SELECT pg_is_in_recovery(), current_setting('synchronous_commit'), "
      "current_setting('server_version_num')::int");
  if (!state.ok()) {
    *error = conn->why(state);
    return nullptr;
  }
  // The server ends a statement that runs longer than --db-timeout itself (a lock held by
  // another client, a commit waiting for a synchronous standby), and from PostgreSQL 14 on
  // also one whose client has gone; the wait above ends on this side in any case.
  std::string limits = "SET statement_timeout = " + std::to_string(limitMs);
  if (std::stol(state.text(0, 2)) >= 140000) limits += "; SET client_connection_check_interval = 1000";
  PgResult set = conn->exec(limits.c_str());
  if (!set.ok()) {
    *error = "cannot limit the time of statements: " + conn->why(set);
    return nullptr;
  }
  if (state.text(0, 0) == "t") {
    *error =
        "the server is a standby (read-only); name the primary, or several hosts with "
        "target_session_attrs=read-write";
    return nullptr;
  }
  if (state.text(0, 1) == "off") {
    // A commit that returned must be on disk: never acknowledge one before it is.
    PgResult on = conn->exec("SET synchronous_commit TO on");
    if (!on.ok()) {
      *error = "cannot set synchronous_commit to on: " + conn->why(on);
      return nullptr;
    }
    log()->warning(
        "database %s has synchronous_commit off; this server sets it on for its own "
        "connections",
        name_.c_str());
  }
  // At start-up the statements are prepared once the table exists.
  if (started_ && !prepareStatements(*conn, error)) return nullptr;
  return conn;
}

std::unique_ptr<PgConnection> PostgresEngine::connect() {
  if (stopping_) {
    throw StoreError(StoreError::kUnavailable, "database " + name_ + ": the server is stopping");
  }
  {
    std::lock_guard<std::mutex> lock(connectMutex_);
    Clock::time_point now = Clock::now();
    if (pause_ != Clock::duration::zero() && now < nextAttempt_) {
      throw StoreError(StoreError::kUnavailable, "database " + name_ + " cannot be reached (" +
                                                     lastError_ + "); next attempt in " +
                                                     std::to_string(millis(nextAttempt_ - now)) +
                                                     " ms");
    }
  }
  std::string error;
  std::unique_ptr<PgConnection> conn = connectOnce(&error);
  std::lock_guard<std::mutex> lock(connectMutex_);
  if (conn) {
    if (pause_ != Clock::duration::zero()) {
      log()->info("database %s: connected again", name_.c_str());
    }
    if (lost_.exchange(false)) counters().databaseReconnects.add();
    pause_ = Clock::duration::zero();
    return conn;
  }
  pause_ = pause_ == Clock::duration::zero() ? Clock::duration(kFirstPause)
                                             : std::min<Clock::duration>(pause_ * 2, kLongestPause);
  nextAttempt_ = Clock::now() + pause_;
  lastError_ = error;
  lost_ = true;
  counters().databaseConnectFailures.add();
  log()->warning(
      "database %s cannot be reached: %s; calls fail with TRANSIENT, next attempt in "
      "%lld ms",
      name_.c_str(), error.c_str(), millis(pause_));
  throw StoreError(StoreError::kUnavailable,
                   "database " + name_ + " cannot be reached (" + error + ")");
}

PgConnection& PostgresEngine::writer() {
  if (writer_ && writer_->broken()) {
    lost_ = true;
    writer_.reset();
  }
  if (!writer_) writer_ = connect();
  return *writer_;
}

StoreError PostgresEngine::failure(const PgConnection& conn, const PgResult& result,
                                   const std::string& what) {
  std::string why = conn.why(result);
  if (conn.timedOut()) {
    return StoreError(StoreError::kUnavailable, "database " + name_ + ": " + what + ": " + why);
  }
  const char* state = PQresultErrorField(result.get(), PG_DIAG_SQLSTATE);
  if (state != nullptr && std::strcmp(state, "57014") == 0) {
    // query_canceled: statement_timeout, or someone cancelled it. Nothing changed; worth a
    // retry later.
    return StoreError(StoreError::kUnavailable,
                      "database " + name_ + ": " + what + ": not done within --db-timeout (" +
                          std::to_string(waits_.limit.count()) + " ms): " + why);
  }
  if (conn.broken()) {
    lost_ = true;
    return StoreError(StoreError::kUnavailable,
                      "database " + name_ + ": " + what + ": connection lost (" + why + ")");
  }
  return StoreError(StoreError::kFailed, "database " + name_ + ": " + what + ": " + why);
}

void PostgresEngine::lookup(size_t count, const KeyAt& keyAt, int64_t now, const Visit& visit) {
  PgParams params;
  params.addByteaArray(count, keyAt);
  PgResult result;
  std::unique_ptr<PgConnection> conn;
  // A pooled connection may have broken while idle (the database restarted, or failed over):
  // a get changes nothing, so it is tried once more on a new connection.
  for (int attempt = 0;; ++attempt) {
    {
      std::lock_guard<std::mutex> lock(poolMutex_);
      if (!idle_.empty()) {
        conn = std::move(idle_.back());
        idle_.pop_back();
      }
    }
    bool pooled = conn != nullptr;
    if (!conn) conn = connect();
    result = params.execPrepared(*conn, "get");
    if (result.ok()) break;
    StoreError error = failure(*conn, result, "get");
    bool timedOut = conn->timedOut();
    if (conn->broken()) {
      conn.reset();
      std::lock_guard<std::mutex> lock(poolMutex_);
      idle_.clear();  // they were opened to the same server: most likely broken as well
    } else {
      std::lock_guard<std::mutex> lock(poolMutex_);
      idle_.push_back(std::move(conn));
    }
    // A connection that broke while idle is worth one more try; one that timed out is not (the
    // database is most likely hung, and the call would wait twice as long).
    if (!pooled || attempt > 0 || timedOut || error.kind() != StoreError::kUnavailable) {
      throw error;
    }
  }
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    idle_.push_back(std::move(conn));
  }
  // Rows by key; each key of the request is answered from them, in request order.
  std::unordered_map<std::string_view, int> rows;
  rows.reserve(static_cast<size_t>(result.rows()));
  for (int r = 0; r < result.rows(); ++r) rows.emplace(result.value(r, 0), r);
  std::string value;
  for (size_t i = 0; i < count; ++i) {
    auto it = rows.find(keyAt(i));
    bool found = it != rows.end() && !expiredAt(result.int64(it->second, 2), now);
    if (found) {
      std::string_view data = result.value(it->second, 1);
      value.assign(data.data(), data.size());
    }
    if (!visit(i, found ? &value : nullptr)) return;
  }
}

void PostgresEngine::purge(int64_t now, std::vector<std::string>* keys) {
  PgParams params;
  params.addInt8(now);
  PgResult r = params.execPrepared(*writer_, "purge");
  if (!r.ok()) throw failure(*writer_, r, "purge of expired entries failed");
  for (int i = 0; i < r.rows() && keys != nullptr; ++i) keys->emplace_back(r.value(i, 0));
}

void PostgresEngine::run(const char* sql, const char* what) {
  PgResult r = writer_->exec(sql);
  if (!r.ok()) throw failure(*writer_, r, what);
}

void PostgresEngine::begin() {
  bool reused = writer_ && !writer_->broken();
  PgResult r = writer().exec("BEGIN");
  if (!r.ok() && reused && writer_->broken() && !writer_->timedOut()) {
    // The connection broke while idle; nothing was sent yet, so a new one may begin.
    lost_ = true;
    writer_.reset();
    r = writer().exec("BEGIN");
  }
  if (!r.ok()) throw failure(*writer_, r, "cannot begin a transaction");
}

void PostgresEngine::savepoint(Savepoint step) {
  switch (step) {
    case Savepoint::kOpen:
      run("SAVEPOINT member", "cannot open a savepoint");
      break;
    case Savepoint::kRollBack:
      run("ROLLBACK TO member", "cannot roll back a failed commit of the group");
      break;
    case Savepoint::kRelease:
      run("RELEASE member", "cannot release a savepoint");
      break;
  }
}

void PostgresEngine::write(const ChangeSet& changes, int64_t now) {
  // One statement for the values and one for the removals, whatever their number.
  std::vector<std::string_view> setKeys, data, removeKeys;
  std::vector<int64_t> expires;
  for (const auto& [key, change] : changes) {
    if (change.remove) {
      removeKeys.push_back(key);
    } else {
      setKeys.push_back(key);
      data.push_back(change.data);
      expires.push_back(expiresAt(change, now));
    }
  }
  if (!setKeys.empty()) {
    PgParams params;
    params.addByteaArray(setKeys);
    params.addByteaArray(data);
    params.addInt8Array(expires);
    PgResult r = params.execPrepared(*writer_, "upsert");
    if (!r.ok()) throw failure(*writer_, r, "write failed");
  }
  if (!removeKeys.empty()) {
    PgParams params;
    params.addByteaArray(removeKeys);
    PgResult r = params.execPrepared(*writer_, "erase");
    if (!r.ok()) throw failure(*writer_, r, "remove failed");
  }
}

void PostgresEngine::commit() {
  PgResult r = writer_->exec("COMMIT");
  if (r.ok() && std::strcmp(PQcmdStatus(r.get()), "COMMIT") == 0 && writer_->warnings().empty()) {
    return;
  }
  // The connection lost or given up while COMMIT was on its way, or a COMMIT that returned
  // with a warning (a wait for a synchronous standby cancelled after the local commit): the
  // transaction may or may not be applied, or applied but not where it should be. It is
  // reported as the database's failure, never as success nor as a call to retry.
  std::string why;
  if (r.ok() && !writer_->warnings().empty()) {
    why = "the database warned: " + writer_->warnings().front();
  } else if (writer_->broken()) {
    StoreError e = failure(*writer_, r, "COMMIT");
    why = e.what();
  } else {
    // Refused by the server (a deferred check, a serialization failure): rolled back.
    StoreError e = failure(*writer_, r, "commit failed");
    throw StoreError(StoreError::kFailed, e.what());
  }
  log()->error("database %s: commit outcome unknown (%s); reported as failed", name_.c_str(),
               why.c_str());
  throw StoreError(StoreError::kFailed,
                   "database " + name_ + ": commit outcome unknown: " + why +
                       "; the changes may or may not be stored");
}

void PostgresEngine::abandon() noexcept {
  if (!writer_) return;
  if (writer_->broken()) {
    writer_.reset();
    return;
  }
  PgResult rollback = writer_->exec("ROLLBACK");
  if (!rollback.ok()) writer_.reset();
}

void PostgresEngine::check() {
  // A connection of the lookup pool, not the writer's: commits go on meanwhile.
  std::unique_ptr<PgConnection> conn;
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    if (!idle_.empty()) {
      conn = std::move(idle_.back());
      idle_.pop_back();
    }
  }
  if (!conn) conn = connect();
  std::string differences;
  try {
    differences = postgresSchemaDifferences(*conn, name_);
  } catch (const StoreError&) {
    if (!conn->broken()) {
      std::lock_guard<std::mutex> lock(poolMutex_);
      idle_.push_back(std::move(conn));
    }
    throw;
  }
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    idle_.push_back(std::move(conn));
  }
  if (!differences.empty()) {
    throw StoreError(
        StoreError::kDamaged,
        "database " + name_ + " no longer has the schema of qmr-datastored: " + differences);
  }
}

std::string PostgresEngine::durability() {
  PgResult r = writer().exec(
      "SELECT current_setting('synchronous_commit'), current_setting('fsync'), "
      "current_setting('synchronous_standby_names')");
  if (!r.ok()) return "durability unknown: " + r.error();
  return "synchronous_commit " + r.text(0, 0) + ", fsync " + r.text(0, 1) +
         ", synchronous_standby_names '" + r.text(0, 2) +
         "' (commits are durable with synchronous_commit on and fsync on; with a standby named "
         "in synchronous_standby_names they also survive the loss of this database server)";
}

long PostgresEngine::count() {
  try {
    PgResult r = writer().exec("SELECT count(*) FROM entries");
    if (!r.ok()) return -1;
    return std::stol(r.text(0, 0));
  } catch (const StoreError&) {
    return -1;
  }
}

}  // namespace qmr_datastored
