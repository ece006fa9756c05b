#pragma once
// A write-only stream that deflates what it is given into another stream
// (zlib format: header, deflate data, Adler-32), in 64 KB blocks.
//
// The data is complete only after Finish, which is where the last blocks
// and any zlib failure come out; the destructor only releases zlib's state
// (a stream dropped without Finish leaves an unfinished zlib stream behind).
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/pxexport.h"
#include "platform/streams.h"

namespace pixoran {

class PIXORAN_VIEW_EXPORT EZLibError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class PIXORAN_VIEW_EXPORT EZCompressionError : public EZLibError {
 public:
  using EZLibError::EZLibError;
};

enum TCompressionLevel : uint8_t { zcNone = 0, zcFastest = 1, zcDefault = 2, zcMax = 3 };

// zlib's message for a result code ("" for 0, "unknown error" outside -6..2).
PIXORAN_VIEW_EXPORT const char* ZErrorMessage(int code);
// Codes below 0 raise EZCompressionError with their message; others return.
PIXORAN_VIEW_EXPORT int ZCheck(int code);

class PIXORAN_VIEW_EXPORT TCustomZStream : public TStream {
 public:
  ~TCustomZStream() override;
  // Fired after each full block went to the target.
  std::function<void(TCustomZStream* sender)> OnProgress;

 protected:
  explicit TCustomZStream(TStream& target);
  void DoProgress() {
    if (OnProgress) OnProgress(this);
  }
  struct TState;  // zlib's stream record, kept out of this header
  static constexpr int kBufferSize = 65536;
  TStream& target_;
  int64_t targetPos_;  // the target's position after our last write
  std::unique_ptr<TState> z_;
  std::unique_ptr<uint8_t[]> buffer_;
};

class PIXORAN_VIEW_EXPORT TZCompressionStream : public TCustomZStream {
 public:
  TZCompressionStream(TCompressionLevel level, TStream& target);
  ~TZCompressionStream() override;

  // Raise "Invalid ZStream operation!".
  int64_t Read(void* buffer, int64_t count) override;
  bool SetSize(int64_t newSize) override;
  // Deflates count bytes; returns count.
  int64_t Write(const void* buffer, int64_t count) override;
  // Only Seek(0, soCurrent): the bytes accepted so far. Anything else raises.
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

  // Ends the zlib stream and writes what is left. Call once, after the
  // last Write; later writes raise.
  void Finish();

 private:
  void FlushBuffer(bool full);
  bool finished_ = false;
  int64_t accepted_ = 0;
};

}  // namespace pixoran
