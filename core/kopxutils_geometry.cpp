#include "core/kopxutils_geometry.h"

#include <algorithm>
#include <cmath>

#include "core/kopxutils_helpers.h"

namespace pixoran {

namespace {
constexpr double kOutOfReach = 1e6;
// Coordinate differences from here on were out of range for the original
// integer arithmetic; callers take them as "not near".
constexpr double kMaxDelta = 45001.0;

TRect Sorted(TRect r) {
  SortCorners(r.Left, r.Top, r.Right, r.Bottom);
  return r;
}
bool Overlap(int32_t a1, int32_t a2, int32_t b1, int32_t b2) { return a1 <= b2 && a2 >= b1; }
bool Within(int32_t v, int32_t lo, int32_t hi) { return lo <= v && v <= hi; }

double EndDistance(const TPXPoint& p, const TPXPoint& end) {
  const double dx = static_cast<double>(p.X) - end.X, dy = static_cast<double>(p.Y) - end.Y;
  if (std::fabs(dx) >= kMaxDelta || std::fabs(dy) >= kMaxDelta) return kOutOfReach;
  return std::sqrt(dx * dx + dy * dy);
}
}  // namespace

bool PointInRect(int32_t x, int32_t y, const TRect& rect) {
  return Within(x, rect.Left, rect.Right) && Within(y, rect.Top, rect.Bottom);
}

bool PointInBox(int32_t x, int32_t y, const TRect& corners) { return PointInRect(x, y, Sorted(corners)); }

bool SegmentBoxOverlapsRect(const TRect& segment, const TRect& rect) {
  const TRect s = Sorted(segment);
  return Overlap(s.Left, s.Right, rect.Left, rect.Right) && Overlap(s.Top, s.Bottom, rect.Top, rect.Bottom);
}

int32_t RectRelation(const TRect& first, const TRect& second) {
  const TRect f = Sorted(first), s = Sorted(second);
  if (PointInRect(s.Left, s.Top, f) && PointInRect(s.Right, s.Bottom, f)) return 2;
  const bool xs = Overlap(s.Left, s.Right, f.Left, f.Right);
  const bool ys = Overlap(s.Top, s.Bottom, f.Top, f.Bottom);
  const bool horizontalEdge = xs && (Within(s.Top, f.Top, f.Bottom) || Within(s.Bottom, f.Top, f.Bottom));
  const bool verticalEdge = ys && (Within(s.Left, f.Left, f.Right) || Within(s.Right, f.Left, f.Right));
  return horizontalEdge || verticalEdge ? 1 : 0;
}

void ExtendRect(TRect& rect, int32_t x, int32_t y) {
  rect.Left = std::min(rect.Left, x);
  rect.Right = std::max(rect.Right, x);
  rect.Top = std::min(rect.Top, y);
  rect.Bottom = std::max(rect.Bottom, y);
}

double PointDistance(const TPXPoint& p, const TPXPoint& q) {
  return std::hypot(static_cast<double>(p.X) - q.X, static_cast<double>(p.Y) - q.Y);
}

double PointLineDistance(const TPXPoint& p, const TPXPoint& a, const TPXPoint& b) {
  const double dx = static_cast<double>(b.X) - a.X, dy = static_cast<double>(b.Y) - a.Y;
  const double len = std::hypot(dx, dy);
  if (len == 0.0) return PointDistance(p, a);
  const double cross = dx * (static_cast<double>(p.Y) - a.Y) - dy * (static_cast<double>(p.X) - a.X);
  return std::fabs(cross) / len;
}

double PointSegmentDistance(const TPXPoint& p, const TPXPoint& a, const TPXPoint& b) {
  const double dx = static_cast<double>(b.X) - a.X, dy = static_cast<double>(b.Y) - a.Y;
  const double lenSq = dx * dx + dy * dy;
  if (lenSq == 0.0) return EndDistance(p, a);
  const double t = (static_cast<double>(p.X) - a.X) * dx + (static_cast<double>(p.Y) - a.Y) * dy;
  if (t < 0.0) return EndDistance(p, a);
  if (t > lenSq) return EndDistance(p, b);
  const double cross = dx * (static_cast<double>(p.Y) - a.Y) - dy * (static_cast<double>(p.X) - a.X);
  const double d = std::fabs(cross) / std::sqrt(lenSq);
  return std::isfinite(d) ? d : kOutOfReach;
}

double PointPolylineDistance(const TPXPoint& p, const TPXPoint* points, int32_t count, double xScale, double yScale,
                             double xOffset, double yOffset, double xOrigin, double yOrigin) {
  if (!points || count < 2) return kOutOfReach;
  const auto map = [&](const TPXPoint& q) {
    return TPXPoint{RoundToInt32((q.X - xOrigin) * xScale + xOffset), RoundToInt32((q.Y - yOrigin) * yScale + yOffset)};
  };
  double best = kOutOfReach;
  TPXPoint prev = map(points[0]);
  for (int32_t i = 1; i < count; ++i) {
    const TPXPoint cur = map(points[i]);
    best = std::min(best, PointSegmentDistance(p, prev, cur));
    prev = cur;
  }
  return best;
}

double SegmentAngle(const TPXPoint& p1, const TPXPoint& p2, const TPXPoint& p3) {
  const double ax = static_cast<double>(p2.X) - p1.X, ay = static_cast<double>(p2.Y) - p1.Y;
  const double bx = static_cast<double>(p3.X) - p2.X, by = static_cast<double>(p3.Y) - p2.Y;
  const double la = ax * ax + ay * ay, lb = bx * bx + by * by;
  if (la == 0.0 || lb == 0.0) return 0.0;
  // One square root of the product keeps collinear legs at exactly -1 or 1.
  double q = (ax * bx + ay * by) / std::sqrt(la * lb);
  if (std::fabs(q) > 1.0) {
    if (std::fabs(q) - 1.0 > 1e-12) return 0.0;
    q = q > 0 ? 1.0 : -1.0;  // rounding noise of a straight or reversed path
  }
  return SafeArcCos(q);
}

void BezierPoints(const TPXPoint& p0, const TPXPoint& p1, const TPXPoint& p2, const TPXPoint& p3, int32_t n,
                  TPXPoint* out) {
  if (n <= 0 || !out) return;
  for (int32_t i = 1; i <= n; ++i) {
    const double t = static_cast<double>(i) / n, u = 1.0 - t;
    const double c0 = u * u * u, c1 = 3.0 * u * u * t, c2 = 3.0 * u * t * t, c3 = t * t * t;
    out[i - 1] = TPXPoint{RoundToInt32(c0 * p0.X + c1 * p1.X + c2 * p2.X + c3 * p3.X),
                          RoundToInt32(c0 * p0.Y + c1 * p1.Y + c2 * p2.Y + c3 * p3.Y)};
  }
}

void ScaleSizeToFit(int32_t& width, int32_t& height, int32_t maxWidth, int32_t maxHeight) {
  if (width <= 0 || height <= 0) return;
  const double scale = std::min(static_cast<double>(maxWidth) / width, static_cast<double>(maxHeight) / height);
  width = std::max(1, TruncToInt32(width * scale));
  height = std::max(1, TruncToInt32(height * scale));
}

void SnapLineAngle(int32_t fixedX, int32_t fixedY, int32_t& movingX, int32_t& movingY) {
  const int64_t dx = std::llabs(static_cast<int64_t>(fixedX) - movingX);
  const int64_t dy = std::llabs(static_cast<int64_t>(fixedY) - movingY);
  if (dy > dx + 30) {
    movingX = fixedX;
    return;
  }
  if (dy < dx - 30) {
    movingY = fixedY;
    return;
  }
  const auto k = static_cast<int32_t>(std::llabs(dx - dy));  // at most 30 here
  const int64_t sx = static_cast<int64_t>(fixedX) - movingX, sy = static_cast<int64_t>(fixedY) - movingY;
  if (sx < 0 && sy < 0) {
    if (dx >= dy) movingY += k;
    else movingX += k;
  } else if (sx > 0 && sy > 0) {
    if (dx >= dy) movingX += k;
    else movingY += k;
  } else if (sx > 0) {
    if (dx >= dy) movingY += k;
    else movingX -= k;
  } else if (sy > 0) {
    if (dx >= dy) movingY -= k;
    else movingX += k;
  }
}

}  // namespace pixoran
