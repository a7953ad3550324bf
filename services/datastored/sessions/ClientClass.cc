// ClientClass.cc - a client's class from the way the registry names it.
#include "sessions/ClientClass.h"

namespace qmr_datastored {

std::string clientClass(const std::string& client) {
  auto startsWith = [&](const std::string& text, const char* prefix) {
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
  };
  if (startsWith(client, "uid:")) return client;
  if (startsWith(client, "tls:") || startsWith(client, "giop:ssl:")) return "tls";
  // omniORB names a peer "giop:tcp:ADDRESS:PORT" or "giop:unix:PATH".
  if (startsWith(client, "giop:unix:")) return "unix";
  if (startsWith(client, "giop:tcp:")) {
    std::string host = client.substr(9);
    for (const char* local : {"127.", "[::1]", "::1:", "::ffff:127.", "[::ffff:127."}) {
      if (startsWith(host, local)) return "loopback";
    }
    return "remote";
  }
  if (client == "in-process") return client;
  return "other";
}

}  // namespace qmr_datastored
