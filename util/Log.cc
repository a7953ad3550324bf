// Log.cc - the default process log (stderr, level threshold) and the capturing log.
#include "qmr/util/Log.h"

#include <strings.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace qmr_util {
namespace {

Log::Level initialLevel() {
  Log::Level level = Log::kInfo;
  const char* env = std::getenv("QMR_LOG_LEVEL");
  if (env != nullptr && !Log::parseLevel(env, &level)) {
    std::fprintf(stderr,
                 "WARNING QMR_LOG_LEVEL=%s is not one of error, warning, info, debug; using info\n",
                 env);
  }
  return level;
}

Log& defaultLog() {
  static Log log;  // function-local static: built on first use, before any caller needs it
  return log;
}

std::atomic<Log*> installed{nullptr};

}  // namespace

Log::Log() : threshold_(initialLevel()) {}
Log::~Log() = default;

void Log::write(Level level, const std::string& message) {
  // One fwrite per line, so lines from several threads do not interleave.
  std::string line = levelName(level);
  line += ' ';
  line += message;
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void Log::vlog(Level level, const char* format, va_list args) {
  if (!enabled(level)) return;
  char small[512];
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(small, sizeof small, format, copy);
  va_end(copy);
  if (n < 0) return;
  if (static_cast<size_t>(n) < sizeof small) {
    write(level, std::string(small, n));
    return;
  }
  std::string big(static_cast<size_t>(n) + 1, '\0');
  std::vsnprintf(&big[0], big.size(), format, args);
  big.resize(n);
  write(level, big);
}

#define QMR_LOG_LEVEL_FN(fn, lvl)        \
  int Log::fn(const char* format, ...) { \
    va_list args;                        \
    va_start(args, format);              \
    vlog(lvl, format, args);             \
    va_end(args);                        \
    return 0;                            \
  }
QMR_LOG_LEVEL_FN(error, kError)
QMR_LOG_LEVEL_FN(warning, kWarning)
QMR_LOG_LEVEL_FN(info, kInfo)
QMR_LOG_LEVEL_FN(debug, kDebug)
#undef QMR_LOG_LEVEL_FN

Log* Log::primary() {
  Log* log = installed.load(std::memory_order_acquire);
  return log != nullptr ? log : &defaultLog();
}

Log* Log::setPrimary(Log* log) { return installed.exchange(log, std::memory_order_acq_rel); }

bool Log::parseLevel(const std::string& text, Level* level) {
  static const char* const names[] = {"error", "warning", "info", "debug"};
  for (int i = 0; i < 4; ++i) {
    if (strcasecmp(text.c_str(), names[i]) == 0) {
      *level = static_cast<Level>(i);
      return true;
    }
  }
  return false;
}

const char* Log::levelName(Level level) {
  switch (level) {
    case kError: return "ERROR";
    case kWarning: return "WARNING";
    case kInfo: return "INFO";
    case kDebug: return "DEBUG";
  }
  return "?";
}

void CaptureLog::write(Level level, const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back(std::string(levelName(level)) + " " + message);
}

std::vector<std::string> CaptureLog::lines() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

void CaptureLog::clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.clear();
}

}  // namespace qmr_util
