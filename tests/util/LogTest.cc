// LogTest.cc - the process log: exact lines on stderr, the level threshold from code and from
// QMR_LOG_LEVEL, the capturing log, and installing logs for a scope.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "Harness.h"
#include "qmr/util/Log.h"

namespace qmr_util {
namespace {

// Sends everything written to file descriptor 2 into a file until text() is called.
class StderrCapture {
 public:
  StderrCapture() : file_(dir_.file("stderr")) {
    std::fflush(stderr);
    saved_ = ::dup(2);
    FILE* f = std::fopen(file_.c_str(), "w");
    ::dup2(::fileno(f), 2);
    std::fclose(f);
  }
  ~StderrCapture() { restore(); }
  std::string text() {
    restore();
    std::ifstream in(file_);
    std::stringstream out;
    out << in.rdbuf();
    return out.str();
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stderr);
    ::dup2(saved_, 2);
    ::close(saved_);
    saved_ = -1;
  }
  qmr_test::TempDir dir_;
  std::string file_;
  int saved_ = -1;
};

// Sets (or, with nullptr, removes) an environment variable for one scope.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* old = std::getenv(name);
    if (old != nullptr) old_ = old, hadOld_ = true;
    value != nullptr ? ::setenv(name, value, 1) : ::unsetenv(name);
  }
  ~ScopedEnv() { hadOld_ ? ::setenv(name_, old_.c_str(), 1) : ::unsetenv(name_); }

 private:
  const char* name_;
  std::string old_;
  bool hadOld_ = false;
};

TEST(LogTest, DefaultLogWritesOneLevelPrefixedLinePerMessageToStderr) {
  ScopedEnv env("QMR_LOG_LEVEL", "debug");
  Log log;
  StderrCapture capture;
  log.error("Unable to commit: %s", "TRANSIENT");
  log.warning("Ignoring duplicate get request for key = %s", "k");
  log.info("count %ld", 42L);
  log.debug("plain");
  EXPECT_EQ(
      "ERROR Unable to commit: TRANSIENT\n"
      "WARNING Ignoring duplicate get request for key = k\n"
      "INFO count 42\n"
      "DEBUG plain\n",
      capture.text());
}

TEST(LogTest, MessageLongerThanTheInlineBufferIsWrittenWhole) {
  Log log;
  std::string big(3000, 'x');
  StderrCapture capture;
  log.error("<%s|%ld>", big.c_str(), -7L);
  EXPECT_EQ("ERROR <" + big + "|-7>\n", capture.text());
}

TEST(LogTest, ThresholdSetInCodeDropsLessSevereMessages) {
  Log log;
  log.setLevel(Log::kWarning);
  StderrCapture capture;
  log.debug("d");
  log.info("i");
  log.warning("w");
  log.error("e");
  EXPECT_EQ("WARNING w\nERROR e\n", capture.text());
  EXPECT_FALSE(log.enabled(Log::kInfo));
  EXPECT_TRUE(log.enabled(Log::kError));
}

TEST(LogTest, ThresholdComesFromTheEnvironmentAndDefaultsToInfo) {
  {
    ScopedEnv env("QMR_LOG_LEVEL", "ERROR");
    EXPECT_EQ(Log::kError, Log().level());
  }
  {
    ScopedEnv env("QMR_LOG_LEVEL", "Debug");
    EXPECT_EQ(Log::kDebug, Log().level());
  }
  ScopedEnv unset("QMR_LOG_LEVEL", nullptr);
  EXPECT_EQ(Log::kInfo, Log().level());
}

TEST(LogTest, UnknownEnvironmentLevelIsReportedAndInfoIsUsed) {
  ScopedEnv env("QMR_LOG_LEVEL", "verbose");
  StderrCapture capture;
  Log log;
  std::string text = capture.text();
  EXPECT_EQ(Log::kInfo, log.level());
  EXPECT_NE(std::string::npos, text.find("QMR_LOG_LEVEL=verbose")) << text;
  EXPECT_EQ(0u, text.find("WARNING ")) << text;
}

TEST(LogTest, CaptureLogKeepsEveryLevelAsExactLines) {
  CaptureLog log;
  log.debug("key %s", "a");
  log.error("%ld keys", 3L);
  EXPECT_EQ((std::vector<std::string>{"DEBUG key a", "ERROR 3 keys"}), log.lines());
  log.clear();
  EXPECT_TRUE(log.lines().empty());
}

TEST(LogTest, ScopedLogInstallsThePrimaryLogAndRestoresThePreviousOne) {
  Log* original = Log::primary();
  ASSERT_NE(nullptr, original);
  CaptureLog outer, inner;
  {
    ScopedLog a(&outer);
    Log::primary()->info("to outer");
    {
      ScopedLog b(&inner);
      Log::primary()->info("to inner");
    }
    EXPECT_EQ(&outer, Log::primary());
    Log::primary()->info("outer again");
  }
  EXPECT_EQ(original, Log::primary());
  EXPECT_EQ((std::vector<std::string>{"INFO to outer", "INFO outer again"}), outer.lines());
  EXPECT_EQ((std::vector<std::string>{"INFO to inner"}), inner.lines());
}

}  // namespace
}  // namespace qmr_util
