#include "app/UFlip.h"

#include <QApplication>
#include <QComboBox>
#include <QVBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>

#include "app/ProEffectImage.h"
#include "proc/pixoranproc.h"
#include "view/pixoranview.h"

namespace tolvaren {

using namespace pixoran;

TfrmFlip::TfrmFlip(TPixoranView* mainView, QWidget* parent)
    : TEffectForm(mainView, QStringLiteral("图像翻转"), 345, 275, false,
                  psGray | psLinearZoom | psSelect | psAlpha | psAutoShrink, parent) {
  AddLabel(QStringLiteral("图像翻转方式："));
  ComboBox1 = new QComboBox(this);
  ComboBox1->addItems({QStringLiteral("选择翻转方式"), QStringLiteral("上下翻转"), QStringLiteral("左右翻转")});
  ComboBox1->setCurrentIndex(0);
  ControlsLayout()->addWidget(ComboBox1);
  AddButtons(false);
  connect(ComboBox1, &QComboBox::currentIndexChanged, this,
          [this] { RunGuarded(this, [this] { ComboBox1Change(); }); });
}

void TfrmFlip::ComboBox1Change() {
  CopyPicture();
  if (ComboBox1->currentIndex() == 1) PreviewProc().Flip(1);
  if (ComboBox1->currentIndex() == 2) PreviewProc().Flip(0);
}

}  // namespace tolvaren
