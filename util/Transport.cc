// Transport.cc - the ORB's GIOP buffer size and direct send/receive cut-offs, with the
// environment's overrides.
#include "qmr/util/Transport.h"

#include <cerrno>
#include <cstdlib>

#include "OmniInternals.h"
#include "qmr/util/Log.h"

namespace qmr_util {
namespace {

// Measured against qmr-bench-orbonly, both processes on one CPU, µs per get (omniORB's 8 KiB
// -> 256 KiB): 100 values of 1 KiB 150 -> 95, 1000 values of 1 KiB 1530 -> 1100; 1 to 1000
// values of 16 bytes unchanged (9 / 33 / 250). 64 KiB and 1 MiB gave the same times within the
// noise. The direct send and receive cut-offs made no difference to these messages (strings
// of up to 1 KiB), so they keep omniORB's values.
// Memory: a connection that only carries small messages touches the same few pages as before
// (21 against 24 KiB of server RSS per connection); one that carries a 1 MiB reply costs about
// 1.6 MiB of server RSS while it does (1.1 MiB with 8 KiB buffers, 3.6 MiB with 1 MiB ones).
constexpr unsigned long kBufferSize = 262144;

// omniORB's values before anything changes them (read once, at the first call).
const TransportTuning& initial() {
  static const TransportTuning values = omni_internals::giopBuffers();
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

TransportTuning transportTuning() {
  TransportTuning t{kBufferSize, initial().directSendCutOff, initial().directReceiveCutOff};
  fromEnvironment("QMR_GIOP_BUFFER_SIZE", 8192, &t.bufferSize);
  fromEnvironment("QMR_GIOP_DIRECT_SEND_CUTOFF", 0, &t.directSendCutOff);
  fromEnvironment("QMR_GIOP_DIRECT_RECEIVE_CUTOFF", 0, &t.directReceiveCutOff);
  t.bufferSize = (t.bufferSize + 7) & ~7UL;  // the ORB aligns its buffers to 8 bytes
  return t;
}

void tuneTransport() { tuneTransport(transportTuning()); }

void tuneTransport(const TransportTuning& tuning) {
  initial();
  omni_internals::setGiopBuffers(tuning);
}

std::string describeTransport() {
  const TransportTuning now = omni_internals::giopBuffers();
  return "GIOP buffer " + std::to_string(now.bufferSize) + " bytes, direct send from " +
         std::to_string(now.directSendCutOff) + ", direct receive from " +
         std::to_string(now.directReceiveCutOff);
}

}  // namespace qmr_util
