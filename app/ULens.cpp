#include "app/ULens.h"

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

TfrmLens::TfrmLens(TPixoranView* mainView, QWidget* parent)
    : TEffectForm(mainView, QStringLiteral("球面效果"), 339, 399, false, psGray, parent) {
  Edit1 = AddEdit(QStringLiteral("水平位置："));
  Edit2 = AddEdit(QStringLiteral("垂直位置："));
  Edit3 = AddEdit(QStringLiteral("长度："));
  Edit4 = AddEdit(QStringLiteral("高度："));
  TrackBar1 = AddTrackBar(QStringLiteral("半径："), 0, 10, 2);
  AddButtons(true);
}

void TfrmLens::Button1Click() {
  // Read every edit before touching the preview: a bad entry changes nothing.
  const int x = StrToInt(Edit1->text()), y = StrToInt(Edit2->text());
  const int w = StrToInt(Edit3->text()), h = StrToInt(Edit4->text());
  CopyPicture(true);
  PreviewProc().Lens(x, y, w, h, TrackBar1->value());
}

}  // namespace tolvaren
