// DbWaitTest.cc - every wait on a PostgreSQL database is bounded by --db-timeout: a database
// that stops answering (SIGSTOP) fails calls with TRANSIENT in time and the server serves again
// once it answers; a commit waiting for a synchronous standby that is gone is reported failed
// as "outcome unknown", never as success; SIGTERM stops the server whatever the database does.
#include <dirent.h>
#include <signal.h>
#include <sys/wait.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "DataStoreFixture.h"

namespace qmr_test {
namespace {

using ClientCore::DataStoreSession_ptr;
using ClientCore::DataStoreSession_var;
using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// The processes whose parent is `pid` (a postmaster's backends and helpers).
std::vector<pid_t> childrenOf(pid_t pid) {
  std::vector<pid_t> children;
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return children;
  while (dirent* entry = ::readdir(proc)) {
    pid_t candidate = static_cast<pid_t>(std::atoi(entry->d_name));
    if (candidate <= 0) continue;
    std::ifstream stat("/proc/" + std::string(entry->d_name) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), {});
    // "pid (comm) state ppid ...": comm may hold spaces, so read after its closing bracket.
    size_t close = text.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(text.substr(close + 1));
    char state;
    pid_t parent = 0;
    rest >> state >> parent;
    if (parent == pid) children.push_back(candidate);
  }
  ::closedir(proc);
  return children;
}

// Stops a PostgreSQL server of this test (its postmaster and every process it started) with
// SIGSTOP, and lets it go on with SIGCONT when resumed or destroyed: a database that hangs.
class Frozen {
 public:
  explicit Frozen(PostgresServer& pg) : postmaster_(pg.process().pid()) {
    pids_ = childrenOf(postmaster_);
    pids_.push_back(postmaster_);
    for (pid_t pid : pids_) ::kill(pid, SIGSTOP);
  }
  ~Frozen() { resume(); }
  void resume() {
    for (pid_t pid : pids_) ::kill(pid, SIGCONT);
    pids_.clear();
  }

 private:
  pid_t postmaster_;
  std::vector<pid_t> pids_;
};

class DbWaitTest : public DataStoreTest {
 protected:
  // A PostgreSQL server of this test's own (it is stopped and reconfigured), and a data store
  // on it with --db-timeout `timeout`.
  void startOn(PostgresServer& pg, const std::string& timeout) {
    pg.start(dir_.file("pg"));
    db_ = pg.conninfo();
    startServer({"--db-timeout", timeout});
    // Without bounded waits the calls below would block for ever; the client gives up after
    // 20 s so that such a server fails the test instead of hanging it.
    omniORB::setClientCallTimeout(store_.in(), 20000);
  }
  DataStoreSession_ptr session() {
    DataStoreSession_ptr s = newSession();
    omniORB::setClientCallTimeout(s, 20000);
    return s;
  }
};

TEST_F(DbWaitTest, AHungDatabaseFailsCallsInTimeAndTheServerServesAgainOnceItAnswers) {
  PostgresServer pg;
  startOn(pg, "1");
  commitAll({{"before", "1"}});
  DataStoreSession_var reader = session();
  DataStoreSession_var writer = session();
  ASSERT_EQ(read1(reader, "before"), Value("1"));
  writer->set(entries({{"during", "2"}}));

  Frozen frozen(pg);
  Clock::time_point start = Clock::now();
  EXPECT_THROW(read1(reader, "before"), CORBA::TRANSIENT);
  double getSeconds = secondsSince(start);
  start = Clock::now();
  EXPECT_THROW(writer->commit(), CORBA::TRANSIENT) << "nothing was sent: safe to retry";
  double commitSeconds = secondsSince(start);
  // Calls that come later are bounded as well: they connect again, which is bounded too.
  start = Clock::now();
  DataStoreSession_var late = session();
  EXPECT_THROW(read1(late, "before"), CORBA::TRANSIENT);
  double lateSeconds = secondsSince(start);
  std::printf("[ figures  ] database stopped: get failed after %.2f s, commit after %.2f s, a "
              "later get after %.2f s (--db-timeout 1)\n",
              getSeconds, commitSeconds, lateSeconds);
  EXPECT_LT(getSeconds, 3.0);
  EXPECT_LT(commitSeconds, 3.0);
  EXPECT_LT(lateSeconds, 4.0);
  EXPECT_TRUE(logHas("get of 1 keys failed (TRANSIENT): database " + pg.conninfo() +
                     ": get: no answer within --db-timeout (1000 ms)"));
  EXPECT_TRUE(logHas("commit of 1 changes failed, they stay pending (TRANSIENT): database " +
                     pg.conninfo()));

  frozen.resume();
  // The server connects again by itself; the change that stayed pending is committed now.
  EXPECT_TRUE(readsAgain(reader, "before", Value("1")));
  writer->commit();
  EXPECT_EQ(read(late, {"before", "during"}), (Values{"1", "2"}));
}

// The sessions whose commit waits for a synchronous standby.
constexpr char kSyncRepWaiters[] = "FROM pg_stat_activity WHERE wait_event = 'SyncRep'";

// Whether a commit on `pg` now waits for a synchronous standby. A reloaded
// synchronous_standby_names takes effect when the checkpointer has read it, some time after
// pg_reload_conf() returned, so tests that change it wait for this to turn. A probe commit
// that waits is cancelled at once. It inserts a row into table sync_probe, which the test
// makes first: a commit that wrote nothing to the WAL does not wait, and a temporary table
// would make the probe's session wait again as it drops the table on its way out.
bool commitsWaitForAStandby(PostgresServer& pg) {
  std::atomic<bool> done{false};
  std::thread probe([&] {
    pg.query("INSERT INTO sync_probe VALUES (1)");
    done = true;
  });
  bool waits = false;
  while (!done && !waits) {
    waits = pg.query(std::string("SELECT count(*) ") + kSyncRepWaiters) == "1";
    if (!waits) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (waits) pg.query(std::string("SELECT pg_cancel_backend(pid) ") + kSyncRepWaiters);
  probe.join();
  return waits;
}

TEST_F(DbWaitTest, ACommitThatAGoneSynchronousStandbyHoldsUpIsReportedFailedAsOutcomeUnknown) {
  PostgresServer pg;
  startOn(pg, "3");
  pg.query("CREATE TABLE sync_probe (x int)");
  // As after a failover that left the promoted server naming its old standby: every commit
  // is written locally and then waits for a standby that never comes.
  pg.query("ALTER SYSTEM SET synchronous_standby_names = 'gone'");
  pg.query("SELECT pg_reload_conf()");
  ASSERT_TRUE(eventually([&] { return commitsWaitForAStandby(pg); }, 10000));
  const std::string waiting = kSyncRepWaiters;

  // The wait cancelled (here by an administrator): COMMIT then returns, with a warning that
  // the transaction is committed locally but maybe not replicated.
  DataStoreSession_var s = session();
  s->set(entries({{"k", "v"}}));
  std::thread cancel([&] {
    if (eventually([&] { return pg.query("SELECT count(*) " + waiting) == "1"; }, 10000)) {
      pg.query("SELECT pg_cancel_backend(pid) " + waiting);
    }
  });
  Clock::time_point start = Clock::now();
  EXPECT_THROW(s->commit(), CORBA::PERSIST_STORE) << "a commit of unknown outcome never succeeds";
  double cancelled = secondsSince(start);
  cancel.join();
  EXPECT_TRUE(logHas("commit outcome unknown (the database warned: WARNING:  canceling wait for "
                     "synchronous replication"));

  // Nobody cancels: the wait ends at --db-timeout, with the connection given up.
  start = Clock::now();
  EXPECT_THROW(s->commit(), CORBA::PERSIST_STORE);
  double timedOut = secondsSince(start);
  std::printf("[ figures  ] commit held up by a gone synchronous standby: failed after %.2f s "
              "when its wait was cancelled, %.2f s at --db-timeout 3\n",
              cancelled, timedOut);
  EXPECT_LT(timedOut, 5.0);
  EXPECT_TRUE(logHas("database " + pg.conninfo() + ": commit outcome unknown (database " + pg.conninfo() +
                     ": COMMIT: no answer within --db-timeout (3000 ms)"));

  // The changes stay pending, and commit once the standby requirement is lifted.
  pg.query("ALTER SYSTEM RESET synchronous_standby_names");
  pg.query("SELECT pg_reload_conf()");
  ASSERT_TRUE(eventually([&] { return !commitsWaitForAStandby(pg); }, 10000));
  s->set(entries({{"k2", "v2"}}));
  s->commit();
  DataStoreSession_var check = session();
  EXPECT_EQ(read(check, {"k", "k2"}), (Values{"v", "v2"}));
}

TEST_F(DbWaitTest, SigtermStopsTheServerWithinTwoSecondsWhileTheDatabaseHangs) {
  PostgresServer pg;
  // A long timeout: the calls in progress would wait half a minute.
  startOn(pg, "30");
  commitAll({{"k", "v"}});
  DataStoreSession_var reader = session();
  DataStoreSession_var writer = session();
  writer->set(entries({{"w", "1"}}));
  Frozen frozen(pg);
  std::thread get([&] {
    try {
      read1(reader, "k");
    } catch (const CORBA::SystemException&) {
    }
  });
  std::thread commit([&] {
    try {
      writer->commit();
    } catch (const CORBA::SystemException&) {
    }
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // both wait on the database
  Clock::time_point start = Clock::now();
  ::kill(server_->process().pid(), SIGTERM);
  int status = server_->process().wait(10000);
  double seconds = secondsSince(start);
  std::printf("[ figures  ] SIGTERM with two calls waiting on a stopped database: exited after "
              "%.2f s\n",
              seconds);
  get.join();
  commit.join();
  ASSERT_NE(status, -1) << "the server did not stop within 10 s";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  EXPECT_LT(seconds, 2.0);
}

}  // namespace
}  // namespace qmr_test
