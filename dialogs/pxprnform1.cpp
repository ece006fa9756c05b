#include "dialogs/pxprnform1.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QComboBox>
#include <QToolButton>
#include <QVBoxLayout>

#include "core/kopxutils_words.h"
#include "io/pixoranio.h"
#include "view/pixoranview.h"

namespace pixoran {

namespace {
QString Word(int w, TMsgLanguage l) { return QString::fromStdString(GetWordText(static_cast<uint8_t>(w), l)); }
}  // namespace

TfpxPrnForm1::TfpxPrnForm1(TPixoranIO& io, QWidget* parent) : QDialog(parent), io_(io) {
  setObjectName(QStringLiteral("fpxPrnForm1"));
  move(0, 0);
  resize(800, 600);
  controls_.Create(this, [this] { PrintPreview(nullptr); });
  TPrnControls& c = controls_;

  auto* menu = new QMenuBar(this);
  file_ = menu->addMenu(QStringLiteral("&File"));
  Print1 = file_->addAction(QStringLiteral("&Print..."));
  PrintSetup1 = file_->addAction(QStringLiteral("P&rint Setup..."));
  Exit1 = file_->addAction(QStringLiteral("&Close"));
  connect(Print1, &QAction::triggered, this, [this] { PrintPreview(SpeedButton11); });
  auto setup = [this] {
    ExecutePrinterSetup(this);
    PrintPreview(nullptr);
  };
  connect(PrintSetup1, &QAction::triggered, this, setup);
  connect(Exit1, &QAction::triggered, this, [this] { done(1); });

  SpeedButton10 = new QToolButton(this);
  SpeedButton10->setObjectName(QStringLiteral("SpeedButton10"));
  SpeedButton11 = new QToolButton(this);
  SpeedButton11->setObjectName(QStringLiteral("SpeedButton11"));
  SpeedButton12 = new QToolButton(this);
  SpeedButton12->setObjectName(QStringLiteral("SpeedButton12"));
  connect(SpeedButton10, &QToolButton::clicked, this, setup);
  connect(SpeedButton11, &QToolButton::clicked, this, [this] { PrintPreview(SpeedButton11); });
  connect(SpeedButton12, &QToolButton::clicked, this, [this] { done(1); });

  auto* panel = new QHBoxLayout;
  panel->addWidget(SpeedButton10);
  panel->addWidget(SpeedButton11);
  for (int i = 1; i <= 4; ++i) panel->addWidget(c.EditWithSteps(i, this));
  auto* grid = new QGridLayout;
  grid->setSpacing(0);
  for (int i = 1; i <= 9; ++i) grid->addWidget(c.SpeedButton[i], (i - 1) / 3, (i - 1) % 3);
  panel->addLayout(grid);
  panel->addWidget(c.ComboBox1);
  for (int i = 5; i <= 7; ++i) panel->addWidget(c.EditWithSteps(i, this));
  panel->addStretch();
  panel->addWidget(SpeedButton12);

  view_ = std::make_unique<TPixoranView>();
  view_->Widget()->setObjectName(QStringLiteral("PixoranView1"));
  auto* all = new QVBoxLayout(this);
  all->setMenuBar(menu);
  all->addLayout(panel);
  all->addWidget(view_->Widget(), 1);
  ApplyLanguage(msSystem);
}

TfpxPrnForm1::~TfpxPrnForm1() = default;

void TfpxPrnForm1::ApplyLanguage(TMsgLanguage l) {
  setWindowTitle(Word(91, l));
  file_->setTitle(QStringLiteral("&File"));
  Print1->setText(Word(91, l));
  PrintSetup1->setText(Word(104, l) + QStringLiteral("..."));
  Exit1->setText(Word(119, l));
  TPrnControls& c = controls_;
  c.Edit[1]->setToolTip(Word(106, l));
  c.Edit[2]->setToolTip(Word(105, l));
  c.Edit[3]->setToolTip(Word(107, l));
  c.Edit[4]->setToolTip(Word(108, l));
  c.ComboBox1->setToolTip(Word(109, l));
  c.Edit[5]->setToolTip(Word(31, l));
  c.Edit[6]->setToolTip(Word(32, l));
  for (int i = 1; i <= 9; ++i) c.SpeedButton[i]->setToolTip(Word(109 + i, l));
  c.Edit[7]->setToolTip(Word(102, l));
  SpeedButton10->setToolTip(Word(104, l));
  SpeedButton10->setText(Word(104, l) + QStringLiteral("..."));
  SpeedButton11->setToolTip(Word(91, l));
  SpeedButton11->setText(Word(91, l));
  SpeedButton12->setText(Word(119, l));
  c.SetSizeItems(GetWordText(98, l), GetWordText(99, l), GetWordText(100, l), GetWordText(101, l));
}

void TfpxPrnForm1::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!activated_) {
    activated_ = true;
    if (controls_.ComboBox1->currentIndex() < 0) controls_.ComboBox1->setCurrentIndex(1);
    PrintPreview(nullptr);
  }
}

void TfpxPrnForm1::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  PrintPreview(nullptr);
}

void TfpxPrnForm1::PrintPreview(QObject* sender) {
  if (!view_ || width() < 100 || height() < 100) return;  // too small to show a page
  bool failed = false;
  RunPrintPreview(io_, *view_, controls_.Read(unit_), sender == SpeedButton11 && SpeedButton11, title_, &failed);
  // The form closes as not printed, so the caller can say the print failed.
  if (failed) done(kPrintFailedResult);
}

}  // namespace pixoran
