#include "app/UShadow.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>
#include <QPushButton>
#include <QSlider>
#include <QColorDialog>
#include <QHBoxLayout>

#include "app/ProEffectImage.h"
#include "proc/pixoranproc.h"
#include "view/pixoranview.h"

namespace tolvaren {

using namespace pixoran;

TfrmShadow::TfrmShadow(TPixoranView* mainView, QWidget* parent)
    : TEffectForm(mainView, QStringLiteral("投影效果"), 342, 417, false, psGray | psAlpha | psAutoShrink, parent) {
  // The three bars carry the same label: radius, then the two offsets.
  TrackBar1 = AddTrackBar(QStringLiteral("投影半径："), 0, 20, 5);
  TrackBar2 = AddTrackBar(QStringLiteral("投影半径："), -20, 20, 4);
  TrackBar3 = AddTrackBar(QStringLiteral("投影半径："), -20, 20, 4);
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(QStringLiteral("投影颜色："), this));
  Shape1 = new QLabel(this);
  Shape1->setFixedSize(40, 20);
  row->addWidget(Shape1);
  auto* pick = new QPushButton(QStringLiteral("颜色选择"), this);
  pick->setAutoDefault(false);
  row->addWidget(pick);
  row->addStretch(1);
  ControlsLayout()->addLayout(row);
  connect(pick, &QPushButton::clicked, this, [this] { RunGuarded(this, [this] { Button4Click(); }); });
  SetShapeColor(clBlack);
  AddButtons(true);
}

void TfrmShadow::SetShapeColor(TColor color) {
  shapeColor_ = color;
  const QColor q(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
  Shape1->setStyleSheet(
      QStringLiteral("background-color: %1; border: 1px solid black; border-radius: 5px;").arg(q.name()));
}

void TfrmShadow::Button4Click() {
  const QColor q(shapeColor_ & 0xFF, (shapeColor_ >> 8) & 0xFF, (shapeColor_ >> 16) & 0xFF);
  const QColor chosen = QColorDialog::getColor(q, this);
  if (chosen.isValid()) SetShapeColor(RGBColor(chosen.red(), chosen.green(), chosen.blue()));
}

void TfrmShadow::Button1Click() {
  CopyPicture(true);
  PreviewProc().AddSoftShadow(TrackBar1->value(), TrackBar2->value(), TrackBar3->value(), true, shapeColor_);
}

}  // namespace tolvaren
