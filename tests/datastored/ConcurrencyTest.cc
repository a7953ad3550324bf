// ConcurrencyTest.cc - several client threads, each with sessions of its own, at once on one
// server: no commit lost, no session sees another's pending changes.
#include <atomic>
#include <thread>

#include "DataStoreFixture.h"

namespace qmr_test {
namespace {

using ClientCore::DataStoreSession_var;

TEST_F(DataStoreTest, ConcurrentSessionsLoseNoCommitsAndStayIsolated) {
  startServer();
  constexpr int kThreads = 8;
  constexpr int kRounds = 40;
  std::atomic<int> failures{0};
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
            // A second session of the same thread starts and ends while the first is open.
            DataStoreSession_var side = newSession();
            if (read1(side, key).has_value()) ++leaks;
            store_->endSession(side.in());
          }
          if (r % 7 == 3) store_->checkDataFile();
          s->commit();
        }
        store_->endSession(s.in());
      } catch (const CORBA::Exception& e) {
        ++failures;
        ADD_FAILURE() << "thread " << t << ": " << e._name();
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(leaks.load(), 0) << "a session saw another session's pending change";

  DataStoreSession_var check = newSession();
  std::vector<std::string> keys;
  std::vector<Value> expected;
  for (int t = 0; t < kThreads; ++t) {
    for (int r = 0; r < kRounds; ++r) {
      keys.push_back("t" + std::to_string(t) + "/" + std::to_string(r));
      expected.emplace_back(std::to_string(r));
    }
  }
  EXPECT_EQ(read(check, keys), expected) << "a committed write went missing";
  for (int i = 0; i < 4; ++i) {
    Value v = read1(check, "shared" + std::to_string(i));
    ASSERT_TRUE(v.has_value());
    // The last commit of a shared key came from some thread's round r with r % 4 == i.
    size_t slash = v->find('/');
    ASSERT_NE(slash, std::string::npos) << *v;
    EXPECT_EQ(std::stoi(v->substr(slash + 1)) % 4, i) << *v;
  }
}

}  // namespace
}  // namespace qmr_test
