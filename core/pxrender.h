#pragma once
// Rendering of a bitmap into 24-bit targets: the paint path of every viewer,
// thumbnail cell and layer composition (zoom, opacity, alpha channel, grey
// range, colour offsets and contrast, blend modes), and drawing for print
// (resampling, gamma, bands that respect the memory threshold).
//
// Zoomed drawing walks the source through integer step tables: one source
// column per destination column and one source row per destination row.
// Viewers keep the tables (and the destination's row table) between paints
// and pass them back, so they are rebuilt only when zoom or scroll change.
#include <cstdint>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "platform/graphics.h"

namespace pixoran {

class TPXBitmap;
class TPXPackedDIB;

// Zoom steps are held in 14-bit fixed point.
constexpr int32_t kPXRenderOne = 16384;

// Tables a caller may keep between calls. Each is indexed by absolute
// destination row or column; empty means "build one for the call".
struct PIXORAN_CORE_EXPORT TPXRenderTables {
  // Destination row pointers (row 0 = top). Only memory and platform-bitmap
  // destinations use one: a temporary-file row is valid only until the next
  // row is mapped. A table that does not fit the destination's current rows
  // is rebuilt.
  std::vector<uint8_t*> Rows;
  // Source row per destination row, and source column per destination
  // column. Trailing entries at or beyond the source's size are dropped from
  // the drawn range; a table too short for the range, or with any other
  // entry outside the source, is rebuilt from the geometry for the call.
  std::vector<int32_t> YSteps;
  std::vector<int32_t> XSteps;

  void Clear() {
    Rows.clear();
    YSteps.clear();
    XSteps.clear();
  }
};

// Source rectangle and the destination rectangle it is zoomed into.
struct PIXORAN_CORE_EXPORT TPXRenderRect {
  int32_t SrcX = 0, SrcY = 0, SrcWidth = 0, SrcHeight = 0;
  int32_t DstX = 0, DstY = 0, DstWidth = 0, DstHeight = 0;
};

struct PIXORAN_CORE_EXPORT TPXRenderOptions {
  // 0..37; 0 copies. Blend modes, colour offsets and contrast apply to
  // 24-bit sources only.
  uint8_t BlendMode = 0;
  TResampleFilter Filter = rfNone;  // used for 1- and 24-bit sources whose size changes
  uint8_t Opacity = 255;            // 255 opaque, 0 leaves the destination alone
  bool UseAlpha = false;            // draw through the source's alpha channel
  // A destination row whose source row equals the previous row's is copied
  // from the previous destination row (only when the row does not depend on
  // what the destination held).
  bool RowCopy = false;
  // Tables built during the call are dropped (true) or stored into the
  // caller's TPXRenderTables (false) for the next call.
  bool FreeTables = true;
  // The drawn pixels are composed over Background instead of over what the
  // destination held, so transparent and translucent pixels show the
  // background (a viewer's first layer over a solid background).
  bool FillTransparent = false;
  TColor Background = clWhite;
  // Destination clip rectangle (right and bottom exclusive), or none.
  const TRect* Clip = nullptr;
};

// Draws the source rectangle, zoomed to the destination rectangle, into a
// pxBGR24 destination. A rectangle partly outside the destination is cut,
// and the source with it in the same proportion; the source rectangle is
// clamped into the source. Nothing is drawn for empty sizes, a destination
// that is not pxBGR24, or a source sharing its rows with the destination.
// May raise EPXStorageError when a temporary-file row cannot be read; the
// source's access mode is restored whatever happens.
PIXORAN_CORE_EXPORT void RenderToBitmap(TPXBitmap& source, TPXBitmap& dest, const TPXRenderRect& rect,
                                        const TPXRenderOptions& options = {}, TPXRenderTables* tables = nullptr);

// The same into a pf24bit platform bitmap (other formats draw nothing).
PIXORAN_CORE_EXPORT void RenderToTBitmap(TPXBitmap& source, TBitmap& dest, const TPXRenderRect& rect,
                                         const TPXRenderOptions& options = {}, TPXRenderTables* tables = nullptr);

// Copies the source rectangle, stretched to dstWidth x dstHeight at (dstX,
// dstY), into a pxBGR24 destination and sets the destination's alpha channel
// (created when missing) there: to alphaValue, or to the smaller of
// alphaValue and the source's alpha where the source has a translucent alpha
// channel. Sources other than 1 and 24 bits are drawn through a 24-bit copy.
// Never raises.
PIXORAN_CORE_EXPORT void RenderToBitmapFiltered(TPXBitmap& source, TPXBitmap& dest, int32_t dstX, int32_t dstY,
                                                uint8_t alphaValue, TResampleFilter filter, int32_t srcX, int32_t srcY,
                                                int32_t srcWidth, int32_t srcHeight, int32_t dstWidth,
                                                int32_t dstHeight);

// Draws the whole bitmap into (x, y, width, height) of a canvas, for
// printing. With a filter or a gamma other than 1 (and above 0) the bitmap is
// resampled to the target size, the gamma applied, and the result sent in
// bands of at most the bitmap's memory threshold; otherwise it goes as one
// packed DIB. Sources other than 1 and 24 bits go through a 24-bit copy.
PIXORAN_CORE_EXPORT void StretchDrawToCanvas(TPXBitmap& bitmap, TCanvas& canvas, int32_t x, int32_t y, int32_t width,
                                             int32_t height, double gamma, TResampleFilter filter);

// Draws the source rectangle (top-down image coordinates) of a packed DIB
// into the destination rectangle, nearest pixel. Bottom-up DIBs of 1, 4, 8,
// 24 and 32 bits without compression are drawn; anything else, or a buffer
// shorter than its header says, draws nothing.
PIXORAN_CORE_EXPORT void DrawPackedDIB(TCanvas& canvas, const uint8_t* dib, int64_t dibSize, const TRect& dest,
                                       const TRect& source);
PIXORAN_CORE_EXPORT void DrawPackedDIB(TCanvas& canvas, const TPXPackedDIB& dib, const TRect& dest,
                                       const TRect& source);

// Draws bandHeight rows of the bitmap starting at sourceRow, width pixels
// wide, 1:1 at (x, y) of the canvas.
PIXORAN_CORE_EXPORT void DrawBitmapBand(TCanvas& canvas, int32_t x, int32_t y, int32_t bandHeight, int32_t width,
                                        int32_t sourceRow, TPXBitmap& bitmap);

// ---------------------------------------------------------------- kernels
// One pair of kernels per source pixel format: the first draws opaque, the
// second with opacity and alpha. RenderToBitmap prepares the job; kernels
// trust it (ranges inside both bitmaps, table entries inside the source).

struct PIXORAN_CORE_EXPORT TPXRenderJob {
  TPXBitmap* Source = nullptr;
  TPXBitmap* Alpha = nullptr;  // the source's alpha channel when alpha is used
  TPXBitmap* Dest = nullptr;
  uint8_t* const* Rows = nullptr;  // destination rows, or nullptr to go through Dest->Scanline
  int32_t X1 = 0, X2 = -1;         // destination columns, inclusive
  int32_t Y1 = 0, Y2 = -1;         // destination rows, inclusive
  // Source column and row of each destination column and row, indexed by
  // absolute destination position; both nullptr only for a 1:1 copy, which
  // then maps destination (DstX, DstY) to source (SrcX, SrcY).
  const int32_t* XSteps = nullptr;
  const int32_t* YSteps = nullptr;
  int32_t SrcX = 0, SrcY = 0, DstX = 0, DstY = 0;
  bool XContiguous = false;  // XSteps runs +1 per column over X1..X2
  uint8_t Opacity = 255;
  uint8_t BlendMode = 0;
  bool RowCopy = false;
  bool Fill = false;
  TBGR Background{};
};

using TPXRenderKernel = void (*)(const TPXRenderJob& job);
struct PIXORAN_CORE_EXPORT TPXRenderKernelPair {
  TPXRenderKernel Opaque = nullptr;
  TPXRenderKernel Blended = nullptr;
};

// The kernels of a source format; both nullptr for pxNone.
PIXORAN_CORE_EXPORT TPXRenderKernelPair RenderKernelsFor(TPXPixelFormat format);

}  // namespace pixoran
