#include "io/formats/tiff/tiffilt.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "io/iohooks.h"
#include "io/pixoranio.h"
#include "io/pixoranio_codecs.h"
#include "io/pxformats.h"
#include "io/formats/tiff/tifccitt.h"
#include "io/formats/tiff/tiflzw.h"
#include "platform/streams.h"
#include "testsupport.h"

namespace pixoran {
namespace {

using Bytes = std::vector<uint8_t>;

// ------------------------------------------------------------------ helpers

bool HaveTools() { return std::system("which tiffcp fax2tiff pnmtotiff pamtotiff tiffset > /dev/null 2>&1") == 0; }

#define REQUIRE_TOOLS() \
  if (!HaveTools()) GTEST_SKIP() << "libtiff-tools and netpbm are not installed"

void Shell(const std::string& cmd) { ASSERT_EQ(std::system((cmd + " 2>/dev/null").c_str()), 0) << cmd; }

Bytes ReadAll(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}
void WriteAll(const std::string& path, const Bytes& b) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

// A test image: samples per pixel 1 (grey), 3 (RGB) or 4 (RGBA), 8 or 16
// bits, smooth ramps with noise so every codec has something to do.
struct TImage {
  int32_t w = 0, h = 0, spp = 3, bits = 8;
  std::vector<uint32_t> v;  // samples, row by row
  uint32_t At(int32_t x, int32_t y, int s) const { return v[(static_cast<size_t>(y) * w + x) * spp + s]; }
};

TImage MakeImage(int32_t w, int32_t h, int spp, int bits, uint32_t seed) {
  TImage im{w, h, spp, bits, {}};
  std::mt19937 rng(seed);
  const uint32_t max = (1u << bits) - 1;
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      for (int s = 0; s < spp; ++s) {
        const double ramp = (s % 2 ? x : y) / double(s % 2 ? w : h);
        im.v.push_back(std::min<uint32_t>(max, static_cast<uint32_t>(ramp * max) + (rng() % 7) * (max / 255 + 1)));
      }
  return im;
}

void WritePNM(const std::string& path, const TImage& im) {
  std::string head;
  if (im.spp == 4)
    head = "P7\nWIDTH " + std::to_string(im.w) + "\nHEIGHT " + std::to_string(im.h) + "\nDEPTH 4\nMAXVAL " +
           std::to_string((1u << im.bits) - 1) + "\nTUPLTYPE RGB_ALPHA\nENDHDR\n";
  else
    head = std::string(im.spp == 1 ? "P5" : "P6") + "\n" + std::to_string(im.w) + " " + std::to_string(im.h) + "\n" +
           std::to_string((1u << im.bits) - 1) + "\n";
  Bytes b(head.begin(), head.end());
  for (uint32_t s : im.v) {
    if (im.bits == 16) b.push_back(static_cast<uint8_t>(s >> 8));
    b.push_back(static_cast<uint8_t>(s));
  }
  WriteAll(path, b);
}

// A bilevel image, 1 = black as in PBM.
struct TBilevel {
  int32_t w, h;
  std::vector<uint8_t> black;  // one per pixel
};

TBilevel MakeBilevel(int32_t w, int32_t h, uint32_t seed) {
  TBilevel b{w, h, {}};
  std::mt19937 rng(seed);
  for (int32_t y = 0; y < h; ++y) {
    int colour = y % 3 == 0;  // some rows start black
    for (int32_t x = 0; x < w;) {
      const int32_t run = 1 + static_cast<int32_t>(rng() % (y % 5 == 0 ? 300 : 12));
      for (int32_t i = x; i < std::min(w, x + run); ++i) b.black.push_back(static_cast<uint8_t>(colour));
      x += run;
      colour ^= 1;
    }
  }
  return b;
}

void WritePBM(const std::string& path, const TBilevel& b) {
  std::string head = "P4\n" + std::to_string(b.w) + " " + std::to_string(b.h) + "\n";
  Bytes out(head.begin(), head.end());
  for (int32_t y = 0; y < b.h; ++y)
    for (int32_t x = 0; x < b.w; x += 8) {
      uint8_t v = 0;
      for (int32_t i = 0; i < 8 && x + i < b.w; ++i) v |= b.black[y * b.w + x + i] << (7 - i);
      out.push_back(v);
    }
  WriteAll(path, out);
}

struct TDecoded {
  TPXBitmap bitmap;
  TPXBitmap alpha;
  TIOParamsVals params;
  bool aborted = false;
  int32_t pages = 0;
  TPXIOResultRec result;  // why it failed
};

void Decode(const Bytes& file, TDecoded& out, int32_t page = 0, bool native = false, bool orient = false,
            bool paramsOnly = false) {
  TReadOnlyMemoryStream ms(file.data(), static_cast<int64_t>(file.size()));
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  progress.Result = &out.result;
  out.params.TIFFImageIndex = page;
  out.params.KeepNativeFormat = native;
  out.params.TIFFApplyOrientation = orient;
  ReadTIFFStream(&out.bitmap, ms, out.pages, false, false, true, &out.alpha, paramsOnly, progress, &out.params);
  out.aborted = aborting;
}

// Exact colour (8 bits: the sample; 16 bits: its high byte) of every pixel.
void ExpectPixels(TPXBitmap& b, const TImage& im, int tolerance = 0) {
  ASSERT_EQ(b.Width(), im.w);
  ASSERT_EQ(b.Height(), im.h);
  const int shift = im.bits - 8;
  int worst = 0;
  for (int32_t y = 0; y < im.h; ++y) {
    const uint8_t* r = b.Scanline(y);
    for (int32_t x = 0; x < im.w; ++x) {
      for (int c = 0; c < 3; ++c) {
        const int want = static_cast<int>(im.At(x, y, im.spp == 1 ? 0 : c) >> shift);
        const int got = b.PixelFormat() == pxGray8 ? r[x] : r[x * 3 + 2 - c];
        worst = std::max(worst, std::abs(want - got));
        if (tolerance == 0) {
          ASSERT_EQ(got, want) << "pixel " << x << "," << y << " channel " << c;
        }
      }
    }
  }
  EXPECT_LE(worst, tolerance);
}

void ExpectBilevel(TPXBitmap& b, const TBilevel& im, int32_t extraRows = 0) {
  ASSERT_EQ(b.PixelFormat(), pxBW1);
  ASSERT_EQ(b.Width(), im.w);
  ASSERT_GE(b.Height(), im.h);
  ASSERT_LE(b.Height(), im.h + extraRows);
  for (int32_t y = 0; y < im.h; ++y) {
    const uint8_t* r = b.Scanline(y);
    for (int32_t x = 0; x < im.w; ++x) {
      const bool white = (r[x >> 3] >> (7 - (x & 7))) & 1;
      ASSERT_NE(white, im.black[y * im.w + x] != 0) << "pixel " << x << "," << y;
    }
  }
}

class TiffFiles : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::MakeTempDir("tiff"); }
  std::string P(const std::string& name) const { return dir_ + "/" + name; }
  std::string dir_;
};

// ------------------------------------------------------------------ files by libtiff

TEST_F(TiffFiles, ColourAndGreyVariantsDecodeExactly) {
  REQUIRE_TOOLS();
  const char* variants[] = {"-c none",
                            "-c lzw",
                            "-c lzw:2",
                            "-c zip:2",
                            "-c packbits",
                            "-r 7 -c lzw:2",
                            "-t -w 16 -l 32 -c lzw:2",
                            "-t -w 32 -l 16",
                            "-p separate -c lzw:2",
                            "-p separate -r 5",
                            "-B -c lzw:2",
                            "-B -p separate -c zip:2",
                            "-B -t -w 16 -l 16 -c packbits"};
  struct Source {
    int spp, bits;
  } sources[] = {{3, 8}, {1, 8}, {3, 16}, {1, 16}};
  for (const auto& s : sources) {
    const TImage im = MakeImage(45, 37, s.spp, s.bits, s.spp * 100 + s.bits);
    WritePNM(P("src.pnm"), im);
    Shell("pnmtotiff -truecolor -none " + P("src.pnm") + " > " + P("base.tif"));
    for (const char* v : variants) {
      // tiffcp changes the planar configuration of 8-bit samples only.
      if (s.bits == 16 && std::strstr(v, "separate")) continue;
      SCOPED_TRACE(::testing::Message() << s.spp << "x" << s.bits << " " << v);
      Shell(std::string("tiffcp ") + v + " " + P("base.tif") + " " + P("v.tif"));
      TDecoded d;
      Decode(ReadAll(P("v.tif")), d, 0, true);
      ASSERT_FALSE(d.aborted);
      if (s.spp == 1 && s.bits == 16) {
        // Native 16-bit grey keeps the samples.
        ASSERT_EQ(d.bitmap.PixelFormat(), pxGray16);
        for (int32_t y = 0; y < im.h; ++y)
          for (int32_t x = 0; x < im.w; ++x) {
            const uint8_t* r = d.bitmap.Scanline(y) + x * 2;
            ASSERT_EQ(r[0] | (r[1] << 8), static_cast<int>(im.At(x, y, 0)));
          }
        // Otherwise 12-bit values, saturating above.
        TDecoded g;
        Decode(ReadAll(P("v.tif")), g);
        for (int32_t y = 0; y < im.h; ++y)
          for (int32_t x = 0; x < im.w; ++x)
            ASSERT_EQ(g.bitmap.Scanline(y)[x * 3], std::min<uint32_t>(255, im.At(x, y, 0) >> 4));
        continue;
      }
      ExpectPixels(d.bitmap, im);
    }
  }
}

TEST_F(TiffFiles, AlphaAndPaletteAndSmallSamples) {
  REQUIRE_TOOLS();
  // RGBA: the fourth sample is the transparency map.
  const TImage rgba = MakeImage(21, 13, 4, 8, 5);
  WritePNM(P("a.pam"), rgba);
  Shell("pamtotiff " + P("a.pam") + " > " + P("a0.tif"));
  Shell("tiffcp -c lzw:2 " + P("a0.tif") + " " + P("a.tif"));
  TDecoded d;
  Decode(ReadAll(P("a.tif")), d);
  ASSERT_FALSE(d.aborted);
  ExpectPixels(d.bitmap, rgba);
  ASSERT_EQ(d.alpha.Width(), 21);
  for (int32_t y = 0; y < rgba.h; ++y)
    for (int32_t x = 0; x < rgba.w; ++x) ASSERT_EQ(d.alpha.Scanline(y)[x], rgba.At(x, y, 3));

  // Few colours: a palette image; 4-bit and 2-bit grey stretched to bytes.
  TImage pal = MakeImage(19, 11, 3, 8, 1);
  for (auto& v : pal.v) v = (v / 64) * 85;  // 4 levels per channel
  WritePNM(P("p.ppm"), pal);
  Shell("pnmtotiff -lzw " + P("p.ppm") + " > " + P("p.tif"));
  TDecoded n;
  Decode(ReadAll(P("p.tif")), n, 0, true);
  ASSERT_FALSE(n.aborted);
  EXPECT_EQ(n.params.TIFFPhotometric, 3);
  EXPECT_EQ(n.bitmap.PixelFormat(), pxPal8);
  n.bitmap.ConvertPixelFormat(pxBGR24);
  ExpectPixels(n.bitmap, pal);

  for (int levels : {4, 16}) {
    TImage g = MakeImage(23, 9, 1, 8, levels);
    for (auto& v : g.v) v = (v * levels / 256) * 255 / (levels - 1);
    WritePNM(P("g.pgm"), g);
    const std::string maxval = std::to_string(levels - 1);
    Shell("pamdepth " + maxval + " " + P("g.pgm") + " | pnmtotiff -none > " + P("g.tif"));
    TDecoded gd;
    Decode(ReadAll(P("g.tif")), gd);
    ASSERT_FALSE(gd.aborted) << levels;
    EXPECT_EQ(gd.params.BitsPerSample, levels == 4 ? 2 : 4);
    ExpectPixels(gd.bitmap, g);
  }
}

TEST_F(TiffFiles, BilevelCompressionsAndFillOrders) {
  REQUIRE_TOOLS();
  const TBilevel im = MakeBilevel(203, 61, 9);
  WritePBM(P("b.pbm"), im);
  Shell("pnmtotiff -none " + P("b.pbm") + " > " + P("w.tif"));
  Shell("pnmtotiff -none -minisblack " + P("b.pbm") + " > " + P("k.tif"));
  const char* variants[] = {"-c none",    "-c lzw",        "-c packbits", "-c zip",           "-c g3",
                            "-c g3:2d",   "-c g3:2d:fill", "-c g4",       "-f lsb2msb -c g4", "-f lsb2msb -c g3:2d",
                            "-r 9 -c g4", "-B -c g3"};
  for (const char* base : {"w.tif", "k.tif"})
    for (const char* v : variants) {
      SCOPED_TRACE(::testing::Message() << base << " " << v);
      Shell(std::string("tiffcp ") + v + " " + P(base) + " " + P("v.tif"));
      TDecoded d;
      Decode(ReadAll(P("v.tif")), d);
      ASSERT_FALSE(d.aborted);
      ExpectBilevel(d.bitmap, im);
    }
}

// 16-bit RGBA with the predictor, Deflate-coded by tiffcp: colour and the
// alpha's high byte exact (the predictor's row and the colour conversion
// use separate buffers; the sanitizer run checks they never overlap).
TEST_F(TiffFiles, SixteenBitRGBAWithPredictor) {
  REQUIRE_TOOLS();
  const TImage im = MakeImage(29, 17, 4, 16, 12);
  WritePNM(P("a.pam"), im);
  Shell("pamtotiff " + P("a.pam") + " > " + P("a0.tif"));
  for (const char* v : {"-c zip:2", "-c lzw:2"}) {
    SCOPED_TRACE(v);
    Shell(std::string("tiffcp ") + v + " " + P("a0.tif") + " " + P("a.tif"));
    ASSERT_EQ(std::system(("tiffinfo " + P("a.tif") + " | grep -q 'Predictor: horizontal differencing'").c_str()), 0);
    TDecoded d;
    Decode(ReadAll(P("a.tif")), d);
    ASSERT_FALSE(d.aborted);
    ExpectPixels(d.bitmap, im);
    ASSERT_EQ(d.alpha.Width(), im.w);
    for (int32_t y = 0; y < im.h; ++y)
      for (int32_t x = 0; x < im.w; ++x) ASSERT_EQ(d.alpha.Scanline(y)[x], im.At(x, y, 3) >> 8);
  }
}

// A Group 3 2-D strip as libtiff codes it (every fourth row 1-D at 300 dpi)
// with one 2-D row damaged by a code that matches no mode: that row ends at
// the next EOL, and every row from the next 1-D row on decodes exactly
// (rows coded against the damaged one may not).
TEST_F(TiffFiles, DamagedGroup3RowResynchronises) {
  REQUIRE_TOOLS();
  const TBilevel im = MakeBilevel(203, 40, 21);
  WritePBM(P("b.pbm"), im);
  Shell("pnmtotiff -none -xresolution 300 -yresolution 300 " + P("b.pbm") + " > " + P("w.tif"));
  Shell("tiffcp -r 1000 -c g3:2d " + P("w.tif") + " " + P("g3.tif"));
  Bytes file = ReadAll(P("g3.tif"));
  TDecoded clean;
  Decode(file, clean);
  ASSERT_FALSE(clean.aborted);
  ExpectBilevel(clean.bitmap, im);
  // The strip, and where each row's EOL starts in it.
  ASSERT_GE(file.size(), 8u);
  ASSERT_EQ(file[0], 'I');
  auto u16 = [&](size_t o) { return static_cast<uint32_t>(file[o] | file[o + 1] << 8); };
  auto u32 = [&](size_t o) { return u16(o) | u16(o + 2) << 16; };
  const uint32_t ifd = u32(4);
  uint32_t offset = 0, count = 0;
  for (uint32_t i = 0; i < u16(ifd); ++i) {
    const size_t e = ifd + 2 + i * 12;
    const uint32_t v = u16(e + 2) == 3 ? u16(e + 8) : u32(e + 8);
    if (u16(e) == 273) offset = v;
    if (u16(e) == 279) count = v;
  }
  ASSERT_GT(count, 0u);
  std::vector<int64_t> starts;
  Bytes row((im.w + 7) / 8), ref(row.size(), 0xFF);
  int64_t bit = 0;
  for (int32_t y = 0; y < im.h; ++y) {
    starts.push_back(bit);
    bit = DecodeCCITTRow2D(row.data(), file.data() + offset, count, true, 1, bit, ref.data(), im.w);
  }
  auto bitAt = [&](int64_t b) { return (file[offset + b / 8] >> (7 - b % 8)) & 1; };
  const int damaged = 5, next1D = 8;
  ASSERT_EQ(bitAt(starts[damaged] + 12), 0);  // a 2-D row
  ASSERT_EQ(bitAt(starts[next1D] + 12), 1);   // a 1-D row
  const char* code = "0000001000";
  for (int i = 0; i < 10; ++i) {
    const int64_t b = starts[damaged] + 13 + i;
    uint8_t& byte = file[offset + b / 8];
    const uint8_t m = static_cast<uint8_t>(0x80 >> (b % 8));
    byte = code[i] == '1' ? (byte | m) : (byte & ~m);
  }
  TDecoded d;
  Decode(file, d);
  ASSERT_FALSE(d.aborted);
  for (int32_t y = 0; y < im.h; ++y) {
    if (y >= damaged && y < next1D) continue;
    ASSERT_EQ(std::memcmp(d.bitmap.Scanline(y), clean.bitmap.Scanline(y), im.w / 8), 0) << "row " << y;
  }
}

TEST_F(TiffFiles, OurFaxDataReadByLibtiff) {
  REQUIRE_TOOLS();
  // Rows coded by our encoder, decoded by fax2tiff into a TIFF of its own
  // (Group 3 2-D, Group 4 or uncompressed), read back.
  const TBilevel im = MakeBilevel(1728, 40, 4);
  std::vector<Bytes> rows(im.h, Bytes((im.w + 7) / 8));
  for (int32_t y = 0; y < im.h; ++y)
    for (int32_t x = 0; x < im.w; ++x)
      if (im.black[y * im.w + x]) rows[y][x >> 3] |= 0x80 >> (x & 7);
  struct Case {
    TCCITTScheme scheme;
    const char* in;
  } cases[] = {{TCCITTScheme::G3_2D, "-3 -2"}, {TCCITTScheme::G4, "-4"}};
  for (const auto& c : cases)
    for (const char* out : {"-6", "-8", "-u"}) {
      SCOPED_TRACE(::testing::Message() << c.in << " " << out);
      Bytes data;
      EncodeCCITTPage(
          c.scheme, im.w, im.h, [&](int32_t y) { return rows[y].data(); }, false, data);
      WriteAll(P("raw.fax"), data);
      Shell(std::string("fax2tiff -M ") + c.in + " " + out + " -X 1728 -o " + P("f.tif") + " " + P("raw.fax"));
      TDecoded d;
      Decode(ReadAll(P("f.tif")), d);
      ASSERT_FALSE(d.aborted);
      // fax2tiff, not knowing the height, may count the end-of-page codes as a row.
      ExpectBilevel(d.bitmap, im, 1);
    }
}

TEST_F(TiffFiles, JPEGStripsMatchLibtiffsOwnDecoding) {
  REQUIRE_TOOLS();
  const TImage im = MakeImage(70, 50, 3, 8, 77);
  WritePNM(P("src.ppm"), im);
  Shell("pnmtotiff -truecolor -none " + P("src.ppm") + " > " + P("base.tif"));
  for (const char* v : {"-r 64 -c jpeg:90", "-r 16 -c jpeg:90", "-t -w 32 -l 32 -c jpeg:90", "-r 32 -c jpeg:r:90"}) {
    SCOPED_TRACE(v);
    Shell(std::string("tiffcp ") + v + " " + P("base.tif") + " " + P("j.tif"));
    // libtiff's decoding of the same file, as RGB.
    Shell("tiffcp -c none -p contig " + P("j.tif") + " " + P("ref.tif") + " || true");
    Shell("tiff2rgba " + P("j.tif") + " " + P("ref.tif"));
    TDecoded ref, d;
    Decode(ReadAll(P("ref.tif")), ref);
    Decode(ReadAll(P("j.tif")), d);
    ASSERT_FALSE(ref.aborted);
    ASSERT_FALSE(d.aborted);
    ASSERT_EQ(d.bitmap.Width(), im.w);
    ASSERT_EQ(d.bitmap.Height(), im.h);
    // Same codec family, possibly other upsampling: within 3 levels.
    int worst = 0;
    for (int32_t y = 0; y < im.h; ++y)
      for (int32_t x = 0; x < im.w * 3; ++x)
        worst = std::max(worst, std::abs(d.bitmap.Scanline(y)[x] - ref.bitmap.Scanline(y)[x]));
    EXPECT_LE(worst, 3);
    // And near the original (tiles: libtiff's own decoding strays as far).
    if (!std::strstr(v, "-t")) ExpectPixels(d.bitmap, im, 24);
  }
}

TEST_F(TiffFiles, PagesAndOrientation) {
  REQUIRE_TOOLS();
  const TImage rgb = MakeImage(30, 20, 3, 8, 3), grey = MakeImage(17, 25, 1, 8, 4);
  const TBilevel bw = MakeBilevel(50, 10, 5);
  WritePNM(P("a.ppm"), rgb);
  WritePNM(P("b.pgm"), grey);
  WritePBM(P("c.pbm"), bw);
  Shell("pnmtotiff -truecolor -lzw " + P("a.ppm") + " > " + P("a.tif"));
  Shell("pnmtotiff -lzw " + P("b.pgm") + " > " + P("b.tif"));
  Shell("pnmtotiff -g4 " + P("c.pbm") + " > " + P("c.tif"));
  Shell("tiffcp " + P("a.tif") + " " + P("b.tif") + " " + P("c.tif") + " " + P("m.tif"));
  const Bytes multi = ReadAll(P("m.tif"));
  TReadOnlyMemoryStream ms(multi.data(), static_cast<int64_t>(multi.size()));
  EXPECT_EQ(TIFFPageCount(ms), 3);
  EXPECT_EQ(ms.Position(), 0);
  TDecoded p0, p1, p2, p3;
  Decode(multi, p0, 0);
  ExpectPixels(p0.bitmap, rgb);
  Decode(multi, p1, 1);
  ExpectPixels(p1.bitmap, grey);
  Decode(multi, p2, 2);
  ExpectBilevel(p2.bitmap, bw);
  EXPECT_EQ(p2.params.TIFFImageCount, 3);
  Decode(multi, p3, 3);
  EXPECT_TRUE(p3.aborted);

  // Every orientation, applied, gives the upright image; the record follows.
  for (int o = 1; o <= 8; ++o) {
    SCOPED_TRACE(o);
    Shell("cp " + P("a.tif") + " " + P("o.tif") + " && tiffset -s 274 " + std::to_string(o) + " " + P("o.tif"));
    TDecoded d;
    Decode(ReadAll(P("o.tif")), d, 0, false, true);
    ASSERT_FALSE(d.aborted);
    const bool turned = o >= 5;
    ASSERT_EQ(d.bitmap.Width(), turned ? rgb.h : rgb.w);
    EXPECT_EQ(d.params.Width, d.bitmap.Width());
    EXPECT_EQ(d.params.TIFFOrientation, 1);
    for (int32_t y = 0; y < d.bitmap.Height(); ++y)
      for (int32_t x = 0; x < d.bitmap.Width(); ++x) {
        // Where the displayed pixel (x, y) is stored, by the tag's meaning.
        int32_t sx = x, sy = y;
        const int32_t W = d.bitmap.Width(), H = d.bitmap.Height();
        switch (o) {
          case 2: sx = W - 1 - x; break;
          case 3: sx = W - 1 - x, sy = H - 1 - y; break;
          case 4: sy = H - 1 - y; break;
          case 5: sx = y, sy = x; break;
          case 6: sx = y, sy = W - 1 - x; break;
          case 7: sx = H - 1 - y, sy = W - 1 - x; break;
          case 8: sx = H - 1 - y, sy = x; break;
        }
        ASSERT_EQ(d.bitmap.Scanline(y)[x * 3 + 2], rgb.At(sx, sy, 0)) << x << "," << y;
      }
    TDecoded stored;
    Decode(ReadAll(P("o.tif")), stored);
    EXPECT_EQ(stored.params.TIFFOrientation, o);
    ExpectPixels(stored.bitmap, rgb);
  }
}

// ------------------------------------------------------------------ files built by hand

// A little- or big-endian TIFF with one directory and its data.
struct TTiffBuilder {
  bool big = false;
  struct Entry {
    uint16_t tag, type;
    uint32_t count;
    Bytes value;  // in file order
  };
  std::vector<Entry> entries;
  Bytes data;  // placed right after the header; offsets given relative to 8

  void Put16(Bytes& b, uint32_t v) const {
    if (big) b.push_back(static_cast<uint8_t>(v >> 8)), b.push_back(static_cast<uint8_t>(v));
    else b.push_back(static_cast<uint8_t>(v)), b.push_back(static_cast<uint8_t>(v >> 8));
  }
  void Put32(Bytes& b, uint32_t v) const {
    if (big) Put16(b, v >> 16), Put16(b, v & 0xFFFF);
    else Put16(b, v & 0xFFFF), Put16(b, v >> 16);
  }
  void Short(uint16_t tag, std::initializer_list<uint32_t> v) {
    Bytes b;
    for (uint32_t x : v) Put16(b, x);
    entries.push_back({tag, 3, static_cast<uint32_t>(v.size()), b});
  }
  void Long(uint16_t tag, std::initializer_list<uint32_t> v) {
    Bytes b;
    for (uint32_t x : v) Put32(b, x);
    entries.push_back({tag, 4, static_cast<uint32_t>(v.size()), b});
  }
  void Rational(uint16_t tag, uint32_t n, uint32_t d) {
    Bytes b;
    Put32(b, n), Put32(b, d);
    entries.push_back({tag, 5, 1, b});
  }
  // The file; nextIFD: the next directory's offset (0: none; -1: itself).
  Bytes Build(int64_t nextIFD = 0) const {
    Bytes f = big ? Bytes{'M', 'M', 0, 42} : Bytes{'I', 'I', 42, 0};
    const uint32_t ifd = static_cast<uint32_t>(8 + data.size() + (data.size() & 1));
    Put32(f, ifd);
    f.insert(f.end(), data.begin(), data.end());
    if (data.size() & 1) f.push_back(0);
    uint32_t extra = ifd + 2 + static_cast<uint32_t>(entries.size()) * 12 + 4;
    Bytes tail;
    Put16(f, static_cast<uint32_t>(entries.size()));
    for (const auto& e : entries) {
      Put16(f, e.tag), Put16(f, e.type), Put32(f, e.count);
      if (e.value.size() <= 4) {
        Bytes v = e.value;
        v.resize(4, 0);
        f.insert(f.end(), v.begin(), v.end());
      } else {
        Put32(f, extra + static_cast<uint32_t>(tail.size()));
        tail.insert(tail.end(), e.value.begin(), e.value.end());
      }
    }
    Put32(f, nextIFD < 0 ? ifd : static_cast<uint32_t>(nextIFD));
    f.insert(f.end(), tail.begin(), tail.end());
    return f;
  }
};

// w x h 8-bit grey, one uncompressed strip of the given bytes.
TTiffBuilder GreyTiff(int32_t w, int32_t h, const Bytes& pixels, bool big = false) {
  TTiffBuilder t;
  t.big = big;
  t.data = pixels;
  t.Long(256, {static_cast<uint32_t>(w)});
  t.Long(257, {static_cast<uint32_t>(h)});
  t.Short(258, {8});
  t.Short(259, {1});
  t.Short(262, {1});
  t.Long(273, {8});
  t.Short(277, {1});
  t.Long(279, {static_cast<uint32_t>(pixels.size())});
  return t;
}

TEST(TiffReader, ByteOrdersAgreeAndRecordIsFilled) {
  Bytes px(6 * 4);
  for (size_t i = 0; i < px.size(); ++i) px[i] = static_cast<uint8_t>(i * 10);
  for (bool big : {false, true}) {
    TTiffBuilder t = GreyTiff(6, 4, px, big);
    t.Short(296, {3});
    t.Rational(282, 100, 1);
    t.Rational(283, 200, 0);  // a zero denominator counts as 1
    TDecoded d;
    Decode(t.Build(), d);
    ASSERT_FALSE(d.aborted);
    EXPECT_EQ(d.params.DpiX, 254);
    EXPECT_EQ(d.params.DpiY, 508);
    EXPECT_EQ(d.pages, 1);
    for (int32_t y = 0; y < 4; ++y)
      for (int32_t x = 0; x < 6; ++x) ASSERT_EQ(d.bitmap.Scanline(y)[x * 3], px[y * 6 + x]);
  }
  // No resolution: the library default.
  TDecoded d;
  Decode(GreyTiff(6, 4, px).Build(), d);
  EXPECT_EQ(d.params.DpiX, 300);

  // An EXIF directory after the pixels: ISO speed 200 inline.
  Bytes withExif = px;
  const Bytes exif = {1, 0, 0x27, 0x88, 3, 0, 1, 0, 0, 0, 200, 0, 0, 0, 0, 0, 0, 0};
  withExif.insert(withExif.end(), exif.begin(), exif.end());
  TTiffBuilder t = GreyTiff(6, 4, withExif);
  t.Long(34665, {static_cast<uint32_t>(8 + px.size())});
  TDecoded e;
  Decode(t.Build(), e);
  EXPECT_FALSE(e.aborted);
  EXPECT_EQ(e.params.HasEXIFData, 1);
  EXPECT_EQ(e.params.EXIFISOSpeedRatings[0], 200);
}

TEST(TiffReader, BadStructuresEndCleanly) {
  const Bytes px(64, 7);
  struct Case {
    const char* name;
    std::function<Bytes()> build;
    bool aborts;
    TPXIOResult kind;  // the reason recorded
  } cases[] = {
      {"directory pointing at itself", [&] { return GreyTiff(8, 8, px).Build(-1); }, false, iorOk},
      {"bad byte order",
       [&] {
         Bytes b = GreyTiff(8, 8, px).Build();
         b[0] = 'X';
         return b;
       },
       true, iorCorrupt},
      {"strip offsets count far past the file",
       [&] {
         TTiffBuilder t = GreyTiff(8, 8, px);
         t.entries[5].count = 0x40000000;
         return t.Build();
       },
       false, iorOk},
      {"size bomb", [&] { return GreyTiff(60000, 60000, px).Build(); }, true, iorTooLarge},
      {"zero tile width",
       [&] {
         TTiffBuilder t = GreyTiff(8, 8, px);
         t.Long(322, {0});
         t.Long(323, {16});
         return t.Build();
       },
       true, iorCorrupt},
      {"predictor 3",
       [&] {
         TTiffBuilder t = GreyTiff(8, 8, px);
         t.entries[3] = {259, 3, 1, {5, 0}};
         t.Short(317, {3});
         return t.Build();
       },
       true, iorUnsupported},
      {"12-bit samples",
       [&] {
         TTiffBuilder t = GreyTiff(8, 8, px);
         t.entries[2] = {258, 3, 1, {12, 0}};
         return t.Build();
       },
       true, iorUnsupported},
      {"unequal bits per sample",
       [&] {
         TTiffBuilder t = GreyTiff(8, 8, px);
         t.entries[2] = {258, 3, 3, {8, 0, 8, 0, 4, 0}};
         return t.Build();
       },
       true, iorUnsupported},
      {"unknown compression",
       [&] {
         TTiffBuilder t = GreyTiff(8, 8, px);
         t.entries[3] = {259, 3, 1, {0x39, 0x30}};
         return t.Build();
       },
       true, iorUnsupported},
      {"palette without colour map",
       [&] {
         TTiffBuilder t = GreyTiff(8, 8, px);
         t.entries[4] = {262, 3, 1, {3, 0}};
         return t.Build();
       },
       false, iorOk},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes file = c.build();
    TDecoded d;
    Decode(file, d);
    EXPECT_EQ(d.aborted, c.aborts);
    EXPECT_EQ(d.result.Kind, c.kind) << d.result.Text;
    if (c.kind != iorOk) {
      EXPECT_EQ(d.result.Text.rfind("TIFF: ", 0), 0u) << d.result.Text;
    }
    // Parameters and the page count still answer for pages we cannot decode.
    TDecoded p;
    Decode(file, p, 0, false, false, true);
    const std::string name = c.name;
    EXPECT_EQ(p.aborted, name == "bad byte order" || name == "unequal bits per sample");
    // Every truncation ends without a crash.
    for (size_t n = 0; n < file.size(); n += 3) {
      TDecoded t;
      Decode(Bytes(file.begin(), file.begin() + n), t);
    }
  }
  // A palette page without a colour map reads as a grey ramp.
  TTiffBuilder t = GreyTiff(8, 8, px);
  t.entries[4] = {262, 3, 1, {3, 0}};
  TDecoded d;
  Decode(t.Build(), d);
  EXPECT_EQ(d.bitmap.Scanline(0)[0], 7);
}

// A palette page with a second sample, LZW-coded, as office software writes
// them, and a grey one: declared alpha (ExtraSamples 1 or 2) is the mask as
// stored, an undeclared second sample is taken as transparency (255 minus
// it).
TEST(TiffReader, SecondSampleAlpha) {
  const int32_t w = 7, h = 3;
  Bytes raw;
  for (int32_t i = 0; i < w * h; ++i)
    raw.push_back(static_cast<uint8_t>(i % 4)), raw.push_back(static_cast<uint8_t>(i * 12));
  TMemoryStream lzw;
  TTIFFLZWState* state = nullptr;
  TIFFLZWCompress(raw.data(), static_cast<int32_t>(raw.size()), lzw, state);
  TIFFLZWCompress(nullptr, 0, lzw, state);
  struct Case {
    int photometric, extra;  // extra -1: no ExtraSamples tag
    bool inverted;
  } cases[] = {{3, 2, false}, {3, 1, false}, {3, 0, true}, {3, -1, true}, {1, 2, false}, {1, 1, false}, {1, -1, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "photometric " << c.photometric << " extra " << c.extra);
    TTiffBuilder t;
    t.data = lzw.Bytes();
    t.Long(256, {static_cast<uint32_t>(w)});
    t.Long(257, {static_cast<uint32_t>(h)});
    t.Short(258, {8, 8});
    t.Short(259, {5});
    t.Short(262, {static_cast<uint32_t>(c.photometric)});
    t.Long(273, {8});
    t.Short(277, {2});
    t.Long(279, {static_cast<uint32_t>(t.data.size())});
    if (c.photometric == 3) {
      Bytes map;
      for (int ch = 0; ch < 3; ++ch)
        for (int i = 0; i < 256; ++i) t.Put16(map, static_cast<uint32_t>((i * 40 + ch * 70) % 256) * 257);
      t.entries.push_back({320, 3, 768, map});
    }
    if (c.extra >= 0) t.Short(338, {static_cast<uint32_t>(c.extra)});
    TDecoded d;
    Decode(t.Build(), d);
    ASSERT_FALSE(d.aborted);
    ASSERT_EQ(d.alpha.Width(), w);
    for (int32_t i = 0; i < w * h; ++i) {
      const uint8_t stored = raw[i * 2 + 1];
      ASSERT_EQ(d.alpha.Scanline(i / w)[i % w], c.inverted ? 255 - stored : stored) << i;
    }
  }
}

// A page whose sides multiply past 64 bits is refused against the pixel
// bound without overflowing (the sanitizer run checks the arithmetic).
TEST(TiffReader, HugeSidesAgainstThePixelBound) {
  TTiffBuilder t = GreyTiff(8, 8, Bytes(64, 7));
  t.entries[0] = {256, 4, 1, {0xFF, 0xFF, 0xFF, 0xFF}};
  t.entries[1] = {257, 4, 1, {0xFF, 0xFF, 0xFF, 0xFF}};
  const Bytes file = t.Build();
  TReadOnlyMemoryStream ms(file.data(), static_cast<int64_t>(file.size()));
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TPXBitmap bitmap;
  TIOParamsVals params;
  params.TIFFImageIndex = 0;
  int32_t pages = 0;
  ReadTIFFStream(&bitmap, ms, pages, true, true, true, nullptr, false, progress, &params, 0, 1000);
  EXPECT_TRUE(aborting);
  EXPECT_EQ(bitmap.Width(), 0);
}

TEST_F(TiffFiles, ThroughTheIOComponent) {
  REQUIRE_TOOLS();
  const TImage im = MakeImage(33, 22, 3, 8, 8);
  WritePNM(P("a.ppm"), im);
  Shell("pnmtotiff -truecolor -lzw -predictor 2 " + P("a.ppm") + " > " + P("a.tif"));
  Shell("tiffcp " + P("a.tif") + " " + P("a.tif") + " " + P("two.tif"));
  {
    TPixoranIO io;
    io.LoadFromFile(P("a.tif"));
    EXPECT_FALSE(io.Aborting());
    ExpectPixels(*io.PXBitmap(), im);
    EXPECT_EQ(io.Params().FileType, ioTIFF);
    EXPECT_EQ(TIFFFilePageCount(P("two.tif")), 2);
    // The second page by its index, from a stream found by its content.
    io.Params().TIFFImageIndex = 1;
    TMemoryStream ms;
    ms.LoadFromFile(P("two.tif"));
    io.LoadFromStream(ms);
    EXPECT_FALSE(io.Aborting());
    EXPECT_EQ(io.Params().TIFFImageCount, 2);
    ExpectPixels(*io.PXBitmap(), im);

    // Behind a stream header, with other data after it.
    const Bytes tif = ReadAll(P("a.tif"));
    Bytes wrapped = {'T', 'I', 'F', 'F', 0, 0, 0, 0};
    for (int i = 0; i < 4; ++i) wrapped.push_back(static_cast<uint8_t>(tif.size() >> (8 * i)));
    wrapped.insert(wrapped.end(), tif.begin(), tif.end());
    wrapped.insert(wrapped.end(), 100, 0xEE);
    TReadOnlyMemoryStream hs(wrapped.data(), static_cast<int64_t>(wrapped.size()));
    io.SetStreamHeaders(true);
    io.Params().TIFFImageIndex = 0;
    io.LoadFromStreamTIFF(hs);
    EXPECT_FALSE(io.Aborting());
    ExpectPixels(*io.PXBitmap(), im);
    EXPECT_EQ(hs.Position(), static_cast<int64_t>(12 + tif.size()));
  }
}

// Inputs the fuzzer found (kept in fuzz/regressions/tiff), rebuilt here.
// A big-endian page of 13 x 16382457 pixels, every other tag left at its
// default (1-bit, uncompressed), in 1384 bytes once ran for seconds, row by
// row; a page larger than its file could hold is refused now.
TEST(TiffReader, FuzzRegressions) {
  TTiffBuilder t;
  t.big = true;
  t.data = Bytes(1300, 0xA5);
  t.Long(256, {13});
  t.Long(257, {16382457});
  for (int page = 0; page < 2; ++page) {
    TDecoded d;
    Decode(t.Build(), d, page);
    EXPECT_TRUE(d.aborted);
    EXPECT_EQ(d.bitmap.Width(), 0);
  }
  // The page's parameters still read.
  TDecoded p;
  Decode(t.Build(), p, 0, false, false, true);
  EXPECT_FALSE(p.aborted);
  EXPECT_EQ(p.params.Height, 16382457);
}

// A w x h page of 8-bit samples in one uncompressed strip.
TTiffBuilder ChunkyTiff(uint32_t w, uint32_t h, uint32_t samples, uint32_t photometric, const Bytes& data) {
  TTiffBuilder t;
  t.data = data;
  t.Long(256, {w});
  t.Long(257, {h});
  Bytes bits;
  for (uint32_t i = 0; i < samples; ++i) t.Put16(bits, 8);
  t.entries.push_back({258, 3, samples, bits});
  t.Short(259, {1});
  t.Short(262, {photometric});
  t.Long(273, {8});
  t.Short(277, {samples});
  t.Long(279, {static_cast<uint32_t>(data.size())});
  return t;
}

// Largest channel difference of two decoded pages of one size.
int WorstDifference(TPXBitmap& a, TPXBitmap& b) {
  EXPECT_EQ(a.Width(), b.Width());
  EXPECT_EQ(a.Height(), b.Height());
  int worst = 0;
  for (int32_t y = 0; y < std::min(a.Height(), b.Height()); ++y)
    for (int32_t x = 0; x < std::min(a.Width(), b.Width()) * 3; ++x)
      worst = std::max(worst, std::abs(a.Scanline(y)[x] - b.Scanline(y)[x]));
  return worst;
}

// Our decoding of a file (ours) within 2 levels of libtiff's RGBA decoding
// (theirs, as our reader reads tiff2rgba's result).
void ExpectAsLibtiffShows(const std::string& dir, const Bytes& file, TDecoded& ours, TDecoded& theirs) {
  Decode(file, ours);
  ASSERT_FALSE(ours.aborted);
  WriteAll(dir + "/in.tif", file);
  Shell("tiff2rgba -c none " + dir + "/in.tif " + dir + "/rgba.tif");
  Decode(ReadAll(dir + "/rgba.tif"), theirs);
  ASSERT_FALSE(theirs.aborted);
  EXPECT_LE(WorstDifference(ours.bitmap, theirs.bitmap), 2);
}

// A chart of CIE L*a*b* values as TIFF codes them (L* x 255 / 100, a* and
// b* signed), without a white point (D50) and with the sRGB one: shown as
// libtiff shows them, within 2 levels (the library's own L*a*b* coding,
// which the colour-row hook takes, used to put them up to 120 off).
TEST_F(TiffFiles, CIELabPagesShowAsLibtiffShowsThem) {
  REQUIRE_TOOLS();
  Bytes lab;
  for (int l : {0, 10, 30, 50, 70, 90, 100})
    for (int a : {-100, -60, -20, 0, 20, 60, 100})
      for (int b : {-100, -60, -20, 0, 20, 60, 100})
        // Black has no hue: L* 0 with a* or b* is no colour at all.
        lab.insert(lab.end(), {static_cast<uint8_t>(l * 255 / 100), static_cast<uint8_t>(l == 0 ? 0 : a),
                               static_cast<uint8_t>(l == 0 ? 0 : b)});
  const uint32_t w = 49, h = static_cast<uint32_t>(lab.size() / 3 / 49);
  for (bool withWhite : {false, true}) {
    SCOPED_TRACE(withWhite ? "D65 white point" : "no white point");
    TTiffBuilder t = ChunkyTiff(w, h, 3, 8, lab);
    if (withWhite) {
      Bytes v;
      for (uint32_t x : {3127u, 10000u, 3290u, 10000u}) t.Put32(v, x);
      t.entries.push_back({318, 5, 2, v});
    }
    const Bytes file = t.Build();
    TDecoded ours, theirs;
    ExpectAsLibtiffShows(dir_, file, ours, theirs);

    // An application's row converter is given the library's own L*a*b*
    // bytes (their a* and b* reach only 100, so greys are compared).
    static std::atomic<int> labRows{0};
    labRows = 0;
    const TPXConvertColorProc previous = ConvertColorHook();
    ConvertColorHook() = [](const void* src, int32_t from, void* dst, TIOParamsVals* p, int32_t n, int32_t to) {
      if (from == pxcsCIELab) ++labRows;
      ConvertRowColorSpace(src, from, dst, p, n, to);
    };
    TDecoded hooked;
    Decode(file, hooked);
    ConvertColorHook() = previous;
    EXPECT_EQ(labRows, static_cast<int>(h));
    for (uint32_t i = 0; i < w * h; ++i) {
      if (lab[i * 3 + 1] != 0 || lab[i * 3 + 2] != 0) continue;
      for (int c = 0; c < 3; ++c) {
        EXPECT_NEAR(hooked.bitmap.Scanline(i / w)[(i % w) * 3 + c], theirs.bitmap.Scanline(i / w)[(i % w) * 3 + c], 2)
            << "L* byte " << int(lab[i * 3]);
      }
    }
  }
}

// A CMYK page (ink as TIFF defines it, 0 = none) made JPEG-compressed by
// libtiff reads as libtiff shows it, not as its negative, and in the native
// format as the same ink the uncompressed page gives.
TEST_F(TiffFiles, CMYKJPEGPagesReadAsLibtiffShowsThem) {
  REQUIRE_TOOLS();
  const uint32_t w = 48, h = 32;
  Bytes ink;
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      ink.insert(ink.end(), {static_cast<uint8_t>(x * 5), static_cast<uint8_t>(y * 7),
                             static_cast<uint8_t>(200 - x * 4), static_cast<uint8_t>(x < w / 2 ? 0 : 60)});
  const TTiffBuilder t = ChunkyTiff(w, h, 4, 5, ink);
  WriteAll(P("cmyk.tif"), t.Build());
  Shell("tiffcp -c jpeg:95 " + P("cmyk.tif") + " " + P("j.tif"));
  const Bytes jpeg = ReadAll(P("j.tif"));
  TDecoded ours, theirs;
  ExpectAsLibtiffShows(dir_, jpeg, ours, theirs);

  TDecoded nativeJpeg, nativePlain;
  Decode(jpeg, nativeJpeg, 0, true);
  Decode(t.Build(), nativePlain, 0, true);
  ASSERT_EQ(nativeJpeg.bitmap.PixelFormat(), pxCMYK);
  ASSERT_EQ(nativePlain.bitmap.PixelFormat(), pxCMYK);
  double sum = 0;
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w * 4; ++x)
      sum += std::abs(nativeJpeg.bitmap.Scanline(y)[x] - nativePlain.bitmap.Scanline(y)[x]);
  EXPECT_LE(sum / (w * h * 4), 2.0);
}

// Associated alpha (ExtraSamples 1) holds colour multiplied by alpha: it is
// divided out (rounded, kept in range; alpha 0 gives black). Unassociated
// alpha (2) is the colour as stored.
TEST(TiffReader, AssociatedAlphaIsDividedOut) {
  const Bytes rgba = {16, 16, 0, 16, 0, 0, 0, 0, 100, 50, 25, 200, 255, 255, 255, 255, 200, 10, 0, 100};
  const uint8_t divided[5][3] = {{255, 255, 0}, {0, 0, 0}, {128, 64, 32}, {255, 255, 255}, {255, 26, 0}};
  for (int extra : {1, 2}) {
    SCOPED_TRACE(extra);
    TTiffBuilder t = ChunkyTiff(5, 1, 4, 2, rgba);
    t.Short(338, {static_cast<uint32_t>(extra)});
    TDecoded d;
    Decode(t.Build(), d);
    ASSERT_FALSE(d.aborted);
    for (int i = 0; i < 5; ++i) {
      const uint8_t* p = d.bitmap.Scanline(0) + i * 3;
      for (int c = 0; c < 3; ++c) EXPECT_EQ(p[2 - c], extra == 1 ? divided[i][c] : rgba[i * 4 + c]) << i << "," << c;
      EXPECT_EQ(d.alpha.Scanline(0)[i], rgba[i * 4 + 3]);
    }
  }
}

}  // namespace
}  // namespace pixoran
