#include "io/formats/tiff/tiflzw.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "core/kopxutils_helpers.h"

namespace pixoran {

// Both codecs' states derive from this, so one nil call frees either.
struct TTIFFLZWState {
  virtual ~TTIFFLZWState() = default;
};

namespace {

constexpr int32_t kClear = 256;
constexpr int32_t kEnd = 257;
constexpr int32_t kFirstFree = 258;
constexpr int32_t kTableSize = 4096;

// ---------------------------------------------------------------- decoder

// Bytes kept behind the rows already delivered, so that most strings can be
// copied from where they last came out instead of walked through the table.
constexpr int64_t kWindow = int64_t{1} << 16;
constexpr int64_t kSlack = kTableSize + 16;  // the longest string, plus an over-wide short copy

struct TDecoder final : TTIFFLZWState {
  const uint8_t* data = nullptr;
  int64_t size = 0;
  int64_t bitPos = 0;
  int32_t rowLength = 0;
  std::vector<uint8_t> buffer;
  int64_t base = 0;   // output offset of buffer[0]
  int64_t start = 0;  // the row to deliver next starts here
  int64_t held = 0;   // bytes in buffer
  bool delivered = false;
  int32_t width = 9;
  int32_t prev = -1;  // previous code, -1 at the start and after a clear
  int32_t next = kFirstFree;
  bool ended = false;
  bool failed = false;
  // Each string is its prefix's string plus one byte; pos is the output
  // offset where it last came out whole.
  struct TEntry {
    int64_t pos;
    uint16_t prefix;
    uint16_t length;
    uint8_t suffix;
    uint8_t first;
  };
  TEntry table[kTableSize];
  int64_t prevPos = 0;  // where the previous code's string came out

  void Reset() {
    next = kFirstFree;
    width = 9;
    prev = -1;
  }

  // The next code, or kEnd when the data has no whole code left.
  int32_t ReadCode() {
    if (bitPos + width > size * 8) return kEnd;
    const int64_t at = bitPos >> 3;
    uint32_t w;
    if (at + 4 <= size) {
      std::memcpy(&w, data + at, 4);
      w = __builtin_bswap32(w);
    } else {
      w = 0;
      for (int64_t i = 0; i < 4; ++i) w = (w << 8) | (at + i < size ? data[at + i] : 0);
    }
    const int32_t code = static_cast<int32_t>((w << (bitPos & 7)) >> (32 - width));
    bitPos += width;
    return code;
  }

  // Writes the string of a table code at out; returns its length.
  int32_t Emit(int32_t code, uint8_t* out) const {
    const TEntry& e = table[code];
    const int32_t n = e.length;
    if (e.pos >= base) {
      const uint8_t* src = buffer.data() + (e.pos - base);
      if (n <= 16) {
        // The source ends before out, but may lie within 16 bytes of it.
        uint64_t a, b;
        std::memcpy(&a, src, 8);
        std::memcpy(&b, src + 8, 8);
        std::memcpy(out, &a, 8);
        std::memcpy(out + 8, &b, 8);
      } else {
        std::memcpy(out, src, static_cast<size_t>(n));
      }
      return n;
    }
    uint8_t* p = out + n - 1;
    while (code >= 256) {
      *p-- = table[code].suffix;
      code = table[code].prefix;
    }
    *p = static_cast<uint8_t>(code);
    return n;
  }

  int32_t FirstByte(int32_t code) const { return code < 256 ? code : table[code].first; }
  int32_t Length(int32_t code) const { return code < 256 ? 1 : table[code].length; }

  // The entry prev + last, whose bytes came out at prevPos.
  bool Add(uint8_t last) {
    if (next >= kTableSize) return false;
    table[next] = TEntry{prevPos, static_cast<uint16_t>(prev), static_cast<uint16_t>(Length(prev) + 1), last,
                         static_cast<uint8_t>(FirstByte(prev))};
    ++next;
    // Early change: one code before the power of two.
    if (next == 511) width = 10;
    else if (next == 1023) width = 11;
    else if (next == 2047) width = 12;
    return true;
  }

  // Decodes until a row lies at start; false on corrupt data.
  bool Fill() {
    const int64_t end = start + rowLength;
    uint8_t* out = buffer.data();
    while (held < end && !ended) {
      const int32_t code = ReadCode();
      if (code == kClear) {
        Reset();
        continue;
      }
      if (code == kEnd) {
        ended = true;
        break;
      }
      const int64_t at = base + held;
      if (prev < 0) {
        // After a clear (or at the start) only a single byte can follow.
        if (code >= 256) return false;
        out[held++] = static_cast<uint8_t>(code);
      } else if (code < next) {
        const int32_t n = code < 256 ? (out[held] = static_cast<uint8_t>(code), 1) : Emit(code, out + held);
        if (!Add(out[held])) return false;
        held += n;
      } else if (code == next) {
        // The code being defined: the previous string plus its own first byte.
        const int32_t n = prev < 256 ? (out[held] = static_cast<uint8_t>(prev), 1) : Emit(prev, out + held);
        out[held + n] = out[held];
        if (!Add(out[held])) return false;
        held += n + 1;
      } else {
        return false;
      }
      prev = code;
      prevPos = at;
    }
    if (held < end) {
      std::memset(out + held, 0, static_cast<size_t>(end - held));
      held = end;
    }
    return true;
  }

  uint8_t* NextRow() {
    if (failed) return nullptr;
    if (delivered) start += rowLength;
    delivered = true;
    if (held - start >= rowLength) return buffer.data() + start;
    // Keep the window behind the row; drop what lies before it.
    const int64_t capacity = static_cast<int64_t>(buffer.size());
    if (held + rowLength + kSlack > capacity) {
      const int64_t keep = std::max<int64_t>(0, start - kWindow);
      std::memmove(buffer.data(), buffer.data() + keep, static_cast<size_t>(held - keep));
      base += keep;
      start -= keep;
      held -= keep;
    }
    if (!Fill()) {
      failed = true;
      return nullptr;
    }
    return buffer.data() + start;
  }
};

// ---------------------------------------------------------------- encoder

constexpr int32_t kHashSize = 5003;
constexpr int32_t kMaxWidth = 12;

struct TEncoder final : TTIFFLZWState {
  TStream* stream = nullptr;
  bool writeError = false;  // short writes are the caller's stream's to report
  std::vector<uint8_t> packet;
  uint32_t acc = 0;  // pending bits, at the bottom
  int32_t accBits = 0;
  int32_t width = 9;
  int32_t maxCode = 511;
  int32_t next = kFirstFree;
  bool clearPending = false;
  int32_t prefix = -1;
  int32_t htab[kHashSize];
  uint16_t codetab[kHashSize];

  void ClearHash() { std::fill(std::begin(htab), std::end(htab), -1); }

  void FlushPacket() {
    SafeStreamWrite(*stream, writeError, packet.data(), static_cast<int64_t>(packet.size()));
    packet.clear();
  }

  void Output(int32_t code) {
    acc = (acc << width) | static_cast<uint32_t>(code);
    accBits += width;
    while (accBits >= 8) {
      accBits -= 8;
      packet.push_back(static_cast<uint8_t>(acc >> accBits));
    }
    if (packet.size() >= 4096) FlushPacket();
    if (clearPending) {
      width = 9;
      maxCode = 511;
      clearPending = false;
    } else if (next >= maxCode && width < kMaxWidth) {
      ++width;
      maxCode = width == kMaxWidth ? 4095 : (1 << width) - 1;
    }
  }

  void Compress(const uint8_t* p, int32_t count) {
    int32_t i = 0;
    if (prefix < 0) {
      if (count <= 0) return;
      prefix = p[i++];
    }
    for (; i < count; ++i) {
      const int32_t c = p[i];
      const int32_t key = (c << 12) + prefix;
      int32_t h = (c << 4) ^ prefix;
      if (htab[h] == key) {
        prefix = codetab[h];
        continue;
      }
      bool found = false;
      if (htab[h] >= 0) {
        const int32_t step = h == 0 ? 1 : kHashSize - h;
        for (;;) {
          h -= step;
          if (h < 0) h += kHashSize;
          if (htab[h] == key) {
            prefix = codetab[h];
            found = true;
            break;
          }
          if (htab[h] < 0) break;
        }
      }
      if (found) continue;
      Output(prefix);
      prefix = c;
      if (next > 4093) {
        ClearHash();
        next = kFirstFree;
        clearPending = true;
        Output(kClear);
      } else {
        codetab[h] = static_cast<uint16_t>(next++);
        htab[h] = key;
      }
    }
  }

  void Finish() {
    if (prefix >= 0) Output(prefix);
    Output(kEnd);
    if (accBits > 0) packet.push_back(static_cast<uint8_t>(acc << (8 - accBits)));
    accBits = 0;
    FlushPacket();
  }
};

}  // namespace

uint8_t* TIFFLZWDecompress(const uint8_t* data, int64_t dataSize, int32_t rowLength, TTIFFLZWState*& state) {
  if (data == nullptr) {
    delete state;
    state = nullptr;
    return nullptr;
  }
  auto* d = dynamic_cast<TDecoder*>(state);
  if (state == nullptr) {
    if (rowLength <= 0 || dataSize < 0) return nullptr;
    auto fresh = std::make_unique<TDecoder>();
    fresh->data = data;
    fresh->size = dataSize;
    fresh->rowLength = rowLength;
    // The window, two rows (one delivered, one being filled) and the longest string.
    fresh->buffer.resize(static_cast<size_t>(kWindow + 2 * int64_t{rowLength} + kSlack));
    d = fresh.release();
    state = d;
  }
  return d ? d->NextRow() : nullptr;
}

void TIFFLZWCompress(const uint8_t* data, int32_t count, TStream& stream, TTIFFLZWState*& state) {
  auto* e = dynamic_cast<TEncoder*>(state);
  if (data == nullptr) {
    if (e) e->Finish();
    delete state;
    state = nullptr;
    return;
  }
  if (state == nullptr) {
    auto fresh = std::make_unique<TEncoder>();
    fresh->stream = &stream;
    fresh->ClearHash();
    fresh->Output(kClear);
    e = fresh.release();
    state = e;
  }
  if (e) e->Compress(data, count);
}

}  // namespace pixoran
