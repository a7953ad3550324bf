// floor.cc - qmr-bench-floor: the loopback floor. A plain TCP request/reply between this
// process and a child it forks, carrying exactly the bytes that a data store request and its
// reply carry, one request in flight at a time. No ORB, no marshalling: what is left is the
// cost of the kernel, the loopback device and the two wake-ups per round trip.
//
// Usage: qmr-bench-floor --case KEYS:BYTES:REQUEST:REPLY [--case ...] [--seconds S]
// Each case prints {"kind": "read", "method": "floor", ...} on stdout.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "BenchSupport.h"

namespace {

struct Case {
  int keys = 0;
  int valueBytes = 0;
  std::uint32_t request = 0;
  std::uint32_t reply = 0;
};

bool readAll(int fd, char* buf, std::size_t n) {
  while (n > 0) {
    const ssize_t got = ::read(fd, buf, n);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    buf += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

bool writeAll(int fd, const char* buf, std::size_t n) {
  while (n > 0) {
    const ssize_t put = ::write(fd, buf, n);
    if (put < 0 && errno == EINTR) continue;
    if (put <= 0) return false;
    buf += put;
    n -= static_cast<std::size_t>(put);
  }
  return true;
}

void noDelay(int fd) {
  int one = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

// The child: answers each request (an 8-byte header naming the request and reply lengths, then
// the rest of the request) with a reply of the length asked for, until the peer closes.
[[noreturn]] void serve(int listener) {
  prctl(PR_SET_PDEATHSIG, SIGKILL);
  const int fd = ::accept(listener, nullptr, nullptr);
  ::close(listener);
  if (fd < 0) _exit(1);
  noDelay(fd);
  std::vector<char> buf;
  for (;;) {
    std::uint32_t header[2];
    if (!readAll(fd, reinterpret_cast<char*>(header), sizeof header)) _exit(0);
    const std::size_t need = std::max<std::size_t>(header[0], sizeof header) - sizeof header;
    if (buf.size() < need || buf.size() < header[1]) buf.resize(std::max<std::size_t>(need, header[1]));
    if (!readAll(fd, buf.data(), need)) _exit(0);
    if (!writeAll(fd, buf.data(), header[1])) _exit(0);
  }
}

bool parseCase(const std::string& text, Case* c) {
  char tail = 0;
  return std::sscanf(text.c_str(), "%d:%d:%u:%u%c", &c->keys, &c->valueBytes, &c->request,
                     &c->reply, &tail) == 4 &&
         c->request >= 8 && c->reply >= 1 && c->request < (64u << 20) && c->reply < (64u << 20);
}

void usage() {
  std::printf(
      "qmr-bench-floor: plain TCP request/reply over 127.0.0.1 with a forked peer.\n"
      "Usage: qmr-bench-floor --case KEYS:BYTES:REQUEST:REPLY [--case ...] [options]\n"
      "  --case K:B:Q:R    a case labelled K keys of B bytes, sending Q bytes, receiving R\n"
      "                    (Q >= 8)\n%s",
      qmr_bench::CommonOptions::usage());
}

}  // namespace

int main(int argc, char** argv) {
  qmr_bench::CommonOptions options;
  bool help = false;
  std::string error;
  if (!options.parse(argc, argv, &help, &error)) {
    std::fprintf(stderr, "qmr-bench-floor: %s (see --help)\n", error.c_str());
    return 2;
  }
  if (help) {
    usage();
    return 0;
  }
  std::vector<Case> cases;
  for (std::size_t i = 0; i < options.rest.size(); ++i) {
    Case c;
    if (options.rest[i] != "--case" || i + 1 >= options.rest.size() ||
        !parseCase(options.rest[i + 1], &c)) {
      std::fprintf(stderr, "qmr-bench-floor: expected --case KEYS:BYTES:REQUEST:REPLY at '%s'\n",
                   options.rest[i].c_str());
      return 2;
    }
    cases.push_back(c);
    ++i;
  }
  if (cases.empty()) {
    std::fprintf(stderr, "qmr-bench-floor: no --case given (see --help)\n");
    return 2;
  }

  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr;
  std::memset(&addr, 0, sizeof addr);
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 1) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    std::fprintf(stderr, "qmr-bench-floor: cannot listen on 127.0.0.1: %s\n", std::strerror(errno));
    return 1;
  }
  const pid_t child = ::fork();
  if (child < 0) {
    std::fprintf(stderr, "qmr-bench-floor: fork failed: %s\n", std::strerror(errno));
    return 1;
  }
  if (child == 0) serve(listener);
  ::close(listener);

  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::fprintf(stderr, "qmr-bench-floor: cannot connect to the forked peer: %s\n",
                 std::strerror(errno));
    ::kill(child, SIGKILL);
    return 1;
  }
  noDelay(fd);

  int rc = 0;
  for (const Case& c : cases) {
    std::vector<char> request(c.request, 'q');
    std::vector<char> reply(c.reply);
    const std::uint32_t header[2] = {c.request, c.reply};
    std::memcpy(request.data(), header, sizeof header);
    bool ok = true;
    long calls = 0;
    const double us = qmr_bench::timeCalls(
        [&] {
          ok = ok && writeAll(fd, request.data(), request.size()) &&
               readAll(fd, reply.data(), reply.size());
        },
        options.seconds, options.warmup, 50, &calls);
    if (!ok) {
      std::fprintf(stderr, "qmr-bench-floor: the forked peer stopped answering\n");
      rc = 1;
      break;
    }
    qmr_bench::Result("read")
        .str("method", "floor")
        .num("keys", c.keys)
        .num("value_bytes", c.valueBytes)
        .num("request_bytes", c.request)
        .num("reply_bytes", c.reply)
        .num("us", us)
        .num("calls", static_cast<double>(calls))
        .print();
  }
  ::close(fd);
  int status = 0;
  ::waitpid(child, &status, 0);
  return rc;
}
