// Seeds of the JPEG fuzz target: small files of every colour space, sampling,
// coding process and marker layout the reader meets, written by our writer
// and by bare libjpeg loops for what the writer does not make (arithmetic
// coding, restart markers, multi-scan sequential files, 16-bit quantisation
// tables, abbreviated datastreams), plus damaged variants.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

extern "C" {
#include <jpeglib.h>
}

#include "fuzz/seeds/seeds_common.h"
#include "core/kopxutils_bitmap.h"
#include "io/formats/jpeg/jpegfilt.h"
#include "io/pixoranio_params.h"
#include "io/pxmetadata.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

namespace {

using namespace pixoran;
using Bytes = std::vector<uint8_t>;

using namespace pixoran::fuzzseeds;

// Pixels with edges and gradients, in the given number of components.
Bytes Pattern(int w, int h, int components) {
  Bytes px(static_cast<size_t>(w) * h * components);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      for (int c = 0; c < components; ++c)
        px[(static_cast<size_t>(y) * w + x) * components + c] =
            static_cast<uint8_t>((x * (40 + 30 * c) + y * (17 + 50 * c)) ^ ((x / 4 + y / 4) & 1 ? 0x80 : 0));
  return px;
}

// A bare libjpeg compression into memory. tweak runs after the defaults and
// the colour space; afterStart may write markers.
Bytes Compress(int w, int h, J_COLOR_SPACE in, int components, J_COLOR_SPACE out,
               const std::function<void(jpeg_compress_struct&)>& tweak = {},
               const std::function<void(jpeg_compress_struct&)>& afterStart = {}, bool writeAllTables = true) {
  jpeg_compress_struct ci;
  jpeg_error_mgr err;
  ci.err = jpeg_std_error(&err);
  jpeg_create_compress(&ci);
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&ci, &mem, &size);
  ci.image_width = static_cast<JDIMENSION>(w);
  ci.image_height = static_cast<JDIMENSION>(h);
  ci.input_components = components;
  ci.in_color_space = in;
  jpeg_set_defaults(&ci);
  jpeg_set_colorspace(&ci, out);
  jpeg_set_quality(&ci, 75, TRUE);
  if (tweak) tweak(ci);
  jpeg_start_compress(&ci, writeAllTables ? TRUE : FALSE);
  if (afterStart) afterStart(ci);
  const Bytes px = Pattern(w, h, components);
  while (ci.next_scanline < ci.image_height) {
    JSAMPROW row = const_cast<uint8_t*>(&px[static_cast<size_t>(ci.next_scanline) * w * components]);
    jpeg_write_scanlines(&ci, &row, 1);
  }
  jpeg_finish_compress(&ci);
  Bytes file(mem, mem + size);
  jpeg_destroy_compress(&ci);
  std::free(mem);
  return file;
}

Bytes TablesOnly() {
  jpeg_compress_struct ci;
  jpeg_error_mgr err;
  ci.err = jpeg_std_error(&err);
  jpeg_create_compress(&ci);
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&ci, &mem, &size);
  ci.image_width = 8;
  ci.image_height = 8;
  ci.input_components = 3;
  ci.in_color_space = JCS_RGB;
  jpeg_set_defaults(&ci);
  jpeg_write_tables(&ci);
  Bytes file(mem, mem + size);
  jpeg_destroy_compress(&ci);
  std::free(mem);
  return file;
}

// Our own writer, for its marker and option handling.
Bytes OurWriter(int w, int h, const std::function<void(TIOParamsVals&)>& prepare) {
  TPXBitmap bitmap;
  if (!bitmap.Allocate(w, h, pxBGR24)) return {};
  const Bytes px = Pattern(w, h, 3);
  for (int y = 0; y < h; ++y) {
    uint8_t* row = bitmap.Scanline(y);
    for (int i = 0; i < w * 3; ++i) row[i] = px[static_cast<size_t>(y) * w * 3 + i];
  }
  TIOParamsVals params;
  prepare(params);
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream out;
  try {
    WriteJPEGStream(out, bitmap, params, progress);
  } catch (const EPXJpegException&) {
    return {};
  }
  if (aborting) return {};
  return Bytes(out.Memory(), out.Memory() + out.Size());
}

void Sampling(jpeg_compress_struct& ci, int h, int v) {
  ci.comp_info[0].h_samp_factor = h;
  ci.comp_info[0].v_samp_factor = v;
  for (int c = 1; c < ci.num_components; ++c) ci.comp_info[c].h_samp_factor = ci.comp_info[c].v_samp_factor = 1;
}

bool WriteJpegSeeds(const std::string& folder) {
  bool ok = true;
  auto save = [&](const char* name, const Bytes& bytes) {
    if (bytes.empty() || !SaveSeed(folder + "/" + name, bytes)) ok = false;
  };

  // Colour spaces and sampling.
  save("ycc420.jpg", Compress(24, 16, JCS_RGB, 3, JCS_YCbCr));
  save("ycc444.jpg", Compress(17, 9, JCS_RGB, 3, JCS_YCbCr, [](auto& ci) { Sampling(ci, 1, 1); }));
  save("ycc422.jpg", Compress(33, 8, JCS_RGB, 3, JCS_YCbCr, [](auto& ci) { Sampling(ci, 2, 1); }));
  save("ycc440.jpg", Compress(8, 33, JCS_RGB, 3, JCS_YCbCr, [](auto& ci) { Sampling(ci, 1, 2); }));
  save("ycc411.jpg", Compress(40, 8, JCS_RGB, 3, JCS_YCbCr, [](auto& ci) { Sampling(ci, 4, 1); }));
  save("grey.jpg", Compress(13, 11, JCS_GRAYSCALE, 1, JCS_GRAYSCALE));
  save("grey_1x1.jpg", Compress(1, 1, JCS_GRAYSCALE, 1, JCS_GRAYSCALE));
  save("rgb_adobe.jpg", Compress(16, 16, JCS_RGB, 3, JCS_RGB));
  save("rgb_no_markers.jpg", Compress(16, 16, JCS_RGB, 3, JCS_RGB, [](auto& ci) {
         ci.write_Adobe_marker = FALSE;
         ci.write_JFIF_header = FALSE;
       }));
  save("cmyk.jpg", Compress(16, 8, JCS_CMYK, 4, JCS_CMYK));
  save("ycck.jpg", Compress(16, 8, JCS_CMYK, 4, JCS_YCCK));
  save("ycck_subsampled.jpg", Compress(32, 16, JCS_CMYK, 4, JCS_YCCK, [](auto& ci) {
         Sampling(ci, 2, 2);
         ci.comp_info[3].h_samp_factor = ci.comp_info[3].v_samp_factor = 2;
       }));

  // Coding processes.
  save("progressive.jpg", Compress(40, 24, JCS_RGB, 3, JCS_YCbCr, [](auto& ci) { jpeg_simple_progression(&ci); }));
  save("progressive_grey.jpg",
       Compress(24, 24, JCS_GRAYSCALE, 1, JCS_GRAYSCALE, [](auto& ci) { jpeg_simple_progression(&ci); }));
  save("progressive_cmyk.jpg", Compress(16, 16, JCS_CMYK, 4, JCS_CMYK, [](auto& ci) { jpeg_simple_progression(&ci); }));
  save("arithmetic.jpg", Compress(24, 16, JCS_RGB, 3, JCS_YCbCr, [](auto& ci) { ci.arith_code = TRUE; }));
  save("arithmetic_progressive.jpg", Compress(24, 16, JCS_RGB, 3, JCS_YCbCr, [](auto& ci) {
         ci.arith_code = TRUE;
         jpeg_simple_progression(&ci);
       }));
  save("optimized.jpg", Compress(24, 16, JCS_RGB, 3, JCS_YCbCr, [](auto& ci) { ci.optimize_coding = TRUE; }));
  save("restart.jpg", Compress(48, 32, JCS_RGB, 3, JCS_YCbCr, [](auto& ci) { ci.restart_interval = 1; }));
  save("restart_progressive.jpg", Compress(48, 32, JCS_RGB, 3, JCS_YCbCr, [](auto& ci) {
         ci.restart_interval = 2;
         jpeg_simple_progression(&ci);
       }));
  // One scan per component, sequential.
  static jpeg_scan_info perComponent[3] = {{1, {0}, 0, 63, 0, 0}, {1, {1}, 0, 63, 0, 0}, {1, {2}, 0, 63, 0, 0}};
  save("multiscan.jpg", Compress(24, 16, JCS_RGB, 3, JCS_YCbCr, [](auto& ci) {
         ci.scan_info = perComponent;
         ci.num_scans = 3;
       }));
  save("quant16.jpg", Compress(16, 16, JCS_RGB, 3, JCS_YCbCr, [](auto& ci) { jpeg_set_quality(&ci, 1, FALSE); }));
  save("float_dct.jpg", Compress(16, 16, JCS_RGB, 3, JCS_YCbCr, [](auto& ci) { ci.dct_method = JDCT_FLOAT; }));

  // Density and markers.
  save("density_dpcm.jpg", Compress(8, 8, JCS_GRAYSCALE, 1, JCS_GRAYSCALE, [](auto& ci) {
         ci.density_unit = 2;
         ci.X_density = 100;
         ci.Y_density = 40;
       }));
  save("markers.jpg", Compress(16, 8, JCS_RGB, 3, JCS_YCbCr, {}, [](auto& ci) {
         static const char exif[] = "Exif\0\0II*\0\x08\0\0\0\0\0";
         static const char iptc[] =
             "Photoshop 3.0\0008BIM\x04\x04\0\0\0\0\0\x0c\x1c\x02\x00\0\x02\0\x02"
             "\x1c\x02\x78\0\x02hi";
         jpeg_write_marker(&ci, JPEG_COM, reinterpret_cast<const JOCTET*>("seed"), 4);
         jpeg_write_marker(&ci, JPEG_APP0 + 1, reinterpret_cast<const JOCTET*>(exif), sizeof exif - 1);
         jpeg_write_marker(&ci, JPEG_APP0 + 13, reinterpret_cast<const JOCTET*>(iptc), sizeof iptc - 1);
         jpeg_write_marker(&ci, JPEG_APP0, reinterpret_cast<const JOCTET*>("JFXX\0\x10"), 6);
         jpeg_write_marker(&ci, JPEG_APP0 + 2, nullptr, 0);
       }));
  save("ours_baseline.jpg", OurWriter(20, 12, [](TIOParamsVals& p) {
         p.JPEGMarkers->AddMarker(0xFE, "ours", 4);
         p.DpiX = 72;
         p.DpiY = 96;
       }));
  save("ours_progressive_optimized.jpg", OurWriter(20, 12, [](TIOParamsVals& p) {
         p.JPEGProgressive = 1;
         p.JPEGOptimalHuffman = 1;
         p.JPEGSmooth = 30;
       }));
  save("ours_cmyk.jpg", OurWriter(12, 12, [](TIOParamsVals& p) { p.JPEGColorSpace = 3; }));
  save("ours_ycck.jpg", OurWriter(12, 12, [](TIOParamsVals& p) { p.JPEGColorSpace = 4; }));
  save("ours_grey.jpg", OurWriter(12, 12, [](TIOParamsVals& p) { p.JPEGColorSpace = 1; }));

  // Abbreviated datastreams and damage.
  save("tables_only.jpg", TablesOnly());
  save("abbreviated_image.jpg", Compress(16, 16, JCS_RGB, 3, JCS_YCbCr, {}, {}, false));
  Bytes garbage(40, 0x5A);
  const Bytes base = Compress(24, 16, JCS_RGB, 3, JCS_YCbCr);
  garbage.insert(garbage.end(), base.begin(), base.end());
  save("leading_garbage.jpg", garbage);
  save("truncated.jpg", Bytes(base.begin(), base.begin() + static_cast<std::ptrdiff_t>(base.size() * 3 / 4)));
  const Bytes prog = Compress(40, 24, JCS_RGB, 3, JCS_YCbCr, [](auto& ci) { jpeg_simple_progression(&ci); });
  save("truncated_progressive.jpg", Bytes(prog.begin(), prog.begin() + static_cast<std::ptrdiff_t>(prog.size() / 2)));
  Bytes trailing = base;
  trailing.insert(trailing.end(), {0x00, 0x11, 0xFF, 0xD9, 0x42});
  save("trailing_bytes.jpg", trailing);
  return ok;
}

const bool registered = RegisterSeedWriter("jpeg", &WriteJpegSeeds);

}  // namespace
