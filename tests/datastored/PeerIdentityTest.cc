// PeerIdentityTest.cc - the server names a local client by the user of the process at the
// other end, on every kind of local connection: a Unix-domain socket, TCP to 127.0.0.1, TCP
// to ::1, and an IPv4 client of a dual-stack IPv6 listener (which sees mapped addresses). The
// client is a child process that has become nobody, so a lookup that answered with the
// server's own user, or with nothing, fails.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "orb/PeerIdentity.h"

namespace qmr_datastored {
namespace {

constexpr unsigned kNobody = 65534;

// A listening socket and the address that reaches it.
struct Listener {
  int fd = -1;
  sockaddr_storage address{};
  socklen_t size = 0;
  ~Listener() {
    if (fd >= 0) ::close(fd);
  }
};

void listenOn(Listener& l, int family, const char* text, bool dualStack) {
  l.fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(l.fd, 0) << std::strerror(errno);
  if (family == AF_INET6) {
    int only = dualStack ? 0 : 1;
    ::setsockopt(l.fd, IPPROTO_IPV6, IPV6_V6ONLY, &only, sizeof only);
    auto& a = reinterpret_cast<sockaddr_in6&>(l.address);
    a.sin6_family = AF_INET6;
    ASSERT_EQ(::inet_pton(AF_INET6, text, &a.sin6_addr), 1);
    l.size = sizeof a;
  } else {
    auto& a = reinterpret_cast<sockaddr_in&>(l.address);
    a.sin_family = AF_INET;
    ASSERT_EQ(::inet_pton(AF_INET, text, &a.sin_addr), 1);
    l.size = sizeof a;
  }
  ASSERT_EQ(::bind(l.fd, reinterpret_cast<sockaddr*>(&l.address), l.size), 0)
      << text << ": " << std::strerror(errno);
  ASSERT_EQ(::listen(l.fd, 1), 0);
  ASSERT_EQ(::getsockname(l.fd, reinterpret_cast<sockaddr*>(&l.address), &l.size), 0);
}

// Forks a child that becomes nobody and connects to `to` (of `size` bytes) with a socket of
// `family`, then waits for the parent to close the connection. Returns the accepted socket.
int acceptFromNobody(const Listener& l, int family, const sockaddr_storage& to, socklen_t size,
                     pid_t* child) {
  *child = ::fork();
  if (*child == 0) {
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(3);
    int fd = ::socket(family, SOCK_STREAM, 0);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&to), size) != 0) ::_exit(4);
    char byte;
    (void)::read(fd, &byte, 1);
    ::_exit(0);
  }
  return ::accept4(l.fd, nullptr, nullptr, SOCK_CLOEXEC);
}

void endChild(int accepted, pid_t child) {
  if (accepted >= 0) ::close(accepted);
  int status = 0;
  ::waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child could not connect";
}

class PeerIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to run the client as nobody";
  }
};

TEST_F(PeerIdentityTest, ALoopbackTcpClientIsTheUserThatOwnsItsSocket) {
  struct Case {
    const char* name;
    int listenFamily;
    const char* listenAt;
    bool dualStack;
    int clientFamily;
    const char* connectTo;
  };
  const Case cases[] = {
      {"IPv4 127.0.0.1", AF_INET, "127.0.0.1", false, AF_INET, "127.0.0.1"},
      {"IPv4 127.0.0.2, another loopback address", AF_INET, "127.0.0.2", false, AF_INET,
       "127.0.0.2"},
      {"IPv6 ::1", AF_INET6, "::1", false, AF_INET6, "::1"},
      {"IPv4 client of a dual-stack listener", AF_INET6, "::", true, AF_INET, "127.0.0.1"},
      {"IPv6 client to a mapped address", AF_INET6, "::", true, AF_INET6, "::ffff:127.0.0.1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Listener l;
    listenOn(l, c.listenFamily, c.listenAt, c.dualStack);
    sockaddr_storage to{};
    socklen_t size;
    const in_port_t port = l.address.ss_family == AF_INET
                               ? reinterpret_cast<sockaddr_in&>(l.address).sin_port
                               : reinterpret_cast<sockaddr_in6&>(l.address).sin6_port;
    if (c.clientFamily == AF_INET) {
      auto& a = reinterpret_cast<sockaddr_in&>(to);
      a.sin_family = AF_INET;
      a.sin_port = port;
      ASSERT_EQ(::inet_pton(AF_INET, c.connectTo, &a.sin_addr), 1);
      size = sizeof a;
    } else {
      auto& a = reinterpret_cast<sockaddr_in6&>(to);
      a.sin6_family = AF_INET6;
      a.sin6_port = port;
      ASSERT_EQ(::inet_pton(AF_INET6, c.connectTo, &a.sin6_addr), 1);
      size = sizeof a;
    }
    pid_t child;
    int accepted = acceptFromNobody(l, c.clientFamily, to, size, &child);
    ASSERT_GE(accepted, 0) << std::strerror(errno);
    unsigned uid = 0;
    EXPECT_TRUE(loopbackTcpPeerUid(accepted, &uid));
    EXPECT_EQ(uid, kNobody);
    EXPECT_FALSE(unixPeerUid(accepted, &uid)) << "a TCP socket has no peer credentials";
    endChild(accepted, child);
  }
}

TEST_F(PeerIdentityTest, AUnixClientIsItsUserAndNotATcpPeer) {
  char dir[] = "/tmp/qmr-peer-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  ::chmod(dir, 0755);
  Listener l;
  l.fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  auto& a = reinterpret_cast<sockaddr_un&>(l.address);
  a.sun_family = AF_UNIX;
  const std::string path = std::string(dir) + "/s";
  std::strcpy(a.sun_path, path.c_str());
  l.size = sizeof a;
  ASSERT_EQ(::bind(l.fd, reinterpret_cast<sockaddr*>(&a), l.size), 0);
  ::chmod(path.c_str(), 0777);
  ASSERT_EQ(::listen(l.fd, 1), 0);
  pid_t child;
  int accepted = acceptFromNobody(l, AF_UNIX, l.address, l.size, &child);
  ASSERT_GE(accepted, 0);
  unsigned uid = 0;
  EXPECT_TRUE(unixPeerUid(accepted, &uid));
  EXPECT_EQ(uid, kNobody);
  EXPECT_FALSE(loopbackTcpPeerUid(accepted, &uid));
  endChild(accepted, child);
  ::unlink(path.c_str());
  ::rmdir(dir);
}

}  // namespace
}  // namespace qmr_datastored
