// Entry of the widget tests: one application object for all tests, on the
// offscreen platform unless another one was asked for.
#include <gtest/gtest.h>

#include <cstdlib>

#include "app/application.h"

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  Application app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
