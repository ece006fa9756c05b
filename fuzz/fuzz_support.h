#pragma once
// Helpers shared by the fuzz targets.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "core/kopxutils_settings.h"

namespace pixoran::fuzzing {

// The memory budget of the fuzz processes: bitmaps above it go to sparse
// temporary files, and codec buffers may not exceed it. The runs' limit on
// one allocation (-malloc_limit_mb in tools/test.sh) sits just above it, so
// an input that makes a codec ask for more fails the run.
constexpr int64_t kFuzzMemoryBudget = int64_t{64} << 20;

// Set (to anything but "0") in the environment, the process keeps the
// library's default budget, half the available memory, as a user's program
// does: a claim bounded only by that budget then shows as an RSS failure
// (tools/test.sh runs each target so for a few seconds).
constexpr const char* kDefaultBudgetVariable = "PIXORAN_FUZZ_DEFAULT_BUDGET";

inline bool AtDefaultBudget() {
  const char* v = std::getenv(kDefaultBudgetVariable);
  return v && *v && std::strcmp(v, "0") != 0;
}

// Sets that budget, unless the default is asked for. Once per process, on
// the first input.
inline void UseTempFilesForLargeImages() {
  static const bool once = [] {
    if (AtDefaultBudget()) return true;
    PXSettings().MemoryThresholdOverride = kFuzzMemoryBudget;
    PXSettings().CodecMemoryFloor = kFuzzMemoryBudget;
    return true;
  }();
  (void)once;
}

}  // namespace pixoran::fuzzing
