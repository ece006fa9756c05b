#include "app/UEffectForm.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

#include "core/kopxutils_bitmap.h"
#include "proc/pixoranproc.h"
#include "view/pixoranview.h"

namespace tolvaren {

using namespace pixoran;

int StrToInt(const QString& text) {
  bool ok = false;
  const int v = text.trimmed().toInt(&ok);
  if (!ok) throw EConvertError("'" + text.toStdString() + "' is not a valid integer value");
  return v;
}

TMessageHook& MessageHook() {
  static TMessageHook hook;
  return hook;
}

void ShowMessage(QWidget* parent, const QString& text) {
  if (MessageHook()) {
    MessageHook()(parent, text);
    return;
  }
  QMessageBox::information(parent, QStringLiteral("提示"), text);
}

void ShowPlainMessage(QWidget* parent, const QString& text) {
  if (MessageHook()) {
    MessageHook()(parent, text);
    return;
  }
  QMessageBox box(QMessageBox::NoIcon, QString::fromUtf8(kApplicationTitle), text, QMessageBox::Ok, parent);
  box.exec();
}

TPreviewProgressHook& PreviewProgressHook() {
  static TPreviewProgressHook hook;
  return hook;
}

bool RunGuarded(QWidget* parent, const std::function<void()>& operation) {
  try {
    operation();
    return true;
  } catch (const std::exception& e) {
    ShowMessage(parent, QString::fromUtf8(e.what()));
  } catch (...) {
    ShowMessage(parent, QStringLiteral("操作失败"));
  }
  return false;
}

void CopyPictureTo24(TPixoranView& view, TBitmap& out) {
  if (TBitmap* t = view.GetTBitmap()) {
    out.Assign(*t);
  } else {
    TPXBitmap copy;
    copy.Assign(view.GetPXBitmap());
    out.Assign(*copy.VclBitmap());
  }
  out.SetPixelFormat(pf24bit);
}

void ShowBitmapIn(TPixoranView& view, const TBitmap& bitmap) {
  view.GetPXBitmap()->Assign(const_cast<TBitmap*>(&bitmap));
  view.Update();
  view.ImageChange();
  view.Invalidate();
}

TEffectForm::TEffectForm(TPixoranView* mainView, const QString& caption, int clientWidth, int clientHeight,
                         bool sizeable, unsigned previewSettings, QWidget* parent)
    : QDialog(parent), mainView_(mainView) {
  setWindowTitle(caption);
  auto* layout = new QVBoxLayout(this);
  if (previewSettings != 0) {
    preview_ = std::make_unique<TPixoranView>();
    if (previewSettings & psGray) preview_->SetBackground(clGray);
    if (previewSettings & psLinearZoom) preview_->SetZoomFilter(rfLinear);
    if (previewSettings & psSelect) preview_->SetMouseInteract(miSelect);
    if (previewSettings & psAlpha) preview_->SetEnableAlphaChannel(true);
    if (previewSettings & psAutoShrink) preview_->SetAutoShrink(true);
    QWidget* w = preview_->Widget();
    w->setParent(this);
    w->setMinimumSize(120, 100);
    layout->addWidget(w, 1);
    proc_ = std::make_unique<TPixoranProc>();
    proc_->SetAutoUndo(false);
    proc_->SetAttachedPixoran(preview_.get());
    proc_->OnProgress = [this](pixoran::TObject*, int percent) {
      if (!PreviewProgressHook()) return;
      preview_->LockUpdate();
      PreviewProgressHook()(percent);
      preview_->UnlockUpdateNoPaint();
    };
  } else {
    proc_ = std::make_unique<TPixoranProc>();
  }
  controls_ = new QVBoxLayout;
  layout->addLayout(controls_);
  if (sizeable) {
    resize(clientWidth, clientHeight);
  } else {
    setFixedSize(clientWidth, clientHeight);
  }
}

TEffectForm::~TEffectForm() {
  // The component lets go of the viewer before the viewer goes.
  proc_.reset();
  preview_.reset();
}

void TEffectForm::CopyPicture(bool fillBackgroundFirst) {
  if (!preview_ || !mainView_) return;
  if (fillBackgroundFirst) preview_->FillWithBackground();
  preview_->GetPXBitmap()->Assign(mainView_->GetPXBitmap());
  preview_->Update();
  preview_->ImageChange();
  preview_->Invalidate();
}

QSlider* TEffectForm::AddTrackBar(const QString& label, int minimum, int maximum, int position, QLabel** valueLabel) {
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(label, this));
  auto* bar = new QSlider(Qt::Horizontal, this);
  // Qt's own default range is 0 to 99: every bar states its range.
  bar->setRange(minimum, maximum);
  bar->setValue(position);
  bar->setTickPosition(QSlider::TicksBelow);
  row->addWidget(bar, 1);
  if (valueLabel) {
    *valueLabel = new QLabel(QString::number(position), this);
    (*valueLabel)->setMinimumWidth(30);
    row->addWidget(*valueLabel);
  }
  controls_->addLayout(row);
  return bar;
}

QLineEdit* TEffectForm::AddEdit(const QString& label, const QString& text) {
  auto* row = new QHBoxLayout;
  row->addWidget(new QLabel(label, this));
  auto* edit = new QLineEdit(text, this);
  row->addWidget(edit, 1);
  controls_->addLayout(row);
  return edit;
}

QLabel* TEffectForm::AddLabel(const QString& text) {
  auto* l = new QLabel(text, this);
  controls_->addWidget(l);
  return l;
}

void TEffectForm::AddButtons(bool withPreview) {
  auto* row = new QHBoxLayout;
  row->addStretch(1);
  ok_ = new QPushButton(QStringLiteral("确定"), this);
  ok_->setDefault(true);
  row->addWidget(ok_);
  connect(ok_, &QPushButton::clicked, this, [this] { done(mrOk); });
  if (withPreview) {
    previewButton_ = new QPushButton(QStringLiteral("预览"), this);
    previewButton_->setAutoDefault(false);
    row->addWidget(previewButton_);
    connect(previewButton_, &QPushButton::clicked, this, [this] { RunGuarded(this, [this] { RunPreview(); }); });
  }
  cancel_ = new QPushButton(QStringLiteral("取消"), this);
  cancel_->setAutoDefault(false);
  row->addWidget(cancel_);
  connect(cancel_, &QPushButton::clicked, this, [this] { done(mrCancel); });
  controls_->addLayout(row);
}

}  // namespace tolvaren
