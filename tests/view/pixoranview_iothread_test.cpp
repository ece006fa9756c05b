// A real viewer and an I/O component loading into its bitmap on a worker:
// the viewer never frees or replaces a bitmap the worker writes into. Run
// under AddressSanitizer and ThreadSanitizer as well.
#include <QCoreApplication>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "core/kopxutils_bitmap.h"
#include "io/pixoranio.h"
#include "io/pxformats.h"
#include "platform/streams.h"
#include "testsupport.h"
#include "view/pixoranview.h"

using namespace pixoran;

namespace {

constexpr int32_t kGatedType = 1811;

std::atomic<bool> gGateOpen{false};
std::atomic<bool> gStarted{false};

// Waits for the gate, stopping when told to as a filter does; then writes
// every row of a 5 x 4 image.
void GatedRead(TStream&, TPXBitmap& bitmap, TIOParamsVals&, TPXProgressRec& progress, bool) {
  gStarted = true;
  while (!gGateOpen) {
    if (progress.Aborting && *progress.Aborting) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  bitmap.Allocate(5, 4, pxBGR24);
  for (int32_t y = 0; y < 4; ++y) std::memset(bitmap.Scanline(y), 0x30 + y, 15);
}

using pixoran::testing::PumpUntil;

void Fill(TPXBitmap& b, int32_t w, int32_t h, uint8_t v) {
  b.Allocate(w, h, pxBGR24);
  for (int32_t y = 0; y < h; ++y) std::memset(b.Scanline(y), v, static_cast<size_t>(w) * 3);
}

class ViewIOThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gGateOpen = false;
    gStarted = false;
    TPXFileFormatInfo gated;
    gated.FileType = kGatedType;
    gated.FullName = "Gated";
    gated.Extensions = "VGATED";
    gated.ReadFunction = GatedRead;
    RegisterFileFormat(gated);
    file_ = pixoran::testing::MakeTempDir("viewthread") + "/a.vgated";
    TFileStream(file_, fmCreate).Write("x", 1);
  }
  void TearDown() override {
    gGateOpen = true;
    RegisterBuiltinFileFormats();
  }

  // Starts a gated load and waits until the worker is inside it.
  void StartGatedLoad(TPixoranIO& io) {
    gGateOpen = false;
    gStarted = false;
    io.LoadFromFile(file_);
    ASSERT_TRUE(PumpUntil([] { return gStarted.load(); }));
  }

  // Opens the gate from another thread a little later: the UI thread is
  // meanwhile blocked in the viewer's call, waiting for the worker.
  std::thread OpenGateSoon() {
    return std::thread([] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      gGateOpen = true;
    });
  }

  std::string file_;
};

TEST_F(ViewIOThreadTest, LayerRemovedOrBitmapReplacedWhileAGatedLoadRuns) {
  TPixoranView view;
  Fill(*view.GetPXBitmap(), 8, 6, 0x11);
  view.Update();
  ASSERT_EQ(view.AddLayer(), 1);
  TPixoranIO io;
  io.SetAttachedPixoran(&view);
  io.SetAsyncMode(true);
  ASSERT_FALSE(io.OwnsBitmap());

  // The current layer goes while the worker holds its bitmap: the worker is
  // stopped first, and the component follows the new current layer.
  StartGatedLoad(io);
  view.RemoveLayer(1);
  EXPECT_TRUE(io.Aborting());
  EXPECT_EQ(io.PXBitmap(), view.GetPXBitmap());
  gGateOpen = true;  // with the old code the worker would now write into the freed layer
  io.WaitThreads(false);
  QCoreApplication::processEvents();
  EXPECT_EQ(view.GetPXBitmap()->Width(), 8);

  // The layer's own bitmap is replaced by an external one: it goes, so the
  // worker on it is stopped first.
  TPXBitmap external;
  Fill(external, 3, 3, 0x22);
  StartGatedLoad(io);
  view.SetExternalBitmap(&external);
  EXPECT_TRUE(io.Aborting());
  EXPECT_EQ(io.PXBitmap(), &external);
  gGateOpen = true;
  io.WaitThreads(false);
  QCoreApplication::processEvents();
  EXPECT_EQ(external.Width(), 3);

  // The external bitmap stays the caller's: a load into it is let finish
  // before the viewer takes a bitmap of its own.
  StartGatedLoad(io);
  std::thread opener = OpenGateSoon();
  view.SetExternalBitmap(nullptr);
  opener.join();
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(external.Width(), 5);
  EXPECT_EQ(external.Scanline(3)[14], 0x33);
  EXPECT_EQ(io.PXBitmap(), view.GetPXBitmap());
  EXPECT_NE(io.PXBitmap(), &external);

  // Merging reads both layers and frees them: the load finishes first.
  Fill(*view.GetPXBitmap(), 8, 6, 0x11);
  view.Update();
  ASSERT_EQ(view.AddLayer(), 1);
  ASSERT_EQ(io.PXBitmap(), view.GetPXBitmap());
  StartGatedLoad(io);
  opener = OpenGateSoon();
  view.MergeLayers(0, 1);
  opener.join();
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(view.GetLayersCount(), 1);
  EXPECT_EQ(io.PXBitmap(), view.GetPXBitmap());
  io.WaitThreads(false);
  QCoreApplication::processEvents();

  // Another storage for the image: its rows move, so the load finishes first.
  StartGatedLoad(io);
  opener = OpenGateSoon();
  view.SetLegacyBitmap(!view.LegacyBitmap());
  opener.join();
  EXPECT_FALSE(io.Aborting());
  EXPECT_EQ(view.GetPXBitmap()->Width(), 5);
  EXPECT_EQ(view.GetPXBitmap()->Scanline(2)[3], 0x32);
  io.WaitThreads(false);
  QCoreApplication::processEvents();
}

}  // namespace
