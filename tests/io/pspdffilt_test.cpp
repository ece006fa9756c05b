// PostScript and PDF writers: pages rendered back by Ghostscript and
// poppler match the source image at 1, 8 and 24 bits with every
// compression, qpdf accepts every PDF, and the document structure.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "external_tools.h"
#include "io/pixoranio.h"
#include "io/formats/pspdf/pspdffilt.h"
#include "io/pxformats.h"
#include "std_regex.h"
#include "testsupport.h"

namespace pixoran {
namespace {

using testing::HaveTool;
using testing::ReadPnm;
using testing::RunTool;
using testing::TPnm;

std::string Text(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

// A stream that takes only its first limit bytes.
class TShortStream : public TMemoryStream {
 public:
  explicit TShortStream(int64_t limit) : limit_(limit) {}
  int64_t Write(const void* buffer, int64_t count) override {
    const int64_t room = std::max<int64_t>(0, limit_ - Position());
    return TMemoryStream::Write(buffer, std::min(room, count));
  }

 private:
  int64_t limit_;
};

// Reverses the run-length form; stops at the end mark.
std::vector<uint8_t> DecodeRunLength(const std::vector<uint8_t>& in) {
  std::vector<uint8_t> out;
  for (size_t i = 0; i < in.size();) {
    const uint8_t n = in[i++];
    if (n == 128) break;
    if (n < 128) {
      out.insert(out.end(), in.begin() + static_cast<std::ptrdiff_t>(i),
                 in.begin() + static_cast<std::ptrdiff_t>(i + n + 1));
      i += n + 1;
    } else {
      out.insert(out.end(), 257 - n, in[i++]);
    }
  }
  return out;
}

TEST(PSPDF, EncodersAndFitting) {
  std::vector<uint8_t> a;
  const uint8_t zeros[4] = {};
  EXPECT_EQ(EncodeASCII85(zeros, 4, a), 5);
  EXPECT_EQ(Text(a), "z~>\r\n");
  a.clear();
  EncodeASCII85(reinterpret_cast<const uint8_t*>("abc"), 3, a);
  EXPECT_EQ(Text(a), "@:E^~>\r\n");
  // Long data: no line longer than 79 characters.
  std::vector<uint8_t> many(1000);
  for (size_t i = 0; i < many.size(); ++i) many[i] = static_cast<uint8_t>(i * 7 + 1);
  a.clear();
  EncodeASCII85(many.data(), 1000, a);
  size_t longest = 0, run = 0;
  for (uint8_t c : a) run = c == '\n' ? 0 : run + 1, longest = std::max(longest, run);
  EXPECT_LE(longest, 80u);
  EXPECT_GT(longest, 74u);

  std::vector<uint8_t> r;
  const std::vector<uint8_t> same(300, 9);
  EncodeRunLength(same.data(), 300, r);
  EXPECT_EQ(r, (std::vector<uint8_t>{129, 9, 129, 9, 213, 9, 128}));
  std::vector<uint8_t> mixed(many.begin(), many.begin() + 309);
  const uint8_t head[9] = {1, 2, 3, 3, 3, 4, 5, 5, 6};
  std::copy(head, head + 9, mixed.begin());
  r.clear();
  EncodeRunLength(mixed.data(), static_cast<int64_t>(mixed.size()), r);
  EXPECT_EQ(DecodeRunLength(r), mixed);

  EXPECT_EQ(FitImageToPaper(1000, 500, 595, 842), std::make_pair(595, 297));
  EXPECT_EQ(FitImageToPaper(10, 5000, 595, 842), std::make_pair(1, 842));
}

// ---------------------------------------------------------------- rendering back

enum TSource { kBits1, kBits8, kBits24 };

// Hard edges for the lossless codings; smooth for JPEG.
std::unique_ptr<TPXBitmap> MakeSource(TSource kind, int32_t w, int32_t h, bool smooth = false) {
  auto b = std::make_unique<TPXBitmap>();
  b->Allocate(w, h, kind == kBits1 ? pxBW1 : kind == kBits8 ? pxGray8 : pxBGR24);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = b->Scanline(y);
    for (int32_t x = 0; x < w; ++x) {
      if (kind == kBits1) {
        if (((x / 3) + (y / 2)) % 3 == 0 || x == 0) row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
      } else if (kind == kBits8) {
        row[x] = static_cast<uint8_t>(x * 255 / (w - 1));
      } else {
        row[3 * x] = static_cast<uint8_t>(x * 4);
        row[3 * x + 1] = static_cast<uint8_t>(y * 6);
        row[3 * x + 2] = static_cast<uint8_t>(smooth ? (x + y) * 2 : (x / 8 + y / 8) % 2 ? 230 : 20);
      }
    }
  }
  return b;
}

// Mean and largest difference of a rendered page against the source; the
// page is rendered at scale times the image's size and sampled at the
// centre of each image pixel.
void Compare(TPXBitmap& src, const TPnm& page, int32_t scale, double& mean, int& largest) {
  double sum = 0;
  largest = 0;
  std::vector<uint8_t> bgr(static_cast<size_t>(src.Width()) * 3);
  for (int32_t y = 0; y < src.Height(); ++y) {
    RowToBGR24(src.PixelFormat(), src.Scanline(y), bgr.data(), src.Width());
    for (int32_t x = 0; x < src.Width(); ++x)
      for (int c = 0; c < 3; ++c) {
        const int d = std::abs(page.At(x * scale + scale / 2, y * scale + scale / 2, page.Channels == 3 ? c : 0) -
                               bgr[3 * x + 2 - c]);
        sum += d;
        largest = std::max(largest, d);
      }
  }
  mean = sum / (3.0 * src.Width() * src.Height());
}

class PSPDFRender : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HaveTool("gs") || !HaveTool("pdftoppm") || !HaveTool("qpdf")) GTEST_SKIP() << "gs, poppler or qpdf missing";
    dir_ = testing::MakeTempDir("pspdf");
  }
  std::string dir_;
};

struct TRenderCase {
  TSource source;
  uint8_t psCompression, pdfCompression;
  uint8_t jpegColorSpace;
  bool lossy;
};

TEST_F(PSPDFRender, PagesRenderBackToTheSource) {
  const TRenderCase cases[] = {
      {kBits1, 0, 0, 2, false},  {kBits1, 1, 1, 2, false},  {kBits1, 2, 2, 2, false},  {kBits1, 3, 3, 2, false},
      {kBits1, 9, 4, 2, false},  {kBits1, 0, 9, 2, false},  {kBits8, 0, 0, 2, false},  {kBits8, 3, 4, 1, true},
      {kBits24, 0, 0, 2, false}, {kBits24, 1, 1, 2, false}, {kBits24, 2, 2, 2, false}, {kBits24, 9, 9, 2, false},
      {kBits24, 3, 4, 2, true},  {kBits24, 3, 4, 0, true},  {kBits24, 3, 4, 3, true},
  };
  const int32_t w = 61, h = 37;
  int n = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE("source " + std::to_string(c.source) + " ps " + std::to_string(c.psCompression) + " pdf " +
                 std::to_string(c.pdfCompression) + " jpeg space " + std::to_string(c.jpegColorSpace));
    auto src = MakeSource(c.source, w, h, c.lossy);
    TIOParamsVals params;
    // Stale layout fields: the bitmap decides.
    params.BitsPerSample = c.source == kBits1 ? 8 : 1;
    params.SamplesPerPixel = c.source == kBits1 ? 3 : 2;
    params.PSPaperWidth = params.PDFPaperWidth = w;
    params.PSPaperHeight = params.PDFPaperHeight = h;
    params.PSCompression = c.psCompression;
    params.PDFCompression = c.pdfCompression;
    params.JPEGColorSpace = c.jpegColorSpace;
    params.JPEGQuality = 95;
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    TMemoryStream ps, pdf;
    WritePSStream(ps, *src, params, progress);
    WritePDFStream(pdf, *src, params, progress);
    ASSERT_FALSE(aborting);
    // Bilevel pages are fax coded when asked, run-length coded otherwise.
    if (c.source == kBits1) {
      const char* psK = c.psCompression == 1 ? "/K -1 " : c.psCompression == 2 ? "/K 1 " : "/RunLengthDecode";
      const char* pdfK = c.pdfCompression == 2   ? "/K -1\n"
                         : c.pdfCompression == 3 ? "/K 1\n"
                         : c.pdfCompression == 0 ? "/BitsPerComponent 1"
                                                 : "/RunLengthDecode";
      EXPECT_NE(Text(ps.Bytes()).find(psK), std::string::npos);
      EXPECT_NE(Text(pdf.Bytes()).find(pdfK), std::string::npos);
    }
    const std::string base = dir_ + "/p" + std::to_string(n++);
    ps.SaveToFile(base + ".ps");
    pdf.SaveToFile(base + ".pdf");
    EXPECT_TRUE(RunTool("qpdf --check " + base + ".pdf"));
    ASSERT_TRUE(RunTool("gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=ppmraw -r72 -g" + std::to_string(w) + "x" +
                        std::to_string(h) + " -sOutputFile=" + base + "_gs.ppm " + base + ".ps"));
    // Poppler widens images by a device pixel to close seams: it renders at
    // four times the size and is sampled at pixel centres.
    ASSERT_TRUE(RunTool("pdftoppm -r 288 -singlefile " + base + ".pdf " + base + "_pop"));
    for (const std::string& out : {base + "_gs.ppm", base + "_pop.ppm"}) {
      SCOPED_TRACE(out);
      const int32_t scale = out.ends_with("_pop.ppm") ? 4 : 1;
      TPnm page;
      ASSERT_TRUE(ReadPnm(out, page));
      ASSERT_EQ(page.Width, w * scale);
      ASSERT_EQ(page.Height, h * scale);
      double mean = 0;
      int largest = 0;
      Compare(*src, page, scale, mean, largest);
      if (c.lossy) {
        EXPECT_LT(mean, 2.0);
      } else {
        EXPECT_LT(mean, 0.5);
        EXPECT_LE(largest, 2);
      }
    }
  }
}

// Three pages: the count line says 3 in its field, the trailer follows the
// last page, and Ghostscript renders three pages.
TEST_F(PSPDFRender, MultiPagePostScript) {
  TMemoryStream ps;
  TIOParamsVals params;
  params.PSTitle = "Three\r\npages";
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  auto state = WritePSHeader(ps, params);
  for (TSource s : {kBits1, kBits24, kBits8}) {
    auto b = MakeSource(s, 20, 10);
    WritePSPage(*state, ps, *b, progress, params);
  }
  EXPECT_TRUE(WritePSTrailer(std::move(state), ps));
  ASSERT_FALSE(aborting);
  const std::string text = Text(ps.Bytes());
  EXPECT_NE(text.find("\r\n%%Pages: 3     \r\n"), std::string::npos);
  EXPECT_NE(text.find("%%Title: Three  pages\r\n"), std::string::npos);
  EXPECT_TRUE(text.ends_with("showpage\r\n%%Trailer\r\nend\r\n%%EOF\r\n"));
  EXPECT_NE(text.find("%%Page: 3 3\r\n"), std::string::npos);
  EXPECT_TRUE(std::regex_search(text, std::regex("%%CreationDate: (Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                                                 "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \\d\\d "
                                                 "\\d\\d:\\d\\d:\\d\\d \\d{4}\r\n")));
  ps.SaveToFile(dir_ + "/three.ps");
  ASSERT_TRUE(RunTool("gs -q -dSAFER -dBATCH -dNOPAUSE -sDEVICE=pgmraw -r10 -sOutputFile=" + dir_ + "/page%d.pgm " +
                      dir_ + "/three.ps"));
  TPnm page;
  EXPECT_TRUE(ReadPnm(dir_ + "/page3.pgm", page));
  EXPECT_FALSE(ReadPnm(dir_ + "/page4.pgm", page));
}

// One page: catalogue, resources, image, content, page, pages and
// information in that order; the cross-reference offsets point at them;
// texts outside ASCII survive as UTF-16.
TEST_F(PSPDFRender, PdfStructure) {
  auto b = MakeSource(kBits24, 1000, 500);
  TIOParamsVals params;
  params.PDFCompression = 0;
  params.PDFTitle = "标题 (draft)";
  params.PDFAuthor = "Ann";
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream pdf;
  WritePDFStream(pdf, *b, params, progress);
  ASSERT_FALSE(aborting);
  const std::string text = Text(pdf.Bytes());
  EXPECT_EQ(text.substr(0, 15), "%PDF-1.4\n%\xC8\xD2\xF0\xFE\n");
  const char* expected[] = {"<< /Type /Catalog",
                            "<< /ProcSet [/PDF /ImageB ]",
                            "<< /Type /XObject\n/Subtype /Image",
                            "<< /Length 32",
                            "<< /Type /Page\n",
                            "<< /Type /Pages",
                            "<< /Title ("};
  std::smatch m;
  const std::regex xrefEntry("(\\d{10}) 00000 n \n");
  size_t xref = text.find("xref\n0 8\n0000000000 65535 f \n");
  ASSERT_NE(xref, std::string::npos);
  auto it = std::sregex_iterator(text.begin() + static_cast<std::ptrdiff_t>(xref), text.end(), xrefEntry);
  for (int i = 1; i <= 7; ++i, ++it) {
    ASSERT_NE(it, std::sregex_iterator()) << i;
    const size_t offset = std::stoul((*it)[1].str());
    const std::string head = std::to_string(i) + " 0 obj\n";
    EXPECT_EQ(text.compare(offset, head.size(), head), 0) << i;
    EXPECT_EQ(text.compare(offset + head.size(), std::strlen(expected[i - 1]), expected[i - 1]), 0) << i;
  }
  // 1000 x 500 on A4 is 595 x 297 at the top.
  EXPECT_NE(text.find("q\n595 0 0 297 0 545 cm\n/lm1 Do\nQ"), std::string::npos);
  EXPECT_NE(text.find("/MediaBox [0 0 595 842 ]"), std::string::npos);
  const std::string file = dir_ + "/s.pdf";
  pdf.SaveToFile(file);
  EXPECT_TRUE(RunTool("qpdf --check " + file));
  ASSERT_TRUE(RunTool("pdfinfo " + file + " > " + dir_ + "/info.txt"));
  const std::vector<uint8_t> info = testing::ReadFileBytes(dir_ + "/info.txt");
  EXPECT_NE(Text(info).find("标题 (draft)"), std::string::npos);
  EXPECT_NE(Text(info).find("Author:          Ann"), std::string::npos);

  // Names escape spaces and delimiters.
  TMemoryStream ms;
  {
    TPXPDFWriter out(ms);
    TPXPDFNameObject("a b/c").Write(out);
    out.Put(" ");
    TPXPDFNumericObject(0.25).Write(out);
    out.Put(" ");
    TPXPDFStringObject("x(\\)\n").Write(out);
  }
  EXPECT_EQ(Text(ms.Bytes()), "/a#20b#2Fc 0.25 (x\\(\\\\\\)\\n)");
}

// Pages of a document share the resources; each page has its own image.
TEST_F(PSPDFRender, MultiPagePdf) {
  TIOParamsVals params;
  params.PDFCompression = 2;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  auto doc = CreatePDFDocument();
  for (TSource s : {kBits1, kBits24, kBits8}) {
    auto b = MakeSource(s, 30, 20);
    AddPDFPage(*doc, *b, params, progress);
  }
  TMemoryStream pdf;
  EXPECT_TRUE(SavePDFDocument(std::move(doc), pdf, params));
  ASSERT_FALSE(aborting);
  const std::string text = Text(pdf.Bytes());
  EXPECT_NE(text.find("<< /lm1 3 0 R\n/lm2 6 0 R\n/lm3 9 0 R\n>>"), std::string::npos);
  EXPECT_NE(text.find("/Kids [5 0 R 8 0 R 11 0 R ]\n/Count 3"), std::string::npos);
  const std::string file = dir_ + "/three.pdf";
  pdf.SaveToFile(file);
  EXPECT_TRUE(RunTool("qpdf --check " + file));
  ASSERT_TRUE(RunTool("pdftoppm -r 72 " + file + " " + dir_ + "/pg"));
  TPnm page;
  EXPECT_TRUE(ReadPnm(dir_ + "/pg-3.ppm", page));
}

TEST(PSPDF, ShortWritesAbort) {
  auto b = MakeSource(kBits24, 40, 30);
  TIOParamsVals params;
  for (int64_t limit : {int64_t{0}, int64_t{20}, int64_t{300}, int64_t{3000}}) {
    for (bool pdf : {false, true}) {
      TShortStream s(limit);
      std::atomic<bool> aborting{false};
      TPXProgressRec progress;
      progress.Aborting = &aborting;
      if (pdf) WritePDFStream(s, *b, params, progress);
      else WritePSStream(s, *b, params, progress);
      EXPECT_TRUE(aborting) << limit << " " << pdf;
    }
  }
}

// Through the I/O component: other pixel formats reach the writers as 24-bit
// copies, and the caller's bitmap stays as it was.
TEST(PSPDF, ComponentSaves) {
  TPixoranIO io;
  ASSERT_TRUE(io.PXBitmap()->Allocate(8, 4, pxPal8));
  io.PXBitmap()->SetPaletteEntry(1, TBGR{10, 20, 30});
  io.PXBitmap()->Scanline(0)[0] = 1;
  TMemoryStream ps, pdf;
  io.SaveToStream(ps, ioPS);
  EXPECT_FALSE(io.Aborting());
  io.SaveToStream(pdf, ioPDF);
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(io.PXBitmap()->PixelFormat(), pxPal8);
  EXPECT_TRUE(Text(ps.Bytes()).starts_with("%!PS-Adobe-3.0\r\n"));
  EXPECT_TRUE(Text(pdf.Bytes()).ends_with("%%EOF\n"));
}

}  // namespace
}  // namespace pixoran
