#pragma once
// Small pieces the format filters share: little-endian fields, a buffered
// byte source bounded by the image's data, row progress, checked writes and
// the copies a writer makes when a bitmap's pixel format does not suit it.
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxutils_bitmap.h"
#include "core/pxmask.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace pixoran {

inline uint16_t GetLE16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t GetLE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}
inline void PutLE16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutLE32(uint8_t* p, uint32_t v) {
  PutLE16(p, v);
  PutLE16(p + 2, v >> 16);
}

// Bytes from the stream's position to its end (never negative).
PIXORAN_IO_EXPORT int64_t StreamBytesLeft(TStream& stream);

// Reports progress before row k of the rows given to progress.Start and
// tells whether to go on.
PIXORAN_IO_EXPORT bool BeginFilterRow(TPXProgressRec& progress, int64_t k);

// No file of these formats describes an image whose rows could not be held:
// a destination row above 64 MB or an image above a terabyte is refused
// before anything is allocated.
PIXORAN_IO_EXPORT bool FilterImageSizeOk(int64_t width, int64_t height, int32_t bitsPerPixel);

// The one check of a declared image size, made before anything is
// allocated for it. format names the format in the failure text ("PNG").
// Refuses, through progress.Fail, a size of 0 or below (iorCorrupt), one
// FilterImageSizeOk refuses (iorTooLarge), and one whose decoded rows
// (CalcRowLen(width, bitsPerPixel) x height bytes) exceed bytesLeft x
// maxExpansion (iorTooLarge): the data left could not produce them at the
// codec's largest expansion. maxExpansion 0 skips that test; a claim of at
// most 65536 pixels always passes it, since a tiny image may come from
// almost no data.
PIXORAN_IO_EXPORT bool CheckDeclaredImage(const char* format, int64_t width, int64_t height, int32_t bitsPerPixel,
                                          int64_t bytesLeft, double maxExpansion, TPXProgressRec& progress);

// A work buffer that must live in memory: refused (iorTooLarge, Aborting
// set) above the codec memory budget, and (iorNoMemory) when the
// allocation hook fails it.
PIXORAN_IO_EXPORT bool CheckWorkBuffer(const char* format, int64_t bytes, TPXProgressRec& progress);

// Why writes to the stream failed, for a result text: "cannot write
// <file>: <system message>" for a file stream, else a plain sentence.
PIXORAN_IO_EXPORT std::string WriteFailureText(TStream& stream);

// Reads a stream through a buffer, never past a limit (the end of the
// image's data). Every read past the limit or the stream's end reports it.
class PIXORAN_IO_EXPORT TPXByteSource {
 public:
  // limit: absolute stream position the data ends at; < 0: the stream's end.
  explicit TPXByteSource(TStream& stream, int64_t limit = -1, int64_t bufferSize = 65536);
  // The next byte, or -1 at the end.
  int Get() {
    if (pos_ == fill_ && !Refill()) return -1;
    return buf_[pos_++];
  }
  // Copies count bytes; false (with what there was copied) at the end.
  bool Read(uint8_t* dest, int64_t count) { return ReadUpTo(dest, count) == count; }
  // Copies up to count bytes; returns how many there were.
  int64_t ReadUpTo(uint8_t* dest, int64_t count);
  bool Skip(int64_t count);
  // The bytes read into the buffer and not yet taken (count of them in n);
  // Skip takes them.
  const uint8_t* Available(int64_t& n) const {
    n = static_cast<int64_t>(fill_ - pos_);
    return buf_.data() + pos_;
  }
  // count contiguous bytes inside the buffer (grown when needed), valid
  // until the next call; nullptr when the data end first.
  const uint8_t* Take(int64_t count) {
    if (static_cast<int64_t>(fill_ - pos_) < count) return TakeSlow(count);
    const uint8_t* p = buf_.data() + pos_;
    pos_ += static_cast<size_t>(count);
    return p;
  }
  // Absolute stream position of the next byte.
  int64_t Position() const { return base_ + static_cast<int64_t>(pos_); }
  int64_t Left() const { return limit_ - Position(); }
  // For a codec that reads the stream itself: Sync puts the stream at this
  // source's position, Reload takes the stream's position (after the codec
  // read) as this source's.
  void Sync() { stream_.SetPosition(Position()); }
  void Reload();
  // Moves to an absolute stream position (within the buffer when it can).
  void SetPosition(int64_t position);
  TStream& Stream() { return stream_; }

 private:
  bool Refill();
  const uint8_t* TakeSlow(int64_t count);
  TStream& stream_;
  int64_t limit_;
  int64_t base_ = 0;  // stream position of buf_[0]
  std::vector<uint8_t> buf_;
  size_t pos_ = 0, fill_ = 0;
};

// Writes through SafeStreamWrite; the first short write sets Aborting.
// format, when given, starts the failure text.
class PIXORAN_IO_EXPORT TPXFilterOut {
 public:
  TPXFilterOut(TStream& stream, TPXProgressRec& progress, const char* format = nullptr)
      : stream_(stream), progress_(progress), format_(format) {}
  bool Put(const void* data, int64_t count);
  bool Failed() const { return error_; }

 private:
  TStream& stream_;
  TPXProgressRec& progress_;
  const char* format_;
  bool error_ = false;
};

// Records a caught exception's kind and message through progress.Fail.
PIXORAN_IO_EXPORT void FailFromException(TPXProgressRec& progress, std::exception_ptr error,
                                         const char* format = nullptr);

// Runs the body of a filter: nothing when Aborting is already set, and
// whatever the body throws (storage, stream or codec errors) is reported on
// the flag, as filters report every failure.
// format, when given, starts the failure text.
template <class TBody>
void RunFilter(TPXProgressRec& progress, TBody&& body, const char* format = nullptr) {
  if (progress.Aborted()) return;
  try {
    body();
  } catch (...) {
    FailFromException(progress, std::current_exception(), format);
  }
}

// The transparency mask of a reader: created in the holder when empty, 8
// bits of the image's size, all 255 (opaque) and marked not empty; nullptr
// when its storage cannot be had.
PIXORAN_IO_EXPORT TPXMask* OpaqueMask(std::unique_ptr<TPXMask>& mask, int32_t width, int32_t height);
PIXORAN_IO_EXPORT bool MakeOpaqueMask(TPXMask& mask, int32_t width, int32_t height);

// An 8-bit mask's values into an alpha bitmap (pxGray8) of its size, for
// callers that take transparency as a bitmap; false when it cannot be had.
PIXORAN_IO_EXPORT bool MaskToAlphaBitmap(TPXMask& mask, TPXBitmap& alpha);

// An alpha bitmap (pxGray8) as a mask of its size; false for another
// format or when the storage cannot be had.
PIXORAN_IO_EXPORT bool AlphaBitmapToMask(TPXBitmap& alpha, TPXMask& mask);

// A copy of the source's pixels (no alpha channel) in another pixel format,
// converted by the library's own rules; it keeps the caller's choice of
// dither or threshold for a reduction to 1 bit. Raises EPXBitmapError when
// storage cannot be had.
PIXORAN_IO_EXPORT std::unique_ptr<TPXBitmap> ConvertedCopy(TPXBitmap& source, TPXPixelFormat format);

// The 1-bit rows a writer stores for source: the source itself when it is
// pxBW1, its two colours as a mask when it holds exactly two (color0 the
// darker, clear bits; color1 set bits), else a copy reduced to black and
// white. work keeps whatever copy was made.
PIXORAN_IO_EXPORT TPXBitmap& OneBitRows(TPXBitmap& source, std::unique_ptr<TPXBitmap>& work, TBGR& color0,
                                        TBGR& color1);

}  // namespace pixoran
