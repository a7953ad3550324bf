// SessionTest.cc - what one or several sessions see of their own pending changes and of the
// committed store, and how the server enforces its limits.
#include <chrono>
#include <thread>

#include "DataStoreFixture.h"

namespace qmr_test {
namespace {

using ClientCore::DataStoreSession;
using ClientCore::DataStoreSession_var;

TEST_F(DataStoreTest, GetAnswersFromOwnPendingChangesThenFromCommittedOnes) {
  startServer();
  commitAll({{"a", "1"}, {"b", "2"}});
  DataStoreSession_var s = newSession();
  DataStoreSession_var other = newSession();
  s->set(entries({{"a", "10"}, {"n", "new"}}));
  s->remove(strings({"b"}));

  // Request order is kept, duplicates get one value each, unknown keys are not valid.
  EXPECT_EQ(read(s, {"b", "a", "c", "a", "n"}),
            (std::vector<Value>{std::nullopt, Value("10"), std::nullopt, Value("10"),
                                Value("new")}));
  // Another session sees only what is committed.
  EXPECT_EQ(read(other, {"a", "b", "n"}),
            (std::vector<Value>{Value("1"), Value("2"), std::nullopt}));

  s->commit();
  EXPECT_EQ(read(other, {"a", "b", "n"}),
            (std::vector<Value>{Value("10"), std::nullopt, Value("new")}));
  // Committing cleared the pending changes: an abort now changes nothing.
  s->abort();
  EXPECT_EQ(read(s, {"a", "b"}), (std::vector<Value>{Value("10"), std::nullopt}));
  EXPECT_EQ(read(s, {}), std::vector<Value>{});
}

TEST_F(DataStoreTest, LastChangeOfAKeyWins) {
  startServer();
  DataStoreSession_var s = newSession();
  s->set(entries({{"k", "x"}, {"k", "y"}}));
  EXPECT_EQ(read1(s, "k"), Value("y"));
  s->remove(strings({"k"}));
  EXPECT_EQ(read1(s, "k"), std::nullopt);
  s->set(entries({{"k", "z"}}));
  s->commit();
  s->remove(strings({"k", "k"}));
  s->set(entries({{"k", ""}}));
  EXPECT_EQ(read1(s, "k"), Value(""));
  s->commit();
  DataStoreSession_var other = newSession();
  EXPECT_EQ(read1(other, "k"), Value("")) << "an empty value is a valid value";
}

TEST_F(DataStoreTest, AbortDiscardsOnlyPendingChanges) {
  startServer();
  commitAll({{"a", "1"}});
  DataStoreSession_var s = newSession();
  s->set(entries({{"a", "2"}, {"b", "3"}}));
  s->remove(strings({"a"}));
  s->abort();
  EXPECT_EQ(read(s, {"a", "b"}), (std::vector<Value>{Value("1"), std::nullopt}));
  s->commit();
  DataStoreSession_var other = newSession();
  EXPECT_EQ(read(other, {"a", "b"}), (std::vector<Value>{Value("1"), std::nullopt}));
}

TEST_F(DataStoreTest, TransactionLimitCountsDistinctKeysAndLeavesPendingChangesIntact) {
  startServer({"--max-transaction", "3"});
  DataStoreSession_var s = newSession();
  EXPECT_THROW(s->set(entries({{"w", "1"}, {"x", "1"}, {"y", "1"}, {"z", "1"}})),
               DataStoreSession::TransactionSizeExceeded);
  EXPECT_EQ(read(s, {"w", "z"}), (std::vector<Value>{std::nullopt, std::nullopt}))
      << "a refused request stores nothing";

  s->set(entries({{"a", "1"}, {"b", "1"}}));
  s->set(entries({{"a", "2"}, {"b", "2"}, {"c", "2"}, {"c", "3"}}));  // three distinct keys
  EXPECT_THROW(s->set(entries({{"d", "1"}})), DataStoreSession::TransactionSizeExceeded);
  EXPECT_THROW(s->remove(strings({"d"})), DataStoreSession::TransactionSizeExceeded);
  EXPECT_THROW(s->set(entries({{"a", "9"}, {"d", "1"}})),
               DataStoreSession::TransactionSizeExceeded);
  EXPECT_EQ(read(s, {"a", "b", "c", "d"}),
            (std::vector<Value>{Value("2"), Value("2"), Value("3"), std::nullopt}));

  // Keys already pending may change again.
  s->remove(strings({"b"}));
  s->set(entries({{"a", "4"}}));
  s->commit();
  DataStoreSession_var other = newSession();
  EXPECT_EQ(read(other, {"a", "b", "c", "d"}),
            (std::vector<Value>{Value("4"), std::nullopt, Value("3"), std::nullopt}));
  // The commit made room again.
  s->set(entries({{"d", "1"}, {"e", "1"}, {"f", "1"}}));
  EXPECT_NE(serverLog().find("--max-transaction 3"), std::string::npos) << serverLog();
}

TEST_F(DataStoreTest, TransactionByteLimitCountsWhatStaysPending) {
  startServer({"--max-transaction-bytes", "100"});
  DataStoreSession_var s = newSession();
  s->set(entries({{"a", std::string(49, 'x')}, {"b", std::string(40, 'x')}}));  // 50 + 41
  // Replacing a pending value counts only the difference; so does a value replaced within
  // the same request.
  s->set(entries({{"a", std::string(58, 'y')}}));                         // 59 + 41 = 100
  EXPECT_THROW(s->set(entries({{"c", ""}})), DataStoreSession::TransactionSizeExceeded);
  EXPECT_THROW(s->set(entries({{"b", std::string(41, 'z')}})),
               DataStoreSession::TransactionSizeExceeded);
  s->set(entries({{"b", std::string(500, 'z')}, {"b", std::string(30, 'w')}}));  // 59 + 31
  EXPECT_EQ(read(s, {"a", "b"}),
            (std::vector<Value>{Value(std::string(58, 'y')), Value(std::string(30, 'w'))}));
  s->remove(strings({"b"}));  // 59 + 1
  s->commit();
  s->set(entries({{"c", std::string(98, 'c')}}));  // a commit empties the count
  EXPECT_NE(serverLog().find("exceed --max-transaction-bytes 100"), std::string::npos)
      << serverLog();
}

TEST_F(DataStoreTest, EntriesExpireSecondsAfterTheirCommit) {
  startServer();
  DataStoreSession_var s = newSession();
  s->set(entries({{"short", "s", 1}, {"never", "n", 0}, {"negative", "m", -5}}));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(read1(s, "short"), Value("s")) << "the lifetime starts at the commit";
  s->commit();
  DataStoreSession_var other = newSession();
  EXPECT_EQ(read(other, {"short", "never", "negative"}),
            (std::vector<Value>{Value("s"), Value("n"), Value("m")}));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(read(other, {"short", "never", "negative"}),
            (std::vector<Value>{std::nullopt, Value("n"), Value("m")}));
  // Writing the key again gives it a new life.
  s->set(entries({{"short", "again", 0}}));
  s->commit();
  EXPECT_EQ(read1(other, "short"), Value("again"));
}

TEST_F(DataStoreTest, EndedSessionRaisesObjectNotExistAndLosesItsChanges) {
  startServer();
  DataStoreSession_var s = newSession();
  s->set(entries({{"a", "1"}}));
  store_->endSession(s.in());
  EXPECT_THROW(read1(s, "a"), CORBA::OBJECT_NOT_EXIST);
  EXPECT_THROW(s->commit(), CORBA::OBJECT_NOT_EXIST);
  EXPECT_THROW(s->set(entries({{"a", "1"}})), CORBA::OBJECT_NOT_EXIST);
  // Ending it again, or ending nil, does nothing.
  store_->endSession(s.in());
  store_->endSession(DataStoreSession::_nil());
  DataStoreSession_var other = newSession();
  EXPECT_EQ(read1(other, "a"), std::nullopt);
  // A session of another server is not ours to end.
  DataStoreSession_var mine = newSession();
  DataStoreServer second;
  TempDir secondDir("qmr-datastored-2");
  DataStoreServer::Options options;
  options.name = testName() + "-second";
  second.start(secondDir.path(), Stack::instance().naming(), options);
  CORBA::Object_var obj = Stack::instance().orb()->string_to_object(second.ior().c_str());
  ClientCore::DataStore_var secondStore = ClientCore::DataStore::_narrow(obj.in());
  secondStore->endSession(mine.in());
  mine->set(entries({{"b", "2"}}));
  EXPECT_EQ(read1(mine, "b"), Value("2"));
  second.stop();
}

TEST_F(DataStoreTest, SessionLimitRaisesNoResourcesUntilOneEnds) {
  startServer({"--max-sessions", "3"});
  DataStoreSession_var s1 = newSession();
  DataStoreSession_var s2 = newSession();
  DataStoreSession_var s3 = newSession();
  EXPECT_THROW(DataStoreSession_var extra = newSession(), CORBA::NO_RESOURCES);
  store_->endSession(s2.in());
  DataStoreSession_var s4 = newSession();
  s4->set(entries({{"a", "1"}}));
  s4->commit();
  EXPECT_EQ(read1(s1, "a"), Value("1"));
  EXPECT_NE(serverLog().find("--max-sessions"), std::string::npos) << serverLog();
}

TEST_F(DataStoreTest, IdleSessionsAreEndedAfterTheTimeout) {
  startServer({"--session-timeout", "0.6"});
  DataStoreSession_var idle = newSession();
  DataStoreSession_var busy = newSession();
  idle->set(entries({{"lost", "x"}}));
  busy->set(entries({{"kept", "y"}}));
  // `busy` keeps calling for 1.5 s, longer than the timeout; `idle` makes no call.
  for (int i = 0; i < 15; ++i) {
    EXPECT_EQ(read1(busy, "kept"), Value("y"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_THROW(read1(idle, "lost"), CORBA::OBJECT_NOT_EXIST);
  busy->commit();
  EXPECT_EQ(read(busy, {"kept", "lost"}), (std::vector<Value>{Value("y"), std::nullopt}));
  std::string log = serverLog();
  EXPECT_NE(log.find("s idle (--session-timeout 0.6): 1 pending changes discarded"),
            std::string::npos)
      << log;
}

TEST_F(DataStoreTest, OversizedKeysAndValuesAreRefusedWithBadParam) {
  startServer({"--max-key-bytes", "8", "--max-value-bytes", "16"});
  DataStoreSession_var s = newSession();
  EXPECT_THROW(s->set(entries({{"ok", "v"}, {"123456789", "v"}})), CORBA::BAD_PARAM);
  EXPECT_THROW(s->set(entries({{"ok", "v"}, {"big", std::string(17, 'v')}})),
               CORBA::BAD_PARAM);
  EXPECT_THROW(s->remove(strings({"ok", "123456789"})), CORBA::BAD_PARAM);
  EXPECT_EQ(read1(s, "ok"), std::nullopt) << "a refused request stores nothing";
  // Exactly at the limits is accepted; a key too long to be stored reads as not valid.
  s->set(entries({{"12345678", std::string(16, 'v')}}));
  s->commit();
  EXPECT_EQ(read(s, {"12345678", "123456789"}),
            (std::vector<Value>{Value(std::string(16, 'v')), std::nullopt}));
  std::string log = serverLog();
  EXPECT_NE(log.find("exceeds --max-key-bytes 8"), std::string::npos) << log;
  EXPECT_NE(log.find("over --max-value-bytes 16"), std::string::npos) << log;
}

TEST_F(DataStoreTest, OversizedMessagesAreRefusedAndTheServerKeepsServing) {
  startServer({"--max-message-bytes", "65536", "--max-value-bytes", "30000"});
  DataStoreSession_var s = newSession();
  // A request larger than the message limit never reaches the session.
  std::vector<std::string> many;
  for (int i = 0; i < 20000; ++i) many.push_back("key" + std::to_string(i));
  EXPECT_THROW(read(s, many), CORBA::SystemException);
  // A reply larger than the limit is refused before it is built.
  std::string value(30000, 'x');
  s->set(entries({{"a", value}}));
  s->set(entries({{"b", value}}));
  s->set(entries({{"c", value}}));
  s->commit();
  EXPECT_THROW(read(s, {"a", "b", "c"}), CORBA::IMP_LIMIT);
  // The server, the connection and the session all still work.
  EXPECT_EQ(read(s, {"a", "b"}), (std::vector<Value>{Value(value), Value(value)}));
  DataStoreSession_var other = newSession();
  EXPECT_EQ(read1(other, "c"), Value(value));
  std::string log = serverLog();
  EXPECT_NE(log.find("WARNING a request was refused with MARSHAL: its GIOP message exceeds "
                     "--max-message-bytes 65536"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("ask for fewer keys"), std::string::npos) << log;
}

TEST_F(DataStoreTest, KeysAndValuesRoundTripByteForByte) {
  startServer();
  std::string anyBytes;
  for (int c = 1; c < 256; ++c) anyBytes += static_cast<char>(c);
  std::string key = "schl\xc3\xbc" "ssel/\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87";
  DataStoreSession_var s = newSession();
  s->set(entries({{key, anyBytes}, {anyBytes, key}}));
  s->commit();
  DataStoreSession_var other = newSession();
  EXPECT_EQ(read(other, {key, anyBytes}), (std::vector<Value>{Value(anyBytes), Value(key)}));
}

}  // namespace
}  // namespace qmr_test
