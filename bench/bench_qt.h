#pragma once
// The Qt application the benchmarks that paint or show widgets need.
#include <QApplication>

#include <cstdlib>

namespace pixoran::bench {

// Made on first use on the offscreen platform unless another is asked for.
// Never destroyed: a shown window's input devices go with Qt's own globals
// at exit, and a static application would outlive them.
inline QApplication& QtApp() {
  static int argc = 1;
  static char arg0[] = "pixoran_bench";
  static char* argv[] = {arg0, nullptr};
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

}  // namespace pixoran::bench
