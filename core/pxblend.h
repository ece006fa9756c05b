#pragma once
// The layer blend modes: one byte 0..37 per layer, applied pixel by pixel
// when layers are rendered or merged. The modes have no names, only numbers.
#include <cstdint>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"

namespace pixoran {

// Number of defined modes; BlendPixel leaves the destination alone for any
// mode at or above it.
constexpr uint8_t kPXBlendModeCount = 38;

// First of the modes that work on the whole pixel rather than per channel
// (31..33 replace one channel, 34..37 mix hue, saturation and lightness).
constexpr uint8_t kPXFirstPixelBlendMode = 31;

// Result of a per-channel mode (0..30) for source channel s and destination
// channel d, both 0..255. Always in 0..255; modes 31 and above return d.
PIXORAN_CORE_EXPORT int32_t BlendChannel(int32_t s, int32_t d, uint8_t mode);

// Combines one blue-green-red source pixel into the destination pixel, in
// place. src and dst point at three bytes each and may not overlap.
PIXORAN_CORE_EXPORT void BlendPixel(const uint8_t* src, uint8_t* dst, uint8_t mode);

PIXORAN_CORE_EXPORT void BlendPixel(const TBGR& source, TBGR& dest, uint8_t mode);

// Blends a run of n blue-green-red pixels: out[i] = src[i] combined into
// dst[i] by the mode, the same bytes BlendPixel gives. out may be src or dst
// itself (the very same pointer), never a partly overlapping run. Modes at or
// above kPXBlendModeCount copy dst.
using TPXBlendRowFunc = void (*)(const uint8_t* src, const uint8_t* dst, uint8_t* out, int32_t n);

// The row function of a mode, chosen once per run of rows rather than per
// pixel; never nullptr.
PIXORAN_CORE_EXPORT TPXBlendRowFunc BlendRowFunc(uint8_t mode);

// Where the processor has AVX2, BlendRowFunc hands out kernels built for it
// (the same bytes). For tests: false forces the portable kernels, true
// restores the choice; returns whether the AVX2 kernels are now in use.
PIXORAN_CORE_EXPORT bool SetBlendVectorRows(bool allowed);

// In place: dst[i] = src[i] combined into dst[i].
inline void BlendRow(const uint8_t* src, uint8_t* dst, int32_t n, uint8_t mode) {
  BlendRowFunc(mode)(src, dst, dst, n);
}

}  // namespace pixoran
