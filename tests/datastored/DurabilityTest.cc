// DurabilityTest.cc - what reaches the database file: commits that survive SIGKILL, expired
// entries purged, damage found by checkDataFile, and a commit that SQLite refuses.
#include <sqlite3.h>

#include <fstream>

#include <atomic>
#include <chrono>
#include <thread>

#include "DataStoreFixture.h"
#include "qmr/util/Lookup.h"

namespace qmr_test {
namespace {

using ClientCore::DataStoreSession_var;

// A connection of the test's own to the server's database file.
class Db {
 public:
  explicit Db(const std::string& path) {
    EXPECT_EQ(sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
  }
  ~Db() { sqlite3_close(db_); }
  int exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr); }
  long count(const char* sql) {
    sqlite3_stmt* stmt = nullptr;
    long n = -1;
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW) {
      n = static_cast<long>(sqlite3_column_int64(stmt, 0));
    }
    sqlite3_finalize(stmt);
    return n;
  }

 private:
  sqlite3* db_ = nullptr;
};

using DurabilityTest = DataStoreTest;

TEST_F(DurabilityTest, CommitsSurviveSigkillAndRestart) {
  startServer();
  DataStoreSession_var s = newSession();
  for (int round = 0; round < 20; ++round) {
    s->set(entries({{"k" + std::to_string(round), "v" + std::to_string(round)}}));
    s->commit();
  }
  s->set(entries({{"uncommitted", "x"}}));
  server_->kill9();
  EXPECT_THROW(read1(s, "k0"), CORBA::SystemException);

  server_->restart();
  connect();
  EXPECT_THROW(read1(s, "k0"), CORBA::SystemException) << "sessions do not outlive a restart";
  DataStoreSession_var fresh = newSession();
  for (int round = 0; round < 20; ++round) {
    EXPECT_EQ(read1(fresh, "k" + std::to_string(round)), Value("v" + std::to_string(round)));
  }
  EXPECT_EQ(read1(fresh, "uncommitted"), std::nullopt);
  // The restarted server is found under the same name.
  CORBA::Object_var obj = qmr_util::raw_lookup(testName());
  EXPECT_TRUE(obj->_is_equivalent(store_.in()));
}

TEST_F(DurabilityTest, KillDuringAStreamOfCommitsLosesNoReturnedCommit) {
  startServer();
  std::atomic<int> returned{-1};  // the highest i whose commit returned
  std::thread writer([&] {
    try {
      DataStoreSession_var s = newSession();
      for (int i = 0;; ++i) {
        s->set(entries({{"stream" + std::to_string(i), std::string(200, 'a' + i % 26)}}));
        s->commit();
        returned = i;
      }
    } catch (const CORBA::SystemException&) {
      // The server went away mid-stream.
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  server_->kill9();
  writer.join();
  ASSERT_GT(returned.load(), 10) << "too few commits before the kill to prove anything";

  server_->restart();
  connect();
  store_->checkDataFile();
  DataStoreSession_var s = newSession();
  std::vector<std::string> keys;
  for (int i = 0; i <= returned; ++i) keys.push_back("stream" + std::to_string(i));
  std::vector<Value> values = read(s, keys);
  int missing = 0;
  for (int i = 0; i <= returned; ++i) {
    if (values[i] != Value(std::string(200, 'a' + i % 26))) ++missing;
  }
  EXPECT_EQ(missing, 0) << "of " << returned + 1 << " commits that returned";
}

TEST_F(DurabilityTest, CheckDataFilePurgesExpiredEntriesOfASoundFile) {
  startServer();
  commitAll({{"brief", "b", 1}, {"lasting", "l", 0}});
  Db db(server_->dbPath());
  EXPECT_EQ(db.count("SELECT count(*) FROM entries"), 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  store_->checkDataFile();
  EXPECT_EQ(db.count("SELECT count(*) FROM entries"), 1);
  EXPECT_EQ(db.count("SELECT count(*) FROM entries WHERE key = 'lasting'"), 1);
  EXPECT_NE(serverLog().find("passed the integrity check; 1 expired entries purged"),
            std::string::npos)
      << serverLog();
}

TEST_F(DurabilityTest, CheckDataFileReportsADamagedFile) {
  startServer();
  std::vector<Put> puts;
  for (int i = 0; i < 3000; ++i) puts.push_back({"key" + std::to_string(i), std::string(60, 'v')});
  commitAll(puts);
  {
    // Move everything from the journal into the file, then damage pages in its middle.
    Db db(server_->dbPath());
    ASSERT_EQ(db.exec("PRAGMA wal_checkpoint(TRUNCATE)"), SQLITE_OK);
  }
  {
    std::fstream f(server_->dbPath(), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(0, std::ios::end);
    std::streamoff size = f.tellp();
    ASSERT_GT(size, 8 * 4096);
    f.seekp(size / 2);
    std::string junk(8192, '\xa5');
    f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
  }
  EXPECT_THROW(store_->checkDataFile(), CORBA::PERSIST_STORE);
  std::string log = serverLog();
  EXPECT_NE(log.find("ERROR checkDataFile: database " + server_->dbPath() + " is damaged"),
            std::string::npos)
      << log;
}

TEST_F(DurabilityTest, FailedCommitRaisesPersistStoreAndKeepsPendingChanges) {
  startServer({"--busy-timeout", "100"});
  DataStoreSession_var s = newSession();
  s->set(entries({{"a", "1"}}));
  s->remove(strings({"gone"}));
  {
    // Another process holds the write lock, so the server's commit cannot begin.
    Db blocker(server_->dbPath());
    ASSERT_EQ(blocker.exec("BEGIN IMMEDIATE"), SQLITE_OK);
    EXPECT_THROW(s->commit(), CORBA::PERSIST_STORE);
    EXPECT_EQ(read(s, {"a", "gone"}), (std::vector<Value>{Value("1"), std::nullopt}));
    blocker.exec("ROLLBACK");
  }
  s->commit();
  DataStoreSession_var other = newSession();
  EXPECT_EQ(read1(other, "a"), Value("1"));
  EXPECT_NE(serverLog().find("commit of 2 changes failed, they stay pending"),
            std::string::npos)
      << serverLog();
}

}  // namespace
}  // namespace qmr_test
