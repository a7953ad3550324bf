// PeerIdentity.h - who is calling, as the session table counts clients: the user of a local
// process (its uid, as the kernel reports it) on a Unix-domain or loopback TCP connection, the
// certificate subject on a TLS connection, else the connection itself (its peer address).
//
// Thread-safety: a free function of the call being served; any thread.
#ifndef QMR_DATASTORED_PEERIDENTITY_H
#define QMR_DATASTORED_PEERIDENTITY_H

#include <omniORB4/CORBA.h>
#include <omniORB4/callHandle.h>

#include <string>

namespace qmr_datastored {

// The client of the call that `handle` is serving, as a short text for the session table and
// the log:
//   "uid:1000"                   a Unix-domain connection (SO_PEERCRED), or a plain TCP
//                                connection from loopback (the owner of the peer's socket, from
//                                sock_diag): every process of one user is one client, however
//                                many connections it opens;
//   "tls:SUBJECT"                a TLS connection whose peer showed a certificate;
//   "giop:tcp:192.0.2.7:40000"   any other connection (from another host, or when the kernel
//                                does not say): the connection is the client;
//   "in-process"                 a call from within the server's own process.
std::string peerIdentity(omniCallHandle& handle);

// The uid of the process at the other end of the Unix-domain socket `fd`; false when `fd` is
// not one or the kernel does not say.
bool unixPeerUid(int fd, unsigned* uid);

// The uid that owns the socket at the other end of the TCP connection `fd` when that end is
// on this machine's loopback; false for another host, another kind of socket, or when the
// kernel does not say.
bool loopbackTcpPeerUid(int fd, unsigned* uid);

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_PEERIDENTITY_H
