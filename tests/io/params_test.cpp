// The I/O parameter record and the progress record.
#include <QDate>
#include <atomic>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_settings.h"
#include "io/iohooks.h"
#include "io/pixoranio_params.h"
#include "io/pxmetadata.h"
#include "core/pxprogress.h"
#include "platform/graphics.h"

namespace pixoran {
namespace {

// An owner with an optional platform bitmap that records what it is told.
class FakeOwner : public TIOParamsOwner {
 public:
  explicit FakeOwner(int w = 0, int h = 0) {
    if (w > 0 && h > 0) {
      bitmap = std::make_unique<TBitmap>();
      bitmap->SetSize(w, h);
    }
  }
  TBitmap* OwnerTBitmap() override { return bitmap.get(); }
  void OwnerDpiXChanged(int32_t dpi) override { dpiX.push_back(dpi); }
  void OwnerDpiYChanged(int32_t dpi) override { dpiY.push_back(dpi); }

  std::unique_ptr<TBitmap> bitmap;
  std::vector<int32_t> dpiX, dpiY;
};

// A small 24-bit bitmap whose bytes encode their position, so copies can be checked.
std::unique_ptr<TPXBitmap> MakePatternBitmap(int32_t w, int32_t h, uint8_t seed) {
  auto bmp = std::make_unique<TPXBitmap>();
  EXPECT_TRUE(bmp->Allocate(w, h, pxBGR24));
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = bmp->Scanline(y);
    for (int32_t i = 0; i < w * 3; ++i) row[i] = static_cast<uint8_t>(seed + y * 31 + i);
  }
  return bmp;
}

void ExpectPattern(TPXBitmap& bmp, int32_t w, int32_t h, uint8_t seed) {
  ASSERT_EQ(bmp.Width(), w);
  ASSERT_EQ(bmp.Height(), h);
  ASSERT_EQ(bmp.PixelFormat(), pxBGR24);
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* row = bmp.Scanline(y);
    ASSERT_NE(row, nullptr);
    for (int32_t i = 0; i < w * 3; ++i) ASSERT_EQ(row[i], static_cast<uint8_t>(seed + y * 31 + i)) << y << "," << i;
  }
}

// Restores the process-wide hooks and settings a test changes.
class ScopedGlobals {
 public:
  ScopedGlobals() : hooks_(PXIOHooks()), dpiX_(PXSettings().DefaultDpiX), dpiY_(PXSettings().DefaultDpiY) {}
  ~ScopedGlobals() {
    PXIOHooks() = hooks_;
    PXSettings().DefaultDpiX = dpiX_;
    PXSettings().DefaultDpiY = dpiY_;
  }

 private:
  TPXIOHooks hooks_;
  int32_t dpiX_, dpiY_;
};

void FakeGIFDecompress(TStream&, int32_t, int32_t, uint8_t*, bool) {}
void FakeGIFCompress(TStream&, int32_t, int32_t, bool, const uint8_t*, int32_t) {}
uint8_t* FakeTIFFDecompress(const uint8_t*, int64_t, int32_t, TTIFFLZWState*&) { return nullptr; }
void FakeTIFFCompress(const uint8_t*, int32_t, TStream&, TTIFFLZWState*&) {}

// ------------------------------------------------------------------ defaults

TEST(ParamsDefaults, WithoutOwnerSizeAndResolutionStayZero) {
  TIOParamsVals p;
  EXPECT_EQ(p.Owner, nullptr);
  EXPECT_EQ(p.Width, 0);
  EXPECT_EQ(p.Height, 0);
  EXPECT_EQ(p.DpiX, 0);
  EXPECT_EQ(p.DpiY, 0);
}

TEST(ParamsDefaults, WithOwnerTakesBitmapSizeAndLibraryResolution) {
  FakeOwner owner(123, 45);
  TIOParamsVals p(&owner);
  EXPECT_EQ(p.Owner, &owner);
  EXPECT_EQ(p.Width, 123);
  EXPECT_EQ(p.Height, 45);
  EXPECT_EQ(p.DpiX, 300);
  EXPECT_EQ(p.DpiY, 300);
  // The viewer heard of the resolution once per axis...
  EXPECT_EQ(owner.dpiX, std::vector<int32_t>{300});
  EXPECT_EQ(owner.dpiY, std::vector<int32_t>{300});
  // ...but the EXIF reset that follows leaves the EXIF resolutions at zero.
  EXPECT_EQ(p.EXIFXResolution, 0.0);
  EXPECT_EQ(p.EXIFYResolution, 0.0);
}

TEST(ParamsDefaults, OwnerWithoutBitmapLeavesSizeButSetsResolution) {
  FakeOwner owner;
  TIOParamsVals p(&owner);
  EXPECT_EQ(p.Width, 0);
  EXPECT_EQ(p.Height, 0);
  EXPECT_EQ(p.DpiX, 300);
  EXPECT_EQ(p.DpiY, 300);
}

TEST(ParamsDefaults, ResolutionFollowsLibrarySetting) {
  ScopedGlobals restore;
  PXSettings().DefaultDpiX = 72;
  PXSettings().DefaultDpiY = 96;
  FakeOwner owner;
  TIOParamsVals p(&owner);
  EXPECT_EQ(p.DpiX, 72);
  EXPECT_EQ(p.DpiY, 96);
}

TEST(ParamsDefaults, OrientationTIFFOneEXIFZero) {
  TIOParamsVals p;
  EXPECT_EQ(p.TIFFOrientation, 1);
  EXPECT_EQ(p.EXIFOrientation, 0);
}

TEST(ParamsDefaults, TableSpotChecks) {
  TIOParamsVals p;
  EXPECT_EQ(p.BitsPerSample, 8);
  EXPECT_EQ(p.SamplesPerPixel, 3);
  EXPECT_EQ(p.FileType, 0);
  EXPECT_TRUE(p.FileName.empty());

  EXPECT_EQ(p.TIFFCompression, 0);
  EXPECT_EQ(p.TIFFPhotometric, 2);
  EXPECT_EQ(p.TIFFPlanarConfig, 1);
  EXPECT_EQ(p.TIFFJPEGQuality, 80);
  EXPECT_EQ(p.TIFFJPEGColorSpace, 2);
  EXPECT_EQ(p.TIFFApplyOrientation, 0);

  EXPECT_EQ(p.GIFVersion, "GIF89a");
  EXPECT_EQ(p.GIFTranspColor, (TBGR{0, 0, 0}));
  EXPECT_EQ(p.GIFBackground, (TBGR{0, 0, 0}));
  EXPECT_TRUE(p.GIFComments.empty());

  EXPECT_EQ(p.JPEGColorSpace, 2);
  EXPECT_EQ(p.JPEGQuality, 80);
  EXPECT_EQ(p.JPEGDCTMethod, 0);
  EXPECT_EQ(p.JPEGScale, 1);
  EXPECT_EQ(p.JPEGScaleDenom, 1);
  EXPECT_EQ(p.J2000ColorSpace, 1);
  EXPECT_EQ(p.J2000Rate, 1.0);
  EXPECT_EQ(p.PCXVersion, 5);
  EXPECT_EQ(p.PCXCompression, 1);
  EXPECT_EQ(p.BMPHeaderKind, 1);
  EXPECT_EQ(p.BMPCompression, 0);
  EXPECT_EQ(p.ICOBackground, (TBGR{255, 255, 255}));
  EXPECT_EQ(p.CURBackground, (TBGR{255, 255, 255}));
  EXPECT_EQ(p.PNGCompression, 5);
  EXPECT_EQ(p.PNGBackground, (TBGR{0, 0, 0}));
  EXPECT_EQ(p.TGACompressed, 1);
  EXPECT_EQ(p.TGAAspectRatio, 1.0);
  EXPECT_EQ(p.TGAGamma, 2.2);

  EXPECT_EQ(p.PSPaperWidth, 595);
  EXPECT_EQ(p.PSPaperHeight, 842);
  EXPECT_EQ(p.PSCompression, 1);
  EXPECT_EQ(p.PSTitle, "No Title");
  EXPECT_EQ(p.PDFPaperWidth, 595);
  EXPECT_EQ(p.PDFPaperHeight, 842);
  EXPECT_EQ(p.PDFCompression, 2);
  EXPECT_TRUE(p.PDFTitle.empty());

  EXPECT_EQ(p.KeepNativeFormat, 0);
  EXPECT_EQ(p.Palette, nullptr);
  EXPECT_EQ(p.PaletteCount, 0);
  EXPECT_EQ(p.HasEXIFData, 0);
  EXPECT_EQ(p.EXIFThumbnail, nullptr);

  // Only the first icon entry is preset: 64 x 64 at 8 bits.
  EXPECT_EQ(p.ICOSizes[0][0], 64);
  EXPECT_EQ(p.ICOSizes[0][1], 64);
  EXPECT_EQ(p.ICOBitCounts[0], 8);
  for (int i = 1; i < 16; ++i) {
    EXPECT_EQ(p.ICOSizes[i][0], 0) << i;
    EXPECT_EQ(p.ICOSizes[i][1], 0) << i;
    EXPECT_EQ(p.ICOBitCounts[i], 0) << i;
  }

  // Owned metadata exists and is empty.
  ASSERT_NE(p.JPEGMarkers, nullptr);
  ASSERT_NE(p.IPTCInfo, nullptr);
  ASSERT_NE(p.ImagingAnnot, nullptr);
  ASSERT_NE(p.InputICC, nullptr);
  ASSERT_NE(p.OutputICC, nullptr);
  EXPECT_EQ(p.JPEGMarkers->Count(), 0);
  EXPECT_EQ(p.IPTCInfo->Count(), 0);
  EXPECT_EQ(p.ImagingAnnot->Count(), 0);
  EXPECT_TRUE(p.InputICC->IsEmpty());
  EXPECT_TRUE(p.OutputICC->IsEmpty());
}

TEST(ParamsDefaults, LZWCodecsComeFromProcessHooks) {
  ScopedGlobals restore;
  PXIOHooks() = TPXIOHooks{};
  PXIOHooks().GIFLZWDecompressHook = nullptr;
  PXIOHooks().GIFLZWCompressHook = nullptr;
  {
    TIOParamsVals p;  // GIF hooks not installed: no codec; TIFF: the library's own
    EXPECT_EQ(p.GIFLZWDecompressor, nullptr);
    EXPECT_EQ(p.TIFFLZWDecompressor, &TIFFLZWDecompress);
    EXPECT_EQ(p.TIFFLZWCompressor, &TIFFLZWCompress);
  }
  PXIOHooks().GIFLZWDecompressHook = FakeGIFDecompress;
  PXIOHooks().GIFLZWCompressHook = FakeGIFCompress;
  PXIOHooks().TIFFLZWDecompressHook = FakeTIFFDecompress;
  PXIOHooks().TIFFLZWCompressHook = FakeTIFFCompress;
  TIOParamsVals p;
  EXPECT_EQ(p.GIFLZWDecompressor, &FakeGIFDecompress);
  EXPECT_EQ(p.GIFLZWCompressor, &FakeGIFCompress);
  EXPECT_EQ(p.TIFFLZWDecompressor, &FakeTIFFDecompress);
  EXPECT_EQ(p.TIFFLZWCompressor, &FakeTIFFCompress);
}

TEST(ParamsDefaults, TGADateIsTodayAtMidnight) {
  // Checked against Qt's own calendar; the day may turn during the test.
  const qint64 before = QDate(1899, 12, 30).daysTo(QDate::currentDate());
  TIOParamsVals p;
  const qint64 after = QDate(1899, 12, 30).daysTo(QDate::currentDate());
  EXPECT_EQ(p.TGADate, std::floor(p.TGADate)) << "time part must be 0";
  EXPECT_TRUE(p.TGADate == static_cast<double>(before) || p.TGADate == static_cast<double>(after)) << p.TGADate;
  EXPECT_GT(p.TGADate, 45000.0);  // well after 2023
}

TEST(ParamsDefaults, SetDefaultParamsRestoresAndFreesPalette) {
  TIOParamsVals p;
  const TBGR pal[2] = {{1, 2, 3}, {4, 5, 6}};
  p.SetPalette(pal, 2);
  p.JPEGQuality = 10;
  p.PSTitle = "x";
  p.GIFComments.push_back("c");
  p.PNMComments.push_back("c");
  p.SetTIFFOrientation(6);
  p.ICOSizes[3] = {16, 16};
  p.IPTCInfo->AddData(2, 5, 1, "a");
  p.OutputICC->LoadFromBuffer("abc", 3);
  p.HasEXIFData = 1;
  p.EXIFMake = "m";

  p.SetDefaultParams();
  EXPECT_EQ(p.Palette, nullptr);
  EXPECT_EQ(p.PaletteCount, 0);
  EXPECT_EQ(p.JPEGQuality, 80);
  EXPECT_EQ(p.PSTitle, "No Title");
  EXPECT_TRUE(p.GIFComments.empty());
  EXPECT_TRUE(p.PNMComments.empty());
  EXPECT_EQ(p.TIFFOrientation, 1);
  EXPECT_EQ(p.EXIFOrientation, 0);
  EXPECT_EQ(p.ICOSizes[3][0], 0);
  EXPECT_EQ(p.IPTCInfo->Count(), 0);
  EXPECT_TRUE(p.OutputICC->IsEmpty());
  EXPECT_EQ(p.HasEXIFData, 0);
  EXPECT_TRUE(p.EXIFMake.empty());
}

// ------------------------------------------------------------------ resolution and orientation

TEST(ParamsResolution, SetDpiMovesEXIFResolutionAndTellsOwnerPerAxis) {
  FakeOwner owner;
  TIOParamsVals p(&owner);
  owner.dpiX.clear();
  owner.dpiY.clear();

  p.SetDpiX(72);
  EXPECT_EQ(p.DpiX, 72);
  EXPECT_EQ(p.EXIFXResolution, 72.0);
  EXPECT_EQ(p.DpiY, 300);
  EXPECT_EQ(owner.dpiX, std::vector<int32_t>{72});
  EXPECT_TRUE(owner.dpiY.empty());

  p.SetDpiY(150);
  EXPECT_EQ(p.DpiY, 150);
  EXPECT_EQ(p.EXIFYResolution, 150.0);
  EXPECT_EQ(p.DpiX, 72);
  EXPECT_EQ(owner.dpiY, std::vector<int32_t>{150});
  EXPECT_EQ(owner.dpiX.size(), 1u);
}

TEST(ParamsResolution, SetDpiWithoutOwner) {
  TIOParamsVals p;
  p.SetDpiX(96);
  p.SetDpiY(97);
  EXPECT_EQ(p.DpiX, 96);
  EXPECT_EQ(p.DpiY, 97);
  EXPECT_EQ(p.EXIFXResolution, 96.0);
  EXPECT_EQ(p.EXIFYResolution, 97.0);
}

TEST(ParamsResolution, EXIFResolutionTruncatesTowardZero) {
  FakeOwner owner;
  TIOParamsVals p(&owner);
  p.SetEXIFXResolution(299.99);
  EXPECT_EQ(p.DpiX, 299);
  EXPECT_EQ(p.EXIFXResolution, 299.0);  // the stored EXIF value is the truncated one
  EXPECT_EQ(owner.dpiX.back(), 299);
  p.SetEXIFYResolution(-72.7);
  EXPECT_EQ(p.DpiY, -72);
  EXPECT_EQ(p.EXIFYResolution, -72.0);
  EXPECT_EQ(owner.dpiY.back(), -72);
  p.SetEXIFXResolution(0.5);
  EXPECT_EQ(p.DpiX, 0);  // not rounded up
}

TEST(ParamsResolution, EXIFResolutionNaNAndOutOfRange) {
  constexpr int32_t kMax = std::numeric_limits<int32_t>::max();
  constexpr int32_t kMin = std::numeric_limits<int32_t>::min();
  TIOParamsVals p;
  p.SetEXIFXResolution(std::nan(""));
  EXPECT_EQ(p.DpiX, 0);
  EXPECT_EQ(p.EXIFXResolution, 0.0);
  p.SetEXIFYResolution(std::nan(""));
  EXPECT_EQ(p.DpiY, 0);

  p.SetEXIFXResolution(1e20);
  EXPECT_EQ(p.DpiX, kMax);
  p.SetEXIFXResolution(-1e20);
  EXPECT_EQ(p.DpiX, kMin);
  p.SetEXIFYResolution(std::numeric_limits<double>::infinity());
  EXPECT_EQ(p.DpiY, kMax);
  p.SetEXIFYResolution(-std::numeric_limits<double>::infinity());
  EXPECT_EQ(p.DpiY, kMin);
  p.SetEXIFYResolution(2147483647.9);
  EXPECT_EQ(p.DpiY, kMax);
}

TEST(ParamsOrientation, BothSettersMoveBothFields) {
  TIOParamsVals p;
  p.SetTIFFOrientation(6);
  EXPECT_EQ(p.TIFFOrientation, 6);
  EXPECT_EQ(p.EXIFOrientation, 6);
  p.SetEXIFOrientation(8);
  EXPECT_EQ(p.TIFFOrientation, 8);
  EXPECT_EQ(p.EXIFOrientation, 8);
}

// ------------------------------------------------------------------ indexed EXIF accessors

TEST(ParamsEXIFIndexed, InRangeReachesTheArrays) {
  TIOParamsVals p;
  p.SetEXIFISOSpeed(0, 100);
  p.SetEXIFISOSpeed(1, 200);
  EXPECT_EQ(p.EXIFISOSpeedRatings[0], 100);
  EXPECT_EQ(p.EXIFISOSpeedRatings[1], 200);
  EXPECT_EQ(p.GetEXIFISOSpeed(1), 200);

  p.SetEXIFWhitePoint(1, 0.329);
  EXPECT_EQ(p.EXIFWhitePoint[1], 0.329);
  EXPECT_EQ(p.GetEXIFWhitePoint(1), 0.329);
  p.SetEXIFPrimaryChromaticities(5, 0.06);
  EXPECT_EQ(p.EXIFPrimaryChromaticities[5], 0.06);
  EXPECT_EQ(p.GetEXIFPrimaryChromaticities(5), 0.06);
  p.SetEXIFYCbCrCoefficients(2, 0.114);
  EXPECT_EQ(p.EXIFYCbCrCoefficients[2], 0.114);
  EXPECT_EQ(p.GetEXIFYCbCrCoefficients(2), 0.114);
  p.SetEXIFReferenceBlackWhite(5, 255.0);
  EXPECT_EQ(p.EXIFReferenceBlackWhite[5], 255.0);
  EXPECT_EQ(p.GetEXIFReferenceBlackWhite(5), 255.0);
}

TEST(ParamsEXIFIndexed, OutOfRangeIgnoredAndReadsZero) {
  TIOParamsVals p;
  p.EXIFISOSpeedRatings = {1, 2};
  p.EXIFWhitePoint = {1, 2};
  p.EXIFPrimaryChromaticities = {1, 2, 3, 4, 5, 6};
  p.EXIFYCbCrCoefficients = {1, 2, 3};
  p.EXIFReferenceBlackWhite = {1, 2, 3, 4, 5, 6};
  const auto iso = p.EXIFISOSpeedRatings;
  const auto wp = p.EXIFWhitePoint;
  const auto pc = p.EXIFPrimaryChromaticities;
  const auto yc = p.EXIFYCbCrCoefficients;
  const auto rbw = p.EXIFReferenceBlackWhite;

  for (int bad : {-1, -1000, std::numeric_limits<int>::min(), std::numeric_limits<int>::max()}) {
    p.SetEXIFISOSpeed(bad, 9);
    p.SetEXIFWhitePoint(bad, 9);
    p.SetEXIFPrimaryChromaticities(bad, 9);
    p.SetEXIFYCbCrCoefficients(bad, 9);
    p.SetEXIFReferenceBlackWhite(bad, 9);
    EXPECT_EQ(p.GetEXIFISOSpeed(bad), 0);
    EXPECT_EQ(p.GetEXIFWhitePoint(bad), 0.0);
    EXPECT_EQ(p.GetEXIFPrimaryChromaticities(bad), 0.0);
    EXPECT_EQ(p.GetEXIFYCbCrCoefficients(bad), 0.0);
    EXPECT_EQ(p.GetEXIFReferenceBlackWhite(bad), 0.0);
  }
  // One past the end of each array.
  p.SetEXIFISOSpeed(2, 9);
  p.SetEXIFWhitePoint(2, 9);
  p.SetEXIFPrimaryChromaticities(6, 9);
  p.SetEXIFYCbCrCoefficients(3, 9);
  p.SetEXIFReferenceBlackWhite(6, 9);
  EXPECT_EQ(p.GetEXIFISOSpeed(2), 0);
  EXPECT_EQ(p.GetEXIFWhitePoint(2), 0.0);
  EXPECT_EQ(p.GetEXIFPrimaryChromaticities(6), 0.0);
  EXPECT_EQ(p.GetEXIFYCbCrCoefficients(3), 0.0);
  EXPECT_EQ(p.GetEXIFReferenceBlackWhite(6), 0.0);

  EXPECT_EQ(p.EXIFISOSpeedRatings, iso);
  EXPECT_EQ(p.EXIFWhitePoint, wp);
  EXPECT_EQ(p.EXIFPrimaryChromaticities, pc);
  EXPECT_EQ(p.EXIFYCbCrCoefficients, yc);
  EXPECT_EQ(p.EXIFReferenceBlackWhite, rbw);
}

// ------------------------------------------------------------------ palette

TEST(ParamsPalette, SetCopiesZeroFillsAndFrees) {
  TIOParamsVals p;
  TBGR src[3] = {{1, 2, 3}, {4, 5, 6}, {7, 8, 9}};
  p.SetPalette(src, 3);
  ASSERT_NE(p.Palette, nullptr);
  EXPECT_NE(p.Palette.get(), src);
  EXPECT_EQ(p.PaletteCount, 3);
  src[1] = TBGR{0, 0, 0};
  EXPECT_EQ(p.Palette[1], (TBGR{4, 5, 6}));

  p.SetPalette(nullptr, 4);
  EXPECT_EQ(p.PaletteCount, 4);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(p.Palette[i], TBGR{}) << i;

  p.SetPalette(src, 0);
  EXPECT_EQ(p.Palette, nullptr);
  EXPECT_EQ(p.PaletteCount, 0);
  p.SetPalette(src, 2);
  p.SetPalette(src, -5);
  EXPECT_EQ(p.Palette, nullptr);
  EXPECT_EQ(p.PaletteCount, 0);
}

TEST(ParamsPalette, SetFromItsOwnEntries) {
  TIOParamsVals p;
  const TBGR src[4] = {{1, 1, 1}, {2, 2, 2}, {3, 3, 3}, {4, 4, 4}};
  p.SetPalette(src, 4);
  p.SetPalette(p.Palette.get() + 1, 2);  // the old block is read before it is freed
  ASSERT_EQ(p.PaletteCount, 2);
  EXPECT_EQ(p.Palette[0], (TBGR{2, 2, 2}));
  EXPECT_EQ(p.Palette[1], (TBGR{3, 3, 3}));
}

// ------------------------------------------------------------------ resets

TEST(ParamsReset, ResetEXIFClearsEveryEXIFFieldOnly) {
  TIOParamsVals p;
  p.SetDpiX(72);
  p.SetDpiY(73);
  p.SetEXIFOrientation(6);
  p.HasEXIFData = 1;
  p.EXIFThumbnail = std::make_unique<TPXBitmap>();
  p.EXIFMake = "Maker";
  p.EXIFUserComment = "hello";
  p.EXIFUserCommentCode = "ASCII";
  p.EXIFExposureTime = 0.01;
  p.EXIFFocalLength = 35;
  p.EXIFFlash = 1;
  p.EXIFImageWidth = 640;
  p.EXIFISOSpeedRatings = {100, 200};
  p.EXIFReferenceBlackWhite = {1, 2, 3, 4, 5, 6};
  p.EXIFFocalPlaneXResolution = 1000;
  p.EXIFSceneType = 1;

  p.ResetEXIF();
  EXPECT_EQ(p.HasEXIFData, 0);
  EXPECT_EQ(p.EXIFThumbnail, nullptr);
  EXPECT_TRUE(p.EXIFMake.empty());
  EXPECT_TRUE(p.EXIFUserComment.empty());
  EXPECT_TRUE(p.EXIFUserCommentCode.empty());
  EXPECT_EQ(p.EXIFExposureTime, 0.0);
  EXPECT_EQ(p.EXIFFocalLength, 0.0);
  EXPECT_EQ(p.EXIFFlash, 0);
  EXPECT_EQ(p.EXIFImageWidth, 0);
  EXPECT_EQ(p.EXIFISOSpeedRatings, (std::array<int32_t, 2>{0, 0}));
  EXPECT_EQ(p.EXIFReferenceBlackWhite, (std::array<double, 6>{}));
  EXPECT_EQ(p.EXIFFocalPlaneXResolution, 0.0);
  EXPECT_EQ(p.EXIFSceneType, 0);
  EXPECT_EQ(p.EXIFOrientation, 0);
  EXPECT_EQ(p.EXIFXResolution, 0.0);
  EXPECT_EQ(p.EXIFYResolution, 0.0);
  // The image's own resolution and orientation are not EXIF fields.
  EXPECT_EQ(p.DpiX, 72);
  EXPECT_EQ(p.DpiY, 73);
  EXPECT_EQ(p.TIFFOrientation, 6);
}

TEST(ParamsReset, ResetInfoKeepsOptionsDropsFileMetadata) {
  TIOParamsVals p;
  p.JPEGQuality = 50;
  p.TIFFCompression = 5;
  p.TIFFImageIndex = 3;
  p.GIFImageIndex = 2;
  p.FileType = 3;
  p.FileName = "a.jpg";
  const TBGR pal[2] = {{1, 2, 3}, {4, 5, 6}};
  p.SetPalette(pal, 2);
  p.JPEGMarkers->AddMarker(0xFE, "comment", 7);
  p.IPTCInfo->AddData(2, 120, 3, "cap");
  p.ImagingAnnot->AddObject()->SetMarkType(7);
  p.InputICC->LoadFromBuffer("icc", 3);
  p.OutputICC->LoadFromBuffer("out", 3);
  p.GIFComments = {"g"};
  p.PNMComments = {"p"};
  p.TIFFDocumentName = "doc";
  p.TIFFImageDescription = "desc";
  p.TIFFPageName = "page";
  p.TGADescriptor = "d";
  p.TGAAuthor = "a";
  p.TGAImageName = "n";
  p.HasEXIFData = 1;
  p.EXIFModel = "model";
  p.EXIFThumbnail = std::make_unique<TPXBitmap>();

  p.ResetInfo();
  // Options and indexes survive.
  EXPECT_EQ(p.JPEGQuality, 50);
  EXPECT_EQ(p.TIFFCompression, 5);
  EXPECT_EQ(p.TIFFImageIndex, 3);
  EXPECT_EQ(p.GIFImageIndex, 2);
  EXPECT_EQ(p.FileType, 3);
  EXPECT_EQ(p.FileName, "a.jpg");
  EXPECT_EQ(p.PaletteCount, 2);
  EXPECT_EQ(p.OutputICC->RawSize(), 3);
  // What the last file carried goes.
  EXPECT_EQ(p.JPEGMarkers->Count(), 0);
  EXPECT_EQ(p.IPTCInfo->Count(), 0);
  EXPECT_EQ(p.ImagingAnnot->Count(), 0);
  EXPECT_TRUE(p.InputICC->IsEmpty());
  EXPECT_TRUE(p.GIFComments.empty());
  EXPECT_TRUE(p.PNMComments.empty());
  EXPECT_TRUE(p.TIFFDocumentName.empty());
  EXPECT_TRUE(p.TIFFImageDescription.empty());
  EXPECT_TRUE(p.TIFFPageName.empty());
  EXPECT_TRUE(p.TGADescriptor.empty());
  EXPECT_TRUE(p.TGAAuthor.empty());
  EXPECT_TRUE(p.TGAImageName.empty());
  EXPECT_EQ(p.HasEXIFData, 0);
  EXPECT_TRUE(p.EXIFModel.empty());
  EXPECT_EQ(p.EXIFThumbnail, nullptr);
}

// ------------------------------------------------------------------ Assign

TEST(ParamsAssign, PaletteIsAnIndependentCopy) {
  TIOParamsVals dst;
  {
    TIOParamsVals src;
    TBGR pal[16];
    for (int i = 0; i < 16; ++i) pal[i] = TBGR{uint8_t(i), uint8_t(i * 2), uint8_t(i * 3)};
    src.SetPalette(pal, 16);
    dst.Assign(src);
    ASSERT_NE(dst.Palette, nullptr);
    EXPECT_NE(dst.Palette.get(), src.Palette.get());
    EXPECT_EQ(dst.PaletteCount, 16);
    EXPECT_EQ(std::memcmp(dst.Palette.get(), pal, 48), 0);
    src.Palette[0] = TBGR{99, 99, 99};
    EXPECT_EQ(dst.Palette[0], TBGR{});
  }  // source freed: the copy must survive (the sanitizer sees any dangling read)
  for (int i = 0; i < 16; ++i) EXPECT_EQ(dst.Palette[i], (TBGR{uint8_t(i), uint8_t(i * 2), uint8_t(i * 3)})) << i;

  TIOParamsVals none;
  dst.Assign(none);
  EXPECT_EQ(dst.Palette, nullptr);
  EXPECT_EQ(dst.PaletteCount, 0);
}

TEST(ParamsAssign, MetadataContainersAreDeepCopies) {
  TIOParamsVals src, dst;
  src.JPEGMarkers->AddMarker(0xE1, "Exif\0\0", 6);
  src.IPTCInfo->AddData(2, 120, 7, "caption");
  TPXImagingObject* mark = src.ImagingAnnot->AddObject();
  mark->SetMarkType(4);
  mark->Points = {{1, 2}, {3, 4}};
  mark->Text = "note";
  std::vector<uint8_t> icc(3144);
  for (size_t i = 0; i < icc.size(); ++i) icc[i] = static_cast<uint8_t>(i * 7);
  src.InputICC->LoadFromBuffer(icc.data(), static_cast<int64_t>(icc.size()));
  src.OutputICC->LoadFromBuffer("out", 3);
  src.GIFComments = {"one", "two"};
  src.PNMComments = {"pnm"};

  dst.Assign(src);
  // Changing the source afterwards must not reach the copy.
  src.JPEGMarkers->MarkerData(0)[0] = 'X';
  src.JPEGMarkers->Clear();
  src.IPTCInfo->Clear();
  mark->Points.clear();
  mark->Text = "changed";
  src.ImagingAnnot->Clear();
  src.InputICC->Clear();
  src.OutputICC->Clear();
  src.GIFComments.clear();

  ASSERT_EQ(dst.JPEGMarkers->Count(), 1);
  EXPECT_EQ(dst.JPEGMarkers->MarkerType(0), 0xE1);
  EXPECT_EQ(std::memcmp(dst.JPEGMarkers->MarkerData(0), "Exif\0\0", 6), 0);
  ASSERT_EQ(dst.IPTCInfo->Count(), 1);
  EXPECT_EQ(dst.IPTCInfo->DataAsString(0), "caption");
  ASSERT_EQ(dst.ImagingAnnot->Count(), 1);
  EXPECT_EQ(dst.ImagingAnnot->Object(0)->MarkType(), 4);
  EXPECT_EQ(dst.ImagingAnnot->Object(0)->Points, (std::vector<TPXAnnotPoint>{{1, 2}, {3, 4}}));
  EXPECT_EQ(dst.ImagingAnnot->Object(0)->Text, "note");
  ASSERT_EQ(dst.InputICC->RawSize(), 3144);
  EXPECT_EQ(std::memcmp(dst.InputICC->Raw(), icc.data(), icc.size()), 0);
  EXPECT_EQ(dst.OutputICC->RawSize(), 3);
  EXPECT_EQ(dst.GIFComments, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(dst.PNMComments, (std::vector<std::string>{"pnm"}));

  // And the other way: the copy's edits leave the source alone.
  TIOParamsVals src2;
  src2.JPEGMarkers->AddMarker(0xFE, "c", 1);
  dst.Assign(src2);
  dst.JPEGMarkers->AddMarker(0xFE, "d", 1);
  EXPECT_EQ(src2.JPEGMarkers->Count(), 1);
}

TEST(ParamsAssign, AssignReplacesRatherThanAppends) {
  TIOParamsVals src, dst;
  src.JPEGMarkers->AddMarker(0xE0, "a", 1);
  dst.JPEGMarkers->AddMarker(0xE1, "b", 1);
  dst.JPEGMarkers->AddMarker(0xE2, "c", 1);
  dst.IPTCInfo->AddData(2, 5, 1, "x");
  dst.ImagingAnnot->AddObject();
  dst.InputICC->LoadFromBuffer("zz", 2);
  dst.Assign(src);
  EXPECT_EQ(dst.JPEGMarkers->Count(), 1);
  EXPECT_EQ(dst.JPEGMarkers->MarkerType(0), 0xE0);
  EXPECT_EQ(dst.IPTCInfo->Count(), 0);
  EXPECT_EQ(dst.ImagingAnnot->Count(), 0);
  EXPECT_TRUE(dst.InputICC->IsEmpty());
}

TEST(ParamsAssign, ThumbnailIsCopiedExactly) {
  TIOParamsVals dst;
  {
    TIOParamsVals src;
    src.EXIFThumbnail = MakePatternBitmap(5, 4, 17);
    dst.Assign(src);
    ASSERT_NE(dst.EXIFThumbnail, nullptr);
    EXPECT_NE(dst.EXIFThumbnail.get(), src.EXIFThumbnail.get());
    // A second assign replaces the image, not just its pixels.
    src.EXIFThumbnail = MakePatternBitmap(3, 2, 90);
    dst.Assign(src);
    EXPECT_NE(dst.EXIFThumbnail.get(), src.EXIFThumbnail.get());
  }
  ExpectPattern(*dst.EXIFThumbnail, 3, 2, 90);

  // A source without a thumbnail leaves none: the old one must not be kept
  // and then saved with another image.
  TIOParamsVals without;
  dst.Assign(without);
  EXPECT_EQ(dst.EXIFThumbnail, nullptr);
}

TEST(ParamsAssign, AnnotationImageIsCopied) {
  TIOParamsVals src, dst;
  TPXImagingObject* mark = src.ImagingAnnot->AddObject();
  mark->SetMarkType(1);
  mark->Image = MakePatternBitmap(6, 3, 5);
  dst.Assign(src);
  src.ImagingAnnot->Clear();
  const TPXImagingObject* copy = dst.ImagingAnnot->Object(0);
  ASSERT_NE(copy, nullptr);
  ASSERT_NE(copy->Image, nullptr);
  ExpectPattern(*copy->Image, 6, 3, 5);
}

TEST(ParamsAssign, CopiesFieldsButNotOwnerOrNativeFormat) {
  FakeOwner srcOwner, dstOwner;
  TIOParamsVals src(&srcOwner), dst(&dstOwner);
  src.KeepNativeFormat = 1;
  src.FileName = "f.tif";
  src.FileType = 1;
  src.Width = 640;
  src.Height = 480;
  src.BitsPerSample = 1;
  src.SamplesPerPixel = 1;
  src.SetDpiX(200);
  src.SetDpiY(100);
  src.EXIFXResolution = 72.0;  // the file may say otherwise than the image resolution
  src.EXIFYResolution = 73.0;
  src.TIFFOrientation = 3;
  src.EXIFOrientation = 5;
  src.TIFFLZWCompressor = FakeTIFFCompress;
  src.GIFLZWDecompressor = FakeGIFDecompress;
  src.TIFFPageName = "p";
  src.TGADate = 40000.0;
  src.TGABackground = TBGR{1, 2, 3};
  src.J2000Rate = 0.25;
  src.PNGCompression = 9;
  src.ICOSizes[15] = {256, 128};
  src.ICOBitCounts[15] = 32;
  src.HasEXIFData = 1;
  src.EXIFUserComment = "u";
  src.EXIFWhitePoint = {0.3, 0.4};
  src.AVIFrameDelay = 40;
  src.PDFProducer = "prod";
  src.GIFImageCount = 7;
  src.TIFFImageCount = 9;
  src.JPEGWarningCode = 12;

  dstOwner.dpiX.clear();
  dst.Assign(src);
  EXPECT_EQ(dst.Owner, &dstOwner);
  EXPECT_EQ(dst.KeepNativeFormat, 0);
  EXPECT_EQ(dst.FileName, "f.tif");
  EXPECT_EQ(dst.FileType, 1);
  EXPECT_EQ(dst.Width, 640);
  EXPECT_EQ(dst.Height, 480);
  EXPECT_EQ(dst.BitsPerSample, 1);
  EXPECT_EQ(dst.SamplesPerPixel, 1);
  EXPECT_EQ(dst.DpiX, 200);
  EXPECT_EQ(dst.DpiY, 100);
  // This record's own viewer hears of the new resolution.
  EXPECT_EQ(dstOwner.dpiX, std::vector<int32_t>{200});
  EXPECT_EQ(dstOwner.dpiY.back(), 100);
  EXPECT_EQ(dst.EXIFXResolution, 72.0);
  EXPECT_EQ(dst.EXIFYResolution, 73.0);
  EXPECT_EQ(dst.TIFFOrientation, 3);
  EXPECT_EQ(dst.EXIFOrientation, 5);
  EXPECT_EQ(dst.TIFFLZWCompressor, &FakeTIFFCompress);
  EXPECT_EQ(dst.GIFLZWDecompressor, &FakeGIFDecompress);
  EXPECT_EQ(dst.TIFFPageName, "p");
  EXPECT_EQ(dst.TGADate, 40000.0);
  EXPECT_EQ(dst.TGABackground, (TBGR{1, 2, 3}));
  EXPECT_EQ(dst.J2000Rate, 0.25);
  EXPECT_EQ(dst.PNGCompression, 9);
  EXPECT_EQ(dst.ICOSizes[15][0], 256);
  EXPECT_EQ(dst.ICOSizes[15][1], 128);
  EXPECT_EQ(dst.ICOSizes[0][0], 64);
  EXPECT_EQ(dst.ICOBitCounts[15], 32);
  EXPECT_EQ(dst.HasEXIFData, 1);
  EXPECT_EQ(dst.EXIFUserComment, "u");
  EXPECT_EQ(dst.EXIFWhitePoint, (std::array<double, 2>{0.3, 0.4}));
  EXPECT_EQ(dst.AVIFrameDelay, 40);
  EXPECT_EQ(dst.PDFProducer, "prod");
  EXPECT_EQ(dst.GIFImageCount, 7);
  EXPECT_EQ(dst.TIFFImageCount, 9);
  EXPECT_EQ(dst.JPEGWarningCode, 12);

  dst.KeepNativeFormat = 1;
  src.KeepNativeFormat = 0;
  dst.Assign(src);
  EXPECT_EQ(dst.KeepNativeFormat, 1);
}

TEST(ParamsAssign, SelfAssignKeepsEverything) {
  TIOParamsVals p;
  const TBGR pal[2] = {{1, 2, 3}, {4, 5, 6}};
  p.SetPalette(pal, 2);
  p.JPEGMarkers->AddMarker(0xE1, "x", 1);
  p.IPTCInfo->AddData(2, 5, 1, "y");
  p.ImagingAnnot->AddObject();
  p.InputICC->LoadFromBuffer("icc", 3);
  p.EXIFThumbnail = std::make_unique<TPXBitmap>();
  TPXBitmap* thumb = p.EXIFThumbnail.get();
  p.Assign(p);
  EXPECT_EQ(p.PaletteCount, 2);
  EXPECT_EQ(p.Palette[1], (TBGR{4, 5, 6}));
  EXPECT_EQ(p.JPEGMarkers->Count(), 1);
  EXPECT_EQ(p.IPTCInfo->Count(), 1);
  EXPECT_EQ(p.ImagingAnnot->Count(), 1);
  EXPECT_EQ(p.InputICC->RawSize(), 3);
  EXPECT_EQ(p.EXIFThumbnail.get(), thumb);
}

// ------------------------------------------------------------------ CopySaveOptions

TEST(ParamsCopySaveOptions, CopiesWriteOptionsOnly) {
  TIOParamsVals src, dst;
  src.BitsPerSample = 4;
  src.SamplesPerPixel = 1;
  src.TIFFCompression = 5;
  src.TIFFPhotometric = 3;
  src.TIFFPlanarConfig = 2;
  src.TIFFOrientation = 6;
  src.EXIFOrientation = 0;
  src.TIFFLZWCompressor = FakeTIFFCompress;
  src.TIFFJPEGQuality = 33;
  src.GIFInterlaced = 1;
  src.GIFLZWCompressor = FakeGIFCompress;
  src.JPEGQuality = 42;
  src.JPEGProgressive = 1;
  src.J2000Rate = 0.5;
  src.PCXCompression = 0;
  src.BMPCompression = 1;
  src.PNGFilter = 3;
  src.PNGCompression = 9;
  src.TGACompressed = 0;
  src.TGAGrayLevel = 1;
  // Not write options:
  src.FileName = "src.tif";
  src.Width = 10;
  src.GIFImageIndex = 4;
  src.GIFTransparent = 1;
  src.PNGBackground = TBGR{9, 9, 9};
  src.PSTitle = "t";
  src.TGADescriptor = "d";
  src.HasEXIFData = 1;
  const TBGR pal[1] = {{1, 1, 1}};
  src.SetPalette(pal, 1);
  src.JPEGMarkers->AddMarker(0xFE, "c", 1);
  src.SetDpiX(123);

  dst.CopySaveOptions(src);
  EXPECT_EQ(dst.BitsPerSample, 4);
  EXPECT_EQ(dst.SamplesPerPixel, 1);
  EXPECT_EQ(dst.TIFFCompression, 5);
  EXPECT_EQ(dst.TIFFPhotometric, 3);
  EXPECT_EQ(dst.TIFFPlanarConfig, 2);
  EXPECT_EQ(dst.TIFFOrientation, 6);
  EXPECT_EQ(dst.EXIFOrientation, 6);  // through the orientation setter
  EXPECT_EQ(dst.TIFFLZWCompressor, &FakeTIFFCompress);
  EXPECT_EQ(dst.TIFFJPEGQuality, 33);
  EXPECT_EQ(dst.GIFInterlaced, 1);
  EXPECT_EQ(dst.GIFLZWCompressor, &FakeGIFCompress);
  EXPECT_EQ(dst.JPEGQuality, 42);
  EXPECT_EQ(dst.JPEGProgressive, 1);
  EXPECT_EQ(dst.J2000Rate, 0.5);
  EXPECT_EQ(dst.PCXCompression, 0);
  EXPECT_EQ(dst.BMPCompression, 1);
  EXPECT_EQ(dst.PNGFilter, 3);
  EXPECT_EQ(dst.PNGCompression, 9);
  EXPECT_EQ(dst.TGACompressed, 0);
  EXPECT_EQ(dst.TGAGrayLevel, 1);

  EXPECT_TRUE(dst.FileName.empty());
  EXPECT_EQ(dst.Width, 0);
  EXPECT_EQ(dst.GIFImageIndex, 0);
  EXPECT_EQ(dst.GIFTransparent, 0);
  EXPECT_EQ(dst.PNGBackground, TBGR{});
  EXPECT_EQ(dst.PSTitle, "No Title");
  EXPECT_TRUE(dst.TGADescriptor.empty());
  EXPECT_EQ(dst.HasEXIFData, 0);
  EXPECT_EQ(dst.Palette, nullptr);
  EXPECT_EQ(dst.JPEGMarkers->Count(), 0);
  EXPECT_EQ(dst.DpiX, 0);
}

// ------------------------------------------------------------------ progress record

struct ProgressLog {
  std::vector<int> percents;
  std::vector<TObject*> senders;
  TPXProgressEvent Handler() {
    return [this](TObject* sender, int percent) {
      senders.push_back(sender);
      percents.push_back(percent);
    };
  }
};

TEST(ProgressRec, ReportsTruncatedPercentWithSender) {
  ProgressLog log;
  TObject sender;
  TPXProgressRec rec;
  rec.OnProgress = log.Handler();
  rec.Sender = &sender;
  rec.Start(3);
  EXPECT_DOUBLE_EQ(rec.Per, 100.0 / 3.0);
  EXPECT_EQ(rec.RowsDone, 0);
  rec.Advance();
  rec.Advance();
  rec.Advance();
  EXPECT_EQ(rec.RowsDone, 3);
  // 2 x 33.33 truncates to 66, not 67.
  EXPECT_EQ(log.percents, (std::vector<int>{33, 66, 100}));
  EXPECT_EQ(log.senders, (std::vector<TObject*>{&sender, &sender, &sender}));

  log.percents.clear();
  rec.Start(7);
  rec.Advance(4);  // a strip of four rows: 4 x 100/7 = 57.14
  EXPECT_EQ(rec.RowsDone, 4);
  EXPECT_EQ(log.percents, std::vector<int>{57});
}

TEST(ProgressRec, NoRowsNeverDividesByZero) {
  ProgressLog log;
  TPXProgressRec rec;
  rec.OnProgress = log.Handler();
  for (int64_t rows : {int64_t{0}, int64_t{-5}}) {
    rec.Start(rows);
    EXPECT_EQ(rec.Per, 0.0);
    EXPECT_EQ(rec.RowsDone, 0);
    rec.Advance();
  }
  EXPECT_EQ(log.percents, (std::vector<int>{0, 0}));
}

TEST(ProgressRec, PercentStaysWithinZeroToHundred) {
  ProgressLog log;
  TPXProgressRec rec;
  rec.OnProgress = log.Handler();
  rec.Start(2);
  rec.Advance(5);  // more rows than announced
  rec.Advance(-20);
  rec.Report(-1);
  rec.Report(101);
  rec.Report(std::numeric_limits<int>::min());
  rec.Report(50);
  EXPECT_EQ(log.percents, (std::vector<int>{100, 0, 0, 100, 0, 50}));

  // A huge row count leaves a tiny step but still a valid percentage.
  log.percents.clear();
  rec.Start(int64_t{1} << 40);
  rec.Advance(std::numeric_limits<int32_t>::max());
  ASSERT_EQ(log.percents.size(), 1u);
  EXPECT_EQ(log.percents[0], 0);
}

TEST(ProgressRec, WithoutHandlerCountsSilently) {
  TPXProgressRec rec;
  rec.Start(10);
  rec.Advance(3);
  rec.Report(40);
  EXPECT_EQ(rec.RowsDone, 3);
  rec.Start(10);
  EXPECT_EQ(rec.RowsDone, 0);  // Start begins a new count
}

TEST(ProgressRec, AbortingFlag) {
  TPXProgressRec rec;
  EXPECT_FALSE(rec.Aborted());
  rec.Abort();  // no flag: nothing to set, nothing to crash
  EXPECT_FALSE(rec.Aborted());

  std::atomic<bool> aborting{false};
  rec.Aborting = &aborting;
  EXPECT_FALSE(rec.Aborted());
  aborting = true;  // the caller cancels
  EXPECT_TRUE(rec.Aborted());
  aborting = false;
  rec.Abort();  // the filter fails
  EXPECT_TRUE(aborting.load());
  EXPECT_TRUE(rec.Aborted());
}

}  // namespace
}  // namespace pixoran
