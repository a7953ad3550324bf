// ManagerStoreTest.cc - DataStoreManager against a real qmr-datastored: reads with found and
// missing keys, the client cache and its rules, transactions, and recovery after the server was
// killed and restarted.
#include <gtest/gtest.h>

#include "Harness.h"
#include "qmr/DataStoreManager.h"
#include "qmr/util/Log.h"

namespace qmr_test {
namespace {

using QMR_Client::DataStoreManager;
using Map = std::map<std::string, std::string>;
using Keys = std::set<std::string>;
using Lines = std::vector<std::string>;

class ManagerStoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir("qmr-manager");
    DataStoreServer::Options options;
    options.name = "ManagerStore";
    server_ = new DataStoreServer;
    server_->start(dir_->path(), Stack::instance().naming(), options);
  }
  static void TearDownTestSuite() {
    server_->stop();
    delete server_;
    delete dir_;
  }
  void SetUp() override {
    ASSERT_TRUE(DataStoreManager::init("ManagerStore"));
    m_ = DataStoreManager::instance();
    log_.clear();
  }
  void TearDown() override { DataStoreManager::uninit(); }

  // Writes and commits through a session of its own, as another client of the store would.
  static void writeElsewhere(const std::string& key, const char* data) {
    ClientCore::DataStore_var store = QMR_Client::lookup_object<ClientCore::DataStore>("ManagerStore");
    ClientCore::DataStoreSession_var session = store->startSession();
    ClientCore::StringList keys(1);
    keys.length(1);
    keys[0] = key.c_str();
    if (data == nullptr) {
      session->remove(keys);
    } else {
      ClientCore::DataStoreSession::EntryList entries(1);
      entries.length(1);
      entries[0].key = key.c_str();
      entries[0].data = data;
      entries[0].expir = 0;
      session->set(entries);
    }
    session->commit();
    store->endSession(session);
  }

  static TempDir* dir_;
  static DataStoreServer* server_;
  DataStoreManager* m_ = nullptr;
  qmr_util::CaptureLog log_;
  qmr_util::ScopedLog scoped_{&log_};
};

TempDir* ManagerStoreTest::dir_ = nullptr;
DataStoreServer* ManagerStoreTest::server_ = nullptr;

TEST_F(ManagerStoreTest, DefaultCachingFollowsEnableCaching) {
  ASSERT_TRUE(m_->set({{"d1", "v", 0}}) && m_->commit());
  Map results;
  Keys missing;
  ASSERT_TRUE(m_->get({"d1"}, results, missing));
  EXPECT_TRUE(m_->cache().empty());  // off since the library was loaded
  m_->enableCaching(true);
  ASSERT_TRUE(m_->get({"d1"}, results, missing));
  EXPECT_EQ((Map{{"d1", "v"}}), m_->cache());
  m_->clearCache();
  m_->enableCaching(false);
  ASSERT_TRUE(m_->get({"d1"}, results, missing));
  EXPECT_TRUE(m_->cache().empty());
}

TEST_F(ManagerStoreTest, ReadsSplitFoundAndMissingAndFeedTheCache) {
  const std::string bytes("\xc3\xa9t\xc3\xa9 \xff\x01", 8);  // UTF-8 and a stray byte
  ASSERT_TRUE(m_->set({{"a", "x", 0}, {"b", "", 0}, {bytes, bytes, 0}}));
  ASSERT_TRUE(m_->commit());

  Map results{{"stale", "1"}};
  Keys missing{"a"};  // not emptied by get
  ASSERT_TRUE(m_->get({"c", bytes, "b", "a"}, results, missing, false));
  EXPECT_EQ((Map{{"a", "x"}, {"b", ""}, {bytes, bytes}}), results);
  EXPECT_EQ((Keys{"a", "c"}), missing);
  EXPECT_TRUE(m_->cache().empty());

  ASSERT_TRUE(m_->get({"a", "b"}, results, missing, true));
  EXPECT_EQ((Map{{"a", "x"}, {"b", ""}}), m_->cache());

  // Another client removes a and changes b: a read shows it, b's entry is replaced, and a's old
  // entry survives because a key read as missing never touches the cache.
  writeElsewhere("a", nullptr);
  writeElsewhere("b", "y");
  missing.clear();
  ASSERT_TRUE(m_->get({"a", "b"}, results, missing, true));
  EXPECT_EQ((Map{{"b", "y"}}), results);
  EXPECT_EQ(Keys{"a"}, missing);
  EXPECT_EQ((Map{{"a", "x"}, {"b", "y"}}), m_->cache());
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ManagerStoreTest, CommitDropsWrittenKeysFromTheCacheAndAbortKeepsThem) {
  ASSERT_TRUE(m_->set({{"p", "1", 0}, {"q", "2", 0}, {"r", "3", 0}}) && m_->commit());
  Map results;
  Keys missing;
  ASSERT_TRUE(m_->get({"p", "q", "r"}, results, missing, true));

  ASSERT_TRUE(m_->set({{"p", "10", 0}}));
  ASSERT_TRUE(m_->abort());
  EXPECT_TRUE(m_->modifiedKeys().empty());
  EXPECT_EQ(3u, m_->cache().size());
  ASSERT_TRUE(m_->get({"p"}, results, missing, false));
  EXPECT_EQ("1", results["p"]);  // the aborted write never reached the store

  ASSERT_TRUE(m_->set({{"p", "11", 0}}));
  ASSERT_TRUE(m_->remove({"q"}));
  EXPECT_EQ((Keys{"p", "q"}), m_->modifiedKeys());
  ASSERT_TRUE(m_->commit());
  EXPECT_EQ((Map{{"r", "3"}}), m_->cache());
  EXPECT_TRUE(m_->modifiedKeys().empty());
  missing.clear();
  ASSERT_TRUE(m_->get({"p", "q"}, results, missing, false));
  EXPECT_EQ((Map{{"p", "11"}}), results);
  EXPECT_EQ(Keys{"q"}, missing);
}

// get refills a caller's results map in place and sends the caller's keys without copying
// them: the map must come out as if emptied first, and keys cut at a NUL byte must still pair
// with their values.
TEST_F(ManagerStoreTest, ARefilledMapHoldsExactlyTheLatestReply) {
  const std::string big(5000, 'b');
  ASSERT_TRUE(m_->set({{"k1", "short", 0}, {"k2", big, 0}, {"k3", "", 0}, {"k4", "four", 0}}));
  ASSERT_TRUE(m_->commit());

  Map results;
  Keys missing;
  ASSERT_TRUE(m_->get({"k1", "k2", "k3", "k4"}, results, missing, false));
  EXPECT_EQ((Map{{"k1", "short"}, {"k2", big}, {"k3", ""}, {"k4", "four"}}), results);

  // Values change length both ways; one key goes, another is asked for instead.
  ASSERT_TRUE(m_->set({{"k1", big + "!", 0}, {"k2", "s", 0}}));
  ASSERT_TRUE(m_->remove({"k4"}));
  ASSERT_TRUE(m_->commit());
  ASSERT_TRUE(m_->get({"k4", "k2", "k1", "zz"}, results, missing, true));
  EXPECT_EQ((Map{{"k1", big + "!"}, {"k2", "s"}}), results);
  EXPECT_EQ((Keys{"k4", "zz"}), missing);
  EXPECT_EQ(results, m_->cache());

  // Fewer keys than entries in the map, then more.
  ASSERT_TRUE(m_->get({"k3"}, results, missing, false));
  EXPECT_EQ((Map{{"k3", ""}}), results);
  ASSERT_TRUE(m_->get({"k1", "k2", "k3"}, results, missing, false));
  EXPECT_EQ((Map{{"k1", big + "!"}, {"k2", "s"}, {"k3", ""}}), results);

  // The cache gathers reads of keys that lie between the ones it already holds.
  m_->clearCache();
  ASSERT_TRUE(m_->get({"k2"}, results, missing, true));
  ASSERT_TRUE(m_->get({"a0", "k1", "k25", "k3", "k9"}, results, missing, true));
  EXPECT_EQ((Map{{"k1", big + "!"}, {"k2", "s"}, {"k3", ""}}), m_->cache());

  // No keys: the map is emptied and nothing is asked.
  ASSERT_TRUE(m_->get({}, results, missing, false));
  EXPECT_TRUE(results.empty());
}

TEST_F(ManagerStoreTest, KeysCutAtANulBytePairWithTheValueOfTheirShortText) {
  ASSERT_TRUE(m_->set({{"cut", "value of cut", 0}, {"other", "o", 0}}));
  ASSERT_TRUE(m_->commit());
  const std::string withNul("cut\0tail", 8);
  const std::string withNul2("cut\0more", 8);

  Map results{{"old", "entry"}};
  Keys missing;
  ASSERT_TRUE(m_->get({withNul, withNul2, "other", "absent"}, results, missing, true));
  // Both long keys travel as "cut" and file their value under that text, once.
  EXPECT_EQ((Map{{"cut", "value of cut"}, {"other", "o"}}), results);
  EXPECT_EQ(Keys{"absent"}, missing);
  EXPECT_EQ(results, m_->cache());
}

TEST_F(ManagerStoreTest, RecoversWithAFreshSessionAfterTheServerWasKilled) {
  ASSERT_TRUE(m_->set({{"kept", "yes", 0}}) && m_->commit());
  ASSERT_TRUE(m_->set({{"lost", "pending", 0}}));  // never committed

  server_->kill9();
  Map results{{"stale", "1"}};
  Keys missing;
  EXPECT_FALSE(m_->get({"kept"}, results, missing));
  EXPECT_TRUE(results.empty());
  EXPECT_EQ((Lines{"ERROR CORBA system exception in DataStoreManager::get()",
                   "INFO Attempting to connect to DataStore..",
                   "ERROR DataStore connection NOT established"}),
            log_.lines());

  // Back up: the next call still goes to the dead session and brings in a fresh one; the call
  // after that works, and sees only what was committed.
  server_->restart();
  log_.clear();
  EXPECT_FALSE(m_->commit());
  EXPECT_EQ((Lines{"ERROR CORBA system exception in DataStoreManager::commit()",
                   "INFO Attempting to connect to DataStore..",
                   "INFO DataStore connection established"}),
            log_.lines());
  ASSERT_TRUE(m_->get({"kept", "lost"}, results, missing));
  EXPECT_EQ((Map{{"kept", "yes"}}), results);
  EXPECT_EQ(Keys{"lost"}, missing);
}

}  // namespace
}  // namespace qmr_test
