// The image store: round trips through the one store file, mapping limits,
// free extents, check-outs, and use from several threads under one lock.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_diblist.h"
#include "core/kopxutils_helpers.h"
#include "testsupport.h"

namespace pixoran {
namespace {

// A bitmap whose bytes follow the seed; with alpha, an alpha channel that is
// not entirely opaque.
std::unique_ptr<TPXBitmap> Pattern(int32_t w, int32_t h, TPXPixelFormat format, bool alpha, int seed) {
  auto b = std::make_unique<TPXBitmap>();
  EXPECT_TRUE(b->Allocate(w, h, format));
  const int32_t bytes = format == pxBW1 ? (w + 7) / 8 : w * (format == pxBGR24 ? 3 : 1);
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = b->Scanline(y);
    for (int32_t x = 0; x < bytes; ++x) row[x] = static_cast<uint8_t>(seed * 13 + y * 5 + x * 3);
    if (format == pxBW1 && (w % 8) != 0) row[bytes - 1] &= static_cast<uint8_t>(0xFF00 >> (w % 8));
  }
  if (alpha) {
    TPXBitmap* a = b->GetAlphaChannel();
    for (int32_t y = 0; y < h; ++y) {
      uint8_t* row = a->Scanline(y);
      for (int32_t x = 0; x < w; ++x) row[x] = static_cast<uint8_t>(seed + x * 7 + y);
    }
    a->Full = false;
  }
  return b;
}

void ExpectSame(TPXBitmap& want, TPXBitmap& got) {
  ASSERT_EQ(got.Width(), want.Width());
  ASSERT_EQ(got.Height(), want.Height());
  ASSERT_EQ(got.PixelFormat(), want.PixelFormat());
  const auto bytes = static_cast<size_t>((static_cast<int64_t>(want.Width()) * want.BitCount() + 7) / 8);
  for (int32_t y = 0; y < want.Height(); ++y) ASSERT_EQ(std::memcmp(want.Scanline(y), got.Scanline(y), bytes), 0) << y;
  ASSERT_EQ(got.HasAlphaChannel(), want.HasAlphaChannel());
  if (!want.HasAlphaChannel()) return;
  for (int32_t y = 0; y < want.Height(); ++y)
    ASSERT_EQ(std::memcmp(want.GetAlphaChannel()->Scanline(y), got.GetAlphaChannel()->Scanline(y),
                          static_cast<size_t>(want.Width())),
              0);
}

TEST(VirtualDIBList, RoundTripsPastTheMappedLimitInBothDepths) {
  TPXVirtualDIBList store;
  struct Kept {
    std::unique_ptr<TPXBitmap> Bitmap;
    TPXVirtualDIBImage* Record;
  };
  std::vector<Kept> kept;
  for (int i = 0; i < 30; ++i) {
    const TPXPixelFormat f = i % 2 ? pxBW1 : pxBGR24;
    auto b = Pattern(101 + 2 * i, 30 + i % 5, f, i % 3 == 0, i);
    TPXVirtualDIBImage* r = store.AddImage(*b);
    ASSERT_NE(r, nullptr);
    EXPECT_LE(store.MappedCount(), 10);
    kept.push_back({std::move(b), r});
  }
  EXPECT_GT(store.FileSize(), TPXVirtualDIBList::kInitialSize);  // grew past its first size
  for (int pass = 0; pass < 2; ++pass) {
    for (auto& k : kept) {
      TPXBitmap out;
      ASSERT_TRUE(store.ImageToBitmap(k.Record, out));
      ExpectSame(*k.Bitmap, out);
      EXPECT_LE(store.MappedCount(), 10);
    }
  }
  // In place: the header's size and the bottom row first.
  TPXVirtualDIBImage* r = kept[4].Record;
  TPXBitmap& b = *kept[4].Bitmap;
  EXPECT_EQ(store.GetImageWidth(r), b.Width());
  EXPECT_EQ(store.GetImageBitCount(r), 24);
  EXPECT_EQ(std::memcmp(store.GetImageBits(r), b.Scanline(b.Height() - 1), static_cast<size_t>(b.Width() * 3)), 0);
  EXPECT_NE(store.GetImageAlphaBits(kept[3].Record), nullptr);
  EXPECT_EQ(store.GetImageAlphaBits(kept[4].Record), nullptr);
}

TEST(VirtualDIBList, OtherFormatsAreStoredAs24Bit) {
  TPXVirtualDIBList store;
  TPXBitmap gray;
  ASSERT_TRUE(gray.Allocate(5, 2, pxGray8));
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 5; ++x) gray.Scanline(y)[x] = static_cast<uint8_t>(40 * x + y);
  TPXVirtualDIBImage* r = store.AddImage(gray);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(store.GetImageBitCount(r), 24);
  TPXBitmap out;
  ASSERT_TRUE(store.ImageToBitmap(r, out));
  ASSERT_EQ(out.PixelFormat(), pxBGR24);
  for (int32_t y = 0; y < 2; ++y)
    for (int32_t x = 0; x < 5; ++x)
      for (int c = 0; c < 3; ++c) EXPECT_EQ(out.Scanline(y)[x * 3 + c], 40 * x + y);
}

TEST(VirtualDIBList, FreedExtentsAreReusedAndTheFileShrinks) {
  TPXVirtualDIBList store;
  auto a = Pattern(40, 30, pxBGR24, false, 1);
  auto small = Pattern(20, 10, pxBGR24, false, 2);
  TPXVirtualDIBImage* r1 = store.AddImage(*a);
  TPXVirtualDIBImage* r2 = store.AddImage(*a);
  TPXVirtualDIBImage* r3 = store.AddImage(*a);
  ASSERT_TRUE(r1 && r2 && r3);
  const int64_t end = store.EndOffset(), oldOffset = r2->Offset;
  store.DeleteImage(r2);
  TPXVirtualDIBImage* r4 = store.AddImage(*small);  // fits in the freed extent
  ASSERT_NE(r4, nullptr);
  EXPECT_EQ(r4->Offset, oldOffset);
  EXPECT_EQ(store.EndOffset(), end);
  TPXBitmap out;
  ASSERT_TRUE(store.ImageToBitmap(r4, out));
  ExpectSame(*small, out);
  ASSERT_TRUE(store.ImageToBitmap(r3, out));
  ExpectSame(*a, out);
  // Many images grow the file; deleting them all shrinks it back.
  std::vector<TPXVirtualDIBImage*> many{r1, r3, r4};
  for (int i = 0; i < 40; ++i) many.push_back(store.AddImage(*a));
  const int64_t grown = store.FileSize();
  EXPECT_GT(grown, TPXVirtualDIBList::kInitialSize);
  for (TPXVirtualDIBImage* r : many) store.DeleteImage(r);
  EXPECT_EQ(store.ImageCount(), 0);
  EXPECT_LT(store.FileSize(), grown);
  EXPECT_EQ(store.EndOffset(), 0);
  ASSERT_NE(store.AddImage(*small), nullptr);  // still usable
}

TEST(VirtualDIBList, CheckOutChangeAndWriteBack) {
  TPXVirtualDIBList store;
  auto a = Pattern(9, 7, pxBGR24, true, 3);
  TPXVirtualDIBImage* r = store.AddImage(*a);
  ASSERT_NE(r, nullptr);
  TPXBitmap* b1 = store.GetBitmap(r);
  TPXBitmap* b2 = store.GetBitmap(r);
  ASSERT_NE(b1, nullptr);
  EXPECT_EQ(b1, b2);
  EXPECT_TRUE(r->CheckedOut);
  EXPECT_EQ(store.GetImageBits(r), b1->Scanline(6));  // the checked-out rows
  ExpectSame(*a, *b1);
  // Same size: in place; a new size: a new extent.
  b1->Scanline(0)[0] = 0xEE;
  store.ReleaseBitmap(b1, true);
  EXPECT_TRUE(r->CheckedOut);
  const int64_t offset = r->Offset;
  b2->SetWidth(12);
  store.ReleaseImage(r, true);
  EXPECT_FALSE(r->CheckedOut);
  EXPECT_NE(r->Offset, offset);
  TPXBitmap out;
  ASSERT_TRUE(store.ImageToBitmap(r, out));
  EXPECT_EQ(out.Width(), 12);
  EXPECT_EQ(out.Scanline(0)[0], 0xEE);
  store.ReleaseBitmap(&out, true);  // not checked out here: ignored
}

TEST(VirtualDIBList, MappedLimitBelowOneAndAMissingFolder) {
  {
    TPXVirtualDIBList store;
    store.SetMaxMapped(0);  // would never end the eviction loop
    EXPECT_EQ(store.MaxMapped(), 1);
    auto a = Pattern(3, 3, pxBW1, false, 4);
    TPXVirtualDIBImage* r1 = store.AddImage(*a);
    TPXVirtualDIBImage* r2 = store.AddImage(*a);
    ASSERT_TRUE(r1 && r2);
    EXPECT_EQ(store.MappedCount(), 1);
    TPXBitmap out;
    ASSERT_TRUE(store.ImageToBitmap(r1, out));
    ExpectSame(*a, out);
  }
  // No file to be had: nothing is added; once there is one, images are.
  std::unique_ptr<TPXVirtualDIBList> store;
  auto a = Pattern(3, 3, pxBGR24, false, 5);
  {
    pixoran::testing::TempFolderScope folder("/proc/no/such/place");
    store = std::make_unique<TPXVirtualDIBList>();
    EXPECT_EQ(store->AddImage(*a), nullptr);
    EXPECT_EQ(store->ImageCount(), 0);
  }
  TPXVirtualDIBImage* r = store->AddImage(*a);
  ASSERT_NE(r, nullptr);
  TPXBitmap out;
  ASSERT_TRUE(store->ImageToBitmap(r, out));
  ExpectSame(*a, out);
}

TEST(VirtualDIBList, TheLeastRecentlyUsedImageIsTheOneUnmapped) {
  TPXVirtualDIBList store;
  auto a = Pattern(8, 8, pxBGR24, false, 6);
  std::vector<TPXVirtualDIBImage*> r;
  for (int i = 0; i < 10; ++i) r.push_back(store.AddImage(*a));
  EXPECT_EQ(store.GetImageWidth(r[0]), 8);  // the first becomes the most recently used
  r.push_back(store.AddImage(*a));
  ASSERT_EQ(store.MappedCount(), 10);
  for (int i = 0; i < 11; ++i) EXPECT_EQ(r[static_cast<size_t>(i)]->Mapped == nullptr, i == 1) << i;
  TPXBitmap out;
  ASSERT_TRUE(store.ImageToBitmap(r[1], out));  // written back when it went
  ExpectSame(*a, out);
}

TEST(VirtualDIBList, AnEntirelyOpaqueAlphaComesBackWithout) {
  TPXVirtualDIBList store;
  auto a = Pattern(6, 5, pxBGR24, true, 7);
  TPXBitmap* alpha = a->GetAlphaChannel();
  for (int32_t y = 0; y < 5; ++y) std::memset(alpha->Scanline(y), 255, 6);
  alpha->Full = true;
  TPXVirtualDIBImage* r = store.AddImage(*a);
  ASSERT_NE(r, nullptr);
  EXPECT_TRUE(r->HasAlpha);
  EXPECT_EQ(store.GetImageAlphaBits(r), nullptr);
  TPXBitmap out;
  ASSERT_TRUE(store.ImageToBitmap(r, out));
  EXPECT_FALSE(out.HasAlphaChannel());
  a->RemoveAlphaChannel();
  ExpectSame(*a, out);
}

TEST(VirtualDIBList, GrowthForgetsFreeExtentsAndTheLastDeletionLeavesTheIncrement) {
  // 100 x 100 at 24 bits is 30048 bytes: two fit the first 64 KB, the third grows the file.
  TPXVirtualDIBList store;
  auto a = Pattern(100, 100, pxBGR24, false, 8);
  TPXVirtualDIBImage* r1 = store.AddImage(*a);
  TPXVirtualDIBImage* r2 = store.AddImage(*a);
  ASSERT_TRUE(r1 && r2);
  EXPECT_EQ(store.FileSize(), TPXVirtualDIBList::kInitialSize);
  const int64_t freed = r1->Offset;
  store.DeleteImage(r1);
  auto big = Pattern(150, 150, pxBGR24, false, 9);  // does not fit the freed extent
  TPXVirtualDIBImage* r3 = store.AddImage(*big);
  ASSERT_NE(r3, nullptr);
  EXPECT_GT(store.FileSize(), TPXVirtualDIBList::kInitialSize);
  TPXVirtualDIBImage* r4 = store.AddImage(*a);  // would fit the freed one, forgotten by the growth
  ASSERT_NE(r4, nullptr);
  EXPECT_NE(r4->Offset, freed);
  EXPECT_EQ(r4->Offset, r3->Offset + r3->Size);

  // The last deletion leaves exactly the growth increment, which a request
  // larger than it has raised to the last request plus that one.
  struct Case {
    int32_t side;
    int64_t want;
  };
  const int64_t large = 48 + CalcRowLen(200, 24, 32) * 200;  // above 64 KB
  for (const Case& c : {Case{100, TPXVirtualDIBList::kInitialSize}, Case{200, 30048 + large}}) {
    TPXVirtualDIBList s;
    auto small = Pattern(100, 100, pxBGR24, false, 10);
    auto other = Pattern(c.side, c.side, pxBGR24, false, 11);
    TPXVirtualDIBImage* x = s.AddImage(*small);
    TPXVirtualDIBImage* y = s.AddImage(*other);
    ASSERT_TRUE(x && y);
    s.DeleteImage(x);
    s.DeleteImage(y);
    EXPECT_EQ(s.FileSize(), c.want) << c.side;
    EXPECT_EQ(s.EndOffset(), 0);
  }
}

TEST(VirtualDIBList, ReservingTooMuchKeepsThePlannedSize) {
  TPXVirtualDIBList store;
  auto a = Pattern(5, 5, pxBGR24, false, 12);
  TPXVirtualDIBImage* r = store.AddImage(*a);
  ASSERT_NE(r, nullptr);
  const int32_t big = std::numeric_limits<int32_t>::max();
  const int64_t before = store.FileSize();
  EXPECT_FALSE(store.ReserveSpace(big, big, big, 24));  // past int64
  EXPECT_FALSE(store.ReserveSpace(big, big, 3, 24));
  EXPECT_EQ(store.FileSize(), before);
  EXPECT_TRUE(store.ReserveSpace(5, 5, 10, 24));
  EXPECT_EQ(store.FileSize(), before + 10 * (48 + 16 * 5));
  TPXBitmap out;
  ASSERT_TRUE(store.ImageToBitmap(r, out));
  ExpectSame(*a, out);
}

// In a child process, whose file-size limit is its own: a store whose file
// has grown for 30 images gets a limit below the tenth, so that write-backs
// of the images past it fail whichever call unmaps them. Prints what went
// wrong and exits 0 when nothing did.
void StoreUnderAFileSizeLimit() {
  std::string wrong;
  auto check = [&](bool ok, const std::string& what) {
    if (!ok) wrong += what + "\n";
  };
  std::signal(SIGXFSZ, SIG_IGN);
  TPXVirtualDIBList store;
  constexpr int32_t kW = 64, kH = 48;
  constexpr int64_t kBytes = 48 + kW * 3 * kH;
  check(store.ReserveSpace(kW, kH, 30, 24), "reserve");
  const int64_t limit = 9 * kBytes + kBytes / 2;  // images 0 to 8 fit below it
  const rlimit r{static_cast<rlim_t>(limit), static_cast<rlim_t>(limit)};
  check(setrlimit(RLIMIT_FSIZE, &r) == 0, "setrlimit");
  std::vector<std::unique_ptr<TPXBitmap>> bitmaps;
  std::vector<TPXVirtualDIBImage*> records;
  for (int i = 0; i < 30; ++i) {
    bitmaps.push_back(Pattern(kW, kH, pxBGR24, false, i));
    records.push_back(store.AddImage(*bitmaps.back()));
    check(records.back() != nullptr, "add " + std::to_string(i));
  }
  if (!wrong.empty()) {
    std::fputs(wrong.c_str(), stderr);
    std::exit(1);
  }
  auto same = [&](int i, TPXBitmap& out) {
    TPXBitmap& want = *bitmaps[static_cast<size_t>(i)];
    if (out.Width() != kW || out.Height() != kH || out.PixelFormat() != pxBGR24) return false;
    for (int32_t y = 0; y < kH; ++y)
      if (std::memcmp(out.Scanline(y), want.Scanline(y), kW * 3) != 0) return false;
    return true;
  };
  // Twice round: reading evicts too, and the second round meets every loss.
  int lost = 0;
  for (int pass = 0; pass < 2; ++pass) {
    lost = 0;
    for (int i = 0; i < 30; ++i) {
      TPXVirtualDIBImage* rec = records[static_cast<size_t>(i)];
      TPXBitmap out;
      const bool read = store.ImageToBitmap(rec, out);
      const std::string at = " " + std::to_string(i) + " pass " + std::to_string(pass);
      if (i < 9) check(read && same(i, out), "healthy image not read back" + at);
      if (read) {
        check(same(i, out), "read back as something else" + at);
        continue;
      }
      ++lost;
      check(rec->Lost, "not marked lost" + at);
      check(store.GetBitmap(rec) == nullptr && store.GetImageWidth(rec) == 0 && store.GetImageBits(rec) == nullptr,
            "lost image readable" + at);
    }
  }
  check(lost == 21, "lost " + std::to_string(lost) + " of 30");
  // Healthy images still change in place; a lost one takes its content back.
  TPXBitmap* b = store.GetBitmap(records[2]);
  check(b != nullptr, "check out");
  if (b) {
    b->Scanline(0)[0] ^= 0xFF;
    bitmaps[2]->Scanline(0)[0] ^= 0xFF;
    store.ReleaseBitmap(b, true);
  }
  // (Read in place: mapping it to read would write it back first.)
  check(store.BitmapToImage(records[25], *bitmaps[25]), "store into a lost image");
  const uint8_t* bottom = store.GetImageBits(records[25]);
  check(!records[25]->Lost && store.GetImageWidth(records[25]) == kW && bottom &&
            std::memcmp(bottom, bitmaps[25]->Scanline(kH - 1), kW * 3) == 0,
        "lost image stored again");
  // Growing the file fails: the planned size stays, the mapped images are
  // written back (the one past the limit is lost), the healthy ones keep.
  const int64_t size = store.FileSize();
  check(!store.ReserveSpace(kW, kH, 10, 24), "reserve past the limit");
  check(store.FileSize() == size, "planned size kept after a failed growth");
  check(records[25]->Lost, "image unmapped by the resize not marked lost");
  for (int i = 0; i < 9; ++i) {
    TPXBitmap again;
    check(store.ImageToBitmap(records[static_cast<size_t>(i)], again) && same(i, again),
          "healthy image after the resize " + std::to_string(i));
  }
  std::fputs(wrong.c_str(), stderr);
  std::exit(wrong.empty() ? 0 : 1);
}

TEST(VirtualDIBListDeathTest, AFullDiskLosesOnlyTheImagesItCouldNotTake) {
  // A fresh child (a fork would copy the running application's threads).
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(StoreUnderAFileSizeLimit(), ::testing::ExitedWithCode(0), "");
}

TEST(VirtualDIBListThread, SharedUnderTheCallersLock) {
  TPXVirtualDIBList store;
  std::mutex lock;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        auto b = Pattern(3 + t + i % 4, 4, i % 2 ? pxBW1 : pxBGR24, i % 3 == 0, t * 100 + i);
        TPXBitmap out;
        std::lock_guard<std::mutex> guard(lock);
        TPXVirtualDIBImage* r = store.AddImage(*b);
        ASSERT_NE(r, nullptr);
        ASSERT_TRUE(store.ImageToBitmap(r, out));
        ExpectSame(*b, out);
        if (i % 2) store.DeleteImage(r);
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(store.ImageCount(), 4 * 13);
}

}  // namespace
}  // namespace pixoran
