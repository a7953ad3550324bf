// Schema.cc - the schema of the database and its comparison with an existing file's.
#include "engine/sqlite/Schema.h"

#include <map>
#include <utility>

namespace qmr_datastored {

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS entries("
    "  key TEXT PRIMARY KEY NOT NULL,"
    "  data TEXT NOT NULL,"
    "  expires INTEGER NOT NULL"  // ms since the epoch; 0 = never
    ");"
    "CREATE INDEX IF NOT EXISTS entries_expires ON entries(expires) WHERE expires > 0;"
    "CREATE TABLE IF NOT EXISTS info(name TEXT PRIMARY KEY NOT NULL, value TEXT NOT NULL);";

namespace {

struct Object {
  std::string type;
  std::string table;
  std::string sql;  // "" for the indexes that SQLite makes for a primary key
};
using Objects = std::map<std::string, Object>;  // by name

Objects objectsOf(Connection& db) {
  sqlite3_stmt* stmt = nullptr;
  if (sqlite3_prepare_v2(db.get(), "SELECT type, name, tbl_name, sql FROM sqlite_master", -1, &stmt,
                         nullptr) != SQLITE_OK) {
    std::string why = db.message();
    sqlite3_finalize(stmt);
    throw StoreError(StoreError::kFailed, "cannot read the schema: " + why);
  }
  auto text = [stmt](int column) {
    const unsigned char* t = sqlite3_column_text(stmt, column);
    return std::string(t != nullptr ? reinterpret_cast<const char*>(t) : "");
  };
  Objects objects;
  int rc;
  while ((rc = sqlite3_step(stmt)) == SQLITE_ROW) {
    objects[text(1)] = Object{text(0), text(2), text(3)};
  }
  sqlite3_finalize(stmt);
  if (rc != SQLITE_DONE) {
    throw StoreError(StoreError::kFailed, "cannot read the schema: " + db.message());
  }
  return objects;
}

void add(std::string* out, const std::string& item) {
  if (!out->empty()) *out += "; ";
  *out += item;
}

}  // namespace

std::string schemaDifferences(Connection& db) {
  Objects found = objectsOf(db);
  if (found.empty()) return "";
  // The reference: the same statements run on an empty in-memory database, so that the SQL
  // text is compared as this SQLite stores it.
  Connection memory(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_MEMORY, 0);
  memory.exec(kSchema, StoreError::kFailed, "cannot build the reference schema");
  Objects expected = objectsOf(memory);
  std::string differences;
  for (const auto& [name, object] : found) {
    auto it = expected.find(name);
    if (it == expected.end()) {
      add(&differences, "unexpected " + object.type + " '" + name + "' on " + object.table);
    } else if (it->second.type != object.type || it->second.table != object.table ||
               it->second.sql != object.sql) {
      add(&differences, it->second.type + " '" + name + "' is " + object.type + " " +
                            (object.sql.empty() ? "(made by SQLite)" : object.sql) +
                            " instead of " +
                            (it->second.sql.empty() ? "(made by SQLite)" : it->second.sql));
    }
  }
  return differences;
}

}  // namespace qmr_datastored
