// Every pixel format saved through the I/O component in every format whose
// filter writes and reads, with the real codecs, and read back: writers that
// do not take a format get a converted copy, and the caller's image stays
// as it was.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "core/kopxutils_bitmap.h"
#include "io/pixoranio.h"
#include "io/pixoranio_codecs.h"
#include "io/pxformats.h"
#include "platform/streams.h"

namespace pixoran {
namespace {

constexpr int kSize = 16;

// Smooth content in blocks of 8, so that a lossy codec stays close.
void FillFormat(TPXBitmap& b, TPXPixelFormat f) {
  ASSERT_TRUE(b.Allocate(kSize, kSize, f));
  if (f == pxPal8)
    for (int i = 0; i < 256; ++i)
      b.SetPaletteEntry(i, TBGR{static_cast<uint8_t>(i), static_cast<uint8_t>(255 - i), static_cast<uint8_t>(i / 2)});
  for (int y = 0; y < kSize; ++y) {
    uint8_t* row = b.Scanline(y);
    ASSERT_NE(row, nullptr);
    const int by = y / 8;
    for (int x = 0; x < kSize; ++x) {
      const int bx = x / 8;
      const auto v = static_cast<uint8_t>(40 + bx * 90 + by * 60);
      switch (f) {
        case pxBW1:
          if ((bx + by) & 1) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
          else row[x / 8] &= static_cast<uint8_t>(~(0x80 >> (x % 8)));
          break;
        case pxPal8:
        case pxGray8: row[x] = v; break;
        case pxGray16: reinterpret_cast<uint16_t*>(row)[x] = static_cast<uint16_t>(v << 8 | 0x80); break;
        case pxBGR24: row[x * 3] = v, row[x * 3 + 1] = static_cast<uint8_t>(255 - v), row[x * 3 + 2] = 100; break;
        case px32f: reinterpret_cast<float*>(row)[x] = static_cast<float>(v) / 255.0f; break;
        case pxCMYK:
          row[x * 4] = v, row[x * 4 + 1] = 30, row[x * 4 + 2] = static_cast<uint8_t>(200 - v / 2), row[x * 4 + 3] = 20;
          break;
        default: break;
      }
    }
  }
}

std::unique_ptr<TPXBitmap> As24(TPXBitmap& b) {
  auto copy = std::make_unique<TPXBitmap>();
  copy->CopyPixelsFrom(b);
  copy->SetPixelFormat(pxBGR24);
  return copy;
}

// Mean absolute difference per channel of two 24-bit images of one size.
double MeanDifference(TPXBitmap& a, TPXBitmap& b) {
  double sum = 0;
  for (int y = 0; y < kSize; ++y) {
    const uint8_t* ra = a.Scanline(y);
    const uint8_t* rb = b.Scanline(y);
    for (int i = 0; i < kSize * 3; ++i) sum += std::abs(ra[i] - rb[i]);
  }
  return sum / (kSize * kSize * 3);
}

// The writable formats on hand and how close they read back (0: exact).
// A new writer adds its row.
struct FormatCase {
  int32_t type;
  double tolerance;
};
constexpr FormatCase kFormats[] = {{ioBMP, 0}, {ioJPEG, 6}, {ioTIFF, 0}};  // JPEG: chroma subsampling at colour edges

TEST(SaveMatrix, EveryPixelFormatInEveryWriter) {
  for (const FormatCase& fc : kFormats) {
    const TPXFormatCodec* codec = FindFormatCodec(fc.type);
    ASSERT_TRUE(codec && codec->Write && codec->Read);
    for (int f = pxBW1; f < kPXPixelFormatCount; ++f) {
      const auto format = static_cast<TPXPixelFormat>(f);
      SCOPED_TRACE(std::to_string(fc.type) + " from format " + std::to_string(f));
      TPixoranIO io;
      io.Params().JPEGQuality = 100;
      FillFormat(*io.PXBitmap(), format);
      auto before = std::make_unique<TPXBitmap>();
      before->CopyPixelsFrom(*io.PXBitmap());
      const auto expected = As24(*io.PXBitmap());

      TMemoryStream ms;
      io.SaveToStream(ms, fc.type);
      ASSERT_FALSE(io.Aborting());
      ASSERT_GT(ms.Size(), 0);
      // The caller's image is unchanged.
      ASSERT_EQ(io.PXBitmap()->PixelFormat(), format);
      for (int y = 0; y < kSize; ++y)
        ASSERT_EQ(std::memcmp(io.PXBitmap()->Scanline(y), before->Scanline(y), io.PXBitmap()->RowLen()), 0);

      TPixoranIO reader;
      ms.SetPosition(0);
      reader.LoadFromStream(ms);
      ASSERT_FALSE(reader.Aborting());
      EXPECT_EQ(reader.Params().FileType, fc.type);
      const auto got = As24(*reader.PXBitmap());
      ASSERT_EQ(got->Width(), kSize);
      ASSERT_EQ(got->Height(), kSize);
      EXPECT_LE(MeanDifference(*got, *expected), fc.tolerance);
    }
  }
}

}  // namespace
}  // namespace pixoran
