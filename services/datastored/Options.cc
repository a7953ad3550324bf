// Options.cc - the command line of qmr-datastored: one table of flags, from which the parser
// takes each flag's default and reader, and --help its text.
#include "Options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "OpenEngine.h"
#include "engine/postgres/Postgres.h"
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

// A whole number >= least into one of the limits.
template <long Limits::*field, long least>
bool count(const Flag& f, const std::string& text, Options* o, std::string* error) {
  return parseCount(f.name, text, least, &(o->limits.*field), error);
}

// A number of seconds >= 0 into one of the limits.
template <double Limits::*field>
bool seconds(const Flag& f, const std::string& text, Options* o, std::string* error) {
  return parseSeconds(f.name, text, &(o->limits.*field), error);
}

bool setDbTimeout(const Flag& f, const std::string& text, Options* o, std::string* error) {
  double value = 0;
  if (!parseSeconds(f.name, text, &value, error)) return false;
  if (value < 0.1 || value > 3600) {
    *error = std::string(f.name) + " needs a number of seconds from 0.1 to 3600, not '" + text +
             "'";
    return false;
  }
  o->limits.dbTimeout = value;
  return true;
}

bool setDb(const Flag&, const std::string& text, Options* o, std::string* error) {
  if (text.empty()) {
    *error = "--db needs a file path or a postgresql:// URI";
    return false;
  }
  if (isPostgres(text) && holdsPassword(text)) {
    *error =
        "--db holds a password, and every user of this machine can read a command line (ps, "
        "/proc/PID/cmdline); refusing it. Leave the password out of --db and give it to libpq "
        "another way: a password file (~/.pgpass of the user the server runs as, or "
        "PGPASSFILE; mode 0600), a service file (PGSERVICEFILE, and --db \"service=NAME\"), "
        "or PGPASSWORD in an environment file that only root can read (EnvironmentFile= of the "
        "systemd unit). Better still, connect through PostgreSQL's Unix socket with peer "
        "authentication, which needs no password";
    return false;
  }
  o->dbPath = text;
  return true;
}

bool setName(const Flag&, const std::string& text, Options* o, std::string* error) {
  if (text.empty()) {
    *error = "--name needs a non-empty Naming Service name";
    return false;
  }
  o->name = text;
  return true;
}

bool setIorFile(const Flag&, const std::string& text, Options* o, std::string*) {
  o->iorFile = text;
  return true;
}

bool setMetrics(const Flag&, const std::string& text, Options* o, std::string* error) {
  MetricsAddress address;
  if (!parseMetricsAddress(text, &address, error)) return false;
  o->metrics = address;
  return true;
}

bool setStatus(const Flag&, const std::string&, Options* o, std::string*) {
  o->status = true;
  return true;
}

bool setLogLevel(const Flag&, const std::string& text, Options* o, std::string* error) {
  if (!qmr_util::Log::parseLevel(text, &o->logLevel)) {
    *error = "--log-level needs one of error, warning, info, debug, not '" + text + "'";
    return false;
  }
  o->logLevelSet = true;
  return true;
}

// A file of the TLS settings (handed to the ORB start-up with the -ORB options).
template <std::string qmr_util::TlsOptions::*field>
bool tlsFile(const Flag& f, const std::string& text, Options* o, std::string* error) {
  if (text.empty()) {
    *error = std::string(f.name) + " needs a file name";
    return false;
  }
  o->orb.tls().*field = text;
  return true;
}

bool setHelp(const Flag&, const std::string&, Options* o, std::string*) {
  o->help = true;
  return true;
}

const std::vector<Flag> kFlags = {
    {"--db", "FILE|URI", nullptr,
     "Required. FILE: an SQLite database file, created when missing, and so are its folders "
     "(0700, or 0750 with group qmr if that group exists). An existing file that "
     "fails the integrity check is refused, never replaced; so is a FILE (or its -wal, -shm) "
     "that is a symbolic link, belongs to another user, or that every user may write. Reads "
     "are served from memory. URI: a PostgreSQL database, any libpq connection URI starting "
     "postgresql:// or postgres://, e.g. "
     "postgresql://qmr@db1,db2/qmr?target_session_attrs=read-write (follows the primary when "
     "a standby is promoted), or a connection string of keywords, "
     "e.g. \"host=/run/postgresql\x01" "dbname=qmr\" (PostgreSQL's Unix socket with peer "
     "authentication: no password needed). A URI or string holding a password is refused "
     "(status 2), since every user can read a command line: give it through ~/.pgpass, "
     "PGPASSFILE, a service file (\"service=NAME\") or PGPASSWORD in an environment file "
     "only root can read. The table entries is created when missing; one "
     "with another schema is refused. Every get reads from the database, so servers sharing "
     "it see each other's commits at once. The server does not start while the database "
     "cannot be reached (status 3). Once running, calls fail with TRANSIENT while it cannot "
     "be reached, and the server connects again by itself (pauses of 0.1 s doubling up to "
     "2 s between attempts).",
     setDb},
    {"--name", "NAME", "DataStore", "Naming Service name to (re)bind.", setName},
    {"--ior-file", "FILE", nullptr, "Also write the DataStore reference (IOR:...) to FILE; missing folders are made as "
     "for --db.",
     setIorFile},
    {"--max-transaction", "N", "10000",
     "Distinct keys a session may have pending before set/remove raise "
     "TransactionSizeExceeded.",
     count<&Limits::maxTransaction, 1>},
    {"--max-transaction-bytes", "N", "268435456",
     "Key and value bytes a session may have pending before set/remove raise "
     "TransactionSizeExceeded.",
     count<&Limits::maxTransactionBytes, 1>},
    {"--max-pending-bytes", "N", "1073741824",
     "Key and value bytes pending in all sessions together; a set or remove past it raises "
     "NO_MEMORY. One client holds at most its share, 1/(n+1) of it with n clients holding "
     "pending changes, so another client's set still fits.",
     count<&Limits::maxPendingBytes, 1>},
    {"--max-request-memory", "N", "268435456",
     "Memory the get, set and remove requests being served at once may hold, estimated at 96 "
     "bytes per key plus the keys and values; one past it raises NO_MEMORY. The ORB's buffers "
     "for reading requests (--max-message-bytes each) come on top.",
     count<&Limits::maxRequestMemory, 1>},
    {"--max-sessions", "N", "1024",
     "Open sessions at once; when all are open, startSession ends the idlest session of a "
     "client over its fair share (the table divided among the clients holding sessions), the "
     "requester's own first; a client within its share never loses a session to another "
     "(NO_RESOURCES if every such session has a call in progress).",
     count<&Limits::maxSessions, 1>},
    {"--max-sessions-per-client", "N", "64",
     "Open sessions of one client: the user of a process on a Unix-domain or loopback TCP "
     "connection (from the kernel), the certificate subject on TLS, else (TCP from another "
     "host) the connection. A client at this number makes room by ending its own idlest "
     "session.",
     count<&Limits::maxSessionsPerClient, 1>},
    {"--session-timeout", "SECONDS", "3600",
     "Sessions idle this long are ended and their pending changes discarded; 0 = never.",
     seconds<&Limits::sessionTimeout>},
    {"--max-key-bytes", "N", "4096", "Longest key accepted; longer ones raise BAD_PARAM.",
     count<&Limits::maxKeyBytes, 1>},
    {"--max-value-bytes", "N", "1048576", "Longest value accepted; longer ones raise BAD_PARAM.",
     count<&Limits::maxValueBytes, 0>},
    {"--max-message-bytes", "N", "8388608",
     "Largest GIOP message accepted or sent, at least 8192; bigger requests are refused with "
     "MARSHAL, bigger replies with IMP_LIMIT. Sets -ORBgiopMaxMsgSize unless given.",
     count<&Limits::maxMessageBytes, 8192>},
    {"--max-memory-bytes", "N", "2147483648",
     "Memory the committed entries may take; they are served from memory (about 112 bytes "
     "per entry beside keys and values longer than 15 bytes); 0 = no limit. A commit past it "
     "raises NO_RESOURCES and its changes stay pending; a database that holds more is refused "
     "at start-up (status 3). SQLite only: with PostgreSQL nothing committed is kept in "
     "memory.",
     count<&Limits::maxMemoryBytes, 0>},
    {"--busy-timeout", "MS", "5000",
     "SQLite: how long a commit waits for the database while another process holds its "
     "write lock before it fails with PERSIST_STORE.",
     count<&Limits::busyTimeoutMs, 0>},
    {"--db-timeout", "SECONDS", "5",
     "PostgreSQL: how long any wait on the database may last: a connection attempt (per "
     "host, at least two seconds), a statement, a commit. The database ends its own "
     "statements at the limit; the server gives up on an answer half a second later. A call "
     "that runs into it fails with TRANSIENT and its connection is dropped; a commit whose "
     "outcome is then unknown (no answer to COMMIT, or a wait for a synchronous standby "
     "cancelled after the local commit) fails with PERSIST_STORE and is logged as \"commit "
     "outcome unknown\". TCP keepalives notice a peer that vanished; parameters in the URI "
     "override them. SIGTERM stops the server within two seconds whatever the database does.",
     setDbTimeout},
    {"--max-connections", "N", "4096",
     "Client connections at once (fewer when the descriptor limit leaves less room); one past "
     "it is closed as soon as it is accepted. The soft descriptor limit is raised to the hard "
     "limit at start-up. Connections idle, or stalled part-way through a request, for about "
     "4 s are closed (-ORBinConScanPeriod); a thread serves each connection up to 256 of "
     "them, a pool of 100 threads beyond. Refused and stalled connections are logged at most "
     "once every 10 s.",
     count<&Limits::maxConnections, 1>},
    {"--metrics", "HOST:PORT", nullptr,
     "Serve Prometheus metrics at http://HOST:PORT/metrics: sessions, pending bytes, commits "
     "and their latency, group sizes, gets and keys read, refusals by cause, database "
     "reconnects, the in-memory index, resident memory. HOST must be loopback (127.0.0.1, "
     "localhost or [::1]); a bare PORT means 127.0.0.1; port 0 takes a free one. Unix sockets "
     "are not available (Debian's civetweb lacks them). When not given: no endpoint.",
     setMetrics},
    {"--status", nullptr, nullptr,
     "With --metrics HOST:PORT: ask the server running there, print its metrics as a table "
     "(rates over one second) and exit (0, or 1 when it cannot be reached). --db is not "
     "needed.",
     setStatus},
    {"--log-level", "LEVEL", nullptr,
     "error, warning, info or debug (when not given: the environment's QMR_LOG_LEVEL, else "
     "info); log lines go to stderr.",
     setLogLevel},
    {"--tls-ca", "FILE", nullptr,
     "TLS (see below): the certificates of the authority that must have signed a client's "
     "certificate, PEM; from QMR_TLS_CA when not given.",
     tlsFile<&qmr_util::TlsOptions::caFile>},
    {"--tls-cert", "FILE", nullptr,
     "TLS: the server's certificate, PEM, followed by any intermediate ones; from "
     "QMR_TLS_CERT when not given.",
     tlsFile<&qmr_util::TlsOptions::certFile>},
    {"--tls-key", "FILE", nullptr,
     "TLS: its private key, PEM, possibly encrypted; from QMR_TLS_KEY when not given.",
     tlsFile<&qmr_util::TlsOptions::keyFile>},
    {"--tls-key-password-file", "FILE", nullptr,
     "TLS: the first line of FILE is the key's password, which is never given on the command "
     "line; from QMR_TLS_KEY_PASSWORD_FILE when not given.",
     tlsFile<&qmr_util::TlsOptions::keyPasswordFile>},
    {"--help", nullptr, nullptr, "This text (also -h).", setHelp},
};

const Flag* findFlag(const std::string& name) {
  for (const Flag& f : kFlags) {
    if (name == f.name) return &f;
  }
  return nullptr;
}

// Appends `text` to `out` in lines of at most kWidth columns, each but the first indented to
// kIndent; `column` is where the first line's text starts. kGlue joins words that stay on
// one line, and is printed as a space.
constexpr char kGlue = '\x01';
constexpr size_t kWidth = 92;
constexpr size_t kIndent = 28;
void wrap(const std::string& text, size_t column, std::string* out) {
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find(' ', pos);
    if (end == std::string::npos) end = text.size();
    std::string word = text.substr(pos, end - pos);
    pos = end + 1;
    if (word.empty()) continue;
    if (column > kIndent && column + 1 + word.size() > kWidth) {
      *out += "\n" + std::string(kIndent, ' ');
      column = kIndent;
    } else if (column > kIndent) {
      *out += ' ';
      ++column;
    }
    for (char& c : word) c = c == kGlue ? ' ' : c;
    *out += word;
    column += word.size();
  }
  *out += '\n';
}

}  // namespace

const std::vector<Flag>& flags() { return kFlags; }

qmr_util::OrbOptions Options::orbOptions() const {
  qmr_util::OrbOptions options = orb;
  // With a certificate the server serves TLS only, unless endpoints are given.
  if (orb.tls().hasCertificate()) options.addDefault("-ORBendPoint", "giop:ssl:127.0.0.1:");
  // Bounds what one request may make the server allocate (a million keys, a huge value).
  options.addDefault("-ORBgiopMaxMsgSize", std::to_string(limits.maxMessageBytes));
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
  for (const Flag& f : kFlags) {
    if (f.byDefault != nullptr && !f.set(f, f.byDefault, &o, error)) {
      *error = "the built-in default of " + std::string(f.name) + " is wrong: " + *error;
      return false;
    }
  }
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (qmr_util::OrbOptions::isOrbOption(arg)) {
      if (!o.orb.take(argc, argv, &i, error)) return false;
      continue;
    }
    if (arg == "-h") arg = "--help";
    if (arg.compare(0, 2, "--") != 0) {
      *error = "unexpected argument '" + arg + "'";
      return false;
    }
    std::string name = arg;
    std::string value;
    bool inlineValue = false;
    size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inlineValue = true;
    }
    const Flag* flag = findFlag(name);
    if (flag == nullptr) {
      *error = "unknown option '" + name + "'";
      return false;
    }
    if (flag->arg == nullptr && inlineValue) {
      *error = name + " takes no value";
      return false;
    }
    if (flag->arg != nullptr && !inlineValue) {
      if (i + 1 >= argc) {
        *error = name + " needs a value";
        return false;
      }
      value = argv[++i];
    }
    if (!flag->set(*flag, value, &o, error)) return false;
  }
  if (o.status && !o.metrics && !o.help) {
    *error =
        "--status needs --metrics HOST:PORT, the address the server's metrics endpoint "
        "listens on (its log says \"metrics at http://HOST:PORT/metrics\")";
    return false;
  }
  if (o.dbPath.empty() && !o.help && !o.status) {
    *error =
        "--db is required (an SQLite database file, created when missing, or a "
        "postgresql://USER@HOST:PORT/DB URI)";
    return false;
  }
  if (!o.help && !checkTls(&o.orb, error)) return false;
  *out = o;
  return true;
}

bool checkTls(qmr_util::OrbOptions* orb, std::string* error) {
  qmr_util::TlsOptions& tls = orb->tls();
  tls.addEnvironment();
  if (!tls.consistent(error)) return false;
  if (tls.any() && !tls.hasCertificate()) {
    *error = "a TLS server shows a certificate of its own: give --tls-cert FILE and --tls-key "
             "FILE (or QMR_TLS_CERT and QMR_TLS_KEY) beside --tls-ca";
    return false;
  }
  const std::vector<std::string>& args = orb->args();
  for (size_t i = 0; i + 1 < args.size(); i += 2) {
    if (args[i] == "-ORBendPoint" && args[i + 1].compare(0, 9, "giop:ssl:") == 0 && !tls.any()) {
      *error = "-ORBendPoint " + args[i + 1] + " serves TLS: give --tls-ca, --tls-cert and "
               "--tls-key too";
      return false;
    }
  }
  return true;
}

std::string usage() {
  std::string text =
      "usage: qmr-datastored --db FILE|URI [options] [-ORB<option> value ...]\n"
      "       qmr-datastored --status --metrics HOST:PORT\n"
      "\n"
      "The reference data store service: serves ClientCore::DataStore and its sessions over\n"
      "CORBA, keeps committed entries in one SQLite file (WAL journal, synchronous FULL: a\n"
      "commit that returned is on disk) or in a PostgreSQL database that several servers may\n"
      "share, and registers itself in the Naming Service.\n"
      "\n";
  for (const Flag& f : kFlags) {
    std::string head = std::string("  ") + f.name;
    if (f.arg != nullptr) head += std::string(" ") + f.arg;
    std::string help = f.help;
    if (f.byDefault != nullptr) help += std::string(" Default:") + kGlue + f.byDefault + ".";
    text += head;
    if (head.size() + 1 > kIndent) {
      text += "\n" + std::string(kIndent, ' ');
    } else {
      text += std::string(kIndent - head.size(), ' ');
    }
    wrap(help, kIndent, &text);
  }
  text +=
      "\n"
      "ORB options (-ORB<name> value) are passed to omniORB. Unless -ORBendPoint is given the\n"
      "server listens on giop:unix: (a Unix socket of omniORB's choosing), or with TLS on\n"
      "giop:ssl:127.0.0.1:; the packaged service listens on\n"
      "giop:unix:/run/qmr/datastored/datastore.sock, where only members of group qmr\n"
      "connect. The Naming Service comes from /etc/qmr/orb.conf ($QMR_ORB_CONF) or\n"
      "-ORBInitRef NameService=corbaloc:omniunix:SOCKET:/NameService; calls to it time out\n"
      "after 10 s unless -ORBclientCallTimeOutPeriod says otherwise.\n"
      "\n"
      "TLS (omniORB's SSL transport): with --tls-ca, --tls-cert and --tls-key the server\n"
      "accepts only clients that show a certificate signed by the authority of --tls-ca. It\n"
      "then listens on giop:ssl:127.0.0.1: (TLS only) unless -ORBendPoint says where, e.g.\n"
      "-ORBendPoint giop:ssl:192.0.2.10:2810 for clients on other machines (give several\n"
      "-ORBendPoint options to serve local clients on a Unix socket as well). A file that\n"
      "cannot be read, a key that cannot be decrypted or does not belong to its certificate,\n"
      "or an expired certificate stop the start-up with status 2.\n"
      "\n"
      "Prints one line \"qmr-datastored: ready, ...\" on stdout once it serves (after\n"
      "\"qmr-datastored: metrics at URL\" with --metrics). SIGINT and\n"
      "SIGTERM unbind the name and exit 0. Exit status 2: bad command line; 3: database\n"
      "cannot be opened, written or is damaged; 4: Naming Service unreachable; 5: the name\n"
      "is bound to another data store that is running; 1: other start-up failure.\n";
  return text;
}

}  // namespace qmr_datastored
