// Small files claiming huge pictures: every reader must refuse a claim its
// data could not fill at its codec's largest expansion, quickly and within
// a bounded amount of memory. Each load runs in a process of its own
// (load_probe) under a data-size and a processor-time limit.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <sstream>
#include <utility>
#include <functional>
#include <map>
#include <string>
#include <vector>

extern "C" {
#include <jpeglib.h>
}

#include "../avi_builder.h"
#include "io/pixoranio.h"
#include "io/pxmio.h"
#include "io/pxmioview.h"
#include "tests/sanitized.h"
#include "filtertools.h"
#include "pngbytes.h"
#include "formats_built.h"
#include "sizes_mioview.h"
#include "probe_runner.h"

namespace pixoran {
namespace {

using namespace pixoran::testing;

constexpr int kDataLimitMB = 256;
constexpr int kCpuLimitS = 3;
constexpr long kCpuBudgetMs = 1000;

void PutBE16(Bytes& b, size_t at, uint32_t v) {
  b[at] = static_cast<uint8_t>(v >> 8), b[at + 1] = static_cast<uint8_t>(v);
}
void PutBE32(Bytes& b, size_t at, uint32_t v) { PutBE16(b, at, v >> 16), PutBE16(b, at + 2, v); }
void AppendBE32(Bytes& b, uint32_t v) {
  b.resize(b.size() + 4);
  PutBE32(b, b.size() - 4, v);
}

// A flat grey w x h JPEG from libjpeg itself; tweak sets the coding process.
Bytes Jpeg(int w, int h, const std::function<void(jpeg_compress_struct&)>& tweak) {
  jpeg_compress_struct ci;
  jpeg_error_mgr err;
  ci.err = jpeg_std_error(&err);
  jpeg_create_compress(&ci);
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&ci, &mem, &size);
  ci.image_width = static_cast<JDIMENSION>(w);
  ci.image_height = static_cast<JDIMENSION>(h);
  ci.input_components = 3;
  ci.in_color_space = JCS_RGB;
  jpeg_set_defaults(&ci);
  if (tweak) tweak(ci);
  jpeg_start_compress(&ci, TRUE);
  std::vector<uint8_t> row(static_cast<size_t>(w) * 3, 128);
  while (ci.next_scanline < ci.image_height) {
    JSAMPROW r = row.data();
    jpeg_write_scanlines(&ci, &r, 1);
  }
  jpeg_finish_compress(&ci);
  Bytes file(mem, mem + size);
  jpeg_destroy_compress(&ci);
  std::free(mem);
  return file;
}

// The frame header's size set to w x h.
Bytes ClaimJpeg(Bytes j, uint32_t w, uint32_t h) {
  for (size_t i = 2; i + 9 < j.size(); ++i)
    if (j[i] == 0xFF && j[i + 1] >= 0xC0 && j[i + 1] <= 0xCF && j[i + 1] != 0xC4 && j[i + 1] != 0xC8 &&
        j[i + 1] != 0xCC) {
      PutBE16(j, i + 5, h);
      PutBE16(j, i + 7, w);
      break;
    }
  return j;
}

// An 8-bit PNG of the given colour type claiming w x h, with one
// compressed stretch of zero rows (filter 0).
Bytes ClaimPng(uint32_t w, uint32_t h, uint8_t colourType, bool interlaced = false) {
  Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
  Bytes ihdr(13, 0);
  PutBE32(ihdr, 0, w);
  PutBE32(ihdr, 4, h);
  ihdr[8] = 8, ihdr[9] = colourType, ihdr[12] = interlaced ? 1 : 0;
  PngChunk(png, "IHDR", ihdr);
  if (colourType == 3) PngChunk(png, "PLTE", Bytes(6, 0x40));
  PngChunk(png, "IDAT", ZlibBytes(Bytes(60000, 0)));
  PngChunk(png, "IEND", {});
  return png;
}

// A GIF whose screen and frame claim w x h, with a few LZW codes.
Bytes ClaimGif(uint16_t w, uint16_t h, bool interlaced = false) {
  TLEBytes b;
  b.Str("GIF89a");
  b.U16(w), b.U16(h), b.U8(0x80), b.U8(0), b.U8(0);  // global table of 2 colours
  b.Raw({0, 0, 0, 255, 255, 255});
  b.U8(0x2C), b.U16(0), b.U16(0), b.U16(w), b.U16(h), b.U8(interlaced ? 0x40 : 0);
  b.U8(2);                                            // minimum code size
  b.Raw({6, 0x84, 0x8F, 0xA9, 0xCB, 0xED, 0x0F, 0});  // clear, a few pixels
  b.U8(0x3B);
  return b.b;
}

// A one-strip little-endian TIFF claiming w x h with the given compression,
// bit depth and samples, its strip being data.
Bytes ClaimTiff(uint32_t w, uint32_t h, uint16_t compression, uint16_t bits, uint16_t samples, const Bytes& data,
                uint16_t photometric = 1) {
  struct Entry {
    uint16_t tag, type;
    uint32_t count, value;
  };
  std::vector<Entry> e = {
      {256, 4, 1, w},           {257, 4, 1, h},           {258, 3, 1, bits},
      {259, 3, 1, compression}, {262, 3, 1, photometric}, {273, 4, 1, 0},
      {277, 3, 1, samples},     {278, 4, 1, h},           {279, 4, 1, static_cast<uint32_t>(data.size())}};
  if (samples == 3) e[2].count = 0;  // filled below: three values do not fit the entry
  TLEBytes b;
  b.Str("II"), b.U16(42), b.U32(8);
  const uint32_t ifdSize = 2 + 12 * static_cast<uint32_t>(e.size()) + 4;
  const uint32_t extra = 8 + ifdSize;
  const uint32_t strip = extra + (samples == 3 ? 6 : 0);
  b.U16(static_cast<uint32_t>(e.size()));
  for (Entry& x : e) {
    if (x.tag == 273) x.value = strip;
    if (x.tag == 258 && samples == 3) x.count = 3, x.value = extra;
    b.U16(x.tag), b.U16(x.type), b.U32(x.count);
    if (x.type == 3 && x.count == 1) b.U16(x.value), b.U16(0);
    else b.U32(x.value);
  }
  b.U32(0);
  if (samples == 3) b.U16(bits), b.U16(bits), b.U16(bits);
  b.Raw(data);
  return b.b;
}

// A BMP with a 40-byte header claiming w x h (height negative: top-down).
Bytes ClaimBmp(int32_t w, int32_t h, uint16_t bits, uint32_t compression, const Bytes& data) {
  const uint32_t colours = bits <= 8 ? (1u << bits) : 0;
  TLEBytes b;
  b.Str("BM"), b.U32(0), b.U32(0), b.U32(14 + 40 + 4 * colours + (compression == 3 ? 12 : 0));
  b.U32(40), b.U32(static_cast<uint32_t>(w)), b.U32(static_cast<uint32_t>(h)), b.U16(1), b.U16(bits);
  b.U32(compression), b.U32(static_cast<uint32_t>(data.size())), b.U32(2835), b.U32(2835), b.U32(colours), b.U32(0);
  for (uint32_t i = 0; i < colours; ++i) b.U32(i * 0x010101u);
  if (compression == 3) b.U32(0xF800), b.U32(0x07E0), b.U32(0x001F);
  b.Raw(data);
  const uint32_t size = static_cast<uint32_t>(b.b.size());
  for (int i = 0; i < 4; ++i) b.b[2 + i] = static_cast<uint8_t>(size >> (8 * i));
  return b.b;
}

Bytes ClaimOs2Bmp(uint16_t w, uint16_t h, const Bytes& data) {
  TLEBytes b;
  b.Str("BM"), b.U32(0), b.U32(0), b.U32(14 + 12);
  b.U32(12), b.U16(w), b.U16(h), b.U16(1), b.U16(24);
  b.Raw(data);
  return b.b;
}

// A PCX header claiming w x h, then data.
Bytes ClaimPcx(uint32_t w, uint32_t h, uint8_t bits, uint8_t planes, uint8_t encoding, const Bytes& data) {
  TLEBytes b;
  b.U8(10), b.U8(5), b.U8(encoding), b.U8(bits);
  b.U16(0), b.U16(0), b.U16(w - 1), b.U16(h - 1), b.U16(300), b.U16(300);
  for (int i = 0; i < 48; ++i) b.U8(i * 5);
  b.U8(0), b.U8(planes);
  const uint32_t bpl = ((w * bits + 7) / 8 + 1) & ~1u;
  b.U16(bpl > 0xFFFF ? 0xFFFF : bpl), b.U16(1);
  while (b.b.size() < 128) b.U8(0);
  b.Raw(data);
  if (bits == 8 && planes == 1) {
    b.U8(12);
    for (int i = 0; i < 768; ++i) b.U8(i);
  }
  return b.b;
}

Bytes Dcx(const Bytes& page) {
  TLEBytes b;
  b.U32(987654321u), b.U32(12), b.U32(0);
  b.Raw(page);
  return b.b;
}

Bytes ClaimTga(uint16_t w, uint16_t h, uint8_t type, uint8_t bits, const Bytes& data) {
  TLEBytes b;
  const bool mapped = type == 1 || type == 9;
  b.U8(0), b.U8(mapped ? 1 : 0), b.U8(type);
  b.U16(0), b.U16(mapped ? 2 : 0), b.U8(mapped ? 24 : 0);
  b.U16(0), b.U16(0), b.U16(w), b.U16(h), b.U8(bits), b.U8(0x20);
  if (mapped) b.Raw({0, 0, 0, 255, 255, 255});
  b.Raw(data);
  return b.b;
}

// An icon (type 1) or cursor (2) of one image, its stored bitmap claiming
// w x h (the height doubled for the AND mask), or a PNG in its place.
Bytes ClaimIco(uint16_t type, int32_t w, int32_t h, uint16_t bits, const Bytes& png = {}) {
  Bytes image;
  if (png.empty()) {
    TLEBytes d;
    const uint32_t colours = bits <= 8 ? (1u << bits) : 0;
    d.U32(40), d.U32(static_cast<uint32_t>(w)), d.U32(static_cast<uint32_t>(h) * 2u), d.U16(1), d.U16(bits);
    d.U32(0), d.U32(0), d.U32(0), d.U32(0), d.U32(0), d.U32(0);
    for (uint32_t i = 0; i < colours; ++i) d.U32(i * 0x7F7F7Fu);
    for (int i = 0; i < 64; ++i) d.U8(i);
    image = d.b;
  } else {
    image = png;
  }
  TLEBytes b;
  b.U16(0), b.U16(type), b.U16(1);
  b.U8(0), b.U8(0), b.U8(0), b.U8(0), b.U16(type == 2 ? 0 : 1), b.U16(type == 2 ? 0 : bits);
  b.U32(static_cast<uint32_t>(image.size())), b.U32(22);
  b.Raw(image);
  return b.b;
}

Bytes Text(const std::string& s, size_t dataBytes = 0, uint8_t fill = 0x55) {
  Bytes b(s.begin(), s.end());
  b.insert(b.end(), dataBytes, fill);
  return b;
}

// A J2K codestream or JP2 file from OpenJPEG's own encoder, its size
// fields set to w x h (one tile as large as the image).
Bytes ClaimJpeg2000(const std::string& dir, const char* ext, uint32_t w, uint32_t h) {
  const std::string pgm = dir + "/in.pgm", out = dir + "/out." + ext;
  WriteFileBytes(pgm, Text("P5\n8 8\n255\n", 64, 0x80));
  std::remove(out.c_str());
  if (!RunTool("opj_compress -n 1 -i " + pgm + " -o " + out + " >/dev/null")) return {};
  Bytes j = ReadFileBytes(out);
  for (size_t i = 0; i + 30 < j.size(); ++i) {
    if (j[i] == 0xFF && j[i + 1] == 0x51) {  // SIZ
      PutBE32(j, i + 6, w), PutBE32(j, i + 10, h);
      PutBE32(j, i + 14, 0), PutBE32(j, i + 18, 0);
      PutBE32(j, i + 22, w), PutBE32(j, i + 26, h);
      break;
    }
    if (j[i] == 'i' && j[i + 1] == 'h' && j[i + 2] == 'd' && j[i + 3] == 'r')
      PutBE32(j, i + 4, h), PutBE32(j, i + 8, w);
  }
  return j;
}

Bytes ClaimAvi(int32_t w, int32_t h, uint16_t bits, uint32_t compression, const std::string& frame) {
  std::string palette;
  if (bits <= 8)
    for (int i = 0; i < (1 << bits); ++i)
      palette += std::string{static_cast<char>(i), static_cast<char>(i), static_cast<char>(i), 0};
  const std::string avi = MakeAVI(w, h, bits, compression, palette, {{frame, true}});
  return Bytes(avi.begin(), avi.end());
}

// ---------------------------------------------------------------- TIFF pages
// Claims repeated on every page of a file, loaded by the I/O component (its
// first page, in the table below) and by the multi-image component (every
// page, in a test of its own).

// A little-endian TIFF of pages directories, each claiming w x h 8-bit grey
// pixels from one shared 16-byte strip.
Bytes ClaimTiffPages(int pages, uint32_t w, uint32_t h) {
  constexpr uint32_t kEntries = 9, kIFD = 2 + kEntries * 12 + 4, kStrip = 8;
  TLEBytes b;
  b.Str("II"), b.U16(42), b.U32(kStrip + 16);
  b.Raw(Bytes(16, 0x80));
  for (int p = 0; p < pages; ++p) {
    const uint32_t at = kStrip + 16 + static_cast<uint32_t>(p) * kIFD;
    b.U16(kEntries);
    const uint32_t e[kEntries][3] = {{256, 4, w},      {257, 4, h}, {258, 3, 8}, {259, 3, 1}, {262, 3, 1},
                                     {273, 4, kStrip}, {277, 3, 1}, {278, 4, h}, {279, 4, 16}};
    for (const auto& x : e) {
      b.U16(x[0]), b.U16(x[1]), b.U32(1);
      if (x[1] == 3) b.U16(x[2]), b.U16(0);
      else b.U32(x[2]);
    }
    b.U32(p + 1 < pages ? at + kIFD : 0);
  }
  return b.b;
}

using TMake = std::function<Bytes(uint32_t w, uint32_t h)>;

struct TClaim {
  const char* name;
  const char* ext;
  TMake make;
  uint32_t w, h;  // the claim
  // The same file at the control size (its data covers it) must load at
  // that size: the claim is refused for its size, not for a broken file.
  uint32_t controlW = 0, controlH = 0;
  // Why a row is switched off; empty when it runs.
  const char* disabled = "";
  // Set where the claim is within what the data can decode: it loads at
  // the claimed size, the rest filled.
  bool fills = false;
  // What a refusal reports: too large, unless the file is plainly broken.
  TPXIOResult kind = iorTooLarge;
};

struct TProbeResult {
  TProbeRun run;
  size_t bytes = 0;
  bool tempLeft = false;  // a temporary file was left behind
};

// Loads the file in the probe (more: its image index and "mio"), its
// temporary files going to an empty folder of its own that is looked at after.
TProbeResult Probe(const std::string& path, const Bytes& file, const std::string& more = "") {
  WriteFileBytes(path, file);
  TProbeResult r;
  r.bytes = file.size();
  const std::string tmp = MakeTempDir("smallclaims-tmp");
  setenv("TMPDIR", tmp.c_str(), 1);
  r.run = RunLoadProbe(std::to_string(kDataLimitMB) + " " + std::to_string(kCpuLimitS) + " " + ShellQuote(path) + more);
  unsetenv("TMPDIR");
  r.tempLeft = !std::filesystem::is_empty(tmp);
  std::filesystem::remove_all(tmp);
  return r;
}

// The worst processor time and peak of each format's rows.
using TWorst = std::map<std::string, std::pair<long, long>>;

// A probe run within the table's bounds; refused (kind != iorOk) means
// Aborting, that kind, the bitmap untouched and no temporary file left.
void CheckRun(const std::string& name, const TProbeResult& r, TPXIOResult kind, TWorst& worst,
              const std::string& format) {
  const TProbeRun& run = r.run;
  std::printf("%-30s %6zu %7ld %9ld aborting=%ld %ldx%ld result=%ld\n", name.c_str(), r.bytes, run.Value("cpu_ms"),
              run.Value("peak_kb"), run.Value("aborting"), run.Value("width"), run.Value("height"),
              run.Value("result"));
  ASSERT_TRUE(run.Exited && run.Status == 0) << name << ": ended by " << run.Status << "\n" << run.Output;
  auto& [cpu, peak] = worst[format];
  cpu = std::max(cpu, run.Value("cpu_ms")), peak = std::max(peak, run.Value("peak_kb"));
  EXPECT_EQ(run.Value("allocfail"), 0) << name << ": " << run.Output;
  // A sanitized probe runs slower and bigger: ten times the time, and its
  // peak (shadow memory included) under the whole data limit.
  const bool sanitized = run.Value("sanitized") == 1;
  EXPECT_LT(run.Value("cpu_ms"), kCpuBudgetMs * (sanitized ? 10 : 1)) << name << ": " << run.Output;
  EXPECT_LT(run.Value("peak_kb"), long{kDataLimitMB} * 1024 * (sanitized ? 4 : 3) / 4) << name << ": " << run.Output;
  EXPECT_FALSE(r.tempLeft) << name << ": a temporary file was left";
  if (kind == iorOk) return;
  EXPECT_EQ(run.Value("aborting"), 1) << name << ": " << run.Output;
  EXPECT_EQ(run.Value("result"), kind) << name << ": " << run.Output;
  EXPECT_EQ(run.Value("width"), 0) << name << ": " << run.Output;
  EXPECT_EQ(run.Value("height"), 0) << name << ": " << run.Output;
}

TEST(SmallFileClaims, RefusedQuicklyWithinBoundedMemory) {
  const std::string d = MakeTempDir("smallclaims");
  auto junk = [](size_t n) { return Bytes(n, 0x5A); };
  auto baseline = [](jpeg_compress_struct&) {};
  auto progressive = [](jpeg_compress_struct& ci) { jpeg_simple_progression(&ci); };
  auto arith = [](jpeg_compress_struct& ci) { ci.arith_code = TRUE; };
  auto arithProgressive = [](jpeg_compress_struct& ci) {
    ci.arith_code = TRUE;
    jpeg_simple_progression(&ci);
  };
  const Bytes jpegStrip = Jpeg(16, 16, baseline);
  // Runs of 255 pixels, a row end, runs, the bitmap end.
  const Bytes rle = {0xFF, 0x01, 0xFF, 0x02, 0x00, 0x00, 0xFF, 0x03, 0x00, 0x01};
  const Bytes pcxRuns = {0xFF, 0x11, 0xFF, 0x22, 0xFF, 0x33, 0xC1, 0x44, 0xFF, 0x55, 0xFF, 0x66};
  const Bytes tgaRuns = {0xFF, 0x01, 0xFF, 0x02, 0xFF, 0x03, 0xFF, 0x04, 0xFF, 0x05, 0xFF, 0x06};
  const std::string aviRle("\xFF\x01\x00\x00\xFF\x02\x00\x01", 8);
  auto jpeg = [](std::function<void(jpeg_compress_struct&)> t) {
    return [t](uint32_t w, uint32_t h) { return ClaimJpeg(Jpeg(16, 16, t), w, h); };
  };
  auto bmp = [&](uint16_t bits, uint32_t comp, Bytes data, bool topDown = false) {
    return [=](uint32_t w, uint32_t h) {
      return ClaimBmp(static_cast<int32_t>(w), topDown ? -static_cast<int32_t>(h) : static_cast<int32_t>(h), bits, comp,
                      data);
    };
  };
  auto png = [](uint8_t type, bool interlaced = false) {
    return [=](uint32_t w, uint32_t h) { return ClaimPng(w, h, type, interlaced); };
  };
  auto tiff = [](uint16_t comp, uint16_t bits, uint16_t samples, Bytes data, uint16_t photometric = 1) {
    return [=](uint32_t w, uint32_t h) { return ClaimTiff(w, h, comp, bits, samples, data, photometric); };
  };
  auto pcx = [](uint8_t bits, uint8_t planes, uint8_t enc, Bytes data) {
    return [=](uint32_t w, uint32_t h) { return ClaimPcx(w, h, bits, planes, enc, data); };
  };
  auto tga = [](uint8_t type, uint8_t bits, Bytes data) {
    return [=](uint32_t w, uint32_t h) {
      return ClaimTga(static_cast<uint16_t>(w), static_cast<uint16_t>(h), type, bits, data);
    };
  };
  auto text = [](std::string magic, std::string maxval, size_t n, std::string plain = "") {
    return [=](uint32_t w, uint32_t h) {
      return Text(magic + " " + std::to_string(w) + " " + std::to_string(h) + maxval + "\n" + plain, n);
    };
  };
  auto j2k = [&](const char* ext) { return [=](uint32_t w, uint32_t h) { return ClaimJpeg2000(d, ext, w, h); }; };
  auto avi = [](uint16_t bits, uint32_t comp, std::string frame) {
    return [=](uint32_t w, uint32_t h) {
      return ClaimAvi(static_cast<int32_t>(w), static_cast<int32_t>(h), bits, comp, frame);
    };
  };
  // frames run-length frames, each only an end-of-bitmap code.
  auto aviFrames = [](int frames) {
    return [=](uint32_t w, uint32_t h) {
      std::string palette;
      for (int i = 0; i < 16; ++i) palette += std::string{char(i * 17), char(i * 17), char(i * 17), 0};
      const std::string file =
          MakeAVI(static_cast<int32_t>(w), static_cast<int32_t>(h), 8, 1, palette,
                  std::vector<TAviFrame>(static_cast<size_t>(frames), {std::string("\x00\x01", 2), true}));
      return Bytes(file.begin(), file.end());
    };
  };
  auto ico = [](uint16_t type, uint16_t bits) {
    return
        [=](uint32_t w, uint32_t h) { return ClaimIco(type, static_cast<int32_t>(w), static_cast<int32_t>(h), bits); };
  };
  constexpr uint32_t kMax31 = 0x7FFFFFFF;
  auto wbmp = [](uint32_t w, uint32_t h) {
    Bytes b = {0, 0};
    for (uint32_t v : {w, h}) {
      for (int shift = 21; shift > 0; shift -= 7)
        if (v >> shift) b.push_back(static_cast<uint8_t>(0x80 | ((v >> shift) & 0x7F)));
      b.push_back(static_cast<uint8_t>(v & 0x7F));
    }
    b.insert(b.end(), 200, 0x55);
    return b;
  };

  const std::vector<TClaim> claims = {
      {"BMP 24-bit", "bmp", bmp(24, 0, junk(200)), kMax31, kMax31, 4, 4},
      {"BMP 24-bit 65535", "bmp", bmp(24, 0, junk(200)), 65535, 65535, 4, 4},
      {"BMP 1-bit top-down", "bmp", bmp(1, 0, junk(200), true), 65535, 65535, 4, 4},
      {"BMP RLE8", "bmp", bmp(8, 1, rle), 65535, 65535, 4, 4},
      {"BMP RLE4", "bmp", bmp(4, 2, rle), 65535, 65535, 4, 4},
      {"BMP bit fields", "bmp", bmp(16, 3, junk(200)), 65535, 65535, 4, 4},
      {"BMP OS/2", "bmp", [&](uint32_t w, uint32_t h) { return ClaimOs2Bmp(w, h, junk(200)); }, 65535, 65535, 4, 4},
      {"JPEG baseline", "jpg", jpeg(baseline), 65535, 65535, 16, 16},
      {"JPEG progressive", "jpg", jpeg(progressive), 65535, 65535, 16, 16},
      {"JPEG arithmetic", "jpg", jpeg(arith), 65535, 65535, 16, 16},
      {"JPEG arithmetic progressive", "jpg", jpeg(arithProgressive), 65535, 65535, 16, 16},
      {"JPEG arithmetic 8000", "jpg", jpeg(arith), 8000, 8000, 16, 16},
      {"JPEG arithmetic 4096", "jpg", jpeg(arith), 4096, 4096, 0, 0, "", true},
      {"JPEG baseline 600", "jpg", jpeg(baseline), 600, 600, 0, 0, "", true},
      {"BMP RLE8 100", "bmp", bmp(8, 1, rle), 100, 100, 0, 0, "", true},
      {"PNG grey", "png", png(0), kMax31, kMax31, 16, 16},
      {"PNG RGB", "png", png(2), 1000000, 1000000, 16, 16},
      {"PNG palette", "png", png(3), 1000000, 1000000, 16, 16},
      {"PNG RGBA interlaced", "png", png(6, true), 1000000, 1000000, 16, 16},
      {"GIF", "gif", [](uint32_t w, uint32_t h) { return ClaimGif(w, h); }, 65535, 65535, 2, 2},
      {"GIF interlaced", "gif", [](uint32_t w, uint32_t h) { return ClaimGif(w, h, true); }, 65535, 65535, 2, 2},
      {"TIFF none", "tif", tiff(1, 8, 1, junk(200)), 65535, 65535, 4, 4},
      {"TIFF none RGB", "tif", tiff(1, 8, 3, junk(200), 2), kMax31, kMax31, 4, 4},
      {"TIFF CCITT MH", "tif", tiff(2, 1, 1, junk(200), 0), 65535, 65535},
      {"TIFF Group 3", "tif", tiff(3, 1, 1, junk(200), 0), 65535, 65535},
      {"TIFF Group 4", "tif", tiff(4, 1, 1, junk(200), 0), 65535, 65535},
      {"TIFF LZW", "tif", tiff(5, 8, 1, junk(200)), 65535, 65535},
      {"TIFF old JPEG", "tif", tiff(6, 8, 3, jpegStrip, 6), 65535, 65535},
      {"TIFF JPEG", "tif", tiff(7, 8, 3, jpegStrip, 6), 65535, 65535, 16, 16},
      {"TIFF Deflate", "tif", tiff(8, 8, 1, junk(200)), 65535, 65535},
      {"TIFF PackBits", "tif", tiff(32773, 8, 1, {0x81, 0, 0x81, 0, 0x81, 0}), 65535, 65535, 100, 3},
      {"PCX 8-bit", "pcx", pcx(8, 1, 1, pcxRuns), 65535, 65535, 4, 4},
      {"PCX 24-bit", "pcx", pcx(8, 3, 1, pcxRuns), 65535, 65535, 4, 4},
      {"PCX 1-bit", "pcx", pcx(1, 1, 1, pcxRuns), 65535, 65535, 4, 4},
      {"PCX 4-bit planes", "pcx", pcx(1, 4, 1, pcxRuns), 65535, 65535, 4, 4},
      {"PCX raw", "pcx", pcx(8, 1, 0, junk(200)), 65535, 65535, 4, 4},
      {"DCX", "dcx", [&](uint32_t w, uint32_t h) { return Dcx(ClaimPcx(w, h, 8, 1, 1, pcxRuns)); }, 65535, 65535, 4, 4},
      {"TGA true colour", "tga", tga(2, 24, junk(200)), 65535, 65535, 4, 4},
      {"TGA RLE true colour", "tga", tga(10, 24, tgaRuns), 65535, 65535, 4, 4},
      {"TGA RLE mapped", "tga", tga(9, 8, tgaRuns), 65535, 65535, 4, 4},
      {"TGA RLE grey", "tga", tga(11, 8, tgaRuns), 65535, 65535, 4, 4},
      // An image header beyond what an icon holds gives way to the
      // directory's 256 x 256, whose rows the data then fall short of.
      {"ICO", "ico", ico(1, 8), kMax31, 0x3FFFFFFF, 4, 4, "", false, iorCorrupt},
      {"ICO 65535", "ico", ico(1, 32), 65535, 32767, 4, 4, "", false, iorCorrupt},
      {"ICO PNG", "ico", [](uint32_t w, uint32_t h) { return ClaimIco(1, 0, 0, 32, ClaimPng(w, h, 6)); }, 1000000,
       1000000, 16, 16},
      {"CUR", "cur", ico(2, 1), 65535, 32767, 4, 4, "", false, iorCorrupt},
      {"PPM raw", "ppm", text("P6", " 255", 200), kMax31, kMax31, 4, 4},
      {"PGM raw 16-bit", "pgm", text("P5", " 65535", 200), 65535, 65535, 4, 4},
      {"PBM raw", "pbm", text("P4", "", 200), kMax31, kMax31, 4, 4},
      {"PPM plain", "ppm", text("P3", " 255", 0, "1 2 3 4 5 6\n"), 65535, 65535, 2, 1},
      {"PBM plain", "pbm", text("P1", "", 0, "0 1 0 1\n"), 65535, 65535, 2, 2},
      {"WBMP", "wbmp", wbmp, 0x0FFFFFFF, 0x0FFFFFFF, 4, 4},
      {"JPEG 2000 codestream", "j2k", j2k("j2k"), kMax31, kMax31, 8, 8},
      {"JPEG 2000 codestream 65535", "j2k", j2k("j2k"), 65535, 65535, 8, 8},
      {"JP2", "jp2", j2k("jp2"), 65535, 65535, 8, 8},
      {"AVI uncompressed", "avi", avi(24, 0, std::string(200, 'x')), 65535, 65535, 4, 4},
      {"AVI RLE8", "avi", avi(8, 1, aviRle), 65535, 65535, 4, 4},
      {"AVI RLE4", "avi", avi(4, 2, aviRle), 65535, 65535, 4, 4},
      {"AVI RLE8 2^31", "avi", avi(8, 1, std::string("\x00\x01", 2)), kMax31, kMax31, 4, 4},
      // Claims of the icon, cursor, PCX, TGA, BMP and AVI readers held against
      // their data at the default budget: an icon directory of 256 x 256
      // whose image header claims 65535 x 65535, and AVI files whose frames
      // (each an end-of-bitmap code) all claim the largest frame, or one
      // below half this machine's memory that only the data bound refuses.
      {"ICO 256 dir 65535 header", "ico", ico(1, 32), 65535, 65535, 4, 4, "", false, iorCorrupt},
      {"AVI 40 frames 65535", "avi", aviFrames(40), 65535, 65535, 4, 4},
      {"AVI 40 frames 30000", "avi", aviFrames(40), 30000, 30000, 4, 4},
      // TIFF pages: eight pages, each claiming the size.
      {"TIFF 8 pages 65535", "tif", [](uint32_t w, uint32_t h) { return ClaimTiffPages(8, w, h); }, 65535, 65535, 4, 4},
  };

  std::printf("%-30s %6s %7s %9s %s\n", "claim", "bytes", "cpu ms", "peak KB", "result");
  TWorst worst;
  // The probe fixes its memory budget (tests/probe/load_probe.cpp), so the
  // rows meet the same budget however much memory other processes hold.
  for (size_t i = 0; i < claims.size(); ++i) {
    const TClaim& c = claims[i];
    if (!testing::FormatBuilt(std::string(c.ext))) continue;
    if (*c.disabled) {
      std::printf("%-30s disabled: %s\n", c.name, c.disabled);
      continue;
    }
    const std::string path = d + "/" + std::to_string(i) + "." + c.ext;
    if (c.controlW) {
      const TProbeResult r = Probe(path, c.make(c.controlW, c.controlH));
      EXPECT_TRUE(r.run.Exited && r.run.Status == 0 && r.run.Value("aborting") == 0 &&
                  r.run.Value("width") == c.controlW && r.run.Value("height") == c.controlH)
          << c.name << " control " << c.controlW << "x" << c.controlH << ": " << r.run.Output;
    }
    const Bytes file = c.make(c.w, c.h);
    ASSERT_FALSE(file.empty()) << c.name;
    ASSERT_LE(file.size(), 1500u) << c.name;
    const TProbeResult r = Probe(path, file);
    CheckRun(c.name, r, c.fills ? iorOk : c.kind, worst, c.ext);
    if (c.fills) {
      EXPECT_EQ(r.run.Value("aborting"), 0) << c.name << ": " << r.run.Output;
      EXPECT_EQ(r.run.Value("width"), c.w) << c.name;
      EXPECT_EQ(r.run.Value("height"), c.h) << c.name;
    }
  }

  // ---- Claims bounded by the whole file: animations, WBMP and tile grids.
  // A GIF animation's logical screen (its composition canvas), loaded as
  // its first and last frame and through the multi-image component; WBMP
  // claims held against their rows before the bitmap is had; a JPEG 2000
  // code stream, built marker by marker, of thousands of tiles. Each is
  // refused: the bitmap stays empty and no temporary file is left.
  {
    // Screen w x h, frames fw x fh frames of one LZW code each.
    auto animation = [](uint16_t w, uint16_t h, int frames, uint16_t fw = 1, uint16_t fh = 1) {
      TLEBytes b;
      b.Str("GIF89a");
      b.U16(w), b.U16(h), b.U8(0x80), b.U8(0), b.U8(0);
      b.Raw({0, 0, 0, 255, 255, 255});
      for (int i = 0; i < frames; ++i) {
        b.U8(0x2C), b.U16(i % 50), b.U16(i % 40), b.U16(fw), b.U16(fh), b.U8(0);
        b.Raw({2, 2, 0x4C, 0x01, 0});
      }
      b.U8(0x3B);
      return b.b;
    };
    // SOC, SIZ, COD, QCD, one empty tile-part and EOC: eight 8-bit
    // components of w x h in tiles of tw x th.
    auto tiles = [](uint32_t w, uint32_t h, uint32_t tw, uint32_t th) {
      constexpr uint8_t kComponents = 8;
      Bytes j = {0xFF, 0x4F, 0xFF, 0x51, 0, 38 + 3 * kComponents, 0, 0};
      for (uint32_t v : {w, h, 0u, 0u, tw, th, 0u, 0u}) AppendBE32(j, v);
      j.insert(j.end(), {0, kComponents});
      for (int c = 0; c < kComponents; ++c) j.insert(j.end(), {7, 1, 1});
      j.insert(j.end(), {0xFF, 0x52, 0, 12, 0, 0, 0, 1, 0, 5, 4, 4, 0, 1});
      j.insert(j.end(), {0xFF, 0x5C, 0, 19, 0x40});
      j.insert(j.end(), 16, 0x48);
      j.insert(j.end(), {0xFF, 0x90, 0, 10, 0, 0, 0, 0, 0, 14, 0, 1, 0xFF, 0x93, 0xFF, 0xD9});
      return j;
    };
    struct TWholeFileClaim {
      const char* name;
      const char* ext;
      Bytes file;
      const char* index;  // "" for the component's default
      bool mio;
    };
    const Bytes two = animation(32768, 20000, 2), hundred = animation(32768, 20000, 100);
    // A wide screen of three rows whose frames are tall and narrow: each
    // passes alone, but the canvas takes the screen's width and their height.
    const Bytes crossed = animation(65029, 3, 2, 6, 9731);
    const std::vector<TWholeFileClaim> rows = {
        {"GIF screen, 2 frames, first", "gif", two, "0", false},
        {"GIF screen, 2 frames, last", "gif", two, "1", false},
        {"GIF screen, 2 frames, MIO", "gif", two, "", true},
        {"GIF screen, 100 frames, first", "gif", hundred, "0", false},
        {"GIF screen, 100 frames, last", "gif", hundred, "99", false},
        {"GIF screen, 100 frames, MIO", "gif", hundred, "", true},
        {"GIF wide screen, tall frames", "gif", crossed, "1", false},
        {"GIF wide screen, tall frames, MIO", "gif", crossed, "", true},
        {"WBMP 1048576", "wbmp", wbmp(1048576, 1048576), "", false},
        {"WBMP 65535", "wbmp", wbmp(65535, 65535), "", false},
        {"JPEG 2000 13799 tiles", "j2k", tiles(203, 2097304, 203, 152), "", false},
        {"JPEG 2000 a million tiles", "j2k", tiles(65535, 65535, 64, 64), "", false},
    };
    // A screen the frames' data could describe is still composed.
    const TProbeResult control = Probe(d + "/control.gif", animation(300, 200, 2));
    EXPECT_TRUE(control.run.Exited && control.run.Status == 0 && control.run.Value("aborting") == 0 &&
                control.run.Value("width") == 300 && control.run.Value("height") == 200)
        << control.run.Output;
    for (size_t i = 0; i < rows.size(); ++i) {
      const TWholeFileClaim& c = rows[i];
      if (!testing::FormatBuilt(std::string(c.ext))) continue;
      ASSERT_LE(c.file.size(), 2048u) << c.name;
      std::string more;
      if (*c.index || c.mio) more += std::string(" ") + (*c.index ? c.index : "0");
      if (c.mio) more += " mio";
      CheckRun(c.name, Probe(d + "/whole" + std::to_string(i) + "." + c.ext, c.file, more), iorTooLarge, worst, c.ext);
    }
  }
  std::printf("worst per format:\n");
  for (const auto& [format, figures] : worst)
    std::printf("  %-6s %7ld ms %9ld KB\n", format.c_str(), figures.first, figures.second);
  // ---- End of the claims bounded by the whole file.
}

// ---------------------------------------------------------------- TIFF pages (continued)

// A figure of /proc/self/status in kB ("VmHWM", ...).
long StatusKB(const char* key) {
  FILE* f = std::fopen("/proc/self/status", "r");
  if (!f) return -1;
  char line[256];
  long v = -1;
  const size_t n = std::strlen(key);
  while (std::fgets(line, sizeof line, f))
    if (std::strncmp(line, key, n) == 0 && line[n] == ':') v = std::atol(line + n + 1);
  std::fclose(f);
  return v;
}

// Loads the file through the multi-image component in a child process under
// the table's limits (data: what the process holds plus kDataLimitMB;
// processor: kCpuLimitS) and reads its figures: "aborting images cpu_ms
// peak_kb", the peak being the resident growth.
TProbeRun LoadPagesInChild(const std::string& path) {
  TProbeRun run;
  int fds[2];
  if (pipe(fds) != 0) return run;
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    if (!kSanitized) {
      const rlim_t data = static_cast<rlim_t>(StatusKB("VmData") + kDataLimitMB * 1024L) * 1024;
      const rlimit limit{data, data};
      setrlimit(RLIMIT_DATA, &limit);
    }
    const rlim_t cpu = kCpuLimitS * (kSanitized ? 10 : 1);
    const rlimit cpuLimit{cpu, cpu};
    setrlimit(RLIMIT_CPU, &cpuLimit);
    const long rss = StatusKB("VmRSS");
    rusage start{}, end{};
    getrusage(RUSAGE_SELF, &start);
    TPixoranMIO mio;
    auto view = std::make_unique<TSizesView>();
    TSizesView* v = view.get();
    mio.SetAttachedMView(std::move(view));
    try {
      mio.LoadFromFile(path);
    } catch (...) {
      _exit(3);
    }
    getrusage(RUSAGE_SELF, &end);
    auto ms = [](const rusage& u) {
      return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000L + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000L;
    };
    bool whole = true;
    for (const auto& [w, h] : v->Sizes) whole = whole && w > 0 && h > 0;
    const std::string out = "aborting=" + std::to_string(mio.Aborting() ? 1 : 0) +
                            " images=" + std::to_string(v->Sizes.size()) + " whole=" + std::to_string(whole ? 1 : 0) +
                            " cpu_ms=" + std::to_string(ms(end) - ms(start)) +
                            " peak_kb=" + std::to_string(StatusKB("VmHWM") - rss) + "\n";
    const ssize_t wrote = write(fds[1], out.data(), out.size());
    _exit(wrote == static_cast<ssize_t>(out.size()) ? 0 : 4);
  }
  close(fds[1]);
  char buf[512];
  ssize_t n;
  while ((n = read(fds[0], buf, sizeof buf)) > 0) run.Output.append(buf, static_cast<size_t>(n));
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  run.Exited = WIFEXITED(status);
  run.Status = run.Exited ? WEXITSTATUS(status) : WTERMSIG(status);
  std::istringstream in(run.Output);
  std::string field;
  while (in >> field)
    if (const size_t eq = field.find('='); eq != std::string::npos)
      run.Values[field.substr(0, eq)] = std::atol(field.c_str() + eq + 1);
  return run;
}

// The pages of a TIFF, each claiming 65535 x 65535 from the same few bytes,
// loaded by the multi-image component: refused at the first page within the
// table's bounds, no image left in the view; the same file at 4 x 4 loads
// every page.
TEST(SmallFileClaims, TIFFPagesThroughTheMultiImageComponent) {
  const std::string d = MakeTempDir("smallclaims-pages");
  const std::string path = d + "/pages.tif";
  WriteFileBytes(path, ClaimTiffPages(8, 4, 4));
  const TProbeRun control = LoadPagesInChild(path);
  ASSERT_TRUE(control.Exited && control.Status == 0) << control.Output;
  EXPECT_EQ(control.Value("aborting"), 0) << control.Output;
  EXPECT_EQ(control.Value("images"), 8) << control.Output;
  EXPECT_EQ(control.Value("whole"), 1) << control.Output;

  WriteFileBytes(path, ClaimTiffPages(8, 65535, 65535));
  const TProbeRun run = LoadPagesInChild(path);
  std::printf("%-28s %7ld %9ld aborting=%ld images=%ld\n", "TIFF 8 pages 65535 (MIO)", run.Value("cpu_ms"),
              run.Value("peak_kb"), run.Value("aborting"), run.Value("images"));
  ASSERT_TRUE(run.Exited && run.Status == 0) << "ended by " << run.Status << "\n" << run.Output;
  EXPECT_EQ(run.Value("aborting"), 1);
  EXPECT_EQ(run.Value("images"), 0);
  EXPECT_LT(run.Value("cpu_ms"), kCpuBudgetMs * (kSanitized ? 10 : 1));
  EXPECT_LT(run.Value("peak_kb"), long{kDataLimitMB} * 1024 * 3 / 4);
}

}  // namespace
}  // namespace pixoran
