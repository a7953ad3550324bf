// NulRefusal.h - refuses strings with a NUL byte inside in the arguments of a request.
//
// A GIOP string carries its length, so a peer can send "a\0b"; omniORB hands the servant a
// C string, cut at the first NUL, and the length is gone by the time the servant runs. Two
// different keys would then be one. The check therefore sits in the code set converter that
// unmarshals every string of the request: it knows the length on the wire and the text, and
// raises BAD_PARAM when they disagree.
#ifndef QMR_DATASTORED_NULREFUSAL_H
#define QMR_DATASTORED_NULREFUSAL_H

#include <omniORB4/CORBA.h>

#include <cstdint>

namespace qmr_datastored {

// While it exists, the strings that `handle`'s request unmarshals are checked; strings are
// unmarshalled when the generated dispatch reads the arguments, so make one around it. Does
// nothing for in-process calls (their strings never travel as GIOP). `session` and the
// operation name go into the log line of a refusal.
class NulRefusal {
 public:
  NulRefusal(omniCallHandle& handle, uint64_t session);
  ~NulRefusal();
  NulRefusal(const NulRefusal&) = delete;
  NulRefusal& operator=(const NulRefusal&) = delete;

 private:
  class Checking;
  cdrStream* stream_ = nullptr;
  _OMNI_NS(omniCodeSet::TCS_C) * original_ = nullptr;
  Checking* checking_ = nullptr;
};

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_NULREFUSAL_H
