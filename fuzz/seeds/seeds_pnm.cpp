// Seeds of the PNM fuzz target (which reads WBMP too): plain and raw files
// of all six kinds, comments, maxima below and above 255, and wireless
// bitmaps with one-byte and multi-byte sizes.
#include "fuzz/seeds/seeds_common.h"
#include "io/formats/pnm/pnmfilt.h"

namespace {

using namespace pixoran;
using namespace pixoran::fuzzseeds;

std::vector<uint8_t> Text(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

bool WritePnmSeeds(const std::string& folder) {
  bool ok = true;
  auto save = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
    ok = !bytes.empty() && SaveSeed(folder + "/" + name, bytes) && ok;
  };
  save("p1.pbm", Text("P1\n# bits\n5 2\n10101\n0 1 0 1 1\n"));
  save("p2.pgm", Text("P2\n# note\n3 2\n15\n0 5 15\n7 8 9\n"));
  save("p3.ppm", Text("P3 2 2 255\n255 0 0 0 255 0\n0 0 255 9 9 9\n"));
  std::vector<uint8_t> p4 = Text("P4\n10 2\n");
  p4.insert(p4.end(), {0xA5, 0xC0, 0x5A, 0x40});
  save("p4.pbm", p4);
  std::vector<uint8_t> p5 = Text("P5 3 1 100\n");
  p5.insert(p5.end(), {0, 50, 100});
  save("p5_max100.pgm", p5);
  std::vector<uint8_t> p6 = Text("P6 2 1 1000\n");
  p6.insert(p6.end(), {1, 0xF4, 0, 0, 3, 0xE8, 0, 1, 0, 2, 0, 3});
  save("p6_16bit.ppm", p6);
  TPXBitmap rgb, bw;
  if (!SeedImage(rgb, 7, 3, 0) || !SeedImage(bw, 11, 3, 0, true)) return false;
  for (int kind = 0; kind < 3; ++kind) {
    TIOParamsVals params;
    params.BitsPerSample = 8, params.SamplesPerPixel = kind == 0 ? 3 : 1;
    params.PNMComments = {"seed"};
    TSeedProgress p;
    TMemoryStream out;
    WritePNMStream(out, kind == 2 ? bw : rgb, params, p.rec);
    save("written" + std::to_string(kind) + ".pnm", p.aborting ? std::vector<uint8_t>{} : out.Bytes());
  }
  TSeedProgress p;
  TMemoryStream wbmp;
  WriteWBMPStream(wbmp, bw, p.rec);
  save("written.wbmp", wbmp.Bytes());
  std::vector<uint8_t> wide = {0, 0, 0x81, 0x10, 2};  // 144 x 2, multi-byte width
  wide.resize(5 + 18 * 2, 0x3C);
  save("multibyte.wbmp", wide);
  std::vector<uint8_t> old = {0, 0, 200, 2};  // the older one-byte sizes
  old.resize(4 + 25 * 2, 0x81);
  save("one_byte_sizes.wbmp", old);
  return ok;
}

const bool registered = RegisterSeedWriter("pnm", &WritePnmSeeds);

}  // namespace
