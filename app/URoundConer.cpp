#include "app/URoundConer.h"

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

TfrmRoundConer::TfrmRoundConer(TPixoranView* mainView, QWidget* parent)
    : TEffectForm(mainView, QStringLiteral("圆角效果"), 336, 344, false, psGray | psAlpha, parent) {
  Edit1 = AddEdit(QStringLiteral("圆角宽："));
  Edit2 = AddEdit(QStringLiteral("圆角宽："));
  AddButtons(true);
}

void TfrmRoundConer::Button1Click() {
  const int w = StrToInt(Edit1->text()), h = StrToInt(Edit2->text());
  CopyPicture(true);
  PreviewProc().RoundImage(w, h);
}

}  // namespace tolvaren
