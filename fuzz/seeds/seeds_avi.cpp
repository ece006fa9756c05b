// Seeds of the AVI fuzz target: small AVIs of uncompressed 24-bit and RLE8
// video with an index.
#include <fstream>
#include <string>
#include <vector>

namespace pixoran::fuzzseeds {
using TSeedWriter = bool (*)(const std::string& folder);
bool RegisterSeedWriter(const char* name, TSeedWriter writer);
}  // namespace pixoran::fuzzseeds

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

bool WriteSeeds(const std::string& folder) {
  std::string palette;
  for (int i = 0; i < 256; ++i) palette += {static_cast<char>(i), static_cast<char>(255 - i), '\5', '\0'};
  const std::string rgb(2 * 8, '\x40');
  const std::string key("\x04\x01\x00\x00\x04\x01\x00\x01", 8), delta("\x00\x02\x02\x00\x01\x09\x00\x01", 8);
  const struct { const char* name; std::string data; } kSeeds[] = {
      {"rgb24.avi", MakeAVI(2, 2, 24, 0, "", {rgb, rgb, ""})},
      {"rle8.avi", MakeAVI(4, 2, 8, 1, palette, {key, delta, delta})},
      {"rle4.avi", MakeAVI(4, 2, 4, 2, palette.substr(0, 64), {std::string("\x04\x11\x00\x00\x04\x22\x00\x01", 8)})},
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
