// DurabilityTest.cc - what reaches the database file: every commit that returned survives
// SIGKILL, also with a torn write-ahead-log tail (a power cut), and no transaction is torn;
// checkDataFile reports damage, and a commit that SQLite refuses stays pending. (Expiry and its
// purge are tested on both engines in SessionTest.cc.)
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <random>
#include <thread>

#include "DataStoreFixture.h"
#include "SqliteConnection.h"
#include "qmr/util/Lookup.h"

namespace qmr_test {
namespace {

using ClientCore::DataStoreSession_var;

using DurabilityTest = DataStoreTest;

TEST_F(DurabilityTest, KillsAndAPowerCutLoseNoReturnedCommitAndTearNoTransaction) {
  startServer();
  DataStoreSession_var uncommitted = newSession();
  uncommitted->set(entries({{"uncommitted", "x"}}));
  for (int round = 0; round < 3; ++round) {
    const bool powerCut = round == 2;
    SCOPED_TRACE(powerCut ? "SIGKILL and a torn log tail" : "SIGKILL");
    // Transaction n of this round: three keys, the last with a value of varying size.
    auto tx = [round](int n) {
      std::string t = "r" + std::to_string(round) + "t" + std::to_string(n);
      return std::vector<Put>{
          {t + "a", t}, {t + "b", t}, {t + "c", std::string(100 + n % 900, 'x')}};
    };
    std::atomic<int> returned{0};
    std::thread writer([&] {
      try {
        DataStoreSession_var s = newSession();
        for (int n = 0;; ++n) {
          s->set(entries(tx(n)));
          s->commit();
          returned = n + 1;
        }
      } catch (const CORBA::SystemException&) {
        // The server was killed mid-stream.
      }
    });
    bool enough = eventually([&] { return returned >= 20 * (round + 1); }, 30000);
    server_->kill9();
    writer.join();
    ASSERT_TRUE(enough) << "only " << returned << " commits returned before the kill";
    if (powerCut) {
      // A write in flight when the power went leaves a half-written frame at the log's end.
      std::string wal = server_->dbPath() + "-wal";
      ASSERT_TRUE(std::filesystem::exists(wal)) << "no write-ahead log: the cut tears nothing";
      std::mt19937 rng(1205);
      std::string torn(2000, '\0');
      for (char& c : torn) c = static_cast<char>(rng() & 0xff);
      std::ofstream(wal, std::ios::binary | std::ios::app) << torn;
    }
    server_->restart();
    connect();
    EXPECT_NO_THROW(store_->checkDataFile());
    DataStoreSession_var reader = newSession();
    for (int n = 0; n < returned + 3; ++n) {
      std::vector<Put> t = tx(n);
      Values v = read(reader, {t[0].key, t[1].key, t[2].key});
      int present = v[0].has_value() + v[1].has_value() + v[2].has_value();
      if (n < returned) {
        EXPECT_EQ(v, (Values{t[0].data, t[1].data, t[2].data})) << t[0].key << " returned";
      } else {  // the one in flight is all or nothing; none after it was sent
        EXPECT_TRUE(present == 0 || (present == 3 && n == returned)) << t[0].key << ": " << present;
      }
    }
  }
  EXPECT_THROW(read1(uncommitted, "uncommitted"), CORBA::SystemException)
      << "sessions do not outlive a restart";
  DataStoreSession_var fresh = newSession();
  EXPECT_EQ(read1(fresh, "uncommitted"), std::nullopt);
  CORBA::Object_var obj = qmr_util::raw_lookup(testName());
  EXPECT_TRUE(obj->_is_equivalent(store_.in())) << "the restarted server is bound by its name";
}

TEST_F(DurabilityTest, CheckDataFileReportsADamagedFile) {
  startServer();
  std::vector<Put> puts;
  for (int i = 0; i < 3000; ++i) puts.push_back({"key" + std::to_string(i), std::string(60, 'v')});
  commitAll(puts);
  {
    // Move everything from the journal into the file, then damage pages in its middle.
    SqliteConnection db(server_->dbPath());
    ASSERT_EQ(db.exec("PRAGMA wal_checkpoint(TRUNCATE)"), SQLITE_OK);
  }
  {
    std::fstream f(server_->dbPath(), std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(0, std::ios::end);
    std::streamoff size = f.tellp();
    ASSERT_GT(size, 8 * 4096);
    f.seekp(size / 2);
    f << std::string(8192, '\xa5');
  }
  EXPECT_THROW(store_->checkDataFile(), CORBA::PERSIST_STORE);
  EXPECT_TRUE(logHas("ERROR checkDataFile: database " + server_->dbPath() + " is damaged"));
}

TEST_F(DurabilityTest, FailedCommitRaisesPersistStoreAndKeepsPendingChanges) {
  startServer({"--busy-timeout", "100"});
  DataStoreSession_var s = newSession();
  s->set(entries({{"a", "1"}}));
  s->remove(strings({"gone"}));
  {
    // Another process holds the write lock, so the server's commit cannot begin.
    SqliteConnection blocker(server_->dbPath());
    ASSERT_EQ(blocker.exec("BEGIN IMMEDIATE"), SQLITE_OK);
    EXPECT_THROW(s->commit(), CORBA::PERSIST_STORE);
    EXPECT_EQ(read(s, {"a", "gone"}), (Values{"1", {}}));
    blocker.exec("ROLLBACK");
  }
  s->commit();
  DataStoreSession_var other = newSession();
  EXPECT_EQ(read1(other, "a"), Value("1"));
  EXPECT_TRUE(logHas("commit of 2 changes failed, they stay pending"));
}

}  // namespace
}  // namespace qmr_test
