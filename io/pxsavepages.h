#pragma once
// The pages of the save-parameters dialog as plain data: which format a page
// edits, which record fields it writes when the user accepts it, and the item
// lists whose entries stand for record values. Pages are not formats one to
// one: JPEG, TIFF and GIF have a full and a simplified page, one JPEG 2000
// page serves both JPEG 2000 file types, and the TIFF compression list has an
// LZW item only while the LZW compressor hook is set. The dialog builds its
// controls around this data and copies exactly the listed fields.
#include <cstdint>
#include <span>
#include <string>
#include <variant>

#include "platform/pxexport.h"
#include "io/pixoranio_params.h"

namespace pixoran {

// Pages in the order of the dialog's page control.
enum TIOPreviewPage : int32_t {
  ppgJPEG1 = 0,
  ppgJPEG2,
  ppgTIFF1,
  ppgTIFF2,
  ppgGIF1,
  ppgGIF2,
  ppgBMP1,
  ppgPCX1,
  ppgPNG1,
  ppgTGA1,
  ppgJ20001,
  ppgCount
};

// One record field a page writes: its name and the member.
using TSaveFieldMember = std::variant<int32_t TIOParamsVals::*, uint8_t TIOParamsVals::*, double TIOParamsVals::*,
                                      std::string TIOParamsVals::*, TBGR TIOParamsVals::*>;
struct PIXORAN_IO_EXPORT TSaveField {
  const char* Name;
  TSaveFieldMember Member;
};
// The field of a record member, named as the member.
#define PX_SAVE_FIELD(name) \
  ::pixoran::TSaveField { #name, &::pixoran::TIOParamsVals::name }

// An entry of a colour-depth list: its caption and the bits per sample and
// samples per pixel it stands for. Samples 0: the page writes the bits alone.
struct PIXORAN_IO_EXPORT TSaveDepth {
  const char* Caption;
  int32_t Bits;
  int32_t Samples;
};

// The colour list of the pages that offer two colours, grey and full colour.
inline constexpr TSaveDepth kPXSaveRGBDepths[] = {{"B/W", 1, 1}, {"256", 8, 1}, {"16M", 8, 3}};

// Whether a page is shown in the dialog's full mode, its simplified mode or both.
enum class TSavePageMode : uint8_t { Both, Full, Simplified };

struct PIXORAN_IO_EXPORT TSavePageInfo {
  TIOPreviewPage Page;
  const char* Name;   // object name of the page
  const char* Title;  // tab caption
  TSavePageMode Mode;
  uint16_t Flag;                       // the page flag that asks for it (ppJPEG ...)
  int32_t FileType;                    // what OK sets the record's file type to
  int32_t OtherFileType;               // a second file type the page serves, 0 for none
  std::span<const TSaveField> Fields;  // written on OK, besides the file type
  std::span<const TSaveDepth> Depths;  // the colour list, empty when the page has none
};

// Every page, indexed by TIOPreviewPage; each format module gives its own
// (io/formats/formats.cpp gathers them).
PIXORAN_IO_EXPORT std::span<const TSavePageInfo> SavePages();
inline const TSavePageInfo& SavePage(TIOPreviewPage page) { return SavePages()[page]; }

// Whether the page edits a record of this file type.
PIXORAN_IO_EXPORT bool SavePageServes(const TSavePageInfo& page, int32_t fileType);
// The page flag of a file type, 0 when no page edits it.
PIXORAN_IO_EXPORT uint16_t SavePageFlagOfFileType(int32_t fileType);
// Copies the page's fields from one record to another and sets the page's file type.
PIXORAN_IO_EXPORT void WriteSaveFields(const TSavePageInfo& page, const TIOParamsVals& from, TIOParamsVals& to);

// The colour-list entry showing a record's depth: for a list of pairs the
// first entry with both values, else 0; for a bits-only list the deepest
// entry not above the bits, else 0.
PIXORAN_IO_EXPORT int32_t SaveDepthIndex(std::span<const TSaveDepth> depths, int32_t bits, int32_t samples);

// The TIFF compression list: captions and record codes (0 none, 1 to 4
// CCITT, 5 LZW, 7 JPEG, 8 PackBits); the LZW item only with the hook.
struct PIXORAN_IO_EXPORT TSaveCompressionItem {
  const char* Caption;
  uint8_t Code;
  bool NeedsLZW;
};
PIXORAN_IO_EXPORT std::span<const TSaveCompressionItem> TIFFCompressionItems();
// Record codes to the list's index and back. Without the LZW item an LZW
// record shows PackBits; a code the list lacks shows index 0, and an index
// past the list gives code 0.
PIXORAN_IO_EXPORT int32_t TIFFCompressionToIndex(int32_t code, bool withLZW);
PIXORAN_IO_EXPORT uint8_t TIFFIndexToCompression(int32_t index, bool withLZW);

}  // namespace pixoran
