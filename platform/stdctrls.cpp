#include "platform/stdctrls.h"

#include <QFont>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPalette>
#include <QWidget>

namespace pixoran {

namespace {
TShiftState ShiftOfModifiers(Qt::KeyboardModifiers m) {
  TShiftState s = 0;
  if (m & Qt::ShiftModifier) s |= ssShift;
  if (m & Qt::ControlModifier) s |= ssCtrl;
  if (m & Qt::AltModifier) s |= ssAlt;
  return s;
}
QColor Q(TColor c) {
  c = ColorToRGB(c);
  return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
}
QFont ToQ(const TFont& f) {
  QFont q(QString::fromStdString(f.Name));
  if (f.Height > 0) q.setPixelSize(f.Height);
  else q.setPointSize(std::max(1, f.Size));
  q.setBold(f.Bold);
  q.setItalic(f.Italic);
  q.setUnderline(f.Underline);
  q.setStrikeOut(f.StrikeOut);
  return q;
}
}  // namespace

// Routes the line edit's keys through the control first.
class TEdit::TFilter : public QObject {
 public:
  explicit TFilter(TEdit* owner) : owner_(owner) {}
  TEdit* owner_;

 protected:
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (e->type() != QEvent::ShortcutOverride && e->type() != QEvent::KeyPress) return false;
    auto* k = static_cast<QKeyEvent*>(e);
    int vk = VirtualKeyFromQtKey(k->key());
    if (e->type() == QEvent::ShortcutOverride) {
      if (vk != 0 && owner_->WantsKey(vk)) {
        e->accept();
        return true;
      }
      return false;
    }
    const bool wanted = vk != 0 && owner_->WantsKey(vk);
    if (vk != 0) {
      owner_->KeyDown(vk, ShiftOfModifiers(k->modifiers()));
      if (vk == 0) return true;
    }
    const QList<uint> chars = k->text().toUcs4();
    for (uint u : chars) {
      char32_t c = u;
      owner_->KeyPress(c);
      if (c == 0) return true;
    }
    // The edit has no use for Tab; keep it from moving the focus.
    if (wanted && vk == vkTab) return true;
    (void)watched;
    return false;
  }
};

TEdit::TEdit(TComponent* owner, TWinControl* parent) : TWinControl(owner, parent) {
  QWidget* w = Widget();
  edit_ = new QLineEdit(w);  // freed with the control's widget
  filter_ = new TFilter(this);
  filter_->setParent(edit_);
  edit_->installEventFilter(filter_);
  w->setFocusProxy(edit_);
  edit_->setGeometry(0, 0, w->width(), w->height());
  QObject::connect(edit_, &QLineEdit::textChanged, edit_, [this](const QString&) {
    if (OnChange) OnChange(this);
  });
  SetTabStop(true);
}

TEdit::~TEdit() {
  if (edit_) edit_->removeEventFilter(filter_);
}

std::string TEdit::Text() const { return edit_->text().toStdString(); }

void TEdit::SetText(const std::string& utf8) {
  edit_->setText(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
}

void TEdit::SetFont(const TFont& font) {
  font_ = font;
  edit_->setFont(ToQ(font));
  QPalette p = edit_->palette();
  p.setColor(QPalette::Text, Q(font.Color));
  edit_->setPalette(p);
}

void TEdit::SetEditColor(TColor color) {
  editColor_ = color;
  QPalette p = edit_->palette();
  p.setColor(QPalette::Base, Q(color));
  edit_->setPalette(p);
}

void TEdit::SetBorderStyle(TBorderStyle style) { edit_->setFrame(style != bsNone); }

void TEdit::Undo() { edit_->undo(); }

int TEdit::TextWidth(const std::string& utf8) const {
  return QFontMetrics(edit_->font())
      .horizontalAdvance(QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size())));
}

void TEdit::KeyDown(int& key, TShiftState shift) {
  if (OnKeyDown) OnKeyDown(this, key, shift);
}

void TEdit::Resize() { edit_->setGeometry(0, 0, Widget()->width(), Widget()->height()); }

}  // namespace pixoran
