// TlsTest.cc - qmr-datastored serving TLS with client certificates: a client whose certificate
// the configured authority signed reads and writes; a client without a certificate, with one of
// another authority or without TLS at all is refused; a client is the subject of its
// certificate; an encrypted key opens with the password from its file, and a wrong password, a
// key of another certificate or incomplete settings stop the program with a message that says
// what to fix. Clients are qmr-host processes.
#include <sys/stat.h>

#include <map>

#include "DataStoreFixture.h"

namespace qmr_test {
namespace {

using Files = std::map<std::string, std::string>;

// Makes a throw-away authority with a server and a client certificate in `folder`
// (tools/qmrstack.py certs) and returns the paths by role: ca, server, server_key, client, ...
Files makeAuthority(const std::string& folder, const std::string& name) {
  TempDir scratch("qmr-tls-make");
  const std::string out = scratch.file("out");
  int status = runToCompletion({"/usr/bin/python3", sourceDir() + "/tools/qmrstack.py", "certs",
                                "--dir", folder, "--name", name},
                               out, 60000);
  if (status != 0) throw std::runtime_error("qmrstack.py certs failed: " + readAll(out));
  Files files;
  std::istringstream in(readAll(out));
  std::string role, path;
  while (in >> role >> path) files[role] = path;
  return files;
}

// Writes `text` to a new file of the owner's only.
void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path) << text;
  ::chmod(path.c_str(), 0600);
}

// Two authorities for the whole suite: the one the server trusts and another one.
class TlsTest : public DataStoreTest {
 protected:
  static void SetUpTestSuite() {
    folder_ = new TempDir("qmr-tls");
    ours_ = makeAuthority(folder_->file("ours"), "qmr test authority");
    theirs_ = makeAuthority(folder_->file("theirs"), "another authority");
  }
  static void TearDownTestSuite() {
    delete folder_;
    folder_ = nullptr;
  }

  // The server's settings, on TLS only (the stack's default endpoint, a Unix socket, is left
  // out once an endpoint is given).
  static std::vector<std::string> serverTls() {
    return {"--tls-ca",  ours_["ca"],         "--tls-cert",   ours_["server"],
            "--tls-key", ours_["server_key"], "-ORBendPoint", "giop:ssl:127.0.0.1:"};
  }
  static std::vector<std::string> clientTls(Files& issuer) {
    return {"--tls-ca", ours_["ca"], "--tls-cert", issuer["client"], "--tls-key",
            issuer["client_key"]};
  }

  // Runs `code` in qmr-host with the TLS options `tls`, using this test's data store by name.
  ExitedRun runHost(const std::vector<std::string>& tls, const std::string& code) {
    std::vector<std::string> args = Stack::instance().orbArgs();
    args.insert(args.end(), tls.begin(), tls.end());
    args.insert(args.end(), {"--datastore", testName(), "-c", code});
    return runToExit(dir_, args, "qmr-host");
  }

  // Encrypts the client key of our authority with `password` into a new file; returns its path.
  std::string encryptedClientKey(const std::string& password) {
    const std::string passwordFile = dir_.file("right-password");
    const std::string key = dir_.file("client-encrypted.key");
    writeFile(passwordFile, password + "\n");
    int status = runToCompletion({"openssl", "pkey", "-in", ours_["client_key"], "-aes256",
                                  "-passout", "file:" + passwordFile, "-out", key},
                                 dir_.file("openssl.log"), 30000);
    EXPECT_EQ(0, status) << readAll(dir_.file("openssl.log"));
    return key;
  }

  static TempDir* folder_;
  static Files ours_;
  static Files theirs_;
};

TempDir* TlsTest::folder_ = nullptr;
Files TlsTest::ours_;
Files TlsTest::theirs_;

const char* const kWork =
    "from qmr.DataStoreInterface import interface as store\n"
    "store.set({'over-tls': 'yes'}, 0)\n"
    "store.commit()\n"
    "found, missing = store.get(['over-tls'])\n"
    "assert found == {'over-tls': 'yes'}, found\n"
    "print('tls work done')\n";

TEST_F(TlsTest, AClientWithACertificateOfTheAuthorityReadsAndWrites) {
  startServer(serverTls());
  ExitedRun run = runHost(clientTls(ours_), kWork);
  EXPECT_EQ(0, run.exitCode) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("tls work done")) << run.output;
  EXPECT_EQ(1, countRows("SELECT count(*) FROM entries WHERE key = 'over-tls'"));
  // The same settings from the environment.
  ::setenv("QMR_TLS_CA", ours_["ca"].c_str(), 1);
  ::setenv("QMR_TLS_CERT", ours_["client"].c_str(), 1);
  ::setenv("QMR_TLS_KEY", ours_["client_key"].c_str(), 1);
  run = runHost({}, kWork);
  ::unsetenv("QMR_TLS_CA");
  ::unsetenv("QMR_TLS_CERT");
  ::unsetenv("QMR_TLS_KEY");
  EXPECT_EQ(0, run.exitCode) << run.output;
}

// Over TLS a client is the subject of its certificate: the session table counts the sessions
// of one certificate together, whatever connection or process they come from, and those of
// another certificate of the same authority apart.
TEST_F(TlsTest, AClientIsTheSubjectOfItsCertificate) {
  // A second client certificate of our authority, for another subject.
  const std::string key = dir_.file("second.key"), csr = dir_.file("second.csr");
  const std::string cert = dir_.file("second.pem"), ext = dir_.file("second.ext");
  writeFile(ext, "basicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                 "extendedKeyUsage=clientAuth\n");
  const std::string log = dir_.file("openssl.log");
  ASSERT_EQ(0, runToCompletion({"openssl", "req", "-new", "-newkey", "ec", "-pkeyopt",
                                "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key, "-out",
                                csr, "-subj", "/O=qmr/CN=second client"},
                               log, 30000))
      << readAll(log);
  ASSERT_EQ(0, runToCompletion({"openssl", "x509", "-req", "-in", csr, "-CA", ours_["ca"],
                                "-CAkey", ours_["ca_key"], "-CAcreateserial", "-days", "1",
                                "-extfile", ext, "-out", cert},
                               log, 30000))
      << readAll(log);
  ::chmod(key.c_str(), 0600);

  std::vector<std::string> args = serverTls();
  args.insert(args.end(), {"--log-level", "info"});
  startServer(args);
  for (int i = 0; i < 2; ++i) {
    ExitedRun run = runHost(clientTls(ours_), kWork);
    ASSERT_EQ(0, run.exitCode) << run.output;
  }
  ExitedRun run = runHost({"--tls-ca", ours_["ca"], "--tls-cert", cert, "--tls-key", key}, kWork);
  ASSERT_EQ(0, run.exitCode) << run.output;
  EXPECT_TRUE(logHas("session 1 started for client tls:qmr client (1 open)"));
  EXPECT_TRUE(logHas("session 2 started for client tls:qmr client (1 open)"))
      << "a second process of the same certificate is the same client";
  EXPECT_TRUE(logHas("session 3 started for client tls:second client (1 open)"));
}

TEST_F(TlsTest, AClientWithoutACertificateOrWithoutTlsIsRefused) {
  startServer(serverTls());
  // Trusting the server, but showing nothing.
  ExitedRun run = runHost({"--tls-ca", ours_["ca"]}, kWork);
  EXPECT_EQ(3, run.exitCode) << run.output;
  EXPECT_NE(std::string::npos, run.output.find("cannot reach the data store")) << run.output;
  EXPECT_TRUE(logHas("TLS: refused the client 127.0.0.1:"));
  // Without TLS at all (this test's own ORB): the server offers nothing else.
  EXPECT_THROW(ClientCore::DataStoreSession_var s = newSession(), CORBA::TRANSIENT);
  EXPECT_EQ(0, countRows("SELECT count(*) FROM entries"));
}

TEST_F(TlsTest, ACertificateOfAnotherAuthorityIsRefused) {
  startServer(serverTls());
  ExitedRun run = runHost(clientTls(theirs_), kWork);
  EXPECT_EQ(3, run.exitCode) << run.output;
  // The client is told that it signs with an authority the other side does not trust.
  EXPECT_NE(std::string::npos, run.output.find("does not verify against the authority"))
      << run.output;
  EXPECT_TRUE(logHas("TLS: refused the client 127.0.0.1:"));
  EXPECT_TRUE(logHas("another authority"));  // the refused certificate's issuer, named
  EXPECT_EQ(0, countRows("SELECT count(*) FROM entries"));
}

TEST_F(TlsTest, AnEncryptedKeyOpensWithItsPasswordFileAndAWrongPasswordSaysSo) {
  startServer(serverTls());
  const std::string key = encryptedClientKey("s3cret pass");
  std::vector<std::string> tls = {"--tls-ca", ours_["ca"], "--tls-cert", ours_["client"],
                                  "--tls-key", key};

  std::vector<std::string> right = tls;
  right.insert(right.end(), {"--tls-key-password-file", dir_.file("right-password")});
  ExitedRun run = runHost(right, kWork);
  EXPECT_EQ(0, run.exitCode) << run.output;

  writeFile(dir_.file("wrong-password"), "not it\n");
  std::vector<std::string> wrong = tls;
  wrong.insert(wrong.end(), {"--tls-key-password-file=" + dir_.file("wrong-password")});
  run = runHost(wrong, kWork);
  EXPECT_EQ(2, run.exitCode) << run.output;
  EXPECT_NE(std::string::npos,
            run.output.find("cannot decrypt the private key " + key + " with the password in " +
                            dir_.file("wrong-password") + ": wrong password"))
      << run.output;

  run = runHost(tls, kWork);  // no password file at all
  EXPECT_EQ(2, run.exitCode) << run.output;
  EXPECT_NE(std::string::npos,
            run.output.find("is encrypted: put its password in a file of your own and give it "
                            "with --tls-key-password-file"))
      << run.output;

  // The server says the same and does not start.
  ExitedRun server = runToExit(dir_, {"--db", dir_.file("other.db"), "--tls-ca", ours_["ca"],
                                      "--tls-cert", ours_["client"], "--tls-key", key,
                                      "--tls-key-password-file", dir_.file("wrong-password")});
  EXPECT_EQ(2, server.exitCode) << server.output;
  EXPECT_NE(std::string::npos, server.output.find("TLS cannot be set up: cannot decrypt"))
      << server.output;
}

TEST_F(TlsTest, TheServerRefusesIncompleteOrMismatchedSettingsAndSaysWhatToGive) {
  const std::string db = dir_.file("refused.db");
  struct Case {
    std::vector<std::string> args;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--tls-ca", ours_["ca"]}, "a TLS server shows a certificate of its own"},
      {{"--tls-cert", ours_["server"], "--tls-key", ours_["server_key"]},
       "TLS needs the authority that signs the peers' certificates: give --tls-ca"},
      {{"--tls-ca", ours_["ca"], "--tls-cert", ours_["server"]},
       "needs its private key: give --tls-key"},
      {{"-ORBendPoint", "giop:ssl:127.0.0.1:", "--tls-ca"}, "--tls-ca needs a value"},
      {{"-ORBendPoint", "giop:ssl:127.0.0.1:"},
       "-ORBendPoint giop:ssl:127.0.0.1: serves TLS: give --tls-ca, --tls-cert and --tls-key"},
      {{"--tls-ca", ours_["ca"], "--tls-cert", ours_["server"], "--tls-key",
        theirs_["server_key"]},
       "does not belong to the certificate " + ours_["server"]},
      {{"--tls-ca", dir_.file("missing.pem"), "--tls-cert", ours_["server"], "--tls-key",
        ours_["server_key"]},
       "cannot read " + dir_.file("missing.pem") + " (--tls-ca): No such file or directory"},
      {{"--tls-ca", ours_["server_key"], "--tls-cert", ours_["server"], "--tls-key",
        ours_["server_key"]},
       "holds no certificate in PEM format"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"--db", db};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ExitedRun run = runToExit(dir_, args);
    EXPECT_EQ(2, run.exitCode) << c.message << "\n" << run.output;
    EXPECT_NE(std::string::npos, run.output.find(c.message)) << run.output;
  }
}

}  // namespace
}  // namespace qmr_test
