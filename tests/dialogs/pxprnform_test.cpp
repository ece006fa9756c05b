#include <gtest/gtest.h>

#include <QComboBox>
#include <QFileInfo>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <fstream>
#include <string>
#include <vector>
#include <cstdlib>

#include "dialogs/pxprnform1.h"
#include "dialogs/pxprnform2.h"
#include "dialogs/pxprnhooks.h"
#include "io/iohooks.h"
#include "io/pixoranio.h"
#include "platform/printer.h"
#include "platform/system.h"
#include "core/kopxutils_controls.h"
#include "core/kopxutils_settings.h"
#include "sanitized.h"
#include "testsupport.h"
#include "view/pixoranview.h"

using namespace pixoran;
using namespace pixoran::testing;

namespace {
void MakeRed(TPixoranIO& io, int32_t w, int32_t h) {
  TPXBitmap& b = *io.PXBitmap();
  ASSERT_TRUE(b.Allocate(w, h, pxBGR24));
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < w; ++x) row[3 * x] = 0, row[3 * x + 1] = 0, row[3 * x + 2] = 255;
  }
}

// The forms print through the I/O component, which reaches the printer
// through the hooks a program installs at start-up.
class PrintForms : public ::testing::Test {
 protected:
  void SetUp() override { InstallControlHooks(); }
  // The printer, reset, writing the PDF file name in a new folder; the
  // folder.
  static std::string PrintToPdf(const char* tag, const std::string& name) {
    const std::string dir = MakeTempDir(tag);
    Printer().Reset();
    Printer().SetOutputFileName(dir + "/" + name);
    return dir;
  }
};
}  // namespace

TEST_F(PrintForms, ReadingTheControls) {
  TPixoranIO io;
  MakeRed(io, 40, 20);
  TfpxPrnForm2 form(io);
  TPrnControls& c = form.Controls();
  c.Edit[2]->setText("2,5");
  c.Edit[1]->setText("2.5");
  c.Edit[7]->setText("abc");
  c.SpeedButton[9]->click();
  TPrintLayoutArgs a = form.CurrentArgs();
  EXPECT_DOUBLE_EQ(a.MarginLeft, 2.5);
  EXPECT_DOUBLE_EQ(a.MarginTop, 2.5);
  EXPECT_DOUBLE_EQ(a.Gamma, 1);
  EXPECT_EQ(a.Size, pxpsFitToPage);  // none chosen yet
  EXPECT_EQ(a.HorizontalPosition, 2);
  EXPECT_EQ(a.VerticalPosition, 2);
  c.SpeedButton[4]->click();
  a = form.CurrentArgs();
  EXPECT_EQ(a.HorizontalPosition, 0);
  EXPECT_EQ(a.VerticalPosition, 1);

  form.SetMeasureUnit(3);
  c.Edit[3]->setText("2.54");
  EXPECT_NEAR(form.CurrentArgs().MarginRight, 1.0, 1e-12);

  // The step buttons never go below 0.
  c.Edit[4]->setText("0.005");
  c.Down[4]->click();
  EXPECT_EQ(c.Edit[4]->text(), "0");
  c.Edit[7]->setText("1");
  c.Up[7]->click();
  EXPECT_EQ(c.Edit[7]->text(), "1.1");
  EXPECT_FALSE(c.Edit[5]->isEnabled());
  c.ComboBox1->setCurrentIndex(3);
  EXPECT_TRUE(c.Edit[5]->isEnabled());
}

TEST_F(PrintForms, UnitSwitchAndCaptions) {
  TPixoranIO io;
  MakeRed(io, 40, 20);
  TfpxPrnForm2 form(io);
  form.SetMeasureUnit(2);
  form.ApplyLanguage(msGerman);
  EXPECT_EQ(form.windowTitle(), "Drucken");
  EXPECT_EQ(form.Button2->text(), "Abbrechen");
  EXPECT_EQ(form.Button4->text(), "Druckereinrichtung...");
  form.show();
  ASSERT_TRUE(form.ComboBox2->isVisible());
  form.ComboBox2->setCurrentIndex(1);  // to cm
  EXPECT_EQ(form.MeasureUnit(), 3);
  EXPECT_EQ(form.Controls().Edit[1]->text(), "2.54");
  EXPECT_EQ(form.Controls().Edit[7]->text(), "1");  // gamma keeps its value
  form.ComboBox2->setCurrentIndex(0);
  EXPECT_EQ(form.Controls().Edit[1]->text(), "0.999998");
  EXPECT_EQ(form.Controls().ComboBox1->currentIndex(), 1);  // fit to page on activation

  TfpxPrnForm1 form1(io);
  form1.ApplyLanguage(msFrench);
  EXPECT_EQ(form1.windowTitle(), "Imprimer");
  EXPECT_EQ(form1.SpeedButton12->text(), "Fermer");
  EXPECT_EQ(form1.Controls().SpeedButton[1]->toolTip(), "En haut à gauche");
}

TEST_F(PrintForms, PreviewShowsThePageAndOkPrints) {
  const std::string dir = PrintToPdf("prnform", "out.pdf");
  TPrinter& printer = Printer();
  TPixoranIO io;
  MakeRed(io, 40, 20);
  TfpxPrnForm2 form(io);
  form.SetTitle("job");
  form.show();
  QTest::qWait(20);
  const QImage shot = form.PixoranView1()->Widget()->grab().toImage();
  if (const char* shots = std::getenv("PIXORAN_SHOT_DIR"))  // to look at the form
    form.grab().save(QString::fromStdString(std::string(shots) + "/pxprnform2.png"));
  int red = 0, white = 0;
  for (int y = 0; y < shot.height(); y += 2)
    for (int x = 0; x < shot.width(); x += 2) {
      const QRgb p = shot.pixel(x, y);
      red += qRed(p) > 200 && qGreen(p) < 60 && qBlue(p) < 60;
      white += qRed(p) > 240 && qGreen(p) > 240 && qBlue(p) > 240;
    }
  EXPECT_GT(red, 20);    // the image on the page
  EXPECT_GT(white, 20);  // the paper around it
  TfpxPrnForm1 form1(io);
  form1.show();
  QTest::qWait(20);
  const QImage shot1 = form1.PixoranView1()->Widget()->grab().toImage();
  EXPECT_EQ(QColor(shot1.pixel(shot1.width() / 2, shot1.height() / 2)), QColor(255, 0, 0));
  if (const char* shots = std::getenv("PIXORAN_SHOT_DIR"))
    form1.grab().save(QString::fromStdString(std::string(shots) + "/pxprnform1.png"));
  form1.close();
  QTest::mouseClick(form.Button1, Qt::LeftButton);
  EXPECT_EQ(form.result(), 1);
  printer.Reset();
  EXPECT_GT(FileSizeByName(dir + "/out.pdf"), 100);
  printer.SetOutputFileName("");
}

// A PDF file that cannot be opened (its folder is gone, or a folder stands
// in its place) is no print: form 2 closes as not printed with the failure
// result, form 1 likewise, and the hook answers -1 so the program can say so.
TEST_F(PrintForms, APrintWhoseFileCannotBeOpenedIsNotPrinted) {
  const std::string dir = PrintToPdf("prnform-fail", "gone/out.pdf");
  TPrinter& printer = Printer();
  TPixoranIO io;
  MakeRed(io, 40, 20);
  TfpxPrnForm2 form(io);
  form.show();
  QTest::qWait(20);
  QTest::mouseClick(form.Button1, Qt::LeftButton);
  EXPECT_EQ(form.result(), kPrintFailedResult);
  EXPECT_FALSE(form.isVisible());
  TfpxPrnForm1 form1(io);
  form1.show();
  QTest::qWait(20);
  QTest::mouseClick(form1.SpeedButton11, Qt::LeftButton);
  EXPECT_EQ(form1.result(), kPrintFailedResult);
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(dir + "/gone/out.pdf")));

  InstallPrintPreviewForms();
  io.OnIOPreview = [](TPixoranIO*, QWidget* dialog) {
    // Presses OK as soon as the form runs.
    QTimer::singleShot(0, dialog, [dialog] {
      if (auto* f = dynamic_cast<TfpxPrnForm2*>(dialog)) QTest::mouseClick(f->Button1, Qt::LeftButton);
    });
  };
  EXPECT_EQ(io.DoPrintPreviewDialog(0, ""), -1);
  printer.SetOutputFileName("");
}

// The installed hook shows each form through the I/O component's preview
// event first, so a caller can adjust the form before it runs.
TEST_F(PrintForms, HookShowsTheFormThroughThePreviewEvent) {
  InstallPrintPreviewForms();
  TPixoranIO io;
  MakeRed(io, 20, 10);
  std::vector<std::string> seen;
  io.OnIOPreview = [&seen](TPixoranIO*, QWidget* form) {
    seen.push_back(form->metaObject()->className());
    QTimer::singleShot(0, form, [form] { static_cast<QDialog*>(form)->reject(); });
  };
  EXPECT_EQ(io.DoPrintPreviewDialog(0, "a"), 0);
  EXPECT_EQ(io.DoPrintPreviewDialog(1, "b"), 0);
  EXPECT_EQ(seen, (std::vector<std::string>{"pixoran::TfpxPrnForm2", "pixoran::TfpxPrnForm1"}));
  PXDialogHooks().PrintPreviewDialog = nullptr;
}

// A huge specified size with a gamma: the preview and the print make pixels
// only for what falls on the preview bitmap and the page (the whole target
// would be about 30000 x 30000 pixels in the preview, 100000 x 100000 on
// the page), and show the gamma-corrected image from the top-left margin.
TEST_F(PrintForms, HugeSizeWithGammaRendersOnlyThePage) {
  const std::string dir = MakeTempDir("prnhuge");
  TPrinter& printer = Printer();
  printer.SetOutputFileName(dir + "/huge.pdf");
  printer.SetResolution(100);
  TPixoranIO io;
  TPXBitmap& b = *io.PXBitmap();
  ASSERT_TRUE(b.Allocate(40, 20, pxBGR24));
  for (int32_t y = 0; y < 20; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < 40; ++x) row[3 * x] = 64, row[3 * x + 1] = 128, row[3 * x + 2] = 200;
  }
  TfpxPrnForm2 form(io);
  form.show();
  QTest::qWait(20);
  TPrnControls& c = form.Controls();
  c.SpeedButton[1]->click();  // top left
  c.ComboBox1->setCurrentIndex(3);
  c.Edit[5]->setText("1000");
  c.Edit[6]->setText("1000");
  c.Edit[7]->setText("2");
  QTest::qWait(20);
  // The preview: gamma 2 makes 64, 128, 200 into 128, 181, 226.
  TBitmap* page = form.PixoranView1()->GetTBitmap();
  ASSERT_NE(page, nullptr);
  ASSERT_GT(page->Width(), 20);
  const uint8_t* row = page->ScanLine(page->Height() / 2);
  const uint8_t* p = row + 3 * (page->Width() / 2);
  EXPECT_EQ(p[0], 128);
  EXPECT_EQ(p[1], 181);
  EXPECT_EQ(p[2], 226);
  QTest::mouseClick(form.Button1, Qt::LeftButton);
  printer.Reset();
  ASSERT_EQ(QProcess::execute("pdftoppm", {"-r", "20", "-png", "-singlefile", QString::fromStdString(dir + "/huge.pdf"),
                                           QString::fromStdString(dir + "/page")}),
            0);
  const QImage printed(QString::fromStdString(dir + "/page.png"));
  ASSERT_FALSE(printed.isNull());
  const QColor mid(printed.pixel(printed.width() / 2, printed.height() / 2));
  EXPECT_NEAR(mid.blue(), 128, 3);
  EXPECT_NEAR(mid.green(), 181, 3);
  EXPECT_NEAR(mid.red(), 226, 3);
  const QColor corner(printed.pixel(2, 2));  // inside the margin: paper
  EXPECT_EQ(corner, QColor(255, 255, 255));
  printer.SetOutputFileName("");
}

// A picture fitted to an A4 page at 1200 dpi with a gamma (a page of about
// 9600 x 13700 pixels, 400 MB): the page is drawn in bands, so the print
// holds less than the smallest memory budget the machine could give, on
// any machine; the printed page shows the gamma-corrected picture.
TEST_F(PrintForms, GammaAtThePrintersResolutionStaysWithinTheMemoryBudget) {
  const std::string dir = MakeTempDir("prn1200");
  TPrinter& printer = Printer();
  printer.SetOutputFileName(dir + "/fine.pdf");
  printer.SetPageSizeMM(210, 297);
  printer.SetResolution(1200);
  TPixoranIO io;
  TPXBitmap& b = *io.PXBitmap();
  ASSERT_TRUE(b.Allocate(300, 400, pxBGR24));
  for (int32_t y = 0; y < 400; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < 300; ++x) row[3 * x] = 64, row[3 * x + 1] = 128, row[3 * x + 2] = y < 200 ? 200 : 100;
  }
  TfpxPrnForm2 form(io);
  form.show();
  QTest::qWait(20);
  TPrnControls& c = form.Controls();
  c.SpeedButton[5]->click();        // centred
  c.ComboBox1->setCurrentIndex(1);  // fit
  c.Edit[7]->setText("2");
  QTest::qWait(20);
  ASSERT_GT(printer.PageWidth(), 9000);
  ResetPeakMemory();
  const int64_t before = PeakMemory();
  QTest::mouseClick(form.Button1, Qt::LeftButton);
  const int64_t peak = PeakMemory();
  printer.Reset();
  ASSERT_GT(before, 0);
  std::printf("printing at 1200 dpi grew the peak by %lld MB\n", static_cast<long long>((peak - before) >> 20));
  // (Sanitizers keep freed blocks resident: there the figure says nothing.)
  if (!kSanitized) {
    EXPECT_LT(peak - before, std::min(CodecMemoryLimit(), PXSettings().CodecMemoryFloor))
        << "grew " << ((peak - before) >> 20) << " MB";
  }
  ASSERT_EQ(
      QProcess::execute("pdftoppm", {"-r", "100", "-png", "-singlefile", QString::fromStdString(dir + "/fine.pdf"),
                                     QString::fromStdString(dir + "/page")}),
      0);
  const QImage printed(QString::fromStdString(dir + "/page.png"));
  ASSERT_FALSE(printed.isNull());
  if (const char* shots = std::getenv("PIXORAN_SHOT_DIR")) printed.save(QString(shots) + "/print-1200dpi.png");
  // Gamma 2: 64, 128, 200 above the middle, 64, 128, 100 below.
  const QColor upper(printed.pixel(printed.width() / 2, printed.height() * 3 / 8));
  const QColor lower(printed.pixel(printed.width() / 2, printed.height() * 5 / 8));
  EXPECT_NEAR(upper.blue(), 128, 3);
  EXPECT_NEAR(upper.green(), 181, 3);
  EXPECT_NEAR(upper.red(), 226, 3);
  EXPECT_NEAR(lower.red(), 160, 3);
  // No seam between the bands: down the middle, only the picture's two
  // colours between its first and last row.
  int first = -1, last = -1, seams = 0;
  for (int y = 0; y < printed.height(); ++y)
    if (QColor(printed.pixel(printed.width() / 2, y)) != Qt::white) last = y, first = first < 0 ? y : first;
  for (int y = first; y <= last; ++y) {
    const QColor p(printed.pixel(printed.width() / 2, y));
    seams += std::abs(p.green() - 181) > 3;
  }
  EXPECT_EQ(seams, 0);
  printer.SetOutputFileName("");
}
