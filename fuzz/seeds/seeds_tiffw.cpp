// Seeds of the TIFF writer fuzz target: records of each kind of page
// (bilevel with each fax code, grey, palette, colour with and without the
// predictor, separated, CIE L*a*b*, JPEG) over each kind of bitmap.
#include "fuzz/seeds/seeds_common.h"

namespace {

using namespace pixoran::fuzzseeds;

bool WriteTiffWriterSeeds(const std::string& folder) {
  struct Record {
    const char* name;
    uint8_t photometric, samples, bits, compression;
  } records[] = {
      {"bw_none", 1, 1, 1, 0},         {"bw_mh", 0, 1, 1, 1},
      {"bw_g3", 0, 1, 1, 2},           {"bw_g3_2d", 0, 1, 1, 3},
      {"bw_g4", 0, 1, 1, 4},           {"grey4_lzw", 1, 1, 4, 5},
      {"grey16", 1, 1, 16, 0},         {"pal8_packbits", 3, 1, 8, 8},
      {"rgb_lzw", 2, 3, 8, 5},         {"cmyk", 5, 4, 8, 0},
      {"cmyk_16_colours", 5, 1, 4, 0}, {"lab", 7, 3, 8, 8},
      {"grey_alpha", 1, 2, 8, 5},      {"jpeg", 2, 3, 8, 7},
      {"grey_5x3", 1, 3, 5, 0},
  };
  bool ok = true;
  int i = 0;
  for (const Record& r : records) {
    // Formats in the target's order: pxBW1, pxPal8, pxGray8, pxGray16, pxBGR24, pxCMYK.
    const uint8_t format = static_cast<uint8_t>(i++ % 6);
    TSeedBytes b;
    b.U8(r.photometric), b.U8(r.samples), b.U8(r.bits), b.U8(r.compression);
    b.U8(format), b.U8(36), b.U8(22), b.U8(static_cast<uint32_t>(i & 1)), b.U8(9);
    for (int k = 0; k < 97; ++k) b.U8(static_cast<uint32_t>(k * 29 + (k / 7) * 64));
    ok = SaveSeed(folder + "/" + r.name + ".bin", b.b) && ok;
  }
  return ok;
}

const bool kRegistered = RegisterSeedWriter("tiffw", WriteTiffWriterSeeds);

}  // namespace
