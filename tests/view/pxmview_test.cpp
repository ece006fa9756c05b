// The thumbnail view: records with insert and delete, the stores, the
// thumbnail reduction, layout, hit-testing and the selection moves.
#include "view/pxmview.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>
#include <QPixmap>
#include <QWidget>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "testsupport.h"

using namespace pixoran;

namespace {

void Fill(TPXBitmap& b, int32_t w, int32_t h, uint8_t seed) {
  b.Allocate(w, h, pxBGR24);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* r = b.Scanline(y);
    for (int32_t x = 0; x < w; ++x) {
      r[3 * x] = static_cast<uint8_t>(seed);
      r[3 * x + 1] = static_cast<uint8_t>(y);
      r[3 * x + 2] = static_cast<uint8_t>(x);
    }
  }
}

// A view of count images whose file names are their creation numbers.
void Populate(TPixoranMView& v, int32_t count) {
  for (int32_t i = 0; i < count; ++i) v.SetImageFileName(v.AppendImage(), std::to_string(i));
}

std::vector<std::string> Names(TPixoranMView& v) {
  std::vector<std::string> n;
  for (int32_t i = 0; i < v.GetImageCount(); ++i) n.push_back(v.GetImageFileName(i));
  return n;
}

}  // namespace

TEST(MView, InsertAndDeleteKeepTheSelectionAndRecordTheChange) {
  TPixoranMView v;
  Populate(v, 4);
  v.InsertImageNoSelect(99);  // past the end appends
  EXPECT_EQ(v.GetImageCount(), 5);
  EXPECT_EQ(v.GetLastChange(), 0);  // reset by the callbacks it fired
  struct Seen {
    int32_t kind = -1, index = -1;
  } seen;
  v.RegisterBitmapChangeEvent(
      [](void* d, TPXView* view, bool destroying) {
        if (destroying) return;
        auto* s = static_cast<Seen*>(d);
        if (static_cast<TPixoranMView*>(view)->GetLastChange() == 0) return;  // the layout's own round
        s->kind = static_cast<TPixoranMView*>(view)->GetLastChange();
        s->index = static_cast<TPixoranMView*>(view)->GetLastChangeIndex();
      },
      &seen);
  v.InsertImageNoSelect(50);
  EXPECT_EQ(seen.kind, 1);
  EXPECT_EQ(seen.index, 50);
  v.DeleteImage(5);
  EXPECT_EQ(seen.kind, 2);
  EXPECT_EQ(seen.index, 5);

  struct Case {
    int32_t selected, deleted, expectSelected;
  };
  for (const Case& c : std::vector<Case>{{4, 4, 3}, {2, 0, 1}, {2, 3, 2}, {2, 2, 2}, {0, 0, 0}}) {
    TPixoranMView w;
    Populate(w, 5);
    w.SetSelectedImage(c.selected);
    EXPECT_TRUE(w.DeleteImage(c.deleted));
    EXPECT_EQ(w.SelectedImage(), c.expectSelected) << c.selected << " " << c.deleted;
  }
  TPixoranMView w;
  Populate(w, 3);
  EXPECT_FALSE(w.DeleteImageNoUpdate(3));
  w.SetSelectedImage(1);
  w.InsertImage(0);  // selects the new image
  EXPECT_EQ(w.SelectedImage(), 0);
  EXPECT_EQ(Names(w), (std::vector<std::string>{"", "0", "1", "2"}));
  w.SetSelectedImage(2);
  w.InsertImageNoSelect(1);  // the selection follows its image
  EXPECT_EQ(w.GetImageFileName(w.SelectedImage()), "1");
  EXPECT_EQ(w.GetImageFileName(9), "");
  EXPECT_EQ(w.GetImageBottomText(9), nullptr);
  w.Clear();
  EXPECT_EQ(w.GetImageCount(), 0);
  EXPECT_EQ(w.SelectedImage(), -1);
}

TEST(MView, StoresImagesAndReducesThemToTheThumbnailBox) {
  struct Case {
    TPXStoreType type;
    int32_t w, h, expectW, expectH;
  };
  for (const Case& c : std::vector<Case>{{pxtNormal, 300, 120, 300, 120},
                                         {pxtThumb, 300, 120, 100, 40},
                                         {pxtThumb, 40, 80, 50, 100},  // fit-always enlarges
                                         {pxtThumb, 5000, 2, 100, 1}}) {  // never 0 pixels
    TPixoranMView v;
    v.SetStoreType(c.type);
    v.AppendImage();
    TPXBitmap b;
    Fill(b, c.w, c.h, 7);
    ASSERT_TRUE(v.SetImageBitmap(0, b));
    TPXBitmap out;
    ASSERT_TRUE(v.CopyStoredImage(0, out));
    EXPECT_EQ(out.Width(), c.expectW);
    EXPECT_EQ(out.Height(), c.expectH);
    EXPECT_EQ(v.GetImageOriginalWidth(0), c.w);
    EXPECT_EQ(v.GetImageOriginalHeight(0), c.h);
    if (c.type == pxtNormal) {
      for (int32_t y = 0; y < c.h; y += 37)
        for (int32_t x = 0; x < c.w; x += 41) ASSERT_EQ(out.Scanline(y)[3 * x + 2], static_cast<uint8_t>(x));
    }
  }
  // A 1-bit picture of alternate columns goes through the 1-bit reducer
  // (centred 3 x 3 windows at half size: 3 of 9 bits set); an 8-bit one
  // stretched without filter becomes 24-bit too.
  for (TPXPixelFormat format : {pxBW1, pxGray8}) {
    TPixoranMView t;
    t.SetStoreType(pxtThumb);
    t.SetThumbnailResampleFilter(format == pxBW1 ? rfFastLinear : rfNone);
    t.AppendImage();
    TPXBitmap b;
    b.Allocate(200, 200, format);
    for (int32_t y = 0; y < 200; ++y) {
      uint8_t* r = b.Scanline(y);
      for (int32_t i = 0; i < (format == pxBW1 ? 25 : 200); ++i) r[i] = format == pxBW1 ? 0xAA : 90;
    }
    ASSERT_TRUE(t.SetImageBitmap(0, b));
    TPXBitmap out;
    ASSERT_TRUE(t.CopyStoredImage(0, out));
    EXPECT_EQ(out.PixelFormat(), pxBGR24);
    EXPECT_EQ(out.Width(), 100);
    EXPECT_EQ(out.Scanline(50)[3 * 50], format == pxBW1 ? 85 : 90) << int(format);
  }
  TPixoranMView v;
  EXPECT_FALSE(v.SetImageBitmap(0, *std::make_unique<TPXBitmap>()));
  // A deleted image leaves its neighbours' stored pictures in place.
  Populate(v, 3);
  for (int32_t i = 0; i < 3; ++i) {
    TPXBitmap b;
    Fill(b, 10 + i, 10, static_cast<uint8_t>(i));
    v.SetImageBitmap(i, b);
  }
  v.DeleteImage(1);
  TPXBitmap out;
  ASSERT_TRUE(v.CopyStoredImage(1, out));
  EXPECT_EQ(out.Width(), 12);
  EXPECT_EQ(out.Scanline(0)[0], 2);
  EXPECT_FALSE(v.IsImageLoaded(2));
}

TEST(MView, ColumnsAndHitTestingAtTheBorders) {
  TPixoranMView v;
  v.SetBounds(0, 0, 330, 400);
  const int32_t cw = v.ClientWidth();
  v.SetBounds(0, 0, 330 + (330 - cw), 400);  // a client exactly 330 wide
  ASSERT_EQ(v.ClientWidth(), 330);
  Populate(v, 10);
  v.SetGridWidth(-1);
  EXPECT_EQ(v.Columns(), 3);
  EXPECT_EQ(v.GetImageCellX(3), 4);
  EXPECT_EQ(v.GetImageCellY(3), 108);
  struct Hit {
    int32_t x, y, expect;
  };
  for (const Hit& h : std::vector<Hit>{{4, 4, 0},
                                       {103, 4, 0},
                                       {104, 50, -1},  // the border between two cells
                                       {107, 50, -1},
                                       {108, 50, 1},
                                       {50, 103, 0},
                                       {50, 104, -1},  // the next row's border
                                       {50, 106, -1},
                                       {50, 108, 3},
                                       {320, 50, -1},
                                       {4, 320, 9},
                                       {108, 320, -1}}) {
    EXPECT_EQ(v.ImageAtPos(h.x, h.y), h.expect) << h.x << "," << h.y;
  }
  v.SetGridWidth(0);
  EXPECT_EQ(v.GetImageCellY(9), 4);
  EXPECT_EQ(v.TotalWidth(), 9 * 104 + 4 + 104);
  v.SetBounds(0, 0, 60, 400);
  v.SetGridWidth(-1);  // narrower than one cell: still one column
  EXPECT_EQ(v.Columns(), 1);
  v.SetThumbWidth(0);  // at least 1, so nothing divides by zero
  EXPECT_EQ(v.ThumbWidth(), 1);
  EXPECT_EQ(v.ImageAtPos(4, 5), 0);
}

TEST(MView, ShiftClickWithAndWithoutRegion) {
  for (bool region : {false, true}) {
    TPixoranMView v;
    v.SetBounds(0, 0, 600, 600);
    Populate(v, 12);
    v.SetGridWidth(4);
    v.SetEnableMultiSelect(true);
    v.SetMultiSelectionOptions(region ? pxmoRegion : 0);
    v.SelectAt(v.GetImageCellX(1) + 5, v.GetImageCellY(1) + 5, 0);
    v.SelectAt(v.GetImageCellX(10) + 5, v.GetImageCellY(10) + 5, ssShift);
    EXPECT_EQ(v.SelectedImage(), 10);
    std::vector<int32_t> sel;
    for (int32_t i = 0; i < 12; ++i)
      if (v.IsInMultiSelection(i)) sel.push_back(i);
    if (region)
      EXPECT_EQ(sel, (std::vector<int32_t>{1, 2, 5, 6, 9, 10}));
    else
      EXPECT_EQ(sel, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
    v.SelectAt(v.GetImageCellX(0) + 5, v.GetImageCellY(0) + 5, 0);  // a plain click starts over
    EXPECT_TRUE(v.MultiSelectedImages().empty());
  }
}

TEST(MView, PageAndArrowKeysAtBothEnds) {
  TPixoranMView v;
  v.SetBounds(0, 0, 450, 250);
  Populate(v, 20);
  v.SetGridWidth(4);  // rows per page: (client height - 4) div 104
  const int32_t page = 4 * ((v.ClientHeight() - 4) / 104);
  ASSERT_GT(page, 0);
  struct Step {
    int key, expect;
  };
  v.SetSelectedImage(0);
  for (const Step& s : std::vector<Step>{{37, 0},  // left at the first stays
                                         {38, 0},  // up at the top row: the first
                                         {40, 4},
                                         {39, 5},
                                         {35, 19},
                                         {39, 19},   // right at the last: off the list, ignored
                                         {40, 19},   // down at the last row stops at the last
                                         {34, 19},   // page down past the end stays
                                         {33, 19 - page},
                                         {36, 0},
                                         {33, 0}}) {
    int key = s.key;
    v.KeyDown(key, 0);
    EXPECT_EQ(v.SelectedImage(), s.expect) << "key " << s.key;
    EXPECT_TRUE(v.IsImageVisible(v.SelectedImage()));
  }
}

namespace {

// A job that paints the file name's number into a 10 x 10 picture, waiting
// for a gate first; "bad" names fail.
struct GatedJobs {
  std::mutex m;
  std::condition_variable cv;
  bool open = false;
  std::atomic<int> started{0}, maxRunning{0}, running{0};
  TPixoranMView::TLoadJob Job() {
    return [this](const std::string& name, TPXBitmap& b, int32_t, int32_t, const std::atomic<bool>& cancelled, TPXMLoadInfo&) {
      const int now = ++running;
      int prev = maxRunning.load();
      while (now > prev && !maxRunning.compare_exchange_weak(prev, now)) {
      }
      ++started;
      {
        std::unique_lock<std::mutex> l(m);
        cv.wait(l, [&] { return open || cancelled.load(); });
      }
      --running;
      if (name.rfind("bad", 0) == 0) return false;
      Fill(b, 10, 10, static_cast<uint8_t>(std::stoi(name)));
      return true;
    };
  }
  void Open() {
    std::lock_guard<std::mutex> l(m);
    open = true;
    cv.notify_all();
  }
};

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 500 && !done(); ++i) {
    QCoreApplication::processEvents();  // the loader's hand-offs to the UI thread
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return done();
}

uint8_t StoredSeed(TPixoranMView& v, int32_t index) {
  TPXBitmap out;
  return v.CopyStoredImage(index, out) ? out.Scanline(0)[0] : 255;
}

}  // namespace

TEST(MViewLoaderThreads, PoolLimitAndEachFileQueuedOnce) {
  GatedJobs jobs;
  TPixoranMView v;
  v.SetBounds(0, 0, 500, 400);  // 12 cells visible: 4 x 3 of 100 + 4
  v.SetGridWidth(4);
  v.SetLoadJobFactory(jobs.Job());
  Populate(v, 12);
  for (int32_t i = 0; i < 12; ++i) EXPECT_TRUE(v.QueueLoad(i));
  for (int32_t i = 0; i < 12; ++i) EXPECT_TRUE(v.QueueLoad(i));  // already pending or running
  ASSERT_TRUE(WaitFor([&] { return jobs.started.load() == 5; }));
  EXPECT_EQ(v.RunningCount(), 5);
  EXPECT_EQ(v.PendingCount(), 7);
  jobs.Open();
  ASSERT_TRUE(WaitFor([&] {
    for (int32_t i = 0; i < 12; ++i)
      if (!v.IsImageLoaded(i)) return false;
    return true;
  }));
  EXPECT_EQ(jobs.started.load(), 12);  // each file once
  EXPECT_LE(jobs.maxRunning.load(), 5);
  for (int32_t i = 0; i < 12; ++i) EXPECT_EQ(StoredSeed(v, i), i);
}

TEST(MViewLoaderThreads, FailedLoadShowsThePlaceholderAndCancelledDoesNot) {
  GatedJobs jobs;
  TPixoranMView v;
  v.SetBounds(0, 0, 500, 400);
  v.SetGridWidth(4);
  v.SetLoadJobFactory(jobs.Job());
  // Qt's first text drawing starts font threads of its own that the thread
  // sanitizer cannot see into: the glyph is drawn in the test below instead.
  int32_t offered = -1;
  v.OnWrongImage = [&offered](TObject*, TPXBitmap& b, int32_t index, bool& handled) {
    offered = index;
    handled = b.Width() == 100 && b.Height() == 100;
  };
  Populate(v, 2);
  v.SetImageFileName(0, "bad0");
  v.QueueLoad(0);
  v.QueueLoad(1);
  ASSERT_TRUE(WaitFor([&] { return jobs.started.load() == 2; }));
  v.CancelLoads();  // job 1 is waiting at the gate: cancelled
  jobs.Open();
  ASSERT_TRUE(WaitFor([&] { return v.RunningCount() == 0; }));
  EXPECT_FALSE(v.IsImageLoaded(1));
  EXPECT_FALSE(v.IsWrongImage(1));
  EXPECT_FALSE(v.IsImageLoaded(0));  // cancelled too
  EXPECT_TRUE(v.QueueLoad(0));       // queued again, now it fails
  ASSERT_TRUE(WaitFor([&] { return v.IsWrongImage(0) && v.IsImageLoaded(0); }));
  EXPECT_TRUE(v.IsImageLoaded(0));
  TPXBitmap out;
  ASSERT_TRUE(v.CopyStoredImage(0, out));
  EXPECT_EQ(out.Width(), v.ThumbWidth());
  EXPECT_EQ(offered, 0);
  EXPECT_TRUE(v.QueueLoad(0));  // a placeholder is not queued again
  EXPECT_EQ(v.PendingCount(), 0);
}

TEST(MView, CorruptFileGivesThePlaceholder) {
  // A real corrupt file through the I/O component.
  const std::string dir = pixoran::testing::MakeTempDir("mview");
  {
    std::ofstream f(dir + "/broken.jpg", std::ios::binary);
    f << "\xFF\xD8\xFF\xE0 not really a jpeg";
  }
  TPixoranMView w;
  w.AppendImage();
  EXPECT_FALSE(w.LoadImageFromFile(0, dir + "/broken.jpg"));
  EXPECT_TRUE(w.IsWrongImage(0));
}

TEST(MViewLoaderThreads, InsertAndDeleteWhileLoadingKeepEveryThumbnailInItsRecord) {
  GatedJobs jobs;
  jobs.open = true;
  TPixoranMView v;
  v.SetBounds(0, 0, 2000, 2000);
  v.SetThumbWidth(20);
  v.SetThumbHeight(20);
  v.SetGridWidth(-1);
  v.SetLoadJobFactory(jobs.Job());
  Populate(v, 40);
  for (int round = 0; round < 30; ++round) {
    for (int32_t i = 0; i < v.GetImageCount(); ++i) v.QueueLoad(i);
    v.DeleteImage(round % v.GetImageCount());
    v.InsertImageNoSelect(round % 7);
    v.SetImageFileName(round % 7, std::to_string(100 + round));
  }
  ASSERT_TRUE(WaitFor([&] {
    for (int32_t i = 0; i < v.GetImageCount(); ++i) v.QueueLoad(i);
    for (int32_t i = 0; i < v.GetImageCount(); ++i)
      if (!v.IsImageLoaded(i)) return false;
    return true;
  }));
  for (int32_t i = 0; i < v.GetImageCount(); ++i)
    EXPECT_EQ(StoredSeed(v, i), static_cast<uint8_t>(std::stoi(v.GetImageFileName(i)))) << i;
}

TEST(MView, CaptionEllipsisFromTheLeft) {
  auto width = [](const std::string& s) { return static_cast<int>(s.size()) * 6; };  // 6 pixels per character
  EXPECT_EQ(EllipsisCaption("short", 50, width), "short");
  EXPECT_EQ(EllipsisCaption("photograph_0001.jpg", 50, width), "...1.jpg");
  EXPECT_EQ(EllipsisCaption("abcdef", 5, width), "...f");  // stops with fewer than 2 left
  // Multi-byte characters are dropped whole (3 bytes each here).
  const std::string cjk = "照片照片照片";
  EXPECT_EQ(EllipsisCaption(cjk, 30, [](const std::string& s) { return static_cast<int>(s.size()) * 2; }),
            "..." + cjk.substr(6));
}

TEST(MView, PlaybackDelaysWithAnInjectedTimer) {
  for (bool loop : {false, true}) {
    TPixoranMView v;
    v.SetBounds(0, 0, 400, 300);
    v.SetGridWidth(-1);
    Populate(v, 3);
    v.SetImageDelayTime(1, 500);
    v.SetSelectedImage(2);
    std::vector<int32_t> armed;
    v.SetPlaybackTimer([&](int32_t ms) {
      if (ms >= 0) armed.push_back(ms);
    });
    v.SetPlayLoop(loop);
    v.SetPlaying(true);
    EXPECT_EQ(v.DisplayMode(), mdSingle);
    EXPECT_EQ(v.SelectedImage(), -1);
    v.SetSelectedImage(1);  // ignored while playing
    EXPECT_EQ(v.SelectedImage(), -1);
    v.UpdatePlayback();  // the timer's ticks
    v.UpdatePlayback();
    if (loop) {
      EXPECT_EQ(armed, (std::vector<int32_t>{10, 500, 10}));
      EXPECT_TRUE(v.Playing());
      EXPECT_EQ(v.PlaybackIndex(), 0);
      v.SetPlaying(false);
    } else {
      EXPECT_EQ(armed, (std::vector<int32_t>{10, 500}));  // stops after the last image
      EXPECT_FALSE(v.Playing());
    }
    EXPECT_EQ(v.DisplayMode(), mdGrid);
    EXPECT_EQ(v.SelectedImage(), 2);
  }
  TPixoranMView empty;
  int armedCount = 0;
  empty.SetPlaybackTimer([&](int32_t ms) { armedCount += ms >= 0; });
  empty.SetPlaying(true);
  EXPECT_EQ(armedCount, 0);  // nothing to show, no timer
}

TEST(MView, PaintsThumbnailsSelectionAndPlaceholder) {
  TPixoranMView v;
  v.SetBounds(0, 0, 400, 200);
  v.SetGridWidth(-1);
  v.SetBackground(clWhite);
  v.SetThumbnailsBackground(static_cast<TColor>(0x00FF00));  // green cells
  Populate(v, 3);
  v.SetImageFileName(1, "");  // nothing to load: the placeholder
  v.SetImageFileName(2, "/nonexistent/x.jpg");
  v.SetThreadPoolSize(0);  // everything synchronously
  TPXBitmap pic;
  Fill(pic, 100, 50, 200);  // wide: green margins above and below
  v.SetImageBitmap(0, pic);
  v.SetSelectedImage(0);
  v.Show();
  const QImage img = v.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
  const int f = v.FrameWidth();
  if (const char* dir = std::getenv("PIXORAN_SAVE_FRAMES")) img.save(QString(dir) + "/mview.png");
  auto at = [&](int x, int y) { return img.pixel(x + f, y + f) & 0xFFFFFF; };
  const int x0 = v.GetImageCellX(0), y0 = v.GetImageCellY(0);
  EXPECT_EQ(qBlue(at(x0 + 50, y0 + 50)), 200);      // the picture, centred
  EXPECT_EQ(at(x0 + 50, y0 + 5), 0x00FF00u);        // the cell colour above it
  EXPECT_EQ(at(x0 - 1, y0 + 50), 0xFF0000u);        // the selection frame (red)
  EXPECT_EQ(at(1, 1), 0xFFFFFFu);                   // the view's background
  EXPECT_TRUE(v.IsWrongImage(1));
  EXPECT_TRUE(v.IsWrongImage(2));
  const int x1 = v.GetImageCellX(1), y1 = v.GetImageCellY(1);
  EXPECT_EQ(at(x1 + 2, y1 + 2), 0xFFFFFFu);  // the placeholder is white
}

TEST(MView, ImagesWithAnIDComeFromTheRequestEvent) {
  TPixoranMView v;
  v.SetBounds(0, 0, 400, 200);
  Populate(v, 2);
  v.SetImageID(0, 42);
  v.SetImageID(1, 7);
  std::vector<int32_t> asked;
  v.OnImageIDRequest = [&asked](TObject*, int32_t id, TPXBitmap& b) {
    asked.push_back(id);
    if (id == 42) Fill(b, 30, 20, 42);
  };
  EXPECT_FALSE(v.QueueLoad(0));  // not queued: obtained synchronously
  EXPECT_EQ(v.PendingCount(), 0);
  EXPECT_TRUE(v.LoadImageNow(0));
  EXPECT_EQ(StoredSeed(v, 0), 42);
  EXPECT_FALSE(v.LoadImageNow(1));  // the event gave nothing: the placeholder
  EXPECT_TRUE(v.IsWrongImage(1));
  EXPECT_EQ(asked, (std::vector<int32_t>{42, 7}));
}

TEST(MView, RemoveCorruptedDropsFailedImagesAndLaysOutAgain) {
  TPixoranMView v;
  v.SetBounds(0, 0, 400, 200);
  v.SetGridWidth(-1);
  v.SetThreadPoolSize(0);
  v.SetRemoveCorrupted(true);
  Populate(v, 3);
  v.SetImageFileName(0, "/nonexistent/a.jpg");
  TPXBitmap pic;
  Fill(pic, 100, 100, 9);
  v.SetImageBitmap(1, pic);
  v.SetImageBitmap(2, pic);
  TBitmap buffer;
  buffer.SetSize(v.ClientWidth(), v.ClientHeight());
  v.DrawVisibleThumbnails(buffer);
  EXPECT_EQ(v.GetImageCount(), 2);
  EXPECT_EQ(v.GetImageCellX(0), 4);
  // Cells in the image's own colour, and the progress of a multi-image draw.
  Fill(pic, 100, 50, 9);
  v.SetImageBitmap(1, pic);
  v.SetImageBackground(1, static_cast<TColor>(0x0000FF));
  v.SetDrawImageBackground(true);
  std::vector<int32_t> progress;
  v.OnDrawProgress = [&progress](TObject*, int32_t p) { progress.push_back(p); };
  v.DrawVisibleThumbnails(buffer);
  EXPECT_EQ(buffer.Canvas().Pixel(v.GetImageCellX(1) + 50, v.GetImageCellY(1) + 5), static_cast<TColor>(0x0000FF));
  EXPECT_EQ(progress, (std::vector<int32_t>{0, 50, 0}));  // the former second image moved into the first cell
  EXPECT_EQ((buffer.Canvas().Pixel(54, 54) >> 16) & 0xFF, 9u);  // blue of the picture (TColor keeps it in bits 16-23)
}

TEST(MViewLoaderThreads, ScrollingAwayCancelsAndScrollingBackQueuesAgain) {
  GatedJobs jobs;
  TPixoranMView v;
  v.SetBounds(0, 0, 500, 400);
  v.SetGridWidth(4);
  v.SetLoadJobFactory(jobs.Job());
  Populate(v, 40);
  for (int32_t i = 0; i < 12; ++i) v.QueueLoad(i);
  ASSERT_TRUE(WaitFor([&] { return jobs.started.load() == 5; }));
  v.SetViewY(v.GetImageCellY(36));  // only the last rows are visible now
  ASSERT_FALSE(v.IsImageVisible(0));
  EXPECT_TRUE(v.QueueLoad(36));
  EXPECT_LE(v.PendingCount(), 1);  // the first rows' entries are gone
  jobs.Open();
  ASSERT_TRUE(WaitFor([&] { return v.IsImageLoaded(36) && v.RunningCount() == 0; }));
  for (int32_t i = 0; i < 12; ++i) EXPECT_FALSE(v.IsImageLoaded(i)) << i;  // cancelled, nothing stored
  v.SetViewY(0);
  EXPECT_TRUE(v.QueueLoad(0));
  ASSERT_TRUE(WaitFor([&] { return v.IsImageLoaded(0); }));
  EXPECT_EQ(StoredSeed(v, 0), 0);
}
