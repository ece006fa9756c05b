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
#include "core/kopxutils_bitmap.h"
#include "core/pxprogress.h"
#include "filtertools.h"
#include "formats_built.h"
#include "io/pixoranio.h"
#include "testsupport.h"

namespace pixoran {
namespace {

using namespace pixoran::testing;

std::vector<uint8_t> Pixels(TPXBitmap& b) {
  std::vector<uint8_t> out{static_cast<uint8_t>(b.PixelFormat()), static_cast<uint8_t>(b.Width()),
                           static_cast<uint8_t>(b.Height())};
  TPXAccessScope readOnly(b, pxaRead);
  const int64_t n = (int64_t{b.Width()} * b.BitCount() + 7) / 8;
  for (int32_t y = 0; y < b.Height(); ++y) {
    const uint8_t* p = b.Scanline(y);
    if (p) out.insert(out.end(), p, p + n);
  }
  return out;
}

std::vector<std::string> Entries(const std::string& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir)) names.push_back(e.path().filename().string());
  return names;
}

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
long SaveEveryFault(const std::string& dir, const std::string& ext, TFault kind) {
  const std::string path = dir + "/picture." + ext;
  const std::string older = dir + "/older." + ext;
  Bytes reference;
  {
    TPixoranIO io;
    FillPicture(*io.PXBitmap());
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
    const auto picture = Pixels(*io.PXBitmap());
    bool fired;
    {
      TArmed fault(kind, n);
      EXPECT_NO_THROW(io.SaveToFile(path));
      fired = fault.Fired();
    }
    EXPECT_TRUE(Pixels(*io.PXBitmap()) == picture) << "the save changed the caller's picture";
    EXPECT_EQ(Entries(dir).size(), 2u) << "a file was left beside the target";
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
long LoadEveryFault(const std::string& dir, const std::string& ext, TFault kind) {
  const std::string path = dir + "/picture." + ext;
  std::vector<uint8_t> reference;
  {
    TPixoranIO io;
    io.LoadFromFile(path);
    EXPECT_FALSE(io.Aborting()) << io.LastResultText();
    reference = Pixels(*io.PXBitmap());
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
      EXPECT_TRUE(Pixels(*io.PXBitmap()) == reference);
      return n - 1;
    }
    if (io.Aborting() || io.LastResult() != iorOk) EXPECT_TRUE(ReportedAsStorage(io)) << io.LastResultText();
    else EXPECT_TRUE(Pixels(*io.PXBitmap()) == reference) << "a failure went unreported";
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
          points[std::string("load ") + ext] += LoadEveryFault(dir, ext, kind);
        if (HasFailure()) return;
      }
    }
  }
  long total = 0;
  for (const auto& [name, n] : points) total += n;
  std::printf("load and save: %ld points over %zu format operations\n", total, points.size());
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
