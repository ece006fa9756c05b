// JPEG through the I/O component: EXIF and IPTC written into the file and
// read back, the resolution taken from an EXIF block, damaged metadata that
// must not cost the image, the "JFIF" stream header, and files that must
// never carry an EXIF block or thumbnail the record no longer stands for.
// The segments of written files are checked with a bare libjpeg reader.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern "C" {
#include <jpeglib.h>
}

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_settings.h"
#include "io/pixoranio.h"
#include "io/pxexif.h"
#include "io/pxmetadata.h"
#include "core/pxprogress.h"
#include "io/formats/tiff/tiffilt.h"
#include "platform/streams.h"
#include "external_tools.h"
#include "exiftools.h"
#include "testsupport.h"

namespace pixoran {
namespace {

using Bytes = std::vector<uint8_t>;

struct Segment {
  int marker;
  Bytes data;
};

// ------------------------------------------------------------------ references

// The APPn and COM segments of a JPEG file as libjpeg itself sees them.
std::vector<Segment> Segments(const uint8_t* file, size_t size) {
  jpeg_decompress_struct ci;
  jpeg_error_mgr err;
  ci.err = jpeg_std_error(&err);
  jpeg_create_decompress(&ci);
  jpeg_mem_src(&ci, file, size);
  jpeg_save_markers(&ci, JPEG_COM, 0xFFFF);
  for (int m = 0; m < 16; ++m) jpeg_save_markers(&ci, JPEG_APP0 + m, 0xFFFF);
  jpeg_read_header(&ci, TRUE);
  std::vector<Segment> out;
  for (jpeg_saved_marker_ptr m = ci.marker_list; m; m = m->next)
    out.push_back(Segment{m->marker, Bytes(m->data, m->data + m->data_length)});
  jpeg_destroy_decompress(&ci);
  return out;
}

std::vector<Segment> Segments(TMemoryStream& ms, int64_t from = 0) {
  return Segments(ms.Memory() + from, static_cast<size_t>(ms.Size() - from));
}

bool StartsWith(const Bytes& b, const std::string& s) {
  return b.size() >= s.size() && std::memcmp(b.data(), s.data(), s.size()) == 0;
}

int CountExif(const std::vector<Segment>& segs) {
  return static_cast<int>(std::count_if(segs.begin(), segs.end(), [](const Segment& s) {
    return s.marker == JPEG_APP0 + 1 && StartsWith(s.data, std::string("Exif\0", 5));
  }));
}

TBGR Pixel(int x, int y) {
  return TBGR{static_cast<uint8_t>(40 + x * 3), static_cast<uint8_t>(60 + y * 4), static_cast<uint8_t>(200 - x - y)};
}

// A JPEG made by a bare libjpeg loop carrying the given segments, as a
// camera or another program would write it; no JFIF segment unless asked.
Bytes ForeignJpeg(const std::vector<Segment>& segments, bool jfif = false, int density = 0) {
  const int w = 48, h = 32;
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
  jpeg_set_quality(&ci, 95, TRUE);
  ci.write_JFIF_header = jfif ? TRUE : FALSE;
  if (density > 0) {
    ci.density_unit = 1;
    ci.X_density = ci.Y_density = static_cast<UINT16>(density);
  }
  jpeg_start_compress(&ci, TRUE);
  for (const auto& s : segments) jpeg_write_marker(&ci, s.marker, s.data.data(), static_cast<unsigned>(s.data.size()));
  Bytes row(w * 3);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const TBGR p = Pixel(x, y);
      row[x * 3] = p.r, row[x * 3 + 1] = p.g, row[x * 3 + 2] = p.b;
    }
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&ci, &r, 1);
  }
  jpeg_finish_compress(&ci);
  Bytes file(out, out + size);
  jpeg_destroy_compress(&ci);
  std::free(out);
  return file;
}

void FillImage(TPXBitmap& b, int w, int h) {
  ASSERT_TRUE(b.Allocate(w, h, pxBGR24));
  for (int y = 0; y < h; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int x = 0; x < w; ++x) {
      const TBGR p = Pixel(x, y);
      row[x * 3] = p.b, row[x * 3 + 1] = p.g, row[x * 3 + 2] = p.r;
    }
  }
}

// The decoded image is the pattern, within JPEG's loss.
void ExpectImage(TPXBitmap& b, int w, int h) {
  ASSERT_EQ(b.Width(), w);
  ASSERT_EQ(b.Height(), h);
  ASSERT_EQ(b.PixelFormat(), pxBGR24);
  for (int y = 0; y < h; y += 5)
    for (int x = 0; x < w; x += 7) {
      const TBGR p = Pixel(x, y);
      const uint8_t* q = b.Scanline(y) + x * 3;
      ASSERT_NEAR(q[0], p.b, 10) << x << "," << y;
      ASSERT_NEAR(q[1], p.g, 10) << x << "," << y;
      ASSERT_NEAR(q[2], p.r, 10) << x << "," << y;
    }
}

std::unique_ptr<TPXBitmap> Thumbnail(int w, int h, uint8_t tone) {
  auto t = std::make_unique<TPXBitmap>();
  t->Allocate(w, h, pxBGR24);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = t->Scanline(y);
    for (int x = 0; x < w; ++x) row[x * 3] = tone, row[x * 3 + 1] = static_cast<uint8_t>(x * 6), row[x * 3 + 2] = 90;
  }
  return t;
}

// An EXIF segment built from a record set up by the caller, as a camera
// writes it: with the record's thumbnail, a second directory holds it.
Segment ExifSegment(const std::function<void(TIOParamsVals&)>& fill) {
  TIOParamsVals p;
  fill(p);
  return Segment{JPEG_APP0 + 1, pixoran::testing::CameraEXIFSegment(p)};
}

Segment IptcSegment(const std::function<void(TPXIPTCInfoList&)>& fill) {
  TPXIPTCInfoList list;
  fill(list);
  Bytes b;
  list.SaveToBuffer(b, true);
  return Segment{JPEG_APP0 + 13, b};
}

void LoadBytes(TPixoranIO& io, const Bytes& file) {
  io.LoadFromBuffer(file.data(), static_cast<int64_t>(file.size()), 0);
}

// ------------------------------------------------------------------ EXIF

TEST(PixoranIOJpegExif, WrittenAndReadBackThroughFilesAndStreams) {
  const std::string dir = testing::MakeTempDir("pxjpeg");
  TPixoranIO io;
  FillImage(*io.PXBitmap(), 64, 48);
  TIOParamsVals& p = io.Params();
  p.SetDpiX(200);
  p.SetDpiY(100);
  p.HasEXIFData = 1;
  p.EXIFMake = "Pixoran";
  p.EXIFModel = "Test rig";
  p.EXIFResolutionUnit = 2;
  p.EXIFDateTimeOriginal = "2022:02:02 22:22:22";
  p.EXIFExposureTime = 1.0 / 200;
  p.EXIFISOSpeedRatings = {100, 0};
  p.EXIFThumbnail = Thumbnail(32, 24, 180);
  p.JPEGMarkers->AddMarker(0xFE, "a comment", 9);

  TMemoryStream ms;
  io.SaveToStream(ms, ioJPEG);
  ASSERT_FALSE(io.Aborting());
  // One EXIF segment, first of ours, right after the codec's JFIF one.
  const auto segs = Segments(ms);
  ASSERT_GE(segs.size(), 3u);
  EXPECT_EQ(segs[0].marker, JPEG_APP0);
  EXPECT_EQ(segs[1].marker, JPEG_APP0 + 1);
  EXPECT_TRUE(StartsWith(segs[1].data, std::string("Exif\0\0II*\0", 10)));
  EXPECT_EQ(segs[2].marker, JPEG_COM);
  EXPECT_EQ(CountExif(segs), 1);

  const std::string path = dir + "/exif.jpg";
  io.SaveToFile(path);
  ASSERT_FALSE(io.Aborting());
  for (bool fromFile : {false, true}) {
    SCOPED_TRACE(fromFile);
    TPixoranIO other;
    if (fromFile) {
      other.LoadFromFile(path);
    } else {
      ms.SetPosition(0);
      other.LoadFromStream(ms);
    }
    ASSERT_FALSE(other.Aborting());
    const TIOParamsVals& b = other.Params();
    EXPECT_EQ(b.FileType, ioJPEG);
    ExpectImage(*other.PXBitmap(), 64, 48);
    EXPECT_EQ(b.HasEXIFData, 1);
    EXPECT_EQ(b.EXIFMake, "Pixoran");
    EXPECT_EQ(b.EXIFModel, "Test rig");
    EXPECT_EQ(b.EXIFDateTimeOriginal, "2022:02:02 22:22:22");
    EXPECT_DOUBLE_EQ(b.EXIFExposureTime, 1.0 / 200);
    EXPECT_EQ(b.EXIFISOSpeedRatings[0], 100);
    EXPECT_EQ(b.EXIFResolutionUnit, 2);
    EXPECT_EQ(b.DpiX, 200);
    EXPECT_EQ(b.DpiY, 100);
    // The record's thumbnail is not written: it may show the image before an edit.
    ASSERT_NE(b.EXIFThumbnail, nullptr);
    EXPECT_EQ(b.EXIFThumbnail->Width(), 0);
    // The segment comes along for the next save.
    ASSERT_GE(b.JPEGMarkers->Count(), 1);
    EXPECT_EQ(b.JPEGMarkers->MarkerType(0), 0xE1);
    EXPECT_TRUE(IsEXIFSegment(b.JPEGMarkers->MarkerData(0), b.JPEGMarkers->MarkerLength(0)));
  }
}

TEST(PixoranIOJpegExif, ResolutionFromTheBlock) {
  struct Case {
    const char* name;
    bool jfif;
    int density;
    uint32_t xNum, xDen;  // 0/0: no resolution tags
    int unit;
    int dpi;
  };
  const Case cases[] = {
      // No JFIF density: the block's resolution, per inch.
      {"camera, inches", false, 0, 72, 1, 2, 72},
      {"camera, centimetres", false, 0, 11811, 100, 3, 300},
      // 1 x 1 after the block: the unit rule turns centimetres into inches.
      {"one per centimetre", false, 0, 1, 1, 3, 2},
      {"one per inch", false, 0, 1, 1, 2, 1},
      // A block that gives 0 gives no resolution.
      {"zero", false, 0, 0, 1, 2, 300},
      // A block without resolution tags keeps the image's.
      {"JFIF only", true, 96, 0, 0, 0, 96},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    // The block is built by hand, so the record's setters play no part in it.
    Bytes tiff = {'I', 'I', 42, 0, 8, 0, 0, 0};
    const bool withRes = c.xDen != 0;
    const uint16_t entries = withRes ? 3 : 1;
    auto put16 = [&](uint16_t v) { tiff.push_back(v & 0xFF), tiff.push_back(v >> 8); };
    auto put32 = [&](uint32_t v) { put16(v & 0xFFFF), put16(v >> 16); };
    put16(entries);
    const uint32_t data = 8 + 2 + entries * 12 + 4;
    if (withRes) {
      put16(0x011A), put16(5), put32(1), put32(data);
      put16(0x011B), put16(5), put32(1), put32(data);
    }
    put16(0x0128), put16(3), put32(1), put32(static_cast<uint32_t>(c.unit));
    put32(0);
    if (withRes) put32(c.xNum), put32(c.xDen);
    Bytes seg = {'E', 'x', 'i', 'f', 0, 0};
    seg.insert(seg.end(), tiff.begin(), tiff.end());

    TPixoranIO io;
    LoadBytes(io, ForeignJpeg({Segment{JPEG_APP0 + 1, seg}}, c.jfif, c.density));
    ASSERT_FALSE(io.Aborting());
    EXPECT_EQ(io.Params().HasEXIFData, 1);
    EXPECT_EQ(io.Params().EXIFResolutionUnit, c.unit);
    EXPECT_EQ(io.Params().DpiX, c.dpi);
    EXPECT_EQ(io.Params().DpiY, c.dpi);
  }
}

// ------------------------------------------------------------------ IPTC

TEST(PixoranIOJpegIptc, RoundTripAndWhenTheSegmentIsWrittenAgain) {
  TPixoranIO io;
  FillImage(*io.PXBitmap(), 40, 30);
  io.Params().IPTCInfo->AddData(2, 5, 6, "Object");
  io.Params().IPTCInfo->AddData(2, 25, 3, "sea");
  io.Params().IPTCInfo->AddData(2, 25, 4, "boat");
  Bytes expected;
  io.Params().IPTCInfo->SaveToBuffer(expected, true);

  TMemoryStream ms;
  io.SaveToStream(ms, ioJPEG);
  ASSERT_FALSE(io.Aborting());
  auto segs = Segments(ms);
  auto app13 = std::find_if(segs.begin(), segs.end(), [](const Segment& s) { return s.marker == JPEG_APP0 + 13; });
  ASSERT_NE(app13, segs.end());
  EXPECT_EQ(app13->data, expected);

  TPixoranIO other;
  ms.SetPosition(0);
  other.LoadFromStream(ms);
  ASSERT_FALSE(other.Aborting());
  const TPXIPTCInfoList& back = *other.Params().IPTCInfo;
  ASSERT_EQ(back.Count(), 3);
  EXPECT_FALSE(back.UserChanged);
  EXPECT_EQ(back.DataAsString(0), "Object");
  EXPECT_EQ(back.DataAsString(1), "sea");
  EXPECT_EQ(back.DataAsString(2), "boat");
  ExpectImage(*other.PXBitmap(), 40, 30);

  // A Photoshop segment from another program, with resources we do not
  // know: unchanged, it is written back byte for byte.
  Bytes foreign = {'P', 'h', 'o', 't', 'o', 's', 'h', 'o', 'p', ' ', '3', '.', '0', 0};
  const Bytes resolution = {'8', 'B', 'I', 'M', 0x03, 0xED, 0, 0, 0, 0, 0, 4, 1, 2, 3, 4};
  foreign.insert(foreign.end(), resolution.begin(), resolution.end());
  const Bytes iptcRes = {'8', 'B', 'I', 'M', 0x04, 0x04, 0, 0, 0, 0, 0, 8, 0x1C, 2, 5, 0, 3, 'O', 'l', 'd'};
  foreign.insert(foreign.end(), iptcRes.begin(), iptcRes.end());
  Bytes digest = {'8', 'B', 'I', 'M', 0x04, 0x25, 0, 0, 0, 0, 0, 16};
  digest.resize(digest.size() + 16, 0xAB);
  foreign.insert(foreign.end(), digest.begin(), digest.end());
  LoadBytes(other, ForeignJpeg({Segment{JPEG_APP0 + 13, foreign}}));
  ASSERT_FALSE(other.Aborting());
  ASSERT_EQ(other.Params().IPTCInfo->Count(), 1);
  EXPECT_EQ(other.Params().IPTCInfo->DataAsString(0), "Old");
  TMemoryStream again;
  other.SaveToStream(again, ioJPEG);
  segs = Segments(again);
  app13 = std::find_if(segs.begin(), segs.end(), [](const Segment& s) { return s.marker == JPEG_APP0 + 13; });
  ASSERT_NE(app13, segs.end());
  EXPECT_EQ(app13->data, foreign);

  // Changed, only the IPTC resource is replaced: the other resources stay,
  // the digest of the old datasets goes.
  other.Params().IPTCInfo->AddData(2, 120, 7, "Caption");
  Bytes changed;
  other.Params().IPTCInfo->SaveToBuffer(changed, true);
  Bytes expectedChanged(foreign.begin(), foreign.begin() + 14);
  expectedChanged.insert(expectedChanged.end(), resolution.begin(), resolution.end());
  expectedChanged.insert(expectedChanged.end(), changed.begin() + 14, changed.end());
  TMemoryStream third;
  other.SaveToStream(third, ioJPEG);
  segs = Segments(third);
  ASSERT_EQ(std::count_if(segs.begin(), segs.end(), [](const Segment& s) { return s.marker == JPEG_APP0 + 13; }), 1);
  app13 = std::find_if(segs.begin(), segs.end(), [](const Segment& s) { return s.marker == JPEG_APP0 + 13; });
  EXPECT_EQ(app13->data, expectedChanged);
  // Read back: the new datasets, not a byte of the other resources.
  TPixoranIO fromThird;
  LoadBytes(fromThird, Bytes(third.Memory(), third.Memory() + third.Size()));
  ASSERT_EQ(fromThird.Params().IPTCInfo->Count(), 2);
  EXPECT_EQ(fromThird.Params().IPTCInfo->DataAsString(1), "Caption");

  // Cleared, the IPTC resource is gone and the others stay.
  other.Params().IPTCInfo->Clear();
  TMemoryStream fourth;
  other.SaveToStream(fourth, ioJPEG);
  segs = Segments(fourth);
  ASSERT_EQ(std::count_if(segs.begin(), segs.end(), [](const Segment& s) { return s.marker == JPEG_APP0 + 13; }), 1);
  app13 = std::find_if(segs.begin(), segs.end(), [](const Segment& s) { return s.marker == JPEG_APP0 + 13; });
  Bytes onlyResolution(foreign.begin(), foreign.begin() + 14);
  onlyResolution.insert(onlyResolution.end(), resolution.begin(), resolution.end());
  EXPECT_EQ(app13->data, onlyResolution);

  // A segment holding nothing but IPTC goes when the list is cleared.
  TPixoranIO plain;
  FillImage(*plain.PXBitmap(), 40, 30);
  plain.Params().IPTCInfo->AddData(2, 5, 3, "One");
  TMemoryStream fifth;
  plain.SaveToStream(fifth, ioJPEG);
  plain.Params().JPEGMarkers->Clear();
  LoadBytes(plain, Bytes(fifth.Memory(), fifth.Memory() + fifth.Size()));
  plain.Params().IPTCInfo->Clear();
  TMemoryStream sixth;
  plain.SaveToStream(sixth, ioJPEG);
  segs = Segments(sixth);
  EXPECT_EQ(std::count_if(segs.begin(), segs.end(), [](const Segment& s) { return s.marker == JPEG_APP0 + 13; }), 0);
}

TEST(PixoranIOJpegIptc, TheSegmentWithTheDatasetsIsTheOneReadAndReplaced) {
  // Two Photoshop segments: resolution info first, the IPTC resource second.
  const Bytes head = {'P', 'h', 'o', 't', 'o', 's', 'h', 'o', 'p', ' ', '3', '.', '0', 0};
  Bytes first = head;
  const Bytes resolution = {'8', 'B', 'I', 'M', 0x03, 0xED, 0, 0, 0, 0, 0, 2, 0x1C, 0x1C};
  first.insert(first.end(), resolution.begin(), resolution.end());
  Bytes second = head;
  const Bytes iptcRes = {'8', 'B', 'I', 'M', 0x04, 0x04, 0, 0, 0, 0, 0, 8, 0x1C, 2, 5, 0, 3, 'O', 'l', 'd'};
  second.insert(second.end(), iptcRes.begin(), iptcRes.end());
  TPixoranIO io;
  LoadBytes(io, ForeignJpeg({Segment{JPEG_APP0 + 13, first}, Segment{JPEG_APP0 + 13, second}}));
  ASSERT_FALSE(io.Aborting());
  ASSERT_EQ(io.Params().IPTCInfo->Count(), 1);
  EXPECT_EQ(io.Params().IPTCInfo->DataAsString(0), "Old");

  io.Params().IPTCInfo->AddData(2, 5, 3, "New");
  Bytes changed;
  io.Params().IPTCInfo->SaveToBuffer(changed, true);
  TMemoryStream ms;
  io.SaveToStream(ms, ioJPEG);
  std::vector<Bytes> app13;
  for (const auto& s : Segments(ms))
    if (s.marker == JPEG_APP0 + 13) app13.push_back(s.data);
  ASSERT_EQ(app13.size(), 2u);
  EXPECT_EQ(app13[0], first);
  EXPECT_EQ(app13[1], changed);
}

TEST(PixoranIOJpegIptc, TooLargeForOneSegmentRefusesTheSave) {
  TPixoranIO io;
  FillImage(*io.PXBitmap(), 16, 16);
  const std::string big(70000, 'x');
  io.Params().IPTCInfo->AddData(2, 120, static_cast<int32_t>(big.size()), big.data());
  TMemoryStream ms;
  io.SaveToStream(ms, ioJPEG);
  EXPECT_TRUE(io.Aborting());
  EXPECT_EQ(ms.Size(), 0);                      // refused before the first byte
  EXPECT_EQ(io.Params().IPTCInfo->Count(), 1);  // the record keeps the data

  // Over an existing file: the file stays as it was.
  const std::string dir = testing::MakeTempDir("iptcrefusal");
  const std::string target = dir + "/photo.jpg";
  const Bytes original = {1, 2, 3, 4, 5};
  {
    TFileStream f(target, fmCreate);
    f.Write(original.data(), static_cast<int64_t>(original.size()));
  }
  io.SaveToFile(target);
  EXPECT_TRUE(io.Aborting());
  TFileStream back(target, fmOpenRead);
  Bytes now(static_cast<size_t>(back.Size()));
  back.Read(now.data(), back.Size());
  EXPECT_EQ(now, original);
}

// ------------------------------------------------------------------ damage

TEST(PixoranIOJpegDamage, CorruptSegmentsLoadTheImageWithoutTheirData) {
  const Segment goodExif = ExifSegment([](TIOParamsVals& p) {
    p.EXIFMake = "Camera";
    p.SetDpiX(72);
    p.SetDpiY(72);
    p.EXIFThumbnail = Thumbnail(20, 10, 50);
  });
  const Segment goodIptc = IptcSegment([](TPXIPTCInfoList& l) {
    l.AddData(2, 5, 5, "Title");
    l.AddData(2, 25, 4, "word");
  });

  std::vector<std::pair<std::string, std::vector<Segment>>> files;
  files.push_back({"no TIFF after the name", {{JPEG_APP0 + 1, Bytes{'E', 'x', 'i', 'f', 0, 0, 1, 2, 3}}}});
  files.push_back({"wrong magic", {{JPEG_APP0 + 1, Bytes{'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 43, 0, 8, 0, 0, 0}}}});
  files.push_back({"first directory past the end",
                   {{JPEG_APP0 + 1, Bytes{'E', 'x', 'i', 'f', 0, 0, 'I', 'I', 42, 0, 0xFF, 0xFF, 0, 0}}}});
  files.push_back({"name only", {{JPEG_APP0 + 1, Bytes{'E', 'x', 'i', 'f', 0}}}});
  Bytes badPs = {'P', 'h', 'o', 't', 'o', 's', 'h', 'o', 'p', ' ', '3', '.', '0', 0, '8', 'B', 'I', 'M', 4, 4, 0};
  files.push_back({"APP13 cut in its resource head", {{JPEG_APP0 + 13, badPs}}});
  files.push_back({"APP13 dataset longer than the block", {{JPEG_APP0 + 13, Bytes{0x1C, 2, 5, 0x7F, 0xFF, 'a'}}}});
  files.push_back({"empty segments", {{JPEG_APP0 + 1, Bytes{}}, {JPEG_APP0 + 13, Bytes{}}}});
  for (const auto& [name, segs] : files) {
    SCOPED_TRACE(name);
    const Bytes file = ForeignJpeg(segs);
    TPixoranIO io;
    LoadBytes(io, file);
    ASSERT_FALSE(io.Aborting());
    ExpectImage(*io.PXBitmap(), 48, 32);
    EXPECT_EQ(io.Params().HasEXIFData, 0);
    EXPECT_EQ(io.Params().IPTCInfo->Count(), 0);
    EXPECT_EQ(io.Params().DpiX, 300);

    TReadOnlyMemoryStream rs(file.data(), static_cast<int64_t>(file.size()));
    io.ParamsFromStream(rs);
    EXPECT_EQ(io.Params().FileType, ioJPEG);

    // Saved again, an APP1 segment the reader could not take stays as the
    // marker it is.
    TMemoryStream out;
    io.SaveToStream(out, ioJPEG);
    ASSERT_FALSE(io.Aborting());
    const auto written = Segments(out);
    for (const Segment& in : segs) {
      if (in.marker != JPEG_APP0 + 1) continue;
      bool kept = false;
      for (const Segment& w : written) kept = kept || (w.marker == in.marker && w.data == in.data);
      EXPECT_TRUE(kept);
    }
  }

  // Every cut of good segments: the image always loads, and what was read
  // stays inside the segment (the sanitizer run checks the reads).
  for (size_t cut = 0; cut < goodExif.data.size(); cut += 3) {
    Segment e = goodExif;
    e.data.resize(cut);
    Segment i = goodIptc;
    i.data.resize(std::min(cut, i.data.size()));
    TPixoranIO io;
    LoadBytes(io, ForeignJpeg({e, i}));
    ASSERT_FALSE(io.Aborting()) << cut;
    ASSERT_EQ(io.PXBitmap()->Width(), 48);
    ASSERT_GE(io.Params().DpiX, 1);
  }
}

// ------------------------------------------------------------------ stream header

TEST(PixoranIOJpegHeader, JFIFHeaderFramesTheDataAndTheMetadataSurvives) {
  TPixoranIO io;
  FillImage(*io.PXBitmap(), 30, 20);
  io.Params().HasEXIFData = 1;
  io.Params().EXIFModel = "framed";
  io.Params().IPTCInfo->AddData(2, 5, 3, "abc");
  io.SetStreamHeaders(true);
  TMemoryStream ms;
  ms.Write("lead", 4);  // the header goes where the stream stands
  io.SaveToStream(ms, ioJPEG);
  ASSERT_FALSE(io.Aborting());
  const int64_t length = ms.Size() - 4 - 12;
  const uint8_t* h = ms.Memory() + 4;
  EXPECT_EQ(std::memcmp(h, "JFIF\0\0\0\0", 8), 0);
  EXPECT_EQ(static_cast<int64_t>(h[8] | h[9] << 8 | h[10] << 16 | static_cast<uint32_t>(h[11]) << 24), length);
  EXPECT_EQ((Bytes{h[12], h[13], h[14]}), (Bytes{0xFF, 0xD8, 0xFF}));
  EXPECT_EQ(CountExif(Segments(ms, 16)), 1);
  ms.Write("trailer", 7);

  // Read with headers off: the header is skipped all the same, and the
  // stream is left right after the image although the codec read ahead.
  for (int route = 0; route < 3; ++route) {
    SCOPED_TRACE(route);
    TPixoranIO other;
    ms.SetPosition(4);
    if (route == 0) other.LoadFromStream(ms);
    if (route == 1) other.LoadFromStreamJPEG(ms);
    if (route == 2) other.LoadFromStreamFormat(ms, ioJPEG);
    ASSERT_FALSE(other.Aborting());
    EXPECT_EQ(ms.Position(), 4 + 12 + length);
    ExpectImage(*other.PXBitmap(), 30, 20);
    EXPECT_EQ(other.Params().EXIFModel, "framed");
    ASSERT_EQ(other.Params().IPTCInfo->Count(), 1);
    EXPECT_EQ(other.Params().IPTCInfo->DataAsString(0), "abc");
  }

  // A parameters-only read takes the metadata from the same segments and
  // leaves the working bitmap alone.
  TPixoranIO reader;
  FillImage(*reader.PXBitmap(), 5, 5);
  ms.SetPosition(4);
  reader.ParamsFromStream(ms);
  EXPECT_EQ(reader.Params().FileType, ioJPEG);
  EXPECT_EQ(reader.Params().EXIFModel, "framed");
  EXPECT_EQ(reader.Params().HasEXIFData, 1);
  EXPECT_EQ(reader.Params().IPTCInfo->Count(), 1);
  EXPECT_EQ(reader.PXBitmap()->Width(), 5);
}

// ------------------------------------------------------------------ thumbnails

TEST(PixoranIOJpegThumbnail, NoFileCarriesAnotherImagesThumbnail) {
  const Segment withThumb = ExifSegment([](TIOParamsVals& p) {
    p.EXIFMake = "A";
    p.EXIFThumbnail = Thumbnail(24, 16, 240);
  });
  const Segment withoutThumb = ExifSegment([](TIOParamsVals& p) { p.EXIFMake = "B"; });
  auto thumbnailOf = [](TMemoryStream& ms) -> std::pair<int, int> {
    for (const auto& s : Segments(ms))
      if (s.marker == JPEG_APP0 + 1 && StartsWith(s.data, std::string("Exif\0", 5))) {
        TIOParamsVals p;
        LoadEXIFFromAPP1(s.data.data(), static_cast<int64_t>(s.data.size()), p);
        return {p.EXIFThumbnail->Width(), p.EXIFThumbnail->Height()};
      }
    return {-1, -1};
  };

  // A, then B into the same component: B has no thumbnail, and neither
  // has the file saved from it.
  TPixoranIO io;
  LoadBytes(io, ForeignJpeg({withThumb}));
  ASSERT_NE(io.Params().EXIFThumbnail, nullptr);
  EXPECT_EQ(io.Params().EXIFThumbnail->Width(), 24);
  LoadBytes(io, ForeignJpeg({withoutThumb}));
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(io.Params().EXIFMake, "B");
  ASSERT_NE(io.Params().EXIFThumbnail, nullptr);
  EXPECT_EQ(io.Params().EXIFThumbnail->Width(), 0);
  TMemoryStream saved;
  io.SaveToStream(saved, ioJPEG);
  EXPECT_EQ(thumbnailOf(saved), std::make_pair(0, 0));

  // A saved again: the block is built from the record, without the
  // thumbnail, which shows the image as the camera took it.
  LoadBytes(io, ForeignJpeg({withThumb}));
  ASSERT_EQ(io.Params().EXIFThumbnail->Width(), 24);
  TMemoryStream resaved;
  io.SaveToStream(resaved, ioJPEG);
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(CountExif(Segments(resaved)), 1);
  EXPECT_EQ(thumbnailOf(resaved), std::make_pair(0, 0));

  // XMP first, then two EXIF segments: the XMP stays, one EXIF segment
  // (built from the record, which read the first) replaces both.
  const std::string xmpText = std::string("http://ns.adobe.com/xap/1.0/") + '\0' + "<x/>";
  const Segment xmp{JPEG_APP0 + 1, Bytes(xmpText.begin(), xmpText.end())};
  LoadBytes(io, ForeignJpeg({xmp, withoutThumb, withThumb}));
  ASSERT_FALSE(io.Aborting());
  EXPECT_EQ(io.Params().EXIFMake, "B");
  TMemoryStream merged;
  io.SaveToStream(merged, ioJPEG);
  const auto segs = Segments(merged);
  EXPECT_EQ(CountExif(segs), 1);
  EXPECT_EQ(thumbnailOf(merged), std::make_pair(0, 0));
  EXPECT_TRUE(std::any_of(segs.begin(), segs.end(), [&](const Segment& s) { return s.data == xmp.data; }));
}

// An XMP segment survives every save the metadata steps rewrite around it:
// EXIF changed or dropped, IPTC changed, nothing changed, and the file
// loaded and saved a second time.
TEST(PixoranIOJpegXmp, SurvivesEveryRewrite) {
  const std::string xmpText = std::string("http://ns.adobe.com/xap/1.0/") + '\0' + "<x:xmpmeta>tolvaren</x:xmpmeta>";
  const Segment xmp{JPEG_APP0 + 1, Bytes(xmpText.begin(), xmpText.end())};
  const Bytes file = ForeignJpeg({ExifSegment([](TIOParamsVals& p) { p.EXIFMake = "Cam"; }), xmp,
                                  IptcSegment([](TPXIPTCInfoList& l) { l.AddData(2, 5, 3, "Old"); })});
  struct Edit {
    const char* name;
    std::function<void(TIOParamsVals&)> apply;
    const char* make;  // what the saved file's EXIF says, nullptr: no EXIF
  } edits[] = {
      {"nothing", [](TIOParamsVals&) {}, "Cam"},
      {"exif", [](TIOParamsVals& p) { p.EXIFMake = "Other"; }, "Other"},
      {"exif fields cleared: the segment as read stays", [](TIOParamsVals& p) { p.ResetEXIF(); }, "Cam"},
      {"iptc", [](TIOParamsVals& p) { p.IPTCInfo->AddData(2, 120, 3, "New"); }, "Cam"},
      {"both",
       [](TIOParamsVals& p) {
         p.EXIFModel = "M";
         p.IPTCInfo->Clear();
       },
       "Cam"},
  };
  auto xmpCount = [&](const std::vector<Segment>& segs) {
    return std::count_if(segs.begin(), segs.end(),
                         [&](const Segment& s) { return s.marker == xmp.marker && s.data == xmp.data; });
  };
  for (const Edit& e : edits) {
    SCOPED_TRACE(e.name);
    TPixoranIO io;
    LoadBytes(io, file);
    ASSERT_FALSE(io.Aborting());
    e.apply(io.Params());
    TMemoryStream first;
    io.SaveToStream(first, ioJPEG);
    ASSERT_FALSE(io.Aborting());
    EXPECT_EQ(xmpCount(Segments(first)), 1);
    // Loaded and saved again, untouched.
    TPixoranIO again;
    LoadBytes(again, Bytes(first.Memory(), first.Memory() + first.Size()));
    ASSERT_FALSE(again.Aborting());
    EXPECT_EQ(again.Params().EXIFMake, e.make ? e.make : "");
    TMemoryStream second;
    again.SaveToStream(second, ioJPEG);
    const auto segs = Segments(second);
    EXPECT_EQ(xmpCount(segs), 1);
    EXPECT_EQ(CountExif(segs), e.make ? 1 : 0);
  }
}

// The EXIF block of a JPEG is a TIFF structure: the TIFF reader reads its
// fields, and libtiff's tiffdump lists them.
TEST(PixoranIOJpegExif, TheBlockIsATIFFForTheTIFFFilterAndLibtiff) {
  TPixoranIO io;
  FillImage(*io.PXBitmap(), 40, 30);
  TIOParamsVals& p = io.Params();
  p.HasEXIFData = 1;
  p.EXIFMake = "Pixoran";
  p.EXIFModel = "T-2";
  p.EXIFFNumber = 5.6;
  p.EXIFFlash = 16;
  p.EXIFUserComment = "harbour";
  p.EXIFImageWidth = 40;
  p.SetDpiX(72);
  p.SetDpiY(72);
  TMemoryStream ms;
  io.SaveToStream(ms, ioJPEG);
  ASSERT_FALSE(io.Aborting());
  const auto segs = Segments(ms);
  auto app1 = std::find_if(segs.begin(), segs.end(), [](const Segment& s) { return s.marker == JPEG_APP0 + 1; });
  ASSERT_NE(app1, segs.end());
  const Bytes tiff(app1->data.begin() + 6, app1->data.end());

  TReadOnlyMemoryStream block(tiff.data(), static_cast<int64_t>(tiff.size()));
  TIOParamsVals r;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  int32_t pages = 0;
  ReadTIFFStream(nullptr, block, pages, true, true, true, nullptr, true, progress, &r);
  EXPECT_EQ(pages, 1);
  EXPECT_EQ(r.HasEXIFData, 1);
  EXPECT_EQ(r.EXIFMake, "Pixoran");
  EXPECT_EQ(r.EXIFModel, "T-2");
  EXPECT_DOUBLE_EQ(r.EXIFFNumber, 5.6);
  EXPECT_EQ(r.EXIFFlash, 16);
  EXPECT_EQ(r.EXIFUserComment, "harbour");
  EXPECT_EQ(r.EXIFImageWidth, 40);
  EXPECT_EQ(r.DpiX, 72);

  if (!testing::HaveTool("tiffdump")) GTEST_SKIP() << "tiffdump";
  const std::string dir = testing::MakeTempDir("exiftiff");
  {
    TFileStream f(dir + "/exif.tif", fmCreate);
    f.Write(tiff.data(), static_cast<int64_t>(tiff.size()));
  }
  ASSERT_TRUE(testing::RunTool("tiffdump " + dir + "/exif.tif > " + dir + "/dump.txt"));
  const auto dumpBytes = testing::ReadFileBytes(dir + "/dump.txt");
  const std::string dump(dumpBytes.begin(), dumpBytes.end());
  EXPECT_NE(dump.find("Make (271) ASCII (2) 8<Pixoran\\0>"), std::string::npos) << dump;
  EXPECT_NE(dump.find("34665 (0x8769) LONG (4) 1<"), std::string::npos) << dump;
  EXPECT_EQ(dump.find("ImageWidth"), std::string::npos) << dump;  // no image tags in EXIF IFD0
}

}  // namespace
}  // namespace pixoran
