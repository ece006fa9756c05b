// Row readers and destination preparation shared by every resampler
// (pxresample.cpp, pxresample_kernel.cpp, pxresample_area.cpp).
#include <algorithm>
#include <cstring>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "core/pxresample_internal.h"

namespace pixoran {

namespace resample_detail {

// ---------------------------------------------------------------- row reader

TRowReader::TRowReader(TPXBitmap& bitmap, TRowKind kind, bool fillTransparent)
    : bitmap_(bitmap),
      scope_(&bitmap, pxaRead),
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
    }
  }
  if (format_ == pxPal8 && bitmap.Palette())
    std::copy(bitmap.Palette(), bitmap.Palette() + std::clamp(bitmap.PaletteCount(), 0, 256), palette_.begin());
  stable_ = direct_ && !alpha_ && bitmap.Location() != pxTempFile;
  if (!direct_ || alpha_) buffer_.resize(static_cast<size_t>(std::max<int64_t>(rowBytes_, 1)));
}

const uint8_t* TRowReader::Row(int32_t y) {
  const uint8_t* src = bitmap_.Scanline(y);
  if (!src) {
    buffer_.assign(static_cast<size_t>(std::max<int64_t>(rowBytes_, 1)), 0);
    return buffer_.data();
  }
  const int32_t w = width_;
  const bool bytes3 = kind_ == TRowKind::BGR24 || (kind_ == TRowKind::Raw && format_ == pxBGR24);
  const uint8_t* a = nullptr;
  int32_t aw = 0;
  if (alpha_ && y < alpha_->Height()) {
    a = alpha_->Scanline(y);
    aw = std::min(w, alpha_->Width());
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

bool PrepareDest(TPXBitmap& dest, int32_t width, int32_t height, TPXPixelFormat format) {
  if (dest.PixelFormat() == format && dest.Width() == width && dest.Height() == height) return true;
  return dest.Allocate(width, height, format) && dest.Width() == width && dest.Height() == height;
}

}  // namespace resample_detail

}  // namespace pixoran
