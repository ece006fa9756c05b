// Seeds of the JPEG 2000 fuzz target: small JP2 files and code streams of
// every colour model and depth the reader meets, written by our writer at
// several rates and progression orders, plus what the writer does not make:
// signed samples (patched in) and 4:2:0 chroma (by bare codec calls).
#include <atomic>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

extern "C" {
#include <openjpeg.h>
}

#include "fuzz/seeds/seeds_common.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio_params.h"
#include "io/formats/jpeg2000/pxj2000.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace {

using namespace pixoran;
using namespace pixoran::fuzzseeds;

std::vector<uint8_t> Written(TPXBitmap& bitmap, int32_t bits, uint8_t space, double rate, uint8_t order,
                             int32_t format) {
  TIOParamsVals params;
  params.BitsPerSample = bits;
  params.J2000ColorSpace = space;
  params.J2000Rate = rate;
  params.J2000ProgressionOrder = order;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream out;
  WriteJ2000Stream(out, bitmap, params, format, progress);
  if (aborting) return {};
  return out.Bytes();
}

OPJ_SIZE_T VectorWrite(void* buffer, OPJ_SIZE_T count, void* user) {
  auto* v = static_cast<std::vector<uint8_t>*>(user);
  v->insert(v->end(), static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + count);
  return count;
}

// A 12 x 8 code stream whose second and third components are subsampled
// 2 x 2 and whose colour space is not given.
std::vector<uint8_t> Subsampled() {
  opj_image_cmptparm_t comps[3] = {};
  for (int c = 0; c < 3; ++c) {
    comps[c].dx = comps[c].dy = c == 0 ? 1 : 2;
    comps[c].w = c == 0 ? 12 : 6;
    comps[c].h = c == 0 ? 8 : 4;
    comps[c].prec = 8;
  }
  opj_image_t* image = opj_image_create(3, comps, OPJ_CLRSPC_UNSPECIFIED);
  if (!image) return {};
  image->x1 = 12;
  image->y1 = 8;
  for (int c = 0; c < 3; ++c)
    for (uint32_t i = 0; i < comps[c].w * comps[c].h; ++i)
      image->comps[c].data[i] = static_cast<int>((i * (c + 3) * 7) & 255);
  opj_cparameters_t cp;
  opj_set_default_encoder_parameters(&cp);
  cp.tcp_numlayers = 1;
  cp.tcp_rates[0] = 0;
  cp.cp_disto_alloc = 1;
  cp.numresolution = 2;
  std::vector<uint8_t> out;
  opj_codec_t* codec = opj_create_compress(OPJ_CODEC_J2K);
  opj_stream_t* stream = opj_stream_create(1 << 16, OPJ_FALSE);
  opj_stream_set_user_data(stream, &out, nullptr);
  opj_stream_set_write_function(stream, VectorWrite);
  const bool ok = opj_setup_encoder(codec, &cp, image) && opj_start_compress(codec, image, stream) &&
                  opj_encode(codec, stream) && opj_end_compress(codec, stream);
  opj_stream_destroy(stream);
  opj_destroy_codec(codec);
  opj_image_destroy(image);
  return ok ? out : std::vector<uint8_t>{};
}

bool WriteJp2Seeds(const std::string& folder) {
  bool ok = true;
  auto save = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
    ok = !bytes.empty() && SaveSeed(folder + "/" + name, bytes) && ok;
  };
  const int32_t w = 13, h = 9;
  TPXBitmap rgb;
  if (!rgb.Allocate(w, h, pxBGR24)) return false;
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = rgb.Scanline(y);
    for (int32_t x = 0; x < w * 3; ++x) row[x] = static_cast<uint8_t>(x * 29 + y * 13);
  }
  TPXBitmap bw;
  if (!bw.Allocate(w, h, pxBW1)) return false;
  for (int32_t y = 0; y < h; ++y) bw.Scanline(y)[0] = static_cast<uint8_t>(0xC3 >> y), bw.Scanline(y)[1] = 0x90;

  for (int32_t format : {0, 1}) {
    const std::string ext = format == 0 ? ".jp2" : ".j2k";
    save("rgb8" + ext, Written(rgb, 8, 1, 1.0, 0, format));
    save("rgb8_rlcp_lossy" + ext, Written(rgb, 8, 2, 0.2, 1, format));
    save("grey8" + ext, Written(rgb, 8, 0, 1.0, 0, format));
    save("grey12" + ext, Written(rgb, 12, 0, 1.0, 1, format));
    save("grey4" + ext, Written(rgb, 4, 0, 1.0, 0, format));
    save("rgb16" + ext, Written(rgb, 16, 1, 1.0, 0, format));
    save("rgb5_tiny" + ext, Written(rgb, 5, 1, 0.0, 0, format));
    save("bw1" + ext, Written(bw, 1, 0, 1.0, 0, format));
  }
  // A code stream's SIZ: "Ssiz" (bit 7 signed, low bits precision - 1) and
  // the sampling of each component follow the 38 bytes after the marker.
  std::vector<uint8_t> j2k = Written(rgb, 8, 1, 1.0, 0, 1);
  if (j2k.size() > 4 + 38 + 9) {
    std::vector<uint8_t> sgn = j2k;
    for (int c = 0; c < 3; ++c) sgn[4 + 38 + 3 * c] |= 0x80;
    save("rgb8_signed.j2k", sgn);
  }
  save("ycc420.j2k", Subsampled());
  return ok;
}

const bool registered = RegisterSeedWriter("jp2", &WriteJp2Seeds);

}  // namespace
