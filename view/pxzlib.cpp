#include "view/pxzlib.h"

#include <zlib.h>

#include <algorithm>
#include <climits>

namespace pixoran {

namespace {
constexpr const char* kInvalidOp = "Invalid ZStream operation!";
}

struct TCustomZStream::TState {
  z_stream Z{};
  bool Initialised = false;
};

const char* ZErrorMessage(int code) {
  switch (code) {
    case 2: return "need dictionary";
    case 1: return "stream end";
    case 0: return "";
    case -1: return "file error";
    case -2: return "stream error";
    case -3: return "data error";
    case -4: return "insufficient memory";
    case -5: return "buffer error";
    case -6: return "incompatible version";
    default: return "unknown error";
  }
}

int ZCheck(int code) {
  if (code < 0) throw EZCompressionError(ZErrorMessage(code));
  return code;
}

TCustomZStream::TCustomZStream(TStream& target)
    : target_(target),
      targetPos_(target.Position()),
      z_(std::make_unique<TState>()),
      buffer_(std::make_unique<uint8_t[]>(kBufferSize)) {
  z_->Z.next_out = buffer_.get();
  z_->Z.avail_out = kBufferSize;
}

TCustomZStream::~TCustomZStream() = default;

TZCompressionStream::TZCompressionStream(TCompressionLevel level, TStream& target) : TCustomZStream(target) {
  static constexpr int kLevels[] = {0, 1, Z_DEFAULT_COMPRESSION, 9};
  const int zl = kLevels[std::min<int>(level, zcMax)];
  ZCheck(deflateInit2(&z_->Z, zl, Z_DEFLATED, 15, 8, Z_DEFAULT_STRATEGY));
  z_->Initialised = true;
}

TZCompressionStream::~TZCompressionStream() {
  // Nothing that can fail here: zlib's state is released, nothing written.
  if (z_->Initialised) deflateEnd(&z_->Z);
}

int64_t TZCompressionStream::Read(void*, int64_t) { throw EZCompressionError(kInvalidOp); }

bool TZCompressionStream::SetSize(int64_t) { throw EZCompressionError(kInvalidOp); }

int64_t TZCompressionStream::Seek(int64_t offset, TSeekOrigin origin) {
  if (offset == 0 && origin == TSeekOrigin::soCurrent) return accepted_;
  throw EZCompressionError(kInvalidOp);
}

void TZCompressionStream::FlushBuffer(bool full) {
  const int64_t used = kBufferSize - static_cast<int64_t>(z_->Z.avail_out);
  if (used > 0) target_.WriteBuffer(buffer_.get(), used);
  z_->Z.next_out = buffer_.get();
  z_->Z.avail_out = kBufferSize;
  targetPos_ = target_.Position();
  if (full) DoProgress();
}

int64_t TZCompressionStream::Write(const void* buffer, int64_t count) {
  if (finished_) throw EZCompressionError(kInvalidOp);
  if (count <= 0) return 0;
  if (target_.Position() != targetPos_) target_.SetPosition(targetPos_);
  const auto* in = static_cast<const uint8_t*>(buffer);
  int64_t left = count;
  while (left > 0) {
    const uInt chunk = static_cast<uInt>(std::min<int64_t>(left, UINT_MAX / 2));
    z_->Z.next_in = const_cast<Bytef*>(in);
    z_->Z.avail_in = chunk;
    while (z_->Z.avail_in > 0) {
      ZCheck(deflate(&z_->Z, Z_NO_FLUSH));
      if (z_->Z.avail_out == 0) FlushBuffer(true);
    }
    in += chunk;
    left -= chunk;
  }
  accepted_ += count;
  return count;
}

void TZCompressionStream::Finish() {
  if (finished_) return;
  finished_ = true;
  z_->Z.next_in = nullptr;
  z_->Z.avail_in = 0;
  if (target_.Position() != targetPos_) target_.SetPosition(targetPos_);
  for (;;) {
    const int r = ZCheck(deflate(&z_->Z, Z_FINISH));
    if (r == Z_STREAM_END) break;
    FlushBuffer(z_->Z.avail_out == 0);
  }
  FlushBuffer(false);
  deflateEnd(&z_->Z);
  z_->Initialised = false;
}

}  // namespace pixoran
