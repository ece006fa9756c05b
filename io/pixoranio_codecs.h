#pragma once
// One descriptor per built-in format: the filter entry points and what the
// I/O component does around them (stream header, conversion before a write,
// transparency, steps after a read). The component's load and save cores
// run every built-in format from this table.
#include <cstdint>

#include "core/kopxutils_bitmap.h"
#include "io/pixoranio_params.h"
#include "io/pxprogress.h"
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
using TPXCodecParamsStep = void (*)(TIOParamsVals& params);

enum TPXHeaderRule : uint8_t {
  hrNone = 0,
  hrAlways,       // a header is skipped when present, whatever StreamHeaders says (JPEG)
  hrWhenEnabled,  // with StreamHeaders on, stream loads require it and stream saves write it
};

enum TPXSaveConversion : uint8_t {
  scAsIs = 0,  // the writer takes every pixel format it is given
  scBGR24,     // anything but pxBGR24 and pxBW1 is converted (on a copy) first
};

// Which of the component's operations reach the descriptor directly.
enum : uint16_t {
  cfLoadFile = 0x0001,       // LoadFromFileFormat and loads by extension
  cfLoadDetected = 0x0002,   // LoadFromStream after content detection
  cfLoadStream = 0x0004,     // LoadFromStreamFormat
  cfSave = 0x0008,           // SaveToStream and saves by extension
  cfAlphaFromReader = 0x0010,
  cfAlphaToWriter = 0x0020,
  cfPNGBackground = 0x0040,   // the viewer background follows PNGBackground
  cfNoAutoAdjustDPI = 0x0080,
  cfHeaderOnSuccess = 0x0100,  // the stream header is patched only after a successful write
};

struct TPXFormatCodec {
  int32_t FileType;
  TPXCodecReader Read;    // nullptr: no filter yet, loads fail
  TPXCodecWriter Write;   // nullptr: no filter yet, saves fail
  TPXCodecProbe Probe;    // content probe; nullptr answers no
  TPXCodecCounter Count;  // nullptr: counts are 0
  const char* Magic;      // the 4-byte stream header magic, or nullptr
  TPXHeaderRule Header;
  TPXSaveConversion Conversion;
  uint16_t Flags;
  TPXCodecParamsStep AfterRead;    // metadata steps; nullptr: none
  TPXCodecParamsStep BeforeWrite;
};

// The descriptor of a built-in file type, or nullptr.
const TPXFormatCodec* FindFormatCodec(int32_t fileType);
// Replaces the descriptor of codec.FileType (a built-in type) and returns
// the one it replaced; for a program that brings its own filter for a
// built-in format, and for tests. Like the codec hooks it is set at start-up
// only; RegisterBuiltinFileFormats then refreshes the registry's marks.
TPXFormatCodec SetFormatCodec(const TPXFormatCodec& codec);

}  // namespace pixoran
