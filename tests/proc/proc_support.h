#pragma once
// Helpers of the processing tests: bitmaps with known content, exact
// comparisons, and a viewer with a selection standing in for the real one.
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/pxmask.h"
#include "core/pxview.h"
#include "platform/imagectl.h"
#include "proc/pxselection.h"

namespace pixoran::testing {

inline std::unique_ptr<TPXBitmap> MakeBitmap(int32_t w, int32_t h, TPXPixelFormat f, bool tempFile = false) {
  auto b = std::make_unique<TPXBitmap>();
  b->MemoryThreshold = tempFile ? 0 : std::numeric_limits<int64_t>::max();
  b->Allocate(w, h, f);
  return b;
}

inline int64_t PixelBytes(TPXBitmap& b) { return (static_cast<int64_t>(b.Width()) * b.BitCount() + 7) / 8; }

inline void FillRandom(TPXBitmap& b, uint32_t seed) {
  std::mt19937 rng(seed);
  for (int32_t y = 0; y < b.Height(); ++y) {
    uint8_t* p = b.Scanline(y);
    for (int64_t i = 0; i < PixelBytes(b); ++i) p[i] = static_cast<uint8_t>(rng());
  }
}

// The image's format and pixels (rows without padding; bits past the width
// cleared), its palette, then its alpha channel's pixels when it has one.
inline std::vector<uint8_t> Snapshot(TPXBitmap& b) {
  std::vector<uint8_t> out;
  out.push_back(static_cast<uint8_t>(b.PixelFormat()));
  for (int32_t y = 0; y < b.Height(); ++y) {
    const uint8_t* p = b.Scanline(y);
    std::vector<uint8_t> row(p, p + PixelBytes(b));
    if (b.PixelFormat() == pxBW1 && (b.Width() & 7)) row.back() &= static_cast<uint8_t>(0xFF00u >> (b.Width() & 7));
    out.insert(out.end(), row.begin(), row.end());
  }
  for (int32_t i = 0; i < b.PaletteCount(); ++i) {
    const TBGR c = b.GetPaletteEntry(i);
    out.insert(out.end(), {c.b, c.g, c.r});
  }
  out.push_back(b.HasAlphaChannel() ? 1 : 0);
  if (b.HasAlphaChannel()) {
    TPXBitmap& a = *b.GetAlphaChannel();
    for (int32_t y = 0; y < a.Height(); ++y) {
      const uint8_t* p = a.Scanline(y);
      out.insert(out.end(), p, p + a.Width());
    }
  }
  return out;
}

// A viewer with a bitmap of its own and a selection: what the processing
// component sees of the real viewer.
class FakeSelectionView : public TPXView, public TPXSelectionSource {
 public:
  FakeSelectionView() = default;
  ~FakeSelectionView() override { CallDestroyingEvents(); }

  TPXBitmap* GetPXBitmap() override { return bitmap.get(); }
  void Update() override { ++updates; }
  void ImageChange() override { ++imageChanges; }

  TPXMask* GetSelectionMask() override { return &mask; }
  bool HasSelection() override { return selected; }
  TPXPoint* GetSelectionPoints() override { return points.data(); }
  int32_t GetSelectionPointCount() override { return static_cast<int32_t>(points.size()); }
  void SaveSelectionToStream(TStream& s) override {
    const int32_t head[8] = {mask.Width(), mask.Height(), mask.BitsPerPixel(), selected ? 1 : 0, mask.X1, mask.Y1,
                             mask.X2,      mask.Y2};
    s.WriteBuffer(head, sizeof head);
    s.WriteBuffer(mask.Data(), int64_t{mask.RowLen()} * mask.Height());
  }
  bool LoadSelectionFromStream(TStream& s) override {
    int32_t head[8];
    if (!s.ReadExact(head, sizeof head)) return false;
    mask.Allocate(head[0], head[1], head[2]);
    selected = head[3] != 0;
    mask.X1 = head[4], mask.Y1 = head[5], mask.X2 = head[6], mask.Y2 = head[7];
    return s.ReadExact(mask.Data(), int64_t{mask.RowLen()} * mask.Height());
  }

  // Selects with the given mask depth: value(x, y) for every pixel.
  template <typename Fn>
  void Select(int32_t bits, Fn&& value) {
    mask.Allocate(bitmap->Width(), bitmap->Height(), bits);
    for (int32_t y = 0; y < bitmap->Height(); ++y)
      for (int32_t x = 0; x < bitmap->Width(); ++x) mask.SetPixel(x, y, value(x, y));
    mask.SyncBox();
    selected = !mask.IsEmpty();
  }

  std::unique_ptr<TPXBitmap> bitmap;
  TPXMask mask;
  bool selected = false;
  std::vector<TPXPoint> points;
  int updates = 0;
  int imageChanges = 0;
};

}  // namespace pixoran::testing
