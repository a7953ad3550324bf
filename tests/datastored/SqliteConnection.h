// SqliteConnection.h - a test's own connection to a server's database file, as another
// process would hold one: to look at what reached the file, or to take its write lock.
#ifndef QMR_TEST_SQLITECONNECTION_H
#define QMR_TEST_SQLITECONNECTION_H

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

namespace qmr_test {

class SqliteConnection {
 public:
  explicit SqliteConnection(const std::string& path) {
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  }
  ~SqliteConnection() { sqlite3_close(db_); }
  SqliteConnection(const SqliteConnection&) = delete;
  SqliteConnection& operator=(const SqliteConnection&) = delete;

  int exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }
  // The number the query `sql` (a SELECT count(*) ...) gives, or -1 when it fails.
  long count(const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    long n = -1;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      n = static_cast<long>(sqlite3_column_int64(stmt, 0));
    }
    sqlite3_finalize(stmt);
    return n;
  }
  // Entries whose row matches `where`.
  long entries(const std::string& where) {
    return count("SELECT count(*) FROM entries WHERE " + where);
  }

 private:
  sqlite3* db_ = nullptr;
};

}  // namespace qmr_test

#endif  // QMR_TEST_SQLITECONNECTION_H
