// ManagerWireTest.cc - DataStoreManager::get against replies that no well-behaved server sends,
// written byte by byte by RawGiopSession: cut off mid-way, lost between fragments, truncated,
// with malformed strings, with more or fewer values than keys, and in a char code set other
// than the client's own. A read that fails leaves `missing` and the cache exactly as they were.
//
// ctest runs this binary twice: with omniORB's default native char code set (ISO-8859-1) and
// with -ORBnativeCharCodeSet UTF-8, so the code set tests cover both directions.
#include <gtest/gtest.h>
#include <omniORB4/CORBA.h>

#include <memory>

#include "Harness.h"
#include "ManagerLines.h"
#include "OmniInternals.h"
#include "RawGiopSession.h"
#include "qmr/ClientCore/DataStore.hh"
#include "qmr/DataStoreManager.h"
#include "qmr/util/Log.h"

namespace qmr_test {
namespace {

using Delivery = GetReply::Delivery;

const char kName[] = "RawStore.svc";
const Lines kReset = resetLines("get", kEstablished);

std::uint32_t clientCodeSet() { return qmr_util::omni_internals::nativeCharCodeSetId(); }
std::uint32_t otherCodeSet() { return clientCodeSet() == kUtf8 ? kIso88591 : kUtf8; }

// "é" and "ÿ" in a code set.
std::string eAcute(std::uint32_t codeSet) { return codeSet == kUtf8 ? "\xc3\xa9" : "\xe9"; }
std::string yDiaeresis(std::uint32_t codeSet) { return codeSet == kUtf8 ? "\xc3\xbf" : "\xff"; }

// The data store: an in-process servant whose sessions are all the raw server.
class RawStore : public POA_ClientCore::DataStore {
 public:
  explicit RawStore(const std::string& ior) : ior_(ior) {}
  void checkDataFile() override {}
  ClientCore::DataStoreSession_ptr startSession() override {
    ++started;
    CORBA::Object_var obj = Stack::instance().orb()->string_to_object(ior_.c_str());
    return ClientCore::DataStoreSession::_unchecked_narrow(obj);
  }
  void endSession(ClientCore::DataStoreSession_ptr) override {}
  int started = 0;

 private:
  std::string ior_;
};

GetReply whole(const ReplyBody& body) { return {body.bytes(), Delivery::kWhole, 0}; }

// A raw server with the given native char code set, a store that hands it out, and a manager
// connected to it; torn down in reverse.
class Wire {
 public:
  explicit Wire(std::uint32_t serverCodeSet) : server(serverCodeSet) {
    store = new RawStore(server.ior());
    PortableServer::ObjectId_var id = Stack::instance().rootPoa()->activate_object(store);
    CORBA::Object_var obj = Stack::instance().rootPoa()->id_to_reference(id);
    bindName(kName, obj);
    DataStoreManager::init(kName);
    manager = DataStoreManager::instance();
  }
  ~Wire() {
    DataStoreManager::uninit();
    unbindName(kName);
    PortableServer::ObjectId_var id = Stack::instance().rootPoa()->servant_to_id(store);
    Stack::instance().rootPoa()->deactivate_object(id);
    store->_remove_ref();
  }

  // A successful read that leaves a and c cached and b missing, then `missing` = {"old"}.
  void prime() {
    server.answer([](const std::vector<std::string>&) {
      return whole(ReplyBody(3).value("A0").none().value("C0"));
    });
    ASSERT_TRUE(manager->get({"a", "b", "c"}, results, missing, true));
    ASSERT_EQ((Map{{"a", "A0"}, {"c", "C0"}}), manager->cache());
    missing = {"old"};
    log.clear();
  }
  // Reads a, b, c, d with caching on; true when it failed as a system exception does and left
  // everything but the session as it was.
  ::testing::AssertionResult failsWithoutTrace(const GetReply& reply) {
    server.answer([reply](const std::vector<std::string>&) { return reply; });
    const int started = store->started;
    results = {{"stale", "1"}};
    if (manager->get({"a", "b", "c", "d"}, results, missing, true)) {
      return ::testing::AssertionFailure() << "the read succeeded";
    }
    if (!results.empty()) return ::testing::AssertionFailure() << "results not emptied";
    if (missing != Keys{"old"}) {
      return ::testing::AssertionFailure() << "missing changed: " << missing.size() << " keys";
    }
    if (manager->cache() != Map{{"a", "A0"}, {"c", "C0"}}) {
      return ::testing::AssertionFailure() << "the cache changed: a=" << manager->cache().at("a");
    }
    if (log.lines() != kReset || store->started != started + 1) {
      return ::testing::AssertionFailure() << "no system exception and fresh session";
    }
    log.clear();
    return ::testing::AssertionSuccess();
  }

  RawGiopSession server;
  RawStore* store = nullptr;
  DataStoreManager* manager = nullptr;
  Map results;
  Keys missing;
  qmr_util::CaptureLog log;
  qmr_util::ScopedLog scoped{&log};
};

// A reply of a, b, c, d whose values a (new) and b (not valid) come before a long value c.
std::string fourValues() {
  return ReplyBody(4).value("A1").none().value(std::string(20000, 'c')).value("D1").bytes();
}

class ManagerWireTest : public ::testing::Test {
 protected:
  // The server's code sets of a test that runs for both: the client's own (strings are
  // copied as they are) and the other one (omniORB converts them).
  const std::vector<std::uint32_t> codeSets_ = {clientCodeSet(), otherCodeSet()};
};

TEST_F(ManagerWireTest, ConnectionLostPartWayThroughTheReplyChangesNothing) {
  for (std::uint32_t codeSet : codeSets_) {
    SCOPED_TRACE(codeSet);
    Wire wire(codeSet);
    wire.prime();
    EXPECT_TRUE(wire.failsWithoutTrace({fourValues(), Delivery::kCut, 6000}));
    EXPECT_TRUE(wire.failsWithoutTrace({fourValues(), Delivery::kFirstFragment, 4000}));
    // A whole reply of the same shape then goes through the fresh session.
    wire.server.answer([](const std::vector<std::string>&) { return GetReply{fourValues(), Delivery::kWhole, 0}; });
    ASSERT_TRUE(wire.manager->get({"a", "b", "c", "d"}, wire.results, wire.missing, true));
    EXPECT_EQ(wire.results, wire.manager->cache());
    EXPECT_EQ((Keys{"a", "c", "d"}), [&] {
      Keys found;
      for (const auto& entry : wire.results) found.insert(entry.first);
      return found;
    }());
    EXPECT_EQ((Keys{"b", "old"}), wire.missing);
    EXPECT_EQ(3, wire.server.connections());  // one per failure, then the fresh one
  }
}

TEST_F(ManagerWireTest, TruncatedRepliesAndMalformedStringsChangeNothing) {
  for (std::uint32_t codeSet : codeSets_) {
    SCOPED_TRACE(codeSet);
    Wire wire(codeSet);
    const std::vector<std::pair<const char*, ReplyBody>> replies = {
        {"four values announced, three sent", ReplyBody(4).value("A1").none().value("C1")},
        {"string length 0", ReplyBody(4).value("A1").none().malformed(0, "").value("D1")},
        {"no closing NUL", ReplyBody(4).value("A1").none().malformed(3, "C12").value("D1")},
        {"string beyond the message", ReplyBody(4).value("A1").none().malformed(1000, "C1")},
        {"more values than the message holds", ReplyBody(0x10000000).value("A1").none()},
    };
    for (const auto& reply : replies) {
      SCOPED_TRACE(reply.first);
      wire.prime();
      EXPECT_TRUE(wire.failsWithoutTrace(whole(reply.second)));
    }
  }
}

TEST_F(ManagerWireTest, ValuesPairWithTheKeysByPositionAndExtraOnesAreIgnored) {
  for (std::uint32_t codeSet : codeSets_) {
    SCOPED_TRACE(codeSet);
    Wire wire(codeSet);
    wire.prime();
    // Two values past the two keys: the read goes through with the first two.
    wire.server.answer([](const std::vector<std::string>&) {
      return whole(ReplyBody(4).value("A1").none().value("extra").none());
    });
    EXPECT_TRUE(wire.manager->get({"b", "a"}, wire.results, wire.missing, true));
    EXPECT_EQ((Map{{"a", "A1"}}), wire.results);
    EXPECT_EQ((Keys{"b", "old"}), wire.missing);
    EXPECT_EQ((Map{{"a", "A1"}, {"c", "C0"}}), wire.manager->cache());
    EXPECT_EQ((std::vector<std::string>{"a", "b"}), wire.server.gets().back());
    EXPECT_TRUE(wire.log.lines().empty());

    // The extra values are still read: a malformed one fails the read.
    wire.prime();
    EXPECT_TRUE(wire.failsWithoutTrace(
        whole(ReplyBody(5).value("A1").none().value("C1").value("D1").malformed(0, ""))));

    // Fewer values than keys: refused as it stands, without a new session.
    wire.server.answer([](const std::vector<std::string>&) {
      return whole(ReplyBody(1).value("A1"));
    });
    wire.results = {{"stale", "1"}};
    EXPECT_FALSE(wire.manager->get({"a", "b"}, wire.results, wire.missing, true));
    EXPECT_TRUE(wire.results.empty());
    EXPECT_EQ(Keys{"old"}, wire.missing);
    EXPECT_EQ((Map{{"a", "A0"}, {"c", "C0"}}), wire.manager->cache());
    EXPECT_EQ(Lines{"ERROR DataStore reply to get() holds 1 values for 2 keys"}, wire.log.lines());
    EXPECT_EQ(2, wire.store->started);
  }
}

// The server's native char code set is not the client's: keys go out and values come back
// converted, and a failure inside the conversion of the reply changes nothing either.
TEST_F(ManagerWireTest, ClientAndServerOfDifferentCharCodeSets) {
  const std::uint32_t client = clientCodeSet();
  const std::uint32_t server = otherCodeSet();
  Wire wire(server);
  wire.prime();
  EXPECT_EQ(server, wire.server.charCodeSetUsed());

  std::vector<std::string> received;
  wire.server.answer([&](const std::vector<std::string>& keys) {
    received = keys;
    return whole(ReplyBody(2).value(eAcute(server) + yDiaeresis(server)).none());
  });
  const std::string key = "k" + eAcute(client);
  EXPECT_TRUE(wire.manager->get({key, "plain"}, wire.results, wire.missing, false));
  EXPECT_EQ((std::vector<std::string>{"k" + eAcute(server), "plain"}), received);
  EXPECT_EQ((Map{{key, eAcute(client) + yDiaeresis(client)}}), wire.results);
  EXPECT_EQ((Keys{"old", "plain"}), wire.missing);
  wire.missing = {"old"};

  if (client == kIso88591) {
    // From UTF-8, text beyond ISO-8859-1 or not UTF-8 at all cannot be converted.
    for (const std::string bad : {"\xe2\x82\xac", "\xc3("}) {
      SCOPED_TRACE(bad);
      wire.prime();
      EXPECT_TRUE(wire.failsWithoutTrace(
          whole(ReplyBody(4).value("A1").none().value(bad).value("D1"))));
    }
  } else {
    // To ISO-8859-1, a key beyond it cannot be sent: the read fails before any request.
    const std::size_t gets = wire.server.gets().size();
    wire.server.answer([](const std::vector<std::string>&) { return GetReply{fourValues(), Delivery::kWhole, 0}; });
    EXPECT_FALSE(wire.manager->get({"a", "\xe2\x82\xac"}, wire.results, wire.missing, true));
    EXPECT_EQ(gets, wire.server.gets().size());
    EXPECT_EQ(Keys{"old"}, wire.missing);
    EXPECT_EQ(kReset, wire.log.lines());
    wire.log.clear();
    // Every ISO-8859-1 value converts; a string that fails inside the converter changes nothing.
    EXPECT_TRUE(wire.failsWithoutTrace(
        whole(ReplyBody(4).value("A1").none().malformed(1000, "\xe9"))));
  }
}

}  // namespace
}  // namespace qmr_test
