// OpenEngine.h - the program's choice of database engine for --db: an SQLite file, whose
// entries are loaded into an in-memory Index that serves reads, or a PostgreSQL database that
// serves reads itself. The one place that knows both engines.
#ifndef QMR_DATASTORED_OPENENGINE_H
#define QMR_DATASTORED_OPENENGINE_H

#include <cstddef>
#include <memory>
#include <string>

#include "engine/Engine.h"
#include "engine/Reads.h"

namespace qmr_datastored {

// An engine opened for writing, and where reads go; for PostgreSQL both are the same object.
struct OpenedEngine {
  std::shared_ptr<Engine> engine;
  std::shared_ptr<Reads> reads;
};

// True when `db` (the --db value) names a PostgreSQL database: a libpq connection URI,
// "postgresql://..." or "postgres://...", or a connection string of keywords that libpq
// accepts ("host=/run/postgresql dbname=qmr"). Anything else is an SQLite file path (a file
// whose name looks like such a string can be given as "./NAME").
bool isPostgres(const std::string& db);

// Opens the engine for `db` and, for SQLite, loads its entries into memory. busyTimeoutMs:
// SQLite's wait for another process's lock; dbTimeoutMs: PostgreSQL's bound on every wait
// (connect, statement, commit).
// maxMemoryBytes: the most memory the entries may take in memory (SQLite only; 0: no limit);
// a file that holds more is refused with StoreError(kFull). Throws StoreError (see
// SqliteEngine and PostgresEngine).
OpenedEngine openEngine(const std::string& db, int busyTimeoutMs, size_t maxMemoryBytes,
                        int dbTimeoutMs = 5000);

// Removes a database that this process made with openEngine and closed again without serving
// from it (an SQLite file and its journals; a PostgreSQL database is never removed). Logs a
// line either way.
void removeMadeDatabase(const std::string& db);

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_OPENENGINE_H
