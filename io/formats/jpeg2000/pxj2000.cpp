#include "io/formats/jpeg2000/pxj2000.h"

#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#if PIXORAN_HAVE_OPENJPEG
extern "C" {
#include <openjpeg.h>
}
#endif

#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "io/pxfiltutil.h"
#include "platform/system.h"

namespace pixoran {

namespace {

constexpr uint8_t kJP2Signature[12] = {0, 0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87, 0x0A};
// The smallest rate handed to the codec: a thousandth of the raw size.
constexpr double kMinJ2000Rate = 0.001;

}  // namespace

// A build without OpenJPEG keeps the probes, so such files are still told
// apart from unknown ones, and refuses to decode or encode them.
#if PIXORAN_HAVE_OPENJPEG
namespace {

// ---------------------------------------------------------------- stream binding

// A library stream seen by the codec. Positions the codec asks for count
// from where the binding started.
struct TStreamBinding {
  TStream* Stream = nullptr;
  int64_t Base = 0;
  bool WriteFailed = false;

  explicit TStreamBinding(TStream& stream) : Stream(&stream), Base(stream.Position()) {}
};

OPJ_SIZE_T BindingRead(void* buffer, OPJ_SIZE_T count, void* user) {
  auto* b = static_cast<TStreamBinding*>(user);
  const int64_t got = b->Stream->Read(buffer, static_cast<int64_t>(count));
  return got > 0 ? static_cast<OPJ_SIZE_T>(got) : static_cast<OPJ_SIZE_T>(-1);
}

OPJ_SIZE_T BindingWrite(void* buffer, OPJ_SIZE_T count, void* user) {
  auto* b = static_cast<TStreamBinding*>(user);
  bool failed = false;
  SafeStreamWrite(*b->Stream, failed, buffer, static_cast<int64_t>(count));
  if (failed) {
    b->WriteFailed = true;
    return static_cast<OPJ_SIZE_T>(-1);
  }
  return count;
}

// Reading never goes past the end; writing may (the JP2 writer skips a box
// header it fills in later).
OPJ_OFF_T BindingSkipRead(OPJ_OFF_T count, void* user) {
  auto* b = static_cast<TStreamBinding*>(user);
  const int64_t pos = b->Stream->Position();
  const int64_t size = b->Stream->Size();
  if (count < 0 || pos > size || count > size - pos) return -1;
  b->Stream->Seek(pos + count, TSeekOrigin::soBeginning);
  return count;
}

OPJ_OFF_T BindingSkipWrite(OPJ_OFF_T count, void* user) {
  auto* b = static_cast<TStreamBinding*>(user);
  const int64_t pos = b->Stream->Position();
  if (count < 0 && pos + count < b->Base) return -1;
  return b->Stream->Seek(pos + count, TSeekOrigin::soBeginning) == pos + count ? count : -1;
}

OPJ_BOOL BindingSeekRead(OPJ_OFF_T offset, void* user) {
  auto* b = static_cast<TStreamBinding*>(user);
  if (offset < 0 || offset > b->Stream->Size() - b->Base) return OPJ_FALSE;
  return b->Stream->Seek(b->Base + offset, TSeekOrigin::soBeginning) == b->Base + offset;
}

OPJ_BOOL BindingSeekWrite(OPJ_OFF_T offset, void* user) {
  auto* b = static_cast<TStreamBinding*>(user);
  if (offset < 0) return OPJ_FALSE;
  return b->Stream->Seek(b->Base + offset, TSeekOrigin::soBeginning) == b->Base + offset;
}

struct TOpjStreamDeleter {
  void operator()(opj_stream_t* s) const { opj_stream_destroy(s); }
};
struct TOpjCodecDeleter {
  void operator()(opj_codec_t* c) const { opj_destroy_codec(c); }
};
struct TOpjImageDeleter {
  void operator()(opj_image_t* i) const { opj_image_destroy(i); }
};
using TOpjStream = std::unique_ptr<opj_stream_t, TOpjStreamDeleter>;
using TOpjCodec = std::unique_ptr<opj_codec_t, TOpjCodecDeleter>;
using TOpjImage = std::unique_ptr<opj_image_t, TOpjImageDeleter>;

TOpjStream OpenCodecStream(TStreamBinding& binding, bool input) {
  // A small file needs no megabyte of read buffer.
  const int64_t left = input ? std::max<int64_t>(binding.Stream->Size() - binding.Base, 0) : 0;
  const int64_t buffer = input ? std::clamp<int64_t>(left, 4096, OPJ_J2K_STREAM_CHUNK_SIZE) : OPJ_J2K_STREAM_CHUNK_SIZE;
  TOpjStream s(opj_stream_create(static_cast<OPJ_SIZE_T>(buffer), input ? OPJ_TRUE : OPJ_FALSE));
  if (!s) return s;
  opj_stream_set_user_data(s.get(), &binding, nullptr);
  if (input) {
    opj_stream_set_read_function(s.get(), BindingRead);
    opj_stream_set_skip_function(s.get(), BindingSkipRead);
    opj_stream_set_seek_function(s.get(), BindingSeekRead);
    opj_stream_set_user_data_length(s.get(), static_cast<OPJ_UINT64>(left));
  } else {
    opj_stream_set_write_function(s.get(), BindingWrite);
    opj_stream_set_skip_function(s.get(), BindingSkipWrite);
    opj_stream_set_seek_function(s.get(), BindingSeekWrite);
  }
  return s;
}

void QuietMessage(const char*, void*) {}

void Silence(opj_codec_t* codec) {
  opj_set_info_handler(codec, QuietMessage, nullptr);
  opj_set_warning_handler(codec, QuietMessage, nullptr);
  opj_set_error_handler(codec, QuietMessage, nullptr);
}

// ---------------------------------------------------------------- reading

enum class TColorModel { Grey, RGB, YCbCr };

struct TLayout {
  TColorModel Model = TColorModel::Grey;
  int32_t Count = 1;  // components used: 1 or 3
  int32_t Bits = 8;   // precision of the first one
};

bool Subsampled(const opj_image_comp_t& c) { return c.dx > 1 || c.dy > 1; }

// The colour model comes from the colour space and the component count; a
// space the codec does not name (every raw code stream, and JP2 files with
// an ICC profile) is told by the components: 1-2 grey, 3 with subsampled
// chroma YCbCr, otherwise RGB.
bool ChooseLayout(const opj_image_t& image, TLayout& layout) {
  const uint32_t n = image.numcomps;
  if (n == 0 || image.comps == nullptr) return false;
  switch (image.color_space) {
    case OPJ_CLRSPC_GRAY: layout.Model = TColorModel::Grey; break;
    case OPJ_CLRSPC_SRGB: layout.Model = TColorModel::RGB; break;
    case OPJ_CLRSPC_SYCC: layout.Model = TColorModel::YCbCr; break;
    case OPJ_CLRSPC_UNSPECIFIED:
    case OPJ_CLRSPC_UNKNOWN:
      if (n <= 2) layout.Model = TColorModel::Grey;
      else if (n == 3 && (Subsampled(image.comps[1]) || Subsampled(image.comps[2]))) layout.Model = TColorModel::YCbCr;
      else layout.Model = TColorModel::RGB;
      break;
    default: return false;
  }
  layout.Count = layout.Model == TColorModel::Grey ? 1 : 3;
  if (n < static_cast<uint32_t>(layout.Count)) return false;
  for (int32_t i = 0; i < layout.Count; ++i) {
    const opj_image_comp_t& c = image.comps[i];
    if (c.prec < 1 || c.prec > 16 || c.dx == 0 || c.dy == 0) return false;
  }
  layout.Bits = static_cast<int32_t>(image.comps[0].prec);
  return true;
}

// One component as 8-bit rows: each sample offset into the unsigned range,
// then scaled (below 8 bits) or reduced to its top 8 bits, through a table.
class TComponentReader {
 public:
  bool Init(const opj_image_t& image, const opj_image_comp_t& c, int32_t width) {
    comp_ = &c;
    if (c.data == nullptr || c.w == 0 || c.h == 0) return false;
    const int32_t prec = static_cast<int32_t>(c.prec);
    const int32_t maxval = (1 << prec) - 1;
    offset_ = c.sgnd ? (1 << (prec - 1)) : 0;
    maxIndex_ = maxval;
    lut_.resize(static_cast<size_t>(maxval) + 1);
    for (int32_t v = 0; v <= maxval; ++v) lut_[v] = static_cast<uint8_t>(prec < 8 ? v * 255 / maxval : v >> (prec - 8));
    direct_ = c.dx == 1 && c.x0 == image.x0 && c.w >= static_cast<uint32_t>(width);
    if (!direct_) {
      columns_.resize(static_cast<size_t>(width));
      for (int32_t x = 0; x < width; ++x) {
        const int64_t col = (int64_t{image.x0} + x) / c.dx - int64_t{c.x0};
        columns_[x] = static_cast<uint32_t>(std::clamp<int64_t>(col, 0, int64_t{c.w} - 1));
      }
    }
    imageY0_ = image.y0;
    return true;
  }

  // Eight-bit unsigned samples, one per pixel: the table is the identity,
  // so a sample is its byte once clamped.
  bool Plain8() const { return direct_ && comp_->prec == 8 && comp_->sgnd == 0; }

  // The codec's samples for row y.
  const OPJ_INT32* Source(int32_t y) const {
    const opj_image_comp_t& c = *comp_;
    const int64_t r = std::clamp<int64_t>((int64_t{imageY0_} + y) / c.dy - int64_t{c.y0}, 0, int64_t{c.h} - 1);
    return c.data + r * int64_t{c.w};
  }

  // The samples of row y as decoded, one per pixel.
  void Samples(int32_t y, int32_t width, OPJ_INT32* out) const {
    const OPJ_INT32* src = Source(y);
    if (direct_) {
      std::memcpy(out, src, static_cast<size_t>(width) * sizeof(OPJ_INT32));
      return;
    }
    const uint32_t* cols = columns_.data();
    for (int32_t x = 0; x < width; ++x) out[x] = src[cols[x]];
  }

  void Row(int32_t y, int32_t width, uint8_t* out) const {
    const OPJ_INT32* src = Source(y);
    const uint8_t* lut = lut_.data();
    const int32_t offset = offset_, top = maxIndex_;
    if (direct_) {
      for (int32_t x = 0; x < width; ++x) out[x] = lut[std::clamp(src[x] + offset, 0, top)];
    } else {
      const uint32_t* cols = columns_.data();
      for (int32_t x = 0; x < width; ++x) out[x] = lut[std::clamp(src[cols[x]] + offset, 0, top)];
    }
  }

 private:
  const opj_image_comp_t* comp_ = nullptr;
  std::vector<uint8_t> lut_;
  std::vector<uint32_t> columns_;
  int32_t offset_ = 0, maxIndex_ = 0;
  uint32_t imageY0_ = 0;
  bool direct_ = true;
};

// Bytes the decoded components take (the codec keeps 32 bits per sample),
// from the image area and each component's sampling.
int64_t DecodedBytes(const opj_image_t& image) {
  const int64_t w = int64_t{image.x1} - image.x0, h = int64_t{image.y1} - image.y0;
  int64_t total = 0;
  for (uint32_t i = 0; i < image.numcomps; ++i) {
    const int64_t dx = std::max<uint32_t>(image.comps[i].dx, 1), dy = std::max<uint32_t>(image.comps[i].dy, 1);
    const int64_t samples = (w + dx - 1) / dx * ((h + dy - 1) / dy);  // below 2^62: sides fit in int32
    if (samples > (std::numeric_limits<int64_t>::max() - total) / 4) return std::numeric_limits<int64_t>::max();
    total += samples * 4;
  }
  return total;
}

uint8_t ClampByte(OPJ_INT32 v) { return static_cast<uint8_t>(std::clamp<OPJ_INT32>(v, 0, 255)); }

void JoinRGB8Plain(const OPJ_INT32* r, const OPJ_INT32* g, const OPJ_INT32* b, uint8_t* row, int32_t x, int32_t width) {
  for (; x < width; ++x) {
    row[3 * x] = ClampByte(b[x]);
    row[3 * x + 1] = ClampByte(g[x]);
    row[3 * x + 2] = ClampByte(r[x]);
  }
}

#if defined(__x86_64__)
// Where each of 48 output bytes (16 blue-green-red pixels) comes from in
// the 16-byte vector of its channel.
struct TJoinMasks {
  alignas(16) uint8_t Of[3][3][16];  // [output vector][channel: blue, green, red][byte]
};
constexpr TJoinMasks MakeJoinMasks() {
  TJoinMasks m{};
  for (int k = 0; k < 3; ++k)
    for (int c = 0; c < 3; ++c)
      for (int i = 0; i < 16; ++i) {
        const int at = 16 * k + i;
        m.Of[k][c][i] = at % 3 == c ? static_cast<uint8_t>(at / 3) : 0x80;
      }
  return m;
}
constexpr TJoinMasks kJoin = MakeJoinMasks();

// 16 samples clamped to bytes: the two saturating packs clamp to 0..255.
__attribute__((target("ssse3"))) inline __m128i PackSamples(const OPJ_INT32* p) {
  const auto* q = reinterpret_cast<const __m128i*>(p);
  const __m128i lo = _mm_packs_epi32(_mm_loadu_si128(q), _mm_loadu_si128(q + 1));
  const __m128i hi = _mm_packs_epi32(_mm_loadu_si128(q + 2), _mm_loadu_si128(q + 3));
  return _mm_packus_epi16(lo, hi);
}

__attribute__((target("ssse3"))) void JoinRGB8Ssse3(const OPJ_INT32* r, const OPJ_INT32* g, const OPJ_INT32* b,
                                                    uint8_t* row, int32_t width) {
  const auto* m = reinterpret_cast<const __m128i*>(&kJoin.Of[0][0][0]);
  int32_t x = 0;
  for (; x + 16 <= width; x += 16) {
    const __m128i vb = PackSamples(b + x), vg = PackSamples(g + x), vr = PackSamples(r + x);
    auto* d = reinterpret_cast<__m128i*>(row + 3 * static_cast<int64_t>(x));
    for (int k = 0; k < 3; ++k) {
      const __m128i v = _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(vb, _mm_load_si128(m + 3 * k)),
                                                  _mm_shuffle_epi8(vg, _mm_load_si128(m + 3 * k + 1))),
                                     _mm_shuffle_epi8(vr, _mm_load_si128(m + 3 * k + 2)));
      _mm_storeu_si128(d + k, v);
    }
  }
  JoinRGB8Plain(r, g, b, row, x, width);
}
#endif

// Red, green and blue planes of 8-bit samples into a blue-green-red row, in
// one pass (the general path's tables and plane rows are the identity here).
void JoinRGB8(const OPJ_INT32* r, const OPJ_INT32* g, const OPJ_INT32* b, uint8_t* row, int32_t width) {
#if defined(__x86_64__)
  static const bool ssse3 = __builtin_cpu_supports("ssse3");
  if (ssse3) {
    JoinRGB8Ssse3(r, g, b, row, width);
    return;
  }
#endif
  JoinRGB8Plain(r, g, b, row, 0, width);
}

void ConvertImage(const opj_image_t& image, const TLayout& layout, TPXBitmap& bitmap, int32_t width, int32_t height,
                  TPXProgressRec& progress) {
  TComponentReader readers[3];
  for (int32_t i = 0; i < layout.Count; ++i)
    if (!readers[i].Init(image, image.comps[i], width)) {
      progress.Fail(iorCorrupt, "JPEG 2000: component " + std::to_string(i) + " holds no samples");
      return;
    }
  const bool bw = bitmap.PixelFormat() == pxBW1;
  std::vector<uint8_t> planes(static_cast<size_t>(width) * layout.Count);
  uint8_t* p0 = planes.data();
  uint8_t* p1 = p0 + width;
  uint8_t* p2 = p1 + width;
  // YCbCr as OpenJPEG's own decoder shows sYCC, which other decoders
  // agree with: at the luma's precision, the luma as decoded (a signed
  // component keeps its sign), the chroma less half that precision's range
  // whatever its own sign, the products truncated and the result held to
  // the range, then brought to 8 bits.
  const bool ycc = layout.Model == TColorModel::YCbCr;
  const int32_t prec = layout.Bits, upb = (1 << prec) - 1, half = 1 << (prec - 1);
  std::vector<OPJ_INT32> samples(ycc ? static_cast<size_t>(width) * 3 : 0);
  std::vector<uint8_t> to8(ycc ? static_cast<size_t>(upb) + 1 : 0);
  for (int32_t v = 0; ycc && v <= upb; ++v) to8[v] = static_cast<uint8_t>(prec < 8 ? v * 255 / upb : v >> (prec - 8));
  const bool plainRGB =
      !bw && layout.Model == TColorModel::RGB && readers[0].Plain8() && readers[1].Plain8() && readers[2].Plain8();
  progress.Start(height);
  for (int32_t y = 0; y < height; ++y) {
    uint8_t* row = bitmap.Scanline(y);
    if (row == nullptr) {
      progress.Fail(iorNoMemory, "JPEG 2000: the image's storage cannot be reached");
      return;
    }
    if (plainRGB) {
      JoinRGB8(readers[0].Source(y), readers[1].Source(y), readers[2].Source(y), row, width);
      progress.Advance(1);
      if (progress.Aborted()) return;
      continue;
    }
    if (ycc) {
      OPJ_INT32* sy = samples.data();
      OPJ_INT32* scb = sy + width;
      OPJ_INT32* scr = scb + width;
      for (int32_t i = 0; i < 3; ++i) readers[i].Samples(y, width, sy + static_cast<size_t>(i) * width);
      auto out = [&](double v) { return to8[static_cast<size_t>(std::clamp<double>(v, 0, upb))]; };
      for (int32_t x = 0; x < width; ++x) {
        const double yy = sy[x], cb = scb[x] - half, cr = scr[x] - half;
        row[3 * x] = out(yy + std::trunc(1.772 * cb));
        row[3 * x + 1] = out(yy - std::trunc(0.344 * cb + 0.714 * cr));
        row[3 * x + 2] = out(yy + std::trunc(1.402 * cr));
      }
      progress.Advance(1);
      if (progress.Aborted()) return;
      continue;
    }
    for (int32_t i = 0; i < layout.Count; ++i) readers[i].Row(y, width, p0 + static_cast<size_t>(i) * width);
    if (bw) {
      std::memset(row, 0, static_cast<size_t>((width + 7) / 8));
      for (int32_t x = 0; x < width; ++x)
        if (p0[x] >= 128) row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
    } else if (layout.Model == TColorModel::Grey) {
      for (int32_t x = 0; x < width; ++x) row[3 * x] = row[3 * x + 1] = row[3 * x + 2] = p0[x];
    } else if (layout.Model == TColorModel::RGB) {
      for (int32_t x = 0; x < width; ++x) {
        row[3 * x] = p2[x];
        row[3 * x + 1] = p1[x];
        row[3 * x + 2] = p0[x];
      }
    }
    progress.Advance(1);
    if (progress.Aborted()) return;
  }
}

// ---------------------------------------------------------------- writing

// Fills the codec's components from the bitmap's rows. False when Aborting
// was set on the way.
bool FillComponents(TPXBitmap& bitmap, opj_image_t& image, int32_t bits, TPXProgressRec& progress) {
  const int32_t width = bitmap.Width(), height = bitmap.Height();
  const TPXPixelFormat format = bitmap.PixelFormat();
  const bool grey = image.numcomps == 1;
  const int32_t maxval = (1 << bits) - 1;
  // Trunc(v / 255 * maxval), exactly.
  int32_t scale[256];
  for (int32_t v = 0; v < 256; ++v) scale[v] = static_cast<int32_t>(int64_t{v} * maxval / 255);
  const TPXSettings& s = PXSettings();
  std::vector<uint8_t> bgr(format == pxBGR24 || format == pxBW1 ? 0 : static_cast<size_t>(width) * 3);
  const TBGR* palette = bitmap.Palette();
  const int32_t paletteCount = bitmap.PaletteCount();
  progress.Start(height);
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* row = bitmap.Scanline(y);
    if (row == nullptr) {
      progress.Fail(iorNoMemory, "JPEG 2000: the image's storage cannot be reached");
      return false;
    }
    const size_t at = static_cast<size_t>(y) * width;
    if (format == pxBW1) {
      OPJ_INT32* g = image.comps[0].data + at;
      for (int32_t x = 0; x < width; ++x) g[x] = (row[x >> 3] >> (7 - (x & 7))) & 1;
    } else {
      if (!bgr.empty()) {
        RowToBGR24(format, row, bgr.data(), width, palette, paletteCount);
        row = bgr.data();
      }
      if (grey) {
        OPJ_INT32* g = image.comps[0].data + at;
        for (int32_t x = 0; x < width; ++x) {
          const int32_t lum = (row[3 * x + 2] * s.LumRed + row[3 * x + 1] * s.LumGreen + row[3 * x] * s.LumBlue) / 100;
          g[x] = scale[std::clamp(lum, 0, 255)];
        }
      } else {
        OPJ_INT32* r = image.comps[0].data + at;
        OPJ_INT32* g = image.comps[1].data + at;
        OPJ_INT32* b = image.comps[2].data + at;
        for (int32_t x = 0; x < width; ++x) {
          b[x] = scale[row[3 * x]];
          g[x] = scale[row[3 * x + 1]];
          r[x] = scale[row[3 * x + 2]];
        }
      }
    }
    progress.Advance(1);
    if (progress.Aborted()) return false;
  }
  return true;
}

// Resolution levels the image can take: the codec needs every level at
// least one sample wide; 6 (its default) for images of 32 pixels and more.
int ResolutionsFor(int32_t width, int32_t height) {
  int levels = 1;
  for (int32_t side = std::min(width, height); levels < 6 && (side >> levels) > 0;) ++levels;
  return levels;
}

}  // namespace
#endif  // PIXORAN_HAVE_OPENJPEG

// ---------------------------------------------------------------- temporary stream

namespace {
std::unique_ptr<TFileStream> NewTempFile() {
  std::string folder = PXSettings().TempFolder;
  if (folder.empty()) {
    folder = SystemTempPath();
    if (folder.size() > 250) folder.resize(250);
    if (!PathIsDirectory(folder)) MakeDirectoryPath(folder);
  }
  auto file = CreateTempFileStream(folder, "pixoran");
  if (!file) throw EFCreateError("Cannot create a temporary file in " + folder);
  return file;
}
}  // namespace

TPXTmpStream::TPXTmpStream() : TPXTmpStream(NewTempFile()) {}

// The base takes its own descriptor; the one made with the file closes with it.
TPXTmpStream::TPXTmpStream(std::unique_ptr<TFileStream> file) : TFileStream(::dup(file->Handle()), file->FileName()) {
  if (Handle() < 0) throw EFCreateError("Cannot create a temporary file");
}

// ---------------------------------------------------------------- probes

bool IsJP2Stream(TStream& stream) {
  const int64_t pos = stream.Position();
  uint8_t head[12];
  const bool ok = stream.ReadExact(head, sizeof head) && std::memcmp(head, kJP2Signature, sizeof head) == 0;
  stream.Seek(pos, TSeekOrigin::soBeginning);
  return ok;
}

bool IsJ2KStream(TStream& stream) {
  const int64_t pos = stream.Position();
  uint8_t head[4];
  const bool ok =
      stream.ReadExact(head, sizeof head) && head[0] == 0xFF && head[1] == 0x4F && head[2] == 0xFF && head[3] == 0x51;
  stream.Seek(pos, TSeekOrigin::soBeginning);
  return ok;
}

// ---------------------------------------------------------------- reader

namespace {

constexpr char kName[] = "JPEG 2000";

void Fail(TPXProgressRec& progress, TPXIOResult kind, const std::string& text) {
  progress.Fail(kind, std::string(kName) + ": " + text);
}

}  // namespace

#if PIXORAN_HAVE_OPENJPEG
namespace {

uint32_t BE32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

// Every tile has at least one tile-part: a 12-byte SOT and a 2-byte SOD
// marker. A grid of more tiles than the data could hold is no code stream.
constexpr int64_t kMinBytesPerTile = 14;

// OpenJPEG's own encoder codes a flat 4096 x 4096 grey picture in 141
// bytes, about 119,000 pixels a byte; eight times that, at 3 bytes a pixel,
// is the most decoded data a byte of code stream is taken to give. Beyond it
// the codec would hold 4 bytes a sample of a picture the data barely touch.
constexpr double kMaxExpansion = 3.0 * (1 << 20);

// Reading the header, the codec sets up a record per tile and per tile
// component before any data is read: from a few hundred bytes claiming tiny
// tiles over a large picture, hundreds of megabytes and minutes. The code
// stream's size marker is read here first (in a JP2 file, in its
// code-stream box): a grid the data could not hold, or whose records could
// not fit the memory budget, is refused. The cost per record is an upper
// estimate of the codec's own.
bool TileGridFits(TStream& stream, TPXProgressRec& progress) {
  constexpr int64_t kBytesPerRecord = 8192;
  int64_t start = 0;
  uint8_t head[4096];
  int64_t got = 0;
  try {
    start = stream.Position();
    got = stream.Read(head, sizeof head);
    stream.SetPosition(start);
  } catch (...) {
    return true;  // the codec meets the same stream and reports it
  }
  // The code stream: at the start, or in the first 'jp2c' box.
  int64_t at = 0;
  if (got >= 12 && BE32(head) == 12 && BE32(head + 4) == 0x6A502020) {
    at = -1;
    for (int64_t box = 0; box + 8 <= got;) {
      const uint32_t length = BE32(head + box), type = BE32(head + box + 4);
      int64_t header = 8;
      if (length == 1 && box + 16 <= got) header = 16;
      if (type == 0x6A703263) {  // 'jp2c'
        at = box + header;
        break;
      }
      if (length < 8) break;  // 0: the last box; 1 here: beyond what was read
      box += length;
    }
    if (at < 0) return true;  // not within the first bytes: left to the codec
  }
  // SOC, SIZ and the fields up to the component count.
  if (at + 42 > got || head[at] != 0xFF || head[at + 1] != 0x4F || head[at + 2] != 0xFF || head[at + 3] != 0x51)
    return true;
  const uint8_t* z = head + at + 4;
  const int64_t xs = BE32(z + 4), ys = BE32(z + 8), xo = BE32(z + 12), yo = BE32(z + 16);
  const int64_t xt = BE32(z + 20), yt = BE32(z + 24), xto = BE32(z + 28), yto = BE32(z + 32);
  const int64_t comps = (int64_t{z[36]} << 8) | z[37];
  if (xt == 0 || yt == 0 || xs <= xto || ys <= yto || xs <= xo || ys <= yo) return true;  // the codec refuses these
  const int64_t across = (xs - xto + xt - 1) / xt, down = (ys - yto + yt - 1) / yt;
  const int64_t limit = CodecMemoryLimit() / kBytesPerRecord;
  const std::string grid = std::to_string(across) + " x " + std::to_string(down) + " tiles";
  const int64_t bytes = StreamBytesLeft(stream);
  if (across > bytes / kMinBytesPerTile || down > bytes / kMinBytesPerTile ||
      across * down > bytes / kMinBytesPerTile) {
    progress.Fail(iorTooLarge, std::string(kName) + ": " + grid + " claimed by " + std::to_string(bytes) + " bytes");
    return false;
  }
  if (across > limit || down > limit || across * down > limit / (comps + 1)) {
    progress.Fail(iorTooLarge, std::string(kName) + ": " + grid + " exceed the memory budget");
    return false;
  }
  return true;
}

}  // namespace

namespace {

void ReadBody(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, bool paramsOnly, TPXProgressRec& progress) {
  OPJ_CODEC_FORMAT codecFormat;
  if (IsJP2Stream(stream)) codecFormat = OPJ_CODEC_JP2;
  else if (IsJ2KStream(stream)) codecFormat = OPJ_CODEC_J2K;
  else return Fail(progress, iorCorrupt, "neither a JP2 file nor a code stream");
  if (!TileGridFits(stream, progress)) return;
  const int64_t dataBytes = StreamBytesLeft(stream);
  TStreamBinding binding(stream);
  TOpjStream cs = OpenCodecStream(binding, true);
  TOpjCodec codec(opj_create_decompress(codecFormat));
  if (!cs || !codec) return Fail(progress, iorNoMemory, "the decoder cannot be set up");
  Silence(codec.get());
  opj_dparameters_t dp;
  opj_set_default_decoder_parameters(&dp);
  opj_image_t* raw = nullptr;
  // Strict: a truncated code stream is an error, not a partial image.
  const bool headerOk = opj_setup_decoder(codec.get(), &dp) && opj_decoder_set_strict_mode(codec.get(), OPJ_TRUE) &&
                        opj_read_header(cs.get(), codec.get(), &raw);
  TOpjImage image(raw);
  TLayout layout;
  if (!headerOk || !image) return Fail(progress, iorCorrupt, "the header cannot be decoded");
  if (!ChooseLayout(*image, layout))
    return Fail(progress, iorUnsupported,
                "colour space " + std::to_string(image->color_space) + " with " + std::to_string(image->numcomps) +
                    " components is not read");
  if (!CheckDeclaredImage(kName, int64_t{image->x1} - image->x0, int64_t{image->y1} - image->y0, 24, dataBytes,
                          kMaxExpansion, progress))
    return;
  const auto width = static_cast<int32_t>(image->x1 - image->x0);
  const auto height = static_cast<int32_t>(image->y1 - image->y0);
  params.Width = width;
  params.Height = height;
  params.BitsPerSample = layout.Bits;
  params.SamplesPerPixel = layout.Count;
  params.SetDpiX(PXSettings().DefaultDpiX);
  params.SetDpiY(PXSettings().DefaultDpiY);
  params.FreePalette();
  if (paramsOnly) {
    // A JP2 palette or channel definition changes the components only when
    // pixels are decoded: one pixel is, to report the image's own layout.
    if (codecFormat == OPJ_CODEC_JP2 && image->x0 < static_cast<uint32_t>(std::numeric_limits<int32_t>::max()) &&
        image->y0 < static_cast<uint32_t>(std::numeric_limits<int32_t>::max())) {
      const auto x0 = static_cast<OPJ_INT32>(image->x0), y0 = static_cast<OPJ_INT32>(image->y0);
      if (opj_set_decode_area(codec.get(), image.get(), x0, y0, x0 + 1, y0 + 1) &&
          opj_decode(codec.get(), cs.get(), image.get()) && ChooseLayout(*image, layout)) {
        params.BitsPerSample = layout.Bits;
        params.SamplesPerPixel = layout.Count;
      }
    }
    return;
  }

  // The codec holds every decoded sample in memory.
  if (!CheckWorkBuffer(kName, DecodedBytes(*image), progress)) return;
  if (!opj_decode(codec.get(), cs.get(), image.get()) || !opj_end_decompress(codec.get(), cs.get()))
    return Fail(progress, iorCorrupt, "the code stream cannot be decoded (truncated or damaged)");
  // A JP2 palette or channel definition changes the components: look again,
  // and report what was decoded.
  if (!ChooseLayout(*image, layout)) return Fail(progress, iorUnsupported, "the decoded components are not read");
  params.BitsPerSample = layout.Bits;
  params.SamplesPerPixel = layout.Count;
  const TPXPixelFormat format = layout.Model == TColorModel::Grey && layout.Bits == 1 ? pxBW1 : pxBGR24;
  if (!bitmap.Allocate(width, height, format))
    return Fail(progress, iorNoMemory,
                "no storage for a " + std::to_string(width) + " x " + std::to_string(height) + " image");
  ConvertImage(*image, layout, bitmap, width, height, progress);
}

}  // namespace

void ReadJ2000Stream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, bool paramsOnly,
                     TPXProgressRec& progress) {
  RunFilter(
      progress, [&] { ReadBody(stream, bitmap, params, paramsOnly, progress); }, kName);
}
#else
void ReadJ2000Stream(TStream&, TPXBitmap&, TIOParamsVals&, bool, TPXProgressRec& progress) {
  Fail(progress, iorUnsupported, "this build of the library has no JPEG 2000 codec (OpenJPEG)");
}
#endif

// ---------------------------------------------------------------- writer

float J2000RateToRatio(double rate) {
  if (rate >= 1.0) return 0.0f;
  if (!(rate > kMinJ2000Rate)) rate = kMinJ2000Rate;  // NaN too
  return static_cast<float>(1.0 / rate);
}

#if PIXORAN_HAVE_OPENJPEG
void WriteJ2000Stream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, int32_t format,
                      TPXProgressRec& progress) {
  const int32_t width = bitmap.Width(), height = bitmap.Height();
  const TPXPixelFormat pixelFormat = bitmap.PixelFormat();
  if (width <= 0 || height <= 0 || (format != 0 && format != 1) || pixelFormat == pxNone) {
    Fail(progress, iorFailed, "there is no image to write");
    return;
  }
  const bool bw = pixelFormat == pxBW1;
  int32_t bits = params.BitsPerSample >= 1 && params.BitsPerSample <= 16 ? params.BitsPerSample : 8;
  const bool grey = bw || params.J2000ColorSpace == 0;
  if (bw) bits = 1;
  const uint32_t numComps = grey ? 1 : 3;
  if (!CheckWorkBuffer(kName, int64_t{width} * height * numComps * 4, progress)) return;

  opj_image_cmptparm_t comps[3];
  std::memset(comps, 0, sizeof comps);
  for (auto& c : comps) {
    c.dx = c.dy = 1;
    c.w = static_cast<OPJ_UINT32>(width);
    c.h = static_cast<OPJ_UINT32>(height);
    c.prec = static_cast<OPJ_UINT32>(bits);
    c.sgnd = 0;
  }
  TOpjImage image(opj_image_create(numComps, comps, grey ? OPJ_CLRSPC_GRAY : OPJ_CLRSPC_SRGB));
  if (!image) {
    Fail(progress, iorNoMemory, "no memory for the encoder's components");
    return;
  }
  image->x0 = image->y0 = 0;
  image->x1 = static_cast<OPJ_UINT32>(width);
  image->y1 = static_cast<OPJ_UINT32>(height);
  if (!FillComponents(bitmap, *image, bits, progress)) return;

  opj_cparameters_t cp;
  opj_set_default_encoder_parameters(&cp);
  cp.tcp_numlayers = 1;
  cp.tcp_rates[0] = J2000RateToRatio(params.J2000Rate);
  cp.cp_disto_alloc = 1;
  cp.irreversible = 0;
  cp.prog_order = params.J2000ProgressionOrder == 1 ? OPJ_RLCP : OPJ_LRCP;
  cp.tcp_mct = numComps == 3 ? 1 : 0;
  cp.numresolution = ResolutionsFor(width, height);

  TStreamBinding binding(stream);
  TOpjStream cs = OpenCodecStream(binding, false);
  TOpjCodec codec(opj_create_compress(format == 0 ? OPJ_CODEC_JP2 : OPJ_CODEC_J2K));
  if (!cs || !codec) {
    Fail(progress, iorNoMemory, "the encoder cannot be set up");
    return;
  }
  Silence(codec.get());
  const bool encoded = opj_setup_encoder(codec.get(), &cp, image.get()) &&
                       opj_start_compress(codec.get(), image.get(), cs.get()) && opj_encode(codec.get(), cs.get()) &&
                       opj_end_compress(codec.get(), cs.get());
  if (binding.WriteFailed) Fail(progress, iorWriteFailed, WriteFailureText(stream));
  else if (!encoded) Fail(progress, iorFailed, "the encoder failed");
}
#else
void WriteJ2000Stream(TStream&, TPXBitmap&, TIOParamsVals&, int32_t, TPXProgressRec& progress) {
  Fail(progress, iorUnsupported, "this build of the library has no JPEG 2000 codec (OpenJPEG)");
}
#endif

bool J2000Ready(bool /*write*/) { return PIXORAN_HAVE_OPENJPEG != 0; }

std::string BuildJ2000Options(const TIOParamsVals& params) {
  char number[64];
  const auto res = std::to_chars(number, number + sizeof number, params.J2000Rate);
  std::string text = "rate=" + std::string(number, res.ptr);
  if (params.J2000ProgressionOrder == 0) text += " prg=lrcp";
  else if (params.J2000ProgressionOrder == 1) text += " prg=rlcp";
  return text;
}

// ---------------------------------------------------------------- descriptors

void J2000FormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                     bool paramsOnly, int64_t /*dataLength*/, TPXBitmap& /*alpha*/) {
  ReadJ2000Stream(stream, bitmap, params, paramsOnly, progress);
}

void JP2FormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                    TPXBitmap* /*alpha*/) {
  WriteJ2000Stream(stream, bitmap, params, 0, progress);
}

void J2KFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                    TPXBitmap* /*alpha*/) {
  WriteJ2000Stream(stream, bitmap, params, 1, progress);
}

}  // namespace pixoran
