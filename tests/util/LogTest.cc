// LogTest.cc - the process log: exact lines on stderr, the level threshold from code and from
// QMR_LOG_LEVEL, the capturing log that tests install for a scope, control characters from
// callers escaped, and repeated lines of one format limited with a count of those held back.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "qmr/util/Log.h"

namespace qmr_util {
namespace {

using testing::internal::CaptureStderr;
using testing::internal::GetCapturedStderr;

TEST(LogTest, DefaultLogWritesOneLevelPrefixedLinePerMessageToStderr) {
  Log log;
  log.setLevel(Log::kDebug);
  const std::string big(3000, 'x');  // longer than the log's inline buffer
  CaptureStderr();
  log.error("Unable to commit: %s", "TRANSIENT");
  log.warning("Ignoring duplicate get request for key = %s", "k");
  log.info("count %ld", 42L);
  log.debug("<%s|%ld>", big.c_str(), -7L);
  EXPECT_EQ(
      "ERROR Unable to commit: TRANSIENT\n"
      "WARNING Ignoring duplicate get request for key = k\n"
      "INFO count 42\n"
      "DEBUG <" +
          big + "|-7>\n",
      GetCapturedStderr());
}

TEST(LogTest, ThresholdSetInCodeDropsLessSevereMessages) {
  Log log;
  log.setLevel(Log::kWarning);
  CaptureStderr();
  log.debug("d");
  log.info("i");
  log.warning("w");
  log.error("e");
  EXPECT_EQ("WARNING w\nERROR e\n", GetCapturedStderr());
  EXPECT_FALSE(log.enabled(Log::kInfo));
  EXPECT_TRUE(log.enabled(Log::kWarning));
}

// The level a new log starts with when QMR_LOG_LEVEL is `value` (unset for nullptr), and what
// it wrote to stderr on the way.
std::pair<Log::Level, std::string> levelFromEnvironment(const char* value) {
  const char* old = std::getenv("QMR_LOG_LEVEL");
  const std::string saved = old != nullptr ? old : "";
  value != nullptr ? ::setenv("QMR_LOG_LEVEL", value, 1) : ::unsetenv("QMR_LOG_LEVEL");
  CaptureStderr();
  Log::Level level = Log().level();
  std::string said = GetCapturedStderr();
  old != nullptr ? ::setenv("QMR_LOG_LEVEL", saved.c_str(), 1) : ::unsetenv("QMR_LOG_LEVEL");
  return {level, said};
}

TEST(LogTest, ThresholdComesFromTheEnvironmentInAnyCaseAndDefaultsToInfo) {
  EXPECT_EQ(std::make_pair(Log::kError, std::string()), levelFromEnvironment("ERROR"));
  EXPECT_EQ(std::make_pair(Log::kDebug, std::string()), levelFromEnvironment("Debug"));
  EXPECT_EQ(std::make_pair(Log::kWarning, std::string()), levelFromEnvironment("warning"));
  EXPECT_EQ(std::make_pair(Log::kInfo, std::string()), levelFromEnvironment(nullptr));
  // An unknown level is reported, and info is used.
  auto unknown = levelFromEnvironment("verbose");
  EXPECT_EQ(Log::kInfo, unknown.first);
  EXPECT_EQ(0u, unknown.second.find("WARNING QMR_LOG_LEVEL=verbose ")) << unknown.second;
}

TEST(LogTest, ScopedCaptureLogKeepsEveryLevelAsExactLinesAndRestoresThePreviousLog) {
  Log* original = Log::primary();
  CaptureLog outer, inner;
  {
    ScopedLog a(&outer);
    Log::primary()->debug("key %s", "a");
    {
      ScopedLog b(&inner);
      Log::primary()->error("%ld keys", 3L);
    }
    EXPECT_EQ(&outer, Log::primary());
    Log::primary()->info("outer again");
  }
  EXPECT_EQ(original, Log::primary());
  EXPECT_EQ((std::vector<std::string>{"DEBUG key a", "INFO outer again"}), outer.lines());
  EXPECT_EQ((std::vector<std::string>{"ERROR 3 keys"}), inner.lines());
  outer.clear();
  EXPECT_TRUE(outer.lines().empty());
}

// A key that a client chose can hold anything: a newline and a fake level would forge a line of
// their own, an escape sequence would drive the terminal of whoever reads the log.
TEST(LogTest, ControlCharactersInAMessageAreEscapedSoEveryMessageStaysOneLine) {
  Log log;
  log.setLevel(Log::kDebug);
  const std::string key =
      "k\nERROR forged line\x1b[31mred\r\t\x7f\xc2\x9b"
      "2J caf\xc3\xa9 a\\b";
  CaptureStderr();
  log.warning("Ignoring duplicate remove request for key = %s", key.c_str());
  log.error("%s", "bell\a");
  EXPECT_EQ(
      "WARNING Ignoring duplicate remove request for key = k\\nERROR forged "
      "line\\x1b[31mred\\r\\t\\x7f\\u009b2J caf\xc3\xa9 a\\b\n"
      "ERROR bell\\x07\n",
      GetCapturedStderr());
  // The capturing log sees the same escaped text.
  CaptureLog capture;
  capture.info("%s", "a\nb");
  EXPECT_EQ(std::vector<std::string>{"INFO a\\nb"}, capture.lines());
}

TEST(LogTest, RepeatedWarningsOfOneFormatAreLimitedAndTheirCountReported) {
  CaptureLog log;
  log.setRateLimit(3, 0.5);
  for (int i = 0; i < 10; ++i) log.warning("session %d ended to make room", i);
  for (int i = 0; i < 5; ++i) log.info("started %d", i);
  for (int i = 0; i < 6; ++i) log.error("failed %d", i);  // errors are never held back
  log.warning("another format %d", 1);
  std::vector<std::string> lines = log.lines();
  EXPECT_EQ((std::vector<std::string>{
                "WARNING session 0 ended to make room", "WARNING session 1 ended to make room",
                "WARNING session 2 ended to make room", "INFO started 0", "INFO started 1",
                "INFO started 2", "ERROR failed 0", "ERROR failed 1", "ERROR failed 2",
                "ERROR failed 3", "ERROR failed 4", "ERROR failed 5", "WARNING another format 1"}),
            lines);
  // After the window, the next line of the format comes after the count of those held back.
  std::this_thread::sleep_for(std::chrono::milliseconds(600));
  log.clear();
  log.warning("session %d ended to make room", 10);
  EXPECT_EQ((std::vector<std::string>{"WARNING 7 similar messages suppressed (at most 3 per 0.5 "
                                      "s), the last: session 9 ended to "
                                      "make room",
                                      "WARNING session 10 ended to make room"}),
            log.lines());
  // A format that does not come again is counted at the next line of any other format once
  // its window has ended, or when the log is flushed.
  std::this_thread::sleep_for(std::chrono::milliseconds(1100));
  log.clear();
  log.warning("unrelated");
  EXPECT_EQ((std::vector<std::string>{
                "INFO 2 similar messages suppressed (at most 3 per 0.5 s), the last: started 4",
                "WARNING unrelated"}),
            log.lines());
  log.clear();
  for (int i = 0; i < 5; ++i) log.warning("burst %d", i);
  log.flushSuppressed();
  EXPECT_EQ("WARNING 2 similar messages suppressed (at most 3 per 0.5 s), the last: burst 4",
            log.lines().back());
  // 0 turns the limit off.
  log.setRateLimit(0, 10);
  log.clear();
  for (int i = 0; i < 50; ++i) log.warning("unlimited %d", i);
  EXPECT_EQ(50u, log.lines().size());
}

}  // namespace
}  // namespace qmr_util
