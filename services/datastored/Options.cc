// Options.cc - parsing and documenting the command line of qmr-datastored.
#include "Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "orb/Intake.h"

namespace qmr_datastored {
namespace {

bool parseCount(const std::string& flag, const std::string& text, long min, long* out,
                std::string* error) {
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 10);
  if (text.empty() || *end != '\0' || errno != 0 || value < min) {
    *error = flag + " needs a whole number >= " + std::to_string(min) + ", not '" + text + "'";
    return false;
  }
  *out = value;
  return true;
}

bool parseSeconds(const std::string& flag, const std::string& text, double* out,
                  std::string* error) {
  errno = 0;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(value) || value < 0) {
    *error = flag + " needs a number of seconds >= 0, not '" + text + "'";
    return false;
  }
  *out = value;
  return true;
}

// The flags that take a whole number: the least value each accepts, and where it goes.
struct CountFlag {
  const char* name;
  long min;
  long Options::*field;
};
const CountFlag kCountFlags[] = {
    {"--max-transaction", 1, &Options::maxTransaction},
    {"--max-transaction-bytes", 1, &Options::maxTransactionBytes},
    {"--max-sessions", 1, &Options::maxSessions},
    {"--max-sessions-per-client", 1, &Options::maxSessionsPerClient},
    {"--max-pending-bytes", 1, &Options::maxPendingBytes},
    {"--max-request-memory", 1, &Options::maxRequestMemory},
    {"--max-key-bytes", 1, &Options::maxKeyBytes},
    {"--max-value-bytes", 0, &Options::maxValueBytes},
    {"--max-message-bytes", 8192, &Options::maxMessageBytes},
    {"--max-memory-bytes", 0, &Options::maxMemoryBytes},
    {"--busy-timeout", 0, &Options::busyTimeoutMs},
    {"--max-connections", 1, &Options::maxConnections},
};
// The other flags that take a value.
const char* const kOtherFlags[] = {"--db", "--name", "--ior-file", "--session-timeout",
                                   "--db-timeout", "--log-level"};

const CountFlag* countFlag(const std::string& flag) {
  for (const CountFlag& f : kCountFlags) {
    if (flag == f.name) return &f;
  }
  return nullptr;
}

}  // namespace

qmr_util::OrbOptions Options::orbOptions() const {
  qmr_util::OrbOptions options = orb;
  // Bounds what one request may make the server allocate (a million keys, a huge value).
  options.addDefault("-ORBgiopMaxMsgSize", std::to_string(maxMessageBytes));
  // The server's only outgoing calls go to the Naming Service: a hung one must not hang
  // start-up or shut-down for ever.
  options.addDefault("-ORBclientCallTimeOutPeriod", "10000");
  // Lets the log name a request refused for its size (see OrbLog.cc).
  options.addDefault("-ORBtraceExceptions", "1");
  // A connection idle (or stalled part-way through a message) for about this long is closed,
  // so that clients that hold connections without using them do not pile up; omniORB's
  // clients connect again when they next call.
  options.addDefault("-ORBinConScanPeriod", std::to_string(kIdleConnectionSeconds));
  options.addDefault("-ORBscanGranularity", "1");
  // A thread per connection up to 256 connections, then a pool of 100 threads that serve
  // whichever connection has a request: threads stay bounded whatever the connections.
  options.addDefault("-ORBthreadPerConnectionUpperLimit", "256");
  options.addDefault("-ORBthreadPerConnectionLowerLimit", "224");
  options.addDefault("-ORBmaxServerThreadPoolSize", "100");
  options.addDefault("-ORBmaxServerThreadPerConnection", "8");
  return options;
}

bool parseOptions(int argc, char** argv, Options* out, std::string* error) {
  Options o;
  bool haveDb = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (qmr_util::OrbOptions::isOrbOption(arg)) {
      if (!o.orb.take(argc, argv, &i, error)) return false;
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      o.help = true;
      continue;
    }
    if (arg.compare(0, 2, "--") != 0) {
      *error = "unexpected argument '" + arg + "'";
      return false;
    }
    std::string flag = arg;
    std::string value;
    bool inlineValue = false;
    size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      flag = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inlineValue = true;
    }
    const CountFlag* count = countFlag(flag);
    bool isKnown = count != nullptr;
    for (const char* k : kOtherFlags) isKnown = isKnown || flag == k;
    if (!isKnown) {
      *error = "unknown option '" + flag + "'";
      return false;
    }
    if (!inlineValue) {
      if (i + 1 >= argc) {
        *error = flag + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    bool ok = true;
    if (flag == "--db") {
      if (value.empty()) {
        *error = "--db needs a file path or a postgresql:// URI";
        return false;
      }
      o.dbPath = value;
      haveDb = true;
    } else if (flag == "--name") {
      if (value.empty()) {
        *error = "--name needs a non-empty Naming Service name";
        return false;
      }
      o.name = value;
    } else if (flag == "--ior-file") {
      o.iorFile = value;
    } else if (count != nullptr) {
      ok = parseCount(flag, value, count->min, &(o.*(count->field)), error);
    } else if (flag == "--session-timeout") {
      ok = parseSeconds(flag, value, &o.sessionTimeout, error);
    } else if (flag == "--db-timeout") {
      ok = parseSeconds(flag, value, &o.dbTimeout, error);
      if (ok && (o.dbTimeout < 0.1 || o.dbTimeout > 3600)) {
        *error = "--db-timeout needs a number of seconds from 0.1 to 3600, not '" + value + "'";
        ok = false;
      }
    } else if (flag == "--log-level") {
      if (!qmr_util::Log::parseLevel(value, &o.logLevel)) {
        *error = "--log-level needs one of error, warning, info, debug, not '" + value + "'";
        return false;
      }
      o.logLevelSet = true;
    }
    if (!ok) return false;
  }
  if (!haveDb && !o.help) {
    *error =
        "--db is required (an SQLite database file, created when missing, or a "
        "postgresql://USER@HOST:PORT/DB URI)";
    return false;
  }
  *out = o;
  return true;
}

std::string usage() {
  return "usage: qmr-datastored --db FILE|URI [options] [-ORB<option> value ...]\n"
         "\n"
         "The reference data store service: serves ClientCore::DataStore and its sessions over\n"
         "CORBA, keeps committed entries in one SQLite file (WAL journal, synchronous FULL: a\n"
         "commit that returned is on disk) or in a PostgreSQL database that several servers may\n"
         "share, and registers itself in the Naming Service.\n"
         "\n"
         "  --db FILE                 SQLite database file; created when missing. An existing\n"
         "                            file that fails the integrity check is refused, never\n"
         "                            replaced. Reads are served from memory.\n"
         "  --db URI                  a PostgreSQL database: any libpq connection URI starting\n"
         "                            postgresql:// or postgres://, e.g.\n"
         "                  postgresql://qmr@db1,db2/qmr?target_session_attrs=read-write\n"
         "                            (follows the primary when a standby is promoted). The\n"
         "                            table entries is created when missing; one with another\n"
         "                            schema is refused. Every get reads from the database, so\n"
         "                            servers sharing it see each other's commits at once. The\n"
         "                            server does not start while the database cannot be\n"
         "                            reached (status 3). Once running, calls fail with\n"
         "                            TRANSIENT while it cannot be reached, and the server\n"
         "                            connects again by itself (pauses of 0.1 s doubling up to\n"
         "                            2 s between attempts).\n"
         "  --name NAME               Naming Service name to (re)bind (default \"DataStore\").\n"
         "  --ior-file FILE           also write the DataStore reference (IOR:...) to FILE.\n"
         "  --max-transaction N       distinct keys a session may have pending before set/remove\n"
         "                            raise TransactionSizeExceeded (default 10000).\n"
         "  --max-transaction-bytes N key and value bytes a session may have pending before\n"
         "                            set/remove raise TransactionSizeExceeded (default\n"
         "                            268435456).\n"
         "  --max-pending-bytes N     key and value bytes pending in all sessions together; a\n"
         "                            set or remove past it raises NO_MEMORY (default\n"
         "                            1073741824).\n"
         "  --max-request-memory N    memory the get, set and remove requests being served at\n"
         "                            once may hold, estimated at 96 bytes per key plus the\n"
         "                            keys and values; one past it raises NO_MEMORY (default\n"
         "                            268435456). The ORB's buffers for reading requests\n"
         "                            (--max-message-bytes each) come on top.\n"
         "  --max-sessions N          open sessions at once (default 1024); when all are open,\n"
         "                            startSession ends the session idle longest to make room\n"
         "                            (NO_RESOURCES if every one has a call in progress).\n"
         "  --max-sessions-per-client N\n"
         "                            open sessions of one client connection; startSession past\n"
         "                            it raises NO_RESOURCES (default 64).\n"
         "  --max-connections N       client connections at once (default 4096, fewer when the\n"
         "                            descriptor limit leaves less room); one past it is\n"
         "                            closed at once. The soft descriptor limit is raised to\n"
         "                            the hard limit at start-up. Connections idle, or stalled\n"
         "                            part-way through a request, for about 4 s are closed\n"
         "                            (-ORBinConScanPeriod); a thread serves each connection up\n"
         "                            to 256 of them, a pool of 100 beyond. Refused and stalled\n"
         "                            connections are logged at most once every 10 s.\n"
         "  --session-timeout SECONDS sessions idle this long are ended and their pending\n"
         "                            changes discarded (default 3600; 0 = never).\n"
         "  --max-key-bytes N         longest key accepted; longer ones raise BAD_PARAM\n"
         "                            (default 4096).\n"
         "  --max-value-bytes N       longest value accepted; longer ones raise BAD_PARAM\n"
         "                            (default 1048576).\n"
         "  --max-message-bytes N     largest GIOP message accepted or sent (default 8388608);\n"
         "                            bigger requests are refused with MARSHAL, bigger replies\n"
         "                            with IMP_LIMIT. Sets -ORBgiopMaxMsgSize unless given.\n"
         "  --max-memory-bytes N      memory the committed entries may take; they are served\n"
         "                            from memory (about 112 bytes per entry beside keys and\n"
         "                            values longer than 15 bytes; default 2147483648, 0 = no\n"
         "                            limit). A commit past it raises NO_RESOURCES and its\n"
         "                            changes stay pending; a database that holds more is\n"
         "                            refused at start-up (status 3). SQLite only: with\n"
         "                            PostgreSQL nothing committed is kept in memory.\n"
         "  --busy-timeout MS         SQLite: how long a commit waits for the database while\n"
         "                            another process holds its write lock before it fails\n"
         "                            with PERSIST_STORE (default 5000).\n"
         "  --db-timeout SECONDS      PostgreSQL: how long any wait on the database may last\n"
         "                            (default 5): a connection attempt (per host, at least\n"
         "                            2 s), a statement, a commit (the database ends its own\n"
         "                            statements at the limit; the server gives up on an answer\n"
         "                            half a second later). A call that runs into it fails with\n"
         "                            TRANSIENT and its connection is dropped; a commit\n"
         "                            whose outcome is then unknown (no answer to COMMIT, or a\n"
         "                            wait for a synchronous standby cancelled after the local\n"
         "                            commit) fails with PERSIST_STORE and is logged as \"commit\n"
         "                            outcome unknown\". TCP keepalives notice a peer that\n"
         "                            vanished; parameters in the URI override them.\n"
         "  --log-level LEVEL         error, warning, info or debug (default: the environment's\n"
         "                            QMR_LOG_LEVEL, else info); log lines go to stderr.\n"
         "  --help                    this text.\n"
         "\n"
         "ORB options (-ORB<name> value) are passed to omniORB. Unless -ORBendPoint is given the\n"
         "server listens on giop:tcp:127.0.0.1: (a free loopback port). The Naming Service is\n"
         "found through -ORBInitRef NameService=corbaloc::HOST:PORT/NameService; calls to it\n"
         "time out after 10 s unless -ORBclientCallTimeOutPeriod says otherwise.\n"
         "\n"
         "Prints one line \"qmr-datastored: ready, ...\" on stdout once it serves. SIGINT and\n"
         "SIGTERM unbind the name and exit 0. Exit status 2: bad command line; 3: database\n"
         "cannot be opened, written or is damaged; 4: Naming Service unreachable; 1: other\n"
         "start-up failure.\n";
}

}  // namespace qmr_datastored
