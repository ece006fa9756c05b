#include "io/pixoranio_codecs.h"

#include "io/bmpfilt.h"
#include "io/jpegfilt.h"
#include "io/pxexif.h"
#include "io/pxformats.h"

namespace pixoran {

namespace {

// BMP, DIB and RLE files carry no transparency and no stream header.
void ReadBMP(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool paramsOnly,
             int64_t dataLength, TPXBitmap& /*alpha*/) {
  ReadBMPStream(stream, bitmap, dataLength, params, progress, paramsOnly, false);
}

void WriteBMP(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
              TPXBitmap* /*alpha*/) {
  WriteBMPStream(stream, bitmap, params, progress);
}

// JPEG: the writer takes every pixel format it can expand per row itself
// and keeps native CMYK exact, so the component converts nothing first.
void ReadJPEG(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress, bool paramsOnly,
              int64_t /*dataLength*/, TPXBitmap& /*alpha*/) {
  ReadJPEGStream(stream, nullptr, bitmap, params, progress, paramsOnly, false);
}

void WriteJPEG(TStream& stream, TPXBitmap& bitmap, TIOParamsVals& params, TPXProgressRec& progress,
               TPXBitmap* /*alpha*/) {
  WriteJPEGStream(stream, bitmap, params, progress);
}

bool ProbeJPEG(TStream& stream) { return FindJPEGStart(stream) >= 0; }

constexpr uint16_t kLoadAll = cfLoadFile | cfLoadDetected | cfLoadStream;

// A format whose filter is not in the library yet has no reader, writer or
// probe here: its loads and saves end with Aborting set, detection never
// names it from a probe, and the registry does not mark it available.
TPXFormatCodec kCodecs[] = {
    // type  reader   writer    probe    count    magic   header         conversion
    {ioTIFF, nullptr, nullptr, nullptr, nullptr, "TIFF", hrWhenEnabled, scAsIs,
     kLoadAll | cfSave | cfAlphaFromReader, nullptr, nullptr},
    // GIF loads compose animation frames in the component itself.
    {ioGIF, nullptr, nullptr, nullptr, nullptr, nullptr, hrNone, scAsIs, kLoadAll | cfSave, nullptr, nullptr},
    // JPEG: IPTC and EXIF move between the marker list and the record
    // after every read (parameters-only too) and before every write.
    {ioJPEG, ReadJPEG, WriteJPEG, ProbeJPEG, nullptr, "JFIF", hrAlways, scAsIs, kLoadAll | cfSave, ReadJPEGMetadata,
     WriteJPEGMetadata},
    {ioPCX, nullptr, nullptr, nullptr, nullptr, "PCX2", hrWhenEnabled, scBGR24, kLoadAll | cfSave | cfHeaderOnSuccess,
     nullptr, nullptr},
    {ioBMP, ReadBMP, WriteBMP, nullptr, nullptr, nullptr, hrNone, scAsIs, kLoadAll | cfSave, nullptr, nullptr},
    {ioICO, nullptr, nullptr, nullptr, nullptr, nullptr, hrNone, scBGR24, kLoadAll | cfSave | cfAlphaFromReader,
     nullptr, nullptr},
    {ioCUR, nullptr, nullptr, nullptr, nullptr, nullptr, hrNone, scBGR24, kLoadAll | cfAlphaFromReader, nullptr,
     nullptr},
    {ioPNG, nullptr, nullptr, nullptr, nullptr, nullptr, hrNone, scAsIs,
     kLoadAll | cfSave | cfAlphaFromReader | cfAlphaToWriter | cfPNGBackground, nullptr, nullptr},
    // Metafiles are imported as whole pictures, from files only.
    {ioWMF, nullptr, nullptr, nullptr, nullptr, nullptr, hrNone, scBGR24, cfLoadFile, nullptr, nullptr},
    {ioEMF, nullptr, nullptr, nullptr, nullptr, nullptr, hrNone, scBGR24, cfLoadFile, nullptr, nullptr},
    {ioTGA, nullptr, nullptr, nullptr, nullptr, nullptr, hrNone, scBGR24,
     kLoadAll | cfSave | cfAlphaFromReader | cfAlphaToWriter, nullptr, nullptr},
    {ioPXM, nullptr, nullptr, nullptr, nullptr, nullptr, hrNone, scBGR24, kLoadAll | cfSave, nullptr, nullptr},
    {ioJP2, nullptr, nullptr, nullptr, nullptr, nullptr, hrNone, scBGR24, kLoadAll | cfSave, nullptr, nullptr},
    {ioJ2K, nullptr, nullptr, nullptr, nullptr, nullptr, hrNone, scBGR24, kLoadAll | cfSave, nullptr, nullptr},
    // AVI: only the first frame of a file named .avi; by type it goes to the registry.
    {ioAVI, nullptr, nullptr, nullptr, nullptr, nullptr, hrNone, scBGR24, 0, nullptr, nullptr},
    // WBMP is never detected; it is read by type or by extension only.
    {ioWBMP, nullptr, nullptr, nullptr, nullptr, nullptr, hrNone, scBGR24,
     cfLoadFile | cfLoadStream | cfSave | cfNoAutoAdjustDPI, nullptr, nullptr},
    {ioPS, nullptr, nullptr, nullptr, nullptr, nullptr, hrNone, scBGR24, cfSave, nullptr, nullptr},
    {ioPDF, nullptr, nullptr, nullptr, nullptr, nullptr, hrNone, scBGR24, cfSave, nullptr, nullptr},
    {ioDCX, nullptr, nullptr, nullptr, nullptr, nullptr, hrNone, scAsIs, kLoadAll | cfSave, nullptr, nullptr},
};

}  // namespace

const TPXFormatCodec* FindFormatCodec(int32_t fileType) {
  for (const auto& c : kCodecs)
    if (c.FileType == fileType) return &c;
  return nullptr;
}

TPXFormatCodec SetFormatCodec(const TPXFormatCodec& codec) {
  for (auto& c : kCodecs)
    if (c.FileType == codec.FileType) {
      const TPXFormatCodec old = c;
      c = codec;
      return old;
    }
  return TPXFormatCodec{};
}

}  // namespace pixoran
