// Postgres.cc - libpq handles with bounded waits, the binary array format, and reading
// connection strings.
#include "engine/postgres/Postgres.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <thread>

#include "qmr/util/Log.h"

namespace qmr_datastored {
namespace {

constexpr uint32_t kInt8Oid = 20;
constexpr std::chrono::milliseconds kGrace(500);

}  // namespace

void pgPut32(std::string* out, uint32_t v) {
  uint32_t be = htonl(v);
  out->append(reinterpret_cast<const char*>(&be), 4);
}

namespace {

void put64(std::string* out, int64_t v) {
  uint64_t u = static_cast<uint64_t>(v);
  pgPut32(out, static_cast<uint32_t>(u >> 32));
  pgPut32(out, static_cast<uint32_t>(u));
}

std::string oneLine(const char* text) {
  std::string s = text != nullptr ? text : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  for (char& c : s) {
    if (c == '\n' || c == '\t') c = ' ';
  }
  return s;
}

}  // namespace

// The header of a one-dimensional array without NULLs: dimensions, flags, element type, then
// the size and lower bound of its dimension (none for an empty array).
std::string pgArrayHeader(uint32_t elementOid, size_t count) {
  std::string out;
  pgPut32(&out, count == 0 ? 0 : 1);
  pgPut32(&out, 0);
  pgPut32(&out, elementOid);
  if (count != 0) {
    pgPut32(&out, static_cast<uint32_t>(count));
    pgPut32(&out, 1);
  }
  return out;
}

namespace {

// libpq's reading of a connection string; null when it is not one.
struct ParsedOptions {
  explicit ParsedOptions(const std::string& text)
      : options(PQconninfoParse(text.c_str(), &error)) {}
  ~ParsedOptions() {
    if (options != nullptr) PQconninfoFree(options);
    if (error != nullptr) PQfreemem(error);
  }
  ParsedOptions(const ParsedOptions&) = delete;
  ParsedOptions& operator=(const ParsedOptions&) = delete;
  char* error = nullptr;
  PQconninfoOption* options;
};

bool givesPassword(const PQconninfoOption* options) {
  for (const PQconninfoOption* o = options; o->keyword != nullptr; ++o) {
    if (std::string(o->keyword) == "password" && o->val != nullptr) return true;
  }
  return false;
}

}  // namespace

bool isPostgresUri(const std::string& text) {
  return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0;
}

bool isConnectionString(const std::string& text) { return ParsedOptions(text).options != nullptr; }

bool holdsPassword(const std::string& text) {
  ParsedOptions parsed(text);
  return parsed.options != nullptr && givesPassword(parsed.options);
}

std::string redactUri(const std::string& uri) {
  if (!isPostgresUri(uri)) {
    // Keywords: shown as written, or, with a password, rebuilt from what libpq reads.
    ParsedOptions parsed(uri);
    if (parsed.options == nullptr) return "(a connection string libpq cannot read)";
    if (!givesPassword(parsed.options)) return uri;
    std::string out;
    for (PQconninfoOption* o = parsed.options; o->keyword != nullptr; ++o) {
      if (o->val == nullptr || std::string(o->keyword) == "password") continue;
      if (!out.empty()) out += ' ';
      out += std::string(o->keyword) + "=" + o->val;
    }
    return out;
  }
  std::string out = uri;
  size_t scheme = out.find("://");
  if (scheme != std::string::npos) {
    size_t start = scheme + 3;
    size_t end = out.find_first_of("/?", start);
    size_t at = out.rfind('@', end == std::string::npos ? out.size() : end);
    if (at != std::string::npos && at >= start) {
      size_t colon = out.find(':', start);
      if (colon != std::string::npos && colon < at) out.erase(colon, at - colon);
    }
  }
  size_t query = out.find('?');
  if (query == std::string::npos) return out;
  std::string kept;
  size_t start = query + 1;
  while (start <= out.size()) {
    size_t end = out.find('&', start);
    if (end == std::string::npos) end = out.size();
    std::string param = out.substr(start, end - start);
    if (!param.empty() && param.compare(0, 9, "password=") != 0) {
      kept += (kept.empty() ? "" : "&") + param;
    }
    start = end + 1;
  }
  out.erase(query);
  if (!kept.empty()) out += "?" + kept;
  return out;
}

int64_t PgResult::int64(int row, int column) const {
  std::string_view v = value(row, column);
  if (v.size() != 8) return 0;
  uint64_t u = 0;
  for (unsigned char c : v) u = (u << 8) | c;
  return static_cast<int64_t>(u);
}

std::string PgResult::error() const {
  return result_ != nullptr ? oneLine(PQresultErrorMessage(result_)) : "";
}

namespace {

// One connection attempt, shared by the thread that makes it and the caller that waits for it;
// whichever lets go last closes what is left.
struct Attempt {
  std::mutex mutex;
  PGconn* conn = nullptr;  // guarded by mutex: set when the attempt ends, taken by the caller
  int done[2] = {-1, -1};  // a pipe: the thread writes a byte to done[1] when it ends
  ~Attempt() {
    PQfinish(conn);
    for (int fd : done) {
      if (fd >= 0) ::close(fd);
    }
  }
};

}  // namespace

PGconn* connectInterruptibly(const std::vector<std::string>& keywords,
                             const std::vector<std::string>& values, int stopFd,
                             std::string* error) {
  auto attempt = std::make_shared<Attempt>();
  if (::pipe2(attempt->done, O_CLOEXEC) != 0) {
    *error = std::string("cannot create a pipe: ") + std::strerror(errno);
    return nullptr;
  }
  std::thread([attempt, keywords, values] {
    std::vector<const char*> k, v;
    for (size_t i = 0; i < keywords.size(); ++i) {
      k.push_back(keywords[i].c_str());
      v.push_back(values[i].c_str());
    }
    k.push_back(nullptr);
    v.push_back(nullptr);
    PGconn* conn = PQconnectdbParams(k.data(), v.data(), 1);
    std::lock_guard<std::mutex> lock(attempt->mutex);
    attempt->conn = conn;  // closed by ~Attempt when abandoned
    char byte = 1;
    if (::write(attempt->done[1], &byte, 1) != 1) {
      // Cannot happen with an empty pipe; the caller would then wait for the stop only.
    }
  }).detach();
  pollfd fds[2] = {{attempt->done[0], POLLIN, 0}, {stopFd, POLLIN, 0}};
  for (;;) {
    int rc = ::poll(fds, stopFd >= 0 ? 2 : 1, -1);
    if (rc < 0 && errno == EINTR) continue;
    if (rc < 0) {
      *error = std::string("cannot wait for the connection: ") + std::strerror(errno);
      return nullptr;
    }
    std::lock_guard<std::mutex> lock(attempt->mutex);
    if ((fds[0].revents & POLLIN) == 0) {
      *error = "the server is stopping";
      return nullptr;  // the attempt is closed when it ends
    }
    PGconn* conn = attempt->conn;
    attempt->conn = nullptr;
    if (conn == nullptr) *error = "out of memory";
    return conn;
  }
}

PgConnection::PgConnection(PGconn* conn, const PgWaits& waits) : conn_(conn), waits_(waits) {
  PQsetnonblocking(conn_, 1);
  PQsetNoticeReceiver(conn_, &PgConnection::receiveNotice, this);
}

void PgConnection::receiveNotice(void* self, const PGresult* notice) {
  std::string text = oneLine(PQresultErrorMessage(notice));
  const char* severity = PQresultErrorField(notice, PG_DIAG_SEVERITY_NONLOCALIZED);
  if (severity != nullptr && std::strcmp(severity, "WARNING") == 0) {
    static_cast<PgConnection*>(self)->warnings_.push_back(text);
  }
  // Notices such as "relation entries already exists, skipping" are for the debug log only.
  qmr_util::Log* log = qmr_util::Log::primary();
  if (log->enabled(qmr_util::Log::kDebug)) log->debug("database: %s", text.c_str());
}

std::string PgConnection::message() const {
  long long ms = static_cast<long long>(waits_.limit.count());
  switch (givenUp_) {
    case GivenUp::kTimeOut:
      return "no answer within --db-timeout (" + std::to_string(ms) +
             " ms); connection given up";
    case GivenUp::kStopping:
      return "the server is stopping; connection given up";
    case GivenUp::kNo:
      break;
  }
  return oneLine(PQerrorMessage(conn_));
}

bool PgConnection::await(short events, std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      givenUp_ = GivenUp::kTimeOut;
      return false;
    }
    pollfd fds[2] = {{PQsocket(conn_), events, 0}, {waits_.stopFd, POLLIN, 0}};
    // Rounded up, so that a wait never spins on a deadline less than a millisecond away.
    int rc = ::poll(fds, waits_.stopFd >= 0 ? 2 : 1, static_cast<int>(left.count()) + 1);
    if (rc < 0 && errno == EINTR) continue;
    if (waits_.stopFd >= 0 && (fds[1].revents & POLLIN) != 0) {
      givenUp_ = GivenUp::kStopping;
      return false;
    }
    // Ready, or an error on the socket that libpq reports at its next read or write.
    if (rc != 0) return true;
  }
}

PgResult PgConnection::collect(bool sent) {
  if (!sent) return PgResult();
  // The server ends its own statements at the limit (statement_timeout) and says so; this
  // side gives up a moment later, when the server cannot answer at all.
  const auto deadline = std::chrono::steady_clock::now() + waits_.limit + kGrace;
  int flushed;
  while ((flushed = PQflush(conn_)) == 1) {
    if (!await(POLLOUT | POLLIN, deadline)) return PgResult();
    if (!PQconsumeInput(conn_)) return PgResult();
  }
  if (flushed < 0) return PgResult();
  PgResult failed, last;
  for (;;) {
    while (PQisBusy(conn_)) {
      if (!await(POLLIN, deadline)) return PgResult();
      if (!PQconsumeInput(conn_)) return PgResult();
    }
    PgResult r(PQgetResult(conn_));
    if (r.get() == nullptr) break;
    if (!r.ok() && failed.get() == nullptr) {
      failed = std::move(r);
    } else {
      last = std::move(r);
    }
  }
  return failed.get() != nullptr ? std::move(failed) : std::move(last);
}

PgResult PgConnection::exec(const char* sql) {
  warnings_.clear();
  if (givenUp_ != GivenUp::kNo) return PgResult();
  return collect(PQsendQuery(conn_, sql) == 1);
}

PgResult PgConnection::prepare(const char* name, const char* sql) {
  warnings_.clear();
  if (givenUp_ != GivenUp::kNo) return PgResult();
  return collect(PQsendPrepare(conn_, name, sql, 0, nullptr) == 1);
}

PgResult PgConnection::execPrepared(const char* name, int count, const char* const* values,
                                    const int* lengths, const int* formats) {
  warnings_.clear();
  if (givenUp_ != GivenUp::kNo) return PgResult();
  return collect(PQsendQueryPrepared(conn_, name, count, values, lengths, formats, 1) == 1);
}

void PgParams::addByteaArray(const std::vector<std::string_view>& items) {
  addByteaArray(items.size(), [&items](size_t i) { return items[i]; });
}

void PgParams::addInt8Array(const std::vector<int64_t>& numbers) {
  std::string out = pgArrayHeader(kInt8Oid, numbers.size());
  for (int64_t n : numbers) {
    pgPut32(&out, 8);
    put64(&out, n);
  }
  values_.push_back(std::move(out));
}

void PgParams::addInt8(int64_t number) {
  std::string out;
  put64(&out, number);
  values_.push_back(std::move(out));
}

PgResult PgParams::execPrepared(PgConnection& conn, const char* name) const {
  std::vector<const char*> values;
  std::vector<int> lengths, formats;
  for (const std::string& v : values_) {
    values.push_back(v.data());
    lengths.push_back(static_cast<int>(v.size()));
    formats.push_back(1);
  }
  return conn.execPrepared(name, static_cast<int>(values.size()), values.data(), lengths.data(),
                          formats.data());
}

}  // namespace qmr_datastored
