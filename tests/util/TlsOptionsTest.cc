// TlsOptionsTest.cc - the --tls-* options: picked out of a command line beside the -ORB ones
// (and never handed to the ORB), completed from QMR_TLS_*, checked for what belongs together;
// and Orb::init refusing settings it cannot use before the ORB starts.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "Harness.h"
#include "qmr/util/Orb.h"
#include "qmr/util/OrbOptions.h"
#include "qmr/util/TlsOptions.h"

namespace qmr_test {
namespace {

using qmr_util::OrbOptions;
using qmr_util::TlsOptions;
using Strings = std::vector<std::string>;

struct Parsed {
  bool ok = false;
  std::string error;
  OrbOptions options;
  Strings rest;
};

Parsed parse(Strings args) {
  args.insert(args.begin(), "prog");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  Parsed p;
  p.ok = p.options.parse(static_cast<int>(argv.size()), argv.data(), &p.rest, &p.error);
  return p;
}

TEST(TlsOptionsTest, EachFlagTakesItsFileInEitherFormAndTheOrbNeverSeesThem) {
  Parsed p = parse({"--tls-ca", "ca.pem", "-ORBtraceLevel", "5", "--tls-cert=me.pem",
                    "script.py", "--tls-key", "me.key", "--tls-key-password-file=pw", "-c"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_EQ("ca.pem", p.options.tls().caFile);
  EXPECT_EQ("me.pem", p.options.tls().certFile);
  EXPECT_EQ("me.key", p.options.tls().keyFile);
  EXPECT_EQ("pw", p.options.tls().keyPasswordFile);
  EXPECT_EQ((Strings{"-ORBtraceLevel", "5"}), p.options.args());
  EXPECT_EQ((Strings{"script.py", "-c"}), p.rest);
  // Names that only look like ours are left to the program.
  p = parse({"--tls-cafile", "x", "--tls", "--tls-ca-x=y"});
  ASSERT_TRUE(p.ok) << p.error;
  EXPECT_FALSE(p.options.tls().any());
  EXPECT_EQ((Strings{"--tls-cafile", "x", "--tls", "--tls-ca-x=y"}), p.rest);
}

TEST(TlsOptionsTest, AMissingOrEmptyFileNameIsRefusedByName) {
  EXPECT_EQ("--tls-ca needs a file name", parse({"--tls-ca"}).error);
  EXPECT_EQ("--tls-cert needs a file name", parse({"--tls-cert="}).error);
  // The next option is not a value.
  EXPECT_EQ("--tls-key needs a file name", parse({"--tls-key", "--tls-ca", "x"}).error);
  EXPECT_EQ("--tls-key-password-file needs a file name",
            parse({"--tls-key-password-file", "-ORBx", "y"}).error);
}

TEST(TlsOptionsTest, TheEnvironmentFillsOnlyWhatTheCommandLineLacks) {
  ::setenv("QMR_TLS_CA", "env-ca.pem", 1);
  ::setenv("QMR_TLS_CERT", "env.pem", 1);
  ::setenv("QMR_TLS_KEY", "env.key", 1);
  ::setenv("QMR_TLS_KEY_PASSWORD_FILE", "env-pw", 1);
  TlsOptions tls;
  tls.certFile = "given.pem";
  tls.addEnvironment();
  EXPECT_EQ("env-ca.pem", tls.caFile);
  EXPECT_EQ("given.pem", tls.certFile);
  EXPECT_EQ("env.key", tls.keyFile);
  EXPECT_EQ("env-pw", tls.keyPasswordFile);
  for (const char* v : {"QMR_TLS_CA", "QMR_TLS_CERT", "QMR_TLS_KEY", "QMR_TLS_KEY_PASSWORD_FILE"}) {
    ::unsetenv(v);
  }
  TlsOptions none;
  none.addEnvironment();
  EXPECT_FALSE(none.any());
}

TEST(TlsOptionsTest, SettingsThatDoNotBelongTogetherSayWhatIsMissing) {
  auto problem = [](const std::string& ca, const std::string& cert, const std::string& key,
                    const std::string& password) {
    TlsOptions tls;
    tls.caFile = ca;
    tls.certFile = cert;
    tls.keyFile = key;
    tls.keyPasswordFile = password;
    std::string error;
    return tls.consistent(&error) ? std::string("consistent") : error;
  };
  EXPECT_EQ("consistent", problem("", "", "", ""));
  EXPECT_EQ("consistent", problem("ca", "", "", ""));  // a client that shows nothing
  EXPECT_EQ("consistent", problem("ca", "c", "k", "p"));
  EXPECT_EQ("TLS needs the authority that signs the peers' certificates: give --tls-ca FILE "
            "(or QMR_TLS_CA)",
            problem("", "c", "k", ""));
  EXPECT_EQ("the certificate c needs its private key: give --tls-key FILE (or QMR_TLS_KEY)",
            problem("ca", "c", "", ""));
  EXPECT_EQ("the private key k needs its certificate: give --tls-cert FILE (or QMR_TLS_CERT)",
            problem("ca", "", "k", ""));
  EXPECT_EQ("a key password file without a key: give --tls-key and --tls-cert too",
            problem("ca", "", "", "p"));
}

TEST(TlsOptionsTest, OrbInitRefusesUnusableSettingsBeforeTheOrbStarts) {
  TempDir dir("qmr-tls-options");
  OrbOptions options;
  options.tls().caFile = dir.file("no-such-ca.pem");
  try {
    CORBA::ORB_var orb = qmr_util::Orb::init("prog", options);
    FAIL() << "no TlsError";
  } catch (const qmr_util::TlsError& e) {
    EXPECT_EQ("cannot read " + dir.file("no-such-ca.pem") + " (--tls-ca): No such file or directory",
              std::string(e.what()));
  }
  options = OrbOptions();
  options.tls().keyFile = dir.file("k");
  EXPECT_THROW(CORBA::ORB_var orb = qmr_util::Orb::init("prog", options), qmr_util::TlsError);
}

}  // namespace
}  // namespace qmr_test
