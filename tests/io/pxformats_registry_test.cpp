// The registry and the format records under one lock: lookups through both
// views while another thread registers and replaces records. Run under
// ThreadSanitizer as well.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "io/pixoranio_codecs.h"
#include "io/pxformats.h"
#include "platform/streams.h"

namespace pixoran {
namespace {

constexpr int32_t kThreadType = 1500;

bool NeverMine(TStream&) { return false; }

class RegistryThreads : public ::testing::Test {
 protected:
  void SetUp() override { RegisterBuiltinFileFormats(); }
  void TearDown() override {
    SetFormatCodec(TPXFormatCodec{.FileType = kThreadType});  // no name, no routes: gone from both views
    RegisterBuiltinFileFormats();
  }
};

TEST_F(RegistryThreads, LookupsThroughBothViewsWhileRecordsChange) {
  // Held across every change: what was handed out stays as it was.
  const TPXFileFormatInfo* heldGIF = FindFileFormatInfo(ioGIF);
  const TPXReadFunction heldGIFRead = heldGIF->ReadFunction;
  const TPXFormatCodec* heldPCX = FindFormatCodec(ioPCX);
  const TPXExtensionRoute* heldJPG = FindExtensionRoute(".jpg");
  ASSERT_NE(heldJPG, nullptr);

  std::atomic<bool> done{false};
  std::atomic<int> wrong{0};
  auto check = [&](bool ok) {
    if (!ok) ++wrong;
  };
  std::thread writer([&] {
    for (int n = 0; n < 310; ++n) {
      TPXFileFormatInfo extra;
      extra.FileType = 1600 + n % 20;
      extra.FullName = "Extra";
      extra.Extensions = "XT1;XT2";
      extra.TryFunction = NeverMine;
      RegisterFileFormat(extra);
      SetFormatCodec(*FindFormatCodec(ioPCX));  // a new version of a built-in record
      SetFormatCodec(TPXFormatCodec{.FileType = kThreadType,
                                    .FullName = "Threaded",
                                    .Extensions = "THR",
                                    .LoadRoutes = n % 2 ? "thr" : nullptr,
                                    .Flags = cfLoadFile});
      UpdateGIFFormatAvailability();
      if (n % 25 == 24) RegisterBuiltinFileFormats();  // empties and refills in one step
    }
    done = true;
  });

  // A stream every reader detects: registered probes first, then signatures.
  std::vector<uint8_t> bmp(32, 0);
  std::memcpy(bmp.data(), "BM", 2);
  std::vector<std::thread> readers;
  for (int t = 0; t < 3; ++t) {
    readers.emplace_back([&] {
      TReadOnlyMemoryStream stream(bmp.data(), static_cast<int64_t>(bmp.size()));
      do {
        const TPXFileFormatInfo* tif = FindFileFormatInfoByExtension("Tif");
        check(tif && tif->FileType == ioTIFF);
        check(FileFormatExtension(ioTIFF, 4) == "G3F" && FileFormatExtensionCount(ioTGA) == 6);
        check(IsReadableFileName("a.pcx") == (FindFileFormatInfo(ioPCX)->ReadFunction != nullptr));
        const TPXExtensionRoute* win = FindExtensionRoute(".win");
        check(win && win->LoadType == ioTGA);
        const TPXFormatCodec* pcx = FindFormatCodec(ioPCX);
        check(pcx && pcx->FileType == ioPCX && std::strcmp(pcx->FullName, "PaintBrush") == 0);
        // A route to the new type is built from its listed record.
        if (const TPXExtensionRoute* thr = FindExtensionRoute(".thr"))
          check(thr->LoadType == kThreadType && FindFormatCodec(kThreadType) != nullptr);
        check(FindStreamFormat(stream) == ioBMP && stream.Position() == 0);
        check(heldGIF->ReadFunction == heldGIFRead && heldPCX->FileType == ioPCX && heldJPG->LoadType == ioJPEG);
      } while (!done);
    });
  }
  writer.join();
  for (auto& r : readers) r.join();
  EXPECT_EQ(wrong.load(), 0);

  // After the last changes both views show them.
  EXPECT_NE(FindFileFormatInfoByExtension("xt2"), nullptr);
  EXPECT_EQ(FindExtensionRoute(".thr")->LoadType, kThreadType);
  EXPECT_STREQ(FindFormatCodec(kThreadType)->FullName, "Threaded");
  EXPECT_EQ(heldGIF->FullName, "CompuServe Bitmap");
}

}  // namespace
}  // namespace pixoran
