#pragma once
// Variance-splitting box quantizer: a 5-5-5 histogram of the source is cut
// into boxes, always splitting the box of largest variance, and a colour maps
// to its box through a 32 768-entry table. Used for fewer than 128 colours.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "core/kopxutils_bitmap.h"

namespace pixoran {

class TPXBaseBitmap;
class TBitmap;

// Blue-green-red rows of a 24-bit source, top row first, one row at a time.
// A bitmap is read with AccessMode read-only for the reader's lifetime, so a
// temporary-file bitmap does not write every row back; the mode is restored
// afterwards. A source that is not 24-bit reads as an empty image.
class PIXORAN_CORE_EXPORT TPXRowReader {
 public:
  explicit TPXRowReader(TPXBaseBitmap& bitmap);  // pxBGR24
  explicit TPXRowReader(TBitmap& bitmap);        // pf24bit
  ~TPXRowReader();
  TPXRowReader(const TPXRowReader&) = delete;
  TPXRowReader& operator=(const TPXRowReader&) = delete;

  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  int64_t PixelCount() const { return static_cast<int64_t>(width_) * height_; }
  // Row r (3 x Width bytes), valid until the next call; nullptr if unreadable.
  const uint8_t* Row(int32_t r) { return row_(r); }

 private:
  std::function<const uint8_t*(int32_t)> row_;
  std::optional<TPXAccessScope> readOnly_;
  int32_t width_ = 0;
  int32_t height_ = 0;
};

class PIXORAN_CORE_EXPORT TPXStdQuantizer {
 public:
  // Builds up to n boxes (n clamped to 1..256 and to the palette's size) and
  // writes one palette entry per box.
  TPXStdQuantizer(TPXRowReader& source, std::span<TBGR> palette, int32_t n);

  // Palette index of a colour integer (blue in bits 0-7, red in 16-23).
  int32_t ColorIndex(int32_t color) const {
    const uint32_t c = static_cast<uint32_t>(color);
    return inverseMap_[((c >> 9) & 0x7C00) | ((c >> 6) & 0x03E0) | ((c >> 3) & 0x001F)];
  }
  // Indices of count blue-green-red pixels.
  void MapRow(const uint8_t* bgr, uint8_t* indices, int32_t count) const;
  // Boxes produced = palette entries written.
  int32_t BoxCount() const { return boxCount_; }

 private:
  std::array<uint8_t, 32768> inverseMap_{};
  int32_t boxCount_ = 0;
};

}  // namespace pixoran
