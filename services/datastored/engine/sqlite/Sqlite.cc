// Sqlite.cc - owning handles for SQLite connections and prepared statements.
#include "engine/sqlite/Sqlite.h"

namespace qmr_datastored {

Connection::Connection(const std::string& path, int flags, int busyTimeoutMs) {
  int rc = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
  if (rc != SQLITE_OK) {
    std::string why = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
    sqlite3_close(db_);
    db_ = nullptr;
    throw StoreError(StoreError::kCannotOpen,
                     "cannot open database " + path + ": " + why +
                         " (check that the folder exists and is writable)");
  }
  sqlite3_extended_result_codes(db_, 1);
  sqlite3_busy_timeout(db_, busyTimeoutMs);
}

Connection::~Connection() { sqlite3_close(db_); }

void Connection::exec(const char* sql, StoreError::Kind kind, const char* what) {
  char* err = nullptr;
  int rc = sqlite3_exec(db_, sql, nullptr, nullptr, &err);
  if (rc != SQLITE_OK) {
    std::string why = err != nullptr ? err : sqlite3_errstr(rc);
    sqlite3_free(err);
    throw StoreError(kind, std::string(what) + ": " + why);
  }
}

Statement::Statement(Connection& db, const char* sql) {
  int rc = sqlite3_prepare_v3(db.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt_, nullptr);
  if (rc != SQLITE_OK) {
    std::string why = db.message();
    sqlite3_finalize(stmt_);
    stmt_ = nullptr;
    throw StoreError(StoreError::kDamaged,
                     std::string("cannot prepare \"") + sql + "\": " + why +
                         " (is this a qmr-datastored database?)");
  }
}

}  // namespace qmr_datastored
