#pragma once
// Metafiles for TPixoranIO::ImportMetafile: the picture's own size from its
// header, the size of the bitmap it is drawn into, and a record player of our
// own that draws EMF and placeable WMF records onto a platform bitmap.
#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/pxexport.h"
#include "platform/graphics.h"

namespace pixoran {

struct PIXORAN_IO_EXPORT TMetafileInfo {
  bool Enhanced = false;          // EMF, else placeable WMF
  int64_t Width = 0, Height = 0;  // own size in screen pixels (96 per inch)
};

// Reads the size from an EMF header (frame rectangle, in 0.01 mm, scaled by
// the reference device's pixels per millimetre, 96 dpi when it gives none)
// or a placeable WMF header (bounding box in its units per inch). False for
// anything else, including a WMF without the placeable header: it has no size.
PIXORAN_IO_EXPORT bool ReadMetafileInfo(const uint8_t* data, int64_t size, TMetafileInfo& info);

// The bitmap size for a requested width and height: both not negative as
// given; a negative width follows the height in the metafile's proportion
// and a negative height the width; both negative the metafile's own size.
// A side above 16000 brings the larger side to 16000 and scales the other.
// False when the result has a side of 0 or below, or a proportion is needed
// from a metafile without size.
PIXORAN_IO_EXPORT bool MetafileTargetSize(const TMetafileInfo& info, int32_t width, int32_t height, int32_t& outWidth,
                                          int32_t& outHeight);

// Plays the records over target, the picture's frame (EMF) or bounding box
// (WMF) filling the whole bitmap. Handled: mapping modes, window and
// viewport origins and extents, saved states, the object table (pens,
// brushes with hatches and DIB patterns, fonts), world transforms, lines,
// polylines, polygons, Béziers, rectangles, ellipses, arcs, chords, pies,
// paths, clip rectangles, text and stretched DIBs; other records are
// skipped. Every count and offset is checked against the record, a record
// running past the data ends the picture, and playback stops after
// MetafileWorkLimit of the target's size or when abort turns true. False when the data is
// not a metafile ReadMetafileInfo accepts.
PIXORAN_IO_EXPORT bool PlayMetafile(const uint8_t* data, int64_t size, TBitmap& target,
                                    const std::atomic<bool>* abort = nullptr);

// The drawing work left to a picture, shared by all its bands and passes.
struct PIXORAN_IO_EXPORT TMetafileWork {
  int64_t Left = 0;
};
// The work a picture of width x height may do in all: a fixed number of
// full repaints of it, with a floor for small pictures.
PIXORAN_IO_EXPORT int64_t MetafileWorkLimit(int64_t width, int64_t height);

// A band of a picture: the picture is Width x Height pixels, and the target holds its
// rows from Top on (as many as the target is high). With Work, the band
// draws within what is left and takes what it drew from it; without, it has
// the whole picture's limit to itself.
struct PIXORAN_IO_EXPORT TMetafileArea {
  int32_t Width = 0, Height = 0;
  int32_t Top = 0;
  TMetafileWork* Work = nullptr;
};

// PlayMetafile for one band of a larger picture: the same records drawn as
// they fall on those rows, so bands drawn one after another make the picture.
PIXORAN_IO_EXPORT bool PlayMetafileBand(const uint8_t* data, int64_t size, TBitmap& target, const TMetafileArea& area,
                                        const std::atomic<bool>* abort = nullptr);

}  // namespace pixoran
