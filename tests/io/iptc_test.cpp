// IPTC blocks: the exact bytes of the APP13 and TIFF forms, the extended
// length form, Photoshop resource blocks around the datasets, and damaged
// or cut blocks (parsed without reading outside them).
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "io/pxmetadata.h"

namespace pixoran {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Str(const std::string& s) { return Bytes(s.begin(), s.end()); }

void Append(Bytes& out, const Bytes& more) { out.insert(out.end(), more.begin(), more.end()); }

void AppendBE32(Bytes& out, uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) out.push_back(static_cast<uint8_t>(v >> s));
}

// A short-form dataset as the IPTC layout has it.
Bytes Dataset(uint8_t record, uint8_t dataset, const std::string& data) {
  Bytes b = {0x1C, record, dataset, static_cast<uint8_t>(data.size() >> 8), static_cast<uint8_t>(data.size())};
  Append(b, Str(data));
  return b;
}

// A Photoshop image resource: signature, id, empty name, size, data padded to even.
Bytes Resource(uint16_t id, const Bytes& data) {
  Bytes b = Str("8BIM");
  b.push_back(static_cast<uint8_t>(id >> 8));
  b.push_back(static_cast<uint8_t>(id));
  b.push_back(0);
  b.push_back(0);
  AppendBE32(b, static_cast<uint32_t>(data.size()));
  Append(b, data);
  if (data.size() & 1) b.push_back(0);
  return b;
}

Bytes PhotoshopHeader() {
  Bytes b = Str("Photoshop 3.0");
  b.push_back(0);
  return b;
}

Bytes Save(const TPXIPTCInfoList& list, bool app13) {
  Bytes b;
  list.SaveToBuffer(b, app13);
  return b;
}

void Load(TPXIPTCInfoList& list, const Bytes& b) { list.LoadFromBuffer(b.data(), static_cast<int64_t>(b.size())); }

// ------------------------------------------------------------------ layout

TEST(IptcLayout, APP13FormIsResourceHeaderDatasetsAndPad) {
  TPXIPTCInfoList list;
  list.AddData(2, 5, 5, "Title");
  list.AddData(2, 120, 2, "Ca");
  Bytes expected = PhotoshopHeader();
  Append(expected, Str("8BIM"));
  Append(expected, {0x04, 0x04, 0x00, 0x00});
  AppendBE32(expected, 10 + 7);  // dataset bytes only
  Append(expected, Dataset(2, 5, "Title"));
  Append(expected, Dataset(2, 120, "Ca"));
  expected.push_back(0);  // 43 bytes padded to 44
  EXPECT_EQ(Save(list, true), expected);
}

TEST(IptcLayout, TIFFFormStartsWithTheRecordVersion) {
  TPXIPTCInfoList list;
  list.AddData(2, 25, 4, "keyw");
  Bytes expected = {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x02};
  Append(expected, Dataset(2, 25, "keyw"));  // 7 + 9 bytes: even, no pad
  EXPECT_EQ(Save(list, false), expected);

  list.AddData(2, 25, 1, "x");   // 16 + 6 = 22, still even
  list.AddData(2, 25, 2, "yz");  // 22 + 7 = 29: padded
  const Bytes odd = Save(list, false);
  ASSERT_EQ(odd.size(), 30u);
  EXPECT_EQ(odd.back(), 0);
}

TEST(IptcLayout, RecordVersionEmptyAndUnwritableDatasetsAreLeftOut) {
  TPXIPTCInfoList list;
  EXPECT_TRUE(Save(list, true).empty());
  EXPECT_TRUE(Save(list, false).empty());

  list.AddData(2, 0, 2, "\x00\x04");
  // Only 2:00: just the header, with a length field of 0.
  Bytes header = PhotoshopHeader();
  Append(header, Str("8BIM"));
  Append(header, {0x04, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00});
  ASSERT_EQ(header.size(), 26u);
  EXPECT_EQ(Save(list, true), header);
  EXPECT_EQ(Save(list, false), (Bytes{0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x02, 0x00}));

  list.AddData(2, 5, 0, nullptr);  // empty
  list.AddData(300, 5, 1, "a");    // record does not fit a byte
  list.AddData(2, 256, 1, "b");    // nor does the dataset
  EXPECT_EQ(Save(list, true), header);
}

TEST(IptcLayout, LengthFormChangesAt32768AndReadsBack) {
  for (int32_t size : {32767, 32768, 40000}) {
    SCOPED_TRACE(size);
    Bytes data(static_cast<size_t>(size));
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + (i >> 9));
    TPXIPTCInfoList list;
    list.AddData(2, 120, size, data.data());
    list.AddData(2, 5, 3, "end");
    const Bytes block = Save(list, true);
    const uint8_t* ds = block.data() + 26;
    ASSERT_EQ(ds[0], 0x1C);
    if (size < 32768) {
      EXPECT_EQ(ds[3], static_cast<uint8_t>(size >> 8));
      EXPECT_EQ(ds[4], static_cast<uint8_t>(size));
      EXPECT_EQ(std::memcmp(ds + 5, data.data(), data.size()), 0);
    } else {
      EXPECT_EQ((Bytes{ds[3], ds[4], ds[5], ds[6], ds[7], ds[8]}),
                (Bytes{0x80, 0x04, 0x00, 0x00, static_cast<uint8_t>(size >> 8), static_cast<uint8_t>(size)}));
      EXPECT_EQ(std::memcmp(ds + 9, data.data(), data.size()), 0);
    }

    TPXIPTCInfoList back;
    Load(back, block);
    ASSERT_EQ(back.Count(), 2);
    EXPECT_EQ(back.DataLength(0), size);
    EXPECT_EQ(std::memcmp(back.Data(0), data.data(), data.size()), 0);
    EXPECT_EQ(back.DataAsString(1), "end");
  }
}

// ------------------------------------------------------------------ reading

TEST(IptcRead, RoundTripKeepsOrderDuplicatesAndClearsUserChanged) {
  TPXIPTCInfoList list;
  list.AddData(1, 90, 3, "\x1B%G");
  list.AddData(2, 25, 3, "one");
  list.AddData(2, 25, 3, "two");
  list.AddData(2, 116, 9, "(c) Pixo");
  for (bool app13 : {true, false}) {
    TPXIPTCInfoList back;
    back.AddData(9, 9, 1, "z");  // replaced, not appended to
    Load(back, Save(list, app13));
    EXPECT_FALSE(back.UserChanged);
    const int first = app13 ? 0 : 1;  // the TIFF form reads its 2:00 back
    ASSERT_EQ(back.Count(), 4 + first);
    if (!app13) {
      EXPECT_EQ(back.RecordNumber(0), 2);
      EXPECT_EQ(back.DataSet(0), 0);
    }
    for (int i = 0; i < 4; ++i) {
      EXPECT_EQ(back.RecordNumber(first + i), list.RecordNumber(i));
      EXPECT_EQ(back.DataSet(first + i), list.DataSet(i));
      EXPECT_EQ(back.DataAsString(first + i), list.DataAsString(i));
    }
  }
}

TEST(IptcRead, AnyHeaderBeforeTheFirstDatasetIsSkipped) {
  Bytes block = Str("some header of another writer");
  Append(block, Dataset(2, 5, "Name"));
  Append(block, Dataset(2, 80, "By"));
  block.push_back(0);
  block.push_back(0x1C);  // a lone marker byte after the end: no header to read
  TPXIPTCInfoList list;
  Load(list, block);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.DataAsString(0), "Name");
  EXPECT_EQ(list.DataAsString(1), "By");
}

TEST(IptcRead, ResourcesBeforeTheIPTCResourceAreWalkedNotScanned) {
  // A resource ahead of the IPTC one holds a 0x1C byte: scanning for it
  // would read garbage datasets out of another resource's data.
  Bytes thumb = {0x00, 0x1C, 0x02, 0x05, 0x00, 0x02, 'x', 'y', 0x33};
  Bytes iptc = Dataset(2, 5, "Real");
  Append(iptc, Dataset(2, 105, "Headline"));
  Bytes block = PhotoshopHeader();
  Append(block, Resource(0x040C, thumb));
  Append(block, Resource(0x0404, iptc));
  Append(block, Resource(0x03ED, Bytes(16, 0x1C)));
  TPXIPTCInfoList list;
  Load(list, block);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.DataAsString(0), "Real");
  EXPECT_EQ(list.DataAsString(1), "Headline");

  // A sound resource block without IPTC has no datasets, 0x1C bytes or not.
  Bytes none = PhotoshopHeader();
  Append(none, Resource(0x040C, thumb));
  Load(list, none);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_FALSE(list.UserChanged);
}

TEST(IptcRead, DamageEndsTheParseAndKeepsWhatCameBefore) {
  Bytes block = Dataset(2, 5, "Good");
  Bytes lying = Dataset(2, 120, "abc");
  lying[4] = 0xFF;  // claims 255 bytes where 3 follow
  Append(block, lying);
  Append(block, Dataset(2, 25, "never read"));
  TPXIPTCInfoList list;
  Load(list, block);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.DataAsString(0), "Good");

  // An extended length beyond anything present.
  Bytes extended = Dataset(2, 5, "Ok");
  Append(extended, {0x1C, 0x02, 0x78, 0x80, 0x04, 0xFF, 0xFF, 0xFF, 0xF0, 'a'});
  Load(list, extended);
  ASSERT_EQ(list.Count(), 1);

  // An extended header cut inside its length bytes.
  Bytes cut = Dataset(2, 5, "Ok");
  Append(cut, {0x1C, 0x02, 0x78, 0x80, 0x04, 0x00});
  Load(list, cut);
  EXPECT_EQ(list.Count(), 1);

  // A Photoshop block whose resource size passes the end falls back to the scan.
  Bytes broken = PhotoshopHeader();
  Bytes res = Resource(0x0404, Dataset(2, 5, "Scan"));
  res[11] = 0x7F;  // size far beyond the block
  Append(broken, res);
  Load(list, broken);
  ASSERT_EQ(list.Count(), 1);
  EXPECT_EQ(list.DataAsString(0), "Scan");

  Load(list, Bytes{});
  EXPECT_EQ(list.Count(), 0);
  list.LoadFromBuffer(nullptr, 10);
  EXPECT_EQ(list.Count(), 0);
  EXPECT_FALSE(list.UserChanged);
}

TEST(IptcRead, EveryCutOfABlockKeepsTheWholeDatasetsBeforeIt) {
  TPXIPTCInfoList list;
  const std::string texts[] = {"alpha", std::string(300, 'b'), "c", std::string(33000, 'd'), "e"};
  for (const auto& t : texts) list.AddData(2, 120, static_cast<int32_t>(t.size()), t.data());
  const Bytes block = Save(list, true);
  // Where each dataset ends in the block.
  std::vector<size_t> ends;
  size_t pos = 26;
  for (const auto& t : texts) {
    pos += (t.size() < 32768 ? 5 : 9) + t.size();
    ends.push_back(pos);
  }
  for (size_t cut = 0; cut <= block.size(); cut += (cut < 400 || cut > block.size() - 400) ? 1 : 97) {
    // A copy of exactly the cut size, so the sanitizer sees any read past it.
    const Bytes part(block.begin(), block.begin() + static_cast<std::ptrdiff_t>(cut));
    TPXIPTCInfoList back;
    Load(back, part);
    int whole = 0;
    for (size_t e : ends)
      if (e <= cut) ++whole;
    // Cut inside the resource, the walk fails and the scan takes over: the
    // complete datasets are the same either way.
    ASSERT_EQ(back.Count(), whole) << "cut at " << cut;
    for (int i = 0; i < whole; ++i) ASSERT_EQ(back.DataAsString(i), texts[i]);
  }
}

TEST(IptcRead, RandomDamageNeverReadsOutsideTheBlock) {
  TPXIPTCInfoList list;
  for (int i = 0; i < 20; ++i) list.AddData(2, 25 + i, 10 + i * 3, std::string(10 + i * 3, 'k').data());
  const Bytes good = Save(list, true);
  std::mt19937 rng(1234);
  for (int round = 0; round < 2000; ++round) {
    Bytes bad = good;
    const int flips = 1 + static_cast<int>(rng() % 8);
    for (int f = 0; f < flips; ++f) bad[rng() % bad.size()] = static_cast<uint8_t>(rng());
    bad.resize(rng() % (bad.size() + 1));
    TPXIPTCInfoList back;
    Load(back, bad);
    int64_t total = 0;
    for (int i = 0; i < back.Count(); ++i) total += back.DataLength(i) + 5;
    ASSERT_LE(total, static_cast<int64_t>(bad.size()));
  }
}

}  // namespace
}  // namespace pixoran
