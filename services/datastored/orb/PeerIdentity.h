// PeerIdentity.h - who is calling, as the session table counts clients: the user of a local
// process on a Unix-domain connection (its uid, as the kernel reports it), the certificate
// subject on a TLS connection, else the connection itself (its peer address).
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
//   "uid:1000"                   a Unix-domain connection (SO_PEERCRED): every process of one
//                                user is one client, however many connections it opens;
//   "tls:SUBJECT"                a TLS connection whose peer showed a certificate;
//   "giop:tcp:127.0.0.1:40000"   any other connection: the connection is the client;
//   "in-process"                 a call from within the server's own process.
std::string peerIdentity(omniCallHandle& handle);

// The uid of the process at the other end of the Unix-domain socket `fd`; false when `fd` is
// not one or the kernel does not say.
bool unixPeerUid(int fd, unsigned* uid);

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_PEERIDENTITY_H
