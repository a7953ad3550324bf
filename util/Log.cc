// Log.cc - the default process log (stderr, level threshold), escaping, the rate limit of
// repeated lines, and the capturing log.
#include "qmr/util/Log.h"

#include <strings.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <unordered_map>
#include <utility>

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

// How many lines of one format were let through and held back in the current window.
struct Log::Limiter {
  using Clock = std::chrono::steady_clock;
  struct Count {
    Clock::time_point start;
    unsigned passed = 0;
    size_t suppressed = 0;
    Level level = kWarning;
    std::string last;  // the last line held back
  };
  using Notes = std::vector<std::pair<Level, std::string>>;

  std::mutex mutex;
  unsigned perWindow = 20;                            // guarded by mutex
  Clock::duration window = std::chrono::seconds(10);  // guarded by mutex
  std::unordered_map<const char*, Count> counts;      // by format; guarded by mutex
  Clock::time_point lastSweep;                        // guarded by mutex

  // The line that counts what was held back of one format. mutex held.
  std::string note(const Count& c) const {
    char head[128];
    std::snprintf(head, sizeof head,
                  "%zu similar messages suppressed (at most %u per %g s), the last: ", c.suppressed,
                  perWindow, std::chrono::duration<double>(window).count());
    return head + c.last;
  }

  // Whether a line of `format` may be written now; adds to *notes the counts of formats whose
  // window has ended with lines held back. mutex held.
  bool admit(const char* format, Level level, const std::string& message, Notes* notes) {
    Clock::time_point now = Clock::now();
    if (now - lastSweep >= std::chrono::seconds(1)) {
      lastSweep = now;
      for (auto it = counts.begin(); it != counts.end();) {
        if (it->first != format && now - it->second.start >= window) {
          if (it->second.suppressed > 0) {
            notes->emplace_back(it->second.level, note(it->second));
          }
          it = counts.erase(it);
        } else {
          ++it;
        }
      }
    }
    Count& c = counts[format];
    if (c.passed == 0 || now - c.start >= window) {
      if (c.suppressed > 0) notes->emplace_back(c.level, note(c));
      c = Count();
      c.start = now;
      c.level = level;
    }
    if (c.passed < perWindow) {
      ++c.passed;
      return true;
    }
    ++c.suppressed;
    c.last = message;
    return false;
  }
};

Log::Log() : threshold_(initialLevel()), limiter_(new Limiter) {}
Log::~Log() = default;

void Log::setRateLimit(unsigned perWindow, double windowSeconds) {
  std::lock_guard<std::mutex> lock(limiter_->mutex);
  limiter_->perWindow = perWindow;
  limiter_->window = std::chrono::duration_cast<Limiter::Clock::duration>(
      std::chrono::duration<double>(windowSeconds));
  limiter_->counts.clear();
}

void Log::flushSuppressed() {
  Limiter::Notes notes;
  {
    std::lock_guard<std::mutex> lock(limiter_->mutex);
    for (auto& item : limiter_->counts) {
      Limiter::Count& c = item.second;
      if (c.suppressed == 0) continue;
      notes.emplace_back(c.level, limiter_->note(c));
      c.suppressed = 0;
    }
  }
  for (auto& n : notes) write(n.first, n.second);
}

std::string Log::escapeControls(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    auto c = static_cast<unsigned char>(text[i]);
    if (c == 0xc2 && i + 1 < text.size()) {
      // U+0080..U+009F: controls that some terminals obey as their 7-bit forms.
      auto next = static_cast<unsigned char>(text[i + 1]);
      if (next >= 0x80 && next <= 0x9f) {
        out += "\\u00";
        out += kHex[next >> 4];
        out += kHex[next & 15];
        ++i;
        continue;
      }
    }
    if (c >= 0x20 && c != 0x7f) {
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c == '\t') {
      out += "\\t";
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

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
  std::string message;
  if (static_cast<size_t>(n) < sizeof small) {
    message.assign(small, static_cast<size_t>(n));
  } else {
    message.assign(static_cast<size_t>(n) + 1, '\0');
    std::vsnprintf(&message[0], message.size(), format, args);
    message.resize(static_cast<size_t>(n));
  }
  message = escapeControls(message);
  if (level == kWarning || level == kInfo) {
    Limiter::Notes notes;
    bool admitted;
    {
      std::lock_guard<std::mutex> lock(limiter_->mutex);
      admitted = limiter_->perWindow == 0 || limiter_->admit(format, level, message, &notes);
    }
    for (auto& note : notes) write(note.first, note.second);
    if (!admitted) return;
  }
  write(level, message);
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
