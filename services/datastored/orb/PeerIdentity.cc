// PeerIdentity.cc - the client behind a call: the socket's peer credentials, the owner of the
// peer's socket on loopback TCP, the TLS subject, or the connection.
#include "orb/PeerIdentity.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <omniORB4/giopEndpoint.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "OmniInternals.h"

namespace qmr_datastored {

namespace {

bool isLoopback(const sockaddr_storage& address) {
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    return (ntohl(v4.sin_addr.s_addr) >> 24) == 127;
  }
  if (address.ss_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6&>(address).sin6_addr;
    return IN6_IS_ADDR_LOOPBACK(&v6) || (IN6_IS_ADDR_V4MAPPED(&v6) && v6.s6_addr[12] == 127);
  }
  return false;
}

// Writes `address` into a socket id's address words and port.
void putAddress(const sockaddr_storage& address, __be32 words[4], __be16* port) {
  std::memset(words, 0, 4 * sizeof(__be32));
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    words[0] = v4.sin_addr.s_addr;
    *port = v4.sin_port;
  } else {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    std::memcpy(words, v6.sin6_addr.s6_addr, 16);
    *port = v6.sin6_port;
  }
}

// Asks the kernel (sock_diag) for the TCP socket whose own address is `local` and whose peer
// is `remote` (both of one family), and gives the uid that owns it. For a pair of IPv4-mapped
// IPv6 addresses the kernel looks among IPv4 sockets too, so an IPv4 client of a dual-stack
// listener is found as well.
bool tcpSocketOwner(const sockaddr_storage& local, const sockaddr_storage& remote, unsigned* uid) {
  int diag = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (diag < 0) return false;
  timeval wait{1, 0};  // the kernel answers at once; never hold up a call on it
  ::setsockopt(diag, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;  // one socket, looked up by its addresses
  message.request.sdiag_family = static_cast<__u8>(local.ss_family);
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  putAddress(local, message.request.id.idiag_src, &message.request.id.idiag_sport);
  putAddress(remote, message.request.id.idiag_dst, &message.request.id.idiag_dport);
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  bool found = false;
  if (::sendto(diag, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) == static_cast<ssize_t>(sizeof message)) {
    alignas(nlmsghdr) char reply[4096];
    ssize_t size = ::recv(diag, reply, sizeof reply, 0);
    const auto* header = reinterpret_cast<const nlmsghdr*>(reply);
    if (size > 0 && NLMSG_OK(header, static_cast<unsigned>(size)) &&
        header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
        header->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
      *uid = static_cast<const inet_diag_msg*>(NLMSG_DATA(header))->idiag_uid;
      found = true;
    }
  }
  ::close(diag);
  return found;
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

bool loopbackTcpPeerUid(int fd, unsigned* uid) {
  if (fd < 0) return false;
  sockaddr_storage ours{};
  sockaddr_storage theirs{};
  socklen_t size = sizeof ours;
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&ours), &size) != 0) return false;
  size = sizeof theirs;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&theirs), &size) != 0) return false;
  if (!isLoopback(theirs)) return false;
  if (ours.ss_family != AF_INET && ours.ss_family != AF_INET6) return false;
  // The peer's socket is ours seen from the other end: its own address is our peer's.
  return tcpSocketOwner(theirs, ours, uid);
}

std::string peerIdentity(omniCallHandle& handle) {
  omni::giopConnection* connection = handle.connection();
  if (connection == nullptr) return "in-process";
  const int fd = qmr_util::omni_internals::connectionSocket(connection);
  unsigned uid = 0;
  if (unixPeerUid(fd, &uid)) return "uid:" + std::to_string(uid);
  // A TLS connection names the subject of the certificate its peer showed.
  const char* subject = handle.peeridentity();
  if (subject != nullptr && *subject != '\0') return std::string("tls:") + subject;
  if (loopbackTcpPeerUid(fd, &uid)) return "uid:" + std::to_string(uid);
  const char* address = handle.peeraddress();
  return address != nullptr ? address : "unknown connection";
}

}  // namespace qmr_datastored
