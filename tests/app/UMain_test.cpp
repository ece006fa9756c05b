// The main window on a catalogue of frames written by Qt's own image
// writers: start-up and its messages, folder scans, opening a picture, the
// snapshot and going back, and the three families of frames.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLibraryInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTranslator>
#include <QImage>
#include <QTest>
#include <QTimer>

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/UEffectForm.h"
#include "app/UMain.h"
#include "app/UMain_frames.h"
#include "app/UMain_shot.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio.h"
#include "io/pxprint.h"
#include "testsupport.h"
#include "view/pixoranview.h"
#include "view/pxmview.h"

using namespace tolvaren;
using namespace pixoran;

namespace {

using TPaint = std::function<QRgb(int x, int y)>;

void WriteImage(const std::string& path, int w, int h, const TPaint& paint, const char* format = nullptr) {
  QImage img(w, h, QImage::Format_RGB888);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) img.setPixel(x, y, paint(x, y));
  QDir().mkpath(QFileInfo(QString::fromStdString(path)).absolutePath());
  ASSERT_TRUE(img.save(QString::fromStdString(path), format, 100)) << path;
}

QByteArray FileBytes(const std::string& path) {
  QFile f(QString::fromStdString(path));
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  QDir().mkpath(QFileInfo(QString::fromStdString(path)).absolutePath());
  QFile f(QString::fromStdString(path));
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

QRgb Picture(int x, int y) { return qRgb(x * 6 % 256, y * 8 % 256, (x * y) % 256); }
// Left half red 200 (alpha 200 once applied), right half black (transparent).
QRgb RedBlack(int x, int) { return x < 10 ? qRgb(200, 10, 20) : qRgb(0, 0, 0); }
// The same drawn as negative.
QRgb RedBlackNegative(int x, int y) { return ~RedBlack(x, y) | 0xFF000000u; }
// Left half the key colour, right half green.
QRgb KeyGreen(int x, int) { return x < 10 ? qRgb(kFrameKeyRed, kFrameKeyGreen, kFrameKeyBlue) : qRgb(0, 128, 0); }

struct TPixel {
  uint8_t b, g, r, a;
  bool operator==(const TPixel&) const = default;
};

TPixel At(TPXBitmap& bitmap, int x, int y) {
  const uint8_t* row = bitmap.Scanline(y);
  TPixel p{row[3 * x], row[3 * x + 1], row[3 * x + 2], 255};
  if (bitmap.HasAlphaChannel()) p.a = bitmap.GetAlphaChannel()->Scanline(y)[x];
  return p;
}

std::vector<uint8_t> Pixels(TPixoranView& v) {
  TPXBitmap* b = v.GetPXBitmap();
  std::vector<uint8_t> out{static_cast<uint8_t>(b->PixelFormat()), static_cast<uint8_t>(b->Width()),
                           static_cast<uint8_t>(b->Height())};
  for (int y = 0; y < b->Height(); ++y) {
    const uint8_t* r = b->Scanline(y);
    out.insert(out.end(), r, r + static_cast<size_t>(b->Width()) * 3);
  }
  return out;
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = pixoran::testing::MakeTempDir("mainwin") + "/";
    MessageHook() = [this](QWidget*, const QString& t) { messages_.push_back(t); };
    PXDialogHooks().FileDialog = [this](TPixoranIO&, const std::string&, const std::string&, const std::string&,
                                        std::string& name, int32_t, bool, bool) { name = nextOpen_; };
  }
  void TearDown() override {
    form_.reset();
    MessageHook() = nullptr;
    PXDialogHooks().FileDialog = nullptr;
  }

  // A catalogue with the sample (40 x 30 PNG content in a .jpg name would be
  // read by content; a real JPEG keeps it honest).
  void MakeCatalogue(bool withFolder0 = true, bool withSample = true) {
    if (withFolder0) QDir().mkpath(QString::fromStdString(dir_ + "frames/0"));
    if (withSample) WriteImage(dir_ + "frames/sample.jpg", 40, 30, Picture, "JPEG");
  }
  void Start() { form_ = std::make_unique<TfrmMain>(dir_); }
  void Open(const std::string& name) {
    nextOpen_ = name;
    form_->acOpenFileExecute();
  }
  // Puts one frame in folder 0 (restarting the strip) and selects it.
  void SelectFrame(const std::string& name) {
    form_->LoadFrameFolder(dir_ + "frames/0");
    TPixoranMView& strip = *form_->PixoranMViewMain;
    for (int i = 0; i < strip.GetImageCount(); ++i)
      if (QFileInfo(QString::fromStdString(strip.GetImageFileName(i))).fileName().toStdString() == name) {
        strip.SetSelectedImage(i);
        return;
      }
    FAIL() << name << " not in the strip";
  }
  std::vector<std::string> StripNames() {
    std::vector<std::string> names;
    TPixoranMView& strip = *form_->PixoranMViewMain;
    for (int i = 0; i < strip.GetImageCount(); ++i)
      names.push_back(QFileInfo(QString::fromStdString(strip.GetImageFileName(i))).fileName().toStdString());
    return names;
  }
  TPixoranView& View() { return *form_->PixoranView_Main; }

  std::string dir_;
  std::string nextOpen_;
  std::vector<QString> messages_;
  std::unique_ptr<TfrmMain> form_;
};

TEST(FrameFamilies, FileNameRules) {
  struct Case {
    const char* name;
    bool alpha, inverted, key;
  } cases[] = {
      {"border1.png", true, true, false}, {"frame01.jpg", true, false, false},   {"corner.jpg", false, false, true},
      {"cat.png", true, false, true},     {"Border.png", false, false, false},   {"pic1.jpg", false, false, false},
      {"x.tga", true, false, false},      {"/a/corner.jpg", false, false, true}, {"", false, false, false},
  };
  for (const Case& c : cases) {
    const TFrameFamilies f = ClassifyFrame(c.name);
    EXPECT_EQ(f.AlphaFromRed, c.alpha) << c.name;
    EXPECT_EQ(f.Inverted, c.inverted) << c.name;
    EXPECT_EQ(f.KeyColour, c.key) << c.name;
  }
}

TEST_F(MainWindowTest, StartUpMessagesAndEmptyViewer) {
  struct Case {
    const char* name;
    bool folder0, sample, corruptSample;
    std::vector<QString> messages;
    bool pictureLoaded;
  } cases[] = {
      {"complete", true, true, false, {}, true},
      {"no category folder", false, true, false, {QStringLiteral("程序文件破坏，请重新安装！")}, true},
      {"no sample", true, false, false, {}, false},
      {"corrupt sample", true, false, true, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    dir_ = pixoran::testing::MakeTempDir("mainwin") + "/";
    messages_.clear();
    MakeCatalogue(c.folder0, c.sample);
    if (c.corruptSample) WriteBytes(dir_ + "frames/sample.jpg", "\xFF\xD8\xFF\xE0 not a picture");
    // A snapshot an earlier run left behind stays for going back to.
    WriteImage(dir_ + "tempfile.png", 8, 8, [](int, int) { return qRgb(1, 2, 3); });
    Start();
    EXPECT_EQ(messages_, c.messages);
    EXPECT_EQ(View().GetLayersCount(), 1);
    EXPECT_EQ(!View().IsEmpty(), c.pictureLoaded);
    if (c.pictureLoaded) {
      EXPECT_EQ(View().GetPXBitmap()->Width(), 40);
      EXPECT_EQ(View().GetIO()->Params().FileName, dir_ + "workfile.jpg");
    }
    messages_.clear();
    form_->acGoBackExecute();  // before any edit: the earlier run's last state
    EXPECT_EQ(View().GetPXBitmap()->Width(), 8);
    EXPECT_EQ(View().GetPXBitmap()->GetPixel24(3, 3).r, 1);
    form_->acGoBackExecute();  // twice: the same snapshot again
    EXPECT_EQ(View().GetPXBitmap()->Width(), 8);

    // No snapshot: going back leaves the viewer empty, and neither applying
    // nor "保存" takes the empty viewer for a picture.
    ASSERT_TRUE(QFile::remove(QString::fromStdString(form_->SnapshotFileName())));
    const QByteArray work = FileBytes(dir_ + "workfile.jpg");
    form_->acGoBackExecute();
    EXPECT_TRUE(View().IsEmpty());
    form_->acSaveAs->trigger();
    EXPECT_EQ(FileBytes(dir_ + "workfile.jpg"), work);
    form_->acApplyExecute();
    EXPECT_EQ(messages_, std::vector<QString>{QStringLiteral("请先选择图片")});
  }
}

TEST_F(MainWindowTest, FolderScansShowReadableFilesSortedByName) {
  MakeCatalogue();
  WriteImage(dir_ + "frames/0/z.png", 4, 4, Picture);
  WriteImage(dir_ + "frames/0/a.jpg", 4, 4, Picture, "JPEG");
  WriteImage(dir_ + "frames/0/b.bmp", 4, 4, Picture, "BMP");
  WriteBytes(dir_ + "frames/0/notes.txt", "not a frame");
  QDir().mkpath(QString::fromStdString(dir_ + "frames/0/sub.png"));  // a folder, whatever its name
  QDir().mkpath(QString::fromStdString(dir_ + "frames/1"));
  WriteBytes(dir_ + "frames/1/m.wmf", "metafile");  // metafiles are readable frames too
  WriteBytes(dir_ + "frames/1/n.emf", "metafile");
  Start();
  EXPECT_EQ(StripNames(), (std::vector<std::string>{"a.jpg", "b.bmp", "z.png"}));
  EXPECT_EQ(form_->PixoranMViewMain->SelectedImage(), 0);
  EXPECT_EQ(form_->PreviewFileName(), dir_ + "frames/0/a.jpg");
  EXPECT_EQ(form_->PixoranViewPreView->GetPXBitmap()->Width(), 4);

  form_->ComboBox1->setCurrentIndex(1);
  EXPECT_EQ(StripNames(), (std::vector<std::string>{"m.wmf", "n.emf"}));
  QFile::remove(QString::fromStdString(dir_ + "frames/1/m.wmf"));
  QFile::remove(QString::fromStdString(dir_ + "frames/1/n.emf"));
  form_->ComboBox1->setCurrentIndex(0);
  form_->ComboBox1->setCurrentIndex(1);  // an empty folder
  EXPECT_TRUE(StripNames().empty());
  EXPECT_EQ(form_->PreviewFileName(), "");
  EXPECT_TRUE(form_->PixoranViewPreView->IsEmpty());
  form_->ComboBox1->setCurrentIndex(2);  // no folder at all
  EXPECT_TRUE(StripNames().empty());
}

TEST_F(MainWindowTest, CategoryChosenDuringScanCancelsIt) {
  MakeCatalogue();
  for (int i = 0; i < 40; ++i) WriteBytes(dir_ + "frames/0/f" + std::to_string(100 + i) + ".png", "x");
  WriteImage(dir_ + "frames/1/only.png", 4, 4, Picture);
  Start();
  ASSERT_EQ(form_->PixoranMViewMain->GetImageCount(), 40);
  // The scan pumps messages after each file: the change arrives mid-scan.
  QTimer::singleShot(0, form_->ComboBox1, [this] { form_->ComboBox1->setCurrentIndex(1); });
  EXPECT_FALSE(form_->LoadFrameFolder(dir_ + "frames/0"));
  EXPECT_EQ(StripNames(), (std::vector<std::string>{"only.png"}));
  EXPECT_EQ(form_->PreviewFileName(), dir_ + "frames/1/only.png");
}

TEST_F(MainWindowTest, ApplyingEachFamily) {
  struct Case {
    const char* name;
    TPaint paint;
    int layers;
    // Expected pixel of the top layer's bitmap at (2, 5) and (15, 5) in its
    // own coordinates, and its bitmap size.
    TPixel left, right;
    int bitmapW, bitmapH;
  } cases[] = {
      {"frame1.png", RedBlack, 2, {20, 10, 200, 200}, {0, 0, 0, 0}, 40, 30},
      {"b1.png", RedBlackNegative, 2, {20, 10, 200, 200}, {0, 0, 0, 0}, 40, 30},
      {"c1.png", KeyGreen, 2, {kFrameKeyBlue, kFrameKeyGreen, kFrameKeyRed, 0}, {0, 128, 0, 255}, 20, 10},
      {"cat.png", KeyGreen, 3, {kFrameKeyBlue, kFrameKeyGreen, kFrameKeyRed, 0}, {0, 128, 0, 255}, 20, 10},
      {"Border.png", RedBlack, 1, {}, {}, 0, 0},
  };
  MakeCatalogue();
  for (const Case& c : cases) WriteImage(dir_ + "frames/0/" + c.name, 20, 10, c.paint);
  WriteImage(dir_ + "picture.png", 40, 30, Picture);
  Start();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Open(dir_ + "picture.png");
    EXPECT_EQ(View().GetLayer(0)->GetWidth(), 40);  // not the last picture's display size
    EXPECT_EQ(View().GetLayer(0)->PosX, 0);
    const auto picture = Pixels(View());
    // The picture shown at another size and place: the frame follows it.
    TPXLayer* base = View().GetLayer(0);
    base->Width = 50, base->Height = 35, base->PosX = 3, base->PosY = 4;
    SelectFrame(c.name);
    form_->acApplyExecute();
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(form_->SnapshotFileName())));
    ASSERT_EQ(View().GetLayersCount(), c.layers);
    if (c.layers == 1) {
      EXPECT_EQ(Pixels(View()), picture);
      continue;
    }
    if (c.layers == 3) {  // the alpha-from-red layer comes first, at the picture's pixel size
      TPXBitmap& first = *View().GetLayer(1)->Bitmap();
      EXPECT_EQ(first.Width(), 40);
      EXPECT_EQ(first.Height(), 30);
      EXPECT_EQ(At(first, 4, 15).a, 255);  // the key colour is full of red
      EXPECT_EQ(At(first, 36, 15).a, 0);   // the green has none
    }
    TPXLayer& top = *View().GetLayer(c.layers - 1);
    EXPECT_EQ(View().CurrentLayer(), c.layers - 1);
    TPXBitmap& b = *top.Bitmap();
    EXPECT_EQ(b.Width(), c.bitmapW);
    EXPECT_EQ(b.Height(), c.bitmapH);
    const int sx = c.bitmapW / 20;  // uniform areas well inside each half
    EXPECT_EQ(At(b, 2 * sx, 5 * (c.bitmapH / 10)), c.left);
    EXPECT_EQ(At(b, 15 * sx, 5 * (c.bitmapH / 10)), c.right);
    EXPECT_EQ(top.GetWidth(), 50);
    EXPECT_EQ(top.GetHeight(), 35);
    EXPECT_EQ(top.PosX, 3);
    EXPECT_EQ(top.PosY, 4);
  }
}

TEST_F(MainWindowTest, GoingBackRestoresExactPixelsAlsoForJpeg) {
  MakeCatalogue();
  WriteImage(dir_ + "frames/0/frame1.png", 20, 10, RedBlack);
  WriteImage(dir_ + "picture.png", 40, 30, Picture);
  WriteImage(dir_ + "photo.jpg", 40, 30, Picture, "JPEG");
  Start();
  for (const char* name : {"picture.png", "photo.jpg"}) {
    SCOPED_TRACE(name);
    Open(dir_ + name);
    const std::string work = form_->WorkingFileName();
    EXPECT_EQ(View().GetIO()->Params().FileName, work);
    const auto before = Pixels(View());
    SelectFrame("frame1.png");
    form_->acApplyExecute();
    ASSERT_EQ(View().GetLayersCount(), 2);
    form_->acGoBackExecute();
    EXPECT_EQ(View().GetLayersCount(), 1);
    EXPECT_EQ(Pixels(View()), before);
    form_->acGoBackExecute();  // twice: the same snapshot again
    EXPECT_EQ(Pixels(View()), before);
    // "保存" still goes to the working file, never to the snapshot.
    EXPECT_EQ(View().GetIO()->Params().FileName, work);
    EXPECT_EQ(form_->SnapshotFileName(), dir_ + "tempfile.png");
  }
  // The next edit flattens the frame into the picture: going back then
  // gives the framed picture, the picture itself where the frame is clear.
  const TPixel clear = At(*View().GetPXBitmap(), 30, 15), under = At(*View().GetPXBitmap(), 4, 15);
  form_->acApplyExecute();
  form_->acApplyExecute();
  EXPECT_EQ(View().GetLayersCount(), 2);
  form_->acGoBackExecute();
  EXPECT_EQ(View().GetLayersCount(), 1);
  EXPECT_FALSE(View().GetPXBitmap()->HasAlphaChannel());
  EXPECT_EQ(At(*View().GetPXBitmap(), 30, 15), clear);
  const TPixel framed = At(*View().GetPXBitmap(), 4, 15);  // red 200 at alpha 200 over the picture
  EXPECT_NEAR(framed.r, (200 * 200 + under.r * 55) / 255, 1);
  EXPECT_NEAR(framed.b, (20 * 200 + under.b * 55) / 255, 1);
}

TEST_F(MainWindowTest, OpeningKeepsOrReplacesThePicture) {
  MakeCatalogue();
  WriteImage(dir_ + "frames/0/frame1.png", 20, 10, RedBlack);
  WriteImage(dir_ + "a.png", 40, 30, Picture);
  WriteImage(dir_ + "b.png", 24, 16, [](int x, int) { return qRgb(x, 9, 9); });
  WriteImage(dir_ + "good.png", 8, 8, Picture);
  std::string truncated;
  {
    QFile f(QString::fromStdString(dir_ + "good.png"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    truncated = f.readAll().left(60).toStdString();
  }
  WriteBytes(dir_ + "bad.png", truncated);
  Start();
  Open(dir_ + "a.png");
  SelectFrame("frame1.png");
  form_->acApplyExecute();
  const auto framed = Pixels(View());
  const int layers = View().GetLayersCount();

  WriteBytes(dir_ + "empty.jpg", "");
  WriteBytes(dir_ + "unknown.xyz", "not a picture at all");
  for (const std::string& name :
       {std::string(), dir_ + "bad.png", dir_ + "missing.png", dir_ + "empty.jpg", dir_ + "unknown.xyz"}) {
    SCOPED_TRACE(name);
    messages_.clear();
    // Cancelled, corrupt, missing, empty, unknown: the picture stays; all
    // but cancelling say so, naming the file.
    nextOpen_ = name;
    form_->acOpenFile->trigger();
    EXPECT_EQ(form_->CurrentPictureName(), dir_ + "a.png");
    EXPECT_EQ(View().GetLayersCount(), layers);
    EXPECT_EQ(Pixels(View()), framed);
    EXPECT_TRUE(QFileInfo::exists(QString::fromStdString(form_->SnapshotFileName())));
    if (name.empty()) {
      EXPECT_TRUE(messages_.empty());
    } else {
      ASSERT_EQ(messages_.size(), 1u);
      // A neutral first line, the file, then the cause.
      const QString cause = messages_[0].section('\n', 2);
      EXPECT_EQ(messages_[0], FileMessageText("无法打开图片：", name, cause));
      const QString expected = name == dir_ + "missing.png"   ? QStringLiteral("文件不存在")
                               : name == dir_ + "unknown.xyz" ? QStringLiteral("无法识别的文件格式")
                                                              : cause;
      EXPECT_EQ(cause, expected);
      EXPECT_TRUE(cause == "文件已损坏" || cause == "无法读取" || cause == expected) << cause.toStdString();
    }
  }
  messages_.clear();

  Open(dir_ + "b.png");
  EXPECT_EQ(View().GetLayersCount(), 1);
  EXPECT_EQ(View().GetPXBitmap()->Width(), 24);
  const auto b = Pixels(View());
  form_->acGoBackExecute();  // the snapshot is the program's, not the picture's: a.png's
  EXPECT_EQ(View().GetPXBitmap()->Width(), 40);
  Open(dir_ + "b.png");

  Open(form_->WorkingFileName());  // the working file itself is not deleted first
  EXPECT_EQ(Pixels(View()), b);

  // The program's own snapshot file, opened: its picture, not an empty viewer.
  SelectFrame("frame1.png");
  form_->acApplyExecute();  // writes the snapshot of b
  Open(form_->SnapshotFileName());
  EXPECT_EQ(Pixels(View()), b);
  EXPECT_TRUE(messages_.empty());
}

TEST_F(MainWindowTest, CorruptFramesAddNoLayer) {
  MakeCatalogue();
  WriteBytes(dir_ + "frames/0/frame9.png", "\x89PNG\r\n\x1a\n garbage");
  WriteBytes(dir_ + "frames/0/c9.png", "\x89PNG\r\n\x1a\n garbage");
  WriteImage(dir_ + "picture.png", 40, 30, Picture);
  Start();
  Open(dir_ + "picture.png");
  const auto before = Pixels(View());
  for (const char* name : {"frame9.png", "c9.png"}) {
    SCOPED_TRACE(name);
    SelectFrame(name);
    EXPECT_EQ(form_->PreviewFileName(), "");
    form_->acApplyExecute();
    EXPECT_EQ(View().GetLayersCount(), 1);
    EXPECT_EQ(Pixels(View()), before);
  }
  EXPECT_TRUE(messages_.empty());
}

TEST_F(MainWindowTest, WindowKeepsItsRectangleWithoutLooping) {
  MakeCatalogue();
  Start();
  form_->show();
  // Geometry changes of a shown window arrive through the event loop.
  const auto settle = [] { QTest::qWait(20); };
  settle();
  const QSize target = form_->size();
  form_->resize(700, 500);
  settle();
  EXPECT_EQ(form_->size(), target);
  form_->move(40, 50);
  form_->resize(710, 510);
  settle();
  EXPECT_EQ(form_->size(), target);
  EXPECT_EQ(form_->pos(), QPoint(0, 0));
  // A window manager answering the correction with the same size again keeps it.
  form_->resize(710, 510);
  settle();
  EXPECT_EQ(form_->size(), QSize(710, 510));
}

TEST(WorkingFolder, ProgramFolderWhenWritableElseUserData) {
  const std::string dir = pixoran::testing::MakeTempDir("workdir");
  EXPECT_EQ(WorkingFolderFor(dir), dir + "/");
  const std::string fallback = WorkingFolderFor("/proc/");
  EXPECT_NE(fallback, "/proc/");
  EXPECT_TRUE(QFileInfo(QString::fromStdString(fallback)).isWritable());
}

TEST_F(MainWindowTest, StartupShotWaitsForEverythingThenApplies) {
  MakeCatalogue();
  WriteImage(dir_ + "frames/0/frame1.png", 20, 10, RedBlack);
  WriteImage(dir_ + "frames/0/c1.png", 20, 10, KeyGreen);
  Start();
  form_->show();
  TStartupShot result;
  bool done = false;
  RunStartupShot(
      *form_, dir_ + "shots/start.png", [] { return int64_t{7}; },
      [&](const TStartupShot& r) {
        result = r;
        done = true;
      });
  ASSERT_TRUE(QTest::qWaitFor([&] { return done; }, 20000));
  EXPECT_TRUE(result.Ready);
  EXPECT_EQ(result.FirstFrameMs, 7);
  EXPECT_EQ(QImage(QString::fromStdString(result.Shot)).size(), form_->size());
  EXPECT_EQ(result.AppliedShot, dir_ + "shots/start-applied.png");
  EXPECT_EQ(View().GetLayersCount(), 2);  // c1.png sorts first: the key-colour layer
}

#ifdef TOLVAREN_CATALOGUE
// The catalogue the build drew: eight folders of three to five frames, each
// family present, the windows cut as the family needs.
TEST(FrameCatalogue, EveryCategoryCoversTheThreeFamilies) {
  const QString root = QStringLiteral(TOLVAREN_CATALOGUE);
  const QImage sample(root + "/sample.jpg");
  EXPECT_EQ(sample.size(), QSize(800, 600));
  for (int category = 0; category < 8; ++category) {
    SCOPED_TRACE(category);
    const QStringList files = QDir(root + '/' + QString::number(category)).entryList(QDir::Files, QDir::Name);
    EXPECT_GE(files.size(), 3);
    EXPECT_LE(files.size(), 5);
    bool alpha = false, inverted = false, key = false;
    for (const QString& f : files) {
      const TFrameFamilies fam = ClassifyFrame(f.toStdString());
      const QImage img =
          QImage(root + '/' + QString::number(category) + '/' + f).convertToFormat(QImage::Format_RGB888);
      ASSERT_FALSE(img.isNull()) << f.toStdString();
      // Sharp over a camera picture: at least 2400 pixels on the long side.
      EXPECT_GE(std::max(img.width(), img.height()), 2400) << f.toStdString();
      const QRgb centre = img.pixel(img.width() / 2, img.height() / 2);
      if (fam.KeyColour) {
        key = true;
        EXPECT_FALSE(fam.AlphaFromRed) << f.toStdString();
        EXPECT_TRUE(f.endsWith(".png") || f.endsWith(".bmp")) << f.toStdString();
        EXPECT_EQ(centre, qRgb(kFrameKeyRed, kFrameKeyGreen, kFrameKeyBlue)) << f.toStdString();
      } else if (fam.Inverted) {
        inverted = true;
        EXPECT_GE(qRed(centre), 250) << f.toStdString();  // white: transparent once made negative
        // The stored file reads as the frame it gives: dark line art with no
        // red (opaque once negative) on white (clear), in the border band.
        int lines = 0, white = 0, band = 0;
        for (int y = 0; y < img.height(); y += 3)
          for (int x = 0; x < img.width(); x += 3) {
            if (x > img.width() / 10 && x < img.width() * 9 / 10 && y > img.height() / 10 && y < img.height() * 9 / 10)
              continue;
            const QRgb p = img.pixel(x, y);
            ++band;
            lines += qRed(p) < 24 && qGray(p) < 110;
            white += qRed(p) > 240 && qGreen(p) > 240 && qBlue(p) > 240;
          }
        EXPECT_GT(lines, band / 50) << f.toStdString();
        EXPECT_GT(white, band / 2) << f.toStdString();
      } else {
        alpha = alpha || fam.AlphaFromRed;
        EXPECT_LE(qRed(centre), 8) << f.toStdString();  // black, up to JPEG's error
      }
    }
    EXPECT_TRUE(alpha && inverted && key);
  }
}
// Key-colour frames as the build drew them: the window exactly the key
// colour, and the key colour nowhere else, nor any colour near it (a
// near-key dot in the window would be applied, saved and printed).
TEST(FrameCatalogue, KeyColourWindowsAreExactlyTheKeyColour) {
  const QString root = QStringLiteral(TOLVAREN_CATALOGUE);
  const QRgb key = qRgb(kFrameKeyRed, kFrameKeyGreen, kFrameKeyBlue);
  int checked = 0;
  for (int category = 0; category < 8; ++category) {
    const QString folder = root + '/' + QString::number(category) + '/';
    for (const QString& f : QDir(folder).entryList(QDir::Files, QDir::Name)) {
      if (!ClassifyFrame(f.toStdString()).KeyColour) continue;
      SCOPED_TRACE(f.toStdString() + " in " + std::to_string(category));
      const QImage img = QImage(folder + f).convertToFormat(QImage::Format_RGB32);
      ASSERT_FALSE(img.isNull());
      const int w = img.width(), h = img.height();
      // The window: every key pixel reached from the centre.
      std::vector<uint8_t> window(static_cast<size_t>(w) * h, 0);
      std::vector<QPoint> stack{QPoint(w / 2, h / 2)};
      int64_t windowPixels = 0;
      while (!stack.empty()) {
        const QPoint p = stack.back();
        stack.pop_back();
        if (p.x() < 0 || p.y() < 0 || p.x() >= w || p.y() >= h) continue;
        uint8_t& seen = window[static_cast<size_t>(p.y()) * w + p.x()];
        if (seen || img.pixel(p) != key) continue;
        seen = 1;
        ++windowPixels;
        stack.insert(stack.end(), {p + QPoint(1, 0), p - QPoint(1, 0), p + QPoint(0, 1), p - QPoint(0, 1)});
      }
      EXPECT_GT(windowPixels, int64_t{w} * h / 3);
      // No hole in the window: each row and column crosses it in one run.
      int64_t strayKey = 0, nearKey = 0, holes = 0;
      for (int y = 0; y < h; ++y) {
        int first = -1, last = -1, inside = 0;
        for (int x = 0; x < w; ++x) {
          const QRgb c = img.pixel(x, y);
          const bool in = window[static_cast<size_t>(y) * w + x];
          if (in) {
            if (first < 0) first = x;
            last = x;
            ++inside;
            continue;
          }
          if (c == key) ++strayKey;
          const int dr = qRed(c) - qRed(key), dg = qGreen(c) - qGreen(key), db = qBlue(c) - qBlue(key);
          if (dr * dr + dg * dg + db * db < 60 * 60) ++nearKey;
        }
        if (first >= 0) holes += (last - first + 1) - inside;
      }
      EXPECT_EQ(holes, 0);
      EXPECT_EQ(strayKey, 0);
      EXPECT_EQ(nearKey, 0);
      ++checked;
    }
  }
  EXPECT_GE(checked, 8);
}

#endif

}  // namespace

// Qt's own texts come in Chinese once the translation is installed; a
// missing translation leaves them in English and nothing fails.
TEST(QtTranslation, ChineseWhenInstalledEnglishWhenMissing) {
  const auto okText = [] {
    QMessageBox box;
    box.setStandardButtons(QMessageBox::Ok | QMessageBox::Cancel);
    return box.button(QMessageBox::Cancel)->text();
  };
  EXPECT_EQ(InstallQtTranslation(QStringLiteral("/no/such/folder")), nullptr);
  EXPECT_EQ(okText().remove('&'), "Cancel");
  QTranslator* t = InstallQtTranslation(QLibraryInfo::path(QLibraryInfo::TranslationsPath));
  if (!t) GTEST_SKIP() << "Qt's translations are not installed";
  EXPECT_EQ(okText(), "取消");
  QFileDialog dialog;
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  EXPECT_TRUE(dialog.findChild<QLabel*>(QStringLiteral("fileTypeLabel"))->text().contains("文件"));
  delete t;
  EXPECT_EQ(okText().remove('&'), "Cancel");
}
