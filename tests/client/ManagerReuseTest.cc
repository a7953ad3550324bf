// ManagerReuseTest.cc - DataStoreManager::get refills a caller's results map in place and sends
// the caller's keys without copying them: the map must come out exactly as if it had been
// emptied first, whatever it held, and keys cut at a NUL byte must still pair with their values.
#include <gtest/gtest.h>

#include "Harness.h"
#include "qmr/DataStoreManager.h"

namespace qmr_test {
namespace {

using QMR_Client::DataStoreManager;
using Map = std::map<std::string, std::string>;
using Keys = std::set<std::string>;

class ManagerReuseTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new TempDir("qmr-manager-reuse");
    DataStoreServer::Options options;
    options.name = "ManagerReuse";
    server_ = new DataStoreServer;
    server_->start(dir_->path(), Stack::instance().naming(), options);
  }
  static void TearDownTestSuite() {
    server_->stop();
    delete server_;
    delete dir_;
  }
  void SetUp() override {
    ASSERT_TRUE(DataStoreManager::init("ManagerReuse"));
    m_ = DataStoreManager::instance();
  }
  void TearDown() override { DataStoreManager::uninit(); }

  static TempDir* dir_;
  static DataStoreServer* server_;
  DataStoreManager* m_ = nullptr;
};

TempDir* ManagerReuseTest::dir_ = nullptr;
DataStoreServer* ManagerReuseTest::server_ = nullptr;

TEST_F(ManagerReuseTest, ARefilledMapHoldsExactlyTheLatestReply) {
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

TEST_F(ManagerReuseTest, KeysCutAtANulBytePairWithTheValueOfTheirShortText) {
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

}  // namespace
}  // namespace qmr_test
