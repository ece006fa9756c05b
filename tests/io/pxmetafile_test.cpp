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
