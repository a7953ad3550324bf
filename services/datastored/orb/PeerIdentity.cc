// PeerIdentity.cc - the client behind a call: the socket's peer credentials, the TLS subject,
// or the connection.
#include "orb/PeerIdentity.h"

#include <omniORB4/giopEndpoint.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "OmniInternals.h"

namespace qmr_datastored {

bool unixPeerUid(int fd, unsigned* uid) {
  if (fd < 0) return false;
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      address.ss_family != AF_UNIX) {
    return false;
  }
  ucred credentials{};
  socklen_t credSize = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &credSize) != 0 ||
      credSize != sizeof credentials) {
    return false;
  }
  *uid = static_cast<unsigned>(credentials.uid);
  return true;
}

std::string peerIdentity(omniCallHandle& handle) {
  omni::giopConnection* connection = handle.connection();
  if (connection == nullptr) return "in-process";
  unsigned uid = 0;
  if (unixPeerUid(qmr_util::omni_internals::connectionSocket(connection), &uid)) return "uid:" + std::to_string(uid);
  // A TLS connection names the subject of the certificate its peer showed.
  const char* subject = handle.peeridentity();
  if (subject != nullptr && *subject != '\0') return std::string("tls:") + subject;
  const char* address = handle.peeraddress();
  return address != nullptr ? address : "unknown connection";
}

}  // namespace qmr_datastored
