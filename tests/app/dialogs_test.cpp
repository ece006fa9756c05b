// The effect and edit dialogs, offscreen: their captions, sizes, ranges and
// defaults, previews that start from a fresh copy each time, and the main
// picture left alone by everything but the commands.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSlider>
#include <QTest>

#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "app/UBlur.h"
#include "app/UCropInfo.h"
#include "app/UFlip.h"
#include "app/ULens.h"
#include "app/ULightDarkness.h"
#include "app/UMosaic.h"
#include "app/UPrintInfo.h"
#include "app/URotate.h"
#include "app/URoundConer.h"
#include "app/UShadow.h"
#include "app/UTile.h"
#include "app/UTwist.h"
#include "app/UWave.h"
#include "app/Uresize.h"
#include "core/kopxutils_bitmap.h"
#include "core/pxmask.h"
#include "proc/pixoranproc.h"
#include "proc/pxselection.h"
#include "view/pixoranview.h"

using namespace tolvaren;
using namespace pixoran;

namespace {

// A main viewer with a selection the test decides.
class MainView : public TPixoranView {
 public:
  TPXMask* GetSelectionMask() override { return &mask; }
  bool HasSelection() override { return selected; }
  TPXPoint* GetSelectionPoints() override { return nullptr; }
  int32_t GetSelectionPointCount() override { return 0; }
  void SaveSelectionToStream(TStream&) override {}
  bool LoadSelectionFromStream(TStream&) override { return false; }
  TPXMask mask;
  bool selected = false;
};

void SetPicture(TPixoranView& v, int w, int h) {
  TPXBitmap* b = v.GetPXBitmap();
  b->Allocate(w, h, pxBGR24);
  for (int y = 0; y < h; ++y) {
    uint8_t* r = b->Scanline(y);
    for (int x = 0; x < w; ++x) {
      r[3 * x] = static_cast<uint8_t>(x * 6);
      r[3 * x + 1] = static_cast<uint8_t>(y * 8);
      r[3 * x + 2] = static_cast<uint8_t>((x * y) & 0xFF);
    }
  }
  v.Update();
}

std::vector<uint8_t> Pixels(TPixoranView& v) {
  TPXBitmap* b = v.GetPXBitmap();
  std::vector<uint8_t> out{static_cast<uint8_t>(b->PixelFormat())};
  out.push_back(static_cast<uint8_t>(b->Width()));
  out.push_back(static_cast<uint8_t>(b->Height()));
  for (int y = 0; y < b->Height(); ++y) {
    const uint8_t* r = b->Scanline(y);
    out.insert(out.end(), r, r + (int64_t{b->Width()} * b->BitCount() + 7) / 8);
  }
  if (b->HasAlphaChannel()) {
    TPXBitmap& a = *b->GetAlphaChannel();
    for (int y = 0; y < a.Height(); ++y) out.insert(out.end(), a.Scanline(y), a.Scanline(y) + a.Width());
  }
  return out;
}

struct Messages {
  Messages() {
    MessageHook() = [this](QWidget*, const QString& t) { texts.push_back(t); };
  }
  ~Messages() { MessageHook() = nullptr; }
  std::vector<QString> texts;
};

struct Bar {
  int min, max, value;
};
struct FormCase {
  const char* name;
  std::function<TEffectForm*(TPixoranView*)> make;
  QString caption;
  int width, height;
  bool sizeable;
  std::vector<Bar> bars;
  // Sets the controls as the command would, then previews once.
  std::function<void(TEffectForm&)> preview;
};

template <typename F>
F& As(TEffectForm& f) {
  return static_cast<F&>(f);
}

std::vector<FormCase> Cases() {
  return {
      {"rotate",
       [](TPixoranView* m) { return new TfrmRotate(m); },
       "旋转图片",
       360,
       301,
       false,
       {{-360, 360, 0}},
       [](TEffectForm& f) {
         As<TfrmRotate>(f).TrackBar1->setValue(90);
         As<TfrmRotate>(f).Button2Click();
       }},
      {"flip",
       [](TPixoranView* m) { return new TfrmFlip(m); },
       "图像翻转",
       345,
       275,
       false,
       {},
       [](TEffectForm& f) {
         As<TfrmFlip>(f).ComboBox1->setCurrentIndex(1);
         As<TfrmFlip>(f).ComboBox1Change();
       }},
      {"wave",
       [](TPixoranView* m) { return new TfrmWave(m); },
       "波纹效果",
       344,
       420,
       true,
       {{0, 20, 5}, {0, 20, 5}, {0, 360, 10}},
       [](TEffectForm& f) { As<TfrmWave>(f).Button3Click(); }},
      {"shadow",
       [](TPixoranView* m) { return new TfrmShadow(m); },
       "投影效果",
       342,
       417,
       false,
       {{0, 20, 5}, {-20, 20, 4}, {-20, 20, 4}},
       [](TEffectForm& f) { As<TfrmShadow>(f).Button1Click(); }},
      {"blur",
       [](TPixoranView* m) { return new TfrmBlur(m); },
       "模糊效果",
       338,
       352,
       false,
       {{0, 10, 1}},
       [](TEffectForm& f) { As<TfrmBlur>(f).Button1Click(); }},
      {"lens",
       [](TPixoranView* m) { return new TfrmLens(m); },
       "球面效果",
       339,
       399,
       false,
       {{0, 10, 2}},
       [](TEffectForm& f) {
         auto& l = As<TfrmLens>(f);
         l.Edit1->setText("0"), l.Edit2->setText("0"), l.Edit3->setText("80"), l.Edit4->setText("60");
         l.Button1Click();
       }},
      {"round corners",
       [](TPixoranView* m) { return new TfrmRoundConer(m); },
       "圆角效果",
       336,
       344,
       false,
       {},
       [](TEffectForm& f) {
         As<TfrmRoundConer>(f).Edit1->setText("20"), As<TfrmRoundConer>(f).Edit2->setText("20");
         As<TfrmRoundConer>(f).Button1Click();
       }},
      {"mosaic",
       [](TPixoranView* m) { return new TfrmMosaic(m); },
       " 马赛克效果",
       335,
       328,
       false,
       {{0, 20, 0}},
       [](TEffectForm& f) {
         As<TfrmMosaic>(f).TrackBar1->setValue(5);
         As<TfrmMosaic>(f).Button1Click();
       }},
      {"tile",
       [](TPixoranView* m) { return new TfrmTile(m); },
       "瓦片效果",
       346,
       370,
       true,
       {{0, 10, 0}},
       [](TEffectForm& f) {
         As<TfrmTile>(f).TrackBar1->setValue(2);
         As<TfrmTile>(f).Button1Click();
       }},
      {"twist",
       [](TPixoranView* m) { return new TfrmTwist(m); },
       "旋纽效果",
       337,
       340,
       false,
       {{0, 100, 0}},
       [](TEffectForm& f) {
         As<TfrmTwist>(f).TrackBar1->setValue(20);
         As<TfrmTwist>(f).Button1Click();
       }},
      {"light and dark",
       [](TPixoranView* m) { return new TfrmLightDarkness(m); },
       "明暗调节",
       340,
       335,
       false,
       {{-200, 200, 0}},
       [](TEffectForm& f) {
         // Setting the bar runs the preview; a second change and back again
         // must land on the same picture.
         As<TfrmLightDarkness>(f).TrackBar1->setValue(40);
         As<TfrmLightDarkness>(f).TrackBar1->setValue(5);
       }},
  };
}

}  // namespace

TEST(EffectDialogs, CaptionsSizesRangesAndDefaults) {
  MainView main;
  SetPicture(main, 40, 30);
  for (const FormCase& c : Cases()) {
    std::unique_ptr<TEffectForm> f(c.make(&main));
    EXPECT_EQ(f->windowTitle(), c.caption) << c.name;
    if (!c.sizeable) {
      EXPECT_EQ(f->minimumSize(), QSize(c.width, c.height)) << c.name;
      EXPECT_EQ(f->maximumSize(), QSize(c.width, c.height)) << c.name;
    }
    EXPECT_EQ(f->size(), QSize(c.width, c.height)) << c.name;
    const auto bars = f->findChildren<QSlider*>();
    ASSERT_EQ(bars.size(), static_cast<qsizetype>(c.bars.size())) << c.name;
    for (size_t i = 0; i < c.bars.size(); ++i) {
      EXPECT_EQ(bars[i]->minimum(), c.bars[i].min) << c.name << " bar " << i;
      EXPECT_EQ(bars[i]->maximum(), c.bars[i].max) << c.name << " bar " << i;
      EXPECT_EQ(bars[i]->value(), c.bars[i].value) << c.name << " bar " << i;
    }
    ASSERT_NE(f->PixoranView1(), nullptr) << c.name;
    EXPECT_EQ(f->PixoranView1()->Background(), clGray) << c.name;
    EXPECT_EQ(f->OkButton()->text(), "确定");
    EXPECT_EQ(f->CancelButton()->text(), "取消");
    // The light and dark dialog previews as the bar moves: no button.
    EXPECT_EQ(f->PreviewButton() != nullptr, c.caption != "明暗调节" && c.caption != "图像翻转") << c.name;
  }
  TfrmFlip flip(&main);
  EXPECT_EQ(flip.ComboBox1->count(), 3);
  EXPECT_EQ(flip.ComboBox1->currentIndex(), 0);
  EXPECT_EQ(flip.ComboBox1->itemText(2), "左右翻转");
  TfrmRotate rotate(&main);
  EXPECT_EQ(rotate.PixoranView1()->ZoomFilter(), rfLinear);
  EXPECT_EQ(rotate.PixoranView1()->MouseInteract(), miSelect);
  EXPECT_TRUE(rotate.PixoranView1()->EnableAlphaChannel());
}

TEST(EffectDialogs, PreviewTwiceShowsNoAccumulationAndCancelKeepsThePicture) {
  MainView main;
  SetPicture(main, 40, 30);
  const auto original = Pixels(main);
  for (const FormCase& c : Cases()) {
    std::unique_ptr<TEffectForm> f(c.make(&main));
    f->show();
    c.preview(*f);
    const auto first = Pixels(*f->PixoranView1());
    EXPECT_NE(first, original) << c.name << ": the preview shows the effect";
    c.preview(*f);
    EXPECT_EQ(Pixels(*f->PixoranView1()), first) << c.name;
    QTest::mouseClick(f->CancelButton(), Qt::LeftButton);
    EXPECT_EQ(f->result(), mrCancel) << c.name;
    EXPECT_EQ(Pixels(main), original) << c.name;
  }
}

TEST(EffectDialogs, PreviewButtonRunsThePreview) {
  MainView main;
  SetPicture(main, 40, 30);
  TfrmMosaic f(&main);
  f.TrackBar1->setValue(5);
  f.show();
  QTest::mouseClick(f.PreviewButton(), Qt::LeftButton);
  EXPECT_EQ(f.PixoranView1()->GetPXBitmap()->Width(), 40);
  EXPECT_NE(Pixels(*f.PixoranView1()), Pixels(main));
  QTest::mouseClick(f.OkButton(), Qt::LeftButton);
  EXPECT_EQ(f.result(), mrOk);
}

TEST(EffectDialogs, RotateBarMovesOnlyTheLabelAndFlipBackShowsTheCopy) {
  MainView main;
  SetPicture(main, 40, 30);
  TfrmRotate r(&main);
  r.CopyPicture();
  const auto before = Pixels(*r.PixoranView1());
  r.TrackBar1->setValue(45);
  EXPECT_EQ(r.LabelValue->text(), "45");
  EXPECT_EQ(Pixels(*r.PixoranView1()), before);

  TfrmFlip f(&main);
  f.ComboBox1->setCurrentIndex(1);  // the combo's change runs the flip
  EXPECT_NE(Pixels(*f.PixoranView1()), Pixels(main));
  f.ComboBox1->setCurrentIndex(0);
  EXPECT_EQ(Pixels(*f.PixoranView1()), Pixels(main));
}

TEST(EffectDialogs, BadEditEndsInTheMessageAndLeavesThePreview) {
  Messages messages;
  MainView main;
  SetPicture(main, 40, 30);
  TfrmLens f(&main);
  f.show();
  f.CopyPicture();
  const auto before = Pixels(*f.PixoranView1());
  f.Edit1->setText("abc");
  QTest::mouseClick(f.PreviewButton(), Qt::LeftButton);
  ASSERT_EQ(messages.texts.size(), 1u);
  EXPECT_TRUE(messages.texts[0].contains("abc"));
  EXPECT_EQ(Pixels(*f.PixoranView1()), before);
}

TEST(ResizeDialog, AspectFollowsTheTypedSide) {
  Messages messages;
  MainView main;
  SetPicture(main, 80, 60);
  main.GetPXBitmap()->Allocate(800, 600, pxBGR24);
  TfrmResize f(&main);
  EXPECT_EQ(f.windowTitle(), "改变大小");
  EXPECT_EQ(f.size(), QSize(371, 160));
  EXPECT_EQ(f.LabelW->text(), "800");
  EXPECT_EQ(f.LabelH->text(), "600");
  f.show();
  QTest::keyClicks(f.Edit1, "400");
  EXPECT_EQ(f.Edit2->text(), "300");
  f.Edit1->clear();
  QTest::keyClicks(f.Edit1, "0");
  EXPECT_EQ(f.Edit2->text(), "0");
  QTest::keyClick(f.Edit1, Qt::Key_Backspace);  // cleared: the height stays
  EXPECT_EQ(f.Edit2->text(), "0");
  f.Edit2->clear();
  QTest::keyClicks(f.Edit2, "300");
  EXPECT_EQ(f.Edit1->text(), "400");
  QTest::keyClicks(f.Edit2, "x");  // not a number: the message, nothing else
  EXPECT_EQ(messages.texts.size(), 1u);
  EXPECT_EQ(f.Edit1->text(), "400");
  // Keys that change nothing (closing that message among them) do not
  // raise it again: no keyboard trap.
  for (Qt::Key key : {Qt::Key_Shift, Qt::Key_Tab, Qt::Key_Return, Qt::Key_Enter, Qt::Key_Escape}) {
    f.show();
    f.Edit2->setFocus();
    QTest::keyClick(f.Edit2, key);
  }
  EXPECT_EQ(messages.texts.size(), 1u);
}

// Huge values: a number beyond int is the conversion error once; a large
// one is followed in proportion, without overflow.
TEST(ResizeDialog, HugeValues) {
  Messages messages;
  MainView main;
  main.GetPXBitmap()->Allocate(800, 600, pxBGR24);
  TfrmResize f(&main);
  f.show();
  QTest::keyClicks(f.Edit1, "70000");
  EXPECT_EQ(f.Edit2->text(), "52500");
  f.Edit1->setText("99999999999");  // pasted
  QTest::keyClick(f.Edit1, Qt::Key_End);
  ASSERT_EQ(messages.texts.size(), 1u);
  EXPECT_TRUE(messages.texts[0].contains("99999999999"));
  QTest::keyClick(f.Edit1, Qt::Key_Escape);
  EXPECT_EQ(messages.texts.size(), 1u);
}

TEST(SelectionPrompts, TrimAsksForASelectionThenCropsAndEnds) {
  Messages messages;
  MainView main;
  SetPicture(main, 40, 30);
  TPixoranProc proc;
  proc.SetAttachedPixoran(&main);
  main.SetMouseInteract(miSelect);
  QPointer<TfrmCrop> crop = new TfrmCrop(&main, &proc);
  EXPECT_EQ(crop->windowTitle(), "剪切提示");
  EXPECT_EQ(crop->size(), QSize(185, 84));
  EXPECT_TRUE(crop->windowFlags() & Qt::WindowStaysOnTopHint);
  crop->show();
  QTest::mouseClick(crop->Button1, Qt::LeftButton);
  ASSERT_EQ(messages.texts.size(), 1u);
  EXPECT_EQ(messages.texts[0], "您好，如果您要修剪图像\n请选选择一个修剪区域");
  EXPECT_TRUE(crop->isVisible());
  EXPECT_EQ(main.MouseInteract(), miSelect);

  main.mask.Allocate(40, 30, 1);
  for (int y = 5; y < 15; ++y)
    for (int x = 10; x < 30; ++x) main.mask.SetPixel(x, y, 255);
  main.mask.SyncBox();
  main.selected = true;
  QTest::mouseClick(crop->Button1, Qt::LeftButton);
  EXPECT_EQ(main.GetPXBitmap()->Width(), 20);
  EXPECT_EQ(main.GetPXBitmap()->Height(), 10);
  EXPECT_EQ(main.MouseInteract(), miResizeLayers);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(crop.isNull());
}

TEST(SelectionPrompts, PrintAreaStaysOpenAndCancelDeselects) {
  Messages messages;
  MainView main;
  SetPicture(main, 40, 30);
  QPointer<TfrmPrintInfo> p = new TfrmPrintInfo(&main);
  EXPECT_EQ(p->windowTitle(), "打印提示");
  int printed = 0, deselected = 0;
  p->PrintSelection = [&](TPixoranView& v) {
    EXPECT_EQ(&v, &main);
    ++printed;
  };
  p->Deselect = [&] { ++deselected; };
  p->show();
  QTest::mouseClick(p->Button1, Qt::LeftButton);
  EXPECT_EQ(messages.texts, std::vector<QString>{"请先选择要打印的区域"});
  main.selected = true;
  QTest::mouseClick(p->Button1, Qt::LeftButton);
  QTest::mouseClick(p->Button1, Qt::LeftButton);
  EXPECT_EQ(printed, 2);
  EXPECT_TRUE(p->isVisible());
  QTest::mouseClick(p->Button2, Qt::LeftButton);
  EXPECT_EQ(deselected, 1);
  EXPECT_EQ(main.MouseInteract(), miResizeLayers);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(p.isNull());
}

TEST(SelectionPrompts, AClosingProgramIsNeverRefused) {
  MainView main;
  QPointer<TfrmCrop> crop = new TfrmCrop(&main, nullptr);
  crop->show();
  // What quitting does to every window: a close the program asks for.
  QApplication::closeAllWindows();
  EXPECT_FALSE(crop && crop->isVisible());
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_TRUE(crop.isNull());
}

// Writes screenshots of two dialogs when PIXORAN_SHOTS names a folder.
TEST(EffectDialogs, Screenshots) {
  const char* dir = std::getenv("PIXORAN_SHOTS");
  if (!dir) GTEST_SKIP() << "PIXORAN_SHOTS not set";
  MainView main;
  SetPicture(main, 240, 180);
  TfrmMosaic m(&main);
  m.TrackBar1->setValue(5);
  m.show();
  m.Button1Click();
  QCoreApplication::processEvents();
  EXPECT_TRUE(m.grab().save(QString(dir) + "/mosaic.png"));
  TfrmShadow s(&main);
  s.show();
  s.Button1Click();
  QCoreApplication::processEvents();
  EXPECT_TRUE(s.grab().save(QString(dir) + "/shadow.png"));
  TfrmResize r(&main);
  r.show();
  QCoreApplication::processEvents();
  EXPECT_TRUE(r.grab().save(QString(dir) + "/resize.png"));
  TfrmCrop c(&main, nullptr);
  c.show();
  QCoreApplication::processEvents();
  EXPECT_TRUE(c.grab().save(QString(dir) + "/crop.png"));
}
