#pragma once
// Frames of AVI files: a RIFF reader for the first video stream, for DIB
// video (1 to 32 bits, RLE4 and RLE8, the YUV layouts core decodes) and
// MJPEG. Every chunk is checked against the file before it is read.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxutils_bitmap.h"
#include "core/pxdib.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace pixoran {

// Motion JPEG frames leave out the Huffman tables and expect the standard
// ones: a frame that reaches its scan without a DHT segment gets them in
// front of the scan. Other data is left as it is.
PIXORAN_IO_EXPORT void InsertDefaultHuffmanTables(std::vector<uint8_t>& frame);

class PIXORAN_IO_EXPORT TAVIReader {
 public:
  // Reads the headers and the frame index; false when the stream is not an
  // AVI with a video stream this reader can decode, with why in
  // FailureKind and FailureText.
  bool Open(std::unique_ptr<TStream> stream);
  TPXIOResult FailureKind() const { return failureKind_; }
  const std::string& FailureText() const { return failureText_; }
  int32_t FrameCount() const { return static_cast<int32_t>(frames_.size()); }
  uint32_t Scale() const { return scale_; }
  uint32_t Rate() const { return rate_; }
  // Milliseconds per frame: Trunc(1000 x scale / rate); 40 (25 frames a
  // second) when the file gives no rate or scale.
  int32_t FrameDelay() const;
  // Decodes frame (0-based) into bitmap; returns the DIB's bit count, or 0
  // (the reason given through progress) when the frame cannot be read. A run-length frame holds only changes:
  // the reader keeps the last one it decoded and goes on from it when no
  // key frame lies between, so reading frames in order is linear in their
  // number; any other order decodes from the last key frame.
  int32_t ReadFrame(int32_t frame, TPXBitmap& bitmap, TPXProgressRec& progress);

 private:
  struct TFrame {
    int64_t Offset, Size;
    bool Key;
  };
  bool ReadChunkData(const TFrame& f, std::vector<uint8_t>& data);
  bool OpenFailed(TPXIOResult kind, std::string text);
  int32_t FrameFailed(TPXProgressRec& progress, TPXIOResult kind, int32_t frame, const std::string& why);
  void ScanList(int64_t start, int64_t end, int depth, bool inMovi);
  std::unique_ptr<TStream> stream_;
  int64_t fileSize_ = 0;
  uint32_t scale_ = 0, rate_ = 0, length_ = 0;
  int32_t videoStream_ = -1;
  std::vector<uint8_t> format_;  // BITMAPINFOHEADER and palette of the video stream
  TPXBitmapInfoHeader header_;
  std::vector<TFrame> frames_;
  int64_t moviStart_ = -1;
  std::unique_ptr<TPXBitmap> rleLast_;  // the run-length frame decoded last
  int32_t rleLastFrame_ = -1;           // its number; -1 when none is whole
  int32_t streamCount_ = 0;
  bool cut_ = false;  // a chunk ran past its list or the file
  TPXIOResult failureKind_ = iorOk;
  std::string failureText_;
};

}  // namespace pixoran
