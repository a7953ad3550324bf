// Sqlite.h - owning handles for SQLite connections and prepared statements.
#ifndef QMR_DATASTORED_SQLITE_H
#define QMR_DATASTORED_SQLITE_H

#include <sqlite3.h>

#include <string>

#include "engine/StoreError.h"

namespace qmr_datastored {

// One connection, closed by the destructor. Not thread-safe: one user at a time.
class Connection {
 public:
  // Opens `path` with `flags` (SQLITE_OPEN_*), waiting up to busyTimeoutMs on a database
  // locked by another connection. Throws StoreError(kCannotOpen) when it fails.
  Connection(const std::string& path, int flags, int busyTimeoutMs);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  sqlite3* get() const { return db_; }
  // Runs SQL that returns no rows; throws StoreError(kind) with `what` and SQLite's message.
  void exec(const char* sql, StoreError::Kind kind, const char* what);
  // The last error text of this connection.
  std::string message() const { return sqlite3_errmsg(db_); }

 private:
  sqlite3* db_ = nullptr;
};

// A statement prepared once and reused for every request. Not thread-safe.
class Statement {
 public:
  Statement(Connection& db, const char* sql);
  ~Statement() { sqlite3_finalize(stmt_); }
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_ = nullptr;
};

// Resets a statement and clears its bindings when the scope ends, whatever happened.
class StatementUse {
 public:
  explicit StatementUse(Statement& s) : stmt_(s.get()) {}
  ~StatementUse() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
  }
  StatementUse(const StatementUse&) = delete;
  StatementUse& operator=(const StatementUse&) = delete;
  sqlite3_stmt* get() const { return stmt_; }

 private:
  sqlite3_stmt* stmt_;
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_SQLITE_H
