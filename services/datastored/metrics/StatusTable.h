// StatusTable.h - the server's metrics as a table for a person (qmr-datastored --status):
// what it holds now, rates over the seconds between two scrapes, and totals since it started.
//
// Thread-safety: a pure function of its arguments.
#ifndef QMR_DATASTORED_METRICS_STATUSTABLE_H
#define QMR_DATASTORED_METRICS_STATUSTABLE_H

#include <string>

#include "metrics/Exposition.h"

namespace qmr_datastored {

// The table of `later`, with rates and commit latencies over the `seconds` (> 0) since
// `earlier` (two scrapes of the same server); `url` names where they came from. Rows: open
// sessions (in all and by client class), pending bytes, commits, commit latency p50 and p99,
// commits per transaction, gets, keys read and found, refusals by cause (those that
// happened), database reconnects, the in-memory index, resident memory, uptime.
std::string renderStatus(const Exposition& earlier, const Exposition& later, double seconds,
                         const std::string& url);

// "512 B", "4.0 KiB", "1.5 MiB", "2.0 GiB".
std::string formatBytes(double bytes);
// "0.84 ms", "12.5 ms", "1.20 s"; "-" for no value.
std::string formatSeconds(double seconds);

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_METRICS_STATUSTABLE_H
