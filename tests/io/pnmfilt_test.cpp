#include "io/formats/pnm/pnmfilt.h"

#include <gtest/gtest.h>

#include <QImage>
#include <string>
#include <vector>

#include "filtertools.h"

namespace pixoran {
namespace {

using namespace pixoran::testing;

struct TRead {
  TPXBitmap bmp;
  TIOParamsVals params;
  bool aborted = false;
};

void ReadPNM(const Bytes& file, TRead& r, bool paramsOnly = false) {
  TReadOnlyMemoryStream s(file.data(), static_cast<int64_t>(file.size()));
  TProgressFixture p;
  ReadPNMStream(s, r.bmp, r.params, p.rec, paramsOnly);
  r.aborted = p.aborting;
}

void ReadWBMP(const Bytes& file, TRead& r) {
  TReadOnlyMemoryStream s(file.data(), static_cast<int64_t>(file.size()));
  TProgressFixture p;
  ReadWBMPStream(s, r.bmp, r.params, p.rec, false);
  r.aborted = p.aborting;
}

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }

// Files netpbm writes in every variant, plain and raw, 8 and 16 bits, read
// pixel-exact (16-bit samples scale to the nearest below).
TEST(PnmRead, NetpbmFilesOfEveryKind) {
  const TRGBImage ref = MakeRGB(13, 7);
  const std::string d = ToolDir();
  WriteFileBytes(d + "/ref.ppm", ToPPM(ref));
  WriteFileBytes(d + "/ref.pgm", ToPGM(Grey(ref)));
  WriteFileBytes(d + "/ref.pbm", ToPBM(ref));
  struct Case {
    std::string command;
    TRGBImage want;
  } cases[] = {
      {"pnmtoplainpnm ref.pbm", Thresholded(ref)},
      {"pnmtoplainpnm ref.pgm", Grey(ref)},
      {"pnmtoplainpnm ref.ppm", ref},
      {"pamtopnm ref.pbm", Thresholded(ref)},
      {"pamtopnm ref.pgm", Grey(ref)},
      {"pamtopnm ref.ppm", ref},
      {"pamdepth 65535 ref.pgm", Grey(ref)},
      {"pamdepth 65535 ref.ppm", ref},
      {"pamdepth 65535 ref.ppm | pnmtoplainpnm", ref},
      {"pamdepth 15 ref.pgm", Grey(ref)},
  };
  for (auto& c : cases) {
    ASSERT_TRUE(RunTool("cd " + d + " && " + c.command + " > out.pnm")) << c.command;
    const Bytes file = ReadFileBytes(d + "/out.pnm");
    TRead r;
    ReadPNM(file, r);
    ASSERT_FALSE(r.aborted) << c.command;
    TRGBImage want = c.want;
    if (c.command.find("pamdepth 15") != std::string::npos)  // what 4 bits keep, scaled back up
      for (auto& v : want.rgb) v = static_cast<uint8_t>((v * 15 + 127) / 255 * 255 / 15);
    EXPECT_TRUE(SameImage(want, FromBitmap(r.bmp))) << c.command;
    EXPECT_EQ(r.bmp.PixelFormat(), c.command.find(".pbm") != std::string::npos ? pxBW1 : pxBGR24);
  }
  // Qt's own PPM writer, too.
  QImage q(5, 3, QImage::Format_RGB888);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x) q.setPixelColor(x, y, QColor(x * 50, y * 100, 255 - x * 40));
  ASSERT_TRUE(q.save(QString::fromStdString(d + "/qt.ppm"), "PPM"));
  TRead r;
  ReadPNM(ReadFileBytes(d + "/qt.ppm"), r);
  ASSERT_FALSE(r.aborted);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 5; ++x)
      EXPECT_EQ(r.bmp.GetPixel24(x, y), (TBGR{uint8_t(255 - x * 40), uint8_t(y * 100), uint8_t(x * 50)}));
}

TEST(PnmRead, HeaderRulesAndScaling) {
  struct Case {
    std::string file;
    bool aborts;
    std::vector<uint8_t> firstRow;  // r, g, b of the first pixels
  } cases[] = {
      // Comments between tokens are collected; values scale by the maximum.
      {"P2\n# note\n2 # w\n1\n15\n0 15\n", false, {0, 0, 0, 255, 255, 255}},
      {std::string("P5 2 1 100\n") + char(50) + char(100), false, {127, 127, 127, 255, 255, 255}},
      // A maximum below 255 scales P6 too; values above it are clamped.
      {std::string("P6 1 1 100\n") + char(50) + char(100) + char(200), false, {127, 255, 255}},
      {"P3 1 1 10\n5 10 99\n", false, {127, 255, 255}},
      // Above 255: two bytes a sample, most significant first.
      {std::string("P6 1 1 1000\n") + char(1) + char(0xF4) + char(0) + char(0) + char(3) + char(0xE8),
       false,
       {127, 0, 255}},
      {"P2 1 1 0\n0\n", true, {}},   // maximum 0
      {"P2 1 1 x5\n0\n", true, {}},  // does not parse: 0
      {"P7 1 1 255\n", true, {}},
      {"P5 0 1 255\n", true, {}},
      {"P3 2 1 255\n1 2 3 4 5\n", true, {1, 2, 3}},  // ends inside the data
  };
  for (auto& c : cases) {
    TRead r;
    ReadPNM(Text(c.file), r);
    EXPECT_EQ(r.aborted, c.aborts) << c.file;
    if (c.firstRow.empty() || r.bmp.Width() == 0) continue;
    const TRGBImage got = FromBitmap(r.bmp);
    EXPECT_EQ(Bytes(got.rgb.begin(), got.rgb.begin() + c.firstRow.size()), c.firstRow) << c.file;
  }
  TRead r;
  ReadPNM(Text("P2\n# note\n2 # w\n1\n15\n0 15\n"), r, true);
  EXPECT_EQ(r.params.PNMComments, (std::vector<std::string>{"note", "w"}));
  EXPECT_EQ(r.params.Width, 2);
  EXPECT_EQ(r.bmp.Width(), 0);  // parameters only

  // A size-bombed header is refused before any allocation.
  TRead bomb;
  ReadPNM(Text("P6 2000000 2000000 255\n\x01\x02"), bomb);
  EXPECT_TRUE(bomb.aborted);
  EXPECT_EQ(bomb.bmp.Width(), 0);

  TReadOnlyMemoryStream yes(reinterpret_cast<const uint8_t*>("# c\nP5 3 4 255\n"), 15);
  TReadOnlyMemoryStream no(reinterpret_cast<const uint8_t*>("P5 0 4 255\n"), 11);
  EXPECT_TRUE(IsPNMStream(yes));
  EXPECT_FALSE(IsPNMStream(no));
  EXPECT_EQ(yes.Position(), 0);
}

// Our files read back by netpbm, and P4 unchanged through a round trip.
TEST(PnmWrite, NetpbmReadsWhatWeWrite) {
  const TRGBImage ref = MakeRGB(11, 6);
  const std::string d = ToolDir();
  struct Case {
    int bits, samples;
    bool oneBitSource;
    TRGBImage want;
  } cases[] = {
      {8, 3, false, ref},
      {8, 1, false, Grey(MakeRGB(11, 6, {0x000000, 0x404040, 0xFFFFFF, 0x7F7F7F}))},
      {1, 1, true, Thresholded(ref)},
  };
  for (auto& c : cases) {
    TPXBitmap b;
    ToBitmap(c.bits == 8 && c.samples == 1 ? c.want : ref, b, c.oneBitSource);
    TIOParamsVals params;
    params.BitsPerSample = c.bits;
    params.SamplesPerPixel = c.samples;
    params.PNMComments = {"made here"};
    TMemoryStream out;
    TProgressFixture p;
    WritePNMStream(out, b, params, p.rec);
    ASSERT_FALSE(p.aborting);
    WriteFileBytes(d + "/ours.pnm", out.Bytes());
    ASSERT_TRUE(RunTool("cd " + d + " && pamtopnm ours.pnm > back.pnm"));
    EXPECT_TRUE(SameImage(c.want, ParseRawPNM(ReadFileBytes(d + "/back.pnm")))) << c.bits << "x" << c.samples;
    if (c.oneBitSource) {
      TRead r;
      ReadPNM(out.Bytes(), r);
      TMemoryStream again;
      WritePNMStream(again, r.bmp, r.params, p.rec);
      EXPECT_EQ(again.Bytes(), out.Bytes());
    }
  }
}

TEST(Wbmp, MultiByteSizesBothWaysAndTheOldOneByteForm) {
  const std::string d = ToolDir();
  const TRGBImage ref = Thresholded(MakeRGB(300, 130));
  WriteFileBytes(d + "/w.pbm", ToPBM(ref));
  ASSERT_TRUE(RunTool("cd " + d + " && pbmtowbmp w.pbm > w.wbmp"));
  TRead r;
  ReadWBMP(ReadFileBytes(d + "/w.wbmp"), r);
  ASSERT_FALSE(r.aborted);
  EXPECT_TRUE(SameImage(ref, FromBitmap(r.bmp)));

  // Ours: full size, no cut at 255, read by netpbm.
  TMemoryStream out;
  TProgressFixture p;
  WriteWBMPStream(out, r.bmp, p.rec);
  ASSERT_FALSE(p.aborting);
  WriteFileBytes(d + "/ours.wbmp", out.Bytes());
  ASSERT_TRUE(RunTool("cd " + d + " && wbmptopbm ours.wbmp > back.pbm"));
  EXPECT_TRUE(SameImage(ref, ParseRawPNM(ReadFileBytes(d + "/back.pbm"))));

  // The older writer's 200 x 2: single size bytes of 200 (0xC8) and 2.
  Bytes old = {0, 0, 200, 2};
  for (int i = 0; i < 2 * 25; ++i) old.push_back(static_cast<uint8_t>(i * 7));
  TRead o;
  ReadWBMP(old, o);
  ASSERT_FALSE(o.aborted);
  EXPECT_EQ(o.bmp.Width(), 200);
  EXPECT_EQ(o.bmp.Height(), 2);
  EXPECT_EQ(o.bmp.Scanline(1)[3], 28 * 7);

  for (const Bytes& bad : {Bytes{1, 0, 8, 1, 0}, Bytes{0, 0, 0x81, 0x80, 1, 0xFF}, Bytes{0, 0, 8}}) {
    TRead b;
    ReadWBMP(bad, b);
    EXPECT_TRUE(b.aborted);
  }
  // Truncated rows: Aborting, the rows before kept.
  Bytes cut = {0, 0, 8, 3, 0x0F, 0xF0};
  TRead c;
  ReadWBMP(cut, c);
  EXPECT_TRUE(c.aborted);
  ASSERT_EQ(c.bmp.Height(), 3);
  EXPECT_EQ(c.bmp.Scanline(1)[0], 0xF0);
}

}  // namespace
}  // namespace pixoran
