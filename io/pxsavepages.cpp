#include "io/pxsavepages.h"

#include <array>

#include "io/pxformats.h"

namespace pixoran {

namespace {

#define PX_SAVE_FIELD(name) TSaveField{#name, &TIOParamsVals::name}

constexpr TSaveField kJPEGFields[] = {
    PX_SAVE_FIELD(JPEGQuality),        PX_SAVE_FIELD(JPEGColorSpace), PX_SAVE_FIELD(JPEGDCTMethod),
    PX_SAVE_FIELD(JPEGOptimalHuffman), PX_SAVE_FIELD(JPEGSmooth),     PX_SAVE_FIELD(JPEGProgressive),
};
constexpr TSaveField kTIFFFullFields[] = {
    PX_SAVE_FIELD(TIFFCompression),      PX_SAVE_FIELD(TIFFImageIndex), PX_SAVE_FIELD(TIFFPhotometric),
    PX_SAVE_FIELD(TIFFXPos),             PX_SAVE_FIELD(TIFFYPos),       PX_SAVE_FIELD(TIFFDocumentName),
    PX_SAVE_FIELD(TIFFImageDescription), PX_SAVE_FIELD(TIFFPageName),   PX_SAVE_FIELD(TIFFPageNumber),
    PX_SAVE_FIELD(TIFFPageCount),        PX_SAVE_FIELD(BitsPerSample),  PX_SAVE_FIELD(SamplesPerPixel),
};
constexpr TSaveField kTIFFSimpleFields[] = {
    PX_SAVE_FIELD(TIFFCompression),
    PX_SAVE_FIELD(TIFFPhotometric),
    PX_SAVE_FIELD(BitsPerSample),
    PX_SAVE_FIELD(SamplesPerPixel),
};
constexpr TSaveField kGIFFullFields[] = {
    PX_SAVE_FIELD(GIFImageIndex), PX_SAVE_FIELD(GIFTransparent), PX_SAVE_FIELD(GIFTranspColor),
    PX_SAVE_FIELD(GIFInterlaced), PX_SAVE_FIELD(GIFBackground),  PX_SAVE_FIELD(GIFXPos),
    PX_SAVE_FIELD(GIFYPos),       PX_SAVE_FIELD(GIFDelayTime),   PX_SAVE_FIELD(BitsPerSample),
};
constexpr TSaveField kGIFSimpleFields[] = {PX_SAVE_FIELD(BitsPerSample)};
constexpr TSaveField kBMPFields[] = {
    PX_SAVE_FIELD(BMPCompression),
    PX_SAVE_FIELD(BitsPerSample),
    PX_SAVE_FIELD(SamplesPerPixel),
};
constexpr TSaveField kPCXFields[] = {
    PX_SAVE_FIELD(PCXCompression),
    PX_SAVE_FIELD(BitsPerSample),
    PX_SAVE_FIELD(SamplesPerPixel),
};
constexpr TSaveField kPNGFields[] = {
    PX_SAVE_FIELD(BitsPerSample), PX_SAVE_FIELD(SamplesPerPixel), PX_SAVE_FIELD(PNGBackground),
    PX_SAVE_FIELD(PNGInterlaced), PX_SAVE_FIELD(PNGFilter),       PX_SAVE_FIELD(PNGCompression),
};
constexpr TSaveField kTGAFields[] = {
    PX_SAVE_FIELD(BitsPerSample), PX_SAVE_FIELD(SamplesPerPixel), PX_SAVE_FIELD(TGABackground),
    PX_SAVE_FIELD(TGACompressed), PX_SAVE_FIELD(TGAImageName),    PX_SAVE_FIELD(TGADescriptor),
};
constexpr TSaveField kJ2000Fields[] = {
    PX_SAVE_FIELD(J2000Rate),
    PX_SAVE_FIELD(J2000ColorSpace),
    PX_SAVE_FIELD(SamplesPerPixel),
};

#undef PX_SAVE_FIELD

constexpr TSaveDepth kTIFFFullDepths[] = {{"B/W", 1, 1}, {"16", 4, 1}, {"256", 8, 1}, {"65536", 5, 3}, {"16M", 8, 3}};
constexpr TSaveDepth kTIFFSimpleDepths[] = {
    {"2", 1, 1}, {"16", 4, 1}, {"256", 8, 1}, {"65536", 5, 3}, {"16777216", 8, 3}};
// GIF depths count in bits per pixel alone.
constexpr TSaveDepth kGIFDepths[] = {{"B/W", 1, 0}, {"4", 2, 0},  {"8", 3, 0},   {"16", 4, 0},
                                     {"32", 5, 0},  {"64", 6, 0}, {"128", 7, 0}, {"256", 8, 0}};
constexpr TSaveDepth kBMPDepths[] = {{"B/W", 1, 1}, {"16", 4, 1},  {"256", 8, 1},
                                     {"65536", 5, 3}, {"16M", 8, 3}, {"16M (32bit)", 8, 3}};
constexpr TSaveDepth kPCXDepths[] = {{"B/W", 1, 1}, {"16", 4, 1}, {"256", 8, 1}, {"16M", 8, 3}};
constexpr TSaveDepth kRGBDepths[] = {{"B/W", 1, 1}, {"256", 8, 1}, {"16M", 8, 3}};

using M = TSavePageMode;
constexpr TSavePageInfo kPages[] = {
    {ppgJPEG1, "TabSheetJPEG1", "JPEG", M::Full, ppJPEG, ioJPEG, 0, kJPEGFields, {}},
    {ppgJPEG2, "TabSheetJPEG2", "JPEG", M::Simplified, ppJPEG, ioJPEG, 0, kJPEGFields, {}},
    {ppgTIFF1, "TabSheetTIFF1", "TIFF", M::Full, ppTIFF, ioTIFF, 0, kTIFFFullFields, kTIFFFullDepths},
    {ppgTIFF2, "TabSheetTIFF2", "TIFF", M::Simplified, ppTIFF, ioTIFF, 0, kTIFFSimpleFields, kTIFFSimpleDepths},
    {ppgGIF1, "TabSheetGIF1", "GIF", M::Full, ppGIF, ioGIF, 0, kGIFFullFields, kGIFDepths},
    {ppgGIF2, "TabSheetGIF2", "GIF", M::Simplified, ppGIF, ioGIF, 0, kGIFSimpleFields, kGIFDepths},
    {ppgBMP1, "TabSheetBMP1", "BMP", M::Both, ppBMP, ioBMP, 0, kBMPFields, kBMPDepths},
    {ppgPCX1, "TabSheetPCX1", "PCX", M::Both, ppPCX, ioPCX, 0, kPCXFields, kPCXDepths},
    {ppgPNG1, "TabSheetPNG1", "PNG", M::Both, ppPNG, ioPNG, 0, kPNGFields, kRGBDepths},
    {ppgTGA1, "TabSheetTGA1", "TGA", M::Both, ppTGA, ioTGA, 0, kTGAFields, kRGBDepths},
    // The code stream is what OK stores; a JP2 record is edited on the same page.
    {ppgJ20001, "TabSheetJ20001", "JPEG2000", M::Both, ppJ2000, ioJ2K, ioJP2, kJ2000Fields, {}},
};

constexpr bool PagesInOrder() {
  if (std::size(kPages) != ppgCount) return false;
  for (size_t i = 0; i < std::size(kPages); ++i)
    if (kPages[i].Page != static_cast<TIOPreviewPage>(i)) return false;
  return true;
}
static_assert(PagesInOrder(), "the page table follows TIOPreviewPage");

constexpr TSaveCompressionItem kTIFFCompression[] = {
    {"UNCOMPRESSED", 0, false}, {"CCITT1D", 1, false}, {"G3FAX1D", 2, false}, {"G3FAX2D", 3, false},
    {"G4FAX", 4, false},        {"LZW", 5, true},      {"JPEG", 7, false},    {"PACKBITS", 8, false},
};
constexpr uint8_t kTIFFLZW = 5, kTIFFPackBits = 8;

}  // namespace

std::span<const TSavePageInfo> SavePages() { return kPages; }

bool SavePageServes(const TSavePageInfo& page, int32_t fileType) {
  return fileType != 0 && (fileType == page.FileType || fileType == page.OtherFileType);
}

uint16_t SavePageFlagOfFileType(int32_t fileType) {
  for (const TSavePageInfo& p : kPages)
    if (SavePageServes(p, fileType)) return p.Flag;
  return 0;
}

void WriteSaveFields(const TSavePageInfo& page, const TIOParamsVals& from, TIOParamsVals& to) {
  for (const TSaveField& f : page.Fields) std::visit([&](auto member) { to.*member = from.*member; }, f.Member);
  to.FileType = page.FileType;
}

int32_t SaveDepthIndex(std::span<const TSaveDepth> depths, int32_t bits, int32_t samples) {
  int32_t found = 0;
  for (size_t i = 0; i < depths.size(); ++i) {
    if (depths[i].Samples == 0) {
      if (depths[i].Bits <= bits) found = static_cast<int32_t>(i);
    } else if (depths[i].Bits == bits && depths[i].Samples == samples) {
      return static_cast<int32_t>(i);
    }
  }
  return found;
}

std::span<const TSaveCompressionItem> TIFFCompressionItems() { return kTIFFCompression; }

int32_t TIFFCompressionToIndex(int32_t code, bool withLZW) {
  if (code == kTIFFLZW && !withLZW) code = kTIFFPackBits;
  int32_t index = 0;
  for (const TSaveCompressionItem& item : kTIFFCompression) {
    if (item.NeedsLZW && !withLZW) continue;
    if (item.Code == code) return index;
    ++index;
  }
  return 0;
}

uint8_t TIFFIndexToCompression(int32_t index, bool withLZW) {
  int32_t i = 0;
  for (const TSaveCompressionItem& item : kTIFFCompression) {
    if (item.NeedsLZW && !withLZW) continue;
    if (i++ == index) return item.Code;
  }
  return 0;
}

}  // namespace pixoran
