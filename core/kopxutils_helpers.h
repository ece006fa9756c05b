#pragma once
// Small arithmetic, colour and file helpers shared by the whole library.
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "core/kopxdefs.h"
#include "platform/graphics.h"
#include "platform/streams.h"

namespace pixoran {

// Round half to even, as the library's rounding is everywhere.
inline int64_t RoundHalfEven(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 9.2e18) return std::numeric_limits<int64_t>::max();
  if (v <= -9.2e18) return std::numeric_limits<int64_t>::min();
  return static_cast<int64_t>(std::nearbyint(v));
}
// Rounds half to even into int32, clamping out-of-range values and NaN (0).
inline int32_t RoundToInt32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(std::nearbyint(v));
}
// Truncates toward zero into int32, clamping out-of-range values and NaN (0).
inline int32_t TruncToInt32(double v) {
  if (std::isnan(v)) return 0;
  if (v >= 2147483647.0) return std::numeric_limits<int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<int32_t>::min();
  return static_cast<int32_t>(v);
}

// Bytes of one row: alignment 32 gives ((width * bits + 31) div 32) * 4.
// Only alignments 8, 16 and 32 are taken; any other gives -1, as does a row
// that does not fit in int32.
int64_t CalcRowLen(int64_t width, int64_t bits, int32_t alignment = 32);

// Resolves system colours, then gives the B,G,R triple of a framework colour.
TBGR ColorToBGR(TColor color);
inline TBGR MakeBGR(uint8_t r, uint8_t g, uint8_t b) { return TBGR{b, g, r}; }

// Length of the run of set bits that starts at the mask's lowest set bit; 0 for 0.
int32_t BitFieldWidth(uint32_t mask);
// Index of the lowest set bit of a non-zero mask; 0 for 0.
int32_t BitFieldShift(uint32_t mask);

// Writes count bytes; sets errorFlag when fewer were written. Never raises.
void SafeStreamWrite(TStream& stream, bool& errorFlag, const void* buffer, int64_t count);

// Creates a directory with all missing parents. An empty path raises
// std::runtime_error("Cannot Create Directory").
void MakeDirectoryPath(const std::string& path);

// Available physical memory in bytes, 0 when unknown.
int64_t GetAvailablePhysicalMemory();

}  // namespace pixoran
