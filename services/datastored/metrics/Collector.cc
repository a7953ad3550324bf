// Collector.cc - the metric families of a scrape: names, help texts, labels.
#include "metrics/Collector.h"

#include <unistd.h>

#include <chrono>
#include <limits>
#include <cstdio>
#include <utility>

namespace qmr_datastored {
namespace {

using prometheus::ClientMetric;
using prometheus::MetricFamily;
using prometheus::MetricType;

MetricFamily family(const char* name, const char* help, MetricType type) {
  MetricFamily f;
  f.name = name;
  f.help = help;
  f.type = type;
  return f;
}

ClientMetric value(MetricType type, double v, std::vector<ClientMetric::Label> labels = {}) {
  ClientMetric m;
  m.label = std::move(labels);
  if (type == MetricType::Counter) {
    m.counter.value = v;
  } else {
    m.gauge.value = v;
  }
  return m;
}

MetricFamily single(const char* name, const char* help, MetricType type, double v) {
  MetricFamily f = family(name, help, type);
  f.metric.push_back(value(type, v));
  return f;
}

// `scale` turns the histogram's whole units into the exposed unit (nanoseconds to seconds).
MetricFamily histogram(const char* name, const char* help, const Histogram& h, double scale) {
  MetricFamily f = family(name, help, MetricType::Histogram);
  Histogram::Snapshot s = h.snapshot();
  ClientMetric m;
  m.histogram.sample_count = s.count;
  m.histogram.sample_sum = static_cast<double>(s.sum) * scale;
  for (size_t i = 0; i < s.cumulative.size(); ++i) {
    ClientMetric::Bucket b;
    b.cumulative_count = s.cumulative[i];
    b.upper_bound = i < s.bounds.size() ? static_cast<double>(s.bounds[i]) * scale
                                        : std::numeric_limits<double>::infinity();
    m.histogram.bucket.push_back(b);
  }
  f.metric.push_back(std::move(m));
  return f;
}

double nowSeconds() {
  return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

}  // namespace

size_t residentBytes() {
  std::FILE* f = std::fopen("/proc/self/statm", "r");
  if (f == nullptr) return 0;
  unsigned long size = 0, resident = 0;
  int got = std::fscanf(f, "%lu %lu", &size, &resident);
  std::fclose(f);
  if (got != 2) return 0;
  return static_cast<size_t>(resident) * static_cast<size_t>(::sysconf(_SC_PAGESIZE));
}

Collector::Collector(const Counters& counters, std::function<void(Readings*)> read)
    : counters_(counters), read_(std::move(read)), startTime_(nowSeconds()) {}

std::vector<MetricFamily> Collector::Collect() const {
  Readings r;
  read_(&r);
  const Counters& c = counters_;
  constexpr MetricType kCounter = MetricType::Counter;
  constexpr MetricType kGauge = MetricType::Gauge;
  std::vector<MetricFamily> out;

  out.push_back(single("qmr_datastore_sessions_open", "Sessions open now.", kGauge,
                       static_cast<double>(r.sessionsOpen)));
  MetricFamily byClient =
      family("qmr_datastore_client_sessions_open",
             "Sessions open now, by client class (how the client reached the server).", kGauge);
  for (const auto& item : r.sessionsByClient) {
    byClient.metric.push_back(
        value(kGauge, static_cast<double>(item.second), {{"client", item.first}}));
  }
  out.push_back(std::move(byClient));
  out.push_back(single("qmr_datastore_sessions_started_total", "Sessions started.", kCounter,
                       static_cast<double>(c.sessionsStarted.value())));
  MetricFamily ended = family("qmr_datastore_sessions_ended_total",
                              "Sessions ended: by the client (endSession), idle past "
                              "--session-timeout, or evicted to make room under --max-sessions.",
                              kCounter);
  for (size_t i = 0; i < c.sessionsEnded.size(); ++i) {
    ended.metric.push_back(value(kCounter, static_cast<double>(c.sessionsEnded[i].value()),
                                 {{"reason", sessionEndName(static_cast<SessionEnd>(i))}}));
  }
  out.push_back(std::move(ended));

  out.push_back(single("qmr_datastore_pending_bytes",
                       "Key and value bytes of the pending changes of all sessions.", kGauge,
                       static_cast<double>(r.pendingBytes)));
  out.push_back(single("qmr_datastore_pending_bytes_limit", "--max-pending-bytes.", kGauge,
                       static_cast<double>(r.pendingBytesLimit)));

  out.push_back(single("qmr_datastore_commits_total", "Commits that applied changes.", kCounter,
                       static_cast<double>(c.commits.value())));
  out.push_back(single("qmr_datastore_changes_committed_total",
                       "Changes (keys set or removed) in those commits.", kCounter,
                       static_cast<double>(c.changesCommitted.value())));
  out.push_back(histogram("qmr_datastore_commit_duration_seconds",
                          "Time from a commit's call to its return: waiting for the group, "
                          "writing, fsync, publishing to reads.",
                          c.commitNanos, 1e-9));
  out.push_back(histogram("qmr_datastore_commit_group_size",
                          "Commits written in one database transaction (one fsync); the "
                          "count is the number of transactions.",
                          c.groupSize, 1.0));

  out.push_back(single("qmr_datastore_gets_total", "get calls answered.", kCounter,
                       static_cast<double>(c.gets.value())));
  out.push_back(single("qmr_datastore_keys_read_total", "Keys asked for by those gets.",
                       kCounter, static_cast<double>(c.keysRead.value())));
  out.push_back(single("qmr_datastore_keys_found_total", "Keys of those gets that had a value.",
                       kCounter, static_cast<double>(c.keysFound.value())));

  MetricFamily refusals =
      family("qmr_datastore_refusals_total",
             "Requests refused, by cause (the limit or the failure behind the exception).",
             kCounter);
  for (size_t i = 0; i < c.refusals.size(); ++i) {
    refusals.metric.push_back(value(kCounter, static_cast<double>(c.refusals[i].value()),
                                    {{"cause", refusalName(static_cast<Refusal>(i))}}));
  }
  out.push_back(std::move(refusals));

  out.push_back(single("qmr_datastore_database_reconnects_total",
                       "Connections to the database made again after it could not be reached.",
                       kCounter, static_cast<double>(c.databaseReconnects.value())));
  out.push_back(single("qmr_datastore_database_connect_failures_total",
                       "Attempts to connect to the database that failed.", kCounter,
                       static_cast<double>(c.databaseConnectFailures.value())));

  if (r.hasIndex) {
    out.push_back(single("qmr_datastore_index_entries",
                         "Committed entries held in memory for reads (expired ones included "
                         "until purged).",
                         kGauge, static_cast<double>(r.indexEntries)));
    out.push_back(single("qmr_datastore_index_bytes",
                         "Accounted memory of those entries, checked against "
                         "--max-memory-bytes.",
                         kGauge, static_cast<double>(r.indexBytes)));
    out.push_back(single("qmr_datastore_index_bytes_limit", "--max-memory-bytes (0: no limit).",
                         kGauge, static_cast<double>(r.indexBytesLimit)));
  }
  out.push_back(single("process_resident_memory_bytes", "Resident memory of the server.", kGauge,
                       static_cast<double>(residentBytes())));
  out.push_back(single("process_start_time_seconds",
                       "When the server started, in seconds since the epoch.", kGauge,
                       startTime_));
  return out;
}

}  // namespace qmr_datastored
