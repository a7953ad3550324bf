// OrbConfig.h - the ORB configuration file of an installation: defaults for every program.
//
// The packages install /etc/qmr/orb.conf (a conffile), which says where the packaged Naming
// Service is, so that qmr-host, qmr-listen, qmr-datastored and any program started through
// Orb::init() find it with no option. The file uses omniORB's own format: one "Name = value"
// per line ("InitRef = NameService=corbaloc:omniunix:/run/qmr/names.sock:/NameService"), '#'
// starts a comment. Each setting becomes the default "-ORBName value": an option of the same
// name on the command line wins (for InitRef: one for the same id).
//
// $QMR_ORB_CONF names another file; set to "" it turns the file off. Plain functions, no state.
#ifndef QMR_UTIL_ORBCONFIG_H
#define QMR_UTIL_ORBCONFIG_H

#include <string>

#include "qmr/util/OrbOptions.h"

namespace qmr_util {

// The installation's configuration file: /etc/qmr/orb.conf.
extern const char* const kOrbConfigFile;

// The file Orb::init() reads: $QMR_ORB_CONF when set (possibly "": none), else kOrbConfigFile.
std::string orbConfigPath();

// Adds the settings of the file at `path` to *options as defaults (see above). A missing file
// adds nothing and is no error. Returns false with *error ("/etc/qmr/orb.conf:3: ...") for a
// file that cannot be read or a line that is not "Name = value"; the lines before it are
// added.
bool addOrbConfig(const std::string& path, OrbOptions* options, std::string* error);

}  // namespace qmr_util

#endif  // QMR_UTIL_ORBCONFIG_H
