// Seeds of the icon fuzz target: our writer's icons of every depth and
// several sizes (with transparency), a cursor and a PNG entry by hand.
#include <array>

#include "fuzz/seeds/seeds_common.h"
#include "io/formats/ico/icofilt.h"

namespace {

using namespace pixoran;
using namespace pixoran::fuzzseeds;

std::vector<uint8_t> Written(TPXBitmap& b, std::vector<int32_t> bits, std::vector<std::array<int32_t, 2>> sizes) {
  TIOParamsVals params;
  TSeedProgress p;
  TMemoryStream out;
  WriteICOStream(out, b, params, bits, sizes, p.rec);
  return p.aborting ? std::vector<uint8_t>{} : out.Bytes();
}

bool WriteIcoSeeds(const std::string& folder) {
  bool ok = true;
  auto save = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
    ok = !bytes.empty() && SaveSeed(folder + "/" + name, bytes) && ok;
  };
  TPXBitmap rgb, bw;
  if (!SeedImage(rgb, 12, 10, 0) || !SeedImage(bw, 11, 3, 0, true)) return false;
  TPXBitmap* a = rgb.GetAlphaChannel();
  for (int32_t y = 0; y < 10; ++y)
    for (int32_t x = 0; x < 12; ++x) a->Scanline(y)[x] = x < 4 ? 0 : 255;
  a->SyncFull();
  save("all_depths.ico", Written(rgb, {32, 24, 8, 4, 1}, {{12, 10}, {6, 5}, {8, 8}, {5, 3}, {9, 2}}));
  save("bw.ico", Written(bw, {1}, {{11, 3}}));
  // A cursor: the icon with type 2 and a hot spot.
  std::vector<uint8_t> cur = Written(bw, {1}, {{11, 3}});
  if (cur.size() > 12) cur[2] = 2, cur[10] = 5, cur[12] = 7;
  save("bw.cur", cur);
  TSeedBytes png;
  png.U16(0), png.U16(1), png.U16(1), png.U8(2), png.U8(2), png.U8(0), png.U8(0), png.U16(1), png.U16(32);
  png.U32(12), png.U32(22);
  png.Raw({0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0});
  save("png_entry.ico", png.b);
  return ok;
}

const bool registered = RegisterSeedWriter("ico", &WriteIcoSeeds);

}  // namespace
