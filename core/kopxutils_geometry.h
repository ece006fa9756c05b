#pragma once
// Integer-plane geometry for the viewers and the vector layer. Rectangles
// here are corner pairs with every edge inside: Left..Right and Top..Bottom
// both inclusive.
#include <cstdint>

#include "platform/pxexport.h"
#include "platform/graphics.h"

namespace pixoran {

struct PIXORAN_CORE_EXPORT TPXPoint {
  int32_t X = 0;
  int32_t Y = 0;
  friend bool operator==(const TPXPoint&, const TPXPoint&) = default;
};

// Left <= x <= Right and Top <= y <= Bottom.
PIXORAN_CORE_EXPORT bool PointInRect(int32_t x, int32_t y, const TRect& rect);
// The same for corners given in any order.
PIXORAN_CORE_EXPORT bool PointInBox(int32_t x, int32_t y, const TRect& corners);
// The bounding box of the segment (corners in any order) overlaps the rectangle.
PIXORAN_CORE_EXPORT bool SegmentBoxOverlapsRect(const TRect& segment, const TRect& rect);
// 2 when both corners of second lie within first's ranges, 1 when an edge of
// second crosses first, 0 otherwise (also when second encloses first).
PIXORAN_CORE_EXPORT int32_t RectRelation(const TRect& first, const TRect& second);
// Grows the rectangle to contain the point.
PIXORAN_CORE_EXPORT void ExtendRect(TRect& rect, int32_t x, int32_t y);

PIXORAN_CORE_EXPORT double PointDistance(const TPXPoint& p, const TPXPoint& q);
// Distance from p to the infinite line through a and b; the distance to a
// when a and b coincide.
PIXORAN_CORE_EXPORT double PointLineDistance(const TPXPoint& p, const TPXPoint& a, const TPXPoint& b);
// Distance to the nearer end when the projection of p falls outside the
// segment, else to the segment's line. 1e6 ("out of reach") when a
// coordinate difference to that end reaches 45001 or the distance cannot be
// computed.
PIXORAN_CORE_EXPORT double PointSegmentDistance(const TPXPoint& p, const TPXPoint& a, const TPXPoint& b);
// Smallest PointSegmentDistance over consecutive pairs of the points, each
// first mapped to Round((v - origin) * scale + offset) per axis; 1e6 for
// fewer than two points.
PIXORAN_CORE_EXPORT double PointPolylineDistance(const TPXPoint& p, const TPXPoint* points, int32_t count,
                                                 double xScale, double yScale, double xOffset, double yOffset,
                                                 double xOrigin, double yOrigin);
// Turning angle at p2 of the path p1, p2, p3 in 0..pi: 0 straight on, pi
// for a reversal; 0 when either leg has no length.
PIXORAN_CORE_EXPORT double SegmentAngle(const TPXPoint& p1, const TPXPoint& p2, const TPXPoint& p3);
// n points of the cubic Bezier curve at t = 1/n, 2/n, ..., 1, rounded, into
// out[0..n-1]; nothing for n <= 0.
PIXORAN_CORE_EXPORT void BezierPoints(const TPXPoint& p0, const TPXPoint& p1, const TPXPoint& p2, const TPXPoint& p3,
                                      int32_t n, TPXPoint* out);
// Scales width and height by min(maxWidth / width, maxHeight / height),
// truncating, each result at least 1; nothing when a size is not positive.
PIXORAN_CORE_EXPORT void ScaleSizeToFit(int32_t& width, int32_t& height, int32_t maxWidth, int32_t maxHeight);
// Snaps the moving end of a line drawn from the fixed end to horizontal,
// vertical or 45 degrees, whichever is nearest (30-pixel bands).
PIXORAN_CORE_EXPORT void SnapLineAngle(int32_t fixedX, int32_t fixedY, int32_t& movingX, int32_t& movingY);

}  // namespace pixoran
