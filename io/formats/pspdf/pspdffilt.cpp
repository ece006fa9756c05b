#include "io/formats/pspdf/pspdffilt.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>

#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"
#include "io/formats/jpeg/jpegfilt.h"
#include "io/formats/tiff/tifccitt.h"
#include "io/pxfiltutil.h"

namespace pixoran {

namespace {

constexpr const char* kDayNames[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::tm Now() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}

std::string Num(int64_t v) { return std::to_string(v); }

// A double as PDF and PostScript read numbers: a point, no exponent.
std::string Num(double v) {
  if (!std::isfinite(v)) v = 0;
  char buf[400];
  const auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
  return std::string(buf, res.ptr);
}

// ---------------------------------------------------------------- what a page holds

enum class TCoding { None, RunLength, FaxG4, FaxG3, JPEG };

// The layout comes from the bitmap itself, never from the record's fields:
// pxBW1 is a 1-bit grey image, everything else 8-bit RGB.
bool IsBilevel(TPXBitmap& bitmap) { return bitmap.PixelFormat() == pxBW1; }

int64_t BilevelRowBytes(int32_t width) { return (int64_t{width} + 7) / 8; }

// Red, green and blue bytes of any row.
class TRgbRows {
 public:
  explicit TRgbRows(TPXBitmap& bitmap)
      : bitmap_(bitmap),
        format_(bitmap.PixelFormat()),
        width_(bitmap.Width()),
        bgr_(format_ == pxBGR24 ? 0 : static_cast<size_t>(width_) * 3),
        rgb_(static_cast<size_t>(width_) * 3) {}
  // nullptr when the row cannot be had.
  const uint8_t* Row(int32_t y) {
    const uint8_t* src = bitmap_.Scanline(y);
    if (src == nullptr) return nullptr;
    if (format_ != pxBGR24) {
      RowToBGR24(format_, src, bgr_.data(), width_, bitmap_.Palette(), bitmap_.PaletteCount());
      src = bgr_.data();
    }
    uint8_t* d = rgb_.data();
    for (int32_t x = 0; x < width_; ++x) {
      d[3 * x] = src[3 * x + 2];
      d[3 * x + 1] = src[3 * x + 1];
      d[3 * x + 2] = src[3 * x];
    }
    return d;
  }

 private:
  TPXBitmap& bitmap_;
  TPXPixelFormat format_;
  int32_t width_;
  std::vector<uint8_t> bgr_, rgb_;
};

// Every row of a bilevel image, one after the other; set bits are white.
bool BilevelRows(TPXBitmap& bitmap, std::vector<uint8_t>& out, TPXProgressRec& progress) {
  const int64_t rowBytes = BilevelRowBytes(bitmap.Width());
  out.resize(static_cast<size_t>(rowBytes * bitmap.Height()));
  progress.Start(bitmap.Height());
  for (int32_t y = 0; y < bitmap.Height(); ++y) {
    const uint8_t* row = bitmap.Scanline(y);
    if (row == nullptr) return false;
    std::memcpy(out.data() + y * rowBytes, row, static_cast<size_t>(rowBytes));
    progress.Advance(1);
  }
  return true;
}

// CCITT coding of the bilevel rows, zero-padded to a multiple of 4 bytes.
// The rows go to the coder as they are: their set (white) bits are coded as
// black, which the BlackIs1 decoding gives back as set bits, white in
// DeviceGray. False when a row cannot be had.
bool FaxRows(TPXBitmap& bitmap, bool group4, std::vector<uint8_t>& out, TPXProgressRec& progress) {
  bool ok = true;
  progress.Start(bitmap.Height());
  EncodeCCITTPage(
      group4 ? TCCITTScheme::G4 : TCCITTScheme::G3_2D, bitmap.Width(), bitmap.Height(),
      [&](int32_t y) -> const uint8_t* {
        const uint8_t* row = bitmap.Scanline(y);
        ok = ok && row != nullptr;
        progress.Advance(1);
        return row;
      },
      false, out);
  out.resize((out.size() + 3) / 4 * 4, 0);
  return ok;
}

// The bitmap as a JPEG file with the record's settings. The colour space
// must match what the page declares: grey stays grey (components 1), CMYK
// and YCCK become YCbCr (components 3). False (Aborting set) on failure.
bool JpegData(TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, std::vector<uint8_t>& out,
              int32_t& components) {
  const uint8_t saved = params.JPEGColorSpace;
  const uint8_t space = saved == 1 ? 1 : saved == 0 ? 0 : 2;
  components = space == 1 ? 1 : 3;
  params.JPEGColorSpace = space;
  TMemoryStream ms;
  try {
    WriteJPEGStream(ms, bitmap, params, progress);
  } catch (const EPXJpegException& e) {
    progress.Fail(iorFailed, std::string("JPEG coding of the page failed: ") + e.what());
  }
  params.JPEGColorSpace = saved;
  if (progress.Aborted()) return false;
  out = std::move(ms.Bytes());
  return true;
}

// The image's rows could not be had (a temporary-file bitmap's storage).
void RowsLost(TPXProgressRec& progress, const char* format) {
  progress.Fail(iorNoMemory, std::string(format) + ": cannot reach the rows of the image");
}

// The image dictionary entries of CCITT data.
std::string FaxParms(int32_t k, int32_t width, int32_t height) {
  return "<< /K " + Num(int64_t{k}) + " /BlackIs1 true /Columns " + Num(int64_t{width}) + " /Rows " +
         Num(int64_t{height}) + " /EndOfLine false /Uncompressed true /EncodedByteAlign false /EndOfBlock false >>";
}

// Text for a one-line comment: line breaks and other control characters
// would end the comment early.
std::string CommentText(const std::string& s) {
  std::string out = s;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 32 || c == 127) c = ' ';
  return out;
}

// ---------------------------------------------------------------- PostScript pieces

class TPSOut {
 public:
  TPSOut(TStream& stream, bool& failed) : stream_(stream), failed_(failed) {}
  void Line(const std::string& text) {
    const std::string line = text + "\r\n";
    SafeStreamWrite(stream_, failed_, line.data(), static_cast<int64_t>(line.size()));
  }
  void Raw(const std::vector<uint8_t>& data) {
    SafeStreamWrite(stream_, failed_, data.data(), static_cast<int64_t>(data.size()));
  }

 private:
  TStream& stream_;
  bool& failed_;
};

std::string PagesLine(int32_t count) {
  std::string n = Num(int64_t{count});
  if (n.size() < 6) n.resize(6, ' ');
  return "%%Pages: " + n;
}

// The page count of the "%%Pages:" line (characters 10 to 14, trimmed); 1
// when it holds no number.
int32_t ReadPagesCount(TStream& stream, int64_t position) {
  char line[15];
  stream.Seek(position, TSeekOrigin::soBeginning);
  if (!stream.ReadExact(line, sizeof line)) return 1;
  std::string field(line + 9, 5);
  const size_t a = field.find_first_not_of(' ');
  if (a == std::string::npos) return 1;
  field = field.substr(a, field.find_last_not_of(' ') - a + 1);
  int32_t value = 0;
  const auto res = std::from_chars(field.data(), field.data() + field.size(), value);
  return res.ec == std::errc() && res.ptr == field.data() + field.size() ? value : 1;
}

}  // namespace

// ---------------------------------------------------------------- encoders

int64_t EncodeASCII85(const uint8_t* source, int64_t count, std::vector<uint8_t>& destination) {
  const size_t start = destination.size();
  destination.reserve(start + static_cast<size_t>(count / 4 * 5 + count / 60 * 2 + 16));
  int32_t lineLength = 0;
  for (int64_t i = 0; i < count; i += 4) {
    const int64_t n = std::min<int64_t>(4, count - i);
    uint32_t v = 0;
    for (int64_t k = 0; k < 4; ++k) v = v << 8 | (k < n ? source[i + k] : 0);
    if (v == 0 && n == 4) {
      destination.push_back('z');
      ++lineLength;
    } else {
      char digits[5];
      for (int k = 4; k >= 0; --k) {
        digits[k] = static_cast<char>(v % 85 + 33);
        v /= 85;
      }
      destination.insert(destination.end(), digits, digits + n + 1);
      lineLength += static_cast<int32_t>(n + 1);
    }
    if (lineLength > 74) {
      destination.push_back('\r');
      destination.push_back('\n');
      lineLength = 0;
    }
  }
  for (char c : {'~', '>', '\r', '\n'}) destination.push_back(static_cast<uint8_t>(c));
  return static_cast<int64_t>(destination.size() - start);
}

int64_t EncodeRunLength(const uint8_t* source, int64_t count, std::vector<uint8_t>& destination) {
  const size_t start = destination.size();
  int64_t i = 0;
  while (i < count) {
    if (i + 1 < count && source[i] == source[i + 1]) {
      int64_t n = 2;
      while (n < 128 && i + n < count && source[i + n] == source[i]) ++n;
      destination.push_back(static_cast<uint8_t>(257 - n));
      destination.push_back(source[i]);
      i += n;
    } else {
      // A literal run stops where two equal bytes begin a repeat.
      int64_t n = 1;
      while (n < 128 && i + n < count && !(i + n + 1 < count && source[i + n] == source[i + n + 1])) ++n;
      destination.push_back(static_cast<uint8_t>(n - 1));
      destination.insert(destination.end(), source + i, source + i + n);
      i += n;
    }
  }
  destination.push_back(128);
  return static_cast<int64_t>(destination.size() - start);
}

std::pair<int32_t, int32_t> FitImageToPaper(int32_t width, int32_t height, int32_t paperWidth, int32_t paperHeight) {
  if (width <= 0 || height <= 0) return {1, 1};
  const double factor = std::min(static_cast<double>(paperHeight) / height, static_cast<double>(paperWidth) / width);
  return {std::max(1, TruncToInt32(width * factor)), std::max(1, TruncToInt32(height * factor))};
}

// ---------------------------------------------------------------- PostScript

std::unique_ptr<TPXPSState> WritePSHeader(TStream& stream, TIOParamsVals& params) {
  auto state = std::make_unique<TPXPSState>();
  TPSOut out(stream, state->WriteFailed);
  const std::tm tm = Now();
  char date[64];
  std::snprintf(date, sizeof date, "%s %s %02d %02d:%02d:%02d %04d", kDayNames[tm.tm_wday % 7],
                kMonthNames[tm.tm_mon % 12], tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, tm.tm_year + 1900);
  out.Line("%!PS-Adobe-3.0");
  out.Line("%%Creator: Pixoran by Brennelworks");
  out.Line("%%Title: " + CommentText(params.PSTitle));
  out.Line(std::string("%%CreationDate: ") + date);
  out.Line("%%DocumentData: Clean7Bit");
  out.Line("%%LanguageLevel: 2");
  state->PagesPosition = stream.Position();
  out.Line(PagesLine(0));
  out.Line("%%BoundingBox: 0 0 " + Num(int64_t{params.PSPaperWidth} - 1) + " " +
           Num(int64_t{params.PSPaperHeight} - 1));
  out.Line("%%EndComments");
  out.Line("%%BeginProlog");
  out.Line("10 dict begin");
  out.Line("%%EndProlog");
  state->AppendPosition = stream.Position();
  return state;
}

void WritePSPage(TPXPSState& state, TStream& stream, TPXBitmap& bitmap, TPXProgressRec& progress,
                 TIOParamsVals& params) {
  bool failed = false;
  TPSOut out(stream, failed);
  const int32_t count = ReadPagesCount(stream, state.PagesPosition);
  const int32_t page = count + 1;
  stream.Seek(state.PagesPosition, TSeekOrigin::soBeginning);
  out.Line(PagesLine(page));
  state.Pages = page;

  const int32_t width = bitmap.Width(), height = bitmap.Height();
  const bool bilevel = IsBilevel(bitmap);
  const bool hasImage = width > 0 && height > 0 && bitmap.PixelFormat() != pxNone;
  const auto [w, h] = FitImageToPaper(width, height, params.PSPaperWidth, params.PSPaperHeight);

  // Image data first, so its size is known for the data comment.
  TCoding coding = TCoding::RunLength;
  int32_t jpegComponents = 3;
  std::vector<uint8_t> data;
  if (hasImage && bilevel) {
    std::vector<uint8_t> coded;
    const uint8_t c = params.PSCompression;
    if (c == 1 || c == 2) {
      coding = c == 1 ? TCoding::FaxG4 : TCoding::FaxG3;
      if (!FaxRows(bitmap, c == 1, coded, progress)) return RowsLost(progress, "PostScript");
    } else {
      std::vector<uint8_t> rows;
      if (!BilevelRows(bitmap, rows, progress)) return RowsLost(progress, "PostScript");
      EncodeRunLength(rows.data(), static_cast<int64_t>(rows.size()), coded);
    }
    EncodeASCII85(coded.data(), static_cast<int64_t>(coded.size()), data);
  } else if (hasImage && params.PSCompression == 3) {
    coding = TCoding::JPEG;
    std::vector<uint8_t> jpeg;
    if (!JpegData(bitmap, params, progress, jpeg, jpegComponents)) return;
    EncodeASCII85(jpeg.data(), static_cast<int64_t>(jpeg.size()), data);
  } else if (hasImage) {
    // Per row the red, green and blue planes, each its own run-length and
    // ASCII85 data, read by one procedure each.
    TRgbRows rows(bitmap);
    std::vector<uint8_t> plane(static_cast<size_t>(width)), coded;
    progress.Start(height);
    for (int32_t y = 0; y < height && !progress.Aborted(); ++y) {
      const uint8_t* rgb = rows.Row(y);
      if (rgb == nullptr) {
        RowsLost(progress, "PostScript");
        break;
      }
      for (int c = 0; c < 3; ++c) {
        for (int32_t x = 0; x < width; ++x) plane[x] = rgb[3 * x + c];
        coded.clear();
        EncodeRunLength(plane.data(), width, coded);
        EncodeASCII85(coded.data(), static_cast<int64_t>(coded.size()), data);
      }
      progress.Advance(1);
    }
  }
  if (progress.Aborted()) return;

  stream.Seek(state.AppendPosition, TSeekOrigin::soBeginning);
  out.Line("%%Page: " + Num(int64_t{page}) + " " + Num(int64_t{page}));
  out.Line("0 " + Num(int64_t{params.PSPaperHeight}) + " translate");
  out.Line(Num(int64_t{w}) + " -" + Num(int64_t{h}) + " scale");
  out.Line(Num(int64_t{width}) + " " + Num(int64_t{height}) + " " + (bilevel ? "1" : "8"));
  out.Line("[ " + Num(int64_t{width}) + " 0 0 " + Num(int64_t{height}) + " 0 0 ]");
  if (hasImage) {
    const bool colour = !bilevel && !(coding == TCoding::JPEG && jpegComponents == 1);
    switch (coding) {
      case TCoding::JPEG:
        out.Line("currentfile /ASCII85Decode filter << >> /DCTDecode filter");
        if (colour) out.Line("false 3");
        break;
      case TCoding::FaxG4:
      case TCoding::FaxG3:
        out.Line("currentfile /ASCII85Decode filter " + FaxParms(coding == TCoding::FaxG4 ? -1 : 1, width, height) +
                 " /CCITTFaxDecode filter");
        break;
      default:
        if (bilevel) {
          out.Line("currentfile /ASCII85Decode filter /RunLengthDecode filter");
        } else {
          for (const char* s : {"/rstr ", "/gstr ", "/bstr "}) out.Line(s + Num(int64_t{width}) + " string def");
          for (const char* s : {"rstr", "gstr", "bstr"})
            out.Line(std::string("{currentfile /ASCII85Decode filter /RunLengthDecode filter ") + s +
                     " readstring pop}");
          out.Line("true 3");
        }
        break;
    }
    out.Line("%%BeginData:      " + Num(static_cast<int64_t>(data.size())) + " ASCII Bytes");
    out.Line(colour ? "colorimage" : "image");
    out.Raw(data);
    out.Line("%%EndData");
  }
  out.Line("showpage");
  state.AppendPosition = stream.Position();
  if (failed) {
    state.WriteFailed = true;
    progress.Fail(iorWriteFailed, "PostScript: " + WriteFailureText(stream));
  }
}

bool WritePSTrailer(std::unique_ptr<TPXPSState> state, TStream& stream) {
  if (!state) return true;
  bool failed = state->WriteFailed;
  TPSOut out(stream, failed);
  stream.Seek(state->AppendPosition, TSeekOrigin::soBeginning);
  out.Line("%%Trailer");
  out.Line("end");
  out.Line("%%EOF");
  return !failed;
}

void WritePSStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress) {
  std::unique_ptr<TPXPSState> state = WritePSHeader(stream, params);
  WritePSPage(*state, stream, bitmap, progress, params);
  if (!WritePSTrailer(std::move(state), stream))
    progress.Fail(iorWriteFailed, "PostScript: " + WriteFailureText(stream));
}

// ---------------------------------------------------------------- PDF objects

void TPXPDFWriter::Put(const void* data, int64_t count) {
  if (count <= 0) return;
  if (count >= (1 << 16)) {
    Flush();
    SafeStreamWrite(stream_, failed_, data, count);
    written_ += count;
    return;
  }
  buffer_.append(static_cast<const char*>(data), static_cast<size_t>(count));
  if (buffer_.size() >= (1 << 16)) Flush();
}

bool TPXPDFWriter::Flush() {
  if (!buffer_.empty()) {
    SafeStreamWrite(stream_, failed_, buffer_.data(), static_cast<int64_t>(buffer_.size()));
    written_ += static_cast<int64_t>(buffer_.size());
    buffer_.clear();
  }
  return !failed_;
}

void TPXPDFRefObject::Write(TPXPDFWriter& out) const {
  out.Put(Num(int64_t{RefNumber}) + " " + Num(int64_t{Generation}) + " R");
}

void TPXPDFBooleanObject::Write(TPXPDFWriter& out) const { out.Put(Value ? "true" : "false"); }

void TPXPDFNumericObject::Write(TPXPDFWriter& out) const { out.Put(Num(Value)); }

namespace {
// UTF-8 as UTF-16BE after a byte-order mark; a broken sequence becomes U+FFFD.
std::string Utf16BE(const std::string& s) {
  std::string out = "\xFE\xFF";
  auto put = [&](uint32_t u) {
    out += static_cast<char>(u >> 8);
    out += static_cast<char>(u & 0xFF);
  };
  for (size_t i = 0; i < s.size();) {
    const auto c = static_cast<uint8_t>(s[i]);
    const int extra = c < 0x80 ? 0 : (c & 0xE0) == 0xC0 ? 1 : (c & 0xF0) == 0xE0 ? 2 : (c & 0xF8) == 0xF0 ? 3 : -1;
    uint32_t u = extra == 0 ? c : extra == 1 ? (c & 0x1F) : extra == 2 ? (c & 0x0F) : (c & 0x07);
    bool ok = extra >= 0 && i + static_cast<size_t>(extra) < s.size();
    for (int k = 1; ok && k <= extra; ++k) {
      const auto cc = static_cast<uint8_t>(s[i + k]);
      if ((cc & 0xC0) != 0x80) ok = false;
      u = u << 6 | (cc & 0x3F);
    }
    static constexpr uint32_t kMin[4] = {0, 0x80, 0x800, 0x10000};
    if (ok && (u < kMin[extra] || u > 0x10FFFF || (u >= 0xD800 && u <= 0xDFFF))) ok = false;
    if (!ok) {
      put(0xFFFD);
      ++i;
      continue;
    }
    i += static_cast<size_t>(extra) + 1;
    if (u >= 0x10000) {
      u -= 0x10000;
      put(0xD800 | (u >> 10));
      put(0xDC00 | (u & 0x3FF));
    } else {
      put(u);
    }
  }
  return out;
}
}  // namespace

void TPXPDFStringObject::Write(TPXPDFWriter& out) const {
  const bool ascii = std::all_of(Value.begin(), Value.end(), [](char c) { return static_cast<uint8_t>(c) < 0x80; });
  const std::string text = ascii ? Value : Utf16BE(Value);
  std::string s = "(";
  for (char c : text) {
    switch (c) {
      case '\b': s += "\\b"; break;
      case '\t': s += "\\t"; break;
      case '\n': s += "\\n"; break;
      case '\f': s += "\\f"; break;
      case '\r': s += "\\r"; break;
      case '(': s += "\\("; break;
      case ')': s += "\\)"; break;
      case '\\': s += "\\\\"; break;
      default: s += c; break;
    }
  }
  s += ')';
  out.Put(s);
}

void TPXPDFNameObject::Write(TPXPDFWriter& out) const {
  static const char* hex = "0123456789ABCDEF";
  std::string s = "/";
  for (char ch : Value) {
    const auto c = static_cast<uint8_t>(ch);
    // "#" and the delimiters are escaped too, or they would end the name
    // or start an escape when read.
    if (c <= 32 || c > 126 || std::strchr("#()<>[]{}/%", ch) != nullptr) {
      s += '#';
      s += hex[c >> 4];
      s += hex[c & 15];
    } else {
      s += ch;
    }
  }
  out.Put(s);
}

void TPXPDFArrayObject::Write(TPXPDFWriter& out) const {
  out.Put("[");
  for (const auto& item : Items) {
    item->Write(out);
    out.Put(" ");
  }
  out.Put("]");
}

TPXPDFArrayObject& TPXPDFArrayObject::Add(std::unique_ptr<TPXPDFObject> item) {
  Items.push_back(std::move(item));
  return *this;
}

void TPXPDFDictionaryObject::Write(TPXPDFWriter& out) const {
  out.Put("<< ");
  for (const auto& [key, value] : Entries) {
    TPXPDFNameObject(key).Write(out);
    out.Put(" ");
    value->Write(out);
    out.Put("\n");
  }
  out.Put(">>");
}

TPXPDFDictionaryObject& TPXPDFDictionaryObject::Set(const std::string& key, std::unique_ptr<TPXPDFObject> value) {
  for (auto& e : Entries)
    if (e.first == key) {
      e.second = std::move(value);
      return *this;
    }
  Entries.emplace_back(key, std::move(value));
  return *this;
}

TPXPDFDictionaryObject& TPXPDFDictionaryObject::SetFirst(const std::string& key, std::unique_ptr<TPXPDFObject> value) {
  Entries.erase(std::remove_if(Entries.begin(), Entries.end(), [&](const auto& e) { return e.first == key; }),
                Entries.end());
  Entries.emplace(Entries.begin(), key, std::move(value));
  return *this;
}

TPXPDFObject* TPXPDFDictionaryObject::Get(const std::string& key) const {
  for (const auto& e : Entries)
    if (e.first == key) return e.second.get();
  return nullptr;
}

TPXPDFStreamObject::TPXPDFStreamObject() : Dictionary(std::make_unique<TPXPDFDictionaryObject>()) {
  Dictionary->Set("Length", std::make_unique<TPXPDFNumericObject>(0));
}

void TPXPDFStreamObject::Write(TPXPDFWriter& out) const {
  Dictionary->Set("Length", std::make_unique<TPXPDFNumericObject>(static_cast<double>(Data.size())));
  Dictionary->Write(out);
  out.Put("\nstream\n");
  out.Put(Data.data(), static_cast<int64_t>(Data.size()));
  out.Put("\nendstream");
}

TPXPDFObject* TPXPDFDocument::AddIndirect(std::unique_ptr<TPXPDFObject> object) {
  object->Number = static_cast<int32_t>(Objects.size()) + 1;
  Objects.push_back(std::move(object));
  return Objects.back().get();
}

// ---------------------------------------------------------------- PDF document

namespace {
template <typename T, typename... A>
std::unique_ptr<TPXPDFObject> Make(A&&... args) {
  return std::make_unique<T>(std::forward<A>(args)...);
}
std::unique_ptr<TPXPDFObject> Ref(const TPXPDFObject* o) { return std::make_unique<TPXPDFRefObject>(o->Number); }
std::unique_ptr<TPXPDFObject> Name(const char* n) { return std::make_unique<TPXPDFNameObject>(n); }
std::unique_ptr<TPXPDFObject> Number(int64_t v) {
  return std::make_unique<TPXPDFNumericObject>(static_cast<double>(v));
}
}  // namespace

std::unique_ptr<TPXPDFDocument> CreatePDFDocument() {
  auto doc = std::make_unique<TPXPDFDocument>();
  auto catalog = std::make_unique<TPXPDFDictionaryObject>();
  catalog->Set("Type", Name("Catalog"));
  doc->AddIndirect(std::move(catalog));
  auto resources = std::make_unique<TPXPDFDictionaryObject>();
  auto procSet = std::make_unique<TPXPDFArrayObject>();
  procSet->Add(Name("PDF")).Add(Name("ImageB"));
  resources->Set("ProcSet", std::move(procSet));
  resources->Set("XObject", Make<TPXPDFDictionaryObject>());
  doc->Resources = static_cast<TPXPDFDictionaryObject*>(doc->AddIndirect(std::move(resources)));
  return doc;
}

void AddPDFPage(TPXPDFDocument& document, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress) {
  const int32_t width = bitmap.Width(), height = bitmap.Height();
  if (width <= 0 || height <= 0 || bitmap.PixelFormat() == pxNone) {
    progress.Fail(iorFailed, "PDF: there is no image to write");
    return;
  }
  auto image = std::make_unique<TPXPDFStreamObject>();
  TPXPDFDictionaryObject& dict = *image->Dictionary;
  const uint8_t c = params.PDFCompression;
  if (IsBilevel(bitmap)) {
    std::vector<uint8_t> coded;
    if (c == 2 || c == 3) {
      if (!FaxRows(bitmap, c == 2, coded, progress)) return RowsLost(progress, "PDF");
      image->Data = std::move(coded);
      dict.Set("Filter", Name("CCITTFaxDecode"));
      auto parms = std::make_unique<TPXPDFDictionaryObject>();
      parms->Set("K", Number(c == 2 ? -1 : 1));
      parms->Set("BlackIs1", Make<TPXPDFBooleanObject>(true));
      parms->Set("Columns", Number(width));
      parms->Set("Rows", Number(height));
      parms->Set("EndOfLine", Make<TPXPDFBooleanObject>(false));
      parms->Set("Uncompressed", Make<TPXPDFBooleanObject>(true));
      parms->Set("EncodedByteAlign", Make<TPXPDFBooleanObject>(false));
      parms->Set("EndOfBlock", Make<TPXPDFBooleanObject>(false));
      dict.Set("DecodeParms", std::move(parms));
    } else {
      std::vector<uint8_t> rows;
      if (!BilevelRows(bitmap, rows, progress)) return RowsLost(progress, "PDF");
      if (c == 0) {
        image->Data = std::move(rows);
      } else {  // run-length, also for JPEG and unlisted values
        EncodeRunLength(rows.data(), static_cast<int64_t>(rows.size()), image->Data);
        auto filters = std::make_unique<TPXPDFArrayObject>();
        filters->Add(Name("RunLengthDecode"));
        dict.Set("Filter", std::move(filters));
      }
    }
    dict.Set("ColorSpace", Name("DeviceGray"));
    dict.Set("BitsPerComponent", Number(1));
  } else {
    int32_t components = 3;
    if (c == 4) {
      if (!JpegData(bitmap, params, progress, image->Data, components)) return;
      dict.Set("Filter", Name("DCTDecode"));
    } else {
      TRgbRows rows(bitmap);
      const size_t rowBytes = static_cast<size_t>(width) * 3;
      image->Data.resize(rowBytes * static_cast<size_t>(height));
      progress.Start(height);
      for (int32_t y = 0; y < height; ++y) {
        const uint8_t* rgb = rows.Row(y);
        if (rgb == nullptr) return RowsLost(progress, "PDF");
        std::memcpy(image->Data.data() + rowBytes * y, rgb, rowBytes);
        progress.Advance(1);
        if (progress.Aborted()) return;
      }
    }
    dict.Set("ColorSpace", Name(components == 1 ? "DeviceGray" : "DeviceRGB"));
    dict.Set("BitsPerComponent", Number(8));
  }
  dict.SetFirst("Subtype", Name("Image"));
  dict.SetFirst("Type", Name("XObject"));
  dict.Set("Width", Number(width));
  dict.Set("Height", Number(height));
  auto* img = static_cast<TPXPDFStreamObject*>(document.AddIndirect(std::move(image)));
  document.Images.push_back(img);

  const auto [w, h] = FitImageToPaper(width, height, params.PDFPaperWidth, params.PDFPaperHeight);
  const std::string k = Num(static_cast<int64_t>(document.Images.size()));
  const std::string text = "q\n" + Num(int64_t{w}) + " 0 0 " + Num(int64_t{h}) + " 0 " +
                           Num(int64_t{params.PDFPaperHeight} - h) + " cm\n/lm" + k + " Do\nQ";
  auto content = std::make_unique<TPXPDFStreamObject>();
  content->Data.assign(text.begin(), text.end());
  auto* contentObj = static_cast<TPXPDFStreamObject*>(document.AddIndirect(std::move(content)));
  document.Contents.push_back(contentObj);

  auto* xobjects = static_cast<TPXPDFDictionaryObject*>(document.Resources->Get("XObject"));
  xobjects->Set("lm" + k, Ref(img));

  auto page = std::make_unique<TPXPDFDictionaryObject>();
  page->Set("Type", Name("Page"));
  page->Set("Resources", Ref(document.Resources));
  auto box = std::make_unique<TPXPDFArrayObject>();
  box->Add(Number(0)).Add(Number(0)).Add(Number(params.PDFPaperWidth)).Add(Number(params.PDFPaperHeight));
  page->Set("MediaBox", std::move(box));
  page->Set("Contents", Ref(contentObj));
  document.Pages.push_back(static_cast<TPXPDFDictionaryObject*>(document.AddIndirect(std::move(page))));
}

bool SavePDFDocument(std::unique_ptr<TPXPDFDocument> document, TStream& stream, TIOParamsVals& params) {
  if (!document) return true;
  TPXPDFDocument& doc = *document;
  auto pages = std::make_unique<TPXPDFDictionaryObject>();
  pages->Set("Type", Name("Pages"));
  auto kids = std::make_unique<TPXPDFArrayObject>();
  for (const TPXPDFDictionaryObject* p : doc.Pages) kids->Add(Ref(p));
  pages->Set("Kids", std::move(kids));
  pages->Set("Count", Number(static_cast<int64_t>(doc.Pages.size())));
  const TPXPDFObject* pagesObj = doc.AddIndirect(std::move(pages));
  for (TPXPDFDictionaryObject* p : doc.Pages) p->Set("Parent", Ref(pagesObj));
  static_cast<TPXPDFDictionaryObject*>(doc.Objects[0].get())->Set("Pages", Ref(pagesObj));

  auto info = std::make_unique<TPXPDFDictionaryObject>();
  const std::pair<const char*, const std::string*> texts[] = {
      {"Title", &params.PDFTitle},       {"Author", &params.PDFAuthor},   {"Subject", &params.PDFSubject},
      {"Keywords", &params.PDFKeywords}, {"Creator", &params.PDFCreator}, {"Producer", &params.PDFProducer}};
  for (const auto& [key, value] : texts)
    if (!value->empty()) info->Set(key, Make<TPXPDFStringObject>(*value));
  const std::tm tm = Now();
  char date[80];
  std::snprintf(date, sizeof date, "D:%04d%02d%02d%02d%02d%02d", tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                tm.tm_hour, tm.tm_min, tm.tm_sec);
  info->Set("CreationDate", Make<TPXPDFStringObject>(date));
  const TPXPDFObject* infoObj = doc.AddIndirect(std::move(info));

  TPXPDFWriter out(stream);
  // The comment after the version marks the file as binary: it starts with
  // "%" like every comment.
  out.Put("%PDF-1.4\n%\xC8\xD2\xF0\xFE\n");
  for (const auto& o : doc.Objects) {
    o->Offset = out.Position();
    out.Put(Num(int64_t{o->Number}) + " 0 obj\n");
    o->Write(out);
    out.Put("\nendobj\n");
  }
  const int64_t xref = out.Position();
  const std::string size = Num(static_cast<int64_t>(doc.Objects.size()) + 1);
  out.Put("xref\n0 " + size + "\n0000000000 65535 f \n");
  for (const auto& o : doc.Objects) {
    char entry[32];
    std::snprintf(entry, sizeof entry, "%010lld 00000 n \n", static_cast<long long>(o->Offset));
    out.Put(entry);
  }
  out.Put("trailer\n<< /Size " + size + "\n/Root 1 0 R\n/Info " + Num(int64_t{infoObj->Number}) +
          " 0 R\n>>\nstartxref\n" + Num(xref) + "\n%%EOF\n");
  return out.Flush();
}

void WritePDFStream(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress) {
  std::unique_ptr<TPXPDFDocument> doc = CreatePDFDocument();
  AddPDFPage(*doc, bitmap, params, progress);
  if (progress.Aborted()) return;
  if (!SavePDFDocument(std::move(doc), stream, params))
    progress.Fail(iorWriteFailed, "PDF: " + WriteFailureText(stream));
}

// ---------------------------------------------------------------- descriptors

void PSFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                   TPXBitmap* /*alpha*/) {
  RunFilter(
      progress, [&] { WritePSStream(stream, bitmap, params, progress); }, "PostScript");
}

void PDFFormatWrite(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                    TPXBitmap* /*alpha*/) {
  RunFilter(
      progress, [&] { WritePDFStream(stream, bitmap, params, progress); }, "PDF");
}

}  // namespace pixoran
