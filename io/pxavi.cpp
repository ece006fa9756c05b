#include "io/pxavi.h"

#include <algorithm>
#include <cstring>

#include "io/bmpfilt.h"
#include "io/jpegfilt.h"
#include "io/pixoranio_params.h"

namespace pixoran {

namespace {
uint32_t U32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
bool Is(const uint8_t* p, const char* id) { return std::memcmp(p, id, 4) == 0; }
constexpr uint32_t kAviKeyFrame = 0x10;
constexpr int64_t kMaxFormatSize = 65536;
}  // namespace

int32_t TAVIReader::FrameDelay() const {
  if (rate_ == 0) return 0;
  return static_cast<int32_t>(std::min<uint64_t>(uint64_t{1000} * scale_ / rate_, INT32_MAX));
}

void TAVIReader::ScanList(int64_t pos, int64_t end, int depth, bool inMovi) {
  uint8_t h[12];
  bool videoStrl = false;
  while (pos + 8 <= end && frames_.size() < 10000000) {
    if (stream_->Seek(pos, TSeekOrigin::soBeginning) != pos || !stream_->ReadExact(h, 8)) return;
    const int64_t size = U32(h + 4), data = pos + 8;
    if (size > end - data) return;  // a chunk past its list or the file ends the scan
    if (Is(h, "LIST")) {
      if (size >= 4 && depth < 4 && stream_->ReadExact(h + 8, 4)) {
        if (Is(h + 8, "movi")) {
          moviStart_ = data;
          ScanList(data + 4, data + size, depth + 1, true);
        } else if (Is(h + 8, "hdrl") || Is(h + 8, "strl") || Is(h + 8, "rec ")) {
          ScanList(data + 4, data + size, depth + 1, inMovi);
        }
      }
    } else if (inMovi) {
      const int n = videoStream_;
      if (n >= 0 && n < 100 && h[0] == '0' + n / 10 && h[1] == '0' + n % 10 && h[2] == 'd' &&
          (h[3] == 'b' || h[3] == 'c'))
        frames_.push_back({data, size, frames_.empty()});
    } else if (Is(h, "strh")) {
      uint8_t s[36];
      if (size >= 36 && stream_->ReadExact(s, 36) && Is(s, "vids") && videoStream_ < 0) {
        videoStream_ = streamCount_;
        scale_ = U32(s + 20), rate_ = U32(s + 24), length_ = U32(s + 32);
        videoStrl = true;
      }
      ++streamCount_;
    } else if (Is(h, "strf") && videoStrl && format_.empty()) {
      if (size < kBitmapInfoHeaderSize || size > kMaxFormatSize) return;
      format_.resize(static_cast<size_t>(size));
      if (!stream_->ReadExact(format_.data(), size)) format_.clear();
    } else if (Is(h, "idx1") && moviStart_ >= 0) {
      // Key-frame flags of the video chunks, in their order.
      const int64_t entries = size / 16;
      std::vector<uint8_t> idx(static_cast<size_t>(std::min<int64_t>(entries, 4000000) * 16));
      if (stream_->ReadExact(idx.data(), static_cast<int64_t>(idx.size()))) {
        size_t k = 0;
        for (size_t i = 0; i + 16 <= idx.size() && k < frames_.size(); i += 16) {
          const uint8_t* e = idx.data() + i;
          const int n = videoStream_;
          if (e[0] == '0' + n / 10 && e[1] == '0' + n % 10 && e[2] == 'd' && (e[3] == 'b' || e[3] == 'c'))
          {
            frames_[k].Key = (U32(e + 4) & kAviKeyFrame) != 0 || k == 0;
            ++k;
          }
        }
      }
    }
    pos = data + size + (size & 1);
  }
}

bool TAVIReader::Open(std::unique_ptr<TStream> stream) {
  stream_ = std::move(stream);
  frames_.clear();
  format_.clear();
  videoStream_ = -1, streamCount_ = 0, moviStart_ = -1;
  if (!stream_) return false;
  fileSize_ = stream_->Size();
  uint8_t h[12];
  if (fileSize_ < 12 || stream_->Seek(0, TSeekOrigin::soBeginning) != 0 || !stream_->ReadExact(h, 12) ||
      !Is(h, "RIFF") || !Is(h + 8, "AVI "))
    return false;
  ScanList(12, std::min<int64_t>(fileSize_, int64_t{8} + U32(h + 4)), 0, false);
  if (videoStream_ < 0 || format_.empty() || !ReadBitmapInfoHeader(format_.data(), static_cast<int64_t>(format_.size()), header_))
    return false;
  if (header_.biWidth <= 0 || header_.biHeight == 0 || header_.biHeight == INT32_MIN || header_.biWidth > 65535 ||
      std::abs(header_.biHeight) > 65535)
    return false;
  if (length_ > 0 && frames_.size() > length_) frames_.resize(length_);
  return !frames_.empty();
}

bool TAVIReader::ReadChunkData(const TFrame& f, std::vector<uint8_t>& data) {
  if (f.Offset < 0 || f.Size < 0 || f.Size > fileSize_ - f.Offset) return false;
  data.resize(static_cast<size_t>(f.Size));
  return stream_->Seek(f.Offset, TSeekOrigin::soBeginning) == f.Offset && stream_->ReadExact(data.data(), f.Size);
}

int32_t TAVIReader::ReadFrame(int32_t frame, TPXBitmap& bitmap, TPXProgressRec& progress) {
  if (frame < 0 || frame >= FrameCount()) return 0;
  std::vector<uint8_t> data;
  const uint32_t comp = header_.biCompression;
  if (comp == kBiRLE8 || comp == kBiRLE4) {
    // A run-length frame holds only the changes: decode from the last key frame on.
    int32_t first = frame;
    while (first > 0 && !frames_[static_cast<size_t>(first)].Key) --first;
    TBGR palette[256] = {};
    const int64_t palBytes = static_cast<int64_t>(format_.size()) - header_.biSize;
    const int64_t entries = std::min<int64_t>({header_.biClrUsed ? header_.biClrUsed : 256, 256,
                                               palBytes > 0 ? palBytes / 4 : 0});
    for (int64_t i = 0; i < entries; ++i) {
      const uint8_t* e = format_.data() + header_.biSize + 4 * i;
      palette[i] = TBGR{e[0], e[1], e[2]};
    }
    if (!bitmap.Allocate(header_.biWidth, std::abs(header_.biHeight), pxBGR24)) return 0;
    bitmap.Fill(0);
    for (int32_t i = first; i <= frame; ++i) {
      if (!ReadChunkData(frames_[static_cast<size_t>(i)], data)) return 0;
      if (data.empty()) continue;  // a dropped frame repeats the last one
      const bool top = header_.biHeight < 0;
      if (comp == kBiRLE8)
        DecodeRLE8ToRGB(data.data(), static_cast<int64_t>(data.size()), bitmap, top, progress, palette);
      else
        DecodeRLE4ToRGB(data.data(), static_cast<int64_t>(data.size()), bitmap, top, progress, palette);
    }
    return comp == kBiRLE8 ? 8 : 4;
  }
  // A dropped (empty) frame shows the one before it.
  int32_t f = frame;
  while (f > 0 && frames_[static_cast<size_t>(f)].Size == 0) --f;
  if (!ReadChunkData(frames_[static_cast<size_t>(f)], data) || data.empty()) return 0;
  if (comp == FourCC('M', 'J', 'P', 'G')) {
    TReadOnlyMemoryStream s(data.data(), static_cast<int64_t>(data.size()));
    TIOParamsVals params;
    ReadJPEGStream(s, nullptr, bitmap, params, progress, false);
    return progress.Aborting && progress.Aborting->load() ? 0 : 24;
  }
  return DIBToBitmap(format_.data(), static_cast<int64_t>(format_.size()), bitmap, data.data(),
                     static_cast<int64_t>(data.size()));
}

}  // namespace pixoran
