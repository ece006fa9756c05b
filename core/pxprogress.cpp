#include "core/pxprogress.h"

#include <new>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "platform/streams.h"

namespace pixoran {

const char* IOResultName(TPXIOResult kind) {
  switch (kind) {
    case iorOk: return "no error";
    case iorCancelled: return "cancelled";
    case iorNotFound: return "not found";
    case iorUnknownFormat: return "unknown format";
    case iorCorrupt: return "corrupt data";
    case iorTooLarge: return "too large";
    case iorNoMemory: return "out of memory";
    case iorWriteFailed: return "write failed";
    case iorUnsupported: return "unsupported feature";
    case iorFailed: return "failed";
  }
  return "failed";
}

void TPXIOResultRec::Set(TPXIOResult kind, std::string text) {
  if (Kind != iorOk || kind == iorOk) return;
  Kind = kind;
  Text = text.empty() ? std::string(IOResultName(kind)) : std::move(text);
}

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

void TPXProgressRec::Fail(TPXIOResult kind, std::string text) const {
  if (Aborted() && (Result == nullptr || Result->Kind == iorOk)) return;
  if (Result) Result->Set(kind, std::move(text));
  Abort();
}

void TPXProgressRec::Note(TPXIOResult kind, std::string text) const {
  if (Result) Result->Set(kind, std::move(text));
}

void FailOperation(TPXIOResultRec& result, std::atomic<bool>& aborting, bool cancelRequested, TPXIOResult kind,
                   std::string text) {
  if (!(aborting && cancelRequested)) result.Set(kind, std::move(text));
  aborting = true;
}

void FailOperation(TPXIOResultRec& result, std::atomic<bool>& aborting, bool cancelRequested,
                   std::exception_ptr error) {
  std::string text;
  const TPXIOResult kind = IOResultOfException(error, text);
  FailOperation(result, aborting, cancelRequested, kind, std::move(text));
}

void SettleOperation(TPXIOResultRec& result, bool aborting, bool cancelRequested) {
  if (!aborting) return;
  if (cancelRequested && (result.Kind == iorOk || result.Kind == iorFailed)) {
    result.Reset();
    result.Set(iorCancelled, "cancelled by the caller");
  } else {
    result.Set(iorFailed, "the operation failed without a reason given");
  }
}

TPXIOResult IOResultOfException(std::exception_ptr error, std::string& text) {
  text.clear();
  if (!error) return iorFailed;
  try {
    std::rethrow_exception(error);
  } catch (const std::bad_alloc&) {
    text = "out of memory";
    return iorNoMemory;
  } catch (const EFOpenError& e) {
    text = e.what();
    return iorNotFound;
  } catch (const EFCreateError& e) {
    text = e.what();
    return iorWriteFailed;
  } catch (const EWriteError& e) {
    text = e.what();
    return iorWriteFailed;
  } catch (const EReadError& e) {
    text = e.what();
    return iorCorrupt;
  } catch (const EPXStorageError& e) {
    text = e.what();
    return iorWriteFailed;
  } catch (const EPXBitmapError& e) {
    // Storage that cannot be had is memory; a refused pixel format is not.
    text = e.what();
    return text.find("storage") != std::string::npos ? iorNoMemory : iorFailed;
  } catch (const std::exception& e) {
    text = e.what();
    return iorFailed;
  } catch (...) {
    return iorFailed;
  }
}

}  // namespace pixoran
