// Bitmap container: storage locations, rows, alpha channel, copies, sizes,
// fills and the temporary-file store.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <sys/resource.h>
#include <unistd.h>

#include "core/kopxutils.h"
#include "platform/system.h"
#include "testsupport.h"

using namespace pixoran;

namespace {

using pixoran::testing::TempFolderScope;
using pixoran::testing::ThresholdScope;

constexpr int64_t kHuge = int64_t{1} << 40;

// A bitmap whose storage lands in the given location: the threshold decides
// between memory and file, the platform bitmap is asked for.
std::unique_ptr<TPXBitmap> Make(TPXLocation loc, int32_t w, int32_t h, TPXPixelFormat f) {
  ThresholdScope t(loc == pxTempFile ? 0 : kHuge);
  auto b = std::make_unique<TPXBitmap>();
  if (loc == pxTBitmap) b->SetLocation(pxTBitmap);
  EXPECT_TRUE(b->Allocate(w, h, f));
  return b;
}

uint8_t Pat(int64_t i, int32_t y, int seed = 0) { return static_cast<uint8_t>(i * 7 + y * 13 + seed * 31 + 1); }

int64_t PixelBits(TPXBitmap& b) { return static_cast<int64_t>(b.Width()) * b.BitCount(); }

// Writes a pattern into the pixel bits of every row (never the padding).
void Paint(TPXBitmap& b, int seed = 0) {
  const int64_t bits = PixelBits(b);
  for (int32_t y = 0; y < b.Height(); ++y) {
    uint8_t* row = b.Scanline(y);
    ASSERT_NE(row, nullptr);
    for (int64_t i = 0; i < bits / 8; ++i) row[i] = Pat(i, y, seed);
    if (bits % 8) {
      const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - bits % 8));
      row[bits / 8] = static_cast<uint8_t>((row[bits / 8] & ~mask) | (Pat(bits / 8, y, seed) & mask));
    }
  }
}

// True when the pixel bits of every row hold the pattern.
::testing::AssertionResult HasPattern(TPXBitmap& b, int seed = 0) {
  const int64_t bits = PixelBits(b);
  for (int32_t y = 0; y < b.Height(); ++y) {
    const uint8_t* row = b.Scanline(y);
    if (!row) return ::testing::AssertionFailure() << "no row " << y;
    for (int64_t i = 0; i < bits / 8; ++i)
      if (row[i] != Pat(i, y, seed))
        return ::testing::AssertionFailure() << "row " << y << " byte " << i << " is " << int(row[i]);
    if (bits % 8) {
      const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - bits % 8));
      if ((row[bits / 8] & mask) != (Pat(bits / 8, y, seed) & mask))
        return ::testing::AssertionFailure() << "row " << y << " last bits";
    }
  }
  return ::testing::AssertionSuccess();
}

int Bit(const uint8_t* row, int64_t x) { return (row[x >> 3] >> (7 - (x & 7))) & 1; }

const char* LocName(TPXLocation l) { return l == pxInMemory ? "memory" : l == pxTempFile ? "file" : "TBitmap"; }
constexpr TPXLocation kLocations[] = {pxInMemory, pxTempFile, pxTBitmap};

}  // namespace

// ------------------------------------------------------------------ bit runs

TEST(BitmapBitRun, MatchesBitByBitCopyForEveryPhase) {
  std::mt19937 rng(7);
  uint8_t src[8], dst[8], ref[8];
  for (int sb = 0; sb < 16; ++sb)
    for (int db = 0; db < 16; ++db)
      for (int n = 0; n <= 40; ++n) {
        for (int i = 0; i < 8; ++i) src[i] = static_cast<uint8_t>(rng()), dst[i] = ref[i] = static_cast<uint8_t>(rng());
        for (int k = 0; k < n; ++k) {
          const int v = Bit(src, sb + k);
          const int64_t x = db + k;
          ref[x >> 3] = static_cast<uint8_t>((ref[x >> 3] & ~(0x80 >> (x & 7))) | (v << (7 - (x & 7))));
        }
        CopyBitRun(src, sb, dst, db, n);
        ASSERT_EQ(0, std::memcmp(dst, ref, 8)) << sb << " " << db << " " << n;
      }
}

// --------------------------------------------------------------- file buffer

TEST(FileBuffer, TemporaryFileIsGoneFromItsFolderAndReadsZeros) {
  const std::string dir = pixoran::testing::MakeTempDir("fb") + "/a/b";
  TempFolderScope folder(dir);  // missing parents are created
  TPXFileBuffer fb;
  ASSERT_TRUE(fb.Open("", 1 << 20));
  EXPECT_TRUE(fb.IsOpen());
  EXPECT_EQ(fb.FileSize(), 1 << 20);
  EXPECT_TRUE(std::filesystem::is_directory(dir));
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  EXPECT_NE(fb.FileName().find("/pixoran"), std::string::npos);
  uint8_t* p = fb.MapBlock(pxaRead, 4096, 0, (1 << 20) - 4096);
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 4096; ++i) ASSERT_EQ(p[i], 0);
  fb.Close();
  EXPECT_FALSE(fb.IsOpen());
}

TEST(FileBuffer, OpenFailsWhenTheFolderCannotBeMade) {
  TempFolderScope folder("/proc/no/such/place");
  TPXFileBuffer fb;
  EXPECT_FALSE(fb.Open("", 100));
  EXPECT_FALSE(fb.IsOpen());
}

TEST(FileBuffer, AccessBitsAndUnmapOrder) {
  TPXFileBuffer fb;
  ASSERT_TRUE(fb.Open("", 64));
  uint8_t* w = fb.MapBlock(pxaWrite, 8, 5, 8);
  EXPECT_EQ(fb.IndexOfBlock(w), 0);
  std::memset(w, 0xAB, 8);
  fb.UnmapBlock(w);
  EXPECT_EQ(fb.IndexOfBlock(w), -1);
  uint8_t* r = fb.MapBlock(pxaRead, 8, 0, 8);  // read-only: not written back
  EXPECT_EQ(r[0], 0xAB);
  r[0] = 0x11;
  fb.UnmapBlock(r);
  uint8_t* z = fb.MapBlock(pxaWrite, 8, 0, 8);  // write-only: not read, starts at zero
  EXPECT_EQ(z[0], 0);
  uint8_t* a = fb.MapBlock(pxaRead | pxaWrite, 4, 0, 40);
  uint8_t* b = fb.MapBlock(pxaRead | pxaWrite, 4, 0, 40);
  a[0] = 1, b[0] = 2;
  fb.UnmapAll();  // last to first: a's bytes win, z wrote its zeros
  EXPECT_EQ(fb.MapBlock(pxaRead, 4, 0, 40)[0], 1);
  EXPECT_EQ(fb.MapBlock(pxaRead, 8, 0, 8)[0], 0);
}

TEST(FileBuffer, CopyToWholeFileAndRange) {
  TPXFileBuffer a, b;
  ASSERT_TRUE(a.Open("", 3 << 20));
  ASSERT_TRUE(b.Open("", 4 << 20));
  uint8_t* p = a.MapBlock(pxaWrite, 16, 0, (3 << 20) - 16);
  std::memset(p, 0x5A, 16);
  uint8_t* q = a.MapBlock(pxaWrite, 4, 0, 1000);
  std::memset(q, 0x33, 4);
  // The whole file: unmaps the source's blocks first (writing them), and
  // the longer destination keeps its length.
  ASSERT_TRUE(a.CopyTo(b, 3 << 20, 0));
  EXPECT_EQ(b.FileSize(), 4 << 20);
  EXPECT_EQ(b.MapBlock(pxaRead, 16, 0, (3 << 20) - 16)[15], 0x5A);
  EXPECT_EQ(b.MapBlock(pxaRead, 4, 0, 1000)[0], 0x33);
  // A range (more than one 1 MB chunk) at an offset.
  TPXFileBuffer c;
  ASSERT_TRUE(c.Open("", 4 << 20));
  ASSERT_TRUE(a.CopyTo(c, (3 << 20) - 500, 500));
  EXPECT_EQ(c.MapBlock(pxaRead, 4, 0, 1000)[3], 0x33);
  EXPECT_EQ(c.MapBlock(pxaRead, 16, 0, (3 << 20) - 16)[0], 0x5A);

  TPXFileBuffer closed;
  EXPECT_FALSE(a.CopyTo(closed, 10, 0));
}

TEST(FileBuffer, NamedFileIsDeletedOnCloseAndShortReadsRaise) {
  const std::string name = pixoran::testing::MakeTempDir("fbn") + "/rows.tmp";
  TPXFileBuffer fb;
  ASSERT_TRUE(fb.Open(name, 1000));
  EXPECT_EQ(FileSizeByName(name), 1000);
  ASSERT_EQ(::truncate(name.c_str(), 10), 0);  // the file lost its rows
  EXPECT_THROW(fb.MapBlock(pxaRead, 100, 0, 500), EPXStorageError);
  EXPECT_EQ(fb.IndexOfBlock(nullptr), -1);
  fb.Close();
  EXPECT_FALSE(PathExists(name));
}

// ------------------------------------------------------------------ creation

TEST(BitmapCreate, DefaultsAndThreshold) {
  {
    ThresholdScope t(12345);
    TPXBitmap b;
    EXPECT_EQ(b.MemoryThreshold, 12345);
    EXPECT_EQ(b.PixelFormat(), pxNone);
    EXPECT_EQ(b.Width() + b.Height() + b.PaletteCount(), 0);
    EXPECT_EQ(b.Location(), pxTempFile);
    EXPECT_EQ(b.AccessMode, 3);
    EXPECT_EQ(b.BWConversion, 1);
    EXPECT_EQ(b.MaxColors, 256);
    EXPECT_EQ(b.RowAlign, 32);
    EXPECT_FALSE(b.Full || b.HasAlphaChannel());
    EXPECT_EQ(b.Scanline(0), nullptr);
  }
  ThresholdScope t(-1);
  TPXBitmap b;
  const int64_t avail = GetAvailablePhysicalMemory();  // moves a little between two readings
  if (avail == 0) EXPECT_EQ(b.MemoryThreshold, 0x2000000);
  else EXPECT_NEAR(static_cast<double>(b.MemoryThreshold), avail / 2.0, avail * 0.05 + (64 << 20));
}

TEST(BitmapCreate, BitCountRowLenAndZeroContentPerFormat) {
  struct Case {
    TPXPixelFormat f;
    int32_t bits, rowLen;
  } cases[] = {{pxBW1, 1, 4},     {pxPal8, 8, 12}, {pxGray8, 8, 12}, {pxGray16, 16, 20},
               {pxBGR24, 24, 32}, {px32f, 32, 40}, {pxCMYK, 32, 40}};
  for (TPXLocation loc : {pxInMemory, pxTempFile})
    for (const Case& c : cases) {
      auto b = Make(loc, 10, 3, c.f);
      EXPECT_EQ(b->Location(), loc);
      EXPECT_EQ(b->BitCount(), c.bits);
      EXPECT_EQ(b->RowLen(), c.rowLen);
      EXPECT_EQ(b->PaletteCount(), c.f == pxPal8 ? 256 : 0);
      for (int y = 0; y < 3; ++y) {
        const uint8_t* row = b->Scanline(y);
        ASSERT_NE(row, nullptr);
        for (int i = 0; i < c.rowLen; ++i) ASSERT_EQ(row[i], 0) << LocName(loc) << " " << int(c.f);
      }
      EXPECT_EQ(b->Scanline(3), nullptr);
      EXPECT_EQ(b->Scanline(-1), nullptr);
    }
  TPXBitmap b;
  b.RowAlign = 16;
  ASSERT_TRUE(b.Allocate(5, 2, pxGray8));
  EXPECT_EQ(b.RowLen(), 6);
  b.RowAlign = 8;
  ASSERT_TRUE(b.Allocate(5, 2, pxBGR24));
  EXPECT_EQ(b.RowLen(), 15);
}

TEST(BitmapCreate, LocationIsDecidedByTheThresholdAtEachAllocation) {
  // 10 x 10 pxBGR24: RowLen 32, 320 bytes.
  ThresholdScope t(320);
  TPXBitmap mem;
  mem.SetLocation(pxInMemory);
  ASSERT_TRUE(mem.Allocate(10, 10, pxBGR24));
  EXPECT_EQ(mem.Location(), pxInMemory);  // equal: as asked
  TPXBitmap file;                         // asks for a file
  ASSERT_TRUE(file.Allocate(10, 10, pxBGR24));
  EXPECT_EQ(file.Location(), pxTempFile);  // equal: as asked
  ASSERT_TRUE(file.Allocate(10, 9, pxBGR24));
  EXPECT_EQ(file.Location(), pxInMemory);  // below: memory
  mem.MemoryThreshold = 319;
  ASSERT_TRUE(mem.Allocate(10, 10, pxBGR24));
  EXPECT_EQ(mem.Location(), pxTempFile);  // one byte more: file
}

TEST(BitmapCreate, MemoryRowsAreBottomUpInOneBlock) {
  auto b = Make(pxInMemory, 7, 5, pxGray8);
  EXPECT_EQ(b->Scanline(0) - b->Scanline(1), b->RowLen());
  EXPECT_EQ(b->Scanline(0) - b->Scanline(4), 4 * b->RowLen());
}

TEST(BitmapCreate, AbsurdSizesAreRefusedAndLeaveTheBitmapEmpty) {
  ThresholdScope t(std::numeric_limits<int64_t>::max());
  TPXBitmap b;
  ASSERT_TRUE(b.Allocate(4, 4, pxGray8));
  EXPECT_FALSE(b.Allocate(std::numeric_limits<int32_t>::max(), 1, pxBGR24));  // row over int32
  EXPECT_EQ(b.PixelFormat(), pxNone);
  EXPECT_EQ(b.Width(), 0);
  EXPECT_EQ(b.Scanline(0), nullptr);
  EXPECT_FALSE(b.Allocate(-1, 5, pxGray8));
  EXPECT_EQ(b.Height(), 0);
  // 2^28 x (2^31 - 1) bytes cannot be one memory block anywhere.
  b.SetLocation(pxInMemory);
  EXPECT_FALSE(b.Allocate(1 << 28, std::numeric_limits<int32_t>::max(), pxGray8));
  EXPECT_EQ(b.Width(), 0);
  b.RowAlign = 7;  // not an alignment
  EXPECT_FALSE(b.Allocate(3, 3, pxGray8));
  b.RowAlign = 32;
  EXPECT_TRUE(b.Allocate(0, 5, pxGray8));  // nothing to store
  EXPECT_EQ(b.Scanline(0), nullptr);
}

// Rows of tens of MB in memory (a block of their own on huge pages) behave
// as small ones: zeroed at every allocation, the last row reachable, handed
// over whole, and the allocation hook still counts them.
TEST(BitmapCreate, BigMemoryRowsAreZeroedMovedAndCounted) {
  ThresholdScope t(std::numeric_limits<int64_t>::max());
  TPXBitmap b;
  ASSERT_TRUE(b.Allocate(4001, 2999, pxBGR24));  // 36 MB
  ASSERT_EQ(b.Location(), pxInMemory);
  for (int32_t y : {0, 1500, 2998}) {
    const uint8_t* r = b.Scanline(y);
    EXPECT_TRUE(std::all_of(r, r + b.RowLen(), [](uint8_t v) { return v == 0; })) << y;
  }
  for (int32_t y = 0; y < b.Height(); ++y) std::memset(b.Scanline(y), 0x5A, static_cast<size_t>(b.RowLen()));
  TPXBitmap c;
  b.TransferTo(c);
  EXPECT_EQ(c.Scanline(2998)[3 * 4001 - 1], 0x5A);
  ASSERT_TRUE(c.Allocate(4001, 2999, pxBGR24));  // fresh rows again, not the old ones
  EXPECT_EQ(c.Scanline(2998)[3 * 4001 - 1], 0);
  EXPECT_EQ(c.Scanline(0)[0], 0);

  PXArmAllocationFault(1);
  EXPECT_FALSE(c.Allocate(5001, 3001, pxBGR24));
  EXPECT_TRUE(PXAllocationFaultFired());
  PXArmAllocationFault(0);
  EXPECT_EQ(c.PixelFormat(), pxNone);
  EXPECT_EQ(c.Scanline(0), nullptr);
}

TEST(BitmapCreate, HugeImageGoesToASparseTemporaryFile) {
  ThresholdScope t(1 << 20);
  TPXBitmap b;
  b.SetLocation(pxInMemory);
  ASSERT_TRUE(b.Allocate(100000, 100000, pxBGR24));  // 30 GB: nobody writes that much
  EXPECT_EQ(b.Location(), pxTempFile);
  EXPECT_EQ(b.FileBuffer().FileSize(), int64_t{300000} * 100000);
  uint8_t* row = b.Scanline(99999);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row[299999], 0);
  row[299999] = 77;
  b.Scanline(0);
  EXPECT_EQ(b.Scanline(99999)[299999], 77);
}

// ----------------------------------------------------------------- temp rows

TEST(BitmapTempFile, RowPointersAndExtraRows) {
  auto b = Make(pxTempFile, 16, 8, pxGray8);
  ASSERT_EQ(b->Location(), pxTempFile);
  uint8_t* r0 = b->Scanline(0);
  r0[0] = 10;
  uint8_t* r1 = b->Scanline(1);  // r0 is no longer to be used
  r1[0] = 11;
  EXPECT_EQ(b->Scanline(0)[0], 10);
  EXPECT_EQ(b->Scanline(1)[0], 11);

  uint8_t* e2 = b->MapRowExtra(2);
  uint8_t* e3 = b->MapRowExtra(3);
  e2[5] = 22;
  for (int y = 0; y < 8; ++y) b->Scanline(y);  // extra rows stay valid meanwhile
  e2[6] = 23;
  e3[1] = 33;
  b->UnmapRowExtra(0);  // e2 written back
  EXPECT_EQ(b->Scanline(2)[5], 22);
  EXPECT_EQ(b->Scanline(2)[6], 23);
  b->UnmapRowExtra(5);  // out of range: ignored
  b->UnmapAllRows();    // e3 written back
  EXPECT_EQ(b->Scanline(3)[1], 33);

  // Memory and platform bitmaps give the plain row.
  auto m = Make(pxInMemory, 4, 4, pxGray8);
  EXPECT_EQ(m->MapRowExtra(2), m->Scanline(2));

  // The access mode restricts reads and write-backs.
  b->Scanline(0)[0] = 5;
  b->AccessMode = pxaRead;
  EXPECT_EQ(b->Scanline(0)[0], 5);
  b->Scanline(0)[0] = 6;  // read-only: dropped
  b->AccessMode = pxaWrite;
  EXPECT_EQ(b->Scanline(0)[0], 0);  // write-only: not read
  b->AccessMode = pxaRead | pxaWrite;
  EXPECT_EQ(b->Scanline(1)[0], 11);
  EXPECT_EQ(b->Scanline(0)[0], 0);  // the write-only row was written back as zeros
}

TEST(BitmapTempFile, FullDiskIsAnErrorTheCallerSees) {
  auto b = Make(pxTempFile, 1000, 100, pxGray8);
  auto dst = Make(pxTempFile, 1000, 100, pxGray8);
  ASSERT_EQ(b->Location(), pxTempFile);
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 50000;  // rows from 50 on cannot be written
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  auto mem = Make(pxInMemory, 1000, 100, pxGray8);
  auto raises = [](auto&& fn) {
    try {
      fn();
    } catch (const EPXStorageError&) {
      return true;
    }
    return false;
  };
  const bool rowsThrew = raises([&] {
    for (int y = 0; y < 100; ++y) std::memset(b->Scanline(y), 1, 1000);
    b->UnmapAllRows();
  });
  const bool fillThrew = raises([&] { dst->Fill(3); });
  const bool copyThrew = raises([&] {
    mem->CopyRectTo(*dst, 0, 0, 0, 0, 1000, 100);
    dst->UnmapAllRows();
  });
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_TRUE(rowsThrew);
  EXPECT_TRUE(fillThrew);
  EXPECT_TRUE(copyThrew);
  EXPECT_EQ(b->Scanline(10)[0], 1);  // what could be written is there
  EXPECT_EQ(dst->Scanline(10)[0], 0);
}

// -------------------------------------------------------------------- alpha

TEST(BitmapAlpha, FreshChannelIsOpaqueAndFull) {
  for (TPXLocation loc : kLocations) {
    auto b = Make(loc, 10, 10, pxBGR24);
    TPXBitmap* a = b->GetAlphaChannel();
    ASSERT_NE(a, nullptr);
    EXPECT_TRUE(b->HasAlphaChannel() && a->IsAlpha() && a->Full);
    EXPECT_EQ(a->PixelFormat(), pxGray8);
    EXPECT_EQ(a->Width() * 100 + a->Height(), 1010);
    EXPECT_NE(a->Location(), pxTBitmap);
    for (int y = 0; y < 10; ++y)
      for (int x = 0; x < 10; ++x) ASSERT_EQ(b->GetAlpha(x, y), 255);
    EXPECT_EQ(a->GetAlphaChannel(), nullptr);
    EXPECT_EQ(b->GetAlphaChannel(), a);
    b->RemoveAlphaChannel();
    EXPECT_FALSE(b->HasAlphaChannel());
  }
}

TEST(BitmapAlpha, FullFollowsWritesBelowTheMaximum) {
  auto b = Make(pxInMemory, 4, 4, pxBGR24);
  TPXBitmap* a = b->GetAlphaChannel();
  b->Full = true;
  b->SetAlpha(1, 1, 255);
  EXPECT_TRUE(a->Full);
  EXPECT_TRUE(b->Full);
  b->SetAlpha(1, 1, 254);
  EXPECT_FALSE(a->Full);
  EXPECT_FALSE(b->Full);
  EXPECT_EQ(b->GetAlpha(1, 1), 254);
  EXPECT_EQ(a->GetAlpha(1, 1), 254);  // on the channel itself: its own bytes
  a->SetAlpha(1, 1, 255);
  a->SyncFull();
  EXPECT_TRUE(a->Full);

  auto g = Make(pxInMemory, 3, 1, pxGray8);
  g->Fill(255);
  g->SetByte(0, 0, 255);
  EXPECT_TRUE(g->Full);
  g->SetByte(2, 0, 7);
  EXPECT_FALSE(g->Full);
  EXPECT_EQ(g->GetByte(2, 0), 7);
}

TEST(BitmapAlpha, SyncFullLooksAtPixelsNotPadding) {
  auto g = Make(pxInMemory, 10, 2, pxGray8);  // RowLen 12
  for (int y = 0; y < 2; ++y) std::memset(g->Scanline(y), 255, 10);
  g->SyncFull();
  EXPECT_TRUE(g->Full);
  g->Scanline(1)[9] = 254;
  g->SyncFull();
  EXPECT_FALSE(g->Full);

  auto bw = Make(pxTempFile, 10, 2, pxBW1);  // 10 bits of 32
  for (int y = 0; y < 2; ++y) bw->Scanline(y)[0] = 0xFF, bw->Scanline(y)[1] = 0xC0;
  bw->SyncFull();
  EXPECT_TRUE(bw->Full);
  bw->Scanline(0)[1] = 0x80;
  bw->SyncFull();
  EXPECT_FALSE(bw->Full);

  auto f = Make(pxInMemory, 3, 1, px32f);
  f->Fill(1.0);
  f->Full = false;
  f->SyncFull();
  EXPECT_TRUE(f->Full);
}

// ----------------------------------------------------------------- fill

TEST(BitmapFill, EveryFormatWritesItsPixelAndSetsFull) {
  for (TPXLocation loc : {pxInMemory, pxTempFile}) {
    auto bw = Make(loc, 10, 2, pxBW1);
    bw->Fill(0);
    EXPECT_FALSE(bw->Full);
    EXPECT_EQ(bw->Scanline(1)[0], 0);
    bw->Fill(1);
    EXPECT_TRUE(bw->Full);
    for (int i = 0; i < bw->RowLen(); ++i) EXPECT_EQ(bw->Scanline(1)[i], 255);

    auto g = Make(loc, 3, 2, pxGray8);
    g->Fill(0x1FF);  // low byte
    EXPECT_EQ(g->Scanline(0)[2], 0xFF);
    EXPECT_FALSE(g->Full);
    g->Fill(255.9);  // Trunc
    EXPECT_TRUE(g->Full);

    auto w = Make(loc, 3, 2, pxGray16);
    w->Fill(0x1234);
    EXPECT_EQ(w->Scanline(1)[4] | w->Scanline(1)[5] << 8, 0x1234);
    EXPECT_FALSE(w->Full);
    w->Fill(65535);
    EXPECT_TRUE(w->Full);

    auto c = Make(loc, 3, 2, pxBGR24);
    c->Fill(clRed);  // framework colour: red in the low byte
    EXPECT_EQ(c->GetPixel24(2, 1), (TBGR{0, 0, 255}));
    EXPECT_FALSE(c->Full);
    c->Fill(clWindow);  // system colour resolved: white
    EXPECT_EQ(c->GetPixel24(0, 0), (TBGR{255, 255, 255}));
    EXPECT_TRUE(c->Full);

    auto f = Make(loc, 3, 2, px32f);
    f->Fill(0.25);
    float v;
    std::memcpy(&v, f->Scanline(1) + 8, 4);
    EXPECT_EQ(v, 0.25f);
    EXPECT_FALSE(f->Full);

    auto k = Make(loc, 3, 2, pxCMYK);
    k->Fill(RGBColor(255, 0, 0));
    const TCMYK red = RGBToCMYK(TBGR{0, 0, 255});
    EXPECT_EQ(0, std::memcmp(k->Scanline(1) + 8, &red, 4));
    EXPECT_FALSE(k->Full);
    k->Fill(clWhite);
    EXPECT_TRUE(k->Full);
    EXPECT_EQ(k->Scanline(0)[0], 255);
  }
  TPXBitmap none;
  none.Fill(255);  // nothing to do
  EXPECT_FALSE(none.Full);
}

TEST(BitmapFill, FillRectClipsAndWritesEachFormat) {
  auto bw = Make(pxTempFile, 20, 3, pxBW1);
  bw->Fill(0);
  bw->Full = true;
  bw->FillRect(3, -5, 13, 1, 1);
  EXPECT_TRUE(bw->Full);  // untouched
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 20; ++x) ASSERT_EQ(Bit(bw->Scanline(y), x), (y <= 1 && x >= 3 && x <= 13) ? 1 : 0);
  bw->FillRect(5, 0, 5, 0, 0);
  EXPECT_EQ(Bit(bw->Scanline(0), 5), 0);
  EXPECT_EQ(Bit(bw->Scanline(0), 4), 1);

  auto f = Make(pxInMemory, 4, 2, px32f);
  f->FillRect(1, 0, 99, 99, 0.75);  // the value, not its truncation
  float v0, v1;
  std::memcpy(&v0, f->Scanline(1), 4);
  std::memcpy(&v1, f->Scanline(1) + 12, 4);
  EXPECT_EQ(v0, 0.0f);
  EXPECT_EQ(v1, 0.75f);

  auto c = Make(pxTBitmap, 5, 5, pxBGR24);
  c->FillRect(-3, 3, 1, 10, RGBColor(1, 2, 3));
  EXPECT_EQ(c->GetPixel24(1, 4), (TBGR{3, 2, 1}));
  EXPECT_EQ(c->GetPixel24(2, 4), (TBGR{}));
  EXPECT_EQ(c->GetPixel24(1, 2), (TBGR{}));
  c->FillRect(4, 4, 2, 2, 0);  // reversed: nothing
  EXPECT_EQ(c->GetPixel24(1, 4), (TBGR{3, 2, 1}));
}

// ------------------------------------------------------------- pixel reads

TEST(BitmapPixels, GetPixelAsRGBEveryFormat) {
  auto bw = Make(pxInMemory, 9, 1, pxBW1);
  bw->Scanline(0)[1] = 0x80;
  EXPECT_EQ(bw->GetPixelAsRGB(8, 0), (TBGR{255, 255, 255}));
  EXPECT_EQ(bw->GetPixelAsRGB(7, 0), (TBGR{0, 0, 0}));

  auto pal = Make(pxInMemory, 2, 1, pxPal8);
  pal->SetPaletteEntry(3, TBGR{1, 2, 3});
  pal->Scanline(0)[1] = 3;
  EXPECT_EQ(pal->GetPixelAsRGB(1, 0), (TBGR{1, 2, 3}));

  auto g16 = Make(pxInMemory, 2, 1, pxGray16);
  g16->Scanline(0)[2] = 0x34, g16->Scanline(0)[3] = 0xAB;
  EXPECT_EQ(g16->GetPixelAsRGB(1, 0), (TBGR{0xAB, 0xAB, 0xAB}));

  auto f = Make(pxInMemory, 3, 1, px32f);
  const float vals[3] = {0.5f, 2.0f, -1.0f};
  std::memcpy(f->Scanline(0), vals, 12);
  EXPECT_EQ(f->GetPixelAsRGB(0, 0).g, 127);
  EXPECT_EQ(f->GetPixelAsRGB(1, 0).g, 255);
  EXPECT_EQ(f->GetPixelAsRGB(2, 0).g, 0);

  auto k = Make(pxInMemory, 1, 1, pxCMYK);
  const uint8_t cmyk[4] = {255, 128, 0, 200};
  std::memcpy(k->Scanline(0), cmyk, 4);
  EXPECT_EQ(k->GetPixelAsRGB(0, 0), CMYKToRGB(TCMYK{255, 128, 0, 200}));

  TPXBitmap none;
  EXPECT_EQ(none.GetPixelAsRGB(0, 0), (TBGR{}));
}

TEST(BitmapPixels, IsGrayscale) {
  auto c = Make(pxTempFile, 4, 3, pxBGR24);
  c->Fill(RGBColor(9, 9, 9));
  EXPECT_TRUE(c->IsGrayscale());
  c->Scanline(2)[3 * 3 + 1] = 10;
  EXPECT_FALSE(c->IsGrayscale());
  auto p = Make(pxInMemory, 4, 3, pxPal8);
  EXPECT_TRUE(p->IsGrayscale());  // a fresh palette is a gray ramp
  p->SetPaletteEntry(200, TBGR{1, 1, 2});
  EXPECT_FALSE(p->IsGrayscale());
  p->SetPaletteEntry(256, TBGR{1, 1, 2});  // outside: ignored
  EXPECT_EQ(p->GetPaletteEntry(256), (TBGR{}));
  EXPECT_EQ(p->GetPaletteEntry(-1), (TBGR{}));
  EXPECT_TRUE(Make(pxInMemory, 2, 2, px32f)->IsGrayscale());
}

// ------------------------------------------------------------ copy round trips

namespace {

// A paletted image with a pattern, a palette of its own and an alpha channel.
std::unique_ptr<TPXBitmap> MakeSource(TPXLocation loc, TPXPixelFormat f = pxPal8) {
  auto b = Make(loc, 37, 11, f);
  Paint(*b);
  if (f == pxPal8)
    for (int i = 0; i < 256; ++i) b->SetPaletteEntry(i, TBGR{uint8_t(i), uint8_t(255 - i), uint8_t(i / 2)});
  TPXBitmap* a = b->GetAlphaChannel();
  Paint(*a, 5);
  b->BWConversion = 0;
  return b;
}

void ExpectSameImage(TPXBitmap& b, TPXPixelFormat f, bool withAlpha) {
  EXPECT_EQ(b.PixelFormat(), f);
  EXPECT_EQ(b.Width(), 37);
  EXPECT_EQ(b.Height(), 11);
  EXPECT_TRUE(HasPattern(b));
  if (f == pxPal8) {
    EXPECT_EQ(b.PaletteCount(), 256);
    EXPECT_EQ(b.GetPaletteEntry(200), (TBGR{200, 55, 100}));
  }
  EXPECT_EQ(b.HasAlphaChannel(), withAlpha);
  if (withAlpha) {
    EXPECT_EQ(b.GetAlphaChannel()->Width(), 37);
    EXPECT_TRUE(HasPattern(*b.GetAlphaChannel(), 5));
  }
}

}  // namespace

TEST(BitmapCopy, AssignBetweenEveryPairOfLocations) {
  for (TPXLocation from : kLocations)
    for (TPXLocation to : kLocations)
      for (TPXPixelFormat f : {pxPal8, pxBGR24, pxBW1}) {
        SCOPED_TRACE(std::string(LocName(from)) + " -> " + LocName(to) + " format " + std::to_string(f));
        auto src = MakeSource(from, f);
        src->Full = true;
        auto dst = Make(to, 3, 3, pxGray8);
        dst->Assign(static_cast<TPXBaseBitmap*>(src.get()));
        ExpectSameImage(*dst, f, true);
        EXPECT_TRUE(dst->Full);
        EXPECT_EQ(dst->BWConversion, 0);
        if (to == pxTBitmap) {
          EXPECT_EQ(dst->Location(), pxTBitmap);
        }
        if (to == pxTBitmap && f == pxPal8) {
          const TPaletteEntry e = dst->VclBitmap()->GetPaletteEntry(200);
          EXPECT_EQ(e.Red, 100);
          EXPECT_EQ(e.Blue, 200);
        }
        ExpectSameImage(*src, f, true);  // the source is untouched
      }
}

TEST(BitmapCopy, AssignBetweenTempFilesCopiesTheWholeFileWithDirtyRows) {
  auto src = Make(pxTempFile, 300, 200, pxBGR24);
  Paint(*src);
  src->MapRowExtra(7)[0] = 99;  // mapped, not yet written
  auto dst = Make(pxTempFile, 1, 1, pxGray8);
  dst->MemoryThreshold = 0;
  dst->Assign(static_cast<TPXBaseBitmap*>(src.get()));
  EXPECT_EQ(dst->Location(), pxTempFile);
  EXPECT_EQ(dst->FileBuffer().FileSize(), src->FileBuffer().FileSize());
  EXPECT_EQ(dst->Scanline(7)[0], 99);
  dst->Scanline(7)[0] = Pat(0, 7);
  EXPECT_TRUE(HasPattern(*dst));
  EXPECT_EQ(src->AccessMode, 3);  // restored after the copy
  EXPECT_EQ(dst->AccessMode, 3);
}

TEST(BitmapCopy, AssignFreesAStaleAlphaAndKeepsFull) {
  for (TPXLocation to : kLocations) {
    auto src = Make(pxInMemory, 5, 5, pxBGR24);
    src->Fill(clWhite);
    auto dst = Make(to, 5, 5, pxBGR24);
    dst->GetAlphaChannel()->Fill(0);
    dst->Assign(static_cast<TPXBaseBitmap*>(src.get()));
    EXPECT_FALSE(dst->HasAlphaChannel()) << LocName(to);
    EXPECT_TRUE(dst->Full);
  }
  // Other classes and the bitmap itself are ignored; its own alpha channel is a source like any.
  auto b = Make(pxInMemory, 6, 4, pxBGR24);
  b->Assign(static_cast<TPXBaseBitmap*>(nullptr));
  b->Assign(static_cast<TPXBaseBitmap*>(b.get()));
  EXPECT_EQ(b->Width(), 6);
  Paint(*b->GetAlphaChannel(), 2);
  b->Assign(static_cast<TPXBaseBitmap*>(b->GetAlphaChannel()));
  EXPECT_EQ(b->PixelFormat(), pxGray8);
  EXPECT_FALSE(b->HasAlphaChannel());
  EXPECT_TRUE(HasPattern(*b, 2));
}

TEST(BitmapCopy, CopyPixelsFromKeepsLocationAlphaAndBWConversion) {
  for (TPXLocation to : kLocations) {
    auto src = MakeSource(pxInMemory);
    src->Full = true;
    auto dst = Make(to, 37, 11, pxBGR24);
    dst->GetAlphaChannel()->Fill(9);
    dst->BWConversion = 1;
    dst->CopyPixelsFrom(*src);
    if (to == pxTBitmap) {
      EXPECT_EQ(dst->Location(), pxTBitmap);
    }
    EXPECT_TRUE(HasPattern(*dst)) << LocName(to);
    EXPECT_EQ(dst->GetPaletteEntry(200), (TBGR{200, 55, 100}));
    EXPECT_EQ(dst->GetAlpha(3, 3), 9);  // its own alpha, not the source's
    EXPECT_EQ(dst->BWConversion, 1);
    EXPECT_FALSE(dst->Full);
  }
}

TEST(BitmapCopy, SetLocationRoundTripKeepsEverything) {
  auto b = MakeSource(pxInMemory);
  b->Full = true;
  b->MemoryThreshold = 0;  // every move below lands where asked
  for (TPXLocation loc : {pxTempFile, pxTBitmap, pxInMemory, pxTBitmap, pxTempFile}) {
    b->SetLocation(loc);
    EXPECT_EQ(b->Location(), loc == pxInMemory ? pxTempFile : loc);
    ExpectSameImage(*b, pxPal8, true);
    EXPECT_TRUE(b->Full);
  }
  b->MemoryThreshold = kHuge;
  b->SetLocation(pxInMemory);
  EXPECT_EQ(b->Location(), pxInMemory);
  ExpectSameImage(*b, pxPal8, true);
}

TEST(BitmapCopy, TransferToHandsEverythingOver) {
  for (TPXLocation loc : kLocations) {
    auto src = MakeSource(loc);
    src->Full = true;
    if (loc == pxTempFile) src->Scanline(3);  // a mapped row goes along
    TPXBitmap target;
    target.Allocate(4, 4, pxGray8);
    target.GetAlphaChannel();
    src->TransferTo(target);
    EXPECT_EQ(target.Location(), loc);
    ExpectSameImage(target, pxPal8, true);
    EXPECT_TRUE(target.Full);
    EXPECT_EQ(target.BWConversion, 0);
    EXPECT_EQ(src->PixelFormat(), pxNone);
    EXPECT_EQ(src->Width() + src->PaletteCount(), 0);
    EXPECT_FALSE(src->HasAlphaChannel() || src->FileBuffer().IsOpen());
    EXPECT_EQ(src->Location(), loc);  // the location stays
    EXPECT_EQ(src->Scanline(0), nullptr);
  }
}

TEST(BitmapCopy, MovesIntoThePlatformBitmapRefuseFloatAndCMYK) {
  for (TPXPixelFormat f : {px32f, pxCMYK}) {
    const std::string msg = f == px32f ? "px32f pixel format not allowed when Location=pxTBitmap"
                                       : "pxCMYK pixel format not allowed when Location=pxTBitmap";
    auto src = Make(pxInMemory, 6, 3, f);
    Paint(*src);
    try {
      src->SetLocation(pxTBitmap);
      ADD_FAILURE() << "no refusal";
    } catch (const EPXBitmapError& e) {
      EXPECT_EQ(e.what(), msg);
    }
    EXPECT_EQ(src->Location(), pxInMemory);
    EXPECT_TRUE(HasPattern(*src));  // the image survives a refused move

    auto dst = Make(pxTBitmap, 4, 4, pxBGR24);
    Paint(*dst, 3);
    EXPECT_THROW(dst->Assign(static_cast<TPXBaseBitmap*>(src.get())), EPXBitmapError);
    EXPECT_THROW(dst->CopyPixelsFrom(*src), EPXBitmapError);
    EXPECT_EQ(dst->PixelFormat(), pxBGR24);
    EXPECT_TRUE(HasPattern(*dst, 3));
    EXPECT_THROW(dst->Allocate(2, 2, f), EPXBitmapError);
    EXPECT_TRUE(HasPattern(*dst, 3));
  }
}

TEST(BitmapCopy, Gray16IntoThePlatformBitmapKeepsTheHighBytes) {
  auto src = Make(pxTempFile, 5, 2, pxGray16);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 5; ++x) src->Scanline(y)[2 * x] = 0x11, src->Scanline(y)[2 * x + 1] = uint8_t(x * 40 + y);
  auto dst = Make(pxTBitmap, 1, 1, pxBGR24);
  dst->Assign(static_cast<TPXBaseBitmap*>(src.get()));
  EXPECT_EQ(dst->BitCount(), 8);
  EXPECT_EQ(dst->PixelFormat(), pxPal8);                    // an 8-bit platform bitmap is paletted ...
  EXPECT_EQ(dst->GetPaletteEntry(77), (TBGR{77, 77, 77}));  // ... with a gray ramp
  EXPECT_EQ(dst->Scanline(1)[4], 161);
  EXPECT_EQ(dst->GetPixelAsRGB(3, 0), (TBGR{120, 120, 120}));

  src->SetLocation(pxTBitmap);
  EXPECT_EQ(src->PixelFormat(), pxPal8);
  EXPECT_EQ(src->Scanline(0)[2], 80);
  // An alpha channel moved there stays gray.
  auto b = Make(pxInMemory, 3, 3, pxBGR24);
  TPXBitmap* a = b->GetAlphaChannel();
  a->SetAlpha(2, 2, 17);
  a->SetLocation(pxTBitmap);
  EXPECT_EQ(a->PixelFormat(), pxGray8);
  EXPECT_EQ(a->GetAlpha(2, 2), 17);
  EXPECT_EQ(a->PaletteCount(), 0);
}

// ----------------------------------------------------------- platform bitmap

TEST(BitmapTBitmap, AllocateSetsThePlatformFormat) {
  auto bw = Make(pxTBitmap, 10, 2, pxBW1);
  EXPECT_EQ(bw->VclBitmap()->PixelFormat(), pf1bit);
  bw->Fill(1);
  EXPECT_EQ(bw->VclBitmap()->Image().pixel(9, 1), qRgb(255, 255, 255));  // a set bit is white
  auto g = Make(pxTBitmap, 10, 2, pxGray8);
  EXPECT_EQ(g->PixelFormat(), pxPal8);
  EXPECT_EQ(g->GetPaletteEntry(10), (TBGR{10, 10, 10}));
  EXPECT_EQ(g->VclBitmap()->PixelFormat(), pf8bit);
  auto c = Make(pxTBitmap, 10, 2, pxBGR24);
  EXPECT_EQ(c->VclBitmap()->PixelFormat(), pf24bit);
  c->Fill(RGBColor(10, 20, 30));
  EXPECT_EQ(c->VclBitmap()->Image().pixel(9, 1), qRgb(10, 20, 30));
  EXPECT_EQ(c->Scanline(1), c->VclBitmap()->ScanLine(1));  // top-down, the platform's rows
}

TEST(BitmapTBitmap, AttachReportsFormatAndIsNeverFreed) {
  TBitmap tb;
  tb.SetPixelFormat(pf8bit);
  tb.SetSize(6, 4);
  tb.SetPaletteEntries(5, {TPaletteEntry{10, 20, 30, 0}});
  tb.ScanLine(2)[3] = 5;
  {
    TPXBitmap b;
    b.AttachTBitmap(&tb, true);
    EXPECT_EQ(b.Location(), pxTBitmap);
    EXPECT_EQ(b.PixelFormat(), pxPal8);
    EXPECT_EQ(b.Width(), 6);
    EXPECT_EQ(b.GetPixelAsRGB(3, 2), (TBGR{30, 20, 10}));
    b.SetPaletteEntry(5, TBGR{1, 2, 3});
    EXPECT_EQ(tb.GetPaletteEntry(5).Red, 3);
    TPXBitmap alpha;
    alpha.InitAsAlpha(1, 1, pxInMemory);
    alpha.AttachTBitmap(&tb, true);
    EXPECT_EQ(alpha.PixelFormat(), pxGray8);
    EXPECT_EQ(alpha.GetAlpha(3, 2), 5);
    b.FreeImage();
  }  // neither frees the attached bitmap
  EXPECT_EQ(tb.Width(), 6);
  EXPECT_EQ(tb.ScanLine(2)[3], 5);

  TPXBitmap b;
  b.AttachTBitmap(nullptr, false);
  EXPECT_EQ(b.PixelFormat(), pxNone);
}

TEST(BitmapTBitmap, RowTableFollowsTheBitmapWhenItChanges) {
  auto b = Make(pxTBitmap, 4, 4, pxBGR24);
  b->GetAlphaChannel();
  TBitmap* tb = b->VclBitmap();
  tb->SetSize(9, 7);  // new rows elsewhere
  EXPECT_EQ(b->Width(), 9);
  EXPECT_EQ(b->Height(), 7);
  EXPECT_EQ(b->RowLen(), 28);
  EXPECT_EQ(b->Scanline(6), tb->ScanLine(6));
  EXPECT_EQ(b->GetAlphaChannel()->Width(), 9);  // the alpha channel follows
  tb->SetSize(5, 5);
  EXPECT_EQ(b->Scanline(4), tb->ScanLine(4));  // a row fetch alone notices too
  EXPECT_EQ(b->Scanline(5), nullptr);
  // Formats it cannot read as rows are turned into 24-bit ones.
  tb->SetPixelFormat(pf32bit);
  EXPECT_EQ(b->PixelFormat(), pxBGR24);
  EXPECT_EQ(tb->PixelFormat(), pf24bit);
}

TEST(BitmapTBitmap, CanvasDrawingShowsInTheRows) {
  auto b = Make(pxInMemory, 8, 8, pxBGR24);
  Paint(*b);
  TCanvas* canvas = b->GetCanvas();
  EXPECT_EQ(b->Location(), pxTBitmap);
  EXPECT_TRUE(HasPattern(*b));
  canvas->Brush.Color = RGBColor(200, 100, 50);
  canvas->FillRect(Rect(2, 2, 4, 4));
  EXPECT_EQ(b->GetPixel24(3, 3), (TBGR{50, 100, 200}));
  EXPECT_EQ(b->GetPixel24(4, 4), (TBGR{Pat(12, 4), Pat(13, 4), Pat(14, 4)}));
  TPXBitmap empty;
  ASSERT_NE(empty.VclBitmap(), nullptr);
  EXPECT_EQ(empty.Location(), pxTBitmap);
}

TEST(BitmapTBitmap, CopyFromTBitmapFormats) {
  TBitmap mono;
  mono.SetPixelFormat(pf1bit);
  mono.SetSize(10, 2);
  mono.ScanLine(1)[1] = 0x40;  // pixel 9 white
  TPXBitmap b;
  b.Assign(&mono);
  EXPECT_EQ(b.PixelFormat(), pxBW1);
  EXPECT_EQ(b.GetPixelAsRGB(9, 1), (TBGR{255, 255, 255}));
  EXPECT_EQ(b.GetPixelAsRGB(8, 1), (TBGR{0, 0, 0}));

  mono.SetPaletteEntries(0, {TPaletteEntry{255, 0, 0, 0}, TPaletteEntry{0, 0, 255, 0}});  // red, blue
  b.CopyFromTBitmap(mono);
  EXPECT_EQ(b.PixelFormat(), pxPal8);
  EXPECT_EQ(b.Scanline(1)[9], 1);
  EXPECT_EQ(b.Scanline(1)[8], 0);
  EXPECT_EQ(b.GetPixelAsRGB(9, 1), (TBGR{255, 0, 0}));
  EXPECT_EQ(b.GetPaletteEntry(0), (TBGR{0, 0, 255}));

  TBitmap hi;
  hi.SetPixelFormat(pf16bit);
  hi.SetSize(2, 1);
  hi.ScanLine(0)[0] = 0xFF, hi.ScanLine(0)[1] = 0xFF;  // 565 white
  hi.ScanLine(0)[2] = 0x1F, hi.ScanLine(0)[3] = 0x00;  // blue 31
  b.CopyFromTBitmap(hi);
  EXPECT_EQ(b.PixelFormat(), pxBGR24);
  EXPECT_EQ(b.GetPixel24(0, 0), (TBGR{248, 252, 248}));
  EXPECT_EQ(b.GetPixel24(1, 0), (TBGR{248, 0, 0}));

  TBitmap h15;
  h15.SetPixelFormat(pf15bit);
  h15.SetSize(1, 1);
  h15.ScanLine(0)[0] = 0x00, h15.ScanLine(0)[1] = 0x7C;  // red 31
  b.CopyFromTBitmap(h15);
  EXPECT_EQ(b.GetPixel24(0, 0), (TBGR{0, 0, 248}));

  TBitmap t32;
  t32.SetPixelFormat(pf32bit);
  t32.SetSize(2, 1);
  t32.Image().setPixel(1, 0, qRgb(1, 2, 3));
  b.CopyFromTBitmap(t32);
  EXPECT_EQ(b.GetPixel24(1, 0), (TBGR{3, 2, 1}));

  TBitmap p8;
  p8.SetPixelFormat(pf8bit);
  p8.SetSize(3, 1);
  p8.SetPaletteEntries(2, {TPaletteEntry{7, 8, 9, 0}});
  p8.ScanLine(0)[2] = 2;
  b.CopyFromTBitmap(p8);
  EXPECT_EQ(b.PixelFormat(), pxPal8);
  EXPECT_EQ(b.GetPixelAsRGB(2, 0), (TBGR{9, 8, 7}));
  EXPECT_FALSE(b.Full);

  // In the platform location the bitmap is copied as it is.
  auto t = Make(pxTBitmap, 1, 1, pxBGR24);
  t->CopyFromTBitmap(p8);
  EXPECT_EQ(t->PixelFormat(), pxPal8);
  EXPECT_EQ(t->GetPixelAsRGB(2, 0), (TBGR{9, 8, 7}));
  EXPECT_NE(t->Scanline(0), p8.ScanLine(0));
}

// --------------------------------------------------------------------- size

TEST(BitmapSize, WidthAndHeightKeepTheOverlapAndZeroTheGain) {
  for (TPXLocation loc : kLocations)
    for (TPXPixelFormat f : {pxBW1, pxPal8, pxBGR24, pxGray16}) {
      if (loc == pxTBitmap && f == pxGray16) continue;
      SCOPED_TRACE(std::string(LocName(loc)) + " format " + std::to_string(f));
      auto b = Make(loc, 13, 6, f);
      b->Fill(f == pxBGR24 ? clWhite : 0xFFFF);  // padding bits set too
      if (f == pxPal8) b->SetPaletteEntry(9, TBGR{1, 2, 3});
      b->GetAlphaChannel()->Fill(200);
      b->SetWidth(30);
      b->SetHeight(9);
      EXPECT_EQ(b->Width(), 30);
      EXPECT_EQ(b->Height(), 9);
      EXPECT_FALSE(b->Full);
      for (int y = 0; y < 9; ++y)
        for (int x = 0; x < 30; ++x) {
          const uint8_t want = (x < 13 && y < 6) ? 255 : 0;
          ASSERT_EQ(b->GetPixelAsRGB(x, y).r, want) << x << "," << y;
        }
      EXPECT_EQ(b->GetAlphaChannel()->Width(), 30);
      EXPECT_EQ(b->GetAlpha(12, 5), 200);
      EXPECT_EQ(b->GetAlpha(13, 5), 0);
      if (f == pxPal8) {
        EXPECT_EQ(b->GetPaletteEntry(9), (TBGR{1, 2, 3}));
      }
      b->SetWidth(5);
      b->SetHeight(2);
      EXPECT_EQ(b->GetPixelAsRGB(4, 1).r, 255);
      b->SetWidth(6);
      EXPECT_EQ(b->GetPixelAsRGB(5, 1).r, 0);
    }
}

TEST(BitmapSize, ZeroSizesNeverTouchMissingStorage) {
  for (TPXLocation loc : kLocations) {
    auto b = Make(loc, 8, 4, pxPal8);
    b->SetPaletteEntry(1, TBGR{4, 5, 6});
    b->Fill(3);
    b->SetWidth(0);
    EXPECT_EQ(b->Width(), 0);
    EXPECT_EQ(b->Scanline(0), nullptr);
    b->SetWidth(5);
    EXPECT_EQ(b->Height(), 4);
    ASSERT_NE(b->Scanline(3), nullptr);
    EXPECT_EQ(b->Scanline(3)[4], 0);
    EXPECT_EQ(b->GetPaletteEntry(1), (TBGR{4, 5, 6}));  // the palette stays
    b->SetHeight(0);
    EXPECT_EQ(b->Scanline(0), nullptr);
    b->SetHeight(2);
    EXPECT_EQ(b->Scanline(1)[0], 0);
  }
  TPXBitmap none;
  none.SetWidth(10);  // no format: only the number changes
  EXPECT_EQ(none.Width(), 10);
  EXPECT_EQ(none.Scanline(0), nullptr);
}

namespace {
// Columns of row y: 'f' fill, 'o' old content, by runs.
std::string ColumnKinds(TPXBitmap& b, int32_t y, uint8_t fill) {
  std::string s;
  for (int32_t x = 0; x < b.Width(); ++x) s += b.Scanline(y)[x] == fill ? 'f' : 'o';
  return s;
}
}  // namespace

TEST(BitmapSize, ResizeAlignsOldContent) {
  for (TPXLocation loc : kLocations) {
    SCOPED_TRACE(LocName(loc));
    auto b = Make(loc, 100, 50, pxGray8);
    b->Fill(1);
    b->Scanline(0)[0] = 2;
    b->GetAlphaChannel();
    b->Resize(120, 50, 7, 30, 1, 0);
    EXPECT_EQ(ColumnKinds(*b, 10, 7), std::string(10, 'f') + std::string(100, 'o') + std::string(10, 'f'));
    EXPECT_EQ(b->Scanline(0)[10], 2);
    EXPECT_EQ(b->GetAlpha(9, 3), 30);
    EXPECT_EQ(b->GetAlpha(10, 3), 255);

    b->Resize(120, 60, 8, 0, 1, 2);  // rows to the bottom
    EXPECT_EQ(b->Scanline(9)[50], 8);
    EXPECT_EQ(b->Scanline(10)[50], 1);
    EXPECT_EQ(b->Scanline(10)[10], 2);

    b->Resize(100, 60, 0, 0, 1, 0);  // shrink, centred: back to the old columns
    EXPECT_EQ(ColumnKinds(*b, 30, 1), std::string(100, 'f'));
    EXPECT_EQ(b->Scanline(10)[0], 2);

    b->Resize(110, 60, 9, 0, 2, 0);  // right alignment
    EXPECT_EQ(b->Scanline(10)[9], 9);
    EXPECT_EQ(b->Scanline(10)[10], 2);
    b->Resize(110, 30, 0, 0, 0, 1);  // shrink rows centred: rows 15.. come up
    EXPECT_EQ(b->Scanline(0)[50], 1);
    EXPECT_EQ(b->Height(), 30);
  }
  auto c = Make(pxInMemory, 2, 2, pxBGR24);
  c->Resize(4, 2, RGBColor(255, 0, 0), 0, 0, 0);
  EXPECT_EQ(c->GetPixel24(3, 1), (TBGR{0, 0, 255}));
}

TEST(BitmapSize, MoveRegion) {
  auto b = Make(pxTempFile, 10, 10, pxGray8);
  Paint(*b);
  b->MoveRegion(2, 2, 4, 3, 6, 7, 0);
  EXPECT_EQ(b->Scanline(7)[6], Pat(2, 2));
  EXPECT_EQ(b->Scanline(8)[8], Pat(4, 3));
  EXPECT_EQ(b->Scanline(2)[2], 0);
  EXPECT_EQ(b->Scanline(3)[4], 0);
  b->MoveRegion(-2, 0, 1, 0, 8, 0, 0);  // clipped: column 0 lands at 10 (gone), 1 at 11
  EXPECT_EQ(b->Scanline(0)[0], 0);
}

// --------------------------------------------------------------- rectangles

TEST(BitmapRect, NegativeDestinationCopiesTheShiftedRectangle) {
  for (TPXLocation loc : kLocations) {
    auto src = Make(loc, 20, 10, pxBGR24);
    Paint(*src);
    auto dst = Make(loc == pxTBitmap ? pxTempFile : pxTBitmap, 8, 8, pxBGR24);
    src->CopyRectTo(*dst, 0, 0, -3, -2, 6, 5);
    for (int y = 0; y < 8; ++y)
      for (int x = 0; x < 8; ++x) {
        const TBGR want = (x < 3 && y < 3)
                              ? TBGR{Pat(3 * (x + 3), y + 2), Pat(3 * (x + 3) + 1, y + 2), Pat(3 * (x + 3) + 2, y + 2)}
                              : TBGR{};
        ASSERT_EQ(dst->GetPixel24(x, y), want) << LocName(loc) << " " << x << "," << y;
      }
  }
}

TEST(BitmapRect, ClippingAndFormatPairs) {
  auto src = Make(pxInMemory, 10, 10, pxGray8);
  Paint(*src);
  auto dst = Make(pxInMemory, 6, 6, pxGray8);
  src->CopyRectTo(*dst, 8, 1, 4, 4, 100, 100);  // cut by both images
  EXPECT_EQ(dst->Scanline(4)[4], Pat(8, 1));
  EXPECT_EQ(dst->Scanline(5)[5], Pat(9, 2));
  EXPECT_EQ(dst->Scanline(3)[4], 0);
  src->CopyRectTo(*dst, 10, 0, 0, 0, 5, 5);  // starts past the source: nothing
  src->CopyRectTo(*dst, 0, 0, 6, 0, 5, 5);   // starts past the destination: nothing
  src->CopyRectTo(*dst, -2, 0, 0, 0, 3, 1);  // left of the source: shifts along
  EXPECT_EQ(dst->Scanline(0)[0], 0);
  EXPECT_EQ(dst->Scanline(0)[2], Pat(0, 0));

  auto rgb = Make(pxInMemory, 6, 6, pxBGR24);
  src->CopyRectTo(*rgb, 0, 0, 0, 0, 6, 6);  // other pair: nothing
  EXPECT_EQ(rgb->GetPixel24(1, 1), (TBGR{}));

  auto bw = Make(pxTempFile, 21, 3, pxBW1);
  Paint(*bw);
  bw->CopyRectTo(*rgb, 5, 1, 1, 1, 4, 2);
  for (int x = 0; x < 4; ++x) {
    const uint8_t v = Bit(bw->Scanline(2), 5 + x) ? 255 : 0;
    EXPECT_EQ(rgb->GetPixel24(1 + x, 2), (TBGR{v, v, v}));
  }
  auto bw2 = Make(pxInMemory, 17, 3, pxBW1);
  bw->CopyRectTo(*bw2, 3, 0, 7, 1, 9, 2);
  for (int y = 0; y < 3; ++y)
    for (int x = 0; x < 17; ++x) {
      const int want = (y >= 1 && x >= 7 && x < 16) ? Bit(bw->Scanline(y - 1), x - 4) : 0;
      ASSERT_EQ(Bit(bw2->Scanline(y), x), want) << x << "," << y;
    }
}

TEST(BitmapRect, CopyWithinOneBitmapOverlapping) {
  for (TPXLocation loc : {pxInMemory, pxTempFile}) {
    auto b = Make(loc, 10, 10, pxGray8);
    Paint(*b);
    auto ref = Make(pxInMemory, 10, 10, pxGray8);
    Paint(*ref);
    b->CopyRectTo(*b, 0, 0, 2, 3, 8, 7);
    for (int y = 0; y < 10; ++y)
      for (int x = 0; x < 10; ++x) {
        const uint8_t want = (x >= 2 && y >= 3) ? ref->Scanline(y - 3)[x - 2] : ref->Scanline(y)[x];
        ASSERT_EQ(b->Scanline(y)[x], want) << LocName(loc) << x << "," << y;
      }
  }
}

TEST(BitmapRect, CopyAlphaRectKeepsTheLarger) {
  auto a = Make(pxInMemory, 4, 4, pxBGR24);
  auto b = Make(pxTempFile, 4, 4, pxBGR24);
  a->GetAlphaChannel()->Fill(100);
  a->SetAlpha(1, 1, 10);
  b->GetAlphaChannel()->Fill(50);
  a->CopyAlphaRectTo(*b, 0, 0, 1, 1, 2, 2);
  EXPECT_EQ(b->GetAlpha(1, 1), 100);
  EXPECT_EQ(b->GetAlpha(2, 2), 50);  // source (1,1) = 10 < 50
  EXPECT_EQ(b->GetAlpha(0, 0), 50);
  EXPECT_EQ(b->GetAlpha(3, 3), 50);
}
