// The main window's components, start-up, the frame catalogue, the preview
// and opening a picture. The snapshot, going back and applying a frame are
// in UMain_compose.cpp.
#include "app/UMain.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFrame>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QResizeEvent>
#include <QScreen>
#include <QStandardPaths>
#include <QStatusBar>
#include <QThread>
#include <QToolBar>
#include <QToolButton>
#include <QTranslator>
#include <QVBoxLayout>

#include "app/UEffectForm.h"
#include "app/UMain_frames.h"
#include "core/kopxutils_bitmap.h"
#include "io/formats/gif/giflzw.h"
#include "io/iohooks.h"
#include "io/pixoranio.h"
#include "io/pxformats.h"
#include "io/pxprint.h"
#include "platform/controls.h"
#include "view/pixoranview.h"
#include "view/pxmview.h"

namespace tolvaren {

using namespace pixoran;

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }

std::string WithSlash(std::string dir) {
  if (!dir.empty() && dir.back() != '/') dir += '/';
  return dir;
}

// True when a new file can be made in dir (permissions alone do not tell:
// a read-only mount, or root's rights).
bool CanCreateFilesIn(const std::string& dir) {
  std::string probe = dir + ".tolvaren-XXXXXX";
  const int fd = mkstemp(probe.data());
  if (fd < 0) return false;
  close(fd);
  unlink(probe.c_str());
  return true;
}

bool SameFile(const std::string& a, const std::string& b) {
  const QFileInfo fa(Q(a)), fb(Q(b));
  if (!fa.exists() || !fb.exists()) return false;
  return fa.canonicalFilePath() == fb.canonicalFilePath();
}

// The plain files of a folder, sorted by name (byte order, so the order
// does not depend on the file system or the locale).
std::vector<std::string> PlainFiles(const std::string& folder) {
  std::vector<std::string> names;
  const QDir dir(Q(folder));
  for (const QString& n : dir.entryList(QDir::Files | QDir::NoDotAndDotDot, QDir::NoSort))
    names.push_back(n.toStdString());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

std::string ProgramDirectory() { return WithSlash(QCoreApplication::applicationDirPath().toStdString()); }

std::string WorkingFolderFor(const std::string& programDir) {
  const std::string dir = WithSlash(programDir);
  if (CanCreateFilesIn(dir)) return dir;
  const QString data = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation);
  QDir().mkpath(data);
  return WithSlash(data.toStdString());
}

bool LoadThrough(TPixoranIO& io, const std::string& fileName) {
  try {
    io.LoadFromFile(fileName);
  } catch (const std::exception&) {
    return false;
  }
  return !io.Aborting();
}

bool SaveThrough(TPixoranIO& io, const std::string& fileName) {
  try {
    io.SaveToFile(fileName);
  } catch (const std::exception&) {
    return false;
  }
  return !io.Aborting();
}

QString FileMessageText(const QString& what, const std::string& fileName, const QString& cause) {
  QString text = what + QStringLiteral("\n") + QDir::toNativeSeparators(Q(fileName));
  if (!cause.isEmpty()) text += QStringLiteral("\n") + cause;
  return text;
}

void ShowFileMessage(QWidget* parent, const QString& what, const std::string& fileName, const QString& cause) {
  ShowMessage(parent, FileMessageText(what, fileName, cause));
}

QString ResultCauseText(TPXIOResult kind) {
  switch (kind) {
    case iorNotFound: return QStringLiteral("文件不存在");
    case iorUnknownFormat: return QStringLiteral("无法识别的文件格式");
    case iorCorrupt: return QStringLiteral("文件已损坏");
    case iorTooLarge: return QStringLiteral("图像太大");
    case iorNoMemory: return QStringLiteral("内存不足");
    case iorWriteFailed: return QStringLiteral("无法写入文件（磁盘已满或没有权限）");
    case iorUnsupported: return QStringLiteral("不支持的文件特性");
    default: return QStringLiteral("无法读取");
  }
}

QTranslator* InstallQtTranslation(const QString& folder) {
  auto translator = std::make_unique<QTranslator>(QCoreApplication::instance());
  // "qt" takes in the modules' files (qtbase and the others).
  if (!translator->load(QStringLiteral("qt_zh_CN"), folder)) return nullptr;
  if (!QCoreApplication::installTranslator(translator.get())) return nullptr;
  return translator.release();
}

// Worded like the open-failure message: what went wrong, the file, why.
std::string SaveFailedMessage(const std::string& fileName, TPXIOResult kind) {
  return FileMessageText(QStringLiteral("无法保存文件："), fileName, ResultCauseText(kind)).toStdString();
}

void SaveOrRaise(TPixoranIO& io, const std::string& fileName) {
  if (!SaveThrough(io, fileName)) throw std::runtime_error(SaveFailedMessage(fileName, io.LastResult()));
}

// ---------------------------------------------------------------- window

TfrmMain::TfrmMain(const std::string& programDir, QWidget* parent)
    : QMainWindow(parent), programDir_(WithSlash(programDir)), workFolder_(WorkingFolderFor(programDir_)) {
  BuildComponents();
  const auto t0 = std::chrono::steady_clock::now();
  FormCreate();
  formCreateMs_ = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
}

TfrmMain::~TfrmMain() {
  PreviewProgressHook() = nullptr;
  // A scan pumping messages further up the stack stops at its next entry.
  destroying_ = true;
  ++scanGeneration_;
}

void TfrmMain::BuildComponents() {
  setWindowTitle(QString::fromUtf8(kMainCaption));
  // Height -13 is a 13-pixel character height. Where "宋体" is not
  // installed, fontconfig's fallback (the installed CJK face) draws it.
  QFont font(QStringLiteral("宋体"));
  font.setPixelSize(13);
  setFont(font);

  BuildActions();

  auto* central = new QWidget(this);
  auto* column = new QVBoxLayout(central);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);

  Panel_Main = new QFrame(central);
  Panel_Main->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  Panel_Main->setLineWidth(1);
  auto* mainLayout = new QVBoxLayout(Panel_Main);
  mainLayout->setContentsMargins(1, 1, 1, 1);
  PixoranView_Main = std::make_unique<TPixoranVect>();
  PixoranView_Main->SetBackground(clWhite);
  PixoranView_Main->SetBorderStyle(bsNone);
  PixoranView_Main->SetMouseInteract(miResizeLayers);
  PixoranView_Main->SetEnableAlphaChannel(true);
  PixoranView_Main->Widget()->setParent(Panel_Main);
  mainLayout->addWidget(PixoranView_Main->Widget());
  column->addWidget(Panel_Main, 1);

  Panel_Bottom = new QWidget(central);
  Panel_Bottom->setFixedHeight(149);
  auto* bottom = new QVBoxLayout(Panel_Bottom);
  bottom->setContentsMargins(0, 0, 0, 0);
  bottom->setSpacing(0);
  Panel_BottomTop = new QWidget(Panel_Bottom);
  Panel_BottomTop->setFixedHeight(32);
  auto* top = new QHBoxLayout(Panel_BottomTop);
  top->setContentsMargins(8, 2, 8, 2);
  Label1 = new QLabel(QStringLiteral("请选择相框，然后点击应用按钮："), Panel_BottomTop);
  SpeedButton1 = new QToolButton(Panel_BottomTop);
  SpeedButton1->setDefaultAction(acApply);
  SpeedButton2 = new QToolButton(Panel_BottomTop);
  SpeedButton2->setDefaultAction(acGoBack);
  for (QToolButton* b : {SpeedButton1, SpeedButton2}) {
    b->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    b->setIconSize(QSize(16, 16));
  }
  Label2 = new QLabel(QStringLiteral("请选择相框类型："), Panel_BottomTop);
  ComboBox1 = new QComboBox(Panel_BottomTop);
  for (std::string_view name : kFrameCategories) ComboBox1->addItem(QString::fromUtf8(name.data(), name.size()));
  ComboBox1->setCurrentIndex(0);
  top->addWidget(Label1);
  top->addWidget(SpeedButton1);
  top->addWidget(SpeedButton2);
  top->addSpacing(24);
  top->addWidget(Label2);
  top->addWidget(ComboBox1);
  top->addStretch(1);
  bottom->addWidget(Panel_BottomTop);

  auto* strip = new QHBoxLayout;
  strip->setContentsMargins(0, 0, 0, 0);
  strip->setSpacing(0);
  PixoranMViewMain = std::make_unique<TPixoranMView>();
  PixoranMViewMain->SetBackground(0xFFFAF0);
  PixoranMViewMain->SetThumbnailsBackground(0xFFFAF0);
  PixoranMViewMain->SetStoreType(pxtThumb);
  PixoranMViewMain->SetSelectionWidth(3);
  PixoranMViewMain->SetSelectionColor(clRed);
  PixoranMViewMain->OnImageSelect = [this](TObject* sender, int32_t index) {
    RunGuarded(this, [&] { PixoranMViewMainImageSelect(sender, index); });
  };
  PixoranMViewMain->Widget()->setParent(Panel_Bottom);
  strip->addWidget(PixoranMViewMain->Widget(), 1);
  PixoranViewPreView = std::make_unique<TPixoranView>();
  PixoranViewPreView->SetBackground(clWhite);
  PixoranViewPreView->SetBackgroundStyle(pxbsDiagonals);
  PixoranViewPreView->SetAutoFit(true);
  PixoranViewPreView->SetAutoShrink(true);
  PixoranViewPreView->SetEnableAlphaChannel(true);
  PixoranViewPreView->Widget()->setParent(Panel_Bottom);
  PixoranViewPreView->Widget()->setFixedSize(115, 115);
  strip->addWidget(PixoranViewPreView->Widget(), 0, Qt::AlignTop);
  bottom->addLayout(strip, 1);
  column->addWidget(Panel_Bottom);
  setCentralWidget(central);

  StatusBar_Main = new QStatusBar(this);
  auto* status1 = new QLabel(QStringLiteral("欢迎使用"), StatusBar_Main);
  status1->setFixedWidth(100);
  auto* status2 = new QLabel(QStringLiteral("4.60"), StatusBar_Main);
  status2->setFixedWidth(50);
  StatusBar_Main->addWidget(status1);
  StatusBar_Main->addWidget(status2);
  progressLabel_ = new QLabel(StatusBar_Main);
  progressLabel_->setObjectName(QStringLiteral("ProgressLabel"));
  progressLabel_->hide();
  StatusBar_Main->addWidget(progressLabel_, 1);
  setStatusBar(StatusBar_Main);

  snapshotIO_ = std::make_unique<TPixoranIO>();
  snapshotIO_->SetAttachedPixoran(PixoranView_Main.get());
  const TPXProgressEvent progress = [this](TObject*, int percent) { ReportProgress(percent); };
  snapshotIO_->OnProgress = progress;
  PixoranView_Main->SetOnProgress(progress);
  PreviewProgressHook() = [this](int percent) { ReportProgress(percent); };

  connect(ComboBox1, &QComboBox::currentIndexChanged, this,
          [this] { RunGuarded(this, [this] { ComboBox1Change(); }); });
}

void TfrmMain::FormCreate() {
  // 1. Screen width, screen height less 40, at the top-left corner.
  const QScreen* screen = QGuiApplication::primaryScreen();
  const QRect area = screen ? screen->geometry() : QRect(0, 0, 1024, 768);
  targetRect_ = QRect(0, 0, area.width(), std::max(1, area.height() - 40));
  move(targetRect_.topLeft());
  resize(targetRect_.size());
  placed_ = true;
  // The strip's width decides its grid below, and Qt lays a window out
  // only when it is shown: lay every layout out now, outer ones first.
  layout()->activate();
  for (QWidget* w : findChildren<QWidget*>())
    if (w->layout()) w->layout()->activate();

  // 2. The four LZW codecs.
  TPXIOHooks& hooks = PXIOHooks();
  hooks.GIFLZWDecompressHook = GIFLZWDecompress;
  hooks.GIFLZWCompressHook = GIFLZWCompress;
  hooks.TIFFLZWDecompressHook = TIFFLZWDecompress;
  hooks.TIFFLZWCompressHook = TIFFLZWCompress;

  // 3.
  PixoranMViewMain->SetStoreType(pxtThumb);
  PixoranView_Main->SetLayersSameSize(false);

  // 4. Category 0.
  const std::string folder0 = programDir_ + "frames/0";
  if (QFileInfo(Q(folder0)).isDir()) {
    if (LoadFrameFolder(folder0)) PixoranMViewMain->SetSelectedImage(0);
  } else {
    ShowMessage(this, QStringLiteral("程序文件破坏，请重新安装！"));
  }

  // 5. The sample becomes the working file. A snapshot of an earlier run
  // stays: going back before any edit brings that run's last state back.
  currentPictureName_ = programDir_ + "frames/sample.jpg";
  QFile::remove(Q(KeptSnapshotFileName()));
  const std::string work = WorkingFileName();
  QFile::remove(Q(work));
  QFile::copy(Q(currentPictureName_), Q(work));
  if (!QFileInfo::exists(Q(work))) return;

  // 6.
  LoadWorkingFile();
}

void TfrmMain::resizeEvent(QResizeEvent* event) {
  QMainWindow::resizeEvent(event);
  FormResize();
}

void TfrmMain::FormResize() {
  if (!placed_ || inFormResize_) return;
  if (size() == targetRect_.size() && pos() == targetRect_.topLeft()) return;
  // The window manager answered the last correction with this same size:
  // keep it rather than ask again forever.
  if (size() == correctedFrom_) return;
  correctedFrom_ = size();
  inFormResize_ = true;
  move(targetRect_.topLeft());
  resize(targetRect_.size());
  inFormResize_ = false;
}

// ---------------------------------------------------------------- files

std::string TfrmMain::WorkingFileName() const { return workFolder_ + "workfile" + ExtractFileExt(currentPictureName_); }

std::string TfrmMain::SnapshotFileName() const { return workFolder_ + "tempfile.png"; }

void TfrmMain::EmptyMainView() {
  // The layers above the first go first, so the one left is the one cleared.
  TPixoranView& v = *PixoranView_Main;
  while (v.GetLayersCount() > 1) v.RemoveLayer(v.GetLayersCount() - 1);
  v.SetCurrentLayer(0);
  // The next picture shows at its own size and place, not at the last one's.
  TPXLayer* layer = v.GetLayer(0);
  layer->Width = layer->Height = 0;
  layer->PosX = layer->PosY = 0;
  v.FillWithBackground();
  v.ClearImage();
  // Texts not yet drawn in belong to the picture that goes.
  PixoranView_Main->Clear();
}

void TfrmMain::LoadWorkingFile() {
  TPixoranView& v = *PixoranView_Main;
  v.AddLayer();
  TPixoranIO* io = v.GetIO();
  bool loaded = false;
  {
    TStatusScope status(*this, QStringLiteral("正在打开图片..."));
    loaded = LoadThrough(*io, WorkingFileName());
  }
  v.RemoveLayer(v.CurrentLayer() - 1);
  saveName_ = loaded ? WorkingFileName() : std::string();
  if (!loaded) {
    // The record names the file even when it could not be read; applying a
    // frame takes that name for a loaded picture.
    io->Params().FileName.clear();
    v.ClearImage();
  }
}

// ---------------------------------------------------------------- progress

void TfrmMain::ShowStatus(const QString& task) {
  task_ = task;
  lastPercent_ = -1;
  progressLabel_->setText(task);
  progressLabel_->setVisible(!task.isEmpty());
  if (!task.isEmpty()) progressLabel_->repaint();
}

void TfrmMain::ReportProgress(int percent) {
  // Workers of the components report too; only the UI thread touches
  // widgets, and its own steps are enough to keep the window alive.
  if (QThread::currentThread() != thread() || task_.isEmpty()) return;
  percent = std::clamp(percent, 0, 100);
  if (percent == lastPercent_) return;
  lastPercent_ = percent;
  progressLabel_->setText(task_ + QStringLiteral(" %1%").arg(percent));
  // The picture is mid-change: the viewer shows its last drawn buffer and
  // does not read the bitmap while the window paints; input waits.
  TPixoranView& v = *PixoranView_Main;
  v.LockUpdate();
  QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
  v.UnlockUpdateNoPaint();
}

// ---------------------------------------------------------------- catalogue

bool TfrmMain::LoadFrameFolder(std::string folder) {
  TBusyCursor busy;
  folder = WithSlash(folder);
  const uint64_t scan = ++scanGeneration_;
  TPixoranMView& mv = *PixoranMViewMain;
  mv.Clear();
  mv.SetGridWidth(std::max(0, mv.Width()) / (mv.ThumbWidth() + 8));
  mv.LockUpdate();
  bool superseded = false;
  for (const std::string& name : PlainFiles(folder)) {
    const std::string full = folder + name;
    if (IsReadableFileName(full)) {
      const int32_t index = mv.AppendImage();
      mv.SetImageFileName(index, full);
      if (TPXMText* caption = mv.GetImageBottomText(index)) caption->Background = 0xEFEFD0;
    }
    // The window stays responsive during a long scan; a category chosen
    // meanwhile starts its own scan, and this one stops.
    QCoreApplication::processEvents();
    if (destroying_ || scan != scanGeneration_) {
      superseded = true;
      break;
    }
  }
  mv.UnlockUpdate();
  if (superseded) return false;
  mv.Update();
  mv.Invalidate();
  mv.SetSelectedImage(0);
  return true;
}

void TfrmMain::ComboBox1Change() {
  const int index = std::max(0, ComboBox1->currentIndex());
  if (!LoadFrameFolder(programDir_ + "frames/" + std::to_string(index))) return;
  PixoranMViewMain->SetSelectedImage(0);
  LoadPreview(PixoranMViewMain->GetImageFileName(0));
}

void TfrmMain::PixoranMViewMainImageSelect(TObject*, int32_t index) {
  LoadPreview(PixoranMViewMain->GetImageFileName(index));
}

void TfrmMain::LoadPreview(const std::string& fileName) {
  TPixoranView& p = *PixoranViewPreView;
  previewFile_.clear();
  if (!fileName.empty()) {
    if (LoadThrough(*p.GetIO(), fileName)) {
      previewFile_ = fileName;
      return;
    }
  }
  // No frame, or one that cannot be read: an empty preview rather than the
  // previous frame, which applying would otherwise take for this one.
  p.ClearImage();
}

// ---------------------------------------------------------------- opening

void TfrmMain::acOpenFileExecute() {
  TPixoranView& v = *PixoranView_Main;
  std::string chosen;
  v.GetIO()->ExecuteOpenDialog("", "", "", chosen, 1, false);
  if (chosen.empty()) return;
  bool damaged = false;
  {
    // A file that cannot be read leaves the current picture and its files,
    // and says so: a failure must not look like nothing happening.
    TPXBitmap probe;
    TPixoranIO reader;
    reader.SetAttachedPXBitmap(&probe);
    reader.OnProgress = [this](TObject*, int percent) { ReportProgress(percent); };
    bool readable = false;
    {
      TStatusScope status(*this, QStringLiteral("正在读取图片..."));
      readable = LoadThrough(reader, chosen);
    }
    if (!readable) {
      ShowFileMessage(this, QStringLiteral("无法打开图片："), chosen, ResultCauseText(reader.LastResult()));
      return;
    }
    // A damaged file the reader kept part of (a truncated JPEG) opens, but
    // the grey rest must not pass for the picture.
    damaged = reader.LastResult() == iorCorrupt;
  }
  currentPictureName_ = chosen;
  EmptyMainView();
  const std::string work = WorkingFileName();
  if (!SameFile(chosen, work)) {
    QFile::remove(Q(work));
    QFile::copy(Q(chosen), Q(work));
  }
  LoadWorkingFile();
  if (damaged) ShowFileMessage(this, QStringLiteral("图片文件已损坏，只显示了能读取的部分："), chosen);
}

}  // namespace tolvaren
