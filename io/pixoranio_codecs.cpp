#include "io/pixoranio_codecs.h"

#include <cstring>
#include <deque>
#include <mutex>
#include <shared_mutex>
#include <vector>

#include "io/formats/bmp/bmpfilt.h"
#include "io/formats/gif/giffilter.h"
#include "io/formats/ico/icofilt.h"
#include "io/iohooks.h"
#include "io/formats/jpeg/jpegfilt.h"
#include "io/formats/pcx/pcxfilter.h"
#include "io/formats/png/pngfilt.h"
#include "io/formats/pnm/pnmfilt.h"
#include "io/formats/pspdf/pspdffilt.h"
#include "io/pxexif.h"
#include "io/pxformats.h"
#include "io/formats/jpeg2000/pxj2000.h"
#include "io/formats/tga/pxtgafil.h"
#include "io/formats/tiff/tiffilt.h"

namespace pixoran {

namespace {

// ---------------------------------------------------------------- filter adapters

void ReadBMP(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool paramsOnly,
             int64_t dataLength, TPXBitmap& /*alpha*/) {
  ReadBMPStream(stream, bitmap, dataLength, params, progress, paramsOnly, false);
}

void WriteBMP(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
              TPXBitmap* /*alpha*/) {
  WriteBMPStream(stream, bitmap, params, progress);
}

void ReadJPEG(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool paramsOnly,
              int64_t /*dataLength*/, TPXBitmap& /*alpha*/) {
  ReadJPEGStream(stream, nullptr, bitmap, params, progress, paramsOnly, false);
}

void WriteJPEG(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
               TPXBitmap* /*alpha*/) {
  WriteJPEGStream(stream, bitmap, params, progress);
}

bool ProbeJPEG(TStream& stream) { return FindJPEGStart(stream) >= 0; }

constexpr uint32_t kJPEGWriterFormats = PXFormatBit(pxBGR24) | PXFormatBit(pxCMYK) | PXFormatBit(pxBW1) |
                                        PXFormatBit(pxGray8) | PXFormatBit(pxGray16) | PXFormatBit(pxPal8);

// Other formats reach the TIFF writer as a pxBGR24 copy.
constexpr uint32_t kTIFFWriterFormats = PXFormatBit(pxBGR24) | PXFormatBit(pxBW1) | PXFormatBit(pxGray8) |
                                        PXFormatBit(pxGray16) | PXFormatBit(pxPal8);

bool GIFReady(bool write) {
  return write ? PXIOHooks().GIFLZWCompressHook != nullptr : PXIOHooks().GIFLZWDecompressHook != nullptr;
}

// ---------------------------------------------------------------- descriptions

void DescribeTIFF(const TIOParamsVals& params, std::string& text) {
  static const char* const kNames[] = {" Uncompressed", " Huffman", " Group 3 Fax", " Group 3 Fax 2D", " Group 4 Fax",
                                       " LZW",          " Jpeg v.5", " Jpeg",       " PackBits RLE"};
  if (params.TIFFCompression < 9) text += kNames[params.TIFFCompression];
}

void DescribeGIF(const TIOParamsVals& params, std::string& text) {
  if (params.GIFInterlaced) text += " Interlaced";
}

void DescribeJPEG(const TIOParamsVals& params, std::string& text) {
  static const char* const kNames[] = {"", " Gray level", " YCbCr", " CMYK", " YCbCrK"};
  if (params.JPEGColorSpace < 5) text += kNames[params.JPEGColorSpace];
}

void DescribePCX(const TIOParamsVals& params, std::string& text) {
  if (params.PCXCompression == 0) text += " Uncompressed";
}

void DescribeBMP(const TIOParamsVals& params, std::string& text) {
  static const char* const kNames[] = {" ver.1", " ver.3", " OS/2 v.1", " OS/2 v.2"};
  if (params.BMPHeaderKind < 4) text += kNames[params.BMPHeaderKind];
}

void DescribePNG(const TIOParamsVals& params, std::string& text) {
  if (params.PNGInterlaced) text += " Interlaced";
}

void DescribeTGA(const TIOParamsVals& params, std::string& text) {
  text += params.TGACompressed ? " Compressed" : " Uncompressed";
}

void DescribeJ2000(const TIOParamsVals& params, std::string& text) {
  static const char* const kNames[] = {" Gray level", " RGB", " YCbCr"};
  if (params.J2000ColorSpace < 3) text += kNames[params.J2000ColorSpace];
}

// ---------------------------------------------------------------- the records
//
// Adding a format: write its filter (io/<name>filt.cpp with a reader and a
// writer of the TPXCodecReader and TPXCodecWriter shapes, plus a probe and a
// counter when it has them), then fill in its entry below, one field per
// line: Read, Write, WriterFormats (the pixel formats the writer takes; the
// save core gives it a pxBGR24 copy of any other), Probe (already placed in
// the detection order in kDetectSteps), Count for multi-image files,
// AfterRead/BeforeWrite and Describe when it has them. Nothing else in the
// library changes: the registry offers the format once Read or Write is set,
// and loads and saves by extension, type and content reach it. A format the
// library does not know yet gets a new entry (or SetFormatCodec at start-up)
// and a type number in pxformats.h.
//
// The order is the registry's. A format without a filter has no reader,
// writer or probe: its loads and saves end with Aborting set, detection
// never names it from a probe, and the registry does not offer it.
// clang-format off
const TPXFormatCodec kFormats[] = {
    {
        .FileType = ioTIFF,
        .FullName = "TIFF Bitmap",
        .Extensions = "TIF;TIFF;FAX;G3N;G3F",
        .DialogPage = ppTIFF,
        .LoadRoutes = "tif;tiff;fax;g3n;g3f",
        .SaveRoutes = "tif;tiff;fax;g3n;g3f",
        .Read = TIFFFormatRead,
        .Write = TIFFFormatWrite,
        .WriterFormats = kTIFFWriterFormats,
        .Probe = IsTIFFStream,
        .Count = TIFFPageCount,
        .ImageIndex = &TIOParamsVals::TIFFImageIndex,
        .Magic = "TIFF",
        .Header = hrWhenEnabled,
        .Flags = cfLoadAll | cfSave | cfAlphaFromReader,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = DescribeTIFF,
        .Ready = nullptr,
    },
    // A GIF load gives the wanted frame as the animation shows it: the reader
    // composes the frames up to it. Reading and writing also need the LZW hooks.
    {
        .FileType = ioGIF,
        .FullName = "CompuServe Bitmap",
        .Extensions = "GIF",
        .DialogPage = ppGIF,
        .LoadRoutes = "gif",
        .SaveRoutes = "gif",
        .Read = GIFFormatRead,
        .Write = GIFFormatWrite,
        .WriterFormats = kPXWriterAny,
        .Probe = nullptr,
        .Count = CountGIFFrames,
        .ImageIndex = &TIOParamsVals::GIFImageIndex,
        .ImageCount = &TIOParamsVals::GIFImageCount,
        .Magic = nullptr,
        .Header = hrNone,
        .Flags = cfLoadAll | cfSave | cfAlphaFromReader | cfGIFBackground,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = DescribeGIF,
        .Ready = GIFReady,
    },
    // IPTC and EXIF move between the marker list and the record after every
    // read (parameters-only too) and before every write. The writer expands
    // every row it can take itself and keeps native CMYK exact.
    {
        .FileType = ioJPEG,
        .FullName = "JPEG Bitmap",
        .Extensions = "JPG;JPEG;JPE",
        .DialogPage = ppJPEG,
        .LoadRoutes = "jpg;jpeg;jpe",
        .SaveRoutes = "jpg;jpeg;jpe",
        .Read = ReadJPEG,
        .Write = WriteJPEG,
        .WriterFormats = kJPEGWriterFormats,
        .Probe = ProbeJPEG,
        .Count = nullptr,
        .ImageIndex = nullptr,
        .Magic = "JFIF",
        .Header = hrAlways,
        .Flags = cfLoadAll | cfSave,
        .AfterRead = ReadJPEGMetadata,
        .BeforeWrite = WriteJPEGMetadata,
        .Describe = DescribeJPEG,
        .Ready = nullptr,
    },
    {
        .FileType = ioPCX,
        .FullName = "PaintBrush",
        .Extensions = "PCX",
        .DialogPage = ppPCX,
        .LoadRoutes = "pcx",
        .SaveRoutes = "pcx",
        .Read = PCXFormatRead,
        .Write = PCXFormatWrite,
        .WriterFormats = kPXWriter24,
        .Probe = nullptr,
        .Count = nullptr,
        .ImageIndex = nullptr,
        .Magic = "PCX2",
        .Header = hrWhenEnabled,
        .Flags = cfLoadAll | cfSave | cfHeaderOnSuccess,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = DescribePCX,
        .Ready = nullptr,
    },
    // BMP, DIB and RLE files carry no transparency and no stream header.
    {
        .FileType = ioBMP,
        .FullName = "Windows Bitmap",
        .Extensions = "BMP;DIB;RLE",
        .DialogPage = ppBMP,
        .LoadRoutes = "bmp;dib;rle",
        .SaveRoutes = "bmp;dib;rle",
        .Read = ReadBMP,
        .Write = WriteBMP,
        .WriterFormats = kPXWriterAny,
        .Probe = nullptr,
        .Count = nullptr,
        .ImageIndex = nullptr,
        .Magic = nullptr,
        .Header = hrNone,
        .Flags = cfLoadAll | cfSave,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = DescribeBMP,
        .Ready = nullptr,
    },
    {
        .FileType = ioICO,
        .FullName = "Windows Icon",
        .Extensions = "ICO",
        .DialogPage = 0,
        .LoadRoutes = "ico",
        .SaveRoutes = "ico",
        .Read = ICOFormatRead,
        .Write = ICOFormatWrite,
        .WriterFormats = kPXWriter24,
        .Probe = IsICOStream,
        .Count = ICOImageCount,
        .ImageIndex = &TIOParamsVals::ICOImageIndex,
        .Magic = nullptr,
        .Header = hrNone,
        .Flags = cfLoadAll | cfSave | cfAlphaFromReader | cfAlphaToWriter,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = nullptr,
        .Ready = nullptr,
    },
    // Cursors are read only.
    {
        .FileType = ioCUR,
        .FullName = "Windows Cursor",
        .Extensions = "CUR",
        .DialogPage = 0,
        .LoadRoutes = "cur",
        .SaveRoutes = nullptr,
        .Read = CURFormatRead,
        .Write = nullptr,
        .WriterFormats = kPXWriter24,
        .Probe = IsCURStream,
        .Count = ICOImageCount,
        .ImageIndex = &TIOParamsVals::CURImageIndex,
        .Magic = nullptr,
        .Header = hrNone,
        .Flags = cfLoadAll | cfAlphaFromReader,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = nullptr,
        .Ready = nullptr,
    },
    // PNG: the alpha travels both ways; the writer converts on a copy what
    // its rows cannot take, so it is handed every pixel format.
    {
        .FileType = ioPNG,
        .FullName = "Portable Network Graphics",
        .Extensions = "PNG",
        .DialogPage = ppPNG,
        .LoadRoutes = "png",
        .SaveRoutes = "png",
        .Read = PNGFormatRead,
        .Write = PNGFormatWrite,
        .WriterFormats = kPXWriterAny,
        .Probe = IsPNGStream,
        .Count = nullptr,
        .ImageIndex = nullptr,
        .Magic = nullptr,
        .Header = hrNone,
        .Flags = cfLoadAll | cfSave | cfAlphaFromReader | cfAlphaToWriter | cfPNGBackground,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = DescribePNG,
        .Ready = nullptr,
    },
    // Metafiles are imported as whole pictures, from files only.
    {
        .FileType = ioWMF,
        .FullName = "Windows Metafile",
        .Extensions = "WMF",
        .DialogPage = 0,
        .LoadRoutes = "wmf",
        .SaveRoutes = nullptr,
        .Read = nullptr,
        .Write = nullptr,
        .WriterFormats = kPXWriter24,
        .Probe = nullptr,
        .Count = nullptr,
        .ImageIndex = nullptr,
        .Magic = nullptr,
        .Header = hrNone,
        .Flags = cfLoadFile,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = nullptr,
        .Ready = nullptr,
    },
    {
        .FileType = ioEMF,
        .FullName = "Enhanced Windows Metafile",
        .Extensions = "EMF",
        .DialogPage = 0,
        .LoadRoutes = "emf",
        .SaveRoutes = nullptr,
        .Read = nullptr,
        .Write = nullptr,
        .WriterFormats = kPXWriter24,
        .Probe = nullptr,
        .Count = nullptr,
        .ImageIndex = nullptr,
        .Magic = nullptr,
        .Header = hrNone,
        .Flags = cfLoadFile,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = nullptr,
        .Ready = nullptr,
    },
    // ".win" loads and saves as TGA without being registered; ".pix" is
    // registered and reaches TGA through the registry.
    {
        .FileType = ioTGA,
        .FullName = "Targa Bitmap",
        .Extensions = "TGA;TARGA;VDA;ICB;VST;PIX",
        .DialogPage = ppTGA,
        .LoadRoutes = "tga;targa;vda;icb;vst;win",
        .SaveRoutes = "tga;targa;vda;icb;vst;win",
        .Read = TGAFormatRead,
        .Write = TGAFormatWrite,
        .WriterFormats = kPXWriter24,
        .Probe = IsTGAStream,
        .Count = nullptr,
        .ImageIndex = nullptr,
        .Magic = nullptr,
        .Header = hrNone,
        .Flags = cfLoadAll | cfSave | cfAlphaFromReader | cfAlphaToWriter,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = DescribeTGA,
        .Ready = nullptr,
    },
    {
        .FileType = ioPXM,
        .FullName = "Portable Pixmap, GrayMap, BitMap",
        .Extensions = "PXM;PPM;PGM;PBM",
        .DialogPage = 0,
        .LoadRoutes = "pxm;ppm;pgm;pbm",
        .SaveRoutes = "pxm;ppm;pgm;pbm",
        .Read = PNMFormatRead,
        .Write = PNMFormatWrite,
        .WriterFormats = kPXWriter24,
        .Probe = IsPNMStream,
        .Count = nullptr,
        .ImageIndex = nullptr,
        .Magic = nullptr,
        .Header = hrNone,
        .Flags = cfLoadAll | cfSave,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = nullptr,
        .Ready = nullptr,
    },
    // WBMP is never detected; it is read by type or by extension only.
    {
        .FileType = ioWBMP,
        .FullName = "Wireless Bitmap",
        .Extensions = "WBMP",
        .DialogPage = 0,
        .LoadRoutes = "wbmp",
        .SaveRoutes = "wbmp",
        .Read = WBMPFormatRead,
        .Write = WBMPFormatWrite,
        .WriterFormats = kPXWriter24,
        .Probe = nullptr,
        .Count = nullptr,
        .ImageIndex = nullptr,
        .Magic = nullptr,
        .Header = hrNone,
        .Flags = cfLoadFile | cfLoadStream | cfSave | cfNoAutoAdjustDPI,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = nullptr,
        .Ready = nullptr,
    },
    {
        .FileType = ioJP2,
        .FullName = "JPEG2000",
        .Extensions = "JP2",
        .DialogPage = ppJ2000,
        .LoadRoutes = "jp2",
        .SaveRoutes = "jp2",
        .Read = J2000FormatRead,
        .Write = JP2FormatWrite,
        .WriterFormats = kPXWriter24,
        .Probe = IsJP2Stream,
        .Count = nullptr,
        .ImageIndex = nullptr,
        .Magic = nullptr,
        .Header = hrNone,
        .Flags = cfLoadAll | cfSave,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = DescribeJ2000,
        .Ready = nullptr,
    },
    {
        .FileType = ioJ2K,
        .FullName = "JPEG2000 Code Stream",
        .Extensions = "J2K;JPC;J2C",
        .DialogPage = ppJ2000,
        .LoadRoutes = "j2k;jpc;j2c",
        .SaveRoutes = "j2k;jpc;j2c",
        .Read = J2000FormatRead,
        .Write = J2KFormatWrite,
        .WriterFormats = kPXWriter24,
        .Probe = IsJ2KStream,
        .Count = nullptr,
        .ImageIndex = nullptr,
        .Magic = nullptr,
        .Header = hrNone,
        .Flags = cfLoadAll | cfSave,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = DescribeJ2000,
        .Ready = nullptr,
    },
    // PostScript and PDF are written only.
    {
        .FileType = ioPS,
        .FullName = "PostScript Level 2",
        .Extensions = "PS;EPS",
        .DialogPage = 0,
        .LoadRoutes = nullptr,
        .SaveRoutes = "ps;eps",
        .Read = nullptr,
        .Write = PSFormatWrite,
        .WriterFormats = kPXWriter24,
        .Probe = nullptr,
        .Count = nullptr,
        .ImageIndex = nullptr,
        .Magic = nullptr,
        .Header = hrNone,
        .Flags = cfSave,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = nullptr,
        .Ready = nullptr,
    },
    {
        .FileType = ioPDF,
        .FullName = "Adobe PDF",
        .Extensions = "PDF",
        .DialogPage = 0,
        .LoadRoutes = nullptr,
        .SaveRoutes = "pdf",
        .Read = nullptr,
        .Write = PDFFormatWrite,
        .WriterFormats = kPXWriter24,
        .Probe = nullptr,
        .Count = nullptr,
        .ImageIndex = nullptr,
        .Magic = nullptr,
        .Header = hrNone,
        .Flags = cfSave,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = nullptr,
        .Ready = nullptr,
    },
    {
        .FileType = ioDCX,
        .FullName = "Multipage PCX",
        .Extensions = "DCX",
        .DialogPage = 0,
        .LoadRoutes = "dcx",
        .SaveRoutes = "dcx",
        .Read = DCXFormatRead,
        .Write = DCXFormatWrite,
        .WriterFormats = kPXWriterAny,
        .Probe = IsDCXStream,
        .Count = DCXPageCount,
        .ImageIndex = &TIOParamsVals::DCXImageIndex,
        .Magic = nullptr,
        .Header = hrNone,
        .Flags = cfLoadAll | cfSave,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = nullptr,
        .Ready = nullptr,
    },
    // AVI is not registered: only the first frame of a file named .avi is
    // read (through the registry, by type).
    {
        .FileType = ioAVI,
        .DialogPage = 0,
        .LoadRoutes = "avi",
        .SaveRoutes = nullptr,
        .Read = nullptr,
        .Write = nullptr,
        .WriterFormats = kPXWriter24,
        .Probe = IsAVIStream,
        .Count = nullptr,
        .ImageIndex = nullptr,
        .Magic = nullptr,
        .Header = hrNone,
        .Flags = 0,
        .AfterRead = nullptr,
        .BeforeWrite = nullptr,
        .Describe = nullptr,
        .Ready = nullptr,
    },
};
// clang-format on

// Content detection, in order. Signatures first, each with the size it
// needs; then the probes of the formats that have no signature.
bool SigJFIFHeader(const uint8_t* b) { return std::memcmp(b, "JFIF", 4) == 0 && b[4] == 0; }
bool SigGIF(const uint8_t* b) { return std::memcmp(b, "GIF", 3) == 0; }
bool SigPCXHeader(const uint8_t* b) { return std::memcmp(b, "PCX2", 4) == 0 && b[4] == 0; }
bool SigPCXOldHeader(const uint8_t* b) { return std::memcmp(b, "PCX", 3) == 0 && b[3] == 0; }
bool SigBMP(const uint8_t* b) { return b[0] == 'B' && b[1] == 'M'; }
bool SigPCX(const uint8_t* b) { return b[0] == 0x0A && b[1] <= 5; }
bool SigTIFFHeader(const uint8_t* b) { return std::memcmp(b, "TIFF", 4) == 0 && b[4] == 0; }
bool SigTIFF(const uint8_t* b) { return (b[0] == 'I' && b[1] == 'I') || (b[0] == 'M' && b[1] == 'M'); }

constexpr TPXDetectStep kDetectSteps[] = {
    {ioJPEG, 12, SigJFIFHeader},
    {ioGIF, 13, SigGIF},
    {ioPCX, 12, SigPCXHeader},
    {ioPCX, 4, SigPCXOldHeader},
    {ioBMP, 14, SigBMP},
    {ioPCX, 128, SigPCX},
    {ioTIFF, 12, SigTIFFHeader},
    {ioTIFF, 8, SigTIFF},
    {ioPNG, 8, nullptr},
    {ioICO, -1, nullptr},
    {ioCUR, -1, nullptr},
    {ioTGA, -1, nullptr},
    {ioPXM, -1, nullptr},
    {ioJPEG, -1, nullptr},
    {ioJP2, -1, nullptr},
    {ioJ2K, -1, nullptr},
    {ioAVI, -1, nullptr},
    {ioDCX, -1, nullptr},
};

}  // namespace

std::span<const TPXFormatCodec> BuiltinFormatCodecs() { return kFormats; }
std::span<const TPXDetectStep> BuiltinDetectSteps() { return kDetectSteps; }

namespace {

// Read from any thread under the shared lock, changed under it alone. A
// record or route table is never changed or freed once handed out: a change
// keeps a new version (a deque: appending keeps pointers valid) and points
// the list at it.
struct TFormatTables {
  std::shared_mutex Lock;
  std::deque<TPXFormatCodec> Kept;              // every version of every record
  std::vector<const TPXFormatCodec*> Records;  // the current ones, in registry order
  std::deque<std::vector<TPXExtensionRoute>> RouteVersions;
  const std::vector<TPXExtensionRoute>* Routes = nullptr;
};

void AddRoutes(std::vector<TPXExtensionRoute>& routes, const char* list, int32_t fileType, bool save) {
  if (!list) return;
  const std::string text = list;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    if (end > start) {
      const std::string ext = "." + text.substr(start, end - start);
      TPXExtensionRoute* route = nullptr;
      for (auto& r : routes)
        if (r.Extension == ext) route = &r;
      if (!route) route = &routes.emplace_back(TPXExtensionRoute{ext, ioUnknown, ioUnknown});
      // The first record that claims an extension keeps it.
      int32_t& slot = save ? route->SaveType : route->LoadType;
      if (slot == ioUnknown) slot = fileType;
    }
    start = end + 1;
  }
}

void RebuildRoutes(TFormatTables& t) {
  std::vector<TPXExtensionRoute> routes;
  for (const TPXFormatCodec* c : t.Records) {
    AddRoutes(routes, c->LoadRoutes, c->FileType, false);
    AddRoutes(routes, c->SaveRoutes, c->FileType, true);
  }
  t.Routes = &t.RouteVersions.emplace_back(std::move(routes));
}

TFormatTables& Tables() {
  // Filled on first use, so no unit depends on another's start-up order.
  static TFormatTables tables;
  static std::once_flag filled;
  std::call_once(filled, [] {
    for (const TPXFormatCodec& c : BuiltinFormatCodecs()) tables.Records.push_back(&tables.Kept.emplace_back(c));
    RebuildRoutes(tables);
  });
  return tables;
}

}  // namespace

const TPXFormatCodec* FindFormatCodec(int32_t fileType) {
  TFormatTables& t = Tables();
  std::shared_lock<std::shared_mutex> lock(t.Lock);
  for (const TPXFormatCodec* c : t.Records)
    if (c->FileType == fileType) return c;
  return nullptr;
}

TPXFormatCodec SetFormatCodec(const TPXFormatCodec& codec) {
  TFormatTables& t = Tables();
  TPXFormatCodec old{};
  if (codec.FileType == ioUnknown) return old;
  std::unique_lock<std::shared_mutex> lock(t.Lock);
  const TPXFormatCodec* fresh = &t.Kept.emplace_back(codec);
  bool found = false;
  for (const TPXFormatCodec*& c : t.Records)
    if (c->FileType == codec.FileType) {
      old = *c;
      c = fresh;
      found = true;
      break;
    }
  if (!found) t.Records.push_back(fresh);
  RebuildRoutes(t);
  return old;
}

const TPXFormatCodec* FormatCodecAt(int32_t index) {
  TFormatTables& t = Tables();
  std::shared_lock<std::shared_mutex> lock(t.Lock);
  if (index < 0 || index >= static_cast<int32_t>(t.Records.size())) return nullptr;
  return t.Records[static_cast<size_t>(index)];
}

const TPXDetectStep* DetectStepAt(int32_t index) {
  const std::span<const TPXDetectStep> steps = BuiltinDetectSteps();
  if (index < 0 || index >= static_cast<int32_t>(steps.size())) return nullptr;
  return &steps[static_cast<size_t>(index)];
}

const TPXExtensionRoute* FindExtensionRoute(const std::string& ext) {
  TFormatTables& t = Tables();
  std::shared_lock<std::shared_mutex> lock(t.Lock);
  for (const auto& r : *t.Routes)
    if (ext == r.Extension) return &r;
  return nullptr;
}

}  // namespace pixoran
