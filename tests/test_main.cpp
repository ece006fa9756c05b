#include <QApplication>
#include <cstdlib>
#include <gtest/gtest.h>

// Tests run headless: a widgets application on the offscreen platform gives
// fonts and painting without a display.
int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
