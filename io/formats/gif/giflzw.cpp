#include "io/formats/gif/giflzw.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>

#include "core/kopxutils_settings.h"
#include "io/pxfiltutil.h"

namespace pixoran {

// ---------------------------------------------------------------- row order

namespace {
constexpr int32_t kPassStart[4] = {0, 4, 2, 1};
constexpr int32_t kPassStep[4] = {8, 8, 4, 2};
}  // namespace

TGIFRowOrder::TGIFRowOrder(int32_t height, bool interlaced) : height_(height), interlaced_(interlaced) {
  if (height_ <= 0) row_ = -1;
}

void TGIFRowOrder::SkipEmptyPasses() {
  while (pass_ < 4 && kPassStart[pass_] >= height_) ++pass_;
  row_ = pass_ < 4 ? kPassStart[pass_] : -1;
}

void TGIFRowOrder::Next() {
  if (row_ < 0) return;
  if (!interlaced_) {
    row_ = row_ + 1 < height_ ? row_ + 1 : -1;
    return;
  }
  row_ += kPassStep[pass_];
  if (row_ < height_) return;
  ++pass_;
  SkipEmptyPasses();
}

// ---------------------------------------------------------------- decoder

namespace {

constexpr int32_t kMaxCodes = 4096;
constexpr int32_t kMaxWidth = 12;
constexpr int32_t kPadding = 8;  // zero bytes behind the data, so codes are read 8 bytes at a time

class TLZWDecoder {
 public:
  TLZWDecoder(uint8_t* buffer, int32_t width, int32_t height, bool interlaced)
      : buffer_(buffer), width_(width), rows_(height, interlaced) {
    if (!buffer_ || width_ <= 0) rows_ = TGIFRowOrder(0, false);
    SetRow();
  }

  // data holds size bytes and kPadding zeros behind them. False on a code
  // the table cannot explain.
  bool Decode(const uint8_t* data, size_t size, int32_t minCodeSize);

 private:
  void SetRow() {
    const int32_t r = rows_.Row();
    row_ = r < 0 ? nullptr : buffer_ + static_cast<int64_t>(r) * width_;
    col_ = 0;
  }
  void Emit(int32_t code);

  uint16_t prefix_[kMaxCodes];
  uint8_t suffix_[kMaxCodes];
  uint8_t first_[kMaxCodes];
  uint16_t length_[kMaxCodes];
  uint8_t stack_[kMaxCodes];
  uint8_t* buffer_;
  int32_t width_;
  TGIFRowOrder rows_;
  uint8_t* row_ = nullptr;  // nullptr once the image is full: later pixels are dropped
  int32_t col_ = 0;
};

void TLZWDecoder::Emit(int32_t code) {
  if (!row_) return;
  const int32_t len = length_[code];
  if (len <= width_ - col_) {
    // The string fits the row: written from its end, following the prefixes.
    uint8_t* p = row_ + col_ + len - 1;
    int32_t c = code;
    for (int32_t k = 0; k < len; ++k) {
      *p-- = suffix_[c];
      c = prefix_[c];
    }
    col_ += len;
    if (col_ == width_) {
      rows_.Next();
      SetRow();
    }
    return;
  }
  int32_t c = code;
  for (int32_t k = len - 1; k >= 0; --k) {
    stack_[k] = suffix_[c];
    c = prefix_[c];
  }
  const uint8_t* s = stack_;
  int32_t left = len;
  while (left > 0 && row_) {
    const int32_t n = std::min(left, width_ - col_);
    std::memcpy(row_ + col_, s, static_cast<size_t>(n));
    s += n, left -= n, col_ += n;
    if (col_ == width_) {
      rows_.Next();
      SetRow();
    }
  }
}

bool TLZWDecoder::Decode(const uint8_t* data, size_t size, int32_t minCodeSize) {
  const int32_t clear = 1 << minCodeSize, end = clear + 1;
  for (int32_t i = 0; i < clear; ++i) {
    // Roots beyond a byte (minimum code size 9) cannot be stored: the last index stands for them.
    const auto v = static_cast<uint8_t>(std::min(i, 255));
    prefix_[i] = 0, suffix_[i] = v, first_[i] = v, length_[i] = 1;
  }
  const uint64_t totalBits = static_cast<uint64_t>(size) * 8;
  uint64_t bitPos = 0;
  int32_t width = 0, next = 0, limit = 0, prev = -1;
  bool full = false;
  auto reset = [&] { width = minCodeSize + 1, next = clear + 2, limit = 1 << width, prev = -1, full = false; };
  auto read = [&](int32_t& code) {
    if (bitPos + static_cast<uint64_t>(width) > totalBits) return false;
    uint64_t v;
    std::memcpy(&v, data + (bitPos >> 3), sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    code = static_cast<int32_t>((v >> (bitPos & 7)) & ((1u << width) - 1));
    bitPos += static_cast<uint64_t>(width);
    return true;
  };
  auto add = [&](int32_t p, uint8_t c) {
    prefix_[next] = static_cast<uint16_t>(p);
    suffix_[next] = c;
    first_[next] = first_[p];
    length_[next] = static_cast<uint16_t>(length_[p] + 1);
    if (++next == limit) {
      if (width < kMaxWidth) {
        ++width, limit <<= 1;
      } else {
        // A full table is legal: codes go on without new entries until a clear code.
        full = true;
      }
    }
  };

  reset();
  int32_t code = 0;
  while (read(code)) {
    if (code == end) return true;
    if (code == clear) {
      reset();
      do {
        if (!read(code)) return true;
      } while (code == clear);
      if (code == end) return (bitPos + 7) / 8 >= size;
    }
    if (prev < 0) {
      // The first code after a clear (or of a stream that starts without one).
      if (code >= next) code = 0;
      Emit(code);
      prev = code;
      continue;
    }
    if (code < next) {
      if (!full) add(prev, first_[code]);
      Emit(code);
    } else if (code == next && !full) {
      add(prev, first_[prev]);
      Emit(code);
    } else {
      return false;
    }
    prev = code;
  }
  return true;
}

}  // namespace

void GIFLZWDecompress(TStream& stream, int32_t height, int32_t width, uint8_t* buffer, bool interlaced) {
  TPXByteSource source(stream);
  const int64_t start = source.Position();
  auto fail = [&] { stream.SetPosition(start); };
  const int minCodeSize = source.Get();
  if (minCodeSize < 2 || minCodeSize > 9) return fail();

  // Every sub-block into one array. Data cut off by the end of the stream
  // are what a partial download holds: decoded as far as they go.
  const int64_t budget = CodecMemoryLimit();
  std::vector<uint8_t> data;
  for (;;) {
    const int n = source.Get();
    if (n <= 0) break;
    const size_t old = data.size();
    if (static_cast<int64_t>(old) + n > budget) return fail();
    data.resize(old + static_cast<size_t>(n));
    const int64_t got = source.ReadUpTo(data.data() + old, n);
    if (got < n) {
      data.resize(old + static_cast<size_t>(got));
      break;
    }
  }
  source.Sync();
  if (data.empty()) return;
  const size_t size = data.size();
  data.resize(size + kPadding, 0);
  auto decoder = std::make_unique<TLZWDecoder>(buffer, width, height, interlaced);
  if (!decoder->Decode(data.data(), size, minCodeSize)) fail();
}

// ---------------------------------------------------------------- encoder

namespace {

constexpr int32_t kHashSize = 5003;
constexpr int32_t kPacketSize = 254;
constexpr size_t kWriteBlock = 64 * 1024;

class TLZWEncoder {
 public:
  TLZWEncoder(TStream& stream, int32_t minCodeSize)
      : stream_(stream),
        minCodeSize_(minCodeSize),
        clear_(1 << minCodeSize),
        end_(clear_ + 1),
        free_(clear_ + 2),
        width_(minCodeSize + 1),
        maxCode_((1 << width_) - 1),
        hash_(kHashSize, -1),
        codes_(kHashSize, 0) {
    out_.reserve(kWriteBlock + kPacketSize + 1);
  }

  void Encode(const uint8_t* buffer, int32_t width, int32_t height, bool interlaced);

 private:
  void Output(int32_t code);
  void Put(uint8_t byte) {
    packet_[packetLength_++] = byte;
    if (packetLength_ == kPacketSize) FlushPacket();
  }
  void FlushPacket() {
    if (packetLength_ == 0) return;
    out_.push_back(static_cast<uint8_t>(packetLength_));
    out_.insert(out_.end(), packet_, packet_ + packetLength_);
    packetLength_ = 0;
    if (out_.size() >= kWriteBlock) FlushOut();
  }
  void FlushOut() {
    if (!out_.empty()) stream_.Write(out_.data(), static_cast<int64_t>(out_.size()));
    out_.clear();
  }

  TStream& stream_;
  int32_t minCodeSize_, clear_, end_, free_, width_, maxCode_;
  bool clearFlag_ = false;
  uint32_t bits_ = 0;
  int32_t bitCount_ = 0;
  std::vector<int32_t> hash_;
  std::vector<int32_t> codes_;
  uint8_t packet_[kPacketSize] = {};
  int32_t packetLength_ = 0;
  std::vector<uint8_t> out_;
};

void TLZWEncoder::Output(int32_t code) {
  bits_ |= static_cast<uint32_t>(code) << bitCount_;
  bitCount_ += width_;
  while (bitCount_ >= 8) {
    Put(static_cast<uint8_t>(bits_));
    bits_ >>= 8;
    bitCount_ -= 8;
  }
  if (free_ > maxCode_ || clearFlag_) {
    if (clearFlag_) {
      width_ = minCodeSize_ + 1;
      maxCode_ = (1 << width_) - 1;
      clearFlag_ = false;
    } else {
      ++width_;
      maxCode_ = width_ == kMaxWidth ? kMaxCodes : (1 << width_) - 1;
    }
  }
  if (code == end_) {
    while (bitCount_ > 0) {
      Put(static_cast<uint8_t>(bits_));
      bits_ >>= 8;
      bitCount_ -= 8;
    }
    bitCount_ = 0;
    FlushPacket();
  }
}

void TLZWEncoder::Encode(const uint8_t* buffer, int32_t width, int32_t height, bool interlaced) {
  if (buffer && width > 0 && height > 0) {
    TGIFRowOrder rows(height, interlaced);
    const uint8_t* row = buffer + static_cast<int64_t>(rows.Row()) * width;
    int32_t prefix = row[0];
    int32_t x = 1;
    Output(clear_);
    for (;;) {
      if (x == width) {
        rows.Next();
        if (rows.Row() < 0) break;
        row = buffer + static_cast<int64_t>(rows.Row()) * width;
        x = 0;
      }
      const int32_t c = row[x++];
      const int32_t key = (c << 12) + prefix;
      int32_t slot = (c << 4) ^ prefix;
      if (hash_[slot] == key) {
        prefix = codes_[slot];
        continue;
      }
      if (hash_[slot] >= 0) {
        const int32_t step = slot == 0 ? 1 : kHashSize - slot;
        bool found = false;
        do {
          slot -= step;
          if (slot < 0) slot += kHashSize;
          if (hash_[slot] == key) {
            prefix = codes_[slot];
            found = true;
            break;
          }
        } while (hash_[slot] >= 0);
        if (found) continue;
      }
      Output(prefix);
      if (free_ > kMaxCodes - 1) {
        std::fill(hash_.begin(), hash_.end(), -1);
        free_ = clear_ + 2;
        clearFlag_ = true;
        Output(clear_);
      } else {
        codes_[slot] = free_++;
        hash_[slot] = key;
      }
      prefix = c;
    }
    Output(prefix);
  } else {
    Output(clear_);
  }
  Output(end_);
  out_.push_back(0);  // block terminator
  FlushOut();
}

}  // namespace

void GIFLZWCompress(TStream& stream, int32_t height, int32_t width, bool interlaced, const uint8_t* buffer,
                    int32_t bitsPerPixel) {
  const int32_t minCodeSize = std::clamp(bitsPerPixel, 2, 8);
  const auto m = static_cast<uint8_t>(minCodeSize);
  stream.Write(&m, 1);
  auto encoder = std::make_unique<TLZWEncoder>(stream, minCodeSize);
  encoder->Encode(buffer, width, height, interlaced);
}

}  // namespace pixoran
