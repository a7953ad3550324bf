// TlsOptions.cc - the --tls-* options and their QMR_TLS_* environment equivalents.
#include "qmr/util/TlsOptions.h"

#include <cstdlib>

namespace qmr_util {
namespace {

struct Setting {
  const char* flag;
  const char* variable;
  std::string TlsOptions::*field;
};
const Setting kSettings[] = {
    {"--tls-ca", "QMR_TLS_CA", &TlsOptions::caFile},
    {"--tls-cert", "QMR_TLS_CERT", &TlsOptions::certFile},
    {"--tls-key", "QMR_TLS_KEY", &TlsOptions::keyFile},
    {"--tls-key-password-file", "QMR_TLS_KEY_PASSWORD_FILE", &TlsOptions::keyPasswordFile},
};

// The setting that `arg` names ("--tls-ca" or "--tls-ca=..."), or null.
const Setting* settingOf(const std::string& arg) {
  const std::string flag = arg.substr(0, arg.find('='));
  for (const Setting& s : kSettings) {
    if (flag == s.flag) return &s;
  }
  return nullptr;
}

}  // namespace

bool TlsOptions::isTlsOption(const std::string& arg) { return settingOf(arg) != nullptr; }

bool TlsOptions::take(int argc, const char* const* argv, int* i, std::string* error) {
  const std::string arg = argv[*i];
  const Setting* setting = settingOf(arg);
  if (setting == nullptr) {
    *error = "'" + arg + "' is not a TLS option";
    return false;
  }
  std::string value;
  const size_t eq = arg.find('=');
  if (eq != std::string::npos) {
    value = arg.substr(eq + 1);
  } else if (*i + 1 < argc && argv[*i + 1][0] != '-') {
    value = argv[++*i];
  }
  if (value.empty()) {
    *error = std::string(setting->flag) + " needs a file name";
    return false;
  }
  this->*(setting->field) = value;
  return true;
}

void TlsOptions::addEnvironment() {
  for (const Setting& s : kSettings) {
    const char* value = std::getenv(s.variable);
    if ((this->*(s.field)).empty() && value != nullptr) this->*(s.field) = value;
  }
}

bool TlsOptions::any() const {
  return !caFile.empty() || !certFile.empty() || !keyFile.empty() || !keyPasswordFile.empty();
}

bool TlsOptions::consistent(std::string* error) const {
  if (!any()) return true;
  if (caFile.empty()) {
    *error = "TLS needs the authority that signs the peers' certificates: give --tls-ca FILE "
             "(or QMR_TLS_CA)";
  } else if (!certFile.empty() && keyFile.empty()) {
    *error = "the certificate " + certFile + " needs its private key: give --tls-key FILE (or "
             "QMR_TLS_KEY)";
  } else if (certFile.empty() && !keyFile.empty()) {
    *error = "the private key " + keyFile + " needs its certificate: give --tls-cert FILE (or "
             "QMR_TLS_CERT)";
  } else if (keyFile.empty() && !keyPasswordFile.empty()) {
    *error = "a key password file without a key: give --tls-key and --tls-cert too";
  } else {
    return true;
  }
  return false;
}

const char* TlsOptions::helpText() {
  return "TLS options (omniORB's SSL transport, giop:ssl endpoints; each also from the\n"
         "environment variable in brackets):\n"
         "  --tls-ca FILE      certificate(s) of the authority that must have signed a peer's\n"
         "                     certificate, PEM (QMR_TLS_CA)\n"
         "  --tls-cert FILE    this program's certificate, PEM, with any intermediate ones\n"
         "                     after it (QMR_TLS_CERT)\n"
         "  --tls-key FILE     its private key, PEM; if encrypted, the password comes from\n"
         "                     --tls-key-password-file (QMR_TLS_KEY)\n"
         "  --tls-key-password-file FILE\n"
         "                     the first line of FILE is the key's password; it is never\n"
         "                     given on the command line (QMR_TLS_KEY_PASSWORD_FILE)\n";
}

}  // namespace qmr_util
