// BenchSupportTest.cc - the pieces every benchmark relies on for honest figures: case parsing,
// the same keys and values in C++ and in Python, the timing loop, and the TCP byte counts
// that size the floor benchmark.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "BenchSupport.h"

namespace {

using qmr_bench::Shape;

TEST(BenchShapes, ParsesListsAndRefusesMalformedCases) {
  std::vector<Shape> shapes;
  std::string error;
  ASSERT_TRUE(qmr_bench::parseShapes("1x16,1000x1024", &shapes, &error)) << error;
  ASSERT_EQ(shapes.size(), 2u);
  EXPECT_EQ(shapes[1].keys, 1000);
  EXPECT_EQ(shapes[1].valueBytes, 1024);
  for (const char* bad : {"0x16", "1001x16", "1x", "x16", "1x16,", "1x16y", "1x0", ""}) {
    error.clear();
    EXPECT_FALSE(qmr_bench::parseShapes(bad, &shapes, &error)) << bad;
    EXPECT_NE(error.find("KEYSxBYTES"), std::string::npos) << bad;
  }
}

// The runner fills the stores from C++ and the Python benchmark reads them back: both sides
// must name and fill the keys identically.
TEST(BenchData, PythonAndCxxAgreeOnKeysAndValues) {
  EXPECT_EQ(qmr_bench::keyName(16, 123), "key:000123");
  EXPECT_EQ(qmr_bench::keyName(1024, 0), "kib:000000");
  for (int bytes : {1, 16, 1024}) {
    EXPECT_EQ(qmr_bench::valueFor(bytes, 7).size(), static_cast<size_t>(bytes));
  }
  EXPECT_NE(qmr_bench::valueFor(16, 1), qmr_bench::valueFor(16, 2));
  const std::string command =
      "cd " QMR_BENCH_SOURCE_DIR " && /usr/bin/python3 -c 'import pybench; "
      "print(pybench.key_name(16, 42)); print(pybench.key_name(1024, 999)); "
      "print(pybench.value_for(16, 42)); print(pybench.value_for(1024, 999))'";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string out;
  char buf[4096];
  while (size_t n = std::fread(buf, 1, sizeof buf, pipe)) out.append(buf, n);
  ASSERT_EQ(pclose(pipe), 0) << out;
  EXPECT_EQ(out, qmr_bench::keyName(16, 42) + "\n" + qmr_bench::keyName(1024, 999) + "\n" +
                     qmr_bench::valueFor(16, 42) + "\n" + qmr_bench::valueFor(1024, 999) +
                     "\n");
}

TEST(BenchTiming, TimesOnlyTheCallsAfterTheWarmup) {
  long total = 0;
  long timed = 0;
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
  // With no time to spend, exactly the two first warm-up calls run untimed.
  total = 0;
  qmr_bench::timeCalls([&] { ++total; }, 0.0, 100, 10, &timed);
  EXPECT_EQ(total, timed + 2);
  // A minimum count wins over a short time.
  total = 0;
  qmr_bench::timeCalls([&] { ++total; }, 0.0, 0, 1000, &timed);
  EXPECT_EQ(timed, 1000);
}

// A request/reply over loopback inside this process: both ends are ours, so each direction's
// bytes are counted once as sent and once as received.
TEST(BenchTcpBytes, CountsTheBytesOfARequestAndItsReply) {
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
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
  const std::string request(1000, 'q'), reply(300, 'r');
  char buf[2048];
  ASSERT_EQ(write(client, request.data(), request.size()), 1000);
  size_t got = 0;
  while (got < request.size()) got += static_cast<size_t>(read(server, buf, sizeof buf));
  ASSERT_EQ(write(server, reply.data(), reply.size()), 300);
  got = 0;
  while (got < reply.size()) got += static_cast<size_t>(read(client, buf, sizeof buf));
  const qmr_bench::TcpBytes after = qmr_bench::tcpBytes();

  EXPECT_EQ(after.sent - before.sent, 1300u);
  EXPECT_EQ(after.received - before.received, 1300u);
  close(client);
  close(server);
  close(listener);
}

TEST(BenchResult, PrintsOneJsonObjectPerLine) {
  testing::internal::CaptureStdout();
  qmr_bench::Result("read").str("method", "stub").num("keys", 100).num("us", 12.5).print();
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "{\"kind\": \"read\", \"method\": \"stub\", \"keys\": 100, \"us\": 12.5}\n");
}

}  // namespace
