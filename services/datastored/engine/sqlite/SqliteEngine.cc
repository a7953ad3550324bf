// SqliteEngine.cc - the committed entries in SQLite: schema, start-up check, loading the
// in-memory index, group transactions, purge.
#include "engine/sqlite/SqliteEngine.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "engine/sqlite/Index.h"
#include "engine/sqlite/Schema.h"
#include "qmr/util/Log.h"

namespace qmr_datastored {
namespace {

std::string octal(mode_t mode) {
  char text[8];
  std::snprintf(text, sizeof text, "%04o", static_cast<unsigned>(mode & 07777));
  return text;
}

bool isDamage(int rc) {
  int primary = rc & 0xff;
  return primary == SQLITE_CORRUPT || primary == SQLITE_NOTADB;
}

// Runs PRAGMA integrity_check on `db`; returns "" when the file is sound, otherwise the
// problems reported (at most a few). Throws StoreError(kFailed) when SQLite cannot run it for
// another reason than damage.
std::string integrityProblems(Connection& db) {
  sqlite3_stmt* stmt = nullptr;
  int rc = sqlite3_prepare_v2(db.get(), "PRAGMA integrity_check(5)", -1, &stmt, nullptr);
  if (rc != SQLITE_OK) {
    std::string why = db.message();
    sqlite3_finalize(stmt);
    if (isDamage(rc)) return why;
    throw StoreError(StoreError::kFailed, "integrity check could not run: " + why);
  }
  std::string problems;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    const unsigned char* text = sqlite3_column_text(stmt, 0);
    std::string line = text != nullptr ? reinterpret_cast<const char*>(text) : "";
    if (line == "ok") continue;
    if (!problems.empty()) problems += "; ";
    problems += line;
  }
  if (rc != SQLITE_DONE) {
    std::string why = db.message();
    sqlite3_finalize(stmt);
    if (isDamage(rc)) return problems.empty() ? why : problems + "; " + why;
    throw StoreError(StoreError::kFailed, "integrity check failed to run: " + why);
  }
  sqlite3_finalize(stmt);
  return problems;
}

std::string userName(uid_t uid) {
  struct passwd entry;
  struct passwd* found = nullptr;
  char buffer[1024];
  std::string text = "uid " + std::to_string(uid);
  if (::getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
    text += " (" + std::string(found->pw_name) + ")";
  }
  return text;
}

// Refuses a database (or its journal files) that someone else could have planted or may
// change: a symbolic link (it leads where its owner chose, a file of theirs or one they want
// overwritten), a file of another user (pre-created in a shared folder, it would receive
// what this server stores, readable by its owner), or one that users other than the owner and
// the group may write (anyone could add triggers or change rows behind the server's back). A
// file that the group may write is used with a warning, for sites that share it within a
// group. The files are opened with SQLITE_OPEN_NOFOLLOW as well, so a link put in place
// after this check is refused too.
void checkFilesAreOurs(const std::string& path) {
  const uid_t self = ::geteuid();
  for (const char* suffix : kSqliteFileSuffixes) {
    std::string file = path + suffix;
    struct stat st;
    if (::lstat(file.c_str(), &st) != 0) continue;
    if (S_ISLNK(st.st_mode)) {
      char target[4096];
      ssize_t n = ::readlink(file.c_str(), target, sizeof target - 1);
      std::string to = n > 0 ? std::string(target, static_cast<size_t>(n)) : "?";
      throw StoreError(StoreError::kCannotOpen,
                       "database file " + file + " is a symbolic link (to " + to + ", made by " +
                           userName(st.st_uid) +
                           "); refusing to follow it. Give --db the path of the file itself, or "
                           "remove the link");
    }
    if (st.st_uid != self) {
      throw StoreError(StoreError::kCannotOpen,
                       "database file " + file + " belongs to " + userName(st.st_uid) +
                           ", not to " + userName(self) +
                           " that this server runs as; refusing to use it, since its owner "
                           "can read and change everything stored in it. Give --db a path in a "
                           "folder only this user can write, or, if the file and its owner are "
                           "trusted, chown it to this user");
    }
    if ((st.st_mode & S_IWOTH) != 0) {
      throw StoreError(StoreError::kCannotOpen,
                       "database file " + file + " may be written by every user (mode " +
                           octal(st.st_mode) + "); refusing to use it. Run chmod o-w " + file +
                           " if its content is trusted, or start from a new file");
    }
    if ((st.st_mode & S_IWGRP) != 0) {
      qmr_util::Log::primary()->warning(
          "database file %s may be written by its group (mode %s); anyone in it can change "
          "what this server stores (chmod g-w %s to stop it)",
          file.c_str(), octal(st.st_mode).c_str(), file.c_str());
    }
  }
}

// The first column of the first row of `sql` as text ("" when there is none or SQLite fails).
std::string pragmaText(Connection& db, const char* sql) {
  sqlite3_stmt* stmt = nullptr;
  std::string text;
  if (sqlite3_prepare_v2(db.get(), sql, -1, &stmt, nullptr) == SQLITE_OK &&
      sqlite3_step(stmt) == SQLITE_ROW) {
    const unsigned char* value = sqlite3_column_text(stmt, 0);
    if (value != nullptr) text = reinterpret_cast<const char*>(value);
  }
  sqlite3_finalize(stmt);
  return text;
}

bool fileHasContent(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && st.st_size > 0;
}

}  // namespace

struct SqliteEngine::Writer {
  Writer(const std::string& path, int busyTimeoutMs)
      : db(path,
           SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
           busyTimeoutMs) {}
  // Prepares the statements once the schema exists.
  void prepare() {
    begin.reset(new Statement(db, "BEGIN IMMEDIATE"));
    commit.reset(new Statement(db, "COMMIT"));
    upsert.reset(
        new Statement(db, "INSERT OR REPLACE INTO entries(key, data, expires) VALUES(?1, ?2, ?3)"));
    erase.reset(new Statement(db, "DELETE FROM entries WHERE key = ?1"));
    purge.reset(
        new Statement(db, "DELETE FROM entries WHERE expires > 0 AND expires <= ?1 RETURNING key"));
    count.reset(new Statement(db, "SELECT count(*) FROM entries"));
    savepoint.reset(new Statement(db, "SAVEPOINT member"));
    release.reset(new Statement(db, "RELEASE member"));
    rollbackTo.reset(new Statement(db, "ROLLBACK TO member"));
  }
  Connection db;
  std::unique_ptr<Statement> begin, commit, upsert, erase, purge, count;
  std::unique_ptr<Statement> savepoint, release, rollbackTo;
};

SqliteEngine::SqliteEngine(const std::string& path, int busyTimeoutMs)
    : path_(path), busyTimeoutMs_(busyTimeoutMs) {
  // SQLite keeps allocation statistics under a global mutex, taken on every allocation of
  // every connection; nothing here reads them. Must precede the first connection (it returns
  // SQLITE_MISUSE, harmlessly, once SQLite is initialised).
  static const int noMemStatus = sqlite3_config(SQLITE_CONFIG_MEMSTATUS, 0);
  (void)noMemStatus;
  checkFilesAreOurs(path_);
  bool existed = fileHasContent(path_);
  writer_.reset(new Writer(path_, busyTimeoutMs_));
  Connection& db = writer_->db;
  if (existed) {
    // Refuse a torn or corrupt file before anything writes to it; closing this connection
    // must not fold a journal into it either.
    std::string problems = integrityProblems(db);
    if (!problems.empty()) {
      sqlite3_db_config(db.get(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
      writer_.reset();
      throw StoreError(StoreError::kDamaged,
                       "database " + path_ + " is damaged (" + problems +
                           "); refusing to start. Restore it from a backup, or move it away "
                           "to start with an empty store");
    }
    std::string differences = schemaDifferences(db);
    if (!differences.empty()) {
      writer_.reset();
      throw StoreError(StoreError::kDamaged,
                       "database " + path_ + " does not have the schema of qmr-datastored (" +
                           differences +
                           "); refusing to use it. Give --db a file of its own, or remove "
                           "what another program added");
    }
  }
  db.exec("PRAGMA journal_mode=WAL", StoreError::kCannotOpen,
          ("cannot switch " + path_ + " to the WAL journal").c_str());
  std::string mode = pragmaText(db, "PRAGMA journal_mode");
  if (mode != "wal") {
    throw StoreError(StoreError::kCannotOpen, "database " + path_ +
                                                  " cannot use a WAL journal (mode is '" + mode +
                                                  "'); put it on a local file system");
  }
  db.exec("PRAGMA synchronous=FULL", StoreError::kCannotOpen, "cannot set synchronous=FULL");
  db.exec(kSchema, StoreError::kCannotOpen,
          ("cannot create the tables in " + path_ + " (is the file writable?)").c_str());
  // Proves that the file can be written now rather than at the first commit.
  std::string probe = "INSERT OR REPLACE INTO info(name, value) VALUES('opened', '" +
                      std::to_string(nowMs()) + "')";
  db.exec(
      probe.c_str(), StoreError::kCannotOpen,
      ("cannot write to database " + path_ + " (is the file and its folder writable?)").c_str());
  writer_->prepare();
  purge(nowMs(), nullptr);
}

SqliteEngine::~SqliteEngine() = default;

void SqliteEngine::load(Index& index) {
  auto started = std::chrono::steady_clock::now();
  {
    StatementUse use(*writer_->count);
    if (sqlite3_step(use.get()) == SQLITE_ROW) {
      index.reserve(static_cast<size_t>(sqlite3_column_int64(use.get(), 0)));
    }
  }
  Statement all(writer_->db, "SELECT key, data, expires FROM entries");
  StatementUse use(all);
  int rc;
  while ((rc = sqlite3_step(use.get())) == SQLITE_ROW) {
    const char* key = static_cast<const char*>(sqlite3_column_blob(use.get(), 0));
    size_t keySize = static_cast<size_t>(sqlite3_column_bytes(use.get(), 0));
    const char* data = static_cast<const char*>(sqlite3_column_blob(use.get(), 1));
    size_t dataSize = static_cast<size_t>(sqlite3_column_bytes(use.get(), 1));
    try {
      index.load(std::string(key != nullptr ? key : "", keySize),
                 std::string(data != nullptr ? data : "", dataSize),
                 sqlite3_column_int64(use.get(), 2));
    } catch (const StoreError& e) {
      throw StoreError(StoreError::kFull,
                       "database " + path_ + " is too large to serve: " + e.what());
    }
  }
  if (rc != SQLITE_DONE) {
    throw StoreError(isDamage(rc) ? StoreError::kDamaged : StoreError::kCannotOpen,
                     "cannot read the entries of " + path_ + ": " + writer_->db.message());
  }
  double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
  qmr_util::Log::primary()->info(
      "loaded %zu committed entries into memory in %.0f ms (%.1f MiB of %.1f MiB allowed)",
      index.size(), ms, index.bytes() / 1048576.0, index.maxBytes() / 1048576.0);
}

void SqliteEngine::purge(int64_t now, std::vector<std::string>* keys) {
  StatementUse use(*writer_->purge);
  sqlite3_bind_int64(use.get(), 1, now);
  int rc;
  while ((rc = sqlite3_step(use.get())) == SQLITE_ROW) {
    if (keys != nullptr) {
      const char* key = static_cast<const char*>(sqlite3_column_blob(use.get(), 0));
      keys->emplace_back(key != nullptr ? key : "",
                         static_cast<size_t>(sqlite3_column_bytes(use.get(), 0)));
    }
  }
  if (rc != SQLITE_DONE) {
    throw StoreError(StoreError::kFailed,
                     "purge of expired entries failed: " + writer_->db.message());
  }
}

namespace {

// Runs a statement that returns no rows; false when it fails.
bool run(Statement& s) {
  StatementUse use(s);
  return sqlite3_step(use.get()) == SQLITE_DONE;
}

// Binds text, reporting a value that SQLite refuses (longer than its length limit).
bool bindText(sqlite3_stmt* stmt, int n, const std::string& text) {
  return sqlite3_bind_text(stmt, n, text.data(), static_cast<int>(text.size()), SQLITE_STATIC) ==
         SQLITE_OK;
}

}  // namespace

void SqliteEngine::begin() {
  if (!run(*writer_->begin)) fail("cannot begin a transaction");
}

void SqliteEngine::savepoint(Savepoint step) {
  switch (step) {
    case Savepoint::kOpen:
      if (!run(*writer_->savepoint)) fail("cannot open a savepoint");
      break;
    case Savepoint::kRollBack:
      if (!run(*writer_->rollbackTo)) fail("cannot roll back a failed commit of the group");
      break;
    case Savepoint::kRelease:
      if (!run(*writer_->release)) fail("cannot release a savepoint");
      break;
  }
}

void SqliteEngine::write(const ChangeSet& changes, int64_t now) {
  Writer& w = *writer_;
  for (const auto& [key, change] : changes) {
    if (change.remove) {
      StatementUse use(*w.erase);
      if (!bindText(use.get(), 1, key) || sqlite3_step(use.get()) != SQLITE_DONE) {
        fail("remove failed");
      }
    } else {
      StatementUse use(*w.upsert);
      if (!bindText(use.get(), 1, key) || !bindText(use.get(), 2, change.data)) {
        fail("write failed");
      }
      sqlite3_bind_int64(use.get(), 3, expiresAt(change, now));
      if (sqlite3_step(use.get()) != SQLITE_DONE) fail("write failed");
    }
  }
}

void SqliteEngine::commit() {
  if (!run(*writer_->commit)) fail("commit failed");
}

void SqliteEngine::abandon() noexcept {
  // Statements are reset by now; undo whatever part of the transaction is open.
  if (!sqlite3_get_autocommit(writer_->db.get())) {
    sqlite3_exec(writer_->db.get(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
}

void SqliteEngine::fail(const char* what) {
  throw StoreError(StoreError::kFailed, std::string(what) + ": " + writer_->db.message());
}

void SqliteEngine::check() {
  // A connection of its own, so that no cached page hides what is on disk.
  Connection fresh(path_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
                   busyTimeoutMs_);
  std::string problems = integrityProblems(fresh);
  if (!problems.empty()) {
    throw StoreError(StoreError::kDamaged, "database " + path_ + " is damaged: " + problems);
  }
}

std::string SqliteEngine::durability() {
  std::string mode = pragmaText(writer_->db, "PRAGMA journal_mode");
  std::string level = pragmaText(writer_->db, "PRAGMA synchronous");
  return "journal_mode " + mode + ", synchronous " + (level.empty() ? "-1" : level) +
         " (commits are durable with wal and 2)";
}

long SqliteEngine::count() {
  StatementUse use(*writer_->count);
  if (sqlite3_step(use.get()) != SQLITE_ROW) return -1;
  return static_cast<long>(sqlite3_column_int64(use.get(), 0));
}

bool removeSqliteFiles(const std::string& path) {
  bool removed = true;
  for (const char* suffix : kSqliteFileSuffixes) {
    if (::unlink((path + suffix).c_str()) != 0 && errno != ENOENT) removed = false;
  }
  return removed;
}

}  // namespace qmr_datastored
