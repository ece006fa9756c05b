// The main window's commands: the action list, menus and tool bar; every
// edit and effect against its operation run directly, and going back;
// saving, printing to PDF, the guard around commands, and the whole road
// from a frame to a saved picture.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPrintDialog>
#include <QProcess>
#include <QPushButton>
#include <QSlider>
#include <QTest>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/ProEffectImage.h"
#include "app/UBlur.h"
#include "app/UCropInfo.h"
#include "app/UEffectForm.h"
#include "app/UFlip.h"
#include "app/ULens.h"
#include "app/ULightDarkness.h"
#include "app/UMain.h"
#include "app/UMain_frames.h"
#include "app/UMosaic.h"
#include "app/UPrintInfo.h"
#include "app/URotate.h"
#include "app/UTwist.h"
#include "app/UWave.h"
#include "app/Uresize.h"
#include "core/kopxutils_bitmap.h"
#include "dialogs/pxprnform2.h"
#include "dialogs/pxprnhooks.h"
#include "io/pixoranio.h"
#include "io/pxprint.h"
#include "platform/printer.h"
#include "proc/pixoranproc.h"
#include "program_test.h"
#include "testsupport.h"
#include "view/pixoranview.h"
#include "view/pxmview.h"

using namespace tolvaren;
using namespace pixoran;
using namespace tolvaren::testing;

namespace {

// Left half the key colour (transparent once applied), right half green.
QRgb KeyGreen(int x, int) { return x < 10 ? qRgb(kFrameKeyRed, kFrameKeyGreen, kFrameKeyBlue) : qRgb(0, 128, 0); }

// Whether the viewer has its rectangle selections yet.
template <typename V>
constexpr bool kViewerSelects = requires(V& v) {
  v.Deselect();
};

// Tests see the add-text step and the vector layer's part of flattening.
class TTestMain : public TfrmMain {
 public:
  using TfrmMain::TfrmMain;
  std::function<void()> OnStartAddText;
  int Flattened = 0;

 protected:
  void StartAddText() override {
    if (OnStartAddText) OnStartAddText();
  }
  void FlattenVectorObjects() override { ++Flattened; }
};

class CommandsTest : public ProgramTest<TTestMain> {
 protected:
  void SetUp() override {
    MakeFolder("cmds");
    WriteImage(dir_ + "frames/0/cat.png", 20, 10, KeyGreen);
    OpenPicture(40, 30);
  }
  void ApplyCat() {
    form_->LoadFrameFolder(dir_ + "frames/0");
    form_->PixoranMViewMain->SetSelectedImage(0);
    form_->acApply->trigger();
  }
};

TEST_F(CommandsTest, ActionsMenusAndToolBarInOrder) {
  struct Row {
    QAction* action;
    const char* caption;
    const char* hint;
    const char* menu;
    int bar;  // 1-based among the tool bar's buttons, 0 when not on it
  } rows[] = {
      {form_->acOpenFile, "打开...", "打开...", "文件", 1},
      {form_->acSaveAs, "保存", "保存", "文件", 2},
      {form_->acSaveFile, "保存为...", "保存为...", "文件", 3},
      {form_->acPrint, "打印", "打印", "文件", 22},
      {form_->acPrintArea, "打印选定区域", "打印选定区域", "文件", 23},
      {form_->acExit, "退出", "退出", "文件", 0},
      {form_->acFullImage, "图片实际大小", "图片实际大小", "视图", 0},
      {form_->acFitImage, "图像自动适应屏幕", "图像自动适应屏幕", "视图", 0},
      {form_->acGoBack, "撤销上一操作", "撤销上一操作", "编辑", 4},
      {form_->acCrop, "修剪", "修剪", "编辑", 5},
      {form_->acResize, "改变图像大小", "改变大小", "编辑", 6},
      {form_->acRemoveRedEye, "去红眼", "去红眼", "编辑", 7},
      {form_->acLightDarkness, "明暗调节", "明暗调节", "编辑", 8},
      {form_->acAddText, "添加文字", "添加文字", "编辑", 9},
      {form_->acRotate, "图像旋转", "旋转图片", "特效", 10},
      {form_->acFlip, "图像翻转", "翻转", "特效", 11},
      {form_->acGray, "转为黑白图像", "转为黑白照片", "特效", 12},
      {form_->acWave, "波纹效果", "波纹效果", "特效", 13},
      {form_->acShadow, "投影效果", "投影效果", "特效", 14},
      {form_->acBlur, "模糊效果", "模糊效果", "特效", 15},
      {form_->acLens, "球面效果", "球面效果", "特效", 16},
      {form_->acRoundConer, "圆角效果", "圆角效果", "特效", 17},
      {form_->acTile, "瓦片效果", "瓦片效果", "特效", 18},
      {form_->acMosac, "马赛克效果", "马赛克效果", "特效", 19},
      {form_->acTwist, "旋纽效果", "旋纽效果", "特效", 20},
      {form_->acEdgeDelect, "素描效果", "素描效果", "特效", 21},
      {form_->acWebSite, "软件网站 ", "软件网站", "帮助", 24},
      {form_->acApply, "应用此相框", "应用此相框", nullptr, 0},
  };
  // The tool bar's buttons, and where its separators fall (after button n).
  std::vector<QAction*> buttons;
  std::vector<int> separatorsAfter;
  for (QAction* a : form_->ToolBar_Main->actions()) {
    if (a->isSeparator()) separatorsAfter.push_back(static_cast<int>(buttons.size()));
    else buttons.push_back(a);
  }
  EXPECT_EQ(separatorsAfter, (std::vector<int>{3, 9, 21, 23}));
  ASSERT_EQ(buttons.size(), 24u);
  std::vector<QString> menuText;
  for (QAction* top : form_->menuBar()->actions()) {
    menuText.push_back(top->text());
    for (QAction* a : top->menu()->actions()) menuText.push_back(a->isSeparator() ? QStringLiteral("-") : a->text());
  }
  EXPECT_EQ(
      QStringList(menuText.begin(), menuText.end()).join('|'),
      "文件|打开...|保存|保存为...|-|打印|打印选定区域|-|退出|视图|图片实际大小|图像自动适应屏幕|编辑|撤销上一操作|"
      "修剪|改变图像大小|去红眼|明暗调节|添加文字|特效|图像旋转|图像翻转|转为黑白图像|波纹效果|投影效果|模糊效果|"
      "球面效果|圆角效果|瓦片效果|马赛克效果|旋纽效果|素描效果|帮助|软件网站 ");
  for (const Row& r : rows) {
    SCOPED_TRACE(r.caption);
    ASSERT_NE(r.action, nullptr);
    EXPECT_EQ(r.action->text(), QString::fromUtf8(r.caption));
    EXPECT_EQ(r.action->toolTip(), QString::fromUtf8(r.hint));
    EXPECT_TRUE(r.action->shortcut().isEmpty());
    QString menu;
    for (QAction* top : form_->menuBar()->actions())
      if (top->menu()->actions().contains(r.action)) menu = top->text();
    EXPECT_EQ(menu, QString::fromUtf8(r.menu ? r.menu : ""));
    if (r.bar > 0) {
      EXPECT_EQ(buttons[static_cast<size_t>(r.bar - 1)], r.action);
      EXPECT_FALSE(r.action->icon().isNull());
      EXPECT_FALSE(r.action->icon().pixmap(16, 16).isNull());
    }
  }
  EXPECT_EQ(form_->SpeedButton1->defaultAction(), form_->acApply);
  EXPECT_EQ(form_->SpeedButton2->defaultAction(), form_->acGoBack);
  // The desktop theme's images where it has them.
  EXPECT_EQ(form_->acOpenFile->icon().name(), "document-open");
  EXPECT_EQ(form_->acPrint->icon().name(), "document-print");
  // Every effect without a themed image gets a drawn one of its own.
  EXPECT_NE(form_->acBlur->icon().pixmap(16, 16).toImage(), form_->acLens->icon().pixmap(16, 16).toImage());
}

// The window with its tool bar and each menu open, to look at.
TEST_F(CommandsTest, Screenshots) {
  const char* shots = std::getenv("PIXORAN_SHOT_DIR");
  if (!shots) GTEST_SKIP() << "PIXORAN_SHOT_DIR not set";
  const QString dir = QString::fromUtf8(shots) + "/";
  form_->resize(900, 640);
  form_->show();
  QTest::qWait(50);
  form_->grab().save(dir + "main.png");
  const QPixmap bar = form_->ToolBar_Main->grab();
  bar.scaled(bar.size() * 2).save(dir + "toolbar.png");
  int i = 0;
  for (QAction* top : form_->menuBar()->actions()) {
    QMenu* menu = top->menu();
    menu->popup(form_->mapToGlobal(QPoint(10, 20)));
    QTest::qWait(20);
    menu->grab().save(dir + QString("menu%1.png").arg(i++));
    menu->hide();
  }
}

// Each command with its dialog answered: the same as its operation run on
// a copy of the picture, and going back gives the picture back exactly.
TEST_F(CommandsTest, EditsAndEffectsDoTheirOperationAndGoBackRestores) {
  using TOp = std::function<void(TPixoranView&)>;
  const auto app = [](const std::function<void(TBitmap&)>& effect) {
    return [effect](TPixoranView& v) {
      TBitmap b;
      CopyPictureTo24(v, b);
      effect(b);
      ShowBitmapIn(v, b);
    };
  };
  struct Case {
    const char* name;
    QAction* action;
    std::function<void(QDialog&)> answer;  // nullptr: no dialog
    TOp op;
  } cases[] = {
      {"rotate", form_->acRotate, [](QDialog& d) { dynamic_cast<TfrmRotate&>(d).TrackBar1->setValue(30); },
       [](TPixoranView& v) { v.GetProc()->Rotate(30, false, 0, static_cast<TColor>(-1)); }},
      {"flip top-bottom", form_->acFlip, [](QDialog& d) { dynamic_cast<TfrmFlip&>(d).ComboBox1->setCurrentIndex(1); },
       [](TPixoranView& v) { v.GetProc()->Flip(1); }},
      {"flip left-right", form_->acFlip, [](QDialog& d) { dynamic_cast<TfrmFlip&>(d).ComboBox1->setCurrentIndex(2); },
       [](TPixoranView& v) { v.GetProc()->Flip(0); }},
      {"gray", form_->acGray, nullptr, [](TPixoranView& v) { v.GetProc()->ConvertToGray(); }},
      {"wave", form_->acWave, [](QDialog&) {}, [](TPixoranView& v) { v.GetProc()->Wave(5, 5, 10, false); }},
      {"shadow", form_->acShadow, [](QDialog&) {},
       [](TPixoranView& v) { v.GetProc()->AddSoftShadow(5, 4, 4, true, clBlack); }},
      {"blur", form_->acBlur, [](QDialog& d) { dynamic_cast<TfrmBlur&>(d).TrackBar1->setValue(3); },
       [](TPixoranView& v) { v.GetProc()->Blur(3); }},
      {"lens", form_->acLens, [](QDialog&) {}, [](TPixoranView& v) { v.GetProc()->Lens(0, 0, 80, 60, 2); }},
      {"round corners", form_->acRoundConer, [](QDialog&) {}, [](TPixoranView& v) { v.GetProc()->RoundImage(20, 20); }},
      {"tile", form_->acTile, [](QDialog&) {}, app([](TBitmap& b) {
         TBitmap a;
         a.Assign(b);
         BitmapTile(a, b, 2);
       })},
      {"mosaic", form_->acMosac, [](QDialog&) {}, app([](TBitmap& b) { BitmapMosaic(b, 5); })},
      {"twist", form_->acTwist, [](QDialog& d) { dynamic_cast<TfrmTwist&>(d).TrackBar1->setValue(100); },
       app([](TBitmap& b) {
         TBitmap a;
         a.Assign(b);
         BitmapTwist(a, b, 1);
       })},
      {"sketch", form_->acEdgeDelect, nullptr, [](TPixoranView& v) { v.GetProc()->EdgeDetect(7, 0, 0.99, 0.9, true); }},
      {"resize", form_->acResize,
       [](QDialog& d) {
         dynamic_cast<TfrmResize&>(d).Edit1->setText("17");
         dynamic_cast<TfrmResize&>(d).Edit2->setText(" 9 ");
       },
       [](TPixoranView& v) { v.GetProc()->Resample(17, 9, rfLinear); }},
      {"lighten 200", form_->acLightDarkness,
       [](QDialog& d) { dynamic_cast<TfrmLightDarkness&>(d).TrackBar1->setValue(200); },
       app([](TBitmap& b) { BitmapLighten(b, 400); })},
      {"darken -30", form_->acLightDarkness,
       [](QDialog& d) { dynamic_cast<TfrmLightDarkness&>(d).TrackBar1->setValue(-30); },
       app([](TBitmap& b) { BitmapDarken(b, 60); })},
      {"red eye", form_->acRemoveRedEye, nullptr, [](TPixoranView& v) { v.GetProc()->RemoveRedEyes(); }},
  };
  const auto original = Pixels(View());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    messages_.clear();
    TPixoranView reference;
    reference.SetBackground(clWhite);
    reference.SetEnableAlphaChannel(true);
    reference.GetPXBitmap()->Assign(View().GetPXBitmap());
    reference.Update();
    c.op(reference);
    bool asked = false;
    ModalHook() = [&](QDialog& d) {
      asked = true;
      c.answer(d);
      return mrOk;
    };
    c.action->trigger();
    EXPECT_EQ(asked, c.answer != nullptr);
    EXPECT_EQ(Pixels(View()), Pixels(reference));
    EXPECT_NE(Pixels(View()), original);
    EXPECT_EQ(messages_.size(), std::string(c.name) == "red eye" ? 1u : 0u);
    form_->acGoBack->trigger();
    EXPECT_EQ(Pixels(View()), original);
  }
  // Lighten by 400 clamps every channel to white.
  ModalHook() = [](QDialog& d) {
    dynamic_cast<TfrmLightDarkness&>(d).TrackBar1->setValue(200);
    return mrOk;
  };
  form_->acLightDarkness->trigger();
  const auto white = Pixels(View());
  EXPECT_TRUE(std::all_of(white.begin() + 2, white.end(), [](int c) { return c == 255; }));
  // Cancel, flip item 0 and darken 0 leave the picture as it was.
  for (const auto& answer :
       std::vector<std::function<int(QDialog&)>>{[](QDialog&) { return mrCancel; },
                                                 [](QDialog& d) {
                                                   dynamic_cast<TfrmLightDarkness&>(d).TrackBar1->setValue(0);
                                                   return mrOk;
                                                 }}) {
    form_->acGoBack->trigger();
    ModalHook() = answer;
    form_->acLightDarkness->trigger();
    EXPECT_EQ(Pixels(View()), original);
  }
  ModalHook() = [](QDialog&) { return mrOk; };
  form_->acFlip->trigger();
  EXPECT_EQ(Pixels(View()), original);
}

// 0 keeps a side, -1 follows the other side's proportion, other negatives
// count as their size; only sides beyond the bitmap limit are refused, with
// a message, as is text that is not a number.
TEST_F(CommandsTest, ResizeFollowsTheResamplerRulesAndRefusesOnlyTooLarge) {
  struct Case {
    const char* w;
    const char* h;
    int width, height;
    bool message;
  } cases[] = {
      {"0", "10", 40, 10, false},      {"10", "0", 10, 30, false},         {"10", "-5", 10, 5, false},
      {"-1", "15", 20, 15, false},     {"", "10", 40, 30, false},          {"abc", "10", 40, 30, true},
      {"65535", "1", 65535, 1, false}, {"65536", "1", 40, 30, true},       {"70000", "10", 40, 30, true},
      {"10", "-70000", 40, 30, true},  {"99999999999", "1", 40, 30, true},
  };
  // A flip confirmed with no way chosen: a snapshot of the picture to go
  // back to before each case.
  ModalHook() = [](QDialog&) { return mrOk; };
  form_->acFlip->trigger();
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.w) + " x " + c.h);
    form_->acGoBack->trigger();
    messages_.clear();
    ModalHook() = [&](QDialog& d) {
      auto& r = dynamic_cast<TfrmResize&>(d);
      EXPECT_EQ(r.LabelW->text().contains("40"), true);
      r.Edit1->setText(c.w);
      r.Edit2->setText(c.h);
      return mrOk;
    };
    form_->acResize->trigger();
    EXPECT_EQ(View().GetPXBitmap()->Width(), c.width);
    EXPECT_EQ(View().GetPXBitmap()->Height(), c.height);
    EXPECT_EQ(messages_.size(), c.message ? 1u : 0u);
  }
  // Without a picture (no sample at start-up): the message, nothing asked.
  form_.reset();
  QFile::remove(QString::fromStdString(dir_ + "frames/sample.jpg"));
  form_ = std::make_unique<TTestMain>(dir_);
  messages_.clear();
  bool asked = false;
  ModalHook() = [&](QDialog&) {
    asked = true;
    return mrOk;
  };
  form_->acResize->trigger();
  EXPECT_FALSE(asked);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "请选打开需要处理的图片");
}

// A command that fails halfway: a message, and the picture as the
// snapshot left it; the add-text step is the seam that fails here.
TEST_F(CommandsTest, FailingCommandShowsMessageAndKeepsSnapshotPicture) {
  const auto beforeApply = Pixels(View());
  ApplyCat();
  ASSERT_EQ(View().GetLayersCount(), 3);
  form_->OnStartAddText = [this] {
    View().GetProc()->Negative();
    throw std::runtime_error("text failed");
  };
  form_->acAddText->trigger();
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "text failed");
  // The flattened frame, not the negative; the undo step is still the frame's.
  EXPECT_EQ(View().GetLayersCount(), 1);
  EXPECT_EQ(Pixels(View())[2 + (15 * 40 + 35) * 3 + 1], 128);
  EXPECT_EQ(FilePixels(form_->SnapshotFileName()), beforeApply);
}

TEST_F(CommandsTest, SavingWritesTheFlattenedPictureWhereItBelongs) {
  const std::string work = form_->WorkingFileName();
  // A frame of both families gives three layers; all of them are saved.
  ApplyCat();
  ASSERT_EQ(View().GetLayersCount(), 3);
  const int flattenedBefore = form_->Flattened;
  form_->acSaveAs->trigger();
  EXPECT_EQ(form_->Flattened, flattenedBefore + 1);  // the text objects too
  EXPECT_EQ(View().GetLayersCount(), 1);
  const auto shown = Pixels(View());
  EXPECT_EQ(FilePixels(work), shown);
  EXPECT_EQ(FilePixels(work)[2 + (15 * 40 + 35) * 3 + 1], 128);  // the key-colour layer's green

  // Edit, go back, save: the working file again, never the snapshot.
  form_->acGray->trigger();
  const auto snapshot = FilePixels(form_->SnapshotFileName());
  form_->acGoBack->trigger();
  form_->acSaveAs->trigger();
  EXPECT_EQ(View().GetIO()->Params().FileName, work);
  EXPECT_EQ(FilePixels(work), Pixels(View()));
  EXPECT_EQ(FilePixels(form_->SnapshotFileName()), snapshot);

  // "保存为...": the chosen file with filter 3; cancelled, nothing.
  nextSave_ = dir_ + "out.png";
  form_->acGray->trigger();
  form_->acSaveFile->trigger();
  EXPECT_EQ(lastFilter_, 3);
  EXPECT_EQ(FilePixels(nextSave_), Pixels(View()));
  EXPECT_NE(FilePixels(work), Pixels(View()));
  nextSave_.clear();
  QFile::remove(QString::fromStdString(dir_ + "out.png"));
  form_->acSaveFile->trigger();
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(dir_ + "out.png")));
}

// Answers the print-preview form with OK once it is up.
void ClickPrintWhenShown() {
  auto* timer = new QTimer;
  QObject::connect(timer, &QTimer::timeout, [timer] {
    if (auto* form = qobject_cast<TfpxPrnForm2*>(QApplication::activeModalWidget())) {
      QTest::mouseClick(form->Button1, Qt::LeftButton);
      timer->stop();
      timer->deleteLater();
    }
  });
  timer->start(20);
}

TEST_F(CommandsTest, PrintingRendersTheWholeCompositionToPdf) {
  InstallPrintPreviewForms();
  TPrinter& printer = Printer();
  printer.Reset();
  printer.SetOutputFileName(dir_ + "out.pdf");
  ApplyCat();
  ClickPrintWhenShown();
  form_->acPrint->trigger();
  printer.Reset();
  printer.SetOutputFileName("");
  PXDialogHooks().PrintPreviewDialog = nullptr;
  EXPECT_EQ(View().GetLayersCount(), 1);
  ASSERT_EQ(QProcess::execute("pdftoppm", {"-r", "20", "-png", "-singlefile", QString::fromStdString(dir_ + "out.pdf"),
                                           QString::fromStdString(dir_ + "page")}),
            0);
  const QImage page(QString::fromStdString(dir_ + "page.png"));
  ASSERT_FALSE(page.isNull());
  int green = 0, magenta = 0;
  for (int y = 0; y < page.height(); ++y)
    for (int x = 0; x < page.width(); ++x) {
      const QRgb p = page.pixel(x, y);
      green += qRed(p) < 30 && qGreen(p) > 100 && qGreen(p) < 160 && qBlue(p) < 30;
      magenta += qRed(p) > 225 && qGreen(p) < 30 && qBlue(p) > 225;
    }
  EXPECT_GT(green, 20);    // the key-colour layer, on top
  EXPECT_GT(magenta, 20);  // the alpha-from-red layer under its clear half
}

TEST_F(CommandsTest, ViewPromptsAndWebCommands) {
  form_->acFullImage->trigger();
  EXPECT_FALSE(View().AutoFit());
  EXPECT_EQ(View().Zoom(), 100);
  EXPECT_TRUE(form_->acFullImage->isChecked());
  EXPECT_FALSE(form_->acFitImage->isChecked());
  form_->acFitImage->trigger();
  EXPECT_TRUE(View().AutoFit());
  EXPECT_TRUE(form_->acFitImage->isChecked());
  EXPECT_FALSE(form_->acFullImage->isChecked());

  const int screenW = QGuiApplication::primaryScreen()->geometry().width();
  form_->acCrop->trigger();
  auto* crop = form_->findChild<TfrmCrop*>();
  ASSERT_NE(crop, nullptr);
  EXPECT_TRUE(crop->isVisible());
  EXPECT_FALSE(crop->isModal());
  EXPECT_EQ(crop->pos(), QPoint(screenW - 200, 100));
  EXPECT_EQ(View().MouseInteract(), miSelect);
  if constexpr (kViewerSelects<TPixoranView>) {
    // "确定" crops to the preselection; going back gives the picture back.
    const auto original = Pixels(View());
    EXPECT_TRUE(View().HasSelection());
    QTest::mouseClick(crop->Button1, Qt::LeftButton);  // frees the prompt
    EXPECT_LT(View().GetPXBitmap()->Width(), 40);
    EXPECT_LT(View().GetPXBitmap()->Height(), 30);
    form_->acGoBack->trigger();
    EXPECT_EQ(Pixels(View()), original);
  } else {
    QTest::mouseClick(crop->Button2, Qt::LeftButton);
  }
  EXPECT_EQ(View().MouseInteract(), miResizeLayers);

  form_->acPrintArea->trigger();
  auto* print = form_->findChild<TfrmPrintInfo*>();
  ASSERT_NE(print, nullptr);
  EXPECT_EQ(print->pos(), QPoint(screenW - print->width() - 30, 100));
  EXPECT_EQ(View().MouseInteract(), miSelect);
  if constexpr (kViewerSelects<TPixoranView>) {
    // With the viewer's selections: the centred preselection is there, and
    // "确定" prints it through the print preview in style 0.
    EXPECT_TRUE(View().HasSelection());
    int style = -1;
    PXDialogHooks().PrintPreviewDialog = [&](TPixoranIO&, int32_t s, const std::string&) -> int32_t {
      style = s;
      return 1;
    };
    QTest::mouseClick(print->Button1, Qt::LeftButton);
    PXDialogHooks().PrintPreviewDialog = nullptr;
    EXPECT_EQ(style, 0);
  }
  QTest::mouseClick(print->Button2, Qt::LeftButton);

  std::vector<QUrl> opened;
  const TOpenWebPageHook saved = OpenWebPageHook();
  OpenWebPageHook() = [&](const QUrl& url) {
    opened.push_back(url);
    return true;
  };
  form_->acWebSite->trigger();
  OpenWebPageHook() = saved;
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], QUrl(QString::fromUtf8(kWebSiteAddress)));
}

// Start, pick a category and a frame, apply it, add text, blur, go back,
// save: what is saved is the framed picture as it stood before the blur.
TEST_F(CommandsTest, TheWholeRoad) {
  WriteImage(dir_ + "frames/3/frame1.png", 20, 10, [](int x, int) { return x < 10 ? qRgb(255, 255, 255) : 0; });
  form_.reset();
  form_ = std::make_unique<TTestMain>(dir_);
  const std::string work = form_->WorkingFileName();
  form_->ComboBox1->setCurrentIndex(3);
  ASSERT_EQ(form_->PixoranMViewMain->GetImageCount(), 1);
  form_->PixoranMViewMain->SetSelectedImage(0);
  QTest::mouseClick(form_->SpeedButton1, Qt::LeftButton);
  ASSERT_EQ(View().GetLayersCount(), 2);
  bool textStarted = false;
  form_->OnStartAddText = [&] { textStarted = true; };
  form_->acAddText->trigger();
  EXPECT_TRUE(textStarted);
  EXPECT_EQ(View().GetLayersCount(), 1);
  const auto framed = Pixels(View());
  EXPECT_EQ(framed[2 + (15 * 40 + 4) * 3], 255);  // white frame half, opaque
  ModalHook() = [](QDialog& d) {
    dynamic_cast<TfrmBlur&>(d).TrackBar1->setValue(4);
    return mrOk;
  };
  form_->acBlur->trigger();
  EXPECT_NE(Pixels(View()), framed);
  QTest::mouseClick(form_->SpeedButton2, Qt::LeftButton);
  EXPECT_EQ(Pixels(View()), framed);
  form_->acSaveAs->trigger();
  const auto saved = FilePixels(work);  // a JPEG: close, not exact
  ASSERT_EQ(saved.size(), framed.size());
  double error = 0;
  for (size_t i = 2; i < saved.size(); ++i) error += std::abs(saved[i] - framed[i]);
  EXPECT_LT(error / static_cast<double>(saved.size()), 6);
  EXPECT_GT(saved[2 + (15 * 40 + 4) * 3], 230);
  EXPECT_TRUE(messages_.empty());
}

}  // namespace

namespace {

// The rows of a 24-bit platform bitmap, in the layout of Pixels().
std::vector<int> BitmapPixels(TBitmap& b) {
  std::vector<int> out{b.Width(), b.Height()};
  for (int y = 0; y < b.Height(); ++y) {
    const uint8_t* r = b.ScanLine(y);
    out.insert(out.end(), r, r + 3 * static_cast<size_t>(b.Width()));
  }
  return out;
}

// The w x h part of a picture at (x, y), in the layout of Pixels().
std::vector<int> Part(const std::vector<int>& all, int x, int y, int w, int h) {
  std::vector<int> out{w, h};
  for (int r = y; r < y + h; ++r)
    for (int c = x; c < x + w; ++c)
      for (int k = 0; k < 3; ++k) out.push_back(all[2 + (static_cast<size_t>(r) * all[0] + c) * 3 + k]);
  return out;
}

}  // namespace

// The selected area printed after a frame of each family holds the picture
// with the frame over it, exactly as flattening composes it, and is chosen
// on the picture (half its size), whatever the frame's own size; the
// picture itself is left as it was.
TEST_F(CommandsTest, AreaPrintAfterAFrameOfEachFamilyPrintsTheComposition) {
  // Each frame 20 x 10 over the 40 x 30 picture, so a key-colour frame kept
  // at its own size shows.
  WriteImage(dir_ + "frames/1/frame1.png", 20, 10, [](int x, int y) { return x < 10 ? qRgb(255, 40, 40 + y) : 0; });
  WriteImage(dir_ + "frames/1/b1.png", 20, 10,
             [](int x, int) { return x < 10 ? qRgb(0, 200, 200) : qRgb(255, 255, 255); });
  WriteImage(dir_ + "frames/1/c1.png", 20, 10, KeyGreen);
  WriteImage(dir_ + "frames/1/cat.png", 20, 10, KeyGreen);
  form_->acFullImage->trigger();  // zoom 100: the preselection is in picture pixels
  ModalHook() = [](QDialog&) { return mrOk; };
  form_->acFlip->trigger();  // a snapshot of the bare picture to go back to
  for (const char* name : {"frame1.png", "b1.png", "c1.png", "cat.png"}) {
    SCOPED_TRACE(name);
    form_->acGoBack->trigger();
    form_->LoadFrameFolder(dir_ + "frames/1");
    TPixoranMView& strip = *form_->PixoranMViewMain;
    for (int i = 0; i < strip.GetImageCount(); ++i)
      if (QFileInfo(QString::fromStdString(strip.GetImageFileName(i))).fileName() == name) strip.SetSelectedImage(i);
    form_->acApply->trigger();
    ASSERT_GE(View().GetLayersCount(), 2);
    const int layers = View().GetLayersCount();
    const auto picture = Pixels(*form_->PixoranView_Main);

    form_->acPrintArea->trigger();
    auto* prompt = form_->findChild<TfrmPrintInfo*>();
    ASSERT_NE(prompt, nullptr);
    std::vector<int> printed;
    PXDialogHooks().PrintPreviewDialog = [&](TPixoranIO& io, int32_t, const std::string&) -> int32_t {
      if (TBitmap* area = io.AttachedBitmap()) printed = BitmapPixels(*area);
      return 1;
    };
    QTest::mouseClick(prompt->Button1, Qt::LeftButton);
    PXDialogHooks().PrintPreviewDialog = nullptr;
    QTest::mouseClick(prompt->Button2, Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    ASSERT_GE(printed.size(), 2u);
    // The centred half of the 40 x 30 picture, from (10, 8).
    EXPECT_NEAR(printed[0], 20, 1);
    EXPECT_NEAR(printed[1], 15, 1);
    EXPECT_EQ(View().GetLayersCount(), layers);
    View().SetCurrentLayer(layers - 1);
    EXPECT_EQ(Pixels(View()), picture);
    form_->FlattenComposition();
    EXPECT_EQ(printed, Part(Pixels(View()), 10, 8, printed[0], printed[1]));
  }
}

// Escape closes neither prompt: the viewer stays selecting with its
// selection, and only the buttons end them.
TEST_F(CommandsTest, EscapeLeavesBothPromptsOpen) {
  form_->acFullImage->trigger();
  for (QAction* command : {form_->acCrop, form_->acPrintArea}) {
    SCOPED_TRACE(command->text().toStdString());
    command->trigger();
    QPointer<TSelectionPrompt> prompt = form_->findChild<TSelectionPrompt*>();
    ASSERT_FALSE(prompt.isNull());
    prompt->activateWindow();
    QTest::keyClick(prompt, Qt::Key_Escape);
    QTest::keyClick(prompt->Button1, Qt::Key_Escape);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_FALSE(prompt.isNull());
    EXPECT_TRUE(prompt->isVisible());
    EXPECT_EQ(View().MouseInteract(), miSelect);
    EXPECT_TRUE(View().HasSelection());
    QTest::mouseClick(prompt->Button2, Qt::LeftButton);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(prompt.isNull());
    EXPECT_EQ(View().MouseInteract(), miResizeLayers);
    EXPECT_FALSE(View().HasSelection());
  }
}

// "请先选择要打印的区域" is the plain message dialog: the application's
// title, no icon; the prompts' info text sits on the tooltip colour.
TEST_F(CommandsTest, PrintAreaPromptMessageAndColours) {
  form_->acPrintArea->trigger();
  QPointer<TfrmPrintInfo> prompt = form_->findChild<TfrmPrintInfo*>();
  ASSERT_FALSE(prompt.isNull());
  View().Deselect();
  MessageHook() = nullptr;
  QString title, text;
  int icon = -1;
  pixoran::testing::WhenShown([](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
                              [&](QWidget* w) {
                                auto* box = static_cast<QMessageBox*>(w);
                                title = box->windowTitle();
                                text = box->text();
                                icon = box->icon();
                                box->accept();
                              });
  QTest::mouseClick(prompt->Button1, Qt::LeftButton);
  EXPECT_EQ(title, "Tolvaren");
  EXPECT_EQ(text, "请先选择要打印的区域");
  EXPECT_EQ(icon, QMessageBox::NoIcon);
  EXPECT_TRUE(prompt->isVisible());

  prompt->show();
  QCoreApplication::processEvents();
  const QImage shot = prompt->grab().toImage();
  QLabel* info = prompt->findChild<QLabel*>();
  ASSERT_NE(info, nullptr);
  const QColor tip = QApplication::palette().color(QPalette::ToolTipBase);
  const QPoint inside = info->geometry().topLeft() + QPoint(2, 2);
  EXPECT_EQ(shot.pixelColor(inside * shot.devicePixelRatio()).rgb(), tip.rgb());
  if (const char* dir = std::getenv("PIXORAN_SHOTS")) shot.save(QString(dir) + "/printinfo.png");
  QTest::mouseClick(prompt->Button2, Qt::LeftButton);
}

namespace {

// Answers each modal window as it comes up (the print-preview form, the
// PDF file question, the print dialog), outside the poll, so an answer may
// open the next modal window.
class TModalResponder {
 public:
  explicit TModalResponder(std::function<void(QWidget*)> answer) : answer_(std::move(answer)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* w = QApplication::activeModalWidget();
      if (!w || w == last_) return;
      last_ = w;
      QTimer::singleShot(0, w, [this, w] { answer_(w); });
    });
    timer_.start(20);
  }

 private:
  std::function<void(QWidget*)> answer_;
  QPointer<QWidget> last_;
  QTimer timer_;
};

}  // namespace

// With only PDF possible, the first print asks for the file's name, the
// second keeps it (the reset before each preview keeps the device chosen),
// and each says where the pages went; the area print keeps it too.
TEST_F(CommandsTest, TwoPrintsInARowKeepTheChosenPdfFile) {
  InstallPrintPreviewForms();
  TPrinter& printer = Printer();
  printer.SetOutputFileName("");
  if (!printer.NeedsOutputFileName()) GTEST_SKIP() << "this machine has a printer";
  const std::string pdf = dir_ + "chosen.pdf";
  int asked = 0;
  TModalResponder responder([&](QWidget* w) {
    if (auto* form = qobject_cast<TfpxPrnForm2*>(w)) QTest::mouseClick(form->Button1, Qt::LeftButton);
    if (auto* d = qobject_cast<QFileDialog*>(w)) {
      ++asked;
      if (auto* name = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
        name->setText(QString::fromStdString(pdf));
      QMetaObject::invokeMethod(d, "accept");
    }
  });
  ApplyCat();
  form_->acFullImage->trigger();
  for (int round = 0; round < 3; ++round) {
    SCOPED_TRACE(round);
    messages_.clear();
    QFile::remove(QString::fromStdString(pdf));
    if (round < 2) {
      form_->acPrint->trigger();
    } else {
      form_->acPrintArea->trigger();
      auto* prompt = form_->findChild<TfrmPrintInfo*>();
      ASSERT_NE(prompt, nullptr);
      QTest::mouseClick(prompt->Button1, Qt::LeftButton);
      QTest::mouseClick(prompt->Button2, Qt::LeftButton);
    }
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(pdf)));
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], FileMessageText("已打印到PDF文件：", pdf));
  }
  EXPECT_EQ(asked, 1);
  EXPECT_EQ(printer.OutputFileName(), pdf);
  printer.SetOutputFileName("");
}

// The printer setup is the print dialog: a PDF file chosen there is where
// this print and the next go.
TEST_F(CommandsTest, PrintDialogChoiceKeptForTheNextPrint) {
  InstallPrintPreviewForms();
  TPrinter& printer = Printer();
  printer.SetOutputFileName(dir_ + "first.pdf");
  const std::string pdf = dir_ + "fromdialog.pdf";
  bool setupDone = false, dialogSeen = false;
  TModalResponder responder([&](QWidget* w) {
    if (auto* form = qobject_cast<TfpxPrnForm2*>(w)) {
      if (!setupDone) {
        setupDone = true;
        QTest::mouseClick(form->Button4, Qt::LeftButton);  // the print dialog, then the preview again
      }
      QTest::mouseClick(form->Button1, Qt::LeftButton);
    }
    if (auto* d = qobject_cast<QPrintDialog*>(w)) {
      dialogSeen = true;
      if (auto* name = d->findChild<QLineEdit*>(QStringLiteral("filename"))) name->setText(QString::fromStdString(pdf));
      QMetaObject::invokeMethod(d, "accept");
    }
  });
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round);
    QFile::remove(QString::fromStdString(pdf));
    form_->acPrint->trigger();
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(pdf)));
  }
  EXPECT_TRUE(dialogSeen);
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(dir_ + "first.pdf")));
  printer.SetOutputFileName("");
}

// The wave preview and the applied wave are one call on one copy: the
// bitmaps are equal (a screen may still differ, the preview being shrunk).
TEST_F(CommandsTest, WavePreviewBitmapIsTheAppliedPicture) {
  std::vector<int> previewed;
  ModalHook() = [&](QDialog& d) {
    auto& w = dynamic_cast<TfrmWave&>(d);
    w.TrackBar1->setValue(5);
    w.TrackBar2->setValue(3);
    w.TrackBar3->setValue(40);
    QTest::mouseClick(w.PreviewButton(), Qt::LeftButton);
    previewed = Pixels(*w.PixoranView1());
    return mrOk;
  };
  const auto before = Pixels(View());
  form_->acWave->trigger();
  ModalHook() = nullptr;
  EXPECT_NE(Pixels(View()), before);
  EXPECT_EQ(Pixels(View()), previewed);
}
