// StartUpTest.cc - the one ORB start-up: -ORB options picked out of a command line, the
// loopback endpoint added only when none was given; and every server that the test stack
// starts (omniNames, omniEvents, qmr-datastored) listening on loopback only.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <vector>

#include "Harness.h"
#include "qmr/util/Orb.h"
#include "qmr/util/OrbOptions.h"

namespace qmr_test {
namespace {

using qmr_util::Orb;
using qmr_util::OrbOptions;
using Strings = std::vector<std::string>;

// Parses {"prog", args...}; the ORB pairs, then "|", then the rest, or "error: ..." on failure.
std::string parsed(Strings args) {
  args.insert(args.begin(), "prog");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  OrbOptions options;
  Strings rest;
  std::string error;
  if (!options.parse(static_cast<int>(argv.size()), argv.data(), &rest, &error)) {
    return "error: " + error;
  }
  std::string out;
  for (const std::string& a : options.args()) out += a + " ";
  out += "|";
  for (const std::string& a : rest) out += " " + a;
  return out;
}

TEST(OrbOptionsTest, OrbPairsAreTakenInOrderTheRestIsLeftAndAMissingValueIsRefused) {
  EXPECT_EQ(
      "-ORBInitRef NameService=corbaloc::127.0.0.1:1/NameService -ORBtraceLevel 5 "
      "| --db x.db script.py -c",
      parsed({"--db", "x.db", "-ORBInitRef", "NameService=corbaloc::127.0.0.1:1/NameService",
              "script.py", "-ORBtraceLevel", "5", "-c"}));
  EXPECT_EQ("-ORBendPoint  | -ORB -orbX", parsed({"-ORBendPoint", "", "-ORB", "-orbX"}));

  // An ORB option without value is refused by name.
  EXPECT_EQ("error: ORB option -ORBInitRef needs a value", parsed({"-ORBInitRef"}));
  // A value never starts with '-': that is the next option, and must not be swallowed.
  EXPECT_EQ("error: ORB option -ORBInitRef needs a value", parsed({"-ORBInitRef", "--db", "x"}));
  EXPECT_EQ("error: ORB option -ORBtraceLevel needs a value",
            parsed({"-ORBendPoint", "giop:tcp::", "-ORBtraceLevel", "-ORBid", "x"}));
}

std::string startUp(const Strings& pairs) {
  OrbOptions given;
  for (size_t i = 0; i + 1 < pairs.size(); i += 2) given.add(pairs[i], pairs[i + 1]);
  const OrbOptions full = Orb::startUpOptions(given);
  std::string out;
  for (const std::string& a : full.args()) out += (out.empty() ? "" : " ") + a;
  return out;
}

TEST(OrbOptionsTest, TheLoopbackEndPointIsAddedOnlyWhenNoneWasGiven) {
  EXPECT_EQ("-ORBendPoint giop:tcp:127.0.0.1:", startUp({}));
  EXPECT_EQ("-ORBendPoint giop:tcp::5000", startUp({"-ORBendPoint", "giop:tcp::5000"}));
  // Publishing an address is not listening on one: the default still applies.
  EXPECT_EQ("-ORBendPointPublish giop:tcp:127.0.0.1:9 -ORBendPoint giop:tcp:127.0.0.1:",
            startUp({"-ORBendPointPublish", "giop:tcp:127.0.0.1:9"}));

  OrbOptions options;
  options.add("-ORBInitRef", "NameService=corbaloc::a/NameService");
  options.add("-ORBInitRef", "Other=x");
  options.add("-ORBInitRef", "NameService=corbaloc::b/NameService");
  options.addDefault("-ORBInitRef", "NameService=ignored");
  EXPECT_EQ(6u, options.args().size());
  EXPECT_EQ("corbaloc::b/NameService", options.initRef("NameService"));
  EXPECT_EQ("", options.initRef("Name"));
}

// Every TCP socket that process `pid` listens on is on loopback, and there is at least one;
// tools/qmrstack.py reads them from /proc.
::testing::AssertionResult listensOnLoopbackOnly(const std::string& what, pid_t pid) {
  TempDir dir("qmr-listening");
  int status = runToCompletion(
      {"/usr/bin/python3", sourceDir() + "/tools/qmrstack.py", "listening", std::to_string(pid)},
      dir.file("out"), 10000);
  std::ifstream in(dir.file("out"));
  std::string self, address, all;
  in >> self;
  bool ok = status == 0 && self == std::to_string(pid);
  int count = 0;
  while (in >> address) {
    all += " " + address;
    ok = ok && (address.compare(0, 4, "127.") == 0 || address.compare(0, 11, "::ffff:127.") == 0 ||
                address.compare(0, 4, "::1:") == 0);
    ++count;
  }
  if (ok && count > 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << what << " (pid " << pid << ") listens on:" << all;
}

TEST(LoopbackTest, EveryServerOfTheTestStackListensOnLoopbackOnly) {
  Stack& stack = Stack::instance();
  EXPECT_TRUE(listensOnLoopbackOnly("omniNames", stack.naming().process().pid()));
  EXPECT_TRUE(listensOnLoopbackOnly("omniEvents", stack.events().process().pid()));

  // The data store with the endpoint default, and with only a published address given,
  // which is no endpoint to listen on.
  for (const Strings& extra : {Strings{}, Strings{"-ORBendPointPublish", "giop:tcp:127.0.0.1:9"}}) {
    TempDir dir("qmr-loopback");
    DataStoreServer server;
    DataStoreServer::Options options;
    options.name = "LoopbackTest";
    options.extraArgs = extra;
    server.start(dir.path(), stack.naming(), options);
    EXPECT_TRUE(listensOnLoopbackOnly("qmr-datastored", server.process().pid()))
        << extra.size() << " extra arguments";
  }
}

}  // namespace
}  // namespace qmr_test
