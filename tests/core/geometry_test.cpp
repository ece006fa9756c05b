// Plane geometry of the viewers and the vector layer.
#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "core/kopxutils_geometry.h"

namespace pixoran {
namespace {

TEST(GeometryRects, EdgesAreInside) {
  const TRect r = Rect(10, 20, 30, 40);
  EXPECT_TRUE(PointInRect(10, 20, r));
  EXPECT_TRUE(PointInRect(30, 40, r));
  EXPECT_FALSE(PointInRect(31, 40, r));
  EXPECT_FALSE(PointInRect(9, 25, r));
  EXPECT_FALSE(PointInRect(15, 20, Rect(30, 40, 10, 20)));  // unsorted: nothing is inside
  EXPECT_TRUE(PointInBox(15, 20, Rect(30, 40, 10, 20)));
}

TEST(GeometryRects, SegmentBoxes) {
  const TRect r = Rect(10, 10, 20, 20);
  EXPECT_TRUE(SegmentBoxOverlapsRect(Rect(25, 5, 15, 12), r));   // corners in any order
  EXPECT_TRUE(SegmentBoxOverlapsRect(Rect(20, 20, 30, 30), r));  // touching corner
  EXPECT_FALSE(SegmentBoxOverlapsRect(Rect(21, 0, 30, 30), r));
}

TEST(GeometryRects, Relations) {
  const TRect f = Rect(0, 0, 100, 100);
  EXPECT_EQ(RectRelation(f, Rect(10, 10, 20, 20)), 2);
  EXPECT_EQ(RectRelation(f, Rect(0, 0, 100, 100)), 2);
  EXPECT_EQ(RectRelation(f, Rect(50, 50, 150, 60)), 1);     // one corner inside
  EXPECT_EQ(RectRelation(f, Rect(-10, 40, 110, 60)), 1);    // a band across, no corner inside
  EXPECT_EQ(RectRelation(f, Rect(-10, -10, 110, 110)), 0);  // encloses the first
  EXPECT_EQ(RectRelation(f, Rect(200, 200, 300, 300)), 0);
  EXPECT_EQ(RectRelation(f, Rect(100, 100, 300, 300)), 1);  // edges meet at a corner
}

TEST(GeometryRects, ExtendRect) {
  TRect r = Rect(5, 5, 5, 5);
  ExtendRect(r, 2, 9);
  ExtendRect(r, 7, 1);
  EXPECT_EQ(r.Left, 2);
  EXPECT_EQ(r.Top, 1);
  EXPECT_EQ(r.Right, 7);
  EXPECT_EQ(r.Bottom, 9);
}

TEST(GeometryDistances, PointsAndLines) {
  EXPECT_DOUBLE_EQ(PointDistance({0, 0}, {3, 4}), 5.0);
  EXPECT_DOUBLE_EQ(PointLineDistance({5, 7}, {0, 0}, {10, 0}), 7.0);
  EXPECT_DOUBLE_EQ(PointLineDistance({50, 7}, {0, 0}, {10, 0}), 7.0);  // the line is infinite
  EXPECT_DOUBLE_EQ(PointLineDistance({3, 4}, {0, 0}, {0, 0}), 5.0);    // zero length: to the point
  EXPECT_NEAR(PointLineDistance({0, 10}, {0, 0}, {10, 10}), std::sqrt(50.0), 1e-12);
}

TEST(GeometryDistances, Segments) {
  EXPECT_DOUBLE_EQ(PointSegmentDistance({5, 3}, {0, 0}, {10, 0}), 3.0);
  EXPECT_DOUBLE_EQ(PointSegmentDistance({13, 4}, {0, 0}, {10, 0}), 5.0);  // beyond the far end
  EXPECT_DOUBLE_EQ(PointSegmentDistance({-3, -4}, {0, 0}, {10, 0}), 5.0);
  EXPECT_DOUBLE_EQ(PointSegmentDistance({3, 4}, {0, 0}, {0, 0}), 5.0);
  EXPECT_DOUBLE_EQ(PointSegmentDistance({50000, 0}, {0, 0}, {10, 0}), 1e6);  // out of reach
  EXPECT_DOUBLE_EQ(PointSegmentDistance({45010, 0}, {0, 0}, {10, 0}), 45000.0);
  EXPECT_DOUBLE_EQ(PointSegmentDistance({45011, 0}, {0, 0}, {10, 0}), 1e6);
}

TEST(GeometryDistances, Polylines) {
  const std::vector<TPXPoint> pts = {{0, 0}, {10, 0}, {10, 10}};
  EXPECT_DOUBLE_EQ(PointPolylineDistance({12, 5}, pts.data(), 3, 1, 1, 0, 0, 0, 0), 2.0);
  // Origin 5, 0, scale 2, offset 100, 0: the points become (90, 0), (110, 0), (110, 20).
  EXPECT_DOUBLE_EQ(PointPolylineDistance({113, 10}, pts.data(), 3, 2, 2, 100, 0, 5, 0), 3.0);
  EXPECT_DOUBLE_EQ(PointPolylineDistance({100, -4}, pts.data(), 3, 2, 2, 100, 0, 5, 0), 4.0);
  EXPECT_DOUBLE_EQ(PointPolylineDistance({1, 1}, pts.data(), 0, 1, 1, 0, 0, 0, 0), 1e6);
  EXPECT_DOUBLE_EQ(PointPolylineDistance({1, 1}, pts.data(), 1, 1, 1, 0, 0, 0, 0), 1e6);
}

TEST(GeometryAngles, SegmentAngleOfTurnsAndReversals) {
  EXPECT_DOUBLE_EQ(SegmentAngle({0, 0}, {10, 0}, {20, 0}), 0.0);  // straight on
  // A horizontal line that turns back to the left is a reversal: pi.
  EXPECT_DOUBLE_EQ(SegmentAngle({0, 0}, {10, 0}, {3, 0}), std::numbers::pi);
  EXPECT_DOUBLE_EQ(SegmentAngle({7, 7}, {1, 1}, {4, 4}), std::numbers::pi);  // diagonal reversal
  EXPECT_NEAR(SegmentAngle({0, 0}, {10, 0}, {10, 10}), std::numbers::pi / 2, 1e-12);
  EXPECT_NEAR(SegmentAngle({0, 0}, {10, 0}, {0, 10}), 3 * std::numbers::pi / 4, 1e-12);
  EXPECT_DOUBLE_EQ(SegmentAngle({0, 0}, {0, 0}, {5, 5}), 0.0);
  EXPECT_DOUBLE_EQ(SegmentAngle({0, 0}, {5, 5}, {5, 5}), 0.0);
}

TEST(GeometryCurves, BezierPoints) {
  std::vector<TPXPoint> out(4, TPXPoint{-1, -1});
  BezierPoints({0, 0}, {0, 30}, {30, 30}, {30, 0}, 4, out.data());
  EXPECT_EQ(out[3], (TPXPoint{30, 0}));   // ends on the last control point
  EXPECT_EQ(out[1], (TPXPoint{15, 22}));  // t = 1/2: (15, 22.5) rounds to even
  EXPECT_EQ(out[0].X, 5);                 // t = 1/4: 4.21875 + 0.46875 ...
  // n <= 0 leaves the output alone.
  std::vector<TPXPoint> untouched(2, TPXPoint{-1, -1});
  BezierPoints({0, 0}, {1, 1}, {2, 2}, {3, 3}, 0, untouched.data());
  BezierPoints({0, 0}, {1, 1}, {2, 2}, {3, 3}, -5, untouched.data());
  EXPECT_EQ(untouched[0], (TPXPoint{-1, -1}));
  // A straight "curve" stays on its line.
  std::vector<TPXPoint> line(10);
  BezierPoints({0, 0}, {10, 10}, {20, 20}, {30, 30}, 10, line.data());
  for (const TPXPoint& p : line) EXPECT_EQ(p.X, p.Y);
}

TEST(GeometrySizes, ScaleSizeToFit) {
  int32_t w = 400, h = 300;
  ScaleSizeToFit(w, h, 200, 200);
  EXPECT_EQ(w, 200);
  EXPECT_EQ(h, 150);
  w = 10, h = 1000;
  ScaleSizeToFit(w, h, 50, 50);
  EXPECT_EQ(w, 1);  // never below 1
  EXPECT_EQ(h, 50);
  w = 3, h = 2;
  ScaleSizeToFit(w, h, 300, 300);  // grows too
  EXPECT_EQ(w, 300);
  EXPECT_EQ(h, 200);
  w = 0, h = 50;
  ScaleSizeToFit(w, h, 10, 10);
  EXPECT_EQ(w, 0);
  EXPECT_EQ(h, 50);
}

TEST(GeometrySnap, SnapLineAngle) {
  int32_t x = 100, y = 10;
  SnapLineAngle(0, 0, x, y);
  EXPECT_EQ(x, 100);
  EXPECT_EQ(y, 0);
  x = 10, y = 100;
  SnapLineAngle(0, 0, x, y);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 100);
  // Near the diagonal every quadrant snaps to 45 degrees.
  const struct {
    int32_t mx, my, ex, ey;
  } cases[] = {
      {50, 40, 50, 50},      // right and down, dx >= dy: y moves
      {40, 50, 50, 50},      // right and down, dy > dx: x moves
      {-50, -40, -40, -40},  // left and up, dx >= dy: x moves in
      {-40, -50, -40, -40},  // left and up, dy > dx: y moves in
      {-50, 40, -50, 50},    // left and down, dx >= dy
      {-40, 50, -50, 50},    // left and down, dy > dx
      {50, -40, 50, -50},    // right and up, dx >= dy
      {40, -50, 50, -50},    // right and up, dy > dx
  };
  for (const auto& c : cases) {
    x = c.mx, y = c.my;
    SnapLineAngle(0, 0, x, y);
    EXPECT_EQ(x, c.ex) << c.mx << "," << c.my;
    EXPECT_EQ(y, c.ey) << c.mx << "," << c.my;
    EXPECT_EQ(std::abs(x), std::abs(y));
  }
  x = 0, y = 0;
  SnapLineAngle(0, 0, x, y);
  EXPECT_EQ(x, 0);
  EXPECT_EQ(y, 0);
}

}  // namespace
}  // namespace pixoran
