// Seeds of the TGA fuzz target: our writer's files at every depth, raw and
// run-length, with an alpha mask, and by hand 16-bit, bottom-up and
// right-to-left rows, a map starting past 0 and packets crossing rows.
#include "fuzz/seeds/seeds_common.h"
#include "io/formats/tga/pxtgafil.h"

namespace {

using namespace pixoran;
using namespace pixoran::fuzzseeds;

std::vector<uint8_t> Written(TPXBitmap& b, int bits, int samples, bool rle, bool grey, TPXMask* mask = nullptr) {
  TIOParamsVals params;
  params.BitsPerSample = bits, params.SamplesPerPixel = samples, params.TGACompressed = rle;
  params.TGAGrayLevel = grey;
  params.TGADescriptor = "seed";
  params.TGAAuthor = "fuzz";
  TSeedProgress p;
  TMemoryStream out;
  WriteTGAStream(out, b, params, p.rec, mask);
  return p.aborting ? std::vector<uint8_t>{} : out.Bytes();
}

std::vector<uint8_t> Hand(int type, int depth, int w, int h, int descriptor, const std::vector<uint8_t>& pixels,
                          int mapFirst = 0, int mapLength = 0, const std::vector<uint8_t>& map = {}) {
  TSeedBytes b;
  b.U8(0), b.U8(mapLength ? 1 : 0), b.U8(type), b.U16(mapFirst), b.U16(mapLength), b.U8(mapLength ? 24 : 0);
  b.U16(0), b.U16(0), b.U16(w), b.U16(h), b.U8(depth), b.U8(descriptor);
  b.Raw(map);
  b.Raw(pixels);
  return b.b;
}

bool WriteTgaSeeds(const std::string& folder) {
  bool ok = true;
  auto save = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
    ok = !bytes.empty() && SaveSeed(folder + "/" + name, bytes) && ok;
  };
  TPXBitmap rgb, few, bw;
  TPXMask mask;
  if (!SeedImage(rgb, 9, 4, 0) || !SeedImage(few, 9, 4, 5) || !SeedImage(bw, 11, 3, 0, true)) return false;
  if (!mask.Allocate(9, 4, 8)) return false;
  for (int32_t y = 0; y < 4; ++y)
    for (int32_t x = 0; x < 9; ++x) mask.GetRowPointer(y)[x] = static_cast<uint8_t>(x * 31);
  for (bool rle : {false, true}) {
    const std::string r = rle ? "_rle" : "";
    save("rgb24" + r + ".tga", Written(rgb, 8, 3, rle, false));
    save("pal8" + r + ".tga", Written(few, 8, 1, rle, false));
    save("grey8" + r + ".tga", Written(rgb, 8, 1, rle, true));
  }
  save("rgba32.tga", Written(rgb, 8, 3, false, false, &mask));
  save("pal4.tga", Written(few, 4, 1, false, false));
  save("bw1.tga", Written(bw, 1, 1, false, false));
  save("rgb16.tga", Hand(2, 16, 2, 1, 0, {0xFF, 0x7F, 0x1F, 0x00}));
  save("bottom_up.tga", Hand(2, 24, 2, 2, 0x00, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  save("mirrored.tga", Hand(2, 24, 2, 2, 0x30, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  save("map_from_10.tga", Hand(1, 8, 2, 1, 0x20, {10, 11}, 10, 2, {1, 2, 3, 4, 5, 6}));
  save("packets_across_rows.tga", Hand(11, 8, 3, 2, 0x20, {0x83, 50, 0x01, 60, 70}));
  return ok;
}

const bool registered = RegisterSeedWriter("tga", &WriteTgaSeeds);

}  // namespace
