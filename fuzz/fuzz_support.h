#pragma once
// Helpers shared by the fuzz targets.
#include <cstdint>

#include "core/kopxutils_settings.h"

namespace pixoran::fuzzing {

// The memory budget of the fuzz processes: bitmaps above it go to sparse
// temporary files, and codec buffers may not exceed it. The runs' limit on
// one allocation (-malloc_limit_mb in tools/test.sh) sits just above it, so
// an input that makes a codec ask for more fails the run.
constexpr int64_t kFuzzMemoryBudget = int64_t{64} << 20;

// Sets that budget. Once per process, on the first input.
inline void UseTempFilesForLargeImages() {
  static const bool once = [] {
    PXSettings().MemoryThresholdOverride = kFuzzMemoryBudget;
    PXSettings().CodecMemoryFloor = kFuzzMemoryBudget;
    return true;
  }();
  (void)once;
}

}  // namespace pixoran::fuzzing
