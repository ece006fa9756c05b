#pragma once
// Row bands on one process-wide pool. An operation whose rows are
// independent hands a row-range worker to PXParallelRows; the rows are cut
// into bands and worked by the calling thread together with idle pool
// threads. The call returns when every band is done, so the operation still
// runs on its caller's thread from beginning to end.
//
// Rules for a worker: it touches only the rows of its range (its own rows
// of every bitmap it writes), reads shared state that nobody writes while
// the bands run, and uses no temporary-file row: a mapped row of such a
// bitmap is valid only until the next row is mapped, so callers run those
// bitmaps serially (pass serial = true). Lazy state (an alpha channel, a
// row table, a file mapping) is made before the call.
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <vector>

#include "platform/pxexport.h"

namespace pixoran {

class TPXBitmap;

// Threads an operation may use now: PXSettings().ThreadCount, or the
// hardware threads when that is 0 or less. At least 1.
PIXORAN_CORE_EXPORT int32_t PXThreadCount();

// The least pixels a band is given: smaller bands cost more to hand over
// than they save.
constexpr int64_t kPXMinBandPixels = 16384;

// Works rows [first, last).
using TPXRowWorker = std::function<void(int32_t first, int32_t last)>;
// Told, on the calling thread and in row order, that rows [first, last) are
// done. Returning false stops the operation: bands not yet begun are
// skipped.
using TPXRowsDone = std::function<bool(int32_t first, int32_t last)>;

// Runs worker over rows [0, rows) in bands of at least kPXMinBandPixels
// pixels (pixelsPerRow each) on at most PXThreadCount() threads. With one
// thread, serial set, or called from a pool thread (nested), every band runs
// on the calling thread in order; with a done handler a band is then one
// row, so progress is told row by row as before. A pool busy with other
// callers lends only the threads it has free (maybe none): the caller never
// waits for a thread. An exception from the worker or the handler stops the
// bands not yet begun and is raised here once the running ones finish.
// Returns false when the handler stopped the work.
PIXORAN_CORE_EXPORT bool PXParallelRows(int32_t rows, int64_t pixelsPerRow, const TPXRowWorker& worker,
                                        bool serial = false, const TPXRowsDone& done = {});

// True when none of the bitmaps keeps its rows in a temporary file, so
// bands may read and write their rows from several threads at once (a
// nullptr counts as such).
PIXORAN_CORE_EXPORT bool PXRowsShareable(std::initializer_list<TPXBitmap*> bitmaps);

// The bitmap's row pointers, top row first, fetched on the calling thread
// so bands need not ask the bitmap. Empty for a temporary-file bitmap,
// whose rows cannot all be held at once.
PIXORAN_CORE_EXPORT std::vector<uint8_t*> PXRowPointers(TPXBitmap& bitmap);

}  // namespace pixoran
