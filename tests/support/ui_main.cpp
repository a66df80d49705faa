// Entry of the widget tests: one application object for all tests, on the
// offscreen platform unless another one was asked for.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/application.h"
#include "tests/support/scratch_config.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  ScratchConfig scratch;  // never the user's own engine configuration
  Application app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
