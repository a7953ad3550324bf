// RawGiopSession.h - a data store session that is only a socket on 127.0.0.1 speaking just
// enough GIOP 1.2 to answer get(): it writes each reply byte by byte as the test tells it, so a
// test can send what no ORB would (a reply cut off mid-way or between fragments, more or fewer
// values than keys, malformed strings) and can claim any native char code set in its IOR. It
// answers LocateRequest (object here) and _is_a (true) as well; other requests close the
// connection.
//
// One thread accepts connections, one thread serves each; the destructor closes them all and
// joins the threads. The reply plan and the records are guarded by a mutex.
#ifndef QMR_TESTS_CLIENT_RAWGIOPSESSION_H
#define QMR_TESTS_CLIENT_RAWGIOPSESSION_H

#include <omniORB4/CORBA.h>

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Cdr.h"

namespace qmr_test {

// Char code sets of the OSF registry, as they travel in IORs and service contexts.
constexpr std::uint32_t kIso88591 = 0x00010001;
constexpr std::uint32_t kUtf8 = 0x05010001;

// The body of a get reply (a ValueList), value by value.
class ReplyBody {
 public:
  explicit ReplyBody(std::uint32_t count) { out_.ulong(count); }
  ReplyBody& value(const std::string& octets) {
    out_.boolean(true);
    out_.string(octets);
    return *this;
  }
  ReplyBody& none() {
    out_.boolean(false);
    out_.string("");
    return *this;
  }
  // A valid value whose string has any length word and exactly these octets.
  ReplyBody& malformed(std::uint32_t length, const std::string& octets) {
    out_.boolean(true);
    out_.rawString(length, octets);
    return *this;
  }
  const std::string& bytes() const { return out_.bytes(); }

 private:
  CdrOut out_{24};  // a GIOP 1.2 reply body starts 24 bytes into its message
};

// How the server answers a get.
struct GetReply {
  enum class Delivery {
    kWhole,          // the whole reply, in one message
    kCut,            // the message header announces the whole body; `cut` bytes of it are
                     // sent, then the connection closes
    kFirstFragment,  // a first fragment holding about `cut` bytes of the body (trimmed so that
                     // the fragment's size is a multiple of 8), then the connection closes
  };
  std::string body;
  Delivery delivery = Delivery::kWhole;
  std::size_t cut = 0;
};

class RawGiopSession {
 public:
  using Handler = std::function<GetReply(const std::vector<std::string>& keys)>;

  // Listens on a free port of 127.0.0.1; its IOR names `nativeCharCodeSet` as the server's
  // native char code set, with no conversion code sets.
  explicit RawGiopSession(std::uint32_t nativeCharCodeSet);
  ~RawGiopSession();
  RawGiopSession(const RawGiopSession&) = delete;
  RawGiopSession& operator=(const RawGiopSession&) = delete;

  // "IOR:..." of a ClientCore::DataStoreSession here.
  const std::string& ior() const { return ior_; }
  // How the following gets are answered (until the next call).
  void answer(Handler handler);

  // The key list of every get received, as octets on the wire.
  std::vector<std::vector<std::string>> gets() const;
  // The char code set the client chose for its requests (its CodeSets service context); 0
  // before one came.
  std::uint32_t charCodeSetUsed() const;
  // Connections accepted so far.
  int connections() const;

 private:
  void acceptLoop();
  void serve(int fd);
  bool handleRequest(int fd, const std::string& message, bool little);

  int listenFd_ = -1;
  std::string ior_;
  mutable std::mutex mutex_;
  Handler handler_;
  std::vector<std::vector<std::string>> gets_;
  std::uint32_t charCodeSetUsed_ = 0;
  int connections_ = 0;
  bool stopping_ = false;
  std::set<int> open_;
  std::vector<std::thread> threads_;
  std::thread acceptor_;
};

}  // namespace qmr_test

#endif  // QMR_TESTS_CLIENT_RAWGIOPSESSION_H
