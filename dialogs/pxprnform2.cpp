#include "dialogs/pxprnform2.h"

#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>

#include "core/kopxutils_helpers.h"
#include "core/kopxutils_words.h"
#include "io/pixoranio.h"
#include "view/pixoranview.h"

namespace pixoran {

namespace {
QString Word(int w, TMsgLanguage l) { return QString::fromStdString(GetWordText(static_cast<uint8_t>(w), l)); }
QString Group(int w, TMsgLanguage l) { return QStringLiteral(" ") + Word(w, l) + QStringLiteral(" "); }
}  // namespace

TfpxPrnForm2::TfpxPrnForm2(TPixoranIO& io, QWidget* parent) : QDialog(parent), io_(io) {
  setObjectName(QStringLiteral("fpxPrnForm2"));
  resize(664, 356);
  controls_.Create(this, [this] { printpreview(nullptr); });
  TPrnControls& c = controls_;

  margins_ = new QGroupBox(this);
  auto* mg = new QGridLayout(margins_);
  const int order[4] = {1, 2, 3, 4};  // top, left, right, bottom
  for (int k = 0; k < 4; ++k) {
    labels_[k] = new QLabel(margins_);
    mg->addWidget(labels_[k], k, 0);
    mg->addWidget(c.EditWithSteps(order[k], margins_), k, 1);
  }
  position_ = new QGroupBox(this);
  auto* pg = new QGridLayout(position_);
  for (int i = 1; i <= 9; ++i) pg->addWidget(c.SpeedButton[i], (i - 1) / 3, (i - 1) % 3);
  size_ = new QGroupBox(this);
  auto* sg = new QGridLayout(size_);
  sg->addWidget(c.ComboBox1, 0, 0, 1, 3);
  widthLabel_ = new QLabel(size_);
  heightLabel_ = new QLabel(size_);
  unitLabels_[0] = new QLabel(size_);
  unitLabels_[1] = new QLabel(size_);
  sg->addWidget(widthLabel_, 1, 0);
  sg->addWidget(c.EditWithSteps(5, size_), 1, 1);
  sg->addWidget(unitLabels_[0], 1, 2);
  sg->addWidget(heightLabel_, 2, 0);
  sg->addWidget(c.EditWithSteps(6, size_), 2, 1);
  sg->addWidget(unitLabels_[1], 2, 2);
  gamma_ = new QGroupBox(this);
  auto* gg = new QHBoxLayout(gamma_);
  gammaLabel_ = new QLabel(gamma_);
  gg->addWidget(gammaLabel_);
  gg->addWidget(c.EditWithSteps(7, gamma_));
  units_ = new QGroupBox(this);
  auto* ug = new QHBoxLayout(units_);
  unitsLabel_ = new QLabel(units_);
  ComboBox2 = new QComboBox(units_);
  ComboBox2->setObjectName(QStringLiteral("ComboBox2"));
  ComboBox2->addItems({QStringLiteral("Inches"), QStringLiteral("cm")});
  ug->addWidget(unitsLabel_);
  ug->addWidget(ComboBox2);
  connect(ComboBox2, &QComboBox::currentIndexChanged, this, [this](int) { ComboBox2Change(); });

  preview_ = new QGroupBox(this);
  auto* vg = new QVBoxLayout(preview_);
  view_ = std::make_unique<TPixoranView>();
  view_->Widget()->setObjectName(QStringLiteral("PixoranView1"));
  view_->Widget()->setMinimumSize(200, 200);
  vg->addWidget(view_->Widget());

  Button1 = new QPushButton(this);
  Button1->setObjectName(QStringLiteral("Button1"));
  Button1->setDefault(true);
  Button2 = new QPushButton(this);
  Button2->setObjectName(QStringLiteral("Button2"));
  Button4 = new QPushButton(this);
  Button4->setObjectName(QStringLiteral("Button4"));
  connect(Button1, &QPushButton::clicked, this, [this] {
    // Without a PDF file name given the form stays, to try again or cancel.
    if (printpreview(Button1)) done(1);
    else if (printFailed_) done(kPrintFailedResult);
  });
  connect(Button2, &QPushButton::clicked, this, [this] { done(2); });
  connect(Button4, &QPushButton::clicked, this, [this] {
    ExecutePrinterSetup(this);
    printpreview(nullptr);
  });

  auto* left = new QVBoxLayout;
  auto* top = new QHBoxLayout;
  top->addWidget(margins_);
  top->addWidget(position_);
  left->addLayout(top);
  auto* mid = new QHBoxLayout;
  mid->addWidget(size_);
  auto* side = new QVBoxLayout;
  side->addWidget(gamma_);
  side->addWidget(units_);
  mid->addLayout(side);
  left->addLayout(mid);
  auto* buttons = new QHBoxLayout;
  buttons->addWidget(Button4);
  buttons->addStretch();
  buttons->addWidget(Button1);
  buttons->addWidget(Button2);
  left->addStretch();
  left->addLayout(buttons);
  auto* all = new QHBoxLayout(this);
  all->addLayout(left);
  all->addWidget(preview_, 1);
  ApplyLanguage(msSystem);
}

TfpxPrnForm2::~TfpxPrnForm2() = default;

void TfpxPrnForm2::SetMeasureUnit(uint8_t unit) {
  unit_ = unit;
  UnitCaptions();
}

void TfpxPrnForm2::ApplyLanguage(TMsgLanguage l) {
  language_ = l;
  setWindowTitle(Word(91, l));
  labels_[0]->setText(Word(30, l));
  labels_[1]->setText(Word(29, l));
  labels_[2]->setText(Word(94, l));
  labels_[3]->setText(Word(95, l));
  position_->setTitle(Group(96, l));
  preview_->setTitle(Group(0, l));
  size_->setTitle(Group(97, l));
  gamma_->setTitle(Group(102, l));
  units_->setTitle(Group(121, l));
  controls_.SetSizeItems(GetWordText(98, l), GetWordText(99, l), GetWordText(100, l), GetWordText(101, l));
  widthLabel_->setText(Word(31, l));
  heightLabel_->setText(Word(32, l));
  gammaLabel_->setText(Word(103, l));
  Button1->setText(Word(3, l));
  Button2->setText(Word(4, l));
  Button4->setText(Word(104, l) + QStringLiteral("..."));
  unitsLabel_->setText(Word(122, l));
  ComboBox2->setItemText(0, Word(93, l));
  UnitCaptions();
}

void TfpxPrnForm2::UnitCaptions() {
  const bool cm = unit_ == 1 || unit_ == 3;
  margins_->setTitle(QStringLiteral(" ") + Word(92, language_) + QStringLiteral(" (") +
                     (cm ? QStringLiteral("cm") : Word(93, language_)) + QStringLiteral(") "));
  const QString unitText = cm ? QStringLiteral("cm") : Word(93, language_);
  for (QLabel* u : unitLabels_) u->setText(unitText);
}

void TfpxPrnForm2::showEvent(QShowEvent* event) {
  QDialog::showEvent(event);
  if (!activated_) {
    activated_ = true;
    FormActivate();
  }
}

void TfpxPrnForm2::FormActivate() {
  if (controls_.ComboBox1->currentIndex() < 0) controls_.ComboBox1->setCurrentIndex(1);
  units_->setVisible(unit_ == 2 || unit_ == 3);
  {
    const QSignalBlocker quiet(ComboBox2);
    ComboBox2->setCurrentIndex(unit_ == 3 ? 1 : 0);
  }
  UnitCaptions();
  printpreview(nullptr);
}

void TfpxPrnForm2::ComboBox2Change() {
  const uint8_t unit = ComboBox2->currentIndex() == 1 ? 3 : 2;
  if (unit == unit_) return;
  const double factor = unit == 3 ? 2.54 : 0.3937;
  unit_ = unit;
  for (int i = 1; i <= 6; ++i) {
    QLineEdit* e = controls_.Edit[i];
    const QSignalBlocker quiet(e);
    e->setText(QString::fromStdString(FloatToStr(StrToFloatAnySeparator(e->text().toStdString(), 0) * factor)));
  }
  UnitCaptions();
  printpreview(nullptr);
}

bool TfpxPrnForm2::printpreview(QObject* sender) {
  if (!view_) return true;
  return RunPrintPreview(io_, *view_, controls_.Read(unit_), sender == Button1 && Button1, title_, &printFailed_);
}

}  // namespace pixoran
