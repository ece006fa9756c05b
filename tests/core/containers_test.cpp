// Hash set, byte buffer, null stream, fixed-size item lists and the viewer
// parameter records.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "core/kopxutils_containers.h"
#include "platform/streams.h"

namespace pixoran {
namespace {

// ------------------------------------------------------------ THash1

TEST(ContainersHash, DuplicatesAreRefused) {
  THash1 h(13);
  EXPECT_EQ(h.BucketCount(), 8192);
  EXPECT_TRUE(h.Insert(0x123456));
  EXPECT_FALSE(h.Insert(0x123456));
  EXPECT_TRUE(h.Insert(0x000000));
  EXPECT_EQ(h.Count(), 2);
  EXPECT_TRUE(h.Contains(0x123456));
  EXPECT_FALSE(h.Contains(0x654321));
}

TEST(ContainersHash, ChainsKeepInsertionOrder) {
  THash1 h(4);  // 16 buckets: keys 3, 19, 35, 51 share bucket 3
  int32_t bucket = -1;
  THash1Item* node = reinterpret_cast<THash1Item*>(1);
  ASSERT_TRUE(h.InsertEx(3, bucket, node));
  EXPECT_EQ(bucket, 3);
  EXPECT_EQ(node, nullptr);  // stored directly in the empty bucket
  EXPECT_EQ(h.BucketState(3), THash1::hbKey);
  h.BucketValue(3) = 77;

  ASSERT_TRUE(h.InsertEx(19, bucket, node));
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->Key, 19u);
  EXPECT_EQ(h.BucketState(3), THash1::hbChain);
  const THash1Item* first = h.BucketChain(3);
  EXPECT_EQ(first->Key, 3u);
  EXPECT_EQ(first->Value, 77);  // the old key keeps its user value
  EXPECT_EQ(first->Next.get(), node);

  ASSERT_TRUE(h.InsertEx(35, bucket, node));
  ASSERT_TRUE(h.InsertEx(51, bucket, node));
  EXPECT_FALSE(h.InsertEx(19, bucket, node));
  std::vector<uint32_t> order;
  for (const THash1Item* n = h.BucketChain(3); n; n = n->Next.get()) order.push_back(n->Key);
  EXPECT_EQ(order, (std::vector<uint32_t>{3, 19, 35, 51}));
  EXPECT_EQ(h.Count(), 4);
  EXPECT_TRUE(h.Contains(35));
  EXPECT_FALSE(h.Contains(67));
}

TEST(ContainersHash, OneBucketChainsEverything) {
  auto h = std::make_unique<THash1>(0);
  EXPECT_EQ(h->BucketCount(), 1);
  for (uint32_t k = 0; k < 3000; ++k) ASSERT_TRUE(h->Insert(k * 7919u)) << k;
  for (uint32_t k = 0; k < 3000; k += 7) ASSERT_FALSE(h->Insert(k * 7919u)) << k;
  EXPECT_EQ(h->Count(), 3000);
  h.reset();  // frees the whole chain (the sanitizer checks)
}

// ------------------------------------------------------------ TPXByteArray

TEST(ContainersByteArray, GrowsAndShrinksByTheRule) {
  TPXByteArray a;
  EXPECT_EQ(a.Size(), 0);
  EXPECT_EQ(a.Capacity(), 8192);
  for (int i = 0; i < 8192; ++i) ASSERT_TRUE(a.AddByte(static_cast<uint8_t>(i)));
  EXPECT_EQ(a.Capacity(), 8192);  // within the capacity only the size moves
  ASSERT_TRUE(a.AddByte(0xAB));
  EXPECT_EQ(a.Size(), 8193);
  EXPECT_EQ(a.Capacity(), 8193 + 8192);
  EXPECT_EQ(a.Data()[8191], 0xFF);
  EXPECT_EQ(a.Data()[8192], 0xAB);

  ASSERT_TRUE(a.SetSize(8193 + 8192 - 8192));  // n >= capacity - 8192: kept
  EXPECT_EQ(a.Capacity(), 8193 + 8192);
  ASSERT_TRUE(a.SetSize(100));  // far below: the block shrinks, content kept
  EXPECT_EQ(a.Size(), 100);
  EXPECT_EQ(a.Capacity(), 100 + 8192);
  EXPECT_EQ(a.Data()[99], 99);
  ASSERT_TRUE(a.SetSize(300));  // regrown bytes read as zero
  EXPECT_EQ(a.Data()[150], 0);
  EXPECT_FALSE(a.SetSize(-1));
  EXPECT_FALSE(a.SetSize(std::numeric_limits<int32_t>::max()));  // no room for the growth step
  EXPECT_EQ(a.Size(), 300);
}

TEST(ContainersByteArray, AppendFromStreamKeepsWhatWasRead) {
  const std::string text = "0123456789";
  TReadOnlyMemoryStream s(text.data(), 10);
  TPXByteArray a;
  a.AddByte('x');
  EXPECT_EQ(a.AppendFromStream(s, 4), 4);
  EXPECT_EQ(a.AppendFromStream(s, 100), 6);  // short read: size follows it
  EXPECT_EQ(a.Size(), 11);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(a.Data()), 11), "x0123456789");
  EXPECT_EQ(a.AppendFromStream(s, 5), 0);
  EXPECT_EQ(a.Size(), 11);
}

// ------------------------------------------------------------ TNulStream

TEST(ContainersNulStream, SizeIsTheFurthestPositionReached) {
  TNulStream s;
  char buf[10] = {};
  EXPECT_EQ(s.Write(buf, 10), 10);
  EXPECT_EQ(s.Seek(4, TSeekOrigin::soBeginning), 4);
  EXPECT_EQ(s.Size(), 10);
  EXPECT_EQ(s.Position(), 4);
  EXPECT_EQ(s.Seek(0, TSeekOrigin::soEnd), 10);
  EXPECT_EQ(s.Seek(-3, TSeekOrigin::soEnd), 7);  // size + offset
  EXPECT_EQ(s.Size(), 10);
  EXPECT_EQ(s.Seek(5, TSeekOrigin::soEnd), 15);  // from the end the size stays
  EXPECT_EQ(s.Size(), 10);
  EXPECT_EQ(s.Seek(5, TSeekOrigin::soCurrent), 20);
  EXPECT_EQ(s.Size(), 20);
  EXPECT_EQ(s.Read(buf, 3), 3);
  EXPECT_EQ(s.Position(), 23);
  // Measuring a writer's output is what it is for.
  TNulStream m;
  bool err = false;
  const std::vector<uint8_t> block(1000, 7);
  for (int i = 0; i < 5; ++i) m.WriteBuffer(block.data(), 1000);
  EXPECT_FALSE(err);
  EXPECT_EQ(m.Size(), 5000);
}

// ------------------------------------------------------------ TPXList family

TEST(ContainersList, AddDeleteAndCount) {
  TPXIntegerList l;
  EXPECT_EQ(l.ItemSize(), 4);
  EXPECT_FALSE(l.Changed);
  for (int i = 0; i < 5; ++i) EXPECT_EQ(l.Add(i * 10), i);
  EXPECT_TRUE(l.Changed);
  l.Delete(l.Count());  // out of range: nothing
  l.Delete(-1);
  EXPECT_EQ(l.Count(), 5);
  l.Delete(1);
  ASSERT_EQ(l.Count(), 4);
  EXPECT_EQ(l.Get(0), 0);
  EXPECT_EQ(l.Get(1), 20);
  EXPECT_EQ(l.Get(3), 40);
  l.SetCount(6);  // new items are zero, old ones kept
  EXPECT_EQ(l.Get(3), 40);
  EXPECT_EQ(l.Get(5), 0);
  l.SetCount(2);
  EXPECT_EQ(l.Count(), 2);
  EXPECT_EQ(l.Get(1), 20);
  l.Clear();
  EXPECT_EQ(l.Count(), 0);
  EXPECT_FALSE(l.Changed);
}

TEST(ContainersList, AssignCopiesDataAndRanges) {
  TPXDoubleList a;
  a.Add(1.5);
  a.Add(-2.25);
  a.RangeMin = 1, a.RangeMax = 9, a.RangeStep = 0.5, a.Current = 3;
  a.Changed = false;
  TPXDoubleList b;
  b.Add(99.0);
  b.Assign(&a);
  ASSERT_EQ(b.Count(), 2);
  EXPECT_DOUBLE_EQ(b.Get(1), -2.25);
  EXPECT_DOUBLE_EQ(b.RangeStep, 0.5);
  EXPECT_DOUBLE_EQ(b.Current, 3);
  EXPECT_FALSE(b.Changed);
  a.Set(0, 8.0);  // a deep copy
  EXPECT_DOUBLE_EQ(b.Get(0), 1.5);
  b.Assign(nullptr);
  EXPECT_EQ(b.Count(), 2);
  b.Clear();
  EXPECT_EQ(b.ItemSize(), 8);
  EXPECT_DOUBLE_EQ(b.RangeMax, 0);
  EXPECT_DOUBLE_EQ(b.Current, 0);

  TPXIntegerList i;
  i.Add(5);
  i.RangeMax = 10;
  TPXIntegerList j;
  j.Assign(&i);
  EXPECT_EQ(j.RangeMax, 10);
  EXPECT_EQ(j.Get(0), 5);
}

TEST(ContainersList, RecordsOfAnySize) {
  struct Rec {
    int32_t a;
    char name[12];
  };
  TPXRecordList l(sizeof(Rec));
  Rec r{7, "seven"};
  EXPECT_EQ(l.Add(&r), 0);
  r = Rec{8, "eight"};
  EXPECT_EQ(l.Add(&r), 1);
  Rec out;
  std::memcpy(&out, l.GetItem(1), sizeof out);
  EXPECT_EQ(out.a, 8);
  EXPECT_STREQ(out.name, "eight");
  l.Delete(0);
  std::memcpy(&out, l.GetItem(0), sizeof out);
  EXPECT_STREQ(out.name, "eight");
  // Virtual calls reach the derived behaviour through the base.
  TPXDoubleList d;
  d.RangeMax = 4;
  TPXList& base = d;
  base.Clear();
  EXPECT_DOUBLE_EQ(d.RangeMax, 0);
}

TEST(ContainersParams, Defaults) {
  const TPXScrollBarParams s;
  EXPECT_EQ(s.LineStep, -1);
  EXPECT_EQ(s.PageStep, -1);
  EXPECT_TRUE(s.Tracking);
  const TPXMouseWheelParams m;
  EXPECT_FALSE(m.InvertDirection);
  EXPECT_EQ(m.Action, mwaZoom);
  EXPECT_EQ(m.AmountKind, mwkPercent);
  EXPECT_EQ(m.Amount, 8);
  EXPECT_FALSE(m.ZoomAtMousePosition);
}

}  // namespace
}  // namespace pixoran
