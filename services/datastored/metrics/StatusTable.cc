// StatusTable.cc - rows of the --status table and their layout.
#include "metrics/StatusTable.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <vector>

namespace qmr_datastored {
namespace {

const std::string kPrefix = "qmr_datastore_";

struct Row {
  std::string what;
  std::string now;        // a gauge now, or a figure over the interval
  std::string perSecond;  // a counter's rate over the interval
  std::string total;      // a counter since the start
};

std::string printf1(const char* format, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

std::string whole(double v) { return printf1("%.0f", v); }
std::string rate(double v) { return printf1(v < 100 ? "%.1f" : "%.0f", v); }

std::string uptime(double seconds) {
  long s = static_cast<long>(seconds);
  char buf[64];
  if (s >= 86400) {
    std::snprintf(buf, sizeof buf, "%ld d %02ld h", s / 86400, s % 86400 / 3600);
  } else if (s >= 3600) {
    std::snprintf(buf, sizeof buf, "%ld h %02ld min", s / 3600, s % 3600 / 60);
  } else {
    std::snprintf(buf, sizeof buf, "%ld min %02ld s", s / 60, s % 60);
  }
  return buf;
}

class Rows {
 public:
  Rows(const Exposition& earlier, const Exposition& later, double seconds)
      : earlier_(earlier), later_(later), seconds_(seconds) {}

  double now(const std::string& name, const MetricLabels& labels = {}) const {
    return later_.value(kPrefix + name, labels).value_or(0);
  }
  bool has(const std::string& name) const { return later_.value(kPrefix + name).has_value(); }
  // A counter's growth between the scrapes (0 when the server restarted in between).
  double delta(const std::string& name, const MetricLabels& labels = {}) const {
    double d = now(name, labels) - earlier_.value(kPrefix + name, labels).value_or(0);
    return d > 0 ? d : 0;
  }
  void gauge(const std::string& what, const std::string& value) { rows.push_back({what, value, "", ""}); }
  void counter(const std::string& what, const std::string& name,
               const MetricLabels& labels = {}, const std::string& note = "") {
    rows.push_back({what, "", rate(delta(name, labels) / seconds_),
                    whole(now(name, labels)) + note});
  }

  const Exposition& earlier_;
  const Exposition& later_;
  const double seconds_;
  std::vector<Row> rows;
};

std::string layout(const std::vector<Row>& rows) {
  size_t w[4] = {0, 0, 0, 0};
  for (const Row& r : rows) {
    w[0] = std::max(w[0], r.what.size());
    w[1] = std::max(w[1], r.now.size());
    w[2] = std::max(w[2], r.perSecond.size());
  }
  std::string out;
  for (const Row& r : rows) {
    std::string line = r.what + std::string(w[0] - r.what.size() + 2, ' ');
    line += std::string(w[1] - r.now.size(), ' ') + r.now + "  ";
    line += std::string(w[2] - r.perSecond.size(), ' ') + r.perSecond + "  ";
    line += r.total;
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  return out;
}

}  // namespace

std::string formatBytes(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
  int u = 0;
  while (bytes >= 1024 && u < 4) {
    bytes /= 1024;
    ++u;
  }
  return u == 0 ? printf1("%.0f B", bytes) : printf1("%.1f ", bytes) + units[u];
}

std::string formatSeconds(double seconds) {
  if (std::isnan(seconds)) return "-";
  if (seconds < 0.01) return printf1("%.2f ms", seconds * 1e3);
  if (seconds < 1) return printf1("%.1f ms", seconds * 1e3);
  return printf1("%.2f s", seconds);
}

std::string renderStatus(const Exposition& earlier, const Exposition& later, double seconds,
                         const std::string& url) {
  Rows t(earlier, later, seconds);
  const std::string interval = "last " + printf1("%.1f", seconds) + " s";
  t.rows.push_back({"", "now / " + interval, "per second", "since start"});

  t.gauge("sessions open", whole(t.now("sessions_open")));
  for (const Sample* s : later.all(kPrefix + "client_sessions_open")) {
    auto client = s->labels.find("client");
    t.gauge("  client " + (client != s->labels.end() ? client->second : "?"), whole(s->value));
  }
  t.counter("sessions started", "sessions_started_total");
  std::string ends;
  for (const Sample* s : later.all(kPrefix + "sessions_ended_total")) {
    auto reason = s->labels.find("reason");
    if (reason == s->labels.end()) continue;
    ends += (ends.empty() ? " (" : ", ") + reason->second + " " + whole(s->value);
  }
  double ended = later.sum(kPrefix + "sessions_ended_total");
  double endedBefore = earlier.sum(kPrefix + "sessions_ended_total");
  t.rows.push_back({"sessions ended", "", rate(std::max(0.0, ended - endedBefore) / seconds),
                    whole(ended) + (ends.empty() ? "" : ends + ")")});

  t.gauge("pending bytes", formatBytes(t.now("pending_bytes")) + " of " +
                               formatBytes(t.now("pending_bytes_limit")));

  t.counter("commits", "commits_total");
  t.counter("changes committed", "changes_committed_total");
  const std::string latency = kPrefix + "commit_duration_seconds";
  auto q = [&](double quantile, const Exposition* since) {
    return formatSeconds(histogramQuantile(quantile, latency, later, since).value_or(NAN));
  };
  t.rows.push_back({"commit latency p50", q(0.5, &earlier), "", q(0.5, nullptr)});
  t.rows.push_back({"commit latency p99", q(0.99, &earlier), "", q(0.99, nullptr)});
  auto perGroup = [&](const Exposition* since) {
    double commits = t.now("commit_group_size_sum");
    double groups = t.now("commit_group_size_count");
    if (since != nullptr) {
      commits -= since->value(kPrefix + "commit_group_size_sum").value_or(0);
      groups -= since->value(kPrefix + "commit_group_size_count").value_or(0);
    }
    return groups > 0 ? printf1("%.1f", commits / groups) : std::string("-");
  };
  t.rows.push_back({"commits per transaction", perGroup(&earlier), "", perGroup(nullptr)});

  t.counter("gets", "gets_total");
  t.counter("keys read", "keys_read_total");
  double read = t.now("keys_read_total");
  t.counter("keys found", "keys_found_total",
            {}, read > 0 ? printf1(" (%.1f%%)", 100 * t.now("keys_found_total") / read) : "");

  size_t refusalRows = 0;
  for (const Sample* s : later.all(kPrefix + "refusals_total")) {
    auto cause = s->labels.find("cause");
    if (s->value <= 0 || cause == s->labels.end()) continue;
    t.counter("refused: " + cause->second, "refusals_total", s->labels);
    ++refusalRows;
  }
  if (refusalRows == 0) t.rows.push_back({"refusals", "", "0.0", "0"});

  t.counter("database reconnects", "database_reconnects_total");
  t.counter("database connect failures", "database_connect_failures_total");
  if (t.has("index_entries")) {
    t.gauge("index entries", whole(t.now("index_entries")));
    double limit = t.now("index_bytes_limit");
    t.gauge("index memory", formatBytes(t.now("index_bytes")) +
                                (limit > 0 ? " of " + formatBytes(limit) : " (no limit)"));
  } else {
    t.gauge("index", "none (reads go to the database)");
  }
  t.gauge("resident memory", formatBytes(later.value("process_resident_memory_bytes").value_or(0)));
  if (auto start = later.value("process_start_time_seconds")) {
    double now = std::chrono::duration<double>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
    t.gauge("up", uptime(std::max(0.0, now - *start)));
  }
  return "qmr-datastored at " + url + "\n" + layout(t.rows);
}

}  // namespace qmr_datastored
