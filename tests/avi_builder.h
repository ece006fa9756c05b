#pragma once
// Small AVI files built byte by byte, for the tests and the fuzz seeds: one
// video stream with a BITMAPINFOHEADER, a palette, the frames and an index.
#include <cstdint>
#include <string>
#include <vector>

namespace pixoran::testing {

struct TAviFrame {
  std::string Bytes;
  bool Key = true;
};

inline void AviPut32(std::string& s, uint32_t v) {
  for (int i = 0; i < 4; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
}
inline std::string AviChunk(const char* id, const std::string& data) {
  std::string s(id, 4);
  AviPut32(s, static_cast<uint32_t>(data.size()));
  s += data;
  if (data.size() & 1) s.push_back('\0');
  return s;
}
inline std::string AviList(const char* type, const std::string& data) {
  return AviChunk("LIST", std::string(type, 4) + data);
}

// Frames at rate / scale per second; uncompressed frames are "00db" chunks,
// compressed ones "00dc".
inline std::string MakeAVI(int32_t w, int32_t h, uint16_t bits, uint32_t compression, const std::string& palette,
                           const std::vector<TAviFrame>& frames, uint32_t scale = 1, uint32_t rate = 25) {
  std::string strh = "vids";
  strh += std::string(16, '\0');  // handler, flags, priority, language, initial frames
  AviPut32(strh, scale);
  AviPut32(strh, rate);
  AviPut32(strh, 0);
  AviPut32(strh, static_cast<uint32_t>(frames.size()));
  strh += std::string(20, '\0');
  std::string strf;
  AviPut32(strf, 40);
  AviPut32(strf, static_cast<uint32_t>(w));
  AviPut32(strf, static_cast<uint32_t>(h));
  strf += std::string("\1\0", 2);
  strf.push_back(static_cast<char>(bits));
  strf.push_back(static_cast<char>(bits >> 8));
  AviPut32(strf, compression);
  strf += std::string(20, '\0');
  strf += palette;
  const char* id = compression == 0 ? "00db" : "00dc";
  std::string movi, idx1;
  uint32_t offset = 4;
  for (const TAviFrame& f : frames) {
    const std::string c = AviChunk(id, f.Bytes);
    idx1 += id;
    AviPut32(idx1, f.Key ? 0x10 : 0);
    AviPut32(idx1, offset);
    AviPut32(idx1, static_cast<uint32_t>(f.Bytes.size()));
    offset += static_cast<uint32_t>(c.size());
    movi += c;
  }
  const std::string body = "AVI " +
                           AviList("hdrl", AviChunk("avih", std::string(56, '\0')) +
                                               AviList("strl", AviChunk("strh", strh) + AviChunk("strf", strf))) +
                           AviList("movi", movi) + AviChunk("idx1", idx1);
  std::string riff = "RIFF";
  AviPut32(riff, static_cast<uint32_t>(body.size()));
  return riff + body;
}

// A JPEG file with its DHT segments taken out, as capture cards write Motion
// JPEG frames; removed counts them.
inline std::string StripHuffmanTables(const std::vector<uint8_t>& j, size_t* removed = nullptr) {
  if (removed) *removed = 0;
  if (j.size() < 4) return {};
  std::string frame(j.begin(), j.begin() + 2);
  size_t pos = 2;
  while (pos + 4 <= j.size() && j[pos + 1] != 0xDA) {
    const size_t len = 2 + ((size_t{j[pos + 2]} << 8) | j[pos + 3]);
    const size_t end = pos + len < j.size() ? pos + len : j.size();
    if (j[pos + 1] == 0xC4) {
      if (removed) ++*removed;
    } else {
      frame.append(j.begin() + static_cast<std::ptrdiff_t>(pos), j.begin() + static_cast<std::ptrdiff_t>(end));
    }
    pos += len;
  }
  if (pos < j.size()) frame.append(j.begin() + static_cast<std::ptrdiff_t>(pos), j.end());
  return frame;
}

}  // namespace pixoran::testing
