#pragma once
// Process-wide codec hooks of the I/O layer. The LZW codecs are reached only
// through these, so a program without them set can neither read nor write
// LZW data. They are constant-initialised with the library's own GIF and
// TIFF codecs and replaced, if at all, at start-up. Each hook is read and
// replaced atomically, so workers may read them while they change.
#include <atomic>
#include <cstdint>

#include "io/giflzw.h"
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

// The library's own TIFF LZW codec (tiflzw.h).
uint8_t* TIFFLZWDecompress(const uint8_t* data, int64_t dataSize, int32_t rowLength, TTIFFLZWState*& state);
void TIFFLZWCompress(const uint8_t* data, int32_t count, TStream& stream, TTIFFLZWState*& state);

// A hook is called and tested like the plain function pointer it holds.
struct TPXIOHooks {
  std::atomic<TGIFLZWDecompressProc> GIFLZWDecompressHook{GIFLZWDecompress};
  std::atomic<TGIFLZWCompressProc> GIFLZWCompressHook{GIFLZWCompress};
  std::atomic<TTIFFLZWDecompressProc> TIFFLZWDecompressHook{TIFFLZWDecompress};
  std::atomic<TTIFFLZWCompressProc> TIFFLZWCompressHook{TIFFLZWCompress};

  TPXIOHooks() = default;
  TPXIOHooks(const TPXIOHooks& other) { *this = other; }
  TPXIOHooks& operator=(const TPXIOHooks& other) {
    GIFLZWDecompressHook = other.GIFLZWDecompressHook.load();
    GIFLZWCompressHook = other.GIFLZWCompressHook.load();
    TIFFLZWDecompressHook = other.TIFFLZWDecompressHook.load();
    TIFFLZWCompressHook = other.TIFFLZWCompressHook.load();
    return *this;
  }
};

TPXIOHooks& PXIOHooks();

// ---------------------------------------------------------------- row colour spaces

// Codes of the row layouts ConvertRowColorSpace converts between.
constexpr int32_t pxcsRGB = 0;           // R, G, B bytes
constexpr int32_t pxcsBGR = 1;           // B, G, R bytes
constexpr int32_t pxcsCMYK = 2;          // C, M, Y, K bytes
constexpr int32_t pxcsInvertedCMYK = 3;  // C, M, Y, K bytes, each inverted
constexpr int32_t pxcsCIELab = 4;        // L*, a*, b* bytes
constexpr int32_t pxcsGray8 = 5;         // one grey byte
constexpr int32_t pxcsRGB48LE = 6;       // R, G, B little-endian 16-bit words
constexpr int32_t pxcsRGB48BE = 7;       // R, G, B big-endian 16-bit words

class TIOParamsVals;
using TPXConvertColorProc = void (*)(const void* source, int32_t sourceFormat, void* destination,
                                     TIOParamsVals* params, int32_t count, int32_t destinationFormat);
// The process-wide row converter every filter calls for CMYK, L*a*b* and
// wide RGB rows, on loads and saves; starts as ConvertRowColorSpace (of the
// I/O component). Read and replaced atomically.
std::atomic<TPXConvertColorProc>& ConvertColorHook();

}  // namespace pixoran
