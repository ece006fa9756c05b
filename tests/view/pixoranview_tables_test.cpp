// The viewer's coordinate conversions against tables built over the whole
// zoomed picture plus the client, the way the viewer first built them: the
// tables it keeps now cover only what is visible, and every conversion must
// still give the same number at every zoom, origin and point.
#include <gtest/gtest.h>

#include <QImage>
#include <QPixmap>
#include <QWidget>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "view/pixoranview.h"

using namespace pixoran;

namespace {

// One axis of the whole-picture tables: zoomed pixel -> column and column ->
// first zoomed pixel, n = zoomed + client pixels, m = Trunc((n + 1) / zoom
// factor) columns.
struct TWholeAxis {
  double ZoomF = 1, ZoomInv = 1;
  int32_t Zoomed = 0, Client = 0, Offset = 0, First = 0, Origin = 0;
  std::vector<int32_t> PixToCol, ColToPix;
  int32_t Start = 0, Columns = 0;

  TWholeAxis(double zoom, int32_t zoomed, int32_t client, int32_t extent, int32_t offset, int32_t first, int32_t origin,
             bool exist)
      : ZoomF(zoom / 100.0),
        ZoomInv(100.0 / zoom),
        Zoomed(zoomed),
        Client(client),
        Offset(offset),
        First(first),
        Origin(origin) {
    if (!exist) return;
    Columns = TruncToInt32(client * ZoomInv);
    const int64_t n = int64_t{zoomed} + client;
    const int64_t m = TruncToInt32((n + 1) * ZoomInv);
    PixToCol.assign(static_cast<size_t>(n + 1), 0);
    ColToPix.assign(static_cast<size_t>(m + 1), 0);
    const int32_t last = std::max(extent - 1, 0);
    if (zoom > 100.0) {
      for (int64_t j = n; j >= 0; --j) {
        const int32_t col = std::min<int32_t>(TruncToInt32(j * ZoomInv), static_cast<int32_t>(m));
        ColToPix[static_cast<size_t>(col)] = static_cast<int32_t>(j);
        PixToCol[static_cast<size_t>(j)] = std::min(col, last);
      }
    } else {
      for (int64_t k = m; k >= 0; --k) {
        const int32_t pix = TruncToInt32(k * ZoomF);
        ColToPix[static_cast<size_t>(k)] = pix;
        if (pix <= n) PixToCol[static_cast<size_t>(pix)] = std::min(static_cast<int32_t>(k), last);
      }
    }
    Start = std::clamp<int32_t>(Snap(origin), 0, static_cast<int32_t>(PixToCol.size()) - 1);
  }

  int32_t Snap(int32_t o) const {
    if (o < 0) return 0;
    if (o < Zoomed && static_cast<size_t>(o) < PixToCol.size()) {
      const int32_t c = PixToCol[static_cast<size_t>(o)];
      if (c >= 0 && static_cast<size_t>(c) < ColToPix.size()) return ColToPix[static_cast<size_t>(c)];
    }
    return o;
  }
  int32_t ToBitmap(int32_t x) const {
    const int32_t d = x - Offset;
    if (d >= 0 && d < Client && static_cast<size_t>(Start) + d < PixToCol.size())
      return PixToCol[static_cast<size_t>(Start + d)];
    return TruncToInt32(d * ZoomInv + First);
  }
  int32_t ToScreen(int32_t x) const {
    const int32_t d = x - First;
    if (d >= 0 && d < Columns && static_cast<size_t>(x) < ColToPix.size())
      return ColToPix[static_cast<size_t>(x)] - Start + Offset;
    return RoundToInt32((x + static_cast<double>(RoundToInt32(-Snap(Origin) * ZoomInv))) * ZoomF + Offset);
  }
};

// Every conversion of both axes, at every client pixel and column around
// the visible range and at points outside it, against the whole tables.
void ExpectSameAsWholeTables(TPixoranView& v) {
  const bool exist = v.VisibleClientWidth() > 0 && v.VisibleClientHeight() > 0 && v.GetPXBitmap()->Width() > 0 &&
                     v.GetPXBitmap()->Height() > 0;
  const TWholeAxis ax(v.Zoom(), v.ZoomedWidth(), v.VisibleClientWidth(), v.ExtentWidth(), v.OffsetX(),
                      v.VisibleColumn(), v.ViewX(), exist);
  const TWholeAxis ay(v.Zoom(), v.ZoomedHeight(), v.VisibleClientHeight(), v.ExtentHeight(), v.OffsetY(),
                      v.VisibleRow(), v.ViewY(), exist);
  int failures = 0;
  auto check = [&](const char* what, int32_t at, int32_t got, int32_t want) {
    if (got == want || ++failures > 10) return;
    ADD_FAILURE() << what << "(" << at << ") = " << got << ", whole tables give " << want << " at zoom " << v.Zoom()
                  << " origin " << v.ViewX() << "," << v.ViewY();
  };
  for (int32_t x = -7; x < v.ClientWidth() + 7; ++x) check("ScreenToBitmapX", x, v.ScreenToBitmapX(x), ax.ToBitmap(x));
  for (int32_t y = -7; y < v.ClientHeight() + 7; ++y) check("ScreenToBitmapY", y, v.ScreenToBitmapY(y), ay.ToBitmap(y));
  auto columns = [](int32_t first, int32_t count, int32_t extent) {
    std::vector<int32_t> c;
    for (int32_t x = first - 5; x < first + count + 5; ++x) c.push_back(x);
    for (int32_t x : {0, 1, extent / 3, extent - 1, extent, extent + 1, -100}) c.push_back(x);
    return c;
  };
  for (int32_t x : columns(v.VisibleColumn(), v.VisibleImageWidth(), v.ExtentWidth()))
    check("BitmapToScreenX", x, v.BitmapToScreenX(x), ax.ToScreen(x));
  for (int32_t y : columns(v.VisibleRow(), v.VisibleImageHeight(), v.ExtentHeight()))
    check("BitmapToScreenY", y, v.BitmapToScreenY(y), ay.ToScreen(y));
  // SnapView over the visible range, around the origin and anywhere.
  std::vector<int32_t> origins = {-3,
                                  0,
                                  1,
                                  2,
                                  v.ZoomedWidth() - 1,
                                  v.ZoomedWidth(),
                                  v.ZoomedHeight() - 1,
                                  v.ZoomedHeight(),
                                  v.ZoomedWidth() / 2,
                                  v.ZoomedHeight() / 3};
  for (int32_t o = -2; o < 300; ++o) origins.push_back(v.ViewX() + o);
  for (int32_t o = -2; o < 300; ++o) origins.push_back(v.ViewY() + o);
  for (int32_t o = 0; o < v.ZoomedWidth(); o += std::max(1, v.ZoomedWidth() / 997)) origins.push_back(o);
  for (int32_t o : origins) {
    check("SnapViewX", o, v.SnapViewX(o), ax.Snap(o));
    check("SnapViewY", o, v.SnapViewY(o), ay.Snap(o));
  }
}

void SetPicture(TPixoranView& v, int32_t w, int32_t h) {
  TPXBitmap* b = v.GetPXBitmap();
  b->Allocate(w, h, pxBGR24);
  b->Fill(0x336699);
  v.Update();
}

TEST(PixoranViewTables, ConversionsMatchWholePictureTablesAtEveryZoomAndOrigin) {
  struct TCase {
    int32_t W, H, ImgW, ImgH;
    bool Centre;
  };
  for (const TCase c :
       {TCase{240, 160, 1000, 700, true}, TCase{197, 131, 613, 409, false}, TCase{300, 200, 120, 90, true}}) {
    SCOPED_TRACE(testing::Message() << c.ImgW << "x" << c.ImgH << " in " << c.W << "x" << c.H);
    TPixoranView v;
    v.SetBounds(0, 0, c.W, c.H);
    v.SetCenter(c.Centre);
    SetPicture(v, c.ImgW, c.ImgH);
    for (double z : {2.0, 8.0, 27.3, 33.0, 92.0, 100.0, 108.0, 133.7, 250.0, 400.0, 1600.0, 3333.3}) {
      v.SetZoom(z);
      int32_t mx = 0, my = 0;
      v.GetMaxViewXY(mx, my);
      for (const auto& [ox, oy] : std::vector<std::pair<int32_t, int32_t>>{
               {0, 0}, {1, 2}, {37, 11}, {mx / 3, my / 2}, {mx / 2 + 1, my / 3 + 1}, {mx - 1, my - 1}, {mx, my}}) {
        v.SetViewXY(ox, oy);
        ExpectSameAsWholeTables(v);
      }
    }
  }
}

// The wheel from the fit zoom upwards, zooming at the mouse, scrolling a little
// between notches: every step converts as the whole tables do.
TEST(PixoranViewTables, WheelNotchesFromFitConvertAsWholeTables) {
  TPixoranView v;
  v.SetBounds(0, 0, 256, 144);
  SetPicture(v, 800, 533);
  v.ZoomToFit();
  v.MouseWheelParams().ZoomAtMousePosition = true;
  for (int notch = 0; notch < 40; ++notch) {
    v.ApplyMouseWheel(-120, 40 + 5 * notch, 30 + 2 * notch, false);
    if (notch % 3 == 0) v.ScrollHorz(TPixoranView::saLineForward, 0);
    ExpectSameAsWholeTables(v);
  }
}

}  // namespace

namespace {

// A picture whose every pixel says where it is.
void SetCoordinatePicture(TPixoranView& v, int32_t w, int32_t h) {
  TPXBitmap* b = v.GetPXBitmap();
  b->Allocate(w, h, pxBGR24);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* r = b->Scanline(y);
    for (int32_t x = 0; x < w; ++x) {
      r[3 * x] = static_cast<uint8_t>(x);
      r[3 * x + 1] = static_cast<uint8_t>(y);
      r[3 * x + 2] = static_cast<uint8_t>((x >> 8) * 16 + (y >> 8));
    }
  }
  v.Update();
}

// The grabbed client pixel against the picture's pixel the conversions
// name there.
void ExpectPictureAt(TPixoranView& v, const QImage& img, int32_t x, int32_t y) {
  const int32_t ix = v.ScreenToBitmapX(x), iy = v.ScreenToBitmapY(y);
  ASSERT_TRUE(ix >= 0 && iy >= 0 && ix < v.GetPXBitmap()->Width() && iy < v.GetPXBitmap()->Height())
      << ix << "," << iy << " at zoom " << v.Zoom();
  const uint8_t* p = v.GetPXBitmap()->Scanline(iy) + 3 * ix;
  const QRgb got = img.pixel(x + v.FrameWidth(), y + v.FrameWidth());
  EXPECT_EQ(got & 0xFFFFFF, qRgb(p[2], p[1], p[0]) & 0xFFFFFFu)
      << "client " << x << "," << y << " shows image " << ix << "," << iy << " at zoom " << v.Zoom();
}

// Wheel notches from the fit zoom to the largest zoom the view takes, and
// zooms far above, each grabbed: the client shows the picture's pixel the
// conversions name under its centre and in its corners, as the program's
// view (layers placed by position) and the plain one both draw it.
TEST(PixoranViewTables, PictureDrawnAtEveryZoomUpToTheLargest) {
  for (bool sameSize : {true, false}) {
    SCOPED_TRACE(sameSize ? "layers the same size" : "layers placed by position");
    TPixoranView v;
    v.SetBorderStyle(bsNone);
    v.SetScrollBars(ssNone);
    v.SetBounds(0, 0, 400, 300);
    v.SetLayersSameSize(sameSize);
    SetCoordinatePicture(v, 1200, 800);
    v.ZoomToFit();
    int notches = 0;
    auto check = [&] {
      const QImage img = v.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
      const int32_t x1 = v.OffsetX(), y1 = v.OffsetY();
      const int32_t x2 = x1 + std::min(v.VisibleClientWidth(), v.ClientWidth() - x1) - 1;
      const int32_t y2 = y1 + std::min(v.VisibleClientHeight(), v.ClientHeight() - y1) - 1;
      for (const auto& [x, y] : std::vector<std::pair<int32_t, int32_t>>{
               {v.ClientWidth() / 2, v.ClientHeight() / 2}, {x1, y1}, {x2, y2}, {x1, y2}, {x2, y1}})
        ExpectPictureAt(v, img, x, y);
    };
    for (;; ++notches) {
      check();
      if (HasFailure()) return;
      const double before = v.Zoom();
      v.ApplyMouseWheel(-120, v.ClientWidth() / 2, v.ClientHeight() / 2, false);
      if (v.Zoom() == before) break;
    }
    EXPECT_GT(notches, 150);
    EXPECT_GT(v.Zoom(), 1.0e7);
    for (double z : {2.0e6, 1.7e6, 4.0e4, 1.0e7}) {
      v.SetZoom(z);
      int32_t mx = 0, my = 0;
      v.GetMaxViewXY(mx, my);
      v.SetViewXY(mx / 3, my / 2);
      check();
    }
  }
}

// At a zoom whose whole tables would take some 200 MB (a 6000 x 4000
// picture at 500 000 %), the viewer's tables hold the client's pixels and
// the columns they show, and the client shows the picture.
TEST(PixoranViewTables, HighZoomTablesFollowTheClientNotTheZoom) {
  TPixoranView v;
  v.SetBorderStyle(bsNone);
  v.SetScrollBars(ssNone);
  v.SetBounds(0, 0, 400, 300);
  v.SetLegacyBitmap(false);
  SetCoordinatePicture(v, 6000, 4000);
  v.SetZoom(500000.0);
  ASSERT_EQ(v.Zoom(), 500000.0);
  v.SetViewXY(v.ZoomedWidth() / 2, v.ZoomedHeight() / 3);
  const QImage img = v.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  int32_t pixX = 0, colX = 0, pixY = 0, colY = 0;
  v.CoordTableLengths(pixX, colX, pixY, colY);
  EXPECT_EQ(pixX, 400);
  EXPECT_EQ(pixY, 300);
  EXPECT_EQ(colX, 1);  // a column is 5000 pixels wide
  EXPECT_EQ(colY, 1);
  EXPECT_GT(v.VisibleClientWidth(), 400);  // what the tables once held
  // Still the column under each client pixel, and its colour there.
  EXPECT_EQ(v.ScreenToBitmapX(v.OffsetX()), v.ViewX() / 5000);
  EXPECT_EQ(v.ScreenToBitmapY(v.OffsetY() + 299), (v.SnapViewY(v.ViewY()) + 299) / 5000);
  ExpectPictureAt(v, img, 200, 150);
  ExpectPictureAt(v, img, 399, 299);
  // Back at the fit zoom the same buffers hold the client's pixels again.
  v.ZoomToFit();
  v.CoordTableLengths(pixX, colX, pixY, colY);
  EXPECT_EQ(pixX, v.VisibleClientWidth());
  EXPECT_LE(colX, v.VisibleImageWidth());
  EXPECT_GT(colX, v.VisibleImageWidth() * 99 / 100);
}

}  // namespace
