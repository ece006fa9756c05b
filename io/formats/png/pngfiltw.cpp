// The PNG writer.
#include <png.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/neurquant.h"
#include "core/pxmask.h"
#include "io/pixoranio_params.h"
#include "io/formats/png/pngfilt.h"
#include "io/formats/png/pngfilt_codec.h"
#include "io/pxfiltutil.h"
#include "core/pxprogress.h"

namespace pixoran {

using namespace pngcodec;

namespace {

constexpr char kWriteError[] = "Error on creating PNG";

// ---------------------------------------------------------------- encoder context

struct TWriteContext {
  TPNGError err;
  png_structp png;
  png_infop info;
  TStream* stream;
  TPXProgressRec* progress;
  bool writeFailed;
  // header
  png_uint_32 width, height;
  int depth, colorType, interlace;
  int filter;  // PNG_FILTER_* flags
  int level;
  bool setPHYs;
  png_uint_32 ppmX, ppmY;
  png_color_16 background;
  png_color palette[256];
  int paletteCount;
  bool transparentEntry0;
  // input row form
  bool packing, bgr, swap16;
  // results of StepHeader
  int passes;
  // argument of the row step
  png_bytep row;
};
static_assert(std::is_standard_layout_v<TWriteContext>);

void WriteProc(png_structp png, png_bytep data, size_t length) {
  auto* c = static_cast<TWriteContext*>(png_get_io_ptr(png));
  if (c->writeFailed) return;
  SafeStreamWrite(*c->stream, c->writeFailed, data, static_cast<int64_t>(length));
  if (c->writeFailed) c->progress->Fail(iorWriteFailed, "PNG: " + WriteFailureText(*c->stream));
}

void FlushProc(png_structp) {}

void StepCreate(void* p) {
  auto* c = static_cast<TWriteContext*>(p);
  c->png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &c->err, ErrorProc, WarningProc);
  if (c->png == nullptr) return;
  c->info = png_create_info_struct(c->png);
  png_set_write_fn(c->png, c, WriteProc, FlushProc);
}

void StepHeader(void* p) {
  auto* c = static_cast<TWriteContext*>(p);
  png_structp png = c->png;
  png_infop info = c->info;
  png_set_IHDR(png, info, c->width, c->height, c->depth, c->colorType, c->interlace, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  if (c->colorType == PNG_COLOR_TYPE_PALETTE) {
    png_set_PLTE(png, info, c->palette, c->paletteCount);
    if (c->transparentEntry0) {
      png_byte alpha[1] = {0};
      png_set_tRNS(png, info, alpha, 1, nullptr);
    }
  }
  if (c->setPHYs) png_set_pHYs(png, info, c->ppmX, c->ppmY, PNG_RESOLUTION_METER);
  png_set_bKGD(png, info, &c->background);
  png_set_filter(png, PNG_FILTER_TYPE_BASE, c->filter);
  png_set_compression_level(png, c->level);
  png_write_info(png, info);
  if (c->bgr) png_set_bgr(png);
  if (c->packing) png_set_packing(png);
  if (c->swap16) png_set_swap(png);
  c->passes = png_set_interlace_handling(png);
}

void StepWriteRow(void* p) {
  auto* c = static_cast<TWriteContext*>(p);
  png_write_row(c->png, c->row);
}

void StepWriteEnd(void* p) {
  auto* c = static_cast<TWriteContext*>(p);
  png_write_end(c->png, c->info);
}

void StepDestroy(void* p) {
  auto* c = static_cast<TWriteContext*>(p);
  png_destroy_write_struct(&c->png, c->info != nullptr ? &c->info : nullptr);
}

// Owns the write structures; destroys them on every path.
class TEncoder {
 public:
  TEncoder(TStream& stream, TPXProgressRec& progress) : ctx_(std::make_unique<TWriteContext>()) {
    ctx_->stream = &stream;
    ctx_->progress = &progress;
  }
  ~TEncoder() {
    if (ctx_->png != nullptr) RunGuarded(ctx_->err, StepDestroy, ctx_.get());
  }
  TEncoder(const TEncoder&) = delete;
  TEncoder& operator=(const TEncoder&) = delete;

  bool Create() { return Run(StepCreate) && ctx_->png != nullptr && ctx_->info != nullptr; }
  bool Run(TCodecStep step) { return RunGuarded(ctx_->err, step, ctx_.get()); }
  bool WriteRow(const uint8_t* row) {
    // The codec only reads input rows; its prototype just lacks the const.
    ctx_->row = const_cast<uint8_t*>(row);
    return Run(StepWriteRow);
  }
  TWriteContext& ctx() { return *ctx_; }

 private:
  std::unique_ptr<TWriteContext> ctx_;
};

// ---------------------------------------------------------------- what is written

// How the codec's rows are made from the source rows.
enum class TRowForm {
  Straight,       // the source row as it is (1-bit, 8-bit grey, 16-bit grey, blue-green-red)
  Indexed,        // quantizer index of each pixel
  IndexedMasked,  // 0 where the alpha is below 255, else the quantizer's index + 1
  GreyLevels,     // the grey level of each pixel, at the output depth
  WithAlpha,      // red, green, blue and the alpha of each pixel (the file's order)
};

// The smallest palette depth that holds the bits asked for.
int PaletteDepth(int32_t bits) { return bits <= 1 ? 1 : bits <= 2 ? 2 : bits <= 4 ? 4 : 8; }

struct TPlan {
  TPXBitmap* rows = nullptr;        // the rows read
  std::unique_ptr<TPXBitmap> work;  // a converted or reduced copy, when one was needed
  TRowForm form = TRowForm::Straight;
  TAlphaRows* alpha = nullptr;  // used by the masked forms only
  TPXQuantizer quant;
  std::array<TBGR, 256> palette{};
  int32_t paletteCount = 0;
  int depth = 8;
  int colorType = PNG_COLOR_TYPE_RGB;
};

// Chooses colour type, depth, palette and row form.
void MakePlan(TPXBitmap& bitmap, TIOParamsVals& params, TAlphaRows* alpha, TPlan& plan) {
  const int32_t bits = params.BitsPerSample;
  const TPXPixelFormat format = bitmap.PixelFormat();
  plan.rows = &bitmap;
  if (params.SamplesPerPixel == 1 && bits == 1) {
    // One bit: black and white, or the image's own two colours.
    plan.colorType = PNG_COLOR_TYPE_GRAY;
    plan.depth = 1;
    TBGR color0{}, color1{};
    plan.rows = &OneBitRows(bitmap, plan.work, color0, color1);
    if (!(color0 == TBGR{0, 0, 0} && color1 == TBGR{255, 255, 255})) {
      plan.colorType = PNG_COLOR_TYPE_PALETTE;
      plan.palette[0] = color0;
      plan.palette[1] = color1;
      plan.paletteCount = 2;
    }
    return;
  }

  // Rows the forms below cannot take are converted on a copy.
  if (format == pxGray16 && params.SamplesPerPixel == 1 && bits == 16 && alpha == nullptr) {
    plan.colorType = PNG_COLOR_TYPE_GRAY;
    plan.depth = 16;
    return;
  }
  // A palette larger than the file's holds indices the file cannot store:
  // its colours are quantized afresh from a copy.
  const int32_t paletteRoom = params.SamplesPerPixel != 1 ? 256
                              : alpha != nullptr          ? std::min(1 << std::clamp(bits, 1, 8), 255)
                                                          : 1 << PaletteDepth(bits);
  if ((format != pxBGR24 && format != pxPal8 && format != pxGray8) ||
      (format == pxPal8 && bitmap.PaletteCount() > paletteRoom)) {
    plan.work = ConvertedCopy(bitmap, pxBGR24);
    plan.rows = plan.work.get();
  }
  TPXBitmap& source = *plan.rows;

  if (params.SamplesPerPixel != 1) {
    plan.colorType = alpha != nullptr ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB;
    plan.form = alpha != nullptr ? TRowForm::WithAlpha : TRowForm::Straight;
    plan.alpha = alpha;
    if (source.PixelFormat() != pxBGR24) {
      plan.work = ConvertedCopy(source, pxBGR24);
      plan.rows = plan.work.get();
    }
    return;
  }

  plan.colorType = PNG_COLOR_TYPE_PALETTE;
  if (alpha != nullptr) {
    // Entry 0 is the background colour, made transparent; the image's
    // colours follow it.
    plan.depth = 8;
    plan.form = TRowForm::IndexedMasked;
    plan.alpha = alpha;
    const int32_t colors = bits >= 8 ? 255 : std::min(1 << bits, 255);
    plan.quant.Init(source, std::span<TBGR>(plan.palette).subspan(1), colors);
    plan.palette[0] = params.PNGBackground;
    plan.paletteCount = std::min(plan.quant.ColorCount() + 1, 256);
    return;
  }
  plan.depth = PaletteDepth(bits);
  plan.quant.Init(source, plan.palette, 1 << plan.depth);
  if (plan.quant.Gray()) {
    // Grey levels, whatever the source stores (a paletted image's indices
    // are not its levels).
    plan.colorType = PNG_COLOR_TYPE_GRAY;
    plan.form = source.PixelFormat() == pxGray8 && plan.depth == 8 ? TRowForm::Straight : TRowForm::GreyLevels;
    return;
  }
  plan.form = TRowForm::Indexed;
  plan.paletteCount = std::max(plan.quant.ColorCount(), 1);
}

uint8_t GreyOf(TBGR c) { return static_cast<uint8_t>(std::clamp(BGRLuminance(c), 0, 255)); }

// bKGD in the file's own terms, 8-bit values scaled to the depth.
png_color_16 BackgroundChunk(const TPlan& plan, TBGR background) {
  png_color_16 b{};
  if (plan.colorType == PNG_COLOR_TYPE_PALETTE) {
    if (plan.form == TRowForm::IndexedMasked) b.index = 0;
    else if (plan.form == TRowForm::Indexed)
      b.index = static_cast<png_byte>(plan.quant.ColorIndexOrNearest(BGRToInt(background)));
    else
      b.index =
          static_cast<png_byte>(NearestPaletteIndex(plan.palette.data(), plan.paletteCount, BGRToInt(background)));
  } else if (plan.colorType == PNG_COLOR_TYPE_GRAY) {
    const uint8_t g = GreyOf(background);
    b.gray = plan.depth == 16 ? static_cast<png_uint_16>(g * 257) : static_cast<png_uint_16>(g >> (8 - plan.depth));
  } else {
    b.red = background.r;
    b.green = background.g;
    b.blue = background.b;
  }
  return b;
}

// A PNG stores at most 2^31 - 1 in its fields.
png_uint_32 PixelsPerMetre(int32_t dpi) {
  return static_cast<png_uint_32>(std::clamp<int64_t>(RoundHalfEven(dpi * 100 / 2.54), 0, 0x7FFFFFFF));
}

int FilterFlags(uint8_t filter) {
  switch (filter) {
    case 1: return PNG_FILTER_SUB;
    case 2: return PNG_FILTER_PAETH;
    default: return PNG_FILTER_NONE;
  }
}

// ---------------------------------------------------------------- colour with alpha

// Rows with alpha are handed to the codec in the file's own red-green-blue-
// alpha order: made in the one pass that joins colour and alpha, so the
// codec has no byte swap of its own to run over every row.
void InterleaveRGBAPlain(const uint8_t* bgr, const uint8_t* alpha, uint8_t* out, int32_t x, int32_t count) {
  for (; x < count; ++x) {
    out[4 * x] = bgr[3 * x + 2];
    out[4 * x + 1] = bgr[3 * x + 1];
    out[4 * x + 2] = bgr[3 * x];
    out[4 * x + 3] = alpha[x];
  }
}

#if defined(__x86_64__)
// Four pixels per 16-byte load; the loads read 4 bytes past the 12 used, so
// the loops stop while that much of the row is left.
__attribute__((target("ssse3"))) void InterleaveRGBASsse3(const uint8_t* bgr, const uint8_t* alpha, uint8_t* out,
                                                          int32_t count) {
  const __m128i colour = _mm_setr_epi8(2, 1, 0, -1, 5, 4, 3, -1, 8, 7, 6, -1, 11, 10, 9, -1);
  const __m128i spread[4] = {_mm_setr_epi8(-1, -1, -1, 0, -1, -1, -1, 1, -1, -1, -1, 2, -1, -1, -1, 3),
                             _mm_setr_epi8(-1, -1, -1, 4, -1, -1, -1, 5, -1, -1, -1, 6, -1, -1, -1, 7),
                             _mm_setr_epi8(-1, -1, -1, 8, -1, -1, -1, 9, -1, -1, -1, 10, -1, -1, -1, 11),
                             _mm_setr_epi8(-1, -1, -1, 12, -1, -1, -1, 13, -1, -1, -1, 14, -1, -1, -1, 15)};
  int32_t x = 0;
  for (; x + 18 <= count; x += 16) {
    const uint8_t* s = bgr + 3 * static_cast<int64_t>(x);
    auto* d = reinterpret_cast<__m128i*>(out + 4 * static_cast<int64_t>(x));
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(alpha + x));
    for (int k = 0; k < 4; ++k) {
      const __m128i c = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 12 * k)), colour);
      _mm_storeu_si128(d + k, _mm_or_si128(c, _mm_shuffle_epi8(a, spread[k])));
    }
  }
  InterleaveRGBAPlain(bgr, alpha, out, x, count);
}
#endif

void InterleaveRGBA(const uint8_t* bgr, const uint8_t* alpha, uint8_t* out, int32_t count) {
#if defined(__x86_64__)
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3) {
    InterleaveRGBASsse3(bgr, alpha, out, count);
    return;
  }
#endif
  InterleaveRGBAPlain(bgr, alpha, out, 0, count);
}

// The writer without its exception: true when the codec failed. Other
// failures only set Aborting.
bool WriteBody(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TAlphaRows* alpha, TPXProgressRec& progress) {
  const int32_t width = bitmap.Width(), height = bitmap.Height();
  if (width <= 0 || height <= 0 || bitmap.PixelFormat() == pxNone) {
    progress.Fail(iorFailed, "PNG: there is no image to write");
    return false;
  }
  TPlan plan;
  MakePlan(bitmap, params, alpha, plan);
  if (plan.rows->Width() != width || plan.rows->Height() != height) {
    progress.Fail(iorNoMemory, "PNG: no storage for a converted copy of the image");
    return false;
  }

  TEncoder enc(stream, progress);
  if (!enc.Create()) return true;
  TWriteContext& c = enc.ctx();
  c.width = static_cast<png_uint_32>(width);
  c.height = static_cast<png_uint_32>(height);
  c.depth = plan.depth;
  c.colorType = plan.colorType;
  c.interlace = params.PNGInterlaced != 0 ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE;
  c.filter = FilterFlags(params.PNGFilter);
  c.level = std::clamp<int32_t>(params.PNGCompression, 0, 9);
  c.setPHYs = params.DpiX > 0 && params.DpiY > 0;
  c.ppmX = PixelsPerMetre(params.DpiX);
  c.ppmY = PixelsPerMetre(params.DpiY);
  c.background = BackgroundChunk(plan, params.PNGBackground);
  c.paletteCount = plan.paletteCount;
  for (int32_t i = 0; i < plan.paletteCount; ++i)
    c.palette[i] = png_color{plan.palette[i].r, plan.palette[i].g, plan.palette[i].b};
  c.transparentEntry0 = plan.form == TRowForm::IndexedMasked;
  // Rows with alpha are made in the file's order already.
  c.bgr = plan.colorType == PNG_COLOR_TYPE_RGB;
  c.packing = plan.depth < 8 && plan.form != TRowForm::Straight;
  c.swap16 = plan.depth == 16;
  if (!enc.Run(StepHeader)) return true;
  if (progress.Aborted()) return false;

  TPXBitmap& rows = *plan.rows;
  const TPXPixelFormat format = rows.PixelFormat();
  const bool needsBGR =
      plan.form == TRowForm::Indexed || plan.form == TRowForm::IndexedMasked || plan.form == TRowForm::GreyLevels;
  std::vector<uint8_t> bgr(needsBGR ? static_cast<size_t>(width) * 3 : 0);
  std::vector<uint8_t> out(plan.form == TRowForm::Straight ? 0 : static_cast<size_t>(width) * 4);
  const TBGR* palette = rows.Palette();
  const int32_t paletteCount = rows.PaletteCount();
  const int greyShift = 8 - plan.depth;

  progress.Start(int64_t{height} * c.passes);
  for (int pass = 0; pass < c.passes; ++pass) {
    for (int32_t y = 0; y < height; ++y) {
      const uint8_t* row = rows.Scanline(y);
      const uint8_t* alphaRow = plan.alpha != nullptr ? plan.alpha->Row(y) : nullptr;
      if (row == nullptr || (plan.alpha != nullptr && alphaRow == nullptr)) {
        progress.Fail(iorNoMemory, "PNG: the image's storage cannot be reached");
        return false;
      }
      const uint8_t* input = row;
      if (needsBGR) {
        RowToBGR24(format, row, bgr.data(), width, palette, paletteCount);
        input = out.data();
      }
      switch (plan.form) {
        case TRowForm::Straight: break;
        case TRowForm::Indexed: plan.quant.MapRow(bgr.data(), out.data(), width); break;
        case TRowForm::IndexedMasked:
          plan.quant.MapRow(bgr.data(), out.data(), width);
          for (int32_t x = 0; x < width; ++x)
            out[x] = alphaRow[x] != 255 ? 0 : static_cast<uint8_t>(std::min(out[x] + 1, 255));
          break;
        case TRowForm::GreyLevels:
          for (int32_t x = 0; x < width; ++x) out[x] = static_cast<uint8_t>(bgr[3 * x + 2] >> greyShift);
          break;
        case TRowForm::WithAlpha:
          InterleaveRGBA(row, alphaRow, out.data(), width);
          input = out.data();
          break;
      }
      if (!enc.WriteRow(input)) return true;
      progress.Advance(1);
      if (progress.Aborted()) return false;
    }
  }
  return !enc.Run(StepWriteEnd);
}

void WriteCore(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TAlphaRows* alpha, TPXProgressRec& progress) {
  if (progress.Aborted()) return;
  bool codecError = false;
  try {
    codecError = WriteBody(stream, bitmap, params, alpha, progress);
  } catch (...) {
    FailFromException(progress, std::current_exception(), "PNG");
  }
  // Raised only now that the codec's structures are gone.
  if (codecError) {
    progress.Fail(iorFailed, std::string("PNG: ") + kWriteError);
    throw EInvalidGraphic(kWriteError);
  }
}

}  // namespace

void WritePNGStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXMask* mask,
                    TPXProgressRec& progress) {
  const bool useMask = mask != nullptr && !mask->Full && mask->BitsPerPixel() == 8 && mask->Width() == bitmap.Width() &&
                       mask->Height() == bitmap.Height();
  if (!useMask) {
    WriteCore(stream, bitmap, params, nullptr, progress);
    return;
  }
  TMaskAlphaRows rows(*mask);
  WriteCore(stream, bitmap, params, &rows, progress);
}

void PNGFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                    TPXBitmap* alpha) {
  const bool useAlpha = alpha != nullptr && !alpha->Full && alpha->PixelFormat() == pxGray8 &&
                        alpha->Width() == bitmap.Width() && alpha->Height() == bitmap.Height();
  if (!useAlpha) {
    WriteCore(stream, bitmap, params, nullptr, progress);
    return;
  }
  TBitmapAlphaRows rows(*alpha);
  WriteCore(stream, bitmap, params, &rows, progress);
}

}  // namespace pixoran
