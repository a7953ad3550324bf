// DataStoreFixture.h - a real qmr-datastored per test, reached through the test's ORB, on an
// SQLite file or in a schema of its own in the binary's PostgreSQL (EngineTest runs a test on
// both), and short helpers that run programs and search the server's log.
#ifndef QMR_TESTS_DATASTORED_FIXTURE_H
#define QMR_TESTS_DATASTORED_FIXTURE_H

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Harness.h"
#include "Requests.h"
#include "SqliteConnection.h"
#include "qmr/ClientCore/DataStore.hh"

namespace qmr_test {

struct ExitedRun {
  int exitCode = -1;  // -1: did not exit by itself in time
  std::string output;
};

// Runs `program` of bin/ with `args` (its log in `dir`) and waits up to 15 s for it to exit by
// itself.
inline ExitedRun runToExit(const TempDir& dir, std::vector<std::string> args,
                           const std::string& program = "qmr-datastored") {
  static int runs = 0;
  args.insert(args.begin(), buildDir() + "/bin/" + program);
  Process p;
  p.start(args, dir.file("run-" + std::to_string(++runs) + ".log"));
  int status = p.wait(15000);
  ExitedRun run;
  if (status == -1) {
    p.kill9();
  } else if (WIFEXITED(status)) {
    run.exitCode = WEXITSTATUS(status);
  }
  run.output = p.log();
  return run;
}

inline std::string readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// A server on a database in a temporary folder of its own (or, with postgres_, in a schema of
// its own), registered under a name unique to the running test.
class DataStoreTest : public ::testing::Test {
 protected:
  DataStoreTest() : dir_("qmr-datastored") {}

  void TearDown() override {
    store_ = ClientCore::DataStore::_nil();
    if (server_ && server_->running()) server_->stop();
  }

  static std::string testName() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    return std::string(info->test_suite_name()) + "." + info->name();
  }

  // Starts qmr-datastored with `extra` flags and connects to it through its reference.
  void startServer(const std::vector<std::string>& extra = {}) {
    server_.reset(new DataStoreServer);
    DataStoreServer::Options options;
    options.name = testName();
    options.extraArgs = extra;
    if (!db_.empty()) {
      options.db = db_;
    } else if (postgres_) {
      PostgresServer& pg = Stack::instance().postgres();
      if (schema_.empty()) schema_ = pg.newSchema();
      options.db = pg.conninfo(schema_);
    }
    server_->start(dir_.path(), Stack::instance().naming(), options);
    connect();
  }

  void connect() {
    CORBA::Object_var obj = Stack::instance().orb()->string_to_object(server_->ior().c_str());
    store_ = ClientCore::DataStore::_narrow(obj.in());
    ASSERT_FALSE(CORBA::is_nil(store_.in()));
  }

  ClientCore::DataStoreSession_ptr newSession() { return store_->startSession(); }

  // Commits `puts` through a session of its own.
  void commitAll(const std::vector<Put>& puts) {
    ClientCore::DataStoreSession_var s = newSession();
    s->set(entries(puts));
    s->commit();
    store_->endSession(s.in());
  }

  std::string serverLog() { return server_->process().log(); }

  // Whether `session` reads `value` under `key` within 10 s, while its calls fail with
  // TRANSIENT (a database that comes back, which the server connects to again by itself).
  bool readsAgain(ClientCore::DataStoreSession_ptr session, const std::string& key,
                  const Value& value) {
    return eventually(
        [&] {
          try {
            return read1(session, key) == value;
          } catch (const CORBA::TRANSIENT&) {
            return false;
          }
        },
        10000);
  }

  // The first column of the first row of `sql` (a count) run on the server's database, as
  // another program would see it.
  long countRows(const std::string& sql) {
    if (postgres_) return std::stol(Stack::instance().postgres().query(sql, schema_));
    return SqliteConnection(server_->dbPath()).count(sql);
  }

  // Whether the server's log shows `text` within a few seconds (lines that the ORB writes may
  // follow the reply that the client already has).
  ::testing::AssertionResult logHas(const std::string& text) {
    if (eventually([&] { return serverLog().find(text) != std::string::npos; }, 3000)) {
      return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << "no '" << text << "' in the log:\n" << serverLog();
  }

  TempDir dir_;
  std::string db_;         // --db when not empty
  bool postgres_ = false;  // the database is a schema of the binary's PostgreSQL
  std::string schema_;     // its name, once the server started
  std::unique_ptr<DataStoreServer> server_;
  ClientCore::DataStore_var store_;
};

enum class Engine { kSqlite, kPostgres };

// The same test on an SQLite file and on PostgreSQL.
class EngineTest : public DataStoreTest, public ::testing::WithParamInterface<Engine> {
 protected:
  EngineTest() { postgres_ = GetParam() == Engine::kPostgres; }
};

inline std::string engineName(const ::testing::TestParamInfo<Engine>& info) {
  return info.param == Engine::kPostgres ? "Postgres" : "Sqlite";
}

}  // namespace qmr_test

#endif  // QMR_TESTS_DATASTORED_FIXTURE_H
