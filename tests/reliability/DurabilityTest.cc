// DurabilityTest.cc - what qmr-datastored promises about its file: a commit that returned
// survives SIGKILL and a power cut (simulated: SIGKILL in a stream of commits plus a torn,
// half-written tail on the write-ahead log), transactions are all or nothing, and a damaged
// database file is refused at start-up, left as it was, never silently replaced.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "Harness.h"
#include "StoreClient.h"

namespace qmr_test {
namespace {

namespace fs = std::filesystem;

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeAt(const std::string& path, std::streamoff offset, const std::string& bytes) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(offset);
  f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

class DurabilityTest : public ::testing::Test {
 protected:
  void startServer() {
    DataStoreServer::Options options;
    options.name = std::string("Durability_") +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name();
    server_.start(dir_.path(), Stack::instance().naming(), options);
  }
  // Commits transactions of three keys (t<n>-a, t<n>-b, t<n>-c) until `stop`; returns how many
  // commits returned. Stops at the first exception (the server was killed).
  static int streamCommits(const DataStoreServer& server, std::atomic<bool>& stop) {
    int returned = 0;
    try {
      StoreClient client(server);
      for (int n = 0; !stop; ++n) {
        std::string t = "t" + std::to_string(n);
        client.set({{t + "-a", t}, {t + "-b", t}, {t + "-c", std::string(100 + n % 900, 'x')}});
        client.commit();
        returned = n + 1;
      }
    } catch (const CORBA::SystemException&) {
    }
    return returned;
  }
  // Reads back every transaction up to `upTo` + a few beyond: all returned ones complete, the
  // one in flight all or nothing, none later. Returns the number of complete transactions.
  static int verifyTransactions(const DataStoreServer& server, int returned) {
    StoreClient reader(server);
    int complete = 0;
    for (int n = 0; n < returned + 5; ++n) {
      std::string t = "t" + std::to_string(n);
      auto v = reader.get({t + "-a", t + "-b", t + "-c"});
      int present = v[0].has_value() + v[1].has_value() + v[2].has_value();
      EXPECT_TRUE(present == 0 || present == 3) << t << " is torn: " << present << " of 3 keys";
      if (n < returned) {
        EXPECT_EQ(3, present) << t << " returned from commit but is lost";
        if (present == 3) {
          EXPECT_EQ(std::optional<std::string>(t), v[0]);
        }
      } else if (n > returned) {
        EXPECT_EQ(0, present) << t << " was never sent but is present";
      }
      complete += present == 3;
    }
    return complete;
  }

  TempDir dir_{"qmr-durability"};
  DataStoreServer server_;
};

TEST_F(DurabilityTest, CommittedDataSurvivesSigkillAndUncommittedDoesNot) {
  startServer();
  {
    StoreClient client(server_);
    std::map<std::string, std::string> batch;
    for (int i = 0; i < 500; ++i) batch["k" + std::to_string(i)] = "v" + std::to_string(i);
    client.set(batch);
    client.commit();
    client.set({{"pending", "never committed"}});
    server_.kill9();
  }
  server_.restart();
  StoreClient reader(server_);
  EXPECT_NO_THROW(reader.store()->checkDataFile());
  for (int i = 0; i < 500; i += 7) {
    auto v = reader.get({"k" + std::to_string(i)});
    EXPECT_EQ(std::optional<std::string>("v" + std::to_string(i)), v.at(0));
  }
  EXPECT_FALSE(reader.get({"pending"}).at(0).has_value());
}

TEST_F(DurabilityTest, KillsDuringACommitStreamLoseNoReturnedCommit) {
  startServer();
  std::mt19937 rng(6);
  int total = 0;
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::atomic<bool> stop{false};
    int returned = 0;
    std::thread writer([&] { returned = streamCommits(server_, stop); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100 + rng() % 400));
    server_.kill9();
    stop = true;
    writer.join();
    server_.restart();
    EXPECT_GT(returned, 0);
    int complete = verifyTransactions(server_, returned);
    EXPECT_GE(complete, returned);
    total += returned;
    // Start the next round on a clean namespace of transaction names.
    StoreClient cleaner(server_);
    ClientCore::StringList keys;
    keys.length(static_cast<CORBA::ULong>(3 * (returned + 5)));
    CORBA::ULong i = 0;
    for (int n = 0; n < returned + 5; ++n) {
      for (const char* s : {"-a", "-b", "-c"}) {
        keys[i++] = CORBA::string_dup(("t" + std::to_string(n) + s).c_str());
      }
    }
    cleaner.session()->remove(keys);
    cleaner.commit();
  }
  RecordProperty("commits_verified", total);
}

TEST_F(DurabilityTest, PowerCutWithTornLogTailKeepsEveryReturnedCommit) {
  startServer();
  std::atomic<bool> stop{false};
  int returned = 0;
  std::thread writer([&] { returned = streamCommits(server_, stop); });
  std::this_thread::sleep_for(std::chrono::milliseconds(700));
  server_.kill9();
  stop = true;
  writer.join();
  ASSERT_GT(returned, 0);

  // A write in flight when the power went leaves a half-written frame at the log's end.
  std::string wal = server_.dbPath() + "-wal";
  std::mt19937 rng(1205);
  std::string torn(2000, '\0');
  for (char& c : torn) c = static_cast<char>(rng() & 0xff);
  ASSERT_TRUE(fs::exists(wal)) << "no write-ahead log after the kill; the cut tears nothing";
  std::ofstream(wal, std::ios::binary | std::ios::app).write(torn.data(), torn.size());

  server_.restart();
  StoreClient reader(server_);
  EXPECT_NO_THROW(reader.store()->checkDataFile());
  EXPECT_GE(verifyTransactions(server_, returned), returned);
  EXPECT_TRUE(ServesAFreshClient(server_));
}

// Each damage below must stop the server at start-up with a message naming the file and a
// non-zero exit, and the file must be left byte for byte as it was for the operator to look at.
TEST_F(DurabilityTest, DamagedDatabaseFileIsRefusedAtStartupAndLeftAsItWas) {
  startServer();
  {
    StoreClient client(server_);
    std::map<std::string, std::string> batch;
    for (int i = 0; i < 2000; ++i) batch["key" + std::to_string(i)] = std::string(200, 'a' + i % 26);
    client.set(batch);
    client.commit();
  }
  ASSERT_EQ(0, WEXITSTATUS(server_.stop()));  // clean stop: everything in the main file
  std::string db = server_.dbPath();
  const std::string pristine = readAll(db);
  ASSERT_GT(pristine.size(), 16384u);

  struct Damage {
    const char* what;
    std::function<void()> apply;
  };
  std::vector<Damage> damages = {
      {"a header that is not a database", [&] { writeAt(db, 0, "this is not an SQLite file!!"); }},
      {"a file torn at half its length",
       [&] { fs::resize_file(db, pristine.size() / 2 + 123); }},
      {"pages overwritten in the middle",
       [&] { writeAt(db, static_cast<std::streamoff>(pristine.size() / 2), std::string(8192, '\x5a')); }},
  };
  for (const Damage& d : damages) {
    SCOPED_TRACE(d.what);
    { std::ofstream(db, std::ios::binary | std::ios::trunc) << pristine; }
    fs::remove(db + "-wal");
    fs::remove(db + "-shm");
    d.apply();
    const std::string damaged = readAll(db);

    Process p;
    p.start({buildDir() + "/bin/qmr-datastored", "--db", db, "--name", "DamagedStore",
             "-ORBInitRef", Stack::instance().naming().initRef()},
            dir_.file("damaged.log"));
    int status = p.wait(15000);
    ASSERT_NE(-1, status) << "the server started on a damaged file:\n" << p.log();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) != 0) << p.log();
    EXPECT_NE(std::string::npos, p.log().find(db)) << "the message does not name the file:\n"
                                                    << p.log();
    EXPECT_TRUE(std::regex_search(p.log(), std::regex("corrupt|malformed|not a database|damaged|integrity",
                                                      std::regex::icase)))
        << p.log();
    EXPECT_EQ(damaged, readAll(db)) << "the damaged file was changed";
  }
}

}  // namespace
}  // namespace qmr_test
