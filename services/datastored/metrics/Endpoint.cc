// Endpoint.cc - checking the --metrics address and serving it with prometheus-cpp.
#include "metrics/Endpoint.h"

#include <arpa/inet.h>
#include <prometheus/exposer.h>

#include <cerrno>
#include <cstdlib>

namespace qmr_datastored {
namespace {

bool parsePort(const std::string& text, int* port) {
  if (text.empty() || text.size() > 5 || text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  long value = std::strtol(text.c_str(), nullptr, 10);
  if (value > 65535) return false;
  *port = static_cast<int>(value);
  return true;
}

bool isLoopbackV4(const std::string& host) {
  in_addr a;
  return ::inet_pton(AF_INET, host.c_str(), &a) == 1 && (ntohl(a.s_addr) >> 24) == 127;
}

}  // namespace

bool parseMetricsAddress(const std::string& text, MetricsAddress* out, std::string* error) {
  const std::string hint =
      "; give 127.0.0.1:PORT (or a bare PORT, [::1]:PORT; port 0 picks a free one)";
  if (text.compare(0, 5, "unix:") == 0 || (!text.empty() && text[0] == '/')) {
    *error = "--metrics cannot listen on a Unix-domain socket ('" + text +
             "'): Debian's civetweb, which serves the endpoint, is built without them" + hint;
    return false;
  }
  MetricsAddress a;
  std::string host = "127.0.0.1";
  std::string port = text;
  size_t colon = text.rfind(':');
  if (colon != std::string::npos) {
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
  }
  if (!parsePort(port, &a.port)) {
    *error = "--metrics needs HOST:PORT with a port from 0 to 65535, not '" + text + "'" + hint;
    return false;
  }
  if (host == "localhost") host = "127.0.0.1";
  if (host == "[::1]" || isLoopbackV4(host)) {
    a.host = host;
    *out = a;
    return true;
  }
  *error = "--metrics " + text + " refused: '" + host +
           "' is not a loopback address. The metrics endpoint has no authentication, so it "
           "listens for this machine only" +
           hint + ", and reach it from elsewhere through a proxy or an SSH tunnel";
  return false;
}

MetricsEndpoint::MetricsEndpoint(const MetricsAddress& address,
                                 std::shared_ptr<prometheus::Collectable> collectable)
    : address_(address), collectable_(std::move(collectable)) {
  // Two threads: a scrape takes microseconds, and one slow client must not block the next.
  // A client that sends nothing is dropped after 10 s.
  std::vector<std::string> options = {"listening_ports", address.hostPort(),  //
                                      "num_threads", "2",                     //
                                      "request_timeout_ms", "10000"};
  try {
    exposer_.reset(new prometheus::Exposer(options));
  } catch (const std::exception& e) {
    throw MetricsError("cannot serve metrics on " + address.hostPort() +
                       ": the port is taken or the address is not on this machine (" +
                       e.what() + "); choose another --metrics address");
  }
  std::vector<int> ports = exposer_->GetListeningPorts();
  if (!ports.empty()) address_.port = ports.front();
  exposer_->RegisterCollectable(collectable_);
}

MetricsEndpoint::~MetricsEndpoint() = default;

std::string MetricsEndpoint::url() const { return "http://" + address_.hostPort() + "/metrics"; }

}  // namespace qmr_datastored
