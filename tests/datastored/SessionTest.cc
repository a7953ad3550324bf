// SessionTest.cc - what sessions see of their own pending changes and of the committed store,
// how entries expire, and how qmr-datastored enforces its limits: each refusal reaches the
// caller as an exception and a log line, and the session, the connection and the server go on
// serving. Every test runs on both engines, SQLite and PostgreSQL.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "DataStoreFixture.h"

namespace qmr_test {
namespace {

using ClientCore::DataStoreSession;
using ClientCore::DataStoreSession_var;
using TooBig = DataStoreSession::TransactionSizeExceeded;

// The test's own ORB must be able to send a request larger than the server accepts, or the
// million-key request below would be stopped on this side. omniORB reads ORB* settings from
// the environment in ORB_init, which main() calls after this runs.
const bool kLargeClientMessages = ::setenv("ORBgiopMaxMsgSize", "268435456", 0) == 0;

TEST_P(EngineTest, PendingChangesOverlayTheStoreUntilCommitOrAbort) {
  startServer();
  commitAll({{"a", "1"}, {"b", "2"}});
  DataStoreSession_var s = newSession();
  DataStoreSession_var other = newSession();
  auto change = [&] {
    s->set(entries({{"a", "10"}, {"n", "new"}}));
    s->remove(strings({"b"}));
  };
  change();
  // Request order is kept, duplicates get one value each, unknown keys are not valid.
  EXPECT_EQ(read(s, {"b", "a", "c", "a", "n"}), (Values{{}, "10", {}, "10", "new"}));
  EXPECT_EQ(read(s, {}), Values{});
  EXPECT_EQ(read(other, {"a", "b", "n"}), (Values{"1", "2", {}}))
      << "another session sees only what is committed";

  s->abort();
  s->commit();  // nothing is left to commit
  EXPECT_EQ(read(s, {"a", "b", "n"}), (Values{"1", "2", {}}));
  EXPECT_EQ(read(other, {"a", "b", "n"}), (Values{"1", "2", {}}));

  change();
  s->commit();
  EXPECT_EQ(read(other, {"a", "b", "n"}), (Values{"10", {}, "new"}));
  s->abort();  // the commit cleared the pending changes: nothing to undo
  EXPECT_EQ(read(s, {"a", "b", "n"}), (Values{"10", {}, "new"}));
}

TEST_P(EngineTest, LastChangeOfAKeyWinsAndAnyBytesRoundTrip) {
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
  // Every byte but NUL, and UTF-8 text, in keys and in values.
  std::string anyBytes;
  for (int c = 1; c < 256; ++c) anyBytes += static_cast<char>(c);
  std::string utf8 = "schl\xc3\xbcssel/\xd0\xba\xd0\xbb\xd1\x8e\xd1\x87";
  s->set(entries({{utf8, anyBytes}, {anyBytes, utf8}}));
  s->commit();
  DataStoreSession_var other = newSession();
  EXPECT_EQ(read(other, {"k", utf8, anyBytes}), (Values{"", anyBytes, utf8}))
      << "an empty value is a valid value";
}

TEST_P(EngineTest, TransactionLimitsRefuseWhatWouldExceedThemAndKeepPendingChanges) {
  startServer({"--max-transaction", "3", "--max-transaction-bytes", "100"});
  DataStoreSession_var s = newSession();
  // Distinct keys: a key repeated in a request, or already pending, counts once.
  EXPECT_THROW(s->set(entries({{"w", "1"}, {"x", "1"}, {"y", "1"}, {"z", "1"}})), TooBig);
  EXPECT_EQ(read(s, {"w", "z"}), (Values{{}, {}})) << "a refused request stores nothing";
  s->set(entries({{"a", "1"}, {"b", "1"}}));
  s->set(entries({{"a", "2"}, {"b", "2"}, {"c", "2"}, {"c", "3"}}));
  EXPECT_THROW(s->set(entries({{"d", "1"}})), TooBig);
  EXPECT_THROW(s->remove(strings({"d"})), TooBig);
  EXPECT_THROW(s->set(entries({{"a", "9"}, {"d", "1"}})), TooBig);
  EXPECT_EQ(read(s, {"a", "b", "c", "d"}), (Values{"2", "2", "3", {}}));
  s->remove(strings({"b"}));
  s->set(entries({{"a", "4"}}));
  s->commit();
  DataStoreSession_var other = newSession();
  EXPECT_EQ(read(other, {"a", "b", "c", "d"}), (Values{"4", {}, "3", {}}));
  s->set(entries({{"d", "1"}, {"e", "1"}, {"f", "1"}}));  // the commit made room again
  s->abort();

  // Bytes: key plus value of each pending key; a replaced value counts only the difference,
  // also when it is replaced within the same request.
  s->set(entries({{"a", std::string(49, 'x')}, {"b", std::string(40, 'x')}}));  // 50 + 41
  s->set(entries({{"a", std::string(58, 'y')}}));                               // 59 + 41
  EXPECT_THROW(s->set(entries({{"c", ""}})), TooBig);
  EXPECT_THROW(s->set(entries({{"b", std::string(41, 'z')}})), TooBig);
  s->set(entries({{"b", std::string(500, 'z')}, {"b", std::string(30, 'w')}}));  // 59 + 31
  EXPECT_EQ(read(s, {"a", "b"}), (Values{std::string(58, 'y'), std::string(30, 'w')}));
  s->commit();
  s->set(entries({{"c", std::string(98, 'c')}}));  // a commit empties the count
  EXPECT_TRUE(logHas("new ones exceed --max-transaction 3; commit or abort first"));
  EXPECT_TRUE(logHas("more exceed --max-transaction-bytes 100; commit or abort first"));
}

TEST_P(EngineTest, SessionsAreBoundedAndEndOnRequestOrWhenIdle) {
  startServer({"--max-sessions-per-client", "4", "--session-timeout", "1"});
  DataStoreSession_var oldest = newSession();
  oldest->set(entries({{"oldest", "o"}}));
  DataStoreSession_var busy = newSession();
  DataStoreSession_var idle = newSession();
  DataStoreSession_var ended = newSession();
  busy->set(entries({{"kept", "y"}}));
  idle->set(entries({{"lost", "x"}}));
  ended->set(entries({{"gone", "z"}}));
  // At its quota a client makes room with its own session idle longest.
  DataStoreSession_var extra = newSession();
  EXPECT_TRUE(logHas(" had --max-sessions-per-client 4 open; 1 pending changes discarded"));
  EXPECT_THROW(read1(oldest, "oldest"), CORBA::OBJECT_NOT_EXIST);

  // An ended session is gone with its changes; ending it again, or ending nil, does nothing.
  store_->endSession(ended.in());
  EXPECT_THROW(read1(ended, "gone"), CORBA::OBJECT_NOT_EXIST);
  EXPECT_THROW(ended->commit(), CORBA::OBJECT_NOT_EXIST);
  EXPECT_THROW(ended->set(entries({{"gone", "z"}})), CORBA::OBJECT_NOT_EXIST);
  store_->endSession(ended.in());
  store_->endSession(DataStoreSession::_nil());
  DataStoreSession_var next = newSession();  // ending one made room

  // `busy` keeps calling; `idle` (and `next`) make no call and are ended after the timeout.
  EXPECT_TRUE(eventually(
      [&] {
        EXPECT_EQ(read1(busy, "kept"), Value("y"));
        return serverLog().find("s idle (--session-timeout 1): 1 pending changes discarded") !=
               std::string::npos;
      },
      15000))
      << serverLog();
  EXPECT_THROW(read1(idle, "lost"), CORBA::OBJECT_NOT_EXIST);
  busy->commit();
  DataStoreSession_var fresh = newSession();  // the idle one's place is free again
  EXPECT_EQ(read(fresh, {"kept", "lost", "gone"}), (Values{"y", {}, {}}));
}

TEST_P(EngineTest, OversizedKeysAndValuesAreRefusedWithBadParam) {
  startServer({"--max-key-bytes", "8", "--max-value-bytes", "16"});
  DataStoreSession_var s = newSession();
  EXPECT_THROW(s->set(entries({{"ok", "v"}, {"123456789", "v"}})), CORBA::BAD_PARAM);
  EXPECT_THROW(s->set(entries({{"ok", "v"}, {"big", std::string(17, 'v')}})), CORBA::BAD_PARAM);
  EXPECT_THROW(s->remove(strings({"ok", "123456789"})), CORBA::BAD_PARAM);
  EXPECT_EQ(read1(s, "ok"), std::nullopt) << "a refused request stores nothing";
  // Exactly at the limits is accepted; a key too long to be stored reads as not valid.
  s->set(entries({{"12345678", std::string(16, 'v')}}));
  s->commit();
  EXPECT_EQ(read(s, {"12345678", "123456789"}), (Values{std::string(16, 'v'), {}}));
  EXPECT_TRUE(logHas("set refused: a key of 9 bytes exceeds --max-key-bytes 8"));
  EXPECT_TRUE(logHas("remove refused: a key of 9 bytes exceeds --max-key-bytes 8"));
  EXPECT_TRUE(logHas("is 17 bytes, over --max-value-bytes 16"));
}

TEST_P(EngineTest, OversizedRequestsAndRepliesAreRefusedAndTheSessionGoesOn) {
  startServer({"--max-message-bytes", "1048576", "--max-value-bytes", "400000"});
  DataStoreSession_var s = newSession();
  const std::string value(400000, 'x');
  for (const char* key : {"a", "b", "c"}) s->set(entries({{key, value}}));
  // A request of a million keys is refused by the server's ORB before the session sees it.
  ClientCore::StringList many;
  many.length(1000000);
  for (CORBA::ULong i = 0; i < many.length(); ++i) many[i] = ("key" + std::to_string(i)).c_str();
  DataStoreSession::ValueList_var values;
  EXPECT_THROW(s->get(many, values.out()), CORBA::MARSHAL);
  s->commit();
  // A reply larger than the limit is refused before it is built.
  EXPECT_THROW(read(s, {"a", "b", "c"}), CORBA::IMP_LIMIT);
  EXPECT_TRUE(read(s, {"a", "b"}) == (Values{value, value})) << "the session goes on";
  DataStoreSession_var other = newSession();
  EXPECT_TRUE(read1(other, "c") == value) << "so does the server";
  EXPECT_TRUE(
      logHas("WARNING a request was refused with MARSHAL: its GIOP message exceeds "
             "--max-message-bytes 1048576"));
  EXPECT_TRUE(
      logHas("get of 3 keys refused: the reply would exceed the 1047552 bytes that "
             "--max-message-bytes 1048576 leaves for values"));
}

// Several client threads with sessions of their own: no commit lost, no session sees
// another's pending changes.
TEST_P(EngineTest, ConcurrentSessionsLoseNoCommitsAndStayIsolated) {
  startServer();
  constexpr int kThreads = 8;
  constexpr int kRounds = 40;
  std::atomic<int> leaks{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      try {
        DataStoreSession_var s = newSession();
        for (int r = 0; r < kRounds; ++r) {
          std::string key = "t" + std::to_string(t) + "/" + std::to_string(r);
          std::string shared = "shared" + std::to_string(r % 4);
          s->set(entries({{key, std::to_string(r)}, {shared, key}}));
          // Every thread writes the shared keys; before its own commit a session must see its
          // own value there, whatever the others committed meanwhile.
          if (read1(s, shared) != Value(key)) ++leaks;
          if (r % 5 == 4) {
            DataStoreSession_var side = newSession();
            if (read1(side, key).has_value()) ++leaks;
            store_->endSession(side.in());
          }
          if (r % 7 == 3) store_->checkDataFile();
          s->commit();
        }
        store_->endSession(s.in());
      } catch (const CORBA::Exception& e) {
        ADD_FAILURE() << "thread " << t << ": " << e._name();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(leaks.load(), 0) << "a session saw another session's pending change";

  DataStoreSession_var check = newSession();
  std::vector<std::string> keys;
  Values expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int r = 0; r < kRounds; ++r) {
      keys.push_back("t" + std::to_string(t) + "/" + std::to_string(r));
      expected.emplace_back(std::to_string(r));
    }
  }
  EXPECT_EQ(read(check, keys), expected) << "a committed write went missing";
  for (int i = 0; i < 4; ++i) {
    // The last commit of a shared key came from some thread's round r with r % 4 == i.
    Value v = read1(check, "shared" + std::to_string(i));
    ASSERT_TRUE(v.has_value());
    size_t slash = v->find('/');
    ASSERT_NE(slash, std::string::npos) << *v;
    EXPECT_EQ(std::stoi(v->substr(slash + 1)) % 4, i) << *v;
  }
}

TEST_P(EngineTest, EntriesExpireAfterTheirCommitAndCheckDataFilePurgesThem) {
  startServer();
  DataStoreSession_var s = newSession();
  s->set(entries({{"short", "s", 1}, {"never", "n", 0}, {"negative", "m", -5}}));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(read1(s, "short"), Value("s")) << "the lifetime starts at the commit";
  auto committed = std::chrono::steady_clock::now();
  s->commit();
  DataStoreSession_var other = newSession();
  EXPECT_EQ(read(other, {"short", "never", "negative"}), (Values{"s", "n", "m"}));
  EXPECT_TRUE(eventually([&] { return !read1(other, "short").has_value(); }, 10000));
  auto lived = std::chrono::steady_clock::now() - committed;
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(lived).count(), 950)
      << "expired before its second was over";
  EXPECT_EQ(read(other, {"never", "negative"}), (Values{"n", "m"}));

  EXPECT_EQ(countRows("SELECT count(*) FROM entries"), 3) << "reads do not purge";
  store_->checkDataFile();
  EXPECT_EQ(countRows("SELECT count(*) FROM entries WHERE key IN ('never', 'negative')"), 2);
  EXPECT_EQ(countRows("SELECT count(*) FROM entries"), 2);
  EXPECT_TRUE(logHas("passed the integrity check in"));
  EXPECT_TRUE(logHas("ms; 1 expired entries purged (1 call)"));
  // Writing the key again gives it a new life.
  s->set(entries({{"short", "again", 0}}));
  s->commit();
  EXPECT_EQ(read1(other, "short"), Value("again"));
}

INSTANTIATE_TEST_SUITE_P(BothEngines, EngineTest,
                         ::testing::Values(Engine::kSqlite, Engine::kPostgres), engineName);

// The server's read lock, end to end: while one client commits all of 40 keys to A, then all
// to B, and so on, gets of all 40 from other clients never mix the two.
TEST_P(EngineTest, AGetThroughTheServerSeesAWholeCommitOrNoneOfIt) {
  startServer();
  std::vector<std::string> keys;
  for (int i = 0; i < 40; ++i) keys.push_back("r" + std::to_string(i));
  auto all = [&](const std::string& value) {
    std::vector<Put> puts;
    for (const std::string& k : keys) puts.push_back({k, value});
    return puts;
  };
  commitAll(all("A"));
  std::atomic<bool> stop{false};
  std::atomic<long> torn{0}, reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      DataStoreSession_var s = newSession();
      while (!stop) {
        Values values = read(s, keys);
        for (const Value& v : values) {
          if (v != values[0] || !v.has_value()) {
            ++torn;
            break;
          }
        }
        ++reads;
      }
    });
  }
  DataStoreSession_var writer = newSession();
  for (int n = 0; n < 60; ++n) {
    writer->set(entries(all(n % 2 ? "A" : "B")));
    writer->commit();
  }
  stop = true;
  for (std::thread& t : readers) t.join();
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(torn.load(), 0) << "of " << reads.load() << " gets";
}

}  // namespace
}  // namespace qmr_test
