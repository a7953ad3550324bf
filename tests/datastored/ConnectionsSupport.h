// ConnectionsSupport.h - what the connection tests need beside the fixture: a lowered soft
// descriptor limit for the server to inherit, connections that stall in the middle of a GIOP
// header, a fresh client process timed from start to end, and a process's thread count.
#ifndef QMR_TESTS_DATASTORED_CONNECTIONSSUPPORT_H
#define QMR_TESTS_DATASTORED_CONNECTIONSSUPPORT_H

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

#include "DataStoreFixture.h"

namespace qmr_test {

// Lowers this process's soft limit on descriptors while it exists (children started meanwhile
// keep the lowered one); the hard limit stays.
class SoftDescriptorLimit {
 public:
  explicit SoftDescriptorLimit(rlim_t soft) {
    ::getrlimit(RLIMIT_NOFILE, &saved_);
    rlimit lowered = saved_;
    lowered.rlim_cur = soft;
    ::setrlimit(RLIMIT_NOFILE, &lowered);
  }
  ~SoftDescriptorLimit() { ::setrlimit(RLIMIT_NOFILE, &saved_); }
  SoftDescriptorLimit(const SoftDescriptorLimit&) = delete;
  SoftDescriptorLimit& operator=(const SoftDescriptorLimit&) = delete;

 private:
  rlimit saved_;
};

// `count` connections to 127.0.0.1:port that each send the first 6 of the 12 bytes of a GIOP
// header and then nothing: a client that stalls, or one that means harm.
class StalledConnections {
 public:
  StalledConnections(int port, int count) {
    for (int i = 0; i < count; ++i) {
      int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (fd < 0) break;
      sockaddr_in addr{};
      addr.sin_family = AF_INET;
      addr.sin_port = htons(static_cast<uint16_t>(port));
      addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
          ::send(fd, "GIOP\x01\x02", 6, MSG_NOSIGNAL) != 6) {
        ::close(fd);
        break;
      }
      ::fcntl(fd, F_SETFL, O_NONBLOCK);
      fds_.push_back(fd);
      closed_.push_back(false);
    }
  }
  ~StalledConnections() {
    for (int fd : fds_) ::close(fd);
  }
  StalledConnections(const StalledConnections&) = delete;
  StalledConnections& operator=(const StalledConnections&) = delete;

  int opened() const { return static_cast<int>(fds_.size()); }
  // How many the server has closed so far (their end of file read; whatever the server sent
  // before closing, such as a GIOP CloseConnection, is read and dropped).
  int closedByServer() {
    int closed = 0;
    char buf[256];
    for (size_t i = 0; i < fds_.size(); ++i) {
      while (!closed_[i]) {
        ssize_t n = ::recv(fds_[i], buf, sizeof buf, 0);
        if (n > 0) continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) closed_[i] = true;
        break;
      }
      if (closed_[i]) ++closed;
    }
    return closed;
  }

 private:
  std::vector<int> fds_;
  std::vector<bool> closed_;
};

struct FreshClient {
  ExitedRun run;
  double seconds = 0;  // from its start to its exit
};

// Runs a new qmr-host process that writes, commits and reads one key through the data store
// `ior`, and times it.
inline FreshClient runFreshClient(const TempDir& dir, const std::string& ior) {
  std::vector<std::string> args = Stack::instance().orbArgs();
  args.insert(args.end(),
              {"--datastore", ior, "-c",
               "from qmr.DataStoreInterface import interface as store\n"
               "store.set({'fresh': 'yes'}, 0)\n"
               "store.commit()\n"
               "found, missing = store.get(['fresh'])\n"
               "assert found == {'fresh': 'yes'}, found\n"});
  FreshClient fresh;
  auto start = std::chrono::steady_clock::now();
  fresh.run = runToExit(dir, args, "qmr-host");
  fresh.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  return fresh;
}

// The threads of process `pid` now.
inline long threadCount(pid_t pid) {
  long count = 0;
  DIR* dir = ::opendir(("/proc/" + std::to_string(pid) + "/task").c_str());
  if (dir == nullptr) return -1;
  while (dirent* entry = ::readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  ::closedir(dir);
  return count;
}

}  // namespace qmr_test

#endif  // QMR_TESTS_DATASTORED_CONNECTIONSSUPPORT_H
