#include "app/UTwist.h"

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

TfrmTwist::TfrmTwist(TPixoranView* mainView, QWidget* parent)
    : TEffectForm(mainView, QStringLiteral("旋纽效果"), 337, 340, false, psGray | psAutoShrink, parent) {
  TrackBar1 = AddTrackBar(QStringLiteral("旋纽强度："), 0, 100, 0);
  AddButtons(true);
}

void TfrmTwist::Button1Click() {
  QApplication::setOverrideCursor(Qt::WaitCursor);
  // The default cursor comes back however the preview ends.
  struct TRestore {
    ~TRestore() { QApplication::restoreOverrideCursor(); }
  } restore;
  TBitmap a;
  CopyPictureTo24(*MainView(), a);
  TBitmap b;
  b.Assign(a);
  BitmapTwist(a, b, 201 - 2 * TrackBar1->value());
  ShowBitmapIn(*PixoranView1(), b);
}

}  // namespace tolvaren
