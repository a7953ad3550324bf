// HarnessInl.h - template helpers of Harness.h.
#ifndef QMR_TESTS_HARNESSINL_H
#define QMR_TESTS_HARNESSINL_H

#include <chrono>
#include <thread>

namespace qmr_test {

template <typename F>
bool eventually(F condition, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (condition()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return condition();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace qmr_test

#endif  // QMR_TESTS_HARNESSINL_H
