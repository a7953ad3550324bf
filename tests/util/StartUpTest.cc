// StartUpTest.cc - the one ORB start-up: -ORB options picked out of a command line, the
// installation's ORB configuration and the Unix socket endpoint added only where nothing was
// given; and every server that the test stack starts (omniNames, omniEvents, qmr-datastored)
// listening on its Unix socket only.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "Harness.h"
#include "qmr/util/Log.h"
#include "qmr/util/Orb.h"
#include "qmr/util/OrbOptions.h"

namespace qmr_test {
namespace {

using qmr_util::CaptureLog;
using qmr_util::Orb;
using qmr_util::OrbOptions;
using qmr_util::ScopedLog;
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

// Sets QMR_ORB_CONF for the lifetime of the guard ("" : no configuration file), so that a
// file installed on the machine running the tests decides nothing.
class ScopedOrbConf {
 public:
  explicit ScopedOrbConf(const std::string& path) {
    const char* old = std::getenv("QMR_ORB_CONF");
    had_ = old != nullptr;
    if (had_) old_ = old;
    ::setenv("QMR_ORB_CONF", path.c_str(), 1);
  }
  ~ScopedOrbConf() {
    if (had_) {
      ::setenv("QMR_ORB_CONF", old_.c_str(), 1);
    } else {
      ::unsetenv("QMR_ORB_CONF");
    }
  }

 private:
  bool had_ = false;
  std::string old_;
};

std::string startUp(const Strings& pairs) {
  OrbOptions given;
  for (size_t i = 0; i + 1 < pairs.size(); i += 2) given.add(pairs[i], pairs[i + 1]);
  const OrbOptions full = Orb::startUpOptions(given);
  std::string out;
  for (const std::string& a : full.args()) out += (out.empty() ? "" : " ") + a;
  return out;
}

TEST(OrbOptionsTest, TheUnixEndPointIsAddedOnlyWhenNoneWasGiven) {
  ScopedOrbConf none("");
  EXPECT_EQ("-ORBendPoint giop:unix:", startUp({}));
  EXPECT_EQ("-ORBendPoint giop:tcp::5000", startUp({"-ORBendPoint", "giop:tcp::5000"}));
  // Publishing an address is not listening on one: the default still applies.
  EXPECT_EQ("-ORBendPointPublish giop:tcp:127.0.0.1:9 -ORBendPoint giop:unix:",
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

TEST(OrbConfigTest, TheInstallationsSettingsAreDefaultsThatTheCommandLineOverrides) {
  TempDir dir("qmr-orbconf");
  std::ofstream(dir.file("orb.conf"))
      << "# where the packaged naming service is\n"
      << "InitRef = NameService=corbaloc:omniunix:/run/qmr/names.sock:/NameService\n"
      << "\n"
      << "  InitRef=Spooler=corbaloc::127.0.0.1:9/Spooler   # a comment after a setting\n"
      << "clientCallTimeOutPeriod = 2000\n";
  ScopedOrbConf conf(dir.file("orb.conf"));
  EXPECT_EQ(
      "-ORBInitRef NameService=corbaloc:omniunix:/run/qmr/names.sock:/NameService "
      "-ORBInitRef Spooler=corbaloc::127.0.0.1:9/Spooler -ORBclientCallTimeOutPeriod 2000 "
      "-ORBendPoint giop:unix:",
      startUp({}));
  // A NameService on the command line wins over the file's; the file's other ids stay, and so
  // does each setting the command line does not name.
  EXPECT_EQ(
      "-ORBInitRef NameService=corbaloc::h:1/NameService -ORBclientCallTimeOutPeriod 50 "
      "-ORBInitRef Spooler=corbaloc::127.0.0.1:9/Spooler -ORBendPoint giop:unix:",
      startUp({"-ORBInitRef", "NameService=corbaloc::h:1/NameService",
               "-ORBclientCallTimeOutPeriod", "50"}));

  // QMR_ORB_CONF naming a file that is not there: no defaults, no complaint.
  ScopedOrbConf missing(dir.file("absent.conf"));
  CaptureLog log;
  ScopedLog scope(&log);
  EXPECT_EQ("-ORBendPoint giop:unix:", startUp({}));
  EXPECT_TRUE(log.lines().empty());
}

TEST(OrbConfigTest, ABrokenLineIsReportedWithItsPlaceAndTheLinesBeforeItStillCount) {
  TempDir dir("qmr-orbconf");
  std::ofstream(dir.file("orb.conf")) << "traceLevel = 1\n"
                                      << "InitRef NameService=corbaloc::h:1/NameService\n"
                                      << "traceExceptions = 1\n";
  ScopedOrbConf conf(dir.file("orb.conf"));
  CaptureLog log;
  ScopedLog scope(&log);
  EXPECT_EQ("-ORBtraceLevel 1 -ORBendPoint giop:unix:", startUp({}));
  ASSERT_EQ(1u, log.lines().size());
  EXPECT_EQ("WARNING " + dir.file("orb.conf") +
                ":2: expected 'Name = value' (as in 'InitRef = "
                "NameService=corbaloc:omniunix:/run/qmr/names.sock:/NameService'), found "
                "'InitRef NameService=corbaloc::h:1/NameService'",
            log.lines()[0]);
}

// The addresses that process `pid` listens on, as tools/qmrstack.py reads them from /proc:
// "ADDRESS:PORT" for TCP, "unix:PATH" for Unix sockets.
Strings listening(pid_t pid) {
  TempDir dir("qmr-listening");
  int status = runToCompletion(
      {"/usr/bin/python3", sourceDir() + "/tools/qmrstack.py", "listening", std::to_string(pid)},
      dir.file("out"), 10000);
  std::ifstream in(dir.file("out"));
  std::string self, address;
  in >> self;
  Strings found;
  if (status != 0 || self != std::to_string(pid)) return {"(qmrstack.py listening failed)"};
  while (in >> address) found.push_back(address);
  return found;
}

// Process `pid` listens on the Unix socket `socket` and on nothing else that anyone can
// connect to: no TCP port, and no other socket with a name in the file system (omniEvents'
// own TCP port becomes a socket whose name is gone, see tools/confine/confine.c).
::testing::AssertionResult listensOnlyOn(const std::string& what, pid_t pid,
                                         const std::string& socket) {
  Strings found = listening(pid);
  std::string all;
  bool ok = false;
  for (const std::string& a : found) all += " " + a;
  for (const std::string& a : found) {
    if (a == "unix:" + socket) {
      ok = true;
    } else if (a.compare(0, 5, "unix:") != 0 || ::access(a.c_str() + 5, F_OK) == 0) {
      return ::testing::AssertionFailure() << what << " (pid " << pid << ") also listens on "
                                           << a << "; all:" << all;
    }
  }
  if (ok) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << what << " (pid " << pid << ") does not listen on "
                                       << socket << "; it listens on:" << all;
}

TEST(UnixSocketTest, EveryServerOfTheTestStackListensOnItsSocketOnly) {
  Stack& stack = Stack::instance();
  EXPECT_TRUE(listensOnlyOn("omniNames", stack.naming().process().pid(),
                            stack.naming().socketPath()));
  EXPECT_TRUE(listensOnlyOn("omniEvents", stack.events().process().pid(),
                            stack.dir().file("events/events.sock")));

  TempDir dir("qmr-unix");
  DataStoreServer server;
  DataStoreServer::Options options;
  options.name = "UnixSocketTest";
  server.start(dir.path(), stack.naming(), options);
  EXPECT_TRUE(listensOnlyOn("qmr-datastored", server.process().pid(), dir.file("datastore.sock")));
}

}  // namespace
}  // namespace qmr_test
