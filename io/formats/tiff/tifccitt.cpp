#include "io/formats/tiff/tifccitt.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "core/kopxutils_helpers.h"

namespace pixoran {

namespace {

// ---------------------------------------------------------------- code tables

// Run codes of T.4, by run: terminating codes 0..63, then the makeup codes
// 64..2560 in steps of 64 (1792 and up shared by both colours).
constexpr const char* kWhiteCodes[104] = {
    "00110101", "000111", "0111", "1000", "1011", "1100", "1110", "1111", "10011", "10100", "00111", "01000", "001000",
    "000011", "110100", "110101", "101010", "101011", "0100111", "0001100", "0001000", "0010111", "0000011", "0000100",
    "0101000", "0101011", "0010011", "0100100", "0011000", "00000010", "00000011", "00011010", "00011011", "00010010",
    "00010011", "00010100", "00010101", "00010110", "00010111", "00101000", "00101001", "00101010", "00101011",
    "00101100", "00101101", "00000100", "00000101", "00001010", "00001011", "01010010", "01010011", "01010100",
    "01010101", "00100100", "00100101", "01011000", "01011001", "01011010", "01011011", "01001010", "01001011",
    "00110010", "00110011", "00110100",
    // makeup 64..1728
    "11011", "10010", "010111", "0110111", "00110110", "00110111", "01100100", "01100101", "01101000", "01100111",
    "011001100", "011001101", "011010010", "011010011", "011010100", "011010101", "011010110", "011010111", "011011000",
    "011011001", "011011010", "011011011", "010011000", "010011001", "010011010", "011000", "010011011",
    // shared makeup 1792..2560
    "00000001000", "00000001100", "00000001101", "000000010010", "000000010011", "000000010100", "000000010101",
    "000000010110", "000000010111", "000000011100", "000000011101", "000000011110", "000000011111"};

constexpr const char* kBlackCodes[104] = {
    "0000110111", "010", "11", "10", "011", "0011", "0010", "00011", "000101", "000100", "0000100", "0000101",
    "0000111", "00000100", "00000111", "000011000", "0000010111", "0000011000", "0000001000", "00001100111",
    "00001101000", "00001101100", "00000110111", "00000101000", "00000010111", "00000011000", "000011001010",
    "000011001011", "000011001100", "000011001101", "000001101000", "000001101001", "000001101010", "000001101011",
    "000011010010", "000011010011", "000011010100", "000011010101", "000011010110", "000011010111", "000001101100",
    "000001101101", "000011011010", "000011011011", "000001010100", "000001010101", "000001010110", "000001010111",
    "000001100100", "000001100101", "000001010010", "000001010011", "000000100100", "000000110111", "000000111000",
    "000000100111", "000000101000", "000001011000", "000001011001", "000000101011", "000000101100", "000001011010",
    "000001100110", "000001100111",
    // makeup 64..1728
    "0000001111", "000011001000", "000011001001", "000001011011", "000000110011", "000000110100", "000000110101",
    "0000001101100", "0000001101101", "0000001001010", "0000001001011", "0000001001100", "0000001001101",
    "0000001110010", "0000001110011", "0000001110100", "0000001110101", "0000001110110", "0000001110111",
    "0000001010010", "0000001010011", "0000001010100", "0000001010101", "0000001011010", "0000001011011",
    "0000001100100", "0000001100101",
    // shared makeup 1792..2560
    "00000001000", "00000001100", "00000001101", "000000010010", "000000010011", "000000010100", "000000010101",
    "000000010110", "000000010111", "000000011100", "000000011101", "000000011110", "000000011111"};

struct TCode {
  uint16_t Bits = 0;
  uint8_t Length = 0;
};

constexpr int kLookupBits = 13;   // the longest run code
constexpr uint32_t kEOLCode = 1;  // 000000000001
constexpr int kEOLLength = 12;

// One lookup entry: code length (0: no code starts with these bits) and the
// table index (run / 64 + 63 for makeup codes).
struct TLookup {
  uint8_t Length = 0;
  uint8_t Index = 0;
};

struct TTables {
  TCode Codes[2][104];  // [0] white, [1] black
  TLookup Lookup[2][1 << kLookupBits];
  bool Consistent = true;  // no two codes share a prefix
};

TCode ParseCode(const char* s) {
  TCode c;
  for (; *s; ++s, ++c.Length) c.Bits = static_cast<uint16_t>((c.Bits << 1) | (*s == '1'));
  return c;
}

TTables BuildTables() {
  TTables t;
  for (int colour = 0; colour < 2; ++colour) {
    const char* const* src = colour == 0 ? kWhiteCodes : kBlackCodes;
    for (int i = 0; i < 104; ++i) {
      const TCode c = ParseCode(src[i]);
      t.Codes[colour][i] = c;
      const uint32_t first = uint32_t{c.Bits} << (kLookupBits - c.Length);
      const uint32_t last = first + (uint32_t{1} << (kLookupBits - c.Length));
      for (uint32_t k = first; k < last; ++k) {
        if (t.Lookup[colour][k].Length != 0) t.Consistent = false;
        t.Lookup[colour][k] = TLookup{c.Length, static_cast<uint8_t>(i)};
      }
    }
  }
  return t;
}

__attribute__((always_inline)) inline const TTables& Tables() {
  static const TTables tables = BuildTables();
  return tables;
}

int RunOfIndex(int index) { return index < 64 ? index : (index - 63) * 64; }

// ---------------------------------------------------------------- bit reading

// Reverses the bits of each byte of v.
inline uint64_t ReverseBytesBits(uint64_t v) {
  v = ((v >> 1) & 0x5555555555555555ull) | ((v & 0x5555555555555555ull) << 1);
  v = ((v >> 2) & 0x3333333333333333ull) | ((v & 0x3333333333333333ull) << 2);
  v = ((v >> 4) & 0x0F0F0F0F0F0F0F0Full) | ((v & 0x0F0F0F0F0F0F0F0Full) << 4);
  return v;
}

class TBitReader {
 public:
  TBitReader(const uint8_t* data, int64_t length, int32_t fillOrder, int64_t pos)
      : d_(data), n_(data ? std::max<int64_t>(length, 0) : 0), bits_(n_ * 8), reverse_(fillOrder == 2), pos_(pos) {
    if (pos_ < 0) pos_ = 0;
  }

  bool AtEnd() const { return pos_ >= bits_; }
  int64_t Pos() const { return pos_; }
  void SetPos(int64_t p) { pos_ = p; }
  void Skip(int n) { pos_ += n; }
  int64_t BitsLeft() const { return pos_ < bits_ ? bits_ - pos_ : 0; }

  // The next 32 bits at the top of the result; zeros past the end.
  uint32_t Peek32() const {
    const int64_t at = pos_ >> 3;
    uint64_t w = 0;
    if (at + 8 <= n_) {
      std::memcpy(&w, d_ + at, 8);
      w = __builtin_bswap64(w);
    } else {
      for (int64_t i = 0; i < 8; ++i) w = (w << 8) | (at + i < n_ && at + i >= 0 ? d_[at + i] : 0);
    }
    if (reverse_) w = ReverseBytesBits(w);
    return static_cast<uint32_t>((w << (pos_ & 7)) >> 32);
  }
  uint32_t Bit() {
    const uint32_t b = Peek32() >> 31;
    ++pos_;
    return b;
  }

 private:
  const uint8_t* d_;
  int64_t n_;
  int64_t bits_;
  bool reverse_;
  int64_t pos_;
};

constexpr int kRunEOL = -2;
constexpr int kRunIgnored = -1;
constexpr int kRunEnd = -3;

// One run code of the colour (0 white, 1 black): the run (64 and up are
// makeup codes), kRunIgnored for the codes T.4 reserves, kRunEOL for an EOL
// (any fill zeros before it included), kRunEnd at the end of the data.
// Bits that start no code are skipped one at a time.
int ReadRunCode(TBitReader& br, int colour, int64_t* eolAt = nullptr) {
  const TTables& t = Tables();
  for (;;) {
    if (br.AtEnd()) return kRunEnd;
    const uint32_t w = br.Peek32();
    if ((w >> 24) == 0) {
      // Eight or more zeros: a reserved code, or fill and EOL.
      if (w == 0) {
        // No code within 32 bits; past the end this is the end.
        if (br.BitsLeft() <= 32) {
          br.Skip(static_cast<int>(br.BitsLeft()));
          return kRunEnd;
        }
        br.Skip(21);  // keep enough zeros to still read an EOL
        continue;
      }
      const int zeros = __builtin_clz(w);
      if (zeros >= 11) {
        if (br.BitsLeft() < zeros + 1) {
          br.Skip(static_cast<int>(br.BitsLeft()));
          return kRunEnd;
        }
        if (eolAt) *eolAt = br.Pos();
        br.Skip(zeros + 1);
        return kRunEOL;
      }
      br.Skip(zeros + 1);  // 000000001, 0000000001, 00000000001
      return kRunIgnored;
    }
    const TLookup e = t.Lookup[colour][w >> (32 - kLookupBits)];
    if (e.Length == 0 || e.Length > br.BitsLeft()) {
      if (e.Length != 0) {
        br.Skip(static_cast<int>(br.BitsLeft()));
        return kRunEnd;
      }
      br.Skip(1);
      continue;
    }
    br.Skip(e.Length);
    return RunOfIndex(e.Index);
  }
}

// A whole run: makeup codes and their terminating code; negative (as
// ReadRunCode) when anything else comes first.
int ReadFullRun(TBitReader& br, int colour, int64_t* eolAt = nullptr) {
  int total = 0;
  for (;;) {
    const int r = ReadRunCode(br, colour, eolAt);
    if (r < 0) return r;
    total += r;
    if (r < 64) return total;
    if (total > (1 << 30)) return kRunEnd;
  }
}

// The position of the next EOL (with the fill zeros before it) from the
// reader's position, or the end of the data.
int64_t NextEOL(TBitReader br) {
  for (;;) {
    if (br.AtEnd()) return br.Pos();
    const uint32_t w = br.Peek32();
    if (w == 0) {
      if (br.BitsLeft() <= 32) return br.Pos() + br.BitsLeft();
      br.Skip(21);  // keep enough zeros to still see the EOL
      continue;
    }
    const int zeros = __builtin_clz(w);
    if (zeros >= 11) return br.BitsLeft() < zeros + 1 ? br.Pos() + br.BitsLeft() : br.Pos();
    br.Skip(zeros + 1);
  }
}

// ---------------------------------------------------------------- rows

// First position at or after p (clamped to width) whose bit equals value.
inline int32_t FindBit(const uint8_t* row, int32_t p, int value, int32_t width) {
  if (p >= width) return width;
  if (p < 0) p = 0;
  const uint8_t flip = value ? 0x00 : 0xFF;
  int32_t i = p >> 3;
  uint32_t b = static_cast<uint8_t>(row[i] ^ flip) & (0xFFu >> (p & 7));
  const int32_t lastByte = (width - 1) >> 3;
  while (b == 0) {
    if (++i > lastByte) return width;
    // Whole words of the other colour at once.
    const uint64_t flip64 = value ? 0 : ~uint64_t{0};
    while (i + 8 <= lastByte + 1) {
      uint64_t w;
      std::memcpy(&w, row + i, 8);
      if ((w ^ flip64) != 0) break;
      i += 8;
    }
    if (i > lastByte) return width;
    b = static_cast<uint8_t>(row[i] ^ flip);
  }
  const int32_t r = i * 8 + (__builtin_clz(b) - 24);
  return r < width ? r : width;
}

// Clears (value 0) or sets (value 1) the bits [a, b).
inline void PaintRun(uint8_t* row, int32_t a, int32_t b, int value) {
  if (a < 0) a = 0;
  if (a >= b) return;
  const int32_t ia = a >> 3, ib = (b - 1) >> 3;
  const uint8_t head = static_cast<uint8_t>(0xFFu >> (a & 7));
  const uint8_t tail = static_cast<uint8_t>(0xFFu << (7 - ((b - 1) & 7)));
  if (ia == ib) {
    const uint8_t m = head & tail;
    row[ia] = value ? (row[ia] | m) : (row[ia] & ~m);
    return;
  }
  row[ia] = value ? (row[ia] | head) : (row[ia] & ~head);
  if (ib > ia + 1) std::memset(row + ia + 1, value ? 0xFF : 0x00, static_cast<size_t>(ib - ia - 1));
  row[ib] = value ? (row[ib] | tail) : (row[ib] & ~tail);
}

inline size_t RowBytes(int32_t width) { return static_cast<size_t>((static_cast<int64_t>(width) + 7) / 8); }

// Decoded rows: 1 = white, 0 = black.
constexpr int kBlackBit = 0;

// The 1-D body of a row from the reader's position into a row already filled
// white; pos starts the run decoding (0, or where a Group 3 2-D row that
// turned out 1-D is).
void Decode1D(TBitReader& br, uint8_t* row, int32_t width) {
  int32_t pos = 0;
  int colour = 0;  // 0 white, 1 black
  bool makeup = false;
  bool started = false;
  while (pos < width || makeup) {
    const int64_t before = br.Pos();
    const int r = ReadRunCode(br, colour);
    if (r == kRunEnd) {
      if (colour == 1) PaintRun(row, pos, width, kBlackBit);
      return;
    }
    if (r == kRunEOL) {
      if (!started) continue;  // EOLs in front of the row
      // A row cut short: the next row starts at this EOL.
      if (colour == 1) PaintRun(row, pos, width, kBlackBit);
      br.SetPos(before);
      return;
    }
    started = true;
    if (r == kRunIgnored) continue;
    const int32_t end = static_cast<int32_t>(std::min<int64_t>(int64_t{pos} + r, width));
    if (colour == 1) PaintRun(row, pos, end, kBlackBit);
    pos = end;
    if (r >= 64) {
      makeup = true;
    } else {
      makeup = false;
      colour ^= 1;
    }
  }
}

// b1 and b2 on the reference row for a0 and the colour of a0 (0 white, 1
// black), in a given bit sense (the bit value of white).
inline void FindB1B2(const uint8_t* ref, int32_t a0, int colour, int whiteBit, int32_t width, int32_t& b1,
                     int32_t& b2) {
  const int colourBit = colour == 0 ? whiteBit : 1 - whiteBit;
  int32_t p = a0 + 1;
  if (p < 0) p = 0;
  // The pixel before p must be of a0's colour (the imaginary one is white).
  const bool prevIsColour = p == 0 ? colour == 0 : (((ref[(p - 1) >> 3] >> (7 - ((p - 1) & 7))) & 1) == colourBit);
  if (!prevIsColour) p = FindBit(ref, p, colourBit, width);
  b1 = FindBit(ref, p, 1 - colourBit, width);
  b2 = FindBit(ref, b1, colourBit, width);
}

// The changing elements of a decoded reference row (1 = white): where the
// colour changes, counting from the imaginary white pixel before the row,
// so even entries turn black and odd ones white; then width three times.
// Found 64 pixels at a time from the bits that differ from their left
// neighbour. out grows with the changes found, never with the width alone.
void ReferenceChanges(const uint8_t* ref, int32_t width, std::vector<int32_t>& out) {
  size_t n = 0;
  const size_t bytes = RowBytes(width);
  uint64_t last = 1;  // the pixel before, white
  for (size_t i = 0; i < bytes; i += 8) {
    uint64_t w = 0;
    if (i + 8 <= bytes) {
      std::memcpy(&w, ref + i, 8);
    } else {
      for (size_t k = 0; i + k < bytes; ++k) w |= static_cast<uint64_t>(ref[i + k]) << (8 * k);
    }
    w = ReverseBytesBits(w);  // pixel k of the word in bit k
    uint64_t t = w ^ ((w << 1) | last);
    last = w >> 63;
    const int64_t rest = static_cast<int64_t>(width) - static_cast<int64_t>(i) * 8;
    if (rest < 64) t &= (uint64_t{1} << rest) - 1;  // nothing past the row's end
    if (t == 0) continue;
    if (out.size() < n + 64 + 3) out.resize(out.size() * 2 + 64 + 3);
    int32_t* o = out.data() + n;
    for (const int32_t base = static_cast<int32_t>(i * 8); t; t &= t - 1) *o++ = base + __builtin_ctzll(t);
    n = static_cast<size_t>(o - out.data());
  }
  if (out.size() < n + 3) out.resize(n + 3);
  out[n] = out[n + 1] = out[n + 2] = width;
}

}  // namespace

bool CCITTTablesConsistent() { return Tables().Consistent; }

int64_t DecodeCCITTRow1D(uint8_t* row, const uint8_t* data, int64_t dataLength, int32_t fillOrder, int64_t startBit,
                         int32_t width) {
  if (width <= 0 || row == nullptr) return startBit;
  std::memset(row, 0xFF, RowBytes(width));
  TBitReader br(data, dataLength, fillOrder, startBit);
  Decode1D(br, row, width);
  return br.Pos();
}

int64_t DecodeCCITTRowMH(uint8_t* row, const uint8_t* data, int64_t dataLength, int32_t fillOrder, int32_t width) {
  const int64_t end = DecodeCCITTRow1D(row, data, dataLength, fillOrder, 0, width);
  return std::min<int64_t>((end + 7) / 8, std::max<int64_t>(dataLength, 0));
}

int64_t DecodeCCITTRow2D(uint8_t* row, const uint8_t* data, int64_t dataLength, bool group3, int32_t fillOrder,
                         int64_t startBit, uint8_t* reference, int32_t width) {
  if (width <= 0 || row == nullptr || reference == nullptr) return startBit;
  const size_t bytes = RowBytes(width);
  std::memset(row, 0xFF, bytes);
  TBitReader br(data, dataLength, fillOrder, startBit);
  if (group3) {
    // Every Group 3 row begins with an EOL: codes before it are what a
    // damaged row left over, skipped up to the EOL when there is one.
    const int64_t eol = NextEOL(br);
    if (eol < br.Pos() + br.BitsLeft()) br.SetPos(eol);
  }
  int32_t a0 = -1;
  int colour = 0;
  bool first = true;
  // b1 and b2 from the reference row's changing elements: b1 is the first
  // one right of a0 that turns to the colour opposite a0's.
  thread_local std::vector<int32_t> changes;
  ReferenceChanges(reference, width, changes);
  const int32_t* ch = changes.data();
  size_t j = 0;
  auto findB1B2 = [&](int32_t& b1, int32_t& b2) {
    while (j > 0 && ch[j - 1] > a0) --j;
    while (ch[j] <= a0) ++j;
    if ((j & 1) != static_cast<size_t>(colour)) ++j;
    b1 = ch[j];
    b2 = ch[j + 1];
  };
  while (a0 < width && !br.AtEnd()) {
    const int64_t before = br.Pos();
    const uint32_t w = br.Peek32();
    const int32_t start = a0 < 0 ? 0 : a0;
    int32_t b1, b2;
    if (w >> 31) {  // 1: V0
      br.Skip(1);
      findB1B2(b1, b2);
      if (colour == 1) PaintRun(row, start, b1, kBlackBit);
      a0 = std::max(b1, start);
      colour ^= 1;
    } else if ((w >> 29) == 1) {  // 001: horizontal
      br.Skip(3);
      int64_t eolAt = -1;
      const int r1 = ReadFullRun(br, colour, &eolAt);
      const int r2 = r1 < 0 ? r1 : ReadFullRun(br, colour ^ 1, &eolAt);
      if (r1 == kRunEOL || r2 == kRunEOL) {
        // A row cut short inside the mode: the EOL starts the next row.
        if (colour == 1) PaintRun(row, start, width, kBlackBit);
        br.SetPos(eolAt);
        break;
      }
      if (r1 < 0 || r2 < 0) {
        first = false;
        continue;  // the mode is dropped
      }
      const int32_t a1 = static_cast<int32_t>(std::min<int64_t>(int64_t{start} + r1, width));
      const int32_t a2 = static_cast<int32_t>(std::min<int64_t>(int64_t{a1} + r2, width));
      PaintRun(row, colour == 1 ? start : a1, colour == 1 ? a1 : a2, kBlackBit);
      a0 = a2;
    } else if ((w >> 28) == 1) {  // 0001: pass
      br.Skip(4);
      findB1B2(b1, b2);
      if (colour == 1) PaintRun(row, start, b2, kBlackBit);
      a0 = std::max(b2, start);
    } else {
      int offset = 0;
      int length = 0;
      if ((w >> 29) == 3) offset = 1, length = 3;        // 011 VR1
      else if ((w >> 29) == 2) offset = -1, length = 3;  // 010 VL1
      else if ((w >> 26) == 3) offset = 2, length = 6;   // 000011 VR2
      else if ((w >> 26) == 2) offset = -2, length = 6;  // 000010 VL2
      else if ((w >> 25) == 3) offset = 3, length = 7;   // 0000011 VR3
      else if ((w >> 25) == 2) offset = -3, length = 7;  // 0000010 VL3
      if (length != 0) {
        br.Skip(length);
        findB1B2(b1, b2);
        const int32_t a1 = std::clamp(b1 + offset, start, width);
        if (colour == 1) PaintRun(row, start, a1, kBlackBit);
        a0 = a1;
        colour ^= 1;
      } else if ((w >> 22) == 0xF || (w >> 20) == 0xF) {
        // Extension into uncompressed mode (2-D 0000001111, 1-D 000000001111).
        br.Skip((w >> 22) == 0xF ? 10 : 12);
        int32_t pos = start;
        for (;;) {
          if (br.AtEnd()) {
            a0 = width;
            break;
          }
          const uint32_t u = br.Peek32();
          const int zeros = u == 0 ? 32 : __builtin_clz(u);
          if (zeros > 10) {  // no uncompressed-mode code: give up the row
            a0 = width;
            break;
          }
          br.Skip(zeros + 1);
          if (zeros <= 4) {  // zeros white pixels, then one black
            pos = std::min(pos + zeros, width);
            if (pos < width) PaintRun(row, pos, pos + 1, kBlackBit);
            pos = std::min(pos + 1, width);
          } else if (zeros == 5) {  // five white pixels
            pos = std::min(pos + 5, width);
          } else {  // exit after zeros - 6 white pixels; the tag bit gives the colour
            pos = std::min(pos + zeros - 6, width);
            colour = static_cast<int>(br.Bit());
            a0 = pos;
            break;
          }
          if (pos >= width) {
            a0 = width;
            break;
          }
        }
      } else if (w != 0 && __builtin_clz(w) >= 11) {
        // EOL (with any fill zeros before it).
        const int zeros = __builtin_clz(w);
        if (br.BitsLeft() < zeros + 1) break;
        br.Skip(zeros + 1);
        if (first) {
          // Group 3: the tag bit says how the row is coded.
          if (br.Bit() == 1) {
            std::memset(row, 0xFF, bytes);
            Decode1D(br, row, width);
            a0 = width;
            break;
          }
          first = false;
          continue;
        }
        // A row cut short: the next row starts at this EOL.
        if (colour == 1) PaintRun(row, start, width, kBlackBit);
        br.SetPos(before);
        break;
      } else if (group3) {
        // No mode code: the rest of the row is lost. Group 3 rows begin with
        // their own EOL, so the next row starts at the next one.
        if (colour == 1) PaintRun(row, start, width, kBlackBit);
        br.SetPos(NextEOL(br));
        break;
      } else {
        br.Skip(1);  // no mode code: skipped a bit at a time
      }
    }
    first = false;
  }
  std::memcpy(reference, row, bytes);
  return br.Pos();
}

// ---------------------------------------------------------------- encoding

namespace {

class TBitWriter {
 public:
  TBitWriter(std::vector<uint8_t>& out, int32_t pendingBits, uint8_t pendingByte) : out_(out) {
    if (pendingBits > 0 && pendingBits < 8) {
      acc_ = pendingByte >> (8 - pendingBits);
      bits_ = pendingBits;
    }
  }
  void Put(uint32_t code, int length) {
    acc_ = (acc_ << length) | code;
    bits_ += length;
    while (bits_ >= 8) {
      bits_ -= 8;
      out_.push_back(static_cast<uint8_t>(acc_ >> bits_));
    }
  }
  void PadToByte() {
    if (bits_ > 0) Put(0, 8 - bits_);
  }
  // The unfinished byte, its bits at the top.
  void Pending(int32_t& pendingBits, uint8_t& pendingByte) const {
    pendingBits = bits_;
    pendingByte = bits_ > 0 ? static_cast<uint8_t>(acc_ << (8 - bits_)) : 0;
  }

 private:
  std::vector<uint8_t>& out_;
  uint64_t acc_ = 0;
  int bits_ = 0;
};

void PutRun(TBitWriter& bw, int colour, int32_t run) {
  const TCode* codes = Tables().Codes[colour];
  while (run >= 64) {
    const int32_t m = std::min(run / 64, 40);
    bw.Put(codes[63 + m].Bits, codes[63 + m].Length);
    run -= m * 64;
  }
  bw.Put(codes[run].Bits, codes[run].Length);
}

// Encoder rows: 0 = white.
constexpr int kEncWhite = 0;

void Encode1D(TBitWriter& bw, const uint8_t* row, int32_t width) {
  int32_t pos = 0;
  int colour = 0;
  while (pos < width) {
    const int32_t next = FindBit(row, pos, colour == 0 ? 1 : 0, width);
    PutRun(bw, colour, next - pos);
    pos = next;
    colour ^= 1;
  }
}

void Encode2D(TBitWriter& bw, const uint8_t* row, const uint8_t* ref, int32_t width) {
  int32_t a0 = -1;
  int colour = 0;
  while (a0 < width) {
    const int colourBit = colour == 0 ? kEncWhite : 1 - kEncWhite;
    const int32_t a1 = FindBit(row, a0 + 1, 1 - colourBit, width);
    int32_t b1, b2;
    FindB1B2(ref, a0, colour, kEncWhite, width, b1, b2);
    if (b2 < a1) {
      bw.Put(1, 4);  // 0001 pass
      a0 = b2;
    } else if (a1 - b1 <= 3 && b1 - a1 <= 3) {
      static constexpr TCode kVertical[7] = {{2, 7}, {2, 6}, {2, 3}, {1, 1}, {3, 3}, {3, 6}, {3, 7}};
      const TCode c = kVertical[a1 - b1 + 3];
      bw.Put(c.Bits, c.Length);
      a0 = a1;
      colour ^= 1;
    } else {
      const int32_t a2 = FindBit(row, a1 + 1, colourBit, width);
      const int32_t start = a0 < 0 ? 0 : a0;
      bw.Put(1, 3);  // 001 horizontal
      PutRun(bw, colour, a1 - start);
      PutRun(bw, colour ^ 1, a2 - a1);
      a0 = a2;
    }
  }
}

void Flush(TStream& stream, bool& error, std::vector<uint8_t>& out) {
  SafeStreamWrite(stream, error, out.data(), static_cast<int64_t>(out.size()));
  out.clear();
}

}  // namespace

void EncodeCCITTRowMH(const uint8_t* row, int32_t width, TStream& stream, bool& error) {
  if (row == nullptr || width <= 0) return;
  std::vector<uint8_t> out;
  TBitWriter bw(out, 0, 0);
  Encode1D(bw, row, width);
  bw.PadToByte();
  Flush(stream, error, out);
}

void EncodeCCITTG3Row(const uint8_t* row, int32_t width, TStream& stream, bool& error, std::vector<uint8_t>& reference,
                      int32_t& pendingBits, uint8_t& pendingByte) {
  std::vector<uint8_t> out;
  TBitWriter bw(out, pendingBits, pendingByte);
  if (row == nullptr) {
    bw.Put(kEOLCode, kEOLLength);
    reference.clear();
    reference.shrink_to_fit();
  } else if (width > 0) {
    const size_t bytes = RowBytes(width);
    bw.Put(kEOLCode, kEOLLength);
    if (reference.size() < bytes) {
      bw.Put(1, 1);
      Encode1D(bw, row, width);
      reference.assign((bytes + 3) / 4 * 4, 0);
    } else {
      bw.Put(0, 1);
      Encode2D(bw, row, reference.data(), width);
    }
    std::memcpy(reference.data(), row, bytes);
  }
  bw.Pending(pendingBits, pendingByte);
  Flush(stream, error, out);
}

void EncodeCCITTG3Row1D(const uint8_t* row, int32_t width, TStream& stream, bool& error, int32_t& pendingBits,
                        uint8_t& pendingByte) {
  if (row == nullptr || width <= 0) return;
  std::vector<uint8_t> out;
  TBitWriter bw(out, pendingBits, pendingByte);
  bw.Put(kEOLCode, kEOLLength);
  Encode1D(bw, row, width);
  bw.Pending(pendingBits, pendingByte);
  Flush(stream, error, out);
}

void EncodeCCITTG4Row(const uint8_t* row, int32_t width, TStream& stream, bool& error, std::vector<uint8_t>& reference,
                      int32_t& pendingBits, uint8_t& pendingByte) {
  std::vector<uint8_t> out;
  TBitWriter bw(out, pendingBits, pendingByte);
  if (row == nullptr) {
    bw.Put(kEOLCode, kEOLLength);
    bw.Put(kEOLCode, kEOLLength);
    bw.PadToByte();
    reference.clear();
    reference.shrink_to_fit();
  } else if (width > 0) {
    const size_t bytes = RowBytes(width);
    if (reference.size() < bytes) reference.assign((bytes + 3) / 4 * 4, 0);
    Encode2D(bw, row, reference.data(), width);
    std::memcpy(reference.data(), row, bytes);
  }
  bw.Pending(pendingBits, pendingByte);
  Flush(stream, error, out);
}

void EncodeCCITTPage(TCCITTScheme scheme, int32_t width, int32_t height,
                     const std::function<const uint8_t*(int32_t)>& row, bool whiteIsOne, std::vector<uint8_t>& out) {
  out.clear();
  if (width <= 0 || height <= 0) return;
  TMemoryStream ms;
  bool error = false;
  std::vector<uint8_t> reference;
  std::vector<uint8_t> inverted(RowBytes(width));
  int32_t pendingBits = 0;
  uint8_t pendingByte = 0;
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* r = row(y);
    if (r == nullptr) {
      std::fill(inverted.begin(), inverted.end(), 0);  // a missing row codes as white
      r = inverted.data();
    } else if (whiteIsOne) {
      for (size_t i = 0; i < inverted.size(); ++i) inverted[i] = static_cast<uint8_t>(~r[i]);
      r = inverted.data();
    }
    switch (scheme) {
      case TCCITTScheme::MH: EncodeCCITTRowMH(r, width, ms, error); break;
      case TCCITTScheme::G3_2D: EncodeCCITTG3Row(r, width, ms, error, reference, pendingBits, pendingByte); break;
      case TCCITTScheme::G4: EncodeCCITTG4Row(r, width, ms, error, reference, pendingBits, pendingByte); break;
    }
  }
  if (scheme == TCCITTScheme::G3_2D) {
    EncodeCCITTG3Row(nullptr, width, ms, error, reference, pendingBits, pendingByte);
    if (pendingBits > 0) ms.Write(&pendingByte, 1);
  } else if (scheme == TCCITTScheme::G4) {
    EncodeCCITTG4Row(nullptr, width, ms, error, reference, pendingBits, pendingByte);
  }
  out = std::move(ms.Bytes());
}

}  // namespace pixoran
