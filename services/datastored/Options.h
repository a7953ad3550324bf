// Options.h - the command line of qmr-datastored: its own flags, and the -ORB options that
// are handed to the ORB unchanged. Every flag is one row of the table that flags() returns
// (Options.cc): its name, default and help are written there once, and both the parser and
// the --help text are made from it.
#ifndef QMR_DATASTORED_OPTIONS_H
#define QMR_DATASTORED_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

#include "metrics/Endpoint.h"
#include "qmr/util/Log.h"
#include "qmr/util/OrbOptions.h"
#include "sessions/Limits.h"

namespace qmr_datastored {

struct Options {
  std::string dbPath;   // --db (required)
  std::string name;     // --name: Naming Service name (rebound at start-up)
  std::string iorFile;  // --ior-file: empty = not written
  std::optional<MetricsAddress> metrics;  // --metrics HOST:PORT (loopback); none = no endpoint
  Limits limits;        // --max-*, --session-timeout, --busy-timeout, --db-timeout
  qmr_util::Log::Level logLevel = qmr_util::Log::kInfo;  // --log-level
  bool logLevelSet = false;  // false: the log keeps its default (QMR_LOG_LEVEL)
  bool help = false;         // --help
  bool status = false;       // --status: print the running server's metrics (needs --metrics)

  // -ORB options from the command line, each with its value, in their order, and the files
  // of --tls-* (orb.tls()).
  qmr_util::OrbOptions orb;

  // The options for Orb::init: the user's, then the server's defaults that the user did not
  // give (the message size limit, the call timeout, exception traces, the threads and the
  // closing of idle connections).
  qmr_util::OrbOptions orbOptions() const;
};

// One flag of the command line.
struct Flag {
  const char* name;       // "--max-transaction"
  const char* arg;        // what the value is called in --help ("N"); nullptr: takes none
  const char* byDefault;  // the value used when the flag is not given; nullptr: none
  const char* help;       // what it does, for --help; the default is appended
  // Reads `value` into `o`, or says in `error` what is wrong with it.
  bool (*set)(const Flag& flag, const std::string& value, Options* o, std::string* error);
};

// Every flag, in the order --help lists them.
const std::vector<Flag>& flags();

// Parses argv. Returns true and fills `out` (every flag not given has its default), or false
// with a message in `error` saying which argument is wrong and what is expected.
bool parseOptions(int argc, char** argv, Options* out, std::string* error);

// Completes the TLS settings of `orb` from the environment (QMR_TLS_*) and checks that they
// make a server: consistent, with a certificate of its own, and present when an endpoint
// serves giop:ssl. False with *error saying what to give.
bool checkTls(qmr_util::OrbOptions* orb, std::string* error);

// The --help text.
std::string usage();

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_OPTIONS_H
