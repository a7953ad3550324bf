// Schema.h - the tables and indexes of a qmr-datastored database, and the check that an
// existing file holds exactly those and nothing else (no trigger, view, table or index that
// could copy, change or drop what the server writes).
#ifndef QMR_DATASTORED_SCHEMA_H
#define QMR_DATASTORED_SCHEMA_H

#include <string>

#include "engine/sqlite/Sqlite.h"

namespace qmr_datastored {

// The statements that create the schema (each "IF NOT EXISTS").
extern const char* const kSchema;

// Compares the schema of `db` with the server's own: every object of sqlite_master (type,
// name, table and SQL text) must be one the server creates. Returns "" when they are the same,
// or the differences, e.g. "unexpected trigger 'copy_out' on entries; table 'entries' is
// CREATE TABLE entries(key TEXT, ...) instead of CREATE TABLE entries(...)". Objects that are
// missing are not differences: kSchema creates them. Throws StoreError(kFailed) when SQLite
// fails.
std::string schemaDifferences(Connection& db);

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_SCHEMA_H
