// Scrape.h - fetches a metrics endpoint's text over HTTP (civetweb's client), for
// qmr-datastored --status.
//
// Thread-safety: scrapeMetrics may be called from any thread.
#ifndef QMR_DATASTORED_METRICS_SCRAPE_H
#define QMR_DATASTORED_METRICS_SCRAPE_H

#include <string>

#include "metrics/Endpoint.h"

namespace qmr_datastored {

// GET http://ADDRESS/metrics. Returns true with the body in `body`, or false with a message in
// `error` that says what failed (nothing listening, no answer within timeoutMs, an HTTP
// status other than 200).
bool scrapeMetrics(const MetricsAddress& address, int timeoutMs, std::string* body,
                   std::string* error);

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_METRICS_SCRAPE_H
