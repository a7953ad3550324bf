// OrbLog.h - omniORB's own diagnostics in the server's log, at a level that says whether they
// are a problem: a client that goes away is routine (debug), a request refused for its size is
// a warning that names the flag.
#ifndef QMR_DATASTORED_ORBLOG_H
#define QMR_DATASTORED_ORBLOG_H

namespace qmr_datastored {

// Makes omniORB write through qmr_util::Log::primary(). maxMessageBytes is the value of
// --max-message-bytes, for the messages. Call once, before ORB_init.
void routeOrbLog(long maxMessageBytes);

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_ORBLOG_H
