#include "core/kopxutils_settings.h"

#include <algorithm>

#include "core/kopxutils_helpers.h"

namespace pixoran {

TPXSettings& PXSettings() {
  static TPXSettings settings;  // created on first use
  return settings;
}

int64_t CodecMemoryLimit() {
  // The floor keeps a small bitmap threshold (which only moves bitmaps to
  // temporary files) from refusing ordinary images.
  constexpr int64_t kFloor = int64_t{256} << 20;
  int64_t limit = PXSettings().MemoryThresholdOverride;
  if (limit <= 0) limit = GetAvailablePhysicalMemory() / 2;
  if (limit <= 0) limit = int64_t{1} << 30;
  return std::max(limit, kFloor);
}

}  // namespace pixoran
