// Seeds of the TIFF fuzz target: small pages built by hand in both byte
// orders, with every compression the reader decodes (the data from our own
// LZW, CCITT and JPEG encoders, zlib and PackBits), strips, tiles, separate
// planes, alpha, palettes, 16-bit and CMYK samples, two pages and an
// orientation.
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/seeds/seeds_common.h"
#include "core/kopxutils_bitmap.h"
#include "io/formats/jpeg/jpegfilt.h"
#include "io/pixoranio_params.h"
#include "io/pxexif.h"
#include "io/pxmetadata.h"
#include "core/pxprogress.h"
#include "io/formats/tiff/tifccitt.h"
#include "io/formats/tiff/tiffilt.h"
#include "io/formats/tiff/tiflzw.h"
#include "platform/streams.h"

namespace {

using namespace pixoran;
using Bytes = std::vector<uint8_t>;

using namespace pixoran::fuzzseeds;

// A page: its tags (SHORT or LONG values) and its blocks (strips or tiles).
struct TPageSpec {
  std::vector<std::pair<uint16_t, std::vector<uint32_t>>> tags;
  std::vector<Bytes> blocks;
  bool tiled = false;
  void Tag(uint16_t tag, std::vector<uint32_t> values) { tags.push_back({tag, std::move(values)}); }
};

struct TWriter {
  bool big = false;
  Bytes f;
  void P16(uint32_t v) {
    if (big) f.push_back(static_cast<uint8_t>(v >> 8)), f.push_back(static_cast<uint8_t>(v));
    else f.push_back(static_cast<uint8_t>(v)), f.push_back(static_cast<uint8_t>(v >> 8));
  }
  void P32(uint32_t v) {
    if (big) P16(v >> 16), P16(v & 0xFFFF);
    else P16(v & 0xFFFF), P16(v >> 16);
  }
  void Set32(size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) f[at + i] = static_cast<uint8_t>(big ? v >> (24 - 8 * i) : v >> (8 * i));
  }
};

Bytes BuildTiff(const std::vector<TPageSpec>& pages, bool big) {
  TWriter w;
  w.big = big;
  w.f = big ? Bytes{'M', 'M', 0, 42} : Bytes{'I', 'I', 42, 0};
  size_t link = w.f.size();
  w.P32(0);
  for (const auto& page : pages) {
    std::vector<uint32_t> offsets, counts;
    for (const auto& b : page.blocks) {
      offsets.push_back(static_cast<uint32_t>(w.f.size()));
      counts.push_back(static_cast<uint32_t>(b.size()));
      w.f.insert(w.f.end(), b.begin(), b.end());
      if (w.f.size() & 1) w.f.push_back(0);
    }
    auto tags = page.tags;
    tags.push_back({static_cast<uint16_t>(page.tiled ? 324 : 273), offsets});
    tags.push_back({static_cast<uint16_t>(page.tiled ? 325 : 279), counts});
    std::sort(tags.begin(), tags.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    // Values that do not fit an entry go before the directory.
    std::vector<uint32_t> valueAt(tags.size(), 0);
    for (size_t i = 0; i < tags.size(); ++i) {
      const bool isShort = tags[i].first != 273 && tags[i].first != 279 && tags[i].first != 324 &&
                           tags[i].first != 325 && tags[i].first != 256 && tags[i].first != 257;
      const size_t bytes = tags[i].second.size() * (isShort ? 2 : 4);
      if (bytes > 4) {
        valueAt[i] = static_cast<uint32_t>(w.f.size());
        for (uint32_t v : tags[i].second) isShort ? w.P16(v) : w.P32(v);
      }
    }
    w.Set32(link, static_cast<uint32_t>(w.f.size()));
    w.P16(static_cast<uint32_t>(tags.size()));
    for (size_t i = 0; i < tags.size(); ++i) {
      const auto& [tag, values] = tags[i];
      const bool isShort = tag != 273 && tag != 279 && tag != 324 && tag != 325 && tag != 256 && tag != 257;
      w.P16(tag), w.P16(isShort ? 3 : 4), w.P32(static_cast<uint32_t>(values.size()));
      if (valueAt[i]) {
        w.P32(valueAt[i]);
      } else if (isShort) {
        w.P16(values.empty() ? 0 : values[0]), w.P16(values.size() > 1 ? values[1] : 0);
      } else {
        w.P32(values.empty() ? 0 : values[0]);
      }
    }
    link = w.f.size();
    w.P32(0);
  }
  return w.f;
}

TPageSpec Page(uint32_t width, uint32_t height, uint32_t spp, uint32_t bits, uint32_t photometric,
               uint32_t compression) {
  TPageSpec p;
  p.Tag(256, {width});
  p.Tag(257, {height});
  p.Tag(258, std::vector<uint32_t>(spp, bits));
  p.Tag(259, {compression});
  p.Tag(262, {photometric});
  p.Tag(277, {spp});
  p.Tag(278, {height});
  return p;
}

Bytes Pattern(size_t n, uint32_t seed) {
  Bytes b(n);
  for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>((i * 7 + seed * 13 + (i / 17) * 5) & 0xFF);
  return b;
}

Bytes Lzw(const Bytes& raw) {
  TMemoryStream ms;
  TTIFFLZWState* state = nullptr;
  TIFFLZWCompress(raw.data(), static_cast<int32_t>(raw.size()), ms, state);
  TIFFLZWCompress(nullptr, 0, ms, state);
  return ms.Bytes();
}

Bytes Deflate(const Bytes& raw) {
  uLongf n = compressBound(static_cast<uLong>(raw.size()));
  Bytes out(n);
  compress(out.data(), &n, raw.data(), static_cast<uLong>(raw.size()));
  out.resize(n);
  return out;
}

Bytes PackBits(const Bytes& raw) {
  Bytes out;
  for (size_t i = 0; i < raw.size();) {
    size_t run = 1;
    while (i + run < raw.size() && raw[i + run] == raw[i] && run < 128) ++run;
    if (run > 1) {
      out.push_back(static_cast<uint8_t>(257 - run)), out.push_back(raw[i]);
    } else {
      out.push_back(0), out.push_back(raw[i]);
    }
    i += run;
  }
  return out;
}

// Horizontal differences of 8-bit samples, stride samples apart.
Bytes Differenced(Bytes raw, size_t rowBytes, size_t stride) {
  for (size_t r = 0; r < raw.size(); r += rowBytes)
    for (size_t i = rowBytes; i-- > stride;) raw[r + i] = static_cast<uint8_t>(raw[r + i] - raw[r + i - stride]);
  return raw;
}

Bytes Fax(TCCITTScheme scheme, int32_t w, int32_t h) {
  std::vector<Bytes> rows(h, Bytes((w + 7) / 8));
  for (int32_t y = 0; y < h; ++y)
    for (int32_t x = 0; x < w; ++x)
      if (((x / (1 + y % 5)) + y) % 3 == 0) rows[y][x >> 3] |= 0x80 >> (x & 7);
  Bytes out;
  EncodeCCITTPage(
      scheme, w, h, [&](int32_t y) { return rows[y].data(); }, false, out);
  return out;
}

Bytes Jpeg(int32_t w, int32_t h) {
  TPXBitmap b;
  if (!b.Allocate(w, h, pxBGR24)) return {};
  for (int32_t y = 0; y < h; ++y) {
    const Bytes row = Pattern(static_cast<size_t>(w) * 3, y);
    std::copy(row.begin(), row.end(), b.Scanline(y));
  }
  TIOParamsVals params;
  params.JPEGQuality = 50;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream ms;
  try {
    WriteJPEGStream(ms, b, params, progress);
  } catch (...) {
    return {};
  }
  return ms.Bytes();
}

// A page written by our writer with every kind of annotation mark, an ICC
// profile, IPTC datasets and the EXIF group.
Bytes MetadataPage() {
  TPXBitmap b;
  if (!b.Allocate(9, 5, pxBGR24)) return {};
  for (int y = 0; y < 5; ++y)
    for (int x = 0; x < 27; ++x) b.Scanline(y)[x] = static_cast<uint8_t>(x * 9 + y * 30);
  TIOParamsVals params;
  TPXImagingAnnot& annot = *params.ImagingAnnot;
  for (int type : {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 12}) {
    TPXImagingObject* o = annot.AddObject();
    o->SetMarkType(type);
    o->SetAttrInt(48, -13);
    if (type == 1) {
      o->Image = std::make_unique<TPXBitmap>();
      o->Image->Allocate(3, 2, pxBGR24);
    }
    if (type == 3 || type == 4) o->Points = {{1, 2}, {30, 40}, {5, 6}};
    if (type >= 7 && type <= 10) o->Text = "note " + std::to_string(type);
    if (type == 2 || type == 12) o->OtherBlocks.push_back({"OiFilNam", {'a', '.', 't', 'i', 'f', 0}});
  }
  Bytes icc(200);
  for (size_t i = 0; i < icc.size(); ++i) icc[i] = static_cast<uint8_t>(i);
  params.InputICC->LoadFromBuffer(icc.data(), static_cast<int64_t>(icc.size()));
  params.IPTCInfo->AddData(2, 120, 5, "title");
  params.HasEXIFData = 1;
  params.EXIFMake = "Seed";
  params.EXIFFNumber = 4;
  params.TIFFCompression = 8;
  TMemoryStream ms;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  WriteTIFFStream(ms, false, &b, progress, params);
  return aborting ? Bytes{} : ms.Bytes();
}

// The TIFF structure of an EXIF block: tags only, then a thumbnail
// directory holding a JPEG without size tags.
Bytes ExifStructure() {
  TIOParamsVals params;
  params.HasEXIFData = 1;
  params.EXIFModel = "Seed";
  params.EXIFThumbnail = std::make_unique<TPXBitmap>();
  params.EXIFThumbnail->Allocate(8, 8, pxBGR24);
  Bytes segment;
  if (!SaveEXIFToAPP1(params, segment) || segment.size() < 6) return {};
  return Bytes(segment.begin() + 6, segment.end());
}

bool WriteTiffSeeds(const std::string& folder) {
  bool ok = true;
  auto save = [&](const std::string& name, const std::vector<TPageSpec>& pages) {
    ok = SaveSeed(folder + "/" + name + "_le.tif", BuildTiff(pages, false)) && ok;
    ok = SaveSeed(folder + "/" + name + "_be.tif", BuildTiff(pages, true)) && ok;
  };
  const uint32_t w = 13, h = 6;

  TPageSpec grey = Page(w, h, 1, 8, 1, 1);
  grey.blocks = {Pattern(w * h, 1)};
  grey.Tag(274, {6});
  save("grey8_orient6", {grey});

  TPageSpec rgbLzw = Page(w, h, 3, 8, 2, 5);
  rgbLzw.Tag(317, {2});
  rgbLzw.blocks = {Lzw(Differenced(Pattern(w * h * 3, 2), w * 3, 3))};
  save("rgb8_lzw_pred2", {rgbLzw});

  TPageSpec rgbZip = Page(w, h, 3, 8, 2, 8);
  rgbZip.blocks = {Deflate(Pattern(w * h * 3, 3))};
  TPageSpec rgbPack = Page(w, h, 3, 8, 2, 32773);
  rgbPack.blocks = {PackBits(Pattern(w * h * 3, 4))};
  save("two_pages_zip_packbits", {rgbZip, rgbPack});

  TPageSpec rgba = Page(w, h, 4, 8, 2, 1);
  rgba.Tag(338, {2});
  rgba.blocks = {Pattern(w * h * 4, 5)};
  save("rgba8", {rgba});

  TPageSpec pal = Page(w, h, 1, 4, 3, 1);
  std::vector<uint32_t> map(3 * 16);
  for (size_t i = 0; i < map.size(); ++i) map[i] = static_cast<uint32_t>(i * 1300);
  pal.Tag(320, map);
  pal.blocks = {Pattern((w + 1) / 2 * h, 6)};
  save("palette4", {pal});

  const uint32_t fw = 100, fh = 12;
  TPageSpec g4 = Page(fw, fh, 1, 1, 0, 4);
  g4.blocks = {Fax(TCCITTScheme::G4, fw, fh)};
  TPageSpec g3 = Page(fw, fh, 1, 1, 0, 3);
  g3.Tag(292, {1});
  g3.blocks = {Fax(TCCITTScheme::G3_2D, fw, fh)};
  save("g4_g3", {g4, g3});
  TPageSpec mh = Page(fw, 1, 1, 1, 1, 2);
  mh.blocks = {Fax(TCCITTScheme::MH, fw, 1)};
  save("mh_blackiszero", {mh});

  TPageSpec g16 = Page(w, h, 1, 16, 1, 1);
  g16.blocks = {Pattern(w * h * 2, 7)};
  TPageSpec cmyk = Page(w, h, 4, 8, 5, 1);
  cmyk.blocks = {Pattern(w * h * 4, 8)};
  save("grey16_cmyk", {g16, cmyk});

  TPageSpec tiled = Page(20, 20, 3, 8, 2, 5);
  tiled.tiled = true;
  tiled.Tag(322, {16});
  tiled.Tag(323, {16});
  for (int t = 0; t < 4; ++t) tiled.blocks.push_back(Lzw(Pattern(16 * 16 * 3, 10 + t)));
  save("rgb8_tiled_lzw", {tiled});

  TPageSpec planes = Page(w, h, 3, 8, 2, 1);
  planes.Tag(284, {2});
  for (int p = 0; p < 3; ++p) planes.blocks.push_back(Pattern(w * h, 20 + p));
  save("rgb8_separate", {planes});

  TPageSpec jpeg = Page(16, 16, 3, 8, 6, 7);
  jpeg.blocks = {Jpeg(16, 16)};
  save("jpeg_strip", {jpeg});

  ok = SaveSeed(folder + "/annotations_icc_iptc_exif.tif", MetadataPage()) && ok;
  Bytes exif = ExifStructure();
  // The last byte picks page 1 with pages without size allowed.
  exif.push_back(0x11);
  ok = SaveSeed(folder + "/exif_thumbnail.tif", exif) && ok;
  return ok;
}

const bool registered = RegisterSeedWriter("tiff", &WriteTiffSeeds);

}  // namespace
