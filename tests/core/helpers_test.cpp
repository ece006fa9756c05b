// Arithmetic, colour, bit, text, stream and system helpers, drawing helpers
// and the window helpers of the core.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <numbers>
#include <string>

#include "core/kopxutils_controls.h"
#include "core/kopxutils_draw.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "platform/controls.h"
#include "platform/streams.h"
#include "testsupport.h"

namespace pixoran {
namespace {

TEST(HelpersRounding, CeilAndFloorFollowTheFraction) {
  EXPECT_EQ(CeilToInt(2.0), 2);
  EXPECT_EQ(CeilToInt(2.1), 3);
  EXPECT_EQ(CeilToInt(-2.1), -2);
  EXPECT_EQ(FloorToInt(2.9), 2);
  EXPECT_EQ(FloorToInt(-2.1), -3);
  EXPECT_EQ(FloorToInt(-2.0), -2);
  // Out of range and NaN clamp instead of overflowing.
  EXPECT_EQ(CeilToInt(1e300), std::numeric_limits<int32_t>::max());
  EXPECT_EQ(FloorToInt(-1e300), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(CeilToInt(std::nan("")), 0);
}

TEST(HelpersRounding, FloatSamplesBecomeValidBytes) {
  EXPECT_EQ(FloatToByte(0.0f), 0);
  EXPECT_EQ(FloatToByte(0.5f), 127);
  EXPECT_EQ(FloatToByte(1.0f), 255);
  EXPECT_EQ(FloatToByte(7.5f), 255);
  EXPECT_EQ(FloatToByte(-3.0f), 0);
  EXPECT_EQ(FloatToByte(std::nanf("")), 0);
}

TEST(HelpersLimits, LimitsAndCorners) {
  EXPECT_EQ(ILimit(5, 10, 20), 10);
  EXPECT_EQ(ILimit(25, 10, 20), 20);
  EXPECT_EQ(ILimit(15, 10, 20), 15);
  EXPECT_EQ(BLimit(-1), 0);
  EXPECT_EQ(BLimit(256), 255);
  EXPECT_EQ(BLimit(77), 77);
  int32_t x1 = 10, y1 = 1, x2 = 2, y2 = 5;
  SortCorners(x1, y1, x2, y2);
  EXPECT_EQ(x1, 2);
  EXPECT_EQ(x2, 10);
  EXPECT_EQ(y1, 1);
  EXPECT_EQ(y2, 5);
}

TEST(HelpersAngles, SafeArcCosEnds) {
  EXPECT_DOUBLE_EQ(SafeArcCos(1.0), 0.0);
  EXPECT_DOUBLE_EQ(SafeArcCos(-1.0), std::numbers::pi);
  EXPECT_NEAR(SafeArcCos(0.0), std::numbers::pi / 2, 1e-15);
  EXPECT_NEAR(SafeArcCos(0.5), std::acos(0.5), 1e-15);
  EXPECT_DOUBLE_EQ(SafeArcCos(-1.0000001), std::numbers::pi);
  EXPECT_DOUBLE_EQ(SafeArcCos(std::nan("")), 0.0);
  EXPECT_NEAR(ArcSin(0.5), std::asin(0.5), 1e-15);
  EXPECT_NEAR(ArcCos(-0.5), std::acos(-0.5), 1e-15);
}

TEST(HelpersAngles, PowersThroughSquaringAndLogs) {
  EXPECT_DOUBLE_EQ(RaiseToInt(2.0, 10), 1024.0);
  EXPECT_DOUBLE_EQ(RaiseToInt(2.0, -2), 0.25);
  EXPECT_DOUBLE_EQ(RaiseToInt(7.0, 0), 1.0);
  EXPECT_DOUBLE_EQ(RaiseToInt(1.0, std::numeric_limits<int32_t>::min()), 1.0);
  EXPECT_DOUBLE_EQ(RaiseToPower(0.0, 0.0), 1.0);
  EXPECT_DOUBLE_EQ(RaiseToPower(0.0, 3.5), 0.0);
  EXPECT_DOUBLE_EQ(RaiseToPower(-2.0, 3.0), -8.0);  // integral exponent: sign kept
  EXPECT_NEAR(RaiseToPower(2.0, 0.5), std::sqrt(2.0), 1e-12);
}

TEST(HelpersColors, LuminanceTable) {
  EXPECT_EQ(RGBLuminance(0xFF0000), 53);
  EXPECT_EQ(RGBLuminance(0xFFFFFF), 255);
  EXPECT_EQ(RGBLuminance(0x0000FF), 20);
  EXPECT_EQ(RGBLuminance(0x00FF00), 181);
  EXPECT_EQ(BGRLuminance(MakeBGR(255, 0, 0)), 53);
}

TEST(HelpersColors, ColorIntegersAndFrameworkColours) {
  EXPECT_EQ(SwapRedBlueColor(0x7F123456), 0x563412);
  EXPECT_TRUE(SameRGB(0x01123456, 0x7F123456));
  EXPECT_FALSE(SameRGB(0x123456, 0x123457));
  const TBGR c = ColorToBGR(RGBColor(10, 20, 30));
  EXPECT_EQ(c.r, 10);
  EXPECT_EQ(c.g, 20);
  EXPECT_EQ(c.b, 30);
  // A system colour resolves before it is split.
  EXPECT_EQ(ColorToBGR(clWindow), (TBGR{255, 255, 255}));
}

TEST(HelpersColors, CosineTableValues) {
  EXPECT_EQ(CosineTable[0], 0);
  EXPECT_EQ(CosineTable[128], 64);
  EXPECT_EQ(CosineTable[255], 128);
  // The compile-time table agrees with the run-time cosine everywhere.
  for (int i = 0; i < 256; ++i)
    EXPECT_EQ(CosineTable[i], RoundHalfEven(64.0 - std::cos(i * std::numbers::pi / 255.0) * 64.0)) << i;
  for (int i = 1; i < 256; ++i) EXPECT_GE(CosineTable[i], CosineTable[i - 1]);
}

TEST(HelpersBits, BitsForCountTable) {
  EXPECT_EQ(BitsForCount(256), 8);
  EXPECT_EQ(BitsForCount(255), 8);
  EXPECT_EQ(BitsForCount(257), 9);
  EXPECT_EQ(BitsForCount(1), 0);
  EXPECT_EQ(BitsForCount(2), 1);
  EXPECT_EQ(BitsForCount(3), 2);
  EXPECT_EQ(BitsForCount(0), -1);
  EXPECT_EQ(BitsForCount(-5), -1);
  EXPECT_EQ(BitsForCount(int64_t{1} << 40), 40);
}

TEST(HelpersBits, CalcRowLenTable) {
  EXPECT_EQ(CalcRowLen(1, 1, 32), 4);
  EXPECT_EQ(CalcRowLen(3, 24, 32), 12);
  EXPECT_EQ(CalcRowLen(5, 8, 16), 6);
  EXPECT_EQ(CalcRowLen(9, 1, 8), 2);
  EXPECT_EQ(CalcRowLen(0, 24, 32), 0);
  EXPECT_EQ(CalcRowLen(5, 8, 24), -1);  // only 8, 16 and 32
  EXPECT_EQ(CalcRowLen(5, 8, 0), -1);
  EXPECT_EQ(CalcRowLen(int64_t{1} << 30, 32, 32), -1);  // beyond int32
  EXPECT_EQ(CalcRowLen(int64_t{1} << 62, 32, 32), -1);  // no overflow on the way
}

TEST(HelpersBits, BitFieldsAndColorCount) {
  EXPECT_EQ(BitFieldWidth(0), 0);
  EXPECT_EQ(BitFieldWidth(0xF800), 5);
  EXPECT_EQ(BitFieldShift(0xF800), 11);
  EXPECT_EQ(BitFieldWidth(0x07E0), 6);
  EXPECT_EQ(BitFieldWidth(0x0F0F), 4);  // only the lowest run counts
  EXPECT_EQ(ColorCount(8, 3), 16777216);
  EXPECT_EQ(ColorCount(1, 1), 2);
  EXPECT_EQ(ColorCount(0, 3), 1);
  EXPECT_EQ(ColorCount(16, 4), std::numeric_limits<int64_t>::max());  // saturates
  EXPECT_EQ(ColorCount(32, 32), std::numeric_limits<int64_t>::max());
}

TEST(HelpersBits, ReversalsAndSwaps) {
  EXPECT_EQ(ReverseBits8(0x01), 0x80);
  EXPECT_EQ(ReverseBits8(0xB0), 0x0D);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(ReverseBits8(ReverseBits8(static_cast<uint8_t>(i))), i);
  EXPECT_EQ(ReverseBits32(1u), 0x80000000u);
  EXPECT_EQ(ReverseBits32(0x12345678u), 0x1E6A2C48u);
  EXPECT_EQ(Swap16(0x1234), 0x3412);
  EXPECT_EQ(Swap32(0x12345678u), 0x78563412u);
  EXPECT_EQ(TBitmapFormatBits(pf15bit), 15);
  EXPECT_EQ(TBitmapFormatBits(pfDevice), 0);
  EXPECT_EQ(TBitmapFormatBits(pfCustom), 0);
}

TEST(HelpersText, StrToFloatAnySeparator) {
  // The tests run in the C locale: the separator is the point.
  ASSERT_EQ(std::localeconv()->decimal_point[0], '.');
  EXPECT_DOUBLE_EQ(StrToFloatAnySeparator("1,5", -1), 1.5);
  EXPECT_DOUBLE_EQ(StrToFloatAnySeparator("1.5", -1), 1.5);
  EXPECT_DOUBLE_EQ(StrToFloatAnySeparator(" -2.25 ", -1), -2.25);
  EXPECT_DOUBLE_EQ(StrToFloatAnySeparator("3", -1), 3.0);
  EXPECT_DOUBLE_EQ(StrToFloatAnySeparator("1e3", -1), 1000.0);
  EXPECT_DOUBLE_EQ(StrToFloatAnySeparator("1,5,5", -1), -1.0);
  EXPECT_DOUBLE_EQ(StrToFloatAnySeparator("abc", 7), 7.0);
  EXPECT_DOUBLE_EQ(StrToFloatAnySeparator("", 7), 7.0);
  EXPECT_DOUBLE_EQ(StrToFloatAnySeparator("inf", 7), 7.0);
}

TEST(HelpersText, FloatToStrWritesAsTheFramework) {
  const std::pair<double, const char*> cases[] = {
      {30, "30"},
      {12.5, "12.5"},
      {-0.75, "-0.75"},
      {0, "0"},
      {0.1, "0.1"},
      {1.0 / 3, "0.333333333333333"},
      {2.0 / 3, "0.666666666666667"},
      {0.0001, "0.0001"},
      {0.00001, "1E-5"},
      {0.000012345, "1.2345E-5"},
      {123456789012345.0, "123456789012345"},
      {1234567890123456.0, "1.23456789012346E15"},
      {1e20, "1E20"},
      {-2.5e-7, "-2.5E-7"},
      {100, "100"},
      {0.30000000000000004, "0.3"},
      {std::numeric_limits<double>::quiet_NaN(), "NAN"},
      {std::numeric_limits<double>::infinity(), "INF"},
      {-std::numeric_limits<double>::infinity(), "-INF"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(FloatToStr(v), text) << v;
}

TEST(HelpersStreams, SafeStreamWriteOnlySetsTheFlag) {
  std::vector<uint8_t> data(8, 1);
  TReadOnlyMemoryStream full(data.data(), 8);  // takes no writes
  bool error = false;
  SafeStreamWrite(full, error, data.data(), 4);
  EXPECT_TRUE(error);
  TMemoryStream ok;
  SafeStreamWrite(ok, error, data.data(), 4);
  EXPECT_TRUE(error);  // never cleared here
  bool fresh = false;
  SafeStreamWrite(ok, fresh, data.data(), 4);
  EXPECT_FALSE(fresh);
  EXPECT_EQ(ok.Size(), 8);
}

std::string EncodeBase64(const std::string& bytes, int32_t lineLength) {
  TReadOnlyMemoryStream src(bytes.data(), static_cast<int64_t>(bytes.size()));
  TMemoryStream out;
  EXPECT_TRUE(Base64EncodeStreamToText(src, out, lineLength));
  return std::string(reinterpret_cast<const char*>(out.Memory()), static_cast<size_t>(out.Size()));
}

TEST(HelpersBase64, PaddingAndLineBreaks) {
  char out[4];
  const uint8_t man[3] = {'M', 'a', 'n'};
  Base64EncodeTriplet(man, 3, out);
  EXPECT_EQ(std::string(out, 4), "TWFu");
  Base64EncodeTriplet(man, 2, out);
  EXPECT_EQ(std::string(out, 4).substr(3), "=");
  EXPECT_EQ(EncodeBase64("Ma", 76), "TWE=\n");
  EXPECT_EQ(EncodeBase64("M", 76), "TQ==\n");
  EXPECT_EQ(EncodeBase64("ManMan", 76), "TWFuTWFu\n");
  EXPECT_EQ(EncodeBase64("", 76), "");
  // Eight characters a line: two groups, then a break; the rest ends the text.
  EXPECT_EQ(EncodeBase64("abcdefghijklmno", 8), "YWJjZGVm\nZ2hpamts\nbW5v\n");
  // A full last line is not followed by an empty one.
  EXPECT_EQ(EncodeBase64("abcdef", 8), "YWJjZGVm\n");
}

TEST(HelpersBase64, EncodesFromTheCurrentPosition) {
  const std::string bytes = "xxManM";
  TReadOnlyMemoryStream src(bytes.data(), 6);
  src.SetPosition(2);
  TMemoryStream out;
  ASSERT_TRUE(Base64EncodeStreamToText(src, out, 76));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(out.Memory()), static_cast<size_t>(out.Size())), "TWFuTQ==\n");
}

TEST(HelpersFiles, DirectoriesAndSizes) {
  const std::string root = testing::MakeTempDir("helpers");
  EXPECT_TRUE(IsExistingDirectory(root));
  EXPECT_FALSE(IsExistingDirectory(root + "/missing"));
  EXPECT_FALSE(IsExistingDirectory(""));
  const std::string deep = root + "/a/b/c/";
  MakeDirectoryPath(deep);
  EXPECT_TRUE(IsExistingDirectory(root + "/a/b/c"));
  EXPECT_NO_THROW(MakeDirectoryPath(root + "/a/b/c"));  // existing: left alone
  EXPECT_THROW(MakeDirectoryPath(""), std::runtime_error);
  {
    TFileStream f(root + "/a/file.bin", fmCreate);
    const char bytes[5] = {1, 2, 3, 4, 5};
    f.WriteBuffer(bytes, 5);
  }
  EXPECT_EQ(GetFileSizeByName(root + "/a/file.bin"), 5);
  EXPECT_EQ(GetFileSizeByName(root + "/a/none.bin"), -1);
}

TEST(HelpersSystem, PlatformAnswers) {
  EXPECT_TRUE(IsWin2000OrMeOrLater());
#if defined(__x86_64__)
  EXPECT_TRUE(HasMMX());
#endif
  EXPECT_NO_THROW(ResetPrinter());
  EXPECT_GT(GetAvailablePhysicalMemory(), 0);
  TLogFont lf;
  EXPECT_EQ(LogFontToStyleFlags(nullptr), 0);
  EXPECT_EQ(LogFontToStyleFlags(&lf), 0);
  lf.Weight = 700;
  lf.Underline = true;
  EXPECT_EQ(LogFontToStyleFlags(&lf), 1 | 4);
  lf.Weight = 699;
  lf.Italic = lf.StrikeOut = true;
  EXPECT_EQ(LogFontToStyleFlags(&lf), 2 | 4 | 8);
}

// Sets environment variables for one test and puts them back after.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* v = std::getenv(name)) old_ = v, had_ = true;
    if (value) setenv(name, value, 1);
    else unsetenv(name);
  }
  ~ScopedEnv() {
    if (had_) setenv(name_.c_str(), old_.c_str(), 1);
    else unsetenv(name_.c_str());
  }

 private:
  std::string name_, old_;
  bool had_ = false;
};

TEST(HelpersSystem, RemoteSessionFromHints) {
  ScopedEnv a("XRDP_SESSION", nullptr), b("SSH_CONNECTION", nullptr), c("QT_QPA_PLATFORM", "offscreen");
  EXPECT_FALSE(IsRemoteSession());
  {
    ScopedEnv d("XRDP_SESSION", "1");
    EXPECT_TRUE(IsRemoteSession());
  }
  {
    ScopedEnv d("SSH_CONNECTION", "10.0.0.1 5000 10.0.0.2 22"), e("DISPLAY", "localhost:10.0");
    EXPECT_TRUE(IsRemoteSession());
  }
}

// ------------------------------------------------------------ windows

TEST(HelpersWindows, OwnerChainFindsTheFirstWindowedControl) {
  TWinControl form;
  TComponent middle(&form);
  TComponent leaf(&middle);
  EXPECT_EQ(GetOwnerWindowHandle(&leaf), 0u);  // window not made yet
  const uintptr_t h = form.Handle();
  EXPECT_NE(h, 0u);
  EXPECT_EQ(GetOwnerWindowHandle(&leaf), h);
  EXPECT_EQ(GetOwnerWindowHandle(&form), h);
  TComponent orphan;
  EXPECT_EQ(GetOwnerWindowHandle(&orphan), 0u);
  EXPECT_EQ(GetOwnerWindowHandle(nullptr), 0u);
}

TWinControl* g_hooked = nullptr;
void RecordHook(TWinControl* w) { g_hooked = w; }

TEST(HelpersWindows, CenterWindowUsesTheHookOrTheScreen) {
  TWinControl form;
  form.SetBounds(0, 0, 200, 90);
  ASSERT_GT(ScreenWidth(), 0);
  CenterWindow(&form);
  EXPECT_EQ(form.Left(), (ScreenWidth() - 200) / 2);
  EXPECT_EQ(form.Top(), (ScreenHeight() - 90) / 3);
  EXPECT_EQ(form.Width(), 200);
  EXPECT_EQ(form.Height(), 90);

  TCenterWindowHook old = PXSettings().CenterWindowHook;
  PXSettings().CenterWindowHook = RecordHook;
  form.SetBounds(5, 6, 200, 90);
  CenterWindow(&form);
  PXSettings().CenterWindowHook = old;
  EXPECT_EQ(g_hooked, &form);
  EXPECT_EQ(form.Left(), 5);  // the hook did the job instead
}

TEST(HelpersWindows, ScrollBarWrappers) {
  TWinControl view;
  view.SetBounds(0, 0, 300, 200);
  for (bool flat : {false, true}) {
    ScrollBarSetRange(&view, sbHorizontal, 0, 65535, true, flat);
    ScrollBarSetPage(&view, sbHorizontal, 1000, true, flat);
    ScrollBarSetPos(&view, sbHorizontal, 70000, true, flat);
    TScrollInfo i = view.GetScrollInfo(sbHorizontal);
    EXPECT_EQ(i.Max, 65535);
    EXPECT_EQ(i.Page, 1000);
    EXPECT_EQ(i.Pos, 65535 - 999);  // the last position shows the last page
    ScrollBarShow(&view, sbVertical, true, flat);
    EXPECT_TRUE(view.ScrollBarVisible(sbVertical));
    ScrollBarEnable(&view, sbVertical, false, flat);
    EXPECT_FALSE(view.ScrollBarEnabled(sbVertical));
    TScrollInfo set;
    set.Mask = sifPos;
    set.Pos = 12;
    ScrollBarSetInfo(&view, sbVertical, set, true, flat);
    EXPECT_EQ(view.GetScrollPos(sbVertical), 12);
    ScrollBarShow(&view, sbVertical, false, flat);
    EXPECT_FALSE(view.ScrollBarVisible(sbVertical));
  }
  EXPECT_NO_THROW(ScrollBarSetPos(nullptr, sbVertical, 1, true, false));
}

TEST(HelpersWindows, ChildControlsSurviveTheirParentGoingFirst) {
  auto parent = std::make_unique<TWinControl>();
  TWinControl child(nullptr, parent.get());
  child.ShowScrollBar(sbVertical, true);
  parent.reset();  // Qt frees the child's widget with the parent's
  EXPECT_EQ(child.Widget(), nullptr);
  EXPECT_EQ(child.Width(), 0);
  child.SetScrollPos(sbVertical, 5, true);  // state only, no widget to touch
}

// ------------------------------------------------------------ drawing

class HelpersDraw : public ::testing::Test {
 protected:
  void SetUp() override {
    bmp.SetPixelFormat(pf24bit);
    bmp.SetSize(60, 40);
    bmp.Canvas().Brush.Color = clWhite;
    bmp.Canvas().FillRect(Rect(0, 0, 60, 40));
  }
  TColor At(int x, int y) { return bmp.Canvas().Pixel(x, y); }
  TBitmap bmp;
};

TEST_F(HelpersDraw, FrameEdgesTakeTheirColours) {
  Draw3DFrame(bmp.Canvas(), 5, 5, 20, 15, clRed, clBlue);
  EXPECT_EQ(At(5, 10), clRed);    // left
  EXPECT_EQ(At(12, 5), clRed);    // top
  EXPECT_EQ(At(20, 10), clBlue);  // right
  EXPECT_EQ(At(12, 15), clBlue);  // bottom
  EXPECT_EQ(At(5, 5), clRed);
  EXPECT_EQ(At(20, 15), clBlue);  // far corner is drawn
  EXPECT_EQ(At(12, 10), clWhite);
  EXPECT_EQ(At(21, 10), clWhite);
  EXPECT_EQ(At(12, 16), clWhite);
}

TEST_F(HelpersDraw, ShadowStripStyles) {
  TCanvas& c = bmp.Canvas();
  c.Brush.Color = clGray;
  DrawHorzShadowStrip(c, 0, 0, 1, 4, 10);
  EXPECT_EQ(At(9, 3), clGray);
  EXPECT_EQ(At(10, 3), clWhite);

  // Style 2: darkest next to the object, lighter outwards.
  DrawVertShadowStrip(c, 30, 0, 2, 20, 34);
  const int g0 = At(30, 5) & 0xFF, g3 = At(33, 5) & 0xFF;
  EXPECT_EQ(g0, 93);  // 255 / e
  EXPECT_GT(g3, g0);
  EXPECT_EQ(At(30, 20), clWhite);  // the end pixel is left out

  // Style 3: light at the start of the strip, diagonal cut at its end.
  SetUp();
  DrawVertShadowStrip(c, 10, 0, 3, 20, 14);  // n = 4, h = 20
  EXPECT_EQ(At(10, 0) & 0xFF, 255);          // row 0 is white
  EXPECT_LT(At(10, 15) & 0xFF, 100);         // dark inner column further down
  EXPECT_EQ(At(10, 20), clWhite);            // row 20 starts 3 columns in
  EXPECT_NE(At(13, 20), clWhite);
  DrawHorzShadowStrip(c, 30, 30, 3, 33, 50);  // axes exchanged
  EXPECT_LT(At(45, 30) & 0xFF, 120);
  EXPECT_EQ(At(30, 30) & 0xFF, 255);
}

TEST_F(HelpersDraw, TextBoxIsKeptInsideAndSavesWhatItCovers) {
  TCanvas& c = bmp.Canvas();
  c.Brush.Color = clBlue;
  c.FillRect(Rect(0, 0, 60, 40));
  TBitmap saved;
  TBrush brush;
  brush.Color = clYellow;
  TFont font;
  font.Size = 6;
  int32_t x = 1000, y = -5;
  DrawTextBox(c, x, y, 200, 300, saved, brush, font, "Hi");
  const int boxW = c.TextWidth("Hi") + 12;
  const int boxH = c.TextHeight("Hi") + 12;
  EXPECT_EQ(x, 200 - 1 - boxW);
  EXPECT_EQ(y, 0);
  EXPECT_EQ(saved.Width(), boxW);
  EXPECT_EQ(saved.Height(), boxH);
  EXPECT_EQ(saved.PixelFormat(), pf24bit);

  x = 2, y = 3;
  DrawTextBox(c, x, y, 60, 40, saved, brush, font, "Hi");
  EXPECT_EQ(saved.Canvas().Pixel(0, 0), clBlue);  // the background it covered
  EXPECT_EQ(At(x + 7, y + 7), clYellow);          // the box's brush inside the frame
  EXPECT_EQ(At(x + 3, y + 3), clBlue);            // the first six pixels stay free
}

}  // namespace
}  // namespace pixoran
