#include "app/UMosaic.h"

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

TfrmMosaic::TfrmMosaic(TPixoranView* mainView, QWidget* parent)
    : TEffectForm(mainView, QStringLiteral(" 马赛克效果"), 335, 328, false, psGray | psAutoShrink, parent) {
  TrackBar1 = AddTrackBar(QStringLiteral("马赛克大小："), 0, 20, 0);
  AddButtons(true);
}

void TfrmMosaic::Button1Click() {
  TBitmap a;
  CopyPictureTo24(*MainView(), a);
  BitmapMosaic(a, TrackBar1->value());
  ShowBitmapIn(*PixoranView1(), a);
}

}  // namespace tolvaren
