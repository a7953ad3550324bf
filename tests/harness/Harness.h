// Harness.h - real servers for tests: omniNames, omniEvents and qmr-datastored on Unix sockets
// in a temporary folder (0700), stopped by process id when the test binary ends,
// also when it fails, is interrupted or is killed (children die with their parent).
//
// A test binary links qmr_harness and gets TestMain.cc's main(): before the first test it starts
// one Stack (a temp folder, omniNames, omniEvents), initialises the ORB so that its
// "NameService" initial reference points at that omniNames, activates the root POA (so tests
// can host servants) and hands the ORB to qmr_util::Orb. Tests then start data store servers
// with DataStoreServer and create channels with Stack::instance().events().createChannel().
// Stack::instance().postgres() starts one PostgreSQL server for the binary at its first use;
// tests give each data store a schema of its own in it (PostgresServer::newSchema).
//
// The servers are defined once, in tools/qmrstack.py, which ./qmr up, the demo, the soak and
// the Python tests use as well: their command lines, environment (umask 077, omniNames and
// omniEvents confined to loopback by libqmr_confine.so) and readiness checks. The harness runs
// `qmrstack.py exec SERVER ...`, which becomes the server in the same process, so the server
// stays this binary's child (stopped by pid, killed with it); then `qmrstack.py ready SERVER`
// waits until it serves (omniNames: its root context answers).
//
// Not thread-safe: start and stop servers from the test thread.
#ifndef QMR_TESTS_HARNESS_H
#define QMR_TESTS_HARNESS_H

#include <omniORB4/CORBA.h>
#include <sys/types.h>

#include <string>
#include <vector>

namespace qmr_test {

// The build tree (bin/, lib/) and the source tree, from QMR_BUILD_DIR / QMR_SOURCE_DIR or the
// paths this binary was configured with.
std::string buildDir();
std::string sourceDir();

// A fresh folder under $TMPDIR (or /tmp), removed with its content on destruction unless the
// environment sets QMR_KEEP_TMP=1.
class TempDir {
 public:
  explicit TempDir(const std::string& prefix = "qmr-test");
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// A port on 127.0.0.1 that was free a moment ago.
int freeLoopbackPort();

// One child process, started with its stdout and stderr appended to a log file. Stopped (TERM,
// then KILL after a grace period) by its destructor. Every running child is also killed when
// the test binary exits or dies.
class Process {
 public:
  Process() = default;
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  // Starts argv[0] (searched on PATH) with argv. Throws std::runtime_error if it cannot start.
  void start(const std::vector<std::string>& argv, const std::string& logFile);
  pid_t pid() const { return pid_; }
  bool running();
  // `signal` (SIGTERM by default), wait up to graceMs, then SIGKILL. Returns the wait status
  // (-1 if not running).
  int stop(int graceMs = 5000, int signal = 15);
  // SIGKILL at once and reap. Returns the wait status.
  int kill9();
  // Waits up to timeoutMs for the process to exit by itself; the wait status, or -1.
  int wait(int timeoutMs);
  // The log file's content so far.
  std::string log() const;

 private:
  pid_t pid_ = -1;
  std::string logFile_;
};

// omniNames on the Unix socket DIR/names.sock, with its data in DIR, a folder of its own.
class NamingService {
 public:
  void start(const std::string& dir);
  void stop() { process_.stop(); }
  // Starts again on the same socket and data folder (bindings survive).
  void restart();
  // "DIR/names.sock"
  std::string socketPath() const { return dir_ + "/names.sock"; }
  // "corbaloc:omniunix:DIR/names.sock:/NameService"
  std::string corbaloc() const;
  // "NameService=" + corbaloc(), the value of -ORBInitRef.
  std::string initRef() const { return "NameService=" + corbaloc(); }
  Process& process() { return process_; }

 private:
  std::string dir_;
  Process process_;
};

// omniEvents on the Unix socket DIR/events.sock (its TCP port made unreachable, see
// tools/confine/confine.c), registered in a NamingService as "EventChannelFactory".
class EventService {
 public:
  void start(const std::string& dir, const NamingService& naming);
  void kill9() { process_.kill9(); }
  // Starts again with the same data folder: channels created before survive.
  void restart();
  // Creates an event channel and binds it in the Naming Service under `name` (eventc -n).
  // Throws std::runtime_error if eventc fails.
  void createChannel(const std::string& name);
  Process& process() { return process_; }

 private:
  std::string dir_;
  std::string namingSocket_;
  Process process_;
};

// Runs argv (argv[0] searched on PATH) with its output appended to logFile, for at most
// timeoutMs (then killed). Returns the wait status, or -1 when it timed out.
int runToCompletion(const std::vector<std::string>& argv, const std::string& logFile,
                    int timeoutMs);

// PostgreSQL on 127.0.0.1 (and a socket in its folder), its cluster in a folder of its own,
// created at the first start (initdb, or pg_basebackup for a standby), run as nobody when the
// tests run as root.
class PostgresServer {
 public:
  struct Options {
    int primaryPort = 0;                // a streaming standby of the primary on this port
    std::vector<std::string> settings;  // e.g. {"-c", "synchronous_standby_names=qmrstandby"}
  };
  void start(const std::string& dir, const Options& options);
  void start(const std::string& dir) { start(dir, Options()); }
  // Starts again on the same port and cluster.
  void restart();
  // Fast shutdown (SIGINT: sessions are ended), then SIGKILL after the grace period.
  int stop() { return process_.stop(5000, 2); }
  int kill9() { return process_.kill9(); }
  int port() const { return port_; }
  // The libpq URI of database postgres; with `schema`, the table of a server given this URI
  // is looked up and created in that schema.
  std::string uri(const std::string& schema = "") const;
  // Creates a schema of a name not used before in this server and returns it.
  std::string newSchema();
  // Runs `sql` and returns the first column of the first row ("" without rows). Throws
  // std::runtime_error with PostgreSQL's message when it fails.
  std::string query(const std::string& sql, const std::string& schema = "") const;
  Process& process() { return process_; }

 private:
  std::string dir_;
  int port_ = 0;
  int schemas_ = 0;
  Options options_;
  Process process_;
};

// qmr-datastored on the Unix socket DIR/datastore.sock (unless extraArgs name an -ORBendPoint)
// with a database in DIR, registered in a NamingService.
class DataStoreServer {
 public:
  struct Options {
    std::string name = "DataStore";          // --name
    std::string db;                          // --db; empty: datastore.db in the folder
    std::vector<std::string> extraArgs;      // more flags, e.g. {"--max-transaction", "10"}
    std::string program = "qmr-datastored";  // in bin/; or "qmr-datastored-faults"
  };

  // Starts the server and waits for it to publish its reference (up to 10 s). Throws
  // std::runtime_error with the server's log if it exits or does not get ready.
  void start(const std::string& dir, const NamingService& naming, const Options& options);
  void start(const std::string& dir, const NamingService& naming) { start(dir, naming, Options()); }
  int stop() { return process_.stop(); }
  int kill9() { return process_.kill9(); }
  // Starts again with the same database, name and flags.
  void restart();
  bool running() { return process_.running(); }
  std::string dbPath() const { return dir_ + "/datastore.db"; }
  // The server's reference text (IOR:...), as written to its --ior-file.
  std::string ior() const;
  Process& process() { return process_; }

 private:
  std::string dir_;
  std::string namingSocket_;
  Options options_;
  Process process_;
};

// The test binary's own omniNames and omniEvents, and the ORB that reaches them.
class Stack {
 public:
  static Stack& instance();

  // Starts the services and initialises the ORB (TestMain.cc calls it).
  void start(int& argc, char** argv);
  // Destroys the ORB and stops the services (TestMain.cc calls it).
  void shutdown();

  TempDir& dir() { return *dir_; }
  NamingService& naming() { return naming_; }
  EventService& events() { return events_; }
  // The binary's PostgreSQL, started at the first call.
  PostgresServer& postgres();
  // Borrowed; valid between start() and shutdown().
  CORBA::ORB_ptr orb() { return orb_.in(); }
  // The root POA, active. Borrowed.
  PortableServer::POA_ptr rootPoa() { return poa_.in(); }
  // ORB options for a child program of ours to reach this stack's naming service.
  std::vector<std::string> orbArgs() const;

 private:
  Stack() = default;
  TempDir* dir_ = nullptr;
  NamingService naming_;
  EventService events_;
  PostgresServer* postgres_ = nullptr;
  CORBA::ORB_var orb_;
  PortableServer::POA_var poa_;
};

// Binds `obj` under `name` in the stack's naming service (rebind) / removes the binding.
void bindName(const std::string& name, CORBA::Object_ptr obj);
void unbindName(const std::string& name);

// Polls `condition` every 10 ms until it holds or timeoutMs passes; returns its last value.
template <typename F>
bool eventually(F condition, int timeoutMs = 5000);

}  // namespace qmr_test

#include "HarnessInl.h"

#endif  // QMR_TESTS_HARNESS_H
