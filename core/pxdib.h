#pragma once
// Device-independent bitmaps and the small wrappers around the platform
// bitmap: a packed DIB (header, palette or masks, bottom-up rows padded to 4
// bytes) is how images travel to and from the clipboard, capture devices and
// the DIB drawing calls. Here: writing one from a rectangle of a bitmap,
// reading one (with the YUV video layouts of capture devices), drawing one
// onto a canvas, the 1- and 24-bit platform-backed bitmap TPXDibbitmap, the
// raw work rows of the resampler, a read-only memory stream, platform-bitmap
// copies and row converters.
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "platform/classes.h"
#include "platform/graphics.h"
#include "platform/streams.h"

namespace pixoran {

class TPXQuantizer;

// ------------------------------------------------------------ DIB layout

constexpr uint32_t kBiRGB = 0;
constexpr uint32_t kBiRLE8 = 1;
constexpr uint32_t kBiRLE4 = 2;
constexpr uint32_t kBiBitFields = 3;
// A four-character code as the header's compression field holds it.
constexpr uint32_t FourCC(char a, char b, char c, char d) {
  return static_cast<uint32_t>(static_cast<uint8_t>(a)) | (static_cast<uint32_t>(static_cast<uint8_t>(b)) << 8) |
         (static_cast<uint32_t>(static_cast<uint8_t>(c)) << 16) |
         (static_cast<uint32_t>(static_cast<uint8_t>(d)) << 24);
}

// The 40-byte information header, in the order the bytes hold it.
struct PIXORAN_CORE_EXPORT TPXBitmapInfoHeader {
  uint32_t biSize = 40;
  int32_t biWidth = 0;
  int32_t biHeight = 0;  // positive: rows bottom-up; negative: top-down
  uint16_t biPlanes = 1;
  uint16_t biBitCount = 0;
  uint32_t biCompression = kBiRGB;
  uint32_t biSizeImage = 0;
  int32_t biXPelsPerMeter = 0;
  int32_t biYPelsPerMeter = 0;
  uint32_t biClrUsed = 0;
  uint32_t biClrImportant = 0;
};
constexpr int64_t kBitmapInfoHeaderSize = 40;

// Reads the header from the first 40 bytes (little-endian); false when
// fewer bytes are there.
PIXORAN_CORE_EXPORT bool ReadBitmapInfoHeader(const uint8_t* data, int64_t size, TPXBitmapInfoHeader& header);
// Writes the 40 header bytes (little-endian).
PIXORAN_CORE_EXPORT void WriteBitmapInfoHeader(const TPXBitmapInfoHeader& header, uint8_t* dest);

// A packed DIB held in memory of its own: header, palette, rows.
class PIXORAN_CORE_EXPORT TPXPackedDIB {
 public:
  TPXPackedDIB() = default;
  explicit TPXPackedDIB(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {}
  bool Empty() const { return bytes_.empty(); }
  const uint8_t* Data() const { return bytes_.data(); }
  uint8_t* Data() { return bytes_.data(); }
  int64_t Size() const { return static_cast<int64_t>(bytes_.size()); }
  std::vector<uint8_t>& Bytes() { return bytes_; }
  const std::vector<uint8_t>& Bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// ------------------------------------------------------------ TPXDibbitmap

// A 1- or 24-bit bitmap in a platform bitmap, so that the platform canvas can
// draw into it and from it. Its rows are the platform bitmap's: row 0 is the
// top row, and rows need not lie in one block.
class PIXORAN_CORE_EXPORT TPXDibbitmap : public TPXBaseBitmap {
 public:
  TPXDibbitmap();
  ~TPXDibbitmap() override;
  TPXDibbitmap(const TPXDibbitmap&) = delete;
  TPXDibbitmap& operator=(const TPXDibbitmap&) = delete;

  uint8_t* Scanline(int32_t row) override;  // nullptr when empty or out of range
  int32_t BitCount() override { return bitCount_; }
  int32_t Height() override { return height_; }
  int32_t Width() override { return width_; }
  TPXPixelFormat PixelFormat() override;  // pxBW1, pxBGR24 or pxNone
  int32_t RowLen() override { return rowLen_; }
  // pxBW1 allocates 1 bit, pxBGR24 24 bits (see AllocateBits); any other
  // format does nothing and returns false.
  bool Allocate(int32_t width, int32_t height, TPXPixelFormat format) override;
  // From another TPXDibbitmap: the same size and bit count, every pixel
  // copied. Any other source is ignored.
  void Assign(TPXBaseBitmap* source) override;

  // Replaces the whole image with a zeroed one. A width or height of 0 does
  // nothing (true); a negative size or a bit count other than 1 and 24 is
  // refused (false, nothing changed). When the platform cannot have the
  // image the object is left empty and false returned.
  bool AllocateBits(int32_t width, int32_t height, int32_t bits);
  void FreeBits();
  bool Empty() const { return bitCount_ == 0; }

  // The drawing surface and the platform bitmap, for callers that draw into
  // the image (thumbnails, multi-image pages).
  TCanvas& Canvas() { return bitmap_.Canvas(); }
  TBitmap& Bitmap() { return bitmap_; }
  // Header as a DIB of this image would carry it (bit count, width,
  // positive height, image size filled while allocated); 1-bit images use
  // the black-then-white palette.
  const TPXBitmapInfoHeader& InfoHeader() const { return header_; }

 private:
  TBitmap bitmap_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t bitCount_ = 0;
  int32_t rowLen_ = 0;
  TPXBitmapInfoHeader header_;
};

// ------------------------------------------------------------ TPXWorkBitmap

// Plain work rows of the resampler, bytes or floats: one block of
// row length x height bytes, rows bottom-up, not cleared on allocation.
class PIXORAN_CORE_EXPORT TPXWorkBitmap : public TObject {
 public:
  TPXWorkBitmap() = default;
  // Allocates when width and height are positive.
  TPXWorkBitmap(int32_t width, int32_t bits, int32_t height);
  TPXWorkBitmap(const TPXWorkBitmap&) = delete;
  TPXWorkBitmap& operator=(const TPXWorkBitmap&) = delete;

  // Nothing (true) when all three equal the current ones, so the block and
  // its content stay. Otherwise a new block of CalcRowLen(width, bits, 32) x
  // height bytes; false, and the object empty, when the size cannot be had.
  // A width or height of 0 leaves it empty (true).
  bool Allocate(int32_t width, int32_t height, int32_t bits);
  void FreeImage();

  // Row y (0 = top); nullptr out of range. The pixel forms do not check x:
  // the caller stays within the row.
  uint8_t* Scanline(int32_t y);
  float* ScanlineFloat(int32_t y) { return reinterpret_cast<float*>(Scanline(y)); }
  uint8_t* PixelAddress(int32_t y, int32_t x) {
    uint8_t* r = Scanline(y);
    return r ? r + x : nullptr;
  }
  float* PixelAddressFloat(int32_t y, int32_t x) {
    float* r = ScanlineFloat(y);
    return r ? r + x : nullptr;
  }

  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  int32_t BitsPerPixel() const { return bits_; }
  int32_t RowLen() const { return rowLen_; }
  uint8_t* Data() { return data_.get(); }

 private:
  struct TFree {
    void operator()(uint8_t* p) const;
  };
  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t bits_ = 0;
  int32_t rowLen_ = 0;
  std::unique_ptr<uint8_t, TFree> data_;  // raw storage: rows of bytes or of floats
};

// ------------------------------------------------------------ TPXMemStream

// Read-only stream over memory the caller owns: it never owns, grows or
// writes it (Write returns 0, SetSize changes nothing).
class PIXORAN_CORE_EXPORT TPXMemStream : public TReadOnlyMemoryStream {
 public:
  TPXMemStream(const void* buffer, int64_t size) : TReadOnlyMemoryStream(buffer, size) {}
};

// ------------------------------------------------------------ DrawDib

// What a DIB-drawing context keeps between draws: the decoded image.
class PIXORAN_CORE_EXPORT TPXDrawDibContext {
 public:
  TPXDibbitmap Scratch;
};

PIXORAN_CORE_EXPORT std::unique_ptr<TPXDrawDibContext> CallDrawDibOpen();
PIXORAN_CORE_EXPORT void CallDrawDibClose(std::unique_ptr<TPXDrawDibContext>& context);
// Draws the source rectangle (sx, sy, sw, sh; top-left origin; a negative
// width or height means up to the image's edge) of a packed DIB stretched
// into the destination rectangle of the canvas (a negative dw or dh means the
// source's). header/headerSize cover the header with its palette or masks,
// and the rows too when bits is nullptr. Flags are hints and are ignored.
// False when the DIB cannot be read.
PIXORAN_CORE_EXPORT bool CallDrawDibDraw(TPXDrawDibContext* context, TCanvas& canvas, int32_t dx, int32_t dy,
                                         int32_t dw, int32_t dh, const uint8_t* header, int64_t headerSize,
                                         const uint8_t* bits, int64_t bitsSize, int32_t sx, int32_t sy, int32_t sw,
                                         int32_t sh, uint32_t flags);
// Palettes are not realised on true-colour surfaces: returns 0 colours changed.
PIXORAN_CORE_EXPORT uint32_t CallDrawDibRealize(TPXDrawDibContext* context, TCanvas& canvas, bool background);

// ------------------------------------------------------------ DIB exchange

// A packed DIB of the rectangle x1..x2-1, y1..y2-1 (x2 = 0: the width, y2 =
// 0: the height; the rectangle is clamped to the image). pxBW1 gives a 1-bit
// DIB with the black-then-white palette, everything else a 24-bit one (a
// format other than pxBGR24 through a converted copy of the rectangle; the
// bitmap itself is not changed). Row padding is zero. Empty when the
// rectangle is empty or the memory cannot be had.
PIXORAN_CORE_EXPORT TPXPackedDIB BitmapRectToDIB(TPXBitmap& bitmap, int32_t x1, int32_t y1, int32_t x2, int32_t y2);

// Reads a packed DIB into the bitmap (pxBW1 for 1 bit, else pxBGR24; width
// biWidth, height |biHeight|, a negative height being a top-down DIB).
// Taken: BI_RGB at 1, 4, 8, 16, 24 and 32 bits; BI_BITFIELDS at 16 and 32
// bits (masks after a 40-byte header, or in a longer one); the YUV layouts
// I420, IYUV, YV12, YVU9, YUY2, YUNV, UYVY, UYNV, cyuv, YVYU, IYU1, IYU2,
// Y41P, Y211 and CLJR. 1-bit rows follow their palette: each entry is white
// or black by its grey level, so a white-then-black palette inverts the bits
// (the usual black-then-white one copies them). Palette indices past the
// palette read as black. pixels, when given,
// holds the rows instead of the block after the header and palette.
// Returns biBitCount (24 for a YUV header that gives none), or 0 with the
// bitmap untouched when the DIB is refused: width <= 0, height 0, RLE or
// other compressions, bit counts not listed, or a block shorter than its
// header, palette, masks and rows claim.
PIXORAN_CORE_EXPORT int32_t DIBToBitmap(const uint8_t* dib, int64_t size, TPXBitmap& bitmap,
                                        const uint8_t* pixels = nullptr, int64_t pixelsSize = 0);
PIXORAN_CORE_EXPORT int32_t DIBToBitmap(const TPXPackedDIB& dib, TPXBitmap& bitmap);

// As DIBToBitmap, into a TPXDibbitmap (1 bit for 1-bit DIBs, else 24 bits).
PIXORAN_CORE_EXPORT int32_t DIBToDibbitmap(const uint8_t* dib, int64_t size, TPXDibbitmap& bitmap,
                                           const uint8_t* pixels = nullptr, int64_t pixelsSize = 0);
PIXORAN_CORE_EXPORT int32_t DIBToDibbitmap(const TPXPackedDIB& dib, TPXDibbitmap& bitmap);

// ------------------------------------------------------------ YUV frames

// A YUV layout a DIB header may name: its frame decoder, the bytes a frame
// of w x h needs, and the row order (set: rows run top-down when biHeight is
// positive; clear: when it is negative). Null for a code that is not one.
struct PIXORAN_CORE_EXPORT TPXYUVLayout {
  uint32_t Code;
  bool (*Decoder)(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown);
  int64_t (*Need)(int64_t w, int64_t h);
  bool TopDownWhenPositive;
};
PIXORAN_CORE_EXPORT const TPXYUVLayout* FindYUVLayout(uint32_t code);

// B = 1.164 (Y - 16) + 2.018 (U - 128), G = 1.164 (Y - 16) - 0.813 (V - 128)
// - 0.391 (U - 128), R = 1.164 (Y - 16) + 1.596 (V - 128), each rounded and
// clamped to 0..255. Inputs are taken in 0..255.
PIXORAN_CORE_EXPORT TBGR YUVToBGR(int32_t y, int32_t u, int32_t v);

// Frame decoders: the bitmap is a pxBGR24 image of the frame's size already;
// rows are written from row 0 down when topDown is set, else from the bottom
// up. Chroma planes and groups cover odd sizes by rounding up (an I420
// frame of 5 x 3 has chroma planes of 3 x 2). False, nothing written, when
// the data are shorter than the frame needs or the bitmap is not 24-bit.
PIXORAN_CORE_EXPORT bool DecodeFrameI420(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown);
PIXORAN_CORE_EXPORT bool DecodeFrameYV12(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown);
PIXORAN_CORE_EXPORT bool DecodeFrameYVU9(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown);
PIXORAN_CORE_EXPORT bool DecodeFrameYUY2(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown);
PIXORAN_CORE_EXPORT bool DecodeFrameUYVY(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown);
PIXORAN_CORE_EXPORT bool DecodeFrameYVYU(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown);
PIXORAN_CORE_EXPORT bool DecodeFrameIYU1(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown);
PIXORAN_CORE_EXPORT bool DecodeFrameIYU2(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown);
PIXORAN_CORE_EXPORT bool DecodeFrameY41P(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown);
PIXORAN_CORE_EXPORT bool DecodeFrameY211(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown);
// 5-bit luma and 6-bit chroma are widened by shifting (Y << 3, U and V << 2),
// so the chroma midpoint 32 lands on 128.
PIXORAN_CORE_EXPORT bool DecodeFrameCLJR(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown);

// ------------------------------------------------------------ platform bitmaps

// Gives dest the source's size, pixel format, palette and rows. An empty
// source leaves dest 1 x 1 in its format. False when dest cannot be had.
PIXORAN_CORE_EXPORT bool CopyTBitmap(const TBitmap& source, TBitmap& dest);
PIXORAN_CORE_EXPORT std::unique_ptr<TBitmap> DuplicateTBitmap(const TBitmap& source);

// ------------------------------------------------------------ rows

// count 1-bit pixels (top bit first, a set bit white) as blue-green-red.
PIXORAN_CORE_EXPORT void ExpandBW1RowTo24(const uint8_t* source, uint8_t* dest, int32_t count);
// dest becomes a pf24bit copy of a pf1bit source. Progress after each row:
// Trunc(rows done * 100 / (height + 0.5)). False (dest untouched) for a
// source of another format; false when dest cannot be had.
PIXORAN_CORE_EXPORT bool ExpandBW1TBitmapTo24(const TBitmap& source, TBitmap& dest,
                                              const TPXProgressRec& progress = {});

// Exchange bytes 0 and 2 of count 3-byte pixels.
PIXORAN_CORE_EXPORT void SwapRedBlueRow(uint8_t* row, int32_t count);
PIXORAN_CORE_EXPORT void SwapRedBluePixels(TBGR* pixels, int32_t count);
// Copies count 3-byte pixels with bytes 0 and 2 exchanged.
PIXORAN_CORE_EXPORT void CopySwapRedBlue(uint8_t* dest, const uint8_t* source, int32_t count);

// Same width, height, pixel format and alpha presence, and every row equal
// in the bits its pixels use (padding is not compared), alpha rows too.
PIXORAN_CORE_EXPORT bool BitmapsEqual(TPXBitmap& a, TPXBitmap& b);

// Converts count pixels of a row between bit depths:
//   24 -> 4 and 24 -> 8: the quantizer's palette index (always a written
//   entry; 4-bit indices are kept to 0..15), 4-bit rows two pixels a byte,
//   first in the high nibble; 24 -> 24, 8 -> 8, 1 -> 1, 4 -> 4: copies;
//   32 -> 24: bytes 0-2; 8 -> 1: the low bit of each byte, top bit first;
//   1 -> 4, 1 -> 8: each bit as an index 0 or 1; 4 -> 8: each nibble;
//   8 -> 24, 4 -> 24, 1 -> 24: palette entries (an index past the palette
//   takes its last entry).
// Every destination byte the pixels touch is written whole, so the row need
// not be cleared first. False for other pairs, and when the quantizer or the
// palette a pair needs is missing.
PIXORAN_CORE_EXPORT bool QuantizeRow24(const uint8_t* source, uint8_t* dest, int32_t sourceBits,
                                       const TPXQuantizer* quantizer, int32_t paletteCount, const TBGR* palette,
                                       int32_t count, int32_t destBits);

}  // namespace pixoran
