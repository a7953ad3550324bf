// TestMain.cc - main() of every C++ test binary: the real naming and event services and the
// ORB come up before the first test and go down after the last, whatever happened in between.
#include <gtest/gtest.h>

#include <cstdlib>
#include <iostream>

#include "Harness.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // An installed /etc/qmr/orb.conf decides nothing in the tests (nor in the programs they
  // start); tests that are about it name their own file.
  ::setenv("QMR_ORB_CONF", "", 1);
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
