// Postgres.h - owning handles for libpq connections and results, binary parameters (bytea and
// int8 arrays), and what the server reads from a connection string before libpq connects:
// whether it is one, whether it holds a password, and its text without one for messages.
#ifndef QMR_DATASTORED_POSTGRES_H
#define QMR_DATASTORED_POSTGRES_H

#include <libpq-fe.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qmr_datastored {

// `uri` with any password removed (the one in its user part and a password= parameter), for
// log lines and messages. A connection string of keywords comes back as written, or, when it
// holds a password, as the keywords and values libpq reads without the password.
std::string redactUri(const std::string& uri);

// True when libpq parses `text` as a connection string (a URI, or keyword=value pairs).
bool isConnectionString(const std::string& text);

// True when the connection string `text` gives a password (a password keyword or URI
// parameter, or "user:password@" in a URI), as libpq would read it.
bool holdsPassword(const std::string& text);

// One result, cleared by the destructor.
class PgResult {
 public:
  explicit PgResult(PGresult* result = nullptr) : result_(result) {}
  ~PgResult() { PQclear(result_); }
  PgResult(PgResult&& other) noexcept : result_(other.result_) { other.result_ = nullptr; }
  PgResult& operator=(PgResult&& other) noexcept {
    std::swap(result_, other.result_);
    return *this;
  }
  PgResult(const PgResult&) = delete;
  PgResult& operator=(const PgResult&) = delete;
  PGresult* get() const { return result_; }
  ExecStatusType status() const { return PQresultStatus(result_); }
  bool ok() const { return status() == PGRES_COMMAND_OK || status() == PGRES_TUPLES_OK; }
  int rows() const { return PQntuples(result_); }
  // Column `column` of row `row`, as returned (binary or text).
  std::string_view value(int row, int column) const {
    return std::string_view(PQgetvalue(result_, row, column),
                            static_cast<size_t>(PQgetlength(result_, row, column)));
  }
  std::string text(int row, int column) const { return std::string(value(row, column)); }
  // A big-endian int8 of a binary result.
  int64_t int64(int row, int column) const;
  // The server's error text of a failed result ("" when there is none).
  std::string error() const;

 private:
  PGresult* result_;
};

// One connection, closed by the destructor. Not thread-safe: one user at a time.
class PgConnection {
 public:
  explicit PgConnection(PGconn* conn) : conn_(conn) {}
  ~PgConnection() { PQfinish(conn_); }
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;
  PGconn* get() const { return conn_; }
  bool broken() const { return PQstatus(conn_) != CONNECTION_OK; }
  // libpq's last error text of this connection, on one line.
  std::string message() const;
  // Runs SQL text (several statements allowed).
  PgResult exec(const char* sql) { return PgResult(PQexec(conn_, sql)); }

 private:
  PGconn* conn_;
};

// The binary parameters of one statement: each a value with its length and format 1.
class PgParams {
 public:
  // A bytea[] of `items` (or the int8[] of `numbers`), in PostgreSQL's binary array format.
  void addByteaArray(const std::vector<std::string_view>& items);
  // The same for `count` items, item i given by at(i).
  template <typename At>
  void addByteaArray(size_t count, const At& at);
  void addInt8Array(const std::vector<int64_t>& numbers);
  void addInt8(int64_t number);
  // Runs the prepared statement `name` with these parameters, results in binary.
  PgResult execPrepared(PgConnection& conn, const char* name) const;

 private:
  std::vector<std::string> values_;
};

// The header of a one-dimensional binary array of `count` elements of type `elementOid`, and a
// big-endian 32-bit number (an element's length).
std::string pgArrayHeader(uint32_t elementOid, size_t count);
void pgPut32(std::string* out, uint32_t v);

template <typename At>
void PgParams::addByteaArray(size_t count, const At& at) {
  std::string out = pgArrayHeader(17, count);  // 17: bytea
  for (size_t i = 0; i < count; ++i) {
    std::string_view item = at(i);
    pgPut32(&out, static_cast<uint32_t>(item.size()));
    out.append(item.data(), item.size());
  }
  values_.push_back(std::move(out));
}

}  // namespace qmr_datastored

#endif  // QMR_DATASTORED_POSTGRES_H
