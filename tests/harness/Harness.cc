// Harness.cc - child processes, free ports and the real CORBA servers that tests run against.
#include "Harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <libpq-fe.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <omniORB4/Naming.hh>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "qmr/util/Lookup.h"
#include "qmr/util/Orb.h"

#ifndef QMR_TEST_BUILD_DIR
#define QMR_TEST_BUILD_DIR ""
#endif
#ifndef QMR_TEST_SOURCE_DIR
#define QMR_TEST_SOURCE_DIR ""
#endif

namespace qmr_test {
namespace {

std::string envOr(const char* name, const char* fallback) {
  const char* value = std::getenv(name);
  return value != nullptr && *value != '\0' ? value : fallback;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string trim(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

}  // namespace

int runToCompletion(const std::vector<std::string>& argv, const std::string& logFile,
                    int timeoutMs) {
  Process p;
  p.start(argv, logFile);
  int status = p.wait(timeoutMs);
  if (status == -1) p.kill9();
  return status;
}

std::string buildDir() { return envOr("QMR_BUILD_DIR", QMR_TEST_BUILD_DIR); }
std::string sourceDir() { return envOr("QMR_SOURCE_DIR", QMR_TEST_SOURCE_DIR); }

TempDir::TempDir(const std::string& prefix) {
  std::string pattern = envOr("TMPDIR", "/tmp") + "/" + prefix + "-XXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data()) == nullptr) {
    throw std::runtime_error("cannot create a temporary folder from " + pattern + ": " +
                             std::strerror(errno));
  }
  path_ = buf.data();
}

TempDir::~TempDir() {
  if (envOr("QMR_KEEP_TMP", "0") == "1") return;
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

int freeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) throw std::runtime_error("socket() failed");
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    ::close(fd);
    throw std::runtime_error("cannot find a free port on 127.0.0.1");
  }
  ::close(fd);
  return ntohs(addr.sin_port);
}

Process::~Process() { stop(); }

void Process::start(const std::vector<std::string>& argv, const std::string& logFile) {
  if (pid_ > 0) throw std::runtime_error("process already started: " + argv.at(0));
  logFile_ = logFile;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed for " + argv.at(0));
  if (pid == 0) {
    // The child dies with the test binary, however it ends: exit, a signal, even SIGKILL.
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    int fd = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::close(fd);
    }
    int devnull = ::open("/dev/null", O_RDONLY);
    if (devnull >= 0) ::dup2(devnull, 0);
    ::execvp(args[0], args.data());
    std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
    ::_exit(127);
  }
  pid_ = pid;
}

bool Process::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  pid_ = -1;
  return false;
}

int Process::wait(int timeoutMs) {
  if (pid_ <= 0) return -1;
  int status = -1;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_ || r < 0) {
      pid_ = -1;
      return r < 0 ? -1 : status;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int Process::stop(int graceMs, int signal) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, signal);
  int status = wait(graceMs);
  if (status == -1 && pid_ > 0) status = kill9();
  return status;
}

int Process::kill9() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGKILL);
  int status = -1;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
  return status;
}

std::string Process::log() const { return logFile_.empty() ? "" : readFile(logFile_); }

// ---- the servers, as tools/qmrstack.py defines them

namespace {

// The start of a qmrstack.py command line.
std::vector<std::string> stackTool(const std::string& command, const std::string& server) {
  return {"/usr/bin/python3", sourceDir() + "/tools/qmrstack.py", command, server};
}

// Starts `server` with its data in `data` (and `port`, 0 for none) as the stack defines it, as
// a child of this binary, and waits until it is ready. `options` go to qmrstack.py exec,
// `extra` to the server. Throws std::runtime_error with the server's log if it exits or does
// not get ready.
void startServer(Process& process, const std::string& server, const std::string& data, int port,
                 const std::vector<std::string>& options, const std::vector<std::string>& extra,
                 const std::string& logFile) {
  const std::vector<std::string> where = {"--data", data, "--port", std::to_string(port)};
  std::vector<std::string> argv = stackTool("exec", server);
  argv.insert(argv.end(), where.begin(), where.end());
  argv.insert(argv.end(), options.begin(), options.end());
  argv.push_back("--build");
  argv.push_back(buildDir());
  if (!extra.empty()) argv.push_back("--");
  argv.insert(argv.end(), extra.begin(), extra.end());
  process.start(argv, logFile);

  std::vector<std::string> ready = stackTool("ready", server);
  ready.insert(ready.end(), where.begin(), where.end());
  ready.insert(ready.end(), {"--pid", std::to_string(process.pid()), "--timeout", "30"});
  int status = runToCompletion(ready, logFile, 40000);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !process.running()) {
    std::string log = process.log();
    process.kill9();
    throw std::runtime_error(server + " did not get ready:\n" + log);
  }
}

}  // namespace

void NamingService::start(const std::string& dir) {
  dir_ = dir;
  restart();
}

void NamingService::restart() {
  startServer(process_, "naming", dir_, 0, {}, {}, dir_ + "/omniNames.log");
}

std::string NamingService::corbaloc() const {
  return "corbaloc:omniunix:" + socketPath() + ":/NameService";
}

void EventService::start(const std::string& dir, const NamingService& naming) {
  dir_ = dir;
  namingSocket_ = naming.socketPath();
  restart();
}

void EventService::restart() {
  startServer(process_, "events", dir_, 0, {"--naming-socket", namingSocket_}, {},
              dir_ + "/omniEvents.log");
}

void EventService::createChannel(const std::string& name) {
  std::vector<std::string> argv = stackTool("exec", "channel");
  argv.insert(argv.end(), {"--naming-socket", namingSocket_, "--", name});
  int status = runToCompletion(argv, dir_ + "/eventc.log", 10000);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("eventc -n " + name + " failed:\n" + readFile(dir_ + "/eventc.log"));
  }
}

void PostgresServer::start(const std::string& dir, const Options& options) {
  dir_ = dir;
  options_ = options;
  port_ = freeLoopbackPort();
  restart();
}

void PostgresServer::restart() {
  std::vector<std::string> where;
  if (options_.primaryPort != 0) where = {"--primary-port", std::to_string(options_.primaryPort)};
  startServer(process_, "postgres", dir_, port_, where, options_.settings, dir_ + ".log");
}

std::string PostgresServer::uri(const std::string& schema) const {
  std::string uri = "postgresql://qmr@127.0.0.1:" + std::to_string(port_) + "/postgres";
  if (!schema.empty()) uri += "?options=-csearch_path%3D" + schema;
  return uri;
}

std::string PostgresServer::newSchema() {
  std::string name = "t" + std::to_string(++schemas_);
  query("CREATE SCHEMA " + name);
  return name;
}

std::string PostgresServer::query(const std::string& sql, const std::string& schema) const {
  PGconn* conn = PQconnectdb(uri(schema).c_str());
  if (PQstatus(conn) != CONNECTION_OK) {
    std::string why = PQerrorMessage(conn);
    PQfinish(conn);
    throw std::runtime_error("cannot connect to PostgreSQL on port " + std::to_string(port_) +
                             ": " + why);
  }
  PGresult* r = PQexec(conn, sql.c_str());
  ExecStatusType status = PQresultStatus(r);
  std::string out;
  if (status == PGRES_TUPLES_OK && PQntuples(r) > 0) out = PQgetvalue(r, 0, 0);
  std::string why = PQresultErrorMessage(r);
  PQclear(r);
  PQfinish(conn);
  if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
    throw std::runtime_error("PostgreSQL refused " + sql + ": " + why);
  }
  return out;
}

void DataStoreServer::start(const std::string& dir, const NamingService& naming,
                            const Options& options) {
  dir_ = dir;
  namingSocket_ = naming.socketPath();
  options_ = options;
  restart();
}

void DataStoreServer::restart() {
  std::vector<std::string> where = {"--naming-socket", namingSocket_,
                                    "--name",        options_.name,
                                    "--program",     options_.program};
  if (!options_.db.empty()) where.insert(where.end(), {"--db", options_.db});
  startServer(process_, "datastore", dir_, 0, where, options_.extraArgs,
              dir_ + "/qmr-datastored.log");
}

std::string DataStoreServer::ior() const { return trim(readFile(dir_ + "/datastore.ior")); }

// ---- the stack

Stack& Stack::instance() {
  static Stack stack;
  return stack;
}

void Stack::start(int& argc, char** argv) {
  dir_ = new TempDir("qmr-stack");
  naming_.start(dir_->file("naming"));
  events_.start(dir_->file("events"), naming_);

  // -ORB options given to the test binary come after the stack's, so they win.
  qmr_util::OrbOptions options;
  options.add("-ORBInitRef", naming_.initRef());
  std::vector<std::string> rest;
  std::string error;
  if (!options.parse(argc, argv, &rest, &error)) throw std::runtime_error(error);
  orb_ = qmr_util::Orb::init(argv[0], options);
  CORBA::Object_var obj = orb_->resolve_initial_references("RootPOA");
  poa_ = PortableServer::POA::_narrow(obj);
  PortableServer::POAManager_var manager = poa_->the_POAManager();
  manager->activate();
}

void Stack::shutdown() {
  qmr_util::Orb::release();
  poa_ = PortableServer::POA::_nil();
  if (!CORBA::is_nil(orb_)) {
    orb_->destroy();
    orb_ = CORBA::ORB::_nil();
  }
  if (postgres_ != nullptr) {
    postgres_->stop();
    delete postgres_;
    postgres_ = nullptr;
  }
  events_.process().stop();
  naming_.stop();
  delete dir_;
  dir_ = nullptr;
}

PostgresServer& Stack::postgres() {
  if (postgres_ == nullptr) {
    auto* server = new PostgresServer;
    try {
      server->start(dir_->file("postgres"));
    } catch (...) {
      delete server;
      throw;
    }
    postgres_ = server;
  }
  return *postgres_;
}

std::vector<std::string> Stack::orbArgs() const { return {"-ORBInitRef", naming_.initRef()}; }

void bindName(const std::string& name, CORBA::Object_ptr obj) {
  CosNaming::NamingContextExt_var ctx = qmr_util::rootContext();
  CosNaming::Name_var path = ctx->to_name(name.c_str());
  ctx->rebind(path, obj);
}

void unbindName(const std::string& name) {
  CosNaming::NamingContextExt_var ctx = qmr_util::rootContext();
  CosNaming::Name_var path = ctx->to_name(name.c_str());
  try {
    ctx->unbind(path);
  } catch (CosNaming::NamingContext::NotFound&) {
  }
}

}  // namespace qmr_test
