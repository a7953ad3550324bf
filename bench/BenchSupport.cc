// BenchSupport.cc - shapes, key and value texts, result lines, options and TCP byte counts
// shared by the benchmark programs.
#include "BenchSupport.h"

#include <dirent.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace qmr_bench {

double Latencies::percentile(double p) const {
  if (us.empty()) return 0;
  std::vector<double> sorted(us);
  size_t rank = static_cast<size_t>(std::ceil(p / 100.0 * static_cast<double>(sorted.size())));
  size_t index = std::min(sorted.size() - 1, rank == 0 ? 0 : rank - 1);
  std::nth_element(sorted.begin(), sorted.begin() + static_cast<long>(index), sorted.end());
  return sorted[index];
}

bool parseShapes(const std::string& text, std::vector<Shape>* shapes, std::string* error) {
  shapes->clear();
  std::size_t pos = 0;
  while (pos <= text.size()) {
    std::size_t comma = text.find(',', pos);
    if (comma == std::string::npos) comma = text.size();
    const std::string item = text.substr(pos, comma - pos);
    Shape shape;
    char tail = 0;
    if (std::sscanf(item.c_str(), "%dx%d%c", &shape.keys, &shape.valueBytes, &tail) != 2 ||
        shape.keys < 1 || shape.keys > kMaxKeys || shape.valueBytes < 1) {
      *error = "bad shape '" + item + "': write KEYSxBYTES, e.g. 100x1024 (1 to " +
               std::to_string(kMaxKeys) + " keys)";
      return false;
    }
    shapes->push_back(shape);
    pos = comma + 1;
  }
  return true;
}

bool parseEntryCounts(const std::string& text, std::vector<int>* counts, std::string* error) {
  counts->clear();
  const char* p = text.c_str();
  do {
    char* end = nullptr;
    const long n = std::strtol(p, &end, 10);
    if (end == p || n < 1 || n > 1000000 || (*end != ',' && *end != '\0')) {
      *error = "--entries needs numbers from 1 to 1000000 separated by commas, e.g. 1,10,100, "
               "not '" + text + "'";
      return false;
    }
    counts->push_back(static_cast<int>(n));
    p = *end == ',' ? end + 1 : end;
  } while (*p != '\0' || p[-1] == ',');
  return true;
}

std::string keyName(int valueBytes, int index) {
  char text[32];
  if (valueBytes == 16) {
    std::snprintf(text, sizeof text, "key:%06d", index);
  } else if (valueBytes == 1024) {
    std::snprintf(text, sizeof text, "kib:%06d", index);
  } else {
    std::snprintf(text, sizeof text, "v%d:%06d", valueBytes, index);
  }
  return text;
}

std::vector<std::string> keyNames(int valueBytes, int count) {
  std::vector<std::string> keys;
  keys.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) keys.push_back(keyName(valueBytes, i));
  return keys;
}

std::string valueFor(int valueBytes, int index) {
  std::string value(static_cast<std::size_t>(valueBytes), 'x');
  const std::string tag = "value-" + std::to_string(index) + "-";
  for (std::size_t i = 0; i < value.size(); ++i) value[i] = tag[i % tag.size()];
  return value;
}

double processCpuSeconds() {
  rusage usage;
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void waitUntil(double epochSeconds) {
  if (epochSeconds <= 0) return;
  const auto target = std::chrono::system_clock::time_point(
      std::chrono::duration_cast<std::chrono::system_clock::duration>(
          std::chrono::duration<double>(epochSeconds)));
  std::this_thread::sleep_until(target);
}

TcpBytes tcpBytes() {
  TcpBytes total;
  DIR* dir = opendir("/proc/self/fd");
  if (dir == nullptr) return total;
  while (dirent* entry = readdir(dir)) {
    const int fd = std::atoi(entry->d_name);
    if (entry->d_name[0] == '.' || fd == dirfd(dir)) continue;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISSOCK(st.st_mode)) continue;
    struct tcp_info info;
    socklen_t len = sizeof info;
    std::memset(&info, 0, sizeof info);
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0) continue;
    total.sent += info.tcpi_bytes_sent - info.tcpi_bytes_retrans;
    total.received += info.tcpi_bytes_received;
  }
  closedir(dir);
  return total;
}

Result::Result(const std::string& kind) { text_ = "{\"kind\": \"" + kind + "\""; }

Result& Result::str(const std::string& name, const std::string& value) {
  text_ += ", \"" + name + "\": \"" + value + "\"";
  return *this;
}

Result& Result::num(const std::string& name, double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.6g", value);
  text_ += ", \"" + name + "\": " + text;
  return *this;
}

void Result::print() {
  std::printf("%s}\n", text_.c_str());
  std::fflush(stdout);
}

const char* CommonOptions::usage() {
  return "  --shapes LIST     read cases KEYSxBYTES,... (default 1x16)\n"
         "  --seconds S       timed length of each case (default 0.3)\n"
         "  --warmup N        untimed calls before each case (default 200)\n"
         "  --start-at T      wait until wall-clock time T (epoch seconds) before timing\n"
         "  --help            this text\n";
}

bool CommonOptions::parse(int argc, char** argv, bool* help, std::string* error) {
  *help = false;
  shapes = {Shape()};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        *error = arg + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    std::string v;
    if (arg == "--help" || arg == "-h") {
      *help = true;
    } else if (arg == "--shapes") {
      if (!value(&v) || !parseShapes(v, &shapes, error)) return false;
    } else if (arg == "--seconds" || arg == "--warmup" || arg == "--start-at") {
      if (!value(&v)) return false;
      char* end = nullptr;
      const double number = std::strtod(v.c_str(), &end);
      if (end == v.c_str() || *end != '\0' || number < 0) {
        *error = arg + " needs a number >= 0, not '" + v + "'";
        return false;
      }
      if (arg == "--seconds") seconds = number;
      if (arg == "--warmup") warmup = static_cast<long>(number);
      if (arg == "--start-at") startAt = number;
    } else {
      rest.push_back(arg);
    }
  }
  return true;
}

}  // namespace qmr_bench
