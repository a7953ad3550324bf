// Transport.cc - the ORB's GIOP buffer size and direct send/receive cut-offs, with the
// environment's overrides.
#include "qmr/util/Transport.h"

#include <omniORB4/CORBA.h>
#include <omniORB4/internal/giopStream.h>

#include <cerrno>
#include <cstdlib>

#include "qmr/util/Log.h"

namespace qmr_util {
namespace {

// Chosen with ./qmr bench (see the README's Performance section): a reply of 1000 values of
// 1 KiB (about 1 MiB) travels in a few fragments, and small messages cost the same as before.
constexpr unsigned long kBufferSize = 262144;
constexpr unsigned long kDirectCutOff = 16384;

// omniORB's values before anything changes them (read once, at the first call).
const TransportTuning& initial() {
  static const TransportTuning values{omni::giopStream::bufferSize,
                                      omni::giopStream::directSendCutOff,
                                      omni::giopStream::directReceiveCutOff};
  return values;
}

void fromEnvironment(const char* name, unsigned long minimum, unsigned long* value) {
  const char* text = std::getenv(name);
  if (text == nullptr || *text == '\0') return;
  char* end = nullptr;
  errno = 0;
  unsigned long long parsed = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || parsed < minimum || parsed > 0x7fffffffULL) {
    Log::primary()->warning(
        "%s='%s' ignored: it must be a number from %lu to 2147483647; "
        "using %lu",
        name, text, minimum, *value);
    return;
  }
  *value = static_cast<unsigned long>(parsed);
}

}  // namespace

TransportTuning omniOrbDefaults() { return initial(); }

TransportTuning transportTuning() {
  TransportTuning t{kBufferSize, kDirectCutOff, kDirectCutOff};
  fromEnvironment("QMR_GIOP_BUFFER_SIZE", 8192, &t.bufferSize);
  fromEnvironment("QMR_GIOP_DIRECT_SEND_CUTOFF", 0, &t.directSendCutOff);
  fromEnvironment("QMR_GIOP_DIRECT_RECEIVE_CUTOFF", 0, &t.directReceiveCutOff);
  t.bufferSize = (t.bufferSize + 7) & ~7UL;  // the ORB aligns its buffers to 8 bytes
  return t;
}

void tuneTransport() { tuneTransport(transportTuning()); }

void tuneTransport(const TransportTuning& tuning) {
  initial();
  omni::giopStream::bufferSize = static_cast<CORBA::ULong>(tuning.bufferSize);
  omni::giopStream::directSendCutOff = static_cast<CORBA::ULong>(tuning.directSendCutOff);
  omni::giopStream::directReceiveCutOff = static_cast<CORBA::ULong>(tuning.directReceiveCutOff);
}

std::string describeTransport() {
  return "GIOP buffer " + std::to_string(omni::giopStream::bufferSize) +
         " bytes, direct send from " + std::to_string(omni::giopStream::directSendCutOff) +
         ", direct receive from " + std::to_string(omni::giopStream::directReceiveCutOff);
}

}  // namespace qmr_util
