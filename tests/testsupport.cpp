#include "testsupport.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

namespace pixoran::testing {

bool PumpUntil(const std::function<bool()>& done, int ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

void WhenShown(std::function<bool(QWidget*)> match, std::function<void(QWidget*)> action, int ms) {
  auto* timer = new QTimer;  // deletes itself once it has answered or given up
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  QObject::connect(timer, &QTimer::timeout, [timer, end, ms, match = std::move(match), action = std::move(action)] {
    QWidget* found = nullptr;
    for (QWidget* w : QApplication::topLevelWidgets())
      if (w->isVisible() && match(w)) {
        found = w;
        break;
      }
    if (!found && std::chrono::steady_clock::now() <= end) return;
    timer->stop();
    timer->deleteLater();
    if (found) action(found);
    else ADD_FAILURE() << "no window came up within " << ms << " ms";
  });
  timer->start(0);  // every pass, so the first events a window runs already see it
}

namespace {
struct TempDirs {
  std::vector<std::string> dirs;
  ~TempDirs() {
    for (const auto& d : dirs) {
      std::error_code ec;
      std::filesystem::remove_all(d, ec);
    }
  }
};
TempDirs& Dirs() {
  static TempDirs t;
  return t;
}
}  // namespace

std::string MakeTempDir(const std::string& tag) {
  std::string templ = std::filesystem::temp_directory_path().string() + "/pixoran-" + tag + "-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  const char* d = mkdtemp(buf.data());
  std::string dir = d ? d : std::string(".");
  Dirs().dirs.push_back(dir);
  return dir;
}

std::vector<std::string> FolderEntries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  return names;
}

std::vector<uint8_t> BitmapContent(TPXBitmap& b) {
  std::vector<uint8_t> out{static_cast<uint8_t>(b.PixelFormat())};
  for (const int32_t v : {b.Width(), b.Height()})
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
  TPXAccessScope readOnly(b, pxaRead);
  const int64_t n = (int64_t{b.Width()} * b.BitCount() + 7) / 8;
  for (int32_t y = 0; y < b.Height(); ++y) {
    const uint8_t* p = b.Scanline(y);
    if (p) out.insert(out.end(), p, p + n);
  }
  if (b.HasAlphaChannel()) {
    const std::vector<uint8_t> a = BitmapContent(*b.GetAlphaChannel());
    out.insert(out.end(), a.begin(), a.end());
  }
  return out;
}

void ResetPeakMemory() { std::ofstream("/proc/self/clear_refs") << "5"; }

int64_t PeakMemory() {
  std::ifstream f("/proc/self/status");
  for (std::string line; std::getline(f, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stoll(line.substr(6)) * 1024;
  return -1;
}

}  // namespace pixoran::testing
