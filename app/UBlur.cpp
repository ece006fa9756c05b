#include "app/UBlur.h"

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

TfrmBlur::TfrmBlur(TPixoranView* mainView, QWidget* parent)
    : TEffectForm(mainView, QStringLiteral("模糊效果"), 338, 352, false, psGray | psAutoShrink, parent) {
  TrackBar1 = AddTrackBar(QStringLiteral("模糊效果："), 0, 10, 1);
  AddButtons(true);
}

void TfrmBlur::Button1Click() {
  CopyPicture(true);
  PreviewProc().Blur(TrackBar1->value());
}

}  // namespace tolvaren
