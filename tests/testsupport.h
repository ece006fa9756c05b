#pragma once
// Helpers shared by the test suites.
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_settings.h"
#include "core/pxprogress.h"

class QWidget;

namespace pixoran {
// Result kinds print by name in test failures.
inline void PrintTo(TPXIOResult kind, std::ostream* os) { *os << IOResultName(kind); }
}  // namespace pixoran

namespace pixoran::testing {

// Sets the process-wide memory-threshold override for one scope.
class ThresholdScope {
 public:
  explicit ThresholdScope(int64_t bytes) : saved_(PXSettings().MemoryThresholdOverride) {
    PXSettings().MemoryThresholdOverride = bytes;
  }
  ~ThresholdScope() { PXSettings().MemoryThresholdOverride = saved_; }

 private:
  int64_t saved_;
};

// Sets the process-wide temporary folder for one scope.
class TempFolderScope {
 public:
  explicit TempFolderScope(std::string folder) : saved_(PXSettings().TempFolder) {
    PXSettings().TempFolder = std::move(folder);
  }
  ~TempFolderScope() { PXSettings().TempFolder = saved_; }

 private:
  std::string saved_;
};

// Runs the UI thread's events until done() holds (true) or ms pass (false).
bool PumpUntil(const std::function<bool()>& done, int ms = 10000);

// Calls action once with the first visible top-level window that match
// accepts, looking whenever the UI thread runs its events (its loop, a
// dialog's exec, a processEvents call), so it does not matter how long the
// window takes to come up. After ms without one it records a failure.
void WhenShown(std::function<bool(QWidget*)> match, std::function<void(QWidget*)> action, int ms = 30000);

// A fresh empty folder under the system temporary folder, removed at exit.
std::string MakeTempDir(const std::string& tag);

// The names in a folder (not its path), in the order the system lists them.
std::vector<std::string> FolderEntries(const std::string& dir);

// A bitmap's content, to compare before and after an operation: its pixel
// format and size, the pixel bytes of every row (read without writing rows
// back) and its alpha channel's, when it has one.
std::vector<uint8_t> BitmapContent(TPXBitmap& b);

// The process's peak resident memory since the last reset, in bytes (-1
// when the system does not tell it).
void ResetPeakMemory();
int64_t PeakMemory();

}  // namespace pixoran::testing
