// FairnessTest.cc - what a client of another user can do to the sessions of others: a flood of
// sessions ends only the flooder's own, a client that leaves a session behind at every failed
// call (the library's manager) never locks itself out, and one client's pending changes leave
// room for another's. The hostile client runs as nobody and reaches the server through a Unix
// socket, where the server knows its user from the kernel. It links only system libraries, so
// it runs as nobody even from a build tree in a folder nobody may read (a clone in /root).
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <set>

#include "DataStoreFixture.h"

namespace qmr_test {
namespace {

using ClientCore::DataStoreSession_var;

class FairnessTest : public DataStoreTest {
 protected:
  FairnessTest() : socketDir_("qmr-fair") {
    // nobody must reach the socket: the folder is searchable, not listable.
    ::chmod(socketDir_.path().c_str(), 0711);
  }

  // Starts the server on a Unix socket that every user may connect to (and loopback TCP).
  void startShared(std::vector<std::string> flags) {
    flags.insert(flags.end(),
                 {"-ORBendPoint", "giop:unix:" + socketDir_.file("datastore.sock"), "-ORBendPoint",
                  "giop:tcp:127.0.0.1:", "-ORBunixTransportPermission", "0777"});
    startServer(flags);
  }

  // Runs `argv` as nobody and returns what it printed; fails the test unless it exits 0.
  std::string runAsNobody(std::vector<std::string> argv) {
    argv.insert(argv.begin(),
                {"setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", "--"});
    return run(argv);
  }

  // Runs `argv` and returns what it printed; fails the test unless it exits 0.
  std::string run(const std::vector<std::string>& argv) {
    Process p;
    p.start(argv, dir_.file("run-" + std::to_string(++runs_) + ".log"));
    int status = p.wait(60000);
    if (status == -1) p.kill9();
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << p.log();
    return p.log();
  }

  // qmr-session-flood as nobody: `sessions` sessions, up to `sets` sets of `bytes` each.
  std::string floodAsNobody(int sessions, int sets, int bytes) {
    return runAsNobody({buildDir() + "/bin/qmr-session-flood", server_->ior(),
                        std::to_string(sessions), std::to_string(sets), std::to_string(bytes)});
  }

  // The clients whose sessions the server ended to make room, from its log.
  std::set<std::string> evictedClients() {
    std::set<std::string> clients;
    static const std::regex ended("session [0-9]+ of client (\\S+) ended after");
    std::string log = serverLog();
    for (std::sregex_iterator it(log.begin(), log.end(), ended), end; it != end; ++it) {
      clients.insert((*it)[1]);
    }
    return clients;
  }

  TempDir socketDir_;
  int runs_ = 0;
};

// 200 sessions of another user fill a table of 16 many times over: the server ends the
// flooder's idle sessions, never the two of this client, which is within its fair share.
TEST_F(FairnessTest, ASessionFloodOfAnotherUserEndsOnlyTheFloodersOwnSessions) {
  startShared({"--max-sessions", "16"});
  DataStoreSession_var mine = newSession();
  mine->set(entries({{"mine", "kept"}}));
  DataStoreSession_var idle = newSession();
  idle->set(entries({{"idle", "also kept"}}));
  std::string out = floodAsNobody(200, 1, 10);
  EXPECT_NE(out.find("started=200 sets=200 refused-sessions=0"), std::string::npos) << out;
  EXPECT_TRUE(logHas("started for client uid:65534"));
  EXPECT_EQ(evictedClients(), std::set<std::string>{"uid:65534"}) << serverLog();
  EXPECT_TRUE(logHas("over its fair share of 8 among 2 clients"));
  // Both sessions of this client lived through the flood with their pending changes.
  mine->commit();
  idle->commit();
  EXPECT_EQ(read1(mine, "idle"), Value("also kept"));
  EXPECT_EQ(read1(idle, "mine"), Value("kept"));
  // The flood wrote at most 20 lines of each kind per 10 s; the others are counted, at the
  // latest when the server stops: 202 sessions started, 186 of the flooder's ended.
  ASSERT_EQ(server_->stop(), 0);
  const std::string log = serverLog();
  auto tally = [&](const std::string& line) {
    std::regex written("\\n(INFO|WARNING) " + line);
    std::regex counted(
        "\\n(INFO|WARNING) ([0-9]+) similar messages suppressed \\(at most 20 per "
        "10 s\\), the last: " +
        line);
    long shown = std::distance(std::sregex_iterator(log.begin(), log.end(), written),
                               std::sregex_iterator());
    long held = 0;
    for (std::sregex_iterator it(log.begin(), log.end(), counted), end; it != end; ++it) {
      held += std::stol((*it)[2]);
    }
    EXPECT_GT(held, 0) << line;
    return std::make_pair(shown, shown + held);
  };
  auto started = tally("session [0-9]+ started for client");
  auto ended = tally("session [0-9]+ of client uid:65534 ended after");
  EXPECT_LE(started.first, 40) << log;
  EXPECT_EQ(started.second, 202) << log;
  EXPECT_LE(ended.first, 40) << log;
  EXPECT_EQ(ended.second, 186) << log;
}

// Over loopback TCP the server knows a client's user from the kernel too, so twenty processes
// of another user, each on a connection of its own and leaving 5 sessions behind, are one
// client: with --max-sessions 16 they end only their own sessions, never the two of this
// client. Counted per connection they would be twenty clients, and this one over its share.
TEST_F(FairnessTest, ProcessesOfOneUserOnLoopbackTcpAreOneClient) {
  startServer({"--max-sessions", "16", "-ORBendPoint", "giop:tcp:127.0.0.1:"});
  DataStoreSession_var mine = newSession();
  mine->set(entries({{"mine", "kept"}}));
  DataStoreSession_var idle = newSession();
  idle->set(entries({{"idle", "also kept"}}));
  for (int i = 0; i < 20; ++i) floodAsNobody(5, 1, 10);
  const std::string me = "uid:" + std::to_string(::getuid());
  EXPECT_TRUE(logHas("session 1 started for client " + me));
  EXPECT_TRUE(logHas("started for client uid:65534"));
  EXPECT_EQ(evictedClients(), std::set<std::string>{"uid:65534"}) << serverLog();
  mine->commit();
  idle->commit();
  EXPECT_EQ(read1(mine, "idle"), Value("also kept"));
}

// The library's manager starts a new session after every failed call and never ends the one
// it replaces. 200 failures leave 200 sessions behind; the client's quota (64) makes room from
// its own idlest, so the next normal call still works and the manager never says it could not
// connect. It runs as the test's own user: qmr-host loads its libraries from the build tree,
// which another user may not be able to reach (a clone in root's home).
TEST_F(FairnessTest, TheManagerStillWorksAfter200FailedCallsInARow) {
  startShared({"--max-value-bytes", "16"});
  const std::string script =
      "import _datastore\n"
      "for i in range(200):\n"
      "    assert _datastore.set([('k%d' % i, 'x' * 32, 0)]) == 0, i\n"
      "assert _datastore.set([('after', 'fine', 0)]) == 1\n"
      "assert _datastore.commit() == 1\n"
      "status, found, missing = _datastore.get(['after'], None)\n"
      "assert found == {'after': 'fine'}, found\n"
      "print('manager ok')\n";
  std::vector<std::string> argv = {buildDir() + "/bin/qmr-host"};
  for (const std::string& arg : Stack::instance().orbArgs()) argv.push_back(arg);
  argv.insert(argv.end(), {"--datastore", server_->ior(), "-c", script});
  std::string out = run(argv);
  EXPECT_NE(out.find("manager ok"), std::string::npos) << out;
  EXPECT_EQ(out.find("NOT established"), std::string::npos) << out;
  const std::string me = "uid:" + std::to_string(::getuid());
  EXPECT_TRUE(logHas("client " + me + " had --max-sessions-per-client 64 open"));
  EXPECT_EQ(evictedClients(), std::set<std::string>{me});
}

// Another user's sessions set 100 kB values until refused: it gets at most half of
// --max-pending-bytes, and this client's small set and a larger one still fit.
TEST_F(FairnessTest, PendingChangesOfOneClientLeaveRoomForAnothersSet) {
  startShared({"--max-pending-bytes", "1000000", "--max-value-bytes", "400000"});
  std::string out = floodAsNobody(10, 20, 100000);
  // Four sets of 100,009 bytes (key and value) fit in a share of 500,000; every later one is
  // refused.
  EXPECT_NE(out.find("started=10 sets=4 refused-sessions=0 refused-sets=10"), std::string::npos)
      << out;
  EXPECT_TRUE(
      logHas("client uid:65534 holds "));
  EXPECT_TRUE(logHas("more exceed its share of --max-pending-bytes 1000000 (500000"));
  DataStoreSession_var s = newSession();
  s->set(entries({{"small", "0123456789"}}));
  s->set(entries({{"larger", std::string(300000, 'l')}}));  // within a share of 333,333
  EXPECT_THROW(s->set(entries({{"more", std::string(100000, 'm')}})), CORBA::NO_MEMORY);
  s->commit();
  EXPECT_EQ(read1(s, "small"), Value("0123456789"));
}

}  // namespace
}  // namespace qmr_test
