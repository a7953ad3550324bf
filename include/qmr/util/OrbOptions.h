// OrbOptions.h - the -ORB and --tls-* options of a command line, for the one ORB start-up
// (Orb::init).
//
// Every program of this system takes omniORB's options as "-ORB<name> VALUE" pairs beside its
// own arguments. OrbOptions picks them out, in their order, and says which were given, so that
// defaults are added only where the user gave nothing (Orb::startUpOptions). The TLS options
// (TlsOptions.h) come the same way and are kept apart: the ORB never sees them.
//
// A plain value: copy it freely; not thread-safe.
#ifndef QMR_UTIL_ORBOPTIONS_H
#define QMR_UTIL_ORBOPTIONS_H

#include <string>
#include <vector>

#include "qmr/util/TlsOptions.h"

namespace qmr_util {

class OrbOptions {
 public:
  // True for "-ORB" followed by a name ("-ORBInitRef"), false for "-ORB" alone or anything else.
  static bool isOrbOption(const std::string& arg);
  // An option of the ORB start-up: an ORB option or a TLS option (TlsOptions::isTlsOption).
  static bool isStartUpOption(const std::string& arg);

  // Takes argv[*i], a start-up option, and its value, leaving *i on the value. Returns false
  // and sets *error ("ORB option -ORBInitRef needs a value") when there is no next argument or
  // the next one starts with '-' (no ORB option value does).
  bool take(int argc, const char* const* argv, int* i, std::string* error);

  // Takes every start-up option of argv[1..argc) with its value; the other arguments go to
  // *rest in their order. False, with *error as take() sets it, on an option without value.
  bool parse(int argc, const char* const* argv, std::vector<std::string>* rest, std::string* error);

  // Appends one option with its value.
  void add(const std::string& name, const std::string& value);
  // Appends it unless an option of exactly that name was given.
  void addDefault(const std::string& name, const std::string& value);
  bool has(const std::string& name) const;
  // The value of the last "-ORBInitRef ID=VALUE" for `id`, without "ID="; "" when none.
  std::string initRef(const std::string& id) const;

  // Name, value, name, value, ... in the order given.
  const std::vector<std::string>& args() const { return args_; }

  // The --tls-* options given (without the environment's, which Orb::init adds).
  TlsOptions& tls() { return tls_; }
  const TlsOptions& tls() const { return tls_; }

 private:
  std::vector<std::string> args_;
  TlsOptions tls_;
};

}  // namespace qmr_util

#endif  // QMR_UTIL_ORBOPTIONS_H
