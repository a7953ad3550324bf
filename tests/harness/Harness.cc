// Harness.cc - child processes, free ports and the real CORBA servers that tests run against.
#include "Harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <omniORB4/Naming.hh>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "qmr/util/Orb.h"

#ifndef QMR_TEST_BUILD_DIR
#define QMR_TEST_BUILD_DIR ""
#endif
#ifndef QMR_TEST_SOURCE_DIR
#define QMR_TEST_SOURCE_DIR ""
#endif

namespace qmr_test {
namespace {

// Children that are running, for the emergency stop; touched from signal handlers, so a plain
// array of atomics.
constexpr int kMaxChildren = 256;
std::atomic<pid_t> children[kMaxChildren];

void remember(pid_t pid) {
  for (auto& slot : children) {
    pid_t empty = 0;
    if (slot.compare_exchange_strong(empty, pid)) return;
  }
}

void forget(pid_t pid) {
  for (auto& slot : children) {
    pid_t expected = pid;
    if (slot.compare_exchange_strong(expected, 0)) return;
  }
}

void killAllChildren() {
  for (auto& slot : children) {
    pid_t pid = slot.exchange(0);
    if (pid > 0) ::kill(pid, SIGKILL);
  }
}

void onFatalSignal(int sig) {
  killAllChildren();
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

struct EmergencyStop {
  EmergencyStop() {
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGALRM, SIGABRT, SIGSEGV, SIGBUS, SIGFPE}) {
      ::signal(sig, onFatalSignal);
    }
    std::atexit(killAllChildren);
  }
};

void installEmergencyStop() { static EmergencyStop once; }

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

int runToCompletion(const std::vector<std::string>& argv, const std::string& logFile,
                    int timeoutMs) {
  Process p;
  p.start(argv, logFile);
  int status = p.wait(timeoutMs);
  if (status == -1) p.kill9();
  return status;
}

}  // namespace

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

bool waitForPort(int port, int timeoutMs) {
  return eventually(
      [port] {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        addr.sin_port = htons(static_cast<uint16_t>(port));
        bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
        ::close(fd);
        return ok;
      },
      timeoutMs);
}

Process::~Process() { stop(); }

void Process::start(const std::vector<std::string>& argv, const std::string& logFile) {
  installEmergencyStop();
  if (pid_ > 0) throw std::runtime_error("process already started: " + argv.at(0));
  logFile_ = logFile;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t parent = ::getpid();
  pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed for " + argv.at(0));
  if (pid == 0) {
    // The child dies with the test binary, whatever kills it.
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
  remember(pid);
}

bool Process::running() {
  if (pid_ <= 0) return false;
  int status = 0;
  pid_t r = ::waitpid(pid_, &status, WNOHANG);
  if (r == 0) return true;
  forget(pid_);
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
      forget(pid_);
      pid_ = -1;
      return r < 0 ? -1 : status;
    }
    if (std::chrono::steady_clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

int Process::stop(int graceMs) {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  int status = wait(graceMs);
  if (status == -1 && pid_ > 0) status = kill9();
  return status;
}

int Process::kill9() {
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGKILL);
  int status = -1;
  ::waitpid(pid_, &status, 0);
  forget(pid_);
  pid_ = -1;
  return status;
}

std::string Process::log() const { return logFile_.empty() ? "" : readFile(logFile_); }

// ---- omniNames

void NamingService::start(const std::string& dir) {
  dir_ = dir;
  std::filesystem::create_directories(dir_);
  port_ = freeLoopbackPort();
  restart();
}

void NamingService::restart() {
  std::string endpoint = "giop:tcp:127.0.0.1:" + std::to_string(port_);
  // -always: start fresh or from the data file, whichever is there.
  process_.start({"omniNames", "-start", std::to_string(port_), "-always", "-logdir", dir_,
                  "-ORBendPoint", endpoint},
                 dir_ + "/omniNames.log");
  // omniNames listens before its root context is active, and calls that arrive in between fail
  // with OBJECT_NOT_EXIST; once the test ORB is up, wait until the root context answers.
  bool ready = waitForPort(port_, 10000) && eventually([this] { return rootAnswers(); }, 10000);
  if (!ready) {
    throw std::runtime_error("omniNames did not start on port " + std::to_string(port_) + ":\n" +
                             process_.log());
  }
}

bool NamingService::rootAnswers() const {
  CORBA::ORB_ptr orb = Stack::instance().orb();
  if (CORBA::is_nil(orb)) return true;
  try {
    CORBA::Object_var root = orb->string_to_object(corbaloc().c_str());
    return !root->_non_existent();
  } catch (const CORBA::SystemException&) {
    return false;
  }
}

std::string NamingService::corbaloc() const {
  return "corbaloc::127.0.0.1:" + std::to_string(port_) + "/NameService";
}

// ---- omniEvents

void EventService::start(const std::string& dir, const NamingService& naming) {
  dir_ = dir;
  std::filesystem::create_directories(dir_);
  initRef_ = naming.initRef();
  port_ = freeLoopbackPort();
  restart();
}

void EventService::restart() {
  std::string endpoint = "giop:tcp:127.0.0.1:" + std::to_string(port_);
  // On a warm start (data folder already written) omniEvents takes its port from its data file.
  process_.start({"omniEvents", "-f", "-l", dir_, "-p", std::to_string(port_), "-ORBInitRef",
                  initRef_, "-ORBendPointPublish", endpoint},
                 dir_ + "/omniEvents.log");
  if (!waitForPort(port_, 10000)) {
    throw std::runtime_error("omniEvents did not start on port " + std::to_string(port_) + ":\n" +
                             process_.log());
  }
}

void EventService::createChannel(const std::string& name) {
  int status = runToCompletion({"eventc", "-n", name, "-ORBInitRef", initRef_},
                               dir_ + "/eventc.log", 10000);
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    throw std::runtime_error("eventc -n " + name + " failed:\n" + readFile(dir_ + "/eventc.log"));
  }
}

// ---- qmr-datastored

void DataStoreServer::start(const std::string& dir, const NamingService& naming,
                            const Options& options) {
  dir_ = dir;
  std::filesystem::create_directories(dir_);
  dbPath_ = dir_ + "/datastore.db";
  iorFile_ = dir_ + "/datastore.ior";
  initRef_ = naming.initRef();
  options_ = options;
  restart();
}

void DataStoreServer::restart() {
  std::error_code ec;
  std::filesystem::remove(iorFile_, ec);
  std::vector<std::string> argv = {buildDir() + "/bin/" + options_.program,
                                   "--db", dbPath_,
                                   "--name", options_.name,
                                   "--ior-file", iorFile_};
  argv.insert(argv.end(), options_.extraArgs.begin(), options_.extraArgs.end());
  argv.push_back("-ORBInitRef");
  argv.push_back(initRef_);
  process_.start(argv, dir_ + "/qmr-datastored.log");
  bool ready = eventually(
      [this] { return !process_.running() || !trim(readFile(iorFile_)).empty(); }, 10000);
  if (!ready || !process_.running()) {
    std::string log = process_.log();
    process_.kill9();
    throw std::runtime_error("qmr-datastored did not get ready:\n" + log);
  }
}

std::string DataStoreServer::ior() const { return trim(readFile(iorFile_)); }

// ---- the stack

Stack& Stack::instance() {
  static Stack stack;
  return stack;
}

void Stack::start(int& argc, char** argv) {
  dir_ = new TempDir("qmr-stack");
  naming_.start(dir_->file("naming"));
  events_.start(dir_->file("events"), naming_);

  std::vector<std::string> opts = orbArgs();
  std::vector<char*> args;
  args.push_back(argv[0]);
  for (auto& o : opts) args.push_back(const_cast<char*>(o.c_str()));
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int n = static_cast<int>(args.size());
  args.push_back(nullptr);
  orb_ = CORBA::ORB_init(n, args.data());
  qmr_util::Orb::set(orb_);
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
  events_.stop();
  naming_.stop();
  delete dir_;
  dir_ = nullptr;
}

std::vector<std::string> Stack::orbArgs() const {
  return {"-ORBInitRef", naming_.initRef(), "-ORBendPoint", "giop:tcp:127.0.0.1:"};
}

namespace {
CosNaming::NamingContextExt_ptr root() {
  CORBA::Object_var obj = Stack::instance().orb()->resolve_initial_references("NameService");
  return CosNaming::NamingContextExt::_narrow(obj);
}
}  // namespace

void bindName(const std::string& name, CORBA::Object_ptr obj) {
  CosNaming::NamingContextExt_var ctx = root();
  CosNaming::Name_var path = ctx->to_name(name.c_str());
  ctx->rebind(path, obj);
}

void unbindName(const std::string& name) {
  CosNaming::NamingContextExt_var ctx = root();
  CosNaming::Name_var path = ctx->to_name(name.c_str());
  try {
    ctx->unbind(path);
  } catch (CosNaming::NamingContext::NotFound&) {
  }
}

}  // namespace qmr_test
