#pragma once
// Metafiles for TPixoranIO::ImportMetafile: the picture's own size from its
// header, and the size of the bitmap it is drawn into.
#include <cstdint>
#include <string>
#include <vector>

namespace pixoran {

struct TMetafileInfo {
  bool Enhanced = false;  // EMF, else placeable WMF
  int64_t Width = 0, Height = 0;  // own size in screen pixels (96 per inch)
};

// Reads the size from an EMF header (frame rectangle, in 0.01 mm, scaled by
// the reference device's pixels per millimetre, 96 dpi when it gives none)
// or a placeable WMF header (bounding box in its units per inch). False for
// anything else, including a WMF without the placeable header: it has no size.
bool ReadMetafileInfo(const uint8_t* data, int64_t size, TMetafileInfo& info);

// The bitmap size for a requested width and height: both not negative as
// given; a negative width follows the height in the metafile's proportion
// and a negative height the width; both negative the metafile's own size.
// A side above 16000 brings the larger side to 16000 and scales the other.
// False when the result has a side of 0 or below, or a proportion is needed
// from a metafile without size.
bool MetafileTargetSize(const TMetafileInfo& info, int32_t width, int32_t height, int32_t& outWidth,
                        int32_t& outHeight);

// The header's strings and blocks and every record lie inside the data, and
// the records end with an end-of-file record.
bool EmfStructureSound(const uint8_t* data, int64_t size);
// An enhanced metafile as an SVG document of width x height (libemf2svg).
bool EmfToSvg(std::vector<uint8_t>& emf, int32_t width, int32_t height, std::string& svg);

}  // namespace pixoran
