#include "io/formats/avi/pxavi.h"

#include "core/kopxutils_settings.h"

#include <algorithm>
#include <cstring>

#include "io/formats/bmp/bmpfilt.h"
#include "io/formats/jpeg/jpegfilt.h"
#include "io/pixoranio_params.h"
#include "io/pxfiltutil.h"

namespace pixoran {

namespace {
bool Is(const uint8_t* p, const char* id) { return std::memcmp(p, id, 4) == 0; }
// A coding's four characters, or its number when they are not printable.
std::string FourCCText(uint32_t code) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>(code >> (8 * i));
    if (c < 32 || c > 126) return std::to_string(code);
    s += c;
  }
  return s;
}
constexpr uint32_t kAviKeyFrame = 0x10;
constexpr int64_t kMaxFormatSize = 65536;

// The Huffman tables of the JPEG standard's annex (DC and AC, luminance and
// chrominance) as one DHT segment. Motion JPEG frames leave them out and
// expect the decoder to use these.
std::vector<uint8_t> DefaultHuffmanSegment() {
  static const uint8_t kDcBitsY[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
  static const uint8_t kDcBitsC[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
  static const uint8_t kAcBitsY[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7D};
  static const uint8_t kAcBitsC[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
  static const uint8_t kAcValY[162] = {
      0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61, 0x07, 0x22, 0x71,
      0x14, 0x32, 0x81, 0x91, 0xA1, 0x08, 0x23, 0x42, 0xB1, 0xC1, 0x15, 0x52, 0xD1, 0xF0, 0x24, 0x33, 0x62, 0x72,
      0x82, 0x09, 0x0A, 0x16, 0x17, 0x18, 0x19, 0x1A, 0x25, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x34, 0x35, 0x36, 0x37,
      0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59,
      0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A, 0x83,
      0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A, 0xA2, 0xA3,
      0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA, 0xC2, 0xC3,
      0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA, 0xE1, 0xE2,
      0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF1, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA};
  static const uint8_t kAcValC[162] = {
      0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61, 0x71, 0x13, 0x22,
      0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xA1, 0xB1, 0xC1, 0x09, 0x23, 0x33, 0x52, 0xF0, 0x15, 0x62, 0x72, 0xD1,
      0x0A, 0x16, 0x24, 0x34, 0xE1, 0x25, 0xF1, 0x17, 0x18, 0x19, 0x1A, 0x26, 0x27, 0x28, 0x29, 0x2A, 0x35, 0x36,
      0x37, 0x38, 0x39, 0x3A, 0x43, 0x44, 0x45, 0x46, 0x47, 0x48, 0x49, 0x4A, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58,
      0x59, 0x5A, 0x63, 0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6A, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7A,
      0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8A, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99, 0x9A,
      0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 0xA8, 0xA9, 0xAA, 0xB2, 0xB3, 0xB4, 0xB5, 0xB6, 0xB7, 0xB8, 0xB9, 0xBA,
      0xC2, 0xC3, 0xC4, 0xC5, 0xC6, 0xC7, 0xC8, 0xC9, 0xCA, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xD8, 0xD9, 0xDA,
      0xE2, 0xE3, 0xE4, 0xE5, 0xE6, 0xE7, 0xE8, 0xE9, 0xEA, 0xF2, 0xF3, 0xF4, 0xF5, 0xF6, 0xF7, 0xF8, 0xF9, 0xFA};
  static const uint8_t kDcVal[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
  const struct {
    uint8_t classId;
    const uint8_t* bits;
    const uint8_t* values;
  } kTables[] = {
      {0x00, kDcBitsY, kDcVal}, {0x10, kAcBitsY, kAcValY}, {0x01, kDcBitsC, kDcVal}, {0x11, kAcBitsC, kAcValC}};
  std::vector<uint8_t> segment = {0xFF, 0xC4, 0, 0};
  for (const auto& t : kTables) {
    segment.push_back(t.classId);
    segment.insert(segment.end(), t.bits, t.bits + 16);
    int count = 0;
    for (int i = 0; i < 16; ++i) count += t.bits[i];
    segment.insert(segment.end(), t.values, t.values + count);
  }
  const size_t length = segment.size() - 2;
  segment[2] = static_cast<uint8_t>(length >> 8);
  segment[3] = static_cast<uint8_t>(length);
  return segment;
}

}  // namespace

// A frame that reaches its scan without a DHT segment gets the standard
// tables in front of the scan; any other frame is left as it is.
void InsertDefaultHuffmanTables(std::vector<uint8_t>& frame) {
  const size_t n = frame.size();
  if (n < 4 || frame[0] != 0xFF || frame[1] != 0xD8) return;
  size_t pos = 2;
  while (pos + 4 <= n && frame[pos] == 0xFF) {
    const uint8_t marker = frame[pos + 1];
    if (marker == 0xFF) {  // fill byte
      ++pos;
      continue;
    }
    if (marker == 0xC4) return;  // the frame has its own tables
    if (marker == 0xDA) {
      const std::vector<uint8_t> dht = DefaultHuffmanSegment();
      frame.insert(frame.begin() + static_cast<std::ptrdiff_t>(pos), dht.begin(), dht.end());
      return;
    }
    if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) {  // markers without a length
      pos += 2;
      continue;
    }
    const size_t length = (size_t{frame[pos + 2]} << 8) | frame[pos + 3];
    if (length < 2) return;
    pos += 2 + length;
  }
}
namespace {
// No AVI frame's data describes more than this many pixels a byte: JPEG
// stores at most about a hundred, run lengths 255 for two bytes.
constexpr int64_t kMaxPixelsPerByte = 1024;

// A Motion JPEG frame's own size (from its start-of-frame segment) fits the
// stream's, give or take a macroblock, and its data could hold that many
// pixels: a frame of a few bytes claiming a huge picture would otherwise be
// decoded, padded, at full size. True when no size is found: the decoder decides.
bool PlausibleJpegFrame(const std::vector<uint8_t>& frame, int64_t streamWidth, int64_t streamHeight) {
  const size_t n = frame.size();
  size_t pos = 2;
  for (;;) {
    // Like the decoder, skip whatever is not a marker.
    while (pos + 1 < n && !(frame[pos] == 0xFF && frame[pos + 1] != 0 && frame[pos + 1] != 0xFF)) ++pos;
    if (pos + 9 > n) return true;
    const uint8_t m = frame[pos + 1];
    if (m == 0xDA) return true;
    if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
      const int64_t h = (int64_t{frame[pos + 5]} << 8) | frame[pos + 6];
      const int64_t w = (int64_t{frame[pos + 7]} << 8) | frame[pos + 8];
      if (streamWidth > 0 && w > streamWidth + 16) return false;
      if (streamHeight > 0 && h > streamHeight + 16) return false;
      return w * h <= static_cast<int64_t>(n) * kMaxPixelsPerByte;
    }
    if (m == 0x01 || (m >= 0xD0 && m <= 0xD8)) {
      pos += 2;
      continue;
    }
    pos += 2 + ((size_t{frame[pos + 2]} << 8) | frame[pos + 3]);
  }
}
}  // namespace

int32_t TAVIReader::FrameDelay() const {
  if (rate_ == 0 || scale_ == 0) return 40;
  return static_cast<int32_t>(std::min<uint64_t>(uint64_t{1000} * scale_ / rate_, INT32_MAX));
}

void TAVIReader::ScanList(int64_t pos, int64_t end, int depth, bool inMovi) {
  uint8_t h[12];
  bool videoStrl = false;
  while (pos + 8 <= end && frames_.size() < 10000000) {
    if (stream_->Seek(pos, TSeekOrigin::soBeginning) != pos || !stream_->ReadExact(h, 8)) return;
    const int64_t size = GetLE32(h + 4), data = pos + 8;
    if (size > end - data) {  // a chunk past its list or the file ends the scan
      cut_ = true;
      return;
    }
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
        scale_ = GetLE32(s + 20), rate_ = GetLE32(s + 24), length_ = GetLE32(s + 32);
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
          if (e[0] == '0' + n / 10 && e[1] == '0' + n % 10 && e[2] == 'd' && (e[3] == 'b' || e[3] == 'c')) {
            frames_[k].Key = (GetLE32(e + 4) & kAviKeyFrame) != 0 || k == 0;
            ++k;
          }
        }
      }
    }
    pos = data + size + (size & 1);
  }
}

bool TAVIReader::OpenFailed(TPXIOResult kind, std::string text) {
  failureKind_ = kind;
  failureText_ = "AVI: " + std::move(text);
  return false;
}

bool TAVIReader::Open(std::unique_ptr<TStream> stream) {
  stream_ = std::move(stream);
  rleLast_.reset();
  rleLastFrame_ = -1;
  frames_.clear();
  format_.clear();
  videoStream_ = -1, streamCount_ = 0, moviStart_ = -1;
  cut_ = false;
  failureKind_ = iorOk;
  failureText_.clear();
  if (!stream_) return OpenFailed(iorFailed, "no stream to read");
  fileSize_ = stream_->Size();
  uint8_t h[12];
  if (fileSize_ < 12 || stream_->Seek(0, TSeekOrigin::soBeginning) != 0 || !stream_->ReadExact(h, 12) ||
      !Is(h, "RIFF") || !Is(h + 8, "AVI "))
    return OpenFailed(iorCorrupt, "no RIFF AVI header at the start of the file");
  ScanList(12, std::min<int64_t>(fileSize_, int64_t{8} + GetLE32(h + 4)), 0, false);
  if (videoStream_ < 0 && cut_) return OpenFailed(iorCorrupt, "the file ends before its video stream");
  if (videoStream_ < 0) return OpenFailed(iorUnsupported, "the file has no video stream");
  if (format_.empty() || !ReadBitmapInfoHeader(format_.data(), static_cast<int64_t>(format_.size()), header_))
    return OpenFailed(iorCorrupt, "the video stream's format is missing or damaged");
  const int64_t w = header_.biWidth, hAbs = std::abs(int64_t{header_.biHeight});
  if (w <= 0 || hAbs == 0 || header_.biHeight == INT32_MIN)
    return OpenFailed(iorCorrupt, "impossible frame size " + std::to_string(w) + " x " + std::to_string(hAbs));
  if (w > 65535 || hAbs > 65535)
    return OpenFailed(iorTooLarge, "frame size " + std::to_string(w) + " x " + std::to_string(hAbs) +
                                       " is beyond what an AVI frame holds");
  if (length_ > 0 && frames_.size() > length_) frames_.resize(length_);
  if (frames_.empty())
    return OpenFailed(iorCorrupt, cut_ ? "the file ends before its frames" : "the video stream has no frames");
  return true;
}

int32_t TAVIReader::FrameFailed(TPXProgressRec& progress, TPXIOResult kind, int32_t frame, const std::string& why) {
  progress.Fail(kind, "AVI: frame " + std::to_string(frame) + " " + why);
  return 0;
}

bool TAVIReader::ReadChunkData(const TFrame& f, std::vector<uint8_t>& data) {
  if (f.Offset < 0 || f.Size < 0 || f.Size > fileSize_ - f.Offset) return false;
  data.resize(static_cast<size_t>(f.Size));
  return stream_->Seek(f.Offset, TSeekOrigin::soBeginning) == f.Offset && stream_->ReadExact(data.data(), f.Size);
}

int32_t TAVIReader::ReadFrame(int32_t frame, TPXBitmap& bitmap, TPXProgressRec& progress) {
  if (frame < 0 || frame >= FrameCount())
    return FrameFailed(progress, iorFailed, frame, "is not among the " + std::to_string(FrameCount()));
  // Every frame claims the stream's size; a file too small to describe
  // that many pixels at any codec's expansion is refused before anything
  // is allocated (8 bits a pixel: the bound counts pixels a byte).
  if (!CheckDeclaredImage("AVI", header_.biWidth, std::abs(int64_t{header_.biHeight}), 8, fileSize_, kMaxPixelsPerByte,
                          progress))
    return 0;
  std::vector<uint8_t> data;
  const uint32_t comp = header_.biCompression;
  if (comp == kBiRLE8 || comp == kBiRLE4) {
    // A run-length frame holds only the changes: decode from the last key frame on.
    int32_t first = frame;
    while (first > 0 && !frames_[static_cast<size_t>(first)].Key) --first;
    TBGR palette[256] = {};
    const int64_t palBytes = static_cast<int64_t>(format_.size()) - header_.biSize;
    const int64_t entries =
        std::min<int64_t>({header_.biClrUsed ? header_.biClrUsed : 256, 256, palBytes > 0 ? palBytes / 4 : 0});
    for (int64_t i = 0; i < entries; ++i) {
      const uint8_t* e = format_.data() + header_.biSize + 4 * i;
      palette[i] = TBGR{e[0], e[1], e[2]};
    }
    // The frame decoded last goes on from where it is when no key frame lies
    // between it and this one: frames read in order cost one chunk each.
    int32_t next = first;
    if (rleLast_ && rleLastFrame_ >= first && rleLastFrame_ <= frame) {
      next = rleLastFrame_ + 1;
    } else {
      rleLast_ = std::make_unique<TPXBitmap>();
      if (!rleLast_->Allocate(header_.biWidth, std::abs(header_.biHeight), pxBGR24)) {
        rleLast_.reset();
        return FrameFailed(progress, iorNoMemory, frame, "finds no storage");
      }
      rleLast_->Fill(0);
    }
    rleLastFrame_ = -1;  // until this frame is whole
    for (int32_t i = next; i <= frame; ++i) {
      if (!ReadChunkData(frames_[static_cast<size_t>(i)], data))
        return FrameFailed(progress, iorCorrupt, i, "lies past the end of the file");
      if (data.empty()) continue;  // a dropped frame repeats the last one
      const bool top = header_.biHeight < 0;
      if (comp == kBiRLE8)
        DecodeRLE8ToRGB(data.data(), static_cast<int64_t>(data.size()), *rleLast_, top, progress, palette);
      else DecodeRLE4ToRGB(data.data(), static_cast<int64_t>(data.size()), *rleLast_, top, progress, palette);
    }
    // A stopped or damaged decode is not gone on from.
    if (!(progress.Aborting && progress.Aborting->load())) rleLastFrame_ = frame;
    bitmap.Assign(rleLast_.get());
    if (bitmap.Width() != rleLast_->Width() || bitmap.Height() != rleLast_->Height())
      return FrameFailed(progress, iorNoMemory, frame, "finds no storage");
    return comp == kBiRLE8 ? 8 : 4;
  }
  // A dropped (empty) frame shows the one before it.
  int32_t f = frame;
  while (f > 0 && frames_[static_cast<size_t>(f)].Size == 0) --f;
  if (!ReadChunkData(frames_[static_cast<size_t>(f)], data) || data.empty())
    return FrameFailed(progress, iorCorrupt, f, "lies past the end of the file or is empty");
  if (comp == FourCC('M', 'J', 'P', 'G')) {
    if (!PlausibleJpegFrame(data, header_.biWidth, std::abs(int64_t{header_.biHeight})))
      return FrameFailed(progress, iorTooLarge, f, "claims more pixels than its stream or its data hold");
    InsertDefaultHuffmanTables(data);
    TReadOnlyMemoryStream s(data.data(), static_cast<int64_t>(data.size()));
    TIOParamsVals params;
    ReadJPEGStream(s, nullptr, bitmap, params, progress, false);
    return progress.Aborting && progress.Aborting->load() ? 0 : 24;
  }
  const int32_t bits = DIBToBitmap(format_.data(), static_cast<int64_t>(format_.size()), bitmap, data.data(),
                                   static_cast<int64_t>(data.size()));
  if (bits != 0) return bits;
  // Plain and bit-field pixels that do not decode are damaged; any other
  // coding may be one this reader does not know.
  const bool known = comp == 0 || comp == 3;
  return FrameFailed(
      progress, known ? iorCorrupt : iorUnsupported, f,
      known ? "holds too little pixel data" : "uses a coding that is not read (" + FourCCText(comp) + ")");
}

}  // namespace pixoran
