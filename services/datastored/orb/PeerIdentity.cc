// PeerIdentity.cc - the client behind a call: the socket's peer credentials, the TLS subject,
// or the connection. The only place that looks inside omniORB's connection objects.
#include "orb/PeerIdentity.h"

#include <omniORB4/giopEndpoint.h>
#include <sys/socket.h>
#include <sys/un.h>
// omniORB's connection classes keep their socket in SocketHolder (an internal header, found
// through the include folder CMakeLists.txt adds for this file only).
#include <omniORB4/internal/SocketCollection.h>

namespace qmr_datastored {
namespace {

// The socket of a connection of omniORB's TCP or Unix transport. Both derive from
// giopConnection and SocketHolder, so the cross-cast finds it; the socket itself is a
// protected member, read through a member pointer named from a derived class.
int connectionSocket(omni::giopConnection* connection) {
  struct Reader : omni::SocketHolder {
    static int fd(omni::SocketHolder* holder) {
      return static_cast<int>(holder->*(&Reader::pd_socket));
    }
  };
  auto* holder = dynamic_cast<omni::SocketHolder*>(connection);
  return holder != nullptr ? Reader::fd(holder) : -1;
}

}  // namespace

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
  if (unixPeerUid(connectionSocket(connection), &uid)) return "uid:" + std::to_string(uid);
  // A TLS connection names the subject of the certificate its peer showed.
  const char* subject = handle.peeridentity();
  if (subject != nullptr && *subject != '\0') return std::string("tls:") + subject;
  const char* address = handle.peeraddress();
  return address != nullptr ? address : "unknown connection";
}

}  // namespace qmr_datastored
