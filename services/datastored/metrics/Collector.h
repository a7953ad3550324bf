// Collector.h - turns the server's counters (Counters.h) and what it holds now (sessions,
// pending bytes, the in-memory index, the process's resident memory) into Prometheus metric
// families, each time the endpoint is scraped.
//
// Thread-safety: Collect() may run on several endpoint threads at once; it reads the counters
// and calls `read` (which must be thread-safe) without a lock of its own.
#ifndef QMR_DATASTORED_METRICS_COLLECTOR_H
#define QMR_DATASTORED_METRICS_COLLECTOR_H

#include <prometheus/collectable.h>
#include <prometheus/metric_family.h>

#include <cstddef>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "metrics/Counters.h"

namespace qmr_datastored {

// What the server holds at the moment of a scrape, read from the rooms that hold it.
struct Readings {
  size_t sessionsOpen = 0;
  std::map<std::string, size_t> sessionsByClient;  // open sessions by client class
  long long pendingBytes = 0;                      // pending changes of all sessions
  long long pendingBytesLimit = 0;                 // --max-pending-bytes
  bool hasIndex = false;                           // false: reads go to the database
  size_t indexEntries = 0;
  size_t indexBytes = 0;
  size_t indexBytesLimit = 0;  // --max-memory-bytes; 0: no limit
};

class Collector : public prometheus::Collectable {
 public:
  // `counters` (borrowed) must outlive the collector; `read` fills the readings of a scrape.
  Collector(const Counters& counters, std::function<void(Readings*)> read);

  std::vector<prometheus::MetricFamily> Collect() const override;

 private:
  const Counters& counters_;
  const std::function<void(Readings*)> read_;
  const double startTime_;  // seconds since the epoch
};

// The process's resident memory in bytes (from /proc/self/statm); 0 when it cannot be read.
size_t residentBytes();

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_METRICS_COLLECTOR_H
