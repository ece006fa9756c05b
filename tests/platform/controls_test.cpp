// Control base: window parameters and frames, painting through the back
// buffer, mouse, keys, wheel, timers and messages posted from other threads.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEnterEvent>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPixmap>
#include <QStyle>
#include <QThread>
#include <QWheelEvent>
#include <QWidget>
#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/controls.h"
#include "testsupport.h"

using namespace pixoran;

namespace {

constexpr uint32_t kTestMessage = 0x1F58;

// Records what reaches it.
class TProbe : public TCustomControl {
 public:
  using TCustomControl::TCustomControl;

  uint32_t Style = 0, ExStyle = 0;
  int Adjusts = 0, Paints = 0, Resizes = 0;
  std::vector<std::string> Events;
  std::vector<std::pair<intptr_t, intptr_t>> Messages;
  std::vector<uint32_t> Timers;
  std::set<intptr_t> Wanted;  // keys claimed through cmWantSpecialKey
  bool WheelHandled = true;

 protected:
  void AdjustWindowStyle(TCreateParams& p) override {
    TCustomControl::AdjustWindowStyle(p);
    p.Style |= Style;
    p.ExStyle |= ExStyle;
    ++Adjusts;
  }
  void Paint() override {
    ++Paints;
    Canvas().Brush.Color = clBlue;
    Canvas().FillRect(Rect(0, 0, ClientWidth(), ClientHeight()));
    Canvas().Brush.Color = clRed;
    Canvas().FillRect(Rect(1, 1, 3, 2));
  }
  void HandleMessage(TMessage& m) override {
    if (m.Msg == kTestMessage) {
      Messages.emplace_back(m.WParam, m.LParam);
      m.Result = 7;
      return;
    }
    if (m.Msg == cmWantSpecialKey) {
      m.Result = Wanted.count(m.WParam) ? 1 : 0;
      return;
    }
    TCustomControl::HandleMessage(m);
  }
  static std::string S(TShiftState s) {
    std::string out;
    if (s & ssShift) out += "S";
    if (s & ssCtrl) out += "C";
    if (s & ssAlt) out += "A";
    if (s & ssLeft) out += "l";
    if (s & ssRight) out += "r";
    if (s & ssDouble) out += "d";
    return out;
  }
  void MouseDown(TMouseButton b, TShiftState s, int x, int y) override {
    Events.push_back("down" + std::to_string(b) + S(s) + "@" + std::to_string(x) + "," + std::to_string(y));
  }
  void MouseMove(TShiftState s, int x, int y) override {
    Events.push_back("move" + S(s) + "@" + std::to_string(x) + "," + std::to_string(y));
  }
  void MouseUp(TMouseButton b, TShiftState s, int x, int y) override {
    Events.push_back("up" + std::to_string(b) + S(s) + "@" + std::to_string(x) + "," + std::to_string(y));
  }
  void DblClick() override { Events.push_back("dbl"); }
  void MouseEnter() override { Events.push_back("enter"); }
  void MouseLeave() override { Events.push_back("leave"); }
  bool MouseWheel(TShiftState s, int delta, int x, int y) override {
    Events.push_back("wheel" + std::to_string(delta) + S(s) + "@" + std::to_string(x) + "," + std::to_string(y));
    return WheelHandled;
  }
  void KeyDown(int& key, TShiftState s) override { Events.push_back("kd" + std::to_string(key) + S(s)); }
  void KeyUp(int& key, TShiftState) override { Events.push_back("ku" + std::to_string(key)); }
  void KeyPress(char32_t& key) override { Events.push_back(std::string("kp") + static_cast<char>(key)); }
  void Timer(uint32_t id) override { Timers.push_back(id); }
  void Resize() override { ++Resizes; }
};

void Send(TWinControl& c, QEvent& e) { QCoreApplication::sendEvent(c.Widget(), &e); }

void Mouse(TWinControl& c, QEvent::Type t, QPointF at, Qt::MouseButton b, Qt::MouseButtons bs,
           Qt::KeyboardModifiers m = Qt::NoModifier) {
  QMouseEvent e(t, at, c.Widget()->mapToGlobal(at), b, bs, m);
  Send(c, e);
}

// Runs the event loop until done() or the time is up.
using pixoran::testing::PumpUntil;

int Extent(TWinControl& c) { return c.Widget()->style()->pixelMetric(QStyle::PM_ScrollBarExtent); }

}  // namespace

TEST(Controls, WindowParametersFrameAndClientArea) {
  TProbe p;
  p.ExStyle = wsExClientEdge;
  p.SetBounds(0, 0, 40, 30);
  p.RecreateWnd();  // not created yet: nothing to recreate
  EXPECT_EQ(p.Adjusts, 0);
  EXPECT_FALSE(p.WindowCreated());
  EXPECT_EQ(p.ClientWidth(), 36);
  EXPECT_TRUE(p.WindowCreated());
  EXPECT_EQ(p.Adjusts, 1);
  EXPECT_EQ(p.FrameWidth(), 2);
  EXPECT_EQ(p.ClientHeight(), 26);
  p.ShowScrollBar(sbVertical, true);
  EXPECT_EQ(p.ClientWidth(), 36 - Extent(p));
  p.ShowScrollBar(sbHorizontal, true);
  EXPECT_EQ(p.ClientRect().Bottom, 26 - Extent(p));

  p.ExStyle = 0;
  p.Style = wsBorder;
  p.RecreateWnd();
  EXPECT_EQ(p.Adjusts, 2);
  EXPECT_EQ(p.FrameWidth(), 1);
  p.Style = 0;
  p.RecreateWnd();
  EXPECT_EQ(p.FrameWidth(), 0);
  p.WindowNeeded();  // already created: taken once only
  EXPECT_EQ(p.Adjusts, 3);

  // Opaque controls tell Qt not to erase under them.
  p.SetControlStyle(csOpaque);
  EXPECT_TRUE(p.Widget()->testAttribute(Qt::WA_OpaquePaintEvent));
  p.SetControlStyle(0);
  EXPECT_FALSE(p.Widget()->testAttribute(Qt::WA_OpaquePaintEvent));

  // Ctl3D follows the parent while ParentCtl3D is on.
  TWinControl parent;
  parent.SetCtl3D(false);
  EXPECT_FALSE(parent.ParentCtl3D());
  TWinControl child(nullptr, &parent);
  EXPECT_TRUE(child.Ctl3D());
  child.SetParentCtl3D(true);
  EXPECT_FALSE(child.Ctl3D());
}

TEST(Controls, PaintsThroughTheBackBufferInsideTheFrame) {
  TProbe p;
  p.Style = wsBorder;
  p.SetBounds(0, 0, 20, 12);
  const QImage img = p.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  ASSERT_EQ(img.width(), 20);
  EXPECT_GE(p.Paints, 1);
  EXPECT_EQ(p.BackBuffer().Width(), 18);  // the client size
  EXPECT_EQ(p.BackBuffer().Height(), 10);
  EXPECT_EQ(img.pixel(0, 0), qRgb(0, 0, 0));  // the frame line
  EXPECT_EQ(img.pixel(19, 11), qRgb(0, 0, 0));
  EXPECT_EQ(img.pixel(2, 2), qRgb(255, 0, 0));  // client (1, 1)
  EXPECT_EQ(img.pixel(3, 2), qRgb(255, 0, 0));  // client (2, 1)
  EXPECT_EQ(img.pixel(4, 2), qRgb(0, 0, 255));
  EXPECT_EQ(img.pixel(2, 3), qRgb(0, 0, 255));
  EXPECT_EQ(img.pixel(1, 1), qRgb(0, 0, 255));  // client (0, 0)

  // A plain windowed control fills its client area with its colour.
  TWinControl plain;
  plain.SetBounds(0, 0, 6, 4);
  plain.SetColor(clYellow);
  const QImage flat = plain.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(flat.pixel(3, 2), qRgb(255, 255, 0));
}

TEST(Controls, MouseEventsInClientCoordinates) {
  TProbe p;
  p.Style = wsBorder;  // client origin at (1, 1)
  p.SetBounds(0, 0, 50, 40);
  p.WindowNeeded();
  Mouse(p, QEvent::MouseButtonPress, QPointF(12, 7), Qt::LeftButton, Qt::LeftButton, Qt::ShiftModifier);
  Mouse(p, QEvent::MouseMove, QPointF(13.6, 8), Qt::NoButton, Qt::LeftButton);
  Mouse(p, QEvent::MouseButtonRelease, QPointF(14, 9), Qt::LeftButton, Qt::NoButton);
  Mouse(p, QEvent::MouseButtonDblClick, QPointF(5, 5), Qt::RightButton, Qt::RightButton, Qt::ControlModifier);
  Mouse(p, QEvent::MouseButtonPress, QPointF(5, 5), Qt::BackButton, Qt::BackButton);  // not ours
  QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), QPointF(1, 1));
  Send(p, enter);
  QEvent leave(QEvent::Leave);
  Send(p, leave);
  QWheelEvent wheel(QPointF(21, 11), QPointF(21, 11), QPoint(), QPoint(0, -120), Qt::NoButton, Qt::AltModifier,
                    Qt::NoScrollPhase, false);
  Send(p, wheel);
  EXPECT_TRUE(wheel.isAccepted());
  p.WheelHandled = false;
  QWheelEvent wheel2(QPointF(1, 1), QPointF(1, 1), QPoint(), QPoint(0, 240), Qt::NoButton, Qt::NoModifier,
                     Qt::NoScrollPhase, false);
  Send(p, wheel2);
  EXPECT_FALSE(wheel2.isAccepted());  // left to the parent
  EXPECT_EQ(p.Events, (std::vector<std::string>{"down0Sl@11,6", "movel@12,7", "up0@13,8", "dbl", "down1Crd@4,4",
                                                "enter", "leave", "wheel-120A@20,10", "wheel240@0,0"}));
}

TEST(Controls, KeysAndClaimedKeys) {
  TProbe p;
  p.SetBounds(0, 0, 10, 10);
  QKeyEvent left(QEvent::KeyPress, Qt::Key_Left, Qt::ShiftModifier);
  Send(p, left);
  QKeyEvent a(QEvent::KeyPress, Qt::Key_A, Qt::NoModifier, "a");
  Send(p, a);
  QKeyEvent up(QEvent::KeyRelease, Qt::Key_PageDown, Qt::NoModifier);
  Send(p, up);
  QKeyEvent unknown(QEvent::KeyPress, Qt::Key_Launch0, Qt::NoModifier);
  Send(p, unknown);
  EXPECT_EQ(p.Events, (std::vector<std::string>{"kd37S", "kd65", "kpa", "ku34"}));

  // A claimed key beats shortcuts, and Tab reaches the control instead of
  // moving the focus.
  p.Events.clear();
  QKeyEvent overrideLeft(QEvent::ShortcutOverride, Qt::Key_Left, Qt::NoModifier);
  overrideLeft.ignore();
  Send(p, overrideLeft);
  EXPECT_FALSE(overrideLeft.isAccepted());
  p.Wanted = {vkLeft, vkTab};
  QKeyEvent overrideLeft2(QEvent::ShortcutOverride, Qt::Key_Left, Qt::NoModifier);
  overrideLeft2.ignore();
  Send(p, overrideLeft2);
  EXPECT_TRUE(overrideLeft2.isAccepted());
  QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
  Send(p, tab);
  EXPECT_EQ(p.Events, (std::vector<std::string>{"kd9"}));
  EXPECT_EQ(p.Perform(cmWantSpecialKey, vkDown), 0);
  EXPECT_EQ(p.Perform(cmWantSpecialKey, vkLeft), 1);
}

TEST(Controls, TimersFireUntilKilled) {
  TProbe p;
  ASSERT_TRUE(p.SetTimer(1, 5));
  ASSERT_TRUE(p.SetTimer(1, 5));  // the same id again: still one timer
  ASSERT_TRUE(p.SetTimer(9, 5));
  ASSERT_TRUE(PumpUntil([&] { return std::count(p.Timers.begin(), p.Timers.end(), 1u) >= 3; }));
  EXPECT_GE(std::count(p.Timers.begin(), p.Timers.end(), 9u), 1);
  p.KillTimer(1);
  p.KillTimer(9);
  p.KillTimer(4);  // never set
  p.Timers.clear();
  QElapsedTimer t;
  t.start();
  while (t.elapsed() < 60) QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  EXPECT_TRUE(p.Timers.empty());
}

TEST(Controls, MessagesPostedFromWorkers) {
  auto p = std::make_unique<TProbe>();
  const TMessageTarget target = p->MessageTarget();
  EXPECT_NE(target, 0u);
  EXPECT_EQ(p->Perform(kTestMessage, 1, 2), 7);
  p->Messages.clear();

  // Two workers post; the control handles every message on this thread, in
  // each worker's order.
  std::atomic<int> refused{0};
  auto worker = [&](intptr_t tag) {
    for (intptr_t i = 0; i < 50; ++i)
      if (!PostMessage(target, kTestMessage, tag, i)) ++refused;
  };
  std::thread w1(worker, 1), w2(worker, 2);
  w1.join();
  w2.join();
  EXPECT_EQ(refused.load(), 0);
  EXPECT_TRUE(p->Messages.empty());  // not before the event loop runs
  ASSERT_TRUE(PumpUntil([&] { return p->Messages.size() == 100; }));
  intptr_t next[3] = {0, 0, 0};
  for (auto [tag, i] : p->Messages) EXPECT_EQ(i, next[tag]++);

  // Messages still queued when the control goes are dropped; later posts fail.
  EXPECT_TRUE(PostMessage(target, kTestMessage, 3, 0));
  p.reset();
  QCoreApplication::processEvents();
  EXPECT_FALSE(PostMessage(target, kTestMessage, 3, 1));
  EXPECT_FALSE(PostMessage(0, kTestMessage));
}

TEST(Controls, ChildWhoseParentWentFirst) {
  auto parent = std::make_unique<TProbe>();
  TProbe child(nullptr, parent.get());
  const TMessageTarget target = child.MessageTarget();
  EXPECT_TRUE(PostMessage(target, kTestMessage));
  parent.reset();  // Qt frees the child's widget with the parent's
  EXPECT_EQ(child.Widget(), nullptr);
  EXPECT_FALSE(PostMessage(target, kTestMessage));
  EXPECT_FALSE(child.SetTimer(1, 10));
  EXPECT_EQ(child.ClientWidth(), 0);
  child.Invalidate();
  child.Update();
  QCoreApplication::processEvents();
  EXPECT_TRUE(child.Messages.empty());
}

TEST(Controls, ResizeIsToldAtOnceEvenWhenHidden) {
  TProbe p;
  p.SetBounds(0, 0, 30, 20);
  EXPECT_EQ(p.Resizes, 1);
  p.SetBounds(5, 5, 30, 20);  // moved only
  EXPECT_EQ(p.Resizes, 1);
  p.SetBounds(5, 5, 31, 20);
  EXPECT_EQ(p.Resizes, 2);
  p.Show();
  EXPECT_TRUE(p.Visible());
  QCoreApplication::processEvents();
  EXPECT_EQ(p.Resizes, 2);  // showing brings no late second notice
  p.Repaint();
  EXPECT_GE(p.Paints, 1);
  p.Hide();
  EXPECT_FALSE(p.Visible());
}
