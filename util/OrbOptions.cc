// OrbOptions.cc - picking the -ORB and --tls-* options out of a command line.
#include "qmr/util/OrbOptions.h"

namespace qmr_util {

bool OrbOptions::isOrbOption(const std::string& arg) {
  return arg.size() > 4 && arg.compare(0, 4, "-ORB") == 0;
}

bool OrbOptions::isStartUpOption(const std::string& arg) {
  return isOrbOption(arg) || TlsOptions::isTlsOption(arg);
}

bool OrbOptions::take(int argc, const char* const* argv, int* i, std::string* error) {
  const std::string name = argv[*i];
  if (TlsOptions::isTlsOption(name)) return tls_.take(argc, argv, i, error);
  if (*i + 1 >= argc || argv[*i + 1][0] == '-') {
    *error = "ORB option " + name + " needs a value";
    return false;
  }
  add(name, argv[++*i]);
  return true;
}

bool OrbOptions::parse(int argc, const char* const* argv, std::vector<std::string>* rest,
                       std::string* error) {
  for (int i = 1; i < argc; ++i) {
    if (!isStartUpOption(argv[i])) {
      rest->push_back(argv[i]);
    } else if (!take(argc, argv, &i, error)) {
      return false;
    }
  }
  return true;
}

void OrbOptions::add(const std::string& name, const std::string& value) {
  args_.push_back(name);
  args_.push_back(value);
}

void OrbOptions::addDefault(const std::string& name, const std::string& value) {
  if (!has(name)) add(name, value);
}

bool OrbOptions::has(const std::string& name) const {
  for (size_t i = 0; i < args_.size(); i += 2) {
    if (args_[i] == name) return true;
  }
  return false;
}

std::string OrbOptions::initRef(const std::string& id) const {
  const std::string prefix = id + "=";
  std::string found;
  for (size_t i = 0; i + 1 < args_.size(); i += 2) {
    if (args_[i] == "-ORBInitRef" && args_[i + 1].compare(0, prefix.size(), prefix) == 0) {
      found = args_[i + 1].substr(prefix.size());
    }
  }
  return found;
}

}  // namespace qmr_util
