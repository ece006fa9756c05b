#pragma once
// CCITT fax codes (ITU-T T.4 and T.6) for bilevel rows: Modified Huffman,
// Group 3 1-D and 2-D, Group 4. Used by the TIFF reader and writer and by
// the PostScript and PDF writers.
//
// Rows are packed 1 bit per pixel, leftmost pixel in the most significant
// bit. The two directions use opposite senses: decoded rows have 1 = white
// (as pxBW1), rows given to the encoder have 0 = white, 1 = black.
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/pxexport.h"
#include "platform/streams.h"

namespace pixoran {

// ---------------------------------------------------------------- decoding
//
// The caller supplies the whole compressed strip (dataLength bytes) and
// keeps the bit position between rows. fillOrder 1 takes each byte's bits
// from the most significant down, 2 from the least significant up. The
// decoders never read outside data; at the end of the data the row ends.
// row (and reference) hold at least (width + 7) / 8 bytes.

// One 1-D row from bit startBit; returns the bit position after it.
PIXORAN_IO_EXPORT int64_t DecodeCCITTRow1D(uint8_t* row, const uint8_t* data, int64_t dataLength, int32_t fillOrder,
                                           int64_t startBit, int32_t width);
// One row of byte-aligned Modified Huffman (TIFF compression 2) from bit 0;
// returns the number of whole bytes it used.
PIXORAN_IO_EXPORT int64_t DecodeCCITTRowMH(uint8_t* row, const uint8_t* data, int64_t dataLength, int32_t fillOrder,
                                           int32_t width);
// One 2-D row (Group 3 2-D with its EOL and tag bit, or Group 4) against
// reference, which then receives the decoded row; returns the bit position
// after the row. EOLs may be preceded by fill zeros. group3: every row begins
// with an EOL, so a row damaged past decoding ends at the next EOL (Group 4:
// bits that start no code are skipped one at a time).
PIXORAN_IO_EXPORT int64_t DecodeCCITTRow2D(uint8_t* row, const uint8_t* data, int64_t dataLength, bool group3,
                                           int32_t fillOrder, int64_t startBit, uint8_t* reference, int32_t width);

// ---------------------------------------------------------------- encoding
//
// Writes go through SafeStreamWrite: a short write sets error.

// One row 1-D, padded with zero bits to a whole byte (TIFF compression 2).
PIXORAN_IO_EXPORT void EncodeCCITTRowMH(const uint8_t* row, int32_t width, TStream& stream, bool& error);
// One Group 3 2-D row: the first (reference empty) is coded 1-D after an EOL
// and tag bit 1, later ones 2-D after an EOL and tag bit 0. row nullptr ends
// the data with one more EOL and frees the reference; the bits of an
// unfinished last byte stay in pendingBits / pendingByte (high bits first)
// for the caller.
PIXORAN_IO_EXPORT void EncodeCCITTG3Row(const uint8_t* row, int32_t width, TStream& stream, bool& error,
                                        std::vector<uint8_t>& reference, int32_t& pendingBits, uint8_t& pendingByte);
// One Group 3 1-D row after an EOL, not byte-aligned; the unfinished last
// byte is kept in pendingBits / pendingByte as above.
PIXORAN_IO_EXPORT void EncodeCCITTG3Row1D(const uint8_t* row, int32_t width, TStream& stream, bool& error,
                                          int32_t& pendingBits, uint8_t& pendingByte);
// One Group 4 row against the previous one (all white before the first).
// row nullptr ends the page: EOFB, zero padding to a whole byte, and the
// reference freed.
PIXORAN_IO_EXPORT void EncodeCCITTG4Row(const uint8_t* row, int32_t width, TStream& stream, bool& error,
                                        std::vector<uint8_t>& reference, int32_t& pendingBits, uint8_t& pendingByte);

enum class TCCITTScheme : uint8_t { MH, G3_2D, G4 };

// A whole page into a byte buffer: height rows of width pixels, row(y)
// returning row y packed 1 bit per pixel. whiteIsOne: the rows use 1 for
// white (pxBW1 rows) rather than the encoder's 0. Group 3 output ends with
// its last partial byte padded with zeros. The result replaces out.
PIXORAN_IO_EXPORT void EncodeCCITTPage(TCCITTScheme scheme, int32_t width, int32_t height,
                                       const std::function<const uint8_t*(int32_t)>& row, bool whiteIsOne,
                                       std::vector<uint8_t>& out);

// True when no two run codes of a colour share a prefix (a check of the
// built-in tables).
PIXORAN_IO_EXPORT bool CCITTTablesConsistent();

}  // namespace pixoran
