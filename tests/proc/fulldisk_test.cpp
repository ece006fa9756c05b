// Operations on a full disk: when the undo copy cannot be written to its
// temporary file, the operation leaves the picture and the undo list as
// they were.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../fulldisk_inject.h"
#include "../testsupport.h"
#include "proc/pixoranproc.h"
#include "proc_support.h"

namespace pixoran {
namespace {

using namespace pixoran::testing;

// An operation whose undo copy cannot be written (with an undo limit of 1
// the oldest entry must survive too) changes nothing and says so.
TEST(ProcFullDisk, OperationWhoseUndoCopyFailsChangesNothing) {
  struct Case {
    const char* name;
    std::function<void(TPixoranProc&)> run;
  } cases[] = {
      {"Negative", [](TPixoranProc& p) { p.Negative(); }},
      {"ConvertToGray", [](TPixoranProc& p) { p.ConvertToGray(); }},
      {"Blur", [](TPixoranProc& p) { p.Blur(2.0); }},
      {"Flip", [](TPixoranProc& p) { p.Flip(1); }},
      {"Rotate", [](TPixoranProc& p) { p.Rotate(90, false, 0, 0); }},
      {"Resample", [](TPixoranProc& p) { p.Resample(50, 40, rfTriangle); }},
      {"ConvertTo", [](TPixoranProc& p) { p.ConvertTo(16, false); }},
  };
  // With a full list (limit 1) the oldest entry's storage takes the copy.
  for (int32_t undoLimit : {1, 4})
    for (bool imageInFile : {false, true}) {
      for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << c.name << (imageInFile ? ", image in a temporary file" : "") << ", undo limit " << undoLimit);
        auto img = MakeBitmap(300, 200, pxBGR24, imageInFile);
        FillRandom(*img, 7);
        const auto before = Snapshot(*img);
        TPixoranProc proc;
        proc.SetUndoLocation(pxTempFile);
        proc.SetUndoLimit(undoLimit);
        proc.AttachBitmap(img.get());
        proc.Negative();  // one good entry first
        ASSERT_EQ(proc.UndoCount(), 1);
        const auto negated = Snapshot(*img);
        {
          TFullDiskScope full;
          EXPECT_NO_THROW(c.run(proc)) << "an operation never raises";
        }
        EXPECT_TRUE(proc.Aborting()) << "the refusal shows";
        EXPECT_EQ(proc.UndoCount(), 1);
        EXPECT_EQ(img->Width(), 300);
        EXPECT_EQ(img->Height(), 200);
        EXPECT_TRUE(Snapshot(*img) == negated) << "the picture changed without its undo copy";
        // The entry taken before the disk filled still gives the picture back.
        proc.Undo();
        EXPECT_TRUE(Snapshot(*img) == before);
      }
    }
}

// A resample whose own write fails (the picture in a temporary file) keeps
// the picture: never an all-black picture of the new size reported as done.
// An operation that returns early afterwards does not show the stale flag.
TEST(ProcFullDisk, ResampleWithAFailedWriteKeepsThePictureAndTheFlagIsFresh) {
  auto img = MakeBitmap(60, 40, pxBGR24, true);
  FillRandom(*img, 5);
  const auto before = Snapshot(*img);
  TPixoranProc proc;
  proc.SetAutoUndo(false);
  proc.AttachBitmap(img.get());
  {
    TFailNthWrite fault(5);
    EXPECT_NO_THROW(proc.Resample(90, 70, rfTriangle));
    ASSERT_TRUE(fault.Failed());
  }
  EXPECT_TRUE(proc.Aborting());
  EXPECT_EQ(img->Width(), 60);
  EXPECT_TRUE(Snapshot(*img) == before) << "the picture was replaced by an unfinished one";

  proc.Flip(2);  // no such direction: returns at once
  EXPECT_FALSE(proc.Aborting());
  {
    TFailNthWrite fault(1);
    proc.Negative();
  }
  ASSERT_TRUE(proc.Aborting());
  auto gray16 = MakeBitmap(10, 10, pxGray16);
  proc.AttachBitmap(gray16.get());
  proc.Rotate(30, false, 0, clWhite);  // a format it leaves alone
  EXPECT_FALSE(proc.Aborting());
}

TEST(ProcFullDisk, SaveUndoReportsTheFailedCopy) {
  auto img = MakeBitmap(300, 200, pxBGR24);
  FillRandom(*img, 3);
  TPixoranProc proc;
  proc.SetUndoLocation(pxTempFile);
  proc.AttachBitmap(img.get());
  {
    TFullDiskScope full;
    EXPECT_FALSE(proc.SaveUndo(pxusImage));
  }
  EXPECT_EQ(proc.UndoCount(), 0);
  EXPECT_TRUE(proc.SaveUndo(pxusImage));
  EXPECT_EQ(proc.UndoCount(), 1);
}

}  // namespace
}  // namespace pixoran

// ------------------------------------------------------------ every write and allocation in turn

namespace pixoran {
namespace {

using namespace pixoran::testing;

// A picture of a few thousand pixels with an undo entry and a redo entry,
// in memory or in temporary files, whole or with a selection (a ring) and
// an alpha channel.
struct TWorld {
  std::unique_ptr<FakeSelectionView> View;
  std::unique_ptr<TPixoranProc> Proc;
  std::unique_ptr<TPXBitmap> Dest;  // ResampleTo's destination
};

struct TSetup {
  bool InFile;
  bool Selection;
};

TWorld MakeWorld(const TSetup& s) {
  TWorld w;
  w.View = std::make_unique<FakeSelectionView>();
  w.View->bitmap = MakeBitmap(48, 32, pxBGR24, s.InFile);
  FillRandom(*w.View->bitmap, 11);
  if (s.Selection) {
    TPXBitmap& a = *w.View->bitmap->GetAlphaChannel();
    for (int32_t y = 0; y < a.Height(); ++y)
      for (int32_t x = 0; x < a.Width(); ++x) a.SetByte(x, y, static_cast<uint8_t>((x * 5 + y * 3) % 4 * 85));
    w.View->Select(8, [](int32_t x, int32_t y) -> uint8_t {
      const int32_t d = (x - 30) * (x - 30) + (y - 22) * (y - 22);
      return d > 300 || d < 20 ? 0 : static_cast<uint8_t>(d % 200 + 55);
    });
  }
  w.Dest = MakeBitmap(8, 8, pxBGR24, s.InFile);
  w.Proc = std::make_unique<TPixoranProc>();
  w.Proc->SetUndoLocation(s.InFile ? pxTempFile : pxInMemory);
  w.Proc->SetUndoLimit(2);
  w.Proc->AttachBitmap(w.View->bitmap.get());
  w.Proc->SaveRedo(pxusImage);
  w.Proc->Negative();  // one undo entry before the operation
  w.Proc->SetAttachedPixoran(w.View.get());
  return w;
}

// What an operation may change: the picture, ResampleTo's destination, and
// the undo and redo lists.
struct TState {
  std::vector<uint8_t> Picture, Dest;
  std::vector<std::string> Undo, Redo;
  bool operator==(const TState&) const = default;
};

TState StateOf(TWorld& w) {
  return {Snapshot(*w.View->bitmap), Snapshot(*w.Dest), w.Proc->UndoCaptions(), w.Proc->RedoCaptions()};
}

struct TOperation {
  const char* Name;
  std::function<void(TPixoranProc&, TWorld&)> Run;
};

const std::vector<TOperation>& Operations() {
  static const std::vector<TOperation> ops = {
      {"ConvertToGray", [](TPixoranProc& p, TWorld&) { p.ConvertToGray(); }},
      {"Negative", [](TPixoranProc& p, TWorld&) { p.Negative(); }},
      {"SetTransparentColors",
       [](TPixoranProc& p, TWorld&) {
         p.SetTransparentColors({0, 0, 0}, {128, 128, 128}, 0);
       }},
      {"RemoveRedEyes", [](TPixoranProc& p, TWorld&) { p.RemoveRedEyes(); }},
      {"ConvertTo 16", [](TPixoranProc& p, TWorld&) { p.ConvertTo(16, false); }},
      {"ConvertTo 2", [](TPixoranProc& p, TWorld&) { p.ConvertTo(2, true); }},
      {"ConvertToPalette",
       [](TPixoranProc& p, TWorld&) {
         std::vector<TBGR> pal(8);
         p.ConvertToPalette(8, pal, false);
       }},
      {"Blur", [](TPixoranProc& p, TWorld&) { p.Blur(2.0); }},
      {"AddSoftShadow", [](TPixoranProc& p, TWorld&) { p.AddSoftShadow(2.0, 3, 3, true, clBlack); }},
      {"Lens", [](TPixoranProc& p, TWorld&) { p.Lens(5, 5, 40, 30, 2.0); }},
      {"Wave", [](TPixoranProc& p, TWorld&) { p.Wave(4, 10, 0, false); }},
      {"RoundImage", [](TPixoranProc& p, TWorld&) { p.RoundImage(10, 10); }},
      {"EdgeDetect", [](TPixoranProc& p, TWorld&) { p.EdgeDetect(7, 0, 0.99, 0.9, true); }},
      {"Flip 0", [](TPixoranProc& p, TWorld&) { p.Flip(0); }},
      {"Flip 1", [](TPixoranProc& p, TWorld&) { p.Flip(1); }},
      {"CropSel", [](TPixoranProc& p, TWorld&) { p.CropSel(); }},
      {"Rotate 90", [](TPixoranProc& p, TWorld&) { p.Rotate(90, false, 0, clWhite); }},
      {"Rotate 30", [](TPixoranProc& p, TWorld&) { p.Rotate(30, true, 0, clWhite); }},
      {"Rotate 30 sampled", [](TPixoranProc& p, TWorld&) { p.Rotate(30, true, 2, clWhite); }},
      {"Resample kernel", [](TPixoranProc& p, TWorld&) { p.Resample(50, 40, rfTriangle); }},
      {"Resample nearest", [](TPixoranProc& p, TWorld&) { p.Resample(90, 70, rfNone); }},
      {"Resample linear", [](TPixoranProc& p, TWorld&) { p.Resample(-1, 30, rfFastLinear); }},
      {"Resample area", [](TPixoranProc& p, TWorld&) { p.Resample(40, 0, rfBicubic); }},
      {"ResampleTo", [](TPixoranProc& p, TWorld& w) { p.ResampleTo(*w.Dest, 30, 20, rfLanczos3); }},
      {"Undo", [](TPixoranProc& p, TWorld&) { p.Undo(); }},
      {"Redo", [](TPixoranProc& p, TWorld&) { p.Redo(); }},
  };
  return ops;
}

enum class TFault { Write, Allocation };

// Arms one kind of fault for a scope.
class TFaultScope {
 public:
  TFaultScope(TFault kind, long n) : kind_(kind) {
    if (kind == TFault::Write) write_ = std::make_unique<TFailNthWrite>(n);
    else PXArmAllocationFault(n);
  }
  ~TFaultScope() {
    if (kind_ == TFault::Allocation) PXArmAllocationFault(0);
  }
  bool Fired() const { return kind_ == TFault::Write ? write_->Failed() : PXAllocationFaultFired(); }

 private:
  TFault kind_;
  std::unique_ptr<TFailNthWrite> write_;
};

// Runs op with its first, second, ... write (or allocation) failing until
// it runs with nothing failed; returns the number of points it failed at.
// Each step either equals the run without a fault, or reports the failure
// (Aborting) and changed nothing.
long RunEveryFault(const TSetup& setup, const TOperation& op, TFault kind) {
  constexpr long kMaxPoints = 3000;
  TState reference;
  {
    TWorld w = MakeWorld(setup);
    op.Run(*w.Proc, w);
    EXPECT_FALSE(w.Proc->Aborting());
    reference = StateOf(w);
  }
  for (long n = 1; n <= kMaxPoints; ++n) {
    SCOPED_TRACE(::testing::Message() << (kind == TFault::Write ? "write " : "allocation ") << n);
    TWorld w = MakeWorld(setup);
    const TState before = StateOf(w);
    bool fired = false;
    {
      TFaultScope fault(kind, n);
      EXPECT_NO_THROW(op.Run(*w.Proc, w)) << "an operation never raises";
      fired = fault.Fired();
    }
    const TState after = StateOf(w);
    if (!fired) {
      EXPECT_FALSE(w.Proc->Aborting());
      EXPECT_TRUE(after == reference);
      return n - 1;
    }
    if (w.Proc->Aborting()) {
      EXPECT_TRUE(after.Picture == before.Picture) << "a failed operation changed the picture";
      EXPECT_TRUE(after.Dest == before.Dest) << "a failed operation changed its destination";
      EXPECT_EQ(after.Undo, before.Undo) << "a failed operation changed the undo list";
      EXPECT_EQ(after.Redo, before.Redo);
    } else {
      EXPECT_TRUE(after == reference) << "a failure went unreported";
    }
    if (::testing::Test::HasFailure()) return n;
  }
  ADD_FAILURE() << "still failing after " << kMaxPoints << " points";
  return kMaxPoints;
}

TEST(ProcFaultTable, EveryWriteAndAllocationFailsCleanly) {
  const TSetup setups[] = {{false, false}, {true, false}, {false, true}, {true, true}};
  // Thousands of small temporary files: in memory when the system has a
  // memory file system.
  const TempFolderScope folder(std::filesystem::is_directory("/dev/shm") ? "/dev/shm"
                                                                         : std::string(PXSettings().TempFolder));
  long writes = 0, allocations = 0;
  for (const TSetup& s : setups)
    for (const TOperation& op : Operations()) {
      // Every bitmap the library makes lands in a temporary file.
      const ThresholdScope files(s.InFile ? 0 : PXSettings().MemoryThresholdOverride);
      SCOPED_TRACE(::testing::Message() << op.Name << (s.InFile ? ", in temporary files" : ", in memory")
                                        << (s.Selection ? ", in a selection" : ""));
      if (s.InFile) writes += RunEveryFault(s, op, TFault::Write);
      allocations += RunEveryFault(s, op, TFault::Allocation);
      if (HasFailure()) return;
    }
  std::printf("processing and undo: %ld write and %ld allocation points\n", writes, allocations);
  EXPECT_GT(writes, 0);
  EXPECT_GT(allocations, 0);
}

}  // namespace
}  // namespace pixoran
