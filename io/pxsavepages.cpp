#include "io/pxsavepages.h"

namespace pixoran {

namespace {

constexpr TSaveCompressionItem kTIFFCompression[] = {
    {"UNCOMPRESSED", 0, false}, {"CCITT1D", 1, false}, {"G3FAX1D", 2, false}, {"G3FAX2D", 3, false},
    {"G4FAX", 4, false},        {"LZW", 5, true},      {"JPEG", 7, false},    {"PACKBITS", 8, false},
};
constexpr uint8_t kTIFFLZW = 5, kTIFFPackBits = 8;

}  // namespace

bool SavePageServes(const TSavePageInfo& page, int32_t fileType) {
  return fileType != 0 && (fileType == page.FileType || fileType == page.OtherFileType);
}

uint16_t SavePageFlagOfFileType(int32_t fileType) {
  for (const TSavePageInfo& p : SavePages())
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
