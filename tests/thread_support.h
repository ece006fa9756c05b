#pragma once
// For the tests that run an operation at several thread counts and compare
// its bytes with one thread's: the thread count (and temporary-file storage)
// for a scope, noise to work on, and a bitmap's bytes as one string.
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/kopxutils.h"
#include "core/pxprogress.h"

namespace pixoran::testing {

constexpr int32_t kThreadCounts[] = {1, 2, 3, 8};

// Sets the pool's thread count, and with tempFiles puts every new bitmap's
// rows in a temporary file, until the scope ends.
class ThreadScope {
 public:
  explicit ThreadScope(int32_t threads, bool tempFiles = false)
      : threads_(PXSettings().ThreadCount.load()), threshold_(PXSettings().MemoryThresholdOverride) {
    PXSettings().ThreadCount = threads;
    if (tempFiles) PXSettings().MemoryThresholdOverride = 0;
  }
  ~ThreadScope() {
    PXSettings().ThreadCount = threads_;
    PXSettings().MemoryThresholdOverride = threshold_;
  }
  ThreadScope(const ThreadScope&) = delete;
  ThreadScope& operator=(const ThreadScope&) = delete;

 private:
  int32_t threads_;
  int64_t threshold_;
};

// The progress values an operation told, and whether any came from a thread
// other than the one that made the log.
struct TProgressLog {
  std::vector<int> Told;
  bool OffThread = false;
  std::thread::id Caller = std::this_thread::get_id();
  TPXProgressRec Rec() {
    TPXProgressRec progress;
    progress.OnProgress = [this](TObject*, int percent) {
      OffThread = OffThread || std::this_thread::get_id() != Caller;
      Told.push_back(percent);
    };
    return progress;
  }
};

// Noise of every byte value, the same on every run; floats kept near 0..1
// rather than arbitrary bit patterns.
inline void FillNoise(TPXBitmap& b, uint32_t seed) {
  const int32_t len = b.RowLen(), w = b.Width();
  const bool floats = b.PixelFormat() == px32f;
  for (int32_t y = 0; y < b.Height(); ++y) {
    uint8_t* r = b.Scanline(y);
    for (int32_t i = 0; i < len; ++i) {
      seed = seed * 1664525u + 1013904223u;
      r[i] = static_cast<uint8_t>(seed >> 24);
    }
    if (floats)
      for (int32_t x = 0; x < w; ++x) {
        const float f = static_cast<float>(r[4 * x]) / 250.0f;
        std::memcpy(r + 4 * x, &f, 4);
      }
  }
}

// Size, every row's drawn bytes (padding is not part of the image), the
// palette, then the alpha channel's Full flag and bytes.
inline std::string BitmapBytes(TPXBitmap& b) {
  std::string out =
      std::to_string(b.PixelFormat()) + ":" + std::to_string(b.Width()) + "x" + std::to_string(b.Height()) + ";";
  const size_t used = (static_cast<size_t>(b.Width()) * static_cast<size_t>(b.BitCount()) + 7) / 8;
  for (int32_t y = 0; y < b.Height(); ++y) out.append(reinterpret_cast<const char*>(b.Scanline(y)), used);
  for (int32_t i = 0; i < b.PaletteCount(); ++i) {
    const TBGR c = b.GetPaletteEntry(i);
    out.append(reinterpret_cast<const char*>(&c), 3);
  }
  if (b.HasAlphaChannel()) out += "|" + std::to_string(b.GetAlphaChannel()->Full) + BitmapBytes(*b.GetAlphaChannel());
  return out;
}

}  // namespace pixoran::testing
