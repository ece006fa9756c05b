// JPEG filter: decoding files made by other encoders (Qt's writer, bare
// libjpeg loops), colour spaces, scaling, density, markers, damaged input,
// and the writer's options as they show in the file.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <QBuffer>
#include <QByteArray>
#include <QImage>
#include <QImageReader>
#include <QImageWriter>

#include <gtest/gtest.h>

extern "C" {
#include <jerror.h>
#include <jpeglib.h>
}

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "io/iohooks.h"
#include "io/formats/jpeg/jpegfilt.h"
#include "io/pixoranio.h"
#include "io/pixoranio_params.h"
#include "io/pxmetadata.h"
#include "core/pxprogress.h"
#include "platform/streams.h"
#include "testsupport.h"

// Encoder settings are written as designated initialisers naming only what
// differs from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace pixoran {
namespace {

using Bytes = std::vector<uint8_t>;

// ------------------------------------------------------------------ references

struct Rgb {
  uint8_t r, g, b;
};

// A bare libjpeg compression loop, the reference encoder for the colour
// spaces Qt cannot write. Rows are given in the input colour space.
struct EncoderSettings {
  int width = 0, height = 0;
  J_COLOR_SPACE in = JCS_RGB;
  int components = 3;
  J_COLOR_SPACE out = JCS_UNKNOWN;  // JCS_UNKNOWN: libjpeg's default for the input
  int quality = 95;
  bool fullChroma = false;  // 1x1 sampling everywhere
  bool progressive = false;
  std::function<void(jpeg_compress_struct&)> beforeStart;
  std::function<void(jpeg_compress_struct&)> afterStart;  // write markers here
};

Bytes Compress(const EncoderSettings& s, const Bytes& pixels) {
  jpeg_compress_struct ci;
  jpeg_error_mgr err;
  ci.err = jpeg_std_error(&err);
  jpeg_create_compress(&ci);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&ci, &out, &outSize);
  ci.image_width = s.width;
  ci.image_height = s.height;
  ci.input_components = s.components;
  ci.in_color_space = s.in;
  jpeg_set_defaults(&ci);
  if (s.out != JCS_UNKNOWN) jpeg_set_colorspace(&ci, s.out);
  jpeg_set_quality(&ci, s.quality, TRUE);
  if (s.fullChroma)
    for (int c = 0; c < ci.num_components; ++c) ci.comp_info[c].h_samp_factor = ci.comp_info[c].v_samp_factor = 1;
  if (s.progressive) jpeg_simple_progression(&ci);
  if (s.beforeStart) s.beforeStart(ci);
  jpeg_start_compress(&ci, TRUE);
  if (s.afterStart) s.afterStart(ci);
  const size_t stride = static_cast<size_t>(s.width) * s.components;
  while (ci.next_scanline < ci.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(pixels.data() + ci.next_scanline * stride);
    jpeg_write_scanlines(&ci, &row, 1);
  }
  jpeg_finish_compress(&ci);
  Bytes file(out, out + outSize);
  jpeg_destroy_compress(&ci);
  std::free(out);
  return file;
}

// A bare libjpeg decompression loop to red-green-blue (or CMYK) rows.
struct Decoded {
  int width = 0, height = 0, components = 0;
  Bytes pixels;
};
Decoded BareDecode(const Bytes& file, J_COLOR_SPACE out, int denom = 1) {
  jpeg_decompress_struct ci;
  jpeg_error_mgr err;
  ci.err = jpeg_std_error(&err);
  jpeg_create_decompress(&ci);
  jpeg_mem_src(&ci, file.data(), file.size());
  jpeg_read_header(&ci, TRUE);
  ci.out_color_space = out;
  ci.scale_num = 1;
  ci.scale_denom = denom;
  jpeg_start_decompress(&ci);
  Decoded d;
  d.width = ci.output_width;
  d.height = ci.output_height;
  d.components = ci.output_components;
  d.pixels.resize(static_cast<size_t>(d.width) * d.height * d.components);
  while (ci.output_scanline < ci.output_height) {
    JSAMPROW row = d.pixels.data() + static_cast<size_t>(ci.output_scanline) * d.width * d.components;
    jpeg_read_scanlines(&ci, &row, 1);
  }
  jpeg_finish_decompress(&ci);
  jpeg_destroy_decompress(&ci);
  return d;
}

bool QtCanJpeg() {
  const auto formats = QImageWriter::supportedImageFormats();
  return formats.contains("jpeg") && QImageReader::supportedImageFormats().contains("jpeg");
}

// Twelve colours in 16 x 16 blocks (block edges on chroma block edges, so
// subsampling keeps each block's colour), 4 across and 3 down.
const Rgb kBlockColours[12] = {{255, 0, 0},   {0, 255, 0},   {0, 0, 255},     {255, 255, 0},
                               {0, 255, 255}, {255, 0, 255}, {255, 255, 255}, {0, 0, 0},
                               {255, 128, 0}, {128, 0, 255}, {128, 128, 128}, {0, 128, 128}};
Rgb BlockColourAt(int x, int y) { return kBlockColours[(y / 16) * 4 + (x / 16)]; }

Bytes BlockPixelsRgb() {
  Bytes px(64 * 48 * 3);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) {
      const Rgb c = BlockColourAt(x, y);
      uint8_t* p = &px[(y * 64 + x) * 3];
      p[0] = c.r, p[1] = c.g, p[2] = c.b;
    }
  return px;
}

Bytes QtJpeg(const QImage& image, int quality) {
  QByteArray data;
  QBuffer buffer(&data);
  buffer.open(QIODevice::WriteOnly);
  EXPECT_TRUE(image.save(&buffer, "JPEG", quality));
  return Bytes(data.begin(), data.end());
}

// A smooth colour image whose scan data is large enough to cut in the middle.
Bytes GradientRgb(int w, int h) {
  Bytes px(static_cast<size_t>(w) * h * 3);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      uint8_t* p = &px[(static_cast<size_t>(y) * w + x) * 3];
      p[0] = static_cast<uint8_t>(x * 255 / std::max(1, w - 1));
      p[1] = static_cast<uint8_t>(y * 255 / std::max(1, h - 1));
      p[2] = static_cast<uint8_t>((x ^ y) & 0xFF);
    }
  return px;
}

// ------------------------------------------------------------------ filter calls

struct ReadResult {
  TPXBitmap bitmap;
  TIOParamsVals params;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  ReadResult() { progress.Aborting = &aborting; }
};

// Reads through the filter; the params are set up first by prepare.
void ReadInto(ReadResult& r, const Bytes& file, bool paramsOnly = false, bool rgbComponents = false,
              const Bytes* tables = nullptr) {
  TReadOnlyMemoryStream stream(file.data(), static_cast<int64_t>(file.size()));
  std::unique_ptr<TReadOnlyMemoryStream> tablesStream;
  if (tables) tablesStream = std::make_unique<TReadOnlyMemoryStream>(tables->data(), tables->size());
  EXPECT_NO_THROW(
      ReadJPEGStream(stream, tablesStream.get(), r.bitmap, r.params, r.progress, paramsOnly, rgbComponents));
}

std::unique_ptr<ReadResult> Read(const Bytes& file, std::function<void(TIOParamsVals&)> prepare = {},
                                 bool paramsOnly = false, bool rgbComponents = false) {
  auto r = std::make_unique<ReadResult>();
  if (prepare) prepare(r->params);
  ReadInto(*r, file, paramsOnly, rgbComponents);
  return r;
}

struct WriteResult {
  Bytes file;
  bool aborted = false;
};

WriteResult Write(TPXBitmap& bitmap, std::function<void(TIOParamsVals&)> prepare = {}) {
  TIOParamsVals params;
  if (prepare) prepare(params);
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream out;
  EXPECT_NO_THROW(WriteJPEGStream(out, bitmap, params, progress));
  WriteResult w;
  w.aborted = aborting;
  w.file.assign(out.Memory(), out.Memory() + out.Size());
  return w;
}

TBGR PixelAt(TPXBitmap& b, int x, int y) {
  const uint8_t* row = b.Scanline(y);
  return TBGR{row[x * 3], row[x * 3 + 1], row[x * 3 + 2]};
}

::testing::AssertionResult Near(TBGR got, Rgb want, int tolerance) {
  if (std::abs(got.r - want.r) <= tolerance && std::abs(got.g - want.g) <= tolerance &&
      std::abs(got.b - want.b) <= tolerance)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "got r" << int(got.r) << " g" << int(got.g) << " b" << int(got.b)
                                       << ", want r" << int(want.r) << " g" << int(want.g) << " b" << int(want.b);
}

// A 64 x 48 pxBGR24 bitmap of the colour blocks.
void FillBlocks(TPXBitmap& b) {
  ASSERT_TRUE(b.Allocate(64, 48, pxBGR24));
  for (int y = 0; y < 48; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int x = 0; x < 64; ++x) {
      const Rgb c = BlockColourAt(x, y);
      row[x * 3] = c.b, row[x * 3 + 1] = c.g, row[x * 3 + 2] = c.r;
    }
  }
}

void ExpectBlocks(TPXBitmap& b, int tolerance) {
  ASSERT_EQ(b.Width(), 64);
  ASSERT_EQ(b.Height(), 48);
  for (int by = 0; by < 3; ++by)
    for (int bx = 0; bx < 4; ++bx)
      EXPECT_TRUE(Near(PixelAt(b, bx * 16 + 8, by * 16 + 8), BlockColourAt(bx * 16, by * 16), tolerance))
          << "block " << bx << "," << by;
}

// Segments before the first scan: {marker, offset of the marker, payload length}.
struct Segment {
  uint8_t marker;
  size_t offset;
  size_t length;  // payload bytes after the length field
};
std::vector<Segment> HeaderSegments(const Bytes& f) {
  std::vector<Segment> out;
  size_t p = 2;
  while (p + 4 <= f.size() && f[p] == 0xFF) {
    const uint8_t m = f[p + 1];
    const size_t len = (f[p + 2] << 8) | f[p + 3];
    out.push_back({m, p, len - 2});
    if (m == 0xDA) break;
    p += 2 + len;
  }
  return out;
}
std::optional<Segment> FindSegment(const std::vector<Segment>& segs, uint8_t marker) {
  for (const auto& s : segs)
    if (s.marker == marker) return s;
  return std::nullopt;
}
int CountSegments(const std::vector<Segment>& segs, uint8_t marker) {
  return static_cast<int>(
      std::count_if(segs.begin(), segs.end(), [&](const Segment& s) { return s.marker == marker; }));
}

// count bytes of fill, then the file.
Bytes Prefixed(size_t count, uint8_t fill, const Bytes& file) {
  Bytes out(count + file.size(), fill);
  std::copy(file.begin(), file.end(), out.begin() + static_cast<std::ptrdiff_t>(count));
  return out;
}

// ------------------------------------------------------------------ probe

TEST(JpegProbe, FindsTheStartWithinOneHundredBytesAndRestoresThePosition) {
  const Bytes jpeg = Compress({.width = 8, .height = 8, .in = JCS_GRAYSCALE, .components = 1}, Bytes(64, 100));
  for (int garbage : {0, 40, 99, 100, 150}) {
    const Bytes f = Prefixed(garbage, 0x11, jpeg);
    TReadOnlyMemoryStream s(f.data(), f.size());
    s.SetPosition(0);
    EXPECT_EQ(FindJPEGStart(s), garbage < 100 ? garbage : -1) << garbage;
    EXPECT_EQ(s.Position(), 0);
  }
  // The search starts at the current position.
  const Bytes f = Prefixed(30, 0, jpeg);
  TReadOnlyMemoryStream s(f.data(), f.size());
  s.SetPosition(10);
  EXPECT_EQ(FindJPEGStart(s), 30);
  EXPECT_EQ(s.Position(), 10);
  // FF D8 alone is not enough, nor is a stream too short to hold the marker.
  const Bytes shortOne{0xFF, 0xD8};
  TReadOnlyMemoryStream s2(shortOne.data(), 2);
  EXPECT_EQ(FindJPEGStart(s2), -1);
}

TEST(JpegRead, LeadingGarbageUpToTheProbeWindowIsSkipped) {
  const Bytes jpeg = Compress({.width = 8, .height = 8, .in = JCS_GRAYSCALE, .components = 1}, Bytes(64, 100));
  const Bytes f = Prefixed(40, 0x42, jpeg);
  auto ok = Read(f);
  EXPECT_FALSE(ok->aborting);
  EXPECT_EQ(ok->bitmap.Width(), 8);

  const Bytes far = Prefixed(100, 0x42, jpeg);
  ReadResult r;
  ASSERT_TRUE(r.bitmap.Allocate(3, 2, pxGray8));
  ReadInto(r, far);
  EXPECT_TRUE(r.aborting);
  EXPECT_EQ(r.bitmap.Width(), 3);  // untouched
  EXPECT_EQ(r.bitmap.PixelFormat(), pxGray8);
}

// ------------------------------------------------------------------ colour

TEST(JpegRead, QtEncodedColoursComeOutBlueGreenRedWithoutSwap) {
  if (!QtCanJpeg()) GTEST_SKIP() << "Qt has no JPEG plugin";
  QImage img(64, 48, QImage::Format_RGB888);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < 64; ++x) {
      const Rgb c = BlockColourAt(x, y);
      img.setPixel(x, y, qRgb(c.r, c.g, c.b));
    }
  for (int quality : {100, 90}) {
    auto r = Read(QtJpeg(img, quality));
    ASSERT_FALSE(r->aborting);
    EXPECT_EQ(r->bitmap.PixelFormat(), pxBGR24);
    EXPECT_EQ(r->params.JPEGColorSpace, 2);
    EXPECT_EQ(r->params.SamplesPerPixel, 3);
    EXPECT_EQ(r->params.BitsPerSample, 8);
    ExpectBlocks(r->bitmap, 8);
  }
}

// Our rows are the codec's rows: every pixel of every row, at every scale,
// equals a bare decoding loop's output with red and blue exchanged.
TEST(JpegRead, RowsMatchABareDecodeAtEveryScale) {
  const Bytes file = Compress({.width = 203, .height = 77}, GradientRgb(203, 77));
  for (uint8_t scale = 1; scale <= 4; ++scale) {
    auto r = Read(file, [&](TIOParamsVals& p) { p.JPEGScale = scale; });
    ASSERT_FALSE(r->aborting);
    const Decoded ref = BareDecode(file, JCS_RGB, 1 << (scale - 1));
    ASSERT_EQ(r->bitmap.Width(), ref.width);
    ASSERT_EQ(r->bitmap.Height(), ref.height);
    for (int y = 0; y < ref.height; ++y) {
      const uint8_t* row = r->bitmap.Scanline(y);
      const uint8_t* want = &ref.pixels[static_cast<size_t>(y) * ref.width * 3];
      for (int x = 0; x < ref.width; ++x)
        ASSERT_TRUE(row[x * 3] == want[x * 3 + 2] && row[x * 3 + 1] == want[x * 3 + 1] && row[x * 3 + 2] == want[x * 3])
            << "scale " << int(scale) << " at " << x << "," << y;
    }
  }
}

TEST(JpegRead, GreyFileLoadsAsBlueGreenRedWithOneSample) {
  Bytes grey(37 * 21);
  for (size_t i = 0; i < grey.size(); ++i) grey[i] = static_cast<uint8_t>((i % 37) * 7);
  const Bytes file = Compress({.width = 37, .height = 21, .in = JCS_GRAYSCALE, .components = 1, .quality = 100}, grey);
  auto r = Read(file);
  ASSERT_FALSE(r->aborting);
  EXPECT_EQ(r->bitmap.PixelFormat(), pxBGR24);
  EXPECT_EQ(r->params.SamplesPerPixel, 1);
  EXPECT_EQ(r->params.JPEGColorSpace, 1);
  const Decoded ref = BareDecode(file, JCS_GRAYSCALE);
  for (int y = 0; y < 21; ++y)
    for (int x = 0; x < 37; ++x) {
      const TBGR p = PixelAt(r->bitmap, x, y);
      const uint8_t want = ref.pixels[y * 37 + x];
      ASSERT_TRUE(p.b == want && p.g == want && p.r == want) << x << "," << y;
      ASSERT_NEAR(want, grey[y * 37 + x], 3);
    }
}

// CMYK as Adobe writes it (inverted: 255 is no ink), made from the colour
// blocks with the library's rule, so red = C * K / 255.
Bytes BlocksAsCmyk(int width) {
  Bytes px(static_cast<size_t>(width) * 48 * 4);
  for (int y = 0; y < 48; ++y)
    for (int x = 0; x < width; ++x) {
      const Rgb c = BlockColourAt(std::min(x, 63), y);
      const int k = std::max({c.r, c.g, c.b, uint8_t{1}});
      uint8_t* p = &px[(static_cast<size_t>(y) * width + x) * 4];
      p[0] = static_cast<uint8_t>(c.r * 255 / k);
      p[1] = static_cast<uint8_t>(c.g * 255 / k);
      p[2] = static_cast<uint8_t>(c.b * 255 / k);
      p[3] = static_cast<uint8_t>(k);
    }
  return px;
}

class JpegReadFourComponents : public ::testing::TestWithParam<J_COLOR_SPACE> {};

TEST_P(JpegReadFourComponents, LoadConvertedOrNative) {
  // 71 wide: the last column (a copy of column 63) is not on a block edge.
  const Bytes cmyk = BlocksAsCmyk(71);
  const Bytes file = Compress({.width = 71,
                               .height = 48,
                               .in = JCS_CMYK,
                               .components = 4,
                               .out = GetParam(),
                               .quality = 100,
                               .fullChroma = true},
                              cmyk);
  const int expectSpace = GetParam() == JCS_CMYK ? 3 : 4;

  auto r = Read(file);
  ASSERT_FALSE(r->aborting);
  EXPECT_EQ(r->bitmap.PixelFormat(), pxBGR24);
  EXPECT_EQ(r->params.SamplesPerPixel, 4);
  EXPECT_EQ(r->params.JPEGColorSpace, expectSpace);
  for (int by = 0; by < 3; ++by)
    for (int bx = 0; bx < 4; ++bx)
      EXPECT_TRUE(Near(PixelAt(r->bitmap, bx * 16 + 8, by * 16 + 8), BlockColourAt(bx * 16, by * 16), 6));
  // The last pixel of each row is converted too.
  for (int y = 0; y < 48; y += 5) EXPECT_TRUE(Near(PixelAt(r->bitmap, 70, y), BlockColourAt(63, y), 6)) << y;

  auto native = Read(file, [](TIOParamsVals& p) { p.KeepNativeFormat = 1; });
  ASSERT_FALSE(native->aborting);
  ASSERT_EQ(native->bitmap.PixelFormat(), pxCMYK);
  const Decoded ref = BareDecode(file, JCS_CMYK);
  for (int y = 0; y < 48; ++y)
    ASSERT_EQ(std::memcmp(native->bitmap.Scanline(y), &ref.pixels[static_cast<size_t>(y) * 71 * 4], 71 * 4), 0) << y;
}

INSTANTIATE_TEST_SUITE_P(Spaces, JpegReadFourComponents, ::testing::Values(JCS_CMYK, JCS_YCCK));

TEST(JpegRead, RgbFileSpaceKeepsItsChannels) {
  const Bytes file = Compress({.width = 64, .height = 48, .out = JCS_RGB, .quality = 100}, BlockPixelsRgb());
  auto r = Read(file);
  ASSERT_FALSE(r->aborting);
  EXPECT_EQ(r->params.JPEGColorSpace, 0);
  EXPECT_EQ(r->params.SamplesPerPixel, 3);
  ExpectBlocks(r->bitmap, 4);
}

// TIFF stores RGB components without any marker saying so; the caller tells.
TEST(JpegRead, RgbComponentsFlagDecodesWithoutColourTransform) {
  const Bytes file = Compress({.width = 64,
                               .height = 48,
                               .out = JCS_RGB,
                               .quality = 100,
                               .beforeStart =
                                   [](jpeg_compress_struct& ci) {
                                     ci.write_Adobe_marker = FALSE;
                                     ci.write_JFIF_header = FALSE;
                                     for (int c = 0; c < 3; ++c) ci.comp_info[c].component_id = c + 1;
                                   }},
                              BlockPixelsRgb());
  auto guessed = Read(file);
  ASSERT_FALSE(guessed->aborting);
  EXPECT_EQ(guessed->params.JPEGColorSpace, 2);  // taken for YCbCr: wrong colours
  EXPECT_FALSE(Near(PixelAt(guessed->bitmap, 8, 8), kBlockColours[0], 30));

  auto told = Read(file, {}, false, true);
  ASSERT_FALSE(told->aborting);
  EXPECT_EQ(told->params.JPEGColorSpace, 0);
  ExpectBlocks(told->bitmap, 4);

  // A grey file ignores the flag.
  const Bytes grey = Compress({.width = 8, .height = 8, .in = JCS_GRAYSCALE, .components = 1}, Bytes(64, 90));
  auto g = Read(grey, {}, false, true);
  EXPECT_FALSE(g->aborting);
  EXPECT_EQ(g->params.JPEGColorSpace, 1);
}

// ------------------------------------------------------------------ tables stream

// The abbreviated pair a TIFF file carries: tables alone, then an image
// without tables.
struct AbbreviatedPair {
  Bytes tables, image, full;
};
AbbreviatedPair MakeAbbreviated() {
  AbbreviatedPair p;
  const Bytes px = GradientRgb(48, 32);
  p.full = Compress({.width = 48, .height = 32}, px);
  jpeg_compress_struct ci;
  jpeg_error_mgr err;
  ci.err = jpeg_std_error(&err);
  jpeg_create_compress(&ci);
  ci.image_width = 48;
  ci.image_height = 32;
  ci.input_components = 3;
  ci.in_color_space = JCS_RGB;
  jpeg_set_defaults(&ci);
  jpeg_set_quality(&ci, 95, TRUE);
  for (int pass = 0; pass < 2; ++pass) {
    unsigned char* out = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&ci, &out, &size);
    if (pass == 0) {
      jpeg_write_tables(&ci);
    } else {
      jpeg_start_compress(&ci, FALSE);
      while (ci.next_scanline < ci.image_height) {
        JSAMPROW row = const_cast<uint8_t*>(&px[ci.next_scanline * 48 * 3]);
        jpeg_write_scanlines(&ci, &row, 1);
      }
      jpeg_finish_compress(&ci);
    }
    (pass == 0 ? p.tables : p.image).assign(out, out + size);
    std::free(out);
  }
  jpeg_destroy_compress(&ci);
  return p;
}

TEST(JpegRead, SeparateTablesStream) {
  const AbbreviatedPair p = MakeAbbreviated();
  ASSERT_FALSE(FindSegment(HeaderSegments(p.image), 0xDB));  // really abbreviated

  ReadResult alone;
  ReadInto(alone, p.image);
  EXPECT_TRUE(alone.aborting);  // no quantisation tables

  ReadResult both;
  ReadInto(both, p.image, false, false, &p.tables);
  ASSERT_FALSE(both.aborting);
  auto full = Read(p.full);
  ASSERT_EQ(both.bitmap.Width(), 48);
  for (int y = 0; y < 32; ++y)
    ASSERT_EQ(std::memcmp(both.bitmap.Scanline(y), full->bitmap.Scanline(y), 48 * 3), 0) << y;

  // A whole file given as tables lends its tables; its image is not taken.
  ReadResult fullAsTables;
  ReadInto(fullAsTables, p.image, false, false, &p.full);
  EXPECT_FALSE(fullAsTables.aborting);
  EXPECT_EQ(fullAsTables.bitmap.Width(), 48);
}

TEST(JpegRead, CodecErrorInTheTablesStreamSetsAbortingAndEscapesNot) {
  const AbbreviatedPair p = MakeAbbreviated();
  Bytes badTables = p.tables;
  const auto dht = FindSegment(HeaderSegments(badTables), 0xC4);
  ASSERT_TRUE(dht);
  for (int i = 0; i < 16; ++i) badTables[dht->offset + 5 + i] = 0xFF;  // counts far above 256
  ReadResult r;
  ReadInto(r, p.image, false, false, &badTables);
  EXPECT_TRUE(r.aborting);
  EXPECT_EQ(r.bitmap.Width(), 0);
  EXPECT_EQ(r.params.JPEGMarkers->Count(), 0);
  // The failure is the tables' own: a complete image after them fails too.
  ReadResult withFull;
  ReadInto(withFull, p.full, false, false, &badTables);
  EXPECT_TRUE(withFull.aborting);

  const Bytes notJpeg(50, 0x33);
  ReadResult r2;
  ReadInto(r2, p.image, false, false, &notJpeg);
  EXPECT_TRUE(r2.aborting);
}

// ------------------------------------------------------------------ scale, size, density

TEST(JpegRead, ScaleDenominators) {
  const Bytes file = Compress({.width = 1600, .height = 1200, .in = JCS_GRAYSCALE, .components = 1, .quality = 50},
                              Bytes(1600 * 1200, 128));
  struct Case {
    uint8_t scale;
    int32_t wantW, wantH;
    int denom;
  };
  const Case cases[] = {{0, 100, 100, 8}, {0, 1000, 1000, 1}, {0, 400, 300, 4}, {0, 401, 300, 2}, {0, 200, 200, 4},
                        {0, 800, 600, 2}, {0, 0, 100, 1},     {0, 1601, 10, 1}, {1, 0, 0, 1},     {2, 0, 0, 2},
                        {3, 0, 0, 4},     {4, 0, 0, 8},       {9, 100, 100, 1}};
  for (const Case& c : cases) {
    auto r = Read(
        file, [&](TIOParamsVals& p) { p.JPEGScale = c.scale, p.Width = c.wantW, p.Height = c.wantH; }, true);
    ASSERT_FALSE(r->aborting);
    EXPECT_EQ(r->params.JPEGScaleDenom, c.denom) << int(c.scale) << " " << c.wantW << "x" << c.wantH;
    EXPECT_EQ(r->params.Width, 1600 / c.denom);
    EXPECT_EQ(r->params.Height, 1200 / c.denom);
    EXPECT_EQ(r->params.JPEGOriginalWidth, 1600);
    EXPECT_EQ(r->params.JPEGOriginalHeight, 1200);
    EXPECT_EQ(r->bitmap.Width(), 0);  // parameters only: nothing decoded
  }
  auto decoded = Read(file, [](TIOParamsVals& p) { p.JPEGScale = 0, p.Width = 100, p.Height = 100; });
  ASSERT_FALSE(decoded->aborting);
  EXPECT_EQ(decoded->bitmap.Width(), 200);
  EXPECT_EQ(decoded->bitmap.Height(), 150);
  EXPECT_EQ(decoded->params.Width, 200);
  EXPECT_EQ(decoded->params.Height, 150);
}

TEST(JpegRead, ParametersOnlyFillsTheRecordAndLeavesTheBitmap) {
  const Bytes file = Compress({.width = 64, .height = 48, .progressive = true}, BlockPixelsRgb());
  ReadResult r;
  ASSERT_TRUE(r.bitmap.Allocate(5, 4, pxGray8));
  r.params.SetPalette(nullptr, 4);
  TReadOnlyMemoryStream s(file.data(), file.size());
  ReadJPEGStream(s, nullptr, r.bitmap, r.params, r.progress, true);
  EXPECT_FALSE(r.aborting);
  EXPECT_EQ(r.bitmap.Width(), 5);
  EXPECT_EQ(r.bitmap.PixelFormat(), pxGray8);
  EXPECT_EQ(r.params.Width, 64);
  EXPECT_EQ(r.params.Height, 48);
  EXPECT_EQ(r.params.JPEGProgressive, 1);
  EXPECT_EQ(r.params.PaletteCount, 0);
  EXPECT_EQ(r.params.Palette, nullptr);
}

TEST(JpegRead, DensityBecomesDotsPerInch) {
  struct Case {
    uint8_t unit;
    uint16_t x, y;
    int32_t dpiX, dpiY;
  };
  const int32_t defX = PXSettings().DefaultDpiX, defY = PXSettings().DefaultDpiY;
  const Case cases[] = {
      {1, 72, 96, 72, 96}, {2, 100, 100, 254, 254}, {2, 39, 1, 99, 2}, {0, 1, 1, 1, 1}, {1, 0, 150, defX, 150}};
  for (const Case& c : cases) {
    const Bytes file = Compress({.width = 8,
                                 .height = 8,
                                 .in = JCS_GRAYSCALE,
                                 .components = 1,
                                 .beforeStart =
                                     [&](jpeg_compress_struct& ci) {
                                       ci.density_unit = c.unit;
                                       ci.X_density = c.x;
                                       ci.Y_density = c.y;
                                     }},
                                Bytes(64, 1));
    auto r = Read(file);
    ASSERT_FALSE(r->aborting);
    EXPECT_EQ(r->params.DpiX, c.dpiX) << int(c.unit) << " " << c.x;
    EXPECT_EQ(r->params.DpiY, c.dpiY) << int(c.unit) << " " << c.y;
  }
  (void)defY;
  // An unknown unit leaves the resolution alone.
  Bytes file = Compress({.width = 8, .height = 8, .in = JCS_GRAYSCALE, .components = 1}, Bytes(64, 1));
  const auto app0 = FindSegment(HeaderSegments(file), 0xE0);
  ASSERT_TRUE(app0);
  file[app0->offset + 4 + 7] = 7;  // "JFIF\0", version 2 bytes, then the unit
  auto r = Read(file, [](TIOParamsVals& p) { p.SetDpiX(123), p.SetDpiY(45); });
  EXPECT_EQ(r->params.DpiX, 123);
  EXPECT_EQ(r->params.DpiY, 45);
}

// ------------------------------------------------------------------ damaged input

TEST(JpegRead, FileTruncatedMidScanLoadsWithAWarningCount) {
  for (bool progressive : {false, true}) {
    const Bytes file =
        Compress({.width = 256, .height = 256, .quality = 90, .progressive = progressive}, GradientRgb(256, 256));
    const auto segs = HeaderSegments(file);
    const size_t scanStart = segs.back().offset;
    const Bytes cut(file.begin(), file.begin() + scanStart + (file.size() - scanStart) / 2);
    auto r = Read(cut);
    EXPECT_FALSE(r->aborting) << progressive;
    EXPECT_EQ(r->bitmap.Width(), 256);
    EXPECT_EQ(r->bitmap.Height(), 256);
    EXPECT_GT(r->params.JPEGWarningCount, 0);
    EXPECT_EQ(JpegMessageText(r->params.JPEGWarningCode), "Corrupt JPEG data: premature end of data segment");
    // The whole file gives no warning, and the count is cleared by the next read.
    ReadResult again;
    again.params.JPEGWarningCount = 5;
    again.params.JPEGWarningCode = 5;
    ReadInto(again, file);
    EXPECT_EQ(again.params.JPEGWarningCount, 0);
    EXPECT_EQ(again.params.JPEGWarningCode, 0);
  }
}

TEST(JpegRead, EmptyOrHeaderlessStreamsSetAborting) {
  const Bytes jpeg = Compress({.width = 8, .height = 8, .in = JCS_GRAYSCALE, .components = 1}, Bytes(64, 100));
  const Bytes cases[] = {Bytes{}, Bytes{0xFF, 0xD8, 0xFF}, Bytes(jpeg.begin(), jpeg.begin() + 20),
                         Bytes(jpeg.begin(), jpeg.begin() + HeaderSegments(jpeg).back().offset)};
  for (const Bytes& f : cases) {
    auto r = Read(f);
    EXPECT_TRUE(r->aborting) << f.size();
    EXPECT_EQ(r->bitmap.Width(), 0);
  }
}

TEST(JpegRead, CorruptHeadersAndHuffmanTablesSetAbortingWithoutEscaping) {
  const Bytes good = Compress({.width = 40, .height = 24}, GradientRgb(40, 24));
  const auto segs = HeaderSegments(good);
  const auto sof = FindSegment(segs, 0xC0);
  const auto dht = FindSegment(segs, 0xC4);
  const auto dqt = FindSegment(segs, 0xDB);
  const auto sos = FindSegment(segs, 0xDA);
  ASSERT_TRUE(sof && dht && dqt && sos);
  const size_t sofData = sof->offset + 4;  // precision, height(2), width(2), count, components
  std::vector<std::pair<std::string, std::function<void(Bytes&)>>> damage = {
      {"huffman counts", [&](Bytes& f) { std::fill_n(f.begin() + dht->offset + 5, 16, 0xFF); }},
      {"huffman class", [&](Bytes& f) { f[dht->offset + 4] = 0x37; }},
      {"quant table id", [&](Bytes& f) { f[dqt->offset + 4] = 0x09; }},
      {"precision 16", [&](Bytes& f) { f[sofData] = 16; }},
      {"zero width", [&](Bytes& f) { f[sofData + 3] = f[sofData + 4] = 0; }},
      {"no components", [&](Bytes& f) { f[sofData + 5] = 0; }},
      {"sampling 0", [&](Bytes& f) { f[sofData + 7] = 0x00; }},
      {"sof length", [&](Bytes& f) { f[sof->offset + 3] = 3; }},
      {"scan component", [&](Bytes& f) { f[sos->offset + 5] = 9; }},
      {"scan table", [&](Bytes& f) { f[sos->offset + 6] = 0x77; }},
      {"not a jpeg", [&](Bytes& f) { f[3] = 0x00, f[1] = 0xD9; }},
  };
  for (auto& [name, hurt] : damage) {
    Bytes f = good;
    hurt(f);
    auto r = Read(f);
    EXPECT_TRUE(r->aborting) << name;
  }
}

// Every single-byte change of the header and the start of the scan, and random
// damage all over: whatever the outcome, nothing escapes and the sanitizers
// stay quiet.
TEST(JpegRead, BitFlipsNeverEscape) {
  const Bytes good = Compress({.width = 33, .height = 17, .progressive = true}, GradientRgb(33, 17));
  const size_t headerEnd = std::min(good.size(), HeaderSegments(good).back().offset + 40);
  for (size_t i = 2; i < headerEnd; ++i)
    for (uint8_t x : {0x01, 0x80, 0xFF}) {
      Bytes f = good;
      f[i] ^= x;
      auto r = Read(f);
      if (!r->aborting) {
        EXPECT_GT(r->bitmap.Width(), 0);
      }
    }
  std::mt19937 rng(7);
  for (int n = 0; n < 200; ++n) {
    Bytes f = good;
    for (int k = 0; k < 4; ++k) f[2 + rng() % (f.size() - 2)] = static_cast<uint8_t>(rng());
    Read(f);
  }
}

// A progressive file's coefficients for the whole image are held by the
// codec: a header promising 60000 x 60000 must not take the memory.
TEST(JpegRead, HugeProgressiveHeaderIsRefusedByTheMemoryLimit) {
  testing::ThresholdScope threshold(int64_t{64} << 20);
  Bytes f = Compress({.width = 16, .height = 16, .progressive = true}, GradientRgb(16, 16));
  const auto sof = FindSegment(HeaderSegments(f), 0xC2);
  ASSERT_TRUE(sof);
  f[sof->offset + 5] = 60000 >> 8, f[sof->offset + 6] = 60000 & 0xFF;
  f[sof->offset + 7] = 60000 >> 8, f[sof->offset + 8] = 60000 & 0xFF;
  auto info = Read(f, {}, true);
  EXPECT_FALSE(info->aborting);
  EXPECT_EQ(info->params.Width, 60000);  // the header alone is fine
  const auto started = std::chrono::steady_clock::now();
  auto r = Read(f);
  EXPECT_TRUE(r->aborting);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(10));
}

// A few hundred bytes claiming 28000 x 30000 pixels end at once with no
// rows; a flat picture, the most a Huffman-coded file packs into a byte,
// still loads, baseline and progressive.
TEST(JpegRead, TinyFileClaimingAHugePictureIsRefused) {
  Bytes f = Compress({.width = 16, .height = 16}, GradientRgb(16, 16));
  const auto sof = FindSegment(HeaderSegments(f), 0xC0);
  ASSERT_TRUE(sof);
  f[sof->offset + 5] = 30000 >> 8, f[sof->offset + 6] = 30000 & 0xFF;
  f[sof->offset + 7] = 28000 >> 8, f[sof->offset + 8] = 28000 & 0xFF;
  auto r = Read(f);
  EXPECT_TRUE(r->aborting);
  EXPECT_EQ(r->bitmap.Width(), 0);
  for (bool progressive : {false, true}) {
    const Bytes flat = Compress({.width = 2048, .height = 2048, .quality = 75, .progressive = progressive},
                                Bytes(size_t{2048} * 2048 * 3, 200));
    auto ok = Read(flat);
    EXPECT_FALSE(ok->aborting) << progressive << " " << flat.size();
    EXPECT_EQ(ok->bitmap.Width(), 2048);
  }
}

// A scan flood: the last refinement scan of a progressive file repeated
// hundreds of times.
TEST(JpegRead, ScanFloodIsRefused) {
  const Bytes file = Compress({.width = 64, .height = 64, .progressive = true}, GradientRgb(64, 64));
  // Offset of the last SOS marker.
  size_t lastSos = 0;
  for (size_t i = 0; i + 1 < file.size(); ++i)
    if (file[i] == 0xFF && file[i + 1] == 0xDA) lastSos = i;
  ASSERT_GT(lastSos, 0u);
  const Bytes scan(file.begin() + lastSos, file.end() - 2);
  auto build = [&](int copies) {
    Bytes f(file.begin(), file.end() - 2);
    for (int i = 0; i < copies; ++i) f.insert(f.end(), scan.begin(), scan.end());
    f.push_back(0xFF), f.push_back(0xD9);
    return f;
  };
  auto few = Read(build(20));
  EXPECT_FALSE(few->aborting);
  auto flood = Read(build(600));
  EXPECT_TRUE(flood->aborting);
}

// ------------------------------------------------------------------ progress

TEST(JpegRead, ProgressCancelAndAbortingAtStart) {
  const Bytes file = Compress({.width = 50, .height = 40}, GradientRgb(50, 40));
  std::vector<int> seen;
  ReadResult r;
  r.progress.OnProgress = [&](TObject*, int percent) { seen.push_back(percent); };
  ReadInto(r, file);
  ASSERT_FALSE(r.aborting);
  ASSERT_EQ(seen.size(), 40u);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_EQ(seen.back(), 100);
  EXPECT_EQ(seen.front(), 2);  // Trunc(1 * 100 / 40)

  ReadResult cancel;
  int calls = 0;
  cancel.progress.OnProgress = [&](TObject*, int percent) {
    ++calls;
    if (percent >= 50) cancel.aborting = true;
  };
  ReadInto(cancel, file);
  EXPECT_TRUE(cancel.aborting);
  EXPECT_EQ(calls, 20);

  ReadResult pre;
  pre.aborting = true;
  TReadOnlyMemoryStream s(file.data(), file.size());
  ReadJPEGStream(s, nullptr, pre.bitmap, pre.params, pre.progress, false);
  EXPECT_EQ(s.Position(), 0);
  EXPECT_EQ(pre.bitmap.Width(), 0);
  EXPECT_EQ(pre.params.JPEGOriginalWidth, 0);
}

// Rows kept in a temporary file are reached one at a time; the decoded image
// must be the same as in memory.
TEST(JpegRead, IntoATemporaryFileBitmap) {
  const Bytes file = Compress({.width = 120, .height = 90}, GradientRgb(120, 90));
  auto mem = Read(file);
  ReadResult r;
  r.bitmap.MemoryThreshold = 1;
  ReadInto(r, file);
  ASSERT_FALSE(r.aborting);
  EXPECT_EQ(r.bitmap.Location(), pxTempFile);
  for (int y = 0; y < 90; ++y) {
    const uint8_t* p = r.bitmap.Scanline(y);
    const Bytes row(p, p + 360);  // copied before the next Scanline call
    ASSERT_EQ(std::memcmp(row.data(), mem->bitmap.Scanline(y), 360), 0) << y;
  }
}

TEST(JpegRead, ConcurrentReadsShareNothing) {
  const Bytes a = Compress({.width = 100, .height = 80}, GradientRgb(100, 80));
  const Bytes b = Compress({.width = 64, .height = 48, .progressive = true}, BlockPixelsRgb());
  auto refA = Read(a);
  auto refB = Read(b);
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      for (int i = 0; i < 10; ++i) {
        const Bytes& f = (t + i) % 2 ? a : b;
        auto& ref = (t + i) % 2 ? refA : refB;
        auto r = Read(f);
        for (int y = 0; y < ref->bitmap.Height(); ++y)
          if (std::memcmp(r->bitmap.Scanline(y), ref->bitmap.Scanline(y), ref->bitmap.Width() * 3) != 0) ++mismatches;
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(mismatches, 0);
}

// ------------------------------------------------------------------ markers

TEST(JpegRead, MarkersInFileOrderWithoutTheLeadingApp0) {
  const std::string comment = "a comment";
  const Bytes app1 = {'E', 'x', 'i', 'f', 0, 0, 1, 2, 3};
  const Bytes app0b = {'J', 'F', 'X', 'X', 0, 0x10};
  Bytes big(65533);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31);
  const Bytes file =
      Compress({.width = 8,
                .height = 8,
                .in = JCS_GRAYSCALE,
                .components = 1,
                .afterStart =
                    [&](jpeg_compress_struct& ci) {
                      jpeg_write_marker(&ci, JPEG_COM, reinterpret_cast<const JOCTET*>(comment.data()), comment.size());
                      jpeg_write_marker(&ci, JPEG_APP0 + 1, app1.data(), app1.size());
                      jpeg_write_marker(&ci, JPEG_APP0, app0b.data(), app0b.size());
                      jpeg_write_marker(&ci, JPEG_APP0 + 2, big.data(), big.size());
                      jpeg_write_marker(&ci, JPEG_APP0 + 1, app1.data(), 0);
                    }},
               Bytes(64, 1));
  auto r = Read(file);
  ASSERT_FALSE(r->aborting);
  const TPXMarkerList& m = *r->params.JPEGMarkers;
  ASSERT_EQ(m.Count(), 5);
  EXPECT_EQ(m.MarkerType(0), 0xFE);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.MarkerData(0)), m.MarkerLength(0)), comment);
  EXPECT_EQ(m.MarkerType(1), 0xE1);
  EXPECT_EQ(Bytes(m.MarkerData(1), m.MarkerData(1) + m.MarkerLength(1)), app1);
  EXPECT_EQ(m.MarkerType(2), 0xE0);  // a second APP0 is kept
  EXPECT_EQ(Bytes(m.MarkerData(2), m.MarkerData(2) + m.MarkerLength(2)), app0b);
  EXPECT_EQ(m.MarkerType(3), 0xE2);
  ASSERT_EQ(m.MarkerLength(3), 65533);
  EXPECT_EQ(std::memcmp(m.MarkerData(3), big.data(), big.size()), 0);
  EXPECT_EQ(m.MarkerType(4), 0xE1);
  EXPECT_EQ(m.MarkerLength(4), 0);

  // Without a JFIF header the first marker is a COM, and an APP0 after it stays.
  const Bytes noJfif = Compress({.width = 8,
                                 .height = 8,
                                 .in = JCS_GRAYSCALE,
                                 .components = 1,
                                 .beforeStart = [](jpeg_compress_struct& ci) { ci.write_JFIF_header = FALSE; },
                                 .afterStart =
                                     [&](jpeg_compress_struct& ci) {
                                       jpeg_write_marker(&ci, JPEG_COM, reinterpret_cast<const JOCTET*>("x"), 1);
                                       jpeg_write_marker(&ci, JPEG_APP0, app0b.data(), app0b.size());
                                     }},
                                Bytes(64, 1));
  auto r2 = Read(noJfif);
  ASSERT_EQ(r2->params.JPEGMarkers->Count(), 2);
  EXPECT_EQ(r2->params.JPEGMarkers->MarkerType(1), 0xE0);

  // The list is cleared at every read, also one that fails in the header.
  auto r3 = Read(Bytes(noJfif.begin(), noJfif.begin() + 40),
                 [](TIOParamsVals& p) { p.JPEGMarkers->AddMarker(0xE5, "old", 3); });
  EXPECT_TRUE(r3->aborting);
  EXPECT_EQ(r3->params.JPEGMarkers->IndexOf(0xE5), -1);
}

// ------------------------------------------------------------------ writer

TEST(JpegWrite, QtAndOurReaderSeeTheRightColours) {
  TPXBitmap src;
  FillBlocks(src);
  const Bytes before(src.Scanline(47), src.Scanline(47) + 64 * 3);
  const WriteResult w = Write(src, [](TIOParamsVals& p) { p.JPEGQuality = 100; });
  ASSERT_FALSE(w.aborted);
  EXPECT_EQ(Bytes(src.Scanline(47), src.Scanline(47) + 64 * 3), before);  // the source is only read
  auto back = Read(w.file);
  ASSERT_FALSE(back->aborting);
  ExpectBlocks(back->bitmap, 8);
  if (!QtCanJpeg()) GTEST_SKIP() << "Qt has no JPEG plugin";
  QImage img = QImage::fromData(QByteArray(reinterpret_cast<const char*>(w.file.data()), w.file.size()), "JPEG");
  ASSERT_FALSE(img.isNull());
  for (int by = 0; by < 3; ++by)
    for (int bx = 0; bx < 4; ++bx) {
      const QRgb q = img.pixel(bx * 16 + 8, by * 16 + 8);
      const Rgb want = BlockColourAt(bx * 16, by * 16);
      EXPECT_TRUE(Near(TBGR{uint8_t(qBlue(q)), uint8_t(qGreen(q)), uint8_t(qRed(q))}, want, 8)) << bx << "," << by;
    }
}

TEST(JpegWrite, OptionsShowInTheFile) {
  TPXBitmap src;
  ASSERT_TRUE(src.Allocate(160, 120, pxBGR24));
  const Bytes px = GradientRgb(160, 120);
  for (int y = 0; y < 120; ++y) {
    uint8_t* row = src.Scanline(y);
    for (int x = 0; x < 160; ++x) {
      row[x * 3] = px[(y * 160 + x) * 3 + 2];
      row[x * 3 + 1] = px[(y * 160 + x) * 3 + 1];
      row[x * 3 + 2] = px[(y * 160 + x) * 3];
    }
  }
  const WriteResult base = Write(src);
  ASSERT_FALSE(base.aborted);
  auto segs = HeaderSegments(base.file);
  EXPECT_EQ(CountSegments(segs, 0xC0), 1);  // baseline
  EXPECT_EQ(CountSegments(segs, 0xC2), 0);
  EXPECT_EQ(base.file[base.file.size() - 2], 0xFF);
  EXPECT_EQ(base.file[base.file.size() - 1], 0xD9);

  const WriteResult prog = Write(src, [](TIOParamsVals& p) { p.JPEGProgressive = 1; });
  segs = HeaderSegments(prog.file);
  EXPECT_EQ(CountSegments(segs, 0xC2), 1);
  EXPECT_EQ(CountSegments(segs, 0xC0), 0);
  auto progBack = Read(prog.file);
  EXPECT_EQ(progBack->params.JPEGProgressive, 1);

  const WriteResult low = Write(src, [](TIOParamsVals& p) { p.JPEGQuality = 20; });
  const WriteResult high = Write(src, [](TIOParamsVals& p) { p.JPEGQuality = 95; });
  EXPECT_LT(low.file.size() * 2, high.file.size());
  const WriteResult optimized = Write(src, [](TIOParamsVals& p) {
    p.JPEGQuality = 95;
    p.JPEGOptimalHuffman = 1;
  });
  EXPECT_LT(optimized.file.size(), high.file.size());
  // Optimised tables differ from the standard ones but decode the same pixels.
  auto a = Read(optimized.file), b = Read(high.file);
  for (int y = 0; y < 120; ++y) ASSERT_EQ(std::memcmp(a->bitmap.Scanline(y), b->bitmap.Scanline(y), 480), 0);

  const WriteResult smooth = Write(src, [](TIOParamsVals& p) {
    p.JPEGQuality = 95;
    p.JPEGSmooth = 100;
  });
  EXPECT_NE(smooth.file, high.file);
  for (uint8_t dct : {1, 2}) {
    const WriteResult other = Write(src, [&](TIOParamsVals& p) {
      p.JPEGQuality = 95;
      p.JPEGDCTMethod = dct;
    });
    EXPECT_FALSE(other.aborted);
    EXPECT_NE(other.file, high.file) << int(dct);
  }
}

TEST(JpegWrite, DensityFieldsInDotsPerInch) {
  TPXBitmap src;
  FillBlocks(src);
  struct Case {
    int32_t dpiX, dpiY;
    int wantX, wantY;
  };
  for (const Case& c : {Case{72, 150, 72, 150}, Case{0, 0, PXSettings().DefaultDpiX, PXSettings().DefaultDpiY},
                        Case{100000, -5, 65535, PXSettings().DefaultDpiY}}) {
    const WriteResult w = Write(src, [&](TIOParamsVals& p) { p.DpiX = c.dpiX, p.DpiY = c.dpiY; });
    const auto app0 = FindSegment(HeaderSegments(w.file), 0xE0);
    ASSERT_TRUE(app0);
    const uint8_t* d = &w.file[app0->offset + 4];
    ASSERT_EQ(std::memcmp(d, "JFIF", 5), 0);
    EXPECT_EQ(d[7], 1);  // dots per inch
    EXPECT_EQ((d[8] << 8) | d[9], c.wantX);
    EXPECT_EQ((d[10] << 8) | d[11], c.wantY);
    auto back = Read(w.file);
    EXPECT_EQ(back->params.DpiX, c.wantX);
    EXPECT_EQ(back->params.DpiY, c.wantY);
  }
}

TEST(JpegWrite, ColourSpaces) {
  TPXBitmap src;
  FillBlocks(src);
  struct Case {
    uint8_t space;
    int components;
    int readSpace;
  };
  for (const Case& c : {Case{0, 3, 0}, Case{1, 1, 1}, Case{2, 3, 2}, Case{3, 4, 3}, Case{4, 4, 4}, Case{9, 3, 0}}) {
    const WriteResult w = Write(src, [&](TIOParamsVals& p) {
      p.JPEGColorSpace = c.space;
      p.JPEGQuality = 100;
      p.JPEGMarkers->AddMarker(0xEE, "Adobe-ours", 10);
    });
    ASSERT_FALSE(w.aborted) << int(c.space);
    const auto segs = HeaderSegments(w.file);
    const auto sof = FindSegment(segs, 0xC0);
    ASSERT_TRUE(sof);
    EXPECT_EQ(w.file[sof->offset + 9], c.components) << int(c.space);
    // APP14 comes only from the codec (for RGB, CMYK and YCCK), never from the list.
    EXPECT_LE(CountSegments(segs, 0xEE), 1);
    if (const auto app14 = FindSegment(segs, 0xEE)) {
      EXPECT_EQ(std::memcmp(&w.file[app14->offset + 4], "Adobe", 5), 0);
    }
    EXPECT_EQ(CountSegments(segs, 0xEE), c.space == 1 || c.space == 2 ? 0 : 1) << int(c.space);

    auto back = Read(w.file);
    ASSERT_FALSE(back->aborting);
    EXPECT_EQ(back->params.JPEGColorSpace, c.readSpace);
    EXPECT_EQ(back->params.SamplesPerPixel, c.components);
    if (c.space == 1) {
      const TBGR p = PixelAt(back->bitmap, 8, 8);  // red as grey: 0.299 * 255
      EXPECT_NEAR(p.r, 76, 3);
      EXPECT_TRUE(p.r == p.g && p.g == p.b);
    } else {
      ExpectBlocks(back->bitmap, 8);
    }
  }
}

TEST(JpegWrite, CmykOutputDecodesRightInQt) {
  if (!QtCanJpeg()) GTEST_SKIP() << "Qt has no JPEG plugin";
  TPXBitmap src;
  FillBlocks(src);
  const WriteResult w = Write(src, [](TIOParamsVals& p) {
    p.JPEGColorSpace = 3;
    p.JPEGQuality = 100;
  });
  QImage img = QImage::fromData(QByteArray(reinterpret_cast<const char*>(w.file.data()), w.file.size()), "JPEG");
  ASSERT_FALSE(img.isNull());
  for (int by = 0; by < 3; ++by)
    for (int bx = 0; bx < 4; ++bx) {
      const QRgb q = img.pixel(bx * 16 + 8, by * 16 + 8);
      EXPECT_TRUE(
          Near(TBGR{uint8_t(qBlue(q)), uint8_t(qGreen(q)), uint8_t(qRed(q))}, BlockColourAt(bx * 16, by * 16), 8))
          << bx << "," << by;
    }
}

TEST(JpegWrite, MarkersRoundTripAndOversizeFails) {
  TPXBitmap src;
  FillBlocks(src);
  Bytes big(65533);
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i ^ (i >> 8));
  auto fill = [&](TIOParamsVals& p) {
    p.JPEGMarkers->AddMarker(0xFE, "comment", 7);
    p.JPEGMarkers->AddMarker(0xE1, "Exif\0\0MM", 8);
    p.JPEGMarkers->AddMarker(0xEE, "skipped", 7);
    p.JPEGMarkers->AddMarker(0xED, big.data(), 65533);
    p.JPEGMarkers->AddMarker(0xE1, nullptr, 0);
  };
  const WriteResult w = Write(src, fill);
  ASSERT_FALSE(w.aborted);
  auto back = Read(w.file);
  const TPXMarkerList& m = *back->params.JPEGMarkers;
  ASSERT_EQ(m.Count(), 4);  // the codec's JFIF APP0 leads and is dropped; APP14 was not written
  EXPECT_EQ(m.MarkerType(0), 0xFE);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.MarkerData(0)), 7), "comment");
  EXPECT_EQ(m.MarkerType(1), 0xE1);
  EXPECT_EQ(std::memcmp(m.MarkerData(1), "Exif\0\0MM", 8), 0);
  EXPECT_EQ(m.MarkerType(2), 0xED);
  ASSERT_EQ(m.MarkerLength(2), 65533);
  EXPECT_EQ(std::memcmp(m.MarkerData(2), big.data(), 65533), 0);
  EXPECT_EQ(m.MarkerLength(3), 0);

  // A payload that cannot fit a segment, or a type that is no APPn or COM,
  // fails the save before anything is written.
  for (auto hurt : std::vector<std::function<void(TIOParamsVals&)>>{
           [&](TIOParamsVals& p) {
             p.JPEGMarkers->AddMarker(0xE2, big.data(), 65533),
                 p.JPEGMarkers->AddMarker(0xE3, Bytes(65534).data(), 65534);
           },
           [&](TIOParamsVals& p) { p.JPEGMarkers->AddMarker(0xE2, Bytes(65535).data(), 65535); },
           [&](TIOParamsVals& p) { p.JPEGMarkers->AddMarker(0xD9, "x", 1); },
           [&](TIOParamsVals& p) { p.JPEGMarkers->AddMarker(0xDA, "x", 1); }}) {
    const WriteResult bad = Write(src, hurt);
    EXPECT_TRUE(bad.aborted);
    EXPECT_TRUE(bad.file.empty());
  }
}

TEST(JpegWrite, SourceFormatsAreExpandedRowByRowAndLeftAsTheyAre) {
  // pxGray8 and pxGray16: a ramp.
  TPXBitmap grey;
  ASSERT_TRUE(grey.Allocate(64, 16, pxGray8));
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 64; ++x) grey.Scanline(y)[x] = static_cast<uint8_t>(x * 4);
  TPXBitmap grey16;
  ASSERT_TRUE(grey16.Allocate(64, 16, pxGray16));
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 64; ++x)
      grey16.Scanline(y)[2 * x] = 0x7F, grey16.Scanline(y)[2 * x + 1] = static_cast<uint8_t>(x * 4);
  for (TPXBitmap* b : {&grey, &grey16}) {
    const Bytes before(b->Scanline(3), b->Scanline(3) + b->RowLen());
    const WriteResult w = Write(*b, [](TIOParamsVals& p) { p.JPEGQuality = 100; });
    ASSERT_FALSE(w.aborted);
    EXPECT_EQ(Bytes(b->Scanline(3), b->Scanline(3) + b->RowLen()), before);
    EXPECT_EQ(b->PixelFormat() == pxGray8 || b->PixelFormat() == pxGray16, true);
    auto back = Read(w.file);
    for (int x = 4; x < 60; x += 9)
      EXPECT_TRUE(Near(PixelAt(back->bitmap, x, 8), Rgb{uint8_t(x * 4), uint8_t(x * 4), uint8_t(x * 4)}, 4)) << x;
  }

  // pxBW1: a set bit is white; columns alternate in runs of 16.
  TPXBitmap bw;
  ASSERT_TRUE(bw.Allocate(64, 16, pxBW1));
  for (int y = 0; y < 16; ++y) {
    uint8_t* row = bw.Scanline(y);
    row[0] = row[1] = 0xFF, row[2] = row[3] = 0x00, row[4] = row[5] = 0xFF, row[6] = row[7] = 0x00;
  }
  auto bwBack = Read(Write(bw, [](TIOParamsVals& p) { p.JPEGQuality = 100; }).file);
  EXPECT_TRUE(Near(PixelAt(bwBack->bitmap, 8, 8), Rgb{255, 255, 255}, 4));
  EXPECT_TRUE(Near(PixelAt(bwBack->bitmap, 24, 8), Rgb{0, 0, 0}, 4));
  EXPECT_TRUE(Near(PixelAt(bwBack->bitmap, 40, 8), Rgb{255, 255, 255}, 4));
  EXPECT_EQ(bw.PixelFormat(), pxBW1);

  // pxPal8: the palette gives the colours; an index past it is black.
  TPXBitmap pal;
  ASSERT_TRUE(pal.Allocate(64, 16, pxPal8));
  pal.SetPaletteEntry(0, MakeBGR(255, 0, 0));
  pal.SetPaletteEntry(1, MakeBGR(0, 0, 255));
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 64; ++x) pal.Scanline(y)[x] = static_cast<uint8_t>(x < 16 ? 0 : x < 32 ? 1 : 255);
  for (uint8_t space : {2, 3}) {
    auto palBack = Read(Write(pal, [&](TIOParamsVals& p) { p.JPEGQuality = 100, p.JPEGColorSpace = space; }).file);
    EXPECT_TRUE(Near(PixelAt(palBack->bitmap, 8, 8), Rgb{255, 0, 0}, 8)) << int(space);
    EXPECT_TRUE(Near(PixelAt(palBack->bitmap, 24, 8), Rgb{0, 0, 255}, 8)) << int(space);
    if (pal.PaletteCount() < 256) {
      EXPECT_TRUE(Near(PixelAt(palBack->bitmap, 56, 8), Rgb{0, 0, 0}, 8)) << int(space);
    }
  }
}

TEST(JpegWrite, NativeCmykSource) {
  const Bytes file = Compress(
      {.width = 71, .height = 48, .in = JCS_CMYK, .components = 4, .out = JCS_CMYK, .quality = 100, .fullChroma = true},
      BlocksAsCmyk(71));
  auto native = Read(file, [](TIOParamsVals& p) { p.KeepNativeFormat = 1; });
  ASSERT_EQ(native->bitmap.PixelFormat(), pxCMYK);
  // Kept as CMYK: the rows go in as they are.
  const WriteResult asCmyk = Write(native->bitmap, [](TIOParamsVals& p) { p.JPEGColorSpace = 3, p.JPEGQuality = 100; });
  ASSERT_FALSE(asCmyk.aborted);
  auto again = Read(asCmyk.file, [](TIOParamsVals& p) { p.KeepNativeFormat = 1; });
  for (int y = 0; y < 48; y += 7)
    for (int x = 0; x < 71 * 4; ++x) ASSERT_NEAR(again->bitmap.Scanline(y)[x], native->bitmap.Scanline(y)[x], 3);
  // Written as YCbCr: converted to blue-green-red on the way.
  const WriteResult asYcc = Write(native->bitmap, [](TIOParamsVals& p) { p.JPEGQuality = 100; });
  auto ycc = Read(asYcc.file);
  EXPECT_EQ(ycc->params.JPEGColorSpace, 2);
  for (int by = 0; by < 3; ++by)
    for (int bx = 0; bx < 4; ++bx)
      EXPECT_TRUE(Near(PixelAt(ycc->bitmap, bx * 16 + 8, by * 16 + 8), BlockColourAt(bx * 16, by * 16), 8));
}

// Counts the rows a replaced row converter is given, then converts as the
// default does.
struct HookLog {
  int toBGR = 0, toCMYK = 0;
};
HookLog g_hook;
void CountingConverter(const void* s, int32_t from, void* d, TIOParamsVals* p, int32_t count, int32_t to) {
  EXPECT_NE(p, nullptr);
  if (from == pxcsCMYK && to == pxcsBGR) ++g_hook.toBGR;
  if (from == pxcsBGR && to == pxcsCMYK) ++g_hook.toCMYK;
  ConvertRowColorSpace(s, from, d, p, count, to);
}

TEST(JpegCmyk, EveryRowGoesThroughTheRowConverterHook) {
  TPXBitmap bgr;
  ASSERT_TRUE(bgr.Allocate(20, 9, pxBGR24));
  for (int y = 0; y < 9; ++y) std::memset(bgr.Scanline(y), 40 + y * 10, 60);
  struct Restore {
    TPXConvertColorProc saved = ConvertColorHook();
    ~Restore() { ConvertColorHook() = saved; }
  } restore;
  ConvertColorHook() = CountingConverter;
  g_hook = HookLog{};
  const WriteResult cmyk = Write(bgr, [](TIOParamsVals& p) { p.JPEGColorSpace = 3; });  // saved as CMYK
  ASSERT_FALSE(cmyk.aborted);
  EXPECT_EQ(g_hook.toCMYK, 9);
  auto shown = Read(cmyk.file);  // loaded as blue-green-red
  EXPECT_EQ(g_hook.toBGR, 9);
  auto native = Read(cmyk.file, [](TIOParamsVals& p) { p.KeepNativeFormat = 1; });
  ASSERT_EQ(native->bitmap.PixelFormat(), pxCMYK);
  g_hook = HookLog{};
  Write(native->bitmap);  // a CMYK image saved as YCbCr
  EXPECT_EQ(g_hook.toBGR, 9);
  EXPECT_TRUE(Near(PixelAt(shown->bitmap, 3, 4), Rgb{80, 80, 80}, 6));
}

TEST(JpegWrite, EmptySourceWritesNothing) {
  // Float images reach the writer as 24-bit copies made by the I/O
  // component (the save matrix test covers them).
  TPXBitmap empty;
  const WriteResult w = Write(empty);
  EXPECT_TRUE(w.aborted);
  EXPECT_TRUE(w.file.empty());
}

TEST(JpegWrite, CodecErrorRaisesAfterReleaseWithTheCodecText) {
  TPXBitmap wide;
  ASSERT_TRUE(wide.Allocate(65501, 1, pxBGR24));
  TIOParamsVals params;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream out;
  try {
    WriteJPEGStream(out, wide, params, progress);
    FAIL() << "no exception";
  } catch (const EPXJpegException& e) {
    EXPECT_EQ(std::string(e.what()), "Maximum supported image dimension is ? pixels");
  }
  EXPECT_TRUE(aborting);
}

// A stream that takes only so many bytes.
class TShortStream : public TMemoryStream {
 public:
  explicit TShortStream(int64_t room) : room_(room) {}
  int64_t Write(const void* buffer, int64_t count) override {
    const int64_t n = std::max<int64_t>(0, std::min(count, room_ - Size()));
    return TMemoryStream::Write(buffer, n);
  }

 private:
  int64_t room_;
};

TEST(JpegWrite, ShortWriteSetsAbortingAndStops) {
  TPXBitmap src;
  ASSERT_TRUE(src.Allocate(800, 600, pxBGR24));
  const Bytes px = GradientRgb(800, 600);
  for (int y = 0; y < 600; ++y) std::memcpy(src.Scanline(y), &px[y * 2400], 2400);
  for (int64_t room : {int64_t{0}, int64_t{1000}, int64_t{70000}}) {
    TIOParamsVals params;
    params.JPEGQuality = 100;
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    int rows = 0;
    progress.OnProgress = [&](TObject*, int) { ++rows; };
    TShortStream out(room);
    EXPECT_NO_THROW(WriteJPEGStream(out, src, params, progress));
    EXPECT_TRUE(aborting) << room;
    EXPECT_LT(rows, 600) << room;
  }
}

TEST(JpegWrite, ProgressAndAbortingAtStart) {
  TPXBitmap src;
  FillBlocks(src);
  TIOParamsVals params;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  std::vector<int> seen;
  progress.OnProgress = [&](TObject*, int p) { seen.push_back(p); };
  TMemoryStream out;
  WriteJPEGStream(out, src, params, progress);
  ASSERT_EQ(seen.size(), 48u);
  EXPECT_EQ(seen.back(), 100);

  aborting = true;
  TMemoryStream none;
  WriteJPEGStream(none, src, params, progress);
  EXPECT_EQ(none.Size(), 0);
}

// ------------------------------------------------------------------ messages

TEST(JpegMessages, CodecTextsWithPlaceholders) {
  EXPECT_EQ(JpegMessageText(JMSG_NOMESSAGE), "Bogus message code ?");
  EXPECT_EQ(JpegMessageText(JERR_NO_SOI), "Not a JPEG file: starts with 0x? 0x?");
  EXPECT_EQ(JpegMessageText(JWRN_JPEG_EOF), "Premature end of JPEG file");
  EXPECT_EQ(JpegMessageText(-1), "Corrupted");
  EXPECT_EQ(JpegMessageText(100000), "Corrupted");
}

}  // namespace
}  // namespace pixoran
