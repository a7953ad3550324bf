// Postgres.h - owning handles for libpq connections and results, binary parameters (bytea and
// int8 arrays), and what the server reads from a connection string before libpq connects:
// whether it is one, whether it holds a password, and its text without one for messages.
//
// Every statement waits for the database for a bounded time: a connection whose answer does
// not come within its limit is given up (broken() turns true and the caller drops it), so that
// a database server that hangs, or a network that swallows packets, never hangs a call.
#ifndef QMR_DATASTORED_POSTGRES_H
#define QMR_DATASTORED_POSTGRES_H

#include <libpq-fe.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qmr_datastored {

// `uri` with any password removed (the one in its user part and a password= parameter), for
// log lines and messages. A connection string of keywords comes back as written, or, when it
// holds a password, as the keywords and values libpq reads without the password.
std::string redactUri(const std::string& uri);

// True when `text` is a PostgreSQL connection URI ("postgresql://..." or "postgres://...").
bool isPostgresUri(const std::string& text);

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

// How long one statement may wait for the database, and a descriptor that, once readable, ends
// every wait at once (the server is stopping).
struct PgWaits {
  std::chrono::milliseconds limit{5000};
  int stopFd = -1;  // -1: no such descriptor
};

// Connects with PQconnectdbParams(keywords, values, expand_dbname 1), whose connect_timeout
// bounds each host of a URI and moves on to the next. The attempt runs on a thread of its own,
// so that the caller stops waiting as soon as `stopFd` turns readable: then null is returned
// with *error set, and the attempt is closed whenever it ends. Otherwise libpq's connection,
// bad or not (null only when out of memory).
PGconn* connectInterruptibly(const std::vector<std::string>& keywords,
                             const std::vector<std::string>& values, int stopFd,
                             std::string* error);

// One connection, closed by the destructor. Not thread-safe: one user at a time.
class PgConnection {
 public:
  // Takes `conn` (connected) over and switches it to non-blocking sends: closing it never
  // waits for a server that does not read.
  PgConnection(PGconn* conn, const PgWaits& waits);
  ~PgConnection() { PQfinish(conn_); }
  PgConnection(const PgConnection&) = delete;
  PgConnection& operator=(const PgConnection&) = delete;
  PGconn* get() const { return conn_; }
  // True when libpq lost the connection, or when it was given up after a wait ran out.
  bool broken() const { return givenUp_ != GivenUp::kNo || PQstatus(conn_) != CONNECTION_OK; }
  // True when the last statement was given up because its answer did not come in time.
  bool timedOut() const { return givenUp_ == GivenUp::kTimeOut; }
  // Why the connection was given up, or libpq's last error text, on one line.
  std::string message() const;
  // Why `result` failed: the database's error text, or message() when it sent none (the
  // statement could not be sent or its answer did not come).
  std::string why(const PgResult& result) const {
    std::string text = result.error();
    return text.empty() ? message() : text;
  }
  // Runs SQL text (several statements allowed): the first failed result, else the last one; a
  // null result when the statement could not be sent or its answer did not come within the
  // limit (see broken() and message()).
  PgResult exec(const char* sql);
  // Runs the prepared statement `name` with binary parameters, results in binary; as exec.
  PgResult execPrepared(const char* name, int count, const char* const* values,
                        const int* lengths, const int* formats);
  // Prepares `sql` as the statement `name`; as exec.
  PgResult prepare(const char* name, const char* sql);
  // The warnings (severity WARNING) that the server sent during the last statement.
  const std::vector<std::string>& warnings() const { return warnings_; }

 private:
  enum class GivenUp { kNo, kTimeOut, kStopping };
  // Sends with `sent` (true when libpq took the statement) and collects its results.
  PgResult collect(bool sent);
  // Waits for `events` on the connection's socket until the deadline; false (and the
  // connection given up) when the deadline passes or the stop descriptor fires first.
  bool await(short events, std::chrono::steady_clock::time_point deadline);
  static void receiveNotice(void* self, const PGresult* notice);

  PGconn* conn_;
  const PgWaits waits_;
  GivenUp givenUp_ = GivenUp::kNo;
  std::vector<std::string> warnings_;
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
  // Runs the prepared statement `name` with these parameters (PgConnection::execPrepared).
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
