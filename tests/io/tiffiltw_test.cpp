// The TIFF writer checked by libtiff's own tools: tiffinfo -D accepts what
// we write and tifftopnm decodes it to our pixels; and pages appended into
// files read back in place.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "external_tools.h"
#include "io/pixoranio.h"
#include "io/pixoranio_codecs.h"
#include "io/pxformats.h"
#include "io/pxfiltutil.h"
#include "io/pxmetadata.h"
#include "io/formats/tiff/tiffilt.h"
#include "platform/streams.h"
#include "testsupport.h"

namespace pixoran {
namespace {

using testing::ReadPnm;
using testing::RunTool;
using testing::TPnm;

constexpr int kW = 45, kH = 37;

uint32_t GetLE32Test(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24; }

// Blocks of a few colours with a ramp, so runs and literals both occur.
void Fill(TPXBitmap& b, TPXPixelFormat f, int seed = 0) {
  ASSERT_TRUE(b.Allocate(kW, kH, f));
  if (f == pxPal8)
    for (int i = 0; i < 256; ++i)
      b.SetPaletteEntry(i, TBGR{static_cast<uint8_t>(i * 7), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i)});
  for (int y = 0; y < kH; ++y) {
    uint8_t* r = b.Scanline(y);
    for (int x = 0; x < kW; ++x) {
      const int v = ((x / 6 + y / 5 + seed) % 4) * 60 + (x % 3);
      switch (f) {
        case pxBW1:
          if (((x * x + y * 3 + seed) / 7) & 1) r[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
          else r[x / 8] &= static_cast<uint8_t>(~(0x80 >> (x % 8)));
          break;
        case pxPal8: r[x] = static_cast<uint8_t>(v % 16); break;
        case pxGray8: r[x] = static_cast<uint8_t>(v); break;
        case pxGray16: reinterpret_cast<uint16_t*>(r)[x] = static_cast<uint16_t>(v * 257); break;
        case pxBGR24:
          r[x * 3] = static_cast<uint8_t>(v), r[x * 3 + 1] = static_cast<uint8_t>(y * 6),
                r[x * 3 + 2] = static_cast<uint8_t>(255 - v);
          break;
        case pxCMYK:
          r[x * 4] = static_cast<uint8_t>(v), r[x * 4 + 1] = static_cast<uint8_t>(y * 6);
          r[x * 4 + 2] = static_cast<uint8_t>(255 - v), r[x * 4 + 3] = static_cast<uint8_t>(x * 2);
          break;
        default: break;
      }
    }
  }
}

// Mean absolute difference of the bitmap (as 24-bit) and a PNM of its size.
double Difference(TPXBitmap& b, const TPnm& p) {
  TPXBitmap c;
  c.CopyPixelsFrom(b);
  c.SetPixelFormat(pxBGR24);
  double sum = 0;
  for (int y = 0; y < kH; ++y) {
    const uint8_t* r = c.Scanline(y);
    for (int x = 0; x < kW; ++x)
      for (int ch = 0; ch < 3; ++ch) {
        const int v = (p.At(x, y, p.Channels == 1 ? 0 : ch) * 255 + p.MaxVal / 2) / p.MaxVal;
        sum += std::abs(r[x * 3 + 2 - ch] - v);
      }
  }
  return sum / (kW * kH * 3);
}

std::string Text(const std::string& file) {
  const auto b = testing::ReadFileBytes(file);
  return std::string(b.begin(), b.end());
}

class TiffWriter : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::HaveTool("tiffinfo") || !testing::HaveTool("tifftopnm")) GTEST_SKIP() << "libtiff-tools, netpbm";
    dir_ = testing::MakeTempDir("tiffw");
  }
  std::string P(const std::string& n) const { return dir_ + "/" + n; }
  // tiffinfo -D reads every strip without a complaint.
  void ExpectValid(const std::string& file) {
    EXPECT_TRUE(RunTool("tiffinfo -D " + file + " 2>" + P("err.txt") + " >/dev/null && ! test -s " + P("err.txt")))
        << Text(P("err.txt"));
  }
  std::string dir_;
};

TEST_F(TiffWriter, LibtiffDecodesEveryCompressionAndForm) {
  struct Case {
    TPXPixelFormat format;
    int bits, samples, compression;
    double tolerance;
  } cases[] = {
      {pxBGR24, 8, 3, 0, 0},  {pxBGR24, 8, 3, 5, 0},   {pxBGR24, 8, 3, 8, 0},
      {pxBGR24, 8, 3, 7, 16},  // chroma halved at sharp colour edges

      {pxGray8, 8, 1, 0, 0},  {pxGray8, 8, 1, 5, 0},   {pxGray8, 8, 1, 8, 0},
      {pxGray8, 8, 1, 7, 3},  {pxGray16, 16, 1, 0, 0}, {pxGray16, 16, 1, 5, 0},
      {pxGray8, 4, 1, 8, 8},  {pxPal8, 8, 1, 5, 0},    {pxPal8, 8, 1, 8, 0},
      {pxPal8, 4, 1, 5, 0},   {pxBGR24, 8, 1, 0, 12},  {pxBW1, 1, 1, 0, 0},
      {pxBW1, 1, 1, 1, 0},    {pxBW1, 1, 1, 2, 0},     {pxBW1, 1, 1, 3, 0},
      {pxBW1, 1, 1, 4, 0},    {pxBW1, 1, 1, 5, 0},     {pxBW1, 1, 1, 8, 0},
      {pxBW1, 8, 3, 5, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << "format " << int(c.format) << " bits " << c.bits << "x" << c.samples
                                      << " compression " << c.compression);
    TPixoranIO io;
    Fill(*io.PXBitmap(), c.format);
    io.Params().BitsPerSample = c.bits;
    io.Params().SamplesPerPixel = c.samples;
    io.Params().TIFFCompression = static_cast<uint8_t>(c.compression);
    io.Params().TIFFJPEGQuality = 95;
    io.SaveToFile(P("a.tif"));
    ASSERT_FALSE(io.Aborting());
    ExpectValid(P("a.tif"));
    // tifftopnm takes no YCbCr: JPEG pages go through tiff2rgba first.
    std::string file = P("a.tif");
    if (c.compression == 7) {
      ASSERT_TRUE(RunTool("tiff2rgba -n " + file + " " + P("rgb.tif")));
      file = P("rgb.tif");
    }
    ASSERT_TRUE(RunTool("tifftopnm " + file + " > " + P("a.pnm") + " 2>" + P("err.txt"))) << Text(P("err.txt"));
    TPnm pnm;
    ASSERT_TRUE(ReadPnm(P("a.pnm"), pnm));
    ASSERT_EQ(pnm.Width, kW);
    ASSERT_EQ(pnm.Height, kH);
    EXPECT_LE(Difference(*io.PXBitmap(), pnm), c.tolerance);

    // Our reader agrees.
    TPixoranIO back;
    back.Params().KeepNativeFormat = 1;  // 16-bit grey as it is
    back.LoadFromFile(P("a.tif"));
    ASSERT_FALSE(back.Aborting());
    TPnm ours;
    TPXBitmap got;
    got.CopyPixelsFrom(*back.PXBitmap());
    got.SetPixelFormat(pxBGR24);
    ours.Width = kW, ours.Height = kH, ours.Channels = 3, ours.MaxVal = 255;
    for (int y = 0; y < kH; ++y) {
      const uint8_t* r = got.Scanline(y);
      for (int x = 0; x < kW; ++x)
        for (int ch = 0; ch < 3; ++ch) ours.Samples.push_back(r[x * 3 + 2 - ch]);
    }
    EXPECT_LE(Difference(*io.PXBitmap(), ours), c.tolerance);
  }
}

// A palette of grey levels that is not the ramp of its indices: white first,
// then darker greys (as GIF files keep them).
void FillGreyPalette(TPXBitmap& b) {
  Fill(b, pxPal8);
  for (int i = 0; i < 256; ++i) {
    const auto g = static_cast<uint8_t>(i < 16 ? 255 - i * 17 : 0);
    b.SetPaletteEntry(i, TBGR{g, g, g});
  }
}

// Blue-green-red rows of a bitmap of any format.
std::vector<uint8_t> BGRRows(TPXBitmap& b) {
  std::vector<uint8_t> out(static_cast<size_t>(b.Width()) * b.Height() * 3);
  for (int y = 0; y < b.Height(); ++y)
    RowToBGR24(b.PixelFormat(), b.Scanline(y), out.data() + static_cast<size_t>(y) * b.Width() * 3, b.Width(),
               b.Palette(), b.PaletteCount());
  return out;
}

// Every record the save dialog or a loaded file can leave (photometric,
// samples, bits and compression in all combinations) over four kinds of
// bitmap, and a CMYK one that every page takes through a converted copy,
// gives a page that libtiff reads without a warning and decodes whole,
// and that our reader reads at its size; lossless grey and colour
// pages at 8 and 16 bits give the source's pixels back (grey palette
// sources: their grey levels), and bilevel ones their bits. Files that
// come out alike are checked by the tools once.
TEST_F(TiffWriter, EveryRecordGivesAPageBothReadersTake) {
  if (!testing::HaveTool("tiffcp")) GTEST_SKIP() << "libtiff-tools";
  struct Source {
    const char* name;
    TPXPixelFormat format;
    bool grey;
  } sources[] = {{"bgr", pxBGR24, false},
                 {"gray", pxGray8, true},
                 {"bw", pxBW1, true},
                 {"greypal", pxPal8, true},
                 {"cmyk", pxCMYK, false}};
  std::map<std::vector<uint8_t>, std::string> unique;  // file bytes -> the first record that made them
  int saves = 0;
  for (const Source& src : sources) {
    TPXBitmap image;
    if (src.format == pxPal8) FillGreyPalette(image);
    else Fill(image, src.format);
    const std::vector<uint8_t> want = BGRRows(image);
    // A grey page of a colour bitmap holds the bitmap's grey conversion.
    const std::vector<uint8_t> wantGrey =
        src.grey ? want : BGRRows(*ConvertedCopy(*ConvertedCopy(image, pxBGR24), pxGray8));
    for (int photo = 0; photo <= 7; ++photo)
      for (int samples = 1; samples <= 4; ++samples)
        for (int bits : {1, 2, 4, 5, 8, 16})
          for (int comp = 0; comp <= 8; ++comp) {
            const std::string record = std::string(src.name) + " photometric " + std::to_string(photo) + " samples " +
                                       std::to_string(samples) + " bits " + std::to_string(bits) + " compression " +
                                       std::to_string(comp);
            SCOPED_TRACE(record);
            TIOParamsVals params;
            params.TIFFPhotometric = static_cast<uint8_t>(photo);
            params.SamplesPerPixel = samples;
            params.BitsPerSample = bits;
            params.TIFFCompression = static_cast<uint8_t>(comp);
            std::atomic<bool> aborting{false};
            TPXProgressRec progress;
            progress.Aborting = &aborting;
            TMemoryStream ms;
            ASSERT_EQ(WriteTIFFStream(ms, false, &image, progress, params), 1);
            ASSERT_FALSE(aborting);
            ++saves;
            // Our reader.
            ms.SetPosition(0);
            TPXBitmap back;
            TIOParamsVals read;
            int32_t pages = 0;
            ReadTIFFStream(&back, ms, pages, false, true, true, nullptr, false, progress, &read);
            ASSERT_FALSE(aborting);
            ASSERT_EQ(back.Width(), kW);
            ASSERT_EQ(back.Height(), kH);
            const bool lossless = params.TIFFCompression != 7;
            // Pages that keep the pixels: colour, grey at 8 or 16 bits (of a
            // grey bitmap's own levels, or a colour one's grey conversion),
            // bilevel of a pxBW1 bitmap.
            const bool exact = lossless && ((params.TIFFPhotometric == 2 && params.SamplesPerPixel == 3) ||
                                            (params.TIFFPhotometric == 1 && params.BitsPerSample >= 8) ||
                                            (src.format == pxBW1 && params.BitsPerSample == 1));
            if (exact) {
              const std::vector<uint8_t>& expected = params.TIFFPhotometric == 1 ? wantGrey : want;
              const std::vector<uint8_t> got = BGRRows(back);
              ASSERT_EQ(got.size(), expected.size());
              int worst = 0;
              for (size_t i = 0; i < got.size(); ++i) worst = std::max(worst, std::abs(got[i] - expected[i]));
              EXPECT_LE(worst, 1);
            }
            const std::vector<uint8_t> bytes = ms.Bytes();
            unique.emplace(bytes, record);
          }
  }
  EXPECT_EQ(saves, 5 * 8 * 4 * 6 * 9);

  // libtiff: tiffinfo -D reads every strip, tiffcp decodes and recodes the
  // page, tifftopnm decodes it to pixels (JPEG and CIE L*a*b* pages through
  // tiff2rgba, which takes them), all
  // with exit 0 and nothing on stderr. One shell for all the files.
  std::string script;
  std::map<std::string, std::string> records;
  int n = 0;
  for (const auto& [bytes, record] : unique) {
    const std::string name = P("u" + std::to_string(n++) + ".tif");
    ASSERT_TRUE(testing::WriteFileBytes(name, bytes.data(), bytes.size()));
    records[name] = record;
    script += "check " + name + "\n";
  }
  const std::string body =
      "check() {\n"
      "  e=$(tiffinfo -D \"$1\" 2>&1 >/dev/null) && [ -z \"$e\" ] || { echo \"$1 tiffinfo: $e\"; return; }\n"
      "  e=$(tiffcp -c none \"$1\" \"$1.cp\" 2>&1) && [ -z \"$e\" ] || { echo \"$1 tiffcp: $e\"; return; }\n"
      "  if tiffinfo \"$1\" | grep -q -e 'Compression Scheme: JPEG' -e 'CIE L'; then\n"
      "    e=$(tiff2rgba \"$1\" \"$1.rgb\" 2>&1) && [ -z \"$e\" ] || { echo \"$1 tiff2rgba: $e\"; return; }\n"
      "    set -- \"$1.rgb\"\n"
      "  fi\n"
      "  e=$(tifftopnm -quiet \"$1\" 2>&1 >/dev/null) && [ -z \"$e\" ] || echo \"$1 tifftopnm: $e\"\n"
      "}\n";
  std::ofstream(P("check.sh")) << body << script;
  ASSERT_EQ(std::system(("sh " + P("check.sh") + " > " + P("report.txt") + " 2>&1").c_str()), 0);
  std::istringstream report(Text(P("report.txt")));
  for (std::string line; std::getline(report, line);) {
    const std::string file = line.substr(0, line.find(' '));
    const auto it = records.find(file.size() > 4 && file.ends_with(".rgb") ? file.substr(0, file.size() - 4) : file);
    ADD_FAILURE() << (it != records.end() ? it->second : std::string("?")) << ": " << line;
  }
}

// Separated (CMYK) pages, plain and PackBits-coded: libtiff decodes them to
// our colours, and so do we.
TEST_F(TiffWriter, SeparatedPagesDecodeAlike) {
  for (int compression : {0, 8, 5}) {
    SCOPED_TRACE(compression);
    TPixoranIO io;
    Fill(*io.PXBitmap(), pxBGR24);
    io.Params().BitsPerSample = 8;
    io.Params().SamplesPerPixel = 4;
    io.Params().TIFFPhotometric = 5;
    io.Params().TIFFCompression = static_cast<uint8_t>(compression);
    io.SaveToFile(P("k.tif"));
    ASSERT_FALSE(io.Aborting());
    ExpectValid(P("k.tif"));
    ASSERT_TRUE(RunTool("tiffinfo " + P("k.tif") + " | grep -q 'Photometric Interpretation: separated'"));
    ASSERT_TRUE(RunTool("tiff2rgba " + P("k.tif") + " " + P("krgb.tif") + " && tifftopnm " + P("krgb.tif") + " > " +
                        P("k.pnm")));
    TPnm pnm;
    ASSERT_TRUE(ReadPnm(P("k.pnm"), pnm));
    ASSERT_EQ(pnm.Width, kW);
    EXPECT_LE(Difference(*io.PXBitmap(), pnm), 3);
    TPixoranIO back;
    back.LoadFromFile(P("k.tif"));
    ASSERT_FALSE(back.Aborting());
    ASSERT_EQ(back.PXBitmap()->Width(), kW);
    double sum = 0;
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW * 3; ++x) sum += std::abs(back.PXBitmap()->Scanline(y)[x] - io.PXBitmap()->Scanline(y)[x]);
    EXPECT_LE(sum / (kW * kH * 3), 3);
  }
}

// Pages inserted at the end, the start and the middle land where asked,
// count, and read back by libtiff and by us; compressions differ per page.
TEST_F(TiffWriter, AppendedPagesCountAndReadBack) {
  struct Step {
    int32_t index, seed, compression;
  } steps[] = {{-1, 0, 5}, {99, 1, 0}, {0, 2, 8}, {2, 3, 5}};
  const int expectedOrder[] = {2, 0, 3, 1};  // seeds page by page
  const std::string file = P("m.tif");
  {
    TFileStream fs(file, fmCreate);
    for (const Step& st : steps) {
      TPXBitmap b;
      Fill(b, pxBGR24, st.seed);
      TIOParamsVals params;
      params.TIFFCompression = static_cast<uint8_t>(st.compression);
      params.TIFFImageIndex = st.index;
      std::atomic<bool> aborting{false};
      TPXProgressRec progress;
      progress.Aborting = &aborting;
      fs.SetPosition(0);
      const int32_t pages = WriteTIFFStream(fs, st.index >= 0, &b, progress, params);
      ASSERT_FALSE(aborting);
      EXPECT_EQ(pages, &st - steps + 1);
    }
  }
  ExpectValid(file);
  {
    TFileStream fs(file, fmOpenRead);
    EXPECT_EQ(TIFFPageCount(fs), 4);
  }
  for (int page = 0; page < 4; ++page) {
    SCOPED_TRACE(page);
    TPXBitmap want;
    Fill(want, pxBGR24, expectedOrder[page]);
    ASSERT_TRUE(RunTool("tiffcp " + file + "," + std::to_string(page) + " " + P("p.tif")));
    ASSERT_TRUE(RunTool("tifftopnm " + P("p.tif") + " > " + P("p.pnm")));
    TPnm pnm;
    ASSERT_TRUE(ReadPnm(P("p.pnm"), pnm));
    EXPECT_EQ(Difference(want, pnm), 0);
    TPixoranIO back;
    back.Params().TIFFImageIndex = page;
    back.LoadFromFile(file);
    ASSERT_FALSE(back.Aborting());
    TPXBitmap got;
    got.CopyPixelsFrom(*back.PXBitmap());
    for (int y = 0; y < kH; ++y) ASSERT_EQ(std::memcmp(got.Scanline(y), want.Scanline(y), kW * 3), 0);
  }
}

// A TIFF behind a stream header (or inside another stream) has offsets from
// its own start: written there, read from there.
TEST(TiffWriterUnit, OffsetsRelativeToTheTIFFsStart) {
  TPixoranIO io;
  Fill(*io.PXBitmap(), pxBGR24);
  io.Params().TIFFCompression = 5;
  io.SetStreamHeaders(true);
  TMemoryStream ms;
  const uint8_t junk[5] = {1, 2, 3, 4, 5};
  ms.Write(junk, 5);
  io.SaveToStreamTIFF(ms);
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(std::memcmp(ms.Memory() + 5, "TIFF", 4), 0);
  EXPECT_EQ(std::memcmp(ms.Memory() + 17, "II*", 3), 0);
  EXPECT_EQ(GetLE32Test(ms.Memory() + 21) % 2, 0u);
  TPixoranIO back;
  back.SetStreamHeaders(true);
  ms.SetPosition(5);
  back.LoadFromStreamTIFF(ms);
  ASSERT_FALSE(back.Aborting());
  for (int y = 0; y < kH; ++y)
    ASSERT_EQ(std::memcmp(back.PXBitmap()->Scanline(y), io.PXBitmap()->Scanline(y), kW * 3), 0);
}

// What a page carries besides pixels comes back: the EXIF group and
// directory, the ICC profile byte for byte, IPTC datasets (their LONG count
// covering an odd-sized block), orientation and page names.
TEST_F(TiffWriter, MetadataRoundTrips) {
  TPixoranIO io;
  Fill(*io.PXBitmap(), pxBGR24);
  TIOParamsVals& p = io.Params();
  p.HasEXIFData = 1;
  p.EXIFMake = "Pixoran";
  p.EXIFModel = "T-1";
  p.EXIFExposureTime = 1.0 / 60;
  p.EXIFExposureBiasValue = -2.0 / 3;
  p.EXIFFNumber = 2.8;
  p.EXIFDateTimeOriginal = "2026:12:09 09:00:00";
  p.EXIFUserComment = "hello";
  p.EXIFUserCommentCode = "ASCII";
  p.EXIFImageWidth = 6000;
  p.SetDpiX(300);
  p.SetDpiY(300);
  p.EXIFResolutionUnit = 2;
  p.SetTIFFOrientation(6);
  p.TIFFPageName = "page one";
  std::vector<uint8_t> icc(333);
  for (size_t i = 0; i < icc.size(); ++i) icc[i] = static_cast<uint8_t>(i * 13);
  p.InputICC->LoadFromBuffer(icc.data(), static_cast<int64_t>(icc.size()));
  if (!p.IPTCInfo) p.IPTCInfo = std::make_unique<TPXIPTCInfoList>();
  p.IPTCInfo->AddData(2, 120, 5, "title");
  io.SaveToFile(P("e.tif"));
  ASSERT_FALSE(io.Aborting());
  ExpectValid(P("e.tif"));
  // libtiff sees the orientation with the page's own tags.
  ASSERT_TRUE(RunTool("tiffinfo " + P("e.tif") + " | grep -q 'Orientation: row 0 rhs, col 0 top'"));

  TPixoranIO back;
  back.LoadFromFile(P("e.tif"));
  ASSERT_FALSE(back.Aborting());
  const TIOParamsVals& b = back.Params();
  EXPECT_EQ(b.HasEXIFData, 1);
  EXPECT_EQ(b.EXIFMake, "Pixoran");
  EXPECT_EQ(b.EXIFModel, "T-1");
  EXPECT_EQ(b.EXIFExposureTime, 1.0 / 60);
  EXPECT_EQ(b.EXIFExposureBiasValue, -2.0 / 3);
  EXPECT_EQ(b.EXIFFNumber, 2.8);
  EXPECT_EQ(b.EXIFDateTimeOriginal, "2026:12:09 09:00:00");
  EXPECT_EQ(b.EXIFUserComment, "hello");
  EXPECT_EQ(b.EXIFImageWidth, 6000);
  EXPECT_EQ(b.TIFFPageName, "page one");
  EXPECT_EQ(b.TIFFOrientation, 6);
  ASSERT_TRUE(b.InputICC && b.InputICC->RawSize() == 333);
  EXPECT_EQ(std::memcmp(b.InputICC->Raw(), icc.data(), icc.size()), 0);
  ASSERT_TRUE(b.IPTCInfo);
  // The block's record-version dataset 2:00 comes back besides ours.
  ASSERT_EQ(b.IPTCInfo->Count(), 2);
  EXPECT_EQ(b.IPTCInfo->DataSet(1), 120);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(b.IPTCInfo->Data(1)), 5), "title");
}

// Appending follows the chain with loop and bounds checks: a chain that
// loops back or leaves the file is refused, not followed forever.
TEST(TiffWriterUnit, AppendRefusesBrokenChains) {
  TPXBitmap b;
  Fill(b, pxGray8);
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TIOParamsVals params;
  TMemoryStream good;
  ASSERT_EQ(WriteTIFFStream(good, false, &b, progress, params), 1);
  ASSERT_FALSE(aborting);
  const uint32_t ifd = GetLE32Test(good.Memory() + 4);
  const uint32_t count = good.Memory()[ifd] | good.Memory()[ifd + 1] << 8;
  const uint32_t link = ifd + 2 + count * 12;
  for (uint32_t target : {ifd, 0x7FFFFFF0u}) {
    SCOPED_TRACE(target);
    TMemoryStream bad;
    bad.Write(good.Memory(), good.Size());
    for (int i = 0; i < 4; ++i) bad.Memory()[link + i] = static_cast<uint8_t>(target >> (8 * i));
    bad.SetPosition(0);
    aborting = false;
    params.TIFFImageIndex = 99;
    EXPECT_EQ(WriteTIFFStream(bad, true, &b, progress, params), 0);
    EXPECT_TRUE(aborting);
  }
}

TEST(TiffWriterUnit, PackBitsRunsAndLiterals) {
  struct Case {
    std::vector<uint8_t> in, out;
  } cases[] = {
      {{7, 7, 7, 7, 7}, {0xFC, 7}},
      {{1, 2, 3}, {2, 1, 2, 3}},
      {{1, 2, 2, 2, 2, 3}, {0, 1, 0xFD, 2, 0, 3}},
      {{5, 5, 5}, {2, 5, 5, 5}},
  };
  for (const Case& c : cases) {
    TMemoryStream ms;
    bool error = false;
    EncodePackBits(c.in.data(), static_cast<int32_t>(c.in.size()), ms, error);
    EXPECT_FALSE(error);
    EXPECT_EQ(ms.Bytes(), c.out);
  }
  // 300 different bytes: literal stretches of 128, 128 and 44.
  std::vector<uint8_t> in(300);
  for (size_t i = 0; i < in.size(); ++i) in[i] = static_cast<uint8_t>(i * 37 + (i >> 8));
  TMemoryStream ms;
  bool error = false;
  EncodePackBits(in.data(), 300, ms, error);
  ASSERT_EQ(ms.Size(), 303);
  EXPECT_EQ(ms.Memory()[0], 127);
  EXPECT_EQ(ms.Memory()[129], 127);
  EXPECT_EQ(ms.Memory()[258], 43);
}

TEST(TiffWriterUnit, EmptyBitmapAndBigEndianAppendFail) {
  TPXBitmap empty;
  TIOParamsVals params;
  std::atomic<bool> aborting{false};
  TPXIOResultRec why;
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  progress.Result = &why;
  TMemoryStream ms;
  WriteTIFFStream(ms, false, &empty, progress, params);
  EXPECT_TRUE(aborting);
  EXPECT_EQ(why.Kind, iorFailed);
  EXPECT_EQ(why.Text.rfind("TIFF: ", 0), 0u) << why.Text;

  aborting = false;
  why.Reset();
  TMemoryStream mm;
  const uint8_t header[8] = {'M', 'M', 0, 42, 0, 0, 0, 8};
  mm.Write(header, 8);
  mm.SetPosition(0);
  TPXBitmap b;
  Fill(b, pxGray8);
  EXPECT_EQ(WriteTIFFStream(mm, true, &b, progress, params), 0);
  EXPECT_TRUE(aborting);
  EXPECT_EQ(why.Kind, iorUnsupported) << why.Text;
}

// libtiff's RGBA decoding of a page as red, green, blue samples.
bool LibtiffPixels(const std::string& file, const std::string& dir, TPnm& pnm) {
  return RunTool("tiff2rgba -c none " + file + " " + dir + "/rgba.tif && tifftopnm " + dir + "/rgba.tif > " + dir +
                 "/rgba.pnm") &&
         ReadPnm(dir + "/rgba.pnm", pnm);
}

// Largest channel difference between the bitmap's pixels and a PNM's.
int Worst(TPXBitmap& b, const TPnm& p) {
  int worst = 0;
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x)
      for (int ch = 0; ch < 3; ++ch) worst = std::max(worst, std::abs(b.Scanline(y)[x * 3 + 2 - ch] - p.At(x, y, ch)));
  return worst;
}

// A colour chart (every mix of five levels) saved as a CIE L*a*b* page shows
// in libtiff within 2 levels of the chart, plain and LZW-coded; the page
// names its white point, and our reader agrees as closely.
TEST_F(TiffWriter, CIELabChartShowsInLibtiffAsSaved) {
  for (int compression : {0, 5}) {
    SCOPED_TRACE(compression);
    TPixoranIO io;
    TPXBitmap& b = *io.PXBitmap();
    ASSERT_TRUE(b.Allocate(25, 5, pxBGR24));
    const uint8_t levels[5] = {0, 64, 128, 192, 255};
    for (int i = 0; i < 125; ++i) {
      uint8_t* p = b.Scanline(i / 25) + (i % 25) * 3;
      p[0] = levels[i % 5], p[1] = levels[i / 5 % 5], p[2] = levels[i / 25];
    }
    io.Params().BitsPerSample = 8;
    io.Params().SamplesPerPixel = 3;
    io.Params().TIFFPhotometric = 7;
    io.Params().TIFFCompression = static_cast<uint8_t>(compression);
    io.SaveToFile(P("lab.tif"));
    ASSERT_FALSE(io.Aborting());
    ExpectValid(P("lab.tif"));
    ASSERT_TRUE(RunTool("tiffinfo " + P("lab.tif") + " | grep -q 'White Point: 0.3127-0.329'"));
    TPnm theirs;
    ASSERT_TRUE(LibtiffPixels(P("lab.tif"), dir_, theirs));
    EXPECT_LE(Worst(b, theirs), 2);

    TPixoranIO back;
    back.LoadFromFile(P("lab.tif"));
    ASSERT_FALSE(back.Aborting());
    EXPECT_LE(Worst(*back.PXBitmap(), theirs), 2);
  }
}

// A JPEG-compressed CMYK page holds ink as TIFF defines it (0 = no ink) and
// no Adobe marker: libtiff shows it as saved, not as a negative, and our
// reader agrees.
TEST_F(TiffWriter, CMYKJPEGPagesHoldInkAsTIFFDefinesIt) {
  TPixoranIO io;
  Fill(*io.PXBitmap(), pxBGR24);
  io.Params().BitsPerSample = 8;
  io.Params().SamplesPerPixel = 4;
  io.Params().TIFFPhotometric = 5;
  io.Params().TIFFCompression = 7;
  io.Params().TIFFJPEGColorSpace = 3;
  io.Params().TIFFJPEGQuality = 95;
  io.SaveToFile(P("kj.tif"));
  ASSERT_FALSE(io.Aborting());
  ExpectValid(P("kj.tif"));
  const auto file = testing::ReadFileBytes(P("kj.tif"));
  for (size_t i = 0; i + 1 < file.size(); ++i) ASSERT_FALSE(file[i] == 0xFF && file[i + 1] == 0xEE) << "APP14 at " << i;
  TPnm theirs;
  ASSERT_TRUE(LibtiffPixels(P("kj.tif"), dir_, theirs));
  EXPECT_LE(Difference(*io.PXBitmap(), theirs), 4);
  TPixoranIO back;
  back.LoadFromFile(P("kj.tif"));
  ASSERT_FALSE(back.Aborting());
  EXPECT_LE(Worst(*back.PXBitmap(), theirs), 2);
}

// A 16-bit grey page carries the full-range signature before the user's
// own Software text, which reads back as it was; a text that already
// starts with the signature is not signed twice.
TEST_F(TiffWriter, SixteenBitGreyKeepsTheUsersSoftware) {
  for (const std::string& user :
       std::vector<std::string>{"PhotoTool 2.1", "", std::string(kFullRangeSoftware) + "; PhotoTool 2.1"}) {
    SCOPED_TRACE(user);
    TPixoranIO io;
    Fill(*io.PXBitmap(), pxGray16);
    io.Params().BitsPerSample = 16;
    io.Params().SamplesPerPixel = 1;
    io.Params().HasEXIFData = 1;
    io.Params().EXIFSoftware = user;
    io.SaveToFile(P("g16.tif"));
    ASSERT_FALSE(io.Aborting());
    const std::string tag = std::string(kFullRangeSoftware) +
                            (user.empty() || user.starts_with(kFullRangeSoftware) ? "" : std::string("; ") + user);
    ASSERT_TRUE(RunTool("tiffinfo " + P("g16.tif") +
                        " | grep -qx '  Software: " + (user.starts_with(kFullRangeSoftware) ? user : tag) + "'"));
    TPixoranIO back;
    back.LoadFromFile(P("g16.tif"));
    ASSERT_FALSE(back.Aborting());
    EXPECT_EQ(back.Params().EXIFSoftware, user.starts_with(kFullRangeSoftware) ? "PhotoTool 2.1" : user);
    // Still read as full-range grey: the high byte of each sample.
    for (int y = 0; y < kH; ++y)
      for (int x = 0; x < kW; ++x)
        ASSERT_EQ(back.PXBitmap()->Scanline(y)[x * 3],
                  reinterpret_cast<const uint16_t*>(io.PXBitmap()->Scanline(y))[x] >> 8);
  }
}

// A JPEG whose EXIF block says the camera was turned (orientation 6),
// loaded and saved as TIFF, gives a page with Orientation 6.
TEST_F(TiffWriter, CameraOrientationGoesFromJPEGToTIFF) {
  {
    TPixoranIO io;
    Fill(*io.PXBitmap(), pxBGR24);
    io.Params().HasEXIFData = 1;
    io.Params().EXIFMake = "Camera";
    io.Params().EXIFOrientation = 6;
    io.SaveToFile(P("turned.jpg"));
    ASSERT_FALSE(io.Aborting());
  }
  TPixoranIO io;
  io.LoadFromFile(P("turned.jpg"));
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(io.Params().EXIFOrientation, 6);
  EXPECT_EQ(io.Params().TIFFOrientation, 6);
  io.SaveToFile(P("turned.tif"));
  ASSERT_FALSE(io.Aborting());
  ASSERT_TRUE(RunTool("tiffinfo " + P("turned.tif") + " | grep -q 'Orientation: row 0 rhs, col 0 top'"));
}

}  // namespace
}  // namespace pixoran
