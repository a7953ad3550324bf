// StatusTableTest.cc - the metrics read back and shown to a person, without a server: the
// text format parsed (labels with escapes, +Inf, NaN), histogram quantiles between two
// scrapes, the --status table's rows and rates, the loopback rule of --metrics, and the
// collector's families as the endpoint serializes them.
#include <gtest/gtest.h>
#include <prometheus/text_serializer.h>

#include <cmath>
#include <sstream>
#include <string>

#include "metrics/Collector.h"
#include "metrics/Counters.h"
#include "metrics/Endpoint.h"
#include "metrics/Exposition.h"
#include "metrics/StatusTable.h"
#include "sessions/ClientClass.h"

namespace qmr_datastored {
namespace {

Exposition parsed(const std::string& text) {
  Exposition e;
  std::string error;
  EXPECT_TRUE(Exposition::parse(text, &e, &error)) << error;
  return e;
}

// The line of `table` that starts with `what` followed by two spaces, or "".
std::string row(const std::string& table, const std::string& what) {
  std::istringstream in(table);
  std::string line;
  while (std::getline(in, line)) {
    if (line.compare(0, what.size() + 2, what + "  ") == 0) return line;
  }
  return "";
}

// Splits a table line into its columns (runs of two or more spaces separate them).
std::vector<std::string> columns(const std::string& line) {
  std::vector<std::string> out;
  std::string cell;
  for (size_t i = 0; i < line.size(); ++i) {
    if (line[i] == ' ' && i + 1 < line.size() && line[i + 1] == ' ') {
      if (!cell.empty()) out.push_back(cell);
      cell.clear();
      while (i + 1 < line.size() && line[i + 1] == ' ') ++i;
    } else {
      cell += line[i];
    }
  }
  if (!cell.empty()) out.push_back(cell);
  return out;
}

TEST(ExpositionTest, ReadsNamesLabelsAndSpecialValues) {
  Exposition e = parsed(
      "# HELP a_total Things.\n"
      "# TYPE a_total counter\n"
      "a_total 42\n"
      "b{x=\"1\",y=\"q\\\"uote\\\\d\\nnl\"} 2.5 1700000000000\n"
      "\n"
      "c_bucket{le=\"+Inf\"} 7\r\n"
      "d NaN\n");
  ASSERT_EQ(e.samples().size(), 4u);
  EXPECT_EQ(e.value("a_total"), 42.0);
  EXPECT_EQ(e.value("b", {{"x", "1"}, {"y", "q\"uote\\d\nnl"}}), 2.5);
  EXPECT_FALSE(e.value("b", {{"x", "1"}}).has_value()) << "labels must match exactly";
  EXPECT_EQ(e.value("c_bucket", {{"le", "+Inf"}}), 7.0);
  EXPECT_TRUE(std::isnan(*e.value("d")));
  EXPECT_FALSE(e.value("missing").has_value());
}

TEST(ExpositionTest, RefusesALineThatIsNoSampleAndNamesIt) {
  Exposition e;
  std::string error;
  EXPECT_FALSE(Exposition::parse("ok 1\nbroken{x=\"1\" 2\n", &e, &error));
  EXPECT_NE(error.find("line 2"), std::string::npos) << error;
  EXPECT_FALSE(Exposition::parse("name_without_value\n", &e, &error));
  EXPECT_FALSE(Exposition::parse("n 12abc\n", &e, &error));
}

const char* kLatencyBefore =
    "h_bucket{le=\"0.001\"} 10\n"
    "h_bucket{le=\"0.01\"} 10\n"
    "h_bucket{le=\"0.1\"} 10\n"
    "h_bucket{le=\"+Inf\"} 10\n";
const char* kLatencyAfter =
    "h_bucket{le=\"0.001\"} 10\n"
    "h_bucket{le=\"0.01\"} 60\n"
    "h_bucket{le=\"0.1\"} 110\n"
    "h_bucket{le=\"+Inf\"} 110\n";

TEST(ExpositionTest, QuantilesInterpolateWithinABucketSinceTheStartOrBetweenScrapes) {
  Exposition before = parsed(kLatencyBefore);
  Exposition after = parsed(kLatencyAfter);
  // Since the start: 110 observations; the median (rank 55) is the 45th of the 50 in
  // (0.001, 0.01].
  EXPECT_NEAR(*histogramQuantile(0.5, "h", after), 0.001 + 0.009 * 45 / 50, 1e-12);
  // Between the scrapes: 100 observations, 50 in each of the two upper buckets; the median
  // is the top of (0.001, 0.01], the 99th percentile 49/50 of the way through (0.01, 0.1].
  EXPECT_NEAR(*histogramQuantile(0.5, "h", after, &before), 0.01, 1e-12);
  EXPECT_NEAR(*histogramQuantile(0.99, "h", after, &before), 0.01 + 0.09 * 49 / 50, 1e-12);
  // Nothing observed between two equal scrapes; no such histogram at all.
  EXPECT_FALSE(histogramQuantile(0.5, "h", after, &after).has_value());
  EXPECT_FALSE(histogramQuantile(0.5, "nope", after).has_value());
}

TEST(ExpositionTest, AQuantileInTheInfBucketIsTheHighestFiniteBound) {
  Exposition e = parsed("h_bucket{le=\"1\"} 1\nh_bucket{le=\"2\"} 1\nh_bucket{le=\"+Inf\"} 10\n");
  EXPECT_EQ(histogramQuantile(0.99, "h", e), 2.0);
}

// Two scrapes of a server two seconds apart.
const char* kFirst =
    "qmr_datastore_sessions_open 3\n"
    "qmr_datastore_sessions_started_total 10\n"
    "qmr_datastore_sessions_ended_total{reason=\"client\"} 6\n"
    "qmr_datastore_sessions_ended_total{reason=\"idle\"} 1\n"
    "qmr_datastore_sessions_ended_total{reason=\"evicted\"} 0\n"
    "qmr_datastore_commits_total 1000\n"
    "qmr_datastore_commit_duration_seconds_bucket{le=\"0.001\"} 500\n"
    "qmr_datastore_commit_duration_seconds_bucket{le=\"0.01\"} 1000\n"
    "qmr_datastore_commit_duration_seconds_bucket{le=\"+Inf\"} 1000\n"
    "qmr_datastore_commit_group_size_sum 1000\n"
    "qmr_datastore_commit_group_size_count 500\n"
    "qmr_datastore_gets_total 40\n"
    "qmr_datastore_keys_read_total 400\n"
    "qmr_datastore_keys_found_total 100\n"
    "qmr_datastore_refusals_total{cause=\"transaction_keys\"} 2\n"
    "qmr_datastore_refusals_total{cause=\"nul_string\"} 0\n"
    "qmr_datastore_database_reconnects_total 0\n";
const char* kSecond =
    "qmr_datastore_sessions_open 5\n"
    "qmr_datastore_client_sessions_open{client=\"loopback\"} 4\n"
    "qmr_datastore_client_sessions_open{client=\"unix\"} 1\n"
    "qmr_datastore_sessions_started_total 14\n"
    "qmr_datastore_sessions_ended_total{reason=\"client\"} 8\n"
    "qmr_datastore_sessions_ended_total{reason=\"idle\"} 1\n"
    "qmr_datastore_sessions_ended_total{reason=\"evicted\"} 0\n"
    "qmr_datastore_pending_bytes 2048\n"
    "qmr_datastore_pending_bytes_limit 1073741824\n"
    "qmr_datastore_commits_total 1600\n"
    "qmr_datastore_commit_duration_seconds_bucket{le=\"0.001\"} 500\n"
    "qmr_datastore_commit_duration_seconds_bucket{le=\"0.01\"} 1000\n"
    "qmr_datastore_commit_duration_seconds_bucket{le=\"+Inf\"} 1600\n"
    "qmr_datastore_commit_group_size_sum 1600\n"
    "qmr_datastore_commit_group_size_count 650\n"
    "qmr_datastore_gets_total 140\n"
    "qmr_datastore_keys_read_total 1400\n"
    "qmr_datastore_keys_found_total 350\n"
    "qmr_datastore_refusals_total{cause=\"transaction_keys\"} 2\n"
    "qmr_datastore_refusals_total{cause=\"nul_string\"} 1\n"
    "qmr_datastore_database_reconnects_total 1\n"
    "qmr_datastore_index_entries 12345\n"
    "qmr_datastore_index_bytes 3145728\n"
    "qmr_datastore_index_bytes_limit 0\n"
    "process_resident_memory_bytes 52428800\n";

TEST(StatusTableTest, ShowsGaugesNowCountersPerSecondAndSinceTheStart) {
  std::string table = renderStatus(parsed(kFirst), parsed(kSecond), 2.0, "http://127.0.0.1:1/m");
  EXPECT_EQ(table.substr(0, table.find('\n')), "qmr-datastored at http://127.0.0.1:1/m");
  EXPECT_EQ(columns(row(table, "sessions open")), (std::vector<std::string>{"sessions open", "5"}));
  EXPECT_EQ(columns(row(table, "  client loopback")),
            (std::vector<std::string>{"client loopback", "4"}));
  EXPECT_EQ(columns(row(table, "  client unix")), (std::vector<std::string>{"client unix", "1"}));
  EXPECT_EQ(columns(row(table, "sessions started")),
            (std::vector<std::string>{"sessions started", "2.0", "14"}));
  EXPECT_EQ(columns(row(table, "sessions ended")),
            (std::vector<std::string>{"sessions ended", "1.0",
                                      "9 (client 8, idle 1, evicted 0)"}));
  EXPECT_EQ(columns(row(table, "pending bytes")),
            (std::vector<std::string>{"pending bytes", "2.0 KiB of 1.0 GiB"}));
  // 600 commits in 2 s.
  EXPECT_EQ(columns(row(table, "commits")), (std::vector<std::string>{"commits", "300", "1600"}));
  // Between the scrapes every commit took over 10 ms (shown as the highest finite bound);
  // since the start the median is 300/500 of the way through (1 ms, 10 ms].
  EXPECT_EQ(columns(row(table, "commit latency p99")),
            (std::vector<std::string>{"commit latency p99", "10.0 ms", "10.0 ms"}));
  EXPECT_EQ(columns(row(table, "commit latency p50")),
            (std::vector<std::string>{"commit latency p50", "10.0 ms", "6.40 ms"}));
  // 600 commits in 150 transactions now; 1600 in 650 since the start.
  EXPECT_EQ(columns(row(table, "commits per transaction")),
            (std::vector<std::string>{"commits per transaction", "4.0", "2.5"}));
  EXPECT_EQ(columns(row(table, "gets")), (std::vector<std::string>{"gets", "50.0", "140"}));
  EXPECT_EQ(columns(row(table, "keys found")),
            (std::vector<std::string>{"keys found", "125", "350 (25.0%)"}));
  // Only causes that happened get a row; the rate is over the interval.
  EXPECT_EQ(columns(row(table, "refused: nul_string")),
            (std::vector<std::string>{"refused: nul_string", "0.5", "1"}));
  EXPECT_EQ(columns(row(table, "refused: transaction_keys")),
            (std::vector<std::string>{"refused: transaction_keys", "0.0", "2"}));
  EXPECT_EQ(row(table, "refusals"), "");
  EXPECT_EQ(columns(row(table, "database reconnects")),
            (std::vector<std::string>{"database reconnects", "0.5", "1"}));
  EXPECT_EQ(columns(row(table, "index entries")),
            (std::vector<std::string>{"index entries", "12345"}));
  EXPECT_EQ(columns(row(table, "index memory")),
            (std::vector<std::string>{"index memory", "3.0 MiB (no limit)"}));
  EXPECT_EQ(columns(row(table, "resident memory")),
            (std::vector<std::string>{"resident memory", "50.0 MiB"}));
}

TEST(StatusTableTest, AQuietServerShowsNoLatencyNoRefusalsAndNoIndexWithPostgres) {
  // The same scrape twice: nothing happened in between; no index (PostgreSQL).
  std::string table = renderStatus(parsed(kFirst), parsed(kFirst), 1.0, "u");
  EXPECT_EQ(columns(row(table, "commits")), (std::vector<std::string>{"commits", "0.0", "1000"}));
  EXPECT_EQ(columns(row(table, "commit latency p99")),
            (std::vector<std::string>{"commit latency p99", "-", "9.82 ms"}));
  EXPECT_EQ(columns(row(table, "commits per transaction")),
            (std::vector<std::string>{"commits per transaction", "-", "2.0"}));
  EXPECT_EQ(columns(row(table, "refused: transaction_keys")),
            (std::vector<std::string>{"refused: transaction_keys", "0.0", "2"}));
  EXPECT_EQ(columns(row(table, "index")),
            (std::vector<std::string>{"index", "none (reads go to the database)"}));
  // A server that restarted between the scrapes: counters went down, rates are not negative.
  std::string restarted = renderStatus(parsed(kSecond), parsed(kFirst), 1.0, "u");
  EXPECT_EQ(columns(row(restarted, "commits")),
            (std::vector<std::string>{"commits", "0.0", "1000"}));
}

TEST(StatusTableTest, FormatsBytesAndSeconds) {
  EXPECT_EQ(formatBytes(512), "512 B");
  EXPECT_EQ(formatBytes(1536), "1.5 KiB");
  EXPECT_EQ(formatBytes(3.0 * 1024 * 1024 * 1024), "3.0 GiB");
  EXPECT_EQ(formatSeconds(0.00084), "0.84 ms");
  EXPECT_EQ(formatSeconds(0.0125), "12.5 ms");
  EXPECT_EQ(formatSeconds(1.2), "1.20 s");
  EXPECT_EQ(formatSeconds(NAN), "-");
}

TEST(MetricsAddressTest, AcceptsLoopbackOnlyAndSaysWhy) {
  MetricsAddress a;
  std::string error;
  ASSERT_TRUE(parseMetricsAddress("127.0.0.1:9464", &a, &error)) << error;
  EXPECT_EQ(a.hostPort(), "127.0.0.1:9464");
  ASSERT_TRUE(parseMetricsAddress("localhost:0", &a, &error)) << error;
  EXPECT_EQ(a.hostPort(), "127.0.0.1:0");
  ASSERT_TRUE(parseMetricsAddress("9100", &a, &error)) << error;
  EXPECT_EQ(a.hostPort(), "127.0.0.1:9100");
  ASSERT_TRUE(parseMetricsAddress("127.8.9.10:1", &a, &error)) << error;
  ASSERT_TRUE(parseMetricsAddress("[::1]:9464", &a, &error)) << error;
  EXPECT_EQ(a.hostPort(), "[::1]:9464");

  for (const char* wide : {"0.0.0.0:9464", "192.168.1.5:9464", "[::]:9464", "example.org:1",
                           "128.0.0.1:1"}) {
    error.clear();
    EXPECT_FALSE(parseMetricsAddress(wide, &a, &error)) << wide;
    EXPECT_NE(error.find("not a loopback address"), std::string::npos) << error;
  }
  EXPECT_FALSE(parseMetricsAddress("unix:/run/qmr/metrics.sock", &a, &error));
  EXPECT_NE(error.find("Unix-domain socket"), std::string::npos) << error;
  EXPECT_NE(error.find("civetweb"), std::string::npos) << error;
  for (const char* bad : {"127.0.0.1:", "127.0.0.1:65536", "127.0.0.1:-1", "", "127.0.0.1:9x"}) {
    EXPECT_FALSE(parseMetricsAddress(bad, &a, &error)) << bad;
  }
}

TEST(CollectorTest, ServesEveryCounterUnderItsNameAndTheHistogramsInSeconds) {
  Counters c;
  c.sessionsStarted.add(7);
  c.sessionEnded(SessionEnd::kIdle);
  c.gets.add(3);
  c.keysRead.add(30);
  c.keysFound.add(12);
  c.commits.add(2);
  c.changesCommitted.add(9);
  c.commitNanos.observe(300000);    // 0.3 ms: in the 0.5 ms bucket
  c.commitNanos.observe(40000000);  // 40 ms: in the 50 ms bucket
  c.groupSize.observe(2);
  c.refused(Refusal::kValueBytes);
  c.refused(Refusal::kValueBytes);
  c.databaseReconnects.add();
  Collector collector(c, [](Readings* r) {
    r->sessionsByClient = {{"loopback", 2}, {"unix", 1}};
    r->sessionsOpen = 3;
    r->pendingBytes = 100;
    r->pendingBytesLimit = 1000;
    r->hasIndex = true;
    r->indexEntries = 5;
    r->indexBytes = 640;
    r->indexBytesLimit = 4096;
  });
  std::ostringstream text;
  prometheus::TextSerializer().Serialize(text, collector.Collect());
  Exposition e = parsed(text.str());
  const std::string p = "qmr_datastore_";
  EXPECT_EQ(e.value(p + "sessions_open"), 3.0);
  EXPECT_EQ(e.value(p + "client_sessions_open", {{"client", "unix"}}), 1.0);
  EXPECT_EQ(e.value(p + "sessions_started_total"), 7.0);
  EXPECT_EQ(e.value(p + "sessions_ended_total", {{"reason", "idle"}}), 1.0);
  EXPECT_EQ(e.value(p + "sessions_ended_total", {{"reason", "client"}}), 0.0);
  EXPECT_EQ(e.value(p + "pending_bytes"), 100.0);
  EXPECT_EQ(e.value(p + "gets_total"), 3.0);
  EXPECT_EQ(e.value(p + "keys_read_total"), 30.0);
  EXPECT_EQ(e.value(p + "keys_found_total"), 12.0);
  EXPECT_EQ(e.value(p + "commits_total"), 2.0);
  EXPECT_EQ(e.value(p + "changes_committed_total"), 9.0);
  EXPECT_EQ(e.value(p + "commit_duration_seconds_count"), 2.0);
  EXPECT_NEAR(*e.value(p + "commit_duration_seconds_sum"), 0.0403, 1e-9);
  EXPECT_EQ(e.value(p + "commit_duration_seconds_bucket", {{"le", "0.0005"}}), 1.0);
  EXPECT_EQ(e.value(p + "commit_duration_seconds_bucket", {{"le", "0.02"}}), 1.0);
  EXPECT_EQ(e.value(p + "commit_duration_seconds_bucket", {{"le", "0.05"}}), 2.0);
  EXPECT_EQ(e.value(p + "commit_duration_seconds_bucket", {{"le", "+Inf"}}), 2.0);
  EXPECT_EQ(e.value(p + "commit_group_size_bucket", {{"le", "2"}}), 1.0);
  EXPECT_EQ(e.value(p + "commit_group_size_bucket", {{"le", "1"}}), 0.0);
  EXPECT_EQ(e.value(p + "refusals_total", {{"cause", "value_bytes"}}), 2.0);
  EXPECT_EQ(e.value(p + "refusals_total", {{"cause", "database_failed"}}), 0.0);
  EXPECT_EQ(e.all(p + "refusals_total").size(), static_cast<size_t>(Refusal::kCount));
  EXPECT_EQ(e.value(p + "database_reconnects_total"), 1.0);
  EXPECT_EQ(e.value(p + "index_entries"), 5.0);
  EXPECT_EQ(e.value(p + "index_bytes"), 640.0);
  EXPECT_EQ(e.value(p + "index_bytes_limit"), 4096.0);
  EXPECT_GT(*e.value("process_resident_memory_bytes"), 1e6);
}

TEST(CollectorTest, LeavesTheIndexOutWhenReadsGoToTheDatabase) {
  Counters c;
  Collector collector(c, [](Readings*) {});
  std::ostringstream text;
  prometheus::TextSerializer().Serialize(text, collector.Collect());
  Exposition e = parsed(text.str());
  EXPECT_FALSE(e.value("qmr_datastore_index_entries").has_value());
  EXPECT_EQ(e.value("qmr_datastore_sessions_open"), 0.0);
}

TEST(ClientClassTest, LabelsSessionsByUserOrHowTheClientConnected) {
  EXPECT_EQ(clientClass("giop:tcp:127.0.0.1:40000"), "loopback");
  EXPECT_EQ(clientClass("giop:tcp:127.3.2.1:40000"), "loopback");
  EXPECT_EQ(clientClass("giop:tcp:[::1]:40000"), "loopback");
  EXPECT_EQ(clientClass("giop:tcp:::ffff:127.0.0.1:40000"), "loopback");
  EXPECT_EQ(clientClass("giop:tcp:192.0.2.7:40000"), "remote");
  EXPECT_EQ(clientClass("giop:tcp:128.0.0.1:40000"), "remote");
  EXPECT_EQ(clientClass("giop:unix:/run/qmr/datastore.sock"), "unix");
  EXPECT_EQ(clientClass("uid:1000"), "uid:1000");
  EXPECT_EQ(clientClass("tls:CN=appliance-7"), "tls");
  EXPECT_EQ(clientClass("in-process"), "in-process");
  EXPECT_EQ(clientClass("something else"), "other");
}

TEST(HistogramTest, SortsObservationsIntoTheFirstBucketWhoseBoundHoldsThem) {
  Histogram h({10, 20, 40});
  for (uint64_t v : {0, 10, 11, 20, 39, 40, 41, 1000}) h.observe(v);
  Histogram::Snapshot s = h.snapshot();
  EXPECT_EQ(s.cumulative, (std::vector<uint64_t>{2, 4, 6, 8}));
  EXPECT_EQ(s.count, 8u);
  EXPECT_EQ(s.sum, 0u + 10 + 11 + 20 + 39 + 40 + 41 + 1000);
  EXPECT_THROW(Histogram({5, 5}), std::logic_error);
}

}  // namespace
}  // namespace qmr_datastored
