// TestMain.cc - main() of every C++ test binary: the real naming and event services and the
// ORB come up before the first test and go down after the last, whatever happened in between.
#include <gtest/gtest.h>

#include <iostream>

#include "Harness.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  try {
    qmr_test::Stack::instance().start(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "cannot start the test services: " << e.what()
              << "\n(run ./qmr deps to install omniNames and omniEvents)\n";
    return 2;
  }
  int rc = RUN_ALL_TESTS();
  qmr_test::Stack::instance().shutdown();
  return rc;
}
