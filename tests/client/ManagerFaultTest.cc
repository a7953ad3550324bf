// ManagerFaultTest.cc - DataStoreManager when the store misbehaves: failed start-up, system
// exceptions in every operation and the fresh session that follows, failed or nil resets,
// refused transactions and short replies. The store is an in-process fault injector.
#include <gtest/gtest.h>

#include "qmr/ClientCore/DataStore.hh"
#include "qmr/ClientCore/DataStoreSession.hh"
#include <functional>

#include "Harness.h"
#include "ManagerLines.h"
#include "qmr/DataStoreManager.h"
#include "qmr/util/Log.h"

namespace qmr_test {
namespace {


enum class Fault { kNone, kSystem, kTooBig, kShortReply, kLongReply };
enum class Start { kNormal, kRaise, kNil };

// What a test sets and observes of the fault injector.
struct Faults {
  Start start = Start::kNormal;
  Fault fault = Fault::kNone;  // applies to every session call until changed
  Map data;                    // what reads find
  int started = 0;
  std::vector<int> ended;  // numbers of the sessions passed to endSession; 0 for nil
  int lastCaller = 0;      // number of the session that received the last call
  std::vector<std::vector<std::string>> reads;  // the key list of every get, as received
};

// A session that answers reads from `data` and raises the current fault. A user exception
// that the operation does not declare reaches the caller as CORBA::UNKNOWN, collocated or not.
class FaultySession : public POA_ClientCore::DataStoreSession {
 public:
  FaultySession(Faults* faults, int number) : faults_(faults), number(number) {}
  void get(const ClientCore::StringList& keys,
           ClientCore::DataStoreSession::ValueList_out values) override {
    faults_->reads.emplace_back(keys.get_buffer(), keys.get_buffer() + keys.length());
    maybeFail();
    CORBA::ULong n = keys.length();
    if (faults_->fault == Fault::kShortReply) --n;
    if (faults_->fault == Fault::kLongReply) n += 2;  // the extra values are those of key 0
    values = new ClientCore::DataStoreSession::ValueList(n);
    values->length(n);
    for (CORBA::ULong i = 0; i < n; ++i) {
      auto found = faults_->data.find(keys[i < keys.length() ? i : 0].in());
      (*values)[i].valid = found != faults_->data.end();
      (*values)[i].data = found != faults_->data.end() ? found->second.c_str() : "";
    }
  }
  void set(const ClientCore::DataStoreSession::EntryList&) override { maybeFail(); }
  void remove(const ClientCore::StringList&) override { maybeFail(); }
  void commit() override { maybeFail(); }
  void abort() override { maybeFail(); }
  void maybeFail() {
    faults_->lastCaller = number;
    if (faults_->fault == Fault::kSystem) throw CORBA::TRANSIENT(0, CORBA::COMPLETED_NO);
    if (faults_->fault == Fault::kTooBig) {
      throw ClientCore::DataStoreSession::TransactionSizeExceeded();
    }
  }

  Faults* faults_;
  const int number;  // 1 for the first session the store started, 2 for the next, ...
};

class FaultyStore : public POA_ClientCore::DataStore, public Faults {
 public:
  ~FaultyStore() override {
    for (FaultySession* session : sessions_) {
      PortableServer::ObjectId_var id = poa()->servant_to_id(session);
      poa()->deactivate_object(id);
      session->_remove_ref();
    }
  }
  void checkDataFile() override {}
  ClientCore::DataStoreSession_ptr startSession() override {
    ++started;
    if (start == Start::kRaise) throw CORBA::COMM_FAILURE(0, CORBA::COMPLETED_NO);
    if (start == Start::kNil) return ClientCore::DataStoreSession::_nil();
    sessions_.push_back(new FaultySession(this, static_cast<int>(sessions_.size()) + 1));
    PortableServer::ObjectId_var id = poa()->activate_object(sessions_.back());
    CORBA::Object_var obj = poa()->id_to_reference(id);
    return ClientCore::DataStoreSession::_narrow(obj);
  }
  void endSession(ClientCore::DataStoreSession_ptr session) override {
    int number = 0;
    for (FaultySession* candidate : sessions_) {
      CORBA::Object_var mine = poa()->servant_to_reference(candidate);
      if (!CORBA::is_nil(session) && session->_is_equivalent(mine)) number = candidate->number;
    }
    ended.push_back(number);
  }
  static PortableServer::POA_ptr poa() { return Stack::instance().rootPoa(); }

 private:
  std::vector<FaultySession*> sessions_;
};

const char kName[] = "FaultyStore.svc";

class ManagerFaultTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PortableServer::ObjectId_var id = FaultyStore::poa()->activate_object(store_);
    CORBA::Object_var obj = FaultyStore::poa()->id_to_reference(id);
    bindName(kName, obj);
  }
  void TearDown() override {
    DataStoreManager::uninit();
    unbindName(kName);
    PortableServer::ObjectId_var id = FaultyStore::poa()->servant_to_id(store_);
    FaultyStore::poa()->deactivate_object(id);
    store_->_remove_ref();
  }
  DataStoreManager* startManager() {
    EXPECT_TRUE(DataStoreManager::init(kName));
    log_.clear();
    return DataStoreManager::instance();
  }
  // The message of the InitException that init throws (caught through its base class).
  static std::string initFailure(const std::string& name) {
    try {
      DataStoreManager::init(name);
    } catch (const qmr_util::BaseException& e) {
      EXPECT_NE(nullptr, dynamic_cast<const qmr_util::InitException*>(&e));
      return e.what();
    }
    return "no exception";
  }

  FaultyStore* store_ = new FaultyStore;
  qmr_util::CaptureLog log_;
  qmr_util::ScopedLog scoped_{&log_};
  Map results_;
  Keys missing_;
};

TEST_F(ManagerFaultTest, InitFailsCleanlyUntilASessionCanBeHadAndThenOnlyOnce) {
  const std::string noSession = "DataStoreManager Could not establish a session";
  // Nothing under the name: no remote call at all.
  EXPECT_EQ(noSession, initFailure("NoSuchStore.svc"));
  EXPECT_EQ(Lines{kAttempt}, log_.lines());
  EXPECT_EQ(0, store_->started);
  // startSession raises, then answers nil: both failures; the clean-up ends a nil session.
  for (Start start : {Start::kRaise, Start::kNil}) {
    log_.clear();
    store_->start = start;
    EXPECT_EQ(noSession, initFailure(kName));
    EXPECT_EQ((Lines{kAttempt, kNotEstablished}), log_.lines());
    EXPECT_EQ(nullptr, DataStoreManager::instance());
  }
  EXPECT_EQ((std::vector<int>{0, 0}), store_->ended);

  store_->start = Start::kNormal;
  DataStoreManager* first = startManager();
  ASSERT_NE(nullptr, first);
  EXPECT_EQ("BUG: DataStoreManager Already initialized", initFailure(kName));
  EXPECT_EQ(first, DataStoreManager::instance());
  EXPECT_EQ(3, store_->started);
  EXPECT_TRUE(log_.lines().empty());
  DataStoreManager::uninit();
  DataStoreManager::uninit();
  EXPECT_EQ(nullptr, DataStoreManager::instance());
  EXPECT_EQ((std::vector<int>{0, 0, 1}), store_->ended);  // session 1 ended once
}

TEST_F(ManagerFaultTest, SystemExceptionFailsTheCallAndStartsAFreshSession) {
  DataStoreManager* m = startManager();
  const std::list<DataStoreManager::Entry> entry{{"k", "v", 0}};
  const std::vector<std::pair<std::string, std::function<bool()>>> calls = {
      {"get", [&] { return m->get({"k"}, results_, missing_, true); }},
      {"set", [&] { return m->set(entry); }},
      {"remove", [&] { return m->remove({"k"}); }},
      {"commit", [&] { return m->commit(); }},
      {"abort", [&] { return m->abort(); }},
  };
  int session = 1;
  for (const auto& call : calls) {
    SCOPED_TRACE(call.first);
    store_->fault = Fault::kSystem;
    log_.clear();
    results_ = {{"stale", "1"}};
    EXPECT_FALSE(call.second());
    EXPECT_TRUE(call.first != "get" || results_.empty());
    EXPECT_EQ(session, store_->lastCaller);
    EXPECT_EQ(resetLines(call.first, kEstablished), log_.lines());
    store_->fault = Fault::kNone;  // the next call goes to the new session and succeeds
    EXPECT_TRUE(call.second());
    EXPECT_EQ(++session, store_->lastCaller);
  }
  EXPECT_EQ(session, store_->started);
  EXPECT_TRUE(store_->ended.empty());  // replaced sessions are not ended
  DataStoreManager::uninit();
  EXPECT_EQ(std::vector<int>{session}, store_->ended);
}

TEST_F(ManagerFaultTest, FailedResetKeepsTheOldSession) {
  DataStoreManager* m = startManager();
  // startSession raises, then answers nil: both keep session 1.
  for (Start start : {Start::kRaise, Start::kNil}) {
    store_->fault = Fault::kSystem;
    store_->start = start;
    log_.clear();
    EXPECT_FALSE(m->commit());
    EXPECT_EQ(resetLines("commit", kNotEstablished), log_.lines());
    store_->fault = Fault::kNone;
    EXPECT_TRUE(m->get({"k"}, results_, missing_, false));
    EXPECT_EQ(1, store_->lastCaller);
  }
  // The name is gone: the reset finds nothing, says nothing more, keeps the session, and
  // uninit then has no store to end it with.
  store_->start = Start::kNormal;
  unbindName(kName);
  store_->fault = Fault::kSystem;
  log_.clear();
  EXPECT_FALSE(m->abort());
  EXPECT_EQ((Lines{systemException("abort"), kAttempt}), log_.lines());
  store_->fault = Fault::kNone;
  EXPECT_TRUE(m->abort());
  EXPECT_EQ(1, store_->lastCaller);
  DataStoreManager::uninit();
  EXPECT_TRUE(store_->ended.empty());
  EXPECT_EQ(3, store_->started);
}

TEST_F(ManagerFaultTest, RefusedWritesAndAFailedCommitKeepTheRecordedKeys) {
  DataStoreManager* m = startManager();
  store_->data = {{"a", "1"}, {"b", "2"}};
  ASSERT_TRUE(m->get({"a", "b"}, results_, missing_, true));

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
  results_ = {{"stale", "1"}};
  EXPECT_FALSE(m->get({"a"}, results_, missing_, true));
  EXPECT_TRUE(results_.empty());
  EXPECT_EQ(resetLines("get", kEstablished), log_.lines());
  EXPECT_EQ(2, store_->started);

  // The refused keys were recorded, and a failed commit keeps them for the next one.
  store_->fault = Fault::kSystem;
  EXPECT_FALSE(m->commit());
  EXPECT_EQ((Keys{"a", "c"}), m->modifiedKeys());
  EXPECT_EQ(2u, m->cache().size());
  store_->fault = Fault::kNone;
  EXPECT_TRUE(m->commit());
  EXPECT_EQ((Map{{"b", "2"}}), m->cache());
  EXPECT_TRUE(m->modifiedKeys().empty());
}

TEST_F(ManagerFaultTest, ReadSendsItsKeysAscendingInOneRequestAndPairsTheReplyByPosition) {
  DataStoreManager* m = startManager();
  store_->data = {{"a", "1"}, {"B", "2"}};
  ASSERT_TRUE(m->get({"c", "a", "B", "\xc3\xa9", "ab"}, results_, missing_, false));
  EXPECT_EQ((std::vector<std::vector<std::string>>{{"B", "a", "ab", "c", "\xc3\xa9"}}),
            store_->reads);
  EXPECT_EQ((Map{{"B", "2"}, {"a", "1"}}), results_);
  EXPECT_EQ((Keys{"ab", "c", "\xc3\xa9"}), missing_);
  ASSERT_TRUE(m->get({}, results_, missing_, false));
  EXPECT_EQ(1u, store_->reads.size()) << "an empty read is no request";
  EXPECT_TRUE(results_.empty());
}

TEST_F(ManagerFaultTest, ReplyOfOtherThanOneValuePerKey) {
  DataStoreManager* m = startManager();
  store_->data = {{"a", "1"}, {"c", "3"}};
  // More values than keys: the first ones pair with the keys, the others are ignored.
  store_->fault = Fault::kLongReply;
  EXPECT_TRUE(m->get({"b", "a"}, results_, missing_, true));
  EXPECT_EQ((Map{{"a", "1"}}), results_);
  EXPECT_EQ(Keys{"b"}, missing_);
  EXPECT_EQ((Map{{"a", "1"}}), m->cache());
  EXPECT_TRUE(log_.lines().empty());
  // Fewer: the read fails and files nothing.
  store_->fault = Fault::kShortReply;
  missing_.clear();
  EXPECT_FALSE(m->get({"a", "c"}, results_, missing_, true));
  EXPECT_TRUE(results_.empty() && missing_.empty());
  EXPECT_EQ((Map{{"a", "1"}}), m->cache());
  EXPECT_EQ(Lines{"ERROR DataStore reply to get() holds 1 values for 2 keys"}, log_.lines());
  EXPECT_EQ(1, store_->started);
}

// A manager without a session (made directly, while nothing was registered): every operation
// fails as on a system exception and looks for a session, get included.
TEST_F(ManagerFaultTest, WithoutASessionEveryOperationTakesTheSystemExceptionPath) {
  unbindName(kName);
  DataStoreManager m(kName);
  ASSERT_EQ(Lines{kAttempt}, log_.lines());
  const std::list<DataStoreManager::Entry> entry{{"k", "v", 0}};
  const std::vector<std::pair<std::string, std::function<bool()>>> calls = {
      {"get", [&] { return m.get({"k"}, results_, missing_, true); }},
      {"set", [&] { return m.set(entry); }},
      {"remove", [&] { return m.remove({"k"}); }},
      {"commit", [&] { return m.commit(); }},
      {"abort", [&] { return m.abort(); }},
  };
  for (const auto& call : calls) {
    SCOPED_TRACE(call.first);
    log_.clear();
    results_ = {{"stale", "1"}};
    EXPECT_FALSE(call.second());
    EXPECT_TRUE(call.first != "get" || results_.empty());
    EXPECT_EQ((Lines{systemException(call.first), kAttempt}), log_.lines());
  }
  EXPECT_TRUE(missing_.empty() && m.cache().empty());
  EXPECT_EQ(0, store_->started);
  // Once the store can be found, the next failure's reset brings a session, and get works.
  PortableServer::ObjectId_var id = FaultyStore::poa()->servant_to_id(store_);
  CORBA::Object_var obj = FaultyStore::poa()->id_to_reference(id);
  bindName(kName, obj);
  log_.clear();
  EXPECT_FALSE(m.get({"k"}, results_, missing_, false));
  EXPECT_EQ(resetLines("get", kEstablished), log_.lines());
  store_->data = {{"k", "v"}};
  EXPECT_TRUE(m.get({"k"}, results_, missing_, false));
  EXPECT_EQ((Map{{"k", "v"}}), results_);
}

// The counters that tell a caller whether its transaction outlived its session: the silent
// loss they expose is a write, a failure that replaces the session, then a commit that succeeds.
TEST_F(ManagerFaultTest, SessionGenerationsExposeATransactionThatOutlivedItsSession) {
  const std::uint64_t before = DataStoreManager::sessionGeneration();
  DataStoreManager* m = startManager();
  const std::uint64_t first = DataStoreManager::sessionGeneration();
  EXPECT_EQ(before + 1, first);
  EXPECT_EQ(0u, DataStoreManager::transactionGeneration());
  // Reads do not open a transaction; a write does, in the current session.
  ASSERT_TRUE(m->get({"a"}, results_, missing_, false));
  EXPECT_EQ(0u, DataStoreManager::transactionGeneration());
  ASSERT_TRUE(m->set({{"a", "1", 0}}));
  EXPECT_EQ(first, DataStoreManager::transactionGeneration());
  // A failing write replaces the session; the transaction keeps its first generation, so the
  // commit that then succeeds can be told from one that committed everything.
  store_->fault = Fault::kSystem;
  EXPECT_FALSE(m->remove({"b"}));
  EXPECT_EQ(first + 1, DataStoreManager::sessionGeneration());
  EXPECT_EQ(first, DataStoreManager::transactionGeneration());
  store_->fault = Fault::kNone;
  EXPECT_TRUE(m->commit());
  EXPECT_EQ(0u, DataStoreManager::transactionGeneration());
  // A failed write is counted too; a successful abort ends the transaction.
  store_->fault = Fault::kTooBig;
  EXPECT_FALSE(m->set({{"c", "3", 0}}));
  EXPECT_EQ(first + 1, DataStoreManager::transactionGeneration());
  store_->fault = Fault::kNone;
  EXPECT_TRUE(m->abort());
  EXPECT_EQ(0u, DataStoreManager::transactionGeneration());
  // Resets that start no session change nothing; a failed commit keeps the transaction open.
  ASSERT_TRUE(m->set({{"d", "4", 0}}));
  store_->fault = Fault::kSystem;
  for (Start start : {Start::kRaise, Start::kNil}) {
    store_->start = start;
    EXPECT_FALSE(m->commit());
    EXPECT_EQ(first + 1, DataStoreManager::sessionGeneration());
  }
  EXPECT_EQ(first + 1, DataStoreManager::transactionGeneration());
  // A new manager starts a new session and no transaction.
  store_->fault = Fault::kNone;
  store_->start = Start::kNormal;
  DataStoreManager::uninit();
  EXPECT_EQ(0u, DataStoreManager::transactionGeneration());
  startManager();
  EXPECT_EQ(first + 2, DataStoreManager::sessionGeneration());
}

}  // namespace
}  // namespace qmr_test
