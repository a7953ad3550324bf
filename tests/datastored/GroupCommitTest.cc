// GroupCommitTest.cc - commits of concurrent clients against a real qmr-datastored: every
// commit that returned survives SIGKILL, the one in flight is all or nothing, and a commit past
// the memory limit is refused with NO_RESOURCES while its changes stay pending.
#include <atomic>
#include <thread>
#include <vector>

#include "DataStoreFixture.h"

namespace qmr_test {
namespace {

using ClientCore::DataStoreSession_var;
using GroupCommitTest = DataStoreTest;

TEST_F(GroupCommitTest, ConcurrentCommittersLoseNoReturnedCommitToSigkill) {
  startServer();
  constexpr int kWriters = 6;
  // Commit n of writer w: two keys with the same value.
  auto tx = [](int w, int n) {
    std::string t = "w" + std::to_string(w) + "n" + std::to_string(n);
    return std::vector<Put>{{t + "a", t}, {t + "b", t}};
  };
  std::vector<std::atomic<int>> returned(kWriters);
  std::vector<std::thread> writers;
  for (int w = 0; w < kWriters; ++w) {
    returned[w] = 0;
    writers.emplace_back([&, w] {
      try {
        DataStoreSession_var s = newSession();
        for (int n = 0;; ++n) {
          s->set(entries(tx(w, n)));
          s->commit();
          returned[w] = n + 1;
        }
      } catch (const CORBA::SystemException&) {
        // The server was killed mid-stream.
      }
    });
  }
  auto total = [&] {
    int sum = 0;
    for (auto& r : returned) sum += r;
    return sum;
  };
  bool enough = eventually([&] { return total() >= 40 * kWriters; }, 60000);
  server_->kill9();
  for (std::thread& t : writers) t.join();
  ASSERT_TRUE(enough) << "only " << total() << " commits returned before the kill";

  server_->restart();
  connect();
  DataStoreSession_var reader = newSession();
  for (int w = 0; w < kWriters; ++w) {
    for (int n = 0; n < returned[w] + 2; ++n) {
      std::vector<Put> t = tx(w, n);
      Values v = read(reader, {t[0].key, t[1].key});
      if (n < returned[w]) {
        EXPECT_EQ(v, (Values{t[0].data, t[1].data})) << t[0].key << " returned before the kill";
      } else {
        int present = v[0].has_value() + v[1].has_value();
        EXPECT_TRUE(present == 0 || (present == 2 && n == returned[w]))
            << t[0].key << ": " << present;
      }
    }
  }
}

TEST_F(GroupCommitTest, ACommitPastTheMemoryLimitRaisesNoResourcesAndStaysPending) {
  // Room for about twenty entries of short keys and values.
  startServer({"--max-memory-bytes", "2500"});
  std::vector<Put> ten, twenty;
  for (int i = 0; i < 10; ++i) ten.push_back({"k" + std::to_string(i), "v"});
  for (int i = 10; i < 30; ++i) twenty.push_back({"k" + std::to_string(i), "v"});
  commitAll(ten);
  DataStoreSession_var s = newSession();
  s->set(entries(twenty));
  EXPECT_THROW(s->commit(), CORBA::NO_RESOURCES);
  EXPECT_TRUE(logHas("commit of 20 changes refused, they stay pending"));
  EXPECT_TRUE(logHas("over --max-memory-bytes 2500"));
  EXPECT_EQ(read1(s, "k29"), Value("v")) << "the refused changes stay pending";
  DataStoreSession_var other = newSession();
  EXPECT_EQ(read(other, {"k0", "k29"}), (Values{"v", std::nullopt}));
  // Removing committed entries makes room for the same commit.
  DataStoreSession_var remover = newSession();
  std::vector<std::string> keys;
  for (const Put& p : ten) keys.push_back(p.key);
  remover->remove(strings(keys));
  remover->commit();
  s->commit();
  EXPECT_EQ(read(other, {"k0", "k29"}), (Values{std::nullopt, "v"}));
}

}  // namespace
}  // namespace qmr_test
