// OrbConfig.cc - reading the installation's ORB configuration file into start-up defaults.
#include "qmr/util/OrbConfig.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

namespace qmr_util {

const char* const kOrbConfigFile = "/etc/qmr/orb.conf";

namespace {

std::string trimmed(const std::string& s) {
  const char* space = " \t\r";
  size_t first = s.find_first_not_of(space);
  if (first == std::string::npos) return "";
  return s.substr(first, s.find_last_not_of(space) - first + 1);
}

// Adds one setting unless the command line gave it.
void addDefault(const std::string& name, const std::string& value, OrbOptions* options) {
  const std::string option = "-ORB" + name;
  if (name == "InitRef") {
    // One default per id: a NameService given on the command line leaves others in force.
    size_t eq = value.find('=');
    if (eq != std::string::npos && options->initRef(value.substr(0, eq)).empty()) {
      options->add(option, value);
    }
    return;
  }
  options->addDefault(option, value);
}

}  // namespace

std::string orbConfigPath() {
  const char* given = std::getenv("QMR_ORB_CONF");
  return given ? given : kOrbConfigFile;
}

bool addOrbConfig(const std::string& path, OrbOptions* options, std::string* error) {
  if (path.empty()) return true;
  std::ifstream in(path);
  if (!in) {
    if (errno == ENOENT) return true;
    *error = "cannot read the ORB configuration " + path + ": " + std::strerror(errno) +
             " (fix its permissions, or set QMR_ORB_CONF to another file or to nothing)";
    return false;
  }
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    line = trimmed(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    size_t eq = line.find('=');
    std::string name = eq == std::string::npos ? "" : trimmed(line.substr(0, eq));
    std::string value = eq == std::string::npos ? "" : trimmed(line.substr(eq + 1));
    if (name.empty() || value.empty() || name.find_first_of(" \t") != std::string::npos) {
      *error = path + ":" + std::to_string(number) + ": expected 'Name = value' (as in " +
               "'InitRef = NameService=corbaloc:omniunix:/run/qmr/names.sock:/NameService'), " +
               "found '" + line + "'";
      return false;
    }
    addDefault(name, value, options);
  }
  return true;
}

}  // namespace qmr_util
