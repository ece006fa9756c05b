#include "app/UPrintInfo.h"

#include "app/UEffectForm.h"

namespace tolvaren {

TfrmPrintInfo::TfrmPrintInfo(TPixoranView* mainView, QWidget* parent)
    : TSelectionPrompt(mainView, QStringLiteral("打印提示"), QStringLiteral("请选择区域进行打印，"), parent) {}

void TfrmPrintInfo::Button1Click() {
  if (!MainHasSelection()) {
    ShowPlainMessage(this, QStringLiteral("请先选择要打印的区域"));
    return;
  }
  if (PrintSelection && mainView_) PrintSelection(*mainView_);
}

}  // namespace tolvaren
