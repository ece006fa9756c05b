#include <gtest/gtest.h>

#include <vector>

#include "io/formats/metafile/pxmetafile.h"

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
  const struct {
    TMetafileInfo info;
    int32_t w, h;
    bool ok;
    int32_t ew, eh;
  } kCases[] = {
      {own, 50, 60, true, 50, 60},
      {own, -1, 50, true, 100, 50},
      {own, 50, -1, true, 50, 25},
      {own, -1, -1, true, 200, 100},
      {huge, -1, -1, true, 16000, 8000},
      {own, 32000, 100, true, 16000, 50},
      {own, 100, 20000, true, 80, 16000},
      {none, -1, -1, false, 0, 0},
      {none, -1, 10, false, 0, 0},
      {TMetafileInfo{true, 1, 5000}, 1, -1, true, 1, 5000},
      {TMetafileInfo{true, 5000, 1}, 1, -1, false, 0, 0},
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
#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <functional>
#include <iterator>
#include <memory>

#include "avi_builder.h"
#include "core/kopxutils_settings.h"
#include "io/pixoranio.h"
#include "io/pxmetadata.h"
#include "platform/graphics.h"
#include "testsupport.h"

namespace {
struct TEmf {
  std::vector<uint8_t> b;
  uint32_t records = 0;
  void U32(uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void U16(uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
  }
  void Bytes(const std::vector<uint8_t>& v) { b.insert(b.end(), v.begin(), v.end()); }
  void Record(uint32_t type, std::initializer_list<uint32_t> params) {
    U32(type);
    U32(static_cast<uint32_t>(8 + 4 * params.size()));
    for (uint32_t p : params) U32(p);
    ++records;
  }
};
struct TFilledRect {
  uint32_t colorRef;  // 0x00BBGGRR
  uint32_t left, top, right, bottom;
};
// A w x h mm picture on a 1-pixel-per-millimetre device: solid rectangles
// with no outline, in device pixels.
std::vector<uint8_t> RectanglesEmf(uint32_t w, uint32_t h, std::initializer_list<TFilledRect> rects) {
  TEmf e;
  e.Record(1, {0, 0, w - 1, h - 1, 0,    0,    w * 100, h * 100, 0x464D4520, 0x10000, 0,       0,      3,
               0, 0, 0,     1000,  1000, 1000, 1000,    0,       0,          0,       1000000, 1000000});
  e.Record(37, {0x80000008});  // SELECTOBJECT NULL_PEN
  for (const TFilledRect& r : rects) {
    e.Record(39, {1, 0, r.colorRef, 0});  // CREATEBRUSHINDIRECT: solid
    e.Record(37, {1});                    // SELECTOBJECT
    e.Record(43, {r.left, r.top, r.right, r.bottom});
    e.Record(40, {1});  // DELETEOBJECT
  }
  e.Record(14, {0, 16, 20});  // EOF
  Put(e.b, 48, static_cast<int64_t>(e.b.size()), 4);
  Put(e.b, 52, e.records, 4);
  return e.b;
}
// A 100 x 50 pixel picture: a red rectangle from (10, 10) to (50, 40).
std::vector<uint8_t> RedRectangleEmf() { return RectanglesEmf(100, 50, {{0x000000FF, 10, 10, 50, 40}}); }
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

namespace {
// Records of a metafile under construction: 32-bit words for EMF, 16-bit for WMF.
struct TRecords {
  std::vector<uint8_t> b;
  void U16(uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
  }
  void U32(uint32_t v) { U16(v & 0xFFFF), U16(v >> 16); }
  void Bytes(const std::vector<uint8_t>& v) { b.insert(b.end(), v.begin(), v.end()); }
};
// A 2 x 2 24-bit bottom-up DIB: header, then rows (bottom row first) of 8 bytes.
std::vector<uint8_t> Dib2x2(TBGR topLeft, TBGR topRight, TBGR bottomLeft, TBGR bottomRight) {
  TRecords d;
  for (uint32_t v : {40u, 2u, 2u}) d.U32(v);
  d.U16(1), d.U16(24);
  for (int i = 0; i < 6; ++i) d.U32(0);
  for (TBGR c : {bottomLeft, bottomRight, topLeft, topRight}) {
    d.b.push_back(c.b), d.b.push_back(c.g), d.b.push_back(c.r);
    if (d.b.size() % 4 == 2) d.U16(0);  // row padding
  }
  return d.b;
}
std::vector<uint8_t> EmfHeaderRecord() {
  TEmf e;
  e.Record(1, {0, 0, 99, 49,   0,    0,    10000, 5000, 0x464D4520, 0x10000, 0,       0,      8,
               0, 0, 0,  1000, 1000, 1000, 1000,  0,    0,          0,       1000000, 1000000});
  return e.b;
}
// A 100 x 50 pixel picture in anisotropic units of a tenth of a pixel: a
// blue triangle of 16-bit points, a green ellipse moved by the world
// transform inside a saved state, a red rectangle after the state is
// restored, a stretched 2 x 2 DIB, and a line of text.
std::vector<uint8_t> SceneEmf() {
  TEmf e;
  e.b = EmfHeaderRecord();
  e.records = 1;
  e.Record(17, {8});                  // SETMAPMODE anisotropic
  e.Record(9, {1000, 500});           // SETWINDOWEXTEX
  e.Record(11, {100, 50});            // SETVIEWPORTEXTEX
  e.Record(37, {0x80000008});         // NULL_PEN
  e.Record(39, {1, 0, 0xFF0000, 0});  // blue brush
  e.Record(37, {1});
  e.Record(86, {0, 0, 0, 0, 3, 0 | (0 << 16), 300 | (0 << 16), 0 | (300u << 16)});  // POLYGON16
  e.Record(33, {});                                                                 // SAVEDC
  e.Record(39, {2, 0, 0x00FF00, 0});                                                // green brush
  e.Record(37, {2});
  e.Record(35, {0x3F800000, 0, 0, 0x3F800000, 0x43FA0000, 0});  // world: x + 500
  e.Record(42, {0, 0, 200, 200});                               // ELLIPSE
  e.Record(34, {0xFFFFFFFF});                                   // RESTOREDC -1
  e.Record(39, {3, 0, 0x0000FF, 0});                            // red brush
  e.Record(37, {3});
  e.Record(43, {0, 300, 200, 500});  // RECTANGLE, back at the origin
  // STRETCHDIBITS of the whole DIB over (300, 300)-(500, 500).
  const std::vector<uint8_t> dib = Dib2x2({0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {255, 255, 255});
  e.U32(81);
  e.U32(static_cast<uint32_t>(80 + dib.size()));
  for (uint32_t v : {0u, 0u, 0u, 0u, 300u, 300u, 0u, 0u, 2u, 2u, 80u, 40u, 120u, static_cast<uint32_t>(dib.size() - 40),
                     0u, 0xCC0020u, 200u, 200u})
    e.U32(v);
  e.Bytes(dib);
  ++e.records;
  // A font 200 units (20 pixels) high and "WW" at (600, 50) in black.
  e.U32(82), e.U32(104), e.U32(4);
  e.U32(static_cast<uint32_t>(-200));
  for (int i = 0; i < 3; ++i) e.U32(0);
  e.U32(700);
  for (int i = 0; i < 3; ++i) e.U32(0);
  for (int i = 0; i < 16; ++i) e.U32(0);
  ++e.records;
  e.Record(37, {4});
  e.Record(18, {1});  // transparent background
  e.U32(84), e.U32(80);
  for (uint32_t v : {0u, 0u, 0u, 0u, 1u, 0u, 0u, 600u, 50u, 2u, 76u, 0u, 0u, 0u, 0u, 0u, 0u}) e.U32(v);
  e.U16('W'), e.U16('W');
  ++e.records;
  e.Record(14, {0, 16, 20});
  Put(e.b, 48, static_cast<int64_t>(e.b.size()), 4);
  Put(e.b, 52, e.records, 4);
  return e.b;
}
// A placeable WMF of 1000 x 500 units at 1000 per inch (96 x 48 pixels): a
// red rectangle with no outline, a blue ellipse in a reused object slot, and
// a stretched DIB.
std::vector<uint8_t> SceneWmf(bool placeable = true) {
  TRecords w;
  if (placeable) {
    w.U32(0x9AC6CDD7), w.U16(0);
    for (uint32_t v : {0u, 0u, 1000u, 500u, 1000u}) w.U16(v);
    w.U32(0), w.U16(0);
  }
  w.U16(1), w.U16(9), w.U16(0x300), w.U32(0), w.U16(2), w.U32(0), w.U16(0);
  auto rec = [&](uint16_t function, std::initializer_list<uint16_t> params) {
    w.U32(static_cast<uint32_t>(3 + params.size()));
    w.U16(function);
    for (uint16_t p : params) w.U16(p);
  };
  rec(0x020B, {0, 0});             // SETWINDOWORG
  rec(0x020C, {500, 1000});        // SETWINDOWEXT (y, x)
  rec(0x02FC, {0, 0x00FF, 0, 0});  // red brush -> slot 0
  rec(0x012D, {0});
  rec(0x02FA, {5, 0, 0, 0, 0});  // null pen -> slot 1
  rec(0x012D, {1});
  rec(0x041B, {250, 500, 0, 0});   // RECTANGLE (bottom, right, top, left)
  rec(0x01F0, {0});                // DELETEOBJECT 0
  rec(0x02FC, {0, 0, 0x00FF, 0});  // blue brush -> slot 0 again
  rec(0x012D, {0});
  rec(0x0418, {500, 1000, 0, 500});  // ELLIPSE
  const std::vector<uint8_t> dib = Dib2x2({0, 255, 0}, {0, 255, 0}, {0, 255, 0}, {0, 255, 0});
  w.U32(static_cast<uint32_t>(14 + dib.size() / 2));
  w.U16(0x0F43);
  w.U32(0xCC0020);
  for (uint32_t v : {0u, 2u, 2u, 0u, 0u, 250u, 500u, 250u, 0u}) w.U16(v);
  w.Bytes(dib);
  rec(0, {});
  return w.b;
}

struct TLoaded {
  bool aborting;
  int32_t width, height, fileType;
  std::function<TBGR(int, int)> px;
  std::unique_ptr<TPixoranIO> io;
};
TLoaded Import(const std::vector<uint8_t>& data, const std::string& name, int32_t w = -1, int32_t h = -1) {
  const std::string path = pixoran::testing::MakeTempDir("metafile") + "/" + name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), data.size());
  TLoaded r;
  r.io = std::make_unique<TPixoranIO>();
  r.io->SetBackground(clWhite);
  r.io->ImportMetafile(path, w, h, false);
  TPXBitmap* b = r.io->PXBitmap();
  r.aborting = r.io->Aborting();
  r.width = b->Width(), r.height = b->Height(), r.fileType = r.io->Params().FileType;
  r.px = [b](int x, int y) {
    const uint8_t* p = b->Scanline(y) + 3 * x;
    return TBGR{p[0], p[1], p[2]};
  };
  return r;
}
const TBGR kRed{0, 0, 255}, kGreen{0, 255, 0}, kBlue{255, 0, 0}, kWhite{255, 255, 255};
}  // namespace

TEST(Metafile, EmfMappingStatesTransformsAndDibs) {
  TLoaded r = Import(SceneEmf(), "scene.emf");
  ASSERT_FALSE(r.aborting);
  ASSERT_EQ(r.width, 100);
  ASSERT_EQ(r.height, 50);
  const struct {
    int x, y;
    TBGR expect;
    const char* what;
  } kPixels[] = {
      {5, 5, kBlue, "triangle"},          {25, 25, kWhite, "outside the triangle"},
      {60, 10, kGreen, "moved ellipse"},  {10, 10, kBlue, "ellipse not at the origin"},
      {51, 1, kWhite, "ellipse corner"},  {10, 40, kRed, "rectangle after restore"},
      {34, 34, kRed, "DIB top left"},     {46, 34, kGreen, "DIB top right"},
      {34, 46, kBlue, "DIB bottom left"}, {46, 46, kWhite, "DIB bottom right"},
  };
  for (const auto& c : kPixels) EXPECT_EQ(r.px(c.x, c.y), c.expect) << c.what;
  int dark = 0;  // the text: black glyph pixels right of x 60, in its 20-pixel line
  for (int y = 5; y < 30; ++y)
    for (int x = 60; x < 100; ++x) dark += r.px(x, y).r < 80;
  EXPECT_GT(dark, 30);
}

TEST(Metafile, PlaceableWmfDrawsItsRecords) {
  TLoaded r = Import(SceneWmf(), "scene.wmf");
  ASSERT_FALSE(r.aborting);
  ASSERT_EQ(r.width, 96);
  ASSERT_EQ(r.height, 48);
  EXPECT_EQ(r.fileType, 9);
  EXPECT_EQ(r.px(20, 10), kRed);
  EXPECT_EQ(r.px(72, 24), kBlue);
  EXPECT_EQ(r.px(94, 2), kWhite);  // outside the ellipse
  EXPECT_EQ(r.px(20, 36), kGreen);
  TLoaded big = Import(SceneWmf(), "scene.wmf", 192, -1);
  ASSERT_EQ(big.height, 96);
  EXPECT_EQ(big.px(144, 48), kBlue);
  // Without the placeable header there is no size.
  EXPECT_TRUE(Import(SceneWmf(false), "plain.wmf").aborting);
}

// Records whose counts, offsets or sizes point outside their data, object
// indices past the table, unbalanced states and degenerate mappings are
// dropped; the rest of the picture still draws.
TEST(Metafile, HostileRecordsAreDropped) {
  const std::vector<std::vector<uint32_t>> kEmfRecords = {
      {86, 32, 0, 0, 0, 0, 0x7FFFFFFF, 0},                   // POLYGON16 with a huge count
      {8, 40, 0, 0, 0, 0, 0x40000000, 0x10, 0xFFFFFFFF, 0},  // POLYPOLYGON counts past the record
      {81, 80, 0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 0xFFFFFF00, 40, 0, 0x7FFFFFFF, 0, 0, 10, 10},  // DIB outside
      {84, 76, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0x7FFFFFFF, 0xFFFFFFF0, 0, 0, 0, 0, 0, 0},        // text outside
      {39, 24, 0xFFFF, 0, 0xFF, 0},                                                         // brush past the table
      {37, 12, 0x7FFFFFF},                                                                  // select past the table
      {34, 12, 0x7FFFFFFF},
      {34, 12, 0x80000000},                                      // restore states that do not exist
      {9, 16, 0, 0},                                             // window extent of 0
      {35, 32, 0x7FC00000, 0, 0, 0x7F800000, 0, 0},              // world transform NaN and infinity
      {42, 24, 0x80000000, 0x80000000, 0x7FFFFFFF, 0x7FFFFFFF},  // ellipse of the whole range
      {64, 24, 0, 0, 0, 0},                                      // stroke path without a path
  };
  TEmf e;
  e.b = EmfHeaderRecord();
  for (const auto& rec : kEmfRecords)
    for (uint32_t v : rec) e.U32(v);
  e.Record(11, {100, 50});
  e.Record(9, {100, 50});
  e.Record(39, {1, 0, 0x0000FF, 0});
  e.Record(37, {1});
  e.Record(43, {0, 0, 100, 50});
  e.Record(14, {0, 16, 20});
  e.U32(7), e.U32(0xFFFFFF00);  // a record past the end, after the end
  TLoaded r = Import(e.b, "hostile.emf");
  ASSERT_FALSE(r.aborting);
  EXPECT_EQ(r.px(50, 25), kRed);
  // A record longer than the data ends the picture without failing it.
  std::vector<uint8_t> cut = SceneEmf();
  Put(cut, 108 + 4, 0x7FFFFFF0, 4);
  EXPECT_FALSE(Import(cut, "cut.emf").aborting);
}

// Inputs the fuzzer found (kept in fuzz/regressions/metafile): they are
// refused or drawn, never a crash.
TEST(Metafile, FuzzRegressions) {
  const std::vector<std::vector<uint8_t>> kInputs = {
      {1,  0, 0, 0, 108, 0,  0,  0, 0,   0,   0,   0, 255, 255, 255, 255, 99, 0,  0, 48, 0, 0,  0, 0, 0, 0, 0,
       0,  0, 0, 0, 0,   16, 39, 0, 0,   136, 19,  0, 0,   32,  69,  77,  70, 0,  0, 0,  0, 3,  0, 0, 0, 0, 0,
       0,  0, 0, 0, 0,   0,  0,  0, 0,   0,   232, 0, 0,   0,   0,   0,   0,  0,  0, 0,  0, 3,  0, 0, 0, 0, 0,
       0,  0, 0, 0, 0,   0,  0,  0, 0,   0,   0,   0, 0,   0,   0,   0,   0,  0,  0, 0,  0, 0,  0, 0, 0, 0, 0,
       0,  0, 0, 0, 0,   0,  0,  0, 0,   0,   0,   0, 0,   0,   0,   0,   0,  0,  0, 0,  0, 0,  0, 0, 0, 0, 0,
       0,  0, 0, 0, 0,   0,  0,  0, 0,   0,   0,   0, 0,   0,   0,   0,   0,  0,  0, 0,  0, 0,  0, 0, 0, 0, 0,
       0,  0, 0, 0, 0,   0,  0,  0, 0,   0,   0,   0, 0,   0,   0,   0,   0,  0,  0, 2,  0, 0,  0, 0, 0, 0, 0,
       0,  0, 0, 0, 0,   0,  0,  0, 0,   0,   0,   0, 0,   0,   0,   0,   0,  0,  0, 0,  0, 0,  0, 0, 0, 0, 232,
       20, 7, 0, 0, 0,   0,  37, 0, 116, 0,   24,  0, 0,   215, 205, 198, 0,  10, 0, 3,  0, 17, 20},  // emf-description-overread
      {1, 0, 0,   0,   108, 0,  0,   0,   0,   0,   0,   54,  0,  91,  246, 255, 156, 255, 0,   0,   50,  0,
       1, 0, 0,   0,   0,   0,  0,   0,   0,   0,   16,  39,  0,  0,   136, 19,  0,   0,   32,  69,  77,  70,
       0, 0, 0,   0,   0,   1,  212, 0,   6,   0,   15,  0,   3,  0,   0,   0,   0,   0,   0,   0,   216, 0,
       0, 0, 128, 0,   0,   0,  232, 3,   0,   0,   232, 3,   0,  89,  37,  232, 3,   254, 255, 255, 255, 0,
       0, 0, 0,   0,   232, 3,  0,   0,   232, 3,   0,   89,  37, 24,  252, 0,   251, 255, 255, 1,   14,  0,
       0, 0, 108, 0,   0,   0,  0,   0,   0,   51,  0,   136, 19, 0,   0,   232, 87,  0,   0,   0,   0,   0,
       0, 0, 3,   0,   89,  37, 24,  252, 0,   251, 255, 255, 1,  14,  0,   0,   0,   108, 0,   0,   0,   0,
       0, 0, 51,  0,   136, 19, 0,   0,   32,  232, 3,   0,   89, 37,  232, 3,   254, 255, 255, 255, 0,   0,
       0, 0, 0,   232, 3,   0,  0,   232, 3,   1,   89,  37,  24, 252, 0,   0,   0,   0,   0,   0,   0,   0,
       1, 0, 0,   0,   108, 0,  0,   40,  0,   0,   0,   0,   0,  3,   112, 0,   17,  20},  // emf-empty-description-offset
      {1,  0, 0, 0, 108, 0,   0, 0, 0,  8,  0,   0,   0,   0,   0,   0,   99,  0,  0,   0,   49,  0,   142,
       0,  0, 0, 0, 0,   0,   0, 0, 0,  16, 39,  0,   0,   136, 19,  0,   0,   32, 69,  77,  70,  0,   0,
       1,  0, 1, 0, 212, 0,   0, 0, 34, 0,  0,   0,   3,   0,   0,   0,   0,   0,  0,   0,   32,  69,  77,
       70, 0, 0, 1, 0,   212, 0, 1, 0,  0,  0,   108, 0,   0,   0,   0,   0,   0,  205, 205, 205, 205, 0,
       0,  0, 4, 0, 0,   0,   1, 0, 0,  0,  205, 205, 205, 205, 205, 205, 205, 205},  // emf-record-overrun
  };
  for (const auto& input : kInputs) {
    TBitmap target;
    target.SetPixelFormat(pf24bit);
    target.SetSize(64, 64);
    PlayMetafile(input.data(), static_cast<int64_t>(input.size()), target);
    Import(input, "fuzzed.emf", 50, 50);
  }
}

// With AsyncMode on a caller's bitmap, the metafile is drawn on a worker and
// the finishing event fires there once.
TEST(MetafileThread, ImportRunsOnAWorker) {
  const std::string path = pixoran::testing::MakeTempDir("emfthread") + "/scene.wmf";
  const std::vector<uint8_t> wmf = SceneWmf();
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(wmf.data()), wmf.size());
  TPXBitmap target;
  TPixoranIO io;
  io.SetAttachedPXBitmap(&target);
  io.SetAsyncMode(true);
  std::atomic<int> finished{0};
  std::atomic<bool> onWorker{false};
  io.OnFinishWork = [&](TObject*) {
    onWorker = io.IsInsideThread();
    ++finished;
  };
  io.ImportMetafile(path, -1, -1, false);
  io.WaitThreads(false);
  EXPECT_EQ(finished.load(), 1);
  EXPECT_TRUE(onWorker.load());
  EXPECT_FALSE(io.Aborting());
  ASSERT_EQ(target.Width(), 96);
  const uint8_t* p = target.Scanline(10) + 3 * 20;
  EXPECT_EQ((TBGR{p[0], p[1], p[2]}), kRed);
  io.SetAttachedPXBitmap(nullptr);
}

#if defined(__SANITIZE_ADDRESS__)
#define PX_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PX_UNDER_ASAN 1
#endif
#endif
#ifndef PX_UNDER_ASAN
#define PX_UNDER_ASAN 0
#endif

// A few hundred bytes claiming the largest picture allowed: it is drawn in
// bands into a bitmap that lives in a temporary file, so what the load holds
// in memory stays within the memory budget; rectangles crossing the bands
// land where they belong.
TEST(Metafile, LargestPictureDrawnInBandsWithinTheMemoryBudget) {
  pixoran::testing::ThresholdScope threshold(int64_t{64} << 20);
  const std::string path = pixoran::testing::MakeTempDir("hugeemf") + "/huge.emf";
  const std::vector<uint8_t> emf =
      RectanglesEmf(16000, 16000, {{0x000000FF, 0, 0, 16000, 8000}, {0x00FF0000, 4000, 7000, 12000, 15000}});
  ASSERT_LT(emf.size(), 1024u);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(emf.data()), emf.size());
  TPixoranIO io;
  io.SetBackground(clWhite);
  pixoran::testing::ResetPeakMemory();
  const int64_t before = pixoran::testing::PeakMemory();
  io.LoadFromFile(path);                                                 // with the alpha pass, as by name
  [[maybe_unused]] const int64_t peak = pixoran::testing::PeakMemory();  // unread under ASan
  ASSERT_FALSE(io.Aborting());
  TPXBitmap& b = *io.PXBitmap();
  ASSERT_EQ(b.Width(), 16000);
  ASSERT_EQ(b.Height(), 16000);
  ASSERT_GT(before, 0);
  // (AddressSanitizer keeps freed blocks resident for a while: there the
  // figure says nothing about the load.)
#if !PX_UNDER_ASAN
  EXPECT_LT(peak - before, CodecMemoryLimit()) << "grew " << ((peak - before) >> 20) << " MB";
#endif
  struct Probe {
    int32_t x, y;
    TBGR colour;
    uint8_t alpha;
  };
  const Probe probes[] = {{1, 1, kRed, 255},        {15998, 7998, kRed, 255},   {5000, 1398, kRed, 255},
                          {4001, 7001, kBlue, 255}, {11998, 14998, kBlue, 255}, {8000, 11184, kBlue, 255},
                          {2000, 9000, kWhite, 0},  {12001, 15001, kWhite, 0},  {15999, 15999, kWhite, 0}};
  for (const Probe& p : probes) {
    SCOPED_TRACE(std::to_string(p.x) + "," + std::to_string(p.y));
    const uint8_t* q = b.Scanline(p.y) + 3 * p.x;
    EXPECT_EQ((TBGR{q[0], q[1], q[2]}), p.colour);
    EXPECT_EQ(b.GetAlpha(p.x, p.y), p.alpha);
  }
}

// A camera picture with EXIF, IPTC and an ICC profile, then a picture of
// another kind of source into the same component: the files saved from the
// new picture carry nothing of the first one's metadata.
TEST(Metafile, NoOtherSourceCarriesThePreviousPicturesMetadata) {
  const std::string dir = pixoran::testing::MakeTempDir("metacarry");
  auto write = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
    return dir + "/" + name;
  };
  const std::vector<uint8_t> emf = RedRectangleEmf(), wmf = SceneWmf();
  const std::string emfPath = write("p.emf", std::string(emf.begin(), emf.end()));
  const std::string wmfPath = write("p.wmf", std::string(wmf.begin(), wmf.end()));
  const std::string aviPath =
      write("p.avi", pixoran::testing::MakeAVI(2, 2, 24, 0, "", {{std::string(16, '\x40'), true}}, 1, 25));
  const std::string kMake = "CameraMakeQ", kCaption = "CaptionQ", kProfile = "ICC_PROFILE_Q";

  TMemoryStream camera;
  {
    TPixoranIO maker;
    ASSERT_TRUE(maker.PXBitmap()->Allocate(32, 24, pxBGR24));
    maker.PXBitmap()->Fill(0x406080);
    TIOParamsVals& p = maker.Params();
    p.HasEXIFData = 1;
    p.EXIFMake = kMake;
    p.IPTCInfo->AddData(2, 120, static_cast<int32_t>(kCaption.size()), kCaption.data());
    const std::string icc = kProfile + std::string(1, '\0') + "\x01\x01";
    p.JPEGMarkers->AddMarker(0xE2, icc.data(), static_cast<int32_t>(icc.size()));
    maker.SaveToStreamJPEG(camera);
    ASSERT_FALSE(maker.Aborting());
  }
  TPXBitmap scanned;
  ASSERT_TRUE(scanned.Allocate(6, 4, pxBGR24));
  scanned.Fill(0x101010);
  struct Source {
    const char* name;
    std::function<void(TPixoranIO&)> load;
  } sources[] = {{"EMF by name", [&](TPixoranIO& io) { io.LoadFromFile(emfPath); }},
                 {"WMF", [&](TPixoranIO& io) { io.ImportMetafile(wmfPath, -1, -1, false); }},
                 {"AVI by name", [&](TPixoranIO& io) { io.LoadFromFile(aviPath); }},
                 {"AVI frame",
                  [&](TPixoranIO& io) {
                    ASSERT_EQ(io.OpenAVIFile(aviPath), 1);
                    io.LoadFromAVI(0);
                    io.CloseAVIFile();
                  }},
                 {"acquired", [&](TPixoranIO& io) {
                    TIOParamsVals* params = nullptr;
                    io.AcquireBitmap(&scanned, params);
                    EXPECT_EQ(params, &io.Params());
                  }}};
  auto contains = [](TMemoryStream& ms, const std::string& text) {
    const char* p = reinterpret_cast<const char*>(ms.Memory());
    return std::search(p, p + ms.Size(), text.begin(), text.end()) != p + ms.Size();
  };
  for (const Source& source : sources) {
    SCOPED_TRACE(source.name);
    TPixoranIO io;
    io.LoadFromBuffer(camera.Memory(), camera.Size(), 0);
    ASSERT_FALSE(io.Aborting());
    ASSERT_EQ(io.Params().HasEXIFData, 1);
    ASSERT_EQ(io.Params().IPTCInfo->Count(), 1);
    // A TIFF save writes the record's profile: the camera picture has one.
    io.Params().InputICC->LoadFromBuffer(kProfile.data(), static_cast<int64_t>(kProfile.size()));
    source.load(io);
    ASSERT_FALSE(io.Aborting());
    for (int32_t type : {ioJPEG, ioTIFF}) {
      SCOPED_TRACE(type);
      TMemoryStream saved;
      io.SaveToStream(saved, type);
      ASSERT_FALSE(io.Aborting());
      EXPECT_FALSE(contains(saved, kMake));
      EXPECT_FALSE(contains(saved, kCaption));
      EXPECT_FALSE(contains(saved, kProfile));
      TPixoranIO back;
      back.LoadFromBuffer(saved.Memory(), saved.Size(), type);
      ASSERT_FALSE(back.Aborting());
      EXPECT_EQ(back.Params().HasEXIFData, 0);
      EXPECT_EQ(back.Params().IPTCInfo->Count(), 0);
      EXPECT_TRUE(back.Params().InputICC->IsEmpty());
    }
  }
}

// Metafiles and AVI are loaded from their files as a whole. By type, a
// metafile is imported whatever its name; AVI by type and AVI from a stream
// have no loader, while a file named .avi still gives its first frame.
TEST(Metafile, WholeFileLoadsByTypeAndByName) {
  const std::string dir = pixoran::testing::MakeTempDir("wholefile");
  auto write = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(dir + "/" + name, std::ios::binary) << bytes;
    return dir + "/" + name;
  };
  const std::vector<uint8_t> emf = RedRectangleEmf(), wmf = SceneWmf();
  const std::string avi = pixoran::testing::MakeAVI(2, 2, 24, 0, "", {{std::string(16, '\x40'), true}}, 1, 25);
  const std::string emfData = write("picture.dat", std::string(emf.begin(), emf.end()));
  const std::string wmfData = write("scene.bin", std::string(wmf.begin(), wmf.end()));
  const std::string aviPath = write("movie.avi", avi);
  struct Case {
    const char* what;
    std::function<void(TPixoranIO&)> load;
    bool loads;
    int32_t fileType, width, height;
  } cases[] = {
      {"EMF by type", [&](TPixoranIO& io) { io.LoadFromFileFormat(emfData, ioEMF); }, true, ioEMF, 100, 50},
      {"WMF by type", [&](TPixoranIO& io) { io.LoadFromFileFormat(wmfData, ioWMF); }, true, ioWMF, 96, 48},
      // The type says how to load; the content says which metafile it is.
      {"EMF as WMF", [&](TPixoranIO& io) { io.LoadFromFileFormat(emfData, ioWMF); }, true, ioEMF, 100, 50},
      {"AVI by name", [&](TPixoranIO& io) { io.LoadFromFile(aviPath); }, true, ioAVI, 2, 2},
      {"AVI by type", [&](TPixoranIO& io) { io.LoadFromFileFormat(aviPath, ioAVI); }, false, 0, 0, 0},
      {"AVI from a stream",
       [&](TPixoranIO& io) {
         TMemoryStream ms;
         ms.Write(avi.data(), static_cast<int64_t>(avi.size()));
         ms.SetPosition(0);
         io.LoadFromStream(ms);
       },
       false, 0, 0, 0},
      {"AVI from a stream by type",
       [&](TPixoranIO& io) {
         TMemoryStream ms;
         ms.Write(avi.data(), static_cast<int64_t>(avi.size()));
         ms.SetPosition(0);
         io.LoadFromStreamFormat(ms, ioAVI);
       },
       false, 0, 0, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TPixoranIO io;
    io.SetBackground(clWhite);
    int finished = 0;
    io.OnFinishWork = [&](TObject*) { ++finished; };
    c.load(io);
    EXPECT_EQ(finished, 1);
    ASSERT_EQ(io.Aborting(), !c.loads);
    if (!c.loads) continue;
    EXPECT_EQ(io.Params().FileType, c.fileType);
    EXPECT_EQ(io.PXBitmap()->Width(), c.width);
    EXPECT_EQ(io.PXBitmap()->Height(), c.height);
  }
}
