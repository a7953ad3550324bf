// Endpoint.h - the metrics endpoint: the --metrics address (loopback only) and the HTTP
// server (prometheus-cpp's Exposer, on civetweb) that answers GET /metrics with the text
// exposition format.
//
// Thread-safety: the endpoint serves scrapes from threads of its own; its members may be
// called from any thread.
#ifndef QMR_DATASTORED_METRICS_ENDPOINT_H
#define QMR_DATASTORED_METRICS_ENDPOINT_H

#include <memory>
#include <stdexcept>
#include <string>

namespace prometheus {
class Collectable;
class Exposer;
}  // namespace prometheus

namespace qmr_datastored {

// Where the endpoint listens: a loopback host and a TCP port (0: any free port).
struct MetricsAddress {
  std::string host;  // "127.x.y.z" or "[::1]"
  int port = 0;
  // "HOST:PORT", as civetweb and URLs write it.
  std::string hostPort() const { return host + ":" + std::to_string(port); }
};

// Parses the --metrics value: HOST:PORT with HOST 127.x.y.z, localhost (127.0.0.1) or [::1],
// or a bare PORT (127.0.0.1). Returns false with a message in `error` for anything else, a
// non-loopback host or a Unix socket path included, saying why and what to give instead.
bool parseMetricsAddress(const std::string& text, MetricsAddress* out, std::string* error);

class MetricsError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class MetricsEndpoint {
 public:
  // Listens on `address` and serves what `collectable` (shared with the caller) collects.
  // Throws MetricsError when it cannot listen there (port taken, address missing).
  MetricsEndpoint(const MetricsAddress& address,
                  std::shared_ptr<prometheus::Collectable> collectable);
  ~MetricsEndpoint();
  MetricsEndpoint(const MetricsEndpoint&) = delete;
  MetricsEndpoint& operator=(const MetricsEndpoint&) = delete;

  // The address with the port it got (the one asked for, or the free one when 0 was).
  const MetricsAddress& address() const { return address_; }
  // "http://HOST:PORT/metrics"
  std::string url() const;

 private:
  MetricsAddress address_;
  std::shared_ptr<prometheus::Collectable> collectable_;
  std::unique_ptr<prometheus::Exposer> exposer_;
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_METRICS_ENDPOINT_H
