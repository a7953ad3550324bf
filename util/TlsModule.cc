// TlsModule.cc - loads the TLS module (qmr/libqmr_tls.so, beside this library) when a program
// asks for TLS, and runs its installTls().
#include <dlfcn.h>

#include <string>

#include "TlsContext.h"

namespace qmr_util {

bool loadTls(const TlsOptions& options, std::string* error) {
  Dl_info self;
  if (::dladdr(reinterpret_cast<void*>(&loadTls), &self) == 0 || self.dli_fname == nullptr) {
    *error = "cannot find the folder of libqmr_util, where the TLS module lives";
    return false;
  }
  std::string path = self.dli_fname;
  path = path.substr(0, path.find_last_of('/') + 1) + kTlsModule;
  // Kept loaded: omniORB uses the SSL transport until the process ends.
  void* module = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    *error = "cannot load the TLS module " + path + " (" + ::dlerror() +
             "): reinstall libqmr-client1, or build the target qmr_tls";
    return false;
  }
  auto install = reinterpret_cast<decltype(&qmr_tls_install)>(::dlsym(module, kTlsEntryPoint));
  if (install == nullptr) {
    *error = "the TLS module " + path + " has no entry point " + kTlsEntryPoint;
    return false;
  }
  return install(&options, error);
}

}  // namespace qmr_util
