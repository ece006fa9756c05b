#include "dialogs/iopreviews.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QApplication>
#include <QTest>
#include <QTimer>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "dialogs/pxiodlghooks.h"
#include "io/iohooks.h"
#include "io/pixoranio.h"
#include "io/pxmio.h"
#include "io/pxprint.h"
#include "platform/controls.h"
#include "view/pixoranview.h"
#include "view/pxmview.h"
#include "view/pxmview_mio.h"
#include "testsupport.h"

using namespace pixoran;
using pixoran::testing::WhenShown;

namespace {

// A colourful picture, so that compression and reduction show.
void Paint(TPXBitmap& b, int32_t w, int32_t h) {
  ASSERT_TRUE(b.Allocate(w, h, pxBGR24));
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < w; ++x) {
      row[3 * x] = static_cast<uint8_t>(x * 255 / w);
      row[3 * x + 1] = static_cast<uint8_t>(y * 255 / h);
      row[3 * x + 2] = static_cast<uint8_t>((x * y) & 0xFF);
    }
  }
}

// Every field some page writes, as text, so a test can see which changed.
std::map<std::string, std::string> Snapshot(const TIOParamsVals& p) {
  auto c = [](TBGR v) { return std::to_string(BGRToInt(v)); };
  return {{"FileType", std::to_string(p.FileType)},
          {"BitsPerSample", std::to_string(p.BitsPerSample)},
          {"SamplesPerPixel", std::to_string(p.SamplesPerPixel)},
          {"JPEGQuality", std::to_string(p.JPEGQuality)},
          {"JPEGColorSpace", std::to_string(p.JPEGColorSpace)},
          {"JPEGDCTMethod", std::to_string(p.JPEGDCTMethod)},
          {"JPEGOptimalHuffman", std::to_string(p.JPEGOptimalHuffman)},
          {"JPEGSmooth", std::to_string(p.JPEGSmooth)},
          {"JPEGProgressive", std::to_string(p.JPEGProgressive)},
          {"TIFFCompression", std::to_string(p.TIFFCompression)},
          {"TIFFImageIndex", std::to_string(p.TIFFImageIndex)},
          {"TIFFPhotometric", std::to_string(p.TIFFPhotometric)},
          {"TIFFXPos", std::to_string(p.TIFFXPos)},
          {"TIFFYPos", std::to_string(p.TIFFYPos)},
          {"TIFFDocumentName", p.TIFFDocumentName},
          {"TIFFImageDescription", p.TIFFImageDescription},
          {"TIFFPageName", p.TIFFPageName},
          {"TIFFPageNumber", std::to_string(p.TIFFPageNumber)},
          {"TIFFPageCount", std::to_string(p.TIFFPageCount)},
          {"GIFImageIndex", std::to_string(p.GIFImageIndex)},
          {"GIFTransparent", std::to_string(p.GIFTransparent)},
          {"GIFTranspColor", c(p.GIFTranspColor)},
          {"GIFInterlaced", std::to_string(p.GIFInterlaced)},
          {"GIFBackground", c(p.GIFBackground)},
          {"GIFXPos", std::to_string(p.GIFXPos)},
          {"GIFYPos", std::to_string(p.GIFYPos)},
          {"GIFDelayTime", std::to_string(p.GIFDelayTime)},
          {"BMPCompression", std::to_string(p.BMPCompression)},
          {"PCXCompression", std::to_string(p.PCXCompression)},
          {"PNGBackground", c(p.PNGBackground)},
          {"PNGInterlaced", std::to_string(p.PNGInterlaced)},
          {"PNGFilter", std::to_string(p.PNGFilter)},
          {"PNGCompression", std::to_string(p.PNGCompression)},
          {"TGABackground", c(p.TGABackground)},
          {"TGACompressed", std::to_string(p.TGACompressed)},
          {"TGAImageName", p.TGAImageName},
          {"TGADescriptor", p.TGADescriptor},
          {"J2000Rate", std::to_string(p.J2000Rate)},
          {"J2000ColorSpace", std::to_string(p.J2000ColorSpace)}};
}

std::set<std::string> Changed(const std::map<std::string, std::string>& a,
                              const std::map<std::string, std::string>& b) {
  std::set<std::string> out;
  for (const auto& [k, v] : a)
    if (b.at(k) != v) out.insert(k);
  return out;
}

void Pick(QComboBox* box, int index) {
  box->setCurrentIndex(index);
  emit box->activated(index);
}
void Type(QLineEdit* edit, const QString& text) {
  edit->setText(text);
  emit edit->textEdited(text);
}

struct PageCase {
  const char* name;
  uint16_t flags;
  bool simplified;
  std::function<void(TfIOPreviews&)> edit;
  std::set<std::string> written;
};

bool IsPreviewsForm(QWidget* w) { return qobject_cast<TfIOPreviews*>(w) != nullptr; }

}  // namespace

TEST(IOPreviews, EachPageWritesItsParametersOnOkAndNoneOnCancel) {
  const PageCase cases[] = {
      {"jpeg",
       ppJPEG,
       false,
       [](TfIOPreviews& f) {
         f.TrackBar13->setValue(33);
         Pick(f.ComboBox1, 2);
         f.Edit2->setValue(7);
         f.CheckBox1->click();
         f.CheckBox4->click();
         Pick(f.ComboBox12, 1);
       },
       {"FileType", "JPEGQuality", "JPEGDCTMethod", "JPEGSmooth", "JPEGOptimalHuffman", "JPEGProgressive",
        "JPEGColorSpace"}},
      {"jpeg simplified", ppJPEG, true, [](TfIOPreviews& f) { Type(f.Edit16, "12"); }, {"FileType", "JPEGQuality"}},
      {"tiff",
       ppTIFF,
       false,
       [](TfIOPreviews& f) {
         Pick(f.ComboBox2, 7);  // PACKBITS, with the LZW item
         f.Edit3->setValue(3);
         Pick(f.ComboBox3, 1);  // black-is-zero: at most 256 colours
         Pick(f.ComboBox4, 0);
         Type(f.Edit4, "1.5");
         Type(f.Edit5, "0.5");
         Type(f.Edit6, "doc");
         Type(f.Edit7, "desc");
         Type(f.Edit8, "page");
         f.Edit9->setValue(2);
         f.Edit10->setValue(5);
       },
       {"FileType", "TIFFCompression", "TIFFImageIndex", "TIFFPhotometric", "TIFFXPos", "TIFFYPos", "TIFFDocumentName",
        "TIFFImageDescription", "TIFFPageName", "TIFFPageNumber", "TIFFPageCount", "BitsPerSample", "SamplesPerPixel"}},
      {"tiff simplified",
       ppTIFF,
       true,
       [](TfIOPreviews& f) { Pick(f.ComboBox16, 4); },  // G4 forces 2 colours
       {"FileType", "TIFFCompression", "TIFFPhotometric", "BitsPerSample", "SamplesPerPixel"}},
      {"gif",
       ppGIF,
       false,
       [](TfIOPreviews& f) {
         f.Edit11->setValue(4);
         Pick(f.ComboBox5, 0);
         f.CheckBox2->click();
         f.CheckBox3->click();
         f.Edit12->setValue(25);
         f.Edit13->setValue(3);
         f.Edit14->setValue(9);
       },
       {"FileType", "GIFImageIndex", "BitsPerSample", "GIFTransparent", "GIFInterlaced", "GIFDelayTime", "GIFXPos",
        "GIFYPos"}},
      {"gif simplified", ppGIF, true, [](TfIOPreviews& f) { Pick(f.ComboBox18, 3); }, {"FileType", "BitsPerSample"}},
      {"bmp",
       ppBMP,
       false,
       [](TfIOPreviews& f) {
         Pick(f.ComboBox6, 1);
         Pick(f.ComboBox7, 1);
       },
       {"FileType", "BMPCompression", "BitsPerSample", "SamplesPerPixel"}},
      {"pcx",
       ppPCX,
       false,
       [](TfIOPreviews& f) {
         Pick(f.ComboBox8, 0);
         Pick(f.ComboBox9, 0);
       },
       {"FileType", "PCXCompression", "BitsPerSample", "SamplesPerPixel"}},
      {"png",
       ppPNG,
       false,
       [](TfIOPreviews& f) {
         Pick(f.ComboBox10, 0);
         Pick(f.ComboBox11, 2);
         Pick(f.ComboBox13, 9);
         f.CheckBox5->click();
       },
       {"FileType", "BitsPerSample", "SamplesPerPixel", "PNGFilter", "PNGCompression", "PNGInterlaced"}},
      {"tga",
       ppTGA,
       false,
       [](TfIOPreviews& f) {
         Pick(f.ComboBox14, 0);
         f.CheckBox6->click();
         Type(f.Edit17, "name");
         Type(f.Edit18, "text");
       },
       {"FileType", "BitsPerSample", "SamplesPerPixel", "TGACompressed", "TGAImageName", "TGADescriptor"}},
      {"jpeg 2000",
       ppJ2000,
       false,
       [](TfIOPreviews& f) {
         Type(f.Edit15, "250");
         Pick(f.ComboBox15, 0);
       },
       {"FileType", "J2000Rate", "J2000ColorSpace", "SamplesPerPixel"}},
  };
  TPXBitmap image;
  Paint(image, 48, 32);
  for (const PageCase& c : cases) {
    SCOPED_TRACE(c.name);
    for (bool ok : {true, false}) {
      TIOParamsVals rec;
      rec.FileType = ioPXM;
      rec.DpiX = rec.DpiY = 100;
      const auto before = Snapshot(rec);
      TfIOPreviews form;
      form.SetParams(&rec);
      form.SetSimplified(c.simplified);
      form.Pixoran1()->GetPXBitmap()->Assign(&image);
      form.Pixoran1()->Update();
      ASSERT_TRUE(form.SetPreviewPages(c.flags));
      form.show();
      c.edit(form);
      QTest::mouseClick(ok ? form.Button1 : form.Button2, Qt::LeftButton);
      EXPECT_EQ(form.result(), ok ? 1 : 2);
      const auto written = Changed(before, Snapshot(rec));
      EXPECT_EQ(written, ok ? c.written : std::set<std::string>{});
    }
  }
}

TEST(IOPreviews, ExactValuesStored) {
  TPXBitmap image;
  Paint(image, 16, 16);
  struct Case {
    const char* name;
    uint16_t flags;
    std::function<void(TfIOPreviews&)> edit;
    std::function<void(const TIOParamsVals&)> check;
  };
  const Case cases[] = {
      {"gif b/w is one bit", ppGIF, [](TfIOPreviews& f) { Pick(f.ComboBox5, 0); },
       [](const TIOParamsVals& r) {
         EXPECT_EQ(r.BitsPerSample, 1);
         EXPECT_EQ(r.FileType, ioGIF);
       }},
      {"tiff inches to pixels, gray caps colours", ppTIFF,
       [](TfIOPreviews& f) {
         Pick(f.ComboBox4, 4);
         Pick(f.ComboBox3, 0);
         Type(f.Edit4, "1,5");
       },
       [](const TIOParamsVals& r) {
         EXPECT_EQ(r.TIFFXPos, 150);
         EXPECT_EQ(r.BitsPerSample, 8);
         EXPECT_EQ(r.SamplesPerPixel, 1);
         EXPECT_EQ(r.TIFFPhotometric, 0);
       }},
      {"bmp 16M 32bit", ppBMP, [](TfIOPreviews& f) { Pick(f.ComboBox7, 5); },
       [](const TIOParamsVals& r) {
         EXPECT_EQ(r.BitsPerSample, 8);
         EXPECT_EQ(r.SamplesPerPixel, 3);
       }},
      {"jpeg quality typed moves the bar; junk reads 50", ppJPEG,
       [](TfIOPreviews& f) {
         Type(f.Edit22, "77");
         EXPECT_EQ(f.TrackBar13->value(), 77);
         Type(f.Edit22, "abc");
       },
       [](const TIOParamsVals& r) { EXPECT_EQ(r.JPEGQuality, 50); }},
      {"rate junk reads 1000, ycbcr has 3 samples", ppJ2000,
       [](TfIOPreviews& f) {
         Type(f.Edit15, "x");
         Pick(f.ComboBox15, 2);
       },
       [](const TIOParamsVals& r) {
         EXPECT_DOUBLE_EQ(r.J2000Rate, 1.0);
         EXPECT_EQ(r.J2000ColorSpace, 2);
         EXPECT_EQ(r.SamplesPerPixel, 3);
         EXPECT_EQ(r.FileType, ioJ2K);
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TIOParamsVals rec;
    rec.DpiX = rec.DpiY = 100;
    rec.J2000Rate = 0.5;
    TfIOPreviews form;
    form.SetParams(&rec);
    form.Pixoran1()->GetPXBitmap()->Assign(&image);
    form.SetPreviewPages(c.flags);
    form.show();
    c.edit(form);
    form.Button1Click();
    c.check(rec);
  }
}

TEST(IOPreviews, TIFFCompressionListFollowsTheLZWHook) {
  // code, index with LZW, index without
  const int table[][3] = {{0, 0, 0}, {1, 1, 1}, {4, 4, 4}, {5, 5, 6}, {6, 0, 0}, {7, 6, 5}, {8, 7, 6}, {9, 0, 0}};
  for (const auto& row : table) {
    EXPECT_EQ(TIFFCompressionToIndex(row[0], true), row[1]) << row[0];
    EXPECT_EQ(TIFFCompressionToIndex(row[0], false), row[2]) << row[0];
  }
  const int back[][3] = {{0, 0, 0}, {3, 3, 3}, {5, 5, 7}, {6, 7, 8}, {7, 8, 0}};
  for (const auto& row : back) {
    EXPECT_EQ(TIFFIndexToCompression(row[0], true), row[1]) << row[0];
    EXPECT_EQ(TIFFIndexToCompression(row[0], false), row[2]) << row[0];
  }

  // Without the hook an LZW record shows PACKBITS and OK stores PackBits.
  const auto saved = PXIOHooks().TIFFLZWCompressHook.load();
  PXIOHooks().TIFFLZWCompressHook = nullptr;
  TIOParamsVals rec;
  rec.FileType = ioTIFF;
  rec.TIFFCompression = 5;
  TPXBitmap image;
  Paint(image, 8, 8);
  {
    TfIOPreviews form;
    form.SetParams(&rec);
    form.Pixoran1()->GetPXBitmap()->Assign(&image);
    ASSERT_TRUE(form.SetPreviewPages(2));
    form.show();
    EXPECT_EQ(form.ComboBox2->count(), 7);
    EXPECT_EQ(form.ComboBox2->currentText(), "PACKBITS");
    EXPECT_EQ(form.PageControl1->currentIndex(), ppgTIFF1);
    form.Button1Click();
  }
  PXIOHooks().TIFFLZWCompressHook = saved;
  EXPECT_EQ(rec.TIFFCompression, 8);
}

TEST(IOPreviews, PagesShownByFlags) {
  TIOParamsVals rec;
  rec.FileType = ioWBMP;
  TfIOPreviews form;
  form.SetParams(&rec);
  EXPECT_FALSE(form.SetPreviewPages(2));  // the record's format has no page
  EXPECT_TRUE(form.SetPreviewPages(2 | ppPNG));
  rec.FileType = ioJP2;
  EXPECT_TRUE(form.SetPreviewPages(2 | ppBMP));
  form.show();
  for (int p = 0; p < ppgCount; ++p) EXPECT_EQ(form.PageControl1->isTabVisible(p), p == ppgBMP1 || p == ppgJ20001) << p;
  EXPECT_EQ(form.PageControl1->currentIndex(), ppgJ20001);
}

TEST(IOPreviews, JPEGQualityChangesTheResult) {
  TIOParamsVals rec;
  rec.FileType = ioJPEG;
  TfIOPreviews form;
  form.SetParams(&rec);
  form.SetDefaultLockPreview(true);
  Paint(*form.Pixoran1()->GetPXBitmap(), 96, 64);
  form.SetPreviewPages(2);
  form.show();
  auto preview = [&](int quality) {
    form.TrackBar13->setValue(quality);
    auto copy = std::make_unique<TPXBitmap>();
    copy->Assign(form.Pixoran2()->GetPXBitmap());
    return std::make_pair(form.CompressedSize->text(), std::move(copy));
  };
  auto low = preview(5);
  auto high = preview(95);
  ASSERT_TRUE(low.first.endsWith(" bytes")) << low.first.toStdString();
  EXPECT_NE(low.first, high.first);
  const int sizeLow = low.first.section(' ', -2, -2).toInt(), sizeHigh = high.first.section(' ', -2, -2).toInt();
  EXPECT_GT(sizeHigh, sizeLow);
  EXPECT_GT(sizeLow, 100);
  ASSERT_EQ(low.second->Width(), 96);
  ASSERT_EQ(high.second->Height(), 64);
  int differ = 0;
  for (int y = 0; y < 64; ++y) differ += memcmp(low.second->Scanline(y), high.second->Scanline(y), 96 * 3) != 0;
  EXPECT_GT(differ, 10);
}

TEST(IOPreviews, ReductionFillsTheResultPalette) {
  TIOParamsVals rec;
  rec.FileType = ioGIF;
  TfIOPreviews form;
  form.SetParams(&rec);
  form.SetDefaultLockPreview(true);
  Paint(*form.Pixoran1()->GetPXBitmap(), 40, 40);
  form.SetPreviewPages(2);
  form.show();
  Pick(form.ComboBox5, 2);  // 8 colours
  const TIOParamsVals& r = form.Pixoran2()->GetIO()->Params();
  ASSERT_EQ(r.PaletteCount, 8);
  std::set<int32_t> colours;
  TPXBitmap& b = *form.Pixoran2()->GetPXBitmap();
  for (int y = 0; y < b.Height(); ++y)
    for (int x = 0; x < b.Width(); ++x) colours.insert(BGRToInt(b.GetPixel24(x, y)));
  EXPECT_LE(colours.size(), 8u);
  EXPECT_GT(colours.size(), 2u);
  const TBGR third = r.Palette[2];
  // The background panel offers the result's palette.
  WhenShown([](QWidget* w) { return qobject_cast<TPixoranPaletteDialog*>(w) != nullptr; },
            [](QWidget* p) {
              // Straight to the dialog: the form under it may sit at the same place.
              const QPoint at(40, 8), global = p->mapToGlobal(at);
              QMouseEvent move(QEvent::MouseMove, at, global, Qt::NoButton, Qt::NoButton, Qt::NoModifier);
              QApplication::sendEvent(p, &move);
              QMouseEvent press(QEvent::MouseButtonPress, at, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
              QApplication::sendEvent(p, &press);
              if (p->isVisible()) static_cast<QDialog*>(p)->reject();
            });
  form.Panel4->click();
  Pick(form.ComboBox5, 0);  // black and white
  EXPECT_EQ(form.Pixoran2()->GetPXBitmap()->PixelFormat(), pxBW1);
  form.Button1Click();
  EXPECT_EQ(rec.GIFBackground, third);
}

TEST(IOPreviews, PaletteDialogHoverAndChoice) {
  TBGR palette[16];
  for (int i = 0; i < 16; ++i) palette[i] = TBGR{static_cast<uint8_t>(i), 0, static_cast<uint8_t>(200 - i)};
  TPixoranPaletteDialog dialog;
  dialog.SetPalette(palette, 16);
  EXPECT_EQ(dialog.Hovered(), -1);
  // x, y, entry
  const int table[][3] = {{1, 1, 0},    {0, 0, 0},   {16, 16, 0},  {17, 1, 1},   {241, 1, 15},
                          {257, 1, -1}, {1, 17, -1}, {513, 1, -1}, {519, 1, -1}, {-20, 1, -1}};
  for (const auto& row : table) EXPECT_EQ(dialog.EntryAt(row[0], row[1]), row[2]) << row[0] << "," << row[1];
  TBGR full[256];
  dialog.SetPalette(full, 256);
  EXPECT_EQ(dialog.EntryAt(513, 1), -1);  // not entry 32 of the next row
  EXPECT_EQ(dialog.EntryAt(497, 17), 63);
  dialog.SetPalette(palette, 16);

  dialog.show();
  QTest::mouseMove(&dialog, QPoint(40, 8));
  EXPECT_EQ(dialog.Hovered(), 2);
  QTest::mouseMove(&dialog, QPoint(300, 8));  // past entry 15: unchanged
  EXPECT_EQ(dialog.Hovered(), 2);
  QTest::mouseClick(&dialog, Qt::LeftButton, {}, QPoint(300, 8));
  EXPECT_EQ(dialog.result(), 1);
  EXPECT_EQ(dialog.Color(), palette[2]);

  TPixoranPaletteDialog none;
  none.SetPalette(palette, 16);
  none.show();
  QTest::mouseClick(&none, Qt::LeftButton, {}, QPoint(8, 8));  // nothing hovered yet
  EXPECT_TRUE(none.isVisible());
}

TEST(IOPreviews, HookShowsTheDialogOnACopy) {
  InstallIODialogs();
  TPixoranIO io;
  Paint(*io.PXBitmap(), 64, 48);
  io.Params().FileType = ioPNG;
  io.SetPreviewsParams(ioppDefaultLockPreview | ioppApplyButton);
  io.SetSimplifiedParamsDialogs(false);
  io.SetMsgLanguage(msGerman);
  WhenShown(IsPreviewsForm, [](QWidget* w) {
    auto* form = static_cast<TfIOPreviews*>(w);
    EXPECT_TRUE(form->Button4->isVisible());
    EXPECT_TRUE(form->chkLockPreview->isChecked());
    EXPECT_FALSE(form->Button3->isEnabled());
    EXPECT_EQ(form->PageControl1->currentIndex(), ppgPNG1);
    Pick(form->ComboBox10, 1);
    EXPECT_TRUE(form->Button4->isEnabled());
    if (const char* shots = std::getenv("PIXORAN_SHOT_DIR"))
      form->grab().save(QString::fromStdString(std::string(shots) + "/iopreviews.png"));
    form->Button1Click();
  });
  EXPECT_TRUE(io.DoPreviews(1));
  EXPECT_EQ(io.Params().BitsPerSample, 8);
  EXPECT_EQ(io.Params().SamplesPerPixel, 1);
  EXPECT_EQ(io.PXBitmap()->PixelFormat(), pxBGR24);  // the caller's image is untouched
  io.Params().FileType = ioWBMP;
  EXPECT_FALSE(io.DoPreviews(2));
}

// The first events the dialog runs are those of its activation, before its
// own loop: a change made then is taken, and OK or Escape then still ends
// the dialog instead of leaving exec waiting on a hidden window.
TEST(IOPreviews, ChangesAndClosingWhileItActivates) {
  InstallIODialogs();
  for (const bool ok : {true, false}) {
    SCOPED_TRACE(ok ? "OK" : "Escape");
    TPixoranIO io;
    Paint(*io.PXBitmap(), 64, 48);
    io.Params().FileType = ioPNG;
    io.Params().BitsPerSample = 8;
    io.Params().SamplesPerPixel = 3;
    io.SetPreviewsParams(ioppApplyButton);
    QPointer<TfIOPreviews> shown;
    bool activating = false;
    WhenShown(IsPreviewsForm, [&](QWidget* w) {
      shown = static_cast<TfIOPreviews*>(w);
      activating = shown->CompressedSize->text().endsWith("---");  // no preview yet
      Pick(shown->ComboBox10, 1);
      EXPECT_TRUE(shown->Button4->isEnabled());
      if (ok) shown->Button1->click();
      else QTest::keyClick(shown, Qt::Key_Escape);
    });
    // Should the dialog still wait, end it, so a failure does not hang the suite.
    QTimer watchdog;
    watchdog.setSingleShot(true);
    QObject::connect(&watchdog, &QTimer::timeout, [&] {
      if (!shown) return;
      ADD_FAILURE() << "the dialog was still waiting";
      shown->show();  // a hidden dialog's done would not end its loop
      shown->QDialog::done(0);
    });
    watchdog.start(10000);
    EXPECT_EQ(io.DoPreviews(1), ok);
    EXPECT_TRUE(activating);
    EXPECT_EQ(io.Params().SamplesPerPixel, ok ? 1 : 3);
  }
}

// Simplified dialogs: the page control 1.27 inches of the screen high, the
// form 3.75 inches for the I/O component and 3.4375 for the multi-image one
// (each at least what its controls need).
TEST(IOPreviews, SimplifiedDialogHeightsInInches) {
  InstallIODialogs();
  const int ppi = std::max(ScreenDpiY(), 1);
  struct Shown {
    int Page = -1, Form = -1;
    TPreviewsHeights Figures;
  };
  auto measure = [ppi](Shown& out) {
    WhenShown(IsPreviewsForm, [&out](QWidget* w) {
      auto* form = static_cast<TfIOPreviews*>(w);
      out.Page = form->PageControl1->height();
      out.Form = form->height();
      EXPECT_GE(out.Page, form->PageControl1->minimumSizeHint().height());
      EXPECT_GE(out.Form, form->minimumSizeHint().height());
      if (const char* shots = std::getenv("PIXORAN_SHOT_DIR"))
        form->grab().save(QString::fromStdString(std::string(shots) + "/iopreviews-simplified.png"));
      form->Button2->click();
    });
    // The figures for the component the dialog is shown for.
    InstallIODialogs();
    const auto shown = PXDialogHooks().Previews;
    PXDialogHooks().Previews = [&out, ppi, shown](TPixoranIO& io, uint32_t pages) {
      out.Figures = SimplifiedPreviewsHeights(io, ppi);
      return shown(io, pages);
    };
  };
  Shown single, multi;
  TPixoranIO io;
  Paint(*io.PXBitmap(), 64, 48);
  io.Params().FileType = ioJPEG;
  io.SetSimplifiedParamsDialogs(true);
  measure(single);
  io.DoPreviews(1);

  TPixoranMView view;
  TPixoranMIO mio;
  AttachMView(mio, &view);
  TPXBitmap frame;
  Paint(frame, 64, 48);
  view.SetImageBitmap(view.AppendImage(), frame);
  mio.GetParams(0)->FileType = ioJPEG;
  mio.SetSimplifiedParamsDialogs(true);
  measure(multi);
  mio.DoPreviews(0, 1);
  InstallIODialogs();

  EXPECT_EQ(single.Figures.PageControl, static_cast<int>(ppi * 1.2708333333333333334));
  EXPECT_EQ(multi.Figures.PageControl, single.Figures.PageControl);
  EXPECT_EQ(single.Figures.Form, static_cast<int>(ppi * 3.75));
  EXPECT_EQ(multi.Figures.Form, static_cast<int>(ppi * 3.4375));
  EXPECT_GE(single.Page, single.Figures.PageControl);
  EXPECT_GE(single.Form, single.Figures.Form);
  EXPECT_GE(multi.Form, multi.Figures.Form);
}
