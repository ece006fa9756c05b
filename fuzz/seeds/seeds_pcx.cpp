// Seeds of the PCX fuzz target: our writer's files at every depth, raw and
// run-length, a DCX of three pages, and by hand the four-plane layout and a
// run crossing plane lines.
#include "fuzz/seeds/seeds_common.h"
#include "io/formats/pcx/pcxfilter.h"

namespace {

using namespace pixoran;
using namespace pixoran::fuzzseeds;

std::vector<uint8_t> Written(TPXBitmap& b, int bits, int samples, bool rle) {
  TIOParamsVals params;
  params.BitsPerSample = bits, params.SamplesPerPixel = samples, params.PCXCompression = rle;
  TSeedProgress p;
  TMemoryStream out;
  WritePCXStream(out, b, params, p.rec);
  return p.aborting ? std::vector<uint8_t>{} : out.Bytes();
}

std::vector<uint8_t> Hand(int bits, int planes, int w, int h, int bpl, const std::vector<uint8_t>& data) {
  TSeedBytes b;
  b.U8(10), b.U8(5), b.U8(1), b.U8(bits), b.U16(0), b.U16(0), b.U16(w - 1), b.U16(h - 1), b.U16(72), b.U16(72);
  for (int i = 0; i < 48; ++i) b.U8(i * 5);
  b.U8(0), b.U8(planes), b.U16(bpl), b.U16(1);
  b.b.resize(128, 0);
  b.Raw(data);
  return b.b;
}

bool WritePcxSeeds(const std::string& folder) {
  bool ok = true;
  auto save = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
    ok = !bytes.empty() && SaveSeed(folder + "/" + name, bytes) && ok;
  };
  TPXBitmap rgb, few, bw;
  if (!SeedImage(rgb, 9, 4, 0) || !SeedImage(few, 9, 4, 5) || !SeedImage(bw, 11, 3, 0, true)) return false;
  for (bool rle : {false, true}) {
    const std::string r = rle ? "_rle" : "";
    save("rgb24" + r + ".pcx", Written(rgb, 8, 3, rle));
    save("pal8" + r + ".pcx", Written(few, 8, 1, rle));
    save("pal4" + r + ".pcx", Written(few, 4, 1, rle));
    save("bw1" + r + ".pcx", Written(bw, 1, 1, rle));
  }
  save("planes4.pcx", Hand(1, 4, 8, 2, 2, {0xC8, 0x0F, 0xC8, 0xF0}));
  save("run_across_lines.pcx", Hand(8, 3, 3, 1, 4, {0xC6, 200, 1, 2, 0xC4, 50}));
  TMemoryStream dcx;
  TIOParamsVals params;
  TSeedProgress p;
  for (TPXBitmap* page : {&rgb, &few, &bw}) {
    params.DCXImageIndex = 99;
    WriteDCXStream(dcx, *page, params, p.rec);
  }
  save("three_pages.dcx", p.aborting ? std::vector<uint8_t>{} : dcx.Bytes());
  return ok;
}

const bool registered = RegisterSeedWriter("pcx", &WritePcxSeeds);

}  // namespace
