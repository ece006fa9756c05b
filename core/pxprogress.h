#pragma once
// Progress and cancellation record shared by the core routines, the format
// filters and the processing component, and the reason an I/O operation
// ended the way it did.
#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>

#include "platform/pxexport.h"
#include "platform/classes.h"

namespace pixoran {

using TPXProgressEvent = std::function<void(TObject* sender, int percent)>;

// Why a load, save or parameter read ended: the Aborting flag says that it
// failed, this says why.
enum TPXIOResult : uint8_t {
  iorOk = 0,
  iorCancelled,      // the caller set Aborting
  iorNotFound,       // the file or web address could not be opened
  iorUnknownFormat,  // no reader or writer for the extension, type or content
  iorCorrupt,        // the data breaks its format: truncated, bad markers, impossible fields
  iorTooLarge,       // a size beyond what memory or the format allows
  iorNoMemory,       // an allocation failed
  iorWriteFailed,    // the target or a temporary file could not be written
  iorUnsupported,    // a valid file using a feature this library does not read
  iorFailed,         // Aborting set with no reason given
};

// A short English name of a result kind ("corrupt data", ...).
PIXORAN_CORE_EXPORT const char* IOResultName(TPXIOResult kind);

// The reason recorded for one operation: the first one given wins, since
// the site nearest the fault reports before the layers around it.
struct PIXORAN_CORE_EXPORT TPXIOResultRec {
  TPXIOResult Kind = iorOk;
  std::string Text;
  void Reset() {
    Kind = iorOk;
    Text.clear();
  }
  // Records kind and text unless a reason is already recorded.
  void Set(TPXIOResult kind, std::string text);
};

struct PIXORAN_CORE_EXPORT TPXProgressRec {
  TPXProgressEvent OnProgress;            // called only when set
  TObject* Sender = nullptr;              // first argument of OnProgress
  int32_t RowsDone = 0;                   // rows or strips processed so far
  double Per = 0.0;                       // 100 / rows to process
  std::atomic<bool>* Aborting = nullptr;  // the caller's cancel and failure flag
  TPXIOResultRec* Result = nullptr;       // where a reader or writer tells why it failed

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
  // Records why the operation failed and sets Aborting. A failure seen
  // after the caller cancelled is the cancel's doing: it records nothing.
  void Fail(TPXIOResult kind, std::string text) const;
  // Records a fault that leaves a usable partial result (a truncated image
  // a reader keeps): Aborting stays as it is.
  void Note(TPXIOResult kind, std::string text) const;
};

// The two ends of an I/O operation, for the components that run one. A
// failure records its reason and sets aborting, unless the caller's cancel
// already ended the operation (then the failure is the cancel's doing); at
// the end a cancel is iorCancelled and a failure with no reason iorFailed.
PIXORAN_CORE_EXPORT void FailOperation(TPXIOResultRec& result, std::atomic<bool>& aborting, bool cancelRequested,
                                       TPXIOResult kind, std::string text);
PIXORAN_CORE_EXPORT void FailOperation(TPXIOResultRec& result, std::atomic<bool>& aborting, bool cancelRequested,
                                       std::exception_ptr error);
PIXORAN_CORE_EXPORT void SettleOperation(TPXIOResultRec& result, bool aborting, bool cancelRequested);

// The result kind of an exception caught around a filter or an operation:
// an allocation failure is iorNoMemory, a file that cannot be opened
// iorNotFound, one that cannot be created or written iorWriteFailed, a
// bitmap's temporary storage that cannot be had iorNoMemory; anything else
// iorFailed. text receives the exception's message.
PIXORAN_CORE_EXPORT TPXIOResult IOResultOfException(std::exception_ptr error, std::string& text);

}  // namespace pixoran
