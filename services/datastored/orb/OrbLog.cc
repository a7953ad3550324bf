// OrbLog.cc - the levels of omniORB's log lines in the server's log.
#include "orb/OrbLog.h"

#include <omniORB4/CORBA.h>

#include <string>

#include "OmniInternals.h"
#include "metrics/Counters.h"
#include "qmr/util/Log.h"

namespace qmr_datastored {
namespace {

long gMaxMessageBytes = 0;  // set once before ORB_init

using qmr_util::omni_internals::OrbLogLine;

// Lines that every normal client causes (a connection closed by its client between two
// requests, or by the idle scan) and the exceptions the ORB throws and traces
// (-ORBtraceExceptions) are logged at debug, so that the warnings left are real problems. A
// MARSHAL throw is a request the ORB cannot read (one that announces more than the limit, a
// malformed one, or one sent in fragments that run past the limit before the ORB knows its
// length): a refusal, with a clear line of its own.
void orbLog(const char* message) {
  qmr_util::Log* log = qmr_util::Log::primary();
  const OrbLogLine line = qmr_util::omni_internals::classifyOrbLogLine(message);
  switch (line.kind) {
    case OrbLogLine::kMessageTooLarge:
      counters().refused(Refusal::kMessageBytes);
      log->warning(
          "a request was refused with MARSHAL: its GIOP message exceeds --max-message-bytes %ld",
          gMaxMessageBytes);
      return;
    case OrbLogLine::kMalformed:
      counters().refused(Refusal::kMessageBytes);
      log->warning(
          "a request was refused with MARSHAL (%s): its GIOP message is malformed or longer "
          "than --max-message-bytes %ld",
          line.minor.c_str(), gMaxMessageBytes);
      return;
    case OrbLogLine::kTracedThrow:
    case OrbLogLine::kRoutine:
    case OrbLogLine::kOther:
      break;
  }
  qmr_util::Log::Level level =
      line.kind == OrbLogLine::kOther ? qmr_util::Log::kWarning : qmr_util::Log::kDebug;
  if (!log->enabled(level)) return;
  std::string text = message;
  while (!text.empty() && text.back() == '\n') text.pop_back();
  if (level == qmr_util::Log::kDebug) {
    log->debug("%s", text.c_str());
  } else {
    log->warning("%s", text.c_str());
  }
}

}  // namespace

void routeOrbLog(long maxMessageBytes) {
  gMaxMessageBytes = maxMessageBytes;
  omniORB::setLogFunction(orbLog);
}

}  // namespace qmr_datastored
