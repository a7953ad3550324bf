// SessionId.h - object ids for sessions that nobody can guess: 16 bytes (128 bits) from the
// kernel's random source. A session's reference is the only key to it, so an id that another
// client could derive from its own (a counter) would let that client read, abort or end
// someone else's session.
#ifndef QMR_DATASTORED_SESSIONID_H
#define QMR_DATASTORED_SESSIONID_H

#include <omniORB4/CORBA.h>

namespace qmr_datastored {

constexpr CORBA::ULong kSessionIdBytes = 16;

// A new object id of kSessionIdBytes random bytes; the caller owns it. Throws
// CORBA::NO_RESOURCES (after a log line) when the kernel gives no random bytes.
PortableServer::ObjectId* newSessionId();

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_SESSIONID_H
