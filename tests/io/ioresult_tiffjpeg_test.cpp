// Why a JPEG or TIFF load or save failed: the I/O component's result kind
// and a text naming the format, for damaged, unread and oversized files and
// a full disk; a failed load leaves the picture as it was, a truncated file
// keeps what it holds.
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "filtertools.h"
#include "io/pixoranio.h"
#include "platform/streams.h"

namespace pixoran {
namespace {

using namespace pixoran::testing;

// A smooth 64 x 48 picture.
void Picture(TPXBitmap& b, int seed = 0) {
  ASSERT_TRUE(b.Allocate(64, 48, pxBGR24));
  for (int32_t y = 0; y < 48; ++y)
    for (int32_t x = 0; x < 64; ++x) {
      uint8_t* p = b.Scanline(y) + x * 3;
      p[0] = static_cast<uint8_t>(x * 4 + seed), p[1] = static_cast<uint8_t>(y * 5), p[2] = static_cast<uint8_t>(x + y);
    }
}

// A file of the format as the library writes it.
Bytes Saved(const char* ext, bool progressive = false) {
  TPixoranIO io;
  Picture(*io.PXBitmap());
  io.Params().JPEGProgressive = progressive ? 1 : 0;
  TMemoryStream ms;
  io.SaveToStream(ms, std::string(ext) == "jpg" ? ioJPEG : ioTIFF);
  EXPECT_FALSE(io.Aborting()) << ext;
  return ms.Bytes();
}

// A little-endian one-strip TIFF, its directory before its data: w x h grey
// bytes (bits and samples as given), the strip's count as the data's size.
Bytes HandTiff(uint32_t w, uint32_t h, uint16_t bits, uint16_t samples, const Bytes& data, uint16_t version = 42) {
  TLEBytes b;
  b.Str("II"), b.U16(version), b.U32(8);
  b.U16(8);
  auto entry = [&](uint16_t tag, uint16_t type, uint32_t value) {
    b.U16(tag), b.U16(type), b.U32(1);
    if (type == 3) b.U16(value), b.U16(0);
    else b.U32(value);
  };
  entry(256, 4, w);
  entry(257, 4, h);
  entry(258, 3, bits);
  entry(259, 3, 1);
  entry(262, 3, 1);
  entry(273, 4, 8 + 2 + 8 * 12 + 4);
  entry(277, 3, samples);
  entry(279, 4, w * h * samples * bits / 8);
  b.U32(0);
  b.Raw(data);
  return b.b;
}

// The frame header's size set to w x h; its process (marker) when given.
Bytes Reframed(Bytes j, uint32_t w, uint32_t h, int marker = -1) {
  for (size_t i = 2; i + 9 < j.size(); ++i)
    if (j[i] == 0xFF && (j[i + 1] == 0xC0 || j[i + 1] == 0xC1)) {
      if (marker >= 0) j[i + 1] = static_cast<uint8_t>(marker);
      j[i + 5] = static_cast<uint8_t>(h >> 8), j[i + 6] = static_cast<uint8_t>(h);
      j[i + 7] = static_cast<uint8_t>(w >> 8), j[i + 8] = static_cast<uint8_t>(w);
      break;
    }
  return j;
}

// Where a JPEG's first scan starts.
size_t ScanStart(const Bytes& j) {
  for (size_t i = 0; i + 1 < j.size(); ++i)
    if (j[i] == 0xFF && j[i + 1] == 0xDA) return i;
  return 0;
}

// Where a progressive JPEG's second scan starts.
size_t SecondScanStart(const Bytes& j) {
  const size_t first = ScanStart(j);
  for (size_t i = first + 2; i + 1 < j.size(); ++i)
    if (j[i] == 0xFF && j[i + 1] == 0xDA) return i;
  return 0;
}

// The middle of the first scan's coded data (between its header and the
// next marker).
size_t FirstScanMiddle(const Bytes& j) {
  const size_t data = ScanStart(j) + 2 + (j[ScanStart(j) + 2] << 8 | j[ScanStart(j) + 3]);
  size_t end = data;
  while (end + 1 < j.size() && !(j[end] == 0xFF && j[end + 1] != 0 && (j[end + 1] & 0xF8) != 0xD0)) ++end;
  return (data + end) / 2;
}

struct TLoadRow {
  const char* format;  // "JPEG" or "TIFF": the extension and the text's name
  const char* name;
  std::function<Bytes()> make;
  TPXIOResult kind;
  bool kept;  // a partial image kept: Aborting clear, the file's size
};

TEST(IOResult, JPEGAndTIFFLoadsSayWhy) {
  const std::string dir = MakeTempDir("ioresult");
  const Bytes jpeg = Saved("jpg");
  const Bytes progressive = Saved("jpg", true);
  const Bytes tiff = HandTiff(64, 48, 8, 1, Bytes(64 * 48, 0x80));
  auto cut = [](Bytes b, size_t n) {
    b.resize(n);
    return b;
  };
  const std::vector<TLoadRow> rows = {
      {"JPEG", "truncated", [&] { return cut(jpeg, FirstScanMiddle(jpeg)); }, iorCorrupt, true},
      {"JPEG", "truncated progressive", [&] { return cut(progressive, FirstScanMiddle(progressive)); }, iorCorrupt,
       true},
      // Only the first (DC) scan: the codec needs no more bits, but the
      // scans that bring the detail are missing.
      {"JPEG", "progressive cut between scans", [&] { return cut(progressive, SecondScanStart(progressive)); },
       iorCorrupt, true},
      {"JPEG", "damaged scan data",
       [&] {
         Bytes b = jpeg;
         const size_t at = FirstScanMiddle(jpeg);
         for (size_t i = 0; i < 24; ++i) b[at + i] = static_cast<uint8_t>(0xFE - i * 37);
         return b;
       },
       iorCorrupt, true},
      {"JPEG", "bad data after the marker",
       [&] {
         Bytes b = {0xFF, 0xD8, 0xFF, 0xE0};
         b.insert(b.end(), 200, 0x17);
         return b;
       },
       iorCorrupt, false},
      {"JPEG", "impossible field (width 0)", [&] { return Reframed(jpeg, 0, 48); }, iorCorrupt, false},
      {"JPEG", "huge claim", [&] { return Reframed(jpeg, 65535, 65535); }, iorTooLarge, false},
      {"JPEG", "lossless process", [&] { return Reframed(jpeg, 64, 48, 0xC3); }, iorUnsupported, false},
      {"TIFF", "truncated", [&] { return cut(tiff, tiff.size() - 64 * 20); }, iorCorrupt, true},
      {"TIFF", "bad data after the byte order", [&] { return cut(tiff, 8); }, iorCorrupt, false},
      {"TIFF", "impossible field (width 0)", [&] { return HandTiff(0, 48, 8, 1, Bytes(200, 1)); }, iorCorrupt, false},
      {"TIFF", "huge claim", [&] { return HandTiff(65535, 65535, 8, 1, Bytes(200, 1)); }, iorTooLarge, false},
      {"TIFF", "BigTIFF", [&] { return HandTiff(64, 48, 8, 1, Bytes(64 * 48, 1), 43); }, iorUnsupported, false},
      {"TIFF", "samples of 32 bits", [&] { return HandTiff(8, 8, 32, 1, Bytes(256, 1)); }, iorUnsupported, false},
  };
  for (const TLoadRow& r : rows) {
    SCOPED_TRACE(std::string(r.format) + " " + r.name);
    const std::string path = dir + "/f." + (std::string(r.format) == "JPEG" ? "jpg" : "tif");
    WriteFileBytes(path, r.make());
    TPixoranIO io;
    Picture(*io.PXBitmap(), 9);
    const TRGBImage before = FromBitmap(*io.PXBitmap());
    io.LoadFromFile(path);
    EXPECT_EQ(io.LastResult(), r.kind) << io.LastResultText();
    EXPECT_NE(io.LastResultText().find(r.format), std::string::npos) << io.LastResultText();
    EXPECT_EQ(io.Aborting(), !r.kept) << io.LastResultText();
    if (r.kept) {
      EXPECT_EQ(io.PXBitmap()->Width(), 64);
      EXPECT_EQ(io.PXBitmap()->Height(), 48);
    } else {
      EXPECT_TRUE(SameImage(before, FromBitmap(*io.PXBitmap())));
    }
  }
  // Whole files, and a JPEG file without its end-of-image marker (some
  // cameras write them): no reason recorded.
  const Bytes tiffWhole = Saved("tif");
  for (const Bytes& whole :
       {jpeg, cut(jpeg, jpeg.size() - 2), progressive, cut(progressive, progressive.size() - 2), tiffWhole}) {
    const std::string path = dir + (whole == tiffWhole ? "/whole.tif" : "/whole.jpg");
    WriteFileBytes(path, whole);
    TPixoranIO io;
    io.LoadFromFile(path);
    EXPECT_FALSE(io.Aborting());
    EXPECT_EQ(io.LastResult(), iorOk) << io.LastResultText();
  }
}

// A progressive file from another writer cut before each of its later
// scans: the codec is never short of bits (every scan it reads is whole),
// yet the image lacks the scans' detail, so each cut is noted and kept;
// the same file without only its end-of-image marker is whole.
TEST(IOResult, JPEGProgressiveCutBetweenScansIsNoted) {
  const std::string dir = MakeTempDir("ioresult-progressive");
  ASSERT_TRUE(RunTool("cd " + dir + " && ppmpat -g2 64 48 | pnmtojpeg --progressive > p.jpg"));
  const Bytes whole = ReadFileBytes(dir + "/p.jpg");
  std::vector<size_t> scans;
  for (size_t i = 0; i + 1 < whole.size(); ++i)
    if (whole[i] == 0xFF && whole[i + 1] == 0xDA) scans.push_back(i);
  ASSERT_GT(scans.size(), 2u);
  // k scans kept; all of them and no end marker last.
  for (size_t k = 1; k <= scans.size(); ++k) {
    const bool cut = k < scans.size();
    SCOPED_TRACE(k);
    Bytes b = whole;
    b.resize(cut ? scans[k] : whole.size() - 2);
    WriteFileBytes(dir + "/cut.jpg", b);
    TPixoranIO io;
    io.LoadFromFile(dir + "/cut.jpg");
    EXPECT_FALSE(io.Aborting());
    EXPECT_EQ(io.PXBitmap()->Width(), 64);
    EXPECT_EQ(io.PXBitmap()->Height(), 48);
    EXPECT_EQ(io.LastResult(), cut ? iorCorrupt : iorOk) << io.LastResultText();
    if (cut) {
      EXPECT_NE(io.LastResultText().find("after scan " + std::to_string(k)), std::string::npos) << io.LastResultText();
    }
  }
}

// A save onto a full disk: the writer's reason names the format and the
// device's message.
TEST(IOResult, JPEGAndTIFFSavesOnAFullDisk) {
  for (int32_t type : {ioJPEG, ioTIFF}) {
    SCOPED_TRACE(type);
    TPixoranIO io;
    Picture(*io.PXBitmap());
    TFileStream full("/dev/full", fmOpenWrite);
    io.SaveToStream(full, type);
    EXPECT_TRUE(io.Aborting());
    EXPECT_EQ(io.LastResult(), iorWriteFailed) << io.LastResultText();
    EXPECT_NE(io.LastResultText().find(type == ioJPEG ? "JPEG" : "TIFF"), std::string::npos) << io.LastResultText();
    EXPECT_NE(io.LastResultText().find("No space left"), std::string::npos) << io.LastResultText();
  }
}

// EXIF fields that make a block larger than one JPEG segment: the save is
// refused as too large and the file on disk stays byte for byte as it was
// (it used to be written without any EXIF block, the camera's included).
TEST(IOResult, EXIFBlockOverOneSegmentRefusesTheSave) {
  const std::string dir = MakeTempDir("ioresult-exif");
  const std::string path = dir + "/photo.jpg";
  {
    TPixoranIO io;
    Picture(*io.PXBitmap());
    io.Params().HasEXIFData = 1;
    io.Params().EXIFMake = "Camera";
    io.SaveToFile(path);
    ASSERT_FALSE(io.Aborting());
  }
  const Bytes before = ReadFileBytes(path);
  TPixoranIO io;
  io.LoadFromFile(path);
  ASSERT_FALSE(io.Aborting());
  ASSERT_EQ(io.Params().EXIFMake, "Camera");
  io.Params().EXIFUserComment = std::string(70000, 'c');
  io.SaveToFile(path);
  EXPECT_TRUE(io.Aborting());
  EXPECT_EQ(io.LastResult(), iorTooLarge) << io.LastResultText();
  EXPECT_NE(io.LastResultText().find("EXIF"), std::string::npos) << io.LastResultText();
  EXPECT_EQ(ReadFileBytes(path), before);
}

}  // namespace
}  // namespace pixoran
