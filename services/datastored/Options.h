// Options.h - the command line of qmr-datastored: its own flags, and the -ORB options that
// are handed to the ORB unchanged.
#ifndef QMR_DATASTORED_OPTIONS_H
#define QMR_DATASTORED_OPTIONS_H

#include <cstdint>
#include <string>
#include <vector>

#include "qmr/util/Log.h"
#include "qmr/util/OrbOptions.h"

namespace qmr_datastored {

struct Options {
  std::string dbPath;                    // --db (required)
  std::string name = "DataStore";        // --name: Naming Service name (rebound at start-up)
  std::string iorFile;                   // --ior-file: empty = not written
  long maxTransaction = 10000;           // --max-transaction: distinct keys pending per session
  long maxTransactionBytes = 268435456;  // --max-transaction-bytes: bytes pending per session
  long maxSessions = 1024;               // --max-sessions: open sessions at once
  long maxSessionsPerClient = 64;        // --max-sessions-per-client: per client connection
  long maxPendingBytes = 1073741824;     // --max-pending-bytes: pending bytes of all sessions
  long maxRequestMemory = 268435456;     // --max-request-memory: requests being served at once
  double sessionTimeout = 3600.0;        // --session-timeout: idle seconds; 0 = never reaped
  long maxKeyBytes = 4096;               // --max-key-bytes
  long maxValueBytes = 1048576;          // --max-value-bytes
  long maxMessageBytes = 8388608;        // --max-message-bytes: largest GIOP message accepted
  long maxMemoryBytes = 2147483648;      // --max-memory-bytes: committed entries in memory
  long busyTimeoutMs = 5000;             // --busy-timeout: wait for a lock held by another process
  double dbTimeout = 5.0;                // --db-timeout: any wait on a PostgreSQL database
  long maxConnections = 4096;            // --max-connections: client connections at once
  qmr_util::Log::Level logLevel = qmr_util::Log::kInfo;  // --log-level
  bool logLevelSet = false;  // false: the log keeps its default (QMR_LOG_LEVEL)
  bool help = false;         // --help

  // -ORB options from the command line, each with its value, in their order.
  qmr_util::OrbOptions orb;

  // The options for Orb::init: the user's, then the server's defaults that the user did not
  // give (the message size limit, the call timeout, exception traces, the threads and the
  // closing of idle connections).
  qmr_util::OrbOptions orbOptions() const;
};

// Parses argv. Returns true and fills `out`, or false with a message in `error` saying which
// argument is wrong and what is expected.
bool parseOptions(int argc, char** argv, Options* out, std::string* error);

// The --help text.
std::string usage();

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_OPTIONS_H
