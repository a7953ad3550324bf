// SessionStrings.h - the strings of one session request, in the code set converter that
// omniORB runs for each of them. It does two jobs:
//
// The NUL refusal. A GIOP string carries its length, so a peer can send "a\0b"; omniORB
// hands the servant a C string, cut at the first NUL, and the length is gone by the time the
// servant runs. Two different keys would then be one. The converter knows the length on the
// wire and the text, and raises BAD_PARAM when they disagree.
//
// The block copy of reply strings (marshalReplyStringAsOneBlock in the .cc). omniORB copies a
// reply string into the stream one byte at a time; the converter writes the same octets as
// one block, which took the server's processor time per get down by a large part.
#ifndef QMR_DATASTORED_SESSIONSTRINGS_H
#define QMR_DATASTORED_SESSIONSTRINGS_H

#include <omniORB4/CORBA.h>

#include <cstdint>

namespace qmr_datastored {

// While it exists, the strings that `handle`'s request unmarshals are checked and those its
// reply marshals are copied as blocks; strings are unmarshalled when the generated dispatch
// reads the arguments and marshalled when it writes the reply, so make one around it. Does
// nothing for in-process calls (their strings never travel as GIOP). `session` and the
// operation name go into the log line of a refusal.
class SessionStrings {
 public:
  SessionStrings(omniCallHandle& handle, uint64_t session);
  ~SessionStrings();
  SessionStrings(const SessionStrings&) = delete;
  SessionStrings& operator=(const SessionStrings&) = delete;

 private:
  class Converter;
  cdrStream* stream_ = nullptr;
  _OMNI_NS(omniCodeSet::TCS_C) * original_ = nullptr;
  Converter* converter_ = nullptr;
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_SESSIONSTRINGS_H
