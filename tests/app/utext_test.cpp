// The add-text window's choices reaching the next text placed by a click,
// and the road through the main window: a frame, a text placed with the
// memo tool, then edits that draw the text into the picture exactly once.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include "app/UEffectForm.h"
#include "app/UMain.h"
#include "app/utext.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio.h"
#include "io/pxprint.h"
#include "program_test.h"
#include "testsupport.h"
#include "view/pxmview.h"
#include "view/pxtextc.h"
#include "view/pxvect.h"

using namespace tolvaren;
using namespace pixoran;
using namespace tolvaren::testing;

namespace {

std::unique_ptr<TPixoranVect> MemoView() {
  auto v = std::make_unique<TPixoranVect>();
  v->SetBorderStyle(bsNone);
  v->SetScrollBars(ssNone);
  v->SetBounds(0, 0, 200, 150);
  v->GetPXBitmap()->Allocate(200, 150, pxBGR24);
  v->Update();
  v->SetMouseInteractVect(kPXVTMemo);
  return v;
}

void ClickAt(TPixoranView& v, int x, int y) {
  QTest::mouseClick(v.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(x + v.FrameWidth(), y + v.FrameWidth()));
}

}  // namespace

TEST(AddText, ChoicesReachTheNextTextPlaced) {
  auto v = MemoView();
  TfrmAddText f(v.get());
  // Opening selects the last face but pushes nothing.
  ASSERT_GT(f.FontName->count(), 0);
  EXPECT_EQ(f.FontName->currentIndex(), f.FontName->count() - 1);
  EXPECT_EQ(LogFontFaceName(*v->GetObject(kPXVTemplate)->Font),
            LogFontFaceName(*TPixoranVect().GetObject(kPXVTemplate)->Font));

  bool asked = false;
  f.ColorDialog1 = [&](TColor& c) {
    asked = true;
    c = RGBColor(200, 10, 30);
    return true;
  };
  QTest::mouseClick(f.Shape1, Qt::LeftButton);
  EXPECT_TRUE(asked);
  QTest::mouseClick(f.BoldButton, Qt::LeftButton);
  QTest::mouseClick(f.UnderlineButton, Qt::LeftButton);
  f.FontSize->setText(QStringLiteral("20"));
  f.FontName->setCurrentIndex(0);

  ClickAt(*v, 30, 20);
  ASSERT_EQ(v->ObjectsCount(), 1);
  const TPXVObject& o = *v->GetObject(0);
  EXPECT_EQ(o.Kind, pxokMemo);
  ASSERT_TRUE(o.Font.has_value());
  EXPECT_EQ(o.Font->Height, -27);
  EXPECT_EQ(o.Font->Weight, 700);
  EXPECT_EQ(o.Font->Italic, 0);
  EXPECT_EQ(o.Font->Underline, 1);
  EXPECT_EQ(o.Font->CharSet, 134);
  EXPECT_EQ(LogFontFaceName(*o.Font), f.FontName->itemText(0).toStdString());
  EXPECT_EQ(o.PenColor, RGBColor(200, 10, 30));
  EXPECT_EQ(v->EditedObject(), 0);  // the memo editor opens on it
}

TEST(AddText, SizeRuleBadSizesCancelledColourAndLongFaces) {
  auto v = MemoView();
  TfrmAddText f(v.get());
  struct Case {
    const char* size;
    int32_t height;  // expected template height afterwards
  } cases[] = {{"20", -27}, {"13", -17}, {" 9 ", -12}, {"abc", -12}, {"", -12}, {"99999999999", -12}, {"72", -96}};
  for (const Case& c : cases) {
    // Typed text reaches the slot; nothing may leave it as an exception.
    f.FontSize->setText(QString::fromUtf8(c.size));
    ASSERT_TRUE(v->GetObject(kPXVTemplate)->Font.has_value()) << c.size;
    EXPECT_EQ(v->GetObject(kPXVTemplate)->Font->Height, c.height) << c.size;
  }
  // A cancelled colour dialog still pushes, the colour unchanged.
  v->GetObject(kPXVTemplate)->Font.reset();
  f.ColorDialog1 = [](TColor&) { return false; };
  QTest::mouseClick(f.Shape1, Qt::LeftButton);
  ASSERT_TRUE(v->GetObject(kPXVTemplate)->Font.has_value());
  EXPECT_EQ(v->GetObject(kPXVTemplate)->PenColor, TColor{0x808000});
  // A face longer than the field is cut on a character boundary.
  const QString longFace = QString::fromUtf8("微软雅黑微软雅黑微软雅黑 Extra Bold");  // 36 + 11 bytes
  f.FontName->addItem(longFace);
  f.FontName->setCurrentIndex(f.FontName->count() - 1);
  const std::string face = LogFontFaceName(*v->GetObject(kPXVTemplate)->Font);
  EXPECT_EQ(face, "微软雅黑微软雅黑微软");  // 30 bytes: the next character would pass 31
  // The up-down steps the size.
  f.FontSize->setText(QStringLiteral("13"));
  QTest::mouseClick(f.UpDown1Up, Qt::LeftButton);
  EXPECT_EQ(f.FontSize->text(), QStringLiteral("14"));
  EXPECT_EQ(v->GetObject(kPXVTemplate)->Font->Height, -19);
}

TEST(AddText, BothButtonsEndInsertionAndKeepTexts) {
  for (bool cancel : {false, true}) {
    auto v = MemoView();
    TfrmAddText f(v.get());
    f.show();
    ClickAt(*v, 30, 20);
    ASSERT_EQ(v->ObjectsCount(), 1);
    QTest::mouseClick(cancel ? f.Button2 : f.Button1, Qt::LeftButton);
    EXPECT_FALSE(f.isVisible());
    EXPECT_EQ(v->MouseInteractVect(), kPXVTSelect);
    EXPECT_EQ(v->ObjectsCount(), 1);
  }
}

// ---------------------------------------------------------------- main window

namespace {

class AddTextRoad : public ProgramTest<TfrmMain> {
 protected:
  void SetUp() override { MakeFolder("addtext"); }
  // The text area of the picture, bytes of rows y0..y1, x0..x1.
  std::vector<uint8_t> Area(int x0, int y0, int x1, int y1) {
    TPXBitmap& b = *form_->PixoranView_Main->GetLayer(0)->Bitmap();
    std::vector<uint8_t> out;
    for (int y = y0; y <= y1; ++y) out.insert(out.end(), b.Scanline(y) + 3 * x0, b.Scanline(y) + 3 * (x1 + 1));
    return out;
  }
};

QRgb White(int, int) { return qRgb(255, 255, 255); }
// A frame: opaque red on the left, clear elsewhere.
QRgb LeftRed(int x, int) { return x < 4 ? qRgb(220, 0, 0) : qRgb(0, 0, 0); }

}  // namespace

TEST_F(AddTextRoad, FrameThenTextThenEditsBurnTheTextOnce) {
  QDir().mkpath(QString::fromStdString(dir_ + "frames/0"));
  WriteImage(dir_ + "frames/sample.png", 40, 30, White);
  WriteImage(dir_ + "frames/0/frame1.png", 40, 20, LeftRed);
  WriteImage(dir_ + "picture.png", 160, 100, White);
  form_ = std::make_unique<TfrmMain>(dir_);
  nextOpen_ = dir_ + "picture.png";
  form_->acOpenFileExecute();
  TPixoranVect& v = *form_->PixoranView_Main;
  ASSERT_EQ(v.GetPXBitmap()->Width(), 160);

  // A frame first.
  form_->LoadFrameFolder(dir_ + "frames/0");
  ASSERT_EQ(form_->PixoranMViewMain->GetImageCount(), 1);
  form_->PixoranMViewMain->SetSelectedImage(0);
  form_->acApplyExecute();
  ASSERT_EQ(v.GetLayersCount(), 2);

  // The add-text command: a snapshot, then its window; a text placed by a click.
  form_->acAddText->trigger();
  ASSERT_EQ(v.GetLayersCount(), 1);
  ASSERT_EQ(form_->findChildren<TfrmAddText*>().size(), 1);
  TfrmAddText& f = *form_->findChild<TfrmAddText*>();
  EXPECT_TRUE(f.isVisible());
  EXPECT_EQ(v.MouseInteractVect(), kPXVTMemo);
  EXPECT_EQ(f.y(), 100);
  EXPECT_FALSE(v.GetObject(kPXVTemplate)->PlainText);
  EXPECT_EQ(v.GetObject(kPXVTemplate)->BorderStyle, psClear);
  f.ColorDialog1 = [](TColor& c) {
    c = clBlack;
    return true;
  };
  QTest::mouseClick(f.Shape1, Qt::LeftButton);
  f.FontSize->setText(QStringLiteral("24"));
  (void)v.Widget()->grab();
  const int cx = v.BitmapToScreenX(60), cy = v.BitmapToScreenY(30);
  ClickAt(v, cx, cy);
  ASSERT_EQ(v.ObjectsCount(), 1);
  const TPXVObject placed = *v.GetObject(0);
  ASSERT_NE(v.MemoEditor(), nullptr);
  QTest::keyClicks(v.MemoEditor()->Widget(), QStringLiteral("HH"));
  const auto before = Area(placed.X1, placed.Y1, std::min(placed.X2, 159), std::min(placed.Y2, 99));

  // The next edit draws the text in and removes it.
  form_->acApplyExecute();
  EXPECT_EQ(v.ObjectsCount(), 0);
  const auto once = Area(placed.X1, placed.Y1, std::min(placed.X2, 159), std::min(placed.Y2, 99));
  EXPECT_NE(once, before);  // the text is in the picture
  // Another edit leaves the text's pixels as they were: drawn only once.
  form_->acApplyExecute();
  form_->acApplyExecute();
  EXPECT_EQ(Area(placed.X1, placed.Y1, std::min(placed.X2, 159), std::min(placed.Y2, 99)), once);
  // Going back gives the picture with the text once, and no objects.
  form_->acGoBackExecute();
  EXPECT_EQ(v.ObjectsCount(), 0);
  EXPECT_EQ(Area(placed.X1, placed.Y1, std::min(placed.X2, 159), std::min(placed.Y2, 99)), once);
}

TEST_F(AddTextRoad, OpeningAndGoingBackDropUnburntTexts) {
  QDir().mkpath(QString::fromStdString(dir_ + "frames/0"));
  WriteImage(dir_ + "frames/sample.png", 40, 30, White);
  WriteImage(dir_ + "a.png", 80, 60, White);
  form_ = std::make_unique<TfrmMain>(dir_);
  nextOpen_ = dir_ + "a.png";
  form_->acOpenFileExecute();
  TPixoranVect& v = *form_->PixoranView_Main;
  form_->SaveUndoSnapshot();
  for (int step = 0; step < 2; ++step) {
    TPXVObject t;
    t.Kind = pxokMemo;
    t.X1 = 5, t.Y1 = 5, t.X2 = 60, t.Y2 = 30;
    t.Text = "X";
    v.AddObject(t);
    ASSERT_EQ(v.ObjectsCount(), 1);
    if (step == 0) form_->acGoBackExecute();
    else form_->acOpenFileExecute();
    EXPECT_EQ(v.ObjectsCount(), 0) << step;
  }
}
