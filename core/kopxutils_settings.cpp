#include "core/kopxutils_settings.h"

#include <algorithm>
#include <atomic>

#include "core/kopxutils_helpers.h"
#include "platform/graphics.h"
#include "platform/uithread.h"

namespace pixoran {

TPXSettings& PXSettings() {
  static TPXSettings settings;  // created on first use
  return settings;
}

int64_t CodecMemoryLimit() {
  // The floor keeps a small bitmap threshold (which only moves bitmaps to
  // temporary files) from refusing ordinary images.
  int64_t limit = PXSettings().MemoryThresholdOverride;
  if (limit <= 0) limit = GetAvailablePhysicalMemory() / 2;
  if (limit <= 0) limit = int64_t{1} << 30;
  return std::max(limit, PXSettings().CodecMemoryFloor);
}

namespace {

constexpr int32_t kFallbackDpi = 96;
std::atomic<int32_t> gLogicalDpiX{0};
std::atomic<int32_t> gLogicalDpiY{0};

// The screen is only asked on the GUI thread; what it says is kept so the
// codecs on workers see the same value afterwards.
int32_t LogicalDpi(std::atomic<int32_t>& kept, int (*read)()) {
  const int32_t v = kept.load(std::memory_order_relaxed);
  if (v > 0) return v;
  if (!IsUIThread()) return kFallbackDpi;
  int32_t screen = read();
  if (screen <= 0) screen = kFallbackDpi;
  int32_t expected = 0;
  kept.compare_exchange_strong(expected, screen, std::memory_order_relaxed);
  return kept.load(std::memory_order_relaxed);
}

}  // namespace

int32_t ScreenLogicalDpiX() { return LogicalDpi(gLogicalDpiX, &ScreenDpiX); }
int32_t ScreenLogicalDpiY() { return LogicalDpi(gLogicalDpiY, &ScreenDpiY); }

void SetScreenLogicalDpi(int32_t x, int32_t y) {
  gLogicalDpiX.store(std::max(x, 0), std::memory_order_relaxed);
  gLogicalDpiY.store(std::max(y, 0), std::memory_order_relaxed);
}

}  // namespace pixoran
