// The background I/O thread: operations handed to workers, their events,
// the viewer hand-offs to the UI thread, cancellation, failures, and the
// process-wide state workers read. Run under ThreadSanitizer as well.
#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_settings.h"
#include "core/pxview.h"
#include "io/pixoranio.h"
#include "io/pixoranio_codecs.h"
#include "io/pxformats.h"
#include "platform/imagectl.h"
#include "platform/streams.h"
#include "platform/system.h"
#include "testsupport.h"
#include "formats_built.h"

namespace pixoran {
namespace {

using pixoran::testing::MakeTempDir;

constexpr int32_t kGatedType = 1801;     // waits for the gate, then fills a 3 x 2 image
constexpr int32_t kThrowingType = 1802;  // raises

std::atomic<bool> gGateOpen{false};
std::atomic<bool> gReaderStarted{false};
std::atomic<bool> gReaderDone{false};

bool OnMainThread() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }

// Waits for the gate row by row, stopping when told to, as a filter does.
void GatedRead(TStream&, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool) {
  gReaderStarted = true;
  while (!gGateOpen) {
    if (progress.Aborting && *progress.Aborting) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  bitmap.Allocate(3, 2, pxBGR24);
  for (int32_t y = 0; y < 2; ++y) std::memset(bitmap.Scanline(y), 0x40 + y, 9);
  params.SetDpiX(150);  // tells the viewer, which must hear it on the UI thread
  params.SetDpiY(120);
  gReaderDone = true;
}

void ThrowingRead(TStream&, TPXBitmap&, TIOParamsVals&, TPXProgressRec&, bool) {
  throw std::runtime_error("reader failure");
}

// Records on which thread, and in what order, the component reached it.
class TThreadView : public TPXView {
 public:
  TThreadView() : px(std::make_unique<TPXBitmap>()) {}
  TPXBitmap* GetPXBitmap() override { return px.get(); }
  void SetDpiX(int32_t dpi) override {
    calls.push_back(OnMainThread() ? "dpix" : "dpix-off-ui");
    TPXView::SetDpiX(dpi);
  }
  void Update() override { calls.push_back(OnMainThread() ? "update" : "update-off-ui"); }
  void ImageChange() override { calls.push_back(OnMainThread() ? "change" : "change-off-ui"); }
  // Swaps in a new bitmap and tells the subscribers, as a viewer does.
  TPXBitmap* Replace() {
    old.push_back(std::move(px));
    px = std::make_unique<TPXBitmap>();
    CallBitmapChangeEvents();
    return px.get();
  }

  std::unique_ptr<TPXBitmap> px;
  std::vector<std::unique_ptr<TPXBitmap>> old;
  std::vector<std::string> calls;  // touched on the UI thread only
};

using pixoran::testing::PumpUntil;

class IOThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gGateOpen = false;
    gReaderStarted = false;
    gReaderDone = false;
    dir_ = MakeTempDir("iothread");
    TPXFileFormatInfo gated;
    gated.FileType = kGatedType;
    gated.FullName = "Gated";
    gated.Extensions = "GATED";
    gated.ReadFunction = GatedRead;
    RegisterFileFormat(gated);
    TPXFileFormatInfo throwing;
    throwing.FileType = kThrowingType;
    throwing.FullName = "Throwing";
    throwing.Extensions = "THROWS";
    throwing.ReadFunction = ThrowingRead;
    RegisterFileFormat(throwing);
    gatedFile_ = dir_ + "/a.gated";
    TFileStream(gatedFile_, fmCreate).Write("x", 1);
  }
  void TearDown() override {
    gGateOpen = true;
    RegisterBuiltinFileFormats();
  }

  // A 24-bit BMP file of the given size whose bytes follow the seed.
  std::string WriteBMP(const std::string& name, int32_t w, int32_t h, int seed) {
    TPixoranIO io;
    io.PXBitmap()->Allocate(w, h, pxBGR24);
    for (int32_t y = 0; y < h; ++y) {
      uint8_t* row = io.PXBitmap()->Scanline(y);
      for (int32_t x = 0; x < w * 3; ++x) row[x] = static_cast<uint8_t>(seed * 31 + y * 7 + x);
    }
    const std::string path = dir_ + "/" + name;
    io.SaveToFile(path);
    EXPECT_FALSE(io.Aborting());
    return path;
  }

  std::string dir_;
  std::string gatedFile_;
};

TEST_F(IOThreadTest, AsyncLoadFinishesOnWorkerAndViewerHearsOnUIThread) {
  TThreadView view;
  TPixoranIO io;
  io.SetAttachedPixoran(&view);
  io.SetAsyncMode(true);
  std::atomic<int> finishes{0};
  std::atomic<bool> finishOnWorker{false}, insideOnWorker{false}, progressOnWorker{true};
  io.OnProgress = [&](TObject*, int32_t) {
    if (OnMainThread()) progressOnWorker = false;
  };
  io.OnFinishWork = [&](TObject*) {
    finishOnWorker = !OnMainThread();
    insideOnWorker = io.IsInsideThread();
    ++finishes;
  };

  io.LoadFromFile(gatedFile_);
  // Back before the file was read; the caller is none of the workers.
  EXPECT_FALSE(gReaderDone);
  EXPECT_FALSE(io.IsInsideThread());
  ASSERT_TRUE(PumpUntil([] { return gReaderStarted.load(); }));
  gGateOpen = true;
  io.WaitThreads(false);
  EXPECT_EQ(finishes, 1);  // WaitThreads returns after the finishing event
  EXPECT_TRUE(finishOnWorker);
  EXPECT_TRUE(insideOnWorker);
  EXPECT_TRUE(progressOnWorker);
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(view.px->Width(), 3);
  // Nothing reached the viewer off the event loop; then all of it, in order.
  EXPECT_TRUE(view.calls.empty());
  ASSERT_TRUE(PumpUntil([&] { return view.calls.size() >= 4; }));
  QCoreApplication::processEvents();
  EXPECT_EQ(view.calls, (std::vector<std::string>{"dpix", "dpix", "update", "change"}));
  EXPECT_EQ(view.DpiX(), 150);
  EXPECT_EQ(view.DpiY(), 120);
}

TEST_F(IOThreadTest, ImageControlRepaintsOnTheUIThreadOnly) {
  TImage image;
  TPixoranIO io;
  io.SetAttachedTImage(&image);
  io.SetAsyncMode(true);  // the picture's wrapper is the component's own: loads stay synchronous
  EXPECT_TRUE(io.OwnsBitmap());
  int changes = 0;
  bool offUI = false;
  image.Picture().OnChange = [&](TObject*) {
    offUI = offUI || !OnMainThread();
    ++changes;
  };
  gGateOpen = true;
  io.LoadFromFile(gatedFile_);
  EXPECT_EQ(changes, 1);  // done on return, on this thread
  // The same load from another thread (as a loader thread of its own runs
  // it): the repaint waits for the event loop.
  std::thread other([&] { io.LoadFromFile(gatedFile_); });
  other.join();
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(changes, 1);
  ASSERT_TRUE(PumpUntil([&] { return changes == 2; }));
  EXPECT_FALSE(offUI);
  EXPECT_EQ(image.Picture().Width(), 3);
}

TEST_F(IOThreadTest, CallsFromInsideTheWorkerRunThere) {
  TPXBitmap target;
  TPixoranIO io;
  io.SetAttachedPXBitmap(&target);
  io.SetAsyncMode(true);
  const std::string bmp = WriteBMP("b.bmp", 5, 4, 1);
  std::atomic<int> finishes{0};
  std::atomic<bool> nestedRanThere{false};
  io.OnFinishWork = [&](TObject*) {
    if (++finishes == 1) {
      // A second load from the worker's own event: synchronous, right here.
      io.LoadFromFile(bmp);
      nestedRanThere = io.PXBitmap()->Width() == 5 && !io.Aborting();
    }
  };
  gGateOpen = true;
  io.LoadFromFile(gatedFile_);
  io.WaitThreads(false);
  EXPECT_EQ(finishes, 2);
  EXPECT_TRUE(nestedRanThere);
  EXPECT_EQ(target.Width(), 5);
}

TEST_F(IOThreadTest, WaitThreadsWithAbortingStopsASlowReader) {
  TPXBitmap target;
  TPixoranIO io;
  io.SetAttachedPXBitmap(&target);
  io.SetAsyncMode(true);
  std::atomic<int> finishes{0};
  io.OnFinishWork = [&](TObject*) { ++finishes; };
  io.LoadFromFile(gatedFile_);
  ASSERT_TRUE(PumpUntil([] { return gReaderStarted.load(); }));
  io.WaitThreads(true);  // the gate never opens: only the flag ends the read
  EXPECT_TRUE(io.Aborting());
  EXPECT_FALSE(gReaderDone);
  EXPECT_EQ(finishes, 1);
}

TEST_F(IOThreadTest, WaitThreadsWithAbortingStopsAJPEGRead) {
  const std::string jpeg = dir_ + "/big.jpg";
  {
    TPixoranIO writer;
    TPXBitmap& b = *writer.PXBitmap();
    ASSERT_TRUE(b.Allocate(2000, 1500, pxBGR24));
    for (int32_t y = 0; y < 1500; ++y) std::memset(b.Scanline(y), y & 0xFF, 6000);
    writer.SaveToFile(jpeg);
    ASSERT_FALSE(writer.Aborting());
  }
  TPXBitmap target;
  TPixoranIO io;
  io.SetAttachedPXBitmap(&target);
  io.SetAsyncMode(true);
  io.LoadFromFile(jpeg);
  io.WaitThreads(true);  // the filter stops at its next row
  EXPECT_TRUE(io.Aborting());
  // Stopped early: the bottom rows (0xDB when read) were never filled.
  if (target.Height() == 1500) {
    EXPECT_LT(target.Scanline(1499)[0], 0x80);
  }
}

TEST_F(IOThreadTest, ThrowingReaderOnWorkerEndsAbortedWithEvents) {
  TPXBitmap target;
  TPixoranIO io;
  io.SetAttachedPXBitmap(&target);
  io.SetAsyncMode(true);
  std::atomic<int> finishes{0};
  io.OnFinishWork = [&](TObject*) { ++finishes; };
  TReadOnlyMemoryStream stream("abc", 3);
  for (int i = 0; i < 3; ++i) {
    io.SetAborting(false);
    io.LoadFromStreamFormat(stream, kThrowingType);
    io.WaitThreads(false);  // returns: the thread left the list
    EXPECT_TRUE(io.Aborting());
    EXPECT_FALSE(io.IsInsideThread());
  }
  EXPECT_EQ(finishes, 3);
}

TEST_F(IOThreadTest, LoadFromBufferStaysOnTheCallersThread) {
  const std::string bmp = WriteBMP("c.bmp", 7, 3, 2);
  TMemoryStream bytes;
  {
    TFileStream fs(bmp, fmOpenRead);
    bytes.CopyFrom(fs, 0);
  }
  TPXBitmap target;
  TPixoranIO io;
  io.SetAttachedPXBitmap(&target);
  io.SetAsyncMode(true);
  std::atomic<bool> onCaller{false};
  io.OnFinishWork = [&](TObject*) { onCaller = OnMainThread(); };
  io.LoadFromBuffer(bytes.Memory(), bytes.Size(), ioUnknown);
  // Done on return: the stream over the buffer lived on the call's frame.
  EXPECT_TRUE(onCaller);
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(target.Width(), 7);
}

TEST_F(IOThreadTest, ViewerBitmapChangeWaitsForTheWorker) {
  TThreadView view;
  TPXBitmap* first = view.px.get();
  TPixoranIO io;
  io.SetAttachedPixoran(&view);
  io.SetAsyncMode(true);
  io.LoadFromFile(gatedFile_);
  ASSERT_TRUE(PumpUntil([] { return gReaderStarted.load(); }));
  TPXBitmap* second = view.Replace();
  EXPECT_EQ(io.PXBitmap(), first);  // the worker still writes into it
  gGateOpen = true;
  io.WaitThreads(false);
  EXPECT_EQ(first->Width(), 3);
  EXPECT_EQ(io.PXBitmap(), second);
  QCoreApplication::processEvents();
}

TEST_F(IOThreadTest, ViewerGoingStopsTheWorkerAndDropsItsUpdates) {
  TPixoranIO io;
  io.SetAsyncMode(true);
  {
    TThreadView view;
    io.SetAttachedPixoran(&view);
    io.LoadFromFile(gatedFile_);
    ASSERT_TRUE(PumpUntil([] { return gReaderStarted.load(); }));
  }  // its bitmap goes: the worker was stopped first
  EXPECT_TRUE(io.Aborting());
  EXPECT_TRUE(io.OwnsBitmap());
  QCoreApplication::processEvents();  // anything queued for it is dropped
  EXPECT_EQ(io.AttachedPixoran(), nullptr);
}

TEST_F(IOThreadTest, ComponentFreedByItsOwnWorker) {
  TPXBitmap target;
  auto* io = new TPixoranIO;
  io->SetAttachedPXBitmap(&target);
  io->SetAsyncMode(true);
  std::atomic<bool> freed{false};
  io->OnFinishWork = [&freed](TObject* sender) {
    std::atomic<bool>* flag = &freed;         // this closure goes with the component
    delete static_cast<TPixoranIO*>(sender);  // waits for nobody: it is this thread
    *flag = true;
  };
  gGateOpen = true;
  io->LoadFromFile(gatedFile_);
  ASSERT_TRUE(PumpUntil([&] { return freed.load(); }));
  EXPECT_EQ(target.Width(), 3);
}

// Every built-in format, loaded from a file and from a stream and saved to
// both, on a worker whose finishing event frees the component: nothing of
// the component is touched after it (AddressSanitizer sees any access).
TEST_F(IOThreadTest, ComponentFreedFromItsFinishingEventForEveryBuiltinFormat) {
  struct Format {
    int32_t type;
    const char* ext;
    bool save;
  };
  const Format formats[] = {{ioJPEG, "jpg", true}, {ioGIF, "gif", true}, {ioTIFF, "tif", true}, {ioPCX, "pcx", true},
                            {ioDCX, "dcx", true},  {ioBMP, "bmp", true}, {ioICO, "ico", true},  {ioCUR, "cur", false},
                            {ioPNG, "png", true},  {ioTGA, "tga", true}, {ioPXM, "ppm", true},  {ioWBMP, "wbmp", true},
                            {ioJP2, "jp2", true},  {ioJ2K, "j2k", true}, {ioPS, "ps", true},    {ioPDF, "pdf", true}};
  TPixoranIO maker;
  ASSERT_TRUE(maker.PXBitmap()->Allocate(16, 16, pxBGR24));
  for (int32_t y = 0; y < 16; ++y)
    for (int32_t x = 0; x < 48; ++x) maker.PXBitmap()->Scanline(y)[x] = static_cast<uint8_t>(x * 5 + y * 9);
  TMemoryStream ico;
  maker.SaveToStream(ico, ioICO);
  enum Way { kLoadFile, kLoadStream, kLoadDetected, kSaveFile, kSaveStream };
  for (const Format& f : formats) {
    if (!testing::FormatBuilt(f.type)) continue;
    SCOPED_TRACE(f.ext);
    TMemoryStream encoded;
    if (f.type == ioCUR) {
      // An icon file with the cursor's resource type.
      ico.SetPosition(0);
      encoded.CopyFrom(ico, 0);
      encoded.Memory()[2] = 2;
    } else {
      maker.SaveToStream(encoded, f.type);
    }
    ASSERT_FALSE(maker.Aborting());
    const std::string path = dir_ + "/in." + f.ext;
    {
      TFileStream out(path, fmCreate);
      ASSERT_EQ(out.Write(encoded.Memory(), encoded.Size()), encoded.Size());
    }
    const bool loads = f.type != ioPS && f.type != ioPDF;
    for (Way way : {kLoadFile, kLoadStream, kLoadDetected, kSaveFile, kSaveStream}) {
      SCOPED_TRACE(static_cast<int>(way));
      if ((way <= kLoadDetected && !loads) || (way >= kSaveFile && !f.save)) continue;
      TPXBitmap target;  // the image to save, or what a load replaces
      target.Assign(maker.PXBitmap());
      TMemoryStream in, out;
      encoded.SetPosition(0);
      in.CopyFrom(encoded, 0);
      in.SetPosition(0);
      auto* io = new TPixoranIO;
      io->SetAttachedPXBitmap(&target);
      io->SetAsyncMode(true);
      std::atomic<bool> freed{false};
      std::atomic<bool> failed{true};
      io->OnFinishWork = [&freed, &failed](TObject* sender) {
        failed = static_cast<TPixoranIO*>(sender)->Aborting();
        delete static_cast<TPixoranIO*>(sender);
        freed = true;
      };
      switch (way) {
        case kLoadFile: io->LoadFromFile(path); break;
        case kLoadStream: io->LoadFromStreamFormat(in, f.type); break;
        case kLoadDetected: io->LoadFromStream(in); break;
        case kSaveFile: io->SaveToFile(dir_ + "/out." + f.ext); break;
        case kSaveStream: io->SaveToStream(out, f.type); break;
      }
      ASSERT_TRUE(PumpUntil([&] { return freed.load(); }));
      // Detection by content does not know every format (WBMP has no signature).
      if (way != kLoadDetected || f.type != ioWBMP) {
        EXPECT_FALSE(failed);
        EXPECT_GT(target.Width(), 0);
      }
    }
  }
}

TEST_F(IOThreadTest, ManyLoadsAtOnceWhileSettingsAndRegistryChange) {
  // Small threshold: the loads' bitmaps live in temporary files, so every
  // worker reads the temporary folder setting while it is being changed.
  pixoran::testing::ThresholdScope threshold(16);
  pixoran::testing::TempFolderScope folder(dir_);
  constexpr int kLoads = 12;
  std::vector<std::string> files;
  for (int i = 0; i < kLoads; ++i) files.push_back(WriteBMP("m" + std::to_string(i) + ".bmp", 9 + i, 5, i));
  std::vector<std::unique_ptr<TPXBitmap>> targets;
  std::vector<std::unique_ptr<TPixoranIO>> ios;
  for (int i = 0; i < kLoads; ++i) {
    targets.push_back(std::make_unique<TPXBitmap>());
    ios.push_back(std::make_unique<TPixoranIO>());
    ios.back()->SetAttachedPXBitmap(targets.back().get());
    ios.back()->SetAsyncMode(true);
  }
  std::atomic<bool> stop{false};
  std::thread churn([&] {
    const TPXFileFormatInfo* bmp = FindFileFormatInfo(ioBMP);
    for (int n = 0; !stop; ++n) {
      PXSettings().TempFolder = (n % 2) ? dir_ : std::string();
      TPXFileFormatInfo extra;
      extra.FileType = 1900 + n % 50;
      extra.FullName = "Extra";
      extra.Extensions = "XTRA";
      RegisterFileFormat(extra);
      if (n % 20 == 19) RegisterBuiltinFileFormats();            // frees nothing a reader holds
      if (n % 10 == 0) SetFormatCodec(*FindFormatCodec(ioPCX));  // a new version of a record
      EXPECT_EQ(bmp->FileType, ioBMP);
    }
  });
  // Half by name, half by content: detection walks the registry's probes.
  std::vector<std::unique_ptr<TFileStream>> streams;
  for (int i = 0; i < kLoads; ++i) {
    if (i % 2) {
      streams.push_back(std::make_unique<TFileStream>(files[i], fmOpenRead));
      ios[i]->LoadFromStream(*streams.back());
    } else {
      ios[i]->LoadFromFile(files[i]);
    }
  }
  for (auto& io : ios) io->WaitThreads(false);
  stop = true;
  churn.join();
  for (int i = 0; i < kLoads; ++i) {
    SCOPED_TRACE(i);
    EXPECT_FALSE(ios[i]->Aborting());
    ASSERT_EQ(targets[i]->Width(), 9 + i);
    ASSERT_EQ(targets[i]->Height(), 5);
    for (int32_t y = 0; y < 5; ++y) {
      const uint8_t* row = targets[i]->Scanline(y);
      for (int32_t x = 0; x < (9 + i) * 3; ++x) ASSERT_EQ(row[x], static_cast<uint8_t>(i * 31 + y * 7 + x));
    }
  }
}

}  // namespace
}  // namespace pixoran
