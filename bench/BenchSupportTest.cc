// BenchSupportTest.cc - what keeps the benchmarks' figures honest: the same keys and values in
// C++ and in Python, a timing loop that leaves the warm-up out, and the TCP byte counts that
// size the floor benchmark's messages.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "BenchSupport.h"

namespace {

// The runner fills the stores from C++ and the Python benchmark reads them back: both sides
// must name and fill the keys identically, each value exactly as long as its case says.
TEST(BenchData, PythonAndCxxAgreeOnKeysAndValues) {
  std::string expected;
  for (int bytes : {1, 16, 100, 1024}) {
    for (int index : {0, 42, 999}) {
      const std::string value = qmr_bench::valueFor(bytes, index);
      EXPECT_EQ(static_cast<size_t>(bytes), value.size()) << bytes << " " << index;
      expected += qmr_bench::keyName(bytes, index) + " " + value + "\n";
    }
  }
  EXPECT_NE(qmr_bench::valueFor(16, 1), qmr_bench::valueFor(16, 2));
  FILE* pipe =
      popen("cd " QMR_BENCH_SOURCE_DIR
            " && /usr/bin/python3 -c 'import pybench\n"
            "for b in (1, 16, 100, 1024):\n"
            "  for i in (0, 42, 999): print(pybench.key_name(b, i), pybench.value_for(b, i))'",
            "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buf[4096];
  while (size_t n = std::fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
  ASSERT_EQ(pclose(pipe), 0) << out;
  EXPECT_EQ(expected, out);
}

// The cases a run asks for come from the command line: what is refused must not turn into a
// case of another size that the figures would then be filed under.
TEST(BenchCases, ListsOfShapesAndEntryCountsParseOrAreRefused) {
  std::vector<qmr_bench::Shape> shapes;
  std::string error;
  ASSERT_TRUE(qmr_bench::parseShapes("1x16,1000x1024", &shapes, &error)) << error;
  ASSERT_EQ(shapes.size(), 2u);
  EXPECT_EQ(shapes[1].keys, 1000);
  EXPECT_EQ(shapes[1].valueBytes, 1024);
  for (const char* bad : {"", "10", "10x", "0x16", "1001x16", "1x16,", "1x16x2"}) {
    EXPECT_FALSE(qmr_bench::parseShapes(bad, &shapes, &error)) << bad;
  }

  std::vector<int> counts;
  ASSERT_TRUE(qmr_bench::parseEntryCounts("1,10,100", &counts, &error)) << error;
  EXPECT_EQ(counts, (std::vector<int>{1, 10, 100}));
  for (const char* bad : {"", ",", "1,", ",1", "0", "-1", "10a", "1,,2", "1 0"}) {
    EXPECT_FALSE(qmr_bench::parseEntryCounts(bad, &counts, &error)) << bad;
  }
  EXPECT_NE(error.find("--entries"), std::string::npos) << error;
}

TEST(BenchTiming, TimesOnlyTheCallsAfterTheWarmup) {
  long total = 0, timed = 0;
  const double us = qmr_bench::timeCalls(
      [&] {
        ++total;
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      },
      0.02, 5, 3, &timed);
  // The warm-up stops early once it has used a fifth of the time, but never before two calls,
  // so a loaded machine may run fewer than five of them.
  EXPECT_GE(total - timed, 2);
  EXPECT_LE(total - timed, 5);
  EXPECT_GE(timed, 3);
  EXPECT_GE(us, 200.0);
  // With no time to spend, exactly the two first warm-up calls run untimed, and the minimum
  // count wins.
  total = 0;
  qmr_bench::timeCalls([&] { ++total; }, 0.0, 100, 1000, &timed);
  EXPECT_EQ(timed, 1000);
  EXPECT_EQ(total, 1002);
}

TEST(BenchTiming, RecordsEveryTimedCallForPercentiles) {
  long timed = 0, n = 0;
  qmr_bench::Latencies lat;
  // Every tenth call is slow: the p50 must be a fast one and the p99 a slow one.
  qmr_bench::timeCalls(
      [&] {
        if (++n % 10 == 0) std::this_thread::sleep_for(std::chrono::microseconds(2000));
      },
      0.0, 0, 200, &timed, nullptr, &lat);
  ASSERT_EQ(lat.us.size(), static_cast<size_t>(timed));
  EXPECT_LT(lat.percentile(50), 1000.0);
  EXPECT_GE(lat.percentile(99), 2000.0);
  qmr_bench::Latencies ranks;
  for (int i = 1; i <= 100; ++i) ranks.us.push_back(101 - i);  // 100 .. 1
  EXPECT_EQ(ranks.percentile(50), 50.0);
  EXPECT_EQ(ranks.percentile(99), 99.0);
  EXPECT_EQ(ranks.percentile(100), 100.0);
  EXPECT_EQ(qmr_bench::Latencies().percentile(99), 0.0);
}

// A request/reply over loopback inside this process: both ends are ours, so each direction's
// bytes are counted once as sent and once as received.
TEST(BenchTcpBytes, CountsTheBytesOfARequestAndItsReply) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 1), 0);
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  const int server = accept(listener, nullptr, nullptr);
  ASSERT_GE(server, 0);

  const qmr_bench::TcpBytes before = qmr_bench::tcpBytes();
  char buf[2048];
  for (auto [from, to, bytes] :
       {std::make_tuple(client, server, 1000), std::make_tuple(server, client, 300)}) {
    ASSERT_EQ(write(from, std::string(bytes, 'x').data(), bytes), bytes);
    for (int got = 0; got < bytes;) got += static_cast<int>(read(to, buf, sizeof buf));
  }
  const qmr_bench::TcpBytes after = qmr_bench::tcpBytes();
  EXPECT_EQ(after.sent - before.sent, 1300u);
  EXPECT_EQ(after.received - before.received, 1300u);
  close(client);
  close(server);
  close(listener);
}

}  // namespace
