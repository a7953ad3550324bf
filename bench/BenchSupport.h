// BenchSupport.h - what every benchmark program of bench/ shares: the data shapes (key names,
// values), the timing loop, the command-line cases, result lines, and a count of the bytes
// that the process's TCP connections carried.
//
// Every benchmark program prints one JSON object per line on stdout for each figure it
// measures; bench/run.py collects them. Nothing here is thread-safe; each program is one
// thread of measurement.
#ifndef QMR_BENCH_BENCHSUPPORT_H
#define QMR_BENCH_BENCHSUPPORT_H

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace qmr_bench {

// One read case: how many keys a request names and how long each value is.
struct Shape {
  int keys = 1;
  int valueBytes = 16;
};

// "1x16,10x16,100x1024" to shapes; false (with *error set) on anything else.
bool parseShapes(const std::string& text, std::vector<Shape>* shapes, std::string* error);

// "1,10,100" (entries per write) to numbers >= 1; false (with *error set) on anything else.
bool parseEntryCounts(const std::string& text, std::vector<int>* counts, std::string* error);

// The key set a shape reads: keys "key:000000".. for 16-byte values, "kib:000000".. for
// 1 KiB values, "v<N>:000000".. for any other length. Every benchmark uses these names, so
// the stores hold the same bytes.
std::string keyName(int valueBytes, int index);
std::vector<std::string> keyNames(int valueBytes, int count);
// The value stored under keyName(valueBytes, index): printable, exactly valueBytes long.
std::string valueFor(int valueBytes, int index);
// Largest key count any read case uses; the runner fills every key set up to it.
constexpr int kMaxKeys = 1000;

// User + system processor time of this process so far, in seconds.
double processCpuSeconds();

// The time of each timed call of a run, for percentiles.
struct Latencies {
  std::vector<double> us;
  // The p-th percentile (0 < p <= 100) in microseconds, nearest rank; 0 when empty.
  double percentile(double p) const;
};

// Times `call` for at least `seconds` (and at least minCalls calls) after up to `warmup`
// untimed calls (fewer when they take more than a fifth of `seconds`). Returns microseconds
// per call; *calls receives the timed count and *cpuUs (when given) the processor time this
// process spent per call (user + system), which other load on the machine hardly moves, and
// *latencies (when given) the time of every timed call.
template <typename F>
double timeCalls(F&& call, double seconds, long warmup, long minCalls, long* calls,
                 double* cpuUs = nullptr, Latencies* latencies = nullptr) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point warmUntil =
      Clock::now() +
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds / 5));
  for (long i = 0; i < warmup && (i < 2 || Clock::now() < warmUntil); ++i) call();
  const double cpuStart = processCpuSeconds();
  const Clock::time_point start = Clock::now();
  const Clock::time_point until =
      start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  long n = 0;
  Clock::time_point now;
  Clock::time_point last = start;
  if (latencies != nullptr) latencies->us.clear();
  do {
    call();
    ++n;
    now = Clock::now();
    if (latencies != nullptr) {
      latencies->us.push_back(std::chrono::duration<double, std::micro>(now - last).count());
      last = now;
    }
  } while (now < until || n < minCalls);
  *calls = n;
  if (cpuUs != nullptr) *cpuUs = (processCpuSeconds() - cpuStart) * 1e6 / static_cast<double>(n);
  return std::chrono::duration<double, std::micro>(now - start).count() / static_cast<double>(n);
}

// Sleeps until the wall-clock time `epochSeconds` (a start barrier shared by several client
// processes); returns at once when it has passed or is 0.
void waitUntil(double epochSeconds);

// Bytes sent and received so far on every TCP socket this process holds open.
struct TcpBytes {
  std::uint64_t sent = 0;
  std::uint64_t received = 0;
};
TcpBytes tcpBytes();

// Builder of one JSON result line: Result("read").str("method", "stub").num("keys", 1).print().
class Result {
 public:
  explicit Result(const std::string& kind);
  Result& str(const std::string& name, const std::string& value);
  Result& num(const std::string& name, double value);
  // Writes the line to stdout and flushes it.
  void print();

 private:
  std::string text_;
};

// Options every benchmark program understands. parse() consumes them from argv and leaves the
// rest (ORB options, program-specific flags) in `rest`.
struct CommonOptions {
  std::vector<Shape> shapes;    // --shapes
  double seconds = 0.3;         // --seconds: timed length of one case
  long warmup = 200;            // --warmup: untimed calls before each case
  double startAt = 0;           // --start-at: wall-clock start barrier (epoch seconds)
  std::vector<std::string> rest;

  // False with *error set on a bad value; sets *help on --help/-h.
  bool parse(int argc, char** argv, bool* help, std::string* error);
  static const char* usage();
};

}  // namespace qmr_bench

#endif  // QMR_BENCH_BENCHSUPPORT_H
