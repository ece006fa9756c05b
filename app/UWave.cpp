#include "app/UWave.h"

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

TfrmWave::TfrmWave(TPixoranView* mainView, QWidget* parent)
    : TEffectForm(mainView, QStringLiteral("波纹效果"), 344, 420, true, psGray | psAutoShrink, parent) {
  TrackBar1 = AddTrackBar(QStringLiteral("波纹幅度："), 0, 20, 5);
  TrackBar2 = AddTrackBar(QStringLiteral("波纹长度："), 0, 20, 5);
  TrackBar3 = AddTrackBar(QStringLiteral("波纹相位："), 0, 360, 10);
  AddButtons(true);
}

void TfrmWave::Button3Click() {
  CopyPicture();
  PreviewProc().Wave(TrackBar1->value(), TrackBar2->value(), TrackBar3->value(), false);
}

}  // namespace tolvaren
