#pragma once
// Process-wide codec hooks of the I/O layer. The LZW codecs are reached only
// through these, so a program without them set can neither read nor write
// LZW data. The TIFF LZW hooks start as the library's own codec (tiflzw);
// others are installed at start-up.
#include <cstdint>

#include "platform/streams.h"

namespace pixoran {

// Reads the LZW data of one GIF image at the stream's position into a
// width x height index buffer (rows in image order). Failure puts the
// stream back where the call began.
using TGIFLZWDecompressProc = void (*)(TStream& stream, int32_t height, int32_t width, uint8_t* buffer,
                                       bool interlaced);
using TGIFLZWCompressProc = void (*)(TStream& stream, int32_t height, int32_t width, bool interlaced,
                                     const uint8_t* buffer, int32_t bitsPerPixel);
// TIFF LZW: state is the codec's own, created on the first call.
struct TTIFFLZWState;
using TTIFFLZWDecompressProc = uint8_t* (*)(const uint8_t* data, int64_t dataSize, int32_t rowLength,
                                            TTIFFLZWState*& state);
using TTIFFLZWCompressProc = void (*)(const uint8_t* data, int32_t count, TStream& stream, TTIFFLZWState*& state);

struct TPXIOHooks {
  TGIFLZWDecompressProc GIFLZWDecompressHook = nullptr;
  TGIFLZWCompressProc GIFLZWCompressHook = nullptr;
  TTIFFLZWDecompressProc TIFFLZWDecompressHook = nullptr;
  TTIFFLZWCompressProc TIFFLZWCompressHook = nullptr;
};

TPXIOHooks& PXIOHooks();

}  // namespace pixoran
