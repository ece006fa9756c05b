// Fuzz target of the metafile reader: the header's size, the bitmap size
// rules and the EMF-to-SVG conversion of every input.
#include <cstdint>
#include <string>
#include <vector>

#include "io/pxmetafile.h"

using namespace pixoran;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<uint8_t> bytes(data, data + size);
  TMetafileInfo info;
  if (!ReadMetafileInfo(bytes.data(), static_cast<int64_t>(bytes.size()), info)) return 0;
  int32_t w = 0, h = 0;
  const int32_t req = size ? static_cast<int8_t>(data[size - 1]) : -1;
  if (!MetafileTargetSize(info, req, -1, w, h)) return 0;
  std::string svg;
  if (info.Enhanced) EmfToSvg(bytes, w, h, svg);
  return 0;
}
