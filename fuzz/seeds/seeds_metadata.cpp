// Seeds of the metadata fuzz target: EXIF segments built from records with
// and without a thumbnail, and IPTC blocks with and without their Photoshop
// wrapping.
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/seeds/seeds_common.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio_params.h"
#include "io/pxexif.h"
#include "io/pxmetadata.h"

namespace {

using namespace pixoran;
using namespace pixoran::fuzzseeds;

bool WriteSeeds(const std::string& folder) {
  bool ok = true;
  TIOParamsVals p;
  p.HasEXIFData = 1;
  p.EXIFMake = "Maker";
  p.EXIFModel = "Model 7";
  p.EXIFDateTime = "2026:12:09 10:00:00";
  p.EXIFOrientation = 6;
  p.SetEXIFXResolution(300);
  p.SetEXIFYResolution(300);
  p.EXIFResolutionUnit = 2;
  p.EXIFExposureTime = 1.0 / 125;
  p.EXIFFNumber = 5.6;
  p.SetEXIFISOSpeed(0, 200);
  p.EXIFUserCommentCode = std::string("ASCII\0\0\0", 8);
  p.EXIFUserComment = "a comment";
  std::vector<uint8_t> seg;
  ok &= SaveEXIFToAPP1(p, seg) && SaveSeed(folder + "/exif-fields.bin", seg);

  p.EXIFThumbnail = std::make_unique<TPXBitmap>();
  p.EXIFThumbnail->Allocate(16, 12, pxBGR24);
  for (int y = 0; y < 12; ++y)
    for (int x = 0; x < 16 * 3; ++x) p.EXIFThumbnail->Scanline(y)[x] = static_cast<uint8_t>(x * 5 + y * 9);
  seg.clear();
  ok &= SaveEXIFToAPP1(p, seg) && SaveSeed(folder + "/exif-thumbnail.bin", seg);

  TPXIPTCInfoList iptc;
  iptc.AddData(2, 5, 6, "Object");
  iptc.AddData(2, 25, 3, "sea");
  iptc.AddData(2, 120, 7, "caption");
  std::vector<uint8_t> block;
  iptc.SaveToBuffer(block, true);
  ok &= SaveSeed(folder + "/iptc-photoshop.bin", block);
  block.clear();
  iptc.SaveToBuffer(block, false);
  ok &= SaveSeed(folder + "/iptc-plain.bin", block);
  return ok;
}

const bool registered = RegisterSeedWriter("metadata", WriteSeeds);

}  // namespace
