// Fuzz target of content detection and the I/O component's parameter reads:
// every input is detected (the position must come back unchanged), read for
// its parameters as detected, and read for its parameters as each format
// with a stream header, with stream headers on.
#include <cstdint>
#include <cstdlib>

#include "fuzz/fuzz_support.h"
#include "io/pixoranio.h"
#include "io/pixoranio_codecs.h"
#include "io/pxformats.h"
#include "platform/streams.h"

using namespace pixoran;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pixoran::fuzzing::UseTempFilesForLargeImages();
  const int64_t start = size ? data[0] % 4 : 0;  // detection from inside a stream too
  TReadOnlyMemoryStream stream(data, static_cast<int64_t>(size));
  stream.SetPosition(start);
  const int32_t type = FindStreamFormat(stream);
  if (stream.Position() != start) std::abort();
  if (type != ioUnknown && !FindFormatCodec(type) && !FindFileFormatInfo(type)) std::abort();

  TPixoranIO io;
  io.ParamsFromStream(stream);
  io.SetStreamHeaders(true);
  for (int32_t i = 0; const TPXFormatCodec* codec = FormatCodecAt(i); ++i) {
    if (!codec->Magic) continue;
    stream.SetPosition(0);
    io.ParamsFromStreamFormat(stream, codec->FileType);
  }
  return 0;
}
