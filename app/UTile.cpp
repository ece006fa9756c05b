#include "app/UTile.h"

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

TfrmTile::TfrmTile(TPixoranView* mainView, QWidget* parent)
    : TEffectForm(mainView, QStringLiteral("瓦片效果"), 346, 370, true, psGray | psAutoShrink, parent) {
  TrackBar1 = AddTrackBar(QStringLiteral("瓦片数量："), 0, 10, 0);
  AddButtons(true);
}

void TfrmTile::Button1Click() {
  TBitmap a;
  CopyPictureTo24(*MainView(), a);
  TBitmap b;
  BitmapTile(a, b, TrackBar1->value());
  ShowBitmapIn(*PixoranView1(), b);
}

}  // namespace tolvaren
