// The transition engine on a viewer: every type's frames at 0 %, 50 % and
// 100 % against the definitions, the timing rules on an injected clock,
// stopping on update and resize, the viewer showing the work bitmap, and
// the painters staying inside bitmaps of awkward sizes.
#include "view/pxtransitions.h"

#include <gtest/gtest.h>

#include <QImage>
#include <QTest>
#include <QWidget>
#include <array>
#include <functional>

#include "view/pixoranview.h"

using namespace pixoran;

namespace {

constexpr int32_t kW = 38, kH = 22;  // neither side a multiple of 8

using Pixel = std::array<int, 3>;  // blue, green, red

// Source pixel (x, y) = (x, y, 10), target (x, y, 200): every pixel tells
// which picture and which place it came from.
Pixel S(int x, int y) { return {x, y, 10}; }
Pixel T(int x, int y) { return {x, y, 200}; }
const Pixel kRed{0, 0, 255};
const Pixel kBg{0x10, 0x20, 0x30};  // the view's background 0x102030 as blue-green-red
Pixel Half(Pixel a, Pixel b) {
  return {(a[0] * 512 + b[0] * 512) >> 10, (a[1] * 512 + b[1] * 512) >> 10, (a[2] * 512 + b[2] * 512) >> 10};
}

std::unique_ptr<TBitmap> Picture(int w, int h, Pixel (*f)(int, int)) {
  auto b = std::make_unique<TBitmap>();
  b->SetPixelFormat(pf24bit);
  b->SetSize(w, h);
  for (int y = 0; y < h; ++y) {
    uint8_t* r = b->ScanLine(y);
    for (int x = 0; x < w; ++x) {
      const Pixel p = f(x, y);
      for (int c = 0; c < 3; ++c) r[3 * x + c] = static_cast<uint8_t>(p[c]);
    }
  }
  return b;
}

Pixel At(const TBitmap& b, int x, int y) {
  const uint8_t* r = b.ScanLine(y);
  return {r[3 * x], r[3 * x + 1], r[3 * x + 2]};
}

// A viewer whose client is exactly w x h.
struct Fixture {
  TPixoranView view;
  uint32_t now = 0;
  std::unique_ptr<TBitmap> before, after;
  explicit Fixture(int w = kW, int h = kH) {
    view.SetBorderStyle(bsNone);
    view.SetScrollBars(ssNone);
    view.SetBounds(0, 0, w, h);
    view.SetBackground(0x102030);
    before = Picture(w, h, S);
    after = Picture(w, h, T);
    view.Transitions().SetClock([this] { return now; });
  }
  TPXTransitionEffects& fx() { return view.Transitions(); }
};

using Expect = std::function<Pixel(int x, int y)>;

struct Case {
  TPXTransitionType type;
  Expect at0, at512, at1024;
};

Expect Src = S, Tgt = T;
Expect Bg = [](int, int) { return kBg; };

std::vector<Case> Cases() {
  // At 50 % with W = 38, H = 22: half sides 19 and 11; the centred
  // rectangles are 19 x 11 at (10, 6).
  auto inCentre = [](int x, int y) { return x >= 10 && x < 29 && y >= 6 && y < 17; };
  return {
      {pxttCrossDissolve, Src, [](int x, int y) { return Half(S(x, y), T(x, y)); }, Tgt},
      {pxttFadeOut, Src, [](int x, int y) { return Half(kBg, S(x, y)); }, Bg},
      {pxttFadeIn, Bg, [](int x, int y) { return Half(kBg, T(x, y)); }, Tgt},
      {pxttFadeOutIn, Src, Bg, Tgt},
      {pxttLeftRight1, Src, [](int x, int y) { return x < 19 ? T(x, y) : S(x, y); }, Tgt},
      {pxttLeftRight2, [](int x, int y) { return x == 0 ? kRed : S(x, y); },
       [](int x, int y) { return x < 19    ? T(x, y)
                                 : x == 19 ? kRed
                                           : S(x, y); }, Tgt},
      {pxttRightLeft1, Src, [](int x, int y) { return x >= 19 ? T(x, y) : S(x, y); }, Tgt},
      {pxttRightLeft2, Src, [](int x, int y) { return x > 19    ? T(x, y)
                                                      : x == 19 ? kRed
                                                                : S(x, y); },
       [](int x, int y) { return x == 0 ? kRed : T(x, y); }},
      {pxttUpDown1, Src, [](int x, int y) { return y < 11 ? T(x, y) : S(x, y); }, Tgt},
      {pxttUpDown2, [](int x, int y) { return y == 0 ? kRed : S(x, y); },
       [](int x, int y) { return y < 11    ? T(x, y)
                                 : y == 11 ? kRed
                                           : S(x, y); }, Tgt},
      {pxttDownUp1, Src, [](int x, int y) { return y >= 11 ? T(x, y) : S(x, y); }, Tgt},
      {pxttDownUp2, Src, [](int x, int y) { return y > 11    ? T(x, y)
                                                   : y == 11 ? kRed
                                                             : S(x, y); },
       [](int x, int y) { return y == 0 ? kRed : T(x, y); }},
      {pxttFromUpLeft, Src, [](int x, int y) { return x < 19 && y < 11 ? T(x + 19, y + 11) : S(x, y); }, Tgt},
      {pxttFromUpRight, Src, [](int x, int y) { return x >= 19 && y < 11 ? T(x - 19, y + 11) : S(x, y); }, Tgt},
      {pxttFromBottomLeft, Src, [](int x, int y) { return x < 19 && y >= 11 ? T(x + 19, y - 11) : S(x, y); }, Tgt},
      {pxttFromBottomRight, Src, [](int x, int y) { return x >= 19 && y >= 11 ? T(x - 19, y - 11) : S(x, y); }, Tgt},
      {pxttMoveLeftRight1, Src, [](int x, int y) { return x < 19 ? T(x + 19, y) : S(x - 19, y); }, Tgt},
      {pxttMoveLeftRight2, Src, [](int x, int y) { return x < 19 ? T(x, y) : S(x - 19, y); }, Tgt},
      {pxttMoveRightLeft1, Src, [](int x, int y) { return x < 19 ? S(x + 19, y) : T(x - 19, y); }, Tgt},
      {pxttMoveRightLeft2, Src, [](int x, int y) { return x < 19 ? S(x, y) : T(x - 19, y); }, Tgt},
      {pxttMoveUpDown1, Src, [](int x, int y) { return y < 11 ? T(x, y + 11) : S(x, y - 11); }, Tgt},
      {pxttMoveUpDown2, Src, [](int x, int y) { return y < 11 ? T(x, y) : S(x, y - 11); }, Tgt},
      {pxttMoveDownUp1, Src, [](int x, int y) { return y < 11 ? S(x, y + 11) : T(x, y - 11); }, Tgt},
      {pxttMoveDownUp2, Src, [](int x, int y) { return y < 11 ? S(x, y + 11) : T(x, y); }, Tgt},
      {pxttCenter1, Src, [=](int x, int y) { return inCentre(x, y) ? T(x, y) : S(x, y); }, Tgt},
      {pxttCenter2, Src, [=](int x, int y) { return inCentre(x, y) ? S(x, y) : T(x, y); }, Tgt},
      {pxttCenterZoom1, Src, [=](int x, int y) { return inCentre(x, y) ? T(2 * (x - 10), 2 * (y - 6)) : S(x, y); },
       Tgt},
      {pxttCenterZoom2, Src, [=](int x, int y) { return inCentre(x, y) ? S(2 * (x - 10), 2 * (y - 6)) : T(x, y); },
       Tgt},
  };
}

void ExpectFrame(const TBitmap& work, const Expect& e, const char* what, int type) {
  ASSERT_EQ(work.Width(), kW);
  ASSERT_EQ(work.Height(), kH);
  int bad = 0;
  for (int y = 0; y < kH; ++y)
    for (int x = 0; x < kW; ++x)
      if (At(work, x, y) != e(x, y) && bad++ < 3)
        ADD_FAILURE() << "type " << type << " " << what << " at (" << x << ", " << y << ")";
}

}  // namespace

TEST(PXTransitions, EveryTypeAtTheStartMiddleAndEnd) {
  Fixture f;
  ASSERT_EQ(f.view.ClientWidth(), kW);
  ASSERT_EQ(f.view.ClientHeight(), kH);
  for (const Case& c : Cases()) {
    f.fx().SetType(c.type);
    ASSERT_TRUE(f.fx().Start(*f.before, *f.after));
    f.fx().Painter(0);
    ExpectFrame(f.fx().WorkBitmap(), c.at0, "0 %", c.type);
    f.fx().Painter(512);
    ExpectFrame(f.fx().WorkBitmap(), c.at512, "50 %", c.type);
    f.fx().Painter(1024);
    ExpectFrame(f.fx().WorkBitmap(), c.at1024, "100 %", c.type);
    f.fx().Stop();
  }
}

TEST(PXTransitions, RandomTypesAddOnlyTargetPixelsAndOnlyWhatIsNew) {
  Fixture f;
  for (TPXTransitionType type : {pxttRandomPoints, pxttRandomBoxes}) {
    f.fx().SetType(type);
    ASSERT_TRUE(f.fx().Start(*f.before, *f.after));
    f.fx().SeedRandom(7);
    int lastTargets = -1;
    for (int32_t a : {0, 256, 512, 768, 1024}) {
      f.fx().Painter(a);
      int targets = 0;
      for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
          const Pixel p = At(f.fx().WorkBitmap(), x, y);
          ASSERT_TRUE(p == S(x, y) || p == T(x, y)) << type << " " << a;
          targets += p == T(x, y);
        }
      if (a == 0) {
        EXPECT_EQ(targets, 0);
      }
      EXPECT_GE(targets, lastTargets);
      lastTargets = targets;
      // n as defined: per row for points, in 8 x 8 boxes for boxes.
      const double n = (type == pxttRandomPoints ? kW : kW * kH / 64) * static_cast<double>(a) * (a / 180.0) / 1024.0;
      EXPECT_EQ(f.fx().RandomProgress(), a == 0 ? 0 : static_cast<int32_t>(std::nearbyint(n)));
    }
    EXPECT_GT(lastTargets, kW * kH / 2);  // most of the picture has come over
    f.fx().Stop();
  }
}

TEST(PXTransitions, TimingStopAndRefusals) {
  Fixture f;
  TPXTransitionEffects& fx = f.fx();
  fx.Stop();  // idle: nothing
  EXPECT_FALSE(fx.Running());
  EXPECT_FALSE(fx.Start(*f.before, *f.after));  // type none is refused
  EXPECT_EQ(f.view.UpdateLockCount(), 0);

  fx.SetType(pxttCrossDissolve);
  const uint32_t start = 0xFFFFFF00u;  // the clock wraps during the run
  f.now = start;
  ASSERT_TRUE(fx.Start(*f.before, *f.after));
  EXPECT_EQ(f.view.UpdateLockCount(), 1);
  EXPECT_TRUE(fx.Timer().Enabled());
  EXPECT_EQ(fx.Timer().Interval(), 1u);
  f.now += 500;
  fx.TimerTick();
  EXPECT_EQ(fx.Step(), 512);
  EXPECT_TRUE(fx.Running());
  f.now += 499;
  fx.TimerTick();
  EXPECT_EQ(fx.Step(), 1022);
  f.now = start + 1000u;
  fx.TimerTick();
  EXPECT_FALSE(fx.Running());
  EXPECT_EQ(fx.Step(), 1024);
  EXPECT_EQ(fx.FrameCount(), 3);
  EXPECT_FALSE(fx.Timer().Enabled());
  EXPECT_EQ(f.view.UpdateLockCount(), 0);
  EXPECT_EQ(fx.WorkBitmap().Width(), 1);
  fx.TimerTick();  // idle ticks do nothing
  EXPECT_EQ(fx.FrameCount(), 3);

  // Changing the type while running does not keep the engine from stopping.
  ASSERT_TRUE(fx.Start(*f.before, *f.after));
  fx.SetType(pxttNone);
  fx.Stop();
  EXPECT_FALSE(fx.Running());

  // A duration of 0 or less ends at the first tick with the last step.
  fx.SetType(pxttFadeIn);
  for (int32_t d : {0, -5}) {
    fx.SetDuration(d);
    ASSERT_TRUE(fx.Start(*f.before, *f.after));
    fx.TimerTick();
    EXPECT_FALSE(fx.Running());
    EXPECT_EQ(fx.Step(), 1024);
    fx.TimerTick();
    EXPECT_EQ(f.view.UpdateLockCount(), 0);
  }

  // Starting again while running restarts once, keeping one lock.
  fx.SetDuration(1000);
  ASSERT_TRUE(fx.Start(*f.before, *f.after));
  f.now += 300;
  fx.TimerTick();
  ASSERT_TRUE(fx.Start(*f.before, *f.after));
  EXPECT_EQ(fx.Step(), 0);
  EXPECT_EQ(fx.FrameCount(), 0);
  EXPECT_EQ(f.view.UpdateLockCount(), 1);
  fx.Stop();
  EXPECT_EQ(f.view.UpdateLockCount(), 0);
}

TEST(PXTransitions, TheViewerStopsItOnUpdateAndResize) {
  for (int how = 0; how < 3; ++how) {
    Fixture f;
    f.fx().SetType(pxttLeftRight1);
    ASSERT_TRUE(f.fx().Start(*f.before, *f.after));
    if (how == 0) f.view.Update();
    if (how == 1) f.view.SetBounds(0, 0, kW + 10, kH);
    if (how == 2) f.view.FillWithBackground();  // a cleared picture lays out again
    EXPECT_FALSE(f.fx().Running()) << how;
    EXPECT_EQ(f.view.UpdateLockCount(), 0) << how;
  }
}

TEST(PXTransitions, TheViewerShowsTheWorkBitmapWhileRunning) {
  Fixture f;
  f.view.Show();
  f.fx().SetType(pxttLeftRight1);
  ASSERT_TRUE(f.fx().Start(*f.before, *f.after));
  f.now = 500;
  f.fx().TimerTick();  // paints step 0: the source
  f.fx().TimerTick();  // paints step 512: left half the target
  const QImage shown = f.view.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB888);
  ASSERT_EQ(shown.width(), kW);
  for (int x : {0, 18, 19, 37}) {
    const QRgb p = shown.pixel(x, 5);
    EXPECT_EQ(qRed(p), x < 19 ? 200 : 10) << x;
    EXPECT_EQ(qBlue(p), x) << x;
  }
  f.fx().Stop();
  // Afterwards the viewer composes its own picture again (background here).
  const QImage after = f.view.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB888);
  EXPECT_EQ(after.pixel(0, 5) & 0xFFFFFF, 0x302010u);
}

TEST(PXTransitions, PaintersStayInsideAwkwardSizes) {
  // Sides not multiples of 8, and sides where the two rounded halves of
  // the right-to-left and bottom-to-top types add up to one more than the
  // side: every step of every type, checked by the sanitizers.
  for (auto [w, h] : {std::pair{3, 3}, std::pair{13, 5}, std::pair{1, 9}, std::pair{17, 1}}) {
    Fixture f(w, h);
    ASSERT_EQ(f.view.ClientWidth(), w);
    for (int t = 1; t < kPXTransitionTypeCount; ++t) {
      f.fx().SetType(static_cast<TPXTransitionType>(t));
      ASSERT_TRUE(f.fx().Start(*f.before, *f.after));
      for (int32_t a = 0; a <= 1024; a += 32) f.fx().Painter(a);
      f.fx().Painter(1024);
      if (t != pxttRandomPoints && t != pxttRandomBoxes && t != pxttRightLeft2 && t != pxttDownUp2 &&
          t != pxttFadeOut) {
        for (int y = 0; y < h; ++y)
          for (int x = 0; x < w; ++x) ASSERT_EQ(At(f.fx().WorkBitmap(), x, y), T(x, y)) << t;
      }
      f.fx().Stop();
    }
  }
}

TEST(PXTransitions, TheTimerRunsItToTheEndOnTheRealClock) {
  Fixture f;
  f.fx().SetClock(PXTickCount);
  f.fx().SetType(pxttCrossDissolve);
  f.fx().SetDuration(40);
  f.fx().UpdateAfterStop = true;
  ASSERT_TRUE(f.fx().Start(*f.before, *f.after));
  QTRY_VERIFY_WITH_TIMEOUT(!f.fx().Running(), 5000);
  EXPECT_GE(f.fx().FrameCount(), 1);
  EXPECT_EQ(f.view.UpdateLockCount(), 0);
}
