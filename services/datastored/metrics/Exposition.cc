// Exposition.cc - reading the text exposition format, and histogram quantiles.
#include "metrics/Exposition.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <sstream>

namespace qmr_datastored {
namespace {

bool isNameChar(char c, bool first) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || c == ':' ||
         (!first && c >= '0' && c <= '9');
}

// Reads a name at `pos`; empty when there is none.
std::string readName(const std::string& line, size_t* pos) {
  size_t start = *pos;
  while (*pos < line.size() && isNameChar(line[*pos], *pos == start)) ++*pos;
  return line.substr(start, *pos - start);
}

// Reads {name="value",...} at `pos` (after the brace); values may hold \\, \" and \n.
bool readLabels(const std::string& line, size_t* pos, MetricLabels* labels) {
  size_t& i = *pos;
  for (;;) {
    if (i < line.size() && line[i] == '}') {
      ++i;
      return true;
    }
    std::string name = readName(line, &i);
    if (name.empty() || i + 1 >= line.size() || line[i] != '=' || line[i + 1] != '"') {
      return false;
    }
    i += 2;
    std::string value;
    while (i < line.size() && line[i] != '"') {
      if (line[i] == '\\' && i + 1 < line.size()) {
        char next = line[++i];
        value += next == 'n' ? '\n' : next;
      } else {
        value += line[i];
      }
      ++i;
    }
    if (i >= line.size()) return false;
    ++i;  // closing quote
    (*labels)[name] = value;
    if (i < line.size() && line[i] == ',') ++i;
  }
}

bool readValue(const std::string& text, double* out) {
  if (text == "+Inf" || text == "Inf") {
    *out = std::numeric_limits<double>::infinity();
    return true;
  }
  if (text == "-Inf") {
    *out = -std::numeric_limits<double>::infinity();
    return true;
  }
  if (text == "NaN" || text == "Nan" || text == "nan") {
    *out = std::numeric_limits<double>::quiet_NaN();
    return true;
  }
  char* end = nullptr;
  *out = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0';
}

// The name_bucket counts of `e` by upper bound.
std::map<double, double> buckets(const Exposition& e, const std::string& name) {
  std::map<double, double> out;
  for (const Sample* s : e.all(name + "_bucket")) {
    auto le = s->labels.find("le");
    double bound;
    if (le != s->labels.end() && readValue(le->second, &bound)) out[bound] = s->value;
  }
  return out;
}

}  // namespace

bool Exposition::parse(const std::string& text, Exposition* out, std::string* error) {
  Exposition e;
  std::istringstream in(text);
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    Sample s;
    size_t pos = first;
    s.name = readName(line, &pos);
    bool ok = !s.name.empty();
    if (ok && pos < line.size() && line[pos] == '{') {
      ++pos;
      ok = readLabels(line, &pos, &s.labels);
    }
    std::istringstream rest(ok ? line.substr(pos) : std::string());
    std::string value;
    ok = ok && static_cast<bool>(rest >> value) && readValue(value, &s.value);
    if (!ok) {
      *error = "line " + std::to_string(number) + " is not a metric sample: '" + line + "'";
      return false;
    }
    e.samples_.push_back(std::move(s));
  }
  *out = std::move(e);
  return true;
}

std::optional<double> Exposition::value(const std::string& name,
                                        const MetricLabels& labels) const {
  for (const Sample& s : samples_) {
    if (s.name == name && s.labels == labels) return s.value;
  }
  return std::nullopt;
}

std::vector<const Sample*> Exposition::all(const std::string& name) const {
  std::vector<const Sample*> out;
  for (const Sample& s : samples_) {
    if (s.name == name) out.push_back(&s);
  }
  return out;
}

double Exposition::sum(const std::string& name) const {
  double total = 0;
  for (const Sample* s : all(name)) total += s->value;
  return total;
}

std::optional<double> histogramQuantile(double q, const std::string& name,
                                        const Exposition& later, const Exposition* earlier) {
  std::map<double, double> counts = buckets(later, name);
  if (earlier != nullptr) {
    for (const auto& item : buckets(*earlier, name)) counts[item.first] -= item.second;
  }
  if (counts.empty()) return std::nullopt;
  double total = counts.rbegin()->second;  // the +Inf bucket: every observation
  if (!(total > 0)) return std::nullopt;
  double rank = q * total;
  double lowerBound = 0;
  double lowerCount = 0;
  double highestFinite = 0;
  for (const auto& [bound, count] : counts) {
    if (std::isinf(bound)) break;
    highestFinite = bound;
    if (count >= rank) {
      double inBucket = count - lowerCount;
      if (inBucket <= 0) return bound;
      return lowerBound + (bound - lowerBound) * (rank - lowerCount) / inBucket;
    }
    lowerBound = bound;
    lowerCount = count;
  }
  return highestFinite;
}

}  // namespace qmr_datastored
