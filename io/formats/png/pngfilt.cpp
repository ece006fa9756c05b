#include "io/formats/png/pngfilt.h"

#include <png.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <type_traits>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "core/pxmask.h"
#include "io/pixoranio_params.h"
#include "io/formats/png/pngfilt_codec.h"
#include "io/pxfiltutil.h"
#include "core/pxprogress.h"

namespace pixoran {

// ---------------------------------------------------------------- shared codec pieces

namespace pngcodec {

void ErrorProc(png_structp png, png_const_charp message) {
  auto* err = static_cast<TPNGError*>(png_get_error_ptr(png));
  std::snprintf(err->message, sizeof err->message, "%s", message ? message : "codec error");
  std::longjmp(err->jump, 1);
}

void WarningProc(png_structp, png_const_charp) {}

// Never inlined, so no caller's locals live across the setjmp.
[[gnu::noinline]] bool RunGuarded(TPNGError& err, TCodecStep step, void* context) {
  if (setjmp(err.jump) != 0) return false;
  step(context);
  return true;
}

bool TMaskAlphaRows::Allocate(int32_t width, int32_t height) { return MakeOpaqueMask(mask_, width, height); }

void TMaskAlphaRows::SetTranslucent() { mask_.Full = false; }

uint8_t* TMaskAlphaRows::Row(int32_t y) { return mask_.GetRowPointer(y); }

bool TBitmapAlphaRows::Allocate(int32_t width, int32_t height) { return alpha_.Allocate(width, height, pxGray8); }

void TBitmapAlphaRows::SetTranslucent() { alpha_.Full = false; }

uint8_t* TBitmapAlphaRows::Row(int32_t y) { return alpha_.Scanline(y); }

}  // namespace pngcodec

using namespace pngcodec;

namespace {

constexpr uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
// zlib's deflate expands at most about 1032 times; image data that would
// need more than this per byte of file left cannot be in the file, so its
// bitmap is never allocated.
constexpr double kMaxInflateRatio = 1100;
// Largest ancillary chunk the codec keeps in memory (the ones read here are tiny).
constexpr png_alloc_size_t kMaxChunkBytes = png_alloc_size_t{8} << 20;

// ---------------------------------------------------------------- decoder context

struct TReadContext {
  TPNGError err;
  png_structp png;
  png_infop info;
  TStream* stream;
  TPXByteSource* source;  // the stream in blocks: libpng asks for a few bytes at a time
  bool streamFailed;
  // header
  png_uint_32 width, height;
  int bitDepth, colorType, interlace;
  // transformations chosen by the filter, applied by StepSetup
  bool expand, strip16, packing, grayToRgb, bgr, compose, composeFile;
  png_color_16 background;
  // results of StepSetup
  int passes;
  size_t rowBytes;
  int channels;
  // argument of the row step
  png_bytep row;
};
static_assert(std::is_standard_layout_v<TReadContext>);

void ReadProc(png_structp png, png_bytep data, size_t length) {
  auto* c = static_cast<TReadContext*>(png_get_io_ptr(png));
  int64_t got = 0;
  try {
    got = c->source->ReadUpTo(data, static_cast<int64_t>(length));
  } catch (...) {
    c->streamFailed = true;
  }
  // Raised only here, outside the handler, so the jump leaves no exception alive.
  if (c->streamFailed) png_error(png, "the stream cannot be read");
  if (got != static_cast<int64_t>(length)) png_error(png, "the data end early");
}

void StepCreate(void* p) {
  auto* c = static_cast<TReadContext*>(p);
  c->png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &c->err, ErrorProc, WarningProc);
  if (c->png == nullptr) return;
  c->info = png_create_info_struct(c->png);
  png_set_read_fn(c->png, c, ReadProc);
  // Chunks the filter has no use for are skipped unread, so their (possibly
  // compressed) payloads cost neither memory nor time.
  static const png_byte kIgnored[] = "tEXt\0zTXt\0iTXt\0iCCP\0sPLT\0eXIf\0tIME\0";
  png_set_keep_unknown_chunks(c->png, PNG_HANDLE_CHUNK_NEVER, kIgnored, 7);
  png_set_keep_unknown_chunks(c->png, PNG_HANDLE_CHUNK_NEVER, nullptr, 0);
  png_set_chunk_malloc_max(c->png, kMaxChunkBytes);
  // Every size a PNG can state passes the codec: the filter's own guard
  // refuses what the data cannot fill as too large, not as a broken header.
  png_set_user_limits(c->png, PNG_UINT_31_MAX, PNG_UINT_31_MAX);
}

void StepReadInfo(void* p) {
  auto* c = static_cast<TReadContext*>(p);
  png_read_info(c->png, c->info);
  png_get_IHDR(c->png, c->info, &c->width, &c->height, &c->bitDepth, &c->colorType, &c->interlace, nullptr, nullptr);
}

void StepSetup(void* p) {
  auto* c = static_cast<TReadContext*>(p);
  png_structp png = c->png;
  if (c->compose) {
    if (c->composeFile) {
      png_color_16p file = nullptr;
      png_get_bKGD(png, c->info, &file);
      png_set_background(png, file, PNG_BACKGROUND_GAMMA_FILE, 1, 1.0);
    } else {
      // The requested colour as the rows are composed (colour, at the depth
      // composed in). Given as the file's colour instead, libpng would take
      // it as a palette index or a grey level.
      png_set_background(png, &c->background, PNG_BACKGROUND_GAMMA_SCREEN, 0, 1.0);
    }
  }
  if (c->expand) png_set_expand(png);
  if (c->strip16) png_set_strip_16(png);
  if (c->packing) png_set_packing(png);
  if (c->grayToRgb) png_set_gray_to_rgb(png);
  if (c->bgr) png_set_bgr(png);
  c->passes = png_set_interlace_handling(png);
  png_read_update_info(png, c->info);
  c->rowBytes = png_get_rowbytes(png, c->info);
  c->channels = png_get_channels(png, c->info);
}

void StepReadRow(void* p) {
  auto* c = static_cast<TReadContext*>(p);
  png_read_row(c->png, c->row, nullptr);
}

void StepReadEnd(void* p) {
  auto* c = static_cast<TReadContext*>(p);
  png_read_end(c->png, nullptr);
}

void StepDestroy(void* p) {
  auto* c = static_cast<TReadContext*>(p);
  png_destroy_read_struct(&c->png, c->info != nullptr ? &c->info : nullptr, nullptr);
}

// Owns the read structures and the input source; destroys them on every path
// and leaves the stream just after the bytes the codec consumed.
class TDecoder {
 public:
  explicit TDecoder(TStream& stream)
      : ctx_(std::make_unique<TReadContext>()), source_(std::make_unique<TPXByteSource>(stream)) {
    ctx_->stream = &stream;
    ctx_->source = source_.get();
  }
  ~TDecoder() {
    if (ctx_->png != nullptr) RunGuarded(ctx_->err, StepDestroy, ctx_.get());
    try {
      ctx_->stream->SetPosition(source_->Position());
    } catch (...) {}
  }
  TDecoder(const TDecoder&) = delete;
  TDecoder& operator=(const TDecoder&) = delete;

  bool Create() { return Run(StepCreate) && ctx_->png != nullptr && ctx_->info != nullptr; }
  bool Run(TCodecStep step) { return RunGuarded(ctx_->err, step, ctx_.get()); }
  bool ReadRow(uint8_t* row) {
    ctx_->row = row;
    return Run(StepReadRow);
  }
  // The failure of the last step, for the caller's flag and result.
  void Fail(TPXProgressRec& progress, const std::string& where) const {
    progress.Fail(iorCorrupt, "PNG: " + std::string(ctx_->err.message) + where);
  }
  TReadContext& ctx() { return *ctx_; }

 private:
  std::unique_ptr<TReadContext> ctx_;
  std::unique_ptr<TPXByteSource> source_;
};

uint8_t High8(png_uint_16 v, int depth) { return static_cast<uint8_t>(depth == 16 ? v >> 8 : std::min<int>(v, 255)); }

// A grey sample of the file's depth brought to 0..255.
uint8_t GreyTo8(png_uint_16 v, int depth) {
  if (depth >= 8) return High8(v, depth);
  const int maximum = (1 << depth) - 1;
  return static_cast<uint8_t>(std::min<int>(v, maximum) * 255 / maximum);
}

// The file's bKGD colour with 8 bits per channel.
TBGR FileBackground(const TReadContext& c, const png_color_16& b) {
  if (c.colorType == PNG_COLOR_TYPE_PALETTE) {
    png_colorp palette = nullptr;
    int count = 0;
    png_get_PLTE(c.png, c.info, &palette, &count);
    if (palette == nullptr || b.index >= count) return TBGR{};
    const png_color e = palette[b.index];
    return MakeBGR(e.red, e.green, e.blue);
  }
  if ((c.colorType & PNG_COLOR_MASK_COLOR) == 0) {
    const uint8_t g = GreyTo8(b.gray, c.bitDepth);
    return MakeBGR(g, g, g);
  }
  return MakeBGR(High8(b.red, c.bitDepth), High8(b.green, c.bitDepth), High8(b.blue, c.bitDepth));
}

void FillParams(TReadContext& c, TIOParamsVals& params) {
  params.Width = static_cast<int32_t>(c.width);
  params.Height = static_cast<int32_t>(c.height);
  params.BitsPerSample = c.bitDepth;
  switch (c.colorType) {
    case PNG_COLOR_TYPE_RGB: params.SamplesPerPixel = 3; break;
    case PNG_COLOR_TYPE_GRAY_ALPHA: params.SamplesPerPixel = 2; break;
    case PNG_COLOR_TYPE_RGB_ALPHA: params.SamplesPerPixel = 4; break;
    default: params.SamplesPerPixel = 1; break;
  }
  png_uint_32 ppmX = 0, ppmY = 0;
  int unit = 0;
  if (png_get_pHYs(c.png, c.info, &ppmX, &ppmY, &unit) == 0 || unit != PNG_RESOLUTION_METER) ppmX = ppmY = 0;
  const int32_t dpiX = RoundToInt32(ppmX / 100.0 * 2.54);
  const int32_t dpiY = RoundToInt32(ppmY / 100.0 * 2.54);
  params.SetDpiX(dpiX != 0 ? dpiX : PXSettings().DefaultDpiX);
  params.SetDpiY(dpiY != 0 ? dpiY : PXSettings().DefaultDpiY);
  params.FreePalette();
  if (c.colorType == PNG_COLOR_TYPE_PALETTE) {
    png_colorp palette = nullptr;
    int count = 0;
    if (png_get_PLTE(c.png, c.info, &palette, &count) != 0 && palette != nullptr && count > 0) {
      count = std::min(count, 256);
      TBGR entries[256];
      for (int i = 0; i < count; ++i) entries[i] = MakeBGR(palette[i].red, palette[i].green, palette[i].blue);
      params.SetPalette(entries, count);
    }
  }
  params.PNGInterlaced = c.interlace != PNG_INTERLACE_NONE ? 1 : 0;
}

// How a 1-bit image's two colours relate to pxBW1 (a set bit white).
enum class TBlackWhite { No, Straight, Inverted };

TBlackWhite OneBitForm(const TReadContext& c) {
  if (c.bitDepth != 1) return TBlackWhite::No;
  if (c.colorType == PNG_COLOR_TYPE_GRAY) return TBlackWhite::Straight;
  if (c.colorType != PNG_COLOR_TYPE_PALETTE) return TBlackWhite::No;
  png_colorp palette = nullptr;
  int count = 0;
  if (png_get_PLTE(c.png, c.info, &palette, &count) == 0 || palette == nullptr || count < 2) return TBlackWhite::No;
  auto is = [](const png_color& e, uint8_t v) { return e.red == v && e.green == v && e.blue == v; };
  if (is(palette[0], 0) && is(palette[1], 255)) return TBlackWhite::Straight;
  if (is(palette[0], 255) && is(palette[1], 0)) return TBlackWhite::Inverted;
  return TBlackWhite::No;
}

// Splits blue-green-red-alpha pixels into a bitmap row and an alpha row.
// Each pixel is stored as four bytes whose last one the next pixel
// overwrites: one store a pixel instead of three.
void SplitBGRA(const uint8_t* src, uint8_t* bgr, uint8_t* alpha, int64_t width) {
  int64_t x = 0;
  for (; x + 1 < width; ++x, src += 4, bgr += 3) {
    uint32_t v;
    std::memcpy(&v, src, 4);
    std::memcpy(bgr, &v, 4);
    alpha[x] = src[3];
  }
  if (x < width) {
    bgr[0] = src[0];
    bgr[1] = src[1];
    bgr[2] = src[2];
    alpha[x] = src[3];
  }
}

void JoinBGRA(const uint8_t* bgr, const uint8_t* alpha, uint8_t* dst, int64_t width) {
  for (int64_t x = 0; x < width; ++x, dst += 4, bgr += 3) {
    dst[0] = bgr[0];
    dst[1] = bgr[1];
    dst[2] = bgr[2];
    dst[3] = alpha[x];
  }
}

// Header, transformations and rows. Failure is set on the progress record.
void ReadBody(TDecoder& dec, TPXBitmap& bitmap, TIOParamsVals& params, bool blendAlpha, TAlphaRows* alphaOut,
              bool paramsOnly, TPXProgressRec& progress) {
  TReadContext& c = dec.ctx();
  if (!dec.Run(StepReadInfo)) return dec.Fail(progress, " in the header");
  FillParams(c, params);

  const bool hasTRNS = png_get_valid(c.png, c.info, PNG_INFO_tRNS) != 0;
  const bool hasAlpha = (c.colorType & PNG_COLOR_MASK_ALPHA) != 0 || hasTRNS;
  png_color_16p fileBackground = nullptr;
  const bool hasBKGD = png_get_bKGD(c.png, c.info, &fileBackground) != 0 && fileBackground != nullptr;
  if (blendAlpha && hasBKGD) params.PNGBackground = FileBackground(c, *fileBackground);
  if (paramsOnly) return;

  // Output form. Images with transparency always take the colour path, so
  // the alpha is kept (or composited) whatever their depth.
  const TBlackWhite oneBit = hasTRNS ? TBlackWhite::No : OneBitForm(c);
  const bool native = params.KeepNativeFormat != 0 && !hasTRNS && c.bitDepth == 8 &&
                      (c.colorType == PNG_COLOR_TYPE_PALETTE || c.colorType == PNG_COLOR_TYPE_GRAY);
  TPXPixelFormat format = pxBGR24;
  if (oneBit != TBlackWhite::No) format = pxBW1;
  else if (native) format = c.colorType == PNG_COLOR_TYPE_PALETTE ? pxPal8 : pxGray8;
  else {
    c.expand = c.colorType == PNG_COLOR_TYPE_PALETTE || c.bitDepth < 8 || hasTRNS;
    c.strip16 = c.bitDepth == 16;
    c.packing = c.bitDepth < 8;
    c.grayToRgb = (c.colorType & PNG_COLOR_MASK_COLOR) == 0;
    c.bgr = true;
    if (blendAlpha && hasAlpha) {
      c.compose = true;
      const bool smallGrey = (c.colorType & PNG_COLOR_MASK_COLOR) == 0 && c.bitDepth < 8;
      c.composeFile = hasBKGD && !smallGrey;
      if (!c.composeFile) {
        // At the output's 8 bits: libpng brings it to 16 for 16-bit samples,
        // which it composes before they are cut to 8 bits.
        const TBGR b = params.PNGBackground;  // the file's colour when it has one, see above
        c.background.red = b.r;
        c.background.green = b.g;
        c.background.blue = b.b;
        c.background.gray = b.r == b.g && b.g == b.b ? b.r : 0;
      }
    }
  }
  const int fileChannels = png_get_channels(c.png, c.info);
  // Image data the file cannot hold is refused before anything is allocated
  // (setting up, the codec allocates a row).
  if (!CheckDeclaredImage("PNG", c.width, c.height, c.bitDepth * fileChannels, c.source->Left(), kMaxInflateRatio,
                          progress))
    return;
  if (!dec.Run(StepSetup)) return dec.Fail(progress, " setting up the decoder");

  const int64_t width = c.width, height = c.height;
  const bool split = format == pxBGR24 && c.channels == 4;
  int64_t expected = width;  // pxPal8, pxGray8
  if (format == pxBW1) expected = (width + 7) / 8;
  if (format == pxBGR24) expected = width * (split ? 4 : 3);
  if (static_cast<int64_t>(c.rowBytes) != expected || (format == pxBGR24 && c.channels != 3 && !split)) {
    progress.Fail(iorUnsupported, "PNG: rows of an unexpected layout");
    return;
  }
  const std::string size = std::to_string(width) + " x " + std::to_string(height);
  if (!bitmap.Allocate(static_cast<int32_t>(width), static_cast<int32_t>(height), format)) {
    progress.Fail(iorNoMemory, "PNG: no storage for a " + size + " image");
    return;
  }
  if (format == pxPal8) {
    for (int32_t i = 0; i < params.PaletteCount; ++i) bitmap.SetPaletteEntry(i, params.Palette[i]);
  }
  // The fourth channel only comes out when the alpha has somewhere to go.
  TAlphaRows* alpha = split ? alphaOut : nullptr;
  if (split && (alpha == nullptr || !alpha->Allocate(static_cast<int32_t>(width), static_cast<int32_t>(height)))) {
    progress.Fail(iorNoMemory, "PNG: no storage for the transparency of a " + size + " image");
    return;
  }
  if (alpha != nullptr) alpha->SetTranslucent();
  std::vector<uint8_t> buffer(split ? static_cast<size_t>(width) * 4 : 0);
  const bool interlaced = c.passes > 1;

  progress.Start(height * c.passes);
  bool failed = false;
  int64_t failedRow = 0;
  for (int pass = 0; pass < c.passes && !failed && !progress.Aborted(); ++pass) {
    for (int32_t y = 0; y < height; ++y) {
      uint8_t* row = bitmap.Scanline(y);
      failedRow = y;
      if (row == nullptr) {
        progress.Fail(iorNoMemory, "PNG: the image's storage cannot be reached");
        break;
      }
      if (!split) {
        failed = !dec.ReadRow(row);
      } else {
        // A pass of an interlaced image adds its pixels to what the earlier
        // passes left, so the row is put together again before each of its
        // passes and split after it; rows outside the pass are not touched.
        const bool inPass = !interlaced || PNG_ROW_IN_INTERLACE_PASS(y, pass);
        uint8_t* alphaRow = inPass ? alpha->Row(y) : nullptr;
        if (inPass && alphaRow == nullptr) {
          progress.Fail(iorNoMemory, "PNG: the transparency's storage cannot be reached");
          break;
        }
        if (inPass && interlaced) JoinBGRA(row, alphaRow, buffer.data(), width);
        failed = !dec.ReadRow(buffer.data());
        if (!failed && inPass) SplitBGRA(buffer.data(), row, alphaRow, width);
      }
      if (failed) break;
      progress.Advance(1);
      if (progress.Aborted()) break;
    }
  }
  if (failed)
    dec.Fail(progress, " at row " + std::to_string(failedRow) + " of " + std::to_string(height) +
                           (interlaced ? " (interlaced)" : ""));
  if (oneBit == TBlackWhite::Inverted) InvertBitmapBits(bitmap);
  if (!progress.Aborted() && !dec.Run(StepReadEnd)) dec.Fail(progress, " after the image data");
}

void ReadCore(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, bool blendAlpha, TAlphaRows* alpha,
              bool paramsOnly, TPXProgressRec& progress) {
  // Storage or stream failures of our own side are reported like a bad file.
  RunFilter(
      progress,
      [&] {
        TDecoder dec(stream);
        if (!dec.Create()) {
          progress.Fail(iorNoMemory, "PNG: the decoder cannot be set up");
          return;
        }
        RunFilter(
            progress, [&] { ReadBody(dec, bitmap, params, blendAlpha, alpha, paramsOnly, progress); }, "PNG");
      },
      "PNG");
}

}  // namespace

// ---------------------------------------------------------------- public

bool IsPNGStream(TStream& stream) {
  int64_t start = 0;
  try {
    start = stream.Position();
  } catch (...) {
    return false;
  }
  uint8_t head[8] = {};
  int64_t got = 0;
  try {
    got = stream.Read(head, sizeof head);
  } catch (...) {
    got = 0;
  }
  try {
    stream.SetPosition(start);
  } catch (...) {}
  return got >= 4 && std::memcmp(head, kSignature, 4) == 0;
}

void ReadPNGStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, bool blendAlpha,
                   std::unique_ptr<TPXMask>& mask, bool paramsOnly, TPXProgressRec& progress) {
  if (blendAlpha || paramsOnly) {
    ReadCore(stream, bitmap, params, blendAlpha, nullptr, paramsOnly, progress);
    return;
  }
  if (!mask) mask = std::make_unique<TPXMask>();
  mask->FreeData();
  TMaskAlphaRows rows(*mask);
  ReadCore(stream, bitmap, params, false, &rows, false, progress);
  // An opaque image has a mask too, all 255.
  if (!progress.Aborted() && mask->Width() == 0) {
    if (rows.Allocate(bitmap.Width(), bitmap.Height())) mask->Full = true;
    else progress.Fail(iorNoMemory, "PNG: no storage for the mask");
  }
}

void PNGFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool paramsOnly,
                   int64_t /*dataLength*/, TPXBitmap& alpha) {
  TBitmapAlphaRows rows(alpha);
  ReadCore(stream, bitmap, params, false, &rows, paramsOnly, progress);
}

}  // namespace pixoran
