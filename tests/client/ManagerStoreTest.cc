// ManagerStoreTest.cc - DataStoreManager against a real qmr-datastored: reads with found and
// missing keys, writes in order with their expiry, the client cache and its rules, transactions,
// and recovery after the server was killed and restarted.
#include <gtest/gtest.h>

#include "Harness.h"
#include "ManagerLines.h"
#include "Requests.h"
#include "qmr/DataStoreManager.h"
#include "qmr/util/Log.h"

namespace qmr_test {
namespace {


class ManagerStoreTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir("qmr-manager");
    server_ = new DataStoreServer;
    DataStoreServer::Options options;
    options.name = "ManagerStore";
    server_->start(dir_->path(), Stack::instance().naming(), options);
  }
  static void TearDownTestSuite() {
    delete server_;  // stops it
    delete dir_;
  }
  void SetUp() override {
    ASSERT_TRUE(DataStoreManager::init("ManagerStore"));
    m_ = DataStoreManager::instance();
    log_.clear();
  }
  void TearDown() override { DataStoreManager::uninit(); }

  // Removes "a" and sets "b" to "y" in a session of its own, as another client would.
  static void changeElsewhere() {
    ClientCore::DataStore_var store =
        QMR_Client::lookup_object<ClientCore::DataStore>("ManagerStore");
    ClientCore::DataStoreSession_var session = store->startSession();
    session->remove(strings({"a"}));
    session->set(entries({{"b", "y"}}));
    session->commit();
    store->endSession(session);
  }

  static TempDir* dir_;
  static DataStoreServer* server_;
  DataStoreManager* m_ = nullptr;
  Map results_;
  Keys missing_;
  qmr_util::CaptureLog log_;
  qmr_util::ScopedLog scoped_{&log_};
};

TempDir* ManagerStoreTest::dir_ = nullptr;
DataStoreServer* ManagerStoreTest::server_ = nullptr;

TEST_F(ManagerStoreTest, ReadsSplitFoundAndMissingAndFeedTheCacheByChoiceOrDefault) {
  const std::string bytes("\xc3\xa9t\xc3\xa9 \xff\x01", 8);  // UTF-8 and a stray byte
  ASSERT_TRUE(m_->set({{"a", "x", 0}, {"b", "", 0}, {bytes, bytes, 0}}) && m_->commit());

  results_ = {{"stale", "1"}};
  missing_ = {"a"};  // not emptied by get
  ASSERT_TRUE(m_->get({"c", bytes, "b", "a"}, results_, missing_, false));
  EXPECT_EQ((Map{{"a", "x"}, {"b", ""}, {bytes, bytes}}), results_);
  EXPECT_EQ((Keys{"a", "c"}), missing_);
  EXPECT_TRUE(m_->cache().empty());
  ASSERT_TRUE(m_->get({"a"}, results_, missing_));  // the default: off since the library loaded
  EXPECT_TRUE(m_->cache().empty());
  m_->enableCaching(true);
  ASSERT_TRUE(m_->get({"a", "b"}, results_, missing_));
  EXPECT_EQ((Map{{"a", "x"}, {"b", ""}}), m_->cache());
  m_->enableCaching(false);
  ASSERT_TRUE(m_->get({"c", bytes}, results_, missing_));
  EXPECT_EQ(2u, m_->cache().size());

  // Another client removes a and changes b: a read shows it, b's entry is replaced, and a's old
  // entry survives because a key read as missing never touches the cache.
  changeElsewhere();
  missing_.clear();
  ASSERT_TRUE(m_->get({"a", "b"}, results_, missing_, true));
  EXPECT_EQ((Map{{"b", "y"}}), results_);
  EXPECT_EQ(Keys{"a"}, missing_);
  EXPECT_EQ((Map{{"a", "x"}, {"b", "y"}}), m_->cache());
  m_->clearCache();
  EXPECT_TRUE(m_->cache().empty());
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ManagerStoreTest, WritesApplyInListOrderWithTheirExpiry) {
  ASSERT_TRUE(m_->set({{"w", "first", 0}, {"gone", "soon", 2}, {"w", "last", -1}}));
  EXPECT_EQ((Keys{"gone", "w"}), m_->modifiedKeys());
  ASSERT_TRUE(m_->set({}) && m_->remove({}) && m_->commit());
  ASSERT_TRUE(m_->get({"w", "gone"}, results_, missing_, false));
  EXPECT_EQ((Map{{"gone", "soon"}, {"w", "last"}}), results_);
  // Two seconds of life for "gone"; none of the expiries <= 0 ends.
  EXPECT_TRUE(eventually(
      [&] {
        return m_->get({"w", "gone"}, results_, missing_, false) && results_.size() == 1;
      },
      15000));
  EXPECT_EQ((Map{{"w", "last"}}), results_);
}

TEST_F(ManagerStoreTest, CommitDropsWrittenKeysFromTheCacheAndAbortKeepsThem) {
  ASSERT_TRUE(m_->set({{"p", "1", 0}, {"q", "2", 0}, {"r", "3", 0}}) && m_->commit());
  ASSERT_TRUE(m_->get({"p", "q", "r"}, results_, missing_, true));

  ASSERT_TRUE(m_->set({{"p", "10", 0}}) && m_->abort());
  EXPECT_TRUE(m_->modifiedKeys().empty());
  EXPECT_EQ(3u, m_->cache().size());
  ASSERT_TRUE(m_->get({"p"}, results_, missing_, false));
  EXPECT_EQ("1", results_["p"]);  // the aborted write never reached the store

  ASSERT_TRUE(m_->set({{"p", "11", 0}}) && m_->remove({"q"}));
  EXPECT_EQ((Keys{"p", "q"}), m_->modifiedKeys());
  ASSERT_TRUE(m_->commit());
  EXPECT_EQ((Map{{"r", "3"}}), m_->cache());
  EXPECT_TRUE(m_->modifiedKeys().empty());
  missing_.clear();
  ASSERT_TRUE(m_->get({"p", "q"}, results_, missing_, false));
  EXPECT_EQ((Map{{"p", "11"}}), results_);
  EXPECT_EQ(Keys{"q"}, missing_);
}

// get refills a caller's results map in place and sends the caller's keys without copying
// them: the map must come out as if emptied first, and keys cut at a NUL byte must still pair
// with their values.
TEST_F(ManagerStoreTest, ARefilledMapHoldsExactlyTheLatestReply) {
  const std::string big(5000, 'b');
  ASSERT_TRUE(m_->set({{"k1", "short", 0}, {"k2", big, 0}, {"k3", "", 0}, {"k4", "four", 0}}));
  ASSERT_TRUE(m_->commit());
  ASSERT_TRUE(m_->get({"k1", "k2", "k3", "k4"}, results_, missing_, false));
  EXPECT_EQ((Map{{"k1", "short"}, {"k2", big}, {"k3", ""}, {"k4", "four"}}), results_);

  // Values change length both ways; a key goes, another is asked for instead.
  ASSERT_TRUE(m_->set({{"k1", big + "!", 0}, {"k2", "s", 0}}) && m_->remove({"k4"}));
  ASSERT_TRUE(m_->commit());
  ASSERT_TRUE(m_->get({"k4", "k2", "k1", "zz"}, results_, missing_, true));
  EXPECT_EQ((Map{{"k1", big + "!"}, {"k2", "s"}}), results_);
  EXPECT_EQ((Keys{"k4", "zz"}), missing_);
  EXPECT_EQ(results_, m_->cache());
  // Fewer keys than entries in the map, then more; keys cut at a NUL byte travel as "k3" and
  // file its value under that text, once; no keys empty the map.
  const std::vector<std::pair<Keys, Map>> reads = {
      {{"k3"}, {{"k3", ""}}},
      {{"k1", "k2", "k3"}, {{"k1", big + "!"}, {"k2", "s"}, {"k3", ""}}},
      {{std::string("k3\0a", 4), std::string("k3\0b", 4), "k2", "no"}, {{"k2", "s"}, {"k3", ""}}},
      {{}, {}}};
  for (const auto& read : reads) {
    ASSERT_TRUE(m_->get(read.first, results_, missing_, false));
    EXPECT_EQ(read.second, results_);
  }
  // The cache gathers reads of keys that lie between the ones it already holds.
  m_->clearCache();
  ASSERT_TRUE(m_->get({"k2"}, results_, missing_, true));
  ASSERT_TRUE(m_->get({"a0", "k1", "k25", "k3", "k9"}, results_, missing_, true));
  EXPECT_EQ((Map{{"k1", big + "!"}, {"k2", "s"}, {"k3", ""}}), m_->cache());
}

// The manager reads each value of a reply straight from the stream into the entry that keeps it,
// and the server writes each one into the reply as one block. A value longer than the GIOP
// buffer (256 KiB) travels in several fragments; every byte must arrive, beside empty and short
// values, into entries that held longer and shorter text before. The generated proxy reads the
// same reply with omniORB's own code, which checks the server's side on its own.
TEST_F(ManagerStoreTest, ValuesLongerThanATransportBufferArriveWhole) {
  std::string huge(600 * 1024, ' ');
  for (size_t i = 0; i < huge.size(); ++i) huge[i] = static_cast<char>('a' + i % 26);
  const std::string kib(1024, 'k');
  ASSERT_TRUE(m_->set({{"f0", "", 0}, {"f1", huge, 0}, {"f2", kib, 0}, {"f3", "z", 0}}));
  ASSERT_TRUE(m_->commit());
  results_ = {{"f1", "old"}, {"f2", std::string(5000, 'o')}, {"f3", "longer"}};
  ASSERT_TRUE(m_->get({"f0", "f1", "f2", "f3", "f4"}, results_, missing_, false));
  EXPECT_EQ((Map{{"f0", ""}, {"f1", huge}, {"f2", kib}, {"f3", "z"}}), results_);
  EXPECT_EQ((Keys{"f4"}), missing_);

  ClientCore::DataStore_var store =
      QMR_Client::lookup_object<ClientCore::DataStore>("ManagerStore");
  ClientCore::DataStoreSession_var session = store->startSession();
  Values values = read(session, {"f1", "f4", "f2"});
  store->endSession(session);
  ASSERT_EQ(3u, values.size());
  EXPECT_EQ(Value(huge), values[0]);
  EXPECT_EQ(std::nullopt, values[1]);
  EXPECT_EQ(Value(kib), values[2]);
}

// The remote string path of GetCall: the server is another process, so every value is read
// off the wire. Lengths around each alignment boundary of CDR, absent keys between present
// ones (an absent value still carries a string), bytes above 127, and each key's own value.
TEST_F(ManagerStoreTest, EveryValueComesBackExactlyOverTheWireUnderItsOwnKey) {
  std::list<QMR_Client::DataStoreManager::Entry> writes;
  Map expected;
  Keys asked, absent;
  for (size_t length : {0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 255, 256, 1023}) {
    std::string key = "w" + std::to_string(1000 + length);
    std::string value(length, '\0');
    for (size_t i = 0; i < length; ++i) value[i] = static_cast<char>(0x21 + (i * 7 + length) % 0xd0);
    writes.push_back({key, value, 0});
    expected[key] = value;
    asked.insert(key);
    std::string gap = key + "-absent";
    asked.insert(gap);
    absent.insert(gap);
  }
  ASSERT_TRUE(m_->set(writes));
  ASSERT_TRUE(m_->commit());
  results_ = {{"w1003", "stale"}, {"unasked", "x"}};
  ASSERT_TRUE(m_->get(asked, results_, missing_, false));
  EXPECT_EQ(expected, results_);
  EXPECT_EQ(absent, missing_);
}

TEST_F(ManagerStoreTest, RecoversWithAFreshSessionAfterTheServerWasKilled) {
  ASSERT_TRUE(m_->set({{"kept", "yes", 0}}) && m_->commit());
  ASSERT_TRUE(m_->set({{"lost", "pending", 0}}));  // never committed

  server_->kill9();
  results_ = {{"stale", "1"}};
  EXPECT_FALSE(m_->get({"kept"}, results_, missing_));
  EXPECT_TRUE(results_.empty());
  EXPECT_EQ(resetLines("get", kNotEstablished), log_.lines());

  // Back up: the next call still goes to the dead session and brings in a fresh one; the call
  // after that works, and sees only what was committed.
  server_->restart();
  log_.clear();
  EXPECT_FALSE(m_->commit());
  EXPECT_EQ(resetLines("commit", kEstablished), log_.lines());
  ASSERT_TRUE(m_->get({"kept", "lost"}, results_, missing_));
  EXPECT_EQ((Map{{"kept", "yes"}}), results_);
  EXPECT_EQ(Keys{"lost"}, missing_);
}

}  // namespace
}  // namespace qmr_test
