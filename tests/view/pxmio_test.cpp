// The multi-image component on a real thumbnail view: frames and pages of
// files written by netpbm and libtiff's tools, GIF composition against the
// I/O component's, and records that follow the view's changes.
#include "io/pxmio.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "io/formats/gif/giflzw.h"
#include "io/pixoranio.h"
#include "io/pxprint.h"
#include "testsupport.h"
#include "view/pxmview.h"
#include "view/pxmview_mio.h"

using namespace pixoran;
using namespace pixoran::testing;

namespace {

using Bytes = std::vector<uint8_t>;

void Save(const std::string& path, const Bytes& b) {
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

bool RunTool(const std::string& command) { return std::system((command + " 2>/dev/null").c_str()) == 0; }

// A raw PPM of w x h in one colour per row band (row y: r = seed, g = 20 * y, b = 7 * x).
Bytes PPM(int w, int h, uint8_t seed) {
  const std::string head = "P6\n" + std::to_string(w) + " " + std::to_string(h) + "\n255\n";
  Bytes b(head.begin(), head.end());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) b.insert(b.end(), {seed, static_cast<uint8_t>(20 * y), static_cast<uint8_t>(7 * x)});
  return b;
}

// Writes PPMs of the widths (height 4) as base-i.ppm; returns their paths.
std::vector<std::string> PPMs(const std::string& dir, const std::vector<int>& widths) {
  std::vector<std::string> paths;
  for (size_t i = 0; i < widths.size(); ++i) {
    paths.push_back(dir + "/p" + std::to_string(i) + ".ppm");
    Save(paths.back(), PPM(widths[i], 4, static_cast<uint8_t>(50 * (i + 1))));
  }
  return paths;
}

void U16(Bytes& b, int v) { b.push_back(static_cast<uint8_t>(v)), b.push_back(static_cast<uint8_t>(v >> 8)); }

// 8 x 6 screen, palette blue, green, red, white, background index 3.
// Frame 0: all red, 5/100 s. Frame 1: green 3 x 3 at (2, 1), disposal 2, no
// delay. Frame 2: blue 2 x 2 at (5, 3), index 3 transparent at its top
// left, 20/100 s. single: only frame 1.
Bytes ThreeFrameGIF(bool single = false) {
  Bytes b = {'G', 'I', 'F', '8', '9', 'a'};
  U16(b, 8), U16(b, 6);
  b.insert(b.end(), {0x81, 3, 0, 0, 0, 255, 0, 255, 0, 255, 0, 0, 255, 255, 255});
  auto frame = [&](int disposal, int delay, bool transparent, int x, int y, int w, int h, std::vector<uint8_t> px) {
    b.insert(b.end(), {0x21, 0xF9, 4, static_cast<uint8_t>((disposal << 2) | (transparent ? 1 : 0))});
    U16(b, delay);
    b.insert(b.end(), {3, 0, 0x2C});
    U16(b, x), U16(b, y), U16(b, w), U16(b, h);
    b.push_back(0);
    TMemoryStream s;
    GIFLZWCompress(s, h, w, false, px.data(), 2);
    b.insert(b.end(), s.Bytes().begin(), s.Bytes().end());
  };
  if (!single) frame(0, 5, false, 0, 0, 8, 6, std::vector<uint8_t>(48, 2));
  frame(2, 0, false, 2, 1, 3, 3, std::vector<uint8_t>(9, 1));
  if (!single) frame(0, 20, true, 5, 3, 2, 2, {3, 0, 0, 0});
  b.push_back(0x3B);
  return b;
}

struct Fixture {
  TPixoranMView view;
  TPixoranMIO mio;
  Fixture() { AttachMView(mio, &view); }
  std::vector<int32_t> Widths() {
    std::vector<int32_t> w;
    for (int32_t i = 0; i < mio.ParamsCount(); ++i) w.push_back(mio.GetParams(i)->Width);
    return w;
  }
  void ExpectNumbered() {
    for (int32_t i = 0; i < mio.ParamsCount(); ++i) {
      const TIOParamsVals& p = *mio.GetParams(i);
      EXPECT_TRUE(p.TIFFImageIndex == i && p.GIFImageIndex == i && p.DCXImageIndex == i && p.ICOImageIndex == i) << i;
    }
  }
};

}  // namespace

TEST(MIOView, ThreeFrameGIFComposesAsTheIOComponentDoes) {
  const std::string path = MakeTempDir("miogif") + "/anim.gif";
  Save(path, ThreeFrameGIF());
  Fixture f;
  int finished = 0;
  f.mio.OnFinishWork = [&](TObject*) { ++finished; };
  f.mio.LoadFromFile(path);
  ASSERT_FALSE(f.mio.Aborting());
  EXPECT_EQ(finished, 1);
  ASSERT_EQ(f.view.GetImageCount(), 3);
  ASSERT_EQ(f.mio.ParamsCount(), 3);
  const int32_t delays[] = {50, 50, 200};
  for (int32_t k = 0; k < 3; ++k) {
    TPixoranIO io;
    io.Params().GIFImageIndex = k;
    io.LoadFromFile(path);
    ASSERT_FALSE(io.Aborting());
    TPXBitmap got;
    ASSERT_TRUE(f.view.CopyStoredImage(k, got));
    TPXBitmap& want = *io.PXBitmap();
    ASSERT_EQ(got.Width(), 8);
    ASSERT_EQ(got.Height(), 6);
    for (int32_t y = 0; y < 6; ++y)
      for (int32_t x = 0; x < 8; ++x)
        ASSERT_EQ(got.GetPixel24(x, y), want.GetPixel24(x, y)) << k << " " << x << "," << y;
    EXPECT_EQ(f.view.GetImageDelayTime(k), delays[k]);
    EXPECT_EQ(f.view.GetImageBackground(k), RGBColor(255, 255, 255));
    EXPECT_EQ(f.mio.GetParams(k)->FileType, 2);
    EXPECT_TRUE(f.mio.GetParams(k)->FileName.empty());
  }
  // Frame 1's rectangle went back to the background before frame 2; frame
  // 2's transparent pixel shows the red below it.
  TPXBitmap last;
  ASSERT_TRUE(f.view.CopyStoredImage(2, last));
  EXPECT_EQ(last.GetPixel24(3, 2), (TBGR{255, 255, 255}));
  EXPECT_EQ(last.GetPixel24(5, 3), (TBGR{0, 0, 255}));
  EXPECT_EQ(last.GetPixel24(6, 3), (TBGR{255, 0, 0}));
  // Every frame keeps its own record: size, position and delay as read.
  EXPECT_EQ(f.Widths(), (std::vector<int32_t>{8, 3, 2}));
  EXPECT_EQ(f.mio.GetParams(1)->GIFXPos, 2);
  EXPECT_EQ(f.mio.GetParams(2)->GIFDelayTime, 20);
  f.ExpectNumbered();

  // A single frame is stored as read, without the screen around it.
  Save(path, ThreeFrameGIF(true));
  f.view.Deselect();  // goes first
  f.mio.LoadFromFile(path);
  ASSERT_EQ(f.view.GetImageCount(), 4);
  EXPECT_EQ(f.view.GetImageOriginalWidth(0), 3);
  EXPECT_EQ(f.view.GetImageDelayTime(0), 100);
  EXPECT_EQ(f.Widths(), (std::vector<int32_t>{3, 8, 3, 2}));
}

TEST(MIOView, PagesAndImagesArriveInOrderWithTheirOwnRecords) {
  const std::string dir = MakeTempDir("miopages");
  const std::vector<std::string> ppm = PPMs(dir, {5, 7, 9});
  // TIFF: two colour pages and a Group 4 page, joined by tiffcp.
  ASSERT_TRUE(RunTool("pnmtotiff " + ppm[0] + " > " + dir + "/a.tif"));
  ASSERT_TRUE(RunTool("pnmtotiff " + ppm[1] + " > " + dir + "/b.tif"));
  ASSERT_TRUE(RunTool("ppmtopgm " + ppm[2] + " | pgmtopbm | pnmtotiff -g4 > " + dir + "/c.tif"));
  ASSERT_TRUE(RunTool("tiffcp " + dir + "/a.tif " + dir + "/b.tif " + dir + "/c.tif " + dir + "/pages.tif"));
  ASSERT_TRUE(RunTool("ppmtowinicon " + ppm[0] + " " + ppm[1] + " " + ppm[2] + " > " + dir + "/icons.ico"));
  // DCX: the magic, the page offsets, a 0, then ppmtopcx's files.
  Bytes dcx = {0xB1, 0x68, 0xDE, 0x3A};
  std::vector<Bytes> pcx;
  for (const std::string& p : ppm) {
    ASSERT_TRUE(RunTool("ppmtopcx " + p + " > " + p + ".pcx"));
    std::ifstream in(p + ".pcx", std::ios::binary);
    pcx.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  uint32_t offset = 4 + 4 * 4;
  for (const Bytes& p : pcx) {
    for (int i = 0; i < 4; ++i) dcx.push_back(static_cast<uint8_t>(offset >> (8 * i)));
    offset += static_cast<uint32_t>(p.size());
  }
  dcx.insert(dcx.end(), 4, 0);
  for (const Bytes& p : pcx) dcx.insert(dcx.end(), p.begin(), p.end());
  Save(dir + "/pages.dcx", dcx);

  struct Case {
    std::string file;
    int32_t fileType;
  } cases[] = {{"pages.tif", 1}, {"icons.ico", 6}, {"pages.dcx", 19}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Fixture f;
    std::vector<int32_t> progress;
    f.mio.OnProgress = [&](TObject*, int32_t p) { progress.push_back(p); };
    f.mio.LoadFromFile(dir + "/" + c.file);
    ASSERT_FALSE(f.mio.Aborting());
    ASSERT_EQ(f.view.GetImageCount(), 3);
    EXPECT_EQ(f.Widths(), (std::vector<int32_t>{5, 7, 9}));
    EXPECT_EQ(progress, (std::vector<int32_t>{0, 33, 66, 100}));
    for (int32_t i = 0; i < 3; ++i) {
      EXPECT_EQ(f.view.GetImageOriginalWidth(i), 5 + 2 * i);
      EXPECT_EQ(f.mio.GetParams(i)->FileType, c.fileType);
      EXPECT_EQ(f.view.GetImageDelayTime(i), 100);
    }
    f.ExpectNumbered();
    // The first image's pixels as netpbm wrote them (row 2, column 4).
    TPXBitmap first;
    ASSERT_TRUE(f.view.CopyStoredImage(0, first));
    EXPECT_EQ(first.GetPixel24(4, 2), (TBGR{28, 40, 50}));

    // Deleting an image deletes its record; clearing the view clears them all.
    f.view.DeleteImage(1);
    EXPECT_EQ(f.Widths(), (std::vector<int32_t>{5, 9}));
    f.ExpectNumbered();
    f.view.Clear();
    EXPECT_EQ(f.mio.ParamsCount(), 0);
  }
}

TEST(MIOView, RecordsStayWithTheirImagesWhenTheViewChangesDuringALoad) {
  const std::string dir = MakeTempDir("mioedit");
  const std::vector<std::string> ppm = PPMs(dir, {5, 7, 9});
  ASSERT_TRUE(RunTool("ppmtowinicon " + ppm[0] + " " + ppm[1] + " " + ppm[2] + " > " + dir + "/icons.ico"));
  TPixoranMView view;
  TPXBitmap one;
  one.Allocate(1, 1, pxBGR24);
  for (int i = 0; i < 2; ++i) view.SetImageBitmap(view.AppendImage(), one);
  TPixoranMIO mio;
  AttachMView(mio, &view);
  ASSERT_EQ(mio.ParamsCount(), 2);  // attaching grows the list to the view
  for (int i = 0; i < 2; ++i) mio.GetParams(i)->Width = 1;
  view.SetSelectedImage(1);
  bool edited = false;
  mio.OnProgress = [&](TObject*, int32_t) {
    if (edited) return;
    edited = true;
    view.DeleteImage(0);  // before the image being loaded
    view.AppendImage();
  };
  mio.LoadFromFile(dir + "/icons.ico");
  ASSERT_FALSE(mio.Aborting());
  ASSERT_EQ(view.GetImageCount(), 5);
  ASSERT_EQ(mio.ParamsCount(), 5);
  // The icon images follow one another from where the first one ended up.
  for (int32_t i = 0; i < 3; ++i) {
    EXPECT_EQ(view.GetImageOriginalWidth(i), 5 + 2 * i);
    EXPECT_EQ(mio.GetParams(i)->Width, 5 + 2 * i);
  }
  EXPECT_EQ(mio.GetParams(3)->Width, 1);
  EXPECT_EQ(mio.GetParams(4)->ICOImageIndex, 4);

  // Another view: the list is trimmed to its images; and a destroyed view is let go.
  {
    TPixoranMView small;
    small.AppendImage();
    AttachMView(mio, &small);
    EXPECT_EQ(mio.ParamsCount(), 1);
  }
  EXPECT_EQ(mio.AttachedMView(), nullptr);
  mio.LoadFromFile(dir + "/icons.ico");  // no view: nothing, no failure
  EXPECT_FALSE(mio.Aborting());
}

TEST(MIOView, OtherFilesPreviewsAndAcquiredBitmaps) {
  const std::string dir = MakeTempDir("mioother");
  const std::vector<std::string> ppm = PPMs(dir, {5, 7, 9});
  ASSERT_TRUE(RunTool("pnmtopng " + ppm[1] + " > " + dir + "/one.png"));
  ASSERT_TRUE(RunTool("ppmtowinicon " + ppm[0] + " " + ppm[2] + " > " + dir + "/two.ico"));
  Fixture f;
  f.mio.LoadFromFile(dir + "/two.ico");
  f.view.SetSelectedImage(1);
  f.mio.LoadFromFile(dir + "/one.png");
  ASSERT_FALSE(f.mio.Aborting());
  ASSERT_EQ(f.view.GetImageCount(), 3);
  EXPECT_EQ(f.view.GetImageOriginalWidth(1), 7);
  EXPECT_EQ(f.Widths(), (std::vector<int32_t>{5, 7, 9}));  // the record describes the file
  f.mio.LoadFromFile("  ");
  EXPECT_TRUE(f.mio.Aborting());

  // The preview dialog edits frame 0's record; index -1 hands its write
  // options to every frame, which keep their own sizes.
  TPXDialogHooks saved = PXDialogHooks();
  uint32_t pagesSeen = 0;
  PXDialogHooks().Previews = [&](TPixoranIO& io, uint32_t pages) {
    pagesSeen = pages;
    EXPECT_EQ(io.PXBitmap()->Width(), 7);  // the selected image
    EXPECT_EQ(io.Params().Width, 5);
    EXPECT_EQ(io.BWConversion(), 0);  // the component's first option byte
    io.Params().JPEGQuality = 33;
    io.Params().Width = 55;
    return true;
  };
  f.view.SetSelectedImage(1);
  f.mio.SetPreviewOption(0);
  EXPECT_TRUE(f.mio.DoPreviews(-1, 0x24));
  PXDialogHooks() = saved;
  EXPECT_EQ(pagesSeen, 0x24u);
  EXPECT_EQ(f.Widths(), (std::vector<int32_t>{55, 7, 9}));
  for (int32_t i = 0; i < 3; ++i) EXPECT_EQ(f.mio.GetParams(i)->JPEGQuality, 33);
  EXPECT_FALSE(f.mio.DoPreviews(0, 0));  // no dialog installed: cancelled

  // Acquired bitmaps go to the acquisition position, one after another.
  TPXBitmap scan;
  scan.Allocate(11, 3, pxBGR24);
  TIOParamsVals* rec = nullptr;
  f.mio.ResetAcquisition();
  // The record is made from its neighbour's: its options, not what the
  // neighbour's file said about itself.
  f.mio.GetParams(0)->HasEXIFData = 1;
  f.mio.GetParams(0)->EXIFMake = "Neighbour";
  f.mio.AcquireBitmap(scan, rec);
  ASSERT_NE(rec, nullptr);
  EXPECT_EQ(rec->HasEXIFData, 0);
  EXPECT_EQ(rec->EXIFMake, "");
  f.mio.AcquireBitmap(scan, rec);
  ASSERT_EQ(f.view.GetImageCount(), 5);
  EXPECT_EQ(rec, f.mio.GetParams(1));
  EXPECT_EQ(f.view.GetImageOriginalWidth(0), 11);
  EXPECT_EQ(f.view.GetImageOriginalWidth(1), 11);
  f.mio.OnAcquireBitmap = [](TObject*, TPXBitmap&, bool& handled) { handled = true; };
  f.mio.AcquireBitmap(scan, rec);
  EXPECT_EQ(rec, nullptr);
  EXPECT_EQ(f.view.GetImageCount(), 5);
}
