// SessionStrings.cc - a code set converter that delegates to the connection's own, checks the
// length of each string it unmarshals (the NUL refusal) and copies the strings of the reply as
// whole blocks (the reply speed-up).
#include "orb/SessionStrings.h"

#include <omniORB4/callHandle.h>
#include <omniORB4/codeSets.h>

#include <cstring>

#include "metrics/Counters.h"
#include "qmr/util/Log.h"

namespace qmr_datastored {

using omniCodeSet = _OMNI_NS(omniCodeSet);

namespace {

// The reply speed-up. omniORB copies a string into the stream one byte at a time, looking for
// its end as it goes (cdrStream::marshalRawString); that loop took 45 % of the server's
// processor time in a read of 100 values of 1 KiB. The same octets, found with strlen and
// copied as one block, cost a fraction of that. Returns false, writing nothing, for a string
// that omniORB must refuse itself (too long, or past `bound`).
bool marshalReplyStringAsOneBlock(cdrStream& s, CORBA::ULong bound, const char* text) {
  const size_t length = std::strlen(text) + 1;  // with the closing NUL
  if (length > 0x7fffffffU || (bound != 0 && length - 1 > bound)) return false;
  s.marshalULong(static_cast<CORBA::ULong>(length));
  s.put_octet_array(reinterpret_cast<const CORBA::Octet*>(text), static_cast<int>(length));
  return true;
}

}  // namespace

class SessionStrings::Converter : public omniCodeSet::TCS_C {
 public:
  Converter(omniCodeSet::TCS_C* inner, uint64_t session, const char* op)
      : omniCodeSet::TCS_C(inner->id(), inner->name(), inner->kind(), inner->giopVersion()),
        inner_(inner),
        session_(session),
        op_(op) {}

  void marshalChar(cdrStream& s, omniCodeSet::UniChar uc) override { inner_->marshalChar(s, uc); }
  void marshalString(cdrStream& s, CORBA::ULong bound, CORBA::ULong len,
                     const omniCodeSet::UniChar* us) override {
    inner_->marshalString(s, bound, len, us);
  }
  omniCodeSet::UniChar unmarshalChar(cdrStream& s) override { return inner_->unmarshalChar(s); }
  // The converting path (the peer's code set differs from ours): `us` holds `len` characters.
  CORBA::ULong unmarshalString(cdrStream& s, CORBA::ULong bound,
                               omniCodeSet::UniChar*& us) override {
    CORBA::ULong len = inner_->unmarshalString(s, bound, us);
    for (CORBA::ULong i = 0; i < len; ++i) {
      if (us[i] == 0) {
        delete[] us;  // as omniORB allocates it where wchar_t has 4 bytes (Linux)
        us = nullptr;
        refuse(i, len);
      }
    }
    return len;
  }
  CORBA::Boolean fastMarshalChar(cdrStream& s, omniCodeSet::NCS_C* ncs, CORBA::Char c) override {
    return inner_->fastMarshalChar(s, ncs, c);
  }
  // The direct path of the reply's strings (same code set on both sides): the reply
  // speed-up, or omniORB's own path where the peer's code set differs or the string is refused.
  CORBA::Boolean fastMarshalString(cdrStream& s, omniCodeSet::NCS_C* ncs, CORBA::ULong bound,
                                   CORBA::ULong len, const char* text) override {
    if (ncs->id() == id() && marshalReplyStringAsOneBlock(s, bound, text)) return true;
    return inner_->fastMarshalString(s, ncs, bound, len, text);
  }
  CORBA::Boolean fastUnmarshalChar(cdrStream& s, omniCodeSet::NCS_C* ncs, CORBA::Char& c) override {
    return inner_->fastUnmarshalChar(s, ncs, c);
  }
  // The direct path (same code set on both sides): `length` is the length on the wire.
  CORBA::Boolean fastUnmarshalString(cdrStream& s, omniCodeSet::NCS_C* ncs, CORBA::ULong bound,
                                     CORBA::ULong& length, char*& text) override {
    if (!inner_->fastUnmarshalString(s, ncs, bound, length, text)) return false;
    size_t shown = std::strlen(text);
    if (shown != length) {
      CORBA::string_free(text);
      text = nullptr;
      refuse(static_cast<CORBA::ULong>(shown), length);
    }
    return true;
  }

 private:
  [[noreturn]] void refuse(CORBA::ULong at, CORBA::ULong length) const {
    qmr_util::Log::primary()->warning(
        "session %llu: %s refused with BAD_PARAM: a string with a NUL byte inside (at byte %u of "
        "%u); keys and values are text without NUL bytes",
        static_cast<unsigned long long>(session_), op_, at, length);
    counters().refused(Refusal::kNulString);
    throw CORBA::BAD_PARAM(0, CORBA::COMPLETED_NO);
  }

  omniCodeSet::TCS_C* inner_;
  uint64_t session_;
  const char* op_;
};

SessionStrings::SessionStrings(omniCallHandle& handle, uint64_t session) {
  _OMNI_NS(IOP_S)* request = handle.iop_s();
  if (request == nullptr) return;  // in-process
  stream_ = dynamic_cast<cdrStream*>(request);
  if (stream_ == nullptr) return;
  original_ = stream_->TCS_C();
  // omniORB sets the code set of every request it reads (ISO-8859-1 when the peer named
  // none); without one there is nothing to wrap.
  if (original_ == nullptr) return;
  converter_ = new Converter(original_, session, handle.operation_name());
  stream_->TCS_C(converter_);
}

SessionStrings::~SessionStrings() {
  if (converter_ == nullptr) return;
  stream_->TCS_C(original_);
  delete converter_;
}

}  // namespace qmr_datastored
