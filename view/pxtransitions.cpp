#include "view/pxtransitions.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "core/kopxutils_helpers.h"

namespace pixoran {

uint32_t PXTickCount() {
  using namespace std::chrono;
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

namespace {

std::unique_ptr<TBitmap> OnePixelBitmap() {
  auto b = std::make_unique<TBitmap>();
  b->SetPixelFormat(pf24bit);
  b->SetSize(1, 1);
  return b;
}

// a x n >> 10 in 64 bits (sides may be large), as int32.
int32_t Scale(int64_t a, int64_t n) { return static_cast<int32_t>((a * n) >> 10); }

}  // namespace

TPXTransitionEffects::TPXTransitionEffects(TPXView* view)
    : view_(view),
      source_(OnePixelBitmap()),
      target_(OnePixelBitmap()),
      work_(OnePixelBitmap()),
      timer_(std::make_unique<TTimer>(view)) {
  timer_->SetEnabled(false);
  timer_->SetInterval(1);
  timer_->OnTimer = [this](TObject*) { TimerTick(); };
}

TPXTransitionEffects::~TPXTransitionEffects() {
  // The view may already be tearing down: no unlock, no layout.
  timer_->SetEnabled(false);
}

void TPXTransitionEffects::SetRows(TBitmap& b, std::vector<uint8_t*>& rows) {
  rows.resize(static_cast<size_t>(b.Height()));
  for (int32_t y = 0; y < b.Height(); ++y) rows[static_cast<size_t>(y)] = b.ScanLine(y);
}

bool TPXTransitionEffects::Start(const TBitmap& before, const TBitmap& after) {
  if (type_ == pxttNone || !view_) return false;
  Stop();
  const int32_t w = view_->ClientWidth(), h = view_->ClientHeight();
  if (w <= 0 || h <= 0) return false;
  auto frame = [&](std::unique_ptr<TBitmap>& b, const TBitmap* picture) {
    b = std::make_unique<TBitmap>();
    b->SetPixelFormat(pf24bit);
    b->SetSize(w, h);
    if (picture && !picture->Empty()) b->Canvas().Draw(0, 0, *picture);
  };
  frame(source_, &before);
  frame(target_, &after);
  frame(work_, &before);
  SetRows(*source_, sourceRows_);
  SetRows(*target_, targetRows_);
  SetRows(*work_, workRows_);
  width_ = w;
  height_ = h;
  step_ = 0;
  randomProgress_ = 0;
  frameCount_ = 0;
  runType_ = type_;
  startTick_ = clock_();
  view_->LockUpdate();
  locked_ = true;
  running_ = true;
  timer_->SetEnabled(true);
  return true;
}

void TPXTransitionEffects::Stop() {
  // A running engine's type is never none: Start refuses it and keeps its
  // own copy, so changing Type meanwhile cannot leave it running forever.
  if (!running_) return;
  timer_->SetEnabled(false);
  running_ = false;
  source_ = OnePixelBitmap();
  target_ = OnePixelBitmap();
  work_ = OnePixelBitmap();
  sourceRows_.clear();
  targetRows_.clear();
  workRows_.clear();
  width_ = height_ = 0;
  if (locked_) {
    locked_ = false;
    view_->UnlockUpdateNoPaint();
  }
  if (UpdateAfterStop) view_->Update();
  view_->Invalidate();
}

void TPXTransitionEffects::TimerTick() {
  if (!running_) return;
  ++frameCount_;
  Painter(step_);
  view_->Invalidate();
  const uint32_t elapsed = clock_() - startTick_;
  if (duration_ <= 0) {
    // Nothing to divide by: the last frame is due at once.
    step_ = 1024;
    Stop();
    return;
  }
  if (static_cast<int64_t>(elapsed) >= duration_) {
    Stop();
    step_ = 1024;
    return;
  }
  step_ = std::min(1024, TruncToInt32(static_cast<double>(elapsed) / duration_ * 1024.0));
}

bool TPXTransitionEffects::PaintFrame(TBitmap& target) const {
  if (!running_) return false;
  target.Canvas().Draw(0, 0, *work_);
  return true;
}

// ------------------------------------------------------------ painting helpers

void TPXTransitionEffects::DrawSource() {
  const size_t len = static_cast<size_t>(width_) * 3;
  for (int32_t y = 0; y < height_; ++y) std::memcpy(workRows_[y], sourceRows_[y], len);
}

// The work rows := (picture x picWeight + background x (1024 - picWeight)) >> 10.
void TPXTransitionEffects::Fade(const std::vector<uint8_t*>& pic, int32_t picWeight) {
  const TColor bg = ColorToRGB(view_->Background());
  const int32_t bgw = 1024 - picWeight;
  // The framework colour keeps red in its low byte; rows are blue-green-red.
  const int32_t cb = ((bg >> 16) & 0xFF) * bgw, cg = ((bg >> 8) & 0xFF) * bgw, cr = (bg & 0xFF) * bgw;
  for (int32_t y = 0; y < height_; ++y) {
    const uint8_t* p = pic[y];
    uint8_t* o = workRows_[y];
    for (int32_t x = 0; x < width_ * 3; x += 3) {
      o[x] = static_cast<uint8_t>((p[x] * picWeight + cb) >> 10);
      o[x + 1] = static_cast<uint8_t>((p[x + 1] * picWeight + cg) >> 10);
      o[x + 2] = static_cast<uint8_t>((p[x + 2] * picWeight + cr) >> 10);
    }
  }
}

// Copies the rectangle (x, y, w, h) of from into the same place of the
// work bitmap, cut to the bitmaps.
void TPXTransitionEffects::CopyRect(const std::vector<uint8_t*>& from, int32_t x, int32_t y, int32_t w, int32_t h) {
  const int32_t x1 = std::max(x, 0), y1 = std::max(y, 0);
  const int32_t x2 = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(x) + w, width_));
  const int32_t y2 = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(y) + h, height_));
  if (x2 <= x1 || y2 <= y1) return;
  for (int32_t r = y1; r < y2; ++r)
    std::memcpy(workRows_[r] + 3 * static_cast<size_t>(x1), from[r] + 3 * static_cast<size_t>(x1),
                3 * static_cast<size_t>(x2 - x1));
}

// Draws the whole picture with its top-left corner at (dx, dy).
void TPXTransitionEffects::DrawAt(const std::vector<uint8_t*>& from, int32_t dx, int32_t dy) {
  const int32_t x1 = std::max(dx, 0), x2 = std::min(width_, dx + width_);
  if (x2 <= x1) return;
  for (int32_t y = std::max(dy, 0); y < std::min(height_, dy + height_); ++y)
    std::memcpy(workRows_[y] + 3 * static_cast<size_t>(x1), from[y - dy] + 3 * static_cast<size_t>(x1 - dx),
                3 * static_cast<size_t>(x2 - x1));
}

// The whole picture stretched (nearest pixel) into (x, y, w, h).
void TPXTransitionEffects::StretchInto(const std::vector<uint8_t*>& from, int32_t x, int32_t y, int32_t w, int32_t h) {
  if (w <= 0 || h <= 0) return;
  const int32_t x1 = std::max(x, 0), x2 = std::min(width_, x + w);
  const int32_t y1 = std::max(y, 0), y2 = std::min(height_, y + h);
  for (int32_t r = y1; r < y2; ++r) {
    const uint8_t* s = from[static_cast<size_t>(static_cast<int64_t>(r - y) * height_ / h)];
    uint8_t* o = workRows_[r];
    for (int32_t c = x1; c < x2; ++c) {
      const int64_t sc = static_cast<int64_t>(c - x) * width_ / w;
      std::memcpy(o + 3 * static_cast<size_t>(c), s + 3 * sc, 3);
    }
  }
}

void TPXTransitionEffects::RedVLine(int32_t x) {
  if (x < 0 || x >= width_) return;
  for (int32_t y = 0; y < height_; ++y) {
    uint8_t* p = workRows_[y] + 3 * static_cast<size_t>(x);
    p[0] = 0, p[1] = 0, p[2] = 255;
  }
}

void TPXTransitionEffects::RedHLine(int32_t y) {
  if (y < 0 || y >= height_) return;
  uint8_t* p = workRows_[y];
  for (int32_t x = 0; x < width_; ++x, p += 3) p[0] = 0, p[1] = 0, p[2] = 255;
}

// ------------------------------------------------------------ the painters

// One painter per family of types; each draws step a (0..1024, na = 1024 - a)
// of runType_ into the work rows.
void TPXTransitionEffects::PaintNothing(int32_t, int32_t) {}

void TPXTransitionEffects::PaintCrossDissolve(int32_t a, int32_t na) {
  const size_t rowBytes = static_cast<size_t>(width_) * 3;
  for (int32_t y = 0; y < height_; ++y) {
    const uint8_t *s = sourceRows_[y], *t = targetRows_[y];
    uint8_t* o = workRows_[y];
    for (size_t i = 0; i < rowBytes; ++i) o[i] = static_cast<uint8_t>((s[i] * na + t[i] * a) >> 10);
  }
}

void TPXTransitionEffects::PaintFade(int32_t a, int32_t na) {
  if (runType_ == pxttFadeOut) Fade(sourceRows_, na);
  else if (runType_ == pxttFadeIn) Fade(targetRows_, a);
  else if (a < 512) Fade(sourceRows_, 1024 - 2 * a);
  else Fade(targetRows_, 2 * a - 1024);
}

// The target uncovered from one side, with a red edge for the "2" types.
void TPXTransitionEffects::PaintWipe(int32_t a, int32_t na) {
  const int32_t W = width_, H = height_;
  if (a == 0) DrawSource();
  switch (runType_) {
    case pxttLeftRight1:
    case pxttLeftRight2: {
      const int32_t c = Scale(a, W);
      CopyRect(targetRows_, 0, 0, c, H);
      if (runType_ == pxttLeftRight2) RedVLine(c);
      break;
    }
    case pxttRightLeft1:
    case pxttRightLeft2: {
      const int32_t x = RoundToInt32(static_cast<double>(W) * na / 1024.0);
      CopyRect(targetRows_, x, 0, RoundToInt32(static_cast<double>(a) * W / 1024.0), H);
      if (runType_ == pxttRightLeft2) RedVLine(x);
      break;
    }
    case pxttUpDown1:
    case pxttUpDown2: {
      const int32_t c = RoundToInt32(static_cast<double>(a) * H / 1024.0);
      CopyRect(targetRows_, 0, 0, W, c);
      if (runType_ == pxttUpDown2) RedHLine(c);
      break;
    }
    default: {  // down-up
      const int32_t y = RoundToInt32(static_cast<double>(H) * na / 1024.0);
      CopyRect(targetRows_, 0, y, W, RoundToInt32(static_cast<double>(a) * H / 1024.0));
      if (runType_ == pxttDownUp2) RedHLine(y);
      break;
    }
  }
}

// The target slides in from a corner over the source.
void TPXTransitionEffects::PaintFromCorner(int32_t a, int32_t na) {
  if (a == 0) DrawSource();
  const int32_t dx = Scale(na, width_), dy = Scale(na, height_);
  const bool right = runType_ == pxttFromUpRight || runType_ == pxttFromBottomRight;
  const bool bottom = runType_ == pxttFromBottomLeft || runType_ == pxttFromBottomRight;
  DrawAt(targetRows_, right ? dx : -dx, bottom ? dy : -dy);
}

// Source and target side by side, moving across.
void TPXTransitionEffects::PaintMoveHorizontal(int32_t a, int32_t na) {
  const int32_t W = width_;
  const bool leftRight = runType_ == pxttMoveLeftRight1 || runType_ == pxttMoveLeftRight2;
  const size_t c = static_cast<size_t>(std::clamp(Scale(leftRight ? a : na, W), 0, W));
  const size_t rest = static_cast<size_t>(W) - c;
  for (int32_t y = 0; y < height_; ++y) {
    const uint8_t *s = sourceRows_[y], *t = targetRows_[y];
    uint8_t* o = workRows_[y];
    switch (runType_) {
      case pxttMoveLeftRight1:
        std::memcpy(o, t + 3 * rest, 3 * c);
        std::memcpy(o + 3 * c, s, 3 * rest);
        break;
      case pxttMoveLeftRight2:
        std::memcpy(o, t, 3 * c);
        std::memcpy(o + 3 * c, s, 3 * rest);
        break;
      case pxttMoveRightLeft1:
        std::memcpy(o, s + 3 * rest, 3 * c);
        std::memcpy(o + 3 * c, t, 3 * rest);
        break;
      default:
        std::memcpy(o, s, 3 * c);
        std::memcpy(o + 3 * c, t, 3 * rest);
        break;
    }
  }
}

// Source and target one above the other, moving up or down.
void TPXTransitionEffects::PaintMoveVertical(int32_t a, int32_t na) {
  const int32_t H = height_;
  const size_t rowBytes = static_cast<size_t>(width_) * 3;
  const bool upDown = runType_ == pxttMoveUpDown1 || runType_ == pxttMoveUpDown2;
  const int32_t c = std::clamp(Scale(upDown ? a : na, H), 0, H);
  for (int32_t y = 0; y < H; ++y) {
    const uint8_t* from = nullptr;
    switch (runType_) {
      case pxttMoveUpDown1: from = y < c ? targetRows_[H - c + y] : sourceRows_[y - c]; break;
      case pxttMoveUpDown2: from = y < c ? targetRows_[y] : sourceRows_[y - c]; break;
      case pxttMoveDownUp1: from = y < c ? sourceRows_[H - c + y] : targetRows_[y - c]; break;
      default: from = y < c ? sourceRows_[H - c + y] : targetRows_[y]; break;
    }
    std::memcpy(workRows_[y], from, rowBytes);
  }
}

void TPXTransitionEffects::PaintRandomPoints(int32_t a, int32_t) {
  const int32_t W = width_;
  if (a == 0) {
    DrawSource();
    return;
  }
  const int32_t n = RoundToInt32(W * static_cast<double>(a) * (a / 180.0) / 1024.0);
  const int32_t k = n - randomProgress_;
  randomProgress_ = n;
  if (k <= 0) return;
  std::uniform_int_distribution<int32_t> col(0, W - 1);
  for (int32_t y = 0; y < height_; ++y) {
    const uint8_t* t = targetRows_[y];
    uint8_t* o = workRows_[y];
    for (int32_t i = 0; i < k; ++i) {
      const size_t x = 3 * static_cast<size_t>(col(random_));
      std::memcpy(o + x, t + x, 3);
    }
  }
}

void TPXTransitionEffects::PaintRandomBoxes(int32_t a, int32_t) {
  const int32_t W = width_, H = height_;
  if (a == 0) {
    DrawSource();
    return;
  }
  const double boxes = static_cast<double>(static_cast<int64_t>(W) * H / 64);
  const int32_t n = RoundToInt32(boxes * a * (a / 180.0) / 1024.0);
  const int32_t k = n - randomProgress_;
  randomProgress_ = n;
  std::uniform_int_distribution<int32_t> col(0, W - 1), row(0, H - 1);
  for (int32_t i = 0; i < k; ++i) {
    const int32_t x = col(random_) & ~7, y = row(random_) & ~7;
    CopyRect(targetRows_, x, y, 8, 8);
  }
}

// A centred box growing (types 1: the target in it) or shrinking (types 2:
// the source in it), copied or, for the zoom types, stretched.
void TPXTransitionEffects::PaintCenter(int32_t a, int32_t na) {
  const int32_t W = width_, H = height_;
  const bool grow = runType_ == pxttCenter1 || runType_ == pxttCenterZoom1;
  const bool zoom = runType_ == pxttCenterZoom1 || runType_ == pxttCenterZoom2;
  if (grow) {
    if (a == 0) DrawSource();
  } else {
    DrawAt(targetRows_, 0, 0);
  }
  const int32_t k = grow ? a : na;
  const std::vector<uint8_t*>& box = grow ? targetRows_ : sourceRows_;
  const int32_t x = W / 2 - Scale(k, W / 2), y = H / 2 - Scale(k, H / 2);
  if (zoom) StretchInto(box, x, y, Scale(k, W), Scale(k, H));
  else CopyRect(box, x, y, Scale(k, W), Scale(k, H));
}

void TPXTransitionEffects::Painter(int32_t a) {
  using P = TPXTransitionEffects;
  static constexpr TPainter kPainters[kPXTransitionTypeCount] = {
      &P::PaintNothing,        &P::PaintCrossDissolve,  &P::PaintFade,           &P::PaintFade,
      &P::PaintFade,           &P::PaintWipe,           &P::PaintWipe,           &P::PaintWipe,
      &P::PaintWipe,           &P::PaintWipe,           &P::PaintWipe,           &P::PaintWipe,
      &P::PaintWipe,           &P::PaintFromCorner,     &P::PaintFromCorner,     &P::PaintFromCorner,
      &P::PaintFromCorner,     &P::PaintMoveHorizontal, &P::PaintMoveHorizontal, &P::PaintMoveHorizontal,
      &P::PaintMoveHorizontal, &P::PaintMoveVertical,   &P::PaintMoveVertical,   &P::PaintMoveVertical,
      &P::PaintMoveVertical,   &P::PaintRandomPoints,   &P::PaintRandomBoxes,    &P::PaintCenter,
      &P::PaintCenter,         &P::PaintCenter,         &P::PaintCenter,
  };
  if (width_ <= 0 || height_ <= 0 || workRows_.empty() || runType_ >= kPXTransitionTypeCount) return;
  a = std::clamp(a, 0, 1024);
  const TPainter paint = kPainters[runType_];
  (this->*paint)(a, 1024 - a);
}

}  // namespace pixoran
