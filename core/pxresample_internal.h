#pragma once
// Shared pieces of the resampling engine: row readers that hand out source
// rows in the layout a resampler works on, access-mode scopes, destination
// preparation and exact integer division. Private to core/pxresample*.cpp.
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "core/pxresample.h"

// Hot loops get an AVX2/FMA clone picked at load time; the default clone
// stays baseline x86-64. Sanitizer builds keep one plain version (under
// ThreadSanitizer the loader would run the picker before the sanitizer is
// ready).
#if defined(__GNUC__) && !defined(__clang__) && defined(__x86_64__) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)
#define PX_HOT_CLONES __attribute__((target_clones("arch=x86-64-v3", "default")))
#else
#define PX_HOT_CLONES
#endif
// Bodies shared by the clones must be inlined into each, or they would be
// compiled once for the baseline.
#if defined(__GNUC__)
#define PX_INLINE_BODY inline __attribute__((always_inline))
#else
#define PX_INLINE_BODY inline
#endif

namespace pixoran::resample_detail {

// Sets a bitmap's access mode for one scope: sources are only read and
// destinations only written, so temp-file rows skip a useless read or
// write-back.
class PIXORAN_CORE_EXPORT TAccessScope {
 public:
  TAccessScope(TPXBitmap* bitmap, TPXAccessMode mode) : bitmap_(bitmap) {
    if (bitmap_) {
      saved_ = bitmap_->AccessMode;
      bitmap_->AccessMode = mode;
    }
  }
  ~TAccessScope() {
    if (bitmap_) bitmap_->AccessMode = saved_;
  }
  TAccessScope(const TAccessScope&) = delete;
  TAccessScope& operator=(const TAccessScope&) = delete;

 private:
  TPXBitmap* bitmap_;
  TPXAccessMode saved_ = pxaRead | pxaWrite;
};

// Row layouts a reader can deliver.
enum class TRowKind : uint8_t {
  Raw,    // the bitmap's own pixel format, untouched
  Gray8,  // one byte per pixel; 1-bit pixels become 0 or 255
  BGR24,  // three bytes per pixel, converted from any format
};

// Hands out the rows of a source bitmap in one layout. The returned pointer
// stays valid until the next Row call. Conversions (palette lookup, high
// byte of 16-bit grey, clamped float, CMYK, 1-bit expansion) and the grey
// fill under fully transparent pixels happen here on a private row, so the
// caller's bitmap is never changed.
//
// Rows of a bitmap that keeps them in memory or in a platform bitmap are
// looked up in a table made by the constructor; such a reader is Shareable,
// and each band of rows takes a Band copy with its own conversion row, so
// bands read at once without asking the bitmap anything.
class PIXORAN_CORE_EXPORT TRowReader {
 public:
  // fillTransparent: pixels whose alpha is 0 read as grey 128 (24-bit and
  // 8-bit layouts only; 1-bit rows stay as they are).
  TRowReader(TPXBitmap& bitmap, TRowKind kind, bool fillTransparent);
  TRowReader(const TRowReader&) = delete;
  TRowReader& operator=(const TRowReader&) = delete;

  // A reader of the same rows for one band (only of a Shareable reader,
  // and only while this one lives): it sets no access mode of its own.
  std::unique_ptr<TRowReader> Band() const;

  const uint8_t* Row(int32_t y);
  int32_t Width() const { return width_; }
  int32_t Height() const { return height_; }
  // Bytes of pixel data in one delivered row (1-bit rows: whole bytes).
  int64_t RowBytes() const { return rowBytes_; }
  // Pointers from Row stay valid across later Row calls (rows in memory or
  // in a platform bitmap, handed out without conversion).
  bool Stable() const { return stable_; }
  // Rows come from the table: bands may read them from several threads.
  bool Shareable() const { return shareable_; }

 private:
  struct TBandTag {};
  TRowReader(const TRowReader& parent, TBandTag);

  TPXBitmap& bitmap_;
  std::unique_ptr<TAccessScope> scope_;
  TPXBitmap* alpha_ = nullptr;
  std::unique_ptr<TAccessScope> alphaScope_;
  TRowKind kind_;
  TPXPixelFormat format_;
  int32_t width_;
  int32_t height_;
  int32_t alphaWidth_ = 0;
  int32_t alphaHeight_ = 0;
  int64_t rowBytes_ = 0;
  bool direct_ = false;  // rows pass through without conversion
  bool stable_ = false;
  bool shareable_ = false;
  std::shared_ptr<const std::vector<uint8_t*>> rows_, alphaRows_;  // when shareable
  std::array<TBGR, 256> palette_{};
  std::vector<uint8_t> buffer_;
};

// A destination's rows: looked up in a table made on the calling thread when
// they live in memory or a platform bitmap (bands may then write their own
// rows at once), else mapped one at a time through Scanline.
class PIXORAN_CORE_EXPORT TDestRows {
 public:
  explicit TDestRows(TPXBitmap& dest);
  uint8_t* Row(int32_t y) {
    return shareable_ ? (y >= 0 && static_cast<size_t>(y) < rows_.size() ? rows_[static_cast<size_t>(y)] : nullptr)
                      : dest_.Scanline(y);
  }
  bool Shareable() const { return shareable_; }

 private:
  TPXBitmap& dest_;
  std::vector<uint8_t*> rows_;
  bool shareable_ = false;
};

// Work state of the bands of one call (a reader of its own, rings and
// caches of rows keyed by row number), kept when a band ends for the next
// band to take: the one that starts where it ended goes on with the rows it
// already has. With a progress handler on one thread every row is a band of
// its own, so this keeps one thread's work what it was. Any kept state is
// valid for any band, its caches being keyed by row.
template <class T>
class TBandStates {
 public:
  class TLease {
   public:
    TLease(TBandStates& owner, std::unique_ptr<T> state) : owner_(owner), state_(std::move(state)) {}
    ~TLease() {
      try {
        if (state_) owner_.Give(std::move(state_), last_);
      } catch (...) {}  // not kept: the next band makes its own
    }
    TLease(const TLease&) = delete;
    TLease& operator=(const TLease&) = delete;
    T& operator*() { return *state_; }
    T* operator->() { return state_.get(); }
    // The row after the band's last, told to the next band.
    void Ends(int32_t last) { last_ = last; }

   private:
    TBandStates& owner_;
    std::unique_ptr<T> state_;
    int32_t last_ = -1;
  };

  // The state for a band starting at first: the one that ended there, else
  // any kept one, else a new one from make.
  template <class Make>
  TLease Take(int32_t first, const Make& make) {
    {
      std::lock_guard<std::mutex> g(lock_);
      size_t pick = kept_.size();
      for (size_t i = 0; i < kept_.size(); ++i)
        if (kept_[i].Next == first || pick == kept_.size()) pick = i;
      if (pick < kept_.size()) {
        std::unique_ptr<T> s = std::move(kept_[pick].State);
        kept_.erase(kept_.begin() + static_cast<std::ptrdiff_t>(pick));
        return TLease(*this, std::move(s));
      }
    }
    return TLease(*this, make());
  }

 private:
  struct TKept {
    std::unique_ptr<T> State;
    int32_t Next;
  };
  void Give(std::unique_ptr<T> state, int32_t next) {
    std::lock_guard<std::mutex> g(lock_);
    kept_.push_back(TKept{std::move(state), next});
  }

  std::mutex lock_;
  std::vector<TKept> kept_;
};

// Runs band(first, last) over destination rows [0, rows) on the row-band
// pool (serially unless shareable), and tells progress values[j], when
// given, for every row j in order on the calling thread once its band is
// done. bandsPerThread > 0 asks for fewer, larger bands than the pool's
// default, for passes whose bands each fetch rows their neighbours fetch too.
PIXORAN_CORE_EXPORT void ResampleRows(int32_t rows, int64_t pixelsPerRow, bool shareable,
                                      const std::function<void(int32_t first, int32_t last)>& band,
                                      const TPXProgressRec& progress, const std::vector<int32_t>& values,
                                      int32_t bandsPerThread = 0);

// Gives dest the size and pixel format (reallocating only when they differ).
// False when the storage cannot be had; dest is then left as it is or empty.
PIXORAN_CORE_EXPORT bool PrepareDest(TPXBitmap& dest, int32_t width, int32_t height, TPXPixelFormat format);

// Writes one destination row: the first pixelBytes bytes from the caller,
// the padding after them cleared (rows mapped write-only are stored whole).
inline void ClearRowPadding(uint8_t* row, int64_t pixelBytes, int64_t rowLen) {
  if (rowLen > pixelBytes) std::memset(row + pixelBytes, 0, static_cast<size_t>(rowLen - pixelBytes));
}

// Exact floor(n / d) for 0 <= n <= nMax < 2^31 and d >= 1 by one multiply and
// shift: with 2^p >= nMax * d and m = ceil(2^p / d), the error of n * m / 2^p
// stays below 1/d, so the floor is the quotient.
struct PIXORAN_CORE_EXPORT TDivMagic {
  uint64_t M = 1;
  int Shift = 0;
  TDivMagic() = default;
  TDivMagic(uint32_t d, uint32_t nMax) {
    if (d <= 1) return;
    const uint64_t need = static_cast<uint64_t>(nMax == 0 ? 1 : nMax) * d;
    int p = 0;
    while (p < 63 && (uint64_t{1} << p) < need) ++p;
    Shift = p;
    M = ((uint64_t{1} << p) + d - 1) / d;
  }
  uint32_t Div(uint32_t n) const { return static_cast<uint32_t>((n * M) >> Shift); }
};

inline void Report(const TPXProgressRec& progress, int32_t value) { progress.Report(value); }

// Filter routines behind the public entry points. fill: grey under
// transparent pixels (ResampleBitmap's step 1); progress may be empty.
// Kernel two-pass, filters 1-8: any source format read as 24-bit or as
// 8-bit grey (channels 3 or 1); greyTo24 writes one channel as grey triples.
PIXORAN_CORE_EXPORT void KernelResample(TPXBitmap& source, TPXBitmap& dest, TResampleFilter filter, int channels,
                                        bool greyTo24, bool fill, const TPXProgressRec& progress);
// Area-coverage resampler with bilinear or cubic samples, 3 or 1 channels.
PIXORAN_CORE_EXPORT void AreaResample(TPXBitmap& source, TPXBitmap& dest, bool bicubic, int channels, bool fill,
                                      const TPXProgressRec& progress);

}  // namespace pixoran::resample_detail
