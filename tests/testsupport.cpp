#include "testsupport.h"

#include <QCoreApplication>

#include <chrono>
#include <cstdlib>
#include <filesystem>
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

}  // namespace pixoran::testing
