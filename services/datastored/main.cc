// qmr-datastored - the reference data store service.
//
//   qmr-datastored --db FILE|postgresql://... [--name DataStore] [--ior-file FILE] [limits]
//                  [--metrics HOST:PORT] [-ORB options]
//   qmr-datastored --status --metrics HOST:PORT
//
// Serves ClientCore::DataStore (and the DataStoreSession objects it starts) on a Unix socket
// (giop:unix:, or the -ORBendPoint given), keeps committed entries in an SQLite file or a
// PostgreSQL database (engine/), and binds itself in the Naming Service under --name unless a
// running server holds that name (exit 5); with --metrics, serves Prometheus metrics on
// loopback (metrics/). SIGINT/SIGTERM unbind the name and exit 0. See --help for every flag
// (Options.cc).
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "OpenEngine.h"
#include "Options.h"
#include "StateFolder.h"
#include "engine/Engine.h"
#include "engine/sqlite/Index.h"
#include "metrics/Collector.h"
#include "metrics/Endpoint.h"
#include "metrics/Exposition.h"
#include "metrics/Scrape.h"
#include "metrics/StatusTable.h"
#include "orb/DataStoreServant.h"
#include "orb/Intake.h"
#include "orb/Naming.h"
#include "orb/OrbLog.h"
#include "sessions/SessionRegistry.h"
#include "store/Store.h"
#include "qmr/util/Log.h"
#include "qmr/util/Orb.h"
#include "qmr/util/Transport.h"

namespace {

using namespace qmr_datastored;

enum ExitCode { kOk = 0, kFailure = 1, kUsage = 2, kDatabase = 3, kNaming = 4, kNameTaken = 5 };

void fail(const std::string& message) {
  std::fprintf(stderr, "qmr-datastored: %s\n", message.c_str());
}

// The NameService reference the user gave, for messages.
std::string nameServiceHint(const Options& o) {
  std::string given = o.orb.initRef("NameService");
  return given.empty() ? "(the ORB's configured NameService)" : given;
}

// Writes the reference through a new file of its own in the same folder (O_EXCL, so nothing
// planted there beforehand, a symbolic link included, is followed or truncated), then renames
// it over `path`, so a reader never sees half a reference.
bool writeIorFile(const std::string& path, const std::string& ior, std::string* error) {
  std::string tmp = path + ".XXXXXX";
  int fd = ::mkstemp(&tmp[0]);
  if (fd < 0) {
    *error = "cannot create a file beside " + path + ": " + std::strerror(errno);
    return false;
  }
  // Readable by the group too: the folder's group (the access group of a packaged
  // installation) may read the reference, nobody else. The folder decides who reaches it.
  ::fchmod(fd, 0640);
  std::string text = ior + "\n";
  bool written = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
                 ::fsync(fd) == 0;
  int writeErrno = errno;
  if (::close(fd) != 0 && written) {
    written = false;
    writeErrno = errno;
  }
  if (!written) {
    *error = "cannot write the reference to " + tmp + ": " + std::strerror(writeErrno);
    ::unlink(tmp.c_str());
    return false;
  }
  if (::rename(tmp.c_str(), path.c_str()) != 0) {
    *error = "cannot rename " + tmp + " to " + path + ": " + std::strerror(errno);
    ::unlink(tmp.c_str());
    return false;
  }
  return true;
}

// How long stopping may take before the process exits without waiting for what is left.
constexpr auto kStopDeadline = std::chrono::milliseconds(1500);

// Starts the thread that ends the process kStopDeadline from now if it is still stopping
// then: a call stuck in a library (a database, a Naming Service that does not answer) must
// not keep a stopped server alive. The process exits with status 0, as a stop does.
void startStopDeadline(const std::string& iorFile) {
  std::thread([iorFile] {
    std::this_thread::sleep_for(kStopDeadline);
    qmr_util::Log::primary()->warning(
        "still stopping after %lld ms (calls in progress that do not end); exiting without "
        "waiting for them",
        static_cast<long long>(kStopDeadline.count()));
    if (!iorFile.empty()) ::unlink(iorFile.c_str());
    std::fflush(nullptr);
    ::_exit(kOk);
  }).detach();
}

// --status: two scrapes of the endpoint a second apart, printed as a table.
int printStatus(const Options& options) {
  const MetricsAddress& address = *options.metrics;  // --status needs --metrics
  std::string error;
  constexpr int kTimeoutMs = 5000;
  constexpr double kInterval = 1.0;
  std::string first, second;
  Exposition earlier, later;
  auto started = std::chrono::steady_clock::now();
  if (!scrapeMetrics(address, kTimeoutMs, &first, &error)) {
    fail(error);
    return kFailure;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(kInterval));
  auto finished = std::chrono::steady_clock::now();
  if (!scrapeMetrics(address, kTimeoutMs, &second, &error) ||
      !Exposition::parse(first, &earlier, &error) || !Exposition::parse(second, &later, &error)) {
    fail(error);
    return kFailure;
  }
  if (!later.value("qmr_datastore_sessions_open")) {
    fail("http://" + address.hostPort() + "/metrics answers, but not with qmr-datastored's metrics");
    return kFailure;
  }
  double seconds = std::chrono::duration<double>(finished - started).count();
  std::fputs(renderStatus(earlier, later, seconds, "http://" + address.hostPort() + "/metrics")
                 .c_str(),
             stdout);
  return kOk;
}

// The metrics endpoint of --metrics, reading what `sessions`, `bounds` and `index` (null when
// reads go to the database) hold at each scrape; null without --metrics. Throws MetricsError.
std::unique_ptr<MetricsEndpoint> serveMetrics(const Options& options, SessionRegistry& sessions,
                                              MemoryBounds& bounds, const Index* index) {
  if (!options.metrics) return nullptr;
  const MetricsAddress& address = *options.metrics;
  auto read = [&sessions, &bounds, index](Readings* r) {
    r->sessionsByClient = sessions.openByClass();
    for (const auto& item : r->sessionsByClient) r->sessionsOpen += item.second;
    r->pendingBytes = bounds.pending.used();
    r->pendingBytesLimit = bounds.pending.limit();
    if (index != nullptr) {
      r->hasIndex = true;
      r->indexEntries = index->size();
      r->indexBytes = index->bytes();
      r->indexBytesLimit = index->maxBytes();
    }
  };
  return std::make_unique<MetricsEndpoint>(address,
                                           std::make_shared<Collector>(counters(), read));
}

// Everything that runs between ORB_init and destroy; returns the exit code.
// `index` (borrowed; null with PostgreSQL) is where reads go, for the metrics.
int serve(CORBA::ORB_ptr orb, const Options& options, Store& store, const Index* index,
          const sigset_t& stopSignals, const DescriptorLimit& descriptors) {
  qmr_util::Log* log = qmr_util::Log::primary();
  // The name first, before the endpoint opens: a server that runs under this name keeps it
  // (and its socket, which a second endpoint on the same path would replace). A binding left
  // by a server that is gone is taken over.
  CosNaming::NamingContextExt_var naming;
  try {
    naming = rootContext(nameServiceHint(options));
    if (boundToLiveObject(naming.in(), options.name, 3000)) {
      fail("the name '" + options.name + "' is bound to another server that is running; "
           "refusing to take it over. Stop that server first, or give this one another --name");
      return kNameTaken;
    }
  } catch (const NamingError& e) {
    fail(e.what());
    return kNaming;
  }
  CORBA::Object_var obj = orb->resolve_initial_references("RootPOA");
  PortableServer::POA_var root = PortableServer::POA::_narrow(obj.in());
  // The ORB's endpoints are bound now, and nothing else listens yet (the metrics endpoint
  // starts below): omniORB's backlog of 5 refused clients that connected together.
  int widened = raiseListenBacklogs(SOMAXCONN);
  log->info("listen backlog of %d ORB endpoint%s raised to %d", widened, widened == 1 ? "" : "s",
            SOMAXCONN);
  PortableServer::POAManager_var manager = root->the_POAManager();
  // Transient, so a restarted server knows none of the old references; ids chosen by the
  // registry, random, so that no client can derive another's session from its own.
  CORBA::PolicyList policies;
  policies.length(1);
  policies[0] = root->create_id_assignment_policy(PortableServer::USER_ID);
  PortableServer::POA_var sessionPoa =
      root->create_POA("DataStoreSessions", manager.in(), policies);
  policies[0]->destroy();

  const Limits& limits = options.limits;
  MemoryBounds bounds(limits.maxPendingBytes, limits.maxRequestMemory);
  SessionRegistry sessions(sessionPoa.in(), store, limits, bounds);
  std::unique_ptr<MetricsEndpoint> metrics;
  try {
    metrics = serveMetrics(options, sessions, bounds, index);
  } catch (const MetricsError& e) {
    fail(e.what());
    sessions.clear();
    return kFailure;
  }
  PortableServer::Servant_var<DataStoreServant> servant(new DataStoreServant(store, sessions));
  PortableServer::ObjectId_var id = root->activate_object(servant.in());
  CORBA::Object_var dataStore = root->id_to_reference(id.in());
  Intake intake(options.limits.maxConnections, descriptors);
  manager->activate();

  try {
    rebindName(naming.in(), options.name, dataStore.in());
  } catch (const NamingError& e) {
    fail(e.what());
    sessions.clear();
    return kNaming;
  }
  if (!options.iorFile.empty()) {
    CORBA::String_var ior = orb->object_to_string(dataStore.in());
    std::string error;
    if (!writeIorFile(options.iorFile, ior.in(), &error)) {
      fail(error + " (check --ior-file)");
      try {
        unbindIfOurs(naming.in(), options.name, dataStore.in());
      } catch (const NamingError&) {
      }
      sessions.clear();
      return kFailure;
    }
  }
  sessions.startReaper();
  if (metrics) {
    std::printf("qmr-datastored: metrics at %s\n", metrics->url().c_str());
    log->info("metrics at %s", metrics->url().c_str());
  }
  std::printf("qmr-datastored: ready, DataStore bound as '%s', database %s\n", options.name.c_str(),
              store.path().c_str());
  std::fflush(stdout);
  log->info(
      "serving %ld committed entries from %s; limits: %ld keys and %ld bytes per "
      "transaction, %ld sessions (%ld per client), %g s idle, key %ld bytes, value %ld bytes, "
      "message %ld bytes, %ld bytes pending in all, %ld bytes of requests at once",
      store.count(), store.path().c_str(), limits.maxTransaction, limits.maxTransactionBytes,
      limits.maxSessions, limits.maxSessionsPerClient, limits.sessionTimeout, limits.maxKeyBytes,
      limits.maxValueBytes, limits.maxMessageBytes, limits.maxPendingBytes,
      limits.maxRequestMemory);

  log->info("transport: %s", qmr_util::describeTransport().c_str());
  log->info("database %s: %s", store.path().c_str(), store.durability().c_str());

  int signal = 0;
  sigwait(&stopSignals, &signal);
  log->info("stopping on %s", signal == SIGINT ? "SIGINT" : "SIGTERM");
  // Calls waiting on the database fail now rather than when it answers; and whatever still
  // holds the server up, it is gone within kStopDeadline.
  store.interrupt();
  startStopDeadline(options.iorFile);
  try {
    if (unbindIfOurs(naming.in(), options.name, dataStore.in())) {
      log->info("name '%s' unbound", options.name.c_str());
    } else {
      log->info("name '%s' no longer refers to this server; left as it is", options.name.c_str());
    }
  } catch (const NamingError& e) {
    log->warning("%s; the name may still refer to this stopped server", e.what());
  }
  sessions.stopReaper();
  orb->shutdown(true);  // waits for requests in progress
  sessions.clear();
  if (!options.iorFile.empty()) ::unlink(options.iorFile.c_str());
  log->flushSuppressed();
  return kOk;
}

}  // namespace

int main(int argc, char** argv) {
  // Stop signals are taken by sigwait in serve(); every thread started from here inherits
  // the blocked mask, so none of them is interrupted by one.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  Options options;
  std::string error;
  if (!parseOptions(argc, argv, &options, &error)) {
    fail(error + "\nTry 'qmr-datastored --help'.");
    return kUsage;
  }
  if (options.help) {
    std::fputs(usage().c_str(), stdout);
    return kOk;
  }
  if (options.logLevelSet) qmr_util::Log::primary()->setLevel(options.logLevel);
  if (options.status) return printStatus(options);
  // Before anything opens a descriptor; logged once the ORB is up (Intake::install).
  const DescriptorLimit descriptors = raiseDescriptorLimit();

  // The database, its journal files and the reference file are created for the owner only,
  // whatever umask the server was started with: the data is nobody else's business.
  ::umask(077);
  // Outside systemd nothing has made the state and runtime folders: the server makes them.
  std::string made;
  if (!isPostgres(options.dbPath) && !makeFoldersFor(options.dbPath, "--db", &made, &error)) {
    fail(error);
    return kDatabase;
  }
  if (!options.iorFile.empty() &&
      !makeFoldersFor(options.iorFile, "--ior-file", &made, &error)) {
    fail(error);
    return kFailure;
  }
  for (std::string::size_type at = 0, end; (end = made.find('\n', at)) != std::string::npos;
       at = end + 1) {
    qmr_util::Log::primary()->info("%s", made.substr(at, end - at).c_str());
  }
  // A server that ends before serving because its name is taken leaves no database file that
  // it made itself (someone started it with the wrong --name; the file would only mislead).
  struct stat before;
  const bool makesDatabase =
      !isPostgres(options.dbPath) && ::lstat(options.dbPath.c_str(), &before) != 0 && errno == ENOENT;
  std::unique_ptr<Store> store;
  std::shared_ptr<const Index> index;  // the SQLite entries in memory; null with PostgreSQL
  try {
    OpenedEngine opened = openEngine(options.dbPath, static_cast<int>(options.limits.busyTimeoutMs),
                                     static_cast<size_t>(options.limits.maxMemoryBytes),
                                     static_cast<int>(options.limits.dbTimeout * 1000));
    store.reset(new Store(opened.engine, opened.reads));
    index = std::dynamic_pointer_cast<const Index>(opened.reads);
  } catch (const StoreError& e) {
    fail(e.what());
    return kDatabase;
  }

  routeOrbLog(options.limits.maxMessageBytes);
  CORBA::ORB_var orb;
  try {
    orb = qmr_util::Orb::init(argv[0], options.orbOptions());
  } catch (const CORBA::SystemException& e) {
    fail(std::string("the ORB refused its options (") + e._name() +
         "): check the -ORB options and that the endpoint's port is free");
    return kUsage;
  } catch (const qmr_util::TlsError& e) {
    fail(std::string("TLS cannot be set up: ") + e.what());
    return kUsage;
  }

  int code = kFailure;
  try {
    code = serve(orb.in(), options, *store, index.get(), stopSignals, descriptors);
  } catch (const CORBA::Exception& e) {
    fail(std::string("start-up failed: ") + e._name());
    code = kFailure;
  }
  qmr_util::Orb::release();
  try {
    orb->destroy();
  } catch (const CORBA::Exception&) {
  }
  store.reset();
  if (code == kNameTaken && makesDatabase) removeMadeDatabase(options.dbPath);
  return code;
}
