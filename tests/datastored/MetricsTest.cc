// MetricsTest.cc - the metrics endpoint of a real qmr-datastored (--metrics): scraped while
// clients work, its counters move exactly as the load says (sessions, commits, gets, keys,
// refusals, pending bytes, the index); --status prints them for a person; and the endpoint is
// refused anywhere but on loopback.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "DataStoreFixture.h"
#include "metrics/Endpoint.h"
#include "metrics/Exposition.h"
#include "metrics/Scrape.h"

namespace qmr_test {
namespace {

using ClientCore::DataStoreSession_var;
using qmr_datastored::Exposition;
using qmr_datastored::MetricLabels;
using qmr_datastored::MetricsAddress;

class MetricsTest : public DataStoreTest {
 protected:
  // Starts the server with an endpoint on a free loopback port and finds that port in the
  // line the server prints.
  void startWithMetrics(std::vector<std::string> extra = {}) {
    extra.insert(extra.end(), {"--metrics", "127.0.0.1:0"});
    startServer(extra);
    const std::string marker = "qmr-datastored: metrics at http://";
    std::string log;
    ASSERT_TRUE(eventually([&] {
      log = serverLog();
      return log.find(marker) != std::string::npos;
    })) << log;
    size_t at = log.find(marker) + marker.size();
    std::string hostPort = log.substr(at, log.find("/metrics", at) - at);
    std::string error;
    ASSERT_TRUE(qmr_datastored::parseMetricsAddress(hostPort, &address_, &error)) << error;
    ASSERT_NE(address_.port, 0);
  }

  Exposition scrape() {
    std::string body, error;
    Exposition e;
    EXPECT_TRUE(qmr_datastored::scrapeMetrics(address_, 5000, &body, &error)) << error;
    EXPECT_TRUE(Exposition::parse(body, &e, &error)) << error;
    return e;
  }

  // A metric of qmr-datastored's (the qmr_datastore_ prefix left out); -1 when absent, so
  // that a missing metric fails every comparison with a count.
  static double get(const Exposition& e, const std::string& name, const MetricLabels& l = {}) {
    return e.value("qmr_datastore_" + name, l).value_or(-1);
  }

  MetricsAddress address_;
};

// A gate the load's threads wait at until the test opens it.
class Gate {
 public:
  void open() {
    std::lock_guard<std::mutex> lock(mutex_);
    open_ = true;
    wake_.notify_all();
  }
  void wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [&] { return open_; });
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool open_ = false;
};

TEST_F(MetricsTest, CountersMoveAsTheLoadSaysWhileItRuns) {
  startWithMetrics({"--max-transaction", "8", "--max-key-bytes", "64"});
  Exposition idle = scrape();
  EXPECT_EQ(get(idle, "sessions_open"), 0);
  EXPECT_EQ(get(idle, "commits_total"), 0);
  EXPECT_EQ(get(idle, "index_entries"), 0);

  // Each client, twice over: kCommits commits of two new keys, then kGets gets of three keys,
  // two committed and one never written.
  constexpr int kClients = 4, kCommits = 25, kGets = 20;
  std::atomic<int> halfway{0};
  Gate secondHalf;
  std::atomic<bool> loadDone{false};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      DataStoreSession_var s = newSession();
      for (int half = 0; half < 2; ++half) {
        for (int n = 0; n < kCommits; ++n) {
          std::string k = "c" + std::to_string(c) + "h" + std::to_string(half) + "n" +
                          std::to_string(n);
          s->set(entries({{k + "a", "x"}, {k + "b", "yy"}}));
          s->commit();
        }
        for (int n = 0; n < kGets; ++n) {
          std::string k = "c" + std::to_string(c) + "h" + std::to_string(half) + "n" +
                          std::to_string(n);
          Values v = read(s, {k + "a", k + "b", k + "never"});
          EXPECT_EQ(v, (Values{std::string("x"), std::string("yy"), std::nullopt}));
        }
        if (half == 0) {
          ++halfway;
          secondHalf.wait();
        }
      }
      store_->endSession(s.in());
    });
  }
  // Scrapes all along: they succeed under load and no counter ever goes down.
  std::atomic<int> scrapes{0};
  std::thread scraper([&] {
    double lastCommits = 0, lastKeys = 0;
    while (!loadDone) {
      Exposition e = scrape();
      EXPECT_GE(get(e, "commits_total"), lastCommits);
      EXPECT_GE(get(e, "keys_read_total"), lastKeys);
      lastCommits = get(e, "commits_total");
      lastKeys = get(e, "keys_read_total");
      ++scrapes;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  });

  ASSERT_TRUE(eventually([&] { return halfway == kClients; }, 60000));
  Exposition half = scrape();
  EXPECT_EQ(get(half, "sessions_open"), kClients);
  // All four under the one class of this test's connections (unix, or its uid once clients
  // are known by their uid): ClientClassTest checks the classes themselves.
  std::vector<const qmr_datastored::Sample*> byClient =
      half.all("qmr_datastore_client_sessions_open");
  ASSERT_EQ(byClient.size(), 1u);
  EXPECT_EQ(byClient[0]->value, kClients) << byClient[0]->labels.at("client");
  EXPECT_EQ(get(half, "sessions_started_total"), kClients);
  EXPECT_EQ(get(half, "commits_total"), kClients * kCommits);
  EXPECT_EQ(get(half, "changes_committed_total"), 2 * kClients * kCommits);
  EXPECT_EQ(get(half, "commit_duration_seconds_count"), kClients * kCommits);
  EXPECT_EQ(get(half, "commit_group_size_sum"), kClients * kCommits);
  EXPECT_GE(get(half, "commit_group_size_count"), 1);
  EXPECT_LE(get(half, "commit_group_size_count"), kClients * kCommits);
  EXPECT_EQ(get(half, "gets_total"), kClients * kGets);
  EXPECT_EQ(get(half, "keys_read_total"), 3 * kClients * kGets);
  EXPECT_EQ(get(half, "keys_found_total"), 2 * kClients * kGets);
  EXPECT_EQ(get(half, "index_entries"), 2 * kClients * kCommits);
  EXPECT_GT(get(half, "index_bytes"), 0);

  secondHalf.open();
  for (std::thread& t : clients) t.join();
  loadDone = true;
  scraper.join();
  EXPECT_GT(scrapes.load(), 0);

  Exposition done = scrape();
  EXPECT_EQ(get(done, "sessions_open"), 0);
  EXPECT_EQ(get(done, "sessions_ended_total", {{"reason", "client"}}), kClients);
  EXPECT_EQ(get(done, "sessions_ended_total", {{"reason", "idle"}}), 0);
  EXPECT_EQ(get(done, "commits_total"), 2 * kClients * kCommits);
  EXPECT_EQ(get(done, "gets_total"), 2 * kClients * kGets);
  EXPECT_EQ(get(done, "keys_read_total"), 6 * kClients * kGets);
  EXPECT_EQ(get(done, "keys_found_total"), 4 * kClients * kGets);
  EXPECT_EQ(get(done, "index_entries"), 4 * kClients * kCommits);
  EXPECT_EQ(get(done, "pending_bytes"), 0);
  std::optional<double> p99 =
      qmr_datastored::histogramQuantile(0.99, "qmr_datastore_commit_duration_seconds", done);
  ASSERT_TRUE(p99.has_value());
  EXPECT_GT(*p99, 0);
  EXPECT_LT(*p99, 10);
  EXPECT_GT(done.value("process_resident_memory_bytes").value_or(0), 1 << 20);
  for (const qmr_datastored::Sample* s : done.all("qmr_datastore_refusals_total")) {
    EXPECT_EQ(s->value, 0) << s->labels.at("cause") << ": the load broke no limit";
  }
}

TEST_F(MetricsTest, RefusalsArriveUnderTheirCauseAndPendingBytesAreCounted) {
  startWithMetrics({"--max-transaction", "8", "--max-key-bytes", "64"});
  DataStoreSession_var s = newSession();
  std::vector<Put> nine;
  for (int i = 0; i < 9; ++i) nine.push_back({"k" + std::to_string(i), "v"});
  EXPECT_THROW(s->set(entries(nine)), ClientCore::DataStoreSession::TransactionSizeExceeded);
  EXPECT_THROW(s->set(entries({{std::string(65, 'k'), "v"}})), CORBA::BAD_PARAM);
  EXPECT_THROW(s->remove(strings({std::string(80, 'k')})), CORBA::BAD_PARAM);
  // 2 + 5 + 1 + 0 bytes pending, and each pending key is charged 128 bytes of overhead.
  s->set(entries({{"pk", "12345"}, {"q", ""}}));

  Exposition e = scrape();
  EXPECT_EQ(get(e, "refusals_total", {{"cause", "transaction_keys"}}), 1);
  EXPECT_EQ(get(e, "refusals_total", {{"cause", "key_bytes"}}), 2);
  EXPECT_EQ(get(e, "refusals_total", {{"cause", "value_bytes"}}), 0);
  EXPECT_EQ(get(e, "pending_bytes"), 8 + 2 * 128);
  EXPECT_EQ(get(e, "pending_bytes_limit"), 1073741824);
  EXPECT_EQ(get(e, "commits_total"), 0);

  s->abort();
  EXPECT_EQ(get(scrape(), "pending_bytes"), 0);
  store_->endSession(s.in());
}

TEST_F(MetricsTest, ADatabaseThatGoesAwayCountsItsRefusalsAndTheReconnect) {
  PostgresServer own;
  own.start(dir_.file("pg"));
  db_ = own.conninfo();
  startWithMetrics();
  commitAll({{"k", "1"}});
  Exposition up = scrape();
  EXPECT_EQ(get(up, "database_reconnects_total"), 0);
  EXPECT_EQ(get(up, "refusals_total", {{"cause", "database_unavailable"}}), 0);
  EXPECT_FALSE(up.value("qmr_datastore_index_entries").has_value())
      << "reads go to PostgreSQL: there is no index to show";

  DataStoreSession_var s = newSession();
  own.kill9();
  EXPECT_THROW(read1(s, "k"), CORBA::TRANSIENT);
  EXPECT_EQ(get(scrape(), "database_reconnects_total"), 0);
  own.restart();
  EXPECT_TRUE(readsAgain(s, "k", Value("1")));
  Exposition back = scrape();
  EXPECT_GE(get(back, "refusals_total", {{"cause", "database_unavailable"}}), 1);
  EXPECT_EQ(get(back, "database_reconnects_total"), 1);
  EXPECT_EQ(get(back, "gets_total"), 1) << "only the get that succeeded is counted";
  store_->endSession(s.in());
}

TEST_F(MetricsTest, StatusPrintsTheRunningServersFiguresAsATable) {
  startWithMetrics();
  commitAll({{"a", "1"}, {"b", "2"}});
  commitAll({{"c", "3"}});
  DataStoreSession_var open = newSession();
  ExitedRun run = runToExit(dir_, {"--status", "--metrics", address_.hostPort()});
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("qmr-datastored at http://" + address_.hostPort() + "/metrics"),
            std::string::npos)
      << run.output;
  // Rows: what, [now], [per second], since start.
  EXPECT_NE(run.output.find("\nsessions open  "), std::string::npos) << run.output;
  auto rowOf = [&](const std::string& what) {
    size_t at = run.output.find("\n" + what + "  ");
    return at == std::string::npos ? std::string()
                                   : run.output.substr(at + 1, run.output.find('\n', at + 1) - at - 1);
  };
  std::string sessions = rowOf("sessions open");
  EXPECT_EQ(sessions.substr(sessions.rfind(' ') + 1), "1") << run.output;
  std::string commits = rowOf("commits");
  EXPECT_EQ(commits.substr(commits.rfind(' ') + 1), "2") << run.output;
  std::string entries = rowOf("index entries");
  EXPECT_EQ(entries.substr(entries.rfind(' ') + 1), "3") << run.output;
  EXPECT_NE(rowOf("commit latency p99"), "") << run.output;
  store_->endSession(open.in());

  // Nothing there: a clear message and status 1.
  int port = freeLoopbackPort();
  ExitedRun nobody = runToExit(dir_, {"--status", "--metrics", "127.0.0.1:" + std::to_string(port)});
  EXPECT_EQ(nobody.exitCode, 1) << nobody.output;
  EXPECT_NE(nobody.output.find("cannot connect to http://127.0.0.1:" + std::to_string(port)),
            std::string::npos)
      << nobody.output;
  ExitedRun noAddress = runToExit(dir_, {"--status"});
  EXPECT_EQ(noAddress.exitCode, 2) << noAddress.output;
  EXPECT_NE(noAddress.output.find("--status needs --metrics"), std::string::npos)
      << noAddress.output;
}

TEST_F(MetricsTest, AnEndpointOffLoopbackOrOnATakenPortIsRefusedWithAReason) {
  const std::string db = dir_.file("refused.db");
  ExitedRun wide = runToExit(dir_, {"--db", db, "--metrics", "0.0.0.0:9464"});
  EXPECT_EQ(wide.exitCode, 2) << wide.output;
  EXPECT_NE(wide.output.find("'0.0.0.0' is not a loopback address"), std::string::npos)
      << wide.output;
  ExitedRun unixSocket = runToExit(dir_, {"--db", db, "--metrics", "unix:" + dir_.file("m.sock")});
  EXPECT_EQ(unixSocket.exitCode, 2) << unixSocket.output;
  EXPECT_NE(unixSocket.output.find("Unix-domain socket"), std::string::npos) << unixSocket.output;

  // A port that another program listens on.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  socklen_t len = sizeof a;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
  std::string taken = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
  ExitedRun busy = runToExit(
      dir_, {"--db", db, "--metrics", taken, "-ORBInitRef", Stack::instance().naming().initRef()});
  ::close(fd);
  EXPECT_EQ(busy.exitCode, 1) << busy.output;
  EXPECT_NE(busy.output.find("cannot serve metrics on " + taken), std::string::npos)
      << busy.output;
}

}  // namespace
}  // namespace qmr_test
