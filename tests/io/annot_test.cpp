// Imaging annotations (TIFF tag 32932) and ICC profiles (tag 34675): blocks
// built by hand as another program writes them, our own blocks read back
// byte for byte, damage, and both tags through TIFF files and libtiff.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_settings.h"
#include "core/pxdib.h"
#include "external_tools.h"
#include "io/pixoranio.h"
#include "io/pxmetadata.h"
#include "io/formats/tiff/tiffilt.h"
#include "platform/streams.h"
#include "testsupport.h"

namespace pixoran {
namespace {

using Bytes = std::vector<uint8_t>;

// The screen resolution is pinned for every test here and let go after.
class Annot : public ::testing::Test {
 protected:
  void SetUp() override { SetScreenLogicalDpi(96, 96); }
  void TearDown() override { SetScreenLogicalDpi(0, 0); }
};

void Put32(Bytes& b, int64_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i)));
}

// An annotation block as another program writes it.
struct TBlockBuilder {
  Bytes b;
  bool wide;
  explicit TBlockBuilder(bool wideInts = true) : wide(wideInts) {
    Put32(b, 0);
    Put32(b, wide ? 1 : 0);
  }
  void Named(int type, const std::string& name, const Bytes& content) {
    Put32(b, type);
    Put32(b, 12);
    char field[8] = {};
    std::memcpy(field, name.data(), std::min<size_t>(name.size(), 8));
    b.insert(b.end(), field, field + 8);
    Put32(b, static_cast<int64_t>(content.size()));
    if (!wide) Put32(b, 0);
    b.insert(b.end(), content.begin(), content.end());
  }
  void Mark(int markType, int fontHeight = 0, uint8_t fill = 0) {
    Put32(b, 5);
    Put32(b, 164);
    Bytes attr(164, fill);
    for (int i = 0; i < 4; ++i) attr[i] = static_cast<uint8_t>(markType >> (8 * i));
    for (int i = 0; i < 4; ++i) attr[48 + i] = static_cast<uint8_t>(static_cast<uint32_t>(fontHeight) >> (8 * i));
    b.insert(b.end(), attr.begin(), attr.end());
  }
  void Unknown() {
    Put32(b, 9);
    Put32(b, 6);
    b.insert(b.end(), {1, 2, 3, 4, 5, 6});
  }
};

Bytes Zt(const std::string& s) {
  Bytes v(s.begin(), s.end());
  v.push_back(0);
  return v;
}
Bytes AnText(int scale, const std::string& text) {
  Bytes v;
  for (int x : {0, scale, 0, static_cast<int>(text.size())}) Put32(v, x);
  Bytes t = Zt(text);
  v.insert(v.end(), t.begin(), t.end());
  return v;
}
Bytes Points(const std::vector<TPXAnnotPoint>& pts) {
  Bytes v;
  Put32(v, static_cast<int64_t>(pts.size()));
  Put32(v, static_cast<int64_t>(pts.size()));
  for (const auto& p : pts) Put32(v, p.X), Put32(v, p.Y);
  return v;
}

Bytes Save(const TPXImagingAnnot& a) {
  Bytes out;
  a.SaveToStandardBuffer(out);
  return out;
}

void SmallImage(TPXBitmap& b) {
  b.Allocate(5, 3, pxBGR24);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 15; ++x) b.Scanline(y)[x] = static_cast<uint8_t>(x * 17 + y * 40);
}

// Every kind of mark another program writes: typed text, a freehand line,
// an embedded image, a form with a file name and rotation data, a
// rectangle, and a record type we do not know.
Bytes ForeignBlock(bool wide) {
  TBlockBuilder t(wide);
  t.Named(2, "OiGroup", Zt("[Untitled]"));
  t.Mark(7, -16, 0x11);
  t.Named(6, "OiAnText", AnText(750, "Hello, 世界"));
  t.Named(6, "OiGroup", Zt("[Untitled]"));
  t.Mark(4);
  t.Named(6, "OiAnoDat", Points({{1, 2}, {3, 4}, {5, 6}, {7, 8}, {-9, 10}}));
  t.Mark(1);
  TPXBitmap img;
  SmallImage(img);
  const TPXPackedDIB dib = BitmapRectToDIB(img, 0, 0, 0, 0);
  t.Named(6, "OiAnoDat", Bytes(56, 1));
  t.Named(6, "OiDIB", dib.Bytes());
  t.Unknown();
  t.Mark(12);
  t.Named(6, "OiFilNam", Zt("form.tif"));
  t.Named(6, "OiAnoDat", Bytes(56, 7));
  t.Mark(6, 0, 0x22);
  return t.b;
}

void ExpectForeignMarks(const TPXImagingAnnot& a) {
  ASSERT_EQ(a.Count(), 5);
  const TPXImagingObject& text = *a.Object(0);
  EXPECT_EQ(text.MarkType(), 7);
  EXPECT_EQ(text.Text, "Hello, 世界");
  // 72000 / 750 / 96 x 16.
  EXPECT_EQ(text.AttrInt(48), 16);
  EXPECT_EQ(text.Attributes[100], 0x11);
  const TPXImagingObject& line = *a.Object(1);
  EXPECT_EQ(line.MarkType(), 4);
  EXPECT_EQ(line.Points, (std::vector<TPXAnnotPoint>{{1, 2}, {3, 4}, {5, 6}, {7, 8}, {-9, 10}}));
  const TPXImagingObject& image = *a.Object(2);
  ASSERT_TRUE(image.Image);
  TPXBitmap want;
  SmallImage(want);
  ASSERT_EQ(image.Image->Width(), 5);
  ASSERT_EQ(image.Image->Height(), 3);
  for (int y = 0; y < 3; ++y) EXPECT_EQ(std::memcmp(image.Image->Scanline(y), want.Scanline(y), 15), 0);
  EXPECT_TRUE(image.OtherBlocks.empty());  // rotation data is rebuilt
  const TPXImagingObject& form = *a.Object(3);
  EXPECT_EQ(form.MarkType(), 12);
  ASSERT_EQ(form.OtherBlocks.size(), 2u);
  EXPECT_EQ(form.OtherBlocks[0], (TPXAnnotNamedBlock{"OiFilNam", Zt("form.tif")}));
  EXPECT_EQ(form.OtherBlocks[1], (TPXAnnotNamedBlock{"OiAnoDat", Bytes(56, 7)}));
  EXPECT_EQ(a.Object(4)->MarkType(), 6);
  EXPECT_EQ(a.Object(4)->Attributes[163], 0x22);
  EXPECT_FALSE(a.Modified);
}

TEST_F(Annot, ForeignBlocksOfBothIntegerSizesAndOurOwnReadBackExactly) {
  for (bool wide : {true, false}) {
    SCOPED_TRACE(wide);
    const Bytes foreign = ForeignBlock(wide);
    TPXImagingAnnot a;
    a.Modified = true;
    a.LoadFromStandardBuffer(foreign.data(), static_cast<int64_t>(foreign.size()));
    ExpectForeignMarks(a);

    // Ours, read and written again, is the same block byte for byte, and
    // holds the same marks.
    const Bytes ours = Save(a);
    TPXImagingAnnot b;
    b.LoadFromStandardBuffer(ours.data(), static_cast<int64_t>(ours.size()));
    ExpectForeignMarks(b);
    EXPECT_EQ(Save(b), ours);
    TPXImagingAnnot c;
    c.Assign(&b);
    EXPECT_EQ(Save(c), ours);
  }
}

TEST_F(Annot, WrittenLayoutDefaultsGroupsAndIndexes) {
  TPXImagingAnnot a;
  EXPECT_TRUE(Save(a).empty());
  a.LoadFromStandardBuffer(nullptr, 0);
  EXPECT_EQ(a.Count(), 0);
  TPXImagingObject* o = a.AddObject();
  o->SetMarkType(3);
  o->Points = {{10, 20}, {30, 40}};
  a.AddObject()->SetMarkType(5);
  const Bytes b = Save(a);
  TBlockBuilder want;
  want.Named(2, "OiGroup", Zt("0"));
  want.Named(2, "OiIndex", Zt("1"));
  want.Mark(3);
  want.Named(6, "OiAnoDat", Points({{10, 20}, {30, 40}}));
  want.Named(6, "OiGroup", Zt("0"));
  want.Named(6, "OiIndex", Zt("0"));
  want.Mark(5);
  want.Named(6, "OiGroup", Zt("0"));
  want.Named(6, "OiIndex", Zt("1"));
  EXPECT_EQ(b, want.b);
}

// The height read is 72000 / scale / dpi x -height; written, the inverse at
// the scale written (72000 / dpi), so the height survives; a scale of 0
// keeps the height.
TEST_F(Annot, FontHeightFollowsTheScaleAndTheScreen) {
  struct Case {
    int dpi, scale, fileHeight, height;
  } cases[] = {{96, 750, -16, 16}, {96, 375, -16, 32}, {120, 600, -20, 20}, {96, 0, -16, -16}, {144, 1000, -12, 6}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.dpi * 10000 + c.scale);
    SetScreenLogicalDpi(c.dpi, c.dpi);
    TBlockBuilder t;
    t.Mark(9, c.fileHeight);
    t.Named(6, "OiAnText", AnText(c.scale, "stamp"));
    TPXImagingAnnot a;
    a.LoadFromStandardBuffer(t.b.data(), static_cast<int64_t>(t.b.size()));
    ASSERT_EQ(a.Count(), 1);
    EXPECT_EQ(a.Object(0)->AttrInt(48), c.height);
    EXPECT_EQ(a.Object(0)->Text, "stamp");
    const Bytes ours = Save(a);
    TPXImagingAnnot back;
    back.LoadFromStandardBuffer(ours.data(), static_cast<int64_t>(ours.size()));
    EXPECT_EQ(back.Object(0)->AttrInt(48), c.height);
  }
}

// Every cut and random damage stays inside the block; DIBs that claim more
// than they hold give no image.
TEST_F(Annot, DamagedBlocksStayInsideTheirBytes) {
  const Bytes good = ForeignBlock(true);
  for (size_t cut = 0; cut <= good.size(); cut += 3) {
    const Bytes part(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
    TPXImagingAnnot a;
    a.LoadFromStandardBuffer(part.empty() ? nullptr : part.data(), static_cast<int64_t>(part.size()));
    EXPECT_LE(a.Count(), 5);
  }
  std::mt19937 rng(25);
  for (int round = 0; round < 2000; ++round) {
    Bytes bad = good;
    for (int f = 1 + static_cast<int>(rng() % 5); f > 0; --f) bad[rng() % bad.size()] = static_cast<uint8_t>(rng());
    TPXImagingAnnot a;
    a.LoadFromStandardBuffer(bad.data(), static_cast<int64_t>(bad.size()));
    Bytes again = Save(a);
    TPXImagingAnnot b;
    b.LoadFromStandardBuffer(again.data(), static_cast<int64_t>(again.size()));
    EXPECT_EQ(b.Count(), a.Count());
  }
  // A DIB whose header claims 4000 x 4000 pixels in a few bytes.
  TBlockBuilder t;
  t.Mark(1);
  Bytes dib(40 + 16, 0);
  dib[0] = 40;
  dib[4] = 0xA0, dib[5] = 0x0F;  // width 4000
  dib[8] = 0xA0, dib[9] = 0x0F;  // height 4000
  dib[12] = 1, dib[14] = 24;
  t.Named(6, "OiDIB", dib);
  TPXImagingAnnot a;
  a.LoadFromStandardBuffer(t.b.data(), static_cast<int64_t>(t.b.size()));
  ASSERT_EQ(a.Count(), 1);
  EXPECT_FALSE(a.Object(0)->Image);
}

// Off the GUI thread, before the GUI thread asked, the screen is 96 per
// inch; never 0.
TEST(AnnotSettings, LogicalDpiOnAWorkerThread) {
  SetScreenLogicalDpi(0, 0);
  int32_t x = 0, y = 0;
  std::thread worker([&] { x = ScreenLogicalDpiX(), y = ScreenLogicalDpiY(); });
  worker.join();
  EXPECT_EQ(x, 96);
  EXPECT_EQ(y, 96);
  EXPECT_GT(ScreenLogicalDpiY(), 0);
  SetScreenLogicalDpi(150, 110);
  EXPECT_EQ(ScreenLogicalDpiX(), 150);
  EXPECT_EQ(ScreenLogicalDpiY(), 110);
  SetScreenLogicalDpi(0, 0);
}

class AnnotFiles : public Annot {
 protected:
  void SetUp() override {
    Annot::SetUp();
    if (!testing::HaveTool("tiffdump") || !testing::HaveTool("tiffcp")) GTEST_SKIP() << "libtiff-tools";
    dir_ = testing::MakeTempDir("annot");
  }
  std::string P(const std::string& n) const { return dir_ + "/" + n; }
  std::string dir_;
};

std::string FileText(const std::string& file) {
  const auto b = testing::ReadFileBytes(file);
  return std::string(b.begin(), b.end());
}

// Both tags through a TIFF file: the annotation block and a 3,144-byte
// profile come back byte for byte; libtiff sees the profile and keeps it
// through a copy into a big-endian file; a page without marks has no 32932.
TEST_F(AnnotFiles, AnnotationsAndProfileThroughTIFFFiles) {
  const Bytes foreign = ForeignBlock(true);
  Bytes icc(3144);
  for (size_t i = 0; i < icc.size(); ++i) icc[i] = static_cast<uint8_t>(i * 31 + 7);

  TPixoranIO io;
  TPXBitmap img;
  SmallImage(img);
  io.PXBitmap()->Assign(&img);
  io.Params().ImagingAnnot->LoadFromStandardBuffer(foreign.data(), static_cast<int64_t>(foreign.size()));
  const Bytes block = Save(*io.Params().ImagingAnnot);
  io.Params().InputICC->LoadFromBuffer(icc.data(), static_cast<int64_t>(icc.size()));
  io.SaveToFile(P("a.tif"));
  ASSERT_FALSE(io.Aborting());
  ASSERT_TRUE(testing::RunTool("tiffdump " + P("a.tif") + " > " + P("dump.txt")));
  const std::string dump = FileText(P("dump.txt"));
  EXPECT_NE(dump.find("32932 (0x80a4) BYTE (1) " + std::to_string(block.size())), std::string::npos) << dump;
  EXPECT_NE(dump.find("(34675) UNDEFINED (7) 3144"), std::string::npos) << dump;

  TPixoranIO back;
  back.LoadFromFile(P("a.tif"));
  ASSERT_FALSE(back.Aborting());
  ExpectForeignMarks(*back.Params().ImagingAnnot);
  EXPECT_EQ(Save(*back.Params().ImagingAnnot), block);
  ASSERT_EQ(back.Params().InputICC->RawSize(), 3144);
  EXPECT_EQ(std::memcmp(back.Params().InputICC->Raw(), icc.data(), icc.size()), 0);

  // libtiff copies the profile into a big-endian file; we read it there.
  ASSERT_TRUE(testing::RunTool("tiffcp -B " + P("a.tif") + " " + P("b.tif")));
  TPixoranIO big;
  big.LoadFromFile(P("b.tif"));
  ASSERT_FALSE(big.Aborting());
  ASSERT_EQ(big.Params().InputICC->RawSize(), 3144);
  EXPECT_EQ(std::memcmp(big.Params().InputICC->Raw(), icc.data(), icc.size()), 0);
  // libtiff does not know tag 32932: the copy has no marks, and the record
  // holds none from the file before.
  EXPECT_EQ(big.Params().ImagingAnnot->Count(), 0);

  TPixoranIO none;
  none.PXBitmap()->Assign(&img);
  none.SaveToFile(P("c.tif"));
  ASSERT_TRUE(testing::RunTool("tiffdump " + P("c.tif") + " > " + P("dump2.txt")));
  EXPECT_EQ(FileText(P("dump2.txt")).find("32932"), std::string::npos);
}

}  // namespace
}  // namespace pixoran
