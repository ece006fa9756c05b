#include "io/formats/tiff/tiffilt.h"

#include <libdeflate.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <atomic>
#include <cstring>
#include <memory>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "core/pxtransform.h"
#include "io/iohooks.h"
#include "io/formats/jpeg/jpegfilt.h"
#include "io/formats/tiff/tiffilt_internal.h"
#include "io/pxfiltutil.h"
#include "io/pxmetadata.h"
#include "io/formats/tiff/tifccitt.h"
#include "io/formats/tiff/tiflab.h"

namespace pixoran {

using namespace tiff_detail;

namespace {

// The most bytes of pixels one byte of a file can give under each
// compression (an all-white Group 4 row is one bit; LZW strings grow by a
// byte per code; uncompressed strips may be cut short). A page that claims
// more than its file can hold is size-bombed.
int64_t MaxExpansion(int32_t compression) {
  switch (compression) {
    case 1: return 64;
    case 2:
    case 3:
    case 4: return 20000;
    case 5: return 1500;
    case 8:
    case 32946: return 1100;
    case 32773: return 128;
    default: return 2000;
  }
}
constexpr int64_t kMaxExifValueBytes = int64_t{1} << 20;

size_t PixelBytesOf(int64_t pixels, int32_t bits) { return static_cast<size_t>((pixels * bits + 7) / 8); }

// ---------------------------------------------------------------- row layouts

enum class TLayout { None, BW1, Gray, Gray16, RGB8, RGB16, RGB555, Palette, CMYK, YCbCr, Lab };

TLayout LayoutOf(const TPage& pg) {
  const int32_t s = pg.samples, b = pg.bits;
  const bool small = b >= 2 && b <= 8;
  switch (pg.photometric) {
    case 0:
    case 1:
      if (b == 1 && s == 1) return TLayout::BW1;
      if (s == 1 && small) return TLayout::Gray;
      if (s == 2 && b == 8) return TLayout::Gray;
      if (s == 1 && b == 16) return TLayout::Gray16;
      return TLayout::None;
    case 2:
      if (b == 1 && s == 1) return TLayout::BW1;
      if ((s == 3 || s == 4) && small) return TLayout::RGB8;
      if ((s == 3 || s == 4) && b == 16) return TLayout::RGB16;
      if (s == 1 && b == 16) return TLayout::RGB555;
      return TLayout::None;
    case 3:
      if (s == 1 && b >= 1 && b <= 8) return TLayout::Palette;
      if (s == 2 && b == 8) return TLayout::Palette;
      return TLayout::None;
    case 5: return s == 4 && b == 8 ? TLayout::CMYK : TLayout::None;
    case 6: return s == 3 && b == 8 && pg.ycbcrSub[0] == 1 && pg.ycbcrSub[1] == 1 ? TLayout::YCbCr : TLayout::None;
    case 8: return s == 3 && b == 8 ? TLayout::Lab : TLayout::None;
    default:
      if (b == 1 && s == 1) return TLayout::BW1;
      return TLayout::None;
  }
}

TPXPixelFormat PixelFormatOf(const TPage& pg, bool native) {
  if (pg.bits == 1 && pg.samples == 1 && pg.photometric != 3) return pxBW1;
  if (native && pg.bits == 8 && pg.samples == 1 && pg.photometric == 3) return pxPal8;
  if (native && pg.bits == 8 && pg.samples == 1 && pg.photometric == 1) return pxGray8;
  if (native && pg.bits == 16 && pg.samples == 1 && pg.photometric == 1) return pxGray16;
  if (native && pg.bits == 8 && pg.samples == 4 && pg.photometric == 5) return pxCMYK;
  return pxBGR24;
}

bool IsCCITT(int32_t compression) { return compression >= 2 && compression <= 4; }
bool IsDeflate(int32_t compression) { return compression == 8 || compression == 32946; }
// The compressions some row decoder covers.
bool IsKnownCompression(int32_t c) { return (c >= 1 && c <= 7) || IsDeflate(c) || c == 32773; }

// ---------------------------------------------------------------- row decoding

// An LZW decoding state, freed through the decoder that made it.
class TLZWDecoding {
 public:
  TLZWDecoding() = default;
  TLZWDecoding(const TLZWDecoding&) = delete;
  TLZWDecoding& operator=(const TLZWDecoding&) = delete;
  TLZWDecoding(TLZWDecoding&& o) noexcept : proc_(o.proc_), state_(std::exchange(o.state_, nullptr)) {}
  TLZWDecoding& operator=(TLZWDecoding&& o) noexcept {
    if (this != &o) {
      End();
      proc_ = o.proc_;
      state_ = std::exchange(o.state_, nullptr);
    }
    return *this;
  }
  ~TLZWDecoding() { End(); }

  // A fresh state for the decoder proc.
  void Begin(TTIFFLZWDecompressProc proc) {
    End();
    proc_ = proc;
  }
  // The next row, or nullptr (no decoder, or corrupt data).
  const uint8_t* Next(const uint8_t* data, int64_t size, int32_t rowBytes) {
    return proc_ ? proc_(data, size, rowBytes, state_) : nullptr;
  }
  void End() {
    if (state_ && proc_) proc_(nullptr, 0, 0, state_);
    state_ = nullptr;
  }

 private:
  TTIFFLZWDecompressProc proc_ = nullptr;
  TTIFFLZWState* state_ = nullptr;
};

// Rows of one strip or tile (one plane of it for planar pages). Owns its
// decoding state: movable, not copyable.
class TRowDecoder {
 public:
  TRowDecoder() = default;
  TRowDecoder(const TRowDecoder&) = delete;
  TRowDecoder& operator=(const TRowDecoder&) = delete;
  TRowDecoder(TRowDecoder&&) noexcept = default;
  TRowDecoder& operator=(TRowDecoder&&) noexcept = default;

  // Starts on a block of data (which stays valid while rows are read).
  // False when the block cannot be decoded (its rows would not fit memory).
  bool Start(const TPage& pg, const uint8_t* data, int64_t size, int64_t rowBytes, int32_t width, int64_t rows,
             TTIFFLZWDecompressProc lzw, int64_t memoryLimit) {
    lzw_.Begin(lzw);
    data_ = data;
    size_ = size;
    index_ = pos_ = bit_ = 0;
    compression_ = pg.compression;
    fillOrder_ = pg.fillOrder;
    t4_ = pg.t4;
    rowBytes_ = rowBytes;
    width_ = width;
    row_.assign(static_cast<size_t>(rowBytes), 0);
    if (IsCCITT(compression_)) ref_.assign(row_.size(), 0xFF);  // the reference row starts white
    if (compression_ == 32773 || IsDeflate(compression_)) {
      const int64_t total = rowBytes * rows;
      if (total > memoryLimit) return false;
      whole_.resize(static_cast<size_t>(total));
      const size_t done = compression_ == 32773 ? UnpackBits() : Inflate();
      // What the data did not fill stays blank.
      std::memset(whole_.data() + done, 0, whole_.size() - done);
    }
    return true;
  }

  // The next row (rowBytes bytes), or nullptr when the data is corrupt.
  const uint8_t* Next() {
    const int64_t size = size_;
    switch (compression_) {
      case 1: {
        const int64_t at = index_ * rowBytes_;
        ++index_;
        if (at + rowBytes_ <= size) return data_ + at;
        // A truncated strip: what is there, then zeros.
        std::fill(row_.begin(), row_.end(), 0);
        if (at < size) std::memcpy(row_.data(), data_ + at, static_cast<size_t>(size - at));
        return row_.data();
      }
      case 2: {
        pos_ += DecodeCCITTRowMH(row_.data(), data_ + std::min(pos_, size), size - std::min(pos_, size), fillOrder_,
                                 width_);
        return row_.data();
      }
      case 3:
        if (t4_ & 1) bit_ = DecodeCCITTRow2D(row_.data(), data_, size, true, fillOrder_, bit_, ref_.data(), width_);
        else bit_ = DecodeCCITTRow1D(row_.data(), data_, size, fillOrder_, bit_, width_);
        return row_.data();
      case 4:
        bit_ = DecodeCCITTRow2D(row_.data(), data_, size, false, fillOrder_, bit_, ref_.data(), width_);
        return row_.data();
      case 5: return lzw_.Next(data_, size, static_cast<int32_t>(rowBytes_));
      default: {
        const int64_t at = index_ * rowBytes_;
        ++index_;
        if (at + rowBytes_ > static_cast<int64_t>(whole_.size())) return nullptr;
        return whole_.data() + at;
      }
    }
  }

 private:
  // PackBits: n 0..127 copies n + 1 bytes, 129..255 repeats one byte
  // 257 - n times, 128 is nothing. The strip decodes as far as its data goes.
  size_t UnpackBits() {
    const uint8_t* p = data_;
    const uint8_t* end = p + size_;
    uint8_t* out = whole_.data();
    uint8_t* const outEnd = out + whole_.size();
    while (p < end && out < outEnd) {
      const uint8_t n = *p++;
      if (n < 128) {
        const size_t k =
            std::min<size_t>({size_t{n} + 1, static_cast<size_t>(end - p), static_cast<size_t>(outEnd - out)});
        std::memcpy(out, p, k);
        out += k;
        p += std::min<size_t>(size_t{n} + 1, static_cast<size_t>(end - p));
      } else if (n > 128) {
        if (p >= end) break;
        const size_t k = std::min<size_t>(257 - n, static_cast<size_t>(outEnd - out));
        std::memset(out, *p++, k);
        out += k;
      }
    }
    return static_cast<size_t>(out - whole_.data());
  }

  // Deflate (zlib stream): in one call while the strip decodes cleanly into
  // its rows; a damaged or overlong stream keeps what came out before.
  size_t Inflate() {
    if (!inflater_) inflater_.reset(libdeflate_alloc_decompressor());
    size_t out = 0;
    if (inflater_ && libdeflate_zlib_decompress(inflater_.get(), data_, static_cast<size_t>(size_), whole_.data(),
                                                whole_.size(), &out) == LIBDEFLATE_SUCCESS)
      return out;
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return 0;
    z.next_in = const_cast<uint8_t*>(data_);
    z.avail_in = static_cast<uInt>(std::min<int64_t>(size_, UINT32_MAX));
    z.next_out = whole_.data();
    size_t left = whole_.size();
    while (left > 0) {
      const uInt chunk = static_cast<uInt>(std::min<size_t>(left, UINT32_MAX));
      z.avail_out = chunk;
      const int rc = inflate(&z, Z_NO_FLUSH);
      left -= chunk - z.avail_out;
      if (rc != Z_OK) break;
    }
    inflateEnd(&z);
    return whole_.size() - left;
  }

  const uint8_t* data_ = nullptr;
  int64_t size_ = 0;
  std::vector<uint8_t> row_, ref_, whole_;
  int32_t compression_ = 1;
  int32_t fillOrder_ = 1;
  uint32_t t4_ = 0;
  int64_t rowBytes_ = 0;
  int32_t width_ = 0;
  int64_t index_ = 0, pos_ = 0, bit_ = 0;
  TLZWDecoding lzw_;
  struct TFreeInflater {
    void operator()(libdeflate_decompressor* d) const { libdeflate_free_decompressor(d); }
  };
  std::unique_ptr<libdeflate_decompressor, TFreeInflater> inflater_;
};

// Horizontal differencing undone: each sample adds the same sample of the
// previous pixel; 16-bit samples in the file's byte order.
// 8-bit samples, S per pixel: the running sums stay in registers.
template <int S>
void Accumulate8(uint8_t* row, int64_t pixels) {
  uint8_t sum[S];
  for (int k = 0; k < S; ++k) sum[k] = row[k];
  uint8_t* p = row + S;
  for (int64_t i = 1; i < pixels; ++i, p += S)
    for (int k = 0; k < S; ++k) p[k] = sum[k] = static_cast<uint8_t>(sum[k] + p[k]);
}

void UndoPredictor(uint8_t* row, int64_t pixels, int32_t stride, int32_t bits, bool big) {
  if (bits == 8) {
    switch (stride) {
      case 1: Accumulate8<1>(row, pixels); return;
      case 3: Accumulate8<3>(row, pixels); return;
      case 4: Accumulate8<4>(row, pixels); return;
      default: break;
    }
    for (int64_t i = stride; i < pixels * stride; ++i) row[i] = static_cast<uint8_t>(row[i] + row[i - stride]);
    return;
  }
  for (int64_t i = stride; i < pixels * stride; ++i) {
    uint8_t* p = row + i * 2;
    const uint8_t* q = row + (i - stride) * 2;
    const int hi = big ? 0 : 1, lo = 1 - hi;
    const uint16_t v = static_cast<uint16_t>(((p[hi] << 8) | p[lo]) + ((q[hi] << 8) | q[lo]));
    p[hi] = static_cast<uint8_t>(v >> 8);
    p[lo] = static_cast<uint8_t>(v);
  }
}

// ---------------------------------------------------------------- the page reader

// Whether some decoder reads the page's form; the reason when none does.
// Asked before anything is allocated for the page.
bool PageFormRead(const TPage& pg, TPXProgressRec& progress) {
  auto refuse = [&](TPXIOResult kind, const std::string& text) {
    progress.Fail(kind, "TIFF: " + text);
    return false;
  };
  const TLayout layout = LayoutOf(pg);
  const bool jpeg = pg.compression == 6 || pg.compression == 7;
  const std::string form = "photometric " + std::to_string(pg.photometric) + " with " + std::to_string(pg.samples) +
                           " samples of " + std::to_string(pg.bits) + " bits";
  if (!IsKnownCompression(pg.compression))
    return refuse(iorUnsupported, "compression " + std::to_string(pg.compression) + " is not read");
  if (!jpeg && layout == TLayout::None) return refuse(iorUnsupported, form + " is not read");
  if (IsCCITT(pg.compression) && layout != TLayout::BW1) return refuse(iorCorrupt, "fax compression on " + form);
  if (pg.predictor == 3) return refuse(iorUnsupported, "the floating-point predictor is not read");
  const bool predicted = pg.predictor == 2 && (pg.compression == 5 || IsDeflate(pg.compression));
  if (predicted && pg.bits != 8 && pg.bits != 16)
    return refuse(iorUnsupported, "the predictor on samples of " + std::to_string(pg.bits) + " bits is not read");
  if (pg.planar == 2 && pg.samples > 1 && (pg.bits % 8 != 0 || jpeg))
    return refuse(iorUnsupported, "separate planes of this form are not read");
  return true;
}

class TPageReader {
 public:
  TPageReader(TSource& src, const TPage& pg, TPXBitmap& bitmap, TPXBitmap* alpha, TIOParamsVals& params,
              TPXProgressRec& progress)
      : src_(src), pg_(pg), bmp_(bitmap), alpha_(alpha), params_(params), progress_(progress) {}

  bool Run(TPXPixelFormat format, TTIFFLZWDecompressProc lzw);

 private:
  // Records why the page cannot be read; false.
  bool Refuse(TPXIOResult kind, const std::string& text) {
    progress_.Fail(kind, "TIFF: " + text);
    return false;
  }
  bool DecodeBlock(int64_t index, int64_t perPlane, int32_t x0, int64_t y0, int32_t blockWidth, int64_t rows,
                   bool advance);
  bool DecodeJPEG(const uint8_t* data, int64_t size, int32_t x0, int64_t y0, int32_t blockWidth, int64_t rows);
  // The bytes of block index into buffer plane (size 0 for a missing block).
  bool ReadBlock(int64_t index, int32_t plane, int64_t& size);
  void Store(const uint8_t* row, int32_t x0, int32_t y, int32_t count);
  // count pixels of ink as TIFF holds it (0 = none) into row d from x0.
  void StoreInk(const uint8_t* ink, uint8_t* d, int32_t x0, int32_t count);
  // Associated (premultiplied) colour back to plain colour, in place.
  void Unpremultiply(uint8_t* colour, int32_t stride, int32_t channels, const uint8_t* alpha, int32_t count) const;
  void StoreBilevel(const uint8_t* row, uint8_t* d, int32_t x0, int32_t count);
  // Rows of samples below 8 bits as one byte a sample (in unpacked_).
  const uint8_t* UnpackSamples(const uint8_t* row, int32_t count);
  // The mask from the second sample of count pixels of 2 bytes.
  void SecondSampleAlpha(const uint8_t* row, int32_t count, uint8_t* a) const;

  TSource& src_;
  const TPage& pg_;
  TPXBitmap& bmp_;
  TPXBitmap* alpha_;
  TIOParamsVals& params_;
  TPXProgressRec& progress_;
  TLayout layout_ = TLayout::None;
  TPXPixelFormat format_ = pxNone;
  TTIFFLZWDecompressProc lzw_ = nullptr;
  bool alphaWanted_ = false;
  int64_t memoryLimit_ = CodecMemoryLimit();
  TTIFFLabWhite labWhite_;
  // predicted_ holds rows with the predictor undone; Store's conversions
  // use work_, so a row never overlaps its destination.
  std::vector<uint8_t> chunky_, unpacked_, work_, predicted_;
  // Per plane: the block's bytes (reused, never cleared) and its decoder.
  std::vector<std::unique_ptr<uint8_t[]>> blocks_;
  std::vector<int64_t> capacity_;
  std::vector<TRowDecoder> decoders_;
};

bool TPageReader::ReadBlock(int64_t index, int32_t plane, int64_t& size) {
  size = 0;
  if (index < 0 || index >= static_cast<int64_t>(pg_.offsets.size())) return true;  // a missing block stays blank
  const int64_t at = pg_.offsets[index];
  if (at <= 0) return true;
  // A file cut short keeps what it holds, noted as corrupt.
  if (at >= src_.Size()) {
    progress_.Note(iorCorrupt, "TIFF: data ends before block " + std::to_string(index));
    return true;
  }
  int64_t n = index < static_cast<int64_t>(pg_.counts.size()) ? pg_.counts[index] : 0;
  if (n > src_.Size() - at)
    progress_.Note(iorCorrupt, "TIFF: data ends early in block " + std::to_string(index) + " (" +
                                   std::to_string(src_.Size() - at) + " of " + std::to_string(n) + " bytes)");
  // Without a count the block runs to the end; a count past the end is cut.
  if (n <= 0 || n > src_.Size() - at) n = src_.Size() - at;
  if (!CheckWorkBuffer("TIFF", n, progress_)) return false;
  if (blocks_.size() <= static_cast<size_t>(plane)) {
    blocks_.resize(plane + 1);
    capacity_.resize(plane + 1, 0);
  }
  if (capacity_[plane] < n) {
    blocks_[plane].reset(new uint8_t[static_cast<size_t>(n)]);
    capacity_[plane] = n;
  }
  size = n;
  if (src_.Read(at, blocks_[plane].get(), n)) return true;
  return Refuse(iorCorrupt, "block " + std::to_string(index) + " cannot be read");
}

bool TPageReader::Run(TPXPixelFormat format, TTIFFLZWDecompressProc lzw) {
  format_ = format;
  lzw_ = lzw;
  layout_ = LayoutOf(pg_);
  labWhite_ = LabWhiteOfChromaticity(pg_.whitePoint[0], pg_.whitePoint[1]);
  alphaWanted_ = alpha_ != nullptr && alpha_->Width() > 0;
  const int32_t w = bmp_.Width();
  const int64_t h = bmp_.Height();
  if (!PageFormRead(pg_, progress_)) return false;
  progress_.Start(h);

  if (pg_.compression == 6) {
    // Old-style JPEG: one interchange stream for the whole page.
    if (pg_.jpegProc != 0 && pg_.jpegProc != 1)
      return Refuse(iorUnsupported, "old-style JPEG process " + std::to_string(pg_.jpegProc) + " is not read");
    if (pg_.jpegIF <= 0 || pg_.jpegIF >= src_.Size())
      return Refuse(iorCorrupt, "the old-style JPEG stream lies outside the file");
    int64_t n = src_.Size() - pg_.jpegIF;
    if (pg_.jpegIFLength > 0) n = std::min(n, pg_.jpegIFLength);
    if (!CheckWorkBuffer("TIFF", n, progress_)) return false;
    std::vector<uint8_t> data(static_cast<size_t>(n));
    if (!src_.Read(pg_.jpegIF, data.data(), n)) return Refuse(iorCorrupt, "the old-style JPEG stream cannot be read");
    return DecodeJPEG(data.data(), n, 0, 0, w, h);
  }

  if (pg_.Tiled()) {
    const int64_t tw = pg_.tileWidth, th = pg_.tileLength;
    const int64_t across = (w + tw - 1) / tw, down = (h + th - 1) / th;
    for (int64_t ty = 0; ty < down; ++ty) {
      const int64_t rows = std::min(th, h - ty * th);
      for (int64_t tx = 0; tx < across; ++tx) {
        if (!DecodeBlock(ty * across + tx, across * down, static_cast<int32_t>(tx * tw), ty * th,
                         static_cast<int32_t>(tw), rows, false))
          return false;
        if (progress_.Aborted()) return true;
      }
      progress_.Advance(static_cast<int32_t>(rows));
    }
    return true;
  }
  const int64_t rps = pg_.rowsPerStrip;
  const int64_t strips = (h + rps - 1) / rps;
  for (int64_t s = 0; s < strips; ++s) {
    if (!DecodeBlock(s, strips, 0, s * rps, w, std::min(rps, h - s * rps), true)) return false;
    if (progress_.Aborted()) return true;
  }
  return true;
}

bool TPageReader::DecodeJPEG(const uint8_t* data, int64_t size, int32_t x0, int64_t y0, int32_t blockWidth,
                             int64_t rows) {
  if (size <= 0) return true;
  TReadOnlyMemoryStream ms(data, size);
  TReadOnlyMemoryStream tables(pg_.jpegTables.data(), static_cast<int64_t>(pg_.jpegTables.size()));
  // A record of its own: full size, and the page's fields untouched.
  TIOParamsVals jp;
  // Four-component data come as stored: TIFF's ink, stored as the
  // uncompressed rows are.
  jp.KeepNativeFormat = 1;
  std::atomic<bool> failed{false};
  TPXIOResultRec why;
  TPXProgressRec pr;
  pr.Aborting = &failed;
  pr.Result = &why;
  TPXBitmap strip;
  ReadJPEGStream(ms, pg_.jpegTables.empty() ? nullptr : &tables, strip, jp, pr, false, pg_.photometric == 2);
  const std::string where = "JPEG data at row " + std::to_string(y0) + ": ";
  if (failed || strip.Width() <= 0)
    return Refuse(why.Kind != iorOk ? why.Kind : iorCorrupt, where + (why.Text.empty() ? "not decoded" : why.Text));
  // A strip cut short keeps what was decoded, as the whole file would.
  if (why.Kind != iorOk) progress_.Note(why.Kind, "TIFF: " + where + why.Text);
  const bool ink = strip.PixelFormat() == pxCMYK && (format_ == pxCMYK || format_ == pxBGR24);
  if (!ink && strip.PixelFormat() != format_) strip.ConvertPixelFormat(format_);
  const int32_t w = bmp_.Width();
  const int32_t count = std::min({blockWidth, strip.Width(), w - x0});
  const int64_t n = std::min<int64_t>({rows, strip.Height(), bmp_.Height() - y0});
  const int32_t bits = BitsOfFormat(format_);
  for (int64_t r = 0; r < n; ++r) {
    const uint8_t* s = strip.Scanline(static_cast<int32_t>(r));
    if (!s) return Refuse(iorNoMemory, "the JPEG data's storage failed");
    uint8_t* d = bmp_.Scanline(static_cast<int32_t>(y0 + r));
    if (!d) return Refuse(iorNoMemory, "the page's storage failed");
    if (ink) {
      StoreInk(s, d, x0, count);
      continue;
    }
    work_.assign(s, s + PixelBytesOf(count, bits));
    if (bits == 1) CopyBitRun(work_.data(), 0, d, x0, count);
    else std::memcpy(d + static_cast<size_t>(x0) * (bits / 8), work_.data(), work_.size());
  }
  return true;
}

bool TPageReader::DecodeBlock(int64_t index, int64_t perPlane, int32_t x0, int64_t y0, int32_t blockWidth, int64_t rows,
                              bool advance) {
  const int32_t count = std::min(blockWidth, bmp_.Width() - x0);
  if (pg_.compression == 7) {
    int64_t size = 0;
    if (!ReadBlock(index, 0, size)) return false;
    if (!DecodeJPEG(blocks_.empty() ? nullptr : blocks_[0].get(), size, x0, y0, blockWidth, rows)) return false;
    if (advance) progress_.Advance(static_cast<int32_t>(rows));
    return true;
  }
  const bool separate = pg_.planar == 2 && pg_.samples > 1;
  const int32_t planes = separate ? pg_.samples : 1;
  const int32_t perRow = separate ? 1 : pg_.samples;  // samples in one decoded row's pixel
  const int64_t rowBytes = static_cast<int64_t>(PixelBytesOf(int64_t{blockWidth} * perRow, pg_.bits));
  if (decoders_.size() < static_cast<size_t>(planes)) decoders_.resize(planes);
  std::vector<bool> present(static_cast<size_t>(planes), false);
  for (int32_t p = 0; p < planes; ++p) {
    int64_t size = 0;
    if (!ReadBlock(index + p * perPlane, p, size)) return false;
    present[p] = size > 0;
    if (present[p] && !decoders_[p].Start(pg_, blocks_[p].get(), size, rowBytes, blockWidth, rows, lzw_, memoryLimit_))
      return CheckWorkBuffer("TIFF", rowBytes * rows, progress_);
  }
  const bool predicted = pg_.predictor == 2 && (pg_.compression == 5 || IsDeflate(pg_.compression));
  const bool big = src_.Big();
  const int32_t sampleBytes = pg_.bits / 8;
  if (separate) chunky_.assign(static_cast<size_t>(blockWidth) * pg_.samples * sampleBytes, 0);
  std::vector<uint8_t> blank(static_cast<size_t>(rowBytes), 0);
  for (int64_t r = 0; r < rows; ++r) {
    const int64_t y = y0 + r;
    const uint8_t* row = nullptr;
    for (int32_t p = 0; p < planes; ++p) {
      const uint8_t* got = present[p] ? decoders_[p].Next() : blank.data();
      if (!got) return Refuse(iorCorrupt, "compressed data broken at row " + std::to_string(y));
      if (predicted) {
        predicted_.assign(got, got + rowBytes);
        UndoPredictor(predicted_.data(), blockWidth, perRow, pg_.bits, big);
        got = predicted_.data();
      }
      if (!separate) {
        row = got;
        break;
      }
      // Planes interleave into one row of whole pixels.
      uint8_t* d = chunky_.data() + p * sampleBytes;
      const size_t stride = static_cast<size_t>(pg_.samples) * sampleBytes;
      for (int32_t x = 0; x < blockWidth; ++x, d += stride, got += sampleBytes) std::memcpy(d, got, sampleBytes);
      row = chunky_.data();
    }
    if (y < bmp_.Height() && count > 0) Store(row, x0, static_cast<int32_t>(y), count);
    if (advance) progress_.Advance();
    if (progress_.Aborted()) return true;
  }
  return true;
}

void TPageReader::SecondSampleAlpha(const uint8_t* row, int32_t count, uint8_t* a) const {
  // Declared alpha (associated or not) is the alpha as stored; an
  // undeclared second sample counts as transparency.
  const uint8_t flip = pg_.extraSamples == 1 || pg_.extraSamples == 2 ? 0 : 0xFF;
  for (int32_t i = 0; i < count; ++i) a[i] = static_cast<uint8_t>(row[i * 2 + 1] ^ flip);
}

void TPageReader::StoreBilevel(const uint8_t* row, uint8_t* d, int32_t x0, int32_t count) {
  // Decoded CCITT rows say 1 = white; plain rows follow the photometric
  // interpretation. pxBW1 wants 1 = white.
  const bool invert = IsCCITT(pg_.compression) ? pg_.photometric == 1 : pg_.photometric == 0;
  const uint8_t* src = row;
  if (invert) {
    work_.resize(PixelBytesOf(count, 1));
    for (size_t i = 0; i < work_.size(); ++i) work_[i] = static_cast<uint8_t>(~row[i]);
    src = work_.data();
  }
  if ((x0 & 7) == 0 && (count & 7) == 0) std::memcpy(d + x0 / 8, src, static_cast<size_t>(count / 8));
  else CopyBitRun(src, 0, d, x0, count);
}

const uint8_t* TPageReader::UnpackSamples(const uint8_t* row, int32_t count) {
  // Samples of fewer than 8 bits become one byte each; grey and colour
  // values are stretched to the full byte range, palette indexes kept.
  const int64_t n = int64_t{count} * pg_.samples;
  unpacked_.resize(static_cast<size_t>(n));
  const int32_t b = pg_.bits;
  const int32_t max = (1 << b) - 1;
  const bool stretch = pg_.photometric != 3;
  for (int64_t i = 0; i < n; ++i) {
    const int64_t bit = i * b;
    const uint32_t word = (static_cast<uint32_t>(row[bit >> 3]) << 8) |
                          ((bit >> 3) + 1 < static_cast<int64_t>(PixelBytesOf(n, b)) ? row[(bit >> 3) + 1] : 0);
    const uint32_t v = (word >> (16 - b - (bit & 7))) & static_cast<uint32_t>(max);
    unpacked_[i] = static_cast<uint8_t>(stretch ? v * 255 / max : v);
  }
  return unpacked_.data();
}

void TPageReader::StoreInk(const uint8_t* ink, uint8_t* d, int32_t x0, int32_t count) {
  // pxCMYK and the row hook's CMYK hold the complement of the ink.
  work_.resize(static_cast<size_t>(count) * 4);
  for (size_t i = 0; i < work_.size(); ++i) work_[i] = static_cast<uint8_t>(255 - ink[i]);
  if (format_ == pxCMYK) std::memcpy(d + static_cast<size_t>(x0) * 4, work_.data(), work_.size());
  else ConvertColorHook()(work_.data(), pxcsCMYK, d + static_cast<size_t>(x0) * 3, &params_, count, pxcsBGR);
}

void TPageReader::Unpremultiply(uint8_t* colour, int32_t stride, int32_t channels, const uint8_t* alpha,
                                int32_t count) const {
  if (pg_.extraSamples != 1) return;
  for (int32_t i = 0; i < count; ++i, colour += stride) {
    const uint32_t a = alpha[i];
    for (int32_t c = 0; c < channels; ++c)
      colour[c] = a == 0 ? 0 : static_cast<uint8_t>(std::min<uint32_t>(255, (colour[c] * 255u + a / 2) / a));
  }
}

void TPageReader::Store(const uint8_t* row, int32_t x0, int32_t y, int32_t count) {
  const int32_t spp = pg_.samples;
  uint8_t* d = bmp_.Scanline(y);
  if (!d) return;
  if (layout_ == TLayout::BW1) {
    StoreBilevel(row, d, x0, count);
    return;
  }
  if (pg_.bits < 8) row = UnpackSamples(row, count);

  uint8_t* a = alphaWanted_ ? alpha_->Scanline(y) : nullptr;
  if (a) a += x0;
  const bool big = src_.Big();
  auto word = [big](const uint8_t* p) {
    return big ? static_cast<uint16_t>((p[0] << 8) | p[1]) : static_cast<uint16_t>(p[0] | (p[1] << 8));
  };
  const TPXConvertColorProc convert = ConvertColorHook();

  switch (layout_) {
    case TLayout::Gray: {
      const uint8_t flip = pg_.photometric == 0 ? 0xFF : 0x00;
      if (format_ == pxGray8) {
        uint8_t* o = d + x0;
        for (int32_t i = 0; i < count; ++i) o[i] = row[i * spp] ^ flip;
      } else {
        uint8_t* o = d + static_cast<size_t>(x0) * 3;
        for (int32_t i = 0; i < count; ++i, o += 3) o[0] = o[1] = o[2] = row[i * spp] ^ flip;
      }
      if (a && spp == 2) {
        SecondSampleAlpha(row, count, a);
        if (format_ == pxGray8) Unpremultiply(d + x0, 1, 1, a, count);
        else Unpremultiply(d + static_cast<size_t>(x0) * 3, 3, 3, a, count);
      }
      break;
    }
    case TLayout::Gray16: {
      const uint16_t flip = pg_.photometric == 0 ? 0xFFFF : 0;
      if (format_ == pxGray16) {
        uint8_t* o = d + static_cast<size_t>(x0) * 2;
        for (int32_t i = 0; i < count; ++i, o += 2) {
          const uint16_t v = word(row + i * 2) ^ flip;
          o[0] = static_cast<uint8_t>(v), o[1] = static_cast<uint8_t>(v >> 8);
        }
      } else {
        // Samples read as 12-bit values (full 16-bit range for the scanner
        // that marks its files), values beyond the range saturating.
        const int shift = pg_.software.compare(0, 15, kFullRangeSoftware) == 0 ? 8 : 4;
        uint8_t* o = d + static_cast<size_t>(x0) * 3;
        for (int32_t i = 0; i < count; ++i, o += 3) {
          const uint32_t v = static_cast<uint16_t>(word(row + i * 2) ^ flip) >> shift;
          o[0] = o[1] = o[2] = static_cast<uint8_t>(std::min<uint32_t>(v, 255));
        }
      }
      break;
    }
    case TLayout::RGB8: {
      uint8_t* o = d + static_cast<size_t>(x0) * 3;
      if (spp == 3) {
        convert(row, pxcsRGB, o, &params_, count, pxcsBGR);
      } else {
        for (int32_t i = 0; i < count; ++i, o += 3) {
          const uint8_t* s = row + i * 4;
          o[0] = s[2], o[1] = s[1], o[2] = s[0];
          if (a) a[i] = s[3];
        }
        if (a) Unpremultiply(d + static_cast<size_t>(x0) * 3, 3, 3, a, count);
      }
      break;
    }
    case TLayout::RGB16: {
      const uint8_t* s = row;
      if (spp == 4) {
        // Whole pixels of 8 bytes: the colour goes on, the alpha's high byte to the mask.
        work_.resize(static_cast<size_t>(count) * 6);
        for (int32_t i = 0; i < count; ++i) {
          std::memcpy(work_.data() + i * 6, row + i * 8, 6);
          if (a) a[i] = row[i * 8 + 6 + (big ? 0 : 1)];
        }
        s = work_.data();
      }
      convert(s, big ? pxcsRGB48BE : pxcsRGB48LE, d + static_cast<size_t>(x0) * 3, &params_, count, pxcsBGR);
      if (a && spp == 4) Unpremultiply(d + static_cast<size_t>(x0) * 3, 3, 3, a, count);
      break;
    }
    case TLayout::RGB555: {
      uint8_t* o = d + static_cast<size_t>(x0) * 3;
      for (int32_t i = 0; i < count; ++i, o += 3) {
        const uint16_t v = word(row + i * 2);
        o[2] = static_cast<uint8_t>(((v >> 10) & 31) * 8);
        o[1] = static_cast<uint8_t>(((v >> 5) & 31) * 8);
        o[0] = static_cast<uint8_t>((v & 31) * 8);
      }
      break;
    }
    case TLayout::Palette: {
      const TBGR* pal = pg_.palette.data();
      if (format_ == pxPal8) {
        std::memcpy(d + x0, row, static_cast<size_t>(count));
      } else {
        uint8_t* o = d + static_cast<size_t>(x0) * 3;
        for (int32_t i = 0; i < count; ++i, o += 3) {
          const TBGR c = pal[row[i * spp]];
          o[0] = c.b, o[1] = c.g, o[2] = c.r;
        }
      }
      if (a && spp == 2) SecondSampleAlpha(row, count, a);
      break;
    }
    case TLayout::CMYK: StoreInk(row, d, x0, count); break;
    case TLayout::YCbCr: {
      uint8_t* o = d + static_cast<size_t>(x0) * 3;
      for (int32_t i = 0; i < count; ++i, o += 3) {
        const double Y = row[i * 3], cb = row[i * 3 + 1] - 128.0, cr = row[i * 3 + 2] - 128.0;
        o[2] = BLimit(static_cast<int32_t>(RoundHalfEven(Y + 1.402 * cr)));
        o[1] = BLimit(static_cast<int32_t>(RoundHalfEven(Y - 0.344136 * cb - 0.714136 * cr)));
        o[0] = BLimit(static_cast<int32_t>(RoundHalfEven(Y + 1.772 * cb)));
      }
      break;
    }
    case TLayout::Lab:
      if (convert == ConvertRowColorSpace) {
        TIFFLabRowToBGR(row, d + static_cast<size_t>(x0) * 3, count, labWhite_);
        break;
      }
      // An application's hook takes the library's own L*a*b* bytes.
      work_.resize(static_cast<size_t>(count) * 3);
      TIFFLabRowToLibrary(row, work_.data(), count, labWhite_);
      convert(work_.data(), pxcsCIELab, d + static_cast<size_t>(x0) * 3, &params_, count, pxcsBGR);
      break;
    default: break;
  }
}

// A page without a size whose image is one JPEG interchange stream (the
// thumbnail directory of an EXIF block gives neither size nor colour
// tags) takes them from the stream's frame header.
void SizeFromInterchangeJPEG(TSource& src, TPage& pg) {
  int64_t n = src.Size() - pg.jpegIF;
  if (pg.jpegIFLength > 0) n = std::min(n, pg.jpegIFLength);
  if (n <= 0 || n > CodecMemoryLimit()) return;
  std::vector<uint8_t> data(static_cast<size_t>(n));
  if (!src.Read(pg.jpegIF, data.data(), n)) return;
  TReadOnlyMemoryStream ms(data.data(), n);
  TIOParamsVals jp;
  std::atomic<bool> failed{false};
  TPXProgressRec pr;
  pr.Aborting = &failed;
  TPXBitmap unused;
  ReadJPEGStream(ms, nullptr, unused, jp, pr, true);
  if (failed || jp.JPEGOriginalWidth <= 0 || jp.JPEGOriginalHeight <= 0) return;
  pg.width = jp.JPEGOriginalWidth;
  pg.height = jp.JPEGOriginalHeight;
  pg.rowsPerStrip = pg.height;
  pg.compression = 6;
  pg.bits = 8;
  pg.bitsEqual = true;
  pg.samples = jp.SamplesPerPixel == 1 ? 1 : 3;
  pg.photometric = pg.samples == 1 ? 1 : 6;
}

// ---------------------------------------------------------------- orientation

// Turns the page upright as the orientation tag says; the record then
// describes the upright image.
bool ApplyOrientation(TPXBitmap& bitmap, TPXBitmap* alpha, TIOParamsVals& params, int32_t orientation) {
  auto apply = [&](TPXBitmap& b) {
    switch (orientation) {
      case 2: FlipBitmap(b, 0); return true;
      case 3: FlipBitmap(b, 1), FlipBitmap(b, 0); return true;
      case 4: FlipBitmap(b, 1); return true;
      default: break;
    }
    TPXBitmap turned;
    bool ok = false;
    switch (orientation) {
      case 5: ok = TransposeBitmap(b, turned); break;
      case 6: ok = RotateRight90(b, turned); break;
      case 7: ok = TransverseBitmap(b, turned); break;
      case 8: ok = RotateLeft90(b, turned); break;
      default: return true;
    }
    if (ok) b.Assign(&turned);
    return ok;
  };
  if (!apply(bitmap)) return false;
  if (alpha && alpha->Width() > 0 && !apply(*alpha)) return false;
  params.SetTIFFOrientation(1);
  if (orientation >= 5) {
    std::swap(params.Width, params.Height);
    std::swap(params.DpiX, params.DpiY);
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------- entry points

void ReadTIFFStream(TPXBitmap* bitmap, TStream& stream, int32_t& pageCount, bool allowNoSize, bool noAlpha,
                    bool startsHere, TPXBitmap* alpha, bool paramsOnly, TPXProgressRec& progress, TIOParamsVals* params,
                    int64_t dataLength, int64_t maxPixels) {
  pageCount = 0;
  try {
    const int64_t base = startsHere ? stream.Position() : 0;
    int64_t size = stream.Size() - base;
    if (dataLength > 0) size = std::min(size, dataLength);
    TSource src(stream, base, size);
    uint8_t header[8];
    if (!src.Read(0, header, 8) ||
        !((header[0] == 'I' && header[1] == 'I') || (header[0] == 'M' && header[1] == 'M'))) {
      progress.Fail(iorCorrupt, "TIFF: no byte-order mark at the start of the data");
      return;
    }
    src.SetBig(header[0] == 'M');
    if (src.U16(header + 2) == 43) {
      progress.Fail(iorUnsupported, "TIFF: BigTIFF files are not read");
      return;
    }

    // The chain of directories; a visited set ends loops.
    const int64_t wanted = params ? params->TIFFImageIndex : -1;
    int64_t wantedAt = -1;
    std::unordered_set<int64_t> visited;
    int64_t at = src.U32(header + 4);
    // A directory inside the 8-byte header is no directory.
    for (int64_t index = 0; at >= 8 && at < size && visited.insert(at).second; ++index) {
      uint8_t nb[2];
      if (!src.Read(at, nb, 2)) break;
      ++pageCount;
      if (index == wanted) wantedAt = at;
      uint8_t next[4];
      if (!src.Read(at + 2 + int64_t{src.U16(nb)} * 12, next, 4)) break;
      at = src.U32(next);
    }
    if (!params) return;
    if (wantedAt < 0) {
      if (pageCount == 0) progress.Fail(iorCorrupt, "TIFF: no image directory in the file");
      else
        progress.Fail(iorNotFound,
                      "TIFF: page " + std::to_string(wanted) + " asked for; the file has " + std::to_string(pageCount));
      return;
    }

    TDirectory dir;
    LoadDirectory(src, wantedAt, IsPageTag, INT64_MAX, dir);
    TPage pg;
    ParsePage(dir, pg);
    if (allowNoSize && (pg.width <= 0 || pg.height <= 0) && pg.jpegIF > 0 &&
        (pg.compression == 6 || !dir.Find(tagCompression)))
      SizeFromInterchangeJPEG(src, pg);
    if (!pg.bitsEqual) {
      progress.Fail(iorUnsupported, "TIFF: samples of different sizes are not read");
      return;
    }
    if (dir.Find(tagExifIFD)) {
      TDirectory exif;
      if (LoadDirectory(
              src, dir.Int(tagExifIFD, 0), [](uint16_t) { return true; }, kMaxExifValueBytes, exif)) {
        ReadEXIFSubIFDTags(exif.View(), exif.entries, *params);
        params->HasEXIFData = 1;
      }
    }
    FillRecord(dir, pg, pageCount, *params);

    if ((pg.width <= 0 || pg.height <= 0) && !allowNoSize) {
      progress.Fail(iorCorrupt, "TIFF: page " + std::to_string(wanted) + " has no width or height");
      return;
    }
    TTIFFLZWDecompressProc lzw =
        params->TIFFLZWDecompressor ? params->TIFFLZWDecompressor : PXIOHooks().TIFFLZWDecompressHook.load();
    if (pg.compression == 5 && !lzw) {
      progress.Fail(iorUnsupported, "TIFF: no LZW decoder is installed");
      return;
    }
    if (paramsOnly || !bitmap || pg.width <= 0 || pg.height <= 0) return;
    // Each side first: their product may not fit.
    if (maxPixels > 0 && (pg.width > maxPixels || pg.height > maxPixels || pg.width > maxPixels / pg.height)) {
      progress.Fail(iorTooLarge, "TIFF: page of " + std::to_string(pg.width) + " x " + std::to_string(pg.height) +
                                     " pixels where at most " + std::to_string(maxPixels) + " are taken");
      return;
    }

    // Sizes: what the page claims must be a bitmap we can hold and a plausible
    // result of the file's bytes.
    const TPXPixelFormat format = PixelFormatOf(pg, params->KeepNativeFormat != 0);
    if (!PageFormRead(pg, progress)) return;
    if (pg.samples < 1 || pg.samples > 64 || pg.bits < 1 || pg.bits > 32) {
      progress.Fail(iorUnsupported, "TIFF: " + std::to_string(pg.samples) + " samples of " + std::to_string(pg.bits) +
                                        " bits are not read");
      return;
    }
    int64_t paddedWidth = pg.width, paddedHeight = pg.height;
    if (pg.Tiled()) {
      if (pg.tileWidth <= 0 || pg.tileLength <= 0 || pg.tileWidth > (int64_t{1} << 20) ||
          pg.tileLength > (int64_t{1} << 20)) {
        progress.Fail(iorCorrupt, "TIFF: tiles of " + std::to_string(pg.tileWidth) + " x " +
                                      std::to_string(pg.tileLength) + " pixels");
        return;
      }
      paddedWidth = (pg.width + pg.tileWidth - 1) / pg.tileWidth * pg.tileWidth;
      paddedHeight = (pg.height + pg.tileLength - 1) / pg.tileLength * pg.tileLength;
    }
    // The bitmap must be one we can hold, and the rows as the file codes them
    // (tiles padded) a plausible result of its bytes; a strip may be cut
    // short, so a megabyte of rows beyond what the data gives is allowed.
    const int32_t fileBits = pg.bits * pg.samples;
    const double expansion = static_cast<double>(MaxExpansion(pg.compression));
    const int64_t slack = static_cast<int64_t>((1 << 20) / expansion);
    if (!CheckDeclaredImage("TIFF", pg.width, pg.height, BitsOfFormat(format), 0, 0, progress) ||
        !CheckDeclaredImage("TIFF", paddedWidth, paddedHeight, fileBits, size + slack, expansion, progress))
      return;

    const bool wantAlpha = !noAlpha && ((pg.samples == 4 && pg.extraSamples == 2) ||
                                        (pg.samples == 2 && pg.bits == 8) || (pg.samples == 4 && pg.photometric == 2));
    if (alpha && (wantAlpha || alpha->Width() > 0)) {
      if (!alpha->Allocate(static_cast<int32_t>(pg.width), static_cast<int32_t>(pg.height), pxGray8)) {
        progress.Fail(iorNoMemory, "TIFF: no storage for the page's transparency");
        return;
      }
      alpha->Fill(255);
    }
    if (!bitmap->Allocate(static_cast<int32_t>(pg.width), static_cast<int32_t>(pg.height), format)) {
      progress.Fail(iorNoMemory,
                    "TIFF: no storage for a " + std::to_string(pg.width) + " x " + std::to_string(pg.height) + " page");
      return;
    }
    if (format == pxPal8)
      for (int32_t i = 0; i < static_cast<int32_t>(pg.palette.size()); ++i) bitmap->SetPaletteEntry(i, pg.palette[i]);

    TPageReader reader(src, pg, *bitmap, alpha, *params, progress);
    if (!reader.Run(format, lzw)) {
      progress.Fail(iorCorrupt, "TIFF: the page's data cannot be decoded");
      return;
    }
    if (progress.Aborted()) return;
    if (params->TIFFApplyOrientation && pg.orientation >= 2 && pg.orientation <= 8 &&
        !ApplyOrientation(*bitmap, alpha, *params, pg.orientation))
      progress.Fail(iorNoMemory, "TIFF: no storage to turn the page upright");
  } catch (...) {
    if (params) params->InputICC->Clear();
    FailFromException(progress, std::current_exception(), "TIFF");
  }
}

std::string FullRangeSoftware(const std::string& userText) {
  if (userText.empty() || userText.starts_with(kFullRangeSoftware))
    return userText.empty() ? kFullRangeSoftware : userText;
  return std::string(kFullRangeSoftware) + kFullRangeSeparator + userText;
}

std::string UserSoftware(const std::string& tagText) {
  if (!tagText.starts_with(kFullRangeSoftware)) return tagText;
  std::string rest = tagText.substr(sizeof kFullRangeSoftware - 1);
  if (rest.starts_with(kFullRangeSeparator)) rest.erase(0, sizeof kFullRangeSeparator - 1);
  return rest;
}

int32_t TIFFPageCount(TStream& stream) {
  int32_t pages = 0;
  try {
    const int64_t pos = stream.Position();
    std::atomic<bool> ignored{false};
    TPXProgressRec progress;
    progress.Aborting = &ignored;
    ReadTIFFStream(nullptr, stream, pages, false, true, true, nullptr, false, progress, nullptr);
    stream.SetPosition(pos);
  } catch (...) {}
  return pages;
}

bool IsTIFFStream(TStream& stream) {
  try {
    const int64_t pos = stream.Position();
    uint8_t b[4] = {};
    const bool got = stream.ReadExact(b, 4);
    stream.SetPosition(pos);
    return got && ((b[0] == 'I' && b[1] == 'I' && b[2] == 42 && b[3] == 0) ||
                   (b[0] == 'M' && b[1] == 'M' && b[2] == 0 && b[3] == 42));
  } catch (...) {
    return false;
  }
}

void TIFFFormatRead(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                    bool paramsOnly, int64_t dataLength, TPXBitmap& alpha) {
  int32_t pages = 0;
  ReadTIFFStream(&bitmap, stream, pages, false, false, true, &alpha, paramsOnly, progress, &params, dataLength);
}

}  // namespace pixoran
