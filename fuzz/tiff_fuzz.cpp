// Fuzz target of the TIFF reader and its codecs: every input is read as a
// TIFF page (the page, native formats and orientation chosen by its last
// byte), counted, read for its parameters only, and fed raw to the LZW and
// CCITT decoders.
#include <atomic>
#include <cstdint>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "fuzz/fuzz_support.h"
#include "io/pixoranio_params.h"
#include "io/pxprogress.h"
#include "io/tifccitt.h"
#include "io/tiffilt.h"
#include "io/tiflzw.h"
#include "platform/streams.h"

using namespace pixoran;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::UseTempFilesForLargeImages();
  const uint8_t choice = size ? data[size - 1] : 0;
  const auto length = static_cast<int64_t>(size);
  {
    TReadOnlyMemoryStream stream(data, length);
    TPXBitmap bitmap, alpha;
    TIOParamsVals params;
    params.TIFFImageIndex = choice & 3;
    params.KeepNativeFormat = (choice >> 2) & 1;
    params.TIFFApplyOrientation = (choice >> 3) & 1;
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    int32_t pages = 0;
    ReadTIFFStream(&bitmap, stream, pages, (choice >> 4) & 1, (choice >> 5) & 1, true, &alpha, false, progress,
                   &params);
    stream.SetPosition(0);
    TIFFPageCount(stream);
    stream.SetPosition(0);
    TIOParamsVals only;
    aborting = false;
    ReadTIFFStream(nullptr, stream, pages, false, false, true, nullptr, true, progress, &only);
  }
  // The codecs on their own, on a row width from the first bytes.
  const int32_t width = size >= 2 ? 1 + ((data[0] << 8 | data[1]) % 4000) : 1;
  std::vector<uint8_t> row((width + 7) / 8), ref(row.size(), 0xFF);
  int64_t bit = 0;
  for (int y = 0; y < 64 && bit < length * 8; ++y) {
    const int64_t next = (choice & 64) ? DecodeCCITTRow2D(row.data(), data, length, true, 1 + (choice >> 7), bit,
                                                          ref.data(), width)
                                       : DecodeCCITTRow1D(row.data(), data, length, 1 + (choice >> 7), bit, width);
    if (next <= bit) break;
    bit = next;
  }
  TTIFFLZWState* state = nullptr;
  for (int y = 0; y < 64; ++y)
    if (!TIFFLZWDecompress(data, length, width, state)) break;
  TIFFLZWDecompress(nullptr, 0, 0, state);
  return 0;
}
