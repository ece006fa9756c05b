// Operations on a full disk: when the undo copy cannot be written to its
// temporary file, the operation leaves the picture and the undo list as
// they were.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "../fulldisk_inject.h"
#include "proc/pixoranproc.h"
#include "proc_support.h"

namespace pixoran {
namespace {

using namespace pixoran::testing;

// Switched off until the processing component refuses an operation whose
// undo copy failed. What fails today: every operation goes on without its
// undo copy and changes the picture; with an undo limit of 1 the one entry
// there was is lost too (its storage took the failed copy); with the
// picture itself in a temporary file, Negative, ConvertToGray, Blur and
// ConvertTo raise EPXStorageError ("Cannot write the temporary file of a
// bitmap") out of the operation.
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
