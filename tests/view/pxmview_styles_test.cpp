// The thumbnail view's looks and interaction settings: background styles and
// wall paper, cell styles, frames, the drawing events, scroll settings,
// mouse and key interaction, synchronous loads through its own I/O
// component, and playback transitions.
#include <gtest/gtest.h>

#include <QImage>
#include <QTest>
#include <QWidget>

#include <cstdlib>
#include <fstream>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "proc/pixoranproc.h"
#include "testsupport.h"
#include "io/pxformats.h"
#include "io/pxmio.h"
#include "view/pxmview.h"

using namespace pixoran;

namespace {

void Solid(TPXBitmap& b, int32_t w, int32_t h, uint8_t blue, uint8_t green, uint8_t red) {
  b.Allocate(w, h, pxBGR24);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* r = b.Scanline(y);
    for (int32_t x = 0; x < w; ++x) {
      r[3 * x] = blue;
      r[3 * x + 1] = green;
      r[3 * x + 2] = red;
    }
  }
}

// A view 400 x 200 with count images 100 x 50 in blue 200, laid out in rows.
void MakeView(TPixoranMView& v, int32_t count) {
  v.SetBounds(0, 0, 400, 200);
  v.SetGridWidth(-1);
  v.SetBackground(clWhite);
  v.SetThumbnailsBackground(clLime);
  v.SetThreadPoolSize(0);
  for (int32_t i = 0; i < count; ++i) {
    v.AppendImage();
    TPXBitmap pic;
    Solid(pic, 100, 50, 200, 0, 0);
    v.SetImageBitmap(i, pic);
  }
}

// Draws the view into a client-sized buffer and reads pixels as 0xRRGGBB.
struct Drawn {
  TBitmap buffer;
  explicit Drawn(TPixoranMView& v) {
    buffer.SetPixelFormat(pf24bit);
    buffer.SetSize(v.ClientWidth(), v.ClientHeight());
    v.DrawVisibleThumbnails(buffer);
  }
  uint32_t operator()(int x, int y) {
    const TColor c = buffer.Canvas().Pixel(x, y);
    return static_cast<uint32_t>(((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF));
  }
};

uint32_t Rgb(TColor c) {
  c = ColorToRGB(c);
  return static_cast<uint32_t>(((c & 0xFF) << 16) | (c & 0xFF00) | ((c >> 16) & 0xFF));
}

QPoint At(TPixoranMView& v, int x, int y) { return QPoint(x + v.FrameWidth(), y + v.FrameWidth()); }

struct Probe : TPixoranMView {
  using TPixoranMView::MouseWheel;
  using TPixoranMView::Scroll;
};

}  // namespace

TEST(MViewStyles, BackgroundStylesAndWallPaper) {
  TPixoranMView v;
  MakeView(v, 0);
  v.SetBackgroundStyle(pxbsChessboard);
  v.SetChessboardStyle(8, bsSolid);
  {
    Drawn d(v);
    EXPECT_EQ(d(0, 0), 0x000000u);  // the rows start in the complement of white
    EXPECT_EQ(d(8, 0), 0xFFFFFFu);
    EXPECT_EQ(d(8, 8), 0x000000u);
  }
  v.SetBackgroundStyle(pxbsSolid);
  // 3 x 2 wall paper: red, green, blue over yellow, black, white.
  TBitmap wp;
  wp.SetPixelFormat(pf24bit);
  wp.SetSize(3, 2);
  const TColor colours[2][3] = {{clRed, clLime, clBlue}, {clYellow, clBlack, clWhite}};
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 3; ++x) wp.Canvas().SetPixel(x, y, colours[y][x]);
  v.SetWallPaper(wp);
  struct Case {
    TPXWallPaperStyle style;
    int x, y;
    TColor expect;
  };
  for (const Case& c : std::vector<Case>{{pxwoNormal, 1, 0, clLime},
                                         {pxwoNormal, 4, 0, clWhite},  // beyond the picture: the background
                                         {pxwoTile, 4, 0, clLime},
                                         {pxwoTile, 301, 51, clBlack},
                                         {pxwoStretch, 10, 10, clRed},
                                         {pxwoStretch, 390, 190, clWhite}}) {
    v.SetWallPaperStyle(c.style);
    Drawn d(v);
    EXPECT_EQ(d(c.x, c.y), Rgb(c.expect)) << int(c.style) << " " << c.x << "," << c.y;
  }
}

TEST(MViewStyles, CellStylesEdgesAndSelection) {
  TPixoranMView v;
  MakeView(v, 2);
  const int x0 = v.GetImageCellX(0), y0 = v.GetImageCellY(0);
  v.SetSelectedImage(0);
  {
    Drawn d(v);  // defaults: 3-D edges, a red frame around the selected cell
    EXPECT_EQ(d(x0, y0 + 50), Rgb(clBtnHighlight));
    EXPECT_EQ(d(x0 + 99, y0 + 50), Rgb(clBtnShadow));
    EXPECT_EQ(d(x0 + 50, y0 + 50), 0x0000C8u);
    EXPECT_EQ(d(x0 - 1, y0 + 50), 0xFF0000u);
    EXPECT_EQ(d(x0 + 50, y0 + 5), 0x00FF00u);
  }
  v.SetStyle(pxmsFlat);
  v.SetSelectionStyle(pxssACD);
  {
    Drawn d(v);  // flat: the picture to its edge; ACD selection: highlight, no frame
    EXPECT_EQ(d(x0, y0 + 50), 0x0000C8u);
    EXPECT_EQ(d(x0 + 50, y0 + 5), Rgb(clHighlight));
    EXPECT_EQ(d(x0 - 1, y0 + 50), 0xFFFFFFu);
    const int x1 = v.GetImageCellX(1);
    EXPECT_EQ(d(x1 + 50, y0 + 5), 0x00FF00u);  // the other cell keeps its colour
  }
  // A translucent picture shows the cell style under it; its margins stay solid.
  v.SetSelectionStyle(pxssAround);
  v.SetThumbnailsBackgroundStyle(pxbsChessboard);
  v.SetChessboardStyle(16, bsSolid);
  TPXBitmap glass;
  Solid(glass, 100, 50, 200, 0, 0);
  glass.GetAlphaChannel()->Fill(0);
  glass.GetAlphaChannel()->Full = false;
  v.SetImageBitmap(1, glass);
  const int x1 = v.GetImageCellX(1);
  {
    Drawn d(v);
    EXPECT_EQ(d(x1 + 1, y0 + 26), 0x00FF00u);   // row 1 of the board, column 0
    EXPECT_EQ(d(x1 + 17, y0 + 26), 0xFF00FFu);  // column 1: the complement
    EXPECT_EQ(d(x1 + 17, y0 + 5), 0x00FF00u);   // the margin above the picture
  }
  v.SetEnableAlphaChannel(false);
  {
    Drawn d(v);
    EXPECT_EQ(d(x1 + 17, y0 + 26), 0x0000C8u);
  }
  // Without filling, a cell shows the view's background beside its picture.
  v.SetFillThumbnail(false);
  {
    Drawn d(v);
    EXPECT_EQ(d(x0 + 50, y0 + 5), 0xFFFFFFu);
  }
}

TEST(MViewStyles, BordersRoundedAndSquare) {
  TPixoranMView v;
  MakeView(v, 1);
  v.SetStyle(pxmsFlat);
  v.SetThumbnailsBorderWidth(2);
  v.SetThumbnailsBorderColor(clBlue);
  const int x0 = v.GetImageCellX(0), y0 = v.GetImageCellY(0);
  for (int32_t divisor : {0, 4}) {
    v.SetRoundCorners(divisor);
    Drawn d(v);
    EXPECT_EQ(d(x0 + 50, y0 - 1), 0x0000FFu) << divisor;
    EXPECT_EQ(d(x0 + 50, y0 - 2), 0x0000FFu) << divisor;
    EXPECT_EQ(d(x0 + 100, y0 + 50), 0x0000FFu) << divisor;
    // The corner pixel: on the frame when square, cut off when rounded (corner 25).
    EXPECT_EQ(d(x0 - 1, y0 - 1), divisor ? 0xFFFFFFu : 0x0000FFu) << divisor;
    EXPECT_EQ(d(x0 + 100, y0 + 100), divisor ? 0xFFFFFFu : 0x0000FFu) << divisor;
    if (divisor) {
      // The arc of radius 12 meets the straight sides: its ends lie on them.
      EXPECT_EQ(d(x0 - 1 + 12, y0 - 1), 0x0000FFu);
      EXPECT_EQ(d(x0 - 1, y0 - 1 + 12), 0x0000FFu);
    }
  }
}

TEST(MViewStyles, DrawEventsAndCaptionGaps) {
  TPixoranMView v;
  MakeView(v, 1);
  v.SetStyle(pxmsFlat);
  v.SetSelectedImage(0);
  const int x0 = v.GetImageCellX(0), y0 = v.GetImageCellY(0);
  // The Ex event shrinks the box to 50 x 50 at (10, 20) inside the cell.
  std::vector<int> seen;
  v.OnBeforeImageDrawEx = [&seen](TObject*, int32_t index, int32_t left, int32_t top, TRect& r) {
    seen = {index, left, top, r.Left, r.Top, r.Right, r.Bottom};
    r = Rect(10, 20, 60, 70);
  };
  {
    Drawn d(v);
    EXPECT_EQ(seen, (std::vector<int>{0, x0, y0, 0, 0, 100, 100}));
    EXPECT_EQ(d(x0 + 9, y0 + 45), 0xFF0000u);   // the frame around the smaller box
    EXPECT_EQ(d(x0 + 35, y0 + 45), 0x0000C8u);  // the picture reduced into it
    EXPECT_EQ(d(x0 + 35, y0 + 21), 0x00FF00u);  // 50 x 25 centred: cell colour above
  }
  v.OnBeforeImageDrawEx = nullptr;
  // Captions off: the plain gaps hold and no caption is drawn.
  v.GetImageBottomText(0)->Caption = "WWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWWW";
  v.SetUpperGap(40);
  v.SetShowCaptions(false);
  v.SetPlainUpperGap(20);
  {
    Drawn d(v);  // area 80 high, picture 50: from y 20 + 15
    EXPECT_EQ(d(x0 + 50, y0 + 34), 0x00FF00u);
    EXPECT_EQ(d(x0 + 50, y0 + 35), 0x0000C8u);
    EXPECT_EQ(d(x0 + 50, y0 + 84), 0x0000C8u);
    for (int y = y0 + 85; y < y0 + 100; ++y)
      for (int x = x0; x < x0 + 100; ++x) ASSERT_EQ(d(x, y), 0x00FF00u) << x << "," << y;
  }
  v.SetShowCaptions(true);
  v.GetImageBottomText(0)->Font.Color = clRed;
  {
    Drawn d(v);  // the caption in its own font's colour at the bottom; the picture starts below UpperGap
    EXPECT_EQ(d(x0 + 50, y0 + 39), 0x00FF00u);
    bool text = false;
    for (int y = y0 + 80; y < y0 + 100 && !text; ++y)
      for (int x = x0; x < x0 + 100; ++x) {
        const uint32_t p = d(x, y);
        text |= (p >> 16) > 200 && ((p >> 8) & 0xFF) < 60 && (p & 0xFF) < 60;
      }
    EXPECT_TRUE(text);
  }
  if (const char* dir = std::getenv("PIXORAN_SAVE_FRAMES")) {
    v.GetImageTopText(0)->Caption = "顶部";
    v.GetImageInfoText(0)->Caption = "1/3";
    v.SetStyle(pxmsACD);
    v.SetThumbnailsBorderWidth(2);
    v.SetThumbnailsBorderColor(clBlue);
    v.SetRoundCorners(4);
    Drawn d(v);
    d.buffer.ToQImage().save(QString(dir) + "/mview_captions.png");
  }
}

TEST(MViewStyles, ScrollCodesWithBarSettings) {
  Probe v;
  MakeView(v, 30);  // 3 columns, 10 rows of 104
  v.Update();
  int32_t mx = 0, my = 0;
  v.GetMaxViewXY(mx, my);
  ASSERT_GT(my, 300);
  std::vector<int32_t> changes;
  v.OnViewChange = [&changes](TObject*, int32_t kind) { changes.push_back(kind); };
  struct Step {
    TScrollCode code;
    int32_t pos, lineStep, pageStep;
    bool tracking;
    int32_t expect;
  };
  const int32_t ch = v.ClientHeight();
  for (const Step& s : std::vector<Step>{{scLineDown, 0, -1, -1, true, 104},
                                         {scLineDown, 0, 7, -1, true, 111},
                                         {scPageDown, 0, -1, -1, true, 111 + ch},
                                         {scPageUp, 0, -1, 30, true, 81 + ch},
                                         {scLineUp, 0, -1, -1, true, ch - 23},
                                         {scBottom, 0, -1, -1, true, my},
                                         {scTop, 0, -1, -1, true, 0},
                                         {scThumbTrack, 1000, -1, -1, false, 0},  // tracking off: ignored
                                         {scThumbPosition, 1000, -1, -1, false, -2},
                                         {scLineUp, 0, -1, -1, true, -3}}) {
    v.VertScrollBarParams().LineStep = s.lineStep;
    v.VertScrollBarParams().PageStep = s.pageStep;
    v.VertScrollBarParams().Tracking = s.tracking;
    v.Scroll(sbVertical, s.code, s.pos);
    if (s.expect == -2) EXPECT_EQ(v.ViewY(), static_cast<int32_t>(1000 * v.VertScrollFactor()));
    else if (s.expect == -3) EXPECT_EQ(v.ViewY(), std::max(static_cast<int32_t>(1000 * v.VertScrollFactor()) - 104, 0));
    else EXPECT_EQ(v.ViewY(), s.expect) << int(s.code);
  }
  EXPECT_EQ(changes.size(), 9u);  // every move but the ignored one
  // The wheel: a row down for a delta of 0 or less, up for a positive one.
  v.SetViewY(0);
  for (int delta : {-120, 0, 120}) v.MouseWheel(0, delta, 0, 0);
  EXPECT_EQ(v.ViewY(), 104);
  // Without bars the client keeps the whole width.
  const int32_t withBar = v.ClientWidth();
  v.SetScrollBars(ssNone);
  EXPECT_GT(v.ClientWidth(), withBar);
  v.SetScrollBars(ssBoth);
  EXPECT_EQ(v.ClientWidth(), withBar);
  // Shrinking the list clamps the origin and says so.
  changes.clear();
  v.SetViewY(my);
  while (v.GetImageCount() > 3) v.DeleteImageNoUpdate(v.GetImageCount() - 1);
  v.Update();
  EXPECT_EQ(v.ViewY(), 0);
  EXPECT_EQ(changes, (std::vector<int32_t>{0, 0}));
}

TEST(MViewStyles, MouseAndKeyInteractionSettings) {
  TPixoranMView v;
  MakeView(v, 30);
  v.Show();
  QWidget* w = v.Widget();
  const int x1 = v.GetImageCellX(1) + 20, y1 = v.GetImageCellY(1) + 20;
  // Selection off: a click selects nothing.
  v.SetMouseInteract(0);
  QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, At(v, x1, y1));
  EXPECT_EQ(v.SelectedImage(), -1);
  v.SetMouseInteract(mmiSelect);
  QTest::mouseClick(w, Qt::LeftButton, Qt::NoModifier, At(v, x1, y1));
  EXPECT_EQ(v.SelectedImage(), 1);
  // Arrow keys move the selection, unless the key interaction is off.
  QTest::keyClick(w, Qt::Key_Down);
  EXPECT_EQ(v.SelectedImage(), 4);
  v.SetKeyInteract(0);
  QTest::keyClick(w, Qt::Key_Down);
  EXPECT_EQ(v.SelectedImage(), 4);
  // Dragging with mmiScroll moves the view with the mouse.
  v.SetMouseInteract(mmiScroll);
  v.SetViewY(0);  // the key move scrolled the selection into view
  QTest::mousePress(w, Qt::LeftButton, Qt::NoModifier, At(v, 100, 150));
  QTest::mouseMove(w, At(v, 100, 120));
  QTest::mouseMove(w, At(v, 100, 90));
  EXPECT_EQ(v.ViewY(), 60);
  QTest::mouseRelease(w, Qt::LeftButton, Qt::NoModifier, At(v, 100, 80));
  EXPECT_EQ(v.ViewY(), 70);
  EXPECT_EQ(v.SelectedImage(), 4);
}

TEST(MViewStyles, SyncLoadsThroughTheViewsOwnIO) {
  const std::string dir = pixoran::testing::MakeTempDir("mviewio");
  // A JPEG of 800 x 600 from Qt's writer, loaded as a thumbnail.
  QImage photo(800, 600, QImage::Format_RGB32);
  photo.fill(QColor(30, 120, 210));
  ASSERT_TRUE(photo.save(QString::fromStdString(dir + "/photo.jpg"), "JPEG", 90));
  // A GIF of one pixel whose screen background is entry 1 (red).
  const unsigned char gif[] = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 1, 0, 0,    0,    0, 255, 0,
                               0,   ',', 0,   0,   0,   0,   1, 0, 1, 0, 0,    2, 2, 0x44, 0x01, 0, ';'};
  std::ofstream(dir + "/dot.gif", std::ios::binary).write(reinterpret_cast<const char*>(gif), sizeof gif);

  TPixoranMView v;
  v.SetStoreType(pxtThumb);
  v.AppendImage();
  v.AppendImage();
  std::vector<int> progress;
  v.OnIOProgress = [&progress](TObject*, int p) { progress.push_back(p); };
  ASSERT_TRUE(v.LoadImageFromFile(0, dir + "/photo.jpg"));
  EXPECT_FALSE(progress.empty());
  EXPECT_EQ(v.GetImageOriginalWidth(0), 800);  // the full size, though decoded reduced
  EXPECT_EQ(v.GetImageOriginalHeight(0), 600);
  TPXBitmap stored;
  ASSERT_TRUE(v.CopyStoredImage(0, stored));
  EXPECT_EQ(stored.Width(), 100);
  EXPECT_EQ(stored.Height(), 75);
  EXPECT_EQ(v.GetImageBackground(0), v.Background());  // a JPEG names no background
  ASSERT_TRUE(v.LoadImageFromFile(1, dir + "/dot.gif"));
  EXPECT_EQ(ColorToRGB(v.GetImageBackground(1)), clRed);

  // The background loader records the same.
  TPixoranMView bg;
  bg.SetStoreType(pxtThumb);
  bg.SetBounds(0, 0, 400, 200);
  bg.SetImageFileName(bg.AppendImage(), dir + "/photo.jpg");
  bg.SetImageFileName(bg.AppendImage(), dir + "/dot.gif");
  bg.QueueLoad(0);
  bg.QueueLoad(1);
  for (int i = 0; i < 500 && !(bg.IsImageLoaded(0) && bg.IsImageLoaded(1)); ++i) {
    QCoreApplication::processEvents();
    QTest::qWait(10);
  }
  ASSERT_TRUE(bg.IsImageLoaded(0) && bg.IsImageLoaded(1));
  EXPECT_EQ(bg.GetImageOriginalWidth(0), 800);
  EXPECT_EQ(ColorToRGB(bg.GetImageBackground(1)), clRed);

  // The selected image's bitmap, kept until the selection changes.
  EXPECT_EQ(v.GetPXBitmap(), nullptr);
  v.SetSelectedImage(0);
  TPXBitmap* first = v.GetPXBitmap();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->Width(), 100);
  EXPECT_EQ(v.GetPXBitmap(), first);
  ASSERT_NE(v.GetTBitmap(), nullptr);
  EXPECT_EQ(v.GetTBitmap()->Width(), 100);
  v.SetSelectedImage(1);
  ASSERT_NE(v.GetPXBitmap(), nullptr);
  EXPECT_EQ(v.GetPXBitmap()->Height(), 100);  // the dot, enlarged to the box
  // The processing component takes the progress handler, also when set later.
  int procProgress = 0;
  v.SetOnProgress([&procProgress](TObject*, int) { ++procProgress; });
  ASSERT_NE(v.GetProc(), nullptr);
  EXPECT_TRUE(static_cast<bool>(v.GetProc()->OnProgress));
  v.SetOnProgress(nullptr);
  EXPECT_FALSE(static_cast<bool>(v.GetProc()->OnProgress));

  // The multi-image component follows the view and gets each synchronous
  // load's parameters in the image's own record.
  TPixoranMIO* mio = v.GetMIO();
  ASSERT_NE(mio, nullptr);
  EXPECT_EQ(v.GetMIO(), mio);
  ASSERT_EQ(mio->ParamsCount(), 2);
  v.SetImageFileName(0, dir + "/photo.jpg");
  v.SetImageFileName(1, dir + "/dot.gif");
  ASSERT_TRUE(v.LoadImageNow(0));
  ASSERT_TRUE(v.LoadImageNow(1));
  EXPECT_EQ(mio->GetParams(0)->FileType, ioJPEG);
  EXPECT_EQ(mio->GetParams(1)->FileType, ioGIF);
  v.DeleteImage(0);
  EXPECT_EQ(mio->ParamsCount(), 1);
  EXPECT_EQ(mio->GetParams(0)->FileType, ioGIF);
}

TEST(MViewStyles, ImageIDRequestExNamesTheIndex) {
  TPixoranMView v;
  v.AppendImage();
  v.AppendImage();
  v.SetImageID(1, 77);
  std::vector<int32_t> asked;
  v.OnImageIDRequestEx = [&asked](TObject*, int32_t index, int32_t id, TPXBitmap& b) {
    asked = {index, id};
    Solid(b, 8, 8, 1, 2, 3);
  };
  EXPECT_FALSE(v.QueueLoad(1));  // obtained synchronously
  EXPECT_TRUE(v.LoadImageNow(1));
  EXPECT_EQ(asked, (std::vector<int32_t>{1, 77}));
  EXPECT_TRUE(v.IsImageLoaded(1));
}

TEST(MViewStyles, PlaybackThroughTheTransitionEngine) {
  TPixoranMView v;
  MakeView(v, 2);
  TPXBitmap red;
  Solid(red, 100, 50, 0, 0, 250);
  v.SetImageBitmap(1, red);
  v.SetStyle(pxmsFlat);
  v.SetTransitionEffect(pxttCrossDissolve);
  v.SetTransitionDuration(1000);
  uint32_t now = 0;
  v.Transitions().SetClock([&now] { return now; });
  v.SetPlaybackTimer([](int32_t) {});
  v.Show();
  v.SetPlaying(true);  // the first image: nothing to change from
  EXPECT_FALSE(v.Transitions().Running());
  v.SetDisplayMode(mdGrid);  // only remembered for the end
  EXPECT_EQ(v.DisplayMode(), mdSingle);
  v.UpdatePlayback();
  ASSERT_TRUE(v.Transitions().Running());
  now = 512;
  v.Transitions().TimerTick();  // paints step 0
  const int32_t a = v.Transitions().Step();
  now = 600;
  v.Transitions().TimerTick();  // paints step a
  const QImage img = v.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const QRgb mid = img.pixel(At(v, 50, 40));
  EXPECT_EQ(qRed(mid), (0 * (1024 - a) + 250 * a) >> 10);
  EXPECT_EQ(qBlue(mid), (200 * (1024 - a) + 0 * a) >> 10);
  now = 1000;
  v.Transitions().TimerTick();
  EXPECT_FALSE(v.Transitions().Running());
  EXPECT_EQ(v.UpdateLockCount(), 0);
  const QImage end = v.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  EXPECT_EQ(end.pixel(At(v, 50, 40)) & 0xFFFFFF, 0xFA0000u);
  v.SetPlaying(false);
  EXPECT_EQ(v.DisplayMode(), mdGrid);
}

TEST(MViewStyles, PlaybackEndsWhenDrawingTheTransitionRemovesTheImage) {
  TPixoranMView v;
  MakeView(v, 1);
  v.SetImageFileName(v.AppendImage(), "/nonexistent/x.jpg");
  v.SetRemoveCorrupted(true);
  v.SetTransitionEffect(pxttFadeIn);
  v.SetPlaybackTimer([](int32_t) {});
  v.Show();
  v.SetPlaying(true);
  v.UpdatePlayback();  // the frame after is drawn now: the image fails and goes
  EXPECT_FALSE(v.Playing());
  EXPECT_FALSE(v.Transitions().Running());
  EXPECT_EQ(v.GetImageCount(), 1);
  EXPECT_EQ(v.DisplayMode(), mdGrid);
}
