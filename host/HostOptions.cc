// HostOptions.cc - parsing of qmr-host's command line.
#include "HostOptions.h"

#include <cstring>

namespace qmr_host {

namespace {

// "--name=value" or "--name value": the value, advancing *i past it. False when missing.
bool optionValue(int argc, const char* const* argv, int* i, const char* name, std::string* value) {
  const char* arg = argv[*i];
  size_t n = std::strlen(name);
  if (arg[n] == '=') {
    *value = arg + n + 1;
    return !value->empty();
  }
  // No value of ours starts with '-': that is the next option, so the value is missing.
  if (*i + 1 >= argc || argv[*i + 1][0] == '-') return false;
  *value = argv[++*i];
  return true;
}

bool isOption(const char* arg, const char* name) {
  size_t n = std::strlen(name);
  return std::strncmp(arg, name, n) == 0 && (arg[n] == '\0' || arg[n] == '=');
}

}  // namespace

bool parseHostOptions(int argc, const char* const* argv, HostOptions* options,
                      std::string* error) {
  int i = 1;
  for (; i < argc; ++i) {
    const char* arg = argv[i];
    std::string value;
    if (std::strcmp(arg, "--") == 0) {
      ++i;
      break;
    } else if (std::strcmp(arg, "--help") == 0 || std::strcmp(arg, "-h") == 0) {
      options->help = true;
    } else if (std::strcmp(arg, "--no-datastore") == 0) {
      options->useDataStore = false;
    } else if (isOption(arg, "--datastore")) {
      if (!optionValue(argc, argv, &i, "--datastore", &value)) {
        *error = "option --datastore needs a name (for example --datastore DataStore)";
        return false;
      }
      options->dataStoreName = value;
    } else if (isOption(arg, "--log-level")) {
      if (!optionValue(argc, argv, &i, "--log-level", &value)) {
        *error = "option --log-level needs a level: error, warning, info or debug";
        return false;
      }
      if (!qmr_util::Log::parseLevel(value, &options->logLevel)) {
        *error = "unknown log level '" + value + "' (use error, warning, info or debug)";
        return false;
      }
      options->logLevelGiven = true;
    } else if (qmr_util::OrbOptions::isStartUpOption(arg)) {
      if (!options->orb.take(argc, argv, &i, error)) return false;
    } else if (std::strncmp(arg, "--", 2) == 0) {
      *error = std::string("unknown option '") + arg + "'";
      return false;
    } else {
      break;  // the Python command line starts here
    }
  }
  for (; i < argc; ++i) options->pythonArgs.push_back(argv[i]);
  return true;
}

std::string hostUsage(const std::string& program) {
  return "usage: " + program +
         " [HOST OPTIONS] [ORB OPTIONS] [--] [PYTHON ARGS]\n"
         "\n"
         "Runs Python 3 with the data store client (_datastore, qmr.DataStoreInterface) and the\n"
         "event signaller (_MiscCorba, qmr.MiscCorbaInterface) loaded. PYTHON ARGS are those of\n"
         "python3: a script and its arguments, -c CODE, -m MODULE, or nothing for the prompt.\n"
         "The exit status is the script's.\n"
         "\n"
         "Host options (before PYTHON ARGS):\n"
         "  --datastore NAME   data store to use: a Naming Service name or an IOR/corbaloc\n"
         "                     (default: DataStore)\n"
         "  --no-datastore     start without a data store; the _datastore functions then raise\n"
         "                     RuntimeError\n"
         "  --log-level LEVEL  error, warning, info or debug (default: $QMR_LOG_LEVEL or info)\n"
         "  -h, --help         this text\n"
         "\n"
         "ORB options: any -ORBxxx VALUE pair, passed to the ORB. The Naming Service comes from\n"
         "/etc/qmr/orb.conf (or the file $QMR_ORB_CONF names) unless given, e.g.\n"
         "-ORBInitRef NameService=corbaloc:omniunix:/run/qmr/names.sock:/NameService (the\n"
         "packaged one; your user must be in group qmr). Without -ORBendPoint the host uses\n"
         "-ORBendPoint giop:unix: (a Unix socket: this machine only).\n"
         "\n" +
         std::string(qmr_util::TlsOptions::helpText()) +
         "A data store that serves TLS only (qmr-datastored with --tls-ca) is reached with\n"
         "--tls-ca, --tls-cert and --tls-key: it refuses a program without a certificate.\n"
         "\n"
         "Environment: QMR_PYTHONPATH (colon-separated folders searched for the qmr package\n"
         "before the built-in one), QMR_ORB_CONF, QMR_LOG_LEVEL, QMR_TLS_*, and python3's own\n"
         "variables.\n"
         "\n"
         "Examples, against the packaged service (qmr-datastored.service):\n"
         "  " + program + " my_script.py\n"
         "  " + program + " -c 'from qmr.DataStoreInterface import interface as s; print(s.get([\"k\"]))'\n";
}

}  // namespace qmr_host
