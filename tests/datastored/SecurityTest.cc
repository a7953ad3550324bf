// SecurityTest.cc - what one client can do to another's session and to the server: references
// forged from its own cannot reach another session, a commit never reports success for changes
// that an ending session dropped, a flood of sessions locks nobody out, and a client that comes
// and goes leaves no warning behind.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <random>
#include <thread>

#include "DataStoreFixture.h"
// After CORBA.h, which it needs: the profiles of a reference, to read its object key.
#include <omniORB4/omniIOR.h>

namespace qmr_test {
namespace {

using ClientCore::DataStoreSession;
using ClientCore::DataStoreSession_ptr;
using ClientCore::DataStoreSession_var;

// The object key of a reference's IIOP profile.
std::string objectKey(CORBA::Object_ptr obj) {
  omniIOR* ior = obj->_PR_getobj()->_getIOR();
  std::string key;
  const IOP::TaggedProfileList& profiles = ior->iopProfiles();
  for (CORBA::ULong i = 0; i < profiles.length(); ++i) {
    if (profiles[i].tag != IOP::TAG_INTERNET_IOP) continue;
    IIOP::ProfileBody body;
    IIOP::unmarshalProfile(profiles[i], body);
    key.assign(reinterpret_cast<const char*>(body.object_key.get_buffer()),
               body.object_key.length());
    break;
  }
  ior->release();
  return key;
}

// A reference to object `key` at 127.0.0.1:port, as any client could write one.
DataStoreSession_ptr forge(int port, const std::string& key) {
  std::string url = "corbaloc::127.0.0.1:" + std::to_string(port) + "/";
  static const char kHex[] = "0123456789abcdef";
  for (unsigned char c : key) {
    url += '%';
    url += kHex[c >> 4];
    url += kHex[c & 15];
  }
  CORBA::Object_var obj = Stack::instance().orb()->string_to_object(url.c_str());
  return DataStoreSession::_unchecked_narrow(obj.in());
}

// `key` with `delta` added to the 4-byte number at its end, read in either byte order.
std::string addToTail(std::string key, int delta, bool bigEndian) {
  if (key.size() < 4) return key;
  uint32_t n = 0;
  for (int i = 0; i < 4; ++i) {
    auto byte = static_cast<unsigned char>(key[key.size() - 4 + (bigEndian ? i : 3 - i)]);
    n = (n << 8) | byte;
  }
  n += static_cast<uint32_t>(delta);
  for (int i = 3; i >= 0; --i) {
    key[key.size() - 4 + (bigEndian ? i : 3 - i)] = static_cast<char>(n & 0xff);
    n >>= 8;
  }
  return key;
}

// Runs `code` in qmr-host connected to the data store `ior`, as a client process of its own.
ExitedRun runHost(const TempDir& dir, const std::string& ior, const std::string& code) {
  std::vector<std::string> args = Stack::instance().orbArgs();
  args.insert(args.end(), {"--datastore", ior, "-c", code});
  return runToExit(dir, args, "qmr-host");
}

const char* const kHostWork =
    "from qmr.DataStoreInterface import interface as store\n"
    "store.set({'from-host': 'h'}, 0)\n"
    "store.commit()\n"
    "found, missing = store.get(['from-host'])\n"
    "assert found == {'from-host': 'h'}, found\n";

// A GIOP 1.2 request in big-endian CDR, written field by field as another ORB would.
class Cdr {
 public:
  void align(size_t n) {
    while ((body_.size() + 12) % n != 0) body_ += '\0';
  }
  void ulong(uint32_t v) {
    align(4);
    for (int shift = 24; shift >= 0; shift -= 8) body_ += static_cast<char>((v >> shift) & 0xff);
  }
  void octets(const std::string& bytes) { body_ += bytes; }
  void string(const std::string& text) {  // length with the NUL, text, NUL
    ulong(static_cast<uint32_t>(text.size() + 1));
    body_ += text;
    body_ += '\0';
  }
  // The whole message: header, then the body.
  std::string request() const {
    std::string m = std::string("GIOP\x01\x02\x00\x00", 8);
    uint32_t size = static_cast<uint32_t>(body_.size());
    for (int shift = 24; shift >= 0; shift -= 8) m += static_cast<char>((size >> shift) & 0xff);
    return m + body_;
  }

 private:
  std::string body_;
};

// Sends `op` with the arguments `args` writes to the object `key` on 127.0.0.1:port; returns
// the reply status (0 no exception, 2 system exception) and the exception's repository id.
std::pair<int, std::string> rawCall(int port, const std::string& key, const std::string& op,
                                    const std::function<void(Cdr&)>& args) {
  Cdr c;
  c.ulong(7);                              // request id
  c.octets(std::string("\x03\0\0\0", 4));  // response expected, reserved
  c.octets(std::string("\0\0", 2));        // target address: the object key
  c.ulong(static_cast<uint32_t>(key.size()));
  c.octets(key);
  c.string(op);
  c.ulong(0);  // no service contexts
  c.align(8);
  args(c);
  std::string request = c.request();
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(request.size()));
  std::string reply;
  pollfd p{fd, POLLIN, 0};
  while (::poll(&p, 1, 5000) > 0) {
    char buf[4096];
    ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    reply.append(buf, static_cast<size_t>(n));
    if (reply.size() >= 12) {
      uint32_t size = 0;
      bool little = (reply[6] & 1) != 0;
      for (int i = 0; i < 4; ++i) {
        size |= static_cast<uint32_t>(static_cast<unsigned char>(reply[8 + i]))
                << (little ? 8 * i : 8 * (3 - i));
      }
      if (reply.size() >= 12 + size) break;
    }
  }
  ::close(fd);
  if (reply.size() < 20 || reply[7] != 1) return {-1, "no reply"};
  bool little = (reply[6] & 1) != 0;
  auto word = [&](size_t at) {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      v |= static_cast<uint32_t>(static_cast<unsigned char>(reply[at + i]))
           << (little ? 8 * i : 8 * (3 - i));
    }
    return v;
  };
  int status = static_cast<int>(word(16));
  std::string id;
  if (status == 2) {
    // Service contexts (none from this server), then the body at an 8-byte boundary.
    size_t at = 24 + 0;
    if (word(20) != 0) return {status, "(service contexts)"};
    at = (at + 7) / 8 * 8;
    uint32_t length = word(at);
    id = reply.substr(at + 4, length > 0 ? length - 1 : 0);
  }
  return {status, id};
}

using SecurityTest = DataStoreTest;

TEST_F(SecurityTest, ReferencesForgedFromAnotherSessionReachNoSession) {
  const int port = freeLoopbackPort();
  startServer({"-ORBendPoint", "giop:tcp:127.0.0.1:" + std::to_string(port)});
  DataStoreSession_var victim = newSession();
  victim->set(entries({{"secret", "s"}}));
  DataStoreSession_var own = newSession();  // the forger's
  own->set(entries({{"forger", "f"}}));
  const std::string mine = objectKey(own.in());
  const std::string theirs = objectKey(victim.in());
  ASSERT_FALSE(mine.empty());
  ASSERT_EQ(mine.size(), theirs.size());

  std::mt19937 rng(20261206);
  auto randomBytes = [&rng](size_t n) {
    std::string bytes(n, '\0');
    for (char& c : bytes) c = static_cast<char>(rng() & 0xff);
    return bytes;
  };
  std::vector<std::pair<std::string, std::string>> forged;
  for (int delta : {-2, -1, 1, 2}) {
    forged.emplace_back("own id " + std::to_string(delta) + " (big-endian counter)",
                        addToTail(mine, delta, true));
    forged.emplace_back("own id " + std::to_string(delta) + " (little-endian counter)",
                        addToTail(mine, delta, false));
  }
  for (size_t tail : {4, 8, 16}) {
    for (int i = 0; i < 3; ++i) {
      forged.emplace_back("last " + std::to_string(tail) + " bytes random #" + std::to_string(i),
                          mine.substr(0, mine.size() - tail) + randomBytes(tail));
    }
  }
  forged.emplace_back("own key truncated by 1", mine.substr(0, mine.size() - 1));
  forged.emplace_back("own key truncated by 4", mine.substr(0, mine.size() - 4));
  forged.emplace_back("own key extended by 1", mine + '\0');
  forged.emplace_back("own key extended by 4", mine + randomBytes(4));
  forged.emplace_back("victim's key truncated", theirs.substr(0, theirs.size() - 1));
  forged.emplace_back("victim's key extended", theirs + randomBytes(1));

  for (const auto& [what, key] : forged) {
    SCOPED_TRACE(what);
    EXPECT_NE(key, theirs) << "the victim's key follows from the forger's";
    DataStoreSession_var fake = forge(port, key);
    DataStoreSession::ValueList_var values;
    EXPECT_THROW(fake->get(strings({"secret"}), values.out()), CORBA::OBJECT_NOT_EXIST);
    EXPECT_THROW(fake->abort(), CORBA::OBJECT_NOT_EXIST);
    EXPECT_THROW(fake->commit(), CORBA::OBJECT_NOT_EXIST);
    EXPECT_THROW(fake->set(entries({{"secret", "overwritten"}})), CORBA::OBJECT_NOT_EXIST);
    EXPECT_NO_THROW(store_->endSession(fake.in())) << "ending no session does nothing";
  }
  // The victim's session is untouched: its pending change is there and commits.
  EXPECT_EQ(read1(victim, "secret"), Value("s"));
  victim->commit();
  EXPECT_EQ(read1(own, "forger"), Value("f"));
  DataStoreSession_var other = newSession();
  EXPECT_EQ(read1(other, "secret"), Value("s"));
}

TEST_F(SecurityTest, EightSessionIdsVaryInEveryOneOfTheirSixteenBytes) {
  startServer();
  // The session id is the object key's tail, after the POA's name: the 16 bytes that the
  // eight keys do not share. Random bytes repeat at a position in all eight once in 2^56
  // tries; a counter, wherever it sits in the 16, leaves most of its bytes the same.
  const size_t kIdBytes = 16;
  std::vector<DataStoreSession_var> sessions;
  std::vector<std::string> ids;
  for (int i = 0; i < 8; ++i) {
    sessions.push_back(newSession());
    std::string key = objectKey(sessions.back().in());
    ASSERT_GT(key.size(), kIdBytes);
    ids.push_back(key.substr(key.size() - kIdBytes));
    ASSERT_EQ(key.substr(0, key.size() - kIdBytes),
              objectKey(sessions.front().in()).substr(0, key.size() - kIdBytes))
        << "the keys differ before their last 16 bytes";
  }
  for (size_t at = 0; at < kIdBytes; ++at) {
    bool varies = false;
    for (const std::string& id : ids) varies = varies || id[at] != ids[0][at];
    EXPECT_TRUE(varies) << "byte " << at << " of the session id is the same in all eight";
  }
  for (size_t a = 0; a < ids.size(); ++a) {
    for (size_t b = a + 1; b < ids.size(); ++b) {
      size_t differ = 0;
      for (size_t at = 0; at < kIdBytes; ++at) differ += ids[a][at] != ids[b][at];
      EXPECT_GE(differ, kIdBytes / 2) << "sessions " << a << " and " << b;
    }
  }
  for (DataStoreSession_var& s : sessions) store_->endSession(s.in());
}

// The server pauses every commit after its session was found open (a pause point of the test
// build); meanwhile endSession, or the idle reaper, ends the session. The commit must then
// either fail with OBJECT_NOT_EXIST and write nothing, or write everything and return.
TEST_F(SecurityTest, ACommitRacingTheEndOfItsSessionWritesOrFailsButNeverLies) {
  ::setenv("QMR_FAULT_POINT", "commit", 1);
  ::setenv("QMR_FAULT_PAUSE_MS", "600", 1);
  server_.reset(new DataStoreServer);
  DataStoreServer::Options options;
  options.name = testName();
  options.program = "qmr-datastored-faults";
  options.extraArgs = {"--session-timeout", "1"};
  server_->start(dir_.path(), Stack::instance().naming(), options);
  ::unsetenv("QMR_FAULT_POINT");
  ::unsetenv("QMR_FAULT_PAUSE_MS");
  connect();

  int returned = 0, lost = 0, refused = 0;
  auto written = [&](const std::string& key) {
    DataStoreSession_var reader = newSession();
    bool found = read1(reader, key).has_value();
    store_->endSession(reader.in());
    return found;
  };
  // One commit of `key` after `idleMs` without a call, with `meanwhile` run while it is paused.
  auto round = [&](const std::string& key, int idleMs, auto meanwhile) {
    DataStoreSession_var s = newSession();
    s->set(entries({{key, "v"}}));
    std::this_thread::sleep_for(std::chrono::milliseconds(idleMs));
    std::atomic<int> outcome{0};  // 1 returned, 2 OBJECT_NOT_EXIST
    std::thread committer([&] {
      try {
        s->commit();
        outcome = 1;
      } catch (const CORBA::OBJECT_NOT_EXIST&) {
        outcome = 2;
      } catch (const CORBA::Exception& e) {
        ADD_FAILURE() << key << ": commit raised " << e._name();
      }
    });
    meanwhile(s.in());
    committer.join();
    if (outcome == 1) {
      ++returned;
      if (!written(key)) ++lost;
    } else if (outcome == 2) {
      ++refused;
      EXPECT_FALSE(written(key)) << key << ": a refused commit wrote";
    }
  };
  for (int i = 0; i < 4; ++i) {
    round("ended" + std::to_string(i), 0, [&](DataStoreSession_ptr s) {
      std::this_thread::sleep_for(std::chrono::milliseconds(150));
      store_->endSession(s);
      EXPECT_THROW(s->abort(), CORBA::OBJECT_NOT_EXIST) << "the session has ended";
    });
  }
  EXPECT_EQ(refused, 4) << "a commit paused before endSession must fail";
  // Idle for 0.9 s, then a commit that pauses 0.6 s: the reaper (timeout 1 s, a look every
  // 0.25 s) looks at the session while the commit is paused.
  for (int i = 0; i < 3; ++i) round("reaped" + std::to_string(i), 900, [](DataStoreSession_ptr) {});
  EXPECT_EQ(lost, 0) << lost << " of " << returned << " commits returned and wrote nothing ("
                     << refused << " refused)";
}

// One client that starts sessions and never ends them: it is stopped at its own limit, and when
// the table is full another client still gets a session, in place of the one idle longest.
TEST_F(SecurityTest, ASessionFloodOfOneClientLocksNobodyOut) {
  startServer({"--max-sessions", "4", "--max-sessions-per-client", "4"});
  std::vector<DataStoreSession_var> flood;
  for (int i = 0; i < 4; ++i) {
    flood.emplace_back(newSession());
    flood.back()->set(entries({{"flood" + std::to_string(i), "x"}}));
  }
  EXPECT_THROW(DataStoreSession_var more = newSession(), CORBA::NO_RESOURCES);
  EXPECT_TRUE(logHas("startSession refused: client giop:unix:"));
  EXPECT_TRUE(logHas("has 4 sessions open, the most --max-sessions-per-client allows"));
  // Another client (qmr-host, a process of its own) finds the table full.
  ExitedRun run = runHost(dir_, server_->ior(), kHostWork);
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_TRUE(logHas("ended after"));
  EXPECT_TRUE(
      logHas("s idle to make room for session 5: --max-sessions 4 were open; 1 pending "
             "changes discarded"));
  // The flood's first session, idle longest, made room; the others go on.
  EXPECT_THROW(read1(flood[0], "flood0"), CORBA::OBJECT_NOT_EXIST);
  for (int i = 1; i < 4; ++i) {
    EXPECT_EQ(read1(flood[i], "flood" + std::to_string(i)), Value("x")) << i;
  }
}

// A data store that refuses every session, as a full qmr-datastored does.
class FullDataStore : public POA_ClientCore::DataStore {
 public:
  void checkDataFile() override {}
  ClientCore::DataStoreSession_ptr startSession() override {
    throw CORBA::NO_RESOURCES(0, CORBA::COMPLETED_NO);
  }
  void endSession(ClientCore::DataStoreSession_ptr) override {}
};

TEST_F(SecurityTest, QmrHostNamesARefusedSessionAsSuch) {
  PortableServer::Servant_var<FullDataStore> full(new FullDataStore);
  PortableServer::ObjectId_var id = Stack::instance().rootPoa()->activate_object(full.in());
  CORBA::Object_var obj = Stack::instance().rootPoa()->id_to_reference(id.in());
  CORBA::String_var ior = Stack::instance().orb()->object_to_string(obj.in());
  ExitedRun run = runHost(dir_, ior.in(), "pass");
  Stack::instance().rootPoa()->deactivate_object(id.in());
  EXPECT_EQ(run.exitCode, 3) << run.output;
  EXPECT_EQ(run.output.find("cannot reach the data store"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("refused a session (CORBA::NO_RESOURCES)"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("--max-sessions"), std::string::npos) << run.output;
}

// Strings travel with their length, so another ORB can send one with a NUL inside; the server
// would see it cut at the NUL, and "a\0b" would write the key "a".
TEST_F(SecurityTest, KeysAndValuesWithANulInsideAreRefusedWithBadParam) {
  const int port = freeLoopbackPort();
  startServer({"-ORBendPoint", "giop:tcp:127.0.0.1:" + std::to_string(port)});
  DataStoreSession_var s = newSession();
  const std::string key = objectKey(s.in());
  auto setOne = [&](const std::string& k, const std::string& data) {
    return rawCall(port, key, "set", [&](Cdr& c) {
      c.ulong(1);
      c.string(k);
      c.string(data);
      c.ulong(0);
    });
  };
  // The raw request itself works: a plain key is set.
  EXPECT_EQ(setOne("plain", "p"), std::make_pair(0, std::string()));
  EXPECT_EQ(read1(s, "plain"), Value("p"));
  const std::pair<int, std::string> badParam{2, "IDL:omg.org/CORBA/BAD_PARAM:1.0"};
  EXPECT_EQ(setOne(std::string("a\0b", 3), "x"), badParam);
  EXPECT_EQ(setOne("v", std::string("1\0"
                                    "2",
                                    3)),
            badParam);
  auto keysCall = [&](const std::string& op) {
    return rawCall(port, key, op, [&](Cdr& c) {
      c.ulong(2);
      c.string("plain");
      c.string(std::string("plain\0tail", 10));
    });
  };
  EXPECT_EQ(keysCall("get"), badParam);
  EXPECT_EQ(keysCall("remove"), badParam);
  EXPECT_EQ(read(s, {"a", "v", "plain"}), (Values{{}, {}, "p"})) << "nothing was cut and stored";
  EXPECT_TRUE(logHas("a string with a NUL byte inside"));
}

TEST_F(SecurityTest, AClientThatComesAndGoesLeavesNoWarningInTheLog) {
  startServer({"--log-level", "info"});
  for (int i = 0; i < 3; ++i) {
    ExitedRun run = runHost(dir_, server_->ior(), kHostWork);
    ASSERT_EQ(run.exitCode, 0) << run.output;
  }
  EXPECT_TRUE(eventually(
      [&] {
        std::string log = serverLog();
        size_t ended = 0;
        for (size_t at = 0; (at = log.find("ended by endSession", at)) != std::string::npos; ++at)
          ++ended;
        return ended == 3;
      },
      5000))
      << serverLog();
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the ORB logs after the reply
  EXPECT_EQ(serverLog().find("WARNING"), std::string::npos) << serverLog();
}

}  // namespace
}  // namespace qmr_test
