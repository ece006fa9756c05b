// Fuzz target of the metadata readers: the input is one APP1 (EXIF) or APP13
// (IPTC) segment's data, as the JPEG load hands them over. Whatever reads
// back is built into a segment again and read once more.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "io/pixoranio_params.h"
#include "io/pxexif.h"
#include "io/pxmetadata.h"

using namespace pixoran;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::UseTempFilesForLargeImages();
  const auto length = static_cast<int64_t>(size);

  TIOParamsVals params;
  if (LoadEXIFFromAPP1(data, length, params)) {
    std::vector<uint8_t> segment;
    if (SaveEXIFToAPP1(params, segment)) {
      TIOParamsVals again;
      LoadEXIFFromAPP1(segment.data(), static_cast<int64_t>(segment.size()), again);
    }
  }

  TPXIPTCInfoList iptc;
  iptc.LoadFromBuffer(data, length);
  std::vector<uint8_t> block;
  iptc.SaveToBuffer(block, true);
  TPXIPTCInfoList back;
  back.LoadFromBuffer(block.data(), static_cast<int64_t>(block.size()));
  return 0;
}
