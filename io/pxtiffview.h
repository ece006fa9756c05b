#pragma once
// Reading TIFF directories held in memory: shared by the EXIF block reader
// and the TIFF reader, which both fill the record's EXIF fields from them.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace pixoran {

class TIOParamsVals;

// Field types of directory entries.
enum : uint16_t {
  ttByte = 1,
  ttAscii = 2,
  ttShort = 3,
  ttLong = 4,
  ttRational = 5,
  ttSByte = 6,
  ttUndefined = 7,
  ttSShort = 8,
  ttSLong = 9,
  ttSRational = 10,
  ttFloat = 11,
  ttDouble = 12,
};

// Bytes per value of a field type; 0 for a type we do not know.
inline size_t TIFFTypeSize(uint16_t type) {
  static constexpr uint8_t kSizes[13] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8};
  return type < 13 ? kSizes[type] : 0;
}

// One directory entry whose value bytes were checked to lie in the block.
struct TPXTiffEntry {
  uint16_t Tag = 0;
  uint16_t Type = 0;
  uint32_t Count = 0;
  size_t Value = 0;  // offset of the value bytes in the block
};

// A TIFF structure held in memory (an EXIF block, or the values of a TIFF
// file's directory gathered by its reader). Every accessor is given offsets
// the caller has checked with Has.
class TPXTiffView {
 public:
  TPXTiffView(const uint8_t* data, size_t size, bool bigEndian = false) : p_(data), n_(size), big_(bigEndian) {}

  // Byte order, magic and the first directory's offset.
  bool ReadHeader(uint32_t& firstIFD) {
    if (n_ < 8) return false;
    if (p_[0] == 'I' && p_[1] == 'I')
      big_ = false;
    else if (p_[0] == 'M' && p_[1] == 'M')
      big_ = true;
    else
      return false;
    if (U16(2) != 42) return false;
    firstIFD = U32(4);
    return true;
  }

  bool Has(size_t offset, size_t length) const { return offset <= n_ && length <= n_ - offset; }
  size_t Size() const { return n_; }
  const uint8_t* Data() const { return p_; }

  uint16_t U16(size_t o) const {
    return big_ ? static_cast<uint16_t>((p_[o] << 8) | p_[o + 1]) : static_cast<uint16_t>(p_[o] | (p_[o + 1] << 8));
  }
  uint32_t U32(size_t o) const {
    const uint32_t a = p_[o], b = p_[o + 1], c = p_[o + 2], d = p_[o + 3];
    return big_ ? (a << 24) | (b << 16) | (c << 8) | d : a | (b << 8) | (c << 16) | (d << 24);
  }

  // The entries of the directory at offset, each with its value bytes inside
  // the block (others are skipped), and the next directory's offset (0 when
  // there is none or the directory is cut short). False when not even the
  // entry count lies in the block.
  bool ReadIFD(uint32_t offset, std::vector<TPXTiffEntry>& entries, uint32_t& next) const {
    entries.clear();
    next = 0;
    if (!Has(offset, 2)) return false;
    const uint32_t declared = U16(offset);
    // Only the entries actually present are read.
    const size_t present = (n_ - offset - 2) / 12;
    const size_t count = std::min<size_t>(declared, present);
    entries.reserve(count);
    for (size_t i = 0; i < count; ++i) {
      const size_t at = offset + 2 + i * 12;
      TPXTiffEntry e;
      e.Tag = U16(at);
      e.Type = U16(at + 2);
      e.Count = U32(at + 4);
      const size_t size = TIFFTypeSize(e.Type);
      if (size == 0 || e.Count == 0) continue;
      const uint64_t bytes = static_cast<uint64_t>(e.Count) * size;
      e.Value = bytes <= 4 ? at + 8 : U32(at + 8);
      if (!Has(e.Value, static_cast<size_t>(std::min<uint64_t>(bytes, n_ + 1)))) continue;
      entries.push_back(e);
    }
    if (count == declared && Has(offset + 2 + count * 12, 4)) next = U32(offset + 2 + count * 12);
    return true;
  }

  // Value i of an integer entry (0 for other types or i out of range).
  int64_t Int(const TPXTiffEntry& e, uint32_t i = 0) const {
    if (i >= e.Count) return 0;
    const size_t o = e.Value + i * TIFFTypeSize(e.Type);
    switch (e.Type) {
      case ttByte:
      case ttUndefined: return p_[o];
      case ttSByte: return static_cast<int8_t>(p_[o]);
      case ttShort: return U16(o);
      case ttSShort: return static_cast<int16_t>(U16(o));
      case ttLong: return U32(o);
      case ttSLong: return static_cast<int32_t>(U32(o));
      default: return 0;
    }
  }

  // Value i of a numeric entry; 0 for a zero denominator or anything not finite.
  double Number(const TPXTiffEntry& e, uint32_t i = 0) const {
    if (i >= e.Count) return 0;
    const size_t o = e.Value + i * TIFFTypeSize(e.Type);
    double v = 0;
    switch (e.Type) {
      case ttRational: {
        const uint32_t d = U32(o + 4);
        v = d == 0 ? 0.0 : static_cast<double>(U32(o)) / d;
        break;
      }
      case ttSRational: {
        const auto d = static_cast<int32_t>(U32(o + 4));
        v = d == 0 ? 0.0 : static_cast<double>(static_cast<int32_t>(U32(o))) / d;
        break;
      }
      case ttFloat: {
        const uint32_t bits = U32(o);
        float f;
        std::memcpy(&f, &bits, 4);
        v = f;
        break;
      }
      case ttDouble: {
        const uint64_t bits = big_ ? (static_cast<uint64_t>(U32(o)) << 32) | U32(o + 4)
                                   : U32(o) | (static_cast<uint64_t>(U32(o + 4)) << 32);
        std::memcpy(&v, &bits, 8);
        break;
      }
      default: v = static_cast<double>(Int(e, i)); break;
    }
    return std::isfinite(v) ? v : 0.0;
  }

  // The bytes of a text entry up to its first zero byte.
  std::string Text(const TPXTiffEntry& e) const {
    if (TIFFTypeSize(e.Type) != 1) return {};
    const auto* s = reinterpret_cast<const char*>(p_ + e.Value);
    return std::string(s, strnlen(s, e.Count));
  }

  // All value bytes of a one-byte-per-value entry.
  std::string Bytes(const TPXTiffEntry& e) const {
    if (TIFFTypeSize(e.Type) != 1) return {};
    return std::string(reinterpret_cast<const char*>(p_ + e.Value), e.Count);
  }

 private:
  const uint8_t* p_;
  size_t n_;
  bool big_ = false;
};

// The EXIF copies of a first (image) directory's tags, and the tags of an
// EXIF directory, into the record's EXIF fields (fields without a tag keep
// their values).
void ReadEXIFFirstIFDTags(const TPXTiffView& v, const std::vector<TPXTiffEntry>& entries, TIOParamsVals& r);
void ReadEXIFSubIFDTags(const TPXTiffView& v, const std::vector<TPXTiffEntry>& entries, TIOParamsVals& r);

}  // namespace pixoran
