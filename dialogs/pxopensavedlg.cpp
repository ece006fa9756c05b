#include "dialogs/pxopensavedlg.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFileDialog>
#include <QFileInfo>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QToolButton>
#include <QVBoxLayout>
#include <sys/stat.h>
#include <sys/statfs.h>

#include <algorithm>
#include <cstdint>
#include <limits>

#include "core/kopxutils_settings.h"
#include "core/kopxutils_words.h"
#include "dialogs/iopreviews.h"
#include "io/pixoranio.h"
#include "io/pxformats.h"
#include "io/pxmio.h"
#include "view/pixoranview.h"
#include "view/pxmview.h"
#include "view/pxmview_mio.h"

namespace pixoran {

namespace {

QString Word(int w, TMsgLanguage l) { return QString::fromStdString(GetWordText(static_cast<uint8_t>(w), l)); }
QString Q(const std::string& s) { return QString::fromStdString(s); }

std::vector<std::string> Split(const std::string& text, char sep) {
  std::vector<std::string> out;
  size_t start = 0;
  while (true) {
    const size_t p = text.find(sep, start);
    out.push_back(text.substr(start, p == std::string::npos ? std::string::npos : p - start));
    if (p == std::string::npos) break;
    start = p + 1;
  }
  return out;
}

// "*.jpg;*.jpeg" -> "jpg"; empty for "*.*" or "*".
std::string FirstPatternExtension(const std::string& patterns) {
  const std::string first = Split(patterns, ';').front();
  const size_t dot = first.rfind('.');
  if (dot == std::string::npos) return {};
  std::string ext = first.substr(dot + 1);
  if (ext.empty() || ext.find_first_of("*?") != std::string::npos) return {};
  return ext;
}

bool IsFrameFile(const std::string& ext) {
  return ext == ".tif" || ext == ".tiff" || ext == ".fax" || ext == ".g3f" || ext == ".g3n";
}

bool GIFReadable() {
  const TPXFileFormatInfo* gif = FindFileFormatInfo(ioGIF);
  return gif && gif->ReadFunction;
}

}  // namespace

// ---------------------------------------------------------------- texts

std::string ColourCountText(int32_t bits, int32_t samples) {
  if (samples == 4 && bits == 8) return "16777216";
  if (samples == 3 && bits == 16) return "2^48";
  const int64_t n = int64_t{bits} * samples;
  if (n <= 0) return "0";
  if (n >= 64) return "2^" + std::to_string(n);
  return std::to_string(uint64_t{1} << n);
}

std::string ByteSizeText(int64_t bytes) {
  return bytes >= 1024 ? std::to_string(bytes / 1024) + " Kb" : std::to_string(bytes) + " bytes";
}

int64_t PreviewMemorySize(int64_t frames, int64_t width, int64_t height, int32_t bits, int32_t samples) {
  if (frames <= 0 || width <= 0 || height <= 0) return 0;
  const int64_t bpp = samples == 1 && bits == 1 ? 1 : 24;
  const int64_t row = (width * bpp + 31) / 32 * 4;  // width is at most int32: no overflow
  const long double total = static_cast<long double>(frames) * height * row;
  if (total >= static_cast<long double>(std::numeric_limits<int64_t>::max()))
    return std::numeric_limits<int64_t>::max();
  return frames * height * row;
}

QStringList QtNameFilters(const std::string& filter) {
  QStringList out;
  const std::vector<std::string> parts = Split(filter, '|');
  for (size_t i = 0; i + 1 < parts.size(); i += 2) {
    QStringList patterns;
    for (const std::string& p : Split(parts[i + 1], ';'))
      if (!p.empty()) patterns << Q(p);
    out << Q(parts[i]) + QStringLiteral(" (") + patterns.join(' ') + QStringLiteral(")");
  }
  return out;
}

// ---------------------------------------------------------------- Qt's dialog

class TOpenPixoranDialog::TFileDialog : public QFileDialog {
 public:
  std::function<bool()> CanClose;
  std::function<void()> Closing;
  void accept() override {
    if (CanClose && !CanClose()) return;
    QFileDialog::accept();
  }
  void done(int r) override {
    if (Closing) Closing();
    QFileDialog::done(r);
  }
};

// ---------------------------------------------------------------- open dialog

TOpenPixoranDialog::TOpenPixoranDialog(TComponent* owner) : TPXCommonDialog(owner) {
  dialog_ = std::make_unique<TFileDialog>();
  QFileDialog& d = *dialog_;
  d.setObjectName(QStringLiteral("OpenPixoranDialog"));
  d.setOption(QFileDialog::DontUseNativeDialog, true);

  PicturePanel = new QWidget(&d);
  PicturePanel->setObjectName(QStringLiteral("PicturePanel"));
  PicturePanel->setFixedWidth(236);
  auto* pv = new QVBoxLayout(PicturePanel);
  pv->setContentsMargins(6, 6, 6, 6);
  PreviewCheck = new QCheckBox(PicturePanel);
  PreviewCheck->setObjectName(QStringLiteral("PreviewCheck"));
  PreviewCheck->setChecked(true);
  PreviewCheck->setVisible(false);
  pv->addWidget(PreviewCheck);
  view_ = std::make_unique<TPixoranView>();
  mview_ = std::make_unique<TPixoranMView>();
  QWidget* vw = view_->Widget();
  QWidget* mw = mview_->Widget();
  vw->setObjectName(QStringLiteral("PixoranView"));
  mw->setObjectName(QStringLiteral("PixoranMView"));
  vw->setMinimumSize(220, 200);
  mw->setMinimumSize(220, 200);
  pv->addWidget(vw, 1);
  pv->addWidget(mw, 1);
  mw->setVisible(false);
  view_->SetBackground(0xFFFFFF);
  view_->SetBackgroundStyle(pxbsChessboard);
  view_->SetCenter(true);
  view_->SetZoomFilter(rfFastLinear);
  view_->SetEnableAlphaChannel(true);
  view_->SetMouseInteract(miZoom | miScroll);
  mview_->SetThumbWidth(100);
  mview_->SetThumbHeight(109);
  mview_->SetHorizBorder(4);
  mview_->SetVertBorder(4);
  mview_->SetStyle(pxmsFlat);
  mview_->SetBackgroundStyle(pxbsChessboard);
  mview_->SetBackground(0xFFFFFF);
  ProgressBar = new QProgressBar(PicturePanel);
  ProgressBar->setObjectName(QStringLiteral("ProgressBar"));
  ProgressBar->setRange(0, 100);
  ProgressBar->setVisible(false);
  ProgressBar->setMaximumHeight(10);
  pv->addWidget(ProgressBar);
  auto* tools = new QHBoxLayout;
  ZoomCombo = new QComboBox(PicturePanel);
  ZoomCombo->setObjectName(QStringLiteral("ZoomCombo"));
  ZoomCombo->setToolTip(QStringLiteral("Zoom"));
  PreviewButton = new QToolButton(PicturePanel);
  PreviewButton->setObjectName(QStringLiteral("PreviewButton"));
  PreviewButton->setAutoRaise(true);
  PreviewButton->setIcon(d.style()->standardIcon(QStyle::SP_FileDialogContentsView));
  PreviewButton->setEnabled(false);
  PlayButton = new QToolButton(PicturePanel);
  PlayButton->setObjectName(QStringLiteral("PlayButton"));
  PlayButton->setAutoRaise(true);
  PlayButton->setCheckable(true);
  PlayButton->setIcon(d.style()->standardIcon(QStyle::SP_MediaPlay));
  tools->addWidget(ZoomCombo, 1);
  tools->addWidget(PreviewButton);
  tools->addWidget(PlayButton);
  pv->addLayout(tools);
  PicLabel1 = new QLabel(PicturePanel);
  PicLabel2 = new QLabel(PicturePanel);
  PicLabel3 = new QLabel(PicturePanel);
  PicLabel1->setObjectName(QStringLiteral("PicLabel1"));
  PicLabel2->setObjectName(QStringLiteral("PicLabel2"));
  PicLabel3->setObjectName(QStringLiteral("PicLabel3"));
  pv->addWidget(PicLabel1);
  pv->addWidget(PicLabel2);
  pv->addWidget(PicLabel3);

  InfoPanel = new QWidget(&d);
  InfoPanel->setObjectName(QStringLiteral("InfoPanel"));
  auto* ih = new QHBoxLayout(InfoPanel);
  ih->setContentsMargins(6, 6, 6, 6);
  auto* il = new QVBoxLayout;
  InfoLabel1 = new QLabel(InfoPanel);
  InfoLabel2 = new QLabel(InfoPanel);
  InfoLabel1->setObjectName(QStringLiteral("InfoLabel1"));
  InfoLabel2->setObjectName(QStringLiteral("InfoLabel2"));
  il->addWidget(InfoLabel1);
  il->addWidget(InfoLabel2);
  ih->addLayout(il, 1);
  AdvancedButton = new QPushButton(InfoPanel);
  AdvancedButton->setObjectName(QStringLiteral("AdvancedButton"));
  AdvancedButton->setMinimumSize(75, 23);
  AdvancedButton->setVisible(false);
  ih->addWidget(AdvancedButton);

  // Beside the file list, and the information under it all.
  if (auto* grid = qobject_cast<QGridLayout*>(d.layout())) {
    const int rows = grid->rowCount(), columns = grid->columnCount();
    grid->addWidget(PicturePanel, 0, columns, rows, 1);
    grid->addWidget(InfoPanel, rows, 0, 1, columns + 1);
  }

  io_ = std::make_unique<TPixoranIO>();
  io_->SetAttachedPixoran(view_.get());
  mio_ = std::make_unique<TPixoranMIO>();
  AttachMView(*mio_, mview_.get());
  auto progress = [this](TObject*, int percent) {
    ProgressBar->setValue(std::clamp(percent, 0, 100));
    ProgressBar->setVisible(percent < 100);
  };
  io_->OnProgress = progress;
  mio_->OnProgress = progress;

  QObject::connect(&d, &QFileDialog::currentChanged, &d,
                   [this](const QString& path) { ShowPreview(path.toStdString()); });
  QObject::connect(&d, &QFileDialog::directoryEntered, &d, [this](const QString&) {
    if (OnFolderChange) OnFolderChange(this);
  });
  QObject::connect(&d, &QFileDialog::filterSelected, &d, [this](const QString&) {
    TypeChanged();
    if (OnTypeChange) OnTypeChange(this);
  });
  QObject::connect(ZoomCombo, &QComboBox::activated, &d, [this](int) { ApplyZoom(); });
  QObject::connect(PreviewButton, &QToolButton::clicked, &d, [this] { ShowLargePreview(); });
  QObject::connect(PlayButton, &QToolButton::toggled, &d, [this](bool on) { Play(on); });
  QObject::connect(PreviewCheck, &QCheckBox::toggled, &d, [this](bool) {
    const std::string name = previewName_;
    previewName_.clear();
    if (!name.empty()) ShowPreview(name);
  });
  mview_->OnImageSelect = [this](TObject*, int32_t index) {
    if (const TIOParamsVals* p = mio_->GetParams(index)) {
      const int64_t size = QFileInfo(Q(previewName_)).size();
      SetLabels(*p, frames_, size);
    }
  };
  dialog_->CanClose = [this] {
    bool can = true;
    if (OnCanClose) OnCanClose(this, can);
    return can;
  };
  dialog_->Closing = [this] { Closed(); };
}

TOpenPixoranDialog::~TOpenPixoranDialog() {
  // The components let go of the views before the views (and then the
  // dialog holding their windows) go.
  if (mio_) AttachMView(*mio_, nullptr);
  mio_.reset();
  io_.reset();
  mview_.reset();
  view_.reset();
}

QFileDialog* TOpenPixoranDialog::Dialog() const { return dialog_.get(); }

void TOpenPixoranDialog::SetAlwaysAnimate(bool value) {
  alwaysAnimate_ = value;
  if (value) ShowAllFrames = true;
}

TResampleFilter TOpenPixoranDialog::ZoomFilter() const { return view_->ZoomFilter(); }
void TOpenPixoranDialog::SetZoomFilter(TResampleFilter filter) { view_->SetZoomFilter(filter); }

void TOpenPixoranDialog::SetInitialDir(const std::string& dir) {
  std::string d = dir;
  if (d.size() > 1 && (d.back() == '/' || d.back() == '\\') && d[d.size() - 2] != ':') d.pop_back();
  initialDir_ = d;
}

std::string TOpenPixoranDialog::FileName() const {
  if (dialog_->isVisible()) {
    const QStringList sel = dialog_->selectedFiles();
    if (!sel.isEmpty()) return sel.front().left(260).toStdString();
  }
  return fileName_;
}

int32_t TOpenPixoranDialog::FilterIndex() const {
  if (dialog_->isVisible()) {
    const int i = static_cast<int>(qtFilters_.indexOf(dialog_->selectedNameFilter()));
    if (i >= 0) return i + 1;
  }
  return filterIndex_;
}

void TOpenPixoranDialog::SetFilterIndex(int32_t index) {
  filterIndex_ = index;
  if (dialog_->isVisible() && index >= 1 && index <= qtFilters_.size())
    dialog_->selectNameFilter(qtFilters_[index - 1]);
}

int32_t TOpenPixoranDialog::SelectedFrame() const {
  if (!thumbs_) return 0;
  return std::max(mview_->SelectedImage(), 0);
}

std::string TOpenPixoranDialog::BuildFilter() const {
  UpdateGIFFormatAvailability();
  std::string entries, list;
  const bool save = IsSave();
  for (int32_t i = 0; i < FileFormatCount(); ++i) {
    const TPXFileFormatInfo* f = FileFormatAt(i);
    if (!f || (save ? !f->WriteFunction : !f->ReadFunction) || f->Extensions.empty()) continue;
    std::string patterns;
    for (const std::string& e : Split(f->Extensions, ';')) {
      if (e.empty()) continue;
      if (!patterns.empty()) patterns += ';';
      patterns += "*." + LowerCaseASCII(e);
    }
    entries += "|" + f->FullName + " (" + UpperCaseASCII(f->Extensions) + ")|" + patterns;
    if (!save) list += (list.empty() ? "" : ";") + patterns;
  }
  if (!save) {
    list += ";*.avi";
    entries += "|" + GetWordText(125, MsgLanguage) + " (AVI)|*.avi";
  }
  if (!ExtraFilter.empty()) {
    entries += "|" + ExtraFilter;
    const std::vector<std::string> parts = Split(ExtraFilter, '|');
    for (size_t i = 1; i < parts.size(); i += 2)
      if (!parts[i].empty()) list += ";" + parts[i];
  }
  if (save) return entries.empty() ? entries : entries.substr(1);
  return GetWordText(124, MsgLanguage) + "|" + list + entries;
}

std::string TOpenPixoranDialog::FilterExtension() const {
  const int32_t i = FilterIndex();
  return i >= 1 && i <= static_cast<int32_t>(firstExt_.size()) ? firstExt_[i - 1] : std::string();
}

QString TOpenPixoranDialog::TypedName() const {
  if (auto* e = dialog_->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) return e->text();
  return {};
}

void TOpenPixoranDialog::SetTypedName(const QString& name) {
  if (auto* e = dialog_->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"))) e->setText(name);
}

bool TOpenPixoranDialog::Prepare() {
  QFileDialog& d = *dialog_;
  const TMsgLanguage l = MsgLanguage;
  PreviewCheck->setText(Word(0, l));
  PreviewCheck->setVisible(true);
  AdvancedButton->setText(Word(45, l) + QStringLiteral("..."));
  PreviewButton->setToolTip(Word(0, l));
  PlayButton->setToolTip(Word(87, l));
  if (ZoomCombo->count() == 0) {
    const int zooms[] = {0, 25, 50, 75, 100, 125, 150, 175, 200, 300, 400};
    for (int z : zooms) ZoomCombo->addItem(z ? QString::number(z) + QStringLiteral("%") : QStringLiteral("Fit"), z);
  }
  ZoomCombo->setCurrentIndex(0);
  PlayButton->setChecked(false);
  PlayButton->setVisible(!alwaysAnimate_);
  for (QWidget* w : {static_cast<QWidget*>(PicLabel1), static_cast<QWidget*>(PicLabel2),
                     static_cast<QWidget*>(PicLabel3), static_cast<QWidget*>(ZoomCombo)})
    w->setVisible(ExtendedDialog);
  view_->SetBackgroundStyle(PreviewBorderStyle == 1   ? pxbsCropped
                            : PreviewBorderStyle == 2 ? pxbsCropShadow
                                                      : pxbsChessboard);
  io_->SetAutoAdjustDPI(AutoAdjustDPI);
  io_->SetFilteredAdjustDPI(FilteredAdjustDPI);
  mio_->SetAutoAdjustDPI(AutoAdjustDPI);
  mio_->SetFilteredAdjustDPI(FilteredAdjustDPI);
  files_.clear();
  ClearPreview();

  if (AutoSetFilter) filter_ = BuildFilter();
  qtFilters_ = QtNameFilters(filter_);
  firstExt_.clear();
  const std::vector<std::string> parts = Split(filter_, '|');
  for (size_t i = 0; i + 1 < parts.size(); i += 2) firstExt_.push_back(FirstPatternExtension(parts[i + 1]));
  // Index 0: the entry that names the file's extension.
  if (filterIndex_ == 0) {
    const std::string ext = LowerCaseASCII(ExtractFileExt(fileName_));
    for (size_t i = 0; i + 1 < parts.size() && !ext.empty(); i += 2)
      for (const std::string& p : Split(LowerCaseASCII(parts[i + 1]), ';'))
        if (p == "*" + ext && filterIndex_ == 0) filterIndex_ = static_cast<int32_t>(i / 2 + 1);
  }

  d.setAcceptMode(IsSave() ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
  d.setFileMode(IsSave() ? QFileDialog::AnyFile
                         : ((Options & ofAllowMultiSelect) ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile));
  d.setOption(QFileDialog::DontConfirmOverwrite, !(Options & ofOverwritePrompt));
  d.setSizeGripEnabled((Options & ofEnableSizing) != 0);
  if (Options & ofForceShowHidden) d.setFilter(d.filter() | QDir::Hidden);
  if (auto* places = d.findChild<QWidget*>(QStringLiteral("sidebar"))) places->setVisible(ShowPlacesBar);
  d.setNameFilters(qtFilters_);
  if (filterIndex_ >= 1 && filterIndex_ <= qtFilters_.size()) d.selectNameFilter(qtFilters_[filterIndex_ - 1]);
  if (!initialDir_.empty()) d.setDirectory(Q(initialDir_));
  const std::string def = !DefaultExt.empty() ? DefaultExt : FirstPatternExtension("*" + ExtractFileExt(fileName_));
  d.setDefaultSuffix(Q(def.empty() ? FilterExtension() : def));
  if (!fileName_.empty()) d.selectFile(Q(fileName_));
  // Without a title of its own the dialog keeps Qt's, in the language of
  // Qt's installed translation ("打开", "另存为" in the program).
  if (!Title.empty()) d.setWindowTitle(Q(Title));
  d.resize(860, 520);
  if (QScreen* s = QGuiApplication::primaryScreen()) {
    const QRect g = s->availableGeometry();
    d.move(g.x() + (g.width() - d.width()) / 2, g.y() + (g.height() - d.height()) / 3);
  }
  return true;
}

bool TOpenPixoranDialog::Finish(bool accepted) {
  if (!accepted) return false;
  files_.clear();
  for (const QString& f : dialog_->selectedFiles()) files_.push_back(f.toStdString());
  if (files_.empty()) return false;
  fileName_ = files_.front();
  const int i = static_cast<int>(qtFilters_.indexOf(dialog_->selectedNameFilter()));
  if (i >= 0) filterIndex_ = i + 1;
  const std::string ext = ExtractFileExt(fileName_);
  const bool differs = !DefaultExt.empty() && LowerCaseASCII(ext) != "." + LowerCaseASCII(DefaultExt);
  Options = differs ? (Options | ofExtensionDifferent) : (Options & ~ofExtensionDifferent);
  return true;
}

bool TOpenPixoranDialog::Execute() {
  if (!Prepare()) return false;
  if (OnShow) OnShow(this);
  const int r = dialog_->exec();
  if (OnClose) OnClose(this);
  return Finish(r == QDialog::Accepted);
}

void TOpenPixoranDialog::Closed() {
  Play(false);
  PlayButton->setChecked(false);
  ClearPreview();
}

void TOpenPixoranDialog::ClearPreview() {
  mview_->SetPlaying(false);
  mview_->Clear();
  view_->ClearImage();
  view_->Update();
  for (QLabel* l : {PicLabel1, PicLabel2, PicLabel3, InfoLabel1, InfoLabel2}) l->clear();
  PreviewButton->setEnabled(false);
  ProgressBar->setVisible(false);
  frames_ = 0;
  thumbs_ = false;
}

void TOpenPixoranDialog::SetLabels(const TIOParamsVals& p, int32_t frames, int64_t fileSize) {
  const TMsgLanguage l = MsgLanguage;
  const bool jpeg = p.FileType == ioJPEG && p.JPEGOriginalWidth > 0;
  const int32_t w = jpeg ? p.JPEGOriginalWidth : p.Width, h = jpeg ? p.JPEGOriginalHeight : p.Height;
  QString size = QString::number(w) + QStringLiteral(" x ") + QString::number(h) + QStringLiteral(" pixel");
  if (frames > 1) size += QStringLiteral(" , ") + QString::number(frames) + QStringLiteral(" frames");
  PicLabel1->setText(size);
  PicLabel3->setText(QString::number(p.DpiX) + QStringLiteral(" x ") + QString::number(p.DpiY) +
                     QStringLiteral(" dpi"));
  PicLabel2->setText(Q(ColourCountText(p.BitsPerSample, p.SamplesPerPixel)) + QStringLiteral(" (") + Word(58, l) +
                     QStringLiteral(" ") + QString::number(int64_t{p.BitsPerSample} * p.SamplesPerPixel) +
                     QStringLiteral(" bit)"));
  const int64_t memory = PreviewMemorySize(std::max(frames, 1), w, h, p.BitsPerSample, p.SamplesPerPixel);
  InfoLabel2->setText(Word(126, l) + QStringLiteral(": ") + Q(ByteSizeText(fileSize)) + QStringLiteral("   ") +
                      Word(127, l) + QStringLiteral(": ") + Q(ByteSizeText(memory)));
  InfoLabel1->setText(Q(FileFormatDescription(p)));
}

bool PreviewableFile(const std::string& fileName) {
  struct stat st {};
  if (fileName.empty() || stat(fileName.c_str(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode) || st.st_size <= 0 || st.st_size > CodecMemoryLimit()) return false;
  struct statfs fs {};
  if (statfs(fileName.c_str(), &fs) != 0) return false;
  // proc, sysfs, debugfs, tracefs, securityfs, cgroup, cgroup2, bpf,
  // configfs, pstore, efivarfs.
  static constexpr uint64_t kPseudo[] = {0x9fa0,     0x62656572, 0x64626720, 0x74726163, 0x73636673, 0x27e0eb,
                                         0x63677270, 0xcafe4a11, 0x62656570, 0x6165676c, 0xde5e81e0};
  const uint64_t type = static_cast<uint64_t>(fs.f_type);
  return std::find(std::begin(kPseudo), std::end(kPseudo), type) == std::end(kPseudo);
}

void TOpenPixoranDialog::ShowPreview(const std::string& fileName) {
  if (busy_) return;
  const QFileInfo info(Q(fileName));
  if (!PreviewableFile(fileName)) {
    // A folder keeps the last preview; anything else shows none.
    if (!info.isDir()) {
      ClearPreview();
      previewName_.clear();
    }
    return;
  }
  busy_ = true;
  previewName_ = fileName;
  const int64_t fileSize = info.size();
  try {
    if (!PreviewCheck->isChecked()) {
      ClearPreview();
      io_->ParamsFromFile(fileName);
      if (io_->Params().FileType != 0) SetLabels(io_->Params(), 1, fileSize);
    } else {
      QApplication::setOverrideCursor(Qt::WaitCursor);
      ClearPreview();
      PlayButton->setChecked(false);
      const std::string ext = LowerCaseASCII(ExtractFileExt(fileName));
      const bool gif = ext == ".gif" && GIFReadable();
      const bool multi = ext == ".avi" || (gif && GIFFileFrameCount(fileName) > 1) ||
                         (IsFrameFile(ext) && TIFFFilePageCount(fileName) > 1) || (ext == ".dcx" && ShowAllFrames);
      view_->Widget()->setVisible(!multi);
      mview_->Widget()->setVisible(multi);
      if (multi) {
        thumbs_ = true;
        mio_->LoadFromFile(fileName);
        frames_ = mview_->GetImageCount();
        if (frames_ > 0) {
          mview_->SetSelectedImage(0);
          if (const TIOParamsVals* p = mio_->GetParams(0)) SetLabels(*p, frames_, fileSize);
          PreviewButton->setEnabled(true);
          if (alwaysAnimate_ && (ext == ".avi" || gif)) PlayButton->setChecked(true);
        }
      } else {
        TIOParamsVals& p = io_->Params();
        // Large JPEG files decode at the smallest scale still filling the viewer.
        p.JPEGScale = 0;
        p.Width = std::max(view_->ClientWidth(), 1);
        p.Height = std::max(view_->ClientHeight(), 1);
        io_->LoadFromFile(fileName);
        if (!io_->Aborting()) {
          int32_t frames = 1;
          if (ext == ".gif") frames = GIFFileFrameCount(fileName);
          else if (IsFrameFile(ext)) frames = TIFFFilePageCount(fileName);
          else if (ext == ".ico") frames = ICOFileImageCount(fileName);
          else if (ext == ".dcx") frames = DCXFilePageCount(fileName);
          frames_ = std::max(frames, 1);
          SetLabels(p, frames_, fileSize);
          PreviewButton->setEnabled(true);
        } else {
          ClearPreview();
        }
      }
      ProgressBar->setVisible(false);
      ApplyZoom();
      QApplication::restoreOverrideCursor();
    }
  } catch (...) {
    if (QApplication::overrideCursor()) QApplication::restoreOverrideCursor();
    ClearPreview();
  }
  busy_ = false;
}

void TOpenPixoranDialog::ApplyZoom() {
  const int zoom = ZoomCombo->currentData().toInt();
  if (zoom <= 0) {
    view_->SetAutoFit(true);
    view_->ZoomToFit();
  } else {
    view_->SetAutoFit(false);
    view_->SetZoom(zoom);
  }
}

void TOpenPixoranDialog::Play(bool on) {
  ZoomCombo->setEnabled(!on);
  if (on) {
    mview_->SetThumbWidth(std::max(mview_->ClientWidth() - 2 * mview_->HorizBorder(), 16));
    mview_->SetThumbHeight(std::max(mview_->ClientHeight() - 2 * mview_->VertBorder(), 16));
  } else {
    mview_->SetThumbWidth(100);
    mview_->SetThumbHeight(109);
  }
  mview_->SetPlaying(on);
}

void TOpenPixoranDialog::ShowLargePreview() {
  TPXBitmap image;
  if (thumbs_) {
    if (!mview_->CopyStoredImage(SelectedFrame(), image)) return;
  } else {
    image.Assign(view_->GetPXBitmap());
  }
  if (image.Width() < 1 || image.Height() < 1) return;
  QDialog form(dialog_.get(), Qt::Tool);
  form.setObjectName(QStringLiteral("PreviewForm"));
  form.setWindowTitle(Q(previewName_));
  auto* lay = new QVBoxLayout(&form);
  lay->setContentsMargins(0, 0, 0, 0);
  TPixoranView big;
  big.SetBackgroundStyle(pxbsChessboard);
  big.SetEnableAlphaChannel(true);
  big.SetCenter(true);
  big.SetScrollBars(ssBoth);
  big.SetMouseInteract(miZoom | miScroll);
  big.GetPXBitmap()->Assign(&image);
  big.Update();
  lay->addWidget(big.Widget());
  QRect screen(0, 0, 1024, 768);
  if (QScreen* s = QGuiApplication::primaryScreen()) screen = s->availableGeometry();
  const int w = image.Width() <= 100 ? 100 : std::min(image.Width(), screen.width());
  const int h = image.Height() <= 100 ? 100 : std::min(image.Height(), screen.height());
  form.resize(w, h);
  form.move(screen.x() + (screen.width() - w) / 2, screen.y() + (screen.height() - h) / 2);
  form.exec();
  lay->removeWidget(big.Widget());
}

// ---------------------------------------------------------------- save dialog

TSavePixoranDialog::TSavePixoranDialog(TComponent* owner) : TOpenPixoranDialog(owner) {
  dialog_->setObjectName(QStringLiteral("SavePixoranDialog"));
  QObject::connect(AdvancedButton, &QPushButton::clicked, dialog_.get(), [this] { AdvancedClick(); });
  if (auto* e = dialog_->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
    QObject::connect(e, &QLineEdit::textEdited, dialog_.get(), [this](const QString&) { UpdateFileType(); });
}

TSavePixoranDialog::~TSavePixoranDialog() {
  if (attached_) attached_->RemoveFreeNotification(this);
}

std::string TSavePixoranDialog::DefaultFilter() {
  std::string f = "JPEG Bitmap (JPG)|*.jpg";
  UpdateGIFFormatAvailability();
  const TPXFileFormatInfo* gif = FindFileFormatInfo(ioGIF);
  if (gif && gif->WriteFunction) f += "|CompuServe Bitmap (GIF)|*.gif";
  f += "|TIFF Bitmap (TIF)|*.tif|PaintBrush (PCX)|*.pcx|Portable Network Graphics (PNG)|*.png"
       "|Windows Bitmap (BMP)|*.bmp|OS/2 Bitmap (BMP)|*.bmp|Targa Bitmap (TGA)|*.tga"
       "|Portable PixMap (PXM)|*.pxm|Portable PixMap (PPM)|*.ppm|Portable GreyMap (PGM)|*.pgm"
       "|Portable Bitmap (PBM)|*.pbm|JPEG2000 (JP2)|*.jp2|JPEG2000 Code Stream (J2K)|*.j2k"
       "|Multipage PCX (DCX)|*.dcx";
  return f;
}

void TSavePixoranDialog::SetAttachedPixoranIO(TComponent* c) {
  if (!c || !(dynamic_cast<TPixoranIO*>(c) || dynamic_cast<TPixoranMIO*>(c) || dynamic_cast<TPixoranMView*>(c) ||
              dynamic_cast<TPixoranView*>(c)))
    return;
  if (attached_) attached_->RemoveFreeNotification(this);
  attached_ = c;
  attached_->FreeNotification(this);
}

void TSavePixoranDialog::ComponentRemoved(TComponent* c) {
  if (c == attached_) attached_ = nullptr;
  TOpenPixoranDialog::ComponentRemoved(c);
}

TIOParamsVals* TSavePixoranDialog::AttachedParams() const {
  if (auto* io = dynamic_cast<TPixoranIO*>(attached_)) return &io->Params();
  if (auto* v = dynamic_cast<TPixoranView*>(attached_)) return &v->GetIO()->Params();
  TPixoranMIO* mio = dynamic_cast<TPixoranMIO*>(attached_);
  if (auto* mv = dynamic_cast<TPixoranMView*>(attached_)) mio = mv->GetMIO();
  return mio ? mio->GetParams(0) : nullptr;
}

bool TSavePixoranDialog::Prepare() {
  const bool multi = dynamic_cast<TPixoranMIO*>(attached_) || dynamic_cast<TPixoranMView*>(attached_);
  TIOParamsVals* rec = AttachedParams();
  if (multi && !rec) return false;  // no frames to save
  if (!AutoSetFilter && Filter().empty()) SetFilter(DefaultFilter());
  if (!TOpenPixoranDialog::Prepare()) return false;
  const bool preview = (ExOptions & sdShowPreview) != 0;
  PicturePanel->setVisible(preview);
  PreviewCheck->setVisible(preview);
  AdvancedButton->setVisible((ExOptions & sdShowAdvanced) != 0);
  if (rec) saved_.Assign(*rec);
  UpdateFileType();
  return true;
}

bool TSavePixoranDialog::Finish(bool accepted) {
  if (!accepted) {
    // Undo what "Advanced" changed.
    if (TIOParamsVals* rec = AttachedParams()) {
      rec->Assign(saved_);
      TPixoranMIO* mio = dynamic_cast<TPixoranMIO*>(attached_);
      if (auto* mv = dynamic_cast<TPixoranMView*>(attached_)) mio = mv->GetMIO();
      if (mio) mio->CopyFirstParams();
    }
    return false;
  }
  if (!TOpenPixoranDialog::Finish(true)) return false;
  std::string name = FileName();
  if (ExtractFileExt(ExtractFileName(name)).empty()) {
    const std::string ext = FilterExtension();
    if (!ext.empty()) name += "." + ext;
    SetFileName(name);
  }
  return true;
}

void TSavePixoranDialog::TypeChanged() {
  const std::string ext = FilterExtension();
  const QString typed = TypedName();
  if (!ext.empty() && !typed.isEmpty()) {
    const QFileInfo fi(typed);
    const QString base = fi.suffix().isEmpty() ? typed : typed.left(typed.size() - fi.suffix().size() - 1);
    SetTypedName(base + QStringLiteral(".") + Q(ext));
  }
  if (!ext.empty()) dialog_->setDefaultSuffix(Q(ext));
  UpdateFileType();
}

void TSavePixoranDialog::UpdateFileType() {
  std::string ext = ExtractFileExt(ExtractFileName(TypedName().toStdString()));
  if (!ext.empty()) ext = ext.substr(1);
  if (ext.empty()) ext = DefaultExt;
  if (ext.empty()) ext = FilterExtension();
  const TPXFileFormatInfo* info = ext.empty() ? nullptr : FindFileFormatInfoByExtension(ext);
  const uint16_t page = info ? TfIOPreviews::PageFlagOfFileType(info->FileType) : 0;
  if (info)
    if (TIOParamsVals* rec = AttachedParams()) rec->FileType = info->FileType;
  AdvancedButton->setEnabled(page != 0);
}

void TSavePixoranDialog::AdvancedClick() {
  TIOParamsVals* rec = AttachedParams();
  if (!rec) return;
  const uint16_t page = TfIOPreviews::PageFlagOfFileType(rec->FileType);
  if (!page) return;
  if (auto* io = dynamic_cast<TPixoranIO*>(attached_)) {
    io->DoPreviews(page);
  } else if (auto* v = dynamic_cast<TPixoranView*>(attached_)) {
    v->GetIO()->DoPreviews(page);
  } else {
    TPixoranMIO* mio = dynamic_cast<TPixoranMIO*>(attached_);
    if (auto* mv = dynamic_cast<TPixoranMView*>(attached_)) mio = mv->GetMIO();
    if (mio) mio->DoPreviews(-1, page);
  }
}

}  // namespace pixoran
