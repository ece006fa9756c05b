#include "io/formats/pcx/pcxfilter.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "filtertools.h"

namespace pixoran {
namespace {

using namespace pixoran::testing;

const std::vector<uint32_t> kTwo = {0x102030, 0xF0E0D0};
const std::vector<uint32_t> kSixteen = {0x000000, 0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0x00FFFF, 0xFF00FF, 0x808080,
                                        0x400000, 0x004000, 0x000040, 0xC0C0C0, 0x123456, 0x654321, 0xABCDEF, 0xFFFFFF};

struct TRead {
  TPXBitmap bmp;
  TIOParamsVals params;
  bool aborted = false;
};

void ReadPCX(const Bytes& file, TRead& r, int64_t dataLength = 0, TPXIOResultRec* result = nullptr) {
  TReadOnlyMemoryStream s(file.data(), static_cast<int64_t>(file.size()));
  TProgressFixture p;
  p.rec.Result = result;
  ReadPCXStream(s, r.bmp, r.params, dataLength, p.rec, false);
  r.aborted = p.aborting;
}

Bytes WritePCX(TPXBitmap& b, int bits, int samples, bool rle, bool* aborted = nullptr) {
  TIOParamsVals params;
  params.BitsPerSample = bits;
  params.SamplesPerPixel = samples;
  params.PCXCompression = rle ? 1 : 0;
  params.DpiX = 150, params.DpiY = 75;
  TMemoryStream out;
  TProgressFixture p;
  WritePCXStream(out, b, params, p.rec);
  if (aborted) *aborted = p.aborting;
  return out.Bytes();
}

// A PCX header by hand: planes lines of bytesPerLine bytes.
Bytes HandPCX(int bits, int planes, int w, int h, int bytesPerLine, int encoding, const Bytes& data) {
  TLEBytes b;
  b.U8(10), b.U8(5), b.U8(encoding), b.U8(bits);
  b.U16(0), b.U16(0), b.U16(w - 1), b.U16(h - 1);
  b.U16(0), b.U16(300);
  for (int i = 0; i < 16; ++i) b.U8(i * 16), b.U8(255 - i * 16), b.U8(i);
  b.U8(0), b.U8(planes), b.U16(bytesPerLine), b.U16(1);
  b.b.resize(128, 0);
  b.Raw(data);
  return b.b;
}

TEST(PcxRead, NetpbmFilesOfEveryLayout) {
  const std::string d = ToolDir();
  struct Case {
    std::string options;
    TRGBImage ref;
    int bits, samples;
  } cases[] = {
      {"", MakeRGB(17, 5, {0x000000, 0xFFFFFF}), 1, 1},
      {"-packed", MakeRGB(17, 5, kSixteen), 4, 1},
      {"-planes 4", MakeRGB(17, 5, kSixteen), 4, 1},
      // netpbm's defaults for 4, 8 and 16 colours: as many planes of bits
      // as the colours need, the palette in the header.
      {"", MakeRGB(17, 5, std::vector<uint32_t>(kSixteen.begin(), kSixteen.begin() + 4)), 2, 1},
      {"", MakeRGB(23, 6, std::vector<uint32_t>(kSixteen.begin() + 4, kSixteen.begin() + 12)), 3, 1},
      {"", MakeRGB(19, 7, kSixteen), 4, 1},
      {"-packed", MakeRGB(17, 5, std::vector<uint32_t>(kSixteen.begin() + 8, kSixteen.begin() + 12)), 2, 1},
      {"-8bit", MakeRGB(17, 5, kSixteen), 8, 1},
      {"-24bit", MakeRGB(17, 5), 8, 3},
  };
  for (auto& c : cases) {
    WriteFileBytes(d + "/ref.ppm", ToPPM(c.ref));
    ASSERT_TRUE(RunTool("cd " + d + " && ppmtopcx " + c.options + " ref.ppm > ref.pcx")) << c.options;
    TRead r;
    ReadPCX(ReadFileBytes(d + "/ref.pcx"), r);
    ASSERT_FALSE(r.aborted) << c.options;
    EXPECT_TRUE(SameImage(c.ref, FromBitmap(r.bmp))) << c.options;
    EXPECT_EQ(r.params.BitsPerSample, c.bits) << c.options;
    EXPECT_EQ(r.params.SamplesPerPixel, c.samples) << c.options;
  }
}

TEST(PcxRead, RefusesWhatItCannotDecode) {
  const Bytes line = {0xC2, 0x11};  // a run of two
  struct Case {
    const char* what;
    Bytes file;
    TPXIOResult kind = iorCorrupt;
  } cases[] = {
      {"1 bit in five planes", HandPCX(1, 5, 8, 1, 2, 1, {0xCA, 0}), iorUnsupported},
      {"2 bits in two planes", HandPCX(2, 2, 8, 1, 2, 1, {0xC4, 0}), iorUnsupported},
      {"four planes of 8 bits", HandPCX(8, 4, 2, 1, 2, 1, {0xC8, 0}), iorUnsupported},
      {"0 bits", HandPCX(0, 1, 8, 1, 2, 1, line), iorUnsupported},
      {"lines too short", HandPCX(8, 3, 9, 1, 8, 1, {0xF8, 0, 0xC8, 0, 0xC8, 0})},
      {"manufacturer",
       [&] {
         Bytes b = HandPCX(8, 3, 2, 1, 2, 1, {0xC6, 0});
         b[0] = 11;
         return b;
       }()},
      {"encoding 2", HandPCX(8, 3, 2, 1, 2, 2, {0xC6, 0})},
      {"xmax below xmin",
       [&] {
         Bytes b = HandPCX(8, 3, 2, 1, 2, 1, {0xC6, 0});
         b[4] = 5;
         return b;
       }()},
      {"8 bits without room for a palette", HandPCX(8, 1, 2, 1, 2, 1, {0xC2, 0})},
      {"header only", Bytes(60, 10)},
      {"size bomb", HandPCX(8, 3, 65534, 65535, 65534, 1, {0xC6, 0}), iorTooLarge},
  };
  for (auto& c : cases) {
    TRead r;
    TPXIOResultRec result;
    ReadPCX(c.file, r, 0, &result);
    EXPECT_TRUE(r.aborted) << c.what;
    EXPECT_EQ(r.bmp.Width(), 0) << c.what;
    EXPECT_EQ(result.Kind, c.kind) << c.what << ": " << result.Text;
    EXPECT_EQ(result.Text.rfind("PCX: ", 0), 0u) << c.what << ": " << result.Text;
  }
  // Truncated rows: Aborting with the rows read so far.
  TRead t;
  ReadPCX(HandPCX(8, 3, 2, 3, 2, 1, {0xC6, 7, 0xC6, 9}), t);
  EXPECT_TRUE(t.aborted);
  ASSERT_EQ(t.bmp.Height(), 3);
  EXPECT_EQ(t.bmp.GetPixel24(1, 1), (TBGR{9, 9, 9}));
  EXPECT_EQ(t.params.DpiX, t.params.DpiY);  // a 0 resolution takes the default on both axes
}

// A 3 x 1 1-bit PCX with bits 101 and the header palette's first two entries given.
Bytes OneBitPCX(int version, uint32_t colour0, uint32_t colour1) {
  Bytes b = HandPCX(1, 1, 3, 1, 2, 0, {0xA0, 0});
  b[1] = static_cast<uint8_t>(version);
  std::fill(b.begin() + 16, b.begin() + 64, 0);
  for (int i = 0; i < 3; ++i) {
    b[16 + i] = static_cast<uint8_t>(colour0 >> (16 - 8 * i));
    b[19 + i] = static_cast<uint8_t>(colour1 >> (16 - 8 * i));
  }
  return b;
}

// One-bit files keep their two colours: black and white only when the
// palette says so, says nothing (all zero, or both entries one colour) or
// is absent (version 3).
TEST(PcxRead, OneBitFilesKeepTheirTwoColours) {
  const std::string d = ToolDir();
  const TRGBImage two = MakeRGB(13, 4, {0xFF0000, 0x0000FF});
  WriteFileBytes(d + "/two.ppm", ToPPM(two));
  ASSERT_TRUE(RunTool("cd " + d + " && ppmtopcx two.ppm > two.pcx"));
  const Bytes netpbm = ReadFileBytes(d + "/two.pcx");
  ASSERT_EQ(netpbm[3], 1);  // 1 bit, the colours in the header palette
  TRead n;
  ReadPCX(netpbm, n);
  ASSERT_FALSE(n.aborted);
  EXPECT_TRUE(SameImage(two, FromBitmap(n.bmp)));

  struct Case {
    int version;
    uint32_t colour0, colour1;
    TPXPixelFormat format;
    uint32_t set, clear;  // the colours of set and clear bits
  } cases[] = {
      {5, 0xFF0000, 0x0000FF, pxBGR24, 0x0000FF, 0xFF0000}, {5, 0xFFFFFF, 0x000000, pxBGR24, 0x000000, 0xFFFFFF},
      {5, 0x000000, 0xFFFFFF, pxBW1, 0xFFFFFF, 0x000000},   {5, 0x000000, 0x000000, pxBW1, 0xFFFFFF, 0x000000},
      {5, 0x123456, 0x123456, pxBW1, 0xFFFFFF, 0x000000},   {3, 0xFF0000, 0x0000FF, pxBW1, 0xFFFFFF, 0x000000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "version " << c.version << " palette " << std::hex << c.colour0 << " "
                                      << c.colour1);
    for (bool keep : {false, true}) {
      TRead r;
      r.params.KeepNativeFormat = keep;
      ReadPCX(OneBitPCX(c.version, c.colour0, c.colour1), r);
      ASSERT_FALSE(r.aborted);
      EXPECT_EQ(r.bmp.PixelFormat(), keep && c.format == pxBGR24 ? pxPal8 : c.format);
      TPXBitmap colours;
      colours.Assign(&r.bmp);
      if (colours.PixelFormat() == pxPal8) colours.SetPixelFormat(pxBGR24);
      TRGBImage want{3, 1, {}};
      for (uint32_t v : {c.set, c.clear, c.set})
        want.rgb.insert(want.rgb.end(), {uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
      EXPECT_TRUE(SameImage(want, FromBitmap(colours))) << keep;
    }
  }

  // Our own two-colour files read back in their colours.
  TPXBitmap src;
  ToBitmap(two, src);
  for (bool rle : {false, true}) {
    TRead back;
    ReadPCX(WritePCX(src, 1, 1, rle), back);
    ASSERT_FALSE(back.aborted);
    EXPECT_TRUE(SameImage(two, FromBitmap(back.bmp))) << rle;
  }
}

TEST(PcxRead, RunsCarryFromOnePlaneLineToTheNext) {
  // 3 pixels, lines of 4 bytes: a run of 6 covers the red line and the start of green.
  const Bytes data = {0xC6, 200, 1, 2, 0xC4, 50};
  TRead r;
  ReadPCX(HandPCX(8, 3, 3, 1, 4, 1, data), r);
  ASSERT_FALSE(r.aborted);
  EXPECT_EQ(r.bmp.GetPixel24(0, 0), (TBGR{50, 200, 200}));
  EXPECT_EQ(r.bmp.GetPixel24(1, 0), (TBGR{50, 200, 200}));
  EXPECT_EQ(r.bmp.GetPixel24(2, 0), (TBGR{50, 1, 200}));
}

TEST(PcxWrite, NetpbmReadsEveryDepthRawAndRunLength) {
  const std::string d = ToolDir();
  struct Case {
    int bits, samples;
    TRGBImage ref;
  } cases[] = {
      {1, 1, MakeRGB(13, 4, kTwo)}, {4, 1, MakeRGB(13, 4, kSixteen)}, {8, 1, MakeRGB(13, 4, kSixteen)},
      {8, 3, MakeRGB(13, 4)},       {8, 4, MakeRGB(13, 4)},  // 32 bits: written as 24
      {5, 3, MakeRGB(13, 4)},                                // 15 bits too
  };
  for (auto& c : cases)
    for (bool rle : {false, true}) {
      TPXBitmap b;
      ToBitmap(c.ref, b);
      bool aborted = true;
      const Bytes file = WritePCX(b, c.bits, c.samples, rle, &aborted);
      ASSERT_FALSE(aborted);
      EXPECT_EQ(LE16(file, 66) % 2, 0u);  // even lines
      // netpbm reads run-length files only; raw ones are checked by our reader.
      if (rle) {
        WriteFileBytes(d + "/ours.pcx", file);
        ASSERT_TRUE(RunTool("cd " + d + " && pcxtoppm ours.pcx > back.ppm")) << c.bits;
        EXPECT_TRUE(SameImage(c.ref, ParseRawPNM(ReadFileBytes(d + "/back.ppm")))) << c.bits << "x" << c.samples;
      }
      if (c.bits == 1) continue;  // read back as black and white
      TRead r;
      ReadPCX(file, r);
      EXPECT_TRUE(SameImage(c.ref, FromBitmap(r.bmp))) << c.bits << "x" << c.samples;
    }
}

TEST(PcxWrite, RunLengthRows) {
  uint8_t out[16];
  const uint8_t lone[] = {200};
  ASSERT_EQ(EncodePCXRow(out, lone, 1, 1, 0), 3);  // (193, 200) and the pad byte
  EXPECT_EQ(Bytes(out, out + 3), (Bytes{193, 200, 0}));
  const uint8_t bgr[] = {1, 2, 3, 1, 2, 3, 1, 9, 3};
  ASSERT_EQ(EncodePCXRow(out, bgr, 3, 3, 1), 4);  // the green plane: 2, 2, 9 and the pad byte
  EXPECT_EQ(Bytes(out, out + 4), (Bytes{0xC2, 2, 9, 0}));
  std::vector<uint8_t> many(70, 5), big(2 * 70 + 1);
  ASSERT_EQ(EncodePCXRow(big.data(), many.data(), 70, 1, 0), 4);
  EXPECT_EQ(Bytes(big.begin(), big.begin() + 4), (Bytes{0xFF, 5, 0xC7, 5}));
}

// DCX: pages by index, inserted and appended; the table's limits.
TEST(Dcx, PagesWrittenAndReadByIndex) {
  TMemoryStream dcx;
  std::vector<TRGBImage> pages = {MakeRGB(5, 3), MakeRGB(7, 2), MakeRGB(4, 4)};
  TIOParamsVals params;
  params.BitsPerSample = 8, params.SamplesPerPixel = 3;
  TProgressFixture p;
  // Page 0, then a page past the end (appended as 1), then one inserted at 1.
  const int order[][2] = {{0, 0}, {1, 9}, {2, 1}};
  for (auto& o : order) {
    TPXBitmap b;
    ToBitmap(pages[o[0]], b);
    params.DCXImageIndex = o[1];
    WriteDCXStream(dcx, b, params, p.rec);
    ASSERT_FALSE(p.aborting);
    EXPECT_EQ(params.DCXImageIndex, std::min(o[1], o[0]));
  }
  const Bytes& f = dcx.Bytes();
  EXPECT_EQ(LE32(f, 0), kDCXMagic);
  EXPECT_EQ(LE32(f, 16), 0u);  // three offsets, then 0
  EXPECT_EQ(DCXPageCount(dcx), 3);
  EXPECT_TRUE(IsDCXStream(dcx));
  const int want[] = {0, 2, 1};
  for (int i = 0; i < 4; ++i) {
    TPXBitmap b;
    TIOParamsVals rp;
    rp.DCXImageIndex = i;
    dcx.SetPosition(0);
    ReadDCXStream(dcx, b, rp, p.rec, false);
    ASSERT_FALSE(p.aborting) << i;
    EXPECT_TRUE(SameImage(pages[want[std::min(i, 2)]], FromBitmap(b))) << i;
    EXPECT_EQ(rp.DCXImageIndex, std::min(i, 2));
  }

  // A stream that is no DCX stays as it was, and so does a full table.
  TMemoryStream other;
  other.Write("not a dcx file", 14);
  TPXBitmap b;
  ToBitmap(pages[0], b);
  TProgressFixture q;
  WriteDCXStream(other, b, params, q.rec);
  EXPECT_TRUE(q.aborting);
  EXPECT_EQ(other.Size(), 14);

  TMemoryStream full;
  TLEBytes t;
  t.U32(kDCXMagic);
  for (int i = 0; i < 1024; ++i) t.U32(4 + 4 * 1025);
  t.U32(0);
  t.Raw(HandPCX(8, 3, 1, 1, 2, 1, {0xC6, 1}));
  full.Write(t.b.data(), static_cast<int64_t>(t.b.size()));
  EXPECT_EQ(DCXPageCount(full), 1024);
  TProgressFixture r;
  params.DCXImageIndex = 1024;
  WriteDCXStream(full, b, params, r.rec);
  EXPECT_TRUE(r.aborting);
  EXPECT_EQ(full.Size(), static_cast<int64_t>(t.b.size()));

  // No pages at all.
  TMemoryStream empty;
  const uint8_t none[8] = {0xB1, 0x68, 0xDE, 0x3A, 0, 0, 0, 0};
  empty.Write(none, 8);
  TPXBitmap e;
  TIOParamsVals ep;
  TProgressFixture s;
  ReadDCXStream(empty, e, ep, s.rec, false);
  EXPECT_TRUE(s.aborting);
}

}  // namespace
}  // namespace pixoran
