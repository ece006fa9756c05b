// Viewer base: defaults, resolution, frames from the border style, mouse
// enter and leave, and the bitmap-change callbacks, including subscribers
// that remove entries while being called.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/pxview.h"

#include "core/kopxutils_bitmap.h"

using namespace pixoran;

namespace {

// Counts how often the window's creation parameters are taken.
class TCountingView : public TPXView {
 public:
  int Adjusts = 0;
  TCreateParams Last;

 protected:
  void AdjustWindowStyle(TCreateParams& params) override {
    TPXView::AdjustWindowStyle(params);
    ++Adjusts;
    Last = params;
  }
};

struct TCall {
  int Id;
  bool Destroying;
};

// One subscriber: records its calls and may remove an entry when called.
struct TSubscriber {
  std::vector<TCall>* Log = nullptr;
  int Id = 0;
  int32_t Handle = -1;
  int32_t RemoveOnCall = -1;  // handle to remove when called
  TPXViewLink* Seen = nullptr;

  static void Callback(void* user, TPXViewLink* view, bool destroying) {
    auto* s = static_cast<TSubscriber*>(user);
    s->Seen = view;
    s->Log->push_back(TCall{s->Id, destroying});
    if (s->RemoveOnCall >= 0) view->RemoveBitmapChangeEvent(s->RemoveOnCall);
  }
  void Attach(TPXViewLink& view) { Handle = view.RegisterBitmapChangeEvent(&TSubscriber::Callback, this); }
};

std::vector<int> Ids(const std::vector<TCall>& log, bool destroying) {
  std::vector<int> out;
  for (const TCall& c : log)
    if (c.Destroying == destroying) out.push_back(c.Id);
  return out;
}

}  // namespace

TEST(PXView, DefaultsAndResolution) {
  TPXView view;
  EXPECT_EQ(view.Background(), clBtnFace);
  EXPECT_EQ(view.BorderStyle(), bsSingle);
  EXPECT_TRUE(view.Ctl3D());
  EXPECT_FALSE(view.ParentCtl3D());
  EXPECT_TRUE(view.ControlStyle() & csOpaque);
  EXPECT_EQ(view.GetTBitmap(), nullptr);
  EXPECT_EQ(view.GetPXBitmap(), nullptr);
  EXPECT_EQ(view.GetAlphaChannel(), nullptr);
  EXPECT_FALSE(view.HasAlphaChannel());
  EXPECT_NE(view.GetCanvas(), nullptr);
  EXPECT_EQ(view.BitmapChangeEventCount(), 0);

  view.SetDpi(300, 150);
  view.SetDpiX(0);  // ignored
  EXPECT_EQ(view.DpiX(), 300);
  view.SetDpi(0, 72);
  EXPECT_EQ(view.DpiX(), 300);
  EXPECT_EQ(view.DpiY(), 72);
  view.SetBackground(clRed);
  EXPECT_EQ(view.Background(), clRed);
}

TEST(PXView, BorderStyleAndCtl3DSetTheFrame) {
  TCountingView view;
  view.SetBounds(0, 0, 50, 40);
  view.SetBorderStyle(bsNone);  // before the window exists: nothing to recreate
  view.SetBorderStyle(bsSingle);
  EXPECT_EQ(view.Adjusts, 0);
  EXPECT_EQ(view.ClientWidth(), 46);  // asking for the client area creates it
  EXPECT_EQ(view.Adjusts, 1);
  EXPECT_EQ(view.FrameWidth(), 2);  // sunken edge
  EXPECT_TRUE(view.Last.ExStyle & wsExClientEdge);
  EXPECT_EQ(view.Last.WindowClassStyle & (wcsHRedraw | wcsVRedraw), 0u);

  view.SetBorderStyle(bsSingle);  // unchanged: not recreated
  EXPECT_EQ(view.Adjusts, 1);
  view.SetCtl3D(false);
  EXPECT_EQ(view.Adjusts, 2);
  EXPECT_EQ(view.FrameWidth(), 1);  // a line
  EXPECT_TRUE(view.Last.Style & wsBorder);
  view.SetCtl3D(false);
  EXPECT_EQ(view.Adjusts, 2);
  view.SetBorderStyle(bsNone);
  EXPECT_EQ(view.Adjusts, 3);
  EXPECT_EQ(view.FrameWidth(), 0);
  EXPECT_EQ(view.ClientHeight(), 40);
}

TEST(PXView, MouseEnterAndLeaveReachTheEvents) {
  TPXView view;
  std::vector<std::string> seen;
  view.Perform(cmMouseEnter);  // no handlers: nothing happens
  view.OnMouseEnter = [&](TObject* s) { seen.push_back(s == &view ? "enter" : "?"); };
  view.OnMouseLeave = [&](TObject* s) { seen.push_back(s == &view ? "leave" : "?"); };
  view.Perform(cmMouseEnter);
  view.Perform(cmMouseLeave);
  EXPECT_EQ(seen, (std::vector<std::string>{"enter", "leave"}));
}

TEST(PXView, BitmapChangeCallbacks) {
  std::vector<TCall> log;
  TPXView view;
  TSubscriber a{&log, 1}, b{&log, 2}, c{&log, 3};
  a.Attach(view);
  b.Attach(view);
  c.Attach(view);
  EXPECT_GE(a.Handle, 0);
  EXPECT_NE(a.Handle, b.Handle);
  view.CallBitmapChangeEvents();
  EXPECT_EQ(Ids(log, false), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(a.Seen, &view);

  // Invalid handles are ignored.
  view.RemoveBitmapChangeEvent(-1);
  view.RemoveBitmapChangeEvent(12345);
  EXPECT_EQ(view.BitmapChangeEventCount(), 3);

  // A subscriber removing itself and the one after it: the round goes on,
  // and the removed one is not called.
  log.clear();
  a.RemoveOnCall = a.Handle;
  b.RemoveOnCall = c.Handle;
  view.CallBitmapChangeEvents();
  EXPECT_EQ(Ids(log, false), (std::vector<int>{1, 2}));
  EXPECT_EQ(view.BitmapChangeEventCount(), 1);

  // One added during a round waits for the next.
  log.clear();
  b.RemoveOnCall = -1;
  TSubscriber d{&log, 4};
  struct TAdder {
    TSubscriber* Late;
    static void Callback(void* user, TPXViewLink* view, bool destroying) {
      auto* self = static_cast<TAdder*>(user);
      if (!destroying && self->Late->Handle < 0) self->Late->Attach(*view);
    }
  } adder{&d};
  const int32_t adderHandle = view.RegisterBitmapChangeEvent(&TAdder::Callback, &adder);
  view.CallBitmapChangeEvents();
  EXPECT_EQ(Ids(log, false), (std::vector<int>{2}));
  view.RemoveBitmapChangeEvent(adderHandle);
  log.clear();
  view.CallBitmapChangeEvents();
  EXPECT_EQ(Ids(log, false), (std::vector<int>{2, 4}));
}

// Release callbacks: called in order, with the bitmap and the cancel flag,
// only for entries that have one; removing the entry removes both.
TEST(PXView, BitmapReleaseCallbacks) {
  struct TRelease {
    std::vector<std::pair<int, bool>>* Log;
    int Id;
    TPXBitmap* Expected;
    static void Changed(void*, TPXViewLink*, bool) {}
    static void Released(void* user, TPXViewLink*, TPXBitmap* bitmap, bool cancel) {
      auto* self = static_cast<TRelease*>(user);
      EXPECT_EQ(bitmap, self->Expected);
      self->Log->push_back({self->Id, cancel});
    }
  };
  std::vector<std::pair<int, bool>> log;
  std::vector<TCall> changes;
  TSubscriber plain{&changes, 9};
  TPXBitmap going;
  TPXView view;
  TRelease a{&log, 1, &going}, b{&log, 2, &going};
  const int32_t ha = view.RegisterBitmapChangeEvent(&TRelease::Changed, &a, &TRelease::Released);
  plain.Attach(view);  // no release callback
  view.RegisterBitmapChangeEvent(&TRelease::Changed, &b, &TRelease::Released);
  view.CallBitmapReleaseEvents(&going, true);
  view.CallBitmapReleaseEvents(nullptr, true);  // nothing goes: nobody is called
  view.RemoveBitmapChangeEvent(ha);
  view.CallBitmapReleaseEvents(&going, false);
  EXPECT_EQ(log, (std::vector<std::pair<int, bool>>{{1, true}, {2, true}, {2, false}}));
  EXPECT_TRUE(changes.empty());
}

TEST(PXView, DestructionTellsEachSubscriberOnce) {
  std::vector<TCall> log;
  {
    TPXView view;
    TSubscriber a{&log, 1}, b{&log, 2};
    a.Attach(view);
    b.Attach(view);
  }
  EXPECT_EQ(Ids(log, true), (std::vector<int>{1, 2}));
  EXPECT_TRUE(Ids(log, false).empty());

  // Subscribers letting go while being told: one removes its own (already
  // unlinked) handle, one removes a later entry, which is then not called.
  log.clear();
  TSubscriber a{&log, 1}, b{&log, 2}, c{&log, 3}, d{&log, 4};
  {
    auto view = std::make_unique<TPXView>();
    a.Attach(*view);
    b.Attach(*view);
    c.Attach(*view);
    d.Attach(*view);
    a.RemoveOnCall = a.Handle;
    b.RemoveOnCall = c.Handle;
    view.reset();
  }
  EXPECT_EQ(Ids(log, true), (std::vector<int>{1, 2, 4}));
  EXPECT_EQ(a.Seen, b.Seen);
}

namespace {

class TBarView : public TPXView {
 public:
  using TPXView::LayoutScrollBar;
};

// The one scroll-bar layout of the viewers: the factor (client + maximum -
// factorLess) / 65536 with the page and position through it, the bar shown
// and enabled; without a range the factor stays and the bar is hidden, or
// shown disabled when it is to stay visible.
TEST(PXView, ScrollBarLayoutInTheFixedRange) {
  struct TCase {
    bool wanted;
    int32_t maximum, client, origin, less;
    bool always;
    bool ranged, visible, enabled;
    double factor;
    int32_t page, pos;
  };
  for (const TCase c : {TCase{true, 1000, 300, 500, 0, false, true, true, true, 1300 / 65536.0, 15123, 25206},
                        TCase{true, 1000, 300, 500, 1, false, true, true, true, 1299 / 65536.0, 15135, 25225},
                        TCase{true, 1, 100, 1, 0, false, true, true, true, 101 / 65536.0, 64887, 648},
                        TCase{true, 0, 300, 0, 0, false, false, false, true, 7.0, 0, 0},
                        TCase{true, 0, 300, 0, 1, true, false, true, false, 7.0, 0, 0},
                        TCase{false, 1000, 300, 500, 0, true, false, false, true, 7.0, 0, 0}}) {
    SCOPED_TRACE(testing::Message() << c.maximum << " less " << c.less << " wanted " << c.wanted);
    TBarView v;
    v.SetBounds(0, 0, 320, 240);
    double factor = 7.0;
    EXPECT_EQ(v.LayoutScrollBar(sbHorizontal, c.wanted, c.maximum, c.client, c.origin, c.less, c.always, false, factor),
              c.ranged);
    EXPECT_DOUBLE_EQ(factor, c.factor);
    EXPECT_EQ(v.ScrollBarVisible(sbHorizontal), c.visible);
    EXPECT_EQ(v.ScrollBarEnabled(sbHorizontal), c.enabled);
    if (c.ranged) {
      const TScrollInfo i = v.GetScrollInfo(sbHorizontal);
      EXPECT_EQ(i.Min, 0);
      EXPECT_EQ(i.Max, 65535);
      EXPECT_EQ(i.Page, c.page);
      EXPECT_EQ(v.GetScrollPos(sbHorizontal), c.pos);
    }
  }
}

}  // namespace
