#include "app/URotate.h"

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>

#include "app/ProEffectImage.h"
#include "proc/pixoranproc.h"
#include "view/pixoranview.h"

namespace tolvaren {

using namespace pixoran;

TfrmRotate::TfrmRotate(TPixoranView* mainView, QWidget* parent)
    : TEffectForm(mainView, QStringLiteral("旋转图片"), 360, 301, false,
                  psGray | psLinearZoom | psSelect | psAlpha | psAutoShrink, parent) {
  TrackBar1 = AddTrackBar(QStringLiteral("设置旋转角度："), -360, 360, 0, &LabelValue);
  AddButtons(true);
  connect(TrackBar1, &QSlider::valueChanged, this, [this] { TrackBar1Change(); });
}

void TfrmRotate::Button2Click() {
  CopyPicture();
  PreviewProc().Rotate(TrackBar1->value(), false, 0, -1);
  LabelValue->setText(QString::number(TrackBar1->value()));
}

void TfrmRotate::TrackBar1Change() { LabelValue->setText(QString::number(TrackBar1->value())); }

}  // namespace tolvaren
