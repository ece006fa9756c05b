#include "dialogs/pxopensavedlg.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QToolButton>
#include <QTranslator>
#include <algorithm>
#include <memory>
#include <cstdlib>
#include <set>
#include <string>

#include "dialogs/pxiodlghooks.h"
#include "io/pixoranio.h"
#include "io/pxformats.h"
#include "io/pxmio.h"
#include "io/pxprint.h"
#include "platform/system.h"
#include "testsupport.h"
#include "view/pixoranview.h"
#include "view/pxmview.h"

using namespace pixoran;
using namespace pixoran::testing;

namespace {

bool Shell(const std::string& command) { return std::system(command.c_str()) == 0; }

// A 2048 x 1536 JPEG written by netpbm, with a resolution of 72 dpi.
std::string CameraJPEG(const std::string& dir) {
  const std::string f = dir + "/photo.jpg";
  Shell("pgmramp -lr 2048 1536 | pnmtojpeg --density=72x72dpi > " + f);
  return f;
}

}  // namespace

TEST(FileDialogs, PanelTexts) {
  // bits, samples, colours
  const struct {
    int bits, samples;
    const char* text;
  } colours[] = {{1, 1, "2"},     {8, 1, "256"},    {8, 3, "16777216"}, {8, 4, "16777216"},
                 {16, 3, "2^48"}, {16, 1, "65536"}, {16, 4, "2^64"},    {32, 4, "2^128"}};
  for (const auto& c : colours) EXPECT_EQ(ColourCountText(c.bits, c.samples), c.text) << c.bits << "x" << c.samples;
  EXPECT_EQ(ByteSizeText(1023), "1023 bytes");
  EXPECT_EQ(ByteSizeText(1024), "1 Kb");
  EXPECT_EQ(ByteSizeText(5LL << 40), "5368709120 Kb");
  // Well past 32 bits: 100000 x 100000 x 3 bytes.
  EXPECT_EQ(PreviewMemorySize(1, 100000, 100000, 8, 3), 30000000000LL);
  EXPECT_EQ(PreviewMemorySize(2, 33, 10, 1, 1), 2 * 10 * 8);  // 1-bit rows padded to 32 bits
  EXPECT_EQ(PreviewMemorySize(1000000, 2000000000, 2000000000, 8, 3), INT64_MAX);
  EXPECT_EQ(QtNameFilters("All|*.a;*.b|B (B)|*.b"), (QStringList{"All (*.a *.b)", "B (B) (*.b)"}));
}

TEST(FileDialogs, InitialDirDropsOneTrailingDelimiter) {
  const std::pair<const char*, const char*> cases[] = {{"C:\\", "C:\\"},    {"C:\\pics\\", "C:\\pics"}, {"/", "/"},
                                                       {"/pics/", "/pics"}, {"/pics//", "/pics/"},      {"", ""}};
  TOpenPixoranDialog d;
  for (const auto& [in, out] : cases) {
    d.SetInitialDir(in);
    EXPECT_EQ(d.InitialDir(), out) << in;
  }
}

TEST(FileDialogs, FiltersListEveryFormat) {
  TOpenPixoranDialog open;
  open.ExtraFilter = "Mine (MIN)|*.min";
  const std::string f = open.BuildFilter();
  const QStringList entries = QtNameFilters(f);
  ASSERT_GT(entries.size(), 3);
  const QString all = entries.front();
  TSavePixoranDialog save;
  const QStringList saveEntries = QtNameFilters(save.BuildFilter());
  int readable = 0, writable = 0;
  for (int32_t i = 0; i < FileFormatCount(); ++i) {
    const TPXFileFormatInfo* info = FileFormatAt(i);
    if (!info || info->Extensions.empty()) continue;
    const QString first =
        QStringLiteral("*.") + QString::fromStdString(FileFormatExtension(info->FileType, 0)).toLower();
    const QString name = QString::fromStdString(info->FullName);
    auto listed = [&](const QStringList& list) {
      return std::any_of(list.begin(), list.end(), [&](const QString& e) { return e.startsWith(name + " ("); });
    };
    if (info->ReadFunction) {
      ++readable;
      EXPECT_TRUE(all.contains(first)) << first.toStdString();
      EXPECT_TRUE(listed(entries)) << info->FullName;
    }
    if (info->WriteFunction) ++writable;
    EXPECT_EQ(listed(saveEntries), info->WriteFunction != nullptr) << info->FullName;
  }
  EXPECT_GT(readable, 10);
  EXPECT_GT(writable, 8);
  EXPECT_TRUE(all.contains("*.avi"));
  EXPECT_TRUE(all.contains("*.min"));
  EXPECT_TRUE(entries.back() == "Mine (MIN) (*.min)");
  EXPECT_FALSE(save.BuildFilter().starts_with("|"));
  EXPECT_EQ(QtNameFilters(TSavePixoranDialog::DefaultFilter()).size(), 15);
}

TEST(FileDialogs, OpenPreviewOfKnownFiles) {
  const std::string dir = MakeTempDir("opendlg");
  const std::string jpeg = CameraJPEG(dir);
  ASSERT_TRUE(Shell("ppmmake red 30 20 | ppmtogif > " + dir + "/one.gif 2>/dev/null"));
  ASSERT_TRUE(Shell("ppmmake red 30 20 | pnmtotiff > " + dir +
                    "/a.tif 2>/dev/null && ppmmake blue 30 20 | pnmtotiff > " + dir + "/b.tif 2>/dev/null && tiffcp " +
                    dir + "/a.tif " + dir + "/b.tif " + dir + "/two.tif"));
  TOpenPixoranDialog d;
  d.MsgLanguage = msEnglish;
  d.SetInitialDir(dir + "/");
  d.SetFilterIndex(0);
  d.SetFileName(jpeg);
  ASSERT_TRUE(d.Prepare());
  d.Dialog()->show();
  QTest::qWait(30);
  EXPECT_EQ(d.Dialog()->directory().absolutePath().toStdString(), dir);
  d.ShowPreview(jpeg);
  EXPECT_EQ(d.PicLabel1->text(), "2048 x 1536 pixel");
  EXPECT_EQ(d.PicLabel2->text(), "256 (Colors 8 bit)");
  EXPECT_EQ(d.PicLabel3->text(), "72 x 72 dpi");
  const int64_t size = FileSizeByName(jpeg);
  const QString file = size >= 1024 ? QString::number(size / 1024) + " Kb" : QString::number(size) + " bytes";
  EXPECT_EQ(d.InfoLabel2->text(), "File: " + file + "   Mem: 9216 Kb");
  EXPECT_TRUE(d.InfoLabel1->text().startsWith("JPEG")) << d.InfoLabel1->text().toStdString();
  // Decoded reduced: a smaller scale still covers the small viewer.
  EXPECT_LT(d.PixoranView()->GetPXBitmap()->Width(), 2048);
  EXPECT_TRUE(d.PreviewButton->isEnabled());
  if (const char* shots = std::getenv("PIXORAN_SHOT_DIR"))
    d.Dialog()->grab().save(QString::fromStdString(std::string(shots) + "/opendlg.png"));

  d.ShowPreview(dir + "/one.gif");  // one frame: the single viewer
  EXPECT_FALSE(d.PixoranMView()->Widget()->isVisible());
  EXPECT_EQ(d.PicLabel1->text(), "30 x 20 pixel");
  d.ShowPreview(dir + "/two.tif");  // two pages: thumbnails
  EXPECT_TRUE(d.PixoranMView()->Widget()->isVisible());
  EXPECT_EQ(d.FrameCount(), 2);
  EXPECT_EQ(d.PicLabel1->text(), "30 x 20 pixel , 2 frames");
  {
    // Around the thumbnails: the chessboard, two tones in squares.
    QTest::qWait(30);
    const QImage strip = d.PixoranMView()->Widget()->grab().toImage();
    if (const char* shots = std::getenv("PIXORAN_SHOT_DIR"))
      strip.save(QString::fromStdString(std::string(shots) + "/openthumbs.png"));
    std::set<QRgb> tones;
    for (int y = strip.height() - 40; y < strip.height() - 4; ++y)
      for (int x = strip.width() - 40; x < strip.width() - 4; ++x) tones.insert(strip.pixel(x, y));
    EXPECT_EQ(tones.size(), 2u);
  }
  d.PixoranMView()->SetSelectedImage(1);
  EXPECT_EQ(d.SelectedFrame(), 1);
  d.PlayButton->click();
  EXPECT_FALSE(d.ZoomCombo->isEnabled());
  d.PlayButton->click();
  EXPECT_TRUE(d.ZoomCombo->isEnabled());
  bool shown = false;
  WhenShown([](QWidget* w) { return w->objectName() == "PreviewForm"; },
            [&](QWidget* w) {
              shown = true;
              EXPECT_EQ(w->width(), 100);  // a 30-pixel frame gets the smallest window
              QTest::keyClick(w, Qt::Key_Escape);
            });
  d.PreviewButton->click();
  EXPECT_TRUE(shown);

  d.PreviewCheck->setChecked(false);  // parameters only
  d.ShowPreview(jpeg);
  EXPECT_EQ(d.PicLabel1->text(), "2048 x 1536 pixel");
  EXPECT_EQ(d.PixoranView()->GetPXBitmap()->Width(), 1);

  d.ShowPreview(dir + "/missing.jpg");  // nothing happens
  Shell("head -c 300 " + jpeg + " > " + dir + "/cut.jpg");
  d.PreviewCheck->setChecked(true);
  d.ShowPreview(dir + "/cut.jpg");  // a damaged file leaves the panel empty or partial, never crashes
  d.Dialog()->reject();
  EXPECT_FALSE(d.Finish(false));
}

TEST(FileDialogs, SaveAddsTheFilterExtensionAndFollowsTheType) {
  const std::string dir = MakeTempDir("savedlg");
  TPixoranIO io;
  io.PXBitmap()->Allocate(20, 10, pxBGR24);
  io.Params().JPEGQuality = 80;
  TSavePixoranDialog d;
  d.SetAttachedPixoranIO(&io);
  d.SetInitialDir(dir);
  ASSERT_TRUE(d.Prepare());
  d.Dialog()->show();
  QTest::qWait(30);
  const QStringList filters = d.Dialog()->nameFilters();
  auto index = [&](const char* ext) {
    for (int i = 0; i < filters.size(); ++i)
      if (filters[i].endsWith(QStringLiteral("(*.") + ext + ")") ||
          filters[i].contains(QStringLiteral("(*.") + ext + " "))
        return i;
    return -1;
  };
  const int png = index("png"), jpg = index("jpg"), ppm = index("ppm");
  ASSERT_GE(png, 0);
  ASSERT_GE(jpg, 0);
  auto* edit = d.Dialog()->findChild<QLineEdit*>("fileNameEdit");
  ASSERT_NE(edit, nullptr);
  d.Dialog()->selectNameFilter(filters[jpg]);
  emit d.Dialog()->filterSelected(filters[jpg]);
  EXPECT_EQ(io.Params().FileType, ioJPEG);
  EXPECT_TRUE(d.AdvancedButton->isEnabled());
  edit->setText("photo.jpg");
  d.Dialog()->selectNameFilter(filters[png]);
  emit d.Dialog()->filterSelected(filters[png]);
  EXPECT_EQ(edit->text(), "photo.png");
  EXPECT_EQ(io.Params().FileType, ioPNG);
  EXPECT_EQ(d.FilterIndex(), png + 1);
  if (ppm >= 0) {
    d.Dialog()->selectNameFilter(filters[ppm]);
    emit d.Dialog()->filterSelected(filters[ppm]);
    EXPECT_FALSE(d.AdvancedButton->isEnabled());  // no page for it
    d.Dialog()->selectNameFilter(filters[png]);
    emit d.Dialog()->filterSelected(filters[png]);
  }
  if (const char* shots = std::getenv("PIXORAN_SHOT_DIR"))
    d.Dialog()->grab().save(QString::fromStdString(std::string(shots) + "/savedlg.png"));
  int asked = 0;
  d.OnCanClose = [&](TObject*, bool& can) { can = ++asked > 1; };
  edit->setText("photo");
  QTest::keyClick(edit, Qt::Key_Return);
  EXPECT_TRUE(d.Dialog()->isVisible());  // refused the first time
  QTest::keyClick(edit, Qt::Key_Return);
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(d.Dialog()->result(), QDialog::Accepted);
  ASSERT_TRUE(d.Finish(true));
  EXPECT_EQ(d.FileName(), dir + "/photo.png");
}

TEST(FileDialogs, CancelledSaveRestoresWhatAdvancedChanged) {
  TPXDialogHooks saved = PXDialogHooks();
  PXDialogHooks().Previews = [](TPixoranIO& io, uint32_t pages) {
    EXPECT_EQ(pages, ppJPEG);
    io.Params().JPEGQuality = 10;
    return true;
  };
  TPixoranIO io;
  io.PXBitmap()->Allocate(20, 10, pxBGR24);
  io.Params().JPEGQuality = 80;
  io.Params().FileType = ioJPEG;
  {
    TSavePixoranDialog d;
    d.SetAttachedPixoranIO(&io);
    d.SetAttachedPixoranIO(nullptr);  // ignored
    EXPECT_EQ(d.AttachedPixoranIO(), &io);
    d.DefaultExt = "jpg";
    ASSERT_TRUE(d.Prepare());
    d.Dialog()->show();
    QTest::mouseClick(d.AdvancedButton, Qt::LeftButton);
    EXPECT_EQ(io.Params().JPEGQuality, 10);
    d.Dialog()->reject();
    EXPECT_FALSE(d.Finish(false));
    EXPECT_EQ(io.Params().JPEGQuality, 80);
  }
  PXDialogHooks() = saved;

  // A multi-image component without frames: nothing to save.
  TPixoranMIO mio;
  TSavePixoranDialog d;
  d.SetAttachedPixoranIO(&mio);
  EXPECT_FALSE(d.Execute());
  {
    auto gone = std::make_unique<TPixoranIO>();
    d.SetAttachedPixoranIO(gone.get());
  }
  EXPECT_EQ(d.AttachedPixoranIO(), nullptr);  // cleared when freed
}

TEST(FileDialogs, HookOpensAndCancels) {
  InstallIODialogs();
  TPixoranIO io;
  io.Params().TIFFImageIndex = 3;
  WhenShown([](QWidget* w) { return qobject_cast<QFileDialog*>(w) != nullptr; },
            [](QWidget* w) { static_cast<QFileDialog*>(w)->reject(); });
  std::string name = "x";
  io.ExecuteOpenDialog("/", "", "", name, 1, false);
  EXPECT_EQ(name, "");
  EXPECT_EQ(io.Params().TIFFImageIndex, 3);
}

// Without a title of their own both dialogs keep Qt's, which the
// Chinese translation gives in Chinese.
TEST(FileDialogs, UntitledDialogsTakeQtsTranslatedTitles) {
  QTranslator chinese;
  if (!chinese.load(QStringLiteral("qt_zh_CN"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
    GTEST_SKIP() << "Qt's translations are not installed";
  QCoreApplication::installTranslator(&chinese);
  TOpenPixoranDialog open;
  ASSERT_TRUE(open.Prepare());
  EXPECT_EQ(open.Dialog()->windowTitle(), QFileDialog::tr("Open"));
  EXPECT_EQ(open.Dialog()->windowTitle(), QStringLiteral("打开"));
  TSavePixoranDialog save;
  ASSERT_TRUE(save.Prepare());
  EXPECT_EQ(save.Dialog()->windowTitle(), QStringLiteral("另存为"));
  save.Title = "Export";
  ASSERT_TRUE(save.Prepare());
  EXPECT_EQ(save.Dialog()->windowTitle(), QStringLiteral("Export"));
  QCoreApplication::removeTranslator(&chinese);
}

// The preview reads only regular files with bytes on a real file system:
// a pseudo file of the kernel (a read of /proc/kmsg blocks for good), a
// device, a pipe or a folder is never opened.
TEST(FileDialogs, PreviewOnlyOfRegularFiles) {
  const std::string dir = MakeTempDir("previewable");
  ASSERT_TRUE(Shell("ppmmake red 30 20 | pnmtopng > " + dir + "/red.png && : > " + dir + "/empty.png && mkfifo " + dir +
                    "/pipe.png"));
  const struct {
    std::string Name;
    bool Previewable;
  } files[] = {
      {dir + "/red.png", true},      {dir + "/empty.png", false},
      {dir + "/pipe.png", false},    {dir, false},
      {"/proc/kmsg", false},         {"/proc/self/status", false},
      {"/dev/zero", false},          {"/sys/kernel/uevent_seqnum", false},
      {dir + "/missing.png", false},
  };
  for (const auto& f : files) EXPECT_EQ(PreviewableFile(f.Name), f.Previewable) << f.Name;

  TOpenPixoranDialog d;
  ASSERT_TRUE(d.Prepare());
  d.ShowPreview(dir + "/red.png");
  EXPECT_EQ(d.PreviewFileName(), dir + "/red.png");
  EXPECT_TRUE(d.PreviewButton->isEnabled());
  d.ShowPreview("/proc/self/status");
  EXPECT_EQ(d.PreviewFileName(), "");
  EXPECT_FALSE(d.PreviewButton->isEnabled());
  d.ShowPreview(dir + "/pipe.png");  // would wait for a writer if opened
  EXPECT_EQ(d.PreviewFileName(), "");
}
