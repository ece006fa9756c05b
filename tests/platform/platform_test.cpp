// Framework layer: streams, temporary files and the platform bitmap.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/graphics.h"
#include "platform/streams.h"
#include "platform/system.h"
#include "testsupport.h"

using namespace pixoran;

namespace {
std::string ReadAll(TStream& s) {
  s.SetPosition(0);
  std::string out(static_cast<size_t>(s.Size()), '\0');
  s.ReadBuffer(out.data(), static_cast<int64_t>(out.size()));
  return out;
}
}  // namespace

// ------------------------------------------------------------------ streams

TEST(PlatformStream, MemoryStreamReadWriteSeek) {
  TMemoryStream m;
  EXPECT_EQ(m.Write("0123456789", 10), 10);
  EXPECT_EQ(m.Position(), 10);
  EXPECT_EQ(m.Size(), 10);
  EXPECT_EQ(m.Seek(4, TSeekOrigin::soBeginning), 4);
  char buf[32] = {};
  EXPECT_EQ(m.Read(buf, 100), 6);  // short read: what is there
  EXPECT_EQ(std::string(buf, 6), "456789");
  EXPECT_EQ(m.Read(buf, 1), 0);
  EXPECT_EQ(m.Seek(-2, TSeekOrigin::soEnd), 8);
  EXPECT_EQ(m.Seek(-100, TSeekOrigin::soCurrent), 8);  // before the start: stays
  EXPECT_FALSE(m.ReadExact(buf, 3));
  m.SetPosition(8);
  EXPECT_THROW(m.ReadBuffer(buf, 3), EReadError);

  ASSERT_TRUE(m.SetSize(5));
  EXPECT_EQ(m.Position(), 5);  // cut to the new end
  m.SetPosition(8);            // past the end: a write fills the gap with zeros
  EXPECT_EQ(m.Write("X", 1), 1);
  EXPECT_EQ(m.Size(), 9);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.Memory()), 9), std::string("01234\0\0\0X", 9));
  EXPECT_FALSE(m.SetSize(-1));

  TMemoryStream copy;
  m.SetPosition(2);
  EXPECT_EQ(copy.CopyFrom(m, 0), 7);  // 0: from the position to the end
  EXPECT_EQ(ReadAll(copy), std::string("234\0\0\0X", 7));
  m.Clear();
  EXPECT_EQ(m.Size(), 0);
  EXPECT_EQ(m.Position(), 0);

  const char data[] = "abc";
  TReadOnlyMemoryStream ro(data, 3);
  EXPECT_EQ(ro.Write("z", 1), 0);
  EXPECT_FALSE(ro.SetSize(10));
  EXPECT_EQ(ro.Seek(-1, TSeekOrigin::soEnd), 2);
  EXPECT_EQ(ro.Read(buf, 5), 1);
  EXPECT_EQ(buf[0], 'c');
}

TEST(PlatformStream, FileStreamReadWriteSeekAndErrors) {
  const std::string dir = pixoran::testing::MakeTempDir("plat");
  const std::string name = dir + "/f.bin";
  {
    TFileStream f(name, fmCreate);
    EXPECT_EQ(f.Write("hello world", 11), 11);
    EXPECT_EQ(f.Size(), 11);
    EXPECT_EQ(f.Seek(6, TSeekOrigin::soBeginning), 6);
    char buf[32] = {};
    EXPECT_EQ(f.Read(buf, 100), 5);  // short read at the end
    EXPECT_EQ(std::string(buf, 5), "world");
    EXPECT_EQ(f.Read(buf, 10), 0);
    EXPECT_EQ(f.Seek(-5, TSeekOrigin::soEnd), 6);
    EXPECT_EQ(f.Seek(-50, TSeekOrigin::soCurrent), 6);
    // Growing reads as zeros; shrinking cuts the position back.
    ASSERT_TRUE(f.SetSize(20));
    f.SetPosition(15);
    EXPECT_EQ(f.Read(buf, 5), 5);
    EXPECT_EQ(buf[4], 0);
    ASSERT_TRUE(f.SetSize(5));
    EXPECT_EQ(f.Position(), 5);
    EXPECT_THROW(f.ReadBuffer(buf, 1), EReadError);
    // A second stream on the same file sees the writes at once.
    TFileStream g(name, fmOpenReadWrite);
    g.SetPosition(1);
    EXPECT_EQ(g.Write("EL", 2), 2);
    f.SetPosition(0);
    EXPECT_EQ(f.Read(buf, 5), 5);
    EXPECT_EQ(std::string(buf, 5), "hELlo");
  }
  EXPECT_EQ(FileSizeByName(name), 5);
  {
    TFileStream r(name, fmOpenRead);
    EXPECT_EQ(r.Write("x", 1), 0);  // read-only
  }
  EXPECT_THROW(TFileStream(dir + "/missing", fmOpenRead), EFOpenError);
  EXPECT_THROW(TFileStream(dir + "/no/dir/file", fmCreate), EFCreateError);
  EXPECT_THROW(TFileStream(dir, fmOpenRead), EFOpenError);  // a directory
}

TEST(PlatformStream, CopyWholeFileReplacesTheContent) {
  const std::string dir = pixoran::testing::MakeTempDir("platcopy");
  TFileStream src(dir + "/src", fmCreate);
  std::string big(3 << 20, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 31 + 7);
  src.WriteBuffer(big.data(), static_cast<int64_t>(big.size()));
  TFileStream dst(dir + "/dst", fmCreate);
  std::string longer(4 << 20, 'z');
  dst.WriteBuffer(longer.data(), static_cast<int64_t>(longer.size()));
  ASSERT_TRUE(dst.CopyWholeFileFrom(src));
  EXPECT_EQ(dst.Size(), static_cast<int64_t>(big.size()));
  EXPECT_EQ(ReadAll(dst), big);
}

TEST(PlatformSystem, TemporaryFileIsUnlinkedAtOnce) {
  const std::string dir = pixoran::testing::MakeTempDir("plattmp");
  std::string name;
  auto s = CreateTempFileStream(dir, "pixoran", &name);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(name.rfind(dir + "/pixoran", 0), 0u);
  EXPECT_FALSE(PathExists(name));
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  EXPECT_EQ(s->Write("abc", 3), 3);
  EXPECT_EQ(ReadAll(*s), "abc");
  EXPECT_EQ(CreateTempFileStream(dir + "/missing", "pixoran"), nullptr);
  EXPECT_FALSE(SystemTempPath().empty());
  EXPECT_GE(PlatformAvailablePhysicalMemory(), 0);
}

// Big pixel blocks: zeroed, on a 2 MB boundary (huge pages can back them
// only there), every byte writable, for sizes that are and are not whole
// huge pages.
TEST(PlatformSystem, BigBlocksAreZeroedAlignedAndWholeToTheirEnd) {
  constexpr size_t kTwoMB = size_t{2} << 20;
  for (size_t bytes : {size_t{4} << 20, (size_t{6} << 20) + 12345, (size_t{72} << 20) - 1}) {
    auto* p = static_cast<uint8_t*>(PlatformAllocateBigBlock(bytes));
    ASSERT_NE(p, nullptr) << bytes;
    EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % kTwoMB, 0u) << bytes;
    for (size_t i = 0; i < bytes; i += 4093) ASSERT_EQ(p[i], 0) << bytes << " at " << i;
    EXPECT_EQ(p[bytes - 1], 0);
    std::memset(p, 0xA5, bytes);
    EXPECT_EQ(p[bytes - 1], 0xA5);
    PlatformFreeBigBlock(p, bytes);
  }
  EXPECT_EQ(PlatformAllocateBigBlock(0), nullptr);
  EXPECT_EQ(PlatformAllocateBigBlock(SIZE_MAX - 100), nullptr);
}

// Huge pages are left alone where a balloon device reports free pages.
TEST(PlatformSystem, FreePageReportingReadFromTheBalloonsFeatureBits) {
  const std::string dir = pixoran::testing::MakeTempDir("balloon");
  struct Case {
    const char* features;  // nullptr: no device
    bool reporting;
  } cases[] = {
      {nullptr, false},
      {"0110010100000000", true},
      {"0110100100000000", false},
      {"01100", false},
  };
  int n = 0;
  for (const Case& c : cases) {
    const std::string driver = dir + "/driver" + std::to_string(n++);
    std::filesystem::create_directories(driver);
    if (c.features) {
      std::filesystem::create_directories(driver + "/virtio3");
      std::ofstream(driver + "/virtio3/features") << c.features << "\n";
    }
    EXPECT_EQ(FreePageReportingInUse(driver), c.reporting) << (c.features ? c.features : "no device");
  }
  EXPECT_FALSE(FreePageReportingInUse(dir + "/missing"));
}

// ------------------------------------------------------------ platform bitmap

TEST(PlatformBitmap, FormatsRowsAndPalettes) {
  TBitmap b;
  EXPECT_TRUE(b.Empty());
  EXPECT_EQ(b.PixelFormat(), pf24bit);
  EXPECT_EQ(b.ScanLine(0), nullptr);

  b.SetPixelFormat(pf1bit);
  b.SetSize(10, 3);
  EXPECT_EQ(b.Image().format(), QImage::Format_Mono);
  EXPECT_TRUE(b.Monochrome());
  EXPECT_EQ(b.PaletteSize(), 2);
  EXPECT_EQ(b.GetPaletteEntry(1).Red, 255);
  EXPECT_EQ(b.BytesPerLine(), 4);
  EXPECT_EQ(b.ScanLine(1) - b.ScanLine(0), 4);  // top-down rows
  EXPECT_EQ(b.ScanLine(3), nullptr);
  EXPECT_EQ(b.ScanLine(-1), nullptr);
  b.ScanLine(2)[1] = 0x40;  // pixel 9, most significant bit first
  EXPECT_EQ(b.Image().pixel(9, 2), qRgb(255, 255, 255));
  EXPECT_EQ(b.Image().pixel(8, 2), qRgb(0, 0, 0));
  b.SetPaletteEntries(0, {TPaletteEntry{255, 255, 255, 0}});
  EXPECT_FALSE(b.Monochrome());

  TBitmap p;
  p.SetPixelFormat(pf4bit);  // held as 8-bit
  EXPECT_EQ(p.PixelFormat(), pf8bit);
  p.SetSize(5, 2);
  EXPECT_EQ(p.Image().format(), QImage::Format_Indexed8);
  EXPECT_EQ(p.PaletteSize(), 256);
  EXPECT_EQ(p.GetPaletteEntry(77).Green, 77);  // a gray ramp to start with
  p.SetPaletteEntries(254, {TPaletteEntry{1, 2, 3, 0}, TPaletteEntry{4, 5, 6, 0}, TPaletteEntry{7, 8, 9, 0}});
  EXPECT_EQ(p.GetPaletteEntry(255).Blue, 6);  // the third entry fell off the end
  EXPECT_EQ(p.GetPaletteEntry(300).Red, 0);
  EXPECT_EQ(p.BytesPerLine(), 8);

  TBitmap c;
  c.SetPixelFormat(pfDevice);
  EXPECT_EQ(c.PixelFormat(), pf24bit);
  c.SetSize(5, 1);
  EXPECT_EQ(c.Image().format(), QImage::Format_BGR888);
  EXPECT_EQ(c.BytesPerLine(), 16);
  uint8_t* row = c.ScanLine(0);
  row[3] = 10, row[4] = 20, row[5] = 30;  // blue, green, red
  EXPECT_EQ(c.Image().pixel(1, 0), qRgb(30, 20, 10));
  EXPECT_EQ(c.Canvas().Pixel(1, 0), RGBColor(30, 20, 10));
}

TEST(PlatformBitmap, SetSizeKeepsContentAndZeroFills) {
  TBitmap b;
  b.SetSize(4, 3);
  for (int y = 0; y < 3; ++y)
    for (int i = 0; i < 12; ++i) b.ScanLine(y)[i] = static_cast<uint8_t>(1 + i + 16 * y);
  b.SetSize(6, 5);
  for (int y = 0; y < 5; ++y)
    for (int i = 0; i < 18; ++i) ASSERT_EQ(b.ScanLine(y)[i], (y < 3 && i < 12) ? 1 + i + 16 * y : 0) << i << "," << y;
  b.SetSize(2, 2);
  EXPECT_EQ(b.ScanLine(1)[5], 1 + 5 + 16);
  EXPECT_EQ(b.ScanLine(1)[6], 0);  // past the new width: cleared
  b.SetSize(3, 2);
  EXPECT_EQ(b.ScanLine(1)[6], 0);

  TBitmap m;
  m.SetPixelFormat(pf1bit);
  m.SetSize(12, 1);
  m.ScanLine(0)[0] = 0xFF, m.ScanLine(0)[1] = 0xF0;
  m.SetSize(5, 1);
  EXPECT_EQ(m.ScanLine(0)[0], 0xF8);  // bits past pixel 4 cleared
  EXPECT_EQ(m.ScanLine(0)[1], 0);

  TBitmap p;
  p.SetPixelFormat(pf8bit);
  p.SetSize(2, 2);
  p.SetPaletteEntries(3, {TPaletteEntry{9, 8, 7, 0}});
  p.SetSize(4, 4);
  EXPECT_EQ(p.GetPaletteEntry(3).Red, 9);  // the palette stays
  p.SetSize(0, 4);
  EXPECT_TRUE(p.Empty());
}

TEST(PlatformBitmap, ConversionCopyAndCanvas) {
  TBitmap b;
  b.SetSize(3, 1);
  uint8_t* row = b.ScanLine(0);
  for (int i = 0; i < 9; ++i) row[i] = 77;
  b.SetPixelFormat(pf8bit);  // gray pixels land on the gray ramp
  EXPECT_EQ(b.ScanLine(0)[2], 77);

  TBitmap copy;
  copy.Assign(b);
  EXPECT_NE(copy.ScanLine(0), b.ScanLine(0));  // a deep copy
  copy.ScanLine(0)[0] = 1;
  EXPECT_EQ(b.ScanLine(0)[0], 77);
  EXPECT_EQ(copy.PixelFormat(), pf8bit);

  // Painting keeps the rows where they are, also on an indexed bitmap.
  const uint8_t* before = b.ScanLine(0);
  b.Canvas().Brush.Color = RGBColor(200, 200, 200);
  b.Canvas().FillRect(Rect(1, 0, 2, 1));
  EXPECT_EQ(b.ScanLine(0), before);
  EXPECT_EQ(b.ScanLine(0)[1], 200);
  EXPECT_EQ(b.ScanLine(0)[0], 77);
  b.Canvas().SetPixel(2, 0, RGBColor(10, 10, 10));
  EXPECT_EQ(b.ScanLine(0)[2], 10);

  TBitmap q;
  QImage img(2, 2, QImage::Format_RGB32);
  img.fill(qRgb(5, 6, 7));
  q.FromQImage(img);
  EXPECT_EQ(q.PixelFormat(), pf24bit);
  EXPECT_EQ(q.ScanLine(1)[3], 7);  // blue first
  q.FreeImage();
  EXPECT_TRUE(q.Empty());
}
