// The save-parameters dialog's form: its common controls, the caller's
// settings, the language, activation and the OK, Apply and Preview buttons.
// The pages live in iopreviews_pages.cpp, the preview in
// iopreviews_preview.cpp, the palette dialog in iopreviews_palette.cpp.
#include "dialogs/iopreviews.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>
#include <QVBoxLayout>
#include <algorithm>

#include "dialogs/iopreviews_internal.h"
#include "io/iohooks.h"
#include "io/pixoranio.h"
#include "platform/controls.h"
#include "view/pixoranview.h"

namespace pixoran {

using iopreviews::Word;

uint16_t TfIOPreviews::PageFlagOfFileType(int32_t fileType) { return SavePageFlagOfFileType(fileType); }

TfIOPreviews::TfIOPreviews(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("fIOPreviews"));
  resize(680, 520);
  if (QScreen* s = QGuiApplication::primaryScreen()) move(s->geometry().center() - rect().center());

  PageControl1 = new QTabWidget(this);
  PageControl1->setObjectName(QStringLiteral("PageControl1"));
  BuildPages();

  auto* panel2 = new QWidget(this);
  panel2->setObjectName(QStringLiteral("Panel2"));
  auto* grid = new QGridLayout(panel2);
  Label1 = new QLabel(panel2);
  Label2 = new QLabel(panel2);
  source_ = std::make_unique<TPixoranView>();
  result_ = std::make_unique<TPixoranView>();
  source_->Widget()->setObjectName(QStringLiteral("Pixoran1"));
  result_->Widget()->setObjectName(QStringLiteral("Pixoran2"));
  for (TPixoranView* v : {source_.get(), result_.get()}) {
    v->Widget()->setMinimumSize(200, 160);
    v->SetBackground(0xFFFFFF);
  }
  grid->addWidget(Label1, 0, 0);
  grid->addWidget(Label2, 0, 1);
  grid->addWidget(source_->Widget(), 1, 0);
  grid->addWidget(result_->Widget(), 1, 1);
  ProgressBar1 = new QProgressBar(panel2);
  ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);
  ProgressBar1->setMaximumHeight(10);
  grid->addWidget(ProgressBar1, 2, 0, 1, 2);
  OriginalSize = new QLabel(panel2);
  CompressedSize = new QLabel(panel2);
  OriginalSize->setObjectName(QStringLiteral("OriginalSize"));
  CompressedSize->setObjectName(QStringLiteral("CompressedSize"));
  grid->addWidget(OriginalSize, 3, 0);
  grid->addWidget(CompressedSize, 3, 1);
  // Both viewers report progress to the one bar.
  // Encoding and decoding for a preview each take half of the bar.
  auto progress = [this](TObject*, int percent) {
    if (!ProgressBar1) return;
    percent = std::clamp(percent, 0, 100);
    ProgressBar1->setValue(progressBase_ >= 0 ? progressBase_ + percent / 2 : percent);
  };
  source_->SetOnProgress(progress);
  result_->SetOnProgress(progress);
  source_->OnViewChange = [this](TObject*, int32_t) { SyncResultView(); };

  Button1 = new QPushButton(this);
  Button2 = new QPushButton(this);
  Button3 = new QPushButton(this);
  Button4 = new QPushButton(this);
  Button1->setObjectName(QStringLiteral("Button1"));
  Button2->setObjectName(QStringLiteral("Button2"));
  Button3->setObjectName(QStringLiteral("Button3"));
  Button4->setObjectName(QStringLiteral("Button4"));
  Button1->setDefault(true);
  Button4->setEnabled(false);
  Button4->setVisible(false);
  chkLockPreview = new QCheckBox(this);
  chkLockPreview->setObjectName(QStringLiteral("chkLockPreview"));
  connect(Button1, &QPushButton::clicked, this, [this] { Button1Click(); });
  connect(Button2, &QPushButton::clicked, this, [this] { done(2); });
  connect(Button3, &QPushButton::clicked, this, [this] { Button3Click(); });
  connect(Button4, &QPushButton::clicked, this, [this] { Button4Click(); });
  connect(chkLockPreview, &QCheckBox::clicked, this, [this] { SpeedButton1Click(); });
  connect(PageControl1, &QTabWidget::currentChanged, this, [this](int) {
    if (handlersOn_) PageControl1Change();
  });

  auto* buttons = new QHBoxLayout;
  buttons->addWidget(chkLockPreview);
  buttons->addWidget(Button3);
  buttons->addStretch();
  buttons->addWidget(Button1);
  buttons->addWidget(Button2);
  buttons->addWidget(Button4);
  auto* all = new QVBoxLayout(this);
  all->addWidget(PageControl1);
  all->addWidget(panel2, 1);
  all->addLayout(buttons);
  ApplyLanguage(msSystem);
}

TfIOPreviews::~TfIOPreviews() = default;

void TfIOPreviews::SetApplyVisible(bool value) {
  applyVisible_ = value;
  Button4->setVisible(value);
}

bool TfIOPreviews::SetPreviewPages(uint16_t flags) {
  flags_ = flags;
  const uint16_t own = params_ ? PageFlagOfFileType(params_->FileType) : 0;
  if (flags & 2) flags_ |= own;
  return !(flags == 2 && own == 0);
}

void TfIOPreviews::ApplyLanguage(TMsgLanguage l) {
  language_ = l;
  setWindowTitle(Word(37, l));
  Label1->setText(Word(1, l) + QStringLiteral(":"));
  Label2->setText(Word(2, l) + QStringLiteral(":"));
  Button1->setText(Word(3, l));
  Button2->setText(Word(4, l));
  Button3->setText(Word(0, l));
  chkLockPreview->setText(Word(5, l));
  Button4->setText(Word(120, l));
  for (const TCaption& c : captions_) {
    const QString text = Word(c.Word, l);
    if (c.Kind == 0) static_cast<QLabel*>(c.Control)->setText(text + QStringLiteral(":"));
    else if (c.Kind == 1)
      static_cast<QGroupBox*>(c.Control)->setTitle(QStringLiteral(" ") + text + QStringLiteral(" "));
    else static_cast<QCheckBox*>(c.Control)->setText(text);
  }
  if (!previewing_) {
    OriginalSize->setText(Word(43, l) + QStringLiteral(": ---"));
    CompressedSize->setText(Word(44, l) + QStringLiteral(": ---"));
  }
}

void TfIOPreviews::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!activated_) {
    activated_ = true;
    FormActivate();
  }
}

TIOPreviewPage TfIOPreviews::ActivePage() const {
  const int i = PageControl1->currentIndex();
  return i >= 0 && i < ppgCount ? static_cast<TIOPreviewPage>(i) : ppgJPEG1;
}

void TfIOPreviews::FormActivate() {
  handlersOn_ = false;
  activated_ = true;
  chkLockPreview->setChecked(defaultLock_);
  Button3->setEnabled(!defaultLock_);
  Button4->setVisible(applyVisible_);
  Button4->setEnabled(false);
  withLZW_ = PXIOHooks().TIFFLZWCompressHook.load() != nullptr;
  FillTIFFCompression(ComboBox2);
  FillTIFFCompression(ComboBox16);
  if (params_) work_.Assign(*params_);
  // A code the list cannot show becomes the one it shows.
  work_.TIFFCompression = TIFFIndexToCompression(TIFFCompressionToIndex(work_.TIFFCompression, withLZW_), withLZW_);

  const int32_t ownType = params_ ? params_->FileType : 0;
  int first = -1, own = -1;
  const TSavePageMode mode = simplified_ ? TSavePageMode::Simplified : TSavePageMode::Full;
  for (const TSavePageInfo& info : SavePages()) {
    const int p = info.Page;
    const bool modeOk = info.Mode == TSavePageMode::Both || info.Mode == mode;
    const bool shown = modeOk && ((flags_ & 1) || (flags_ & info.Flag));
    PageControl1->setTabVisible(p, shown);
    if (!shown) continue;
    if (first < 0) first = p;
    if (own < 0 && SavePageServes(info, ownType)) own = p;
  }
  const int active = own >= 0 ? own : first;
  if (simplified_) {
    const int ppi = std::max(ScreenDpiY(), 1);
    chkLockPreview->move(chkLockPreview->x(), static_cast<int>(ppi * 3.1458333));
  }
  {
    const QSignalBlocker quiet(PageControl1);
    if (active >= 0) PageControl1->setCurrentIndex(active);
  }
  for (int p = 0; p < ppgCount; ++p) ShowPage(static_cast<TIOPreviewPage>(p));
  source_->ZoomToFit();
  // What the user does while pending events run is taken as at any time.
  handlersOn_ = true;
  activating_ = true;
  QApplication::processEvents();
  activating_ = false;
  if (closedWith_ >= 0) {
    // Queued, so it reaches the dialog's loop, which starts after the show.
    QMetaObject::invokeMethod(
        this, [this, r = closedWith_] { QDialog::done(r); }, Qt::QueuedConnection);
    closedWith_ = -1;
    return;
  }
  PageControl1Change();
  Preview();
}

void TfIOPreviews::done(int result) {
  if (activating_) closedWith_ = result;
  else QDialog::done(result);
}

void TfIOPreviews::PageControl1Change() {
  switching_ = true;
  ShowPage(ActivePage());
  OriginalSize->setText(Word(43, language_) + QStringLiteral(": ---"));
  CompressedSize->setText(Word(44, language_) + QStringLiteral(": ---"));
  switching_ = false;
  if (chkLockPreview->isChecked()) Preview();
}

void TfIOPreviews::SpeedButton1Click() {
  Button3->setEnabled(!chkLockPreview->isChecked());
  if (chkLockPreview->isChecked()) Preview();
}

void TfIOPreviews::PageChanged(TIOPreviewPage page, QObject* sender) {
  if (!handlersOn_ || switching_) return;
  if (!ReadPage(page, sender)) return;
  if (chkLockPreview->isChecked()) Preview();
  Button4->setEnabled(true);
}

void TfIOPreviews::Button1Click() {
  if (params_) WriteRecord(ActivePage(), *params_);
  done(1);
}

void TfIOPreviews::Button4Click() {
  if (params_) WriteRecord(ActivePage(), *params_);
  Button4->setEnabled(false);
}

void TfIOPreviews::Button3Click() { Preview(); }

}  // namespace pixoran
