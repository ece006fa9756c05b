#include "io/iohooks.h"

#include "io/tiflzw.h"

namespace pixoran {

TPXIOHooks& PXIOHooks() {
  // Created on first use, with the library's own TIFF LZW codec.
  static TPXIOHooks hooks = [] {
    TPXIOHooks h;
    h.TIFFLZWDecompressHook = TIFFLZWDecompress;
    h.TIFFLZWCompressHook = TIFFLZWCompress;
    return h;
  }();
  return hooks;
}

}  // namespace pixoran
