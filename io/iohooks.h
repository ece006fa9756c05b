#pragma once
// Process-wide codec hooks of the I/O layer. The LZW codecs are reached only
// through these, so a program without them set can neither read nor write
// LZW data. They are constant-initialised with the library's own GIF and
// TIFF codecs and replaced, if at all, at start-up. Each hook is read and
// replaced atomically, so workers may read them while they change.
#include <atomic>
#include <cstdint>
#include <utility>

#include "platform/pxexport.h"
#include "io/formats/gif/giflzw.h"
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
PIXORAN_IO_EXPORT uint8_t* TIFFLZWDecompress(const uint8_t* data, int64_t dataSize, int32_t rowLength,
                                             TTIFFLZWState*& state);
PIXORAN_IO_EXPORT void TIFFLZWCompress(const uint8_t* data, int32_t count, TStream& stream, TTIFFLZWState*& state);

// A function pointer read and replaced atomically, called and tested like
// the plain pointer it holds (std::atomic's two conversions make a direct
// call ambiguous on some compilers).
template <typename F>
class TPXAtomicHook {
 public:
  constexpr TPXAtomicHook(F f = nullptr) : f_(f) {}
  TPXAtomicHook(const TPXAtomicHook& other) : f_(other.load()) {}
  TPXAtomicHook& operator=(const TPXAtomicHook& other) {
    store(other.load());
    return *this;
  }
  TPXAtomicHook& operator=(F f) {
    store(f);
    return *this;
  }
  F load() const { return f_.load(); }
  void store(F f) { f_.store(f); }
  operator F() const { return load(); }
  template <typename... A>
  decltype(auto) operator()(A&&... args) const {
    return load()(std::forward<A>(args)...);
  }

 private:
  std::atomic<F> f_;
};

struct PIXORAN_IO_EXPORT TPXIOHooks {
  TPXAtomicHook<TGIFLZWDecompressProc> GIFLZWDecompressHook{GIFLZWDecompress};
  TPXAtomicHook<TGIFLZWCompressProc> GIFLZWCompressHook{GIFLZWCompress};
  TPXAtomicHook<TTIFFLZWDecompressProc> TIFFLZWDecompressHook{TIFFLZWDecompress};
  TPXAtomicHook<TTIFFLZWCompressProc> TIFFLZWCompressHook{TIFFLZWCompress};

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

PIXORAN_IO_EXPORT TPXIOHooks& PXIOHooks();

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
using TPXConvertColorProc = void (*)(const void* source, int32_t sourceFormat, void* destination, TIOParamsVals* params,
                                     int32_t count, int32_t destinationFormat);
// The default of ConvertColorHook. Converts count pixels of one row; the top
// bit of sourceFormat is ignored. Pairs without a conversion write nothing;
// the source is never changed.
PIXORAN_IO_EXPORT void ConvertRowColorSpace(const void* source, int32_t sourceFormat, void* destination,
                                            TIOParamsVals* params, int32_t count, int32_t destinationFormat);
// The process-wide row converter every filter calls for CMYK, L*a*b* and
// wide RGB rows, on loads and saves; starts as ConvertRowColorSpace (of the
// I/O component). Read and replaced atomically.
PIXORAN_IO_EXPORT TPXAtomicHook<TPXConvertColorProc>& ConvertColorHook();

}  // namespace pixoran
