// PgSchema.cc - the check that an existing PostgreSQL table `entries` is exactly the one the
// server creates: nothing on it that could copy, change or drop what the server writes.
#include <string>

#include "engine/postgres/PostgresEngine.h"

namespace qmr_datastored {
namespace {

void add(std::string* out, const std::string& item) {
  if (!out->empty()) *out += "; ";
  *out += item;
}

PgResult query(PgConnection& conn, const char* sql, const std::string& name) {
  PgResult r = conn.exec(sql);
  if (!r.ok()) {
    throw StoreError(conn.broken() ? StoreError::kUnavailable : StoreError::kFailed,
                     "cannot read the schema of database " + name + ": " + conn.why(r));
  }
  return r;
}

}  // namespace

std::string postgresSchemaDifferences(PgConnection& conn, const std::string& name) {
  PgResult rel = query(conn,
                       "SELECT c.relkind, c.relrowsecurity, n.nspname FROM pg_class c "
                       "JOIN pg_namespace n ON n.oid = c.relnamespace "
                       "WHERE c.oid = to_regclass('entries')",
                       name);
  if (rel.rows() == 0) return "";
  std::string differences;
  std::string table = rel.text(0, 2) + ".entries";
  if (rel.text(0, 0) != "r") {
    // A view, a partitioned or foreign table: what the server writes would go elsewhere.
    return table + " is not a plain table (relkind '" + rel.text(0, 0) + "')";
  }
  if (rel.text(0, 1) == "t") add(&differences, "row level security is enabled on " + table);

  PgResult columns = query(conn,
                           "SELECT attname, format_type(atttypid, atttypmod), attnotnull "
                           "FROM pg_attribute WHERE attrelid = to_regclass('entries') "
                           "AND attnum > 0 AND NOT attisdropped ORDER BY attnum",
                           name);
  std::string found, expected = "key bytea not null, data bytea not null, expires bigint not null";
  for (int i = 0; i < columns.rows(); ++i) {
    if (i > 0) found += ", ";
    found += columns.text(i, 0) + " " + columns.text(i, 1) +
             (columns.text(i, 2) == "t" ? " not null" : "");
  }
  if (found != expected) {
    add(&differences, "columns of " + table + " are (" + found + ") instead of (" + expected + ")");
  }

  PgResult indexes = query(conn,
                           "SELECT c.relname, i.indisprimary, i.indkey::text, "
                           "pg_get_indexdef(i.indexrelid) FROM pg_index i "
                           "JOIN pg_class c ON c.oid = i.indexrelid "
                           "WHERE i.indrelid = to_regclass('entries') ORDER BY 1",
                           name);
  bool primary = false;
  for (int i = 0; i < indexes.rows(); ++i) {
    std::string index = indexes.text(i, 0);
    std::string def = indexes.text(i, 3);
    if (indexes.text(i, 1) == "t" && indexes.text(i, 2) == "1") {
      primary = true;
    } else if (index == "entries_expires" &&
               def.find(" USING btree (expires) WHERE (expires > 0)") != std::string::npos) {
      // The server's own, for the purge of expired entries.
    } else {
      add(&differences, "unexpected index " + index + " (" + def + ")");
    }
  }
  if (!primary) add(&differences, "no primary key on key of " + table);

  // Anything that runs when a row is written: every one is a difference.
  const struct {
    const char* what;
    const char* sql;
  } hooks[] = {
      {"trigger",
       "SELECT tgname FROM pg_trigger WHERE tgrelid = to_regclass('entries') "
       "AND NOT tgisinternal ORDER BY 1"},
      {"rule", "SELECT rulename FROM pg_rewrite WHERE ev_class = to_regclass('entries') ORDER BY 1"},
  };
  for (const auto& hook : hooks) {
    PgResult found = query(conn, hook.sql, name);
    for (int i = 0; i < found.rows(); ++i) {
      add(&differences, std::string("unexpected ") + hook.what + " " + found.text(i, 0) + " on " +
                            table);
    }
  }
  return differences;
}

}  // namespace qmr_datastored
