// main.cc - qmr-host: python3 with the data store client and the event signaller built in.
#include <cstdio>
#include <string>

#include "Host.h"
#include "HostOptions.h"

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
  return qmr_host::runHost(program, options);
}
