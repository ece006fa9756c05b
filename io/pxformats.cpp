#include "io/pxformats.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "io/iohooks.h"
#include "io/pixoranio_codecs.h"

namespace pixoran {

namespace {

// The marks of built-in records: reading and writing are the component's own.
void BuiltinRead(TStream&, TPXBitmap&, TIOParamsVals&, TPXProgressRec&, bool) {}
void BuiltinWrite(TStream&, TPXBitmap&, TIOParamsVals&, TPXProgressRec&) {}

struct TRegistry {
  std::vector<std::unique_ptr<TPXFileFormatInfo>> Records;
};

void AddBuiltinFormats(TRegistry& r);

TRegistry& Registry() {
  // Filled on first use, so no unit depends on another's start-up order.
  static TRegistry registry = [] {
    TRegistry r;
    AddBuiltinFormats(r);
    return r;
  }();
  return registry;
}

// Cuts a UTF-8 text to at most max bytes without splitting a character.
std::string CutName(const std::string& s, size_t max) {
  if (s.size() <= max) return s;
  size_t n = max;
  while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  return s.substr(0, n);
}

struct TBuiltinFormat {
  int32_t FileType;
  const char* FullName;
  const char* Extensions;
  uint16_t DialogPage;
  bool CanRead;
  bool CanWrite;
};

// The registry's order.
constexpr TBuiltinFormat kBuiltinFormats[] = {
    {ioTIFF, "TIFF Bitmap", "TIF;TIFF;FAX;G3N;G3F", ppTIFF, true, true},
    {ioGIF, "CompuServe Bitmap", "GIF", ppGIF, true, true},
    {ioJPEG, "JPEG Bitmap", "JPG;JPEG;JPE", ppJPEG, true, true},
    {ioPCX, "PaintBrush", "PCX", ppPCX, true, true},
    {ioBMP, "Windows Bitmap", "BMP;DIB;RLE", ppBMP, true, true},
    {ioICO, "Windows Icon", "ICO", 0, true, true},
    {ioCUR, "Windows Cursor", "CUR", 0, true, false},
    {ioPNG, "Portable Network Graphics", "PNG", ppPNG, true, true},
    {ioWMF, "Windows Metafile", "WMF", 0, true, false},
    {ioEMF, "Enhanced Windows Metafile", "EMF", 0, true, false},
    {ioTGA, "Targa Bitmap", "TGA;TARGA;VDA;ICB;VST;PIX", ppTGA, true, true},
    {ioPXM, "Portable Pixmap, GrayMap, BitMap", "PXM;PPM;PGM;PBM", 0, true, true},
    {ioWBMP, "Wireless Bitmap", "WBMP", 0, true, true},
    {ioJP2, "JPEG2000", "JP2", ppJ2000, true, true},
    {ioJ2K, "JPEG2000 Code Stream", "J2K;JPC;J2C", ppJ2000, true, true},
    {ioPS, "PostScript Level 2", "PS;EPS", 0, false, true},
    {ioPDF, "Adobe PDF", "PDF", 0, false, true},
    {ioDCX, "Multipage PCX", "DCX", 0, true, true},
};

bool GIFCanRead() { return PXIOHooks().GIFLZWDecompressHook != nullptr; }
bool GIFCanWrite() { return PXIOHooks().GIFLZWCompressHook != nullptr; }

void AddBuiltinFormats(TRegistry& r) {
  r.Records.clear();
  for (const auto& f : kBuiltinFormats) {
    auto info = std::make_unique<TPXFileFormatInfo>();
    info->FileType = f.FileType;
    info->FullName = f.FullName;
    info->Extensions = f.Extensions;
    info->DialogPage = f.DialogPage;
    // A format is offered only when its filter is in the library, so no
    // caller is told a file can be opened that every load would refuse.
    const TPXFormatCodec* codec = FindFormatCodec(f.FileType);
    bool canRead = f.CanRead && codec && codec->Read;
    bool canWrite = f.CanWrite && codec && codec->Write;
    if (f.FileType == ioGIF) {
      canRead = canRead && GIFCanRead();
      canWrite = canWrite && GIFCanWrite();
    }
    info->ReadFunction = canRead ? BuiltinRead : nullptr;
    info->WriteFunction = canWrite ? BuiltinWrite : nullptr;
    info->TryFunction = nullptr;
    r.Records.push_back(std::move(info));
  }
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return true;
}

// The index-th ";"-separated item; found false when there are fewer items.
std::string ExtensionItem(const std::string& list, int32_t index, bool& found) {
  found = false;
  if (index < 0) return {};
  size_t start = 0;
  for (int32_t i = 0;; ++i) {
    const size_t semi = list.find(';', start);
    if (i == index) {
      found = true;
      return list.substr(start, semi == std::string::npos ? std::string::npos : semi - start);
    }
    if (semi == std::string::npos) return {};
    start = semi + 1;
  }
}

// Puts the stream back at a position whatever happens on the way out.
class TPositionGuard {
 public:
  TPositionGuard(TStream& s, int64_t pos) : s_(s), pos_(pos) {}
  ~TPositionGuard() {
    try {
      s_.SetPosition(pos_);
    } catch (...) {
    }
  }
  TPositionGuard(const TPositionGuard&) = delete;
  TPositionGuard& operator=(const TPositionGuard&) = delete;

 private:
  TStream& s_;
  int64_t pos_;
};

bool AskProbe(TPXCodecProbe probe, TStream& stream, int64_t pos) {
  if (!probe) return false;
  stream.SetPosition(pos);
  const bool yes = probe(stream);
  stream.SetPosition(pos);
  return yes;
}

int32_t DetectBuiltin(TStream& stream, int64_t pos, int64_t left) {
  // The signature tests look at most this far; what the stream lacks reads as 0.
  uint8_t b[129] = {};
  stream.SetPosition(pos);
  const int64_t want = std::min<int64_t>(left, static_cast<int64_t>(sizeof b));
  if (want > 0) stream.Read(b, want);
  stream.SetPosition(pos);

  auto starts = [&](const char* text) { return std::memcmp(b, text, std::strlen(text)) == 0; };
  if (left > 12 && starts("JFIF") && b[4] == 0) return ioJPEG;
  if (left > 13 && starts("GIF")) return ioGIF;
  if (left > 12 && starts("PCX2") && b[4] == 0) return ioPCX;
  if (left > 4 && starts("PCX") && b[3] == 0) return ioPCX;
  if (left > 14 && starts("BM")) return ioBMP;
  if (left > 128 && b[0] == 0x0A && b[1] <= 5) return ioPCX;
  if (left > 12 && starts("TIFF") && b[4] == 0) return ioTIFF;
  if (left > 8 && (starts("II") || starts("MM"))) return ioTIFF;

  auto probe = [&](int32_t type) {
    const TPXFormatCodec* c = FindFormatCodec(type);
    return c && AskProbe(c->Probe, stream, pos);
  };
  if (left > 8 && probe(ioPNG)) return ioPNG;
  if (probe(ioICO)) return ioICO;
  if (probe(ioCUR)) return ioCUR;
  if (probe(ioTGA)) return ioTGA;
  if (probe(ioPXM)) return ioPXM;
  if (probe(ioJPEG)) return ioJPEG;
  if (probe(ioJP2)) return ioJP2;
  if (probe(ioJ2K)) return ioJ2K;
  if (IsAVIStream(stream)) return ioAVI;
  if (probe(ioDCX)) return ioDCX;
  return ioUnknown;
}

}  // namespace

bool IsBuiltinReadPlaceholder(TPXReadFunction f) { return f == BuiltinRead; }
bool IsBuiltinWritePlaceholder(TPXWriteFunction f) { return f == BuiltinWrite; }

int32_t RegisterFileFormat(const TPXFileFormatInfo& info) {
  auto copy = std::make_unique<TPXFileFormatInfo>(info);
  copy->FullName = CutName(copy->FullName, kPXFormatNameMax);
  copy->Extensions = CutName(copy->Extensions, kPXFormatNameMax);
  auto& records = Registry().Records;
  records.push_back(std::move(copy));
  return static_cast<int32_t>(records.size()) - 1;
}

void RegisterBuiltinFileFormats() { AddBuiltinFormats(Registry()); }

void UnregisterFileFormats() { Registry().Records.clear(); }

int32_t FileFormatCount() { return static_cast<int32_t>(Registry().Records.size()); }

TPXFileFormatInfo* FileFormatAt(int32_t index) {
  auto& records = Registry().Records;
  if (index < 0 || index >= static_cast<int32_t>(records.size())) return nullptr;
  return records[static_cast<size_t>(index)].get();
}

TPXFileFormatInfo* FindFileFormatInfo(int32_t fileType) {
  for (auto& r : Registry().Records)
    if (r->FileType == fileType) return r.get();
  return nullptr;
}

TPXFileFormatInfo* FindFileFormatInfoByExtension(const std::string& ext) {
  if (ext.empty()) return nullptr;
  for (auto& r : Registry().Records) {
    bool found = true;
    for (int32_t i = 0; found; ++i) {
      const std::string item = ExtensionItem(r->Extensions, i, found);
      if (found && EqualsNoCase(item, ext)) return r.get();
    }
  }
  return nullptr;
}

std::string FileFormatExtension(int32_t fileType, int32_t index) {
  const TPXFileFormatInfo* info = FindFileFormatInfo(fileType);
  if (!info) return {};
  bool found = false;
  return ExtensionItem(info->Extensions, index, found);
}

int32_t FileFormatExtensionCount(int32_t fileType) {
  int32_t n = 0;
  while (!FileFormatExtension(fileType, n).empty()) ++n;
  return n;
}

bool IsReadableFileName(const std::string& fileName) {
  std::string ext = LowerCaseASCII(ExtractFileExt(fileName));
  if (!ext.empty()) ext.erase(0, 1);
  const TPXFileFormatInfo* info = FindFileFormatInfoByExtension(ext);
  return info != nullptr && info->ReadFunction != nullptr;
}

bool IsAVIStream(TStream& stream) {
  try {
    const int64_t pos = stream.Position();
    TPositionGuard back(stream, pos);
    char riff[4] = {}, skip[4] = {}, avi[4] = {};
    if (!stream.ReadExact(riff, 4) || !stream.ReadExact(skip, 4) || !stream.ReadExact(avi, 4)) return false;
    return std::memcmp(riff, "RIFF", 4) == 0 && std::memcmp(avi, "AVI ", 4) == 0;
  } catch (...) {
    return false;
  }
}

int32_t FindStreamFormat(TStream& stream) {
  int32_t result = ioUnknown;
  try {
    const int64_t pos = stream.Position();
    TPositionGuard back(stream, pos);
    // Registered probes first: callers may claim content the built-in
    // signatures would give to another format.
    for (auto& r : Registry().Records) {
      if (!r->TryFunction) continue;
      stream.SetPosition(pos);
      if (r->TryFunction(stream)) return r->FileType;
    }
    // The signatures look at what follows the position, not at the whole stream.
    const int64_t left = std::max<int64_t>(0, stream.Size() - pos);
    result = DetectBuiltin(stream, pos, left);
  } catch (...) {
    // A failing probe or read ends detection with what was found so far.
  }
  return result;
}

int32_t FindFileFormat(const std::string& fileName, bool verifyExtension) {
  int32_t found = ioUnknown;
  try {
    TFileStream fs(fileName, fmOpenRead);
    found = FindStreamFormat(fs);
  } catch (...) {
    return ioUnknown;
  }
  if (!verifyExtension || found == ioUnknown) return found;
  std::string ext = ExtractFileExt(fileName);
  if (!ext.empty()) ext.erase(0, 1);
  const TPXFileFormatInfo* info = FindFileFormatInfoByExtension(ext);
  if (!info) return ioUnknown;
  if (found == ioICO || found == ioCUR) {
    // Icons and cursors share their layout: either name is believed, no other.
    return (info->FileType == ioICO || info->FileType == ioCUR) ? info->FileType : ioUnknown;
  }
  return found == info->FileType ? found : ioUnknown;
}

void UpdateGIFFormatAvailability() {
  TPXFileFormatInfo* gif = FindFileFormatInfo(ioGIF);
  if (!gif) return;
  const TPXFormatCodec* codec = FindFormatCodec(ioGIF);
  gif->ReadFunction = (GIFCanRead() && codec && codec->Read) ? BuiltinRead : nullptr;
  gif->WriteFunction = (GIFCanWrite() && codec && codec->Write) ? BuiltinWrite : nullptr;
}

std::string FileFormatDescription(const TIOParamsVals& params) {
  std::string text;
  if (const TPXFileFormatInfo* info = FindFileFormatInfo(params.FileType)) {
    bool found = false;
    text = info->FullName + " (" + UpperCaseASCII(ExtensionItem(info->Extensions, 0, found)) + ")";
  }
  switch (params.FileType) {
    case ioTIFF: {
      static const char* const kTIFF[] = {" Uncompressed", " Huffman", " Group 3 Fax", " Group 3 Fax 2D",
                                          " Group 4 Fax",  " LZW",     " Jpeg v.5",    " Jpeg",
                                          " PackBits RLE"};
      if (params.TIFFCompression < 9) text += kTIFF[params.TIFFCompression];
      break;
    }
    case ioGIF:
      if (params.GIFInterlaced) text += " Interlaced";
      break;
    case ioJPEG: {
      static const char* const kJPEG[] = {"", " Gray level", " YCbCr", " CMYK", " YCbCrK"};
      if (params.JPEGColorSpace < 5) text += kJPEG[params.JPEGColorSpace];
      break;
    }
    case ioPCX:
      if (params.PCXCompression == 0) text += " Uncompressed";
      break;
    case ioBMP: {
      static const char* const kBMP[] = {" ver.1", " ver.3", " OS/2 v.1", " OS/2 v.2"};
      if (params.BMPHeaderKind < 4) text += kBMP[params.BMPHeaderKind];
      break;
    }
    case ioPNG:
      if (params.PNGInterlaced) text += " Interlaced";
      break;
    case ioTGA:
      text += params.TGACompressed ? " Compressed" : " Uncompressed";
      break;
    case ioJP2:
    case ioJ2K: {
      static const char* const kJ2000[] = {" Gray level", " RGB", " YCbCr"};
      if (params.J2000ColorSpace < 3) text += kJ2000[params.J2000ColorSpace];
      break;
    }
    default:
      break;
  }
  return text;
}

std::string ExtractFileName(const std::string& fileName) {
  const size_t slash = fileName.find_last_of('/');
  return slash == std::string::npos ? fileName : fileName.substr(slash + 1);
}

std::string ExtractFileExt(const std::string& fileName) {
  // Only the last path component: a dot in a folder name is no extension.
  const std::string name = ExtractFileName(fileName);
  const size_t dot = name.find_last_of('.');
  return dot == std::string::npos ? std::string() : name.substr(dot);
}

std::string LowerCaseASCII(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

std::string UpperCaseASCII(std::string text) {
  for (char& c : text)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  return text;
}

namespace {

constexpr TPXExtensionRoute kRoutes[] = {
    {".jpg", ioJPEG, ioJPEG},  {".jpeg", ioJPEG, ioJPEG}, {".jpe", ioJPEG, ioJPEG},
    {".jp2", ioJP2, ioJP2},    {".j2k", ioJ2K, ioJ2K},    {".jpc", ioJ2K, ioJ2K},
    {".j2c", ioJ2K, ioJ2K},    {".png", ioPNG, ioPNG},    {".tif", ioTIFF, ioTIFF},
    {".tiff", ioTIFF, ioTIFF}, {".fax", ioTIFF, ioTIFF},  {".g3n", ioTIFF, ioTIFF},
    {".g3f", ioTIFF, ioTIFF},  {".pcx", ioPCX, ioPCX},    {".dcx", ioDCX, ioDCX},
    {".gif", ioGIF, ioGIF},    {".wmf", ioWMF, 0},        {".emf", ioEMF, 0},
    {".bmp", ioBMP, ioBMP},    {".dib", ioBMP, ioBMP},    {".rle", ioBMP, ioBMP},
    {".cur", ioCUR, 0},        {".ico", ioICO, ioICO},    {".tga", ioTGA, ioTGA},
    {".targa", ioTGA, ioTGA},  {".vda", ioTGA, ioTGA},    {".icb", ioTGA, ioTGA},
    {".vst", ioTGA, ioTGA},    {".win", ioTGA, ioTGA},    {".pxm", ioPXM, ioPXM},
    {".ppm", ioPXM, ioPXM},    {".pgm", ioPXM, ioPXM},    {".pbm", ioPXM, ioPXM},
    {".wbmp", ioWBMP, ioWBMP}, {".avi", ioAVI, 0},        {".ps", 0, ioPS},
    {".eps", 0, ioPS},         {".pdf", 0, ioPDF},
};

}  // namespace

const TPXExtensionRoute* FindExtensionRoute(const std::string& ext) {
  for (const auto& r : kRoutes)
    if (ext == r.Extension) return &r;
  return nullptr;
}

}  // namespace pixoran
