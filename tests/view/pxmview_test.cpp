// The thumbnail view: records with insert and delete, the stores, the
// thumbnail reduction, layout, hit-testing and the selection moves.
#include "view/pxmview.h"

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QImage>
#include <QPixmap>
#include <QMouseEvent>
#include <QTest>
#include <QWidget>
#include <QApplication>

#include <atomic>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "io/pixoranio.h"
#include "io/pxformats.h"
#include "platform/streams.h"
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
      [](void* d, TPXViewLink* view, bool destroying) {
        if (destroying) return;
        auto* s = static_cast<Seen*>(d);
        if (dynamic_cast<TPixoranMView*>(view)->GetLastChange() == 0) return;  // the layout's own round
        s->kind = dynamic_cast<TPixoranMView*>(view)->GetLastChange();
        s->index = dynamic_cast<TPixoranMView*>(view)->GetLastChangeIndex();
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
                                         {pxtThumb, 40, 80, 50, 100},     // fit-always enlarges
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
    if (region) EXPECT_EQ(sel, (std::vector<int32_t>{1, 2, 5, 6, 9, 10}));
    else EXPECT_EQ(sel, (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));
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
                                         {39, 19},  // right at the last: off the list, ignored
                                         {40, 19},  // down at the last row stops at the last
                                         {34, 19},  // page down past the end stays
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

// A registered test format whose files hold their number as text. The
// reader counts itself, waits at the gate (or until its load is aborted,
// unless the gate is stuck) and fails for the text "bad".
struct Gate {
  std::mutex m;
  bool open = false, stuck = false;
  std::atomic<int> started{0}, maxRunning{0}, running{0}, returned{0};
  std::atomic<int> onIOThread{0};  // reads on an asynchronous component's own worker
  void Reset() {
    std::lock_guard<std::mutex> l(m);
    open = stuck = false;
    started = maxRunning = running = returned = onIOThread = 0;
  }
  void Open() {
    std::lock_guard<std::mutex> l(m);
    open = true;
  }
};

Gate& TheGate() {
  static Gate g;
  return g;
}

void GateRead(TStream& s, TPXBitmap& b, TIOParamsVals&, TPXProgressRec& progress, bool) {
  Gate& g = TheGate();
  char text[16] = {};
  s.Read(text, sizeof text - 1);
  const int now = ++g.running;
  int prev = g.maxRunning.load();
  while (now > prev && !g.maxRunning.compare_exchange_weak(prev, now)) {}
  ++g.started;
  if (auto* io = dynamic_cast<TPixoranIO*>(progress.Sender); io && io->AsyncMode() && io->IsInsideThread())
    ++g.onIOThread;
  auto aborted = [&] { return progress.Aborting && progress.Aborting->load(); };
  for (;;) {
    {
      std::lock_guard<std::mutex> l(g.m);
      if (g.open || (!g.stuck && aborted())) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  --g.running;
  if (std::string(text) == "bad" || aborted()) {
    if (progress.Aborting) *progress.Aborting = true;
  } else {
    Fill(b, 10, 10, static_cast<uint8_t>(std::atoi(text)));
  }
  ++g.returned;
}

// The seed a gated file was written with: its name's number.
int SeedOf(const std::string& fileName) { return std::atoi(fileName.substr(fileName.find_last_of('/') + 1).c_str()); }

class MViewLoaderThreads : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!FindFileFormatInfoByExtension("PXGATE")) {
      TPXFileFormatInfo info;
      info.FileType = 1901;
      info.FullName = "Gated test picture";
      info.Extensions = "PXGATE";
      info.ReadFunction = GateRead;
      RegisterFileFormat(info);
    }
    TheGate().Reset();
    dir_ = pixoran::testing::MakeTempDir("mviewgate");
  }
  // A gated file holding text, named after its number.
  std::string File(int32_t number, const std::string& text = {}) {
    const std::string name = dir_ + "/" + std::to_string(number) + ".pxgate";
    std::ofstream(name, std::ios::binary) << (text.empty() ? std::to_string(number) : text);
    return name;
  }
  void PopulateGated(TPixoranMView& v, int32_t count) {
    for (int32_t i = 0; i < count; ++i) v.SetImageFileName(v.AppendImage(), File(i));
  }
  std::string dir_;
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

TEST_F(MViewLoaderThreads, PoolLimitAndEachFileQueuedOnce) {
  Gate& jobs = TheGate();
  TPixoranMView v;
  v.SetBounds(0, 0, 500, 400);  // 12 cells visible: 4 x 3 of 100 + 4
  v.SetGridWidth(4);
  PopulateGated(v, 12);
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
  EXPECT_EQ(jobs.onIOThread.load(), 12);
  for (int32_t i = 0; i < 12; ++i) EXPECT_EQ(StoredSeed(v, i), i);
}

TEST_F(MViewLoaderThreads, FailedLoadShowsThePlaceholderAndCancelledDoesNot) {
  Gate& jobs = TheGate();
  TPixoranMView v;
  v.SetBounds(0, 0, 500, 400);
  v.SetGridWidth(4);
  // Qt's first text drawing starts font threads of its own that the thread
  // sanitizer cannot see into: the glyph is drawn in the test below instead.
  int32_t offered = -1;
  v.OnWrongImage = [&offered](TObject*, TPXBitmap& b, int32_t index, bool& handled) {
    offered = index;
    handled = b.Width() == 100 && b.Height() == 100;
  };
  PopulateGated(v, 2);
  v.SetImageFileName(0, File(0, "bad"));
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

TEST_F(MViewLoaderThreads, InsertAndDeleteWhileLoadingKeepEveryThumbnailInItsRecord) {
  TheGate().Open();
  TPixoranMView v;
  v.SetBounds(0, 0, 2000, 2000);
  v.SetThumbWidth(20);
  v.SetThumbHeight(20);
  v.SetGridWidth(-1);
  PopulateGated(v, 40);
  for (int round = 0; round < 30; ++round) {
    for (int32_t i = 0; i < v.GetImageCount(); ++i) v.QueueLoad(i);
    v.DeleteImage(round % v.GetImageCount());
    v.InsertImageNoSelect(round % 7);
    v.SetImageFileName(round % 7, File(100 + round));
  }
  ASSERT_TRUE(WaitFor([&] {
    for (int32_t i = 0; i < v.GetImageCount(); ++i) v.QueueLoad(i);
    for (int32_t i = 0; i < v.GetImageCount(); ++i)
      if (!v.IsImageLoaded(i)) return false;
    return true;
  }));
  for (int32_t i = 0; i < v.GetImageCount(); ++i)
    EXPECT_EQ(StoredSeed(v, i), static_cast<uint8_t>(SeedOf(v.GetImageFileName(i)))) << i;
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
      // The last image is shown for its delay; the tick after it stops.
      EXPECT_EQ(armed, (std::vector<int32_t>{10, 500, 10}));
      EXPECT_TRUE(v.Playing());
      v.UpdatePlayback();
      EXPECT_EQ(armed.size(), 3u);
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
  EXPECT_EQ(qBlue(at(x0 + 50, y0 + 50)), 200);  // the picture, centred
  EXPECT_EQ(at(x0 + 50, y0 + 5), 0x00FF00u);    // the cell colour above it
  EXPECT_EQ(at(x0 - 1, y0 + 50), 0xFF0000u);    // the selection frame (red)
  EXPECT_EQ(at(1, 1), 0xFFFFFFu);               // the view's background
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
  EXPECT_EQ(progress, (std::vector<int32_t>{0, 50, 0}));        // the former second image moved into the first cell
  EXPECT_EQ((buffer.Canvas().Pixel(54, 54) >> 16) & 0xFF, 9u);  // blue of the picture (TColor keeps it in bits 16-23)
}

TEST_F(MViewLoaderThreads, ScrollingAwayCancelsAndScrollingBackQueuesAgain) {
  Gate& jobs = TheGate();
  TPixoranMView v;
  v.SetBounds(0, 0, 500, 400);
  v.SetGridWidth(4);
  PopulateGated(v, 40);
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

TEST(MView, ASlideShowWithoutLoopPaintsItsLastImage) {
  TPixoranMView v;
  v.SetBounds(0, 0, 300, 300);
  v.SetGridWidth(-1);
  v.SetThreadPoolSize(0);
  Populate(v, 3);
  for (int32_t i = 0; i < 3; ++i) {
    TPXBitmap pic;
    Fill(pic, 100, 100, static_cast<uint8_t>(60 + 60 * i));
    v.SetImageBitmap(i, pic);
  }
  v.SetPlaybackTimer([](int32_t) {});
  v.SetPlayLoop(false);
  v.Show();
  // The blue of what the window shows at the single image's centre.
  auto shownSeed = [&] {
    const QImage img = v.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    return qBlue(img.pixel(50 + v.FrameWidth(), 50 + v.FrameWidth()));
  };
  v.SetPlaying(true);
  EXPECT_EQ(shownSeed(), 60);
  v.UpdatePlayback();
  EXPECT_EQ(shownSeed(), 120);
  v.UpdatePlayback();
  EXPECT_TRUE(v.Playing());
  EXPECT_EQ(v.DisplayMode(), mdSingle);
  EXPECT_EQ(shownSeed(), 180);
  v.UpdatePlayback();
  EXPECT_FALSE(v.Playing());
  EXPECT_EQ(v.DisplayMode(), mdGrid);
  // Outside playback the single mode shows the selected image.
  v.SetDisplayMode(mdSingle);
  v.SetSelectedImage(1);
  EXPECT_EQ(shownSeed(), 120);
}

TEST(MView, ImagesWithAnIDAndAFileNameAskEitherRequestEvent) {
  for (bool ex : {false, true}) {
    TPixoranMView v;
    v.SetBounds(0, 0, 400, 200);
    Populate(v, 1);
    v.SetImageFileName(0, "/nonexistent/picture.jpg");
    v.SetImageID(0, 42);
    std::vector<int32_t> asked;
    if (ex)
      v.OnImageIDRequestEx = [&asked](TObject*, int32_t index, int32_t id, TPXBitmap& b) {
        asked.push_back(index);
        Fill(b, 30, 20, static_cast<uint8_t>(id));
      };
    else
      v.OnImageIDRequest = [&asked](TObject*, int32_t id, TPXBitmap& b) {
        asked.push_back(id);
        Fill(b, 30, 20, static_cast<uint8_t>(id));
      };
    EXPECT_FALSE(v.QueueLoad(0)) << ex;  // not loaded from the file
    EXPECT_EQ(v.PendingCount() + v.RunningCount(), 0) << ex;
    TBitmap buffer;
    buffer.SetSize(v.ClientWidth(), v.ClientHeight());
    v.DrawVisibleThumbnails(buffer);
    EXPECT_EQ(StoredSeed(v, 0), 42) << ex;
    EXPECT_EQ(asked, (std::vector<int32_t>{ex ? 0 : 42})) << ex;
  }
}

TEST(MView, NarrowClientAndZeroColumnsKeepOneRow) {
  TPixoranMView v;
  v.SetBounds(0, 0, 60, 400);  // narrower than one cell
  Populate(v, 5);
  v.SetGridWidth(-1);
  EXPECT_EQ(v.Columns(), 0);
  EXPECT_EQ(v.GetImageCellY(4), 4);  // all in the first row
  EXPECT_EQ(v.GetImageCellX(1), 108);
  EXPECT_EQ(v.ImageAtPos(10, 10), 0);
  EXPECT_EQ(v.ImageAtPos(10, 120), -1);  // no second row
  v.SetViewX(v.GetImageCellX(2) - 4);
  EXPECT_EQ(v.ImageAtPos(10, 10), 2);
  struct Step {
    int32_t gridWidth, key, from, expect;
  };
  // Up and down move by no columns; paging by columns x rows, 0 here.
  for (const Step& s : std::vector<Step>{{-1, 38, 2, 2},
                                         {-1, 40, 2, 2},
                                         {-1, 34, 2, 2},
                                         {-1, 33, 2, 2},
                                         {-1, 39, 2, 3},
                                         {0, 34, 1, 1},
                                         {0, 33, 3, 3},
                                         {0, 40, 1, 2},
                                         {0, 38, 3, 2}}) {
    v.SetGridWidth(s.gridWidth);
    v.SetSelectedImage(s.from);
    int key = s.key;
    v.KeyDown(key, 0);
    EXPECT_EQ(v.SelectedImage(), s.expect) << s.gridWidth << " key " << s.key;
  }
  // The paging and arrow keys are claimed from focus navigation.
  for (int key = 30; key <= 42; ++key)
    EXPECT_EQ(v.Perform(cmWantSpecialKey, key), key >= 33 && key <= 40 ? 1 : 0) << key;
}

TEST(MView, DrawProgressCountsCellsOutsideTheWindowToo) {
  TPixoranMView v;
  v.SetBounds(0, 0, 200, 200);  // two cells of a row of four visible
  v.SetThreadPoolSize(0);
  Populate(v, 4);
  TPXBitmap pic;
  Fill(pic, 20, 20, 9);
  for (int32_t i = 0; i < 4; ++i) v.SetImageBitmap(i, pic);
  ASSERT_FALSE(v.IsImageVisible(3));
  std::vector<int32_t> progress;
  v.OnDrawProgress = [&progress](TObject*, int32_t p) { progress.push_back(p); };
  TBitmap buffer;
  buffer.SetSize(v.ClientWidth(), v.ClientHeight());
  v.DrawVisibleThumbnails(buffer);
  EXPECT_EQ(progress, (std::vector<int32_t>{0, 25, 50, 75, 0}));
}

TEST(MView, DeletingThePressedImageDuringADragSelectsNothingOutOfRange) {
  for (bool region : {false, true}) {
    TPixoranMView v;
    v.SetBounds(0, 0, 600, 400);
    v.SetGridWidth(4);
    v.SetEnableMultiSelect(true);
    v.SetMultiSelectionOptions(region ? pxmoRegion : 0);
    Populate(v, 8);
    v.Show();
    const int f = v.FrameWidth();
    auto at = [&](int32_t index) { return QPoint(v.GetImageCellX(index) + 10 + f, v.GetImageCellY(index) + 10 + f); };
    QTest::mousePress(v.Widget(), Qt::LeftButton, Qt::NoModifier, at(6));
    ASSERT_EQ(v.SelectedImage(), 6);
    for (int32_t i = 0; i < 4; ++i) v.DeleteImage(4);  // the pressed image and those after it go
    const QPoint to = at(1);
    QMouseEvent move(QEvent::MouseMove, QPointF(to), v.Widget()->mapToGlobal(QPointF(to)), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(v.Widget(), &move);
    QTest::mouseRelease(v.Widget(), Qt::LeftButton, Qt::NoModifier, to);
    EXPECT_LT(v.SelectedImage(), v.GetImageCount()) << region;
    for (int32_t m : v.MultiSelectedImages()) EXPECT_LT(m, v.GetImageCount()) << region;
  }
}

TEST_F(MViewLoaderThreads, ReductionOnWorkersWhileSettingsChange) {
  // Real JPEGs, reduced on the jobs' threads while the UI thread changes
  // every setting the reduction uses.
  std::vector<std::string> files;
  for (int32_t i = 0; i < 16; ++i) {
    QImage img(400, 300, QImage::Format_RGB888);
    img.fill(QColor(i * 10, 80, 160));
    files.push_back(dir_ + "/photo" + std::to_string(i) + ".jpg");
    ASSERT_TRUE(img.save(QString::fromStdString(files.back()), "JPG", 90));
  }
  TPixoranMView v;
  v.SetBounds(0, 0, 1200, 1200);
  v.SetGridWidth(-1);
  v.SetStoreType(pxtThumb);
  for (const std::string& f : files) v.SetImageFileName(v.AppendImage(), f);
  int round = 0;
  auto allLoaded = [&] {
    for (int32_t i = 0; i < v.GetImageCount(); ++i)
      if (!v.IsImageLoaded(i)) return false;
    return true;
  };
  while (!allLoaded() && round < 2000) {
    const bool small = round % 2 != 0;
    v.SetThumbWidth(small ? 60 : 100);
    v.SetThumbHeight(small ? 60 : 100);
    v.SetFitAlways(round % 3 != 0);
    v.SetThumbnailResampleFilter(round % 4 == 0 ? rfLanczos3 : rfFastLinear);
    for (int32_t i = 0; i < v.GetImageCount(); ++i) v.QueueLoad(i);
    QCoreApplication::processEvents();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ++round;
  }
  ASSERT_TRUE(allLoaded());
  for (int32_t i = 0; i < v.GetImageCount(); ++i) {
    EXPECT_FALSE(v.IsWrongImage(i)) << i;
    TPXBitmap out;
    ASSERT_TRUE(v.CopyStoredImage(i, out));
    // One box throughout each reduction: 100 x 75 or 60 x 45.
    const bool one = (out.Width() == 100 && out.Height() == 75) || (out.Width() == 60 && out.Height() == 45);
    EXPECT_TRUE(one) << i << ": " << out.Width() << " x " << out.Height();
    EXPECT_EQ(v.GetImageOriginalWidth(i), 400) << i;
  }
}

TEST_F(MViewLoaderThreads, DestroyingTheViewDoesNotWaitForAStuckJob) {
  Gate& gate = TheGate();
  {
    std::lock_guard<std::mutex> l(gate.m);
    gate.stuck = true;  // deaf to the cancel
  }
  std::atomic<bool> opened{false};
  std::thread opener;
  {
    auto v = std::make_unique<TPixoranMView>();
    v->SetBounds(0, 0, 500, 400);
    PopulateGated(*v, 1);
    ASSERT_TRUE(v->QueueLoad(0));
    ASSERT_TRUE(WaitFor([&] { return gate.started.load() == 1; }));
    opener = std::thread([&] {
      std::this_thread::sleep_for(std::chrono::seconds(3));
      opened = true;
      gate.Open();
    });
    v.reset();
    // It gave up on the job instead of waiting for it.
    EXPECT_FALSE(opened.load());
  }
  opener.join();
  // The late job finishes without the view (the sanitizers watch it).
  ASSERT_TRUE(WaitFor([&] { return gate.returned.load() == 1; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
}

// In single-image mode a click on the picture means the image shown, which
// stays selected and shown, not the first image.
TEST(MView, SingleModeClickMeansTheShownImage) {
  TPixoranMView v;
  v.SetBounds(0, 0, 300, 300);
  v.SetThreadPoolSize(0);
  Populate(v, 3);
  for (int32_t i = 0; i < 3; ++i) {
    TPXBitmap pic;
    Fill(pic, 100, 100, static_cast<uint8_t>(60 + 60 * i));
    v.SetImageBitmap(i, pic);
  }
  v.SetDisplayMode(mdSingle);
  v.Show();
  std::vector<int32_t> selected;
  v.OnImageSelect = [&](TObject*, int32_t i) { selected.push_back(i); };
  const int f = v.FrameWidth();
  auto shownSeed = [&] {
    const QImage img = v.Widget()->grab().toImage().convertToFormat(QImage::Format_RGB32);
    return qBlue(img.pixel(50 + f, 50 + f));
  };
  for (int32_t shown : {2, 1}) {
    v.SetSelectedImage(shown);
    selected.clear();
    EXPECT_EQ(v.ImageAtPos(50, 50), shown);
    QTest::mouseClick(v.Widget(), Qt::LeftButton, Qt::NoModifier, QPoint(50 + f, 50 + f));
    EXPECT_EQ(v.SelectedImage(), shown);
    EXPECT_TRUE(selected.empty());
    EXPECT_EQ(shownSeed(), 60 + 60 * shown);
  }
  // Beside the cell nothing is hit.
  EXPECT_EQ(v.ImageAtPos(v.ThumbWidth() + 2, 50), -1);
}
