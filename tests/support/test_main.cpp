// The main of every GoogleTest program: the tests run in hermetic folders (hermetic.h).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "tests/support/hermetic.h"

int main(int argc, char** argv) {
  testing::InitGoogleTest(&argc, argv);
  // Simulated devices run ten times faster than real ones and tell the host so; a test
  // that needs real time sets its own scale (sim/time_scale.h).
#ifndef _WIN32
  setenv("QUENDAL_SIM_TIME_SCALE", "10", 0);
#endif
  if (!quendal::test::EnterHermeticEnvironment()) {
    std::fprintf(stderr, "no folder for the tests' own home and runtime folder\n");
    return 1;
  }
  const int result = RUN_ALL_TESTS();
  quendal::test::LeaveHermeticEnvironment();
  return result;
}
