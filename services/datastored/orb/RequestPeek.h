// RequestPeek.h - what a request's arguments will cost, read before the ORB unmarshals them.
//
// omniORB turns each string of a request into a heap block of its own (about 40 bytes for a
// short key, pointer included) before the servant sees any of them: a get of a million keys
// costs tens of MB whatever the servant then decides. What the servant can know beforehand is
// in the stream, not yet consumed: the number of elements of the first argument (every
// DataStoreSession operation that takes arguments starts with a sequence), and whether the
// message is large (64 KiB or more, or sent in fragments whose total is not known yet).
//
// Not thread-safe: one per request, on the thread that dispatches it.
#ifndef QMR_DATASTORED_REQUESTPEEK_H
#define QMR_DATASTORED_REQUESTPEEK_H

#include <omniORB4/CORBA.h>

#include <cstdint>

namespace qmr_datastored {

struct RequestShape {
  bool known = false;     // false: an in-process call, or the stream had too little buffered
  uint32_t elements = 0;  // the length of the first argument's sequence
  bool large = false;     // 64 KiB or more of arguments, or more fragments to come
};

// Reads the shape of `handle`'s request without consuming anything; call it before the
// generated dispatch unmarshals the arguments.
RequestShape peekRequest(omniCallHandle& handle);

// Bytes of arguments from which a request counts as large.
constexpr uint32_t kLargeRequestBytes = 65536;

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_REQUESTPEEK_H
