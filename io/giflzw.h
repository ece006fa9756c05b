#pragma once
// The LZW coding of GIF image data: the minimum-code-size byte, the data
// sub-blocks and their terminator, to and from a buffer of colour indices
// (one byte per pixel, rows in image order; the codec alone deals with the
// interlaced row order). These are the default values of the process-wide
// GIF codec hooks.
#include <cstdint>
#include <vector>

#include "platform/streams.h"

namespace pixoran {

// Fills the width x height buffer from the data at the stream's position.
// Success leaves the stream after the block terminator; failure (a minimum
// code size outside 2..9, a code beyond the next free code, data cut off by
// the end of the stream, an end code right after a clear code with bytes
// left) puts it back where the call began, the buffer holding what was
// decoded. Data that ends early leaves the rest of the buffer as it was.
void GIFLZWDecompress(TStream& stream, int32_t height, int32_t width, uint8_t* buffer, bool interlaced);

// Writes the minimum code size (bits per pixel, kept in 2..8), the data
// sub-blocks and the terminator at the stream's position. Short writes are
// the caller's to notice.
void GIFLZWCompress(TStream& stream, int32_t height, int32_t width, bool interlaced, const uint8_t* buffer,
                    int32_t bitsPerPixel);

// Rows of an image of the given height in the order GIF stores them: image
// order, or the four interlace passes (rows 0, 8, ...; 4, 12, ...; 2, 6, ...;
// 1, 3, ...).
class TGIFRowOrder {
 public:
  TGIFRowOrder(int32_t height, bool interlaced);
  // The current row, or -1 once every row was visited.
  int32_t Row() const { return row_; }
  void Next();

 private:
  void SkipEmptyPasses();
  int32_t height_;
  bool interlaced_;
  int32_t pass_ = 0;
  int32_t row_ = 0;
};

// Reads a stream through a block buffer, so that walking many small GIF
// blocks costs no call into the stream per byte. The stream's own position
// is left wherever the buffer took it: Sync puts it at this reader's
// position (before a hook reads from it), Reload takes the stream's position
// as this reader's (after one did).
class TGIFByteReader {
 public:
  explicit TGIFByteReader(TStream& stream);
  // The next byte, or -1 at the end of the stream.
  int ReadByte() {
    if (index_ == length_ && !Fill()) return -1;
    return buffer_[index_++];
  }
  // Reads up to count bytes; returns how many were read.
  int64_t Read(void* dest, int64_t count);
  // True only when all count bytes were read.
  bool ReadExact(void* dest, int64_t count) { return Read(dest, count) == count; }
  // Moves ahead count bytes (possibly past the end, where reads find nothing).
  void Skip(int64_t count);
  int64_t Position() const { return start_ + static_cast<int64_t>(index_); }
  void Sync() { stream_.SetPosition(Position()); }
  void Reload();
  TStream& Stream() { return stream_; }

 private:
  bool Fill();
  TStream& stream_;
  std::vector<uint8_t> buffer_;
  int64_t start_ = 0;  // stream position of buffer_[0]
  size_t index_ = 0;
  size_t length_ = 0;
};

}  // namespace pixoran
