// TlsOptions.h - the TLS settings of the ORB start-up: which authority signs the certificates
// that a peer must show, and the certificate and key that this program shows.
//
// Every program of this system takes them beside its -ORB options (OrbOptions::take), as
//   --tls-ca FILE                 the authority's certificate(s), PEM
//   --tls-cert FILE               this program's certificate (and chain), PEM
//   --tls-key FILE                its private key, PEM, possibly encrypted
//   --tls-key-password-file FILE  the key's password: the first line of FILE
// or, for each one not given, the environment's QMR_TLS_CA, QMR_TLS_CERT, QMR_TLS_KEY and
// QMR_TLS_KEY_PASSWORD_FILE. The password itself is never an argument: a command line is
// readable by every user of the machine.
//
// Orb::init loads the files (TlsContext.cc) and makes omniORB's SSL transport ("giop:ssl")
// use them: a peer's certificate must be signed by --tls-ca, on either side of a connection.
//
// A plain value: copy it freely; not thread-safe.
#ifndef QMR_UTIL_TLSOPTIONS_H
#define QMR_UTIL_TLSOPTIONS_H

#include <string>

namespace qmr_util {

struct TlsOptions {
  std::string caFile;           // --tls-ca / QMR_TLS_CA
  std::string certFile;         // --tls-cert / QMR_TLS_CERT
  std::string keyFile;          // --tls-key / QMR_TLS_KEY
  std::string keyPasswordFile;  // --tls-key-password-file / QMR_TLS_KEY_PASSWORD_FILE

  // True for "--tls-ca", "--tls-cert", "--tls-key", "--tls-key-password-file", alone or
  // followed by "=VALUE".
  static bool isTlsOption(const std::string& arg);

  // Takes argv[*i], a TLS option, and its value ("--tls-ca=FILE", or "--tls-ca FILE" leaving
  // *i on FILE). False, with *error naming the option, when the value is missing or empty.
  bool take(int argc, const char* const* argv, int* i, std::string* error);

  // Fills each setting that is still empty from its QMR_TLS_* variable.
  void addEnvironment();

  // True when any setting is given: the program then loads them at start-up.
  bool any() const;
  // True when this program would show a certificate.
  bool hasCertificate() const { return !certFile.empty(); }

  // Whether the settings make sense together: a certificate needs its key and the other way
  // round, a password file needs a key, and anything at all needs the authority (without it
  // no peer can be checked). False with *error saying what is missing.
  bool consistent(std::string* error) const;

  // The lines that programs put in their --help, the options and the environment.
  static const char* helpText();
};

}  // namespace qmr_util

#endif  // QMR_UTIL_TLSOPTIONS_H
