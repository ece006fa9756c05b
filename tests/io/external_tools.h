#pragma once
// Other programs as references: running Debian's command-line tools and
// exchanging images with them as binary PNM files.
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace pixoran::testing {

// Runs a shell command with its output discarded (unless it redirects it
// itself); true on exit status 0.
inline bool RunTool(const std::string& command) {
  return std::system(("{ " + command + " ; } >/dev/null 2>&1").c_str()) == 0;
}

// True when the program is on the PATH.
inline bool HaveTool(const std::string& program) { return RunTool("command -v " + program); }

// A PNM image: 1 channel (PBM/PGM) or 3 (PPM), samples top-down and
// interleaved, up to 16 bits. PBM bits are read as 0 white, 1 black, as
// the format says, and stored as 255 and 0 with maxval 255.
struct TPnm {
  int32_t Width = 0, Height = 0, Channels = 0, MaxVal = 0;
  std::vector<uint16_t> Samples;
  uint16_t At(int32_t x, int32_t y, int32_t c) const {
    return Samples[(static_cast<size_t>(y) * Width + x) * Channels + c];
  }
};

inline bool WritePnm(const std::string& path, const TPnm& img) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f << (img.Channels == 1 ? "P5" : "P6") << "\n" << img.Width << " " << img.Height << "\n" << img.MaxVal << "\n";
  for (uint16_t s : img.Samples) {
    if (img.MaxVal > 255) f.put(static_cast<char>(s >> 8));
    f.put(static_cast<char>(s & 0xFF));
  }
  return static_cast<bool>(f);
}

inline bool ReadPnm(const std::string& path, TPnm& img) {
  std::ifstream f(path, std::ios::binary);
  std::string magic;
  f >> magic;
  auto number = [&](int32_t& v) {
    f >> std::ws;
    while (f.peek() == '#') {
      std::string comment;
      std::getline(f, comment);
      f >> std::ws;
    }
    f >> v;
  };
  number(img.Width);
  number(img.Height);
  const bool pbm = magic == "P4";
  if (pbm) img.MaxVal = 1;
  else number(img.MaxVal);
  f.get();
  if (!f || img.Width <= 0 || img.Height <= 0 || img.MaxVal <= 0) return false;
  img.Channels = magic == "P6" ? 3 : 1;
  const size_t n = static_cast<size_t>(img.Width) * img.Height * img.Channels;
  img.Samples.assign(n, 0);
  if (pbm) {
    const int32_t rowBytes = (img.Width + 7) / 8;
    std::vector<char> row(static_cast<size_t>(rowBytes));
    for (int32_t y = 0; y < img.Height; ++y) {
      f.read(row.data(), rowBytes);
      for (int32_t x = 0; x < img.Width; ++x)
        img.Samples[static_cast<size_t>(y) * img.Width + x] = (row[x >> 3] >> (7 - (x & 7))) & 1 ? 0 : 255;
    }
    img.MaxVal = 255;
    return static_cast<bool>(f);
  }
  for (size_t i = 0; i < n; ++i) {
    uint16_t v = static_cast<uint8_t>(f.get());
    if (img.MaxVal > 255) v = static_cast<uint16_t>(v << 8 | static_cast<uint8_t>(f.get()));
    img.Samples[i] = v;
  }
  return static_cast<bool>(f);
}

inline std::vector<uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  const std::string s = ss.str();
  return {s.begin(), s.end()};
}

inline bool WriteFileBytes(const std::string& path, const void* data, size_t size) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
  return static_cast<bool>(f);
}

}  // namespace pixoran::testing
