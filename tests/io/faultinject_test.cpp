// Loading and saving under failing storage: each write to a file or a
// temporary file, and each allocation of the library's own storage, fails
// in turn while a picture is saved over an existing file and loaded back,
// for every format. Every step either gives what a run without failure
// gives, or reports the failure (Aborting, iorWriteFailed or iorNoMemory)
// with the existing file and the caller's picture as they were.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "../fulldisk_inject.h"
#include "exiftools.h"
#include "core/kopxutils_bitmap.h"
#include "core/pxprogress.h"
#include "filtertools.h"
#include "formats_built.h"
#include "io/pixoranio.h"
#include "io/pxmetadata.h"
#include "testsupport.h"

namespace pixoran {
namespace {

using namespace pixoran::testing;

void FillPicture(TPXBitmap& b) {
  b.Allocate(48, 32, pxBGR24);
  for (int32_t y = 0; y < 32; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < 48; ++x) {
      row[3 * x] = static_cast<uint8_t>(x * 5);
      row[3 * x + 1] = static_cast<uint8_t>(y * 7);
      row[3 * x + 2] = static_cast<uint8_t>((x / 8 + y / 8) % 2 * 200);
    }
  }
}

// Every piece of metadata the JPEG and TIFF writers carry: a comment and an
// XMP segment (JPEG markers), IPTC datasets, EXIF fields, and an ICC
// profile (TIFF's tag; in JPEG an APP2 marker).
void Dress(TIOParamsVals& p) {
  p.HasEXIFData = 1;
  p.EXIFMake = "Pixoran";
  p.EXIFModel = "Fault rig";
  p.EXIFDateTimeOriginal = "2024:05:06 07:08:09";
  p.EXIFExposureTime = 1.0 / 250;
  p.EXIFUserComment = "under every fault";
  p.IPTCInfo->AddData(2, 5, 6, "Object");
  p.IPTCInfo->AddData(2, 120, 14, "a long caption");
  std::vector<uint8_t> icc(700);
  for (size_t i = 0; i < icc.size(); ++i) icc[i] = static_cast<uint8_t>(i * 13 + 1);
  p.InputICC->LoadFromBuffer(icc.data(), static_cast<int64_t>(icc.size()));
  const std::string profile = std::string("ICC_PROFILE\0\x01\x01", 14) + std::string(icc.begin(), icc.end());
  p.JPEGMarkers->AddMarker(0xE2, profile.data(), static_cast<int32_t>(profile.size()));
  const std::string xmp = std::string("http://ns.adobe.com/xap/1.0/\0", 29) + "<x:xmpmeta>fault</x:xmpmeta>";
  p.JPEGMarkers->AddMarker(0xE1, xmp.data(), static_cast<int32_t>(xmp.size()));
  p.JPEGMarkers->AddMarker(0xFE, "a comment", 9);
}

// A camera's EXIF segment, kept as read (no EXIF fields in the record): a
// second directory holds a JPEG thumbnail, which a load decodes.
void DressAsCamera(TIOParamsVals& p) {
  TIOParamsVals camera;
  camera.EXIFMake = "Camera";
  camera.EXIFDateTimeOriginal = "2023:01:02 03:04:05";
  camera.EXIFThumbnail = std::make_unique<TPXBitmap>();
  camera.EXIFThumbnail->Allocate(24, 16, pxBGR24);
  camera.EXIFThumbnail->Fill(0x3060C0);
  const Bytes segment = CameraEXIFSegment(camera);
  p.JPEGMarkers->AddMarker(0xE1, segment.data(), static_cast<int32_t>(segment.size()));
}

// What a load gave of that metadata, short enough to read in a failure:
// the fields, then each block's size and sum.
std::string Metadata(TIOParamsVals& p) {
  const auto sum = [](const uint8_t* data, int64_t n) {
    uint32_t s = 0;
    for (int64_t i = 0; i < n; ++i) s = s * 31 + data[i];
    return std::to_string(n) + "#" + std::to_string(s);
  };
  std::string out = std::to_string(p.HasEXIFData) + "|" + p.EXIFMake + "|" + p.EXIFModel + "|" +
                    p.EXIFDateTimeOriginal + "|" + std::to_string(p.EXIFExposureTime) + "|" + p.EXIFUserComment;
  if (p.EXIFThumbnail) {
    const std::vector<uint8_t> t = BitmapContent(*p.EXIFThumbnail);
    out += "|thumbnail " + std::to_string(p.EXIFThumbnail->Width()) + "x" + std::to_string(p.EXIFThumbnail->Height()) +
           " " + sum(t.data(), static_cast<int64_t>(t.size()));
  }
  for (int32_t i = 0; i < p.IPTCInfo->Count(); ++i)
    out += "|" + std::to_string(p.IPTCInfo->RecordNumber(i)) + ":" + std::to_string(p.IPTCInfo->DataSet(i)) + "=" +
           p.IPTCInfo->DataAsString(i);
  out += "|ICC " + sum(p.InputICC->Raw(), p.InputICC->RawSize());
  for (int32_t i = 0; i < p.JPEGMarkers->Count(); ++i)
    out += "|marker " + std::to_string(p.JPEGMarkers->MarkerType(i)) + " " +
           sum(p.JPEGMarkers->MarkerData(i), p.JPEGMarkers->MarkerLength(i));
  return out;
}

enum class TFault { Write, Allocation };

struct TArmed {
  TArmed(TFault kind, long n) : kind_(kind) {
    if (kind == TFault::Write) write_ = std::make_unique<TFailNthWrite>(n);
    else PXArmAllocationFault(n);
  }
  ~TArmed() {
    if (kind_ == TFault::Allocation) PXArmAllocationFault(0);
  }
  bool Fired() const { return kind_ == TFault::Write ? write_->Failed() : PXAllocationFaultFired(); }
  TFault kind_;
  std::unique_ptr<TFailNthWrite> write_;
};

bool ReportedAsStorage(TPixoranIO& io) { return io.LastResult() == iorWriteFailed || io.LastResult() == iorNoMemory; }

// Saves over an older file with each write (allocation) failing in turn.
long SaveEveryFault(const std::string& dir, const std::string& ext, TFault kind,
                    const std::function<void(TIOParamsVals&)>& dress = nullptr) {
  const std::string path = dir + "/picture." + ext;
  const std::string older = dir + "/older." + ext;
  Bytes reference;
  {
    TPixoranIO io;
    FillPicture(*io.PXBitmap());
    if (dress) dress(io.Params());
    io.SaveToFile(path);
    EXPECT_FALSE(io.Aborting()) << io.LastResultText();
    reference = ReadFileBytes(path);
    io.PXBitmap()->Allocate(5, 4, pxBGR24);
    io.PXBitmap()->Fill(0x102030);
    io.SaveToFile(older);
  }
  const Bytes olderBytes = ReadFileBytes(older);
  for (long n = 1; n < 3000; ++n) {
    SCOPED_TRACE(::testing::Message() << "save, " << (kind == TFault::Write ? "write " : "allocation ") << n);
    std::filesystem::copy_file(older, path, std::filesystem::copy_options::overwrite_existing);
    TPixoranIO io;
    FillPicture(*io.PXBitmap());
    if (dress) dress(io.Params());
    const auto picture = BitmapContent(*io.PXBitmap());
    bool fired;
    {
      TArmed fault(kind, n);
      EXPECT_NO_THROW(io.SaveToFile(path));
      fired = fault.Fired();
    }
    EXPECT_TRUE(BitmapContent(*io.PXBitmap()) == picture) << "the save changed the caller's picture";
    EXPECT_EQ(FolderEntries(dir).size(), 2u) << "a file was left beside the target";
    if (!fired) {
      EXPECT_FALSE(io.Aborting());
      EXPECT_TRUE(ReadFileBytes(path) == reference || ext == "pdf" || ext == "ps");
      return n - 1;
    }
    if (io.Aborting()) {
      EXPECT_TRUE(ReportedAsStorage(io)) << io.LastResult() << " " << io.LastResultText();
      EXPECT_TRUE(ReadFileBytes(path) == olderBytes) << "the failed save changed the existing file";
    } else {
      EXPECT_TRUE(ReadFileBytes(path) == reference || ext == "pdf" || ext == "ps") << "a failure went unreported";
    }
    if (::testing::Test::HasFailure()) return n;
  }
  ADD_FAILURE() << "still failing";
  return 0;
}

// Loads the saved file with each write (allocation) failing in turn: the
// picture as a run without failure loads it, or a reported failure.
long LoadEveryFault(const std::string& path, TFault kind, std::vector<std::string>* told = nullptr) {
  std::vector<uint8_t> reference;
  std::string metadata;
  {
    TPixoranIO io;
    io.LoadFromFile(path);
    EXPECT_FALSE(io.Aborting()) << io.LastResultText();
    reference = BitmapContent(*io.PXBitmap());
    metadata = Metadata(io.Params());
  }
  for (long n = 1; n < 3000; ++n) {
    SCOPED_TRACE(::testing::Message() << "load, " << (kind == TFault::Write ? "write " : "allocation ") << n);
    TPixoranIO io;
    bool fired;
    {
      TArmed fault(kind, n);
      EXPECT_NO_THROW(io.LoadFromFile(path));
      fired = fault.Fired();
    }
    if (!fired) {
      EXPECT_FALSE(io.Aborting());
      EXPECT_TRUE(BitmapContent(*io.PXBitmap()) == reference);
      EXPECT_EQ(Metadata(io.Params()), metadata);
      return n - 1;
    }
    if (io.Aborting() || io.LastResult() != iorOk) {
      EXPECT_TRUE(ReportedAsStorage(io)) << io.LastResultText();
      if (told) told->push_back(io.LastResultText());
    } else {
      EXPECT_TRUE(BitmapContent(*io.PXBitmap()) == reference) << "a failure went unreported";
      EXPECT_EQ(Metadata(io.Params()), metadata) << "a failure went unreported";
    }
    if (::testing::Test::HasFailure()) return n;
  }
  ADD_FAILURE() << "still failing";
  return 0;
}

TEST(IOFaultTable, EverySaveAndLoadFailsCleanly) {
  const TempFolderScope folder(std::filesystem::is_directory("/dev/shm") ? "/dev/shm"
                                                                         : std::string(PXSettings().TempFolder));
  std::map<std::string, long> points;
  for (const char* ext : {"bmp", "png", "jpg", "gif", "tif", "pcx", "dcx", "tga", "ico", "ppm", "pgm", "pbm", "wbmp",
                          "jp2", "j2k", "ps", "pdf"}) {
    if (!testing::FormatBuilt(std::string(ext))) continue;
    for (bool inFiles : {false, true}) {
      SCOPED_TRACE(::testing::Message() << ext << (inFiles ? " in temporary files" : " in memory"));
      const ThresholdScope files(inFiles ? 0 : PXSettings().MemoryThresholdOverride);
      const std::string dir = MakeTempDir(std::string("iofault-") + ext);
      for (TFault kind : {TFault::Write, TFault::Allocation}) {
        points[std::string("save ") + ext] += SaveEveryFault(dir, ext, kind);
        const std::string e = ext;
        if (e != "ps" && e != "pdf" && (kind == TFault::Allocation || inFiles))
          points[std::string("load ") + ext] += LoadEveryFault(dir + "/picture." + ext, kind);
        if (HasFailure()) return;
      }
    }
  }
  long total = 0;
  for (const auto& [name, n] : points) total += n;
  std::printf("load and save: %ld points over %zu format operations\n", total, points.size());
}

// The metadata writers under every fault: JPEG (markers with XMP and an ICC
// profile, IPTC, EXIF; a camera's EXIF segment with its thumbnail) and TIFF
// (IPTC, EXIF, the ICC profile) save over an older file and load back with
// their metadata. PNG writes none of them.
TEST(IOFaultTable, MetadataWritersFailCleanly) {
  const TempFolderScope folder(std::filesystem::is_directory("/dev/shm") ? "/dev/shm"
                                                                         : std::string(PXSettings().TempFolder));
  long saves = 0, loads = 0;
  const struct {
    const char* ext;
    void (*dress)(TIOParamsVals&);
  } rows[] = {{"jpg", Dress}, {"tif", Dress}, {"jpg", DressAsCamera}};
  for (const auto& [ext, dress] : rows) {
    for (bool inFiles : {false, true}) {
      SCOPED_TRACE(::testing::Message() << ext << (dress == Dress ? " with metadata" : " with a camera's segment")
                                        << (inFiles ? " in temporary files" : " in memory"));
      const ThresholdScope files(inFiles ? 0 : PXSettings().MemoryThresholdOverride);
      const std::string dir = MakeTempDir(std::string("iofault-meta-") + ext);
      for (TFault kind : {TFault::Write, TFault::Allocation}) {
        saves += SaveEveryFault(dir, ext, kind, dress);
        if (kind == TFault::Allocation || inFiles) loads += LoadEveryFault(dir + "/picture." + ext, kind);
        if (HasFailure()) return;
      }
      // The file the table compared against holds what was dressed.
      TPixoranIO back;
      back.LoadFromFile(dir + "/picture." + ext);
      TIOParamsVals& p = back.Params();
      if (dress == DressAsCamera) {
        EXPECT_EQ(p.EXIFMake, "Camera");
        ASSERT_TRUE(p.EXIFThumbnail != nullptr);
        EXPECT_EQ(p.EXIFThumbnail->Width(), 24);
        continue;
      }
      EXPECT_EQ(p.EXIFMake, "Pixoran");
      EXPECT_EQ(p.EXIFUserComment, "under every fault");
      EXPECT_GE(p.IPTCInfo->IndexOf(2, 120), 0);
      if (std::string(ext) == "jpg") {
        EXPECT_GE(p.JPEGMarkers->IndexOf(0xE2), 0);
        EXPECT_GE(p.JPEGMarkers->IndexOf(0xFE), 0);
        bool xmp = false;
        for (int32_t i = 0; i < p.JPEGMarkers->Count(); ++i)
          xmp = xmp ||
                std::string(reinterpret_cast<const char*>(p.JPEGMarkers->MarkerData(i)), p.JPEGMarkers->MarkerLength(i))
                        .find("<x:xmpmeta>fault</x:xmpmeta>") != std::string::npos;
        EXPECT_TRUE(xmp);
      } else {
        EXPECT_EQ(p.InputICC->RawSize(), 700);
      }
    }
  }
  std::printf("metadata writers: %ld save points, %ld load points\n", saves, loads);
}

// The codecs' own work buffers are allocation points: TIFF strips and tiles
// (ours, and libtiff's LZW tiles, Deflate strips and JPEG strips), JPEG
// 2000 streams (ours, and the OpenJPEG tool's), and JPEG's coefficient
// buffer. A failed one is told as no memory, never raised.
TEST(IOFaultTable, CodecWorkBuffersFailAsAllocations) {
  const TempFolderScope folder(std::filesystem::is_directory("/dev/shm") ? "/dev/shm"
                                                                         : std::string(PXSettings().TempFolder));
  const std::string dir = MakeTempDir("iofault-work");
  {
    TPixoranIO io;
    FillPicture(*io.PXBitmap());
    for (const char* ext : {"tif", "jp2", "j2k", "jpg"}) {
      if (!FormatBuilt(ext)) continue;
      io.SaveToFile(dir + "/ours." + ext);
      ASSERT_FALSE(io.Aborting()) << io.LastResultText();
    }
  }
  const std::string ours = dir + "/ours.";
  ASSERT_TRUE(RunTool("tiffcp -c lzw -t -w 16 -l 16 " + ours + "tif " + dir + "/tiles.tif"));
  ASSERT_TRUE(RunTool("tiffcp -c zip -r 4 " + ours + "tif " + dir + "/deflate.tif"));
  ASSERT_TRUE(RunTool("tiffcp -c jpeg -r 16 " + ours + "tif " + dir + "/jpeg.tif"));
  ASSERT_TRUE(RunTool("tifftopnm " + ours + "tif > " + dir + "/tool.ppm"));
  const bool j2000 = FormatBuilt(ioJP2);
  if (j2000) {
    ASSERT_TRUE(RunTool("opj_compress -i " + dir + "/tool.ppm -o " + dir + "/tool.jp2 -n 3 >/dev/null"));
    ASSERT_TRUE(RunTool("opj_compress -i " + dir + "/tool.ppm -o " + dir + "/tool.j2k -n 3 -t 16,16 >/dev/null"));
  }
  long points = 0;
  for (const char* name : {"ours.tif", "tiles.tif", "deflate.tif", "jpeg.tif", "ours.jp2", "ours.j2k", "tool.jp2",
                           "tool.j2k", "ours.jpg"}) {
    const std::string file(name);
    if (!j2000 && (file.ends_with(".jp2") || file.ends_with(".j2k"))) continue;
    std::vector<std::string> told;
    for (bool inFiles : {false, true}) {
      SCOPED_TRACE(::testing::Message() << name << (inFiles ? " in temporary files" : " in memory"));
      const ThresholdScope files(inFiles ? 0 : PXSettings().MemoryThresholdOverride);
      points += LoadEveryFault(dir + "/" + name, TFault::Allocation, &told);
      if (inFiles) points += LoadEveryFault(dir + "/" + name, TFault::Write);
      if (HasFailure()) return;
    }
    bool workBuffer = false;
    for (const std::string& t : told) workBuffer = workBuffer || t.find("work buffer") != std::string::npos;
    EXPECT_TRUE(workBuffer) << name << ": no work buffer failed";
  }
  std::printf("codec work buffers: %ld load points\n", points);
}

// Every save entry point on a full disk tells a failed write with the
// system's words, and the old file stays.
TEST(IOResult, FullDiskSavesTellAFailedWriteAndKeepTheFile) {
  const std::string dir = MakeTempDir("ioresult-fulldisk");
  const std::string png = dir + "/good.png";
  {
    TPixoranIO io;
    ASSERT_TRUE(io.PXBitmap()->Allocate(40, 30, pxBGR24));
    io.SaveToFile(png);
    ASSERT_FALSE(io.Aborting());
  }
  const Bytes before = ReadFileBytes(png);
  struct {
    const char* name;
    std::function<void(TPixoranIO&)> save;
  } rows[] = {
      {"SaveToFile", [&](TPixoranIO& io) { io.SaveToFile(png); }},
      {"SaveToFilePNG", [&](TPixoranIO& io) { io.SaveToFilePNG(png); }},
      {"SaveToFileBMP", [&](TPixoranIO& io) { io.SaveToFileBMP(png); }},
      {"SaveToFileJPEG", [&](TPixoranIO& io) { io.SaveToFileJPEG(png); }},
      {"SaveToFileTIFF", [&](TPixoranIO& io) { io.SaveToFileTIFF(png); }},
      {"SaveToSourceText", [&](TPixoranIO& io) { io.SaveToSourceText(png, ioPNG, 2); }},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    TPixoranIO io;
    ASSERT_TRUE(io.PXBitmap()->Allocate(64, 48, pxBGR24));
    bool raised = false;
    {
      TFullDiskScope full;
      try {
        row.save(io);
      } catch (const std::exception&) {
        raised = true;  // a codec library's own failure may pass, as the writers say
      }
    }
    EXPECT_TRUE(io.Aborting() || raised);
    EXPECT_EQ(io.LastResult(), iorWriteFailed) << io.LastResultText();
    EXPECT_NE(io.LastResultText().find("No space left on device"), std::string::npos) << io.LastResultText();
    EXPECT_EQ(ReadFileBytes(png), before) << "the old file changed";
  }
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  for (const std::string& n : names) EXPECT_NE(n[0], '.') << "left behind: " << n;
}

}  // namespace
}  // namespace pixoran
