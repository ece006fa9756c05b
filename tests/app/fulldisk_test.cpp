// The program on a full disk: an edit whose snapshot cannot be written is
// refused with the picture kept, and "保存" and "保存为..." leave the user's
// files as they were; each says which file could not be written.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>

#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "../fulldisk_inject.h"
#include "app/UEffectForm.h"
#include "app/UMain.h"
#include "view/pxmview.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio.h"
#include "io/pxprint.h"
#include "proc/pixoranproc.h"
#include "platform/printer.h"
#include "testsupport.h"
#include "view/pixoranview.h"

using namespace tolvaren;
using namespace pixoran;

namespace {

QByteArray FileBytes(const std::string& path) {
  QFile f(QString::fromStdString(path));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

std::vector<uint8_t> Shown(TPixoranView& v) {
  TPXBitmap* b = v.GetPXBitmap();
  std::vector<uint8_t> out;
  for (int32_t y = 0; y < b->Height(); ++y) {
    const uint8_t* row = b->Scanline(y);
    out.insert(out.end(), row, row + b->Width() * b->BitCount() / 8);
  }
  return out;
}

// The file, then the cause on a line of its own.
std::string FullDiskMessage(const std::string& path) {
  return FileMessageText("无法保存文件：", path, "无法写入文件（磁盘已满或没有权限）").toStdString();
}

TEST(ProgramFullDisk, EditRefusedAndSavesKeepTheUsersFiles) {
  const std::string dir = pixoran::testing::MakeTempDir("program-fulldisk") + "/";
  QDir().mkpath(QString::fromStdString(dir + "frames"));
  QImage picture(40, 30, QImage::Format_RGB888);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) picture.setPixel(x, y, qRgb(x * 6, y * 8, (x * y) & 255));
  ASSERT_TRUE(picture.save(QString::fromStdString(dir + "picture.png")));
  ASSERT_TRUE(picture.mirrored().save(QString::fromStdString(dir + "chosen.png")));

  std::vector<QString> messages;
  MessageHook() = [&](QWidget*, const QString& t) { messages.push_back(t); };
  std::string nextName = dir + "picture.png";
  PXDialogHooks().FileDialog = [&](TPixoranIO&, const std::string&, const std::string&, const std::string&,
                                   std::string& name, int32_t, bool, bool) { name = nextName; };
  {
    auto form = std::make_unique<TfrmMain>(dir);
    form->acOpenFileExecute();
    TPixoranView& v = *form->PixoranView_Main;
    ASSERT_EQ(v.GetPXBitmap()->Width(), 40);
    form->acSaveAs->trigger();  // the working file now holds the picture
    const std::string work = form->WorkingFileName();
    const QByteArray workBefore = FileBytes(work);
    ASSERT_FALSE(workBefore.isEmpty());
    const QByteArray chosenBefore = FileBytes(dir + "chosen.png");
    const auto shown = Shown(v);
    messages.clear();

    {
      pixoran::testing::TFullDiskScope full;
      form->acGray->trigger();
    }
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].toStdString(), FullDiskMessage(form->SnapshotFileName()));
    EXPECT_EQ(Shown(v), shown) << "the edit went on without its snapshot";
    EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(form->SnapshotFileName())));

    {
      pixoran::testing::TFullDiskScope full;
      form->acSaveAs->trigger();  // "保存": the working file
      nextName = dir + "chosen.png";
      form->acSaveFile->trigger();  // "保存为...": a file the user chose
    }
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[1].toStdString(), FullDiskMessage(work));
    EXPECT_EQ(messages[2].toStdString(), FullDiskMessage(dir + "chosen.png"));
    EXPECT_EQ(FileBytes(work), workBefore);
    EXPECT_EQ(FileBytes(dir + "chosen.png"), chosenBefore);

    // With room again the edit goes through.
    form->acGray->trigger();
    EXPECT_EQ(messages.size(), 3u);
    EXPECT_NE(Shown(v), shown);
  }
  MessageHook() = nullptr;
  PXDialogHooks().FileDialog = nullptr;
}

// A merge whose result cannot be stored (no memory or disk for it) keeps
// both layers: "保存" says the command failed and writes nothing, and the
// frame layer is still there afterwards. A print whose PDF file cannot be
// opened says so, naming the file, even when an older file of that name
// exists.
TEST(ProgramFullDisk, FailedMergeKeepsTheLayersAndFailedPrintSaysSo) {
  const std::string dir = pixoran::testing::MakeTempDir("program-merge") + "/";
  QDir().mkpath(QString::fromStdString(dir + "frames"));
  QImage picture(40, 30, QImage::Format_RGB888);
  picture.fill(qRgb(10, 200, 30));
  ASSERT_TRUE(picture.save(QString::fromStdString(dir + "picture.png")));
  std::vector<QString> messages;
  MessageHook() = [&](QWidget*, const QString& t) { messages.push_back(t); };
  PXDialogHooks().FileDialog = [&](TPixoranIO&, const std::string&, const std::string&, const std::string&,
                                   std::string& name, int32_t, bool, bool) { name = dir + "picture.png"; };
  {
    auto form = std::make_unique<TfrmMain>(dir);
    form->acOpenFileExecute();
    TPixoranView& v = *form->PixoranView_Main;
    form->acSaveAs->trigger();
    const QByteArray workBefore = FileBytes(form->WorkingFileName());
    v.AddLayer();  // a frame over the picture
    v.GetLayer(1)->Bitmap()->Fill(0x0000FF);
    TPXBitmap* frame = v.GetLayer(1)->Bitmap();
    messages.clear();

    PXArmAllocationFault(1);  // the merged result's storage
    form->acSaveAs->trigger();
    EXPECT_TRUE(PXAllocationFaultFired());
    PXArmAllocationFault(0);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].indexOf(QStringLiteral("无法合并图层")), -1) << messages[0].toStdString();
    ASSERT_EQ(v.GetLayersCount(), 2) << "the frame layer went with the failed merge";
    EXPECT_EQ(v.GetLayer(1)->Bitmap(), frame);
    EXPECT_EQ(FileBytes(form->WorkingFileName()), workBefore);

    // The print: its form closes as not printed because the file cannot be opened.
    const std::string pdf = dir + "out.pdf";
    QFile old(QString::fromStdString(pdf));
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("older print");
    old.close();
    Printer().SetOutputFileName(pdf);
    PXDialogHooks().PrintPreviewDialog = [](TPixoranIO&, int32_t, const std::string&) { return -1; };
    messages.clear();
    form->acPrint->trigger();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].indexOf(QStringLiteral("打印失败")), -1) << messages[0].toStdString();
    EXPECT_NE(messages[0].indexOf(QDir::toNativeSeparators(QString::fromStdString(pdf))), -1);
    EXPECT_EQ(messages[0].indexOf(QStringLiteral("已打印")), -1);
    PXDialogHooks().PrintPreviewDialog = nullptr;
    Printer().SetOutputFileName("");
  }
  MessageHook() = nullptr;
  PXDialogHooks().FileDialog = nullptr;
}

// The program's commands with each write and each allocation failing in
// turn: every step either ends as the command does without a failure
// (picture, layers, working file), or says so (a message, or the
// processing component's Aborting) with the picture, its layers and the
// working file as they were.
TEST(ProgramFullDisk, EveryCommandUnderEveryFault) {
  const std::string dir = pixoran::testing::MakeTempDir("program-table") + "/";
  QDir().mkpath(QString::fromStdString(dir + "frames"));
  QImage picture(48, 32, QImage::Format_RGB888);
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 48; ++x) picture.setPixel(x, y, qRgb(x * 5, y * 7, (x ^ y) * 4));
  ASSERT_TRUE(picture.save(QString::fromStdString(dir + "picture.png")));
  std::vector<QString> messages;
  MessageHook() = [&](QWidget*, const QString& t) { messages.push_back(t); };
  std::string nextName;
  PXDialogHooks().FileDialog = [&](TPixoranIO&, const std::string&, const std::string&, const std::string&,
                                   std::string& name, int32_t, bool, bool) { name = nextName; };

  struct TCommand {
    const char* Name;
    QAction* TfrmMain::*Action;
  };
  const TCommand commands[] = {{"转为黑白图像", &TfrmMain::acGray},
                               {"素描效果", &TfrmMain::acEdgeDelect},
                               {"保存", &TfrmMain::acSaveAs},
                               {"保存为...", &TfrmMain::acSaveFile},
                               {"打印", &TfrmMain::acPrint}};
  // The print form closes without printing: what is tried is the flattening before it.
  PXDialogHooks().PrintPreviewDialog = [](TPixoranIO&, int32_t, const std::string&) { return 0; };
  struct TOutcome {
    std::vector<uint8_t> Shown;
    int32_t Layers = 0;
    QByteArray Work, Chosen;
    bool operator==(const TOutcome&) const = default;
  };
  auto start = [&](std::unique_ptr<TfrmMain>& form) {
    QFile::remove(QString::fromStdString(dir + "chosen.png"));
    nextName = dir + "picture.png";
    form = std::make_unique<TfrmMain>(dir);
    form->acOpenFileExecute();
    nextName = dir + "chosen.png";  // where "保存为..." saves
    TPixoranView& v = *form->PixoranView_Main;
    v.AddLayer();  // a frame over the picture, merged by every command
    TPXBitmap& frame = *v.GetLayer(1)->Bitmap();
    frame.Fill(0x2040F0);
    for (int32_t y = 0; y < frame.Height(); ++y)
      for (int32_t x = 0; x < frame.Width(); ++x) frame.SetAlpha(x, y, x < 6 || y < 6 ? 255 : 0);
    messages.clear();
  };
  auto outcome = [&](TfrmMain& form) {
    TPixoranView& v = *form.PixoranView_Main;
    return TOutcome{Shown(v), v.GetLayersCount(), FileBytes(form.WorkingFileName()), FileBytes(dir + "chosen.png")};
  };
  // Thousands of small temporary files: in memory when the system has a
  // memory file system.
  const pixoran::testing::TempFolderScope folder(
      std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::string(PXSettings().TempFolder));
  long points = 0;
  for (bool inFiles : {false, true})
    for (const TCommand& c : commands)
      for (int kind = 0; kind < 2; ++kind) {
        SCOPED_TRACE(::testing::Message() << c.Name << (kind ? ", allocation " : ", write ")
                                          << (inFiles ? ", pictures in temporary files" : ""));
        const pixoran::testing::ThresholdScope files(inFiles ? 0 : PXSettings().MemoryThresholdOverride);
        TOutcome reference;
        {
          std::unique_ptr<TfrmMain> form;
          start(form);
          ((*form).*(c.Action))->trigger();
          ASSERT_TRUE(messages.empty());
          reference = outcome(*form);
        }
        for (long n = 1;; ++n) {
          ASSERT_LT(n, 3000);
          std::unique_ptr<TfrmMain> form;
          start(form);
          const TOutcome before = outcome(*form);
          bool fired;
          if (kind == 0) {
            pixoran::testing::TFailNthWrite fault(n);
            ((*form).*(c.Action))->trigger();
            fired = fault.Failed();
          } else {
            PXArmAllocationFault(n);
            ((*form).*(c.Action))->trigger();
            fired = PXAllocationFaultFired();
            PXArmAllocationFault(0);
          }
          const TOutcome after = outcome(*form);
          if (!fired) {
            EXPECT_TRUE(after == reference);
            points += n - 1;
            break;
          }
          const bool told = !messages.empty() || form->PixoranView_Main->GetProc()->Aborting();
          if (told) {
            // The flattening before the failure may stand: the layers merged
            // into one picture that looks as before. The picture's pixels and
            // the working file are what they were.
            EXPECT_TRUE(after.Work == before.Work) << "at " << n << ": the working file changed";
            EXPECT_TRUE(after.Chosen == before.Chosen) << "at " << n << ": a failed save left a file";
            if (after.Layers == before.Layers) {
              EXPECT_TRUE(after.Shown == before.Shown) << "at " << n;
            }
          } else {
            EXPECT_TRUE(after == reference) << "at " << n << ": a failure went unreported";
          }
          if (HasFailure()) return;
        }
      }
  std::printf("program commands: %ld points\n", points);
  PXDialogHooks().PrintPreviewDialog = nullptr;
  MessageHook() = nullptr;
  PXDialogHooks().FileDialog = nullptr;
}

// Every layer as the viewer holds it: place, size, pixels and alpha.
std::vector<uint8_t> AllLayers(TPixoranView& v) {
  std::vector<uint8_t> out;
  for (int32_t i = 0; i < v.GetLayersCount(); ++i) {
    TPXLayer& layer = *v.GetLayer(i);
    TPXBitmap& b = *layer.Bitmap();
    for (int32_t value : {layer.PosX, layer.PosY, layer.GetWidth(), layer.GetHeight(), b.Width(), b.Height(),
                          static_cast<int32_t>(b.PixelFormat()), static_cast<int32_t>(b.HasAlphaChannel())})
      out.insert(out.end(), reinterpret_cast<const uint8_t*>(&value), reinterpret_cast<const uint8_t*>(&value) + 4);
    for (int32_t y = 0; y < b.Height(); ++y) {
      const uint8_t* row = b.Scanline(y);
      out.insert(out.end(), row, row + (int64_t{b.Width()} * b.BitCount() + 7) / 8);
      if (b.HasAlphaChannel())
        for (int32_t x = 0; x < b.Width(); ++x) out.push_back(b.GetAlpha(x, y));
    }
  }
  return out;
}

// Frame application under each write and allocation failing in turn, for
// a frame of each family (alpha from red, inverted, key colour, both): the
// frame layers as a run without failure adds them, or the command says it
// failed with the picture, its layers and the undo snapshot as they were.
TEST(ProgramFullDisk, FrameApplicationUnderEveryFault) {
  const std::string dir = pixoran::testing::MakeTempDir("program-frames") + "/";
  QDir().mkpath(QString::fromStdString(dir + "frames/0"));
  QImage picture(40, 30, QImage::Format_RGB888);
  for (int y = 0; y < 30; ++y)
    for (int x = 0; x < 40; ++x) picture.setPixel(x, y, qRgb(x * 6, y * 8, (x * y) & 255));
  ASSERT_TRUE(picture.save(QString::fromStdString(dir + "picture.png")));
  QImage frame(20, 10, QImage::Format_RGB888);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 20; ++x) frame.setPixel(x, y, x < 4 || y < 3 ? qRgb(255, 40 + y, 90) : qRgb(255, 0, 255));
  for (const char* name : {"frame1.png", "b1.png", "c1.png", "cat.png"})
    ASSERT_TRUE(frame.save(QString::fromStdString(dir + "frames/0/" + name)));
  // The snapshot an earlier edit left: a failed application gives it back.
  QImage earlier(8, 8, QImage::Format_RGB888);
  earlier.fill(qRgb(1, 2, 3));

  std::vector<QString> messages;
  MessageHook() = [&](QWidget*, const QString& t) { messages.push_back(t); };
  PXDialogHooks().FileDialog = [&](TPixoranIO&, const std::string&, const std::string&, const std::string&,
                                   std::string& name, int32_t, bool, bool) { name = dir + "picture.png"; };
  struct TOutcome {
    std::vector<uint8_t> Layers;
    QByteArray Snapshot;
    bool Kept = false;
    bool operator==(const TOutcome&) const = default;
  };
  auto start = [&](std::unique_ptr<TfrmMain>& form, const char* name) {
    form = std::make_unique<TfrmMain>(dir);
    form->acOpenFileExecute();
    ASSERT_TRUE(earlier.save(QString::fromStdString(form->SnapshotFileName())));
    form->LoadFrameFolder(dir + "frames/0");
    TPixoranMView& strip = *form->PixoranMViewMain;
    for (int i = 0; i < strip.GetImageCount(); ++i)
      if (QFileInfo(QString::fromStdString(strip.GetImageFileName(i))).fileName() == name) strip.SetSelectedImage(i);
    messages.clear();
  };
  auto outcome = [&](TfrmMain& form) {
    return TOutcome{AllLayers(*form.PixoranView_Main), FileBytes(form.SnapshotFileName()),
                    QFileInfo::exists(QString::fromStdString(form.KeptSnapshotFileName()))};
  };
  const pixoran::testing::TempFolderScope folder(
      std::filesystem::is_directory("/dev/shm") ? "/dev/shm" : std::string(PXSettings().TempFolder));
  long points = 0;
  for (bool inFiles : {false, true})
    for (const char* name : {"frame1.png", "b1.png", "c1.png", "cat.png"})
      for (int kind = 0; kind < 2; ++kind) {
        SCOPED_TRACE(::testing::Message() << name << (kind ? ", allocation " : ", write ")
                                          << (inFiles ? ", pictures in temporary files" : ""));
        const pixoran::testing::ThresholdScope files(inFiles ? 0 : PXSettings().MemoryThresholdOverride);
        TOutcome reference;
        {
          std::unique_ptr<TfrmMain> form;
          start(form, name);
          ASSERT_EQ(form->PixoranView_Main->GetLayersCount(), 1);
          form->acApply->trigger();
          ASSERT_TRUE(messages.empty());
          reference = outcome(*form);
          ASSERT_GT(form->PixoranView_Main->GetLayersCount(), 1);
        }
        for (long n = 1;; ++n) {
          ASSERT_LT(n, 3000);
          std::unique_ptr<TfrmMain> form;
          start(form, name);
          const TOutcome before = outcome(*form);
          bool fired;
          if (kind == 0) {
            pixoran::testing::TFailNthWrite fault(n);
            form->acApply->trigger();
            fired = fault.Failed();
          } else {
            PXArmAllocationFault(n);
            form->acApply->trigger();
            fired = PXAllocationFaultFired();
            PXArmAllocationFault(0);
          }
          const TOutcome after = outcome(*form);
          if (!fired) {
            EXPECT_TRUE(messages.empty());
            EXPECT_TRUE(after == reference);
            points += n - 1;
            break;
          }
          if (!messages.empty()) {
            EXPECT_TRUE(after == before) << "at " << n << ": the failed application changed the picture, its layers"
                                         << " or the undo snapshot";
          } else {
            EXPECT_TRUE(after == reference) << "at " << n << ": a failure went unreported";
          }
          if (HasFailure()) return;
        }
      }
  std::printf("frame application: %ld points\n", points);
  MessageHook() = nullptr;
  PXDialogHooks().FileDialog = nullptr;
}

}  // namespace
