#include "StateFolder.h"

#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace qmr_datastored {

namespace {

bool isFolder(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The folder part of `file`: "" for a bare name (the working directory).
std::string parentOf(const std::string& file) {
  std::string::size_type slash = file.find_last_of('/');
  if (slash == std::string::npos) return "";
  if (slash == 0) return "/";
  return file.substr(0, slash);
}

}  // namespace

bool makeFoldersFor(const std::string& file, const std::string& what, std::string* made,
                    std::string* error) {
  std::string folder = parentOf(file);
  // The folders to make, innermost last.
  std::vector<std::string> missing;
  for (std::string f = folder; !f.empty() && f != "/" && !isFolder(f); f = parentOf(f)) {
    missing.insert(missing.begin(), f);
  }
  if (missing.empty()) return true;
  const struct group* access = ::getgrnam(kAccessGroup);
  for (const std::string& f : missing) {
    if (::mkdir(f.c_str(), 0700) != 0) {
      int err = errno;
      if (err == EEXIST) continue;  // made meanwhile, or not a folder: opening the file says so
      *error = "cannot create the folder " + f + " for " + what + " " + file + ": " +
               std::strerror(err) + "; create it (e.g. install -d -m 0750 -o USER -g " +
               kAccessGroup + " " + folder + " as root) or give " + what +
               " a path in a folder this user can write";
      return false;
    }
    std::string line = "created " + f + " for " + what + " (mode 0700";
    if (access != nullptr && ::chown(f.c_str(), static_cast<uid_t>(-1), access->gr_gid) == 0 &&
        ::chmod(f.c_str(), 0750) == 0) {
      line = "created " + f + " for " + what + " (mode 0750, group " + kAccessGroup;
    }
    *made += line + ")\n";
  }
  return true;
}

}  // namespace qmr_datastored
