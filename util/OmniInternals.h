// OmniInternals.h - the one place that reaches into omniORB's internals: its GIOP buffer
// sizes, its native char code set, the socket and identity of a connection, the input window
// of a request's stream, and the texts of its log lines.
//
// Everything else in the project uses omniORB's public API only. What is here depends on
// declarations omniORB keeps in its internal headers (or in protected members, or in log
// texts), which change between releases without notice: CMakeLists.txt refuses to build with
// a release other than the one these were written and measured against
// (QMR_OMNIORB_INTERNALS_VERSION). Moving to another release means reading this file's .cc
// against that release's headers and sources, nothing else.
//
// Private to the project: built into libqmr_util, never installed. Nothing here allocates or
// hands out ownership; pointers returned are the ORB's and live as long as the object asked
// about. Thread-safety: as noted at each function.
#ifndef QMR_UTIL_OMNIINTERNALS_H
#define QMR_UTIL_OMNIINTERNALS_H

#include <omniORB4/CORBA.h>
#include <omniORB4/giopEndpoint.h>
#include <omniORB4/omniInterceptors.h>

#include <cstdint>
#include <string>

#include "qmr/util/Transport.h"

namespace qmr_util {
namespace omni_internals {

// omniORB's GIOP buffer size and direct send/receive cut-offs: process-wide settings read
// whenever a message is sent or received. Set them before ORB_init, from one thread.
TransportTuning giopBuffers();
void setGiopBuffers(const TransportTuning& tuning);

// The id of this process's native char code set (e.g. 0x00010001 for ISO-8859-1, 0x05010001 for
// UTF-8), or 0 before the ORB chose one. Strings whose transmission code set has this id
// travel as their octets, unconverted. Any thread once the ORB is up.
CORBA::ULong nativeCharCodeSetId();

// The socket of a connection of omniORB's TCP or Unix transport, -1 for another transport
// (TLS keeps its socket elsewhere) or a null connection. Only for reading socket options: the
// ORB owns the descriptor.
int connectionSocket(_OMNI_NS(giopConnection)* connection);

// The connection of an accepted socket and of a request that arrived on one, as keys that are
// equal for the same connection (never dereferenced). For the serverAcceptConnection and
// serverReceiveRequest interceptors.
const void* acceptedConnection(_OMNI_NS(omniInterceptors)::serverAcceptConnection_T::info_T& info);
const void* requestConnection(_OMNI_NS(omniInterceptors)::serverReceiveRequest_T::info_T& info);

// The input a request's stream has buffered and not yet consumed: the next 4-byte aligned
// unsigned long (in the message's byte order). False, reading nothing, when fewer than four
// bytes are buffered. Consumes nothing; the thread that serves the request.
bool peekULong(const cdrStream& stream, uint32_t* value);

// What one of omniORB's log lines says, as far as the server's log needs to know.
struct OrbLogLine {
  enum Kind {
    kOther,            // anything else: a real problem, worth a warning
    kRoutine,          // a connection closed by its client or by the idle scan
    kTracedThrow,      // an exception the ORB threw (-ORBtraceExceptions), other than below
    kMessageTooLarge,  // MARSHAL: a message announced more than -ORBgiopMaxMsgSize
    kMalformed,        // MARSHAL for another reason: `minor` names it
  };
  Kind kind = kOther;
  std::string minor;  // kMalformed: the minor code's name, e.g. "MARSHAL_PassEndOfMessage"
};
OrbLogLine classifyOrbLogLine(const char* message);

}  // namespace omni_internals
}  // namespace qmr_util

#endif  // QMR_UTIL_OMNIINTERNALS_H
