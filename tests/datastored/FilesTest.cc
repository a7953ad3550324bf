// FilesTest.cc - the files qmr-datastored trusts and the files it makes: a database with
// another schema or writable by everyone is refused, the database and its journals are
// created for the owner, the reference file is written afresh even when a link was planted
// beside it, and the write connection runs the journal mode and sync level that make commits
// durable.
#include <grp.h>
#include <sqlite3.h>
#include <sys/stat.h>

#include <filesystem>
#include <functional>

#include "DataStoreFixture.h"

namespace qmr_test {
namespace {

namespace fs = std::filesystem;

int sqlExec(const std::string& db, const char* sql) {
  sqlite3* handle = nullptr;
  int rc = sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READWRITE, nullptr);
  if (rc == SQLITE_OK) rc = sqlite3_exec(handle, sql, nullptr, nullptr, nullptr);
  sqlite3_close(handle);
  return rc;
}

mode_t modeOf(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
  return st.st_mode & 07777;
}

using FilesTest = DataStoreTest;

TEST_F(FilesTest, ADatabaseWithAnotherSchemaOrWritableByEveryoneIsRefused) {
  startServer();
  commitAll({{"a", "1"}, {"b", "2"}});
  ASSERT_EQ(server_->stop(), 0);
  const std::string db = server_->dbPath();
  const std::string pristine = readAll(db);
  const std::string initRef = Stack::instance().naming().initRef();
  const std::pair<const char*, const char*> changes[] = {
      {"trigger 'leak'",
       "CREATE TABLE IF NOT EXISTS copies(key, data);"
       "CREATE TRIGGER leak AFTER INSERT ON entries BEGIN "
       "INSERT INTO copies VALUES(new.key, new.data); END;"},
      {"trigger 'drop_all'",
       "CREATE TRIGGER drop_all AFTER INSERT ON entries BEGIN DELETE FROM entries; END;"},
      {"view 'everything'", "CREATE VIEW everything AS SELECT * FROM entries;"},
      {"index 'by_data'", "CREATE INDEX by_data ON entries(data);"},
      {"table 'entries'",
       "CREATE TABLE e2(key TEXT NOT NULL, data TEXT NOT NULL, expires INTEGER NOT NULL);"
       "INSERT INTO e2 SELECT * FROM entries; DROP TABLE entries;"
       "ALTER TABLE e2 RENAME TO entries;"},
      {"table 'entries'", "ALTER TABLE entries ADD COLUMN owner TEXT;"},
  };
  for (const auto& [what, sql] : changes) {
    SCOPED_TRACE(what);
    std::ofstream(db, std::ios::binary | std::ios::trunc) << pristine;
    fs::remove(db + "-wal");
    fs::remove(db + "-shm");
    ASSERT_EQ(sqlExec(db, sql), SQLITE_OK);
    ExitedRun run = runToExit(dir_, {"--db", db, "-ORBInitRef", initRef});
    EXPECT_EQ(run.exitCode, 3) << run.output;
    EXPECT_NE(run.output.find("database " + db + " does not have the schema of qmr-datastored"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find(what), std::string::npos) << run.output;
  }

  std::ofstream(db, std::ios::binary | std::ios::trunc) << pristine;
  fs::remove(db + "-wal");
  fs::remove(db + "-shm");
  ASSERT_EQ(::chmod(db.c_str(), 0666), 0);
  ExitedRun run = runToExit(dir_, {"--db", db, "-ORBInitRef", initRef});
  EXPECT_EQ(run.exitCode, 3) << run.output;
  EXPECT_NE(run.output.find("database file " + db + " may be written by every user (mode 0666)"),
            std::string::npos)
      << run.output;
  EXPECT_TRUE(readAll(db) == pristine) << "a refused file is left as it was";

  // Writable by the group: served, with a warning.
  ASSERT_EQ(::chmod(db.c_str(), 0660), 0);
  server_->restart();
  connect();
  ClientCore::DataStoreSession_var s = newSession();
  EXPECT_EQ(read1(s, "a"), Value("1"));
  EXPECT_TRUE(logHas("WARNING database file " + db + " may be written by its group (mode 0660)"));
}

// Started directly, not through the stack (which sets a strict umask for its children): the
// server must not depend on its caller's umask.
TEST_F(FilesTest, TheDatabaseAndItsJournalsAreTheOwnersAndSyncedFully) {
  const std::string db = dir_.file("own.db");
  const std::string ior = dir_.file("own.ior");
  const mode_t before = ::umask(0);  // the most permissive caller
  Process p;
  p.start({buildDir() + "/bin/qmr-datastored", "--db", db, "--name", testName(), "--ior-file", ior,
           "--log-level", "info", "-ORBInitRef", Stack::instance().naming().initRef()},
          dir_.file("own.log"));
  ::umask(before);
  ASSERT_TRUE(eventually([&] { return !readAll(ior).empty(); }, 10000)) << p.log();
  CORBA::Object_var obj = Stack::instance().orb()->string_to_object(readAll(ior).c_str());
  store_ = ClientCore::DataStore::_narrow(obj.in());
  commitAll({{"a", "1"}});
  for (const std::string& file : {db, db + "-wal", db + "-shm"}) {
    EXPECT_EQ(modeOf(file) & 077, 0u) << file << " mode " << std::oct << modeOf(file);
  }
  // Read back from the write connection itself: synchronous is per connection, so no other
  // connection could tell.
  EXPECT_NE(p.log().find("database " + db + ": journal_mode wal, synchronous 2"), std::string::npos)
      << p.log();
  store_ = ClientCore::DataStore::_nil();
  EXPECT_EQ(p.stop(), 0);
}

TEST_F(FilesTest, TheReferenceFileIsWrittenAfreshNotThroughAPlantedLink) {
  const std::string ior = dir_.file("ref.ior");
  const std::string victim = dir_.file("victim");
  std::ofstream(victim) << "precious";
  fs::create_symlink(victim, ior + ".tmp");
  Process p;
  p.start({buildDir() + "/bin/qmr-datastored", "--db", dir_.file("x.db"), "--name", testName(),
           "--ior-file", ior, "-ORBInitRef", Stack::instance().naming().initRef()},
          dir_.file("planted.log"));
  ASSERT_TRUE(
      eventually([&] { return p.log().find("qmr-datastored: ready") != std::string::npos; }, 10000))
      << p.log();
  EXPECT_EQ(readAll(victim), "precious") << "the link's target was written";
  EXPECT_EQ(readAll(ior).compare(0, 4, "IOR:"), 0) << readAll(ior);
  EXPECT_FALSE(fs::is_symlink(ior)) << "the planted link took the reference's place";
  EXPECT_EQ(modeOf(ior), 0640u) << "readable by the folder's group, which may connect anyway";
  EXPECT_EQ(p.stop(), 0);
}

// Run by hand or in a container, without the unit's StateDirectory= and RuntimeDirectory=:
// the server makes the folders of --db and --ior-file, for its owner (and the access group).
TEST_F(FilesTest, MissingFoldersOfTheDatabaseAndTheReferenceAreMadeOrClearlyRefused) {
  const std::string db = dir_.file("state/deeper/own.db");
  const std::string ior = dir_.file("run/ref.ior");
  const mode_t before = ::umask(0);
  Process p;
  p.start({buildDir() + "/bin/qmr-datastored", "--db", db, "--name", testName(), "--ior-file", ior,
           "--log-level", "info", "-ORBInitRef", Stack::instance().naming().initRef()},
          dir_.file("folders.log"));
  ::umask(before);
  ASSERT_TRUE(
      eventually([&] { return p.log().find("qmr-datastored: ready") != std::string::npos; }, 10000))
      << p.log();
  EXPECT_EQ(readAll(ior).compare(0, 4, "IOR:"), 0) << readAll(ior);
  const struct group* access = ::getgrnam("qmr");
  for (const std::string& folder :
       {dir_.file("state"), dir_.file("state/deeper"), dir_.file("run")}) {
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0) << folder;
    const mode_t mode = st.st_mode & 07777;
    const bool ownerOnly = mode == 0700;
    const bool withGroup = mode == 0750 && access != nullptr && st.st_gid == access->gr_gid;
    EXPECT_TRUE(ownerOnly || withGroup) << folder << " mode " << std::oct << mode;
    EXPECT_NE(p.log().find("created " + folder + " for"), std::string::npos) << p.log();
  }
  EXPECT_EQ(p.stop(), 0);

  // Where no folder can be made (below a plain file, which stops root too): the option, the
  // folder and what to do, and the exit status of the part that failed.
  std::ofstream(dir_.file("plain")) << "x";
  const std::string initRef = Stack::instance().naming().initRef();
  ExitedRun run = runToExit(dir_, {"--db", dir_.file("plain/sub/x.db"), "-ORBInitRef", initRef});
  EXPECT_EQ(run.exitCode, 3) << run.output;
  EXPECT_NE(run.output.find("cannot create the folder " + dir_.file("plain/sub") + " for --db"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("give --db a path in a folder"), std::string::npos) << run.output;
  run = runToExit(dir_, {"--db", dir_.file("y.db"), "--ior-file", dir_.file("plain/r/x.ior"),
                         "-ORBInitRef", initRef});
  EXPECT_EQ(run.exitCode, 1) << run.output;
  EXPECT_NE(run.output.find("cannot create the folder " + dir_.file("plain/r") + " for --ior-file"),
            std::string::npos)
      << run.output;
}

}  // namespace
}  // namespace qmr_test
