// OptionsTest.cc - the command line of qmr-datastored from its flag table: defaults applied,
// bad values refused, --help and the manual page naming every flag and default.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "Options.h"

namespace qmr_datastored {
namespace {

// Parses `args` (argv without the program name).
bool parse(std::vector<std::string> args, Options* out, std::string* error) {
  std::vector<char*> argv{const_cast<char*>("qmr-datastored")};
  for (std::string& a : args) argv.push_back(&a[0]);
  return parseOptions(static_cast<int>(argv.size()), argv.data(), out, error);
}

// The value of the ORB option `name` the server would start its ORB with; "" when none.
std::string orbValue(const Options& o, const std::string& name) {
  qmr_util::OrbOptions orb = o.orbOptions();
  const std::vector<std::string>& args = orb.args();
  for (size_t i = 0; i + 1 < args.size(); i += 2) {
    if (args[i] == name) return args[i + 1];
  }
  return "";
}

// True when `text` holds `word` with no letter, digit or dash right before or after it.
bool hasWord(const std::string& text, const std::string& word) {
  auto boundary = [](char c) { return !std::isalnum(static_cast<unsigned char>(c)) && c != '-'; };
  for (size_t at = text.find(word); at != std::string::npos; at = text.find(word, at + 1)) {
    size_t end = at + word.size();
    if ((at == 0 || boundary(text[at - 1])) && (end == text.size() || boundary(text[end]))) {
      return true;
    }
  }
  return false;
}

// The paragraph of the manual page that documents `flag`: from the line that names it in bold
// up to the next paragraph or section, joined on one line, with roff's "\-" as "-".
std::string manParagraph(const std::string& flag) {
  const char* source = std::getenv("QMR_SOURCE_DIR");
  std::string path = std::string(source != nullptr ? source : ".") + "/man/qmr-datastored.8";
  std::ifstream in(path);
  EXPECT_TRUE(in.good()) << "cannot read " << path;
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) {
    for (size_t at = line.find("\\-"); at != std::string::npos; at = line.find("\\-", at)) {
      line.replace(at, 2, "-");
    }
    lines.push_back(line);
  }
  std::string paragraph;
  bool inside = false;
  for (size_t i = 1; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    bool macro = line.rfind(".TP", 0) == 0 || line.rfind(".SH", 0) == 0 ||
                 line.rfind(".SS", 0) == 0 || line.rfind(".PP", 0) == 0;
    if (inside && macro) break;
    // An option's paragraph: .TP, then its name in bold on the next line.
    if (!inside && lines[i - 1] == ".TP" && line.rfind(".B", 0) == 0 && hasWord(line, flag)) {
      inside = true;
    }
    if (inside) paragraph += line + " ";
  }
  return paragraph;
}

TEST(OptionsTest, ManualPageNamesEveryFlagWithItsDefault) {
  for (const Flag& f : flags()) {
    SCOPED_TRACE(f.name);
    std::string paragraph = manParagraph(f.name);
    ASSERT_FALSE(paragraph.empty()) << "man/qmr-datastored.8 has no paragraph for " << f.name;
    if (f.byDefault == nullptr) continue;
    size_t at = paragraph.find("default");
    ASSERT_NE(at, std::string::npos) << "the paragraph does not give the default: " << paragraph;
    EXPECT_TRUE(hasWord(paragraph.substr(at), f.byDefault))
        << "the paragraph does not name the default " << f.byDefault << ": " << paragraph;
  }
}

TEST(OptionsTest, HelpListsEveryFlagWithItsDefaultInNarrowLines) {
  std::string text = usage();
  for (const Flag& f : flags()) {
    SCOPED_TRACE(f.name);
    std::string head = std::string("\n  ") + f.name + (f.arg != nullptr ? " " : "");
    EXPECT_NE(text.find(head), std::string::npos);
    if (f.byDefault != nullptr) {
      // The default follows the flag before the next flag begins.
      size_t from = text.find(head);
      size_t next = text.find("\n  --", from + 1);
      std::string entry = text.substr(from, next - from);
      EXPECT_NE(entry.find(std::string("Default: ") + f.byDefault + "."), std::string::npos)
          << entry;
    }
  }
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) EXPECT_LE(line.size(), 92u) << line;
}

TEST(OptionsTest, FlagsNotGivenTakeTheDefaultsOfTheTable) {
  Options o;
  std::string error;
  ASSERT_TRUE(parse({"--db", "store.db"}, &o, &error)) << error;
  EXPECT_EQ(o.dbPath, "store.db");
  EXPECT_EQ(o.name, "DataStore");
  EXPECT_EQ(o.iorFile, "");
  EXPECT_FALSE(o.logLevelSet);
  EXPECT_EQ(o.limits.maxTransaction, 10000);
  EXPECT_EQ(o.limits.maxSessionsPerClient, 64);
  EXPECT_EQ(o.limits.sessionTimeout, 3600.0);
  EXPECT_EQ(o.limits.maxMessageBytes, 8388608);
  EXPECT_EQ(o.limits.maxMemoryBytes, 2147483648L);
  EXPECT_EQ(o.limits.busyTimeoutMs, 5000);
  EXPECT_EQ(orbValue(o, "-ORBgiopMaxMsgSize"), "8388608");

  // Every default parses as if given, into the same Options.
  std::vector<std::string> given{"--db", "store.db"};
  for (const Flag& f : flags()) {
    if (f.byDefault != nullptr) given.push_back(std::string(f.name) + "=" + f.byDefault);
  }
  Options explicitly;
  ASSERT_TRUE(parse(given, &explicitly, &error)) << error;
  EXPECT_EQ(explicitly.limits.maxPendingBytes, o.limits.maxPendingBytes);
  EXPECT_EQ(explicitly.limits.maxRequestMemory, o.limits.maxRequestMemory);
  EXPECT_EQ(explicitly.limits.maxKeyBytes, o.limits.maxKeyBytes);
  EXPECT_EQ(explicitly.limits.maxValueBytes, o.limits.maxValueBytes);
  EXPECT_EQ(explicitly.limits.maxSessions, o.limits.maxSessions);
  EXPECT_EQ(explicitly.limits.maxTransactionBytes, o.limits.maxTransactionBytes);
}

TEST(OptionsTest, GivenValuesReachTheLimitsAndTheOrb) {
  Options o;
  std::string error;
  ASSERT_TRUE(parse({"--db=postgresql://qmr@127.0.0.1/qmr", "--max-sessions", "3",
                     "--session-timeout=0.5", "--max-value-bytes", "0", "--max-message-bytes",
                     "8192", "--name", "Other", "--log-level", "debug", "-ORBtraceLevel", "5"},
                    &o, &error))
      << error;
  EXPECT_EQ(o.dbPath, "postgresql://qmr@127.0.0.1/qmr");
  EXPECT_EQ(o.limits.maxSessions, 3);
  EXPECT_EQ(o.limits.sessionTimeout, 0.5);
  EXPECT_EQ(o.limits.maxValueBytes, 0);
  EXPECT_EQ(o.limits.maxMessageBytes, 8192);
  EXPECT_EQ(o.name, "Other");
  EXPECT_TRUE(o.logLevelSet);
  EXPECT_EQ(o.logLevel, qmr_util::Log::kDebug);
  EXPECT_EQ(orbValue(o, "-ORBgiopMaxMsgSize"), "8192");
  EXPECT_EQ(orbValue(o, "-ORBtraceLevel"), "5");
}

TEST(OptionsTest, BadCommandLinesAreRefusedNamingWhatIsWrong) {
  struct Case {
    std::vector<std::string> args;
    std::string says;
  };
  const Case cases[] = {
      {{}, "--db is required"},
      {{"--db", ""}, "--db needs a file path"},
      {{"--db", "s.db", "--max-message-bytes", "8191"}, "--max-message-bytes needs a whole number >= 8192"},
      {{"--db", "s.db", "--max-transaction=0"}, "--max-transaction needs a whole number >= 1"},
      {{"--db", "s.db", "--max-key-bytes", "12k"}, "not '12k'"},
      {{"--db", "s.db", "--session-timeout", "-1"}, "--session-timeout needs a number of seconds"},
      {{"--db", "s.db", "--session-timeout", "inf"}, "--session-timeout needs a number of seconds"},
      {{"--db", "s.db", "--name="}, "--name needs a non-empty"},
      {{"--db", "s.db", "--log-level", "loud"}, "--log-level needs one of"},
      {{"--db", "s.db", "--busy-timeout"}, "--busy-timeout needs a value"},
      {{"--db", "s.db", "--help=yes"}, "--help takes no value"},
      {{"--db", "s.db", "--max-sessons", "3"}, "unknown option '--max-sessons'"},
      {{"--db", "s.db", "stray"}, "unexpected argument 'stray'"},
  };
  for (const Case& c : cases) {
    Options o;
    std::string error;
    EXPECT_FALSE(parse(c.args, &o, &error)) << c.says;
    EXPECT_NE(error.find(c.says), std::string::npos) << "said: " << error;
  }
  Options o;
  std::string error;
  EXPECT_TRUE(parse({"-h"}, &o, &error)) << error;
  EXPECT_TRUE(o.help);
}

TEST(OptionsTest, TlsFlagsGoToTheOrbStartUpAndMakeATlsOnlyServer) {
  Options o;
  std::string error;
  ASSERT_TRUE(parse({"--db", "s.db", "--tls-ca", "ca.pem", "--tls-cert=server.pem", "--tls-key",
                     "server.key", "--tls-key-password-file", "pw"},
                    &o, &error))
      << error;
  EXPECT_EQ(o.orb.tls().caFile, "ca.pem");
  EXPECT_EQ(o.orb.tls().certFile, "server.pem");
  EXPECT_EQ(o.orb.tls().keyFile, "server.key");
  EXPECT_EQ(o.orb.tls().keyPasswordFile, "pw");
  EXPECT_EQ(orbValue(o, "-ORBendPoint"), "giop:ssl:127.0.0.1:");
  // Where to listen stays the user's choice.
  ASSERT_TRUE(parse({"--db", "s.db", "--tls-ca", "a", "--tls-cert", "c", "--tls-key", "k",
                     "-ORBendPoint", "giop:ssl:192.0.2.10:2810"},
                    &o, &error))
      << error;
  EXPECT_EQ(orbValue(o, "-ORBendPoint"), "giop:ssl:192.0.2.10:2810");
  ASSERT_TRUE(parse({"--db", "s.db"}, &o, &error)) << error;
  EXPECT_FALSE(o.orb.tls().any());
  EXPECT_EQ(orbValue(o, "-ORBendPoint"), "");  // the ORB start-up's own default applies

  const std::vector<std::pair<std::vector<std::string>, std::string>> refused = {
      {{"--db", "s.db", "--tls-ca", "a"}, "a TLS server shows a certificate of its own"},
      {{"--db", "s.db", "--tls-ca", "a", "--tls-key", "k"}, "needs its certificate"},
      {{"--db", "s.db", "--tls-cert", "c", "--tls-key", "k"}, "give --tls-ca FILE"},
      {{"--db", "s.db", "--tls-ca="}, "--tls-ca needs a file name"},
      {{"--db", "s.db", "--tls-key"}, "--tls-key needs a value"},
      {{"--db", "s.db", "-ORBendPoint", "giop:ssl::2810"}, "serves TLS: give --tls-ca"},
  };
  for (const auto& [args, says] : refused) {
    EXPECT_FALSE(parse(args, &o, &error)) << says;
    EXPECT_NE(error.find(says), std::string::npos) << "said: " << error;
  }
}

}  // namespace
}  // namespace qmr_datastored
