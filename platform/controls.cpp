#include "platform/controls.h"

#include <QApplication>
#include <QCoreApplication>
#include <QEnterEvent>
#include <QEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPaintEvent>
#include <QFocusEvent>
#include <QInputMethodEvent>
#include <QCursor>
#include <QPainter>
#include <QPointer>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
#include <QTimer>
#include <QWheelEvent>
#include <QWidget>
#include <algorithm>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif
#include <cmath>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>

namespace pixoran {

// ------------------------------------------------------------ message targets

// Which widget each posting name reaches. A worker thread looks the name up
// and posts under the lock; a widget leaves the table under the same lock
// before it dies, and Qt drops what was already queued for it, so a message
// never reaches a dead control.
namespace {
struct TTargetTable {
  std::mutex Lock;
  std::unordered_map<TMessageTarget, QWidget*> Widgets;
  TMessageTarget Next = 1;
};
TTargetTable& Targets() {
  static TTargetTable table;
  return table;
}

const QEvent::Type kPostedMessageEvent = static_cast<QEvent::Type>(QEvent::registerEventType());

class TPostedMessage : public QEvent {
 public:
  explicit TPostedMessage(const TMessage& m) : QEvent(kPostedMessageEvent), Message(m) {}
  TMessage Message;
};
}  // namespace

bool PostMessage(TMessageTarget target, uint32_t msg, intptr_t wParam, intptr_t lParam) {
  TTargetTable& t = Targets();
  std::lock_guard<std::mutex> guard(t.Lock);
  auto it = t.Widgets.find(target);
  if (it == t.Widgets.end()) return false;
  TMessage m;
  m.Msg = msg;
  m.WParam = wParam;
  m.LParam = lParam;
  QCoreApplication::postEvent(it->second, new TPostedMessage(m));  // Qt owns the event
  return true;
}

// ------------------------------------------------------------ the widget

static TShiftState ShiftOf(Qt::KeyboardModifiers mods, Qt::MouseButtons buttons) {
  TShiftState s = 0;
  if (mods & Qt::ShiftModifier) s |= ssShift;
  if (mods & Qt::AltModifier) s |= ssAlt;
  if (mods & Qt::ControlModifier) s |= ssCtrl;
  if (buttons & Qt::LeftButton) s |= ssLeft;
  if (buttons & Qt::RightButton) s |= ssRight;
  if (buttons & Qt::MiddleButton) s |= ssMiddle;
  return s;
}

static bool ButtonOf(Qt::MouseButton b, TMouseButton& out) {
  switch (b) {
    case Qt::LeftButton: out = mbLeft; return true;
    case Qt::RightButton: out = mbRight; return true;
    case Qt::MiddleButton: out = mbMiddle; return true;
    default: return false;
  }
}

// Virtual-key code of a Qt key; 0 for keys the controls do not know.
static int VirtualKeyOf(int key) {
  if (key >= Qt::Key_0 && key <= Qt::Key_9) return '0' + (key - Qt::Key_0);
  if (key >= Qt::Key_A && key <= Qt::Key_Z) return 'A' + (key - Qt::Key_A);
  if (key >= Qt::Key_F1 && key <= Qt::Key_F12) return vkF1 + (key - Qt::Key_F1);
  switch (key) {
    case Qt::Key_Backspace: return vkBack;
    case Qt::Key_Tab:
    case Qt::Key_Backtab: return vkTab;
    case Qt::Key_Return:
    case Qt::Key_Enter: return vkReturn;
    case Qt::Key_Shift: return vkShift;
    case Qt::Key_Control: return vkControl;
    case Qt::Key_Alt: return vkMenu;
    case Qt::Key_Escape: return vkEscape;
    case Qt::Key_Space: return vkSpace;
    case Qt::Key_PageUp: return vkPrior;
    case Qt::Key_PageDown: return vkNext;
    case Qt::Key_End: return vkEnd;
    case Qt::Key_Home: return vkHome;
    case Qt::Key_Left: return vkLeft;
    case Qt::Key_Up: return vkUp;
    case Qt::Key_Right: return vkRight;
    case Qt::Key_Down: return vkDown;
    case Qt::Key_Insert: return vkInsert;
    case Qt::Key_Delete: return vkDelete;
    default: return 0;
  }
}

int VirtualKeyFromQtKey(int qtKey) { return VirtualKeyOf(qtKey); }

// Hands the widget's events to its control. The control pointer is cleared
// before the control goes, so late events (hide, leave) find nobody.
class TControlWidget : public QWidget {
 public:
  TControlWidget(TWinControl* control, TMessageTarget target, QWidget* parent)
      : QWidget(parent), control_(control), target_(target) {
    setMouseTracking(true);  // moves without a button pressed, as controls expect
  }
  ~TControlWidget() override {
    TTargetTable& t = Targets();
    std::lock_guard<std::mutex> guard(t.Lock);
    t.Widgets.erase(target_);
  }
  void Detach() { control_ = nullptr; }
  bool Attached() const { return control_ != nullptr; }

  bool StartTimer(uint32_t id, uint32_t ms) {
    StopTimer(id);
    const int q = startTimer(static_cast<int>(std::min<uint32_t>(ms, 0x7FFFFFFF)));
    if (q == 0) return false;
    timers_[id] = q;
    return true;
  }
  void StopTimer(uint32_t id) {
    auto it = timers_.find(id);
    if (it == timers_.end()) return;
    killTimer(it->second);
    timers_.erase(it);
  }

 protected:
  bool event(QEvent* e) override {
    if (e->type() == kPostedMessageEvent) {
      if (control_) {
        TMessage m = static_cast<TPostedMessage*>(e)->Message;
        control_->HandleMessage(m);
      }
      return true;
    }
    if (control_ && (e->type() == QEvent::ShortcutOverride || e->type() == QEvent::KeyPress)) {
      // A key the control claims goes to it, not to shortcuts or to focus
      // navigation (which would take Tab before keyPressEvent).
      auto* k = static_cast<QKeyEvent*>(e);
      const int vk = VirtualKeyOf(k->key());
      if (vk != 0 && control_->Perform(cmWantSpecialKey, vk, 0) != 0) {
        if (e->type() == QEvent::ShortcutOverride) {
          e->accept();
          return true;
        }
        keyPressEvent(k);
        return true;
      }
    }
    return QWidget::event(e);
  }

  void paintEvent(QPaintEvent* e) override {
    if (!control_) return;
    control_->WindowNeeded();
    QPainter p(this);
    const QRect r = e->rect();
    control_->PaintWindow(p, Rect(r.left(), r.top(), r.right() + 1, r.bottom() + 1));
    PaintCorner(p);
    PaintFrame(p);
  }

  void resizeEvent(QResizeEvent*) override {
    if (!control_) return;
    control_->PlaceBars();
    control_->Resize();
  }

  void showEvent(QShowEvent*) override {
    if (control_) control_->WindowNeeded();
  }
  void focusInEvent(QFocusEvent* e) override {
    QWidget::focusInEvent(e);
    if (control_) control_->DoEnter();
  }
  void focusOutEvent(QFocusEvent* e) override {
    QWidget::focusOutEvent(e);
    if (control_) control_->DoExit();
  }

  void mousePressEvent(QMouseEvent* e) override { Press(e, false); }
  void mouseDoubleClickEvent(QMouseEvent* e) override { Press(e, true); }
  void mouseReleaseEvent(QMouseEvent* e) override {
    TMouseButton b;
    if (!control_ || !ButtonOf(e->button(), b)) return;
    const QPoint at = ClientPoint(e->position());
    control_->MouseUp(b, ShiftOf(e->modifiers(), e->buttons()), at.x(), at.y());
  }
  void mouseMoveEvent(QMouseEvent* e) override {
    if (!control_) return;
    const QPoint at = ClientPoint(e->position());
    control_->MouseMove(ShiftOf(e->modifiers(), e->buttons()), at.x(), at.y());
  }
  void enterEvent(QEnterEvent*) override {
    if (control_) control_->Perform(cmMouseEnter);
  }
  void leaveEvent(QEvent*) override {
    if (control_) control_->Perform(cmMouseLeave);
  }
  void wheelEvent(QWheelEvent* e) override {
    const int delta = e->angleDelta().y();
    if (!control_ || delta == 0) {
      e->ignore();
      return;
    }
    const QPoint at = ClientPoint(e->position());
    if (control_->MouseWheel(ShiftOf(e->modifiers(), e->buttons()), delta, at.x(), at.y())) e->accept();
    else e->ignore();
  }

  void keyPressEvent(QKeyEvent* e) override {
    if (!control_) return;
    int vk = VirtualKeyOf(e->key());
    const TShiftState shift = ShiftOf(e->modifiers(), Qt::NoButton);
    if (vk != 0) control_->KeyDown(vk, shift);
    // The typed text arrives as characters even when KeyDown took the key,
    // as with separate key-down and character messages.
    const QString text = e->text();
    for (char32_t c : text.toUcs4()) {
      if (!control_) break;
      control_->KeyPress(c);
    }
    e->accept();
  }
  void keyReleaseEvent(QKeyEvent* e) override {
    if (!control_) return;
    int vk = VirtualKeyOf(e->key());
    if (vk != 0) control_->KeyUp(vk, ShiftOf(e->modifiers(), Qt::NoButton));
    e->accept();
  }

  void inputMethodEvent(QInputMethodEvent* e) override {
    if (control_ && control_->InputMethodEnabled() && !e->commitString().isEmpty()) {
      const QList<uint> ucs = e->commitString().toUcs4();
      control_->InputMethodCommit(std::u32string(ucs.begin(), ucs.end()));
    }
    e->accept();
  }
  QVariant inputMethodQuery(Qt::InputMethodQuery query) const override {
    if (!control_ || !control_->InputMethodEnabled()) return QWidget::inputMethodQuery(query);
    const TWinControl::TInputMethodState st = control_->InputMethodState();
    const int f = control_->FrameWidth();
    switch (query) {
      case Qt::ImEnabled: return true;
      case Qt::ImCursorRectangle:
        return QRect(st.Caret.Left + f, st.Caret.Top + f, std::max(1, st.Caret.Width()),
                     std::max(1, st.Caret.Height()));
      case Qt::ImSurroundingText:
        return QString::fromUcs4(st.Surrounding.data(), static_cast<qsizetype>(st.Surrounding.size()));
      case Qt::ImCursorPosition: return Utf16Index(st.Surrounding, st.CaretPos);
      case Qt::ImAnchorPosition: return Utf16Index(st.Surrounding, st.AnchorPos);
      default: return QWidget::inputMethodQuery(query);
    }
  }

  void timerEvent(QTimerEvent* e) override {
    for (const auto& [id, q] : timers_) {
      if (q == e->timerId()) {
        if (control_) control_->Timer(id);
        return;
      }
    }
  }

 private:
  // Input methods count positions in UTF-16 units.
  static int Utf16Index(const std::u32string& s, int32_t codePoints) {
    int n = 0;
    for (int32_t i = 0; i < codePoints && i < static_cast<int32_t>(s.size()); ++i) n += s[i] > 0xFFFF ? 2 : 1;
    return n;
  }
  QPoint ClientPoint(QPointF p) const {
    const int f = control_ ? control_->FrameWidth() : 0;
    return QPoint(static_cast<int>(std::floor(p.x())) - f, static_cast<int>(std::floor(p.y())) - f);
  }

  void Press(QMouseEvent* e, bool dbl) {
    TMouseButton b;
    if (!control_ || !ButtonOf(e->button(), b)) return;
    if (control_->TabStop()) setFocus(Qt::MouseFocusReason);
    TShiftState shift = ShiftOf(e->modifiers(), e->buttons());
    if (dbl) {
      control_->DblClick();
      shift |= ssDouble;
    }
    const QPoint at = ClientPoint(e->position());
    control_->MouseDown(b, shift, at.x(), at.y());
  }

  // The square between two visible scroll bars.
  void PaintCorner(QPainter& p) {
    if (!control_->ScrollBarVisible(sbHorizontal) || !control_->ScrollBarVisible(sbVertical)) return;
    const int f = control_->FrameWidth();
    const int ext = style()->pixelMetric(QStyle::PM_ScrollBarExtent);
    const TColor c = ColorToRGB(clBtnFace);
    p.fillRect(QRect(width() - f - ext, height() - f - ext, ext, ext),
               QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF));
  }

  static QColor Q(TColor c) {
    c = ColorToRGB(c);
    return QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF);
  }

  // A line frame in the window-frame colour, or the sunken client edge:
  // shadow over dark shadow at the top and left, highlight over light at
  // the bottom and right.
  void PaintFrame(QPainter& p) {
    const int f = control_->FrameWidth();
    const int w = width(), h = height();
    if (f <= 0 || w <= 0 || h <= 0) return;
    auto box = [&](int inset, QColor topLeft, QColor bottomRight) {
      const int l = inset, t = inset, r = w - 1 - inset, b = h - 1 - inset;
      if (r < l || b < t) return;
      p.fillRect(QRect(l, t, r - l + 1, 1), topLeft);
      p.fillRect(QRect(l, t, 1, b - t + 1), topLeft);
      p.fillRect(QRect(l, b, r - l + 1, 1), bottomRight);
      p.fillRect(QRect(r, t, 1, b - t + 1), bottomRight);
    };
    if (f == 1) {
      box(0, Q(clBlack), Q(clBlack));
    } else {
      box(0, Q(clBtnShadow), Q(clBtnHighlight));
      box(1, Q(0x404040), Q(clBtnFace));
    }
  }

  TWinControl* control_;
  TMessageTarget target_;
  std::map<uint32_t, int> timers_;  // our timer id -> Qt's
};

// ------------------------------------------------------------ cursors

namespace {
Qt::CursorShape ShapeOf(TCursorShape s) {
  static const Qt::CursorShape kShapes[] = {
      Qt::ArrowCursor,     Qt::CrossCursor,        Qt::IBeamCursor,     Qt::WaitCursor,       Qt::BusyCursor,
      Qt::ForbiddenCursor, Qt::PointingHandCursor, Qt::OpenHandCursor,  Qt::ClosedHandCursor, Qt::SizeAllCursor,
      Qt::SizeHorCursor,   Qt::SizeVerCursor,      Qt::SizeFDiagCursor, Qt::SizeBDiagCursor,  Qt::WhatsThisCursor,
      Qt::UpArrowCursor,   Qt::BlankCursor,        Qt::DragCopyCursor,  Qt::DragMoveCursor,   Qt::DragLinkCursor};
  const auto i = static_cast<size_t>(s);
  return i < sizeof(kShapes) / sizeof(kShapes[0]) ? kShapes[i] : Qt::ArrowCursor;
}

// One table from cursor number to shape: the standard numbers, then what
// programs register. UI thread only, like the controls that read it.
std::map<TCursor, TCursorShape>& CursorTable() {
  static std::map<TCursor, TCursorShape> table = {{crDefault, cshArrow},
                                                  {crNone, cshBlank},
                                                  {crArrow, cshArrow},
                                                  {crCross, cshCross},
                                                  {crIBeam, cshIBeam},
                                                  {crSizeNESW, cshSizeBDiag},
                                                  {crSizeNS, cshSizeVer},
                                                  {crSizeNWSE, cshSizeFDiag},
                                                  {crSizeWE, cshSizeHor},
                                                  {crUpArrow, cshUpArrow},
                                                  {crHourGlass, cshWait},
                                                  {crDrag, cshDragMove},
                                                  {crNoDrop, cshForbidden},
                                                  {crHSplit, cshSizeHor},
                                                  {crVSplit, cshSizeVer},
                                                  {crNo, cshForbidden},
                                                  {crAppStart, cshBusy},
                                                  {crHelp, cshWhatsThis},
                                                  {crHandPoint, cshPointingHand},
                                                  {crSizeAll, cshSizeAll}};
  return table;
}
}  // namespace

void SetScreenCursor(TCursor id, TCursorShape shape) {
  if (id <= 0) return;
  CursorTable()[id] = shape;
}

bool ScreenCursorRegistered(TCursor id) { return CursorTable().count(id) != 0; }

static QCursor QtCursorOf(TCursor id) {
  const auto& t = CursorTable();
  auto it = t.find(id);
  return QCursor(ShapeOf(it == t.end() ? cshArrow : it->second));
}

void SetOverrideCursor(TCursor id) {
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) QGuiApplication::setOverrideCursor(QtCursorOf(id));
}

void RestoreOverrideCursor() {
  if (qobject_cast<QGuiApplication*>(QCoreApplication::instance())) QGuiApplication::restoreOverrideCursor();
}

// ------------------------------------------------------------ TWinControl

// The widget is a Qt child of the parent control's widget, so Qt may free
// it first when the parent goes; the guarded pointers notice that.
struct TWinControl::TWidgets {
  QPointer<TControlWidget> Widget;
  QPointer<QScrollBar> Bars[2];  // children of Widget, made when first shown
  ~TWidgets() {
    if (Widget) {
      Widget->Detach();
      delete Widget.data();  // takes its scroll bars with it
    }
  }
};

static QWidget* WidgetOf(TWinControl* c) { return c ? c->Widget() : nullptr; }

TWinControl::TWinControl(TComponent* owner, TWinControl* parent)
    : TComponent(owner), parent_(parent), qt_(std::make_unique<TWidgets>()) {
  TTargetTable& t = Targets();
  {
    std::lock_guard<std::mutex> guard(t.Lock);
    target_ = t.Next++;
  }
  auto* w = new TControlWidget(this, target_, WidgetOf(parent));  // freed by TWidgets or by its Qt parent
  qt_->Widget = w;
  std::lock_guard<std::mutex> guard(t.Lock);
  t.Widgets[target_] = w;
}

TWinControl::~TWinControl() {
  // No handler of a derived class may run from here on: the widget forgets
  // us before it (and its pending messages) go.
  if (qt_->Widget) qt_->Widget->Detach();
}

QWidget* TWinControl::Widget() const { return qt_->Widget.data(); }

void TWinControl::SetParent(TWinControl* parent) {
  parent_ = parent;
  if (QWidget* w = Widget()) w->setParent(WidgetOf(parent));
}

bool TWinControl::HandleAllocated() const {
  QWidget* w = Widget();
  return w && w->internalWinId() != 0;
}

uintptr_t TWinControl::Handle() {
  WindowNeeded();
  QWidget* w = Widget();
  return w ? static_cast<uintptr_t>(w->winId()) : 0;
}

void TWinControl::WindowNeeded() {
  if (windowCreated_) return;
  windowCreated_ = true;
  ApplyParams();
}

void TWinControl::RecreateWnd() {
  if (windowCreated_) ApplyParams();
}

void TWinControl::AdjustWindowStyle(TCreateParams&) {}

void TWinControl::ApplyParams() {
  TCreateParams params;
  AdjustWindowStyle(params);
  frameWidth_ = (params.ExStyle & wsExClientEdge) ? 2 : (params.Style & wsBorder) ? 1 : 0;
  if (QWidget* w = Widget()) {
    w->setAttribute(Qt::WA_StaticContents, (params.WindowClassStyle & (wcsHRedraw | wcsVRedraw)) == 0);
    w->update();
  }
  PlaceBars();
}

void TWinControl::SetControlStyle(TControlStyle style) {
  controlStyle_ = style;
  if (QWidget* w = Widget()) {
    const bool opaque = (style & csOpaque) != 0;
    w->setAttribute(Qt::WA_OpaquePaintEvent, opaque);
    w->setAttribute(Qt::WA_NoSystemBackground, opaque);
  }
}

void TWinControl::SetCtl3D(bool value) {
  parentCtl3D_ = false;
  ctl3D_ = value;
}

void TWinControl::SetParentCtl3D(bool value) {
  parentCtl3D_ = value;
  if (value && parent_) ctl3D_ = parent_->Ctl3D();
}

void TWinControl::SetColor(TColor color) {
  if (color == color_) return;
  color_ = color;
  Invalidate();
}

int TWinControl::Left() const { return Widget() ? Widget()->x() : 0; }
int TWinControl::Top() const { return Widget() ? Widget()->y() : 0; }
int TWinControl::Width() const { return Widget() ? Widget()->width() : 0; }
int TWinControl::Height() const { return Widget() ? Widget()->height() : 0; }

void TWinControl::SetBounds(int left, int top, int width, int height) {
  QWidget* w = Widget();
  if (!w) return;
  const QSize before = w->size();
  w->setGeometry(left, top, std::max(width, 0), std::max(height, 0));
  PlaceBars();
  // Qt holds back the resize event of a hidden widget until it is shown;
  // a control learns of its size at once, so layout can run before showing.
  if (w->testAttribute(Qt::WA_PendingResizeEvent)) {
    w->setAttribute(Qt::WA_PendingResizeEvent, false);
    if (w->size() != before) Resize();
  }
}

void TWinControl::MoveWindow(int left, int top) {
  if (QWidget* w = Widget()) w->move(left, top);
}

static int BarExtent(QWidget* w) { return w ? w->style()->pixelMetric(QStyle::PM_ScrollBarExtent) : 0; }

int TWinControl::ClientWidth() {
  WindowNeeded();
  const int bar = bars_[sbVertical].Visible ? BarExtent(Widget()) : 0;
  return std::max(0, Width() - 2 * frameWidth_ - bar);
}

int TWinControl::ClientHeight() {
  WindowNeeded();
  const int bar = bars_[sbHorizontal].Visible ? BarExtent(Widget()) : 0;
  return std::max(0, Height() - 2 * frameWidth_ - bar);
}

TRect TWinControl::ClientRect() { return Rect(0, 0, ClientWidth(), ClientHeight()); }

bool TWinControl::Visible() const {
  QWidget* w = Widget();
  return w && !w->isHidden();
}

void TWinControl::SetVisible(bool visible) {
  if (QWidget* w = Widget()) {
    if (visible) WindowNeeded();
    w->setVisible(visible);
  }
}

void TWinControl::Invalidate() {
  if (QWidget* w = Widget()) w->update();
}

void TWinControl::InvalidateRect(const TRect& r) {
  QWidget* w = Widget();
  if (!w || r.Width() <= 0 || r.Height() <= 0) return;
  w->update(QRect(r.Left + frameWidth_, r.Top + frameWidth_, r.Width(), r.Height()));
}

void TWinControl::SetCursor(TCursor cursor) {
  cursor_ = cursor;
  if (QWidget* w = Widget()) w->setCursor(QtCursorOf(cursor));
}

void TWinControl::Update() {
  QWidget* w = Widget();
  if (w && w->isVisible()) w->repaint();
}

void TWinControl::Repaint() {
  Invalidate();
  TWinControl::Update();
}

void TWinControl::SetTabStop(bool value) {
  tabStop_ = value;
  if (QWidget* w = Widget()) w->setFocusPolicy(value ? Qt::StrongFocus : Qt::NoFocus);
}

void TWinControl::SetFocus() {
  if (QWidget* w = Widget()) w->setFocus(Qt::OtherFocusReason);
}

bool TWinControl::Focused() const {
  QWidget* w = Widget();
  return w && w->hasFocus();
}

bool TWinControl::SetTimer(uint32_t id, uint32_t intervalMs) {
  return qt_->Widget ? qt_->Widget->StartTimer(id, intervalMs) : false;
}

void TWinControl::KillTimer(uint32_t id) {
  if (qt_->Widget) qt_->Widget->StopTimer(id);
}

intptr_t TWinControl::Perform(uint32_t msg, intptr_t wParam, intptr_t lParam) {
  TMessage m;
  m.Msg = msg;
  m.WParam = wParam;
  m.LParam = lParam;
  HandleMessage(m);
  return m.Result;
}

void TWinControl::SetInputMethodEnabled(bool value) {
  imEnabled_ = value;
  if (QWidget* w = Widget()) w->setAttribute(Qt::WA_InputMethodEnabled, value);
}

void TWinControl::HandleMessage(TMessage& message) {
  switch (message.Msg) {
    case cmMouseEnter: MouseEnter(); break;
    case cmMouseLeave: MouseLeave(); break;
    default: break;
  }
}

void TWinControl::PaintWindow(QPainter& painter, const TRect&) {
  const TColor c = ColorToRGB(color_);
  painter.fillRect(QRect(frameWidth_, frameWidth_, ClientWidth(), ClientHeight()),
                   QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF));
}

static int64_t HighestPos(const TScrollInfo& i) {
  return std::max<int64_t>(i.Min, static_cast<int64_t>(i.Max) - std::max(i.Page - 1, 0));
}

void TWinControl::ClampPos(TBarState& s) {
  s.Info.Pos = static_cast<int32_t>(std::clamp<int64_t>(s.Info.Pos, s.Info.Min, HighestPos(s.Info)));
}

void TWinControl::SyncBar(TScrollBarKind bar) {
  QScrollBar* b = qt_->Bars[bar];
  if (!b) return;
  const TBarState& s = bars_[bar];
  b->setRange(s.Info.Min, static_cast<int>(HighestPos(s.Info)));
  b->setPageStep(std::max(s.Info.Page, 1));
  b->setValue(s.Info.Pos);
  b->setEnabled(s.Enabled);
  b->setVisible(s.Visible);
}

// The horizontal bar along the bottom edge, the vertical one along the
// right, both inside the frame.
void TWinControl::PlaceBars() {
  QWidget* w = Widget();
  if (!w) return;
  const int extent = BarExtent(w);
  const int f = frameWidth_;
  const int width = w->width() - 2 * f, height = w->height() - 2 * f;
  const bool hv = bars_[sbHorizontal].Visible, vv = bars_[sbVertical].Visible;
  if (QScrollBar* b = qt_->Bars[sbHorizontal])
    b->setGeometry(f, f + height - extent, std::max(0, width - (vv ? extent : 0)), extent);
  if (QScrollBar* b = qt_->Bars[sbVertical])
    b->setGeometry(f + width - extent, f, extent, std::max(0, height - (hv ? extent : 0)));
}

void TWinControl::SetScrollRange(TScrollBarKind bar, int32_t min, int32_t max, bool) {
  TBarState& s = bars_[bar];
  s.Info.Min = min;
  s.Info.Max = std::max(min, max);
  ClampPos(s);
  SyncBar(bar);
}

void TWinControl::SetScrollInfo(TScrollBarKind bar, const TScrollInfo& info, bool) {
  TBarState& s = bars_[bar];
  if (info.Mask & sifRange) {
    s.Info.Min = info.Min;
    s.Info.Max = std::max(info.Min, info.Max);
  }
  if (info.Mask & sifPage) s.Info.Page = std::max(info.Page, 0);
  if (info.Mask & sifPos) s.Info.Pos = info.Pos;
  if (info.Mask & sifTrackPos) s.Info.TrackPos = info.TrackPos;
  ClampPos(s);
  SyncBar(bar);
}

TScrollInfo TWinControl::GetScrollInfo(TScrollBarKind bar) const {
  TScrollInfo i = bars_[bar].Info;
  i.Mask = sifAll;
  return i;
}

void TWinControl::SetScrollPos(TScrollBarKind bar, int32_t pos, bool) {
  TBarState& s = bars_[bar];
  s.Info.Pos = pos;
  ClampPos(s);
  SyncBar(bar);
}

void TWinControl::EnableScrollBar(TScrollBarKind bar, bool enable) {
  bars_[bar].Enabled = enable;
  SyncBar(bar);
}

void TWinControl::ShowScrollBar(TScrollBarKind bar, bool show) {
  bars_[bar].Visible = show;
  QWidget* w = Widget();
  if (show && !qt_->Bars[bar] && w) {
    auto* b = new QScrollBar(bar == sbHorizontal ? Qt::Horizontal : Qt::Vertical, w);
    qt_->Bars[bar] = b;
    // The control is alive while its widget (the bar's parent) is attached;
    // the connections end with the bar.
    QObject::connect(b, &QAbstractSlider::actionTriggered, b, [this, bar](int action) { BarAction(bar, action); });
    QObject::connect(b, &QAbstractSlider::sliderReleased, b, [this, bar] { BarReleased(bar); });
  }
  SyncBar(bar);
  PlaceBars();
}

// Qt has moved the bar's slider by the user's action (the value follows
// once this returns): the control's position takes it first, then the
// handler may place the bar elsewhere, and the bar ends where the control's
// position says.
void TWinControl::BarAction(TScrollBarKind bar, int action) {
  QScrollBar* b = qt_->Bars[bar];
  if (!b || !qt_->Widget || !qt_->Widget->Attached()) return;
  TScrollCode code;
  switch (action) {
    case QAbstractSlider::SliderSingleStepAdd: code = scLineDown; break;
    case QAbstractSlider::SliderSingleStepSub: code = scLineUp; break;
    case QAbstractSlider::SliderPageStepAdd: code = scPageDown; break;
    case QAbstractSlider::SliderPageStepSub: code = scPageUp; break;
    case QAbstractSlider::SliderToMinimum: code = scTop; break;
    case QAbstractSlider::SliderToMaximum: code = scBottom; break;
    case QAbstractSlider::SliderMove: code = scThumbTrack; break;
    default: return;
  }
  TBarState& st = bars_[bar];
  const int32_t pos = b->sliderPosition();
  if (code == scThumbTrack) {
    st.Info.TrackPos = pos;
  }
  st.Info.Pos = pos;
  ClampPos(st);
  Scroll(bar, code, pos);
  if (QScrollBar* again = qt_->Bars[bar]) again->setSliderPosition(bars_[bar].Info.Pos);
}

void TWinControl::BarReleased(TScrollBarKind bar) {
  QScrollBar* b = qt_->Bars[bar];
  if (!b || !qt_->Widget || !qt_->Widget->Attached()) return;
  const int32_t pos = b->sliderPosition();
  bars_[bar].Info.Pos = pos;
  ClampPos(bars_[bar]);
  Scroll(bar, scThumbPosition, pos);
  Scroll(bar, scEndScroll, bars_[bar].Info.Pos);
}

// ------------------------------------------------------------ TCustomControl

TCustomControl::TCustomControl(TComponent* owner, TWinControl* parent)
    : TWinControl(owner, parent), backBuffer_(std::make_unique<TBitmap>()), screen_(std::make_unique<TBitmap>()) {
  backBuffer_->SetPixelFormat(pf24bit);
  screen_->SetPixelFormat(pf32bit);
}

TCustomControl::~TCustomControl() = default;

namespace {

// One row, portable: blue, green, red bytes read little-endian are already
// 0x00RRGGBB, so four pixels come from three words.
void RowTo32(const uint8_t* __restrict s, uint32_t* __restrict d, int n) {
  int x = 0;
  for (; x + 4 <= n; x += 4, s += 12) {
    uint32_t w0, w1, w2;
    std::memcpy(&w0, s, 4);
    std::memcpy(&w1, s + 4, 4);
    std::memcpy(&w2, s + 8, 4);
    d[x] = 0xFF000000u | w0;
    d[x + 1] = 0xFF000000u | (w0 >> 24) | (w1 << 8);
    d[x + 2] = 0xFF000000u | (w1 >> 16) | (w2 << 16);
    d[x + 3] = 0xFF000000u | (w2 >> 8);
  }
  for (; x < n; ++x, s += 3) d[x] = 0xFF000000u | (uint32_t{s[2]} << 16) | (uint32_t{s[1]} << 8) | s[0];
}

#if defined(__x86_64__) || defined(__i386__)
// The same with a byte shuffle: four pixels per 16-byte load.
__attribute__((target("ssse3"))) void RowTo32Shuffle(const uint8_t* __restrict s, uint32_t* __restrict d, int n) {
  const __m128i spread = _mm_setr_epi8(0, 1, 2, -1, 3, 4, 5, -1, 6, 7, 8, -1, 9, 10, 11, -1);
  const __m128i alpha = _mm_set1_epi32(static_cast<int>(0xFF000000u));
  int x = 0;
  // Each load reads 16 bytes for 12 used: stop while 4 spare bytes remain.
  for (; x + 6 <= n; x += 4, s += 12) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(d + x), _mm_or_si128(_mm_shuffle_epi8(v, spread), alpha));
  }
  RowTo32(s, d + x, n - x);
}
#endif

using TRowTo32 = void (*)(const uint8_t*, uint32_t*, int);
TRowTo32 PickRowTo32() {
#if defined(__x86_64__) || defined(__i386__)
  if (__builtin_cpu_supports("ssse3")) return RowTo32Shuffle;
#endif
  return RowTo32;
}

}  // namespace

void CopyRect24To32(const TBitmap& source, TBitmap& dest, const TRect& r) {
  static const TRowTo32 rowTo32 = PickRowTo32();
  const int l = std::max(r.Left, 0), t = std::max(r.Top, 0);
  const int rr = std::min({r.Right, source.Width(), dest.Width()});
  const int b = std::min({r.Bottom, source.Height(), dest.Height()});
  if (rr <= l || b <= t || source.PixelFormat() != pf24bit || dest.PixelFormat() != pf32bit) return;
  for (int y = t; y < b; ++y)
    rowTo32(source.ScanLine(y) + 3 * static_cast<size_t>(l), reinterpret_cast<uint32_t*>(dest.ScanLine(y)) + l, rr - l);
}

void TCustomControl::PaintWindow(QPainter& painter, const TRect& area) {
  const int cw = ClientWidth(), ch = ClientHeight();
  if (cw <= 0 || ch <= 0) return;
  const int f = FrameWidth();
  backBuffer_->SetPixelFormat(pf24bit);
  backBuffer_->SetSize(cw, ch);
  screen_->SetSize(cw, ch);
  if (backBuffer_->Empty() || screen_->Empty()) {  // no memory for the buffers: at least cover the area
    const TColor c = ColorToRGB(Color());
    painter.fillRect(QRect(f, f, cw, ch), QColor(c & 0xFF, (c >> 8) & 0xFF, (c >> 16) & 0xFF));
    return;
  }
  // The painted area in client coordinates, cut to the client.
  TRect r = Rect(std::max(area.Left - f, 0), std::max(area.Top - f, 0), std::min(area.Right - f, cw),
                 std::min(area.Bottom - f, ch));
  if (r.Width() <= 0 || r.Height() <= 0) return;
  paintRect_ = r;
  Paint();
  CopyRect24To32(*backBuffer_, *screen_, paintRect_);
  TCanvas& wc = screen_->Canvas();
  wc.SetClipRect(&paintRect_);
  PaintWindowOverlay();
  wc.SetClipRect(nullptr);
  // The copy is opaque: a plain copy, no blending.
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  painter.drawImage(QPoint(f + paintRect_.Left, f + paintRect_.Top), screen_->Image(),
                    QRect(paintRect_.Left, paintRect_.Top, paintRect_.Width(), paintRect_.Height()));
}

int ScrollBarThickness() {
  if (!qobject_cast<QApplication*>(QCoreApplication::instance())) return 16;
  return QApplication::style()->pixelMetric(QStyle::PM_ScrollBarExtent);
}

}  // namespace pixoran
