// ProcessTest.cc - qmr-datastored as a program: its command line, its start-up refusals with
// their messages and exit codes, its ready line, and its clean stop on SIGTERM.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

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
       {"--db", "--name", "--ior-file", "--max-transaction", "--max-transaction-bytes",
        "--max-sessions",
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

TEST_F(ProcessTest, UnreachableOrSilentNamingServiceIsReported) {
  std::string nowhere = "corbaloc::127.0.0.1:" + std::to_string(freeLoopbackPort()) +
                        "/NameService";
  ExitedRun run = runToExit(dir_, {"--db", dir_.file("n.db"), "-ORBInitRef",
                                   "NameService=" + nowhere});
  EXPECT_EQ(run.exitCode, 4) << run.output;
  EXPECT_NE(run.output.find("cannot reach the Naming Service at " + nowhere),
            std::string::npos)
      << run.output;

  // A port that accepts connections but never answers, like a hung naming service.
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 8), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  std::string silent = "corbaloc::127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) +
                       "/NameService";
  auto started = std::chrono::steady_clock::now();
  run = runToExit(dir_, {"--db", dir_.file("n.db"), "-ORBInitRef", "NameService=" + silent,
                         "-ORBclientCallTimeOutPeriod", "500"});
  ::close(fd);
  EXPECT_EQ(run.exitCode, 4) << run.output;
  EXPECT_NE(run.output.find("cannot reach the Naming Service at " + silent), std::string::npos)
      << run.output;
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
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

  int status = server_->stop();
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(bound(name));
  EXPECT_NE(serverLog().find("name '" + name + "' unbound"), std::string::npos) << serverLog();
}

TEST_F(ProcessTest, SigintStopsCleanlyAndLogLevelFiltersLines) {
  startServer({"--log-level", "warning"});
  ClientCore::DataStoreSession_var s = newSession();
  s->set(entries({{"a", "1"}}));
  s->commit();
  ASSERT_TRUE(bound(testName()));
  ::kill(server_->process().pid(), SIGINT);
  int status = server_->process().wait(5000);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_FALSE(bound(testName()));
  std::string log = serverLog();
  EXPECT_NE(log.find("qmr-datastored: ready"), std::string::npos) << log;
  EXPECT_EQ(log.find("INFO "), std::string::npos) << "info lines are below --log-level warning";
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

// Connects to 127.0.0.1:port, sends `bytes`, waits a little for the server to react, closes.
void sendRaw(int port, const std::string& bytes) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(fd, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  EXPECT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ::close(fd);
}

TEST_F(ProcessTest, MalformedGiopBytesDoNotDisturbOtherClients) {
  int port = freeLoopbackPort();
  startServer({"-ORBendPoint", "giop:tcp:127.0.0.1:" + std::to_string(port)});
  ClientCore::DataStoreSession_var s = newSession();
  s->set(entries({{"a", "1"}}));
  const std::string header("GIOP\x01\x02\x01\x00", 8);  // GIOP 1.2, little endian, Request
  sendRaw(port, "HELLO this is not GIOP at all\r\n\r\n");
  sendRaw(port, header + std::string("\xff\xff\xff\x7f", 4) + "a huge message announced");
  sendRaw(port, header + std::string("\x40\x00\x00\x00", 4) + std::string(64, '\xee'));
  sendRaw(port, header.substr(0, 5));
  std::string noise;
  for (int i = 0; i < 4096; ++i) noise += static_cast<char>((i * 7919) & 0xff);
  sendRaw(port, noise);

  EXPECT_TRUE(server_->running());
  EXPECT_EQ(read1(s, "a"), Value("1")) << "the session of a well-behaved client goes on";
  s->commit();
  ClientCore::DataStoreSession_var other = newSession();
  EXPECT_EQ(read1(other, "a"), Value("1"));
  EXPECT_NE(serverLog().find("not a GIOP message"), std::string::npos) << serverLog();
}

}  // namespace
}  // namespace qmr_test
