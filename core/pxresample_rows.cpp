// Row readers and destination preparation shared by every resampler
// (pxresample.cpp, pxresample_kernel.cpp, pxresample_area.cpp).
#include <algorithm>
#include <cstring>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "core/pxpool.h"
#include "core/pxresample_internal.h"

namespace pixoran {

namespace resample_detail {

// ---------------------------------------------------------------- row reader

TRowReader::TRowReader(TPXBitmap& bitmap, TRowKind kind, bool fillTransparent)
    : bitmap_(bitmap),
      scope_(std::make_unique<TAccessScope>(&bitmap, pxaRead)),
      kind_(kind),
      format_(bitmap.PixelFormat()),
      width_(bitmap.Width()),
      height_(bitmap.Height()) {
  switch (kind_) {
    case TRowKind::Raw: rowBytes_ = (static_cast<int64_t>(width_) * BitsOfFormat(format_) + 7) / 8; break;
    case TRowKind::Gray8: rowBytes_ = width_; break;
    case TRowKind::BGR24: rowBytes_ = static_cast<int64_t>(width_) * 3; break;
  }
  direct_ = kind_ == TRowKind::Raw || (kind_ == TRowKind::Gray8 && format_ == pxGray8) ||
            (kind_ == TRowKind::BGR24 && format_ == pxBGR24);
  // Only bytes that are colours or grey levels take the grey fill.
  const bool fillable = kind_ == TRowKind::Raw ? (format_ == pxBGR24 || format_ == pxGray8) : format_ != pxBW1;
  if (fillTransparent && fillable && bitmap.HasAlphaChannel()) {
    TPXBitmap* a = bitmap.GetAlphaChannel();
    if (a && !a->Full && a->Height() > 0) {
      alpha_ = a;
      alphaScope_ = std::make_unique<TAccessScope>(a, pxaRead);
      alphaWidth_ = a->Width();
      alphaHeight_ = a->Height();
    }
  }
  if (format_ == pxPal8 && bitmap.Palette())
    std::copy(bitmap.Palette(), bitmap.Palette() + std::clamp(bitmap.PaletteCount(), 0, 256), palette_.begin());
  stable_ = direct_ && !alpha_ && bitmap.Location() != pxTempFile;
  // Every row pointer fetched here, on the calling thread, so bands never
  // ask the bitmap (a platform bitmap checks its storage on each call).
  shareable_ = PXRowsShareable({&bitmap, alpha_});
  if (shareable_) {
    rows_ = std::make_shared<const std::vector<uint8_t*>>(PXRowPointers(bitmap));
    if (alpha_) alphaRows_ = std::make_shared<const std::vector<uint8_t*>>(PXRowPointers(*alpha_));
  }
  if (!direct_ || alpha_) buffer_.resize(static_cast<size_t>(std::max<int64_t>(rowBytes_, 1)));
}

TRowReader::TRowReader(const TRowReader& parent, TBandTag)
    : bitmap_(parent.bitmap_),
      alpha_(parent.alpha_),
      kind_(parent.kind_),
      format_(parent.format_),
      width_(parent.width_),
      height_(parent.height_),
      alphaWidth_(parent.alphaWidth_),
      alphaHeight_(parent.alphaHeight_),
      rowBytes_(parent.rowBytes_),
      direct_(parent.direct_),
      stable_(parent.stable_),
      shareable_(parent.shareable_),
      rows_(parent.rows_),
      alphaRows_(parent.alphaRows_),
      palette_(parent.palette_),
      buffer_(parent.buffer_.size()) {}

std::unique_ptr<TRowReader> TRowReader::Band() const {
  return std::unique_ptr<TRowReader>(new TRowReader(*this, TBandTag{}));
}

const uint8_t* TRowReader::Row(int32_t y) {
  const uint8_t* src = nullptr;
  if (!shareable_) src = bitmap_.Scanline(y);
  else if (y >= 0 && static_cast<size_t>(y) < rows_->size()) src = (*rows_)[static_cast<size_t>(y)];
  if (!src) {
    buffer_.assign(static_cast<size_t>(std::max<int64_t>(rowBytes_, 1)), 0);
    return buffer_.data();
  }
  const int32_t w = width_;
  const bool bytes3 = kind_ == TRowKind::BGR24 || (kind_ == TRowKind::Raw && format_ == pxBGR24);
  const uint8_t* a = nullptr;
  int32_t aw = 0;
  if (alpha_ && y >= 0 && y < alphaHeight_) {
    a = shareable_ ? (*alphaRows_)[static_cast<size_t>(y)] : alpha_->Scanline(y);
    aw = std::min(w, alphaWidth_);
    if (a && !std::memchr(a, 0, static_cast<size_t>(aw))) a = nullptr;  // nothing transparent here
  }
  if (direct_ && !a) return src;

  uint8_t* out = buffer_.data();
  if (direct_) {
    std::memcpy(out, src, static_cast<size_t>(rowBytes_));
  } else if (kind_ == TRowKind::BGR24) {
    RowToBGR24(format_, src, out, w, palette_.data(), static_cast<int32_t>(palette_.size()));
  } else {  // 8-bit grey from another format
    switch (format_) {
      case pxBW1:
        for (int32_t x = 0; x < w; ++x) out[x] = GetBit(src, x) ? 255 : 0;
        break;
      case pxGray16:
        for (int32_t x = 0; x < w; ++x) out[x] = src[2 * static_cast<size_t>(x) + 1];
        break;
      case px32f:
        for (int32_t x = 0; x < w; ++x) {
          float f;
          std::memcpy(&f, src + 4 * static_cast<size_t>(x), 4);
          out[x] = FloatToByte(f);
        }
        break;
      case pxPal8:
        for (int32_t x = 0; x < w; ++x) out[x] = static_cast<uint8_t>(BGRLuminance(palette_[src[x]]));
        break;
      case pxBGR24:
        for (int32_t x = 0; x < w; ++x) {
          TBGR c;
          std::memcpy(&c, src + 3 * static_cast<size_t>(x), 3);
          out[x] = static_cast<uint8_t>(BGRLuminance(c));
        }
        break;
      case pxCMYK:
        for (int32_t x = 0; x < w; ++x) {
          TCMYK p;
          std::memcpy(&p, src + 4 * static_cast<size_t>(x), 4);
          out[x] = static_cast<uint8_t>(BGRLuminance(CMYKToRGB(p)));
        }
        break;
      default: std::memset(out, 0, static_cast<size_t>(rowBytes_)); break;
    }
  }
  if (a) {
    if (bytes3) {
      for (int32_t x = 0; x < aw; ++x)
        if (a[x] == 0) std::memset(out + 3 * static_cast<size_t>(x), 128, 3);
    } else {
      for (int32_t x = 0; x < aw; ++x)
        if (a[x] == 0) out[x] = 128;
    }
  }
  return out;
}

TDestRows::TDestRows(TPXBitmap& dest) : dest_(dest), shareable_(PXRowsShareable({&dest})) {
  if (shareable_) rows_ = PXRowPointers(dest);
}

void ResampleRows(int32_t rows, int64_t pixelsPerRow, bool shareable,
                  const std::function<void(int32_t first, int32_t last)>& band, const TPXProgressRec& progress,
                  const std::vector<int32_t>& values, int32_t bandsPerThread) {
  // Rows in as many groups as bands are wanted (one row a group on one
  // thread, so progress stays row by row there).
  const int32_t threads = shareable && bandsPerThread > 0 ? PXThreadCount() : 1;
  const int32_t groups =
      threads > 1 ? static_cast<int32_t>(std::min<int64_t>(rows, int64_t{threads} * bandsPerThread)) : rows;
  auto firstRow = [&](int32_t g) { return static_cast<int32_t>(int64_t{rows} * g / groups); };
  auto worker = [&](int32_t first, int32_t last) { band(firstRow(first), firstRow(last)); };
  const int64_t pixelsPerGroup = pixelsPerRow * rows / std::max(groups, 1);
  if (!progress.OnProgress || values.empty()) {
    PXParallelRows(groups, pixelsPerGroup, worker, !shareable);
    return;
  }
  PXParallelRows(groups, pixelsPerGroup, worker, !shareable, [&](int32_t first, int32_t last) {
    for (int32_t j = firstRow(first); j < firstRow(last); ++j) Report(progress, values[static_cast<size_t>(j)]);
    return true;
  });
}

bool PrepareDest(TPXBitmap& dest, int32_t width, int32_t height, TPXPixelFormat format) {
  if (dest.PixelFormat() == format && dest.Width() == width && dest.Height() == height) return true;
  return dest.Allocate(width, height, format) && dest.Width() == width && dest.Height() == height;
}

}  // namespace resample_detail

}  // namespace pixoran
