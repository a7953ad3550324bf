// HostOptions.h - the command line of qmr-host, split into its three audiences.
//
// Host options (--datastore NAME, --no-datastore, --log-level LEVEL, --help) and ORB options
// (-ORBxxx VALUE) come first; the first other argument, or whatever follows "--", starts the
// Python command line (script and its arguments, -c CODE, -m MODULE, python3 flags, or
// nothing for the interactive prompt), which is passed on unchanged.
#ifndef QMR_HOST_HOSTOPTIONS_H
#define QMR_HOST_HOSTOPTIONS_H

#include <string>
#include <vector>

#include "qmr/util/Log.h"
#include "qmr/util/OrbOptions.h"

namespace qmr_host {

struct HostOptions {
  std::string dataStoreName = "DataStore";
  bool useDataStore = true;
  bool logLevelGiven = false;
  qmr_util::Log::Level logLevel = qmr_util::Log::kInfo;
  bool help = false;
  // The -ORBxxx VALUE pairs in the order given (Orb::init adds the defaults).
  qmr_util::OrbOptions orb;
  // The Python command line without the program name.
  std::vector<std::string> pythonArgs;
};

// Parses argv[1..argc). On a bad command line returns false and sets *error to a message that
// names the offending argument.
bool parseHostOptions(int argc, const char* const* argv, HostOptions* options,
                      std::string* error);

// The text printed by --help.
std::string hostUsage(const std::string& program);

}  // namespace qmr_host

#endif  // QMR_HOST_HOSTOPTIONS_H
