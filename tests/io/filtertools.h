#pragma once
// Helpers of the small-format filter tests: reference images, files handed
// to and taken from netpbm's tools, and the raw netpbm files they exchange.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"
#include "testsupport.h"

namespace pixoran::testing {

using Bytes = std::vector<uint8_t>;

// Little-endian byte builder.
struct TLEBytes {
  Bytes b;
  void U8(uint32_t v) { b.push_back(static_cast<uint8_t>(v)); }
  void U16(uint32_t v) { U8(v), U8(v >> 8); }
  void U32(uint32_t v) { U16(v), U16(v >> 16); }
  void Raw(const Bytes& v) { b.insert(b.end(), v.begin(), v.end()); }
  // Byte by byte: GCC's thread-sanitizer build misreads a range insert into an
  // empty vector as an overflow.
  void Str(const std::string& s) {
    for (const char c : s) U8(static_cast<uint8_t>(c));
  }
};

inline uint32_t LE16(const Bytes& b, size_t at) { return b[at] | (b[at + 1] << 8); }
inline uint32_t LE32(const Bytes& b, size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}

inline Bytes ReadFileBytes(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}
inline void WriteFileBytes(const std::string& path, const Bytes& bytes) {
  std::ofstream f(path, std::ios::binary | std::ios::trunc);
  f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Runs a shell command (stderr dropped); true on exit status 0.
inline bool RunTool(const std::string& command) { return std::system((command + " 2>/dev/null").c_str()) == 0; }

// An RGB reference image: r, g, b bytes per pixel, rows from the top.
struct TRGBImage {
  int32_t w = 0, h = 0;
  Bytes rgb;
  uint8_t* At(int32_t x, int32_t y) { return rgb.data() + 3 * (static_cast<size_t>(y) * w + x); }
};

// colours: the palette the pixels pick from (r, g, b); 0 gives smooth, many-coloured pixels.
inline TRGBImage MakeRGB(int32_t w, int32_t h, const std::vector<uint32_t>& colours = {}) {
  TRGBImage im{w, h, Bytes(static_cast<size_t>(w) * h * 3)};
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x) {
      uint8_t* p = im.At(x, y);
      if (colours.empty()) {
        p[0] = static_cast<uint8_t>(x * 37 + y * 5);
        p[1] = static_cast<uint8_t>(y * 23 + x);
        p[2] = static_cast<uint8_t>((x * y * 7) ^ 0x5A);
      } else {
        const uint32_t c = colours[(x / 2 + y * 3 + (x * y) % 5) % colours.size()];
        p[0] = static_cast<uint8_t>(c >> 16), p[1] = static_cast<uint8_t>(c >> 8), p[2] = static_cast<uint8_t>(c);
      }
    }
  return im;
}

inline TRGBImage Grey(const TRGBImage& im) {
  TRGBImage g = im;
  for (size_t i = 0; i < g.rgb.size(); i += 3) g.rgb[i + 1] = g.rgb[i + 2] = g.rgb[i];
  return g;
}

// Raw netpbm files of a reference image.
inline Bytes ToPPM(const TRGBImage& im) {
  const std::string head = "P6\n" + std::to_string(im.w) + " " + std::to_string(im.h) + "\n255\n";
  Bytes b(head.begin(), head.end());
  b.insert(b.end(), im.rgb.begin(), im.rgb.end());
  return b;
}
inline Bytes ToPGM(const TRGBImage& im) {
  const std::string head = "P5\n" + std::to_string(im.w) + " " + std::to_string(im.h) + "\n255\n";
  Bytes b(head.begin(), head.end());
  for (size_t i = 0; i < im.rgb.size(); i += 3) b.push_back(im.rgb[i]);
  return b;
}
// Black where the red byte is below 128.
inline Bytes ToPBM(const TRGBImage& im) {
  const std::string head = "P4\n" + std::to_string(im.w) + " " + std::to_string(im.h) + "\n";
  Bytes b(head.begin(), head.end());
  const size_t rowBytes = (static_cast<size_t>(im.w) + 7) / 8;
  for (int32_t y = 0; y < im.h; ++y) {
    Bytes row(rowBytes, 0);
    for (int32_t x = 0; x < im.w; ++x)
      if (im.rgb[3 * (static_cast<size_t>(y) * im.w + x)] < 128) row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
    b.insert(b.end(), row.begin(), row.end());
  }
  return b;
}
// The image as black (red below 128) and white.
inline TRGBImage Thresholded(const TRGBImage& im) {
  TRGBImage t = im;
  for (size_t i = 0; i < t.rgb.size(); i += 3) t.rgb[i] = t.rgb[i + 1] = t.rgb[i + 2] = im.rgb[i] < 128 ? 0 : 255;
  return t;
}

// Parses a raw P4, P5 or P6 file (as netpbm's tools write them) into RGB;
// an empty image when it is none of those.
inline TRGBImage ParseRawPNM(const Bytes& file) {
  TRGBImage im;
  if (file.size() < 3 || file[0] != 'P') return im;
  const int kind = file[1] - '0';
  size_t pos = 2;
  auto number = [&]() -> long {
    while (pos < file.size()) {
      if (file[pos] == '#')
        while (pos < file.size() && file[pos] != '\n') ++pos;
      else if (file[pos] < '0' || file[pos] > '9') ++pos;
      else break;
    }
    long v = 0;
    while (pos < file.size() && file[pos] >= '0' && file[pos] <= '9') v = v * 10 + (file[pos++] - '0');
    return v;
  };
  const long w = number(), h = number(), maxval = kind == 4 ? 1 : number();
  ++pos;
  if (kind < 4 || kind > 6 || w <= 0 || h <= 0 || maxval != (kind == 4 ? 1 : 255)) return im;
  im.w = static_cast<int32_t>(w), im.h = static_cast<int32_t>(h);
  im.rgb.resize(static_cast<size_t>(w * h * 3));
  const size_t rowBytes = (static_cast<size_t>(w) + 7) / 8;
  for (long y = 0; y < h; ++y)
    for (long x = 0; x < w; ++x) {
      uint8_t* p = im.At(static_cast<int32_t>(x), static_cast<int32_t>(y));
      size_t at;
      switch (kind) {
        case 4:
          at = pos + y * rowBytes + x / 8;
          p[0] = p[1] = p[2] = (at < file.size() && (file[at] & (0x80 >> (x & 7)))) ? 0 : 255;
          break;
        case 5:
          at = pos + y * w + x;
          p[0] = p[1] = p[2] = at < file.size() ? file[at] : 0;
          break;
        default:
          at = pos + 3 * (y * w + x);
          for (int i = 0; i < 3; ++i) p[i] = at + i < file.size() ? file[at + i] : 0;
          break;
      }
    }
  return im;
}

// The bitmap's pixels as RGB (pxBW1 set bits white, pxBGR24 as stored).
inline TRGBImage FromBitmap(TPXBitmap& b) {
  TRGBImage im{b.Width(), b.Height(), Bytes(static_cast<size_t>(b.Width()) * b.Height() * 3)};
  for (int32_t y = 0; y < im.h; ++y) {
    const uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < im.w; ++x) {
      uint8_t* p = im.At(x, y);
      if (b.PixelFormat() == pxBW1) {
        p[0] = p[1] = p[2] = (row[x >> 3] & (0x80 >> (x & 7))) ? 255 : 0;
      } else {
        p[0] = row[3 * x + 2], p[1] = row[3 * x + 1], p[2] = row[3 * x];
      }
    }
  }
  return im;
}

// A pxBGR24 bitmap (pxBW1 when oneBit: red below 128 black) of the image.
inline void ToBitmap(const TRGBImage& im, TPXBitmap& b, bool oneBit = false) {
  ASSERT_TRUE(b.Allocate(im.w, im.h, oneBit ? pxBW1 : pxBGR24));
  for (int32_t y = 0; y < im.h; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < im.w; ++x) {
      const uint8_t* p = im.rgb.data() + 3 * (static_cast<size_t>(y) * im.w + x);
      if (oneBit) {
        if (p[0] >= 128) row[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
      } else {
        row[3 * x] = p[2], row[3 * x + 1] = p[1], row[3 * x + 2] = p[0];
      }
    }
  }
}

inline ::testing::AssertionResult SameImage(const TRGBImage& want, const TRGBImage& got) {
  if (want.w != got.w || want.h != got.h)
    return ::testing::AssertionFailure() << "size " << got.w << "x" << got.h << ", want " << want.w << "x" << want.h;
  for (int32_t y = 0; y < want.h; ++y)
    for (int32_t x = 0; x < want.w; ++x) {
      const uint8_t* a = want.rgb.data() + 3 * (static_cast<size_t>(y) * want.w + x);
      const uint8_t* b = got.rgb.data() + 3 * (static_cast<size_t>(y) * got.w + x);
      if (a[0] != b[0] || a[1] != b[1] || a[2] != b[2])
        return ::testing::AssertionFailure()
               << "pixel (" << x << "," << y << ") is " << int(b[0]) << "," << int(b[1]) << "," << int(b[2])
               << ", want " << int(a[0]) << "," << int(a[1]) << "," << int(a[2]);
    }
  return ::testing::AssertionSuccess();
}

// A progress record with its own Aborting flag.
struct TProgressFixture {
  std::atomic<bool> aborting{false};
  TPXProgressRec rec;
  TProgressFixture() { rec.Aborting = &aborting; }
};

// A scratch folder for files exchanged with other programs.
inline const std::string& ToolDir() {
  static const std::string dir = MakeTempDir("smallformats");
  return dir;
}

}  // namespace pixoran::testing
