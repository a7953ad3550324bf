// OpenEngine.cc - SQLite file or PostgreSQL database, by the form of --db.
#include "OpenEngine.h"

#include <cerrno>
#include <cstring>

#include "engine/postgres/Postgres.h"
#include "engine/postgres/PostgresEngine.h"
#include "engine/sqlite/Index.h"
#include "engine/sqlite/SqliteEngine.h"
#include "qmr/util/Log.h"

namespace qmr_datastored {

bool isPostgres(const std::string& db) {
  return isPostgresUri(db) || (db.find('=') != std::string::npos && isConnectionString(db));
}

OpenedEngine openEngine(const std::string& db, int busyTimeoutMs, size_t maxMemoryBytes,
                        int dbTimeoutMs) {
  if (isPostgres(db)) {
    auto postgres = std::make_shared<PostgresEngine>(db, dbTimeoutMs);
    return {postgres, postgres};
  }
  auto sqlite = std::make_shared<SqliteEngine>(db, busyTimeoutMs);
  auto index = std::make_shared<Index>(maxMemoryBytes);
  sqlite->load(*index);
  return {sqlite, index};
}

void removeMadeDatabase(const std::string& db) {
  if (isPostgres(db)) return;
  if (removeSqliteFiles(db)) {
    qmr_util::Log::primary()->info("removed the database file %s that this server made at start",
                                   db.c_str());
  } else {
    qmr_util::Log::primary()->warning(
        "could not remove the database file %s that this server made at start (%s); it holds "
        "no entries and can be removed by hand",
        db.c_str(), std::strerror(errno));
  }
}

}  // namespace qmr_datastored
