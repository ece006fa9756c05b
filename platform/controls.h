#pragma once
// Components and windowed controls of the framework layer: an owner chain,
// windowed controls over a QWidget (bounds, the two standard scroll bars,
// frame styles, mouse, keys, wheel, timers and messages), and the custom
// control every viewer stands on, which paints through a client-sized
// 24-bit back buffer.
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/pxexport.h"
#include "platform/classes.h"
#include "platform/graphics.h"
#include "platform/timer.h"

class QPainter;
class QWidget;

namespace pixoran {

enum TScrollBarKind { sbHorizontal = 0, sbVertical = 1 };

// What a user did to a scroll bar, in the usual scroll-message codes.
enum TScrollCode : int32_t {
  scLineUp = 0,         // arrow towards the start (left or up)
  scLineDown = 1,       // arrow towards the end
  scPageUp = 2,         // click in the trough before the thumb
  scPageDown = 3,       // click in the trough after the thumb
  scThumbPosition = 4,  // thumb released at Pos
  scThumbTrack = 5,     // thumb being dragged, now at Pos
  scTop = 6,
  scBottom = 7,
  scEndScroll = 8,  // the user's action is over
};

// Cursors: the framework's standard numbers (0 and below), and numbers a
// program registers for its own with SetScreenCursor.
using TCursor = int32_t;
constexpr TCursor crDefault = 0, crNone = -1, crArrow = -2, crCross = -3, crIBeam = -4, crSizeNESW = -6, crSizeNS = -7,
                  crSizeNWSE = -8, crSizeWE = -9, crUpArrow = -10, crHourGlass = -11, crDrag = -12, crNoDrop = -13,
                  crHSplit = -14, crVSplit = -15, crNo = -18, crAppStart = -19, crHelp = -20, crHandPoint = -21,
                  crSizeAll = -22;
// Shapes a registered cursor may take (the platform's own cursor images).
enum TCursorShape : uint8_t {
  cshArrow,
  cshCross,
  cshIBeam,
  cshWait,
  cshBusy,
  cshForbidden,
  cshPointingHand,
  cshOpenHand,
  cshClosedHand,
  cshSizeAll,
  cshSizeHor,
  cshSizeVer,
  cshSizeFDiag,
  cshSizeBDiag,
  cshWhatsThis,
  cshUpArrow,
  cshBlank,
  cshDragCopy,
  cshDragMove,
  cshDragLink
};
// Registers (or replaces) cursor number id; standard numbers cannot be
// replaced. Unknown numbers show the arrow.
PIXORAN_PLATFORM_WIDGETS_EXPORT void SetScreenCursor(TCursor id, TCursorShape shape);
PIXORAN_PLATFORM_WIDGETS_EXPORT bool ScreenCursorRegistered(TCursor id);
// An application-wide cursor over every window (an hourglass while a long
// step runs), until restored; pairs nest.
PIXORAN_PLATFORM_WIDGETS_EXPORT void SetOverrideCursor(TCursor id);
PIXORAN_PLATFORM_WIDGETS_EXPORT void RestoreOverrideCursor();

// Which fields of TScrollInfo a call reads or writes.
enum : uint32_t {
  sifRange = 0x01,
  sifPage = 0x02,
  sifPos = 0x04,
  sifDisableNoScroll = 0x08,
  sifTrackPos = 0x10,
  sifAll = sifRange | sifPage | sifPos | sifTrackPos,
};

// Scroll-bar state in the usual terms: positions run from Min to
// Max - Page + 1 when a page is set.
struct PIXORAN_PLATFORM_WIDGETS_EXPORT TScrollInfo {
  uint32_t Mask = sifAll;
  int32_t Min = 0;
  int32_t Max = 100;
  int32_t Page = 0;
  int32_t Pos = 0;
  int32_t TrackPos = 0;
};

// Control-style bits (the framework's numbering). Only csOpaque changes what
// the platform does: the control covers its whole client area when it
// paints, so nothing is erased underneath first.
using TControlStyle = uint32_t;
constexpr TControlStyle csAcceptsControls = 0x00001;
constexpr TControlStyle csCaptureMouse = 0x00002;
constexpr TControlStyle csClickEvents = 0x00008;
constexpr TControlStyle csFramed = 0x00010;
constexpr TControlStyle csOpaque = 0x00040;
constexpr TControlStyle csDoubleClicks = 0x00080;
constexpr TControlStyle csReplicatable = 0x00800;
constexpr TControlStyle csNeedsBorderPaint = 0x20000;

// Window-creation parameters a control adjusts in AdjustWindowStyle. Of the
// window styles only the two frames are honoured; of the class styles the
// two redraw bits (without them a resize repaints only the gained area).
constexpr uint32_t wsBorder = 0x00800000;        // 1-pixel line frame
constexpr uint32_t wsExClientEdge = 0x00000200;  // 2-pixel sunken frame
constexpr uint32_t wcsVRedraw = 0x0001;
constexpr uint32_t wcsHRedraw = 0x0002;
struct PIXORAN_PLATFORM_WIDGETS_EXPORT TCreateParams {
  uint32_t Style = 0;
  uint32_t ExStyle = 0;
  uint32_t WindowClassStyle = wcsVRedraw | wcsHRedraw;
};

enum TBorderStyle : uint8_t { bsNone = 0, bsSingle = 1 };

// Shift and button state of a mouse or key event.
using TShiftState = uint32_t;
constexpr TShiftState ssShift = 0x01;
constexpr TShiftState ssAlt = 0x02;
constexpr TShiftState ssCtrl = 0x04;
constexpr TShiftState ssLeft = 0x08;
constexpr TShiftState ssRight = 0x10;
constexpr TShiftState ssMiddle = 0x20;
constexpr TShiftState ssDouble = 0x40;

enum TMouseButton { mbLeft = 0, mbRight = 1, mbMiddle = 2 };

// Virtual-key codes of the keys the controls look at; letters and digits
// are their upper-case ASCII codes, F1 to F12 are 112 to 123.
constexpr int vkBack = 8, vkTab = 9, vkReturn = 13, vkShift = 16, vkControl = 17, vkMenu = 18, vkEscape = 27,
              vkSpace = 32, vkPrior = 33, vkNext = 34, vkEnd = 35, vkHome = 36, vkLeft = 37, vkUp = 38, vkRight = 39,
              vkDown = 40, vkInsert = 45, vkDelete = 46, vkF1 = 112;

// The virtual-key code of a Qt key number (0 for keys without one).
PIXORAN_PLATFORM_WIDGETS_EXPORT int VirtualKeyFromQtKey(int qtKey);

// A message sent to a control with Perform or posted with PostMessage.
struct PIXORAN_PLATFORM_WIDGETS_EXPORT TMessage {
  uint32_t Msg = 0;
  intptr_t WParam = 0;
  intptr_t LParam = 0;
  intptr_t Result = 0;
};

// Control messages of the framework.
constexpr uint32_t cmMouseEnter = 0xB013;
constexpr uint32_t cmMouseLeave = 0xB014;
// WParam is a key code; a control that wants the key for itself (rather
// than leaving it to shortcuts and focus navigation) sets Result to 1.
constexpr uint32_t cmWantSpecialKey = 0xB01E;

// Names a control to PostMessage. Unlike a pointer it stays safe to use
// after the control is gone: the message is then dropped.
using TMessageTarget = uint64_t;

// A control with a window (a QWidget underneath, so a QApplication must
// exist). The widget is created with the control and is a child of the
// parent control's widget. Every event handler below runs on the UI thread.
class PIXORAN_PLATFORM_WIDGETS_EXPORT TWinControl : public TComponent {
 public:
  explicit TWinControl(TComponent* owner = nullptr, TWinControl* parent = nullptr);
  ~TWinControl() override;

  TWinControl* Parent() const { return parent_; }
  void SetParent(TWinControl* parent);

  // True once the native window exists.
  bool HandleAllocated() const;
  // The native window id, creating the window when needed.
  uintptr_t Handle();

  // The window's creation parameters are taken (AdjustWindowStyle called)
  // the first time the window is needed: when it is shown, painted, its
  // handle or client area asked for. RecreateWnd takes them again, but only
  // once they have been taken.
  void WindowNeeded();
  bool WindowCreated() const { return windowCreated_; }
  void RecreateWnd();

  TControlStyle ControlStyle() const { return controlStyle_; }
  void SetControlStyle(TControlStyle style);

  bool Ctl3D() const { return ctl3D_; }
  // A change clears ParentCtl3D.
  virtual void SetCtl3D(bool value);
  bool ParentCtl3D() const { return parentCtl3D_; }
  // Turning it on takes the parent's Ctl3D.
  void SetParentCtl3D(bool value);

  // Fill colour of a control that paints nothing itself.
  TColor Color() const { return color_; }
  void SetColor(TColor color);

  int Left() const;
  int Top() const;
  int Width() const;
  int Height() const;
  void SetBounds(int left, int top, int width, int height);
  // Moves without resizing, activating or changing the stacking order.
  void MoveWindow(int left, int top);
  // The area inside the frame and the visible scroll bars; mouse positions
  // and painting are in its coordinates.
  int ClientWidth();
  int ClientHeight();
  TRect ClientRect();
  // Width of the frame on each side (0, 1 or 2).
  int FrameWidth() const { return frameWidth_; }

  bool Visible() const;
  void SetVisible(bool visible);
  void Show() { SetVisible(true); }
  void Hide() { SetVisible(false); }

  // Marks the whole window for painting on the next pass of the event loop.
  void Invalidate();
  // Marks a rectangle of the client area (client coordinates).
  void InvalidateRect(const TRect& r);
  // Brings the window up to date now. Viewers override it as their layout
  // method (recompute geometry, then invalidate).
  virtual void Update();
  // Invalidate, then paint at once.
  void Repaint();

  // The cursor shown over the client area (a number of the cursor table).
  TCursor Cursor() const { return cursor_; }
  void SetCursor(TCursor cursor);

  bool TabStop() const { return tabStop_; }
  // A tab stop takes the focus by tab and by click.
  void SetTabStop(bool value);
  void SetFocus();
  bool Focused() const;

  // Window timers: a timer fires Timer(id) every interval milliseconds until
  // killed. Setting an id that runs restarts it with the new interval.
  // False when the window is gone.
  bool SetTimer(uint32_t id, uint32_t intervalMs);
  void KillTimer(uint32_t id);

  // Handles a message at once, on the calling (UI) thread; returns Result.
  intptr_t Perform(uint32_t msg, intptr_t wParam = 0, intptr_t lParam = 0);
  // The name under which other threads post to this control.
  TMessageTarget MessageTarget() const { return target_; }

  void SetScrollRange(TScrollBarKind bar, int32_t min, int32_t max, bool redraw);
  void SetScrollInfo(TScrollBarKind bar, const TScrollInfo& info, bool redraw);
  TScrollInfo GetScrollInfo(TScrollBarKind bar) const;
  void SetScrollPos(TScrollBarKind bar, int32_t pos, bool redraw);
  int32_t GetScrollPos(TScrollBarKind bar) const { return bars_[bar].Info.Pos; }
  void EnableScrollBar(TScrollBarKind bar, bool enable);
  bool ScrollBarEnabled(TScrollBarKind bar) const { return bars_[bar].Enabled; }
  void ShowScrollBar(TScrollBarKind bar, bool show);
  bool ScrollBarVisible(TScrollBarKind bar) const { return bars_[bar].Visible; }

  // For Qt-facing code in the platform layer only.
  QWidget* Widget() const;

  // Typing through an input method (Chinese and other composed scripts):
  // when enabled, the committed text arrives at InputMethodCommit and the
  // method's questions are answered from InputMethodState.
  void SetInputMethodEnabled(bool value);
  bool InputMethodEnabled() const { return imEnabled_; }
  struct TInputMethodState {
    TRect Caret;                 // client coordinates
    std::u32string Surrounding;  // text around the caret
    int32_t CaretPos = 0;        // in Surrounding
    int32_t AnchorPos = 0;       // other end of the selection in Surrounding
  };

 protected:
  // Adjusts the creation parameters; descendants call the inherited one first.
  virtual void AdjustWindowStyle(TCreateParams& params);
  // Every performed or posted message comes here. The default turns
  // cmMouseEnter and cmMouseLeave into MouseEnter and MouseLeave.
  virtual void HandleMessage(TMessage& message);

  // Mouse positions are client coordinates. A double click calls DblClick,
  // then MouseDown with ssDouble in the shift state.
  virtual void MouseDown(TMouseButton button, TShiftState shift, int x, int y) {}
  virtual void MouseMove(TShiftState shift, int x, int y) {}
  virtual void MouseUp(TMouseButton button, TShiftState shift, int x, int y) {}
  virtual void DblClick() {}
  virtual void MouseEnter() {}
  virtual void MouseLeave() {}
  // wheelDelta is 120 per notch, positive away from the user. Returns true
  // when handled; otherwise the parent gets the wheel.
  virtual bool MouseWheel(TShiftState shift, int wheelDelta, int x, int y) { return false; }
  // key is a virtual-key code; setting it to 0 marks it handled.
  virtual void KeyDown(int& key, TShiftState shift) {}
  virtual void KeyUp(int& key, TShiftState shift) {}
  // One typed character (a Unicode code point).
  virtual void KeyPress(char32_t& key) {}
  virtual void Timer(uint32_t id) {}
  // After the size changed.
  virtual void Resize() {}
  // The window took or lost the keyboard focus.
  virtual void DoEnter() {}
  virtual void DoExit() {}
  // A user's action on a scroll bar. The control's own position (GetScrollPos)
  // already holds pos when this runs, so the bar stays where the user put it
  // unless the handler sets another position. The default does nothing more.
  virtual void Scroll(TScrollBarKind bar, TScrollCode code, int32_t pos) {}
  // Text the input method committed (code points); the default does nothing.
  virtual void InputMethodCommit(const std::u32string& text) {}
  virtual TInputMethodState InputMethodState() { return {}; }

 private:
  friend class TControlWidget;
  struct TBarState {
    TScrollInfo Info;
    bool Enabled = true;
    bool Visible = false;
  };
  struct TWidgets;  // the Qt objects, kept out of this header
  static void ClampPos(TBarState& s);
  void SyncBar(TScrollBarKind bar);
  void BarAction(TScrollBarKind bar, int action);
  void BarReleased(TScrollBarKind bar);
  void PlaceBars();
  void ApplyParams();
  // Called by the widget when it paints area (widget coordinates); the
  // custom control overrides it.
  virtual void PaintWindow(QPainter& painter, const TRect& area);

  TWinControl* parent_ = nullptr;
  std::unique_ptr<TWidgets> qt_;
  std::array<TBarState, 2> bars_;
  TMessageTarget target_ = 0;
  TControlStyle controlStyle_ = 0;
  TColor color_ = clBtnFace;
  TCursor cursor_ = crDefault;
  int frameWidth_ = 0;
  bool windowCreated_ = false;
  bool ctl3D_ = true;
  bool parentCtl3D_ = true;
  bool tabStop_ = false;
  bool imEnabled_ = false;
};

// A windowed control that paints itself: Paint draws into Canvas (the back
// buffer, a 24-bit bitmap of the client size, made ready before each call,
// kept between calls), the needed rectangle then goes to the screen through
// a 32-bit copy (the format the screen takes without converting), and
// PaintWindowOverlay draws on that copy: what is drawn there shows on the
// window once and never lands in the back buffer.
class PIXORAN_PLATFORM_WIDGETS_EXPORT TCustomControl : public TWinControl {
 public:
  explicit TCustomControl(TComponent* owner = nullptr, TWinControl* parent = nullptr);
  ~TCustomControl() override;

  // The back buffer's canvas and the buffer itself (client-sized after the
  // first paint; what Paint left there stays until the next paint).
  TCanvas& Canvas() { return backBuffer_->Canvas(); }
  TBitmap& BackBuffer() { return *backBuffer_; }
  // The window's canvas during PaintWindowOverlay (client coordinates, its
  // clip set to the area being painted).
  TCanvas& WindowCanvas() { return screen_->Canvas(); }
  // During Paint and PaintWindowOverlay: the client rectangle being painted.
  const TRect& PaintRect() const { return paintRect_; }
  // The last frame as the screen got it (the back buffer with the overlay),
  // for tests and screenshots.
  const TBitmap& ScreenBuffer() const { return *screen_; }

 protected:
  // Draws into the back buffer; the default draws nothing. Only PaintRect
  // has to be made right, though a control may redraw more.
  virtual void Paint() {}
  // Draws on the window after the back buffer went there.
  virtual void PaintWindowOverlay() {}

 private:
  void PaintWindow(QPainter& painter, const TRect& area) override;
  std::unique_ptr<TBitmap> backBuffer_;
  std::unique_ptr<TBitmap> screen_;
  TRect paintRect_;
};

// Copies a rectangle of a 24-bit bitmap into a 32-bit one (same size) at
// the same place; the rectangle is cut to both.
PIXORAN_PLATFORM_WIDGETS_EXPORT void CopyRect24To32(const TBitmap& source, TBitmap& dest, const TRect& r);

// Posts a message to a control, from any thread. It is handled on the UI
// thread by the control's HandleMessage, through the event loop. False (and
// nothing posted) when the control no longer exists.
PIXORAN_PLATFORM_WIDGETS_EXPORT bool PostMessage(TMessageTarget target, uint32_t msg, intptr_t wParam = 0,
                                                 intptr_t lParam = 0);

// The thickness of a scroll bar in the application's style (16 without
// one). The screen's size and resolution are in graphics.h.
PIXORAN_PLATFORM_WIDGETS_EXPORT int ScrollBarThickness();

}  // namespace pixoran
