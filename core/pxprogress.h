#pragma once
// Progress and cancellation record shared by the core routines, the format
// filters and the processing component.
#include <atomic>
#include <cstdint>
#include <functional>

#include "platform/classes.h"

namespace pixoran {

using TPXProgressEvent = std::function<void(TObject* sender, int percent)>;

struct TPXProgressRec {
  TPXProgressEvent OnProgress;            // called only when set
  TObject* Sender = nullptr;              // first argument of OnProgress
  int32_t RowsDone = 0;                   // rows or strips processed so far
  double Per = 0.0;                       // 100 / rows to process
  std::atomic<bool>* Aborting = nullptr;  // the caller's cancel and failure flag

  // Per := 100 / rows (0 when there are no rows), RowsDone := 0.
  void Start(int64_t rows);
  // RowsDone += rows, then reports Trunc(RowsDone * Per), kept in 0..100.
  void Advance(int32_t rows = 1);
  // Reports a percentage (kept in 0..100) when a handler is set.
  void Report(int percent) const;
  bool Aborted() const { return Aborting != nullptr && Aborting->load(std::memory_order_relaxed); }
  void Abort() const {
    if (Aborting) Aborting->store(true);
  }
};

}  // namespace pixoran
