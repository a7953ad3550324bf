// ServerBadInputTest.cc - qmr-datastored under hostile or oversized input: garbage on its GIOP
// port, a request with a million keys, a value over its limit, thousands of sessions never
// ended. Each is refused (a system exception for a CORBA caller), and the server goes on
// serving a fresh client afterwards.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <random>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "Harness.h"
#include "StoreClient.h"

namespace qmr_test {
namespace {

// The test's own ORB must be able to send a request larger than the server accepts, or the
// million-key request would be stopped on this side. omniORB reads ORB* settings from the
// environment when the ORB is initialised, which happens in main(), after this runs.
const bool kLargeClientMessages = [] {
  ::setenv("ORBgiopMaxMsgSize", "268435456", 0);
  return true;
}();

// ---- the server's TCP port, read from its IOR (first IIOP profile)

class Cdr {
 public:
  Cdr(const std::vector<unsigned char>& bytes, size_t begin, size_t end)
      : b_(bytes), base_(begin), pos_(begin), end_(end) {
    little_ = octet() != 0;
  }
  unsigned char octet() {
    need(1);
    return b_[pos_++];
  }
  uint32_t ulong() {
    align(4);
    need(4);
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      uint32_t byte = b_[pos_ + (little_ ? 3 - i : i)];
      v = (v << 8) | byte;
    }
    pos_ += 4;
    return v;
  }
  uint16_t ushort() {
    align(2);
    need(2);
    uint16_t v = little_ ? (b_[pos_] | (b_[pos_ + 1] << 8)) : ((b_[pos_] << 8) | b_[pos_ + 1]);
    pos_ += 2;
    return v;
  }
  std::string string() {
    uint32_t n = ulong();
    need(n);
    std::string s(b_.begin() + pos_, b_.begin() + pos_ + (n ? n - 1 : 0));
    pos_ += n;
    return s;
  }
  size_t pos() const { return pos_; }
  void skip(size_t n) {
    need(n);
    pos_ += n;
  }

 private:
  void align(size_t a) { pos_ = base_ + ((pos_ - base_ + a - 1) / a) * a; }
  void need(size_t n) {
    if (pos_ + n > end_) throw std::runtime_error("truncated IOR");
  }
  const std::vector<unsigned char>& b_;
  size_t base_, pos_, end_;
  bool little_ = false;
};

int iiopPort(const std::string& ior) {
  if (ior.rfind("IOR:", 0) != 0) throw std::runtime_error("not an IOR: " + ior);
  std::vector<unsigned char> bytes;
  for (size_t i = 4; i + 1 < ior.size(); i += 2) {
    bytes.push_back(static_cast<unsigned char>(std::stoi(ior.substr(i, 2), nullptr, 16)));
  }
  Cdr ior_cdr(bytes, 0, bytes.size());
  ior_cdr.string();  // repository id
  uint32_t profiles = ior_cdr.ulong();
  for (uint32_t p = 0; p < profiles; ++p) {
    uint32_t tag = ior_cdr.ulong();
    uint32_t len = ior_cdr.ulong();
    size_t start = ior_cdr.pos();
    if (tag == 0) {  // TAG_INTERNET_IOP
      Cdr profile(bytes, start, start + len);
      profile.octet();
      profile.octet();  // IIOP version
      profile.string();  // host
      return profile.ushort();
    }
    ior_cdr.skip(len);
  }
  throw std::runtime_error("no IIOP profile in " + ior);
}

// ---- raw connections

class RawConnection {
 public:
  explicit RawConnection(int port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
      throw std::runtime_error("cannot connect to 127.0.0.1:" + std::to_string(port));
    }
  }
  ~RawConnection() { ::close(fd_); }
  void send(const std::string& bytes) {
    // The server may close the connection while we still write; that is a valid refusal.
    (void)::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
  }
  void finishWriting() { ::shutdown(fd_, SHUT_WR); }
  // What the server answered before it closed the connection or went quiet for timeoutMs.
  // Sets `closed` when the server closed (or reset) the connection.
  std::string readAnswer(int timeoutMs, bool& closed) {
    std::string got;
    closed = false;
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, timeoutMs) <= 0) return got;
      char buf[4096];
      ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n <= 0) {
        closed = true;
        return got;
      }
      got.append(buf, static_cast<size_t>(n));
    }
  }

 private:
  int fd_ = -1;
};

std::string giopHeader(char type, uint32_t size, char flags = 0) {
  std::string h = "GIOP";
  h += '\x01';
  h += '\x02';
  h += flags;  // big-endian unless bit 0 is set
  h += type;
  for (int shift = 24; shift >= 0; shift -= 8) h += static_cast<char>((size >> shift) & 0xff);
  return h;
}

// A GIOP message the server may send when it refuses input: a Reply (carrying a system
// exception) or a MessageError, possibly followed by CloseConnection.
bool isGiopRefusal(const std::string& answer) {
  if (answer.size() < 12 || answer.compare(0, 4, "GIOP") != 0) return false;
  char type = answer[7];
  return type == 1 || type == 5 || type == 6;
}

bool refusedForSize(const std::string& log) {
  return std::regex_search(log, std::regex("refused.*max-message-bytes"));
}

class ServerBadInputTest : public ::testing::Test {
 protected:
  void startServer(std::vector<std::string> extra = {}) {
    DataStoreServer::Options options;
    options.name = std::string("BadInput_") +
                   ::testing::UnitTest::GetInstance()->current_test_info()->name();
    options.extraArgs = std::move(extra);
    server_.start(dir_.path(), Stack::instance().naming(), options);
  }
  TempDir dir_{"qmr-badinput"};
  DataStoreServer server_;
};

TEST_F(ServerBadInputTest, MalformedGiopBytesAreRefusedAndTheServerKeepsServing) {
  startServer();
  int port = iiopPort(server_.ior());
  std::mt19937 rng(20261205);
  auto randomBytes = [&rng](size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xff);
    return s;
  };

  std::vector<std::pair<std::string, std::string>> cases = {
      {"an HTTP request", "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"},
      {"a GIOP header of an unknown version", std::string("GIOP\x09\x09\x00\x00\x00\x00\x00\x04", 12) + "abcd"},
      {"a GIOP header of an unknown message type", giopHeader(42, 8) + randomBytes(8)},
      {"a Request whose body is garbage", giopHeader(0, 64) + randomBytes(64)},
      {"a little-endian Request whose body is garbage", giopHeader(0, 0x40000000, 1) + randomBytes(64)},
      {"a Request announcing 2 GB of body", giopHeader(0, 0x7fffffff) + randomBytes(256)},
      {"a LocateRequest cut short", giopHeader(3, 100) + randomBytes(10)},
      {"a fragment without a start", giopHeader(7, 16) + randomBytes(16)},
  };
  for (int i = 0; i < 40; ++i) {
    cases.emplace_back("random bytes #" + std::to_string(i), randomBytes(1 + rng() % 2000));
  }
  for (int i = 0; i < 40; ++i) {
    // A valid header followed by a body of the announced size but random content.
    uint32_t size = 1 + rng() % 512;
    cases.emplace_back("random Request body #" + std::to_string(i),
                       giopHeader(static_cast<char>(rng() % 8), size) + randomBytes(size));
  }

  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    RawConnection raw(port);
    raw.send(bytes);
    raw.finishWriting();
    bool closed = false;
    std::string answer = raw.readAnswer(5000, closed);
    // Refused: a GIOP error message and/or the connection closed; never a silent hang.
    EXPECT_TRUE(closed || isGiopRefusal(answer)) << "answer of " << answer.size() << " bytes";
    ASSERT_TRUE(server_.running()) << server_.process().log();
  }

  // A connection that sends half a header and then stays open must not block other clients.
  RawConnection stalled(port);
  stalled.send("GIO");
  EXPECT_TRUE(ServesAFreshClient(server_));
  // The refusals are in the server's log.
  EXPECT_TRUE(std::regex_search(server_.process().log(),
                                std::regex("protocol error|MessageError", std::regex::icase)))
      << server_.process().log();
}

TEST_F(ServerBadInputTest, MillionKeyReadIsRefusedWithSystemException) {
  startServer();
  StoreClient client(server_);
  ClientCore::StringList keys;
  keys.length(1000000);
  for (CORBA::ULong i = 0; i < keys.length(); ++i) {
    keys[i] = CORBA::string_dup(("key-" + std::to_string(i)).c_str());
  }
  ClientCore::DataStoreSession::ValueList_var values;
  // The whole request reaches the server (this side allows it), which refuses it.
  EXPECT_THROW(client.session()->get(keys, values.out()), CORBA::MARSHAL);
  ASSERT_TRUE(server_.running()) << server_.process().log();
  EXPECT_TRUE(eventually([&] { return refusedForSize(server_.process().log()); }, 2000))
      << server_.process().log();
  EXPECT_TRUE(ServesAFreshClient(server_));
}

TEST_F(ServerBadInputTest, MillionKeyRemoveIsRefusedAndNothingIsPending) {
  startServer();
  StoreClient client(server_);
  client.set({{"kept", "yes"}});
  client.commit();
  ClientCore::StringList keys;
  keys.length(1000000);
  for (CORBA::ULong i = 0; i < keys.length(); ++i) {
    keys[i] = CORBA::string_dup(i == 0 ? "kept" : ("key-" + std::to_string(i)).c_str());
  }
  try {
    client.session()->remove(keys);
    ADD_FAILURE() << "a million-key remove was accepted";
  } catch (const CORBA::SystemException&) {
  } catch (const ClientCore::DataStoreSession::TransactionSizeExceeded&) {
  }
  ASSERT_TRUE(server_.running()) << server_.process().log();
  EXPECT_TRUE(eventually([&] { return refusedForSize(server_.process().log()); }, 2000))
      << server_.process().log();
  // The refused request left no pending change: a commit does not remove "kept".
  StoreClient other(server_);
  client.commit();
  auto values = other.get({"kept"});
  ASSERT_EQ(1u, values.size());
  EXPECT_EQ(std::optional<std::string>("yes"), values[0]);
}

TEST_F(ServerBadInputTest, ValueOverItsLimitIsRefusedWithBadParamAndLogged) {
  startServer({"--max-value-bytes", "1024", "--max-key-bytes", "64"});
  StoreClient client(server_);
  std::string before = server_.process().log();

  EXPECT_THROW(client.set({{"big", std::string(1025, 'v')}}), CORBA::BAD_PARAM);
  EXPECT_THROW(client.set({{std::string(65, 'k'), "v"}}), CORBA::BAD_PARAM);
  EXPECT_NO_THROW(client.set({{"fits", std::string(1024, 'v')}}));
  client.commit();

  auto values = client.get({"big", std::string(65, 'k'), "fits"});
  ASSERT_EQ(3u, values.size());
  EXPECT_FALSE(values[0].has_value());
  EXPECT_FALSE(values[1].has_value());
  EXPECT_EQ(std::optional<std::string>(std::string(1024, 'v')), values[2]);
  // The server says in its log what it refused.
  EXPECT_TRUE(eventually([&] { return server_.process().log().size() > before.size(); }, 2000));
  std::string added = server_.process().log().substr(before.size());
  EXPECT_TRUE(std::regex_search(added, std::regex("1024|limit|too (large|long)", std::regex::icase)))
      << added;
  EXPECT_TRUE(ServesAFreshClient(server_));
}

TEST_F(ServerBadInputTest, ThousandsOfSessionsNeverEndedAreBoundedAndReclaimed) {
  const int kMax = 500;
  startServer({"--max-sessions", std::to_string(kMax), "--session-timeout", "3"});
  StoreClient keeper(server_);  // a well-behaved client that keeps working throughout
  CORBA::Object_var obj = Stack::instance().orb()->string_to_object(server_.ior().c_str());
  ClientCore::DataStore_var store = ClientCore::DataStore::_narrow(obj);
  std::string before = server_.process().log();

  int started = 1, refused = 0;
  for (int i = 0; i < 2000; ++i) {
    try {
      ClientCore::DataStoreSession_var abandoned = store->startSession();
      ++started;
    } catch (const CORBA::NO_RESOURCES&) {
      ++refused;
    }
  }
  EXPECT_EQ(kMax, started);
  EXPECT_EQ(2000 - (kMax - 1), refused);
  ASSERT_TRUE(server_.running()) << server_.process().log();
  std::string added = server_.process().log().substr(before.size());
  EXPECT_TRUE(std::regex_search(added, std::regex("startSession refused.*max-sessions"))) << added;

  // The well-behaved client is not disturbed while the others idle, and once the abandoned
  // sessions time out a fresh client gets one again.
  keeper.set({{"keeper", "ok"}});
  keeper.commit();
  EXPECT_TRUE(eventually(
      [&] {
        keeper.get({"keeper"});  // keeps the keeper's session alive
        return static_cast<bool>(ServesAFreshClient(server_));
      },
      15000));
  auto values = keeper.get({"keeper"});
  EXPECT_EQ(std::optional<std::string>("ok"), values.at(0));
}

}  // namespace
}  // namespace qmr_test
