// Seeds of the AVI fuzz target: small AVIs of uncompressed 24-bit, RLE8,
// RLE4 and Motion JPEG (without Huffman tables) video with an index.
#include <algorithm>
#include <atomic>
#include <fstream>
#include <string>
#include <vector>

#include "io/jpegfilt.h"
#include "io/pixoranio_params.h"
#include "fuzz/seeds/seeds_common.h"

namespace {

void Put32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}
std::string Chunk(const char* id, const std::string& data) {
  std::string s(id, 4);
  Put32(s, static_cast<uint32_t>(data.size()));
  s += data;
  if (data.size() & 1) s.push_back('\0');
  return s;
}
std::string List(const char* type, const std::string& data) { return Chunk("LIST", std::string(type, 4) + data); }

std::string MakeAVI(int w, int h, int bits, uint32_t compression, const std::string& palette,
                    const std::vector<std::string>& frames) {
  std::string strh = "vids" + std::string(16, '\0');
  Put32(strh, 1);
  Put32(strh, 25);
  Put32(strh, 0);
  Put32(strh, static_cast<uint32_t>(frames.size()));
  strh += std::string(20, '\0');
  std::string strf;
  Put32(strf, 40);
  Put32(strf, static_cast<uint32_t>(w));
  Put32(strf, static_cast<uint32_t>(h));
  strf += std::string("\1\0", 2);
  strf.push_back(static_cast<char>(bits));
  strf.push_back('\0');
  Put32(strf, compression);
  strf += std::string(20, '\0') + palette;
  std::string movi, idx1;
  uint32_t offset = 4;
  for (size_t i = 0; i < frames.size(); ++i) {
    const std::string c = Chunk("00dc", frames[i]);
    idx1 += "00dc";
    Put32(idx1, i == 0 ? 0x10 : 0);
    Put32(idx1, offset);
    Put32(idx1, static_cast<uint32_t>(frames[i].size()));
    offset += static_cast<uint32_t>(c.size());
    movi += c;
  }
  const std::string body = "AVI " + List("hdrl", Chunk("avih", std::string(56, '\0')) +
                                                    List("strl", Chunk("strh", strh) + Chunk("strf", strf))) +
                           List("movi", movi) + Chunk("idx1", idx1);
  std::string riff = "RIFF";
  Put32(riff, static_cast<uint32_t>(body.size()));
  return riff + body;
}

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
  const std::vector<uint8_t>& j = out.Bytes();
  if (j.size() < 4) return {};
  std::string frame(j.begin(), j.begin() + 2);
  size_t pos = 2;
  while (pos + 4 <= j.size() && j[pos + 1] != 0xDA) {
    const size_t len = 2 + ((size_t{j[pos + 2]} << 8) | j[pos + 3]);
    if (j[pos + 1] != 0xC4)
      frame.append(j.begin() + static_cast<std::ptrdiff_t>(pos),
                   j.begin() + static_cast<std::ptrdiff_t>(std::min(pos + len, j.size())));
    pos += len;
  }
  if (pos < j.size()) frame.append(j.begin() + static_cast<std::ptrdiff_t>(pos), j.end());
  return frame;
}

bool WriteSeeds(const std::string& folder) {
  std::string palette;
  for (int i = 0; i < 256; ++i) palette += {static_cast<char>(i), static_cast<char>(255 - i), '\5', '\0'};
  const std::string rgb(2 * 8, '\x40');
  const std::string key("\x04\x01\x00\x00\x04\x01\x00\x01", 8), delta("\x00\x02\x02\x00\x01\x09\x00\x01", 8);
  const struct { const char* name; std::string data; } kSeeds[] = {
      {"rgb24.avi", MakeAVI(2, 2, 24, 0, "", {rgb, rgb, ""})},
      {"rle8.avi", MakeAVI(4, 2, 8, 1, palette, {key, delta, delta})},
      {"rle4.avi", MakeAVI(4, 2, 4, 2, palette.substr(0, 64), {std::string("\x04\x11\x00\x00\x04\x22\x00\x01", 8)})},
      {"mjpeg.avi", MakeAVI(8, 8, 24, 0x47504A4D, "", {MotionJpegFrame(), MotionJpegFrame()})},
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
