// Seeds of the AVI fuzz target: small AVIs of uncompressed 24-bit, RLE8,
// RLE4 and Motion JPEG (without Huffman tables) video with an index.
#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "io/formats/jpeg/jpegfilt.h"
#include "io/pixoranio_params.h"
#include "fuzz/seeds/seeds_common.h"
#include "tests/avi_builder.h"

namespace {

using pixoran::testing::MakeAVI;

// An 8 x 8 JPEG from our writer with its DHT segments taken out.
std::string MotionJpegFrame() {
  using namespace pixoran;
  TPXBitmap b;
  if (!fuzzseeds::SeedImage(b, 8, 8, 4)) return {};
  TMemoryStream out;
  TIOParamsVals params;
  params.JPEGQuality = 80;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  WriteJPEGStream(out, b, params, progress);
  return pixoran::testing::StripHuffmanTables(out.Bytes());
}

bool WriteSeeds(const std::string& folder) {
  std::string palette;
  for (int i = 0; i < 256; ++i) palette += {static_cast<char>(i), static_cast<char>(255 - i), '\5', '\0'};
  const std::string rgb(2 * 8, '\x40');
  const std::string key("\x04\x01\x00\x00\x04\x01\x00\x01", 8), delta("\x00\x02\x02\x00\x01\x09\x00\x01", 8);
  const struct {
    const char* name;
    std::string data;
  } kSeeds[] = {
      {"rgb24.avi", MakeAVI(2, 2, 24, 0, "", {{rgb}, {rgb, false}, {"", false}})},
      {"rle8.avi", MakeAVI(4, 2, 8, 1, palette, {{key}, {delta, false}, {delta, false}})},
      {"rle4.avi", MakeAVI(4, 2, 4, 2, palette.substr(0, 64), {{std::string("\x04\x11\x00\x00\x04\x22\x00\x01", 8)}})},
      {"mjpeg.avi", MakeAVI(8, 8, 24, 0x47504A4D, "", {{MotionJpegFrame()}, {MotionJpegFrame(), false}})},
  };
  for (const auto& s : kSeeds) {
    std::ofstream f(folder + "/" + s.name, std::ios::binary | std::ios::trunc);
    f << s.data;
    if (!f) return false;
  }
  return true;
}

const bool kRegistered = pixoran::fuzzseeds::RegisterSeedWriter("avi", WriteSeeds);

}  // namespace
