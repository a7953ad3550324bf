// TlsContext.cc - the authority, certificate and key of TlsOptions, read and checked with
// OpenSSL, and the sslContext through which omniORB's SSL transport uses them.
#include "TlsContext.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <omniORB4/CORBA.h>
#include <omniORB4/sslContext.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "qmr/util/Log.h"

namespace qmr_util {
namespace {

struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};
struct X509Free {
  void operator()(X509* x) const { X509_free(x); }
};
struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct StoreFree {
  void operator()(X509_STORE* s) const { X509_STORE_free(s); }
};
struct StoreCtxFree {
  void operator()(X509_STORE_CTX* s) const { X509_STORE_CTX_free(s); }
};
using Bio = std::unique_ptr<BIO, BioFree>;
using Cert = std::unique_ptr<X509, X509Free>;
using Key = std::unique_ptr<EVP_PKEY, KeyFree>;

// OpenSSL's reason for the last failure, and its error queue emptied.
std::string sslReason() {
  unsigned long code = ERR_peek_last_error();
  ERR_clear_error();
  if (code == 0) return "no reason given";
  const char* reason = ERR_reason_error_string(code);
  return reason != nullptr ? reason : "error " + std::to_string(code);
}

std::string subjectOf(X509* cert) {
  if (cert == nullptr) return "";
  char* text = X509_NAME_oneline(X509_get_subject_name(cert), nullptr, 0);
  std::string subject = text != nullptr ? text : "";
  OPENSSL_free(text);
  return subject;
}

// Opens `path` for reading; null with *error naming the file, its option and the system's
// reason when it cannot.
Bio openFile(const std::string& path, const char* option, std::string* error) {
  Bio bio(BIO_new_file(path.c_str(), "r"));
  if (!bio) {
    int err = errno;
    ERR_clear_error();
    *error = "cannot read " + path + " (" + option + "): " + std::strerror(err);
  }
  return bio;
}

// Every certificate in `path`, in order; an empty list with *error when there is none.
std::vector<Cert> readCertificates(const std::string& path, const char* option,
                                   std::string* error) {
  std::vector<Cert> certs;
  Bio bio = openFile(path, option, error);
  if (!bio) return certs;
  while (X509* cert = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr)) {
    certs.emplace_back(cert);
  }
  ERR_clear_error();  // the end of the file reads as "no start line"
  if (certs.empty()) {
    *error = path + " (" + option + ") holds no certificate in PEM format (\"-----BEGIN " +
             "CERTIFICATE-----\")";
  }
  return certs;
}

// The first line of the password file, without its line end. Warns when other users may read
// it: the password is then theirs too.
bool readPassword(const std::string& path, std::string* password, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read " + path + " (--tls-key-password-file): " + std::strerror(errno);
    return false;
  }
  std::getline(in, *password);
  if (!password->empty() && password->back() == '\r') password->pop_back();
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 && (st.st_mode & 077) != 0) {
    Log::primary()->warning(
        "the key password file %s can be read by other users (mode %03o): make it yours "
        "only (chmod 600 %s)",
        path.c_str(), static_cast<unsigned>(st.st_mode & 0777), path.c_str());
  }
  return true;
}

struct PasswordRequest {
  const std::string* password;  // null: none was given
  bool asked = false;
};

int passwordCallback(char* buffer, int size, int /*rwflag*/, void* user) {
  auto* request = static_cast<PasswordRequest*>(user);
  request->asked = true;
  if (request->password == nullptr) return -1;
  const int length = static_cast<int>(request->password->size());
  if (length > size) return -1;
  std::memcpy(buffer, request->password->data(), static_cast<size_t>(length));
  return length;
}

Key readKey(const TlsOptions& options, std::string* error) {
  std::string password;
  const bool havePassword = !options.keyPasswordFile.empty();
  if (havePassword && !readPassword(options.keyPasswordFile, &password, error)) return Key();
  Bio bio = openFile(options.keyFile, "--tls-key", error);
  if (!bio) return Key();
  PasswordRequest request{havePassword ? &password : nullptr};
  Key key(PEM_read_bio_PrivateKey(bio.get(), nullptr, passwordCallback, &request));
  std::fill(password.begin(), password.end(), '\0');
  if (key) return key;
  const std::string reason = sslReason();
  if (request.asked && havePassword) {
    *error = "cannot decrypt the private key " + options.keyFile + " with the password in " +
             options.keyPasswordFile + ": wrong password (OpenSSL: " + reason + ")";
  } else if (request.asked) {
    *error = "the private key " + options.keyFile + " is encrypted: put its password in a file "
             "of your own and give it with --tls-key-password-file (or "
             "QMR_TLS_KEY_PASSWORD_FILE)";
  } else {
    *error = options.keyFile + " (--tls-key) holds no private key in PEM format (OpenSSL: " +
             reason + ")";
  }
  return Key();
}

// False with *error when `cert` is outside its validity period.
bool currentlyValid(X509* cert, const std::string& path, std::string* error) {
  if (X509_cmp_current_time(X509_get0_notAfter(cert)) < 0) {
    *error = "the certificate " + path + " (" + subjectOf(cert) + ") has expired: make a new one";
    return false;
  }
  if (X509_cmp_current_time(X509_get0_notBefore(cert)) > 0) {
    *error = "the certificate " + path + " (" + subjectOf(cert) + ") is not valid yet: check "
             "the clock of this machine and of the one that signed it";
    return false;
  }
  return true;
}

// Warns when the authority does not sign our own certificate: peers that trust only that
// authority will refuse it (it may still be right, when the two sides trust different ones).
void warnUnlessSignedBy(const std::vector<Cert>& authority, const std::vector<Cert>& chain,
                        const TlsOptions& options) {
  std::unique_ptr<X509_STORE, StoreFree> store(X509_STORE_new());
  std::unique_ptr<X509_STORE_CTX, StoreCtxFree> ctx(X509_STORE_CTX_new());
  STACK_OF(X509)* untrusted = sk_X509_new_null();
  if (!store || !ctx || untrusted == nullptr) {
    sk_X509_free(untrusted);
    return;
  }
  for (const Cert& c : authority) X509_STORE_add_cert(store.get(), c.get());
  for (size_t i = 1; i < chain.size(); ++i) sk_X509_push(untrusted, chain[i].get());
  bool ok = X509_STORE_CTX_init(ctx.get(), store.get(), chain[0].get(), untrusted) == 1 &&
            X509_verify_cert(ctx.get()) == 1;
  if (!ok) {
    Log::primary()->warning(
        "the certificate %s (%s) does not verify against the authority %s (%s): peers that "
        "trust only that authority will refuse it",
        options.certFile.c_str(), subjectOf(chain[0].get()).c_str(), options.caFile.c_str(),
        X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx.get())));
  }
  sk_X509_free(untrusted);
  ERR_clear_error();
}

// "127.0.0.1:40000", or "" when the socket has no peer address of that kind.
std::string peerAddress(const SSL* ssl) {
  sockaddr_storage address;
  socklen_t length = sizeof address;
  if (::getpeername(SSL_get_fd(ssl), reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return "";
  }
  char host[INET6_ADDRSTRLEN] = "";
  int port = 0;
  if (address.ss_family == AF_INET) {
    auto* in = reinterpret_cast<sockaddr_in*>(&address);
    ::inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
    port = ntohs(in->sin_port);
  } else if (address.ss_family == AF_INET6) {
    auto* in = reinterpret_cast<sockaddr_in6*>(&address);
    ::inet_ntop(AF_INET6, &in->sin6_addr, host, sizeof host);
    port = ntohs(in->sin6_port);
  } else {
    return "";
  }
  return std::string(host) + ":" + std::to_string(port);
}

// Why this thread's last handshake refused the peer's certificate (set by verifyCallback,
// reported with the alert that follows in the same handshake).
thread_local std::string refusedCertificate;

int verifyCallback(int preverified, X509_STORE_CTX* ctx) {
  if (preverified == 0) {
    X509* cert = X509_STORE_CTX_get_current_cert(ctx);
    char* issuer = cert != nullptr ? X509_NAME_oneline(X509_get_issuer_name(cert), nullptr, 0)
                                   : nullptr;
    refusedCertificate = "certificate " + subjectOf(cert) + " issued by " +
                         (issuer != nullptr ? issuer : "?") + ": " +
                         X509_verify_cert_error_string(X509_STORE_CTX_get_error(ctx));
    OPENSSL_free(issuer);
  }
  return preverified;
}

// Logs each handshake that fails: a server names the client it refused and why; a client
// names the server that refused it (or that it refused).
void infoCallback(const SSL* ssl, int where, int value) {
  if ((where & SSL_CB_ALERT) == 0) return;
  if (std::strcmp(SSL_alert_type_string(value), "F") != 0) return;  // warnings: not refusals
  std::string peer = peerAddress(ssl);
  peer = peer.empty() ? "" : " " + peer;
  // TLS 1.3's "certificate required" (116) has no name in OpenSSL 3.0's table.
  const char* alert = (value & 0xff) == 116 ? "certificate required (none was shown)"
                                            : SSL_alert_desc_string_long(value);
  std::string why = refusedCertificate.empty() ? "" : " (" + refusedCertificate + ")";
  refusedCertificate.clear();
  const bool server = SSL_is_server(const_cast<SSL*>(ssl)) == 1;
  if (where & SSL_CB_WRITE) {
    Log::primary()->warning("TLS: refused the %s%s: %s%s", server ? "client" : "server",
                            peer.c_str(), alert, why.c_str());
  } else {
    Log::primary()->warning("TLS: the %s%s refused this program: %s", server ? "client" : "server",
                            peer.c_str(), alert);
  }
}

// omniORB's context, with the certificate and key read here (so that they may live in two
// files, and the key may be decrypted with a password from a file) and TLS 1.2 at least.
class QmrSslContext : public sslContext {
 public:
  QmrSslContext(const char* caFile, std::vector<Cert> chain, Key key)
      : sslContext(caFile, nullptr, nullptr), caFile_(caFile), chain_(std::move(chain)),
        key_(std::move(key)) {}

 protected:
  void set_supported_versions() override {
    SSL_CTX_set_min_proto_version(get_SSL_CTX(), TLS1_2_VERSION);
  }

  void set_CA() override {
    SSL_CTX* ctx = get_SSL_CTX();
    if (SSL_CTX_load_verify_locations(ctx, caFile_, nullptr) != 1) {
      Log::primary()->error("TLS: the authority %s could not be loaded: %s", caFile_,
                            sslReason().c_str());
      throw CORBA::INITIALIZE(0, CORBA::COMPLETED_NO);
    }
    // Tells a client which authority its certificate must come from.
    SSL_CTX_set_client_CA_list(ctx, SSL_load_client_CA_file(caFile_));
  }

  void set_certificate() override {
    if (chain_.empty()) return;  // a client without a certificate of its own
    SSL_CTX* ctx = get_SSL_CTX();
    bool ok = SSL_CTX_use_certificate(ctx, chain_[0].get()) == 1;
    for (size_t i = 1; ok && i < chain_.size(); ++i) {
      ok = SSL_CTX_add1_chain_cert(ctx, chain_[i].get()) == 1;
    }
    if (!ok) {
      Log::primary()->error("TLS: the certificate could not be used: %s", sslReason().c_str());
      throw CORBA::INITIALIZE(0, CORBA::COMPLETED_NO);
    }
  }

  void set_privatekey() override {
    if (!key_) return;
    SSL_CTX* ctx = get_SSL_CTX();
    if (SSL_CTX_use_PrivateKey(ctx, key_.get()) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
      Log::primary()->error("TLS: the private key could not be used: %s", sslReason().c_str());
      throw CORBA::INITIALIZE(0, CORBA::COMPLETED_NO);
    }
  }

 private:
  const char* caFile_;  // process lifetime (installTls keeps it)
  std::vector<Cert> chain_;
  Key key_;
};

}  // namespace

bool installTls(const TlsOptions& options, std::string* error) {
  if (!options.consistent(error)) return false;
  if (sslContext::singleton != nullptr) {
    *error = "TLS is already set up in this process";
    return false;
  }
  std::vector<Cert> authority = readCertificates(options.caFile, "--tls-ca", error);
  if (authority.empty()) return false;
  std::vector<Cert> chain;
  Key key;
  if (options.hasCertificate()) {
    chain = readCertificates(options.certFile, "--tls-cert", error);
    if (chain.empty()) return false;
    if (!currentlyValid(chain[0].get(), options.certFile, error)) return false;
    key = readKey(options, error);
    if (!key) return false;
    if (X509_check_private_key(chain[0].get(), key.get()) != 1) {
      ERR_clear_error();
      *error = "the private key " + options.keyFile + " does not belong to the certificate " +
               options.certFile + " (" + subjectOf(chain[0].get()) + "): give the key it was "
               "made with";
      return false;
    }
    warnUnlessSignedBy(authority, chain, options);
  }
  // The context outlives the ORB, which keeps using it until the process ends.
  static std::string caFile;
  caFile = options.caFile;
  sslContext::verify_callback = verifyCallback;
  sslContext::info_callback = infoCallback;
  sslContext::singleton = new QmrSslContext(caFile.c_str(), std::move(chain), std::move(key));
  Log::primary()->debug("TLS: authority %s, certificate %s", options.caFile.c_str(),
                        options.certFile.empty() ? "(none)" : options.certFile.c_str());
  return true;
}

extern "C" bool qmr_tls_install(const TlsOptions* options, std::string* error) {
  return installTls(*options, error);
}

}  // namespace qmr_util
