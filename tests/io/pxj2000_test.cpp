// JPEG 2000 filter: files written by OpenJPEG's own tools decode exactly
// (lossless) or closely (lossy), our files decode with opj_decompress to
// the same pixels, the mended colour-model and sample rules, and bad input.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_settings.h"
#include "external_tools.h"
#include "io/pixoranio.h"
#include "io/pxformats.h"
#include "io/formats/jpeg2000/pxj2000.h"
#include "testsupport.h"

namespace pixoran {
namespace {

using testing::HaveTool;
using testing::ReadFileBytes;
using testing::ReadPnm;
using testing::RunTool;
using testing::TPnm;
using testing::WritePnm;

struct TResult {
  TPXBitmap Bitmap;
  TIOParamsVals Params;
  bool Aborted = false;
};

void Read(const std::vector<uint8_t>& bytes, TResult& r, bool paramsOnly = false) {
  TReadOnlyMemoryStream s(bytes.data(), static_cast<int64_t>(bytes.size()));
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  ReadJ2000Stream(s, r.Bitmap, r.Params, paramsOnly, progress);
  r.Aborted = aborting;
}

std::vector<uint8_t> Write(TPXBitmap& b, TIOParamsVals& params, int32_t format, bool* aborted = nullptr) {
  TMemoryStream out;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  WriteJ2000Stream(out, b, params, format, progress);
  if (aborted) *aborted = aborting;
  return out.Bytes();
}

// A photograph-like RGB image with gradients, edges and noise.
TPnm MakeRgbPnm(int32_t w, int32_t h) {
  TPnm p{w, h, 3, 255, {}};
  uint32_t s = 7;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      s = s * 1664525u + 1013904223u;
      const int n = static_cast<int>((s >> 24) % 9);
      p.Samples.push_back(static_cast<uint16_t>((x * 255 / w + n) & 255));
      p.Samples.push_back(static_cast<uint16_t>(((x / 5 + y / 3) % 2) * 120 + y * 100 / h));
      p.Samples.push_back(static_cast<uint16_t>(std::min(255, x * y * 255 / (w * h) + n * 3)));
    }
  return p;
}

void PnmToBitmap(const TPnm& p, TPXBitmap& b) {
  ASSERT_TRUE(b.Allocate(p.Width, p.Height, pxBGR24));
  for (int32_t y = 0; y < p.Height; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < p.Width; ++x)
      for (int c = 0; c < 3; ++c) row[3 * x + 2 - c] = static_cast<uint8_t>(p.At(x, y, p.Channels == 3 ? c : 0));
  }
}

// Peak signal-to-noise ratio of the bitmap against 8-bit expected samples
// given per pixel as red, green, blue.
double Psnr(TPXBitmap& b, const std::vector<uint8_t>& rgb) {
  double se = 0;
  for (int32_t y = 0; y < b.Height(); ++y) {
    const uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < b.Width(); ++x)
      for (int c = 0; c < 3; ++c) {
        const double d = row[3 * x + 2 - c] - rgb[(static_cast<size_t>(y) * b.Width() + x) * 3 + c];
        se += d * d;
      }
  }
  if (se == 0) return 1e9;
  return 10 * std::log10(255.0 * 255.0 / (se / (3.0 * b.Width() * b.Height())));
}

class J2000Tools : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("opj_compress") || !HaveTool("opj_decompress")) GTEST_SKIP() << "libopenjp2-tools missing";
    dir_ = testing::MakeTempDir("j2k");
  }
  std::string dir_;
};

// ---------------------------------------------------------------- files by opj_compress

struct TForeignCase {
  const char* name;
  int32_t channels, maxval;
  const char* options;
  const char* ext;
  double minPsnr;  // 0: exact
};

TEST_F(J2000Tools, ReadsFilesWrittenByOpjCompress) {
  const TForeignCase cases[] = {
      {"rgb8", 3, 255, "", "jp2", 0},
      {"rgb8", 3, 255, "", "j2k", 0},
      {"rgb8_rlcp", 3, 255, "-p RLCP", "jp2", 0},
      {"rgb8_lossy", 3, 255, "-r 3", "jp2", 25},
      {"rgb8_lossy97", 3, 255, "-I -r 3", "j2k", 25},
      {"grey8", 1, 255, "", "j2k", 0},
      {"grey12", 1, 4095, "", "jp2", 0},
      {"grey4", 1, 15, "", "j2k", 0},
      {"grey16", 1, 65535, "", "jp2", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "." + c.ext);
    TPnm src = MakeRgbPnm(37, 23);
    if (c.channels == 1) {
      TPnm g{src.Width, src.Height, 1, c.maxval, {}};
      for (size_t i = 0; i < src.Samples.size(); i += 3)
        g.Samples.push_back(
            static_cast<uint16_t>((src.Samples[i] * 257u + src.Samples[i + 1] * 131u) % (c.maxval + 1u)));
      g.Samples[0] = static_cast<uint16_t>(c.maxval);  // white must read 255
      src = g;
    }
    // The tool reads a PGM of fewer than 8 bits as 8-bit: small depths go as raw samples.
    const bool raw = c.maxval < 255;
    const std::string in = dir_ + "/" + c.name + (raw ? ".raw" : c.channels == 1 ? ".pgm" : ".ppm");
    const std::string out = dir_ + "/" + c.name + "." + c.ext;
    std::string options = c.options;
    if (raw) {
      std::vector<uint8_t> bytes(src.Samples.begin(), src.Samples.end());
      ASSERT_TRUE(testing::WriteFileBytes(in, bytes.data(), bytes.size()));
      options += " -F " + std::to_string(src.Width) + "," + std::to_string(src.Height) + ",1," +
                 std::to_string(std::bit_width(static_cast<uint32_t>(c.maxval))) + ",u";
    } else {
      ASSERT_TRUE(WritePnm(in, src));
    }
    ASSERT_TRUE(RunTool("opj_compress -n 3 -i " + in + " -o " + out + " " + options));
    TResult r;
    Read(ReadFileBytes(out), r);
    ASSERT_FALSE(r.Aborted);
    ASSERT_EQ(r.Bitmap.PixelFormat(), pxBGR24);
    ASSERT_EQ(r.Bitmap.Width(), src.Width);
    ASSERT_EQ(r.Bitmap.Height(), src.Height);
    EXPECT_EQ(r.Params.SamplesPerPixel, c.channels);
    EXPECT_EQ(r.Params.BitsPerSample, static_cast<int32_t>(std::bit_width(static_cast<uint32_t>(c.maxval))));
    EXPECT_EQ(r.Params.DpiX, PXSettings().DefaultDpiX);
    // Expected 8-bit samples: below 8 bits scaled, above the top 8 bits.
    const int bits = std::bit_width(static_cast<uint32_t>(c.maxval));
    std::vector<uint8_t> rgb;
    for (int32_t y = 0; y < src.Height; ++y)
      for (int32_t x = 0; x < src.Width; ++x)
        for (int ch = 0; ch < 3; ++ch) {
          const uint32_t v = src.At(x, y, c.channels == 3 ? ch : 0);
          rgb.push_back(static_cast<uint8_t>(bits < 8 ? v * 255 / c.maxval : v >> (bits - 8)));
        }
    if (c.channels == 1) {
      EXPECT_EQ(r.Bitmap.Scanline(0)[0], 255);
    }
    if (c.minPsnr == 0) EXPECT_EQ(Psnr(r.Bitmap, rgb), 1e9);
    else EXPECT_GT(Psnr(r.Bitmap, rgb), c.minPsnr);
  }
}

// Flat pictures cost the codec almost no data (141 bytes for 4096 x 4096
// mid grey): the reader's bound on what a byte may decode to still takes them.
TEST_F(J2000Tools, FlatPicturesFromOpjCompressLoad) {
  for (const char* level : {"0.5", "0"}) {
    SCOPED_TRACE(level);
    const std::string pgm = dir_ + "/flat.pgm", j2k = dir_ + "/flat.j2k";
    ASSERT_TRUE(RunTool(std::string("pgmmake ") + level + " 4096 4096 > " + pgm));
    ASSERT_TRUE(RunTool("opj_compress -i " + pgm + " -o " + j2k));
    TPnm src;
    ASSERT_TRUE(ReadPnm(pgm, src));
    TResult r;
    Read(ReadFileBytes(j2k), r);
    ASSERT_FALSE(r.Aborted);
    ASSERT_EQ(r.Bitmap.Width(), 4096);
    ASSERT_EQ(r.Bitmap.Height(), 4096);
    const auto v = static_cast<uint8_t>(src.At(0, 0, 0));
    for (int32_t y = 0; y < 4096; y += 455) {
      const uint8_t* row = r.Bitmap.Scanline(y);
      for (int32_t x = 0; x < 3 * 4096; ++x) ASSERT_EQ(row[x], v) << x / 3 << "," << y;
    }
  }
}

// Raw component planes handed to opj_compress: 4:2:0 YCbCr and a signed
// grey component.
TEST_F(J2000Tools, SubsampledChromaAndSignedSamples) {
  const int32_t w = 10, h = 6;
  std::vector<uint8_t> planes;
  for (int32_t i = 0; i < w * h; ++i) planes.push_back(static_cast<uint8_t>(40 + i * 3));
  for (int32_t i = 0; i < (w / 2) * (h / 2); ++i) planes.push_back(static_cast<uint8_t>(60 + i * 9));   // Cb
  for (int32_t i = 0; i < (w / 2) * (h / 2); ++i) planes.push_back(static_cast<uint8_t>(200 - i * 7));  // Cr
  const std::string raw = dir_ + "/ycc.raw", j2k = dir_ + "/ycc.j2k";
  ASSERT_TRUE(testing::WriteFileBytes(raw, planes.data(), planes.size()));
  ASSERT_TRUE(RunTool("opj_compress -n 2 -i " + raw + " -o " + j2k + " -F 10,6,3,8,u@1x1:2x2:2x2 -mct 0"));
  TResult r;
  Read(ReadFileBytes(j2k), r);
  ASSERT_FALSE(r.Aborted);
  ASSERT_EQ(r.Bitmap.Width(), w);
  ASSERT_EQ(r.Bitmap.Height(), h);
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      const int yy = planes[y * w + x];
      const int cb = planes[w * h + (y / 2) * (w / 2) + x / 2] - 128;
      const int cr = planes[w * h + (w / 2) * (h / 2) + (y / 2) * (w / 2) + x / 2] - 128;
      const uint8_t* p = r.Bitmap.Scanline(y) + 3 * x;
      EXPECT_NEAR(p[2], std::clamp<double>(yy + 1.402 * cr, 0, 255), 1.01) << x << "," << y;
      EXPECT_NEAR(p[1], std::clamp<double>(yy - 0.344136 * cb - 0.714136 * cr, 0, 255), 2.01) << x << "," << y;
      EXPECT_NEAR(p[0], std::clamp<double>(yy + 1.772 * cb, 0, 255), 1.01) << x << "," << y;
    }

  std::vector<uint8_t> signedGrey;
  for (int i = 0; i < 16; ++i) signedGrey.push_back(static_cast<uint8_t>(static_cast<int8_t>(i * 16 - 128)));
  const std::string sraw = dir_ + "/s.raw", sj2k = dir_ + "/s.j2k";
  ASSERT_TRUE(testing::WriteFileBytes(sraw, signedGrey.data(), signedGrey.size()));
  ASSERT_TRUE(RunTool("opj_compress -n 2 -i " + sraw + " -o " + sj2k + " -F 4,4,1,8,s"));
  TResult g;
  Read(ReadFileBytes(sj2k), g);
  ASSERT_FALSE(g.Aborted);
  for (int i = 0; i < 16; ++i) EXPECT_EQ(g.Bitmap.Scanline(i / 4)[3 * (i % 4)], i * 16) << i;
}

// 4:4:4 sYCC files (colr box, enumerated colour space 18), unsigned and signed, decode
// to the colours opj_decompress gives for them.
TEST_F(J2000Tools, SyccFilesDecodeAsOpjDecompressDoes) {
  const int32_t w = 24, h = 16;
  std::vector<uint8_t> planes;  // Y, Cb, Cr
  for (int32_t c = 0; c < 3; ++c)
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        const int v = c == 0 ? x * 11 + y * 3 : c == 1 ? x * 37 + y * 50 : 255 + 256 - x * 13 - y * 20;
        planes.push_back(static_cast<uint8_t>(v % 256));
      }
  for (const char* sign : {"u", "s"}) {
    SCOPED_TRACE(sign);
    const std::string raw = dir_ + "/ycc.raw", made = dir_ + "/ycc.jp2", sycc = dir_ + "/sycc.jp2";
    const std::string out = dir_ + "/sycc.ppm";
    ASSERT_TRUE(testing::WriteFileBytes(raw, planes.data(), planes.size()));
    ASSERT_TRUE(RunTool("opj_compress -n 3 -mct 0 -i " + raw + " -o " + made + " -F 24,16,3,8," + sign));
    // The colr box's enumerated colour space, set to sYCC by hand.
    std::vector<uint8_t> file = ReadFileBytes(made);
    const char kColr[] = {'c', 'o', 'l', 'r'};
    auto at = std::search(file.begin(), file.end(), kColr, kColr + 4);
    ASSERT_NE(at, file.end());
    ASSERT_EQ(at[4], 1);  // method: enumerated
    at[7] = 0, at[8] = 0, at[9] = 0, at[10] = 18;
    ASSERT_TRUE(testing::WriteFileBytes(sycc, file.data(), file.size()));
    ASSERT_TRUE(RunTool("opj_decompress -i " + sycc + " -o " + out));
    TPnm expect;
    ASSERT_TRUE(ReadPnm(out, expect));
    ASSERT_EQ(expect.Width, w);
    ASSERT_EQ(expect.Channels, 3);

    TResult r;
    Read(file, r);
    ASSERT_FALSE(r.Aborted);
    ASSERT_EQ(r.Bitmap.PixelFormat(), pxBGR24);
    int worst = 0;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x)
        for (int c = 0; c < 3; ++c)
          worst = std::max(worst, std::abs(r.Bitmap.Scanline(y)[3 * x + 2 - c] - static_cast<int>(expect.At(x, y, c))));
    EXPECT_EQ(worst, 0);
  }
}

// ---------------------------------------------------------------- our files

TEST_F(J2000Tools, OurFilesDecodeWithOpjDecompress) {
  const TPnm src = MakeRgbPnm(41, 19);
  TPXBitmap b;
  PnmToBitmap(src, b);
  struct TCase {
    int32_t format;
    uint8_t space;
    const char* ext;
  } cases[] = {{0, 1, "jp2"}, {1, 2, "j2k"}, {0, 0, "jp2"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.ext) + " space " + std::to_string(c.space));
    TIOParamsVals params;
    params.J2000ColorSpace = c.space;
    bool aborted = true;
    const std::vector<uint8_t> bytes = Write(b, params, c.format, &aborted);
    ASSERT_FALSE(aborted);
    const std::string file = dir_ + "/ours." + c.ext, back = dir_ + (c.space ? "/back.ppm" : "/back.pgm");
    ASSERT_TRUE(testing::WriteFileBytes(file, bytes.data(), bytes.size()));
    ASSERT_TRUE(RunTool("opj_decompress -i " + file + " -o " + back));
    TPnm out;
    ASSERT_TRUE(ReadPnm(back, out));
    ASSERT_EQ(out.Width, src.Width);
    ASSERT_EQ(out.Channels, c.space ? 3 : 1);
    for (int32_t y = 0; y < src.Height; ++y)
      for (int32_t x = 0; x < src.Width; ++x) {
        if (c.space) {
          for (int ch = 0; ch < 3; ++ch) ASSERT_EQ(out.At(x, y, ch), src.At(x, y, ch)) << x << "," << y;
        } else {
          const int lum = (src.At(x, y, 0) * 21 + src.At(x, y, 1) * 71 + src.At(x, y, 2) * 8) / 100;
          ASSERT_EQ(out.At(x, y, 0), lum) << x << "," << y;
        }
      }
  }
}

// pxBW1 writes a 1-bit grey image that reads back as pxBW1; a JP2 file and
// the same image as a code stream load identically.
TEST(J2000, BilevelAndFormatsRoundTrip) {
  TPXBitmap bw;
  ASSERT_TRUE(bw.Allocate(21, 9, pxBW1));
  for (int32_t y = 0; y < 9; ++y)
    for (int32_t i = 0; i < 3; ++i) bw.Scanline(y)[i] = static_cast<uint8_t>(0x5A ^ (y * 37 + i * 11));
  TIOParamsVals params;
  params.BitsPerSample = 8;
  params.J2000ColorSpace = 1;  // stale fields: a bilevel image is still 1-bit grey
  TResult jp2, j2k;
  Read(Write(bw, params, 0), jp2);
  Read(Write(bw, params, 1), j2k);
  for (TResult* r : {&jp2, &j2k}) {
    ASSERT_FALSE(r->Aborted);
    ASSERT_EQ(r->Bitmap.PixelFormat(), pxBW1);
    EXPECT_EQ(r->Params.BitsPerSample, 1);
    EXPECT_EQ(r->Params.SamplesPerPixel, 1);
    for (int32_t y = 0; y < 9; ++y) {
      EXPECT_EQ(std::memcmp(r->Bitmap.Scanline(y), bw.Scanline(y), 2), 0) << y;
      EXPECT_EQ(r->Bitmap.Scanline(y)[2] & 0xF8, bw.Scanline(y)[2] & 0xF8) << y;
    }
  }
}

// Bits per sample outside 1..16 write 8 bits; a colour space outside 0..2
// writes RGB; 4-bit white reads 255; rates of 1 and more are lossless, lower
// ones lossy, and 0 writes the smallest file.
TEST(J2000, WriterOptions) {
  TPXBitmap b;
  PnmToBitmap(MakeRgbPnm(64, 48), b);
  std::vector<uint8_t> rgb;
  for (int32_t y = 0; y < b.Height(); ++y)
    for (int32_t x = 0; x < b.Width(); ++x)
      for (int c = 0; c < 3; ++c) rgb.push_back(b.Scanline(y)[3 * x + 2 - c]);
  struct TCase {
    int32_t bits;
    uint8_t space;
    double rate;
    int32_t readBits, readSamples;
    double minPsnr;  // 0: exact
  } cases[] = {
      {0, 1, 1.0, 8, 3, 0},   {32, 2, 5.0, 8, 3, 0}, {8, 9, 1.0, 8, 3, 0},
      {16, 1, 1.0, 16, 3, 0}, {8, 1, 0.1, 8, 3, 15}, {4, 0, 1.0, 4, 1, -1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("bits " + std::to_string(c.bits) + " space " + std::to_string(c.space) + " rate " +
                 std::to_string(c.rate));
    TIOParamsVals params;
    params.BitsPerSample = c.bits;
    params.J2000ColorSpace = c.space;
    params.J2000Rate = c.rate;
    TResult r;
    Read(Write(b, params, 0), r);
    ASSERT_FALSE(r.Aborted);
    EXPECT_EQ(r.Params.BitsPerSample, c.readBits);
    EXPECT_EQ(r.Params.SamplesPerPixel, c.readSamples);
    if (c.minPsnr == 0) {
      EXPECT_EQ(Psnr(r.Bitmap, rgb), 1e9);
    } else if (c.minPsnr > 0) {
      EXPECT_GT(Psnr(r.Bitmap, rgb), c.minPsnr);
    }
  }
  // 4-bit grey: every value is a multiple of 17, white is 255.
  TPXBitmap white;
  ASSERT_TRUE(white.Allocate(8, 8, pxBGR24));
  white.Fill(0xFFFFFF);
  white.Scanline(3)[0] = white.Scanline(3)[1] = white.Scanline(3)[2] = 0;
  TIOParamsVals p4;
  p4.BitsPerSample = 4;
  p4.J2000ColorSpace = 0;
  TResult r4;
  Read(Write(white, p4, 1), r4);
  ASSERT_FALSE(r4.Aborted);
  EXPECT_EQ(r4.Bitmap.Scanline(0)[0], 255);
  EXPECT_EQ(r4.Bitmap.Scanline(3)[0], 0);

  TIOParamsVals lossless, low, zero;
  low.J2000Rate = 0.1;
  zero.J2000Rate = 0;
  const size_t nLossless = Write(b, lossless, 1).size(), nLow = Write(b, low, 1).size();
  bool aborted = true;
  const std::vector<uint8_t> tiny = Write(b, zero, 1, &aborted);
  ASSERT_FALSE(aborted);
  EXPECT_LT(nLow, nLossless / 3);
  EXPECT_LT(tiny.size(), nLow);
  TResult rz;
  Read(tiny, rz);
  EXPECT_FALSE(rz.Aborted);
  EXPECT_EQ(J2000RateToRatio(std::nan("")), J2000RateToRatio(0));
}

TEST(J2000, ParamsOnlyAndOptionsText) {
  TPXBitmap b;
  ASSERT_TRUE(b.Allocate(30, 20, pxBGR24));
  TIOParamsVals params;
  params.BitsPerSample = 12;
  params.J2000ColorSpace = 0;
  TResult r;
  r.Params.PaletteCount = 0;
  Read(Write(b, params, 0), r, true);
  EXPECT_FALSE(r.Aborted);
  EXPECT_EQ(r.Params.Width, 30);
  EXPECT_EQ(r.Params.Height, 20);
  EXPECT_EQ(r.Params.BitsPerSample, 12);
  EXPECT_EQ(r.Params.SamplesPerPixel, 1);
  EXPECT_EQ(r.Bitmap.Width(), 0);  // nothing decoded

  TIOParamsVals o;
  o.J2000Rate = 0.1;
  o.J2000ProgressionOrder = 1;
  EXPECT_EQ(BuildJ2000Options(o), "rate=0.1 prg=rlcp");
  o.J2000Rate = 1;
  o.J2000ProgressionOrder = 0;
  EXPECT_EQ(BuildJ2000Options(o), "rate=1 prg=lrcp");
  o.J2000ProgressionOrder = 4;
  EXPECT_EQ(BuildJ2000Options(o), "rate=1");
}

// A JP2 file put together box by box around a one-component code stream of
// palette indices, with a palette (pclr) of three 8-bit columns and the
// component mapping (cmap) that sends each column to a channel.
std::vector<uint8_t> PaletteJP2(const std::vector<uint8_t>& codeStream, int32_t w, int32_t h,
                                const std::vector<TBGR>& palette) {
  std::vector<uint8_t> out;
  auto u32 = [&](uint32_t v) {
    for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
  };
  auto u16 = [&](uint32_t v) { out.push_back(static_cast<uint8_t>(v >> 8)), out.push_back(static_cast<uint8_t>(v)); };
  auto type = [&](const char* t) { out.insert(out.end(), t, t + 4); };
  u32(12), type("jP  "), u32(0x0D0A870A);
  u32(20), type("ftyp"), type("jp2 "), u32(0), type("jp2 ");
  const uint32_t pclr = 8 + 3 + 3 + static_cast<uint32_t>(palette.size()) * 3, cmap = 8 + 3 * 4;
  u32(8 + 22 + 15 + pclr + cmap), type("jp2h");
  u32(22), type("ihdr"), u32(static_cast<uint32_t>(h)), u32(static_cast<uint32_t>(w)), u16(1);
  out.insert(out.end(), {7, 7, 0, 0});  // 8 bits unsigned, wavelet, colour space known, no IPR
  u32(15), type("colr"), out.insert(out.end(), {1, 0, 0}), u32(16);  // sRGB
  u32(pclr), type("pclr"), u16(static_cast<uint32_t>(palette.size())), out.insert(out.end(), {3, 7, 7, 7});
  for (const TBGR& c : palette) out.insert(out.end(), {c.r, c.g, c.b});
  u32(cmap), type("cmap");
  for (uint8_t column = 0; column < 3; ++column) u16(0), out.insert(out.end(), {1, column});
  u32(8 + static_cast<uint32_t>(codeStream.size())), type("jp2c");
  out.insert(out.end(), codeStream.begin(), codeStream.end());
  return out;
}

TEST(J2000, PaletteFileReportsTheDecodedColourLayout) {
  const std::vector<TBGR> palette = {TBGR{0, 0, 0}, TBGR{30, 200, 10}, TBGR{250, 5, 128}, TBGR{90, 90, 255}};
  const int32_t w = 7, h = 5;
  // The indices as an 8-bit grey code stream (grey values equal to them).
  TPXBitmap indices;
  ASSERT_TRUE(indices.Allocate(w, h, pxBGR24));
  auto index = [](int32_t x, int32_t y) { return static_cast<uint8_t>((x + 2 * y) % 4); };
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) std::memset(indices.Scanline(y) + 3 * x, index(x, y), 3);
  TIOParamsVals grey;
  grey.J2000ColorSpace = 0;
  grey.BitsPerSample = 8;
  const std::vector<uint8_t> file = PaletteJP2(Write(indices, grey, 1), w, h, palette);
  for (const bool paramsOnly : {true, false}) {
    SCOPED_TRACE(paramsOnly ? "parameters only" : "decoded");
    TResult r;
    Read(file, r, paramsOnly);
    ASSERT_FALSE(r.Aborted);
    EXPECT_EQ(r.Params.SamplesPerPixel, 3);
    EXPECT_EQ(r.Params.BitsPerSample, 8);
    if (paramsOnly) continue;
    ASSERT_EQ(r.Bitmap.PixelFormat(), pxBGR24);
    for (int32_t y = 0; y < h; ++y)
      for (int32_t x = 0; x < w; ++x) {
        const uint8_t* p = r.Bitmap.Scanline(y) + 3 * x;
        EXPECT_EQ((TBGR{p[0], p[1], p[2]}), palette[index(x, y)]) << x << "," << y;
      }
  }
}

// ---------------------------------------------------------------- bad input

TEST(J2000, CorruptTruncatedAndSizeBombedInputAbort) {
  TPXBitmap b;
  PnmToBitmap(MakeRgbPnm(40, 30), b);
  TIOParamsVals params;
  for (int32_t format : {0, 1}) {
    const std::vector<uint8_t> good = Write(b, params, format);
    // Truncated anywhere.
    for (size_t cut : {size_t{3}, size_t{11}, size_t{40}, good.size() / 2, good.size() - 3}) {
      TResult r;
      Read(std::vector<uint8_t>(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut)), r);
      EXPECT_TRUE(r.Aborted) << format << " cut " << cut;
    }
    // Bit flips must not crash (the data may still decode).
    for (size_t i = 0; i < good.size(); i += 7) {
      std::vector<uint8_t> bad = good;
      bad[i] ^= static_cast<uint8_t>(1u << (i % 8));
      TResult r;
      Read(bad, r);
    }
    // SIZ claims a huge image: beyond int32, and 40000 x 40000 in one tile
    // (within the codec's limits, beyond the memory budget).
    for (uint32_t side : {0xFFFF7F7Fu, 40000u}) {
      std::vector<uint8_t> bomb = good;
      for (size_t i = 0; i + 30 < bomb.size(); ++i)
        if (bomb[i] == 0xFF && bomb[i + 1] == 0x51) {
          for (size_t field : {6, 10, 22, 26})
            for (int k = 0; k < 4; ++k) bomb[i + field + k] = static_cast<uint8_t>(side >> (24 - 8 * k));
          break;
        }
      TResult r;
      Read(bomb, r, true);
      if (format == 1) {  // JP2 also checks its image header box
        EXPECT_EQ(r.Aborted, side != 40000u);
      }
      Read(bomb, r);
      EXPECT_TRUE(r.Aborted) << format << " " << side;
    }
  }
  TResult none;
  Read({'n', 'o', 't', ' ', 'j', 'p', 'e', 'g', ' ', '2', '0', '0', '0'}, none);
  EXPECT_TRUE(none.Aborted);
}

TEST(J2000, TempStreamLeavesNoFile) {
  const std::string dir = testing::MakeTempDir("tmpstream");
  testing::TempFolderScope scope(dir);
  TPXTmpStream s;
  EXPECT_EQ(s.FileName().rfind(dir + "/pixoran", 0), 0u);
  EXPECT_FALSE(std::ifstream(s.FileName()).good());
  EXPECT_EQ(s.Write("abcd", 4), 4);
  s.SetPosition(0);
  char back[4];
  EXPECT_TRUE(s.ReadExact(back, 4));
  EXPECT_EQ(std::memcmp(back, "abcd", 4), 0);
}

// ---------------------------------------------------------------- through the component

TEST(J2000, ComponentSavesAndDetects) {
  for (int32_t type : {ioJP2, ioJ2K}) {
    TPixoranIO io;
    ASSERT_TRUE(io.PXBitmap()->Allocate(9, 7, pxGray8));  // converted on a copy
    for (int32_t y = 0; y < 7; ++y)
      for (int32_t x = 0; x < 9; ++x) io.PXBitmap()->Scanline(y)[x] = static_cast<uint8_t>(x * 25 + y);
    TMemoryStream ms;
    io.SaveToStream(ms, type);
    ASSERT_FALSE(io.Aborting()) << type;
    EXPECT_EQ(io.PXBitmap()->PixelFormat(), pxGray8);
    TPixoranIO back;
    ms.SetPosition(0);
    back.LoadFromStream(ms);
    ASSERT_FALSE(back.Aborting()) << type;
    EXPECT_EQ(back.Params().FileType, type);
    EXPECT_EQ(back.PXBitmap()->Scanline(6)[3 * 8 + 1], 8 * 25 + 6);
  }
  // By extension: ".jpc" is a code stream.
  const std::string file = testing::MakeTempDir("j2kfile") + "/a.jpc";
  TPixoranIO io;
  ASSERT_TRUE(io.PXBitmap()->Allocate(5, 3, pxBGR24));
  io.SaveToFile(file);
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(testing::ReadFileBytes(file)[1], 0x4F);
  TPixoranIO back;
  back.LoadFromFile(file);
  EXPECT_FALSE(back.Aborting());
  EXPECT_EQ(back.PXBitmap()->Width(), 5);
}

}  // namespace
}  // namespace pixoran
