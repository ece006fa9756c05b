#include "app/ULightDarkness.h"

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

TfrmLightDarkness::TfrmLightDarkness(TPixoranView* mainView, QWidget* parent)
    : TEffectForm(mainView, QStringLiteral("明暗调节"), 340, 335, false, psGray | psAutoShrink, parent) {
  TrackBar1 = AddTrackBar(QStringLiteral("明暗强度："), -200, 200, 0);
  AddButtons(false);
  connect(TrackBar1, &QSlider::valueChanged, this, [this] { RunGuarded(this, [this] { TrackBar1Change(); }); });
}

void TfrmLightDarkness::TrackBar1Change() {
  TBitmap a;
  CopyPictureTo24(*MainView(), a);
  const int p = TrackBar1->value();
  if (p < 1) BitmapDarken(a, -2 * p);
  else BitmapLighten(a, 2 * p);
  ShowBitmapIn(*PixoranView1(), a);
}

}  // namespace tolvaren
