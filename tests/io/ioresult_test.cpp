// The reason beside Aborting: every public load and save entry point of the
// I/O component ends with a result kind that says why, and the exceptions
// the component raises still reach the caller.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <new>
#include <string>
#include <vector>

#include "core/pxprogress.h"
#include "filtertools.h"
#include "io/pixoranio.h"
#include "io/pxformats.h"
#include "testsupport.h"

namespace pixoran {
namespace {

using namespace pixoran::testing;

void FillPicture(TPXBitmap& b, int32_t w, int32_t h) {
  ASSERT_TRUE(b.Allocate(w, h, pxBGR24));
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < 3 * w; ++x) row[x] = static_cast<uint8_t>(x * 7 + y * 13);
  }
}

// A folder with one good file of each kind the rows need.
struct TFiles {
  std::string dir = MakeTempDir("ioresult");
  std::string png = dir + "/good.png";
  std::string missing = dir + "/missing.png";
  std::string unknownExt = dir + "/picture.xyz";
  std::string garbage = dir + "/garbage.png";
  TFiles() {
    TPixoranIO io;
    FillPicture(*io.PXBitmap(), 40, 30);
    io.SaveToFile(png);
    EXPECT_FALSE(io.Aborting());
    std::filesystem::copy_file(png, unknownExt);
    WriteFileBytes(garbage, Bytes(300, 0x5A));
  }
};

const TFiles& Files() {
  static const TFiles files;
  return files;
}

enum TRaise { kNone, kOpenError, kCreateError };

struct TRow {
  const char* name;
  std::function<void(TPixoranIO&)> call;
  TPXIOResult want;
  TRaise raises;
};

TEST(IOResult, EveryLoadAndSaveEntryPointTellsWhy) {
  const TFiles& f = Files();
  const std::string out = f.dir + "/out";
  std::vector<TRow> rows = {
      {"LoadFromFile missing", [&](TPixoranIO& io) { io.LoadFromFile(f.missing); }, iorNotFound, kOpenError},
      {"LoadFromFile empty name", [&](TPixoranIO& io) { io.LoadFromFile(""); }, iorNotFound, kNone},
      {"LoadFromFile unknown extension", [&](TPixoranIO& io) { io.LoadFromFile(f.unknownExt); }, iorUnknownFormat,
       kNone},
      {"LoadFromFileFormat missing", [&](TPixoranIO& io) { io.LoadFromFileFormat(f.missing, ioPNG); }, iorNotFound,
       kOpenError},
      {"LoadFromFileFormat unknown type", [&](TPixoranIO& io) { io.LoadFromFileFormat(f.png, 999); }, iorUnknownFormat,
       kNone},
      {"LoadFromStream garbage",
       [&](TPixoranIO& io) {
         TMemoryStream s;
         s.LoadFromFile(f.garbage);
         io.LoadFromStream(s);
       },
       iorUnknownFormat, kNone},
      {"LoadFromStreamFormat unknown type",
       [&](TPixoranIO& io) {
         TMemoryStream s;
         s.LoadFromFile(f.png);
         io.LoadFromStreamFormat(s, 999);
       },
       iorUnknownFormat, kNone},
      {"LoadFromBuffer garbage",
       [&](TPixoranIO& io) {
         const Bytes b(64, 0x11);
         io.LoadFromBuffer(b.data(), static_cast<int64_t>(b.size()), ioUnknown);
       },
       iorUnknownFormat, kNone},
      {"ParamsFromFile missing", [&](TPixoranIO& io) { io.ParamsFromFile(f.missing); }, iorNotFound, kNone},
      {"ParamsFromFileFormat missing", [&](TPixoranIO& io) { io.ParamsFromFileFormat(f.missing, ioPNG); }, iorNotFound,
       kNone},
      {"ParamsFromStream garbage",
       [&](TPixoranIO& io) {
         TMemoryStream s;
         s.LoadFromFile(f.garbage);
         io.ParamsFromStream(s);
       },
       iorUnknownFormat, kNone},
      {"ParamsFromStreamFormat unknown type",
       [&](TPixoranIO& io) {
         TMemoryStream s;
         s.LoadFromFile(f.png);
         io.ParamsFromStreamFormat(s, 999);
       },
       iorUnknownFormat, kNone},
      {"SaveToFile unknown extension", [&](TPixoranIO& io) { io.SaveToFile(out + ".xyz"); }, iorUnknownFormat, kNone},
      {"SaveToFile empty name", [&](TPixoranIO& io) { io.SaveToFile(""); }, iorNotFound, kNone},
      {"SaveToFile missing folder", [&](TPixoranIO& io) { io.SaveToFile(f.dir + "/no/such/x.png"); }, iorWriteFailed,
       kCreateError},
      {"SaveToStream unknown type",
       [&](TPixoranIO& io) {
         TMemoryStream s;
         io.SaveToStream(s, 999);
       },
       iorUnknownFormat, kNone},
      {"SaveToStream reader-only type",
       [&](TPixoranIO& io) {
         TMemoryStream s;
         io.SaveToStream(s, ioCUR);
       },
       iorUnknownFormat, kNone},
      {"SaveToSourceText missing folder", [&](TPixoranIO& io) { io.SaveToSourceText(f.dir + "/no/x.txt", ioPNG, 1); },
       iorWriteFailed, kCreateError},
      {"SaveToSourceText unknown text format", [&](TPixoranIO& io) { io.SaveToSourceText(out + ".txt", ioPNG, 9); },
       iorUnsupported, kNone},
      {"SaveToSourceText empty name", [&](TPixoranIO& io) { io.SaveToSourceText("", ioPNG, 0); }, iorNotFound, kNone},
      {"LoadFromURL not a web address", [&](TPixoranIO& io) { io.LoadFromURL("gopher://127.0.0.1/x"); }, iorNotFound,
       kNone},
  };
  // Each built-in type's own load entry point, on a missing file.
  for (int32_t i = 0; const TPXFormatCodec* codec = FormatCodecAt(i); ++i) {
    if (!codec->Read || !(codec->Flags & cfLoadFile) || codec->WholeFile != wfNone) continue;
    const int32_t type = codec->FileType;
    rows.push_back({codec->FullName ? codec->FullName : "type",
                    [&f, type](TPixoranIO& io) { io.LoadFromFileFormat(f.missing, type); }, iorNotFound, kOpenError});
  }
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.name);
    TPixoranIO io;
    FillPicture(*io.PXBitmap(), 5, 4);
    TPXIOResult seenAtFinish = iorOk;
    io.OnFinishWork = [&](TObject*) { seenAtFinish = io.LastResult(); };
    TRaise raised = kNone;
    try {
      row.call(io);
    } catch (const EFOpenError&) {
      raised = kOpenError;
    } catch (const EFCreateError&) {
      raised = kCreateError;
    }
    EXPECT_EQ(raised, row.raises);
    EXPECT_TRUE(io.Aborting());
    EXPECT_EQ(io.LastResult(), row.want) << io.LastResultText();
    EXPECT_FALSE(io.LastResultText().empty());
    EXPECT_EQ(seenAtFinish, row.want) << "not readable from OnFinishWork";
    // A failed load or save leaves the picture as it was.
    EXPECT_EQ(io.PXBitmap()->Width(), 5);
  }
  EXPECT_FALSE(std::filesystem::exists(out + ".xyz"));
}

TEST(IOResult, SuccessResetsAndACancelIsNotAFailure) {
  const TFiles& f = Files();
  TPixoranIO io;
  io.LoadFromFile(f.unknownExt);
  ASSERT_EQ(io.LastResult(), iorUnknownFormat);
  io.LoadFromFile(f.png);
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(io.LastResult(), iorOk);
  EXPECT_TRUE(io.LastResultText().empty());

  // The caller cancels from the progress event: cancelled, not corrupt.
  FillPicture(*io.PXBitmap(), 7, 3);
  io.OnProgress = [&](TObject*, int percent) {
    if (percent < 100) io.SetAborting(true);
  };
  io.LoadFromFile(f.png);
  EXPECT_TRUE(io.Aborting());
  EXPECT_EQ(io.LastResult(), iorCancelled) << io.LastResultText();
}

// An application's filter reports through the same record.
void FailingRead(TStream&, TPXBitmap&, TIOParamsVals&, TPXProgressRec& progress, bool) {
  progress.Fail(iorUnsupported, "XYZ: version 9 is not read");
}
void SilentRead(TStream&, TPXBitmap&, TIOParamsVals&, TPXProgressRec& progress, bool) { progress.Abort(); }
void ThrowingRead(TStream&, TPXBitmap&, TIOParamsVals&, TPXProgressRec&, bool) { throw std::bad_alloc(); }

TEST(IOResult, RegisteredFiltersTellWhyThroughTheProgressRecord) {
  const TFiles& f = Files();
  struct {
    TPXReadFunction read;
    const char* ext;
    TPXIOResult want;
    const char* text;
  } rows[] = {
      {FailingRead, "XYA", iorUnsupported, "XYZ: version 9"},
      {SilentRead, "XYB", iorFailed, ""},
      {ThrowingRead, "XYC", iorNoMemory, ""},
  };
  int32_t type = 900;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.ext);
    TPXFileFormatInfo info;
    info.FileType = ++type;
    info.FullName = "Test format";
    info.Extensions = row.ext;
    info.ReadFunction = row.read;
    RegisterFileFormat(info);
    const std::string path = f.dir + "/app." + LowerCaseASCII(row.ext);
    WriteFileBytes(path, Bytes(20, 1));
    TPixoranIO io;
    io.LoadFromFile(path);  // by file name a registered reader never raises
    EXPECT_TRUE(io.Aborting());
    EXPECT_EQ(io.LastResult(), row.want) << io.LastResultText();
    EXPECT_NE(io.LastResultText().find(row.text), std::string::npos) << io.LastResultText();
    // By stream, its exception passes to the caller, its reason recorded first.
    TMemoryStream s;
    s.LoadFromFile(path);
    bool raised = false;
    try {
      io.LoadFromStreamFormat(s, type);
    } catch (const std::bad_alloc&) {
      raised = true;
    }
    EXPECT_EQ(raised, row.read == ThrowingRead);
    EXPECT_EQ(io.LastResult(), row.want) << io.LastResultText();
  }
  RegisterBuiltinFileFormats();
}

}  // namespace
}  // namespace pixoran
