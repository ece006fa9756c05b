// Pixel-format conversion of the bitmap container. Every pair of the eight
// formats has one outcome: a row-by-row conversion, or a refusal (the CMYK
// pairs that have no meaning) raised before anything is allocated or changed.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_bitmap_internal.h"
#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "core/neurquant.h"
#include "core/pxpool.h"

namespace pixoran {

namespace {

// The message of a refused pair, or nullptr when the pair converts.
const char* RefusalFor(TPXPixelFormat from, TPXPixelFormat to) {
  if (to == pxCMYK) {
    switch (from) {
      case pxBW1: return "1bit gray scale to CMYK not supported";
      case pxPal8: return "8bit paletted to CMYK not supported";
      case pxGray8: return "8bit gray scale to CMYK not supported";
      case pxGray16: return "16bit gray scale to CMYK not supported";
      case px32f: return "32bit float point gray scale to CMYK not supported";
      default: return nullptr;
    }
  }
  if (from == pxCMYK) {
    switch (to) {
      case pxBW1: return "CMYK to 1bit gray scale not supported";
      case pxPal8: return "CMYK to 8bit paletted not supported";
      case pxGray8: return "CMYK to 8bit gray scale not supported";
      case pxGray16: return "CMYK to 16bit gray scale not supported";
      case px32f: return "CMYK to 32bit float point gray scale not supported";
      default: return nullptr;
    }
  }
  return nullptr;
}

// Luminance by the process-wide weights, read once per conversion. Weights
// summing above 100 could leave the byte range: the result is clamped.
struct TLuminance {
  int32_t r = PXSettings().LumRed, g = PXSettings().LumGreen, b = PXSettings().LumBlue;
  uint8_t operator()(int32_t red, int32_t green, int32_t blue) const {
    return BLimit((red * r + green * g + blue * b) / 100);
  }
};

// 16-bit grey of a colour; white gives 65280, not 65535.
inline uint16_t ColorToWord(int32_t red, int32_t green, int32_t blue) {
  return static_cast<uint16_t>((red * 54272 + green * 182528 + blue * 19200) / 1000);
}

inline float ColorToFloat(int32_t red, int32_t green, int32_t blue) {
  return static_cast<float>((red * 0.2126 + green * 0.7152 + blue * 0.0722) / 255.0);
}

// Trunc(v * 65535) with out-of-range values clamped and NaN taken as 0. The
// product is taken in single precision, like FloatToByte, so a level stored
// as level / 65535 comes back as itself.
inline uint16_t FloatToWord(float v) {
  if (!(v > 0.0f)) return 0;
  if (v >= 1.0f) return 65535;
  return static_cast<uint16_t>(v * 65535.0f);
}

inline void PutWord(uint8_t* d, int64_t x, uint16_t v) {
  d[2 * x] = static_cast<uint8_t>(v);
  d[2 * x + 1] = static_cast<uint8_t>(v >> 8);
}
inline uint16_t GetWord(const uint8_t* s, int64_t x) { return static_cast<uint16_t>(s[2 * x] | (s[2 * x + 1] << 8)); }
inline float GetFloat(const uint8_t* s, int64_t x) {
  float f;
  std::memcpy(&f, s + 4 * x, 4);
  return f;
}
inline void PutFloat(uint8_t* d, int64_t x, float f) { std::memcpy(d + 4 * x, &f, 4); }
inline uint8_t BitAt(const uint8_t* s, int64_t x) { return (s[x >> 3] >> (7 - (x & 7))) & 1; }

void FillGrayRamp(TBGR* palette) {
  for (int i = 0; i < 256; ++i) {
    const auto v = static_cast<uint8_t>(i);
    palette[i] = TBGR{v, v, v};
  }
}

// Loading every third byte vectorises only with byte shuffles, which the
// baseline x86-64 target lacks: the loop is built twice, for AVX2 and plain,
// and the loader picks one.
// Not under ThreadSanitizer: the loader runs the picker before the sanitizer
// is ready.
#if defined(__x86_64__) && defined(__has_attribute) && !defined(__SANITIZE_THREAD__)
#if __has_attribute(target_clones)
#define PX_SHUFFLE_CLONES __attribute__((target_clones("avx2", "default")))
#endif
#endif
#ifndef PX_SHUFFLE_CLONES
#define PX_SHUFFLE_CLONES
#endif

// Luminance of a row of blue-green-red pixels, clamped to a byte, shifted
// right (2 gives the dither level).
PX_SHUFFLE_CLONES
void LuminanceRow(const uint8_t* __restrict s, uint8_t* __restrict d, int64_t w, int32_t wr, int32_t wg, int32_t wb,
                  int shift) {
  for (int64_t x = 0; x < w; ++x) {
    const int32_t v = (s[3 * x + 2] * wr + s[3 * x + 1] * wg + s[3 * x] * wb) / 100;
    d[x] = static_cast<uint8_t>((v < 0 ? 0 : v > 255 ? 255 : v) >> shift);
  }
}

// Ordered dither of one row of levels (0..64): a pixel is white when the
// matrix entry of its column and row is below its level. The padding bits
// of the last byte stay clear.
void PackDither(const uint8_t* levels, uint8_t* d, int32_t width, int32_t y) {
  uint8_t thr[8];
  for (int k = 0; k < 8; ++k) thr[k] = OrderedDitherMatrix[k][y & 7];
  const int32_t whole = width >> 3;
  for (int32_t i = 0; i < whole; ++i) {
    const uint8_t* l = levels + 8 * static_cast<int64_t>(i);
    uint8_t v = 0;
    for (int k = 0; k < 8; ++k) v = static_cast<uint8_t>(v | ((l[k] > thr[k] ? 1 : 0) << (7 - k)));
    d[i] = v;
  }
  const int32_t rest = width & 7;
  if (rest) {
    const uint8_t* l = levels + 8 * static_cast<int64_t>(whole);
    uint8_t v = 0;
    for (int k = 0; k < rest; ++k) v = static_cast<uint8_t>(v | ((l[k] > thr[k] ? 1 : 0) << (7 - k)));
    d[whole] = v;
  }
}

// Converts one row of a source format into another. Everything a row needs
// beyond its bytes (palette tables, weights, the quantizer) is prepared once.
class TRowConverter {
 public:
  TRowConverter(TPXBitmap& source, TPXPixelFormat to, const TPXQuantizer* quantizer)
      : from_(source.PixelFormat()), to_(to), width_(source.Width()), quantizer_(quantizer) {
    if (to_ == pxBW1) levels_.resize(static_cast<size_t>(std::max(width_, 0)));
    if (from_ == pxPal8) {
      // Every target of a paletted pixel is a function of its palette entry.
      for (int i = 0; i < 256; ++i) {
        const TBGR c = i < source.PaletteCount() ? source.GetPaletteEntry(i) : TBGR{};
        palette_[i] = c;
        palLum_[i] = lum_(c.r, c.g, c.b);
        palLevel_[i] = static_cast<uint8_t>(palLum_[i] >> 2);
        palWord_[i] = ColorToWord(c.r, c.g, c.b);
        palFloat_[i] = ColorToFloat(c.r, c.g, c.b);
      }
    }
  }

  // Row y of the source into row y of the target (one call per row).
  void Convert(const uint8_t* s, uint8_t* d, int32_t y) {
    const int64_t w = width_;
    switch (from_) {
      case pxBW1: FromBW1(s, d, w); break;
      case pxPal8: FromPal8(s, d, w, y); break;
      case pxGray8: FromGray8(s, d, w, y); break;
      case pxGray16: FromGray16(s, d, w, y); break;
      case pxBGR24: FromBGR24(s, d, w, y); break;
      case px32f: FromFloat(s, d, w, y); break;
      case pxCMYK:
        if (to_ == pxBGR24) CMYKRowToBGR(s, d, static_cast<int32_t>(w));
        break;
      default: break;
    }
  }

 private:
  void Dither(uint8_t* d, int32_t y) { PackDither(levels_.data(), d, width_, y); }

  void FromBW1(const uint8_t* s, uint8_t* d, int64_t w) {
    switch (to_) {
      case pxPal8:
        for (int64_t x = 0; x < w; ++x) d[x] = BitAt(s, x);
        break;
      case pxGray8:
        for (int64_t x = 0; x < w; ++x) d[x] = static_cast<uint8_t>(0 - BitAt(s, x));
        break;
      case pxGray16:
        for (int64_t x = 0; x < w; ++x) d[2 * x] = d[2 * x + 1] = static_cast<uint8_t>(0 - BitAt(s, x));
        break;
      case pxBGR24: RowToBGR24(pxBW1, s, d, static_cast<int32_t>(w)); break;
      case px32f:
        for (int64_t x = 0; x < w; ++x) PutFloat(d, x, BitAt(s, x) ? 1.0f : 0.0f);
        break;
      default: break;
    }
  }

  void FromPal8(const uint8_t* s, uint8_t* d, int64_t w, int32_t y) {
    switch (to_) {
      case pxBW1:
        for (int64_t x = 0; x < w; ++x) levels_[x] = palLevel_[s[x]];
        Dither(d, y);
        break;
      case pxGray8:
        for (int64_t x = 0; x < w; ++x) d[x] = palLum_[s[x]];
        break;
      case pxGray16:
        for (int64_t x = 0; x < w; ++x) PutWord(d, x, palWord_[s[x]]);
        break;
      case pxBGR24:
        for (int64_t x = 0; x < w; ++x) std::memcpy(d + 3 * x, &palette_[s[x]], 3);
        break;
      case px32f:
        for (int64_t x = 0; x < w; ++x) PutFloat(d, x, palFloat_[s[x]]);
        break;
      default: break;
    }
  }

  void FromGray8(const uint8_t* s, uint8_t* d, int64_t w, int32_t y) {
    switch (to_) {
      case pxBW1:
        for (int64_t x = 0; x < w; ++x) levels_[x] = static_cast<uint8_t>(s[x] >> 2);
        Dither(d, y);
        break;
      case pxPal8: std::memcpy(d, s, static_cast<size_t>(w)); break;  // the palette is the ramp
      case pxGray16:
        for (int64_t x = 0; x < w; ++x) d[2 * x] = 0, d[2 * x + 1] = s[x];
        break;
      case pxBGR24:
        for (int64_t x = 0; x < w; ++x) d[3 * x] = d[3 * x + 1] = d[3 * x + 2] = s[x];
        break;
      case px32f:
        for (int64_t x = 0; x < w; ++x) PutFloat(d, x, static_cast<float>(s[x]) / 255.0f);
        break;
      default: break;
    }
  }

  void FromGray16(const uint8_t* s, uint8_t* d, int64_t w, int32_t y) {
    switch (to_) {
      case pxBW1:
        for (int64_t x = 0; x < w; ++x) levels_[x] = static_cast<uint8_t>(GetWord(s, x) >> 10);
        Dither(d, y);
        break;
      case pxPal8:
      case pxGray8:
        for (int64_t x = 0; x < w; ++x) d[x] = s[2 * x + 1];  // value shr 8: the high byte
        break;
      case pxBGR24:
        for (int64_t x = 0; x < w; ++x) d[3 * x] = d[3 * x + 1] = d[3 * x + 2] = s[2 * x + 1];
        break;
      case px32f:
        for (int64_t x = 0; x < w; ++x) PutFloat(d, x, static_cast<float>(GetWord(s, x)) / 65535.0f);
        break;
      default: break;
    }
  }

  void FromBGR24(const uint8_t* s, uint8_t* d, int64_t w, int32_t y) {
    switch (to_) {
      case pxBW1:
        LuminanceRow(s, levels_.data(), w, lum_.r, lum_.g, lum_.b, 2);
        Dither(d, y);
        break;
      case pxPal8:
        if (quantizer_) quantizer_->MapRow(s, d, width_);
        break;
      case pxGray8: LuminanceRow(s, d, w, lum_.r, lum_.g, lum_.b, 0); break;
      case pxGray16:
        for (int64_t x = 0; x < w; ++x) PutWord(d, x, ColorToWord(s[3 * x + 2], s[3 * x + 1], s[3 * x]));
        break;
      case px32f:
        for (int64_t x = 0; x < w; ++x) PutFloat(d, x, ColorToFloat(s[3 * x + 2], s[3 * x + 1], s[3 * x]));
        break;
      case pxCMYK:
        for (int64_t x = 0; x < w; ++x) {
          const TCMYK k = RGBToCMYK(TBGR{s[3 * x], s[3 * x + 1], s[3 * x + 2]});
          std::memcpy(d + 4 * x, &k, 4);
        }
        break;
      default: break;
    }
  }

  // Float samples are clamped to 0..1 (NaN as 0) before they become integers.
  void FromFloat(const uint8_t* s, uint8_t* d, int64_t w, int32_t y) {
    switch (to_) {
      case pxBW1:
        for (int64_t x = 0; x < w; ++x) levels_[x] = static_cast<uint8_t>(FloatToByte(GetFloat(s, x)) >> 2);
        Dither(d, y);
        break;
      case pxPal8:
      case pxGray8:
        for (int64_t x = 0; x < w; ++x) d[x] = FloatToByte(GetFloat(s, x));
        break;
      case pxGray16:
        for (int64_t x = 0; x < w; ++x) PutWord(d, x, FloatToWord(GetFloat(s, x)));
        break;
      case pxBGR24:
        for (int64_t x = 0; x < w; ++x) d[3 * x] = d[3 * x + 1] = d[3 * x + 2] = FloatToByte(GetFloat(s, x));
        break;
      default: break;
    }
  }

  TPXPixelFormat from_, to_;
  int32_t width_;
  const TPXQuantizer* quantizer_;
  TLuminance lum_;
  std::vector<uint8_t> levels_;  // dither levels of the current row
  std::array<TBGR, 256> palette_{};
  std::array<uint8_t, 256> palLum_{}, palLevel_{};
  std::array<uint16_t, 256> palWord_{};
  std::array<float, 256> palFloat_{};
};

}  // namespace

void TPXBitmap::SetPixelFormat(TPXPixelFormat format) {
  if (format == PixelFormat()) return;
  ConvertPixelFormat(format);
}

void TPXBitmap::ConvertPixelFormat(TPXPixelFormat format) {
  if (format >= kPXPixelFormatCount) throw EPXBitmapError("Unknown pixel format");
  ResyncFromTBitmap();
  // Every refusal comes before the first allocation, so a refused request
  // leaves the image exactly as it was.
  if (const char* refusal = RefusalFor(format_, format)) throw EPXBitmapError(refusal);
  if (format == format_) return;
  if (location_ == pxTBitmap) {
    if (format == px32f) throw EPXBitmapError("px32f pixel format not allowed when Location=pxTBitmap");
    if (format == pxCMYK) throw EPXBitmapError("pxCMYK pixel format not allowed when Location=pxTBitmap");
    ConvertPlatformImage(format);
  } else {
    ConvertStoredImage(format);
  }
}

void TPXBitmap::ConvertStoredImage(TPXPixelFormat format) {
  const TPXPixelFormat from = format_;
  const bool hasRows = from != pxNone && format != pxNone && width_ > 0 && height_ > 0 && HasStorage();

  // The palette is built from the image while it is still this bitmap's.
  std::unique_ptr<TPXQuantizer> quantizer;
  std::array<TBGR, 256> quantPalette{};
  if (hasRows && from == pxBGR24 && format == pxPal8) {
    quantizer = std::make_unique<TPXQuantizer>();
    quantizer->Init(*this, quantPalette, MaxColors);
  }

  auto old = TakeImage();  // location, IsAlpha, RowAlign and the settings stay here
  width_ = old->width_;
  height_ = old->height_;
  format_ = format;
  // Any failure from here on gives the old image back.
  auto restore = [&] {
    FreeImage(true);
    old->TransferTo(*this);
  };
  if (!AllocateStorage()) {
    restore();
    throw EPXBitmapError(kNoStorage);
  }
  try {
    if (format == pxPal8) {
      if (quantizer) {
        std::copy(quantPalette.begin(), quantPalette.end(), palette_.get());
      } else if (from == pxBW1) {
        // Only the two entries the bits index; the rest keeps the ramp.
        palette_[0] = TBGR{0, 0, 0};
        palette_[1] = TBGR{255, 255, 255};
      } else {
        FillGrayRamp(palette_.get());
      }
    }
    if (hasRows && HasStorage() && old->HasStorage()) {
      TPXAccessScope readOnly(*old, pxaRead);
      TPXAccessScope writeOnly(*this, pxaWrite);
      if (format == pxBW1 && BWConversion != 0) {
        ThresholdToBW(*old, *this, -1);  // threshold at the luminance of the mean colour
      } else {
        const TRowConverter converter(*old, format, quantizer.get());
        // Temporary-file rows are mapped one at a time: those convert on
        // this thread. The quantizer's answers may be asked from every band.
        if (PXRowsShareable({old.get(), this})) {
          const std::vector<uint8_t*> src = PXRowPointers(*old), dst = PXRowPointers(*this);
          PXParallelRows(height_, width_, [&](int32_t first, int32_t last) {
            TRowConverter band = converter;  // its own dither buffer
            for (int32_t y = first; y < last; ++y)
              band.Convert(src[static_cast<size_t>(y)], dst[static_cast<size_t>(y)], y);
          });
        } else {
          TRowConverter serial = converter;
          for (int32_t y = 0; y < height_; ++y) {
            const uint8_t* s = old->Row(y);
            uint8_t* d = Row(y);
            if (!s || !d) throw EPXStorageError("Cannot read the rows of a bitmap");
            serial.Convert(s, d, y);
          }
        }
      }
      // The last row goes to the file now, where a failure can still be undone.
      UnmapAllRows();
    }
  } catch (...) {
    restore();
    throw;
  }
  alpha_ = std::move(old->alpha_);
  Full = false;
  UpdateTBitmapPalette();
}

void TPXBitmap::ConvertPlatformImage(TPXPixelFormat format) {
  const bool hasImage = tbitmap_ && !tbitmap_->Empty() && width_ > 0 && height_ > 0 && format_ != pxNone;
  if (!hasImage || format == pxNone) {
    // No rows to convert (or none wanted): the platform bitmap takes the
    // format, empty, and the stored size stays as the other locations keep it.
    const int32_t w = width_, h = height_;
    ReleaseForRealloc(false);
    width_ = w;
    height_ = h;
    format_ = format;
    if (!AllocateStorage()) throw EPXBitmapError(kNoStorage);
    return;
  }
  if (format_ == pxBGR24 && format == pxBW1) {
    // The platform bitmap's own reduction to 1 bit, in place.
    if (BWConversion == 0) ConvertToBWOrdered(*this);
    else ConvertToBWThreshold(*this, -1);
    if (PixelFormat() != pxBW1) throw EPXBitmapError(kNoStorage);
    return;
  }
  // Everything else is converted in memory and the platform bitmap is
  // rebuilt from the result, which it holds as 1, 8 or 24 bits (16-bit grey
  // by its high bytes, and any 8-bit image as paletted).
  auto work = NewWorkBitmap();
  work->location_ = pxInMemory;
  work->CopyPixelsFrom(*this);
  work->BWConversion = BWConversion;
  work->MaxColors = MaxColors;
  work->ConvertPixelFormat(format);
  CopyPixelsFrom(*work);
  UpdateTBitmapPalette();
}

}  // namespace pixoran
