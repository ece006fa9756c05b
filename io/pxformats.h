#pragma once
// The process-wide format registry (type numbers, names, extensions, what
// can be read and written), content detection, and the extension table the
// I/O component dispatches on.
#include <cstdint>
#include <string>

#include "platform/pxexport.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio_codecs.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace pixoran {

// File-type numbers (FileType of the parameter record).
constexpr int32_t ioUnknown = 0;
constexpr int32_t ioTIFF = 1;
constexpr int32_t ioGIF = 2;
constexpr int32_t ioJPEG = 3;
constexpr int32_t ioPCX = 4;
constexpr int32_t ioBMP = 5;
constexpr int32_t ioICO = 6;
constexpr int32_t ioCUR = 7;
constexpr int32_t ioPNG = 8;
constexpr int32_t ioWMF = 9;
constexpr int32_t ioEMF = 10;
constexpr int32_t ioTGA = 11;
constexpr int32_t ioPXM = 12;
constexpr int32_t ioJP2 = 13;
constexpr int32_t ioJ2K = 14;
constexpr int32_t ioAVI = 15;
constexpr int32_t ioWBMP = 16;
constexpr int32_t ioPS = 17;
constexpr int32_t ioPDF = 18;
constexpr int32_t ioDCX = 19;

// Pages of the save-parameters dialog that edit a format's options.
constexpr uint16_t ppJPEG = 4;
constexpr uint16_t ppTIFF = 8;
constexpr uint16_t ppGIF = 16;
constexpr uint16_t ppBMP = 32;
constexpr uint16_t ppPCX = 64;
constexpr uint16_t ppPNG = 128;
constexpr uint16_t ppTGA = 256;
constexpr uint16_t ppJ2000 = 512;

// The filter shapes of registered formats (TPXReadFunction,
// TPXWriteFunction, TPXTryFunction) are declared with the format records.

// Names are kept to this many bytes (cut at a character boundary).
constexpr size_t kPXFormatNameMax = 80;

struct PIXORAN_IO_EXPORT TPXFileFormatInfo {
  int32_t FileType = 0;
  std::string FullName;    // display name
  std::string Extensions;  // upper case, without dots, separated by ";"
  uint16_t DialogPage = 0;
  TPXReadFunction ReadFunction = nullptr;    // nullptr: cannot be read
  TPXWriteFunction WriteFunction = nullptr;  // nullptr: cannot be written
  TPXTryFunction TryFunction = nullptr;      // asked first by content detection
};

// The record a registry entry is reached through: the built-in record for a
// built-in format's entry (nullptr when there is none), else the
// application's filter wrapped in one, valid as long as the entry.
PIXORAN_IO_EXPORT const TPXFormatCodec* CodecOfRegistryEntry(const TPXFileFormatInfo* info, TPXFormatCodec& wrapped);

// Built-in formats carry these in their records: the I/O component reads and
// writes them itself; the marks only say "available".
PIXORAN_IO_EXPORT bool IsBuiltinReadPlaceholder(TPXReadFunction f);
PIXORAN_IO_EXPORT bool IsBuiltinWritePlaceholder(TPXWriteFunction f);

// The registry may be read from any thread while another registers.
// Records handed out stay valid (and unchanged) for the life of the process,
// also after unregistering; change a format by registering it anew.
//
// Appends a copy of info (names cut to kPXFormatNameMax) and returns its index.
PIXORAN_IO_EXPORT int32_t RegisterFileFormat(const TPXFileFormatInfo& info);
// Empties the registry, then registers the built-in formats in the order of
// their records. A built-in format is marked readable (writable) only when
// its filter is present (and its record's Ready agrees).
PIXORAN_IO_EXPORT void RegisterBuiltinFileFormats();
PIXORAN_IO_EXPORT void UnregisterFileFormats();
PIXORAN_IO_EXPORT int32_t FileFormatCount();
// The record at a registry index, or nullptr.
PIXORAN_IO_EXPORT TPXFileFormatInfo* FileFormatAt(int32_t index);

// First record of that type, or nullptr.
PIXORAN_IO_EXPORT TPXFileFormatInfo* FindFileFormatInfo(int32_t fileType);
// ext without a dot, compared without regard to case; nullptr when none.
PIXORAN_IO_EXPORT TPXFileFormatInfo* FindFileFormatInfoByExtension(const std::string& ext);
// The index-th (from 0) extension of the type; empty when there is none.
PIXORAN_IO_EXPORT std::string FileFormatExtension(int32_t fileType, int32_t index);
PIXORAN_IO_EXPORT int32_t FileFormatExtensionCount(int32_t fileType);
// The extension names a registered format that can be read.
PIXORAN_IO_EXPORT bool IsReadableFileName(const std::string& fileName);

// The file-type number of the content at the stream's position, 0 when
// nothing matches. The position is the same on return; never raises.
PIXORAN_IO_EXPORT int32_t FindStreamFormat(TStream& stream);
// Detection on a file; 0 when it cannot be opened. With verifyExtension the
// answer must agree with the format its extension names (content ICO or CUR
// is accepted for either of those two extensions).
PIXORAN_IO_EXPORT int32_t FindFileFormat(const std::string& fileName, bool verifyExtension);
// "RIFF", 4 bytes, "AVI ": an AVI file. The position is restored.
PIXORAN_IO_EXPORT bool IsAVIStream(TStream& stream);

// Sets the GIF record's read and write marks from the LZW codec hooks.
PIXORAN_IO_EXPORT void UpdateGIFFormatAvailability();

// The open dialog's one-line description of a parameter record.
PIXORAN_IO_EXPORT std::string FileFormatDescription(const TIOParamsVals& params);

// ---------------------------------------------------------------- names

// The extension of the file name's last component, from its last "." and
// with the dot; empty when there is none.
PIXORAN_IO_EXPORT std::string ExtractFileExt(const std::string& fileName);
// The last component of a path.
PIXORAN_IO_EXPORT std::string ExtractFileName(const std::string& fileName);
PIXORAN_IO_EXPORT std::string LowerCaseASCII(std::string text);
PIXORAN_IO_EXPORT std::string UpperCaseASCII(std::string text);

// ---------------------------------------------------------------- dispatch

// Loads and saves chosen by file-name extension (the records' LoadRoutes and
// SaveRoutes). 0 means: through the registry (the record found by the
// extension).
struct PIXORAN_IO_EXPORT TPXExtensionRoute {
  std::string Extension;  // lower case, with the dot
  int32_t LoadType;
  int32_t SaveType;
};
// ext lower case with its dot; nullptr when the extension goes to the
// registry. Valid for the life of the process (showing the routes as they
// were before a later SetFormatCodec).
PIXORAN_IO_EXPORT const TPXExtensionRoute* FindExtensionRoute(const std::string& ext);

}  // namespace pixoran
