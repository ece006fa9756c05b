// The multi-image component against a stand-in view: AVI frame delays,
// files without images, damaged files and the no-view case.
#include "io/pxmio.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <string>
#include <vector>

#include "core/pxview.h"
#include "filtertools.h"
#include "avi_builder.h"
#include "testsupport.h"

using namespace pixoran;
using namespace pixoran::testing;

namespace {

// Keeps sizes and delays of the images and announces inserts and deletes as
// the thumbnail view does.
class TFakeView : public TPXMIOView {
 public:
  struct TImg {
    int32_t W = 0, H = 0, Delay = 0;
  };
  TPXView control;
  std::vector<TImg> images;
  std::vector<std::array<int32_t, 4>> reserved;
  int32_t change = 0, changeIndex = 0, selected = -1;

  TPXView* Control() override { return &control; }
  int32_t LastChange() override { return change; }
  int32_t LastChangeIndex() override { return changeIndex; }
  int32_t ImageCount() override { return static_cast<int32_t>(images.size()); }
  int32_t SelectedImage() override { return selected; }
  void SetSelectedImage(int32_t index) override { selected = index; }
  void InsertImageNoSelect(int32_t index) override {
    index = std::clamp(index, 0, ImageCount());
    images.insert(images.begin() + index, TImg{});
    Announce(1, index);
  }
  void DeleteImage(int32_t index) override {
    images.erase(images.begin() + index);
    Announce(2, index);
  }
  bool SetImageBitmap(int32_t index, TPXBitmap& b) override {
    images[static_cast<size_t>(index)].W = b.Width();
    images[static_cast<size_t>(index)].H = b.Height();
    return true;
  }
  void SetImageDelayTime(int32_t index, int32_t ms) override { images[static_cast<size_t>(index)].Delay = ms; }
  void SetImageBackground(int32_t, TColor) override {}
  void ReserveCacheSpace(int32_t count, int32_t w, int32_t h, int32_t bits) override {
    reserved.push_back({count, w, h, bits});
  }
  bool LoadImageFromFile(int32_t, const std::string&) override { return true; }
  bool CopyImage(int32_t, TPXBitmap&) override { return false; }
  void Refresh() override {}

 private:
  void Announce(int32_t kind, int32_t index) {
    change = kind, changeIndex = index;
    control.CallBitmapChangeEvents();
    change = 0;
  }
};

// frames 2 x 2 24-bit frames at rate / scale frames per second.
std::string MakeAVI(int32_t frames, uint32_t scale, uint32_t rate) {
  std::vector<TAviFrame> f;
  for (int32_t i = 0; i < frames; ++i) f.push_back({std::string(16, static_cast<char>(i)), true});
  return pixoran::testing::MakeAVI(2, 2, 24, 0, "", f, scale, rate);
}

struct Fixture {
  TPixoranMIO mio;
  TFakeView* view = nullptr;
  int32_t finished = 0;
  // initial: images already in the view.
  explicit Fixture(size_t initial = 0) {
    auto v = std::make_unique<TFakeView>();
    v->images.resize(initial);
    view = v.get();
    mio.SetAttachedMView(std::move(v));
    mio.OnFinishWork = [this](TObject*) { ++finished; };
  }
};

}  // namespace

TEST(MIO, AVIFramesKeepTheirDelayInBothUnits) {
  const std::string dir = MakeTempDir("mioavi");
  const std::string path = dir + "/clip.avi";
  std::ofstream(path, std::ios::binary) << MakeAVI(3, 1, 25);
  Fixture f;
  f.mio.LoadFromFile(path);
  ASSERT_FALSE(f.mio.Aborting());
  ASSERT_EQ(f.view->images.size(), 3u);
  EXPECT_EQ(f.view->reserved, (std::vector<std::array<int32_t, 4>>{{3, 2, 2, 24}}));
  for (int32_t i = 0; i < 3; ++i) {
    const TIOParamsVals& p = *f.mio.GetParams(i);
    EXPECT_EQ(f.view->images[static_cast<size_t>(i)].Delay, 40);  // 1000 x 1 / 25 ms
    EXPECT_EQ(p.GIFDelayTime, 4);                                 // hundredths of a second
    EXPECT_EQ(p.FileType, 0);
    EXPECT_EQ(p.FileName, path);
    EXPECT_EQ(p.BitsPerSample * 10 + p.SamplesPerPixel, 83);
    EXPECT_EQ(p.Width, 2);
    EXPECT_EQ(p.DpiX, 300);
  }
  EXPECT_EQ(f.finished, 1);
}

TEST(MIO, FilesWithoutImagesAndDamagedFilesLoadNothingMoreAndSetAborting) {
  const std::string dir = MakeTempDir("miobad");
  // Three PCX pages of netpbm in a DCX whose last page is cut short.
  Bytes dcx = {0xB1, 0x68, 0xDE, 0x3A};
  std::vector<Bytes> pages;
  for (int i = 0; i < 3; ++i) {
    const std::string ppm = dir + "/p" + std::to_string(i) + ".ppm";
    WriteFileBytes(ppm, ToPPM(MakeRGB(6 + i, 5)));
    ASSERT_TRUE(RunTool("ppmtopcx " + ppm + " > " + ppm + ".pcx"));
    pages.push_back(ReadFileBytes(ppm + ".pcx"));
  }
  uint32_t offset = 20;
  for (const Bytes& p : pages) {
    for (int i = 0; i < 4; ++i) dcx.push_back(static_cast<uint8_t>(offset >> (8 * i)));
    offset += static_cast<uint32_t>(p.size());
  }
  dcx.insert(dcx.end(), 4, 0);
  for (const Bytes& p : pages) dcx.insert(dcx.end(), p.begin(), p.end());
  WriteFileBytes(dir + "/cut.dcx", Bytes(dcx.begin(), dcx.end() - static_cast<std::ptrdiff_t>(pages[2].size()) + 140));
  WriteFileBytes(dir + "/empty.gif", Bytes{'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, 0x3B});
  WriteFileBytes(dir + "/empty.dcx", Bytes{0xB1, 0x68, 0xDE, 0x3A, 0, 0, 0, 0});
  WriteFileBytes(dir + "/junk.tif", Bytes{'I', 'I', 42, 0, 200, 0, 0, 0, 1, 2, 3});
  WriteFileBytes(dir + "/junk.ico", Bytes{0, 0, 1, 0, 0, 0});
  std::ofstream(dir + "/empty.avi", std::ios::binary) << MakeAVI(0, 1, 25);

  struct Case {
    std::string file;
    size_t kept;
    TPXIOResult result;
  } cases[] = {{"cut.dcx", 2, iorCorrupt},   {"empty.gif", 0, iorCorrupt}, {"empty.dcx", 0, iorCorrupt},
               {"junk.tif", 0, iorCorrupt},  {"junk.ico", 0, iorCorrupt},  {"empty.avi", 0, iorCorrupt},
               {"none.avi", 0, iorNotFound}, {"", 0, iorNotFound}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.file);
    Fixture f(1);  // an image of the caller's stays
    TPXIOResult atFinish = iorOk;
    f.mio.OnFinishWork = [&](TObject*) {
      ++f.finished;
      atFinish = f.mio.LastResult();
    };
    f.mio.LoadFromFile(c.file.empty() ? std::string() : dir + "/" + c.file);
    EXPECT_TRUE(f.mio.Aborting());
    EXPECT_EQ(f.mio.LastResult(), c.result) << f.mio.LastResultText();
    if (c.file.empty()) continue;  // a blank name ends before a load starts
    EXPECT_EQ(atFinish, c.result);
    EXPECT_EQ(f.view->images.size(), c.kept + 1);
    EXPECT_EQ(f.mio.ParamsCount(), static_cast<int32_t>(c.kept + 1));
    EXPECT_EQ(f.finished, 1);
  }
  // A file that cannot be opened raises after the finishing events.
  Fixture f;
  EXPECT_THROW(f.mio.LoadFromFile(dir + "/none.gif"), EFOpenError);
  EXPECT_EQ(f.finished, 1);
  EXPECT_EQ(f.mio.LastResult(), iorNotFound);
  // A load that goes through resets the reason.
  Bytes one = {0xB1, 0x68, 0xDE, 0x3A, 12, 0, 0, 0, 0, 0, 0, 0};
  one.insert(one.end(), pages[0].begin(), pages[0].end());
  WriteFileBytes(dir + "/good.dcx", one);
  f.mio.LoadFromFile(dir + "/good.dcx");
  EXPECT_EQ(f.mio.LastResult(), iorOk) << f.mio.LastResultText();
  // Without a view nothing happens at all.
  TPixoranMIO alone;
  int32_t calls = 0;
  alone.OnFinishWork = [&](TObject*) { ++calls; };
  alone.LoadFromFile(dir + "/cut.dcx");
  alone.LoadFromFile(dir + "/none.gif");
  EXPECT_FALSE(alone.Aborting());
  EXPECT_EQ(calls, 0);
}
