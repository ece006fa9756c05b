#include "io/pxfiltutil.h"

#include <algorithm>
#include <cstring>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"

namespace pixoran {

namespace {
constexpr int64_t kMaxDestRowBytes = int64_t{64} << 20;
constexpr int64_t kMaxDestImageBytes = int64_t{1} << 40;
}  // namespace

int64_t StreamBytesLeft(TStream& stream) {
  const int64_t left = stream.Size() - stream.Position();
  return left > 0 ? left : 0;
}

bool BeginFilterRow(TPXProgressRec& progress, int64_t k) {
  progress.RowsDone = static_cast<int32_t>(k);
  if (progress.OnProgress) progress.Report(TruncToInt32(static_cast<double>(k) * progress.Per));
  return !progress.Aborted();
}

bool FilterImageSizeOk(int64_t width, int64_t height, int32_t bitsPerPixel) {
  if (width <= 0 || height <= 0 || width > INT32_MAX || height > INT32_MAX) return false;
  const int64_t row = CalcRowLen(width, bitsPerPixel);
  return row > 0 && row <= kMaxDestRowBytes && row * height <= kMaxDestImageBytes;
}

bool CheckDeclaredImage(const char* format, int64_t width, int64_t height, int32_t bitsPerPixel, int64_t bytesLeft,
                        double maxExpansion, TPXProgressRec& progress) {
  const std::string name = format ? std::string(format) + ": " : std::string();
  const std::string size = std::to_string(width) + " x " + std::to_string(height);
  if (width <= 0 || height <= 0) {
    progress.Fail(iorCorrupt, name + "impossible image size " + size);
    return false;
  }
  if (!FilterImageSizeOk(width, height, bitsPerPixel)) {
    progress.Fail(iorTooLarge, name + "image size " + size + " is beyond what can be held");
    return false;
  }
  if (maxExpansion > 0 && width * height > 65536) {
    const double decoded = static_cast<double>(CalcRowLen(width, bitsPerPixel)) * static_cast<double>(height);
    if (decoded > static_cast<double>(std::max<int64_t>(bytesLeft, 0)) * maxExpansion) {
      progress.Fail(iorTooLarge,
                    name + "image size " + size + " claimed by only " + std::to_string(bytesLeft) + " bytes of data");
      return false;
    }
  }
  return true;
}

bool CheckWorkBuffer(const char* format, int64_t bytes, TPXProgressRec& progress) {
  // One of the library's allocation points: the buffer follows this check.
  const bool refused = PXAllocationFails();
  if (!refused && bytes >= 0 && bytes <= CodecMemoryLimit()) return true;
  const std::string name = format ? std::string(format) + ": " : std::string();
  if (refused) {
    progress.Fail(iorNoMemory, name + "no memory for a work buffer of " + std::to_string(bytes) + " bytes");
    return false;
  }
  progress.Fail(iorTooLarge, name + "a work buffer of " + std::to_string(bytes) + " bytes exceeds the memory budget");
  return false;
}

std::string WriteFailureText(TStream& stream) {
  if (auto* file = dynamic_cast<TFileStream*>(&stream)) {
    const int error = file->LastWriteError();
    return "cannot write " + file->FileName() + ": " + (error != 0 ? std::strerror(error) : "short write");
  }
  return "cannot write to the output stream";
}

void FailFromException(TPXProgressRec& progress, std::exception_ptr error, const char* format) {
  std::string text;
  const TPXIOResult kind = IOResultOfException(error, text);
  if (format) text = std::string(format) + ": " + text;
  progress.Fail(kind, std::move(text));
}

TPXByteSource::TPXByteSource(TStream& stream, int64_t limit, int64_t bufferSize)
    : stream_(stream), base_(stream.Position()) {
  const int64_t end = stream.Size();
  limit_ = (limit < 0 || limit > end) ? end : limit;
  if (limit_ < base_) limit_ = base_;
  buf_.resize(static_cast<size_t>(std::clamp<int64_t>(std::min(bufferSize, limit_ - base_), 1, bufferSize)));
}

bool TPXByteSource::Refill() {
  base_ += static_cast<int64_t>(fill_);
  pos_ = fill_ = 0;
  const int64_t want = std::min<int64_t>(static_cast<int64_t>(buf_.size()), limit_ - base_);
  if (want <= 0) return false;
  stream_.SetPosition(base_);
  const int64_t got = stream_.Read(buf_.data(), want);
  if (got <= 0) return false;
  fill_ = static_cast<size_t>(got);
  return true;
}

const uint8_t* TPXByteSource::TakeSlow(int64_t count) {
  if (count <= 0 || count > limit_ - Position()) return nullptr;
  // Keep the unread bytes, at the front of a buffer large enough for count.
  const size_t kept = fill_ - pos_;
  std::memmove(buf_.data(), buf_.data() + pos_, kept);
  base_ += static_cast<int64_t>(pos_);
  pos_ = 0;
  fill_ = kept;
  if (buf_.size() < static_cast<size_t>(count)) buf_.resize(static_cast<size_t>(count));
  while (static_cast<int64_t>(fill_) < count) {
    const int64_t at = base_ + static_cast<int64_t>(fill_);
    const int64_t want = std::min<int64_t>(static_cast<int64_t>(buf_.size() - fill_), limit_ - at);
    stream_.SetPosition(at);
    const int64_t got = want > 0 ? stream_.Read(buf_.data() + fill_, want) : 0;
    if (got <= 0) return nullptr;
    fill_ += static_cast<size_t>(got);
  }
  pos_ = static_cast<size_t>(count);
  return buf_.data();
}

void TPXByteSource::Reload() {
  base_ = stream_.Position();
  pos_ = fill_ = 0;
  if (limit_ < base_) limit_ = base_;
}

void TPXByteSource::SetPosition(int64_t position) {
  if (position >= base_ && position <= base_ + static_cast<int64_t>(fill_)) {
    pos_ = static_cast<size_t>(position - base_);
    return;
  }
  base_ = position;
  pos_ = fill_ = 0;
}

int64_t TPXByteSource::ReadUpTo(uint8_t* dest, int64_t count) {
  int64_t done = 0;
  while (count > 0) {
    if (pos_ == fill_ && !Refill()) break;
    const int64_t n = std::min<int64_t>(count, static_cast<int64_t>(fill_ - pos_));
    std::memcpy(dest, buf_.data() + pos_, static_cast<size_t>(n));
    pos_ += static_cast<size_t>(n);
    dest += n;
    count -= n;
    done += n;
  }
  return done;
}

bool TPXByteSource::Skip(int64_t count) {
  if (count <= 0) return true;
  if (count <= static_cast<int64_t>(fill_ - pos_)) {
    pos_ += static_cast<size_t>(count);
    return true;
  }
  // Past the buffer: moved over without reading.
  const int64_t to = Position() + count;
  SetPosition(std::min(to, limit_));
  return to <= limit_;
}

bool TPXFilterOut::Put(const void* data, int64_t count) {
  if (error_) return false;
  SafeStreamWrite(stream_, error_, data, count);
  if (error_) progress_.Fail(iorWriteFailed, (format_ ? std::string(format_) + ": " : "") + WriteFailureText(stream_));
  return !error_;
}

bool MakeOpaqueMask(TPXMask& mask, int32_t width, int32_t height) {
  if (!mask.Allocate(width, height, 8)) return false;
  mask.Fill(255);
  mask.X1 = 0, mask.Y1 = 0, mask.X2 = width - 1, mask.Y2 = height - 1;
  return true;
}

TPXMask* OpaqueMask(std::unique_ptr<TPXMask>& mask, int32_t width, int32_t height) {
  if (!mask) mask = std::make_unique<TPXMask>();
  return MakeOpaqueMask(*mask, width, height) ? mask.get() : nullptr;
}

bool MaskToAlphaBitmap(TPXMask& mask, TPXBitmap& alpha) {
  const int32_t w = mask.Width(), h = mask.Height();
  if (mask.BitsPerPixel() != 8 || w <= 0 || h <= 0 || !alpha.Allocate(w, h, pxGray8)) return false;
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* d = alpha.Scanline(y);
    if (!d) return false;
    std::memcpy(d, mask.GetRowPointer(y), static_cast<size_t>(w));
  }
  alpha.SyncFull();
  return true;
}

bool AlphaBitmapToMask(TPXBitmap& alpha, TPXMask& mask) {
  const int32_t w = alpha.Width(), h = alpha.Height();
  if (alpha.PixelFormat() != pxGray8 || !MakeOpaqueMask(mask, w, h)) return false;
  for (int32_t y = 0; y < h; ++y) {
    const uint8_t* a = alpha.Scanline(y);
    if (!a) return false;
    std::memcpy(mask.GetRowPointer(y), a, static_cast<size_t>(w));
  }
  mask.SyncFull();
  return true;
}

std::unique_ptr<TPXBitmap> ConvertedCopy(TPXBitmap& source, TPXPixelFormat format) {
  auto copy = std::make_unique<TPXBitmap>();
  copy->CopyPixelsFrom(source);
  copy->BWConversion = source.BWConversion;
  if (copy->PixelFormat() != format) copy->SetPixelFormat(format);
  if (copy->PixelFormat() != format) throw EPXBitmapError("Cannot convert the image");
  return copy;
}

TPXBitmap& OneBitRows(TPXBitmap& source, std::unique_ptr<TPXBitmap>& work, TBGR& color0, TBGR& color1) {
  color0 = TBGR{0, 0, 0};
  color1 = TBGR{255, 255, 255};
  if (source.PixelFormat() == pxBW1) return source;
  std::unique_ptr<TPXBitmap> rgb;
  TPXBitmap* colours = &source;
  if (source.PixelFormat() != pxBGR24) {
    rgb = ConvertedCopy(source, pxBGR24);
    colours = rgb.get();
  }
  TBGR c0{}, c1{};
  if ((work = ExtractTwoColorMask(*colours, c0, c1))) {
    color0 = c0;
    color1 = c1;
    return *work;
  }
  work = rgb ? std::move(rgb) : ConvertedCopy(source, pxBGR24);
  work->SetPixelFormat(pxBW1);
  return *work;
}

}  // namespace pixoran
