// RawGiopSession.cc - the byte-level GIOP 1.2 session server of RawGiopSession.h.
#include "RawGiopSession.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "qmr/ClientCore/DataStoreSession.hh"

namespace qmr_test {
namespace {

enum MessageType : std::uint8_t {
  kRequest = 0,
  kReply = 1,
  kLocateRequest = 3,
  kLocateReply = 4,
  kCloseConnection = 5,
};
constexpr std::uint8_t kLittleEndian = 1;
constexpr std::uint8_t kMoreFragments = 2;
constexpr std::uint32_t kCodeSetsContext = 1;
constexpr std::uint32_t kUtf16 = 0x00010109;

bool readExact(int fd, char* data, std::size_t n) {
  while (n > 0) {
    const ssize_t got = ::recv(fd, data, n, 0);
    if (got <= 0) {
      if (got < 0 && errno == EINTR) continue;
      return false;
    }
    data += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

bool sendAll(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

// A GIOP 1.2 message header (little-endian) for a message body of `size` bytes.
std::string header(std::uint8_t type, std::uint32_t size, std::uint8_t flags = 0) {
  CdrOut out;
  for (char c : std::string("GIOP")) out.octet(static_cast<std::uint8_t>(c));
  out.octet(1);
  out.octet(2);
  out.octet(kLittleEndian | flags);
  out.octet(type);
  out.ulong(size);
  return out.bytes();
}

// A reply header of GIOP 1.2, NO_EXCEPTION, without service contexts: 12 bytes after the
// message header, so the body starts at 24.
std::string replyHeader(std::uint32_t requestId) {
  CdrOut out(12);
  out.ulong(requestId);
  out.ulong(0);
  out.ulong(0);
  return out.bytes();
}

std::string hex(const std::string& bytes) {
  std::string text;
  char digits[3];
  for (unsigned char c : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", c);
    text += digits;
  }
  return text;
}

std::string buildIor(int port, std::uint32_t nativeCharCodeSet) {
  CdrOut codeSets;
  codeSets.octet(kLittleEndian);
  codeSets.ulong(nativeCharCodeSet);  // char: native, no conversion code sets
  codeSets.ulong(0);
  codeSets.ulong(kUtf16);  // wchar
  codeSets.ulong(0);

  CdrOut profile;
  profile.octet(kLittleEndian);
  profile.octet(1);  // IIOP 1.2
  profile.octet(2);
  profile.string("127.0.0.1");
  profile.ushort(static_cast<std::uint16_t>(port));
  profile.octets("raw-session");
  profile.ulong(1);  // one component: TAG_CODE_SETS
  profile.ulong(1);
  profile.encapsulation(codeSets);

  CdrOut ior;
  ior.octet(kLittleEndian);
  ior.string(ClientCore::DataStoreSession::_PD_repoId);
  ior.ulong(1);  // one profile: TAG_INTERNET_IOP
  ior.ulong(0);
  ior.encapsulation(profile);
  return "IOR:" + hex(ior.bytes());
}

}  // namespace

RawGiopSession::RawGiopSession(std::uint32_t nativeCharCodeSet) {
  listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (listenFd_ < 0 || ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      ::listen(listenFd_, 16) != 0 ||
      ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const std::string reason = std::strerror(errno);
    if (listenFd_ >= 0) ::close(listenFd_);
    throw std::runtime_error("raw GIOP session: cannot listen on 127.0.0.1: " + reason);
  }
  ior_ = buildIor(ntohs(address.sin_port), nativeCharCodeSet);
  acceptor_ = std::thread([this] { acceptLoop(); });
}

RawGiopSession::~RawGiopSession() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
    for (int fd : open_) ::shutdown(fd, SHUT_RDWR);
  }
  ::shutdown(listenFd_, SHUT_RDWR);  // wakes the acceptor
  acceptor_.join();
  ::close(listenFd_);
  for (std::thread& t : threads_) t.join();
}

void RawGiopSession::answer(Handler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  handler_ = std::move(handler);
}

std::vector<std::vector<std::string>> RawGiopSession::gets() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return gets_;
}

std::uint32_t RawGiopSession::charCodeSetUsed() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return charCodeSetUsed_;
}

int RawGiopSession::connections() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return connections_;
}

void RawGiopSession::acceptLoop() {
  for (;;) {
    const int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
    std::lock_guard<std::mutex> lock(mutex_);
    if (fd < 0) {
      if (stopping_) return;
      continue;
    }
    if (stopping_) {
      ::close(fd);
      return;
    }
    ++connections_;
    open_.insert(fd);
    threads_.emplace_back([this, fd] { serve(fd); });
  }
}

void RawGiopSession::serve(int fd) {
  char head[12];
  while (readExact(fd, head, sizeof head)) {
    if (std::memcmp(head, "GIOP", 4) != 0) break;
    const bool little = (head[6] & kLittleEndian) != 0;
    const std::uint32_t size = CdrIn(std::string(head, sizeof head), little, 8).ulong();
    std::string message(head, sizeof head);
    message.resize(sizeof head + size);
    if (!readExact(fd, &message[sizeof head], size)) break;
    const std::uint8_t type = static_cast<std::uint8_t>(head[7]);
    if (type == kLocateRequest) {
      CdrOut reply(12);
      reply.ulong(CdrIn(message, little, 12).ulong());
      reply.ulong(1);  // OBJECT_HERE
      if (!sendAll(fd, header(kLocateReply, 8) + reply.bytes())) break;
    } else if (type == kRequest) {
      if (!handleRequest(fd, message, little)) break;
    } else if (type == kCloseConnection) {
      break;
    }
  }
  std::lock_guard<std::mutex> lock(mutex_);
  open_.erase(fd);
  ::close(fd);
}

// Answers one request; false when the connection is to close.
bool RawGiopSession::handleRequest(int fd, const std::string& message, bool little) {
  CdrIn in(message, little, 12);
  const std::uint32_t requestId = in.ulong();
  in.octet();  // response flags
  in.octet();
  in.octet();
  in.octet();
  if (in.ushort() != 0) return false;  // only a target given by object key
  in.octets();
  const std::string operation = in.string();
  const std::uint32_t contexts = in.ulong();
  for (std::uint32_t i = 0; i < contexts; ++i) {
    const std::uint32_t id = in.ulong();
    const std::string data = in.octets();
    if (id == kCodeSetsContext && !data.empty()) {
      CdrIn codeSets(data, (data[0] & kLittleEndian) != 0, 1);
      std::lock_guard<std::mutex> lock(mutex_);
      charCodeSetUsed_ = codeSets.ulong();
    }
  }
  if (operation == "_is_a") {
    return sendAll(fd, header(kReply, 13) + replyHeader(requestId) + std::string(1, '\1'));
  }
  if (operation != "get") return false;

  in.align(8);
  std::vector<std::string> keys(in.ulong());
  for (std::string& key : keys) key = in.string();
  Handler handler;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    gets_.push_back(keys);
    handler = handler_;
  }
  if (!handler) return false;
  const GetReply reply = handler(keys);
  const std::string start = replyHeader(requestId);
  const auto bodySize = static_cast<std::uint32_t>(reply.body.size());
  switch (reply.delivery) {
    case GetReply::Delivery::kWhole:
      return sendAll(fd, header(kReply, 12 + bodySize) + start + reply.body);
    case GetReply::Delivery::kCut:
      sendAll(fd, header(kReply, 12 + bodySize) + start + reply.body.substr(0, reply.cut));
      return false;
    case GetReply::Delivery::kFirstFragment: {
      // A fragment that is not the last must have a size that is a multiple of 8.
      std::size_t cut = reply.cut;
      while ((12 + cut) % 8 != 0) --cut;
      sendAll(fd, header(kReply, static_cast<std::uint32_t>(12 + cut), kMoreFragments) + start +
                      reply.body.substr(0, cut));
      return false;
    }
  }
  return false;
}

}  // namespace qmr_test
