#include <gtest/gtest.h>

#include <vector>

#include "io/pxmetafile.h"

using namespace pixoran;

namespace {
void Put(std::vector<uint8_t>& b, size_t at, int64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
// An EMF header record with a frame in 0.01 mm and a reference device.
std::vector<uint8_t> EmfHeader(int32_t frameW, int32_t frameH, int32_t devX, int32_t devY, int32_t mmX, int32_t mmY) {
  std::vector<uint8_t> b(108, 0);
  Put(b, 0, 1, 4);
  Put(b, 4, 108, 4);
  Put(b, 32, frameW, 4);
  Put(b, 36, frameH, 4);
  Put(b, 40, 0x464D4520, 4);
  Put(b, 72, devX, 4);
  Put(b, 76, devY, 4);
  Put(b, 80, mmX, 4);
  Put(b, 84, mmY, 4);
  return b;
}
std::vector<uint8_t> PlaceableWmf(int16_t right, int16_t bottom, uint16_t inch) {
  std::vector<uint8_t> b(40, 0);
  Put(b, 0, 0x9AC6CDD7, 4);
  Put(b, 10, right, 2);
  Put(b, 12, bottom, 2);
  Put(b, 14, inch, 2);
  return b;
}
}  // namespace

TEST(Metafile, OwnSizeFromTheHeader) {
  TMetafileInfo info;
  auto emf = EmfHeader(25400, 12700, 1920, 1080, 508, 285);  // 254 x 127 mm on a 96-dpi-like device
  ASSERT_TRUE(ReadMetafileInfo(emf.data(), static_cast<int64_t>(emf.size()), info));
  EXPECT_TRUE(info.Enhanced);
  EXPECT_EQ(info.Width, 25400LL * 1920 / 50800);
  EXPECT_EQ(info.Height, 12700LL * 1080 / 28500);
  emf = EmfHeader(2540, 5080, 0, 0, 0, 0);  // no device: 96 dpi
  ASSERT_TRUE(ReadMetafileInfo(emf.data(), static_cast<int64_t>(emf.size()), info));
  EXPECT_EQ(info.Width, 96);
  EXPECT_EQ(info.Height, 192);
  auto wmf = PlaceableWmf(1440, 720, 1440);  // 1 x 0.5 inch
  ASSERT_TRUE(ReadMetafileInfo(wmf.data(), static_cast<int64_t>(wmf.size()), info));
  EXPECT_FALSE(info.Enhanced);
  EXPECT_EQ(info.Width, 96);
  EXPECT_EQ(info.Height, 48);
  wmf = PlaceableWmf(1440, 720, 0);
  EXPECT_FALSE(ReadMetafileInfo(wmf.data(), static_cast<int64_t>(wmf.size()), info));
  const std::vector<uint8_t> plainWmf = {1, 0, 9, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_FALSE(ReadMetafileInfo(plainWmf.data(), static_cast<int64_t>(plainWmf.size()), info));
  EXPECT_FALSE(ReadMetafileInfo(emf.data(), 87, info));  // truncated header
}

TEST(Metafile, TargetSizes) {
  const TMetafileInfo own{true, 200, 100};
  const TMetafileInfo huge{true, 20000, 10000};
  const TMetafileInfo none{true, 0, 0};
  const struct { TMetafileInfo info; int32_t w, h; bool ok; int32_t ew, eh; } kCases[] = {
      {own, 50, 60, true, 50, 60},      {own, -1, 50, true, 100, 50},    {own, 50, -1, true, 50, 25},
      {own, -1, -1, true, 200, 100},    {huge, -1, -1, true, 16000, 8000}, {own, 32000, 100, true, 16000, 50},
      {own, 100, 20000, true, 80, 16000}, {none, -1, -1, false, 0, 0},   {none, -1, 10, false, 0, 0},
      {TMetafileInfo{true, 1, 5000}, 1, -1, true, 1, 5000}, {TMetafileInfo{true, 5000, 1}, 1, -1, false, 0, 0},
      {own, 2147483647, -1, true, 16000, 7999},  // integer proportion of an odd width
  };
  for (const auto& c : kCases) {
    int32_t w = 0, h = 0;
    ASSERT_EQ(MetafileTargetSize(c.info, c.w, c.h, w, h), c.ok) << c.w << "x" << c.h;
    if (!c.ok) continue;
    EXPECT_EQ(w, c.ew) << c.w << "x" << c.h;
    EXPECT_EQ(h, c.eh) << c.w << "x" << c.h;
  }
}

#include <fstream>

#include "io/pixoranio.h"
#include "testsupport.h"

namespace {
struct TEmf {
  std::vector<uint8_t> b;
  uint32_t records = 0;
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void Record(uint32_t type, std::initializer_list<uint32_t> params) {
    U32(type);
    U32(static_cast<uint32_t>(8 + 4 * params.size()));
    for (uint32_t p : params) U32(p);
    ++records;
  }
};
// A 100 x 50 mm picture on a 1-pixel-per-millimetre device: a red rectangle
// from (10, 10) to (50, 40) with no outline.
std::vector<uint8_t> RedRectangleEmf() {
  TEmf e;
  e.Record(1, {0, 0, 99, 49, 0, 0, 10000, 5000, 0x464D4520, 0x10000, 0, 0, 3, 0, 0, 0, 1000, 1000, 1000, 1000,
               0, 0, 0, 1000000, 1000000});
  e.Record(39, {1, 0, 0x000000FF, 0});  // CREATEBRUSHINDIRECT: solid red
  e.Record(37, {1});                    // SELECTOBJECT
  e.Record(37, {0x80000008});           // SELECTOBJECT NULL_PEN
  e.Record(43, {10, 10, 50, 40});       // RECTANGLE
  e.Record(14, {0, 16, 20});            // EOF
  Put(e.b, 48, static_cast<int64_t>(e.b.size()), 4);
  Put(e.b, 52, e.records, 4);
  return e.b;
}
}  // namespace

TEST(Metafile, ImportDrawsTheRecordsAtTheirSize) {
  const std::string dir = pixoran::testing::MakeTempDir("emf");
  const std::vector<uint8_t> emf = RedRectangleEmf();
  std::ofstream(dir + "/r.emf", std::ios::binary).write(reinterpret_cast<const char*>(emf.data()), emf.size());
  TPixoranIO io;
  io.SetBackground(clWhite);
  int finished = 0;
  io.OnFinishWork = [&](TObject*) { ++finished; };
  io.ImportMetafile(dir + "/r.emf", -1, -1, true);
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(finished, 1);
  TPXBitmap& b = *io.PXBitmap();
  ASSERT_EQ(b.Width(), 100);
  ASSERT_EQ(b.Height(), 50);
  EXPECT_EQ(io.Params().FileType, 10);
  auto px = [&](int x, int y) {
    const uint8_t* p = b.Scanline(y) + 3 * x;
    return TBGR{p[0], p[1], p[2]};
  };
  EXPECT_EQ(px(30, 25), (TBGR{0, 0, 255}));
  EXPECT_EQ(px(80, 45), (TBGR{255, 255, 255}));
  EXPECT_EQ(px(5, 5), (TBGR{255, 255, 255}));
  ASSERT_TRUE(b.HasAlphaChannel());
  EXPECT_EQ(b.GetAlpha(30, 25), 255);
  EXPECT_EQ(b.GetAlpha(80, 45), 0);

  io.ImportMetafile(dir + "/r.emf", 0, 10, false);  // nothing but the finishing events
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(b.Width(), 100);
  io.ImportMetafile(dir + "/r.emf", 40, -1, false);
  EXPECT_EQ(b.Width(), 40);
  EXPECT_EQ(b.Height(), 20);
  io.ImportMetafile(dir + "/none.emf", -1, -1, false);
  EXPECT_TRUE(io.Aborting());
  std::ofstream(dir + "/cut.emf", std::ios::binary).write(reinterpret_cast<const char*>(emf.data()), 60);
  io.ImportMetafile(dir + "/cut.emf", -1, -1, false);
  EXPECT_TRUE(io.Aborting());
}

// Inputs the fuzzer found (kept in fuzz/regressions/metafile); each once made
// the EMF converter read outside the data. They are refused or drawn, never a crash.
TEST(Metafile, FuzzRegressions) {
  const std::string dir = pixoran::testing::MakeTempDir("emffuzz");
  const std::vector<std::vector<uint8_t>> kInputs = {
      {1, 0, 0, 0, 108, 0, 0, 0, 0, 0, 0, 0, 255, 255, 255, 255, 99, 0, 0, 48, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 39, 0, 0, 136, 19, 0, 0, 32, 69, 77, 70, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 232, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 232, 20, 7, 0, 0, 0, 0, 37, 0, 116, 0, 24, 0, 0, 215, 205, 198, 0, 10, 0, 3, 0, 17, 20},  // emf-description-overread
      {1, 0, 0, 0, 108, 0, 0, 0, 0, 0, 0, 54, 0, 91, 246, 255, 156, 255, 0, 0, 50, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 39, 0, 0, 136, 19, 0, 0, 32, 69, 77, 70, 0, 0, 0, 0, 0, 1, 212, 0, 6, 0, 15, 0, 3, 0, 0, 0, 0, 0, 0, 0, 216, 0, 0, 0, 128, 0, 0, 0, 232, 3, 0, 0, 232, 3, 0, 89, 37, 232, 3, 254, 255, 255, 255, 0, 0, 0, 0, 0, 232, 3, 0, 0, 232, 3, 0, 89, 37, 24, 252, 0, 251, 255, 255, 1, 14, 0, 0, 0, 108, 0, 0, 0, 0, 0, 0, 51, 0, 136, 19, 0, 0, 232, 87, 0, 0, 0, 0, 0, 0, 0, 3, 0, 89, 37, 24, 252, 0, 251, 255, 255, 1, 14, 0, 0, 0, 108, 0, 0, 0, 0, 0, 0, 51, 0, 136, 19, 0, 0, 32, 232, 3, 0, 89, 37, 232, 3, 254, 255, 255, 255, 0, 0, 0, 0, 0, 232, 3, 0, 0, 232, 3, 1, 89, 37, 24, 252, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 108, 0, 0, 40, 0, 0, 0, 0, 0, 3, 112, 0, 17, 20},  // emf-empty-description-offset
      {1, 0, 0, 0, 108, 0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 99, 0, 0, 0, 49, 0, 142, 0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 39, 0, 0, 136, 19, 0, 0, 32, 69, 77, 70, 0, 0, 1, 0, 1, 0, 212, 0, 0, 0, 34, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0, 0, 32, 69, 77, 70, 0, 0, 1, 0, 212, 0, 1, 0, 0, 0, 108, 0, 0, 0, 0, 0, 0, 205, 205, 205, 205, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0, 205, 205, 205, 205, 205, 205, 205, 205},  // emf-record-overrun
  };
  for (const auto& input : kInputs) {
    std::vector<uint8_t> copy = input;
    std::string svg;
    EmfToSvg(copy, 100, 100, svg);
    std::ofstream(dir + "/f.emf", std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(input.data()), static_cast<std::streamsize>(input.size()));
    TPixoranIO io;
    io.ImportMetafile(dir + "/f.emf", 50, 50, true);
  }
}
