// StateFolder - the folders of the database file and of the reference file, made by the server
// when it runs without systemd (in a container, by hand), where nothing has made them.
//
// Under systemd the unit's StateDirectory= and RuntimeDirectory= make /var/lib/qmr-datastored
// and /run/qmr-datastored before the server starts; elsewhere the server makes the missing
// folders of a path itself: mode 0700, or 0750 with group qmr when that group exists (the group
// whose members may use the service), so that they can read the reference file. A folder that
// exists is left as it is.
#pragma once

#include <string>

namespace qmr_datastored {

// The group whose members may use a packaged data store.
constexpr const char* kAccessGroup = "qmr";

// Makes the missing folders above `file` (not `file` itself). Returns false with a message
// that says what failed and what to do; `what` names the option, e.g. "--db". `made` receives
// one line per folder made, for the log.
bool makeFoldersFor(const std::string& file, const std::string& what, std::string* made,
                    std::string* error);

}  // namespace qmr_datastored
