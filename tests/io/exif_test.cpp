// EXIF blocks: hand-built blocks of either byte order read into the record,
// the layout of the blocks we build, every field and the thumbnail through
// a write and a read, and damaged, cut, looping and size-bombed blocks.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <functional>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <jpeglib.h>
}

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_settings.h"
#include "io/pixoranio_params.h"
#include "io/pxexif.h"

namespace pixoran {
namespace {

using Bytes = std::vector<uint8_t>;

// ------------------------------------------------------------------ a block builder of the tests' own

// Builds a TIFF structure entry by entry in either byte order, so blocks
// from other writers (big-endian cameras, odd layouts) can be made here.
class TiffBuilder {
 public:
  explicit TiffBuilder(bool bigEndian) : big_(bigEndian) {}

  // A new directory; returns its index.
  int AddIfd() {
    ifds_.emplace_back();
    return static_cast<int>(ifds_.size()) - 1;
  }
  // A blob of bytes placed after the directories; returns its index.
  int AddBlob(Bytes b) {
    blobs_.push_back(std::move(b));
    return static_cast<int>(blobs_.size()) - 1;
  }
  void Raw(int ifd, uint16_t tag, uint16_t type, uint32_t count, Bytes value) {
    ifds_[ifd].entries.push_back(Entry{tag, type, count, std::move(value), -1, {}});
  }
  void Short(int ifd, uint16_t tag, std::vector<uint16_t> v) {
    Bytes b;
    for (uint16_t x : v) Put16(b, x);
    Raw(ifd, tag, 3, static_cast<uint32_t>(v.size()), b);
  }
  void Long(int ifd, uint16_t tag, uint32_t v) {
    Bytes b;
    Put32(b, v);
    Raw(ifd, tag, 4, 1, b);
  }
  void Rational(int ifd, uint16_t tag, std::vector<std::pair<uint32_t, uint32_t>> v, uint16_t type = 5) {
    Bytes b;
    for (auto [n, d] : v) Put32(b, n), Put32(b, d);
    Raw(ifd, tag, type, static_cast<uint32_t>(v.size()), b);
  }
  void Ascii(int ifd, uint16_t tag, const std::string& s) {
    Bytes b(s.begin(), s.end());
    b.push_back(0);
    Raw(ifd, tag, 2, static_cast<uint32_t>(b.size()), b);
  }
  void Undefined(int ifd, uint16_t tag, const Bytes& b) { Raw(ifd, tag, 7, static_cast<uint32_t>(b.size()), b); }
  // LONG entries whose value is where a directory or blob ends up.
  void PointerToIfd(int ifd, uint16_t tag, int target) {
    ifds_[ifd].entries.push_back(Entry{tag, 4, 1, {}, target, {}});
  }
  void PointerToBlob(int ifd, uint16_t tag, int blob) { PointersToBlobs(ifd, tag, {blob}); }
  void PointersToBlobs(int ifd, uint16_t tag, std::vector<int> blobs) {
    const auto n = static_cast<uint32_t>(blobs.size());
    ifds_[ifd].entries.push_back(Entry{tag, 4, n, Bytes(n * 4), -1, std::move(blobs)});
  }
  void LengthOfBlob(int ifd, uint16_t tag, int blob) { Long(ifd, tag, static_cast<uint32_t>(blobs_[blob].size())); }
  void Next(int ifd, int target) { ifds_[ifd].next = target; }
  void FirstIfdOffset(uint32_t offset) { firstOverride_ = offset; }

  // "Exif", 0, 0 and the structure.
  Bytes Segment() const {
    Bytes s = {'E', 'x', 'i', 'f', 0, 0};
    const Bytes t = Tiff();
    s.insert(s.end(), t.begin(), t.end());
    return s;
  }

  Bytes Tiff() const {
    // Layout: header, directories (each with its data), blobs.
    std::vector<uint32_t> ifdAt, blobAt;
    uint32_t at = 8;
    for (const auto& d : ifds_) {
      ifdAt.push_back(at);
      at += 2 + 12 * static_cast<uint32_t>(d.entries.size()) + 4;
      for (const auto& e : d.entries)
        if (e.value.size() > 4) at += static_cast<uint32_t>(e.value.size() + (e.value.size() & 1));
    }
    for (const auto& b : blobs_) {
      blobAt.push_back(at);
      at += static_cast<uint32_t>(b.size());
    }
    Bytes out = big_ ? Bytes{'M', 'M', 0, 42} : Bytes{'I', 'I', 42, 0};
    Put32(out, firstOverride_ ? *firstOverride_ : (ifds_.empty() ? 0 : ifdAt[0]));
    for (size_t i = 0; i < ifds_.size(); ++i) {
      const auto& d = ifds_[i];
      uint32_t dataAt = ifdAt[i] + 2 + 12 * static_cast<uint32_t>(d.entries.size()) + 4;
      Bytes data;
      Put16(out, static_cast<uint16_t>(d.entries.size()));
      for (const auto& e : d.entries) {
        Put16(out, e.tag);
        Put16(out, e.type);
        Put32(out, e.count);
        Bytes v = e.value;
        if (e.ifdRef >= 0) v.clear(), Put32(v, ifdAt[e.ifdRef]);
        if (!e.blobRefs.empty()) {
          v.clear();
          for (int b : e.blobRefs) Put32(v, blobAt[b]);
        }
        if (v.size() <= 4) {
          v.resize(4, 0);
          out.insert(out.end(), v.begin(), v.end());
        } else {
          Put32(out, dataAt + static_cast<uint32_t>(data.size()));
          data.insert(data.end(), v.begin(), v.end());
          if (data.size() & 1) data.push_back(0);
        }
      }
      Put32(out, d.next >= 0 ? ifdAt[d.next] : 0);
      out.insert(out.end(), data.begin(), data.end());
    }
    for (const auto& b : blobs_) out.insert(out.end(), b.begin(), b.end());
    return out;
  }

  void Put16(Bytes& b, uint16_t v) const {
    if (big_) b.push_back(static_cast<uint8_t>(v >> 8)), b.push_back(static_cast<uint8_t>(v));
    else b.push_back(static_cast<uint8_t>(v)), b.push_back(static_cast<uint8_t>(v >> 8));
  }
  void Put32(Bytes& b, uint32_t v) const {
    if (big_)
      for (int s = 24; s >= 0; s -= 8) b.push_back(static_cast<uint8_t>(v >> s));
    else
      for (int s = 0; s <= 24; s += 8) b.push_back(static_cast<uint8_t>(v >> s));
  }

 private:
  struct Entry {
    uint16_t tag, type;
    uint32_t count;
    Bytes value;
    int ifdRef;
    std::vector<int> blobRefs;
  };
  struct Ifd {
    std::vector<Entry> entries;
    int next = -1;
  };
  bool big_;
  std::vector<Ifd> ifds_;
  std::vector<Bytes> blobs_;
  std::optional<uint32_t> firstOverride_;
};

// A bare libjpeg encoding of an RGB image: the thumbnail of another writer.
Bytes BareJpeg(int w, int h, const std::function<void(int, int, uint8_t*)>& pixel, int quality = 95) {
  jpeg_compress_struct ci;
  jpeg_error_mgr err;
  ci.err = jpeg_std_error(&err);
  jpeg_create_compress(&ci);
  unsigned char* out = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&ci, &out, &size);
  ci.image_width = w;
  ci.image_height = h;
  ci.input_components = 3;
  ci.in_color_space = JCS_RGB;
  jpeg_set_defaults(&ci);
  jpeg_set_quality(&ci, quality, TRUE);
  ci.write_JFIF_header = FALSE;
  jpeg_start_compress(&ci, TRUE);
  Bytes row(static_cast<size_t>(w) * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) pixel(x, y, row.data() + x * 3);
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&ci, &r, 1);
  }
  jpeg_finish_compress(&ci);
  Bytes file(out, out + size);
  jpeg_destroy_compress(&ci);
  std::free(out);
  return file;
}

// Left half red, right half blue.
void RedBlue(int x, int, uint8_t* rgb, int w) {
  const bool left = x < w / 2;
  rgb[0] = left ? 230 : 20, rgb[1] = 20, rgb[2] = left ? 20 : 230;
}

// A big-endian block as a camera writes it: the first directory, an EXIF
// directory and a JPEG thumbnail directory.
Bytes CameraBlock(const Bytes& thumbnailJpeg) {
  TiffBuilder t(true);
  const int ifd0 = t.AddIfd(), exif = t.AddIfd(), ifd1 = t.AddIfd();
  t.Ascii(ifd0, 0x010F, "Tolva Optics");
  t.Ascii(ifd0, 0x0110, "TX-100");
  t.Ascii(ifd0, 0x010E, "Harbour at dusk");
  t.Short(ifd0, 0x0112, {6});
  t.Rational(ifd0, 0x011A, {{180, 1}});
  t.Rational(ifd0, 0x011B, {{360, 2}});
  t.Short(ifd0, 0x0128, {2});
  t.Ascii(ifd0, 0x0132, "2021:06:05 18:30:00");
  t.Rational(ifd0, 0x013E, {{313, 1000}, {329, 1000}});
  t.Short(ifd0, 0x0213, {2});
  t.Ascii(ifd0, 0x8298, "J. Doe");
  t.PointerToIfd(ifd0, 0x8769, exif);
  t.Next(ifd0, ifd1);
  t.Rational(exif, 0x829A, {{1, 250}});
  t.Rational(exif, 0x829D, {{28, 10}});
  t.Short(exif, 0x8827, {200, 400});
  t.Undefined(exif, 0x9000, {'0', '2', '3', '0'});
  t.Ascii(exif, 0x9003, "2021:06:05 18:29:59");
  t.Rational(exif, 0x9201, {{static_cast<uint32_t>(-7), 2}}, 10);  // SRATIONAL -3.5
  t.Rational(exif, 0x9204, {{static_cast<uint32_t>(-1), 3}}, 10);  // -1/3
  t.Short(exif, 0x9209, {0x19});
  t.Rational(exif, 0x920A, {{50, 1}});
  Bytes comment = {'A', 'S', 'C', 'I', 'I', 0, 0, 0};
  for (char c : std::string("hello world")) comment.push_back(static_cast<uint8_t>(c));
  t.Undefined(exif, 0x9286, comment);
  t.Short(exif, 0xA001, {1});
  t.Long(exif, 0xA002, 4000);
  t.Short(exif, 0xA003, {3000});
  t.Undefined(exif, 0xA300, {3});
  const int blob = t.AddBlob(thumbnailJpeg);
  t.Short(ifd1, 0x0103, {6});
  t.PointerToBlob(ifd1, 0x0201, blob);
  t.LengthOfBlob(ifd1, 0x0202, blob);
  return t.Segment();
}

bool Load(const Bytes& segment, TIOParamsVals& p) {
  return LoadEXIFFromAPP1(segment.data(), static_cast<int64_t>(segment.size()), p);
}

bool HasThumbnail(const TIOParamsVals& p) {
  return p.EXIFThumbnail && p.EXIFThumbnail->Width() > 0 && p.EXIFThumbnail->Height() > 0;
}

void FillThumb(TPXBitmap& b, int w, int h, uint32_t seed = 0) {
  ASSERT_TRUE(b.Allocate(w, h, pxBGR24));
  std::mt19937 rng(seed);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int x = 0; x < w; ++x) {
      if (seed == 0) {
        row[x * 3] = static_cast<uint8_t>(x * 8), row[x * 3 + 1] = static_cast<uint8_t>(y * 8), row[x * 3 + 2] = 128;
      } else {
        row[x * 3] = static_cast<uint8_t>(rng()), row[x * 3 + 1] = static_cast<uint8_t>(rng());
        row[x * 3 + 2] = static_cast<uint8_t>(rng());
      }
    }
  }
}

// ------------------------------------------------------------------ reading

TEST(ExifRead, BigEndianCameraBlockFillsTheFields) {
  const Bytes thumb = BareJpeg(32, 16, [](int x, int y, uint8_t* p) { RedBlue(x, y, p, 32); });
  TIOParamsVals p;
  p.SetDpiX(300);
  ASSERT_TRUE(Load(CameraBlock(thumb), p));
  EXPECT_EQ(p.HasEXIFData, 1);
  EXPECT_EQ(p.EXIFMake, "Tolva Optics");
  EXPECT_EQ(p.EXIFModel, "TX-100");
  EXPECT_EQ(p.EXIFImageDescription, "Harbour at dusk");
  EXPECT_EQ(p.EXIFOrientation, 6);
  EXPECT_EQ(p.EXIFXResolution, 180);
  EXPECT_EQ(p.EXIFYResolution, 180);
  // The resolutions reach the image's through the setters.
  EXPECT_EQ(p.DpiX, 180);
  EXPECT_EQ(p.DpiY, 180);
  EXPECT_EQ(p.EXIFResolutionUnit, 2);
  EXPECT_EQ(p.EXIFDateTime, "2021:06:05 18:30:00");
  EXPECT_DOUBLE_EQ(p.EXIFWhitePoint[0], 0.313);
  EXPECT_DOUBLE_EQ(p.EXIFWhitePoint[1], 0.329);
  EXPECT_EQ(p.EXIFYCbCrPositioning, 2);
  EXPECT_EQ(p.EXIFCopyright, "J. Doe");
  EXPECT_DOUBLE_EQ(p.EXIFExposureTime, 1.0 / 250);
  EXPECT_DOUBLE_EQ(p.EXIFFNumber, 2.8);
  EXPECT_EQ(p.EXIFISOSpeedRatings[0], 200);
  EXPECT_EQ(p.EXIFISOSpeedRatings[1], 400);
  EXPECT_EQ(p.EXIFVersion, "0230");
  EXPECT_EQ(p.EXIFDateTimeOriginal, "2021:06:05 18:29:59");
  EXPECT_DOUBLE_EQ(p.EXIFShutterSpeedValue, -3.5);
  EXPECT_DOUBLE_EQ(p.EXIFExposureBiasValue, -1.0 / 3);
  EXPECT_EQ(p.EXIFFlash, 0x19);
  EXPECT_DOUBLE_EQ(p.EXIFFocalLength, 50);
  EXPECT_EQ(p.EXIFUserCommentCode, "ASCII");
  EXPECT_EQ(p.EXIFUserComment, "hello world");
  EXPECT_EQ(p.EXIFColorSpace, 1);
  EXPECT_EQ(p.EXIFImageWidth, 4000);   // LONG
  EXPECT_EQ(p.EXIFImageHeight, 3000);  // SHORT
  EXPECT_EQ(p.EXIFSceneType, 0);
  EXPECT_EQ(p.EXIFFileSource, 3);

  // The JPEG thumbnail of the second directory, decoded.
  ASSERT_TRUE(HasThumbnail(p));
  TPXBitmap& t = *p.EXIFThumbnail;
  ASSERT_EQ(t.Width(), 32);
  ASSERT_EQ(t.Height(), 16);
  const uint8_t* row = t.Scanline(8);
  EXPECT_NEAR(row[2 * 3 + 2], 230, 12);  // red on the left (B, G, R order)
  EXPECT_NEAR(row[2 * 3 + 0], 20, 12);
  EXPECT_NEAR(row[29 * 3 + 0], 230, 12);  // blue on the right
  EXPECT_NEAR(row[29 * 3 + 2], 20, 12);
}

TEST(ExifRead, UncompressedThumbnailStrips) {
  for (bool big : {false, true}) {
    SCOPED_TRACE(big);
    // 5 x 3 RGB in two strips (2 rows, then 1).
    Bytes strip1, strip2;
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x)
        for (uint8_t v : {static_cast<uint8_t>(x * 50), static_cast<uint8_t>(y * 100), static_cast<uint8_t>(7)})
          (y < 2 ? strip1 : strip2).push_back(v);
    TiffBuilder t(big);
    const int ifd0 = t.AddIfd(), ifd1 = t.AddIfd();
    t.Ascii(ifd0, 0x010F, "Maker");
    t.Next(ifd0, ifd1);
    const int b1 = t.AddBlob(strip1), b2 = t.AddBlob(strip2);
    t.Short(ifd1, 0x0100, {5});
    t.Short(ifd1, 0x0101, {3});
    t.Short(ifd1, 0x0102, {8, 8, 8});
    t.Short(ifd1, 0x0103, {1});
    t.Short(ifd1, 0x0106, {2});
    t.PointersToBlobs(ifd1, 0x0111, {b1, b2});
    t.Short(ifd1, 0x0115, {3});
    t.Short(ifd1, 0x0116, {2});
    t.Short(ifd1, 0x0117, {static_cast<uint16_t>(strip1.size()), static_cast<uint16_t>(strip2.size())});
    const Bytes seg = t.Segment();

    TIOParamsVals p;
    ASSERT_TRUE(Load(seg, p));
    EXPECT_EQ(p.EXIFMake, "Maker");
    ASSERT_TRUE(HasThumbnail(p));
    TPXBitmap& b = *p.EXIFThumbnail;
    ASSERT_EQ(b.Width(), 5);
    ASSERT_EQ(b.Height(), 3);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 5; ++x) {
        const uint8_t* px = b.Scanline(y) + x * 3;
        EXPECT_EQ(px[2], x * 50);
        EXPECT_EQ(px[1], y * 100);
        EXPECT_EQ(px[0], 7);
      }

    // The same strips one byte short: the fields stay, and the thumbnail
    // (read by the TIFF reader) keeps every byte that is there.
    const Bytes shortSeg(seg.begin(), seg.end() - 1);
    TIOParamsVals q;
    ASSERT_TRUE(Load(shortSeg, q));
    EXPECT_EQ(q.EXIFMake, "Maker");
    ASSERT_TRUE(HasThumbnail(q));
    EXPECT_EQ(q.EXIFThumbnail->Scanline(2)[4 * 3 + 2], 200);
    EXPECT_EQ(q.EXIFThumbnail->Scanline(2)[4 * 3 + 1], 200);
  }
}

TEST(ExifRead, OtherSegmentsLeaveTheRecordUntouched) {
  TIOParamsVals p;
  p.EXIFMake = "kept";
  p.SetDpiX(123);
  const std::string xmp = std::string("http://ns.adobe.com/xap/1.0/") + '\0' + "<x:xmpmeta/>";
  EXPECT_FALSE(LoadEXIFFromAPP1(xmp.data(), static_cast<int64_t>(xmp.size()), p));
  EXPECT_FALSE(LoadEXIFFromAPP1("Exif", 4, p));  // no zero byte after the name
  EXPECT_FALSE(LoadEXIFFromAPP1("ExifX\0", 6, p));
  EXPECT_FALSE(LoadEXIFFromAPP1(nullptr, 100, p));
  // "Exif" and its zero bytes without a TIFF structure: nothing to read.
  const char noTiff[] = "Exif\0\0XX\x2A\0\x08\0\0\0";
  EXPECT_FALSE(LoadEXIFFromAPP1(noTiff, sizeof noTiff - 1, p));
  const char headerPointsIntoItself[] = "Exif\0\0II\x2A\0\x04\0\0\0\0\0\0\0";
  EXPECT_FALSE(LoadEXIFFromAPP1(headerPointsIntoItself, sizeof headerPointsIntoItself - 1, p));
  EXPECT_EQ(p.EXIFMake, "kept");
  EXPECT_EQ(p.DpiX, 123);
  EXPECT_EQ(p.HasEXIFData, 0);
}

TEST(ExifRead, EveryFieldIsReplacedAndTheOldThumbnailNeverStays) {
  // A record holding another image's EXIF data and thumbnail.
  TIOParamsVals p;
  p.EXIFModel = "other camera";
  p.EXIFFlash = 7;
  p.EXIFThumbnail = std::make_unique<TPXBitmap>();
  FillThumb(*p.EXIFThumbnail, 16, 16);
  p.SetDpiX(96);
  p.SetDpiY(72);

  TiffBuilder t(false);
  const int ifd0 = t.AddIfd();
  t.Ascii(ifd0, 0x010F, "New maker");
  TIOParamsVals& r = p;
  ASSERT_TRUE(Load(t.Segment(), r));
  EXPECT_EQ(r.EXIFMake, "New maker");
  EXPECT_EQ(r.EXIFModel, "");
  EXPECT_EQ(r.EXIFFlash, 0);
  // No resolution in the block: the image keeps its own.
  EXPECT_EQ(r.DpiX, 96);
  EXPECT_EQ(r.DpiY, 72);
  ASSERT_NE(r.EXIFThumbnail, nullptr);
  EXPECT_EQ(r.EXIFThumbnail->Width(), 0);
}

// ------------------------------------------------------------------ damage

TEST(ExifDamage, LoopsSelfPointersAndLyingEntriesStayInsideTheBlock) {
  const Bytes thumb = BareJpeg(8, 8, [](int x, int y, uint8_t* p) { RedBlue(x, y, p, 8); });
  {
    // The thumbnail directory pointing back at the first, the EXIF
    // directory at the first: each is read once.
    TiffBuilder t(false);
    const int ifd0 = t.AddIfd();
    t.Ascii(ifd0, 0x010F, "Loop");
    t.PointerToIfd(ifd0, 0x8769, ifd0);
    t.Next(ifd0, ifd0);
    TIOParamsVals p;
    ASSERT_TRUE(Load(t.Segment(), p));
    EXPECT_EQ(p.EXIFMake, "Loop");
    EXPECT_FALSE(HasThumbnail(p));
  }
  {
    // Entries whose values lie past the end, with counts whose byte size
    // overflows 32 bits, with unknown types, and a directory that claims
    // 65535 entries: the sound entries are read, the rest skipped.
    TiffBuilder t(true);
    const int ifd0 = t.AddIfd();
    t.Ascii(ifd0, 0x010F, "Sound");
    Bytes far;
    t.Put32(far, 0x7FFFFFF0);
    t.Raw(ifd0, 0x0110, 2, 100, far);               // model text far outside
    t.Raw(ifd0, 0x011A, 5, 0x40000000, far);        // 8 GiB of rationals
    t.Raw(ifd0, 0x0131, 99, 1, Bytes{1, 2, 3, 4});  // unknown type
    t.Raw(ifd0, 0x0132, 2, 0, Bytes{});             // no values
    Bytes seg = t.Segment();
    TIOParamsVals p;
    p.SetDpiX(300);
    ASSERT_TRUE(Load(seg, p));
    EXPECT_EQ(p.EXIFMake, "Sound");
    EXPECT_EQ(p.EXIFModel, "");
    EXPECT_EQ(p.DpiX, 300);
    // Claim 65535 entries where 5 stand.
    seg[6 + 8] = 0xFF;
    seg[6 + 9] = 0xFF;
    TIOParamsVals q;
    ASSERT_TRUE(Load(seg, q));
    EXPECT_EQ(q.EXIFMake, "Sound");
  }
  {
    // Thumbnail offsets and lengths beyond the block.
    TiffBuilder t(false);
    const int ifd0 = t.AddIfd(), ifd1 = t.AddIfd();
    t.Next(ifd0, ifd1);
    t.Short(ifd1, 0x0103, {6});
    t.Long(ifd1, 0x0201, 0xFFFFFF00);
    t.Long(ifd1, 0x0202, 5000);
    TIOParamsVals p;
    ASSERT_TRUE(Load(t.Segment(), p));
    EXPECT_FALSE(HasThumbnail(p));

    TiffBuilder u(false);
    const int u0 = u.AddIfd(), u1 = u.AddIfd();
    u.Next(u0, u1);
    const int blob = u.AddBlob(thumb);
    u.PointerToBlob(u1, 0x0201, blob);
    u.Long(u1, 0x0202, 0xFFFFFFF0);  // runs past the end: what is there is read
    TIOParamsVals q;
    ASSERT_TRUE(Load(u.Segment(), q));
    EXPECT_TRUE(HasThumbnail(q));
  }
}

TEST(ExifDamage, ThumbnailSizeBombsAreRefused) {
  // A JPEG that declares 30000 x 30000 pixels in a few hundred bytes.
  Bytes bomb = BareJpeg(16, 16, [](int, int, uint8_t* p) { p[0] = p[1] = p[2] = 90; });
  for (size_t i = 2; i + 8 < bomb.size(); ++i)
    if (bomb[i] == 0xFF && bomb[i + 1] == 0xC0) {  // start of frame: height, width
      bomb[i + 5] = 0x75, bomb[i + 6] = 0x30, bomb[i + 7] = 0x75, bomb[i + 8] = 0x30;
      break;
    }
  TiffBuilder t(false);
  const int ifd0 = t.AddIfd(), ifd1 = t.AddIfd();
  t.Next(ifd0, ifd1);
  const int blob = t.AddBlob(bomb);
  t.PointerToBlob(ifd1, 0x0201, blob);
  t.LengthOfBlob(ifd1, 0x0202, blob);
  TIOParamsVals p;
  ASSERT_TRUE(Load(t.Segment(), p));
  EXPECT_FALSE(HasThumbnail(p));

  // Uncompressed strips declaring 65535 x 65535.
  TiffBuilder u(false);
  const int u0 = u.AddIfd(), u1 = u.AddIfd();
  u.Next(u0, u1);
  u.Short(u1, 0x0100, {65535});
  u.Short(u1, 0x0101, {65535});
  u.Short(u1, 0x0106, {2});
  u.Short(u1, 0x0115, {3});
  u.Long(u1, 0x0111, 8);
  TIOParamsVals q;
  ASSERT_TRUE(Load(u.Segment(), q));
  EXPECT_FALSE(HasThumbnail(q));
}

TEST(ExifDamage, EveryCutAndRandomFlipsOfARealBlock) {
  const Bytes thumb = BareJpeg(24, 16, [](int x, int y, uint8_t* p) { RedBlue(x, y, p, 24); });
  const Bytes good = CameraBlock(thumb);
  for (size_t cut = 0; cut <= good.size(); ++cut) {
    // Exactly cut bytes, so the sanitizer sees any read beyond them.
    const Bytes part(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
    TIOParamsVals p;
    LoadEXIFFromAPP1(part.empty() ? nullptr : part.data(), static_cast<int64_t>(part.size()), p);
  }
  std::mt19937 rng(77);
  for (int round = 0; round < 1500; ++round) {
    Bytes bad = good;
    const int flips = 1 + static_cast<int>(rng() % 6);
    for (int f = 0; f < flips; ++f) bad[6 + rng() % (bad.size() - 6)] = static_cast<uint8_t>(rng());
    TIOParamsVals p;
    if (Load(bad, p)) {
      EXPECT_EQ(p.HasEXIFData, 1);
      ASSERT_NE(p.EXIFThumbnail, nullptr);
    }
  }
}

// ------------------------------------------------------------------ writing

// Directory entries of a little-endian structure: tag -> (type, count, value or offset).
struct OutEntry {
  uint16_t type;
  uint32_t count;
  uint32_t value;
};
std::vector<std::pair<uint16_t, OutEntry>> Directory(const Bytes& tiff, uint32_t at, uint32_t* next = nullptr) {
  auto u16 = [&](size_t o) { return static_cast<uint16_t>(tiff.at(o) | tiff.at(o + 1) << 8); };
  auto u32 = [&](size_t o) { return static_cast<uint32_t>(u16(o) | static_cast<uint32_t>(u16(o + 2)) << 16); };
  std::vector<std::pair<uint16_t, OutEntry>> out;
  const uint16_t n = u16(at);
  for (uint16_t i = 0; i < n; ++i) {
    const size_t e = at + 2 + i * 12;
    out.push_back({u16(e), OutEntry{u16(e + 2), u32(e + 4), u32(e + 8)}});
  }
  if (next) *next = u32(at + 2 + n * 12);
  return out;
}

TEST(ExifWrite, LayoutIsAnExifHeaderThenALittleEndianTIFF) {
  TIOParamsVals p;
  p.EXIFMake = "Pixoran";
  p.SetDpiX(300);
  p.SetDpiY(200);
  p.EXIFResolutionUnit = 2;
  p.EXIFOrientation = 1;
  p.EXIFExposureTime = 1.0 / 125;
  Bytes seg;
  ASSERT_TRUE(SaveEXIFToAPP1(p, seg));
  ASSERT_GE(seg.size(), 14u);
  EXPECT_EQ(Bytes(seg.begin(), seg.begin() + 10), (Bytes{'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0}));
  const Bytes tiff(seg.begin() + 6, seg.end());
  const uint32_t firstAt = tiff[4] | tiff[5] << 8 | tiff[6] << 16 | static_cast<uint32_t>(tiff[7]) << 24;
  EXPECT_EQ(firstAt % 2, 0u);

  uint32_t next = 1;
  const auto first = Directory(tiff, firstAt, &next);
  EXPECT_EQ(next, 0u);  // no thumbnail directory
  std::vector<uint16_t> tags;
  for (const auto& [tag, e] : first) tags.push_back(tag);
  EXPECT_TRUE(std::is_sorted(tags.begin(), tags.end()));
  EXPECT_EQ(tags, (std::vector<uint16_t>{0x010F, 0x0112, 0x011A, 0x011B, 0x0128, 0x8769}));
  // X resolution: one RATIONAL 300/1 out of line.
  const OutEntry& xres = first[2].second;
  EXPECT_EQ(xres.type, 5);
  EXPECT_EQ(xres.count, 1u);
  EXPECT_EQ(xres.value % 2, 0u);       // values start on word boundaries
  EXPECT_EQ(tiff.at(xres.value), 44);  // 300 = 0x12C
  EXPECT_EQ(tiff.at(xres.value + 1), 1);
  EXPECT_EQ(tiff.at(xres.value + 4), 1);

  // The EXIF directory: version 0220 (the record held none) and 1/125 as such.
  const OutEntry& pointer = first.back().second;
  EXPECT_EQ(pointer.type, 4);
  const auto exif = Directory(tiff, pointer.value);
  ASSERT_EQ(exif.size(), 2u);
  EXPECT_EQ(exif[0].first, 0x829A);
  EXPECT_EQ(tiff.at(exif[0].second.value), 1);
  EXPECT_EQ(tiff.at(exif[0].second.value + 4), 125);
  EXPECT_EQ(exif[1].first, 0x9000);
  EXPECT_EQ(exif[1].second.type, 7);
  EXPECT_EQ(exif[1].second.value, 0x30323230u);  // "0220" inline
}

TEST(ExifWrite, EveryFieldAndTheThumbnailReadBack) {
  TIOParamsVals p;
  p.EXIFImageDescription = "desc";
  p.EXIFMake = "make";
  p.EXIFModel = "model";
  p.EXIFOrientation = 8;
  p.SetDpiX(240);
  p.SetDpiY(120);
  p.EXIFResolutionUnit = 3;
  p.EXIFSoftware = "Tolvaren";
  p.EXIFDateTime = "2020:01:02 03:04:05";
  p.EXIFWhitePoint = {0.3127, 0.329};
  p.EXIFPrimaryChromaticities = {0.64, 0.33, 0.3, 0.6, 0.15, 0.06};
  p.EXIFYCbCrCoefficients = {0.299, 0.587, 0.114};
  p.EXIFYCbCrPositioning = 1;
  p.EXIFReferenceBlackWhite = {0, 255, 128, 255, 128, 255};
  p.EXIFCopyright = "(c) 2020";
  p.EXIFExposureTime = 1.0 / 60;
  p.EXIFFNumber = 5.6;
  p.EXIFExposureProgram = 3;
  p.EXIFISOSpeedRatings = {800, 0};
  p.EXIFVersion = "0221";
  p.EXIFDateTimeOriginal = "2020:01:02 03:04:04";
  p.EXIFDateTimeDigitized = "2020:01:02 03:04:03";
  p.EXIFCompressedBitsPerPixel = 4;
  p.EXIFShutterSpeedValue = 5.9;
  p.EXIFApertureValue = 4.97;
  p.EXIFBrightnessValue = -1.25;
  p.EXIFExposureBiasValue = -2.0 / 3;
  p.EXIFMaxApertureValue = 2.97;
  p.EXIFSubjectDistance = 3.5;
  p.EXIFMeteringMode = 5;
  p.EXIFLightSource = 10;
  p.EXIFFlash = 16;
  p.EXIFFocalLength = 35;
  p.EXIFSubsecTime = "12";
  p.EXIFSubsecTimeOriginal = "34";
  p.EXIFSubsecTimeDigitized = "56";
  p.EXIFFlashPixVersion = "0100";
  p.EXIFColorSpace = 1;
  p.EXIFImageWidth = 6000;
  p.EXIFImageHeight = 4000;
  p.EXIFRelatedSoundFile = "SND00001.WAV";
  p.EXIFFocalPlaneXResolution = 2000.5;
  p.EXIFFocalPlaneYResolution = 1000.25;
  p.EXIFFocalPlaneResolutionUnit = 2;
  p.EXIFExposureIndex = 100;
  p.EXIFSensingMethod = 2;
  p.EXIFFileSource = 3;
  p.EXIFSceneType = 1;
  p.EXIFUserComment = "comment text";
  p.EXIFUserCommentCode = "ASCII";
  p.EXIFThumbnail = std::make_unique<TPXBitmap>();
  FillThumb(*p.EXIFThumbnail, 40, 30);
  p.HasEXIFData = 1;

  Bytes seg;
  ASSERT_TRUE(SaveEXIFToAPP1(p, seg));
  TIOParamsVals b;
  ASSERT_TRUE(Load(seg, b));
  EXPECT_EQ(b.EXIFImageDescription, "desc");
  EXPECT_EQ(b.EXIFMake, "make");
  EXPECT_EQ(b.EXIFModel, "model");
  EXPECT_EQ(b.EXIFOrientation, 8);
  EXPECT_EQ(b.EXIFXResolution, 240);
  EXPECT_EQ(b.EXIFYResolution, 120);
  EXPECT_EQ(b.DpiX, 240);
  EXPECT_EQ(b.EXIFResolutionUnit, 3);
  EXPECT_EQ(b.EXIFSoftware, "Tolvaren");
  EXPECT_EQ(b.EXIFDateTime, "2020:01:02 03:04:05");
  for (int i = 0; i < 2; ++i) EXPECT_DOUBLE_EQ(b.EXIFWhitePoint[i], p.EXIFWhitePoint[i]);
  for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(b.EXIFPrimaryChromaticities[i], p.EXIFPrimaryChromaticities[i]);
  for (int i = 0; i < 3; ++i) EXPECT_DOUBLE_EQ(b.EXIFYCbCrCoefficients[i], p.EXIFYCbCrCoefficients[i]);
  for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(b.EXIFReferenceBlackWhite[i], p.EXIFReferenceBlackWhite[i]);
  EXPECT_EQ(b.EXIFYCbCrPositioning, 1);
  EXPECT_EQ(b.EXIFCopyright, "(c) 2020");
  EXPECT_DOUBLE_EQ(b.EXIFExposureTime, 1.0 / 60);
  EXPECT_DOUBLE_EQ(b.EXIFFNumber, 5.6);
  EXPECT_EQ(b.EXIFExposureProgram, 3);
  EXPECT_EQ(b.EXIFISOSpeedRatings[0], 800);
  EXPECT_EQ(b.EXIFISOSpeedRatings[1], 0);
  EXPECT_EQ(b.EXIFVersion, "0221");
  EXPECT_EQ(b.EXIFDateTimeOriginal, "2020:01:02 03:04:04");
  EXPECT_EQ(b.EXIFDateTimeDigitized, "2020:01:02 03:04:03");
  EXPECT_DOUBLE_EQ(b.EXIFCompressedBitsPerPixel, 4);
  EXPECT_DOUBLE_EQ(b.EXIFShutterSpeedValue, 5.9);
  EXPECT_DOUBLE_EQ(b.EXIFApertureValue, 4.97);
  EXPECT_DOUBLE_EQ(b.EXIFBrightnessValue, -1.25);
  EXPECT_DOUBLE_EQ(b.EXIFExposureBiasValue, -2.0 / 3);
  EXPECT_DOUBLE_EQ(b.EXIFMaxApertureValue, 2.97);
  EXPECT_DOUBLE_EQ(b.EXIFSubjectDistance, 3.5);
  EXPECT_EQ(b.EXIFMeteringMode, 5);
  EXPECT_EQ(b.EXIFLightSource, 10);
  EXPECT_EQ(b.EXIFFlash, 16);
  EXPECT_DOUBLE_EQ(b.EXIFFocalLength, 35);
  EXPECT_EQ(b.EXIFSubsecTime, "12");
  EXPECT_EQ(b.EXIFSubsecTimeOriginal, "34");
  EXPECT_EQ(b.EXIFSubsecTimeDigitized, "56");
  EXPECT_EQ(b.EXIFFlashPixVersion, "0100");
  EXPECT_EQ(b.EXIFColorSpace, 1);
  EXPECT_EQ(b.EXIFImageWidth, 6000);
  EXPECT_EQ(b.EXIFImageHeight, 4000);
  EXPECT_EQ(b.EXIFRelatedSoundFile, "SND00001.WAV");
  EXPECT_DOUBLE_EQ(b.EXIFFocalPlaneXResolution, 2000.5);
  EXPECT_DOUBLE_EQ(b.EXIFFocalPlaneYResolution, 1000.25);
  EXPECT_EQ(b.EXIFFocalPlaneResolutionUnit, 2);
  EXPECT_DOUBLE_EQ(b.EXIFExposureIndex, 100);
  EXPECT_EQ(b.EXIFSensingMethod, 2);
  EXPECT_EQ(b.EXIFFileSource, 3);
  EXPECT_EQ(b.EXIFSceneType, 1);
  EXPECT_EQ(b.EXIFUserComment, "comment text");
  EXPECT_EQ(b.EXIFUserCommentCode, "ASCII");

  // No thumbnail directory: the record's thumbnail was made from the image
  // as read, which may since have been edited.
  EXPECT_FALSE(HasThumbnail(b));
  const Bytes tiff(seg.begin() + 6, seg.end());
  uint32_t next = 1;
  Directory(tiff, tiff[4] | tiff[5] << 8 | tiff[6] << 16 | static_cast<uint32_t>(tiff[7]) << 24, &next);
  EXPECT_EQ(next, 0u);
}

TEST(ExifWrite, ASegmentNeverPassesItsSizeLimit) {
  TIOParamsVals p;
  p.EXIFMake = "noise";
  // A large thumbnail does not go into the block.
  p.EXIFThumbnail = std::make_unique<TPXBitmap>();
  FillThumb(*p.EXIFThumbnail, 800, 600, 6);
  Bytes seg;
  ASSERT_TRUE(SaveEXIFToAPP1(p, seg));
  EXPECT_LE(seg.size(), size_t{1024});
  TIOParamsVals c;
  ASSERT_TRUE(Load(seg, c));
  EXPECT_EQ(c.EXIFMake, "noise");
  EXPECT_FALSE(HasThumbnail(c));

  // Fields alone too large for a segment: nothing.
  p.EXIFThumbnail.reset();
  p.EXIFUserComment.assign(70000, 'u');
  EXPECT_FALSE(SaveEXIFToAPP1(p, seg));
  EXPECT_TRUE(seg.empty());
}

TEST(ExifWrite, CopyEXIFFieldsMovesTheResolutionThroughTheSetters) {
  TIOParamsVals s, t;
  s.EXIFMake = "m";
  s.EXIFXResolution = 72.9;
  s.EXIFYResolution = std::numeric_limits<double>::quiet_NaN();
  s.EXIFSceneType = 1;
  s.HasEXIFData = 1;
  s.EXIFThumbnail = std::make_unique<TPXBitmap>();
  CopyEXIFFields(s, t);
  EXPECT_EQ(t.EXIFMake, "m");
  EXPECT_EQ(t.DpiX, 72);
  EXPECT_EQ(t.EXIFXResolution, 72);
  EXPECT_EQ(t.DpiY, 0);
  EXPECT_EQ(t.EXIFSceneType, 1);
  EXPECT_EQ(t.HasEXIFData, 0);
  EXPECT_EQ(t.EXIFThumbnail, nullptr);
}

}  // namespace
}  // namespace pixoran
