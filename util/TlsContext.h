// TlsContext.h - loads the files of TlsOptions and hands them to omniORB's SSL transport.
//
// The code lives in a module of its own, qmr/libqmr_tls.so beside libqmr_util.so.1, linked with
// omniORB's SSL transport and OpenSSL: only a program that asks for TLS loads them (TlsModule.cc,
// from Orb::init, before ORB_init). The others neither pay for them at start-up nor see the
// transport's warning that it has no authority.
#ifndef QMR_UTIL_TLSCONTEXT_H
#define QMR_UTIL_TLSCONTEXT_H

#include <string>

#include "qmr/util/TlsOptions.h"

namespace qmr_util {

// Reads and checks the authority, the certificate and the key (decrypting it with the password
// file's first line), then installs the context that omniORB's SSL transport takes at ORB_init:
// TLS 1.2 or later, the peer's certificate required and checked against the authority on both
// sides of a connection. Returns false with *error saying which file is wrong and how (missing,
// unreadable, no certificate in it, encrypted without a password, wrong password, key not
// matching the certificate, certificate expired). Once per process, before ORB_init; a second
// call replaces nothing and fails.
bool installTls(const TlsOptions& options, std::string* error);

// Loads the module and runs its installTls(); false with *error when the module cannot be
// loaded or installTls() fails. Part of libqmr_util itself.
bool loadTls(const TlsOptions& options, std::string* error);

// The module's entry point, looked up by name: installTls().
extern "C" bool qmr_tls_install(const TlsOptions* options, std::string* error);
constexpr const char kTlsModule[] = "qmr/libqmr_tls.so";
constexpr const char kTlsEntryPoint[] = "qmr_tls_install";

}  // namespace qmr_util

#endif  // QMR_UTIL_TLSCONTEXT_H
