#pragma once
// The selection mask: a 1-bit or 8-bit map of an image's size saying which
// pixels are selected (8-bit: how strongly), with the bounding box of the
// selected area. Viewers fill it from shapes and draw it; the processing
// component copies results back into the image through it.
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "core/kopxutils_geometry.h"
#include "platform/graphics.h"

namespace pixoran {

class TPXBitmap;

// How a viewer places the mask on a bitmap of its client, through its own
// coordinate tables: target column x shows mask column Cols[x + 1] and
// target row y mask row Rows[y + 1]; the first and last entries are the
// column (row) just beside the target, which the outline's edge pixels look
// at. -1 shows no mask pixel (beside the picture). ZoomX and ZoomY are the
// zoomed position of target pixel (0, 0): the dashes and the half-tone keep
// to the picture as it scrolls.
struct PIXORAN_CORE_EXPORT TPXMaskPlacement {
  std::vector<int32_t> Cols, Rows;
  int64_t ZoomX = 0, ZoomY = 0;
};

// In a polygon list, a point with this x separates two polygons.
constexpr int32_t kPXPolygonSeparator = 0xFFFFF;

class PIXORAN_CORE_EXPORT TPXMask {
 public:
  static constexpr int32_t kEmptyBox = std::numeric_limits<int32_t>::max();

  TPXMask() = default;
  ~TPXMask() { FreeData(); }
  TPXMask(const TPXMask&) = delete;
  TPXMask& operator=(const TPXMask&) = delete;

  // Drops the old data and allocates zero-filled rows (bits 1 or 8); the box
  // becomes empty and Full false. False (and no data) for another depth, a
  // size that is not positive or storage that cannot be had.
  bool Allocate(int32_t width, int32_t height, int32_t bits);
  // Changes the size keeping the content anchored at the top-left corner;
  // what is gained is clear (and Full false). The box is cut to the new
  // size, and empty when all of it was cut away. A size that is not positive
  // frees the data.
  void Resize(int32_t width, int32_t height);
  // Frees data and zoom cache; sizes and depth become 0, the box stays.
  void FreeData();

  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  int32_t BitsPerPixel() const { return bits_; }
  int32_t RowLen() const { return rowLen_; }
  // Rows are bottom-up: row y starts at (Height - y - 1) * RowLen.
  uint8_t* Data() { return data_.get(); }
  const uint8_t* Data() const { return data_.get(); }

  // Outside the mask: SetPixel is ignored and GetPixel gives 0. A set pixel
  // of a 1-bit mask reads as 255.
  void SetPixel(int32_t x, int32_t y, uint8_t value);
  // Grows the box to take in x1..x2, y1..y2 (no clamping to the extent).
  void IncludeBox(int32_t x1, int32_t y1, int32_t x2, int32_t y2);
  uint8_t GetPixel(int32_t x, int32_t y) const;
  bool IsPointInside(int32_t x, int32_t y) const { return GetPixel(x, y) != 0; }
  // Row y (0 = top), nullptr outside the mask.
  uint8_t* GetRowPointer(int32_t y);
  const uint8_t* GetRowPointer(int32_t y) const;

  // Writes value over pixels x1..x2 of row y (cut to the mask; a row outside
  // writes nothing). A 1-bit mask sets the run for a nonzero value and clears
  // it for 0. The box is not changed. Returns the number of pixels written.
  int32_t FillSpan(uint8_t value, int32_t x1, int32_t y, int32_t x2);
  // Writes value into every byte of the data; Full becomes (value == 255).
  // The box is not changed.
  void Fill(uint8_t value);
  // Fill(0), then the box becomes empty.
  void Clear();
  bool IsEmpty() const { return X1 == kEmptyBox; }
  void SetEmptyBox() { X1 = Y1 = kEmptyBox, X2 = Y2 = 0; }
  // Sets the box to the bounding box of the nonzero pixels (empty when none).
  void SyncBox();

  // Fills the polygons of a list whose polygons are separated by a point of
  // x kPXPolygonSeparator, then recomputes Full.
  void FillPolygons(uint8_t value, const TPXPoint* points, int32_t count);
  // Even-odd scan conversion of one polygon. A pixel row y is covered over
  // [xa, xb) between each pair of edge crossings, edges covering their rows
  // from upper end to lower end excluded. A polygon that writes nothing
  // leaves the box as it was. Returns the number of pixels written.
  int64_t FillPolygon(uint8_t value, const TPXPoint* points, int32_t count);

  // Moves the selected content (the box) by dx, dy. With cut, what would
  // leave the mask is dropped; without it the move is shortened so the box
  // stays inside.
  void Translate(int32_t dx, int32_t dy, bool cut);
  // Recomputes Full: true only when every pixel is set (and there is data).
  void SyncFull();

  // Copies source pixels into destination where the mask is set, over the
  // box: a 1-bit mask copies, an 8-bit mask mixes by its value. The relative
  // flags read that bitmap at (x - X1, y - Y1) instead of (x, y). Pixels
  // outside either bitmap are skipped. Format pairs: pxBGR24, pxGray8, pxPal8
  // and pxBW1 with themselves; others copy nothing. The two bitmaps must be
  // different objects.
  void CopyBitmapThroughMask(TPXBitmap& dest, TPXBitmap& source, bool withAlpha, bool sourceRelative,
                             bool destRelative);
  // Over the box, the destination's alpha (created when missing) becomes the
  // smaller of the source alpha (255 without one) and the mask value where the
  // mask is set, 0 where it is clear.
  void CopyAlphaThroughMask(TPXBitmap& dest, TPXBitmap& source, bool sourceRelative, bool destRelative);

  // The drawing routines work on the rows of a pf24bit platform bitmap (other
  // formats are left alone); their rectangles have Right and Bottom excluded.

  // Inverts the pixels of a 24-bit bitmap where the mask's source rectangle,
  // stretched over the destination rectangle, is set (1-bit masks only).
  void DrawXor(TBitmap& target, const TRect& destRect, const TRect& sourceRect);
  // Dashed outline of the selection on a 24-bit bitmap, the mask being shown
  // at zoomW x zoomH with zoomed pixel (zx, zy) at (zx + offsetX, zy + offsetY).
  // Colour 1 where bit 2 of (zx + zy + phaseX + phaseY) is clear, colour 2
  // elsewhere: dashes of 4 pixels that march as the phase changes.
  void DrawOutline(TBitmap& target, TColor color1, TColor color2, int32_t zoomW, int32_t zoomH, int32_t offsetX,
                   int32_t offsetY, int32_t phaseX, int32_t phaseY);
  // Shades the unselected area of a 24-bit bitmap with a gray half-tone, the
  // mask being placed as for DrawOutline.
  void DrawToTBitmap(TBitmap& target, int32_t offsetX, int32_t offsetY, int32_t zoomW, int32_t zoomH);

  // The same three drawings placed by a viewer's tables (rather than by
  // 14-bit steps over the whole zoomed mask), on a 24- or 32-bit target,
  // inside clip (Right and Bottom excluded). The outline's dashes march with
  // phase.
  void DrawXorPlaced(TBitmap& target, const TPXMaskPlacement& place, const TRect& clip);
  void DrawOutlinePlaced(TBitmap& target, const TPXMaskPlacement& place, TColor color1, TColor color2, int32_t phase,
                         const TRect& clip);
  void ShadePlaced(TBitmap& target, const TPXMaskPlacement& place, const TRect& clip);

  // Zoom cache, for tests and for callers that draw it themselves: the
  // zoomed rectangle it holds and its rows (top row first).
  const TRect& ZoomCacheRect() const { return zoomRect_; }
  const uint8_t* ZoomCacheRow(int32_t i) const { return zoomRows_[static_cast<size_t>(i)]; }

  // Bounding box of the selected pixels, inclusive; empty when X1 is kEmptyBox.
  int32_t X1 = kEmptyBox, Y1 = kEmptyBox, X2 = 0, Y2 = 0;
  // Every pixel selected (all bits 1 or all bytes 255), as far as known.
  bool Full = false;

 private:
  void ClampBox();
  // (Re)builds the cache for a zoomed rectangle and fills it.
  void BuildZoomCache(int32_t zoomW, int32_t zoomH, const TRect& part);
  int64_t ScanPolygon(uint8_t value, const TPXPoint* points, int32_t count);
  // Whether the mask is set at each of count placed columns of a mask row
  // (0 for -1 entries and rows).
  void GatherRow(int32_t row, const int32_t* cols, int32_t count, uint8_t* out) const;
  // Calls body for each target row in [y1, y2) showing a mask row in
  // [rowLo, rowHi], with set[x - x1] telling whether the mask pixel shown at
  // target column x is set.
  void GatherPlacedRows(TBitmap& target, const TPXMaskPlacement& place, int32_t x1, int32_t x2, int32_t y1, int32_t y2,
                        int32_t rowLo, int32_t rowHi,
                        const std::function<void(int32_t y, uint8_t* row, const uint8_t* set)>& body) const;

  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t bits_ = 0;
  int32_t rowLen_ = 0;
  std::unique_ptr<uint8_t[]> data_;

  std::vector<uint8_t> zoomBuf_;
  std::vector<uint8_t*> zoomRows_;
  int32_t zoomRowLen_ = 0;
  TRect zoomRect_;
};

// Zoomed copy of part of a mask. The mask (srcW x srcH, rows bottom-up in
// srcData with srcRowLen bytes each) is shown at zoomW x zoomH; destRows[i]
// receives zoomed row part.Top + i, from column part.Left on (one bit per
// pixel, leftmost in the most significant bit, or one byte). The rows are
// zeroed first; only the zoomed rows and columns that cover the box
// (inclusive mask coordinates) are then visited. Zoomed pixel z samples mask
// pixel (z * step) >> 14, with step the source size / zoomed size in 14-bit
// fixed point.
PIXORAN_CORE_EXPORT void ZoomMaskRows(int32_t bits, uint8_t* const* destRows, int32_t destRowLen, int32_t zoomW,
                                      int32_t zoomH, int32_t boxX1, int32_t boxY1, int32_t boxX2, int32_t boxY2,
                                      const uint8_t* srcData, int32_t srcRowLen, int32_t srcW, int32_t srcH,
                                      const TRect& part);

// The bitmap's CopyFromMask: a null mask fills the bitmap with 255; a 1-bit
// mask gives pxBW1, an 8-bit one pxGray8, rows copied and Full taken over.
PIXORAN_CORE_EXPORT void CopyMaskToBitmap(const TPXMask* mask, TPXBitmap& bitmap);
// The bitmap's CopyToMask: pxBW1 gives a 1-bit mask, pxGray8 an 8-bit one,
// rows copied, Full taken over and the box set from the content. Other
// formats change nothing.
PIXORAN_CORE_EXPORT void CopyBitmapToMask(TPXBitmap& bitmap, TPXMask& mask);

}  // namespace pixoran
