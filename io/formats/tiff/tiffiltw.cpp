// TIFF writer: one little-endian page, or a page inserted into an existing
// little-endian file. Offsets are relative to where the TIFF starts, as the
// reader takes them.
#include <algorithm>
#include <climits>
#include <cmath>
#include <array>
#include <cstring>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/neurquant.h"
#include "io/iohooks.h"
#include "io/formats/jpeg/jpegfilt.h"
#include "io/pxfiltutil.h"
#include "io/pxmetadata.h"
#include "io/formats/tiff/tifccitt.h"
#include "io/formats/tiff/tiffilt.h"
#include "io/formats/tiff/tiflab.h"

namespace pixoran {

namespace {

enum : uint16_t {
  tType_BYTE = 1,
  tType_ASCII = 2,
  tType_SHORT = 3,
  tType_LONG = 4,
  tType_RATIONAL = 5,
  tType_UNDEFINED = 7,
};

constexpr int64_t kStripTarget = 524288;

// Directory entries; values longer than 4 bytes go to the stream at once.
class TTagList {
 public:
  TTagList(TStream& stream, int64_t base, bool& error) : s_(stream), base_(base), error_(error) {}

  void Short(uint16_t tag, uint32_t v) { Add(tag, tType_SHORT, 1, v & 0xFFFF); }
  void Long(uint16_t tag, uint32_t v) { Add(tag, tType_LONG, 1, v); }
  void Shorts(uint16_t tag, const uint16_t* v, uint32_t n) {
    if (n <= 2) {
      Add(tag, tType_SHORT, n, v[0] | (n == 2 ? static_cast<uint32_t>(v[1]) << 16 : 0));
      return;
    }
    std::vector<uint8_t> b(n * 2);
    for (uint32_t i = 0; i < n; ++i) PutLE16(&b[i * 2], v[i]);
    Data(tag, tType_SHORT, n, b.data(), b.size());
  }
  void Longs(uint16_t tag, const uint32_t* v, uint32_t n) {
    if (n == 1) return Long(tag, v[0]);
    std::vector<uint8_t> b(static_cast<size_t>(n) * 4);
    for (uint32_t i = 0; i < n; ++i) PutLE32(&b[i * 4], v[i]);
    Data(tag, tType_LONG, n, b.data(), b.size());
  }
  void Rationals(uint16_t tag, const double* v, uint32_t n) {
    std::vector<uint8_t> b(static_cast<size_t>(n) * 8);
    for (uint32_t i = 0; i < n; ++i) {
      uint32_t num = 0, den = 1;
      ToRational(v[i], num, den);
      PutLE32(&b[i * 8], num);
      PutLE32(&b[i * 8 + 4], den);
    }
    Data(tag, tType_RATIONAL, n, b.data(), b.size());
  }
  void Rational(uint16_t tag, double v) { Rationals(tag, &v, 1); }
  // Signed (type 10): the magnitude as above, the sign on the numerator.
  void SRational(uint16_t tag, double v) {
    uint32_t num = 0, den = 1;
    ToRational(v < 0 ? -v : v, num, den);
    uint8_t b[8];
    PutLE32(b, v < 0 ? static_cast<uint32_t>(-static_cast<int64_t>(std::min<uint32_t>(num, INT32_MAX)))
                     : std::min<uint32_t>(num, INT32_MAX));
    PutLE32(b + 4, den);
    Data(tag, 10, 1, b, 8);
  }
  void Ascii(uint16_t tag, const std::string& text) {
    if (text.empty()) return;
    Data(tag, tType_ASCII, static_cast<uint32_t>(text.size() + 1), text.c_str(), text.size() + 1);
  }
  void Bytes(uint16_t tag, uint16_t type, const void* data, size_t n) {
    if (n == 0) return;
    Data(tag, type, static_cast<uint32_t>(n), data, n);
  }

  // Stream offset relative to the TIFF's start; beyond 4 GB it fails.
  uint32_t Offset() {
    const int64_t off = s_.Position() - base_;
    if (off < 0 || off > 0xFFFFFFFFLL) {
      error_ = true;
      tooLarge_ = true;
      return 0;
    }
    return static_cast<uint32_t>(off);
  }
  void PadEven() {
    if ((s_.Position() - base_) & 1) {
      const uint8_t zero = 0;
      SafeStreamWrite(s_, error_, &zero, 1);
    }
  }

  // Entry count, entries by tag, next offset; returns the IFD's offset.
  uint32_t Write(uint32_t next) {
    PadEven();
    const uint32_t at = Offset();
    std::sort(entries_.begin(), entries_.end(),
              [](const auto& a, const auto& b) { return GetLE16(a.data()) < GetLE16(b.data()); });
    std::vector<uint8_t> b(2 + entries_.size() * 12 + 4);
    PutLE16(b.data(), static_cast<uint32_t>(entries_.size()));
    for (size_t i = 0; i < entries_.size(); ++i) std::memcpy(&b[2 + i * 12], entries_[i].data(), 12);
    PutLE32(&b[2 + entries_.size() * 12], next);
    SafeStreamWrite(s_, error_, b.data(), static_cast<int64_t>(b.size()));
    return at;
  }

  // The closest fraction whose terms fit (continued fractions), so values
  // such as 1/60 or 2.8 read back exactly; at most 4294967295.
  static void ToRational(double v, uint32_t& num, uint32_t& den) {
    num = 0;
    den = 1;
    constexpr double kLimit = 4294967295.0;
    if (!std::isfinite(v) || v <= 0) return;
    if (v >= kLimit) {
      num = 0xFFFFFFFFu;
      return;
    }
    unsigned __int128 h0 = 0, h1 = 1, k0 = 1, k1 = 0;
    double x = v;
    for (int i = 0; i < 64; ++i) {
      const double a = std::floor(x);
      if (a > kLimit) break;
      const auto ai = static_cast<unsigned __int128>(a);
      const unsigned __int128 h2 = ai * h1 + h0, k2 = ai * k1 + k0;
      if (h2 > 0xFFFFFFFFu || k2 > 0xFFFFFFFFu) break;
      h0 = h1, h1 = h2, k0 = k1, k1 = k2;
      if (static_cast<double>(h1) / static_cast<double>(k1) == v) break;
      const double frac = x - a;
      if (frac <= 0) break;
      x = 1.0 / frac;
    }
    if (k1 == 0) return;
    num = static_cast<uint32_t>(h1);
    den = static_cast<uint32_t>(k1);
  }

  // An entry whose data the caller placed.
  void Entry(uint16_t tag, uint16_t type, uint32_t count, uint32_t value) { Add(tag, type, count, value); }

 private:
  void Add(uint16_t tag, uint16_t type, uint32_t count, uint32_t value) {
    std::array<uint8_t, 12> e{};
    PutLE16(e.data(), tag);
    PutLE16(e.data() + 2, type);
    PutLE32(e.data() + 4, count);
    PutLE32(e.data() + 8, value);
    // One entry per tag: a later value replaces an earlier one.
    for (auto& old : entries_)
      if (GetLE16(old.data()) == tag) {
        old = e;
        return;
      }
    entries_.push_back(e);
  }
  void Data(uint16_t tag, uint16_t type, uint32_t count, const void* data, size_t n) {
    if (n <= 4) {
      uint8_t v[4] = {};
      std::memcpy(v, data, n);
      Add(tag, type, count, GetLE32(v));
      return;
    }
    PadEven();
    const uint32_t at = Offset();
    SafeStreamWrite(s_, error_, data, static_cast<int64_t>(n));
    Add(tag, type, count, at);
  }

  TStream& s_;
  int64_t base_;
  bool& error_;
  bool tooLarge_ = false;
  std::vector<std::array<uint8_t, 12>> entries_;

 public:
  // The file passed what 32-bit offsets reach.
  bool TooLarge() const { return tooLarge_; }
};

template <size_t N>
bool AnyNonZero(const std::array<double, N>& a) {
  return std::any_of(a.begin(), a.end(), [](double v) { return v != 0; });
}

// A 4-byte version field ("0220").
std::string VersionBytes(const std::string& s) {
  std::string b(4, '0');
  for (size_t i = 0; i < 4 && i < s.size(); ++i) b[i] = s[i];
  return b;
}

// The EXIF group: the first directory's tags from the record's EXIF fields,
// then the EXIF directory written at once, and the ExifIFD link to it.
// Fields at 0 or empty are left out; the resolution unit is written as read.
void WriteTIFFIFD(TTagList& ifd0, TStream& stream, int64_t base, const TIOParamsVals& r, bool& error) {
  ifd0.Ascii(270, r.EXIFImageDescription);
  ifd0.Ascii(271, r.EXIFMake);
  ifd0.Ascii(272, r.EXIFModel);
  if (r.EXIFOrientation != 0) ifd0.Short(274, static_cast<uint32_t>(r.EXIFOrientation));
  if (r.EXIFXResolution != 0) ifd0.Rational(282, r.EXIFXResolution);
  if (r.EXIFYResolution != 0) ifd0.Rational(283, r.EXIFYResolution);
  if (r.EXIFResolutionUnit != 0) ifd0.Short(296, static_cast<uint32_t>(r.EXIFResolutionUnit));
  ifd0.Ascii(305, r.EXIFSoftware);
  ifd0.Ascii(306, r.EXIFDateTime);
  if (AnyNonZero(r.EXIFWhitePoint)) ifd0.Rationals(318, r.EXIFWhitePoint.data(), 2);
  if (AnyNonZero(r.EXIFPrimaryChromaticities)) ifd0.Rationals(319, r.EXIFPrimaryChromaticities.data(), 6);
  if (AnyNonZero(r.EXIFYCbCrCoefficients)) ifd0.Rationals(529, r.EXIFYCbCrCoefficients.data(), 3);
  if (r.EXIFYCbCrPositioning != 0) ifd0.Short(531, static_cast<uint32_t>(r.EXIFYCbCrPositioning));
  if (AnyNonZero(r.EXIFReferenceBlackWhite)) ifd0.Rationals(532, r.EXIFReferenceBlackWhite.data(), 6);
  ifd0.Ascii(33432, r.EXIFCopyright);

  TTagList ifd(stream, base, error);
  auto rational = [&](uint16_t tag, double v) {
    if (v != 0) ifd.Rational(tag, v);
  };
  auto srational = [&](uint16_t tag, double v) {
    if (v != 0) ifd.SRational(tag, v);
  };
  auto shortValue = [&](uint16_t tag, int32_t v) {
    if (v != 0) ifd.Short(tag, static_cast<uint32_t>(std::clamp(v, 0, 65535)));
  };
  rational(33434, r.EXIFExposureTime);
  rational(33437, r.EXIFFNumber);
  shortValue(34850, r.EXIFExposureProgram);
  if (r.EXIFISOSpeedRatings[1] != 0) {
    const uint16_t iso[2] = {static_cast<uint16_t>(r.EXIFISOSpeedRatings[0]),
                             static_cast<uint16_t>(r.EXIFISOSpeedRatings[1])};
    ifd.Shorts(34855, iso, 2);
  } else {
    shortValue(34855, r.EXIFISOSpeedRatings[0]);
  }
  // The version is what makes the directory an EXIF one.
  const std::string version = VersionBytes(r.EXIFVersion.empty() ? std::string("0220") : r.EXIFVersion);
  ifd.Bytes(36864, tType_UNDEFINED, version.data(), 4);
  ifd.Ascii(36867, r.EXIFDateTimeOriginal);
  ifd.Ascii(36868, r.EXIFDateTimeDigitized);
  rational(37122, r.EXIFCompressedBitsPerPixel);
  srational(37377, r.EXIFShutterSpeedValue);
  rational(37378, r.EXIFApertureValue);
  srational(37379, r.EXIFBrightnessValue);
  srational(37380, r.EXIFExposureBiasValue);
  rational(37381, r.EXIFMaxApertureValue);
  rational(37382, r.EXIFSubjectDistance);
  shortValue(37383, r.EXIFMeteringMode);
  shortValue(37384, r.EXIFLightSource);
  shortValue(37385, r.EXIFFlash);
  rational(37386, r.EXIFFocalLength);
  if (!r.EXIFUserComment.empty() || !r.EXIFUserCommentCode.empty()) {
    // The 8-byte character code, then the text, as UNDEFINED.
    std::string b = r.EXIFUserCommentCode.empty() ? std::string("ASCII") : r.EXIFUserCommentCode;
    b.resize(8, '\0');
    b += r.EXIFUserComment;
    ifd.Bytes(37510, tType_UNDEFINED, b.data(), b.size());
  }
  ifd.Ascii(37520, r.EXIFSubsecTime);
  ifd.Ascii(37521, r.EXIFSubsecTimeOriginal);
  ifd.Ascii(37522, r.EXIFSubsecTimeDigitized);
  if (!r.EXIFFlashPixVersion.empty()) {
    const std::string fpx = VersionBytes(r.EXIFFlashPixVersion);
    ifd.Bytes(40960, tType_UNDEFINED, fpx.data(), 4);
  }
  shortValue(40961, r.EXIFColorSpace);
  if (r.EXIFImageWidth != 0) ifd.Long(40962, static_cast<uint32_t>(r.EXIFImageWidth));
  if (r.EXIFImageHeight != 0) ifd.Long(40963, static_cast<uint32_t>(r.EXIFImageHeight));
  ifd.Ascii(40964, r.EXIFRelatedSoundFile);
  rational(41486, r.EXIFFocalPlaneXResolution);
  rational(41487, r.EXIFFocalPlaneYResolution);
  shortValue(41488, r.EXIFFocalPlaneResolutionUnit);
  rational(41493, r.EXIFExposureIndex);
  shortValue(41495, r.EXIFSensingMethod);
  if (r.EXIFFileSource != 0) {
    const auto v = static_cast<uint8_t>(r.EXIFFileSource);
    ifd.Bytes(41728, tType_UNDEFINED, &v, 1);
  }
  if (r.EXIFSceneType != 0) {
    const auto v = static_cast<uint8_t>(r.EXIFSceneType);
    ifd.Bytes(41729, tType_UNDEFINED, &v, 1);
  }
  ifd0.Long(34665, ifd.Write(0));
}

// How the rows of a page are made.
enum class TRows : uint8_t {
  BW,       // 1-bit rows of a two-colour or black-and-white bitmap
  Grey,     // grey levels
  Palette,  // indices into the quantizer's palette
  RGB,      // red, green, blue bytes
  CMYK,     // inverted CMYK through the colour-row hook
  Lab,      // CIE L*a*b* through the colour-row hook
  JPEG,     // one JPEG strip made from the bitmap itself
};

// The page's form as written.
struct TForm {
  int32_t Compression = 1;  // tag value
  bool TwoD = false;        // Group 3 2-D
  int32_t Photometric = 2;  // tag value
  int32_t Bits = 8;
  int32_t Samples = 3;
  int32_t Predictor = 1;
  TRows Rows = TRows::RGB;
  int32_t Colours = 256;    // entries the quantizer may use
  bool GreyBitmap = false;  // grey rows: the bitmap's values are grey levels
};

// Packs 1-sample values of bits (1..8) most significant first.
void PackSamples(const uint8_t* values, int32_t count, int32_t bits, uint8_t* out) {
  if (bits == 8) {
    std::memcpy(out, values, static_cast<size_t>(count));
    return;
  }
  uint32_t acc = 0;
  int32_t n = 0;
  size_t o = 0;
  for (int32_t i = 0; i < count; ++i) {
    acc = (acc << bits) | (values[i] & ((1u << bits) - 1));
    n += bits;
    while (n >= 8) {
      n -= 8;
      out[o++] = static_cast<uint8_t>(acc >> n);
    }
  }
  if (n > 0) out[o] = static_cast<uint8_t>(acc << (8 - n));
}

// The strip encoder: rows into a memory strip, flushed at each strip's end.
class TStripEncoder {
 public:
  TStripEncoder(const TForm& form, int32_t width, TTIFFLZWCompressProc lzw) : form_(form), width_(width), lzw_(lzw) {}
  ~TStripEncoder() {
    if (lzwState_) lzw_(nullptr, 0, strip_, lzwState_);
  }

  void Row(const uint8_t* row, int32_t length) {
    switch (form_.Compression) {
      case 2: EncodeCCITTRowMH(row, width_, strip_, error_); break;
      case 3:
        if (form_.TwoD) EncodeCCITTG3Row(row, width_, strip_, error_, reference_, pendingBits_, pendingByte_);
        else EncodeCCITTG3Row1D(row, width_, strip_, error_, pendingBits_, pendingByte_);
        break;
      case 4: EncodeCCITTG4Row(row, width_, strip_, error_, reference_, pendingBits_, pendingByte_); break;
      case 5: lzw_(row, length, strip_, lzwState_); break;
      case 32773: EncodePackBits(row, length, strip_, error_); break;
      default: SafeStreamWrite(strip_, error_, row, length); break;
    }
  }

  // Finishes the strip's code and writes it; returns its byte count.
  int64_t End(TStream& stream, bool& error) {
    switch (form_.Compression) {
      case 3:
        if (form_.TwoD) EncodeCCITTG3Row(nullptr, width_, strip_, error_, reference_, pendingBits_, pendingByte_);
        break;
      case 4: EncodeCCITTG4Row(nullptr, width_, strip_, error_, reference_, pendingBits_, pendingByte_); break;
      case 5:
        if (lzwState_) lzw_(nullptr, 0, strip_, lzwState_);
        break;
      default: break;
    }
    if (pendingBits_ > 0) SafeStreamWrite(strip_, error_, &pendingByte_, 1);
    pendingBits_ = 0;
    pendingByte_ = 0;
    reference_.clear();
    const int64_t n = strip_.Size();
    SafeStreamWrite(stream, error, strip_.Memory(), n);
    if (error_) error = true;
    // The buffer keeps its capacity for the next strip.
    strip_.SetSize(0);
    return n;
  }

 private:
  const TForm& form_;
  int32_t width_;
  TTIFFLZWCompressProc lzw_;
  TMemoryStream strip_;
  bool error_ = false;
  TTIFFLZWState* lzwState_ = nullptr;
  std::vector<uint8_t> reference_;
  int32_t pendingBits_ = 0;
  uint8_t pendingByte_ = 0;
};

// Components and the first component's sampling of a JPEG stream's frame
// header; false when none is found.
bool JPEGFrameInfo(const uint8_t* d, int64_t n, int32_t& components, int32_t& h, int32_t& v) {
  int64_t i = 2;
  while (i + 4 <= n) {
    if (d[i] != 0xFF) return false;
    const uint8_t m = d[i + 1];
    if (m == 0xFF) {
      ++i;
      continue;
    }
    const int64_t len = (d[i + 2] << 8) | d[i + 3];
    if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC) {
      if (i + 2 + len > n || len < 11) return false;
      components = d[i + 9];
      h = d[i + 11] >> 4;
      v = d[i + 11] & 15;
      return true;
    }
    i += 2 + len;
  }
  return false;
}

// Follows the directory chain of the little-endian TIFF at base to the link
// numbered index (or the final zero link); the link's position and value.
// Loops and links outside the file fail.
bool FindLink(TStream& stream, int64_t base, int32_t index, int64_t& linkPos, uint32_t& linkValue) {
  const int64_t size = stream.Size() - base;
  uint8_t b[4];
  linkPos = base + 4;
  stream.SetPosition(linkPos);
  if (!stream.ReadExact(b, 4)) return false;
  linkValue = GetLE32(b);
  std::unordered_set<uint32_t> seen;
  for (int32_t i = 0; i < index && linkValue != 0; ++i) {
    if (!seen.insert(linkValue).second || linkValue + int64_t{2} > size) return false;
    stream.SetPosition(base + linkValue);
    if (!stream.ReadExact(b, 2)) return false;
    const int64_t next = linkValue + 2 + int64_t{GetLE16(b)} * 12;
    if (next + 4 > size) return false;
    linkPos = base + next;
    stream.SetPosition(linkPos);
    if (!stream.ReadExact(b, 4)) return false;
    linkValue = GetLE32(b);
  }
  return true;
}

// True when every pixel of the bitmap is grey; formats other than those
// whose pixels can be looked at count as colour (they go through a palette).
bool HoldsOnlyGrey(TPXBitmap& bitmap) {
  switch (bitmap.PixelFormat()) {
    case pxBW1:
    case pxGray8:
    case pxGray16: return true;
    case pxPal8:
    case pxBGR24: return bitmap.IsGrayscale();
    default: return false;
  }
}

// The page the record asks for, made into one that every reader takes:
// 1 sample of 1 bit is bilevel; 1 sample of more bits is grey when the
// bitmap holds only grey, else a palette page of up to 8 bits; a grey
// interpretation with several samples is a grey page; separated is 4
// samples, CIE L*a*b* 3, anything else red-green-blue, all at 8 bits. The
// record's BitsPerSample, SamplesPerPixel, TIFFCompression and
// TIFFPhotometric become what is written.
TForm ChooseForm(TIOParamsVals& params, TPXBitmap& bitmap, bool canLZW) {
  TForm f;
  int32_t bits = params.BitsPerSample, samples = params.SamplesPerPixel;
  const int32_t photo = params.TIFFPhotometric;
  const int32_t comp = params.TIFFCompression;
  if (bits <= 0 || samples <= 0) bits = 8, samples = 3;
  // Sample sizes the readers take: 2, 4, 8 or 16 bits.
  auto written = [](int32_t b) { return b == 16 ? 16 : b > 4 ? 8 : b > 2 ? 4 : 2; };
  if (bits == 1 && samples == 1) {
    f.Rows = TRows::BW, f.Bits = 1, f.Samples = 1, f.Photometric = 1;
  } else if (samples == 1) {
    f.Samples = 1;
    f.Colours = 1 << std::min(bits, 8);
    f.GreyBitmap = HoldsOnlyGrey(bitmap);
    if (f.GreyBitmap) {
      f.Rows = TRows::Grey, f.Photometric = 1, f.Bits = written(bits);
    } else {
      f.Rows = TRows::Palette, f.Photometric = 3, f.Bits = std::min(written(bits), 8);
    }
  } else if (photo == 0 || photo == 1) {
    f.Rows = TRows::Grey, f.Photometric = 1, f.Samples = 1, f.Bits = bits == 16 ? 16 : 8;
    f.GreyBitmap = HoldsOnlyGrey(bitmap);
  } else {
    f.Bits = 8;
    if (photo == 5 && bits <= 8) f.Rows = TRows::CMYK, f.Photometric = 5, f.Samples = 4;
    else if ((photo == 7 || photo == 8) && bits <= 8) f.Rows = TRows::Lab, f.Photometric = 8, f.Samples = 3;
    else f.Rows = TRows::RGB, f.Photometric = 2, f.Samples = 3;
  }

  uint8_t code = 0;  // the record's compression code of what is written
  if (f.Rows == TRows::BW && comp >= 1 && comp <= 4) {
    f.Compression = comp == 1 ? 2 : comp == 4 ? 4 : 3;
    f.TwoD = comp == 3;
    f.Photometric = 0;
    code = static_cast<uint8_t>(comp);
  } else if (comp == 5 && canLZW) {
    f.Compression = 5;
    f.Predictor = f.Rows == TRows::RGB ? 2 : 1;
    code = 5;
  } else if (comp == 7 && f.Rows != TRows::BW) {
    f.Compression = 7;
    f.Rows = TRows::JPEG;  // the tags then say what the JPEG data holds
    code = 7;
  } else if (comp == 8) {
    f.Compression = 32773;
    code = 8;
  }
  params.BitsPerSample = f.Bits;
  params.SamplesPerPixel = f.Samples;
  params.TIFFCompression = code;
  params.TIFFPhotometric = static_cast<uint8_t>(f.Photometric == 8 ? 7 : f.Photometric);
  return f;
}

// The bitmap whose rows the form's rows are made from: the caller's, or a
// copy in work when its pixel format is not one the rows take.
TPXBitmap& RowSource(TPXBitmap& bitmap, const TForm& f, std::unique_ptr<TPXBitmap>& work) {
  const TPXPixelFormat pf = bitmap.PixelFormat();
  TPXPixelFormat want = pxNone;
  switch (f.Rows) {
    case TRows::BW: {
      TBGR c0{}, c1{};
      return OneBitRows(bitmap, work, c0, c1);
    }
    case TRows::Grey:
      // A grey bitmap gives its own levels; a colour one (a grey
      // interpretation over colour) its grey conversion.
      if (pf == pxGray8 || pf == pxGray16 || ((pf == pxPal8 || pf == pxBGR24) && f.GreyBitmap)) return bitmap;
      want = pxGray8;
      break;
    case TRows::Palette:
      // A palette larger than the page's keeps indices the page cannot
      // hold: its colours are quantized again from a 24-bit copy.
      if (pf == pxBGR24 || (pf == pxPal8 && bitmap.PaletteCount() <= f.Colours)) return bitmap;
      want = pxBGR24;
      break;
    case TRows::JPEG:
      if (pf == pxBGR24 || pf == pxCMYK || pf == pxBW1 || pf == pxGray8 || pf == pxGray16 || pf == pxPal8)
        return bitmap;
      want = pxBGR24;
      break;
    default:
      if (pf == pxBGR24) return bitmap;
      want = pxBGR24;
      break;
  }
  // Formats without a direct conversion to grey go through 24 bits.
  if (want == pxGray8 && pf != pxBW1 && pf != pxPal8 && pf != pxBGR24) {
    work = ConvertedCopy(bitmap, pxBGR24);
    work = ConvertedCopy(*work, pxGray8);
  } else {
    work = ConvertedCopy(bitmap, want);
  }
  return *work;
}

// Makes the page's rows, as the file holds them, from the source's rows.
class TRowMaker {
 public:
  TRowMaker(const TForm& f, TPXBitmap& src, TIOParamsVals& params, const TPXQuantizer& quantizer)
      : f_(f),
        src_(src),
        params_(params),
        quantizer_(quantizer),
        w_(src.Width()),
        rowBytes_((int64_t{w_} * f.Bits * f.Samples + 7) / 8) {
    out_.resize(static_cast<size_t>(rowBytes_) + 8);
    values_.resize(static_cast<size_t>(w_) + 8);
    if (src.PixelFormat() == pxPal8) {
      for (int i = 0; i < 256; ++i) {
        const TBGR c = src.GetPaletteEntry(i);
        palGrey_[i] = c.g;
        palIndex_[i] = f.Rows == TRows::Palette ? static_cast<uint8_t>(quantizer.ColorIndexOrNearest(BGRToInt(c))) : 0;
      }
    }
  }
  int64_t RowBytes() const { return rowBytes_; }

  // Row y, or nullptr when the source gives none.
  const uint8_t* Row(int32_t y) {
    const uint8_t* s = src_.Scanline(y);
    if (!s) return nullptr;
    uint8_t* o = out_.data();
    const int32_t w = w_;
    switch (f_.Rows) {
      case TRows::BW:
        // pxBW1 keeps 1 = white, as BlackIsZero; the fax codes want 0 = white.
        if (f_.Photometric == 0)
          for (int64_t i = 0; i < rowBytes_; ++i) o[i] = static_cast<uint8_t>(~s[i]);
        else std::memcpy(o, s, static_cast<size_t>(rowBytes_));
        break;
      case TRows::Grey: Grey(s, o); break;
      case TRows::Palette:
        if (src_.PixelFormat() == pxPal8)
          for (int32_t x = 0; x < w; ++x) values_[x] = palIndex_[s[x]];
        else quantizer_.MapRow(s, values_.data(), w);
        PackSamples(values_.data(), w, f_.Bits, o);
        break;
      case TRows::CMYK:
        ConvertColorHook()(s, pxcsBGR, o, &params_, w, pxcsCMYK);
        for (int64_t i = 0; i < rowBytes_; ++i) o[i] = static_cast<uint8_t>(~o[i]);
        break;
      case TRows::Lab: {
        const TTIFFLabWhite white = LabWhiteOfChromaticity(kTIFFLabWriteWhite[0], kTIFFLabWriteWhite[1]);
        const TPXConvertColorProc convert = ConvertColorHook();
        if (convert == ConvertRowColorSpace) {
          BGRRowToTIFFLab(s, o, w, white);
          break;
        }
        // An application's hook gives the library's own L*a*b* bytes; the page holds TIFF's.
        convert(s, pxcsBGR, o, &params_, w, pxcsCIELab);
        LibraryLabRowToTIFF(o, o, w, white);
        break;
      }
      default:
        if (f_.Predictor == 2) {
          // Horizontal differences, from the row's end back.
          for (int32_t x = w - 1; x > 0; --x) {
            const uint8_t* p = s + x * 3;
            o[x * 3] = static_cast<uint8_t>(p[2] - p[-1]);
            o[x * 3 + 1] = static_cast<uint8_t>(p[1] - p[-2]);
            o[x * 3 + 2] = static_cast<uint8_t>(p[0] - p[-3]);
          }
          o[0] = s[2], o[1] = s[1], o[2] = s[0];
        } else {
          for (int32_t x = 0; x < w; ++x) {
            o[x * 3] = s[x * 3 + 2];
            o[x * 3 + 1] = s[x * 3 + 1];
            o[x * 3 + 2] = s[x * 3];
          }
        }
        break;
    }
    return o;
  }

 private:
  // Grey levels of the source's pixels at the page's bits: 16-bit as
  // little-endian words over the full range.
  void Grey(const uint8_t* s, uint8_t* o) {
    const int32_t w = w_;
    const TPXPixelFormat pf = src_.PixelFormat();
    if (pf == pxGray16) {
      const auto* g = reinterpret_cast<const uint16_t*>(s);
      if (f_.Bits == 16) {
        for (int32_t x = 0; x < w; ++x) PutLE16(o + x * 2, g[x]);
        return;
      }
      for (int32_t x = 0; x < w; ++x) values_[x] = static_cast<uint8_t>(g[x] >> 8);
    } else if (pf == pxPal8) {
      for (int32_t x = 0; x < w; ++x) values_[x] = palGrey_[s[x]];
    } else if (pf == pxBGR24) {
      for (int32_t x = 0; x < w; ++x) values_[x] = s[x * 3 + 1];
    } else {
      std::memcpy(values_.data(), s, static_cast<size_t>(w));
    }
    if (f_.Bits == 16) {
      for (int32_t x = 0; x < w; ++x) PutLE16(o + x * 2, values_[x] * 257u);
      return;
    }
    if (f_.Bits < 8) {
      const uint32_t max = (1u << f_.Bits) - 1;
      for (int32_t x = 0; x < w; ++x) values_[x] = static_cast<uint8_t>((values_[x] * max + 127) / 255);
    }
    PackSamples(values_.data(), w, f_.Bits, o);
  }

  const TForm& f_;
  TPXBitmap& src_;
  TIOParamsVals& params_;
  const TPXQuantizer& quantizer_;
  int32_t w_;
  int64_t rowBytes_;
  std::vector<uint8_t> out_, values_;
  std::array<uint8_t, 256> palGrey_{}, palIndex_{};
};

// Where the strips went.
struct TStrips {
  std::vector<uint32_t> Offsets, Counts;
  int32_t RowsPerStrip = 0;
};

// The rows in strips of about kStripTarget bytes of the source's rows, each
// coded on its own. False on a failed write or a cancel.
bool WriteStrips(TStream& stream, TTagList& tags, const TForm& form, TPXBitmap& src, TRowMaker& rows,
                 TTIFFLZWCompressProc lzw, TPXProgressRec& progress, bool& error, TStrips& strips) {
  const int32_t w = src.Width(), h = src.Height();
  strips.RowsPerStrip =
      static_cast<int32_t>(std::max<int64_t>(1, h / std::max<int64_t>(1, int64_t{h} * src.RowLen() / kStripTarget)));
  TPXAccessScope readOnly(src, pxaRead);
  TStripEncoder enc(form, w, lzw);
  tags.PadEven();
  uint32_t stripStart = tags.Offset();
  progress.Start(h);
  for (int32_t y = 0; y < h && !error; ++y) {
    if (!BeginFilterRow(progress, y)) return false;
    const uint8_t* row = rows.Row(y);
    if (!row) return false;
    enc.Row(row, static_cast<int32_t>(rows.RowBytes()));
    if ((y + 1) % strips.RowsPerStrip == 0 || y + 1 == h) {
      const int64_t n = enc.End(stream, error);
      strips.Offsets.push_back(stripStart);
      strips.Counts.push_back(static_cast<uint32_t>(n));
      stripStart = tags.Offset();
    }
  }
  return !error;
}

// The whole page as one JPEG strip; the form then says what the JPEG data
// holds (its components and colour space). False when it cannot be made.
bool WriteJPEGStrip(TStream& stream, TTagList& tags, TForm& form, TPXBitmap& src, TIOParamsVals& params,
                    TPXProgressRec& progress, bool& error, TStrips& strips, int32_t sampling[2]) {
  TIOParamsVals jp;
  jp.JPEGQuality = params.TIFFJPEGQuality;
  const uint8_t cs = params.TIFFJPEGColorSpace;
  jp.JPEGColorSpace = cs == 4 ? 0 : cs;
  TMemoryStream ms;
  std::atomic<bool> failed{false};
  TPXProgressRec jprog = progress;
  jprog.Aborting = &failed;
  {
    TPXAccessScope readOnly(src, pxaRead);
    // TIFF holds CMYK as ink (0 = none), without the JPEG file convention's marker.
    WriteJPEGStream(ms, src, jp, jprog, true);
  }
  int32_t comps = 0;
  sampling[0] = sampling[1] = 1;
  if (failed || !JPEGFrameInfo(ms.Memory(), ms.Size(), comps, sampling[0], sampling[1]) ||
      (comps != 1 && comps != 3 && comps != 4))
    return false;
  form.Samples = comps;
  form.Bits = 8;
  form.Photometric = comps == 1 ? 1 : comps == 4 ? 5 : (cs == 0 || cs == 4) ? 2 : 6;
  params.SamplesPerPixel = comps;
  params.BitsPerSample = 8;
  params.TIFFPhotometric = static_cast<uint8_t>(form.Photometric);
  tags.PadEven();
  strips.Offsets.push_back(tags.Offset());
  strips.Counts.push_back(static_cast<uint32_t>(ms.Size()));
  strips.RowsPerStrip = src.Height();
  SafeStreamWrite(stream, error, ms.Memory(), ms.Size());
  return !error;
}

// The image tags of a page whose strips are written.
void AddImageTags(TTagList& tags, const TForm& form, int32_t w, int32_t h, const TStrips& strips,
                  const int32_t sampling[2], const std::array<TBGR, 256>& palette, const TIOParamsVals& params) {
  tags.Long(256, static_cast<uint32_t>(w));
  tags.Long(257, static_cast<uint32_t>(h));
  const uint16_t bps[4] = {static_cast<uint16_t>(form.Bits), static_cast<uint16_t>(form.Bits),
                           static_cast<uint16_t>(form.Bits), static_cast<uint16_t>(form.Bits)};
  tags.Shorts(258, bps, static_cast<uint32_t>(form.Samples));
  tags.Short(259, static_cast<uint32_t>(form.Compression));
  tags.Short(262, static_cast<uint32_t>(form.Photometric));
  tags.Ascii(269, params.TIFFDocumentName);
  tags.Short(274, static_cast<uint32_t>(std::clamp(params.TIFFOrientation, 1, 8)));
  if (form.Compression >= 2 && form.Compression <= 4) {
    tags.Short(266, 1);
    tags.Short(284, 1);
    tags.Short(327, 0);
  }
  tags.Short(277, static_cast<uint32_t>(form.Samples));
  tags.Long(278, static_cast<uint32_t>(strips.RowsPerStrip));
  tags.Longs(273, strips.Offsets.data(), static_cast<uint32_t>(strips.Offsets.size()));
  tags.Longs(279, strips.Counts.data(), static_cast<uint32_t>(strips.Counts.size()));
  if (form.Predictor == 2) tags.Short(317, 2);
  tags.Ascii(285, params.TIFFPageName);
  if (params.TIFFXPos != 0) tags.Rational(286, params.TIFFXPos);
  if (params.TIFFYPos != 0) tags.Rational(287, params.TIFFYPos);
  // The fax options only on fax pages: libtiff warns about them elsewhere.
  if (form.Compression == 3) tags.Long(292, form.TwoD ? 1 : 0);
  if (form.Compression == 4) tags.Long(293, 0);
  tags.Long(254, 0);
  const uint16_t pn[2] = {static_cast<uint16_t>(params.TIFFPageNumber), static_cast<uint16_t>(params.TIFFPageCount)};
  tags.Shorts(297, pn, 2);
  // Our 16-bit grey levels span the whole range; the reader knows them by
  // the signature, which goes before the user's own Software text.
  if (form.Photometric == 1 && form.Bits == 16)
    tags.Ascii(305, FullRangeSoftware(params.HasEXIFData ? params.EXIFSoftware : std::string()));
  if (form.Photometric == 8) tags.Rationals(318, kTIFFLabWriteWhite, 2);
  if (form.Photometric == 6) {
    const uint16_t sub[2] = {static_cast<uint16_t>(sampling[0]), static_cast<uint16_t>(sampling[1])};
    tags.Shorts(530, sub, 2);
    const double rbw[6] = {0, 255, 128, 255, 128, 255};
    tags.Rationals(532, rbw, 6);
  }
  if (form.Photometric == 3) {
    const size_t n = size_t{1} << form.Bits;
    std::vector<uint16_t> map(n * 3);
    for (size_t i = 0; i < n && i < palette.size(); ++i) {
      map[i] = static_cast<uint16_t>(palette[i].r * 257);
      map[n + i] = static_cast<uint16_t>(palette[i].g * 257);
      map[2 * n + i] = static_cast<uint16_t>(palette[i].b * 257);
    }
    tags.Shorts(320, map.data(), static_cast<uint32_t>(map.size()));
  }
}

}  // namespace

void EncodePackBits(const uint8_t* data, int32_t length, TStream& stream, bool& error) {
  if (data == nullptr || length <= 0) return;
  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(length) + length / 128 + 2);
  int32_t litStart = 0;
  auto flushLiterals = [&](int32_t end) {
    while (litStart < end) {
      const int32_t n = std::min(128, end - litStart);
      out.push_back(static_cast<uint8_t>(n - 1));
      out.insert(out.end(), data + litStart, data + litStart + n);
      litStart += n;
    }
  };
  int32_t i = 0;
  while (i < length) {
    int32_t run = 1;
    while (i + run < length && run < 128 && data[i + run] == data[i]) ++run;
    if (run >= 4) {
      flushLiterals(i);
      out.push_back(static_cast<uint8_t>(1 - run));
      out.push_back(data[i]);
      i += run;
      litStart = i;
    } else {
      i += run;
      if (i - litStart >= 128) flushLiterals(litStart + 128);
    }
  }
  flushLiterals(length);
  SafeStreamWrite(stream, error, out.data(), static_cast<int64_t>(out.size()));
}

int32_t WriteTIFFStream(TStream& stream, bool append, TPXBitmap* bitmap, TPXProgressRec& progress,
                        TIOParamsVals& params) {
  bool error = false;
  int32_t pages = 1;
  try {
    const int64_t base = stream.Position();
    int64_t linkPos = 0;
    uint32_t linkValue = 0;
    if (append) {
      uint8_t bo[2] = {};
      if (!stream.ReadExact(bo, 2) || bo[0] != 'I' || bo[1] != 'I') {
        progress.Fail(iorUnsupported, "TIFF: pages are only added to a little-endian TIFF");
        return 0;
      }
      stream.SetPosition(base);
      pages = TIFFPageCount(stream) + 1;
      if (pages <= 1 || !FindLink(stream, base, params.TIFFImageIndex, linkPos, linkValue)) {
        progress.Fail(iorCorrupt, "TIFF: the file's chain of pages cannot be followed");
        return 0;
      }
      stream.SetPosition(stream.Size());
    } else {
      const uint8_t zero[8] = {};
      SafeStreamWrite(stream, error, zero, 8);
    }

    TTagList tags(stream, base, error);
    auto failWrite = [&] {
      if (tags.TooLarge()) progress.Fail(iorTooLarge, "TIFF: the file would pass the 4 GB its offsets reach");
      else progress.Fail(iorWriteFailed, "TIFF: " + WriteFailureText(stream));
    };
    if (params.HasEXIFData) {
      WriteTIFFIFD(tags, stream, base, params, error);
    } else {
      tags.Ascii(270, params.TIFFImageDescription);
      tags.Rational(282, std::max(params.DpiX, 1));
      tags.Rational(283, std::max(params.DpiY, 1));
      tags.Short(296, 2);
    }

    std::array<TBGR, 256> palette{};
    if (bitmap) {
      if (bitmap->Width() <= 0 || bitmap->Height() <= 0) {
        progress.Fail(iorFailed, "TIFF: there is no image to write");
        return pages;
      }
      TTIFFLZWCompressProc lzw =
          params.TIFFLZWCompressor ? params.TIFFLZWCompressor : PXIOHooks().TIFFLZWCompressHook.load();
      TForm form = ChooseForm(params, *bitmap, lzw != nullptr);
      std::unique_ptr<TPXBitmap> work;
      TPXBitmap& src = RowSource(*bitmap, form, work);
      TPXQuantizer quantizer;
      if (form.Rows == TRows::Palette)
        quantizer.Init(src, std::span<TBGR>(palette.data(), palette.size()), form.Colours);
      TStrips strips;
      int32_t sampling[2] = {1, 1};
      bool written = false;
      if (form.Rows == TRows::JPEG) {
        written = WriteJPEGStrip(stream, tags, form, src, params, progress, error, strips, sampling);
      } else {
        TRowMaker rows(form, src, params, quantizer);
        written = WriteStrips(stream, tags, form, src, rows, lzw, progress, error, strips);
      }
      if (error) {
        failWrite();
        return pages;
      }
      if (!written) {
        // A JPEG strip has recorded its own reason; a cancel records none.
        progress.Fail(iorNoMemory, "TIFF: the image's rows could not be made");
        return pages;
      }
      AddImageTags(tags, form, bitmap->Width(), bitmap->Height(), strips, sampling, palette, params);
    }
    if (bitmap && params.IPTCInfo && params.IPTCInfo->Count() > 0) {
      std::vector<uint8_t> iptc;
      params.IPTCInfo->SaveToBuffer(iptc, false);
      // The LONG count covers every byte.
      iptc.resize((iptc.size() + 3) / 4 * 4, 0);
      if (!iptc.empty()) {
        tags.PadEven();
        const uint32_t at = tags.Offset();
        SafeStreamWrite(stream, error, iptc.data(), static_cast<int64_t>(iptc.size()));
        tags.Entry(33723, tType_LONG, static_cast<uint32_t>(iptc.size() / 4), at);
      }
    }
    if (bitmap && params.ImagingAnnot && params.ImagingAnnot->Count() > 0) {
      std::vector<uint8_t> annot;
      params.ImagingAnnot->SaveToStandardBuffer(annot);
      tags.Bytes(32932, tType_BYTE, annot.data(), annot.size());
    }
    if (bitmap && params.InputICC && !params.InputICC->IsEmpty())
      tags.Bytes(34675, tType_UNDEFINED, params.InputICC->Raw(), static_cast<size_t>(params.InputICC->RawSize()));

    if (error) {
      failWrite();
      return pages;
    }
    const uint32_t ifd = tags.Write(append ? linkValue : 0);
    if (error) {
      failWrite();
      return pages;
    }
    const int64_t end = stream.Position();
    uint8_t b[8] = {'I', 'I', 42, 0, 0, 0, 0, 0};
    PutLE32(b + 4, ifd);
    if (append) {
      stream.SetPosition(linkPos);
      SafeStreamWrite(stream, error, b + 4, 4);
    } else {
      stream.SetPosition(base);
      SafeStreamWrite(stream, error, b, 8);
    }
    stream.SetPosition(end);
    if (error) failWrite();
  } catch (...) {
    FailFromException(progress, std::current_exception(), "TIFF");
  }
  return pages;
}

bool AppendTIFFJPEGThumbnail(TStream& stream, const std::vector<uint8_t>& jpeg, double xres, double yres,
                             int32_t unit) {
  bool error = false;
  try {
    const int64_t base = stream.Position();
    int64_t linkPos = 0;
    uint32_t linkValue = 0;
    if (!FindLink(stream, base, 1, linkPos, linkValue) || linkValue != 0) return false;
    stream.SetPosition(stream.Size());
    TTagList tags(stream, base, error);
    tags.PadEven();
    const uint32_t at = tags.Offset();
    SafeStreamWrite(stream, error, jpeg.data(), static_cast<int64_t>(jpeg.size()));
    tags.Short(259, 6);
    tags.Rational(282, xres);
    tags.Rational(283, yres);
    tags.Short(296, static_cast<uint32_t>(unit));
    tags.Long(513, at);
    tags.Long(514, static_cast<uint32_t>(jpeg.size()));
    const uint32_t ifd = tags.Write(0);
    uint8_t b[4];
    PutLE32(b, ifd);
    stream.SetPosition(linkPos);
    SafeStreamWrite(stream, error, b, 4);
    stream.SetPosition(base);
  } catch (...) {
    return false;
  }
  return !error;
}

void TIFFFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                     TPXBitmap* /*alpha*/) {
  WriteTIFFStream(stream, false, &bitmap, progress, params);
}

}  // namespace pixoran
