#pragma once
// EXIF blocks: the TIFF structure of an APP1 "Exif" segment, read into the
// parameter record's EXIF fields and thumbnail and built back from them;
// and the metadata steps the I/O component runs around the JPEG filter.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/pxexport.h"

namespace pixoran {

class TIOParamsVals;
struct TPXIOResultRec;

// Largest payload of one JPEG segment (its 16-bit length counts itself).
constexpr int32_t kPXMaxSegmentPayload = 65533;

// Reads an APP1 segment's data. False, with the record untouched, when the
// data does not start with "Exif" and a zero byte (XMP, say) or holds no
// readable TIFF header and first directory. Otherwise the block is read by
// the TIFF reader: every EXIF field of the record is replaced by the
// block's (empty where it has none; the resolutions go through the
// setters, so DpiX and DpiY follow, and keep their values when the block
// has no resolution tags; an orientation of 1 to 8 also sets
// TIFFOrientation), HasEXIFData is set and the result is true, even
// when a later part of the block is damaged. EXIFThumbnail always ends as a
// new bitmap: the second directory's image (a JPEG interchange stream, or
// strips the TIFF reader decodes; at most 4 megapixels) or empty, never
// what the record held before. Nothing is read outside the data. A
// thumbnail left out for want of memory or disk is told in told (when
// given) as iorNoMemory or iorWriteFailed: the block's damage stays silent,
// a storage failure does not.
PIXORAN_IO_EXPORT bool LoadEXIFFromAPP1(const void* data, int64_t length, TIOParamsVals& params,
                                        TPXIOResultRec* told = nullptr);

// Builds an APP1 segment's data from the record: "Exif", 0, 0 and the
// little-endian TIFF structure the TIFF writer makes with no bitmap (the
// first directory's EXIF tags and an EXIF directory; fields at 0 or empty
// left out). No thumbnail directory: the image it was made from may have
// been edited. False (buffer empty) when the fields do not fit one segment.
PIXORAN_IO_EXPORT bool SaveEXIFToAPP1(const TIOParamsVals& params, std::vector<uint8_t>& buffer);

// Copies every EXIF field (not HasEXIFData, not the thumbnail) from source
// to target; the resolutions through the target's setters.
PIXORAN_IO_EXPORT void CopyEXIFFields(const TIOParamsVals& source, TIOParamsVals& target);

// True for segment data that starts with "Exif" and a zero byte.
PIXORAN_IO_EXPORT bool IsEXIFSegment(const void* data, int64_t length);

// After a JPEG read (also a parameters-only one): the first APP13 segment
// holding IPTC datasets fills IPTCInfo; the first APP1 segment that reads as
// EXIF fills the EXIF fields, and when DpiX and DpiY are then both 1 they
// become Trunc(resolution x 2.54) for a resolution unit of 3 (centimetres),
// Trunc(resolution) otherwise. A resolution left below 1 takes the library
// default. A storage failure reading the EXIF block is told in told.
PIXORAN_IO_EXPORT void ReadJPEGMetadata(TIOParamsVals& params, TPXIOResultRec* told = nullptr);

// Before a JPEG write: refreshes the APP13 segment from IPTCInfo (when the
// user changed it, or it has datasets and there are no markers) and, when
// HasEXIFData is set, the EXIF APP1 segment from the EXIF fields (the first
// EXIF segment replaced, further ones dropped, one added in front when there
// is none). Without HasEXIFData the APP1 segments are left as they are.
// Other APP1 segments (XMP) are kept. False, with nothing changed and the
// reason in why, when the EXIF or the IPTC block is too large for one
// segment: the save is refused rather than losing it.
PIXORAN_IO_EXPORT bool WriteJPEGMetadata(TIOParamsVals& params, std::string* why = nullptr);

}  // namespace pixoran
