#include "app/UCropInfo.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/UEffectForm.h"
#include "proc/pixoranproc.h"
#include "proc/pxselection.h"
#include "view/pixoranview.h"

namespace tolvaren {

using namespace pixoran;

TSelectionPrompt::TSelectionPrompt(TPixoranView* mainView, const QString& caption, const QString& line1,
                                   QWidget* parent)
    : QDialog(parent, Qt::Tool | Qt::WindowStaysOnTopHint), mainView_(mainView) {
  setAttribute(Qt::WA_DeleteOnClose);
  setModal(false);
  setWindowTitle(caption);
  setFixedSize(185, 84);
  QPalette colours = palette();
  colours.setColor(QPalette::Window, QColor(0xF0, 0xFA, 0xFF));
  setPalette(colours);
  setAutoFillBackground(true);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);
  auto* info = new QLabel(line1 + QStringLiteral("\n完成以后按[确定]。"), this);
  // The info background is the platform's tooltip colour.
  info->setAutoFillBackground(true);
  info->setBackgroundRole(QPalette::ToolTipBase);
  info->setForegroundRole(QPalette::ToolTipText);
  layout->addWidget(info);
  auto* row = new QHBoxLayout;
  Button1 = new QPushButton(QStringLiteral("确定"), this);
  Button2 = new QPushButton(QStringLiteral("取消"), this);
  row->addWidget(Button1);
  row->addWidget(Button2);
  layout->addLayout(row);
  connect(Button1, &QPushButton::clicked, this, [this] { RunGuarded(this, [this] { Button1Click(); }); });
  connect(Button2, &QPushButton::clicked, this, [this] { RunGuarded(this, [this] { Button2Click(); }); });
}

bool TSelectionPrompt::MainHasSelection() const {
  auto* sel = dynamic_cast<TPXSelectionSource*>(mainView_);
  return sel && sel->HasSelection();
}

void TSelectionPrompt::Button2Click() {
  if (Deselect) Deselect();
  if (mainView_) {
    mainView_->SetMouseInteract(miResizeLayers);
    mainView_->Invalidate();
  }
  if (OnEnd) OnEnd(false);
  Finish();
}

void TSelectionPrompt::Finish() {
  hide();
  close();
}

void TSelectionPrompt::closeEvent(QCloseEvent* event) {
  // Only the user's close box is refused: a close the program asks for
  // (the buttons, quitting) is never vetoed.
  if (event->spontaneous() && !QCoreApplication::closingDown()) event->ignore();
  else event->accept();
}

TfrmCrop::TfrmCrop(TPixoranView* mainView, TPixoranProc* proc, QWidget* parent)
    : TSelectionPrompt(mainView, QStringLiteral("剪切提示"), QStringLiteral("请选择区域进行剪切，"), parent),
      proc_(proc) {}

void TfrmCrop::Button1Click() {
  if (!MainHasSelection()) {
    ShowMessage(this, QStringLiteral("您好，如果您要修剪图像\n请选选择一个修剪区域"));
    return;
  }
  if (proc_) proc_->CropSel();
  if (mainView_) mainView_->SetMouseInteract(miResizeLayers);
  if (OnEnd) OnEnd(true);
  Finish();
}

}  // namespace tolvaren
