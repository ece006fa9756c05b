#include "io/formats/tiff/tifccitt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "platform/streams.h"

namespace pixoran {
namespace {

using Bytes = std::vector<uint8_t>;
using Rows = std::vector<Bytes>;

size_t RowBytes(int32_t w) { return static_cast<size_t>((w + 7) / 8); }

// Encoder-sense rows (1 = black) of random runs; pad bits are garbage on
// purpose: neither direction may look at them.
Rows RandomRows(int32_t width, int32_t height, uint32_t seed, int meanRun) {
  std::mt19937 rng(seed);
  std::geometric_distribution<int> run(1.0 / meanRun);
  Rows rows(height, Bytes(RowBytes(width)));
  for (auto& r : rows) {
    int colour = rng() & 1;
    for (int32_t x = 0; x < width;) {
      const int32_t n = std::min(width - x, run(rng) + 1);
      for (int32_t i = x; i < x + n; ++i)
        if (colour) r[i >> 3] |= static_cast<uint8_t>(0x80 >> (i & 7));
      x += n;
      colour ^= 1;
    }
    if (width % 8) r.back() |= static_cast<uint8_t>(rng() & (0xFF >> (width % 8)));
  }
  return rows;
}

// Decoded rows have 1 = white: compare with the encoder's rows inverted, on
// the image bits only.
void ExpectSameRows(const Rows& encoded, const Rows& decoded, int32_t width) {
  ASSERT_EQ(encoded.size(), decoded.size());
  for (size_t y = 0; y < encoded.size(); ++y)
    for (int32_t x = 0; x < width; ++x) {
      const bool black = encoded[y][x >> 3] & (0x80 >> (x & 7));
      const bool white = decoded[y][x >> 3] & (0x80 >> (x & 7));
      ASSERT_NE(black, white) << "row " << y << " pixel " << x;
    }
}

Bytes EncodePage(TCCITTScheme scheme, const Rows& rows, int32_t width) {
  Bytes out;
  EncodeCCITTPage(
      scheme, width, static_cast<int32_t>(rows.size()), [&](int32_t y) { return rows[y].data(); }, false, out);
  return out;
}

Rows DecodePage(TCCITTScheme scheme, const Bytes& data, int32_t width, int32_t height, int fillOrder = 1) {
  Rows rows(height, Bytes(RowBytes(width)));
  Bytes ref(RowBytes(width), 0xFF);
  int64_t bit = 0;
  int64_t byte = 0;
  for (auto& r : rows) {
    switch (scheme) {
      case TCCITTScheme::MH:
        byte +=
            DecodeCCITTRowMH(r.data(), data.data() + byte, static_cast<int64_t>(data.size()) - byte, fillOrder, width);
        break;
      case TCCITTScheme::G3_2D:
      case TCCITTScheme::G4:
        bit = DecodeCCITTRow2D(r.data(), data.data(), static_cast<int64_t>(data.size()), scheme == TCCITTScheme::G3_2D,
                               fillOrder, bit, ref.data(), width);
        break;
    }
  }
  return rows;
}

TEST(CCITT, TablesArePrefixFree) { EXPECT_TRUE(CCITTTablesConsistent()); }

TEST(CCITT, RandomRowsRoundTripEveryScheme) {
  struct Case {
    int32_t width, height;
    int meanRun;
  } cases[] = {{1, 5, 1}, {7, 9, 2}, {64, 20, 3}, {1728, 40, 30}, {2600, 6, 900}, {5000, 8, 4}, {333, 50, 12}};
  for (auto scheme : {TCCITTScheme::MH, TCCITTScheme::G3_2D, TCCITTScheme::G4})
    for (const auto& c : cases) {
      SCOPED_TRACE(testing::Message() << "scheme " << int(scheme) << " width " << c.width);
      const Rows rows = RandomRows(c.width, c.height, c.width * 31 + c.meanRun, c.meanRun);
      const Bytes data = EncodePage(scheme, rows, c.width);
      ExpectSameRows(rows, DecodePage(scheme, data, c.width, c.height), c.width);
      // Fill order 2 is the same data with each byte's bits reversed.
      Bytes reversed = data;
      for (auto& b : reversed) {
        uint8_t r = 0;
        for (int i = 0; i < 8; ++i) r |= ((b >> i) & 1) << (7 - i);
        b = r;
      }
      ExpectSameRows(rows, DecodePage(scheme, reversed, c.width, c.height, 2), c.width);
    }
}

TEST(CCITT, LongRunsAndBlackStarts) {
  // 2600 white (makeup 2560 + 40), then black; a row that starts black; an all-black row.
  const int32_t w = 2700;
  Rows rows(3, Bytes(RowBytes(w), 0));
  for (int32_t x = 2600; x < w; ++x) rows[0][x >> 3] |= 0x80 >> (x & 7);
  for (int32_t x = 0; x < 10; ++x) rows[1][x >> 3] |= 0x80 >> (x & 7);
  std::fill(rows[2].begin(), rows[2].end(), 0xFF);
  for (auto scheme : {TCCITTScheme::MH, TCCITTScheme::G3_2D, TCCITTScheme::G4})
    ExpectSameRows(rows, DecodePage(scheme, EncodePage(scheme, rows, w), w, 3), w);

  // An all-black row of 8 pixels codes 1-D as white 0 (00110101) then black 8 (000101).
  TMemoryStream ms;
  bool error = false;
  const uint8_t black = 0xFF;
  EncodeCCITTRowMH(&black, 8, ms, error);
  ASSERT_EQ(ms.Size(), 2);
  EXPECT_EQ(ms.Memory()[0], 0x35);
  EXPECT_EQ(ms.Memory()[1], 0x14);  // 000101 00
  EXPECT_FALSE(error);
}

TEST(CCITT, Group4EndsWithEOFBAndPadding) {
  const Rows rows = RandomRows(100, 3, 7, 5);
  const Bytes data = EncodePage(TCCITTScheme::G4, rows, 100);
  // The last 24 bits hold two EOLs (000000000001 twice) up to zero padding.
  ASSERT_GE(data.size(), 3u);
  uint64_t tail = 0;
  for (size_t i = data.size() - 4; i < data.size(); ++i) tail = (tail << 8) | data[i];
  int pad = 0;
  while (((tail >> pad) & 1) == 0) ++pad;
  ASSERT_LT(pad, 8);
  EXPECT_EQ((tail >> pad) & 0xFFFFFF, 0x001001u);
}

// Group 3 2-D rows written by hand with EOLs with and without fill zeros.
struct TBitSink {
  Bytes b;
  int bits = 0;
  void Put(const char* s) {
    for (; *s; ++s) {
      if (bits % 8 == 0) b.push_back(0);
      if (*s == '1') b.back() |= 0x80 >> (bits % 8);
      ++bits;
    }
  }
};

TEST(CCITT, Group3FillZerosAndEarlyEOL) {
  const int32_t w = 16;
  for (int fill : {0, 5, 20}) {
    SCOPED_TRACE(fill);
    const std::string zeros(fill, '0');
    TBitSink s;
    // Row 0, 1-D: white 4 (1011), black 12 (0000111).
    s.Put((zeros + "000000000001"
                   "1"
                   "1011"
                   "0000111")
              .c_str());
    // Row 1, 2-D: V0, V0 (same as row 0).
    s.Put((zeros + "000000000001"
                   "0"
                   "1"
                   "1")
              .c_str());
    // Row 2, 2-D: cut short by an EOL after V0 (pixels 0..3 white, the rest black since a0 was black)?
    // V0 puts a0 at 4 and switches to black; the EOL then paints the rest black.
    s.Put((zeros + "000000000001"
                   "0"
                   "1")
              .c_str());
    // Row 3, 1-D: all white 16 (101010).
    s.Put((zeros + "000000000001"
                   "1"
                   "101010")
              .c_str());
    Rows rows(4, Bytes(2));
    Bytes ref(2, 0xFF);
    int64_t bit = 0;
    for (auto& r : rows)
      bit = DecodeCCITTRow2D(r.data(), s.b.data(), static_cast<int64_t>(s.b.size()), true, 1, bit, ref.data(), w);
    EXPECT_EQ(rows[0], (Bytes{0xF0, 0x00}));
    EXPECT_EQ(rows[1], (Bytes{0xF0, 0x00}));
    EXPECT_EQ(rows[2], (Bytes{0xF0, 0x00}));
    EXPECT_EQ(rows[3], (Bytes{0xFF, 0xFF}));
  }
}

// Damaged Group 3 2-D rows end at the next EOL, which starts the next row:
// a horizontal mode cut by an EOL, and a mode code that matches no code
// (0000001000). Group 4 skips such bits one at a time.
TEST(CCITT, DamagedRowsEndAtTheNextEOL) {
  const int32_t w = 16;
  const std::string eol = "000000000001";
  struct Case {
    const char* name;
    std::string damaged;  // row 1, after its EOL and 2-D tag
  } cases[] = {
      // Horizontal: white 4 (1011), then an EOL where the black run should be.
      {"horizontal",
       "001"
       "1011"},
      // No such mode code, then what would otherwise be row 1's codes.
      {"unknown",
       "0000001000"
       "1"
       "1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    TBitSink s;
    s.Put((eol + "1"
                 "1011"
                 "0000111")
              .c_str());                     // row 0, 1-D: white 4, black 12
    s.Put((eol + "0" + c.damaged).c_str());  // row 1, damaged
    s.Put((eol + "1"
                 "0111"
                 "10"
                 "0111"
                 "000100")
              .c_str());  // row 2, 1-D
    Rows rows(3, Bytes(2));
    Bytes ref(2, 0xFF);
    int64_t bit = 0;
    for (auto& r : rows)
      bit = DecodeCCITTRow2D(r.data(), s.b.data(), static_cast<int64_t>(s.b.size()), true, 1, bit, ref.data(), w);
    EXPECT_EQ(rows[0], (Bytes{0xF0, 0x00}));
    // Row 2: white 2, black 3, white 2, black 9.
    EXPECT_EQ(rows[2], (Bytes{0xC6, 0x00}));
  }
}

TEST(CCITT, CorruptDataEndsRowsWithoutReadingPastTheBuffer) {
  std::mt19937 rng(5);
  for (int round = 0; round < 300; ++round) {
    const int32_t w = 1 + static_cast<int32_t>(rng() % 3000);
    Bytes data(rng() % 64);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    // Exact-size heap copies so the sanitizer sees any read past the end.
    auto exact = std::make_unique<uint8_t[]>(data.size() + 1);
    if (!data.empty()) std::memcpy(exact.get(), data.data(), data.size());
    Bytes row(RowBytes(w)), ref(RowBytes(w), 0xFF);
    int64_t bit = 0;
    for (int y = 0; y < 50; ++y) {
      const int64_t next = DecodeCCITTRow2D(row.data(), exact.get(), static_cast<int64_t>(data.size()), round & 1, 1,
                                            bit, ref.data(), w);
      // Every row moves on while there is data left.
      if (bit < static_cast<int64_t>(data.size()) * 8) {
        EXPECT_GT(next, bit) << "row " << y;
      }
      EXPECT_GE(next, bit);
      bit = next;
      bit = DecodeCCITTRow1D(row.data(), exact.get(), static_cast<int64_t>(data.size()), 2, bit, w);
    }
    EXPECT_LE(DecodeCCITTRowMH(row.data(), exact.get(), static_cast<int64_t>(data.size()), 1, w),
              static_cast<int64_t>(data.size()));
  }
  // A strip that declares more rows than it codes ends every extra row at once, all white.
  const Rows rows = RandomRows(40, 2, 3, 4);
  const Bytes data = EncodePage(TCCITTScheme::G4, rows, 40);
  const Rows decoded = DecodePage(TCCITTScheme::G4, data, 40, 6);
  for (int y = 2; y < 6; ++y) EXPECT_EQ(decoded[y], Bytes(5, 0xFF)) << y;
}

}  // namespace
}  // namespace pixoran
