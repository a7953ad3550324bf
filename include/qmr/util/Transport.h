// Transport.h - the ORB's GIOP transport tuning: buffer size and direct send/receive cut-offs,
// chosen by measurement for the data store's requests and replies.
//
// omniORB stages every GIOP message through buffers of its GIOP buffer size and
// sends a message larger than one buffer as GIOP fragments, one send() and one recv() per
// fragment and side. Its default of 8 KiB splits a reply of 100 values of 1 KiB into 13
// fragments. These are process-wide settings of the ORB library, read when it sends or
// receives, and must be set before ORB_init. qmr_util::Orb::init applies them (every program
// of this system starts its ORB that way); a program that calls CORBA::ORB_init itself calls
// tuneTransport() just before it.
//
// TCP_NODELAY needs no setting: omniORB sets it on every TCP connection it opens or accepts.
// -ORBgiopMaxMsgSize remains the limit on one message, whatever the buffer size.
//
// Thread-safety: call before ORB_init, from one thread, while no ORB call is in progress.
#ifndef QMR_UTIL_TRANSPORT_H
#define QMR_UTIL_TRANSPORT_H

#include <string>

namespace qmr_util {

struct TransportTuning {
  unsigned long bufferSize;           // bytes per GIOP buffer, the fragment size (multiple of 8)
  unsigned long directSendCutOff;     // octet and char sequences from this size are sent from
                                      // the caller's memory rather than copied into a buffer
  unsigned long directReceiveCutOff;  // ... and received straight into the caller's memory
};

// The measured defaults (a 256 KiB buffer, omniORB's own cut-offs), each overridden by its
// environment variable when that holds a number: QMR_GIOP_BUFFER_SIZE,
// QMR_GIOP_DIRECT_SEND_CUTOFF, QMR_GIOP_DIRECT_RECEIVE_CUTOFF. A value that is not a number,
// or a buffer size under 8192, is ignored with a warning in the log.
TransportTuning transportTuning();

// Applies transportTuning() (or `tuning`) to the ORB library. Call just before ORB_init.
void tuneTransport();
void tuneTransport(const TransportTuning& tuning);

// The settings in force, e.g. "GIOP buffer 262144 bytes, direct send from 16384, direct
// receive from 16384", for logs.
std::string describeTransport();

}  // namespace qmr_util

#endif  // QMR_UTIL_TRANSPORT_H
