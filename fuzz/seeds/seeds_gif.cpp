// Seeds of the GIF fuzz target: one-frame files from our writer at every
// depth, interlaced, transparent and with comments, and files built by hand
// for what the writer does not make (87a, several frames with local tables
// and disposal methods, a frame without any colour table).
#include <atomic>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "fuzz/seeds/seeds_common.h"
#include "core/kopxutils_bitmap.h"
#include "io/formats/gif/giffilter.h"
#include "io/formats/gif/giflzw.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace {

using namespace pixoran;
using namespace pixoran::fuzzseeds;

std::vector<uint8_t> Written(TPXBitmap& bitmap, int32_t bits, bool interlaced, std::vector<std::string> comments) {
  TIOParamsVals params;
  params.BitsPerSample = bits;
  params.GIFInterlaced = interlaced;
  params.GIFComments = std::move(comments);
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream out;
  WriteGIFStream(out, bitmap, params, progress);
  return aborting ? std::vector<uint8_t>{} : out.Bytes();
}

// Header, optional global table of 4 entries, then blocks.
struct TBytes {
  std::vector<uint8_t> b;
  void U8(int v) { b.push_back(static_cast<uint8_t>(v)); }
  void U16(int v) { U8(v), U8(v >> 8); }
  void Header(const char* version, int w, int h, bool global) {
    b.insert(b.end(), version, version + 6);
    U16(w), U16(h), U8(global ? 0x81 : 0x01), U8(1), U8(0);
    if (global)
      for (int v : {0, 0, 0, 255, 0, 0, 0, 255, 0, 255, 255, 255}) U8(v);
  }
  void Control(int disposal, bool transparent, int index) {
    for (int v : {0x21, 0xF9, 4, (disposal << 2) | (transparent ? 1 : 0), 5, 0, index, 0}) U8(v);
  }
  void Frame(int x, int y, int w, int h, bool local, bool interlaced) {
    U8(0x2C), U16(x), U16(y), U16(w), U16(h), U8((local ? 0x81 : 0) | (interlaced ? 0x40 : 0));
    if (local)
      for (int v : {10, 20, 30, 200, 100, 50, 0, 0, 0, 255, 255, 255}) U8(v);
    std::vector<uint8_t> idx(static_cast<size_t>(w) * h);
    for (size_t i = 0; i < idx.size(); ++i) idx[i] = static_cast<uint8_t>((i / 3 + i % 7) & 3);
    TMemoryStream s;
    GIFLZWCompress(s, h, w, interlaced, idx.data(), 2);
    b.insert(b.end(), s.Bytes().begin(), s.Bytes().end());
  }
};

bool WriteGifSeeds(const std::string& folder) {
  bool ok = true;
  auto save = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
    ok = !bytes.empty() && SaveSeed(folder + "/" + name, bytes) && ok;
  };
  TPXBitmap rgb;
  if (!rgb.Allocate(19, 11, pxBGR24)) return false;
  for (int32_t y = 0; y < 11; ++y) {
    uint8_t* row = rgb.Scanline(y);
    for (int32_t x = 0; x < 19 * 3; ++x) row[x] = static_cast<uint8_t>((x * 37 + y * 11) & 0xF0);
  }
  for (int32_t bits : {1, 2, 4, 8})
    save("rgb_" + std::to_string(bits) + "bit.gif", Written(rgb, bits, bits == 4, {"seed", std::string(300, 'x')}));
  TPXBitmap* alpha = rgb.GetAlphaChannel();
  for (int32_t y = 0; y < 11; ++y) alpha->Scanline(y)[y] = 0;
  save("rgb_transparent.gif", Written(rgb, 5, false, {}));
  save("rgb_transparent_1bit.gif", Written(rgb, 1, true, {}));

  TBytes anim;
  anim.Header("GIF89a", 12, 8, true);
  anim.Control(1, false, 0);
  anim.Frame(0, 0, 12, 8, false, false);
  anim.Control(2, true, 3);
  anim.Frame(3, 2, 5, 4, true, true);
  anim.Control(3, false, 0);
  anim.Frame(8, 5, 4, 3, false, false);
  anim.U8(0x3B);
  save("animation.gif", anim.b);

  TBytes old;
  old.Header("GIF87a", 6, 3, false);
  old.Frame(0, 0, 6, 3, false, false);
  old.U8(0x3B);
  save("gif87a_no_table.gif", old.b);
  return ok;
}

const bool registered = RegisterSeedWriter("gif", &WriteGifSeeds);

}  // namespace
