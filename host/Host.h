// Host.h - the life of qmr-host: the ORB, the Python interpreter, the data store client and the
// two built-in modules, brought up in that order around one Python command line and torn down
// in reverse.
#ifndef QMR_HOST_HOST_H
#define QMR_HOST_HOST_H

#include <string>

#include "HostOptions.h"

namespace qmr_host {

// Exit statuses of the host itself (the script's own status is passed through otherwise).
enum HostExit {
  kExitUsage = 2,        // bad command line or ORB options
  kExitNoDataStore = 3,  // the data store could not be reached
  kExitNoPackage = 4,    // the qmr package or the built-in modules could not be set up
};

// Runs the Python command line of `options` inside a fully initialised host. Returns the exit
// status of the script (as python3 would), or one of HostExit when the host could not start.
int runHost(const std::string& program, const HostOptions& options);

}  // namespace qmr_host

#endif  // QMR_HOST_HOST_H
