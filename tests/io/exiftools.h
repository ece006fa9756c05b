#pragma once
// EXIF segments for the JPEG tests, made as cameras make them.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "io/formats/tiff/tiffilt.h"
#include "io/pixoranio.h"
#include "io/pixoranio_params.h"
#include "io/pxexif.h"
#include "platform/streams.h"

namespace pixoran::testing {

// An APP1 segment's data built from a record as a camera writes it: with
// the record's thumbnail, a second directory holds it as a JPEG stream.
inline std::vector<uint8_t> CameraEXIFSegment(const TIOParamsVals& p) {
  std::vector<uint8_t> b;
  EXPECT_TRUE(SaveEXIFToAPP1(p, b));
  if (p.EXIFThumbnail && b.size() > 6) {
    TPixoranIO encoder;
    encoder.PXBitmap()->Assign(p.EXIFThumbnail.get());
    TMemoryStream jpeg;
    encoder.SaveToStreamJPEG(jpeg);
    TMemoryStream tiff;
    tiff.Write(b.data() + 6, static_cast<int64_t>(b.size() - 6));
    tiff.SetPosition(0);
    EXPECT_TRUE(AppendTIFFJPEGThumbnail(tiff, jpeg.Bytes(), 72, 72, 2));
    b.resize(6);
    b.insert(b.end(), tiff.Bytes().begin(), tiff.Bytes().end());
  }
  return b;
}

}  // namespace pixoran::testing
