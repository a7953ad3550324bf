// ProcessTest.cc - qmr-datastored as a program: its command line, its start-up refusals with
// their messages and exit codes, its ready line, and its clean stop on SIGTERM.
#include <sys/wait.h>

#include <fstream>

#include "DataStoreFixture.h"
#include "qmr/util/Lookup.h"

namespace qmr_test {
namespace {

std::string binary() { return buildDir() + "/bin/qmr-datastored"; }

struct ExitedRun {
  int exitCode = -1;  // -1: did not exit by itself in time
  std::string output;
};

// Runs the server with `args` and waits for it to exit by itself.
ExitedRun runToExit(const TempDir& dir, std::vector<std::string> args, int timeoutMs = 10000) {
  args.insert(args.begin(), binary());
  Process p;
  std::string logFile = dir.file("run-" + std::to_string(::rand()) + ".log");
  p.start(args, logFile);
  int status = p.wait(timeoutMs);
  ExitedRun run;
  if (status == -1) {
    p.kill9();
  } else if (WIFEXITED(status)) {
    run.exitCode = WEXITSTATUS(status);
  }
  run.output = p.log();
  return run;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

bool bound(const std::string& name) {
  try {
    CORBA::Object_var obj = qmr_util::raw_lookup(name);
    return !CORBA::is_nil(obj.in());
  } catch (const CORBA::Exception&) {
    return false;
  }
}

using ProcessTest = DataStoreTest;

TEST_F(ProcessTest, HelpDocumentsEveryFlag) {
  ExitedRun run = runToExit(dir_, {"--help"});
  EXPECT_EQ(run.exitCode, 0);
  for (const char* flag :
       {"--db", "--name", "--ior-file", "--max-transaction", "--max-sessions",
        "--session-timeout", "--max-key-bytes", "--max-value-bytes", "--max-message-bytes",
        "--busy-timeout", "--log-level", "--help", "-ORBendPoint", "SIGTERM"}) {
    EXPECT_NE(run.output.find(flag), std::string::npos) << flag;
  }
}

TEST_F(ProcessTest, BadCommandLinesExitWithAMessage) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--db", dir_.file("a.db"), "--bogus"}, "unknown option '--bogus'"},
      {{"--db", dir_.file("a.db"), "--max-transaction", "ten"},
       "--max-transaction needs a whole number >= 1, not 'ten'"},
      {{"--db", dir_.file("a.db"), "--session-timeout", "-1"},
       "--session-timeout needs a number of seconds >= 0"},
      {{"--db", dir_.file("a.db"), "--log-level", "loud"}, "--log-level needs one of"},
      {{"--name", "x"}, "--db is required"},
      {{"--db"}, "--db needs a value"},
      {{"--db", dir_.file("a.db"), "stray"}, "unexpected argument 'stray'"},
  };
  for (const Case& c : cases) {
    ExitedRun run = runToExit(dir_, c.args);
    EXPECT_EQ(run.exitCode, 2) << run.output;
    EXPECT_NE(run.output.find(c.message), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Try 'qmr-datastored --help'"), std::string::npos);
  }
}

TEST_F(ProcessTest, UnusableDatabasePathIsReported) {
  // A regular file where the folder should be: not even root can create the database there.
  std::ofstream(dir_.file("plain-file")) << "x";
  ExitedRun run = runToExit(dir_, {"--db", dir_.file("plain-file") + "/datastore.db",
                             "-ORBInitRef", Stack::instance().naming().initRef()});
  EXPECT_EQ(run.exitCode, 3) << run.output;
  EXPECT_NE(run.output.find("cannot open database " + dir_.file("plain-file") +
                            "/datastore.db"),
            std::string::npos)
      << run.output;
}

TEST_F(ProcessTest, DamagedDatabaseIsRefusedAndLeftAsItWas) {
  std::string garbage;
  for (int i = 0; i < 600; ++i) garbage += "this is not a database file ";
  std::ofstream(dir_.file("garbage.db"), std::ios::binary) << garbage;
  ExitedRun run = runToExit(dir_, {"--db", dir_.file("garbage.db"), "-ORBInitRef",
                             Stack::instance().naming().initRef()});
  EXPECT_EQ(run.exitCode, 3) << run.output;
  EXPECT_NE(run.output.find("is damaged"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("refusing to start"), std::string::npos) << run.output;
  EXPECT_EQ(readAll(dir_.file("garbage.db")), garbage) << "the file must not be replaced";

  // A real database cut in half, as a torn copy would be.
  startServer();
  std::vector<Put> puts;
  for (int i = 0; i < 2000; ++i) puts.push_back({"key" + std::to_string(i), std::string(100, 'v')});
  commitAll(puts);
  ASSERT_EQ(server_->stop(), 0);
  std::string whole = readAll(server_->dbPath());
  ASSERT_GT(whole.size(), 100000u);
  std::string torn = whole.substr(0, whole.size() / 2);
  std::ofstream(server_->dbPath(), std::ios::binary | std::ios::trunc) << torn;
  run = runToExit(dir_, {"--db", server_->dbPath(), "-ORBInitRef",
                         Stack::instance().naming().initRef()});
  EXPECT_EQ(run.exitCode, 3) << run.output;
  EXPECT_NE(run.output.find("is damaged"), std::string::npos) << run.output;
  EXPECT_EQ(readAll(server_->dbPath()), torn) << "the file must not be replaced";
}

TEST_F(ProcessTest, UnreachableNamingServiceIsReported) {
  std::string nowhere = "corbaloc::127.0.0.1:" + std::to_string(freeLoopbackPort()) +
                        "/NameService";
  ExitedRun run = runToExit(dir_, {"--db", dir_.file("n.db"), "-ORBInitRef", "NameService=" + nowhere});
  EXPECT_EQ(run.exitCode, 4) << run.output;
  EXPECT_NE(run.output.find("cannot reach the Naming Service at " + nowhere),
            std::string::npos)
      << run.output;
}

TEST_F(ProcessTest, ReadyLineNameBindingAndSigtermUnbinding) {
  startServer({"--log-level", "info"});
  std::string name = testName();
  EXPECT_NE(serverLog().find("qmr-datastored: ready, DataStore bound as '" + name +
                             "', database " + server_->dbPath()),
            std::string::npos)
      << serverLog();
  ASSERT_TRUE(bound(name));
  CORBA::Object_var obj = qmr_util::raw_lookup(name);
  EXPECT_TRUE(obj->_is_equivalent(store_.in())) << "the name refers to this server";
  std::string ior = server_->iorFile();

  int status = server_->stop();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(bound(name));
  EXPECT_NE(serverLog().find("name '" + name + "' unbound"), std::string::npos) << serverLog();
}

TEST_F(ProcessTest, StoppingAnOlderServerLeavesTheNewerOnesBinding) {
  startServer();
  DataStoreServer newer;
  TempDir newerDir("qmr-datastored-newer");
  DataStoreServer::Options options;
  options.name = testName();
  newer.start(newerDir.path(), Stack::instance().naming(), options);
  EXPECT_EQ(server_->stop(), 0);
  ASSERT_TRUE(bound(testName()));
  CORBA::Object_var obj = qmr_util::raw_lookup(testName());
  CORBA::Object_var newerRef = Stack::instance().orb()->string_to_object(newer.ior().c_str());
  EXPECT_TRUE(obj->_is_equivalent(newerRef.in()));
  newer.stop();
}

}  // namespace
}  // namespace qmr_test
