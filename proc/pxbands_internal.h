#pragma once
// Row bands for the processing operations (core/pxpool.h).
//
// An operation still runs on its caller's thread and returns when it is
// done, but while it runs the rows of its bitmaps are worked by several
// threads at once, each on rows of its own: a bitmap is no longer used by
// one thread at a time, nor is the work confined to the thread that called.
// What makes that safe: row pointers are fetched before the bands start,
// lazy state (an alpha channel, its Full flag) is made before them too, and
// a bitmap whose rows live in a temporary file is worked on the calling
// thread alone, one mapped row at a time.
#include <cstdint>
#include <functional>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/pxpool.h"

namespace pixoran {

// A bitmap's rows as bands reach them: pointers taken up front when its rows
// can be held at once, else asked of the bitmap row by row (Serial() is then
// true and the bands must run on the calling thread).
class TPXBandRows {
 public:
  explicit TPXBandRows(TPXBitmap& bitmap)
      : bitmap_(&bitmap), serial_(!PXRowsShareable({&bitmap})), rows_(PXRowPointers(bitmap)) {}
  bool Serial() const { return serial_; }
  uint8_t* operator[](int32_t y) const { return serial_ ? bitmap_->Scanline(y) : rows_[static_cast<size_t>(y)]; }

 private:
  TPXBitmap* bitmap_;
  bool serial_;
  std::vector<uint8_t*> rows_;
};

// Called on the calling thread with the count of rows done, for every row
// in order (1..rows).
using TPXRowReport = std::function<void(int32_t done)>;

// PXParallelRows over rows [0, rows), with report (when set) told every
// row's count in order on the calling thread.
inline void PXProcRows(int32_t rows, int64_t pixelsPerRow, bool serial, const TPXRowWorker& worker,
                       const TPXRowReport& report = {}) {
  TPXRowsDone done;
  if (report)
    done = [&report](int32_t first, int32_t last) {
      for (int32_t y = first; y < last; ++y) report(y + 1);
      return true;
    };
  PXParallelRows(rows, pixelsPerRow, worker, serial, done);
}

}  // namespace pixoran
