// The viewer's layers under failing storage: each write to a temporary file
// and each allocation of the library fails in turn while layers are added
// and merged; every step either gives what a run without failure gives, or
// reports it and leaves every layer as it was.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../fulldisk_inject.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio.h"
#include "testsupport.h"
#include "view/pixoranview.h"

namespace pixoran {
namespace {

using namespace pixoran::testing;

void FillPattern(TPXBitmap& b, int32_t w, int32_t h, uint8_t seed) {
  b.Allocate(w, h, pxBGR24);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < 3 * w; ++x) row[x] = static_cast<uint8_t>(x * 5 + y * 11 + seed);
  }
}

// Every layer: its place, size, options and pixels, and which is current.
std::vector<std::vector<uint8_t>> LayersOf(TPixoranView& v) {
  std::vector<std::vector<uint8_t>> out;
  out.push_back({static_cast<uint8_t>(v.CurrentLayer())});
  for (int32_t i = 0; i < v.GetLayersCount(); ++i) {
    TPXLayer* l = v.GetLayer(i);
    std::vector<uint8_t> d = BitmapContent(*l->Bitmap());
    for (int32_t n : {l->PosX, l->PosY, l->Width, l->Height, l->Opacity, int32_t{l->BlendMode}, int32_t{l->Locked}})
      for (int k = 0; k < 4; ++k) d.push_back(static_cast<uint8_t>(n >> (8 * k)));
    out.push_back(std::move(d));
  }
  return out;
}

// A picture with a frame layer over it, shown larger than its bitmap and
// moved partly outside the picture, with transparent parts.
std::unique_ptr<TPixoranView> MakeLayers() {
  auto v = std::make_unique<TPixoranView>();
  v->SetLayersSameSize(false);
  FillPattern(*v->GetPXBitmap(), 40, 30, 1);
  v->Update();
  v->AddLayer();
  TPXLayer* up = v->GetLayer(1);
  FillPattern(*up->Bitmap(), 20, 16, 7);
  TPXBitmap& a = *up->Bitmap()->GetAlphaChannel();
  for (int32_t y = 0; y < 16; ++y)
    for (int32_t x = 0; x < 20; ++x) a.SetByte(x, y, static_cast<uint8_t>((x + y) % 3 * 127));
  up->Width = 30;
  up->Height = 24;
  up->PosX = -6;
  up->PosY = 12;
  up->Opacity = 200;
  up->Bitmap()->FlushRows();
  v->GetPXBitmap()->FlushRows();
  return v;
}

struct TLayerOp {
  const char* Name;
  std::function<void(TPixoranView&)> Run;
};

enum class TFault { Write, Allocation };

long RunEveryFault(const TLayerOp& op, TFault kind) {
  std::vector<std::vector<uint8_t>> reference;
  {
    auto v = MakeLayers();
    op.Run(*v);
    reference = LayersOf(*v);
  }
  for (long n = 1; n < 5000; ++n) {
    SCOPED_TRACE(::testing::Message() << (kind == TFault::Write ? "write " : "allocation ") << n);
    auto v = MakeLayers();
    const auto before = LayersOf(*v);
    bool fired = false;
    v->GetIO()->SetAborting(true);  // left from an earlier operation
    if (kind == TFault::Write) {
      TFailNthWrite fault(n);
      EXPECT_NO_THROW(op.Run(*v));
      fired = fault.Failed();
    } else {
      PXArmAllocationFault(n);
      EXPECT_NO_THROW(op.Run(*v));
      fired = PXAllocationFaultFired();
      PXArmAllocationFault(0);
    }
    const auto after = LayersOf(*v);
    if (!fired) {
      EXPECT_TRUE(after == reference);
      return n - 1;
    }
    EXPECT_TRUE(after == before || after == reference) << "layers lost or half made";
    if (::testing::Test::HasFailure()) return n;
  }
  ADD_FAILURE() << "still failing";
  return 0;
}

TEST(LayerFaultTable, MergeAndAddFailCleanly) {
  const TempFolderScope folder(std::filesystem::is_directory("/dev/shm") ? "/dev/shm"
                                                                         : std::string(PXSettings().TempFolder));
  const TLayerOp ops[] = {
      {"MergeLayers",
       [](TPixoranView& v) {
         const int32_t count = v.GetLayersCount();
         const bool merged = v.MergeLayers(0, 1);
         EXPECT_FALSE(v.GetIO()->Aborting()) << "a merge's result is its own signal";
         EXPECT_EQ(v.GetLayersCount(), merged ? count - 1 : count) << "a merge that failed deleted a layer";
       }},
      {"AddLayer",
       [](TPixoranView& v) {
         const int32_t count = v.GetLayersCount();
         const int32_t index = v.AddLayer();
         EXPECT_EQ(v.GetLayersCount(), index < 0 ? count : count + 1);
       }},
  };
  long writes = 0, allocations = 0;
  for (bool inFiles : {false, true})
    for (const TLayerOp& op : ops) {
      SCOPED_TRACE(::testing::Message() << op.Name << (inFiles ? " in temporary files" : " in memory"));
      const ThresholdScope files(inFiles ? 0 : PXSettings().MemoryThresholdOverride);
      if (inFiles) writes += RunEveryFault(op, TFault::Write);
      allocations += RunEveryFault(op, TFault::Allocation);
      if (HasFailure()) return;
    }
  std::printf("layers: %ld write and %ld allocation points\n", writes, allocations);
}

// A merged result beyond the memory threshold lives in a temporary file like
// any large bitmap: it is made, not refused.
TEST(LayerFaultTable, ALargeMergeGoesToATemporaryFile) {
  TPixoranView v;
  v.SetLayersSameSize(false);
  FillPattern(*v.GetPXBitmap(), 40, 30, 1);
  v.Update();
  v.AddLayer();
  v.GetLayer(1)->PosX = 4 * 40;  // as far as a drag may take it
  v.GetLayer(1)->PosY = 4 * 30;
  v.GetPXBitmap()->MemoryThreshold = 1000;  // the image's threshold rules the result
  v.SetCurrentLayer(0);
  v.GetPXBitmap()->MemoryThreshold = 1000;
  ASSERT_TRUE(v.MergeLayers(0, 1));
  ASSERT_EQ(v.GetLayersCount(), 1);
  TPXBitmap* m = v.GetPXBitmap();
  EXPECT_EQ(m->Width(), 200);
  EXPECT_EQ(m->Height(), 150);
  EXPECT_EQ(m->Location(), pxTempFile);
  EXPECT_EQ(m->GetPixel24(0, 0), (TBGR{1, 6, 11}));
  EXPECT_EQ(m->GetAlphaChannel()->GetByte(199, 0), 0);  // neither layer there
}

}  // namespace
}  // namespace pixoran
