#include "core/pxprogress.h"

#include "core/kopxutils_helpers.h"

namespace pixoran {

void TPXProgressRec::Start(int64_t rows) {
  Per = rows > 0 ? 100.0 / static_cast<double>(rows) : 0.0;
  RowsDone = 0;
}

void TPXProgressRec::Advance(int32_t rows) {
  RowsDone += rows;
  if (OnProgress) Report(TruncToInt32(RowsDone * Per));
}

void TPXProgressRec::Report(int percent) const {
  if (!OnProgress) return;
  if (percent < 0) percent = 0;
  if (percent > 100) percent = 100;
  OnProgress(Sender, percent);
}

}  // namespace pixoran
