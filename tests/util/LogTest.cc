// LogTest.cc - the process log: exact lines on stderr, the level threshold from code and from
// QMR_LOG_LEVEL, and the capturing log that tests install for a scope.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
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

}  // namespace
}  // namespace qmr_util
