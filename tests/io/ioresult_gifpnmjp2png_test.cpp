// The reason a GIF, PNM, WBMP, JPEG 2000 or PNG load or save ended: one
// row per format and fault, through the component, asserting the result
// kind, that the text names the format, and what became of the bitmap.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "filtertools.h"
#include "pngbytes.h"
#include "formats_built.h"
#include "io/pixoranio.h"
#include "io/pxformats.h"

namespace pixoran {
namespace {

using testing::Bytes;
using testing::PngChunk;
using testing::TLEBytes;
using testing::ZlibBytes;

// A small picture of every colour the formats can hold, saved by the
// component itself.
Bytes Saved(int32_t fileType) {
  if (!testing::FormatBuilt(fileType)) return {};
  TPixoranIO io;
  TPXBitmap& b = *io.PXBitmap();
  b.Allocate(40, 30, pxBGR24);
  for (int32_t y = 0; y < 30; ++y)
    for (int32_t x = 0; x < 40; ++x) {
      uint8_t* p = b.Scanline(y) + 3 * x;
      p[0] = static_cast<uint8_t>(x * 6), p[1] = static_cast<uint8_t>(y * 8), p[2] = static_cast<uint8_t>(x * y);
    }
  io.Params().BitsPerSample = 8;
  TMemoryStream out;
  io.SaveToStream(out, fileType);
  EXPECT_FALSE(io.Aborting()) << fileType;
  return out.Bytes();
}

Bytes Cut(const Bytes& b, size_t n) { return Bytes(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(n)); }

void PutBE32(Bytes& b, size_t at, uint32_t v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<uint8_t>(v >> (24 - 8 * k));
}

// The code stream's size marker (and a JP2 file's image header) at w x h,
// its tiles tw x th.
Bytes SizJ2000(Bytes j, uint32_t w, uint32_t h, uint32_t tw, uint32_t th) {
  for (size_t i = 0; i + 30 < j.size(); ++i) {
    if (j[i] == 'i' && j[i + 1] == 'h' && j[i + 2] == 'd' && j[i + 3] == 'r')
      PutBE32(j, i + 4, h), PutBE32(j, i + 8, w);
    if (j[i] == 0xFF && j[i + 1] == 0x51) {
      PutBE32(j, i + 6, w), PutBE32(j, i + 10, h), PutBE32(j, i + 22, tw), PutBE32(j, i + 26, th);
      break;
    }
  }
  return j;
}

// A PNG header of w x h at the given depth (colour type 2), some zero rows.
Bytes PngHeader(uint32_t w, uint32_t h, uint8_t depth) {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr(13, 0);
  PutBE32(ihdr, 0, w), PutBE32(ihdr, 4, h);
  ihdr[8] = depth, ihdr[9] = 2;
  PngChunk(png, "IHDR", ihdr);
  PngChunk(png, "IDAT", ZlibBytes(Bytes(1000, 0)));
  PngChunk(png, "IEND", {});
  return png;
}

// A GIF of a 4-colour screen w x h and one frame fw x fh whose data are
// given from the minimum code size on.
Bytes GifFrame(uint16_t w, uint16_t h, uint16_t fw, uint16_t fh, const Bytes& data) {
  TLEBytes b;
  b.Raw({'G', 'I', 'F', '8', '9', 'a'});
  b.U16(w), b.U16(h), b.U8(0x81), b.U8(0), b.U8(0);
  b.Raw({0, 0, 0, 255, 0, 0, 0, 255, 0, 255, 255, 255});
  b.U8(0x2C), b.U16(0), b.U16(0), b.U16(fw), b.U16(fh), b.U8(0);
  b.Raw(data);
  b.U8(0x3B);
  return b.b;
}

Bytes Wbmp(std::initializer_list<uint8_t> head, size_t dataBytes) {
  Bytes b(head);
  b.insert(b.end(), dataBytes, 0x5A);
  return b;
}

enum class TKept { Untouched, Partial, Whole };

struct TRow {
  const char* format;
  const char* fault;
  int32_t fileType;
  std::function<Bytes()> make;
  TPXIOResult kind;
  TKept kept;
  bool aborting = true;
};

TEST(IOResultGifPnmJ2000Png, EveryFaultNamesItsKindAndFormat) {
  const Bytes gif = Saved(ioGIF), ppm = Saved(ioPXM), wbmp = Saved(ioWBMP), jp2 = Saved(ioJP2), j2k = Saved(ioJ2K),
              png = Saved(ioPNG);
  const std::vector<TRow> rows = {
      // A cut GIF keeps what it holds: the load succeeds, the cut is noted.
      {"GIF", "truncated", ioGIF, [&] { return Cut(gif, gif.size() * 2 / 3); }, iorCorrupt, TKept::Whole, false},
      {"GIF", "bad data", ioGIF,
       [] {
         return GifFrame(4, 4, 4, 4, {12, 2, 0xFF, 0xFF, 0});
       },
       iorCorrupt, TKept::Untouched},
      {"GIF", "impossible field", ioGIF,
       [] {
         return GifFrame(4, 4, 0, 4, {2, 2, 0x44, 0x01, 0});
       },
       iorCorrupt, TKept::Untouched},
      {"GIF", "huge claim", ioGIF,
       [] {
         return GifFrame(65535, 65535, 65535, 65535, {2, 2, 0x44, 0x01, 0});
       },
       iorTooLarge, TKept::Untouched},
      {"PNM", "truncated", ioPXM, [&] { return Cut(ppm, ppm.size() / 2); }, iorCorrupt, TKept::Partial},
      {"PNM", "bad data", ioPXM, [] { return testing::Bytes{'P', '6', ' ', '4', ' ', '4', '\n'}; }, iorCorrupt,
       TKept::Untouched},
      {"PNM", "impossible field", ioPXM, [] { return testing::Bytes{'P', '5', ' ', '0', ' ', '4', ' ', '9', '\n'}; },
       iorCorrupt, TKept::Untouched},
      {"PNM", "huge claim", ioPXM,
       [] {
         const std::string h = "P6 2000000 2000000 255\n";
         Bytes b(h.begin(), h.end());
         b.resize(b.size() + 300, 7);
         return b;
       },
       iorTooLarge, TKept::Untouched},
      {"WBMP", "truncated", ioWBMP, [&] { return Cut(wbmp, wbmp.size() / 2); }, iorCorrupt, TKept::Partial},
      {"WBMP", "bad data", ioWBMP,
       [] {
         return Wbmp({1, 0, 8, 8}, 8);
       },
       iorCorrupt, TKept::Untouched},
      {"WBMP", "impossible field", ioWBMP,
       [] {
         return Wbmp({0, 0, 0, 8}, 8);
       },
       iorCorrupt, TKept::Untouched},
      {"WBMP", "huge claim", ioWBMP,
       [] {
         return Wbmp({0, 0, 0xC0, 0x80, 0x00, 0xC0, 0x80, 0x00}, 100);
       },
       iorTooLarge, TKept::Untouched},
      {"JPEG 2000", "JP2 truncated", ioJP2, [&] { return Cut(jp2, jp2.size() / 2); }, iorCorrupt, TKept::Untouched},
      {"JPEG 2000", "JP2 bad data", ioJP2,
       [&] {
         Bytes b = Cut(jp2, 12);
         b.resize(400, 0x33);
         return b;
       },
       iorCorrupt, TKept::Untouched},
      {"JPEG 2000", "JP2 impossible field", ioJP2, [&] { return SizJ2000(jp2, 40, 30, 0, 0); }, iorCorrupt,
       TKept::Untouched},
      {"JPEG 2000", "JP2 huge claim", ioJP2, [&] { return SizJ2000(jp2, 65535, 65535, 65535, 65535); }, iorTooLarge,
       TKept::Untouched},
      {"JPEG 2000", "J2K truncated", ioJ2K, [&] { return Cut(j2k, j2k.size() / 2); }, iorCorrupt, TKept::Untouched},
      {"JPEG 2000", "J2K bad data", ioJ2K,
       [&] {
         Bytes b = Cut(j2k, 4);
         b.resize(400, 0x33);
         return b;
       },
       iorCorrupt, TKept::Untouched},
      {"JPEG 2000", "J2K impossible field", ioJ2K, [&] { return SizJ2000(j2k, 40, 30, 0, 0); }, iorCorrupt,
       TKept::Untouched},
      {"JPEG 2000", "J2K huge claim", ioJ2K, [&] { return SizJ2000(j2k, 65535, 65535, 65535, 65535); }, iorTooLarge,
       TKept::Untouched},
      // Thousands of tiles no data could hold.
      {"JPEG 2000", "J2K tile grid", ioJ2K, [&] { return SizJ2000(j2k, 65535, 65535, 64, 64); }, iorTooLarge,
       TKept::Untouched},
      {"PNG", "truncated", ioPNG, [&] { return Cut(png, png.size() * 2 / 3); }, iorCorrupt, TKept::Partial},
      {"PNG", "bad data", ioPNG,
       [&] {
         Bytes b = Cut(png, 8);
         b.resize(200, 0x33);
         return b;
       },
       iorCorrupt, TKept::Untouched},
      {"PNG", "impossible field", ioPNG, [] { return PngHeader(40, 30, 3); }, iorCorrupt, TKept::Untouched},
      {"PNG", "huge claim", ioPNG, [] { return PngHeader(1000000, 1000000, 8); }, iorTooLarge, TKept::Untouched},
  };
  for (const TRow& row : rows) {
    if (!testing::FormatBuilt(row.fileType)) continue;
    SCOPED_TRACE(std::string(row.format) + " " + row.fault);
    const Bytes file = row.make();
    TPixoranIO io;
    TPXBitmap& b = *io.PXBitmap();
    ASSERT_TRUE(b.Allocate(3, 2, pxBGR24));
    for (int32_t y = 0; y < 2; ++y) std::memset(b.Scanline(y), 0x77, 9);
    TReadOnlyMemoryStream s(file.data(), static_cast<int64_t>(file.size()));
    io.LoadFromStreamFormat(s, row.fileType);
    EXPECT_EQ(io.Aborting(), row.aborting);
    EXPECT_EQ(io.LastResult(), row.kind) << io.LastResultText();
    EXPECT_NE(io.LastResultText().find(row.format), std::string::npos) << io.LastResultText();
    switch (row.kept) {
      case TKept::Untouched:
        ASSERT_EQ(b.Width(), 3);
        ASSERT_EQ(b.Height(), 2);
        for (int32_t y = 0; y < 2; ++y)
          for (int32_t x = 0; x < 9; ++x) ASSERT_EQ(b.Scanline(y)[x], 0x77);
        break;
      case TKept::Partial:
      case TKept::Whole:
        EXPECT_EQ(b.Width(), 40);
        EXPECT_EQ(b.Height(), 30);
        break;
    }
  }
}

// Saving to a device that is always full: the writer's own text names it.
TEST(IOResultGifPnmJ2000Png, FullDiskOnSaveNamesTheFormat) {
  const struct {
    const char* format;
    int32_t fileType;
  } writers[] = {{"GIF", ioGIF},       {"PNM", ioPXM},       {"WBMP", ioWBMP},
                 {"JPEG 2000", ioJP2}, {"JPEG 2000", ioJ2K}, {"PNG", ioPNG}};
  for (const auto& w : writers) {
    if (!testing::FormatBuilt(w.fileType)) continue;
    SCOPED_TRACE(w.fileType);
    TPixoranIO io;
    ASSERT_TRUE(io.PXBitmap()->Allocate(300, 200, pxBGR24));
    TFileStream full("/dev/full", fmOpenWrite);
    io.SaveToStream(full, w.fileType);
    EXPECT_TRUE(io.Aborting());
    EXPECT_EQ(io.LastResult(), iorWriteFailed) << io.LastResultText();
    EXPECT_NE(io.LastResultText().find(w.format), std::string::npos) << io.LastResultText();
    EXPECT_NE(io.LastResultText().find("/dev/full"), std::string::npos) << io.LastResultText();
  }
}

// A build without OpenJPEG: JPEG 2000 is neither offered nor read nor
// written, every way ends iorUnsupported naming the format, and the image
// and the file already on disk stay as they were.
TEST(IOResultGifPnmJ2000Png, JPEG2000LeftOutOfTheBuild) {
  if (FindFileFormatInfo(ioJP2)->ReadFunction) GTEST_SKIP() << "this build reads JPEG 2000";
  for (int32_t type : {ioJP2, ioJ2K}) {
    const TPXFileFormatInfo* info = FindFileFormatInfo(type);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->ReadFunction, nullptr);
    EXPECT_EQ(info->WriteFunction, nullptr);
  }
  EXPECT_FALSE(IsReadableFileName("picture.jp2"));
  const std::string dir = testing::MakeTempDir("nojp2");
  const std::string jp2 = dir + "/picture.jp2";
  // A signature box and a code stream's first markers: told apart by content.
  const Bytes file = {0,    0, 0, 12, 'j', 'P', ' ', ' ', 0x0D, 0x0A, 0x87,
                      0x0A, 0, 0, 0,  8,   'j', 'p', 'c', ' ',  0xFF, 0x4F};
  {
    TFileStream out(jp2, fmCreate);
    ASSERT_EQ(out.Write(file.data(), static_cast<int64_t>(file.size())), static_cast<int64_t>(file.size()));
  }
  const std::function<void(TPixoranIO&)> ways[] = {
      [&](TPixoranIO& io) {
        TReadOnlyMemoryStream s(file.data(), static_cast<int64_t>(file.size()));
        io.LoadFromStream(s);
      },
      [&](TPixoranIO& io) { io.LoadFromFileFormat(jp2, ioJP2); },
      [&](TPixoranIO& io) { io.SaveToFile(jp2); },
      [&](TPixoranIO& io) { io.SaveToFile(dir + "/new.j2k"); },
      [&](TPixoranIO& io) { io.SaveToFileJP2(jp2); },
  };
  for (size_t i = 0; i < std::size(ways); ++i) {
    SCOPED_TRACE(i);
    TPixoranIO io;
    TPXBitmap& b = *io.PXBitmap();
    ASSERT_TRUE(b.Allocate(3, 2, pxBGR24));
    for (int32_t y = 0; y < 2; ++y) std::memset(b.Scanline(y), 0x77, 9);
    ways[i](io);
    EXPECT_TRUE(io.Aborting());
    EXPECT_EQ(io.LastResult(), iorUnsupported) << io.LastResultText();
    EXPECT_NE(io.LastResultText().find("JPEG 2000"), std::string::npos) << io.LastResultText();
    ASSERT_EQ(b.Width(), 3);
    ASSERT_EQ(b.Height(), 2);
    for (int32_t y = 0; y < 2; ++y)
      for (int32_t x = 0; x < 9; ++x) ASSERT_EQ(b.Scanline(y)[x], 0x77);
    EXPECT_EQ(testing::ReadFileBytes(jp2), file);
    EXPECT_FALSE(std::filesystem::exists(dir + "/new.j2k"));
  }
}

}  // namespace
}  // namespace pixoran
