#include "app/Uresize.h"

#include <QEvent>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/kopxutils_bitmap.h"
#include "view/pixoranview.h"

namespace tolvaren {

TfrmResize::TfrmResize(TPixoranView* mainView, QWidget* parent)
    : TEffectForm(mainView, QStringLiteral("改变大小"), 371, 160, false, 0, parent) {
  const int w = mainView ? mainView->GetPXBitmap()->Width() : 0;
  const int h = mainView ? mainView->GetPXBitmap()->Height() : 0;
  auto* grid = new QGridLayout;
  grid->addWidget(new QLabel(QStringLiteral("图片原始大小："), this), 0, 0);
  LabelW = new QLabel(QString::number(w), this);
  LabelH = new QLabel(QString::number(h), this);
  grid->addWidget(LabelW, 0, 1);
  grid->addWidget(new QLabel(QStringLiteral("×"), this), 0, 2);
  grid->addWidget(LabelH, 0, 3);
  grid->addWidget(new QLabel(QStringLiteral("改变大小为："), this), 1, 0);
  grid->addWidget(new QLabel(QStringLiteral("图片宽："), this), 2, 0);
  Edit1 = new QLineEdit(this);
  grid->addWidget(Edit1, 2, 1);
  grid->addWidget(new QLabel(QStringLiteral("图片高："), this), 2, 2);
  Edit2 = new QLineEdit(this);
  grid->addWidget(Edit2, 2, 3);
  ControlsLayout()->addLayout(grid);
  AddLabel(QStringLiteral("注意：图片将自动保持长宽比例。"));
  AddButtons(false);
  Edit1->installEventFilter(this);
  Edit2->installEventFilter(this);
}

bool TfrmResize::eventFilter(QObject* watched, QEvent* event) {
  // Only a key that changed the text runs the aspect lock: Enter, Esc, Tab
  // or Shift (closing the conversion error's message among them) would
  // otherwise raise that error again at once.
  if (event->type() == QEvent::KeyRelease) {
    if (watched == Edit1 && Edit1->text() != seen1_) RunGuarded(this, [this] { Edit1KeyUp(); });
    if (watched == Edit2 && Edit2->text() != seen2_) RunGuarded(this, [this] { Edit2KeyUp(); });
  }
  return TEffectForm::eventFilter(watched, event);
}

namespace {
// Trunc(numerator / denominator x typed), kept within int32; nothing is
// written when the picture has no size to keep the aspect of.
void FollowAspect(QLineEdit& typed, QLineEdit& other, const QLabel& numerator, const QLabel& denominator) {
  if (typed.text().isEmpty()) return;
  const double num = StrToInt(numerator.text()), den = StrToInt(denominator.text());
  const double v = StrToInt(typed.text());
  if (den == 0) return;
  const double r = std::trunc(num / den * v);
  const double lim = std::numeric_limits<int32_t>::max();
  other.setText(QString::number(static_cast<int64_t>(std::clamp(r, -lim, lim))));
}
}  // namespace

void TfrmResize::Edit1KeyUp() {
  // Seen before the conversion, which may raise.
  seen1_ = Edit1->text();
  FollowAspect(*Edit1, *Edit2, *LabelH, *LabelW);
  seen2_ = Edit2->text();
}

void TfrmResize::Edit2KeyUp() {
  seen2_ = Edit2->text();
  FollowAspect(*Edit2, *Edit1, *LabelW, *LabelH);
  seen1_ = Edit1->text();
}

}  // namespace tolvaren
