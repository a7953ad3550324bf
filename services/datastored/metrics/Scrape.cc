// Scrape.cc - one GET of /metrics with civetweb's client.
#include "metrics/Scrape.h"

#include <civetweb.h>

#include <mutex>

namespace qmr_datastored {

bool scrapeMetrics(const MetricsAddress& address, int timeoutMs, std::string* body,
                   std::string* error) {
  static std::once_flag initialised;
  std::call_once(initialised, [] { mg_init_library(0); });
  std::string host = address.host;
  if (host.size() > 2 && host.front() == '[') host = host.substr(1, host.size() - 2);
  const std::string where = "http://" + address.hostPort() + "/metrics";
  char message[256] = "";
  mg_connection* conn = mg_connect_client(host.c_str(), address.port, 0, message, sizeof message);
  if (conn == nullptr) {
    *error = "cannot connect to " + where + " (" + message +
             "): is qmr-datastored running with --metrics " + address.hostPort() + "?";
    return false;
  }
  mg_printf(conn, "GET /metrics HTTP/1.0\r\nHost: %s\r\nAccept: text/plain\r\n\r\n",
            address.hostPort().c_str());
  if (mg_get_response(conn, message, sizeof message, timeoutMs) < 0) {
    mg_close_connection(conn);
    *error = "no answer from " + where + " within " + std::to_string(timeoutMs) + " ms (" +
             message + ")";
    return false;
  }
  const mg_response_info* info = mg_get_response_info(conn);
  int status = info != nullptr ? info->status_code : 0;
  std::string text;
  char buf[8192];
  int n;
  while ((n = mg_read(conn, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  mg_close_connection(conn);
  if (status != 200) {
    *error = where + " answered HTTP " + std::to_string(status) + ", not the metrics";
    return false;
  }
  *body = std::move(text);
  return true;
}

}  // namespace qmr_datastored
