#pragma once
// The transition engine: animates the change from one picture to another on
// a control. A timer paints one frame per tick into the work bitmap with the
// painter of the chosen type and asks the control for a repaint; the
// control's paint shows the work bitmap while the engine runs.
//
// The seam a control plays transitions on is TPXView (every viewer is one):
// its back buffer's size is the client size, its Background is the fade
// colour, LockUpdate/UnlockUpdateNoPaint bracket the run and Update follows
// a stop when asked. The control creates one engine, calls Stop when it
// updates or is cleared, and in its Paint calls PaintFrame, which draws the
// work bitmap into the back buffer and says whether it did.
#include <cstdint>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include "platform/pxexport.h"
#include "core/pxview.h"
#include "platform/controls.h"
#include "platform/graphics.h"

namespace pixoran {

enum TPXTransitionType : uint8_t {
  pxttNone,
  pxttCrossDissolve,
  pxttFadeOut,
  pxttFadeIn,
  pxttFadeOutIn,
  pxttLeftRight1,
  pxttLeftRight2,
  pxttRightLeft1,
  pxttRightLeft2,
  pxttUpDown1,
  pxttUpDown2,
  pxttDownUp1,
  pxttDownUp2,
  pxttFromUpLeft,
  pxttFromUpRight,
  pxttFromBottomLeft,
  pxttFromBottomRight,
  pxttMoveLeftRight1,
  pxttMoveLeftRight2,
  pxttMoveRightLeft1,
  pxttMoveRightLeft2,
  pxttMoveUpDown1,
  pxttMoveUpDown2,
  pxttMoveDownUp1,
  pxttMoveDownUp2,
  pxttRandomPoints,
  pxttRandomBoxes,
  pxttCenter1,
  pxttCenter2,
  pxttCenterZoom1,
  pxttCenterZoom2,
};
constexpr int32_t kPXTransitionTypeCount = 31;

// A monotonic clock in milliseconds (wraps at 2^32; only differences count).
using TPXTickClock = std::function<uint32_t()>;
// The default clock: steady time since an arbitrary start.
PIXORAN_VIEW_EXPORT uint32_t PXTickCount();

class PIXORAN_VIEW_EXPORT TPXTransitionEffects : public TObject {
 public:
  explicit TPXTransitionEffects(TPXView* view);
  ~TPXTransitionEffects() override;
  TPXTransitionEffects(const TPXTransitionEffects&) = delete;
  TPXTransitionEffects& operator=(const TPXTransitionEffects&) = delete;

  TPXTransitionType Type() const { return type_; }
  void SetType(TPXTransitionType t) { type_ = t; }
  // Milliseconds; 0 or less ends the transition at the first tick.
  int32_t Duration() const { return duration_; }
  void SetDuration(int32_t ms) { duration_ = ms; }
  // When set, Stop lays the view out again.
  bool UpdateAfterStop = false;

  // Starts a transition of the current type from before to after (each
  // drawn at the top-left of a client-sized frame): stops a running one
  // first, locks the view's painting once and enables the timer. False
  // (nothing started) for pxttNone or an empty client area.
  bool Start(const TBitmap& before, const TBitmap& after);
  // Ends a running transition: timer off, bitmaps back to 1 x 1, the view's
  // painting unlocked without a paint, then Update when UpdateAfterStop.
  void Stop();
  // One frame: paints the current step, asks the view to repaint, stops
  // once the duration has passed, else advances the step.
  void TimerTick();
  // Draws the frame for step a (0..1024) into the work bitmap.
  void Painter(int32_t a);
  // While running, copies the work bitmap into target at (0, 0) and returns
  // true; otherwise leaves it alone and returns false.
  bool PaintFrame(TBitmap& target) const;

  bool Running() const { return running_; }
  int32_t Step() const { return step_; }
  int32_t FrameCount() const { return frameCount_; }
  int32_t RandomProgress() const { return randomProgress_; }
  const TBitmap& WorkBitmap() const { return *work_; }
  TTimer& Timer() { return *timer_; }
  // Tests and programs may give another clock or seed the random types.
  void SetClock(TPXTickClock clock) { clock_ = std::move(clock); }
  void SeedRandom(uint32_t seed) { random_.seed(seed); }

 private:
  void SetRows(TBitmap& b, std::vector<uint8_t*>& rows);
  void DrawSource();
  void CopyRect(const std::vector<uint8_t*>& from, int32_t x, int32_t y, int32_t w, int32_t h);
  void DrawAt(const std::vector<uint8_t*>& from, int32_t dx, int32_t dy);
  void StretchInto(const std::vector<uint8_t*>& from, int32_t x, int32_t y, int32_t w, int32_t h);
  void RedVLine(int32_t x);
  void RedHLine(int32_t y);
  void Fade(const std::vector<uint8_t*>& pic, int32_t picWeight);
  using TPainter = void (TPXTransitionEffects::*)(int32_t a, int32_t na);
  void PaintNothing(int32_t a, int32_t na);
  void PaintCrossDissolve(int32_t a, int32_t na);
  void PaintFade(int32_t a, int32_t na);
  void PaintWipe(int32_t a, int32_t na);
  void PaintFromCorner(int32_t a, int32_t na);
  void PaintMoveHorizontal(int32_t a, int32_t na);
  void PaintMoveVertical(int32_t a, int32_t na);
  void PaintRandomPoints(int32_t a, int32_t na);
  void PaintRandomBoxes(int32_t a, int32_t na);
  void PaintCenter(int32_t a, int32_t na);

  TPXView* view_;
  std::unique_ptr<TBitmap> source_, target_, work_;
  std::vector<uint8_t*> sourceRows_, targetRows_, workRows_;
  int32_t width_ = 0, height_ = 0;
  bool running_ = false;
  bool locked_ = false;
  std::unique_ptr<TTimer> timer_;
  int32_t step_ = 0;
  int32_t randomProgress_ = 0;
  TPXTransitionType type_ = pxttNone;
  TPXTransitionType runType_ = pxttNone;
  int32_t duration_ = 1000;
  uint32_t startTick_ = 0;
  int32_t frameCount_ = 0;
  TPXTickClock clock_ = PXTickCount;
  std::minstd_rand random_;
};

}  // namespace pixoran
