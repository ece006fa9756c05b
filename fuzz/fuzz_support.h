#pragma once
// Helpers shared by the fuzz targets.
#include <cstdint>

#include "core/kopxutils_settings.h"

namespace pixoran::fuzzing {

// Large images go to sparse temporary files, not to memory. Set once per
// process, on the first input.
inline void UseTempFilesForLargeImages() {
  static const bool once = [] {
    PXSettings().MemoryThresholdOverride = int64_t{64} << 20;
    return true;
  }();
  (void)once;
}

}  // namespace pixoran::fuzzing
