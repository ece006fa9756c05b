// Fuzz target of the JPEG reader: every input is read for its parameters,
// then decoded with options taken from its last byte (after the end-of-image
// marker, where the codec never looks), and used as the tables stream of a
// fixed abbreviated image. An image that decodes cleanly is written back with
// the writer and must read back.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" {
#include <jpeglib.h>
}

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_settings.h"
#include "fuzz/fuzz_support.h"
#include "io/formats/jpeg/jpegfilt.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

using namespace pixoran;

namespace {

// Larger images are read for their header only: decoding cost grows with the
// stored size whatever the scale, and the fuzzer's time goes to variety.
constexpr int64_t kMaxDecodedPixels = int64_t{1} << 22;
constexpr int64_t kMaxRoundTripPixels = int64_t{1} << 16;

// A 16 x 16 image without tables, as TIFF files carry it.
const std::vector<uint8_t>& AbbreviatedImage() {
  static const std::vector<uint8_t> image = [] {
    jpeg_compress_struct ci;
    jpeg_error_mgr err;
    ci.err = jpeg_std_error(&err);
    jpeg_create_compress(&ci);
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&ci, &mem, &size);
    ci.image_width = 16;
    ci.image_height = 16;
    ci.input_components = 3;
    ci.in_color_space = JCS_RGB;
    jpeg_set_defaults(&ci);
    jpeg_start_compress(&ci, FALSE);
    uint8_t row[16 * 3];
    for (int i = 0; i < 48; ++i) row[i] = static_cast<uint8_t>(i * 5);
    JSAMPROW rows[1] = {row};
    while (ci.next_scanline < ci.image_height) jpeg_write_scanlines(&ci, rows, 1);
    jpeg_finish_compress(&ci);
    std::vector<uint8_t> bytes(mem, mem + size);
    jpeg_destroy_compress(&ci);
    std::free(mem);
    return bytes;
  }();
  return image;
}

struct TRun {
  TPXBitmap bitmap;
  TIOParamsVals params;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  TRun() { progress.Aborting = &aborting; }
};

void RoundTrip(TPXBitmap& image, uint8_t choice) {
  TIOParamsVals params;
  params.JPEGColorSpace = choice % 5;
  params.JPEGProgressive = (choice >> 3) & 1;
  params.JPEGOptimalHuffman = (choice >> 4) & 1;
  params.JPEGQuality = 10 + (choice >> 5) * 12;
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream out;
  WriteJPEGStream(out, image, params, progress);  // an exception here is a bug
  if (aborting) std::abort();                     // every decoded image must be writable
  out.SetPosition(0);
  TRun back;
  ReadJPEGStream(out, nullptr, back.bitmap, back.params, back.progress, false);
  if (back.aborting || back.bitmap.Width() != image.Width() || back.bitmap.Height() != image.Height()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pixoran::fuzzing::UseTempFilesForLargeImages();
  const uint8_t choice = size ? data[size - 1] : 0;
  const bool rgbComponents = (choice >> 4) & 1;

  TReadOnlyMemoryStream stream(data, static_cast<int64_t>(size));
  TRun header;
  ReadJPEGStream(stream, nullptr, header.bitmap, header.params, header.progress, true, rgbComponents);
  if (!header.aborting &&
      int64_t{header.params.JPEGOriginalWidth} * header.params.JPEGOriginalHeight <= kMaxDecodedPixels) {
    stream.SetPosition(0);
    TRun full;
    full.params.JPEGScale = choice % 5;
    full.params.Width = 24;  // the requested size of the automatic scale
    full.params.Height = 16;
    full.params.KeepNativeFormat = (choice >> 3) & 1;
    full.params.JPEGDCTMethod = (choice >> 5) % 3;
    ReadJPEGStream(stream, nullptr, full.bitmap, full.params, full.progress, false, rgbComponents);
    if (!full.aborting && int64_t{full.bitmap.Width()} * full.bitmap.Height() <= kMaxRoundTripPixels)
      RoundTrip(full.bitmap, choice);
  }

  // The input as the tables stream of an image that has none.
  const std::vector<uint8_t>& image = AbbreviatedImage();
  TReadOnlyMemoryStream imageStream(image.data(), static_cast<int64_t>(image.size()));
  TReadOnlyMemoryStream tables(data, static_cast<int64_t>(size));
  TRun abbreviated;
  ReadJPEGStream(imageStream, &tables, abbreviated.bitmap, abbreviated.params, abbreviated.progress, false);
  return 0;
}
