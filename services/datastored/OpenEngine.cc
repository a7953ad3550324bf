// OpenEngine.cc - SQLite file or PostgreSQL database, by the form of --db.
#include "OpenEngine.h"

#include "engine/postgres/PostgresEngine.h"
#include "engine/sqlite/Index.h"
#include "engine/sqlite/SqliteEngine.h"

namespace qmr_datastored {

bool isPostgresUri(const std::string& db) {
  return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

OpenedEngine openEngine(const std::string& db, int busyTimeoutMs, size_t maxMemoryBytes,
                        int dbTimeoutMs) {
  if (isPostgresUri(db)) {
    auto postgres = std::make_shared<PostgresEngine>(db, dbTimeoutMs);
    return {postgres, postgres};
  }
  auto sqlite = std::make_shared<SqliteEngine>(db, busyTimeoutMs);
  auto index = std::make_shared<Index>(maxMemoryBytes);
  sqlite->load(*index);
  return {sqlite, index};
}

}  // namespace qmr_datastored
