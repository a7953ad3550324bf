// Engine.cc - choosing the engine for --db, and the group transaction that every engine runs
// through its own steps.
#include "engine/Engine.h"

#include "engine/postgres/PostgresEngine.h"
#include "engine/sqlite/SqliteEngine.h"

namespace qmr_datastored {

bool isPostgresUri(const std::string& db) {
  return db.rfind("postgresql://", 0) == 0 || db.rfind("postgres://", 0) == 0;
}

std::unique_ptr<Engine> openEngine(const std::string& db, int busyTimeoutMs, int dbTimeoutMs) {
  if (isPostgresUri(db)) return std::make_unique<PostgresEngine>(db, dbTimeoutMs);
  return std::make_unique<SqliteEngine>(db, busyTimeoutMs);
}

void Engine::commitGroup(const std::vector<const ChangeSet*>& members, int64_t now,
                         std::vector<std::exception_ptr>* failures,
                         std::vector<std::string>* purged) {
  failures->assign(members.size(), nullptr);
  try {
    begin();
    if (members.size() == 1) {
      write(*members[0], now);  // a failure undoes the whole transaction below
    } else {
      for (size_t i = 0; i < members.size(); ++i) {
        savepoint(Savepoint::kOpen);
        try {
          write(*members[i], now);
        } catch (const StoreError& e) {
          // A lost connection takes the whole transaction with it; any other failure only
          // this member's changes.
          if (e.kind() == StoreError::kUnavailable) throw;
          (*failures)[i] = std::current_exception();
          savepoint(Savepoint::kRollBack);
        }
        savepoint(Savepoint::kRelease);
      }
    }
    purge(now, purged);
    commit();
  } catch (...) {
    abandon();
    purged->clear();
    throw;
  }
}

}  // namespace qmr_datastored
