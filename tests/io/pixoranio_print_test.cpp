#include <gtest/gtest.h>

#include "external_tools.h"
#include "io/pixoranio.h"
#include "core/kopxutils_controls.h"
#include "io/pxprint.h"
#include "platform/imagectl.h"
#include "platform/printer.h"
#include "testsupport.h"

using namespace pixoran;
using namespace pixoran::testing;

TEST(PrintLayout, RectanglesForEachModeAndPosition) {
  const TPrintDevice letter{100, 100, 850, 1100};  // 8.5 x 11 inches at 100 dpi
  struct Case {
    TPrintDevice dev;
    uint8_t size, vpos, hpos;
    double specW, specH, margin;
    int32_t dpi;
    TRect expect;
  };
  const Case kCases[] = {
      {letter, pxpsNormal, 0, 0, 6, 4, 1, 100, Rect(100, 100, 300, 200)},
      {letter, pxpsNormal, 0, 0, 6, 4, 1, 1, Rect(100, 100, 300, 200)},  // dpi 1 takes the device's
      {letter, pxpsNormal, 1, 1, 6, 4, 1, 200, Rect(375, 525, 475, 575)},
      {letter, pxpsFitToPage, 1, 1, 6, 4, 1, 300, Rect(100, 387, 750, 712)},
      {letter, pxpsStretchToPage, 2, 2, 6, 4, 1, 100, Rect(100, 100, 750, 1000)},
      {letter, pxpsSpecified, 2, 2, 3, 2, 1, 100, Rect(450, 800, 750, 1000)},
      {letter, pxpsSpecified, 5, 9, 3, 2, 1, 100, Rect(0, 0, 300, 200)},  // other positions: page edge
      {letter, 7, 1, 1, 3, 2, 1, 100, Rect(0, 0, 0, 0)},                  // unknown mode: nothing
      {letter, pxpsFitToPage, 1, 1, 3, 2, 5, 100, Rect(0, 0, 0, 0)},      // margins leave no area
      {TPrintDevice{100, 100, 0, 0}, pxpsFitToPage, 1, 1, 3, 2, 0, 100, Rect(0, 0, 0, 0)},
      {TPrintDevice{0, 0, 850, 1100}, pxpsNormal, 1, 1, 3, 2, 0, 100, Rect(0, 0, 0, 0)},
  };
  for (const Case& c : kCases) {
    TPrintLayoutArgs a;
    a.MarginLeft = a.MarginTop = a.MarginRight = a.MarginBottom = c.margin;
    a.Size = c.size, a.VerticalPosition = c.vpos, a.HorizontalPosition = c.hpos;
    a.SpecWidth = c.specW, a.SpecHeight = c.specH;
    const TRect r = PrintLayoutRect(c.dev, a, 200, 100, c.dpi, c.dpi);
    EXPECT_EQ(r.Left, c.expect.Left) << int(c.size) << " " << int(c.vpos);
    EXPECT_EQ(r.Top, c.expect.Top) << int(c.size) << " " << int(c.vpos);
    EXPECT_EQ(r.Right, c.expect.Right) << int(c.size) << " " << int(c.vpos);
    EXPECT_EQ(r.Bottom, c.expect.Bottom) << int(c.size) << " " << int(c.vpos);
  }
}

namespace {
// Left half red, right half blue.
void MakeTwoColour(TPixoranIO& io, int32_t w, int32_t h) {
  TPXBitmap& b = *io.PXBitmap();
  ASSERT_TRUE(b.Allocate(w, h, pxBGR24));
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < w; ++x) {
      row[3 * x] = x < w / 2 ? 0 : 255;
      row[3 * x + 1] = 0;
      row[3 * x + 2] = x < w / 2 ? 255 : 0;
    }
  }
}
// The printer is reached through the hooks the widget part installs; the
// test program installs none of its own, so each printing test installs
// them and puts back what was there.
class PrintImage : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_ = PXSettings().PrinterHooks;
    InstallControlHooks();
  }
  void TearDown() override { PXSettings().PrinterHooks = saved_; }

 private:
  TPXPrinterHooks saved_;
};

// An image control with a 4 x 4 8-bit red picture, attached to a component,
// and a white page side x side to print on, stretched without margins.
struct TControlPrint {
  TImage image;
  TPixoranIO io;
  TBitmap page;
  TPrintLayoutArgs args;
  explicit TControlPrint(int32_t side) {
    image.Picture().SetPixelFormat(pf8bit);
    image.Picture().SetSize(4, 4);
    image.Picture().SetPaletteEntries(0, {TPaletteEntry{0, 200, 0, 0}});
    io.SetAttachedTImage(&image);
    page.SetPixelFormat(pf24bit);
    page.SetSize(side, side);
    page.Canvas().Brush.Color = clWhite;
    page.Canvas().FillRect(Rect(0, 0, side, side));
    args.Size = pxpsStretchToPage;
    args.MarginLeft = args.MarginTop = args.MarginRight = args.MarginBottom = 0;
  }
  ~TControlPrint() { io.SetAttachedTImage(nullptr); }
};
}  // namespace

// A program that links only the image layers has no printer: printing,
// preview and the print-preview dialog end unsupported with their reason,
// and leave the image, the control's picture and the caller's bitmaps as
// they were.
TEST(PrintWithoutPrinter, EndsUnsupportedAndChangesNothing) {
  ASSERT_EQ(PXSettings().PrinterHooks.Metrics, nullptr) << "test_io installs no printer";
  ASSERT_EQ(PXSettings().PrinterHooks.Canvas, nullptr);
  ASSERT_FALSE(PXDialogHooks().PrintPreviewDialog) << "test_io installs no dialogs";
  TControlPrint c(40);
  TImage& image = c.image;
  TPixoranIO& io = c.io;
  TBitmap& page = c.page;
  const TPrintLayoutArgs& a = c.args;
  io.PrintImage(&page.Canvas(), a);
  EXPECT_EQ(io.LastResult(), iorUnsupported);
  EXPECT_NE(io.LastResultText().find("no printer"), std::string::npos) << io.LastResultText();
  EXPECT_EQ(image.Picture().PixelFormat(), pf8bit);
  EXPECT_EQ(page.Canvas().Pixel(20, 20), RGBColor(255, 255, 255));

  TBitmap preview;
  preview.SetPixelFormat(pf8bit);
  preview.SetSize(3, 2);
  io.PreviewPrintImage(preview, 105, 205, nullptr, a);
  EXPECT_EQ(io.LastResult(), iorUnsupported);
  EXPECT_EQ(preview.Width(), 3);
  EXPECT_EQ(preview.Height(), 2);
  EXPECT_EQ(preview.PixelFormat(), pf8bit);

  io.SetPrinterReset(true);
  EXPECT_EQ(io.DoPrintPreviewDialog(0, "x"), 0);
  EXPECT_EQ(io.LastResult(), iorUnsupported);
  EXPECT_NE(io.LastResultText().find("no print-preview dialog"), std::string::npos) << io.LastResultText();
  EXPECT_EQ(image.Picture().PixelFormat(), pf8bit);
  EXPECT_EQ(io.PXBitmap()->Width(), 4);
}

TEST_F(PrintImage, PdfShowsTheImageWhereTheLayoutPutsIt) {
  if (!HaveTool("pdftoppm")) GTEST_SKIP() << "pdftoppm missing";
  const std::string dir = MakeTempDir("print");
  TPrinter& printer = Printer();
  printer.Reset();
  printer.SetOutputFileName(dir + "/page.pdf");
  printer.SetPageSizeMM(101.6, 101.6);  // 4 x 4 inches
  printer.SetFullPage(true);
  printer.SetResolution(300);
  TPixoranIO io;
  MakeTwoColour(io, 40, 20);
  TPrintLayoutArgs a;
  a.MarginLeft = a.MarginTop = a.MarginRight = a.MarginBottom = 0.5;
  a.Size = pxpsSpecified, a.SpecWidth = 2, a.SpecHeight = 1;
  a.VerticalPosition = 0, a.HorizontalPosition = 0;
  ASSERT_TRUE(printer.BeginDoc("测试"));
  io.PrintImage(nullptr, a);
  printer.EndDoc();
  printer.Reset();
  ASSERT_TRUE(RunTool("pdftoppm -r 50 -singlefile " + dir + "/page.pdf " + dir + "/page"));
  TPnm page;
  ASSERT_TRUE(ReadPnm(dir + "/page.ppm", page));
  ASSERT_EQ(page.Width, 200);  // 4 inches at 50 dpi
  ASSERT_EQ(page.Channels, 3);
  // The image covers x 25..125, y 25..75: red left half, blue right half.
  const struct {
    int x, y, r, g, b;
  } kProbes[] = {
      {50, 50, 255, 0, 0},      {100, 50, 0, 0, 255}, {10, 10, 255, 255, 255}, {150, 50, 255, 255, 255},
      {75, 100, 255, 255, 255}, {30, 28, 255, 0, 0},  {120, 72, 0, 0, 255},    {75, 20, 255, 255, 255},
  };
  for (const auto& p : kProbes) {
    EXPECT_NEAR(page.At(p.x, p.y, 0), p.r, 8) << p.x << "," << p.y;
    EXPECT_NEAR(page.At(p.x, p.y, 1), p.g, 8) << p.x << "," << p.y;
    EXPECT_NEAR(page.At(p.x, p.y, 2), p.b, 8) << p.x << "," << p.y;
  }
}

TEST_F(PrintImage, PreviewDrawsTheLayoutAndSurvivesEmptyAreas) {
  TPrinter printer;
  printer.SetOutputFileName(MakeTempDir("preview") + "/unused.pdf");
  printer.SetPageSizeMM(101.6, 203.2);  // 4 x 8 inches
  printer.SetFullPage(true);
  printer.SetResolution(300);
  TPixoranIO io;
  MakeTwoColour(io, 40, 20);
  TPrintLayoutArgs a;
  a.Size = pxpsStretchToPage;
  a.MarginLeft = a.MarginTop = a.MarginRight = a.MarginBottom = 1;
  TBitmap preview;
  io.PreviewPrintImage(preview, 105, 205, &printer, a);
  // Scale 0.0833...: the page becomes 100 x 200 at 25 dpi.
  ASSERT_EQ(preview.Width(), 100);
  ASSERT_EQ(preview.Height(), 200);
  EXPECT_EQ(preview.Canvas().Pixel(40, 100), RGBColor(255, 0, 0));
  EXPECT_EQ(preview.Canvas().Pixel(60, 100), RGBColor(0, 0, 255));
  EXPECT_EQ(preview.Canvas().Pixel(10, 10), RGBColor(255, 255, 255));
  // Margins that leave no area: a white page with no image, and no division by zero.
  a.MarginLeft = a.MarginRight = 3;
  io.PreviewPrintImage(preview, 105, 205, &printer, a);
  EXPECT_EQ(preview.Canvas().Pixel(50, 100), RGBColor(255, 255, 255));
  io.PreviewPrintImage(preview, 0, 0, &printer, a);
  EXPECT_TRUE(preview.Empty());
  // A 1 x 1 image never reaches a form.
  ASSERT_TRUE(io.PXBitmap()->Allocate(1, 1, pxBGR24));
  EXPECT_EQ(io.DoPrintPreviewDialog(0, "x"), 0);
}

// An image control's 8-bit picture is made 24-bit before it is printed, and
// prints its own colours.
TEST_F(PrintImage, ImageControlPictureIsPrintedFrom24Bits) {
  TPrinter& printer = Printer();
  printer.Reset();
  printer.SetOutputFileName(MakeTempDir("printimage") + "/unused.pdf");
  printer.SetPageSizeMM(101.6, 101.6);
  printer.SetFullPage(true);
  printer.SetResolution(100);
  TControlPrint c(400);
  c.io.PrintImage(&c.page.Canvas(), c.args);
  EXPECT_EQ(c.image.Picture().PixelFormat(), pf24bit);
  EXPECT_EQ(c.page.Canvas().Pixel(200, 200), RGBColor(0, 200, 0));
  printer.Reset();
}

// DoPreviews: a handler that handles it answers for the dialog; otherwise the
// image goes to 24 bits and the dialog hook answers (cancelled without one).
TEST(Previews, HandledConvertedAndHooked) {
  TPixoranIO io;
  ASSERT_TRUE(io.PXBitmap()->Allocate(4, 4, pxGray8));
  bool handle = true;
  io.OnDoPreviews = [&](TPixoranIO*, bool& handled) { handled = handle; };
  EXPECT_TRUE(io.DoPreviews(1));
  EXPECT_EQ(io.PXBitmap()->PixelFormat(), pxGray8);
  handle = false;
  TPXDialogHooks saved = PXDialogHooks();
  PXDialogHooks().Previews = nullptr;
  EXPECT_FALSE(io.DoPreviews(1));
  EXPECT_EQ(io.PXBitmap()->PixelFormat(), pxBGR24);
  uint32_t pagesSeen = 0;
  PXDialogHooks().Previews = [&](TPixoranIO& component, uint32_t pages) {
    EXPECT_EQ(&component, &io);
    pagesSeen = pages;
    return true;
  };
  EXPECT_TRUE(io.DoPreviews(0x24));
  EXPECT_EQ(pagesSeen, 0x24u);
  PXDialogHooks() = saved;
}
