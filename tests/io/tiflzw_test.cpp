#include "io/formats/tiff/tiflzw.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "platform/streams.h"

namespace pixoran {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Compress(const Bytes& in, size_t chunk) {
  TMemoryStream ms;
  TTIFFLZWState* state = nullptr;
  for (size_t at = 0; at < in.size() || state == nullptr; at += chunk) {
    const size_t n = std::min(chunk, in.size() - std::min(at, in.size()));
    TIFFLZWCompress(in.data() + at, static_cast<int32_t>(n), ms, state);
    if (n == 0) break;
  }
  TIFFLZWCompress(nullptr, 0, ms, state);
  EXPECT_EQ(state, nullptr);
  return ms.Bytes();
}

// Rows of rowLength until the data is used up; nullptr rows stop it.
Bytes Decompress(const Bytes& data, int32_t rowLength, int32_t rows, bool* failed = nullptr) {
  Bytes out;
  TTIFFLZWState* state = nullptr;
  // An exact-size copy, so the sanitizer sees any read past the end.
  auto exact = std::make_unique<uint8_t[]>(data.size() + 1);
  if (!data.empty()) std::memcpy(exact.get(), data.data(), data.size());
  if (failed) *failed = false;
  for (int32_t y = 0; y < rows; ++y) {
    const uint8_t* row = TIFFLZWDecompress(exact.get(), static_cast<int64_t>(data.size()), rowLength, state);
    if (!row) {
      if (failed) *failed = true;
      break;
    }
    out.insert(out.end(), row, row + rowLength);
  }
  TIFFLZWDecompress(nullptr, 0, 0, state);
  EXPECT_EQ(state, nullptr);
  return out;
}

TEST(TIFFLZW, RoundTripsAcrossWidthChangesAndClears) {
  std::mt19937 rng(11);
  // Random bytes fill the table quickly (clears at width 12); a small
  // alphabet makes long strings; a repeated byte hits the code being defined.
  for (int kind = 0; kind < 3; ++kind)
    for (size_t size : {1u, 7u, 500u, 3000u, 40000u, 300000u}) {
      Bytes in(size);
      for (auto& b : in) b = kind == 0 ? static_cast<uint8_t>(rng()) : kind == 1 ? static_cast<uint8_t>(rng() % 3) : 9;
      SCOPED_TRACE(testing::Message() << "kind " << kind << " size " << size);
      const Bytes data = Compress(in, 777);
      const int32_t rowLength = static_cast<int32_t>(std::min<size_t>(size, 1000));
      const int32_t rows = static_cast<int32_t>((size + rowLength - 1) / rowLength);
      Bytes out = Decompress(data, rowLength, rows);
      ASSERT_GE(out.size(), in.size());
      out.resize(in.size());
      EXPECT_EQ(out, in);
    }
}

TEST(TIFFLZW, KnownStreamAndCodeBeingDefined) {
  // Clear, 'a', 258 (being defined: "aa"), 258, end; 9-bit codes.
  auto pack = [](std::initializer_list<int> codes) {
    Bytes b;
    uint32_t acc = 0;
    int bits = 0;
    for (int c : codes) {
      acc = (acc << 9) | c, bits += 9;
      while (bits >= 8) bits -= 8, b.push_back(static_cast<uint8_t>(acc >> bits));
    }
    if (bits) b.push_back(static_cast<uint8_t>(acc << (8 - bits)));
    return b;
  };
  EXPECT_EQ(Decompress(pack({256, 'a', 258, 258, 257}), 5, 1), Bytes(5, 'a'));
  // Seven equal bytes written by the encoder come back.
  EXPECT_EQ(Decompress(Compress(Bytes(7, 'x'), 7), 7, 1), Bytes(7, 'x'));

  bool failed = false;
  // A code above the next free code: nullptr for that row and all later.
  Decompress(pack({256, 'a', 'b', 300, 'c', 257}), 2, 3, &failed);
  EXPECT_TRUE(failed);
  // Right after a clear only a single byte may come, even the next free code.
  Decompress(pack({256, 258, 257}), 1, 1, &failed);
  EXPECT_TRUE(failed);
  // The end of the data is an end code: the row is completed with zeros, and
  // so are the rows after it.
  Bytes cut = pack({256, 'a', 'b', 'c', 'd'});
  EXPECT_EQ(Decompress(cut, 3, 3, &failed), (Bytes{'a', 'b', 'c', 'd', 0, 0, 0, 0, 0}));
  EXPECT_FALSE(failed);
}

TEST(TIFFLZW, RandomDataNeverReadsOutside) {
  std::mt19937 rng(3);
  for (int round = 0; round < 500; ++round) {
    Bytes data(rng() % 200);
    for (auto& b : data) b = static_cast<uint8_t>(rng());
    Decompress(data, 1 + static_cast<int32_t>(rng() % 300), 20);
  }
}

}  // namespace
}  // namespace pixoran
