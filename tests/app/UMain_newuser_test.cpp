// The program as a new user meets it: the messages of a failed open or save
// name the cause (read from the real message box under Qt's Chinese texts),
// a damaged picture says so, a cancelled command keeps the undo step, "保存"
// after "保存为..." writes where the user saved, the centred preselection
// at every zoom, and the status bar's progress while the window paints.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QTranslator>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/UBlur.h"
#include "app/UCropInfo.h"
#include "app/UEffectForm.h"
#include "app/UMain.h"
#include "app/utext.h"
#include "core/kopxutils_bitmap.h"
#include "core/pxmask.h"
#include "io/pixoranio.h"
#include "io/pxformats.h"
#include "io/pxprint.h"
#include "program_test.h"
#include "testsupport.h"
#include "view/pixoranview.h"

using namespace tolvaren;
using namespace pixoran;
using namespace tolvaren::testing;

namespace {

constexpr int32_t kTypeReasons = 1931;
TPXIOResult g_writeKind = iorOk;

// A file of this test format holds one byte, the kind its reader fails
// with; iorCorrupt followed by "P" is a picture kept in part.
void ReasonRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals&, TPXProgressRec& progress, bool paramsOnly) {
  uint8_t bytes[2] = {0, 0};
  const int64_t got = stream.Read(bytes, 2);
  if (got >= 2 && bytes[0] == iorCorrupt && bytes[1] == 'P') {
    if (paramsOnly) return;
    bitmap.Allocate(6, 4, pxBGR24);
    for (int32_t y = 0; y < 4; ++y) std::fill_n(bitmap.Scanline(y), 18, static_cast<uint8_t>(128));
    progress.Note(iorCorrupt, "test: data ends early at row 2 of 4");
    return;
  }
  progress.Fail(static_cast<TPXIOResult>(bytes[0]), "test: reason");
}

void ReasonWrite(TStream&, TPXBitmap&, TIOParamsVals&, TPXProgressRec& progress) {
  progress.Fail(g_writeKind, "test: reason");
}

// The real message boxes are read here, so messages are not collected.
class NewUserTest : public ProgramTest<TfrmMain> {
 protected:
  void SetUp() override {
    MakeFolder("newuser");
    MessageHook() = nullptr;
    OpenPicture(w_, h_, 800, 600);
  }

  int w_ = 40, h_ = 30;
};

// The message box as the user sees it: its title and text.
struct TShownMessage {
  QString Title, Text;
};

// Runs command and answers the message box it shows.
TShownMessage MessageOf(const std::function<void()>& command) {
  TShownMessage shown;
  pixoran::testing::WhenShown([](QWidget* w) { return qobject_cast<QMessageBox*>(w) != nullptr; },
                              [&](QWidget* w) {
                                auto* box = static_cast<QMessageBox*>(w);
                                shown = {box->windowTitle(), box->text()};
                                if (const char* shots = std::getenv("PIXORAN_SHOT_DIR"))
                                  box->grab().save(QString(shots) + "/message.png");
                                box->accept();
                              });
  command();
  return shown;
}

TEST_F(NewUserTest, OpenAndSaveMessagesNameTheCauseAndADamagedPictureSaysSo) {
  QTranslator* chinese = InstallQtTranslation(QLibraryInfo::path(QLibraryInfo::TranslationsPath));
  if (!FindFileFormatInfoByExtension("PXWHY")) {
    TPXFileFormatInfo info;
    info.FileType = kTypeReasons;
    info.FullName = "Reasons test picture";
    info.Extensions = "PXWHY";
    info.ReadFunction = ReasonRead;
    info.WriteFunction = ReasonWrite;
    RegisterFileFormat(info);
  }
  const struct {
    TPXIOResult Kind;
    const char* Cause;
  } kinds[] = {
      {iorNotFound, "文件不存在"},
      {iorUnknownFormat, "无法识别的文件格式"},
      {iorCorrupt, "文件已损坏"},
      {iorTooLarge, "图像太大"},
      {iorNoMemory, "内存不足"},
      {iorWriteFailed, "无法写入文件（磁盘已满或没有权限）"},
      {iorUnsupported, "不支持的文件特性"},
      {iorFailed, "无法读取"},
  };
  const auto shown = Pixels(View());
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.Cause);
    const std::string file = dir_ + "bad.pxwhy";
    std::ofstream(file, std::ios::binary) << static_cast<char>(k.Kind) << 'x';
    nextOpen_ = file;
    TShownMessage m = MessageOf([&] { form_->acOpenFile->trigger(); });
    EXPECT_EQ(m.Title, "提示");
    EXPECT_EQ(m.Text, "无法打开图片：\n" + QString::fromStdString(file) + "\n" + k.Cause);
    EXPECT_EQ(Pixels(View()), shown);
    EXPECT_EQ(form_->CurrentPictureName(), dir_ + "picture.png");

    g_writeKind = k.Kind;
    nextSave_ = dir_ + "out.pxwhy";
    m = MessageOf([&] { form_->acSaveFile->trigger(); });
    EXPECT_EQ(m.Title, "提示");
    EXPECT_EQ(m.Text, "无法保存文件：\n" + QString::fromStdString(nextSave_) + "\n" + k.Cause);
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(nextSave_)));
  }

  // A damaged file kept in part opens, and says what the user sees.
  const std::string damaged = dir_ + "damaged.pxwhy";
  std::ofstream(damaged, std::ios::binary) << static_cast<char>(iorCorrupt) << 'P';
  nextOpen_ = damaged;
  const TShownMessage m = MessageOf([&] { form_->acOpenFile->trigger(); });
  EXPECT_EQ(m.Title, "提示");
  EXPECT_EQ(m.Text, "图片文件已损坏，只显示了能读取的部分：\n" + QString::fromStdString(damaged));
  EXPECT_EQ(View().GetPXBitmap()->Width(), 6);
  EXPECT_EQ(form_->CurrentPictureName(), damaged);
  delete chinese;
}

// Every modal command cancelled, and both prompts ended with their cancel
// button: going back still undoes the grey before them.
TEST_F(NewUserTest, CancelledCommandsKeepTheUndoStep) {
  const auto original = Pixels(View());
  struct Command {
    std::string Name;
    std::function<void()> Run;
  };
  auto prompt = [this]<typename T>(T*) {
    T* p = form_->findChild<T*>();
    ASSERT_NE(p, nullptr);
    p->Button2Click();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  };
  std::vector<Command> commands;
  for (QAction* a :
       {form_->acResize, form_->acLightDarkness, form_->acRotate, form_->acFlip, form_->acWave, form_->acShadow,
        form_->acBlur, form_->acLens, form_->acRoundConer, form_->acTile, form_->acMosac, form_->acTwist})
    commands.push_back({a->objectName().toStdString(), [a] { a->trigger(); }});
  commands.push_back({"acCrop", [&] {
                        form_->acCrop->trigger();
                        prompt(static_cast<TfrmCrop*>(nullptr));
                      }});
  commands.push_back({"acAddText", [&] {
                        form_->acAddText->trigger();
                        prompt(static_cast<TfrmAddText*>(nullptr));
                      }});
  ModalHook() = [](QDialog&) { return mrCancel; };
  for (const Command& c : commands) {
    SCOPED_TRACE(c.Name);
    form_->acGray->trigger();
    const auto grey = Pixels(View());
    ASSERT_NE(grey, original);
    c.Run();
    EXPECT_EQ(Pixels(View()), grey);
    form_->acGoBack->trigger();
    EXPECT_EQ(Pixels(View()), original);
  }
}

TEST_F(NewUserTest, SaveAfterSaveAsWritesTheFileSavedAs) {
  const std::string work = form_->WorkingFileName();
  const auto workBefore = FilePixels(work);
  nextSave_ = dir_ + "mine.png";
  form_->acSaveFile->trigger();
  form_->acGray->trigger();
  form_->acSaveAs->trigger();
  EXPECT_EQ(FilePixels(dir_ + "mine.png"), Pixels(View()));
  EXPECT_EQ(FilePixels(work), workBefore);
  // A picture opened afterwards saves to its working file again.
  form_->acOpenFileExecute();
  ModalHook() = [](QDialog&) { return mrOk; };
  form_->acMosac->trigger();
  form_->acSaveAs->trigger();
  EXPECT_EQ(FilePixels(work), Pixels(View()));
  EXPECT_NE(FilePixels(dir_ + "mine.png"), Pixels(View()));
}

class NewUserLargeTest : public NewUserTest {
 protected:
  void SetUp() override {
    w_ = 800;
    h_ = 600;
    NewUserTest::SetUp();
  }
};

// "修剪" and "打印选定区域" preselect the centred half of the picture,
// fitted to the window, at 100 and zoomed out.
TEST_F(NewUserLargeTest, PreselectionIsTheCentredHalfAtEveryZoom) {
  form_->show();
  QCoreApplication::processEvents();
  const std::function<void()> zooms[] = {[&] { form_->acFitImage->trigger(); }, [&] { form_->acFullImage->trigger(); },
                                         [&] {
                                           form_->acFullImage->trigger();
                                           View().SetZoom(25);
                                         }};
  for (const auto& zoom : zooms) {
    for (QAction* command : {form_->acCrop, form_->acPrintArea}) {
      SCOPED_TRACE(command->text().toStdString() + " at zoom " + std::to_string(View().Zoom()));
      zoom();
      QCoreApplication::processEvents();
      command->trigger();
      const TPXMask* mask = View().GetSelectionMask();
      ASSERT_NE(mask, nullptr);
      // A client pixel covers up to 1 / zoom picture pixels.
      const int slack = static_cast<int>(100 / View().Zoom()) + 1;
      EXPECT_NEAR(mask->X1, 200, slack);
      EXPECT_NEAR(mask->Y1, 150, slack);
      EXPECT_NEAR(mask->X2, 600, slack);
      EXPECT_NEAR(mask->Y2, 450, slack);
      auto* prompt = form_->findChild<TSelectionPrompt*>();
      ASSERT_NE(prompt, nullptr);
      prompt->Button2Click();
      QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
  }
}

// While grey runs, the status bar shows the command with its percent and
// the window paints the picture it showed before.
TEST_F(NewUserLargeTest, ProgressShowsInTheStatusBarWhileTheWindowPaints) {
  form_->show();
  QCoreApplication::processEvents();
  const QImage before = View().Widget()->grab().toImage();
  std::vector<QString> texts;
  QImage during;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (!form_->ProgressLabel()->isVisible()) return;
    texts.push_back(form_->ProgressLabel()->text());
    if (during.isNull()) during = View().Widget()->grab().toImage();
    const char* shots = std::getenv("PIXORAN_SHOT_DIR");
    if (shots && texts.size() == 40) form_->grab().save(QString(shots) + "/main-progress.png");
  });
  poll.start(0);
  form_->acGray->trigger();
  poll.stop();
  ASSERT_FALSE(texts.empty()) << "no events ran while the command worked";
  bool percent = false;
  for (const QString& t : texts) percent = percent || (t.startsWith("转为黑白图像") && t.endsWith("%"));
  EXPECT_TRUE(percent);
  EXPECT_EQ(during, before);
  EXPECT_FALSE(form_->ProgressLabel()->isVisible());

  // Applying a frame (its own viewer's load and resample, the alpha from
  // red) and a dialog's preview report too.
  WriteImage(dir_ + "frames/0/frame1.png", 80, 60, [](int x, int) { return qRgb(x * 3, 0, 0); });
  form_->LoadFrameFolder(dir_ + "frames/0");
  form_->PixoranMViewMain->SetSelectedImage(0);
  const auto reported = [&](const char* caption) {
    for (const QString& t : texts)
      if (t.startsWith(QString::fromUtf8(caption)) && t.endsWith("%")) return true;
    return false;
  };
  texts.clear();
  poll.start(0);
  form_->acApply->trigger();
  EXPECT_TRUE(reported("应用此相框"));
  ModalHook() = [](QDialog& d) {
    dynamic_cast<TfrmBlur&>(d).Button1Click();
    return mrCancel;
  };
  texts.clear();
  form_->acBlur->trigger();
  poll.stop();
  EXPECT_TRUE(reported("模糊效果"));
}

}  // namespace
