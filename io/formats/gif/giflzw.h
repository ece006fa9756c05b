#pragma once
// The LZW coding of GIF image data: the minimum-code-size byte, the data
// sub-blocks and their terminator, to and from a buffer of colour indices
// (one byte per pixel, rows in image order; the codec alone deals with the
// interlaced row order). These are the default values of the process-wide
// GIF codec hooks.
#include <cstdint>
#include "platform/pxexport.h"
#include "platform/streams.h"

namespace pixoran {

// Fills the width x height buffer from the data at the stream's position.
// Success leaves the stream after the block terminator, or at the stream's
// end when the data are cut off there (a partial download): what there is
// is decoded and the rest of the buffer is left as it was. Failure (no
// minimum code size, or one outside 2..9, a code beyond the next free code,
// an end code right after a clear code with bytes left, data above the
// memory budget) puts the stream back where the call began, the buffer
// holding what was decoded.
PIXORAN_IO_EXPORT void GIFLZWDecompress(TStream& stream, int32_t height, int32_t width, uint8_t* buffer,
                                        bool interlaced);

// Writes the minimum code size (bits per pixel, kept in 2..8), the data
// sub-blocks and the terminator at the stream's position. Short writes are
// the caller's to notice.
PIXORAN_IO_EXPORT void GIFLZWCompress(TStream& stream, int32_t height, int32_t width, bool interlaced,
                                      const uint8_t* buffer, int32_t bitsPerPixel);

// Rows of an image of the given height in the order GIF stores them: image
// order, or the four interlace passes (rows 0, 8, ...; 4, 12, ...; 2, 6, ...;
// 1, 3, ...).
class PIXORAN_IO_EXPORT TGIFRowOrder {
 public:
  TGIFRowOrder(int32_t height, bool interlaced);
  // The current row, or -1 once every row was visited.
  int32_t Row() const { return row_; }
  void Next();

 private:
  void SkipEmptyPasses();
  int32_t height_;
  bool interlaced_;
  int32_t pass_ = 0;
  int32_t row_ = 0;
};

}  // namespace pixoran
