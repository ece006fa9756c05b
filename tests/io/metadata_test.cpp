// Storage of the metadata containers: marker list, IPTC datasets, imaging
// annotations and ICC profiles.
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/kopxutils_bitmap.h"
#include "io/pxmetadata.h"

namespace pixoran {
namespace {

std::vector<uint8_t> Bytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(seed + i * 13);
  return v;
}

// ------------------------------------------------------------------ markers

TEST(MetadataMarkers, AddKeepsOrderTypeAndACopyOfTheBytes) {
  TPXMarkerList list;
  EXPECT_EQ(list.Count(), 0);
  std::vector<uint8_t> app1 = Bytes(100, 1);
  EXPECT_EQ(list.AddMarker(0xE1, app1.data(), 100), 0);
  EXPECT_EQ(list.AddMarker(0xFE, "hello", 5), 1);
  EXPECT_EQ(list.AddMarker(0xE1, "second", 6), 2);
  app1[0] = 0xFF;  // the list holds its own copy
  ASSERT_EQ(list.Count(), 3);
  EXPECT_EQ(list.MarkerType(0), 0xE1);
  EXPECT_EQ(list.MarkerLength(0), 100);
  EXPECT_EQ(list.MarkerData(0)[0], 1);
  EXPECT_EQ(std::memcmp(list.MarkerData(0) + 1, app1.data() + 1, 99), 0);
  EXPECT_EQ(list.MarkerType(1), 0xFE);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(list.MarkerData(1)), 5), "hello");
  // The first of two APP1 markers.
  EXPECT_EQ(list.IndexOf(0xE1), 0);
  EXPECT_EQ(list.IndexOf(0xFE), 1);
  EXPECT_EQ(list.IndexOf(0xED), -1);
}

TEST(MetadataMarkers, LengthIsSixteenBit) {
  TPXMarkerList list;
  std::vector<uint8_t> big(65536, 7);
  EXPECT_EQ(list.AddMarker(0xE2, big.data(), 65535), 0);
  EXPECT_EQ(list.MarkerLength(0), 65535);
  EXPECT_EQ(list.AddMarker(0xE2, big.data(), 65536), -1);
  EXPECT_EQ(list.AddMarker(0xE2, big.data(), -1), -1);
  EXPECT_EQ(list.AddMarker(0xE2, nullptr, 4), -1);
  EXPECT_EQ(list.Count(), 1);
  // An empty segment is legal and needs no data.
  EXPECT_EQ(list.AddMarker(0xE3, nullptr, 0), 1);
  EXPECT_EQ(list.MarkerLength(1), 0);
  EXPECT_EQ(list.MarkerData(1), nullptr);

  EXPECT_FALSE(list.SetMarker(0, 0xE4, 65536, big.data()));
  EXPECT_FALSE(list.SetMarker(0, 0xE4, -1, big.data()));
  EXPECT_FALSE(list.SetMarker(0, 0xE4, 3, nullptr));
  EXPECT_EQ(list.MarkerType(0), 0xE2);
  EXPECT_EQ(list.MarkerLength(0), 65535);
}

TEST(MetadataMarkers, SetAndDelete) {
  TPXMarkerList list;
  list.AddMarker(0xE0, "JFIF", 4);
  list.AddMarker(0xE1, "Exif", 4);
  list.AddMarker(0xFE, "note", 4);
  EXPECT_TRUE(list.SetMarker(1, 0xED, 3, "abc"));
  EXPECT_EQ(list.MarkerType(1), 0xED);
  EXPECT_EQ(list.MarkerLength(1), 3);
  EXPECT_EQ(std::memcmp(list.MarkerData(1), "abc", 3), 0);
  EXPECT_FALSE(list.SetMarker(3, 0xED, 1, "x"));
  EXPECT_FALSE(list.SetMarker(-1, 0xED, 1, "x"));

  // Replacing a marker by a part of itself.
  EXPECT_TRUE(list.SetMarker(0, 0xE0, 2, list.MarkerData(0) + 2));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(list.MarkerData(0)), 2), "IF");

  list.DeleteMarker(0);
  ASSERT_EQ(list.Count(), 2);
  EXPECT_EQ(list.MarkerType(0), 0xED);
  EXPECT_EQ(list.MarkerType(1), 0xFE);
  list.DeleteMarker(2);
  list.DeleteMarker(-1);
  EXPECT_EQ(list.Count(), 2);
  list.Clear();
  EXPECT_EQ(list.Count(), 0);
}

TEST(MetadataMarkers, OutOfRangeReadsNothing) {
  TPXMarkerList list;
  list.AddMarker(0xE1, "a", 1);
  for (int32_t bad : {-1, 1, std::numeric_limits<int32_t>::max(), std::numeric_limits<int32_t>::min()}) {
    EXPECT_EQ(list.MarkerType(bad), 0);
    EXPECT_EQ(list.MarkerLength(bad), 0);
    EXPECT_EQ(list.MarkerData(bad), nullptr);
  }
}

TEST(MetadataMarkers, AssignIsADeepCopy) {
  TPXMarkerList src, dst;
  src.AddMarker(0xE1, "one", 3);
  src.AddMarker(0xFE, "two", 3);
  dst.AddMarker(0xE5, "old", 3);
  dst.Assign(&src);
  src.MarkerData(0)[0] = 'X';
  src.Clear();
  ASSERT_EQ(dst.Count(), 2);
  EXPECT_EQ(dst.MarkerType(0), 0xE1);
  EXPECT_EQ(std::memcmp(dst.MarkerData(0), "one", 3), 0);
  EXPECT_EQ(dst.MarkerType(1), 0xFE);

  dst.Assign(nullptr);  // ignored, not a clear
  EXPECT_EQ(dst.Count(), 2);
  dst.Assign(&dst);
  EXPECT_EQ(dst.Count(), 2);
  EXPECT_EQ(std::memcmp(dst.MarkerData(1), "two", 3), 0);
}

// ------------------------------------------------------------------ IPTC

TEST(MetadataIPTC, AddAndRead) {
  TPXIPTCInfoList list;
  EXPECT_FALSE(list.UserChanged);
  EXPECT_EQ(list.AddData(2, 120, 7, "caption"), 0);
  EXPECT_TRUE(list.UserChanged);
  std::vector<uint8_t> big = Bytes(40000, 3);
  EXPECT_EQ(list.AddData(2, 25, 40000, big.data()), 1);
  EXPECT_EQ(list.AddData(2, 25, 3, "kw2"), 2);
  EXPECT_EQ(list.AddData(1, 90, 0, nullptr), 3);
  big[0] = 0;

  ASSERT_EQ(list.Count(), 4);
  EXPECT_EQ(list.RecordNumber(0), 2);
  EXPECT_EQ(list.DataSet(0), 120);
  EXPECT_EQ(list.DataLength(0), 7);
  EXPECT_EQ(list.DataAsString(0), "caption");
  EXPECT_EQ(list.DataLength(1), 40000);
  EXPECT_EQ(list.Data(1)[0], 3);  // copied before the caller's change
  EXPECT_EQ(list.RecordNumber(3), 1);
  EXPECT_EQ(list.DataLength(3), 0);
  EXPECT_EQ(list.Data(3), nullptr);
  EXPECT_EQ(list.IndexOf(2, 25), 1);  // the first of repeated datasets
  EXPECT_EQ(list.IndexOf(2, 5), -1);

  EXPECT_EQ(list.AddData(2, 5, -1, "x"), -1);
  EXPECT_EQ(list.AddData(2, 5, 4, nullptr), -1);
  EXPECT_EQ(list.Count(), 4);

  for (int32_t bad : {-1, 4}) {
    EXPECT_EQ(list.RecordNumber(bad), 0);
    EXPECT_EQ(list.DataSet(bad), 0);
    EXPECT_EQ(list.DataLength(bad), 0);
    EXPECT_EQ(list.Data(bad), nullptr);
    EXPECT_EQ(list.DataAsString(bad), "");
  }
}

TEST(MetadataIPTC, UserChangedTracksEdits) {
  TPXIPTCInfoList list;
  list.Clear();
  EXPECT_TRUE(list.UserChanged);  // a clear is an edit

  list.AddData(2, 5, 1, "a");
  list.UserChanged = false;  // as after loading
  list.DeleteData(5);
  EXPECT_FALSE(list.UserChanged);  // nothing removed
  list.DeleteData(0);
  EXPECT_TRUE(list.UserChanged);
  EXPECT_EQ(list.Count(), 0);

  TPXIPTCInfoList other;
  list.UserChanged = false;
  list.Assign(nullptr);
  EXPECT_FALSE(list.UserChanged);  // ignored entirely
  list.Assign(&other);
  EXPECT_TRUE(list.UserChanged);
}

TEST(MetadataIPTC, AssignIsADeepCopy) {
  TPXIPTCInfoList src, dst;
  src.AddData(2, 120, 3, "abc");
  src.AddData(2, 80, 2, "me");
  dst.AddData(2, 5, 3, "old");
  dst.Assign(&src);
  src.Clear();
  ASSERT_EQ(dst.Count(), 2);
  EXPECT_EQ(dst.DataSet(0), 120);
  EXPECT_EQ(dst.DataAsString(0), "abc");
  EXPECT_EQ(dst.DataSet(1), 80);
  EXPECT_EQ(dst.DataAsString(1), "me");
  dst.Assign(&dst);
  EXPECT_EQ(dst.Count(), 2);
}

// ------------------------------------------------------------------ annotations

TEST(MetadataAnnot, ObjectStartsEmptyAndReadsAttributesLittleEndian) {
  TPXImagingObject obj;
  for (uint8_t b : obj.Attributes) ASSERT_EQ(b, 0);
  EXPECT_EQ(obj.Attributes.size(), 164u);
  EXPECT_TRUE(obj.Points.empty());
  EXPECT_TRUE(obj.Text.empty());
  EXPECT_EQ(obj.Image, nullptr);
  EXPECT_EQ(obj.MarkType(), 0);

  obj.SetMarkType(7);
  EXPECT_EQ(obj.Attributes[0], 7);
  EXPECT_EQ(obj.Attributes[1], 0);
  obj.SetAttrInt(48, -20);  // the font height
  EXPECT_EQ(obj.Attributes[48], 0xEC);
  EXPECT_EQ(obj.Attributes[51], 0xFF);
  EXPECT_EQ(obj.AttrInt(48), -20);
  obj.Attributes[4] = 0x78;
  obj.Attributes[5] = 0x56;
  obj.Attributes[6] = 0x34;
  obj.Attributes[7] = 0x12;
  EXPECT_EQ(obj.AttrInt(4), 0x12345678);

  // The last whole integer is at 160; anything past it is refused.
  obj.SetAttrInt(160, 0x01020304);
  EXPECT_EQ(obj.Attributes[163], 0x01);
  EXPECT_EQ(obj.AttrInt(160), 0x01020304);
  obj.SetAttrInt(161, -1);
  obj.SetAttrInt(-1, -1);
  EXPECT_EQ(obj.AttrInt(161), 0);
  EXPECT_EQ(obj.AttrInt(-4), 0);
  EXPECT_EQ(obj.AttrInt(160), 0x01020304);
}

TEST(MetadataAnnot, AddGetDeleteClear) {
  TPXImagingAnnot annot;
  EXPECT_EQ(annot.Count(), 0);
  annot.AddObject()->SetMarkType(3);
  auto own = std::make_unique<TPXImagingObject>();
  own->SetMarkType(5);
  EXPECT_EQ(annot.AddObject(std::move(own)), 1);
  EXPECT_EQ(annot.AddObject(std::unique_ptr<TPXImagingObject>()), -1);
  annot.AddObject()->SetMarkType(7);
  ASSERT_EQ(annot.Count(), 3);
  EXPECT_EQ(annot.Object(1)->MarkType(), 5);
  EXPECT_EQ(annot.Object(3), nullptr);
  EXPECT_EQ(annot.Object(-1), nullptr);

  annot.DeleteObject(1);
  ASSERT_EQ(annot.Count(), 2);
  EXPECT_EQ(annot.Object(0)->MarkType(), 3);
  EXPECT_EQ(annot.Object(1)->MarkType(), 7);
  annot.DeleteObject(2);
  EXPECT_EQ(annot.Count(), 2);
  annot.Clear();
  EXPECT_EQ(annot.Count(), 0);
}

TEST(MetadataAnnot, AssignDeepCopiesEveryPart) {
  TPXImagingAnnot src, dst;
  TPXImagingObject* line = src.AddObject();
  line->SetMarkType(4);
  line->SetAttrInt(20, 0x00FF0000);
  line->Points = {{0, 0}, {10, 5}, {20, 0}, {30, 5}, {40, 0}};
  TPXImagingObject* text = src.AddObject();
  text->SetMarkType(7);
  text->Text = "typed text";
  TPXImagingObject* image = src.AddObject();
  image->SetMarkType(1);
  image->Image = std::make_unique<TPXBitmap>();
  ASSERT_TRUE(image->Image->Allocate(4, 2, pxBGR24));
  for (int32_t y = 0; y < 2; ++y) std::memset(image->Image->Scanline(y), 0x40 + y, 12);
  dst.AddObject()->SetMarkType(9);  // replaced, not kept

  dst.Assign(&src);
  const std::vector<TPXAnnotPoint> points = line->Points;
  line->Points[0].X = 99;
  text->Text.clear();
  src.Clear();  // frees the source image too

  ASSERT_EQ(dst.Count(), 3);
  EXPECT_EQ(dst.Object(0)->MarkType(), 4);
  EXPECT_EQ(dst.Object(0)->AttrInt(20), 0x00FF0000);
  ASSERT_EQ(dst.Object(0)->Points.size(), 5u);
  EXPECT_EQ(dst.Object(0)->Points[0], (TPXAnnotPoint{0, 0}));
  EXPECT_EQ(dst.Object(0)->Points[4], (TPXAnnotPoint{40, 0}));
  EXPECT_EQ(dst.Object(1)->Text, "typed text");
  EXPECT_EQ(dst.Object(1)->Image, nullptr);
  TPXBitmap* copy = dst.Object(2)->Image.get();
  ASSERT_NE(copy, nullptr);
  ASSERT_EQ(copy->Width(), 4);
  ASSERT_EQ(copy->Height(), 2);
  for (int32_t y = 0; y < 2; ++y) {
    const uint8_t* row = copy->Scanline(y);
    for (int i = 0; i < 12; ++i) ASSERT_EQ(row[i], 0x40 + y);
  }

  dst.Assign(nullptr);
  EXPECT_EQ(dst.Count(), 3);
  dst.Assign(&dst);
  EXPECT_EQ(dst.Count(), 3);
}

// ------------------------------------------------------------------ ICC

TEST(MetadataICC, ProfileHeldAndCopiedByteForByte) {
  const std::vector<uint8_t> profile = Bytes(3144, 11);
  TPXICC icc;
  EXPECT_TRUE(icc.IsEmpty());
  EXPECT_EQ(icc.Raw(), nullptr);
  EXPECT_EQ(icc.RawSize(), 0);
  ASSERT_TRUE(icc.LoadFromBuffer(profile.data(), 3144));
  ASSERT_EQ(icc.RawSize(), 3144);
  EXPECT_NE(icc.Raw(), profile.data());
  EXPECT_EQ(std::memcmp(icc.Raw(), profile.data(), 3144), 0);
  EXPECT_FALSE(icc.IsTransformReady());

  TPXICC copy;
  copy.LoadFromBuffer("old", 3);
  copy.Assign(&icc);
  icc.Clear();
  ASSERT_EQ(copy.RawSize(), 3144);
  EXPECT_EQ(std::memcmp(copy.Raw(), profile.data(), 3144), 0);
  EXPECT_TRUE(icc.IsEmpty());

  copy.Assign(nullptr);
  EXPECT_EQ(copy.RawSize(), 3144);
  copy.Assign(&copy);
  EXPECT_EQ(copy.RawSize(), 3144);
  copy.Assign(&icc);  // an empty source empties the copy
  EXPECT_TRUE(copy.IsEmpty());
}

TEST(MetadataICC, LoadReplacesAndRejectsBadInput) {
  TPXICC icc;
  icc.LoadFromBuffer("abcdef", 6);
  // From its own bytes.
  ASSERT_TRUE(icc.LoadFromBuffer(icc.Raw() + 2, 3));
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(icc.Raw()), 3), "cde");
  EXPECT_FALSE(icc.LoadFromBuffer(nullptr, 5));
  EXPECT_TRUE(icc.IsEmpty());
  icc.LoadFromBuffer("ab", 2);
  EXPECT_FALSE(icc.LoadFromBuffer("ab", -1));
  EXPECT_TRUE(icc.IsEmpty());
  EXPECT_TRUE(icc.LoadFromBuffer(nullptr, 0));
  EXPECT_TRUE(icc.IsEmpty());
  icc.FreeTransforms();
  EXPECT_FALSE(icc.IsTransformReady());
}

}  // namespace
}  // namespace pixoran
