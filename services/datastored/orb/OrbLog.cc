// OrbLog.cc - the levels of omniORB's log lines in the server's log.
#include "orb/OrbLog.h"

#include <omniORB4/CORBA.h>

#include <cstring>
#include <string>

#include "metrics/Counters.h"
#include "qmr/util/Log.h"

namespace qmr_datastored {
namespace {

long gMaxMessageBytes = 0;  // set once before ORB_init

// Lines that every normal client causes: a connection closed by its client between two
// requests, or by the server's idle scavenger. Logged at debug so that the warnings left are
// real problems.
bool routine(const char* message) {
  static const char* const kRoutine[] = {
      "Error in network receive (start of message)",
      "Orderly connection shutdown",
      "Scavenger close connection",
      // A connection closed while the thread pool watched it: an idle or stalled one that
      // the server closed (Intake.h logs those), or one its client closed.
      "Connection is dying",
  };
  for (const char* text : kRoutine) {
    if (std::strstr(message, text) != nullptr) return true;
  }
  return false;
}

// Exceptions that the ORB throws are traced (-ORBtraceExceptions) so that a request refused
// for its size gets a clear line; the other traced throws are routine and logged at debug.
void orbLog(const char* message) {
  qmr_util::Log* log = qmr_util::Log::primary();
  bool traced = std::strstr(message, ": throw ") != nullptr;
  // A MARSHAL throw of the ORB is a request it cannot read: one that announces more than the
  // limit, a malformed one, or one sent in fragments that run past the limit before the ORB
  // knows its length.
  if (const char* minor = traced ? std::strstr(message, "MARSHAL_") : nullptr) {
    int length = static_cast<int>(std::strcspn(minor, ") \n"));
    counters().refused(Refusal::kMessageBytes);
    if (std::strstr(minor, "MessageSizeExceedLimit") != nullptr) {
      log->warning(
          "a request was refused with MARSHAL: its GIOP message exceeds --max-message-bytes %ld",
          gMaxMessageBytes);
    } else {
      log->warning(
          "a request was refused with MARSHAL (%.*s): its GIOP message is malformed or "
          "longer than --max-message-bytes %ld",
          length, minor, gMaxMessageBytes);
    }
    return;
  }
  qmr_util::Log::Level level =
      traced || routine(message) ? qmr_util::Log::kDebug : qmr_util::Log::kWarning;
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
