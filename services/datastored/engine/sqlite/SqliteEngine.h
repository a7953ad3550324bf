// SqliteEngine.h - the committed entries in one SQLite file (WAL journal, synchronous FULL: a
// commit that returned is on disk). Reads are served from the in-memory index, which load()
// fills at start-up; the file is only written.
#ifndef QMR_DATASTORED_SQLITEENGINE_H
#define QMR_DATASTORED_SQLITEENGINE_H

#include <memory>
#include <string>
#include <vector>

#include "engine/Engine.h"
#include "engine/sqlite/Index.h"
#include "engine/sqlite/Sqlite.h"

namespace qmr_datastored {

// Not thread-safe beyond what Engine promises: Store serialises the writing members.
class SqliteEngine : public Engine {
 public:
  // Opens the database at `path`, creating it when it is missing, and purges expired entries.
  // An existing file must pass SQLite's integrity check and hold exactly the server's schema;
  // it is never replaced. A file that every user may write is refused, one that its group may
  // write is logged. Throws StoreError (kCannotOpen when the file cannot be opened, created or
  // written; kDamaged when it is not a sound database). busyTimeoutMs: how long a statement
  // waits for a lock that another process holds.
  SqliteEngine(const std::string& path, int busyTimeoutMs);
  ~SqliteEngine() override;

  const std::string& name() const override { return path_; }
  // Adds every committed entry to `index` (start-up, before any reader). Throws StoreError
  // (kFull when they exceed the index's limit).
  void load(Index& index);
  // Runs SQLite's integrity check on a connection of its own.
  void check() override;
  // "journal_mode wal, synchronous 2 (...)": both are per connection, read back from the
  // write connection.
  std::string durability() override;
  long count() override;

  void begin() override;
  void savepoint(Savepoint step) override;
  void write(const ChangeSet& changes, int64_t now) override;
  // Also used on its own at start-up (keys null).
  void purge(int64_t now, std::vector<std::string>* keys) override;
  void commit() override;
  void abandon() noexcept override;

 private:
  struct Writer;
  [[noreturn]] void fail(const char* what);  // StoreError(kFailed) with SQLite's message

  std::string path_;
  int busyTimeoutMs_;
  std::unique_ptr<Writer> writer_;
};

// The suffixes of a database's files: the file itself and its WAL journal files.
constexpr const char* kSqliteFileSuffixes[] = {"", "-wal", "-shm"};

// Removes the database at `path` and its journal files, those that exist; for a database this
// process made and closed without serving from it. False (with errno) when one could not go.
bool removeSqliteFiles(const std::string& path);

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_SQLITEENGINE_H
