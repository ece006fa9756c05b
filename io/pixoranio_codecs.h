#pragma once
// One record per format: everything the library knows of a format in one
// place (registry names and extensions, the extensions the component loads
// and saves by, the filter's entry points, detection, multi-image access,
// stream header, the writer's pixel formats and the steps around a read or
// write). The registry, content detection, format descriptions and the
// component's load and save cores all read these records. Each format's
// records live in its module, io/formats/<format>/<format>_format.cpp, and
// io/formats/formats.cpp puts them in the registry's order.
#include <cstdint>
#include <span>
#include <string>

#include "platform/pxexport.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace pixoran {

// Reads one image at the stream's position. dataLength: bytes of image data
// when a stream header gave it, else 0. alpha: left empty, or filled with an
// 8-bit transparency map of the image's size.
using TPXCodecReader = void (*)(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                                bool paramsOnly, int64_t dataLength, TPXBitmap& alpha);
// Writes the bitmap (never changed) at the stream's position; alpha is the
// image's transparency for formats that carry it, or nullptr.
using TPXCodecWriter = void (*)(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                                TPXBitmap* alpha);
using TPXCodecProbe = bool (*)(TStream& stream);
// Frames, pages or images of a multi-image file; 0 when unknown.
using TPXCodecCounter = int32_t (*)(TStream& stream);
// After a read: result receives a reason the step could not do its part
// (the image itself stays read).
using TPXCodecParamsStep = void (*)(TIOParamsVals& params, TPXIOResultRec& result);
// Before a write; false refuses the save before any byte is written.
using TPXCodecWriteStep = bool (*)(TIOParamsVals& params);
// Appends the format's own words to the open dialog's description.
using TPXCodecDescriber = void (*)(const TIOParamsVals& params, std::string& text);
// An extra condition for offering reading (write false) or writing (true).
using TPXCodecReady = bool (*)(bool write);
// After a load: the viewer background the image asks for, when it asks for one.
using TPXCodecBackground = bool (*)(const TIOParamsVals& params, TBGR& color);

// The shapes of an application's own filter, registered with
// RegisterFileFormat. A reader reads from the stream's position and reports
// failure through *progress.Aborting (and progress.Fail for its reason); a
// probe puts the stream position back and answers whether the content is its
// format.
using TPXReadFunction = void (*)(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
                                 bool paramsOnly);
using TPXWriteFunction = void (*)(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress);
using TPXTryFunction = bool (*)(TStream& stream);

// Errors. Readers report failure only through the Aborting flag, with its
// reason (progress.Fail), and never raise. Writers report failure through Aborting too, except that a codec
// library's own failure is raised as an exception (the JPEG writer's
// EPXJpegException, the PNG writer's error) after its C scope has been left.
// The component's built-in saves let such an exception through to the caller
// once Aborting is set and the finishing events have fired; nothing between
// the component and a writer catches it, and a failed save to a file leaves
// the target untouched. A new filter follows the same rule.

// Bit of a pixel format in a set of pixel formats.
constexpr uint32_t PXFormatBit(TPXPixelFormat f) { return 1u << f; }
// What a writer that takes only 24-bit and two-colour rows declares; it is
// also what the save core converts to for any writer (a copy of the image
// in pxBGR24, the caller's bitmap untouched).
constexpr uint32_t kPXWriter24 = PXFormatBit(pxBGR24) | PXFormatBit(pxBW1);
constexpr uint32_t kPXWriterAny = 0xFFFFFFFFu & ~PXFormatBit(pxNone);

enum TPXHeaderRule : uint8_t {
  hrNone = 0,
  hrAlways,       // a header is skipped when present, whatever StreamHeaders says (JPEG)
  hrWhenEnabled,  // with StreamHeaders on, stream loads require it and stream saves write it
};

// Which of the component's operations reach the record directly, and the
// steps the load and save cores take around the filter.
enum : uint16_t {
  cfLoadFile = 0x0001,      // LoadFromFileFormat and loads by extension
  cfLoadDetected = 0x0002,  // LoadFromStream after content detection
  cfLoadStream = 0x0004,    // LoadFromStreamFormat
  cfSave = 0x0008,          // SaveToStream and saves by extension
  cfAlphaFromReader = 0x0010,
  cfAlphaToWriter = 0x0020,
  cfNoAutoAdjustDPI = 0x0080,
  cfHeaderOnSuccess = 0x0100,  // the stream header is patched only after a successful write
};
constexpr uint16_t cfLoadAll = cfLoadFile | cfLoadDetected | cfLoadStream;

// Formats the component loads from their files as a whole, without a stream
// filter: loads by extension and by type (with cfLoadFile) take this way.
enum TPXWholeFileLoad : uint8_t {
  wfNone = 0,
  wfPicture,     // a metafile, imported as one picture at its own size (ImportMetafile)
  wfFirstFrame,  // a movie: its first frame (LoadAVIFileFirstFrame)
};

struct PIXORAN_IO_EXPORT TPXFormatCodec {
  int32_t FileType = 0;
  // Registry: display name (nullptr: not registered, e.g. AVI), the
  // registered extensions (upper case, ";"), the save-dialog page (the
  // built-in records take it from their modules' save pages).
  const char* FullName = nullptr;
  const char* Extensions = nullptr;
  uint16_t DialogPage = 0;
  // The extensions LoadFromFile and SaveToFile route here (lower case,
  // without dots, ";"). They differ from the registered ones: ".win" loads
  // as TGA; some formats load or save only.
  const char* LoadRoutes = nullptr;
  const char* SaveRoutes = nullptr;
  TPXCodecReader Read = nullptr;   // nullptr: no filter yet, loads fail
  TPXCodecWriter Write = nullptr;  // nullptr: no filter yet, saves fail
  // Pixel formats the writer takes; the save core hands it a pxBGR24 copy
  // of any other.
  uint32_t WriterFormats = kPXWriter24;
  // Content probe, asked at the format's place in the detection order; it
  // puts the position back. nullptr answers no.
  TPXCodecProbe Probe = nullptr;
  // Multi-image formats: the number of images, the parameter field that
  // says which one Read reads, and the one Read leaves the file's image
  // count in (what the format's loads return).
  TPXCodecCounter Count = nullptr;
  int32_t TIOParamsVals::*ImageIndex = nullptr;
  int32_t TIOParamsVals::*ImageCount = nullptr;
  const char* Magic = nullptr;  // the 4-byte stream header magic
  // An older 4-byte header (3 characters and a zero) without a length, the
  // data running to the stream's end; taken where the header is required.
  const char* ShortMagic = nullptr;
  TPXHeaderRule Header = hrNone;
  uint16_t Flags = 0;
  TPXWholeFileLoad WholeFile = wfNone;
  TPXCodecParamsStep AfterRead = nullptr;  // after every read (parameters-only too)
  TPXCodecWriteStep BeforeWrite = nullptr;
  TPXCodecDescriber Describe = nullptr;
  TPXCodecReady Ready = nullptr;
  TPXCodecBackground ViewerBackground = nullptr;
  // An application's filter (RegisterFileFormat), wrapped in a record so
  // every load and save reaches a format one way. Such a record loads by
  // the registry's rules: loads by file name set the name and type before
  // reading, prepare no bitmap and never raise; a stream load lets the
  // reader's exception through; the bitmap is given as it is read, with no
  // resolution default, alpha or stream header.
  TPXReadFunction AppRead = nullptr;
  TPXWriteFunction AppWrite = nullptr;
};

// The record of a file type, or nullptr; valid for the life of the process.
PIXORAN_IO_EXPORT const TPXFormatCodec* FindFormatCodec(int32_t fileType);
// Replaces the record of codec.FileType and returns the one it replaced; a
// type without a record is appended (and an empty record returned). For a
// program that brings its own filter, and for tests. Safe while other
// threads read the records: pointers handed out before stay valid and keep
// showing the record as it was. RegisterBuiltinFileFormats then refreshes
// the registry.
PIXORAN_IO_EXPORT TPXFormatCodec SetFormatCodec(const TPXFormatCodec& codec);
// Every record, in registry order; nullptr past the end.
PIXORAN_IO_EXPORT const TPXFormatCodec* FormatCodecAt(int32_t index);

// One step of content detection: it names its format when more than
// MoreThan bytes follow the position and Signature (given the first 129
// bytes, zero-padded) says yes, or, without a signature, the record's probe
// does. A format may have several steps; records no step names are probed
// after the last step, in table order. Steps run by ascending Rank; each
// format's module gives its steps with their ranks.
struct PIXORAN_IO_EXPORT TPXDetectStep {
  int32_t Rank = 0;
  int32_t FileType = 0;
  int64_t MoreThan = -1;  // bytes that must follow the position, exclusive
  bool (*Signature)(const uint8_t* head) = nullptr;
};
// The steps in their order; nullptr past the end.
PIXORAN_IO_EXPORT const TPXDetectStep* DetectStepAt(int32_t index);

// The built-in records in registry order and the built-in detection steps in
// their order (by rank): what the tables above start from. Assembled from
// the format modules (io/formats/formats.cpp).
PIXORAN_IO_EXPORT std::span<const TPXFormatCodec> BuiltinFormatCodecs();
PIXORAN_IO_EXPORT std::span<const TPXDetectStep> BuiltinDetectSteps();

}  // namespace pixoran
