#pragma once
// TIFF LZW (compression 5): codes of 9 to 12 bits, most significant bit
// first, 256 clears the table, 257 ends the data, the code width grows one
// code early. The defaults of the process-wide TIFF LZW hooks: the TIFF
// filters reach them only through the hooks (or the record's copies).
#include <cstdint>

#include "platform/pxexport.h"
#include "io/iohooks.h"
#include "platform/streams.h"

namespace pixoran {

// Returns the next row (rowLength bytes) of the strip, or nullptr.
// - state nullptr: starts decoding data (dataSize bytes, which must stay
//   valid until the state is freed) and returns the first row.
// - later calls with data not nullptr: the next row of the same data.
// - data nullptr: frees the state; returns nullptr.
// The end of the data counts as an end code; after the end code every row is
// completed with zeros. Corrupt data gives nullptr for that row and every
// later one.
PIXORAN_IO_EXPORT uint8_t* TIFFLZWDecompress(const uint8_t* data, int64_t dataSize, int32_t rowLength,
                                             TTIFFLZWState*& state);

// Compresses count bytes onto stream as one LZW stream.
// - state nullptr: starts the stream (clear code first) on stream.
// - later calls with data not nullptr: continue it (the first stream stays
//   the output).
// - data nullptr: writes the last code and the end code, pads the last byte
//   with zeros and frees the state.
// Short writes are left to the caller's stream to report.
PIXORAN_IO_EXPORT void TIFFLZWCompress(const uint8_t* data, int32_t count, TStream& stream, TTIFFLZWState*& state);

}  // namespace pixoran
