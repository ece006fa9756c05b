// Seeds of the selection-stream fuzz target: two bytes of picture size,
// then saved selections as the viewer writes them: a polygon with its
// 1-bit mask, an 8-bit mask without polygon, one saved on a larger
// picture, and an empty one.
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz/seeds/seeds_common.h"

namespace {

using namespace pixoran::fuzzseeds;

std::vector<uint8_t> Selection(uint8_t pictureW, uint8_t pictureH, int32_t w, int32_t h, int32_t bits,
                               const std::vector<int32_t>& points, bool present) {
  TSeedBytes b;
  b.U8(pictureW - 1), b.U8(pictureH - 1);
  b.U32(static_cast<uint32_t>(w)), b.U32(static_cast<uint32_t>(h));
  b.U32(static_cast<uint32_t>(points.size() / 2));
  for (int32_t v : points) b.U32(static_cast<uint32_t>(v));
  for (int32_t v : {2, 2, w - 3, h - 3}) b.U32(static_cast<uint32_t>(v));
  b.U8(present ? 1 : 0);
  b.U32(static_cast<uint32_t>(bits));
  for (int32_t v : {2, 2, w - 3, h - 3}) b.U32(static_cast<uint32_t>(v));
  b.U8(0);
  if (w > 0 && h > 0) {
    const int32_t rowLen = ((w * bits + 31) / 32) * 4;
    for (int32_t y = 0; y < h; ++y)
      for (int32_t i = 0; i < rowLen; ++i) b.U8(y >= 2 && y <= h - 3 ? (bits == 8 ? 0x80 + i : 0x3C) : 0);
  }
  return b.b;
}

bool WriteSelectionSeeds(const std::string& folder) {
  return SaveSeed(folder + "/polygon.sel", Selection(20, 16, 20, 16, 1, {2, 2, 17, 2, 17, 13, 2, 13}, true)) &&
         SaveSeed(folder + "/mask8.sel", Selection(20, 16, 20, 16, 8, {}, true)) &&
         SaveSeed(folder + "/larger.sel", Selection(10, 8, 30, 24, 1, {1, 1, 28, 22}, true)) &&
         SaveSeed(folder + "/empty.sel", Selection(4, 4, 0, 0, 1, {}, false));
}

const bool registered = RegisterSeedWriter("selection", &WriteSelectionSeeds);

}  // namespace
