// main.cc - qmr-host: python3 with the data store client and the event signaller built in.
#include <malloc.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Host.h"
#include "HostOptions.h"

namespace {

// Freed heap memory up to this much stays with the process instead of going back to the kernel
// after each request. A _datastore.get of 1000 values of 1 KiB frees about 1 MiB of str objects
// that the next get allocates again; with glibc's own threshold the heap gave it back every
// time and each get faulted it in afresh (12 % of qmr-host's samples were page faults in
// malloc): 1335 -> 1035 µs and 780 -> 463 µs of processor time per such get. A
// trim_threshold in GLIBC_TUNABLES takes precedence.
constexpr int kHeapTrimThreshold = 8 << 20;

void keepFreedHeap() {
  const char* tunables = std::getenv("GLIBC_TUNABLES");
  if (tunables != nullptr && std::strstr(tunables, "trim_threshold") != nullptr) return;
  mallopt(M_TRIM_THRESHOLD, kHeapTrimThreshold);
}

}  // namespace

int main(int argc, char** argv) {
  const std::string program = "qmr-host";
  qmr_host::HostOptions options;
  std::string error;
  if (!qmr_host::parseHostOptions(argc, argv, &options, &error)) {
    std::fprintf(stderr, "%s: %s\nRun '%s --help' for the options.\n", program.c_str(),
                 error.c_str(), program.c_str());
    return qmr_host::kExitUsage;
  }
  if (options.help) {
    std::fputs(qmr_host::hostUsage(program).c_str(), stdout);
    return 0;
  }
  keepFreedHeap();
  return qmr_host::runHost(program, options);
}
