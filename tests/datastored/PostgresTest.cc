// PostgresTest.cc - what only the PostgreSQL engine does: several front-ends on one database,
// a table of another schema refused, a database that is down at start-up or goes away and
// comes back, and a primary that dies while its synchronous standby is promoted.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "DataStoreFixture.h"

namespace qmr_test {
namespace {

using ClientCore::DataStoreSession;
using ClientCore::DataStoreSession_ptr;
using ClientCore::DataStoreSession_var;

class PostgresTest : public DataStoreTest {
 protected:
  PostgresTest() { postgres_ = true; }

  // Connects to a second server, registered under another name, on the same database as the
  // first.
  ClientCore::DataStore_ptr startSecond(DataStoreServer* second, const TempDir& dir) {
    DataStoreServer::Options options;
    options.name = testName() + "-B";
    options.db = Stack::instance().postgres().conninfo(schema_);
    second->start(dir.path(), Stack::instance().naming(), options);
    CORBA::Object_var obj = Stack::instance().orb()->string_to_object(second->ior().c_str());
    return ClientCore::DataStore::_narrow(obj.in());
  }
};

TEST_F(PostgresTest, ACommitThroughOneFrontEndIsReadAtOnceThroughAnother) {
  startServer();
  TempDir otherDir("qmr-datastored-b");
  DataStoreServer second;
  ClientCore::DataStore_var b = startSecond(&second, otherDir);
  DataStoreSession_var viaA = newSession();
  DataStoreSession_var viaB = b->startSession();
  int stale = 0;
  for (int i = 0; i < 200; ++i) {
    // Alternately written through A and read through B, and the other way round; every
    // fourth round removes the key instead.
    DataStoreSession_ptr writer = i % 2 == 0 ? viaA.in() : viaB.in();
    DataStoreSession_ptr reader = i % 2 == 0 ? viaB.in() : viaA.in();
    std::string value = "v" + std::to_string(i);
    if (i % 4 == 3) {
      writer->remove(strings({"shared"}));
      writer->commit();
      if (read1(reader, "shared").has_value()) ++stale;
    } else {
      writer->set(entries({{"shared", value}, {"k" + std::to_string(i), value}}));
      writer->commit();
      if (read(reader, {"shared", "k" + std::to_string(i)}) != (Values{value, value})) ++stale;
    }
  }
  EXPECT_EQ(stale, 0) << "of 200 reads through the other front-end right after a commit";
  EXPECT_EQ(countRows("SELECT count(*) FROM entries"), 150)
      << "150 k-keys; the last round removed shared";
  b->endSession(viaB.in());
}

TEST_F(PostgresTest, ATableOfAnotherSchemaIsRefusedSayingWhatDiffers) {
  PostgresServer& pg = Stack::instance().postgres();
  struct Case {
    std::string setup;
    std::string expected;
  };
  const std::vector<Case> cases = {
      {"CREATE TABLE entries(key text PRIMARY KEY, data text NOT NULL, expires bigint NOT NULL)",
       "columns of SCHEMA.entries are (key text not null, data text not null, expires bigint "
       "not null) instead of (key bytea not null, data bytea not null, expires bigint not "
       "null)"},
      {"CREATE TABLE entries(key bytea PRIMARY KEY, data bytea NOT NULL, expires bigint NOT "
       "NULL); CREATE TABLE copies(LIKE entries); CREATE FUNCTION copy() RETURNS trigger "
       "LANGUAGE plpgsql AS $$BEGIN INSERT INTO copies VALUES (NEW.*); RETURN NEW; END$$; "
       "CREATE TRIGGER copy_out AFTER INSERT ON entries FOR EACH ROW EXECUTE FUNCTION copy()",
       "unexpected trigger copy_out on SCHEMA.entries"},
      {"CREATE TABLE entries(key bytea PRIMARY KEY, data bytea NOT NULL, expires bigint NOT "
       "NULL); CREATE INDEX by_data ON entries(data)",
       "unexpected index by_data (CREATE INDEX by_data ON SCHEMA.entries USING btree (data))"},
      {"CREATE TABLE entries(key bytea, data bytea NOT NULL, expires bigint NOT NULL); CREATE "
       "RULE keep AS ON DELETE TO entries DO INSTEAD NOTHING",
       "columns of SCHEMA.entries are (key bytea, data bytea not null, expires bigint not "
       "null) instead of (key bytea not null, data bytea not null, expires bigint not null); no "
       "primary key on key of SCHEMA.entries; unexpected rule keep on SCHEMA.entries"},
  };
  for (const Case& c : cases) {
    std::string schema = pg.newSchema();
    pg.query(c.setup, schema);
    std::string before = pg.query("SELECT count(*) FROM pg_class WHERE relnamespace = '" + schema +
                                  "'::regnamespace");
    ExitedRun run = runToExit(dir_, {"--db", pg.conninfo(schema)});
    EXPECT_EQ(run.exitCode, 3) << run.output;
    std::string expected = c.expected;
    for (size_t at; (at = expected.find("SCHEMA")) != std::string::npos;) {
      expected.replace(at, 6, schema);
    }
    EXPECT_NE(run.output.find("does not have the schema of qmr-datastored (" + expected + ")"),
              std::string::npos)
        << run.output;
    EXPECT_EQ(pg.query("SELECT count(*) FROM pg_class WHERE relnamespace = '" + schema +
                       "'::regnamespace"),
              before)
        << "the refused start created nothing";
  }
}

TEST_F(PostgresTest, ADatabaseThatIsDownIsNamedAndTheServerReconnectsByItself) {
  PostgresServer own;
  own.start(dir_.file("pg"));
  // Not running yet at start-up: refused, with the database named.
  std::string elsewhere = "postgresql://qmr@127.0.0.1:" + std::to_string(freeLoopbackPort()) +
                          "/postgres?connect_timeout=3";
  ExitedRun refused = runToExit(dir_, {"--db", elsewhere});
  EXPECT_EQ(refused.exitCode, 3) << refused.output;
  EXPECT_NE(refused.output.find("qmr-datastored does not start without its database"),
            std::string::npos)
      << refused.output;
  EXPECT_NE(refused.output.find(elsewhere), std::string::npos) << refused.output;

  db_ = own.conninfo();
  startServer();
  commitAll({{"before", "1"}});
  DataStoreSession_var s = newSession();
  own.kill9();
  EXPECT_THROW(read1(s, "before"), CORBA::TRANSIENT);
  s->set(entries({{"during", "2"}}));
  try {
    s->commit();
    ADD_FAILURE() << "a commit returned while the database was down";
  } catch (const CORBA::TRANSIENT&) {
  } catch (const CORBA::PERSIST_STORE&) {
  }
  EXPECT_TRUE(logHas("WARNING database " + own.conninfo() + " cannot be reached"));
  EXPECT_TRUE(logHas("ERROR session"));
  EXPECT_TRUE(logHas("commit of 1 changes failed, they stay pending"));

  own.restart();
  // The server connects again by itself: the same session reads, and commits what stayed
  // pending.
  EXPECT_TRUE(readsAgain(s, "before", Value("1")));
  s->commit();
  DataStoreSession_var other = newSession();
  EXPECT_EQ(read(other, {"before", "during"}), (Values{"1", "2"}));
  EXPECT_TRUE(logHas("connected again"));
}

TEST_F(PostgresTest, APromotedStandbyTakesOverAndNoReturnedCommitIsLost) {
  PostgresServer primary, standby;
  PostgresServer::Options primaryOptions;
  // A commit returns only once the standby has it on disk.
  primaryOptions.settings = {"-c", "synchronous_standby_names=qmrstandby"};
  primary.start(dir_.file("primary"), primaryOptions);
  PostgresServer::Options standbyOptions;
  standbyOptions.primary = &primary;
  standby.start(dir_.file("standby"), standbyOptions);
  ASSERT_TRUE(eventually(
      [&] { return primary.query("SELECT sync_state FROM pg_stat_replication") == "sync"; }, 20000))
      << "the standby never became synchronous";

  db_ = "host=" + primary.dir() + "," + standby.dir() + " port=" + std::to_string(primary.port()) +
        "," + std::to_string(standby.port()) +
        " user=qmr dbname=postgres target_session_attrs=read-write";
  startServer();

  // One client commits key after key, as the client library does: a fresh session after a
  // system exception.
  std::mutex mutex;
  std::vector<int> returned;
  std::vector<std::string> failures;
  std::atomic<bool> stop{false};
  std::thread committer([&] {
    DataStoreSession_var s = newSession();
    for (int i = 0; !stop; ++i) {
      try {
        s->set(entries({{"c" + std::to_string(i), std::to_string(i)}}));
        s->commit();
        std::lock_guard<std::mutex> lock(mutex);
        returned.push_back(i);
      } catch (const CORBA::SystemException& e) {
        {
          std::lock_guard<std::mutex> lock(mutex);
          failures.push_back(e._name());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
        try {
          store_->endSession(s.in());
          s = newSession();
        } catch (const CORBA::SystemException& e2) {
          ADD_FAILURE() << "the front-end itself failed: " << e2._name();
          return;
        }
      }
    }
  });
  auto count = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    return returned.size();
  };
  EXPECT_TRUE(eventually([&] { return count() >= 20; }, 20000));
  primary.kill9();
  standby.query("SELECT pg_promote()");
  size_t atPromotion = count();
  EXPECT_TRUE(eventually([&] { return count() >= atPromotion + 20; }, 30000))
      << "the front-end did not serve again after the standby was promoted";
  stop = true;
  committer.join();

  std::lock_guard<std::mutex> lock(mutex);
  std::printf("[ figures  ] %zu commits returned, %zu failed over the failover\n", returned.size(),
              failures.size());
  for (const std::string& name : failures) {
    EXPECT_TRUE(name == "TRANSIENT" || name == "PERSIST_STORE") << name;
  }
  std::vector<std::string> keys;
  Values expected;
  for (int i : returned) {
    keys.push_back("c" + std::to_string(i));
    expected.emplace_back(std::to_string(i));
  }
  DataStoreSession_var check = newSession();
  EXPECT_EQ(read(check, keys), expected) << "a commit that returned was lost";
  EXPECT_GE(std::stol(standby.query("SELECT count(*) FROM entries")),
            static_cast<long>(returned.size()));
}

}  // namespace
}  // namespace qmr_test
