// Log.h - the process log of the appliance's programs and libraries.
//
// Everything logs through Log::primary(). The default log writes one line per message,
// "LEVEL message", to stderr, dropping messages below its threshold. The threshold starts at
// the level named by the environment variable QMR_LOG_LEVEL ("error", "warning", "info",
// "debug"; "info" when unset) and can be changed with setLevel(). Tests install a CaptureLog
// (below) with setPrimary() to assert on exact lines.
//
// What a message carries may come from a client (a key, a value, a name): every message is
// one line, with control characters written as escapes ("\n", "\x1b"), so no text can
// forge a line or drive the terminal. Warnings and info lines of one format are limited to a
// number per time window (20 per 10 s unless setRateLimit says otherwise); the next line of a
// limited format after the window, or any line once it is over, is preceded by one saying how
// many were suppressed. Errors and debug lines are never limited.
//
// Thread-safety: the default log and CaptureLog may be used from several threads at once;
// setPrimary() must not race with logging.
#ifndef QMR_UTIL_LOG_H
#define QMR_UTIL_LOG_H

#include <cstdarg>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace qmr_util {

class Log {
 public:
  enum Level { kError = 0, kWarning = 1, kInfo = 2, kDebug = 3 };

  Log();
  Log(const Log&) = delete;
  Log& operator=(const Log&) = delete;

  // Writes one finished message. Called by the four level operations below for every message
  // that passes the threshold; derived logs override it to send lines elsewhere.
  virtual void write(Level level, const std::string& message);

  // printf-style messages, one per level. Results carry no meaning; they return 0.
  virtual int error(const char* format, ...) __attribute__((format(printf, 2, 3)));
  virtual int warning(const char* format, ...) __attribute__((format(printf, 2, 3)));
  virtual int info(const char* format, ...) __attribute__((format(printf, 2, 3)));
  virtual int debug(const char* format, ...) __attribute__((format(printf, 2, 3)));

  virtual ~Log();

  // True when a message of `level` would be written; lets callers skip building arguments.
  bool enabled(Level level) const { return level <= threshold_; }
  void setLevel(Level level) { threshold_ = level; }
  Level level() const { return threshold_; }

  // At most `perWindow` warnings and at most `perWindow` info lines of one format in each
  // `windowSeconds`; perWindow 0 turns the limit off.
  void setRateLimit(unsigned perWindow, double windowSeconds);
  // Writes the count of every format suppressed so far now (e.g. at exit).
  void flushSuppressed();

  // `text` with control characters (C0, DEL, and C1 as UTF-8) written as escapes: \n, \r,
  // \t, and \xNN or \u00NN for the rest; everything else unchanged.
  static std::string escapeControls(const std::string& text);

  // The process log. Never null; the caller does not own it.
  static Log* primary();
  // Makes `log` the process log (nullptr restores the default one) and returns the previous
  // one (nullptr when the default one was in place). The caller keeps ownership of `log` and
  // must keep it alive while it is installed.
  static Log* setPrimary(Log* log);

  // "error", "warning", "info", "debug" (any case) to a level; false for any other text.
  static bool parseLevel(const std::string& text, Level* level);
  // "ERROR", "WARNING", "INFO", "DEBUG".
  static const char* levelName(Level level);

 private:
  void vlog(Level level, const char* format, va_list args);

  Level threshold_;
  struct Limiter;
  std::unique_ptr<Limiter> limiter_;
};

// A log that keeps every line ("LEVEL message") in memory, at every level, for tests.
class CaptureLog : public Log {
 public:
  CaptureLog() { setLevel(kDebug); }
  void write(Level level, const std::string& message) override;

  std::vector<std::string> lines() const;
  void clear();

 private:
  mutable std::mutex mutex_;
  std::vector<std::string> lines_;  // guarded by mutex_
};

// Installs a log as the primary one for the lifetime of the guard, then restores the previous.
class ScopedLog {
 public:
  explicit ScopedLog(Log* log) : previous_(Log::setPrimary(log)) {}
  ~ScopedLog() { Log::setPrimary(previous_); }
  ScopedLog(const ScopedLog&) = delete;
  ScopedLog& operator=(const ScopedLog&) = delete;

 private:
  Log* previous_;
};

}  // namespace qmr_util

#endif  // QMR_UTIL_LOG_H
