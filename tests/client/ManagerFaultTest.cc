// ManagerFaultTest.cc - DataStoreManager when the store misbehaves: failed start-up, system
// exceptions in every operation and the fresh session that follows, refused transactions, short
// replies, and what the manager puts on the wire. The store is an in-process fault injector.
#include <gtest/gtest.h>

#include <algorithm>

#include "FaultyStore.h"
#include "Harness.h"
#include "qmr/DataStoreManager.h"
#include "qmr/util/Log.h"

namespace qmr_test {
namespace {

using QMR_Client::DataStoreManager;
using Lines = std::vector<std::string>;

const char kName[] = "FaultyStore.svc";
const char kAttempt[] = "INFO Attempting to connect to DataStore..";
const char kEstablished[] = "INFO DataStore connection established";
const char kNotEstablished[] = "ERROR DataStore connection NOT established";

class ManagerFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    store_ = new FaultyStore(Stack::instance().rootPoa());
    PortableServer::ObjectId_var id = Stack::instance().rootPoa()->activate_object(store_);
    CORBA::Object_var obj = Stack::instance().rootPoa()->id_to_reference(id);
    bindName(kName, obj);
  }
  void TearDown() override {
    DataStoreManager::uninit();
    unbindName(kName);
    PortableServer::ObjectId_var id = Stack::instance().rootPoa()->servant_to_id(store_);
    Stack::instance().rootPoa()->deactivate_object(id);
    store_->_remove_ref();
  }

  DataStoreManager* startManager() {
    EXPECT_TRUE(DataStoreManager::init(kName));
    log_.clear();
    return DataStoreManager::instance();
  }

  FaultyStore* store_ = nullptr;
  qmr_util::CaptureLog log_;
  qmr_util::ScopedLog scoped_{&log_};
};

std::string initFailure(const std::string& name) {
  try {
    DataStoreManager::init(name);
  } catch (const qmr_util::BaseException& e) {  // InitException, caught through its base
    EXPECT_NE(nullptr, dynamic_cast<const qmr_util::InitException*>(&e));
    return e.what();
  }
  return "no exception";
}

TEST_F(ManagerFaultTest, InitFailsCleanlyWhenNoSessionCanBeHad) {
  // Nothing under the name: one info line, no remote call at all.
  EXPECT_EQ("DataStoreManager Could not establish a session", initFailure("NoSuchStore.svc"));
  EXPECT_EQ(nullptr, DataStoreManager::instance());
  EXPECT_EQ(Lines{kAttempt}, log_.lines());
  EXPECT_EQ(0, store_->started);

  // startSession raises: the clean-up ends a nil session.
  log_.clear();
  store_->start = FaultyStore::Start::kRaise;
  EXPECT_EQ("DataStoreManager Could not establish a session", initFailure(kName));
  EXPECT_EQ((Lines{kAttempt, kNotEstablished}), log_.lines());
  EXPECT_EQ(std::vector<int>{0}, store_->ended);
  EXPECT_EQ(nullptr, DataStoreManager::instance());

  // startSession answers nil: treated as a failure, not as a session.
  log_.clear();
  store_->start = FaultyStore::Start::kNil;
  EXPECT_EQ("DataStoreManager Could not establish a session", initFailure(kName));
  EXPECT_EQ((Lines{kAttempt, kNotEstablished}), log_.lines());
  EXPECT_EQ(nullptr, DataStoreManager::instance());

  // Once the store works, a later init succeeds.
  store_->start = FaultyStore::Start::kNormal;
  EXPECT_TRUE(DataStoreManager::init(kName));
  EXPECT_NE(nullptr, DataStoreManager::instance());
  EXPECT_EQ(3, store_->started);
}

TEST_F(ManagerFaultTest, SecondInitIsRefusedAndUninitEndsTheSessionOnce) {
  DataStoreManager::uninit();  // nothing to do yet
  DataStoreManager* first = startManager();
  EXPECT_EQ("BUG: DataStoreManager Already initialized", initFailure(kName));
  EXPECT_EQ(first, DataStoreManager::instance());
  EXPECT_EQ(1, store_->started);
  EXPECT_TRUE(log_.lines().empty());

  DataStoreManager::uninit();
  DataStoreManager::uninit();
  EXPECT_EQ(nullptr, DataStoreManager::instance());
  EXPECT_EQ(std::vector<int>{1}, store_->ended);
}

TEST_F(ManagerFaultTest, KeysTravelAscendingAndRepliesPairByPosition) {
  DataStoreManager* m = startManager();
  store_->committed = {{"a", "x"}};
  std::map<std::string, std::string> results{{"stale", "1"}};
  std::set<std::string> missing;
  ASSERT_TRUE(m->get({"b", "a"}, results, missing, false));
  EXPECT_EQ((std::vector<std::string>{"a", "b"}), store_->lastKeys);
  EXPECT_EQ((std::map<std::string, std::string>{{"a", "x"}}), results);
  EXPECT_EQ(std::set<std::string>{"b"}, missing);

  // An empty read makes no call and touches nothing.
  store_->lastKeys.clear();
  EXPECT_TRUE(m->get({}, results, missing, true));
  EXPECT_TRUE(results.empty());
  EXPECT_TRUE(store_->lastKeys.empty());
  EXPECT_EQ(std::set<std::string>{"b"}, missing);
}

TEST_F(ManagerFaultTest, WritesGoOutInOrderWithTheirExpiry) {
  DataStoreManager* m = startManager();
  ASSERT_TRUE(m->set({{"b", "y", 0}, {"a", "x", 5}, {"b", "z", -1}}));
  ASSERT_EQ(3u, store_->lastEntries.length());
  EXPECT_STREQ("b", store_->lastEntries[0].key);
  EXPECT_STREQ("a", store_->lastEntries[1].key);
  EXPECT_EQ(5, store_->lastEntries[1].expir);
  EXPECT_STREQ("z", store_->lastEntries[2].data);
  EXPECT_EQ(-1, store_->lastEntries[2].expir);
  EXPECT_EQ((std::set<std::string>{"a", "b"}), m->modifiedKeys());

  // Empty writes still reach the session.
  store_->lastCaller = 0;
  EXPECT_TRUE(m->set({}));
  EXPECT_EQ(1, store_->lastCaller);
  EXPECT_EQ(0u, store_->lastEntries.length());
  store_->lastCaller = 0;
  EXPECT_TRUE(m->remove({}));
  EXPECT_EQ(1, store_->lastCaller);
  EXPECT_TRUE(log_.lines().empty());
}

TEST_F(ManagerFaultTest, SystemExceptionFailsTheCallAndStartsAFreshSession) {
  DataStoreManager* m = startManager();
  std::map<std::string, std::string> results;
  std::set<std::string> missing;
  const std::vector<std::pair<std::string, std::function<bool()>>> calls = {
      {"get", [&] { return m->get({"k"}, results, missing, true); }},
      {"set", [&] { return m->set({{"k", "v", 0}}); }},
      {"remove", [&] { return m->remove({"k"}); }},
      {"commit", [&] { return m->commit(); }},
      {"abort", [&] { return m->abort(); }},
  };
  int session = 1;
  for (const auto& call : calls) {
    SCOPED_TRACE(call.first);
    store_->fault = Fault::kSystem;
    log_.clear();
    results = {{"stale", "1"}};
    EXPECT_FALSE(call.second());
    if (call.first == "get") {
      EXPECT_TRUE(results.empty());
    }
    EXPECT_EQ(session, store_->lastCaller);
    EXPECT_EQ((Lines{"ERROR CORBA system exception in DataStoreManager::" + call.first + "()",
                     kAttempt, kEstablished}),
              log_.lines());
    // The next call goes to the new session and succeeds.
    store_->fault = Fault::kNone;
    ++session;
    EXPECT_TRUE(call.second());
    EXPECT_EQ(session, store_->lastCaller);
  }
  EXPECT_EQ(session, store_->started);
  EXPECT_TRUE(store_->ended.empty());  // replaced sessions are not ended
  DataStoreManager::uninit();
  EXPECT_EQ(std::vector<int>{session}, store_->ended);
}

TEST_F(ManagerFaultTest, FailedResetKeepsTheOldSession) {
  DataStoreManager* m = startManager();
  std::map<std::string, std::string> results;
  std::set<std::string> missing;

  // startSession fails, then answers nil: both keep session 1.
  for (FaultyStore::Start start : {FaultyStore::Start::kRaise, FaultyStore::Start::kNil}) {
    store_->fault = Fault::kSystem;
    store_->start = start;
    log_.clear();
    EXPECT_FALSE(m->commit());
    EXPECT_EQ((Lines{"ERROR CORBA system exception in DataStoreManager::commit()", kAttempt,
                     kNotEstablished}),
              log_.lines());
    store_->fault = Fault::kNone;
    EXPECT_TRUE(m->get({"k"}, results, missing, false));
    EXPECT_EQ(1, store_->lastCaller);
  }

  // The name is gone: the reset finds nothing, says nothing more, keeps the session, and
  // uninit then has no store to end it with.
  store_->start = FaultyStore::Start::kNormal;
  unbindName(kName);
  store_->fault = Fault::kSystem;
  log_.clear();
  EXPECT_FALSE(m->abort());
  EXPECT_EQ((Lines{"ERROR CORBA system exception in DataStoreManager::abort()", kAttempt}),
            log_.lines());
  store_->fault = Fault::kNone;
  EXPECT_TRUE(m->abort());
  EXPECT_EQ(1, store_->lastCaller);
  DataStoreManager::uninit();
  EXPECT_TRUE(store_->ended.empty());
  EXPECT_EQ(3, store_->started);
}

TEST_F(ManagerFaultTest, RefusedTransactionKeepsTheSessionAndTheRecordedKeys) {
  DataStoreManager* m = startManager();
  store_->committed = {{"a", "1"}, {"b", "2"}};
  std::map<std::string, std::string> results;
  std::set<std::string> missing;
  ASSERT_TRUE(m->get({"a", "b"}, results, missing, true));

  store_->fault = Fault::kTooBig;
  EXPECT_FALSE(m->remove({"a"}));
  EXPECT_FALSE(m->set({{"c", "3", 0}}));
  EXPECT_EQ((Lines{"ERROR Transaction size exceeded for DataStoreManager::remove()",
                   "ERROR Transaction size exceeded for DataStoreManager::set()"}),
            log_.lines());
  EXPECT_EQ(1, store_->started);

  // get does not declare the exception: the ORB turns it into CORBA::UNKNOWN, a system
  // exception, so the read fails and the session is replaced.
  log_.clear();
  results = {{"stale", "1"}};
  EXPECT_FALSE(m->get({"a"}, results, missing, true));
  EXPECT_TRUE(results.empty());
  EXPECT_EQ((Lines{"ERROR CORBA system exception in DataStoreManager::get()", kAttempt,
                   kEstablished}),
            log_.lines());
  EXPECT_EQ(2, store_->started);

  // The refused keys were still recorded: the next commit drops a from the cache.
  store_->fault = Fault::kNone;
  EXPECT_EQ((std::set<std::string>{"a", "c"}), m->modifiedKeys());
  EXPECT_TRUE(m->commit());
  EXPECT_EQ((std::map<std::string, std::string>{{"b", "2"}}), m->cache());
  EXPECT_TRUE(m->modifiedKeys().empty());
}

TEST_F(ManagerFaultTest, FailedCommitKeepsKeysForTheNextCommit) {
  DataStoreManager* m = startManager();
  store_->committed = {{"a", "1"}, {"b", "2"}};
  std::map<std::string, std::string> results;
  std::set<std::string> missing;
  ASSERT_TRUE(m->get({"a", "b"}, results, missing, true));
  ASSERT_TRUE(m->set({{"a", "9", 0}}));

  store_->fault = Fault::kSystem;
  EXPECT_FALSE(m->commit());
  EXPECT_EQ(std::set<std::string>{"a"}, m->modifiedKeys());
  EXPECT_EQ(2u, m->cache().size());

  store_->fault = Fault::kNone;
  EXPECT_TRUE(m->commit());  // in the new session, which has nothing pending
  EXPECT_EQ(2, store_->lastCaller);
  EXPECT_EQ("1", store_->committed["a"]);
  EXPECT_EQ((std::map<std::string, std::string>{{"b", "2"}}), m->cache());
}

TEST_F(ManagerFaultTest, ShortReplyFailsTheRead) {
  DataStoreManager* m = startManager();
  store_->committed = {{"a", "1"}, {"b", "2"}};
  store_->fault = Fault::kShortReply;
  std::map<std::string, std::string> results;
  std::set<std::string> missing;
  EXPECT_FALSE(m->get({"a", "b"}, results, missing, true));
  EXPECT_TRUE(results.empty());
  EXPECT_TRUE(missing.empty());
  EXPECT_TRUE(m->cache().empty());
  EXPECT_EQ(Lines{"ERROR DataStore reply to get() holds 1 values for 2 keys"}, log_.lines());
  EXPECT_EQ(1, store_->started);
}

}  // namespace
}  // namespace qmr_test
