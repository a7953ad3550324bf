// FaultPoint.cc - the pause points of the test build, configured from the environment.
#include "FaultPoint.h"

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace qmr_datastored {

void faultPoint(const char* name) {
  static const char* const point = std::getenv("QMR_FAULT_POINT");
  static const long pauseMs = [] {
    const char* ms = std::getenv("QMR_FAULT_PAUSE_MS");
    return ms != nullptr ? std::atol(ms) : 0L;
  }();
  if (point != nullptr && std::strcmp(point, name) == 0 && pauseMs > 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs));
  }
}

}  // namespace qmr_datastored
