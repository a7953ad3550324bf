// Postgres.cc - libpq handles, the binary array format, and reading connection strings.
#include "engine/postgres/Postgres.h"

#include <arpa/inet.h>

#include <cstring>

namespace qmr_datastored {
namespace {

constexpr uint32_t kInt8Oid = 20;

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

bool isUri(const std::string& text) {
  return text.rfind("postgresql://", 0) == 0 || text.rfind("postgres://", 0) == 0;
}

}  // namespace

bool isConnectionString(const std::string& text) { return ParsedOptions(text).options != nullptr; }

bool holdsPassword(const std::string& text) {
  ParsedOptions parsed(text);
  if (parsed.options == nullptr) return false;
  for (PQconninfoOption* o = parsed.options; o->keyword != nullptr; ++o) {
    if (std::string(o->keyword) == "password" && o->val != nullptr) return true;
  }
  return false;
}

std::string redactUri(const std::string& uri) {
  if (!isUri(uri)) {
    // Keywords: shown as written, or, with a password, rebuilt from what libpq reads.
    ParsedOptions parsed(uri);
    if (parsed.options == nullptr) return "(a connection string libpq cannot read)";
    if (!holdsPassword(uri)) return uri;
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

std::string PgConnection::message() const { return oneLine(PQerrorMessage(conn_)); }

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
  return PgResult(PQexecPrepared(conn.get(), name, static_cast<int>(values.size()), values.data(),
                                 lengths.data(), formats.data(), 1));
}

}  // namespace qmr_datastored
