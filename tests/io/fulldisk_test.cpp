// Saving over an existing file on a full disk: each save runs in a process
// of its own whose files may not grow past a few kilobytes (writes past it
// fail, as on a full disk). The old file must come out byte for byte as it
// was, nothing may be left beside it, and the save must report failure.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "core/pxprogress.h"
#include "filtertools.h"
#include "formats_built.h"
#include "probe_runner.h"
#include "testsupport.h"

namespace pixoran {
namespace {

using namespace pixoran::testing;

TEST(SaveFullDisk, OldFileKeptNothingLeftFailureReported) {
  constexpr int kFileLimit = 1024;
  for (const char* ext : {"tif", "gif", "jpg", "pcx", "dcx", "bmp", "ico", "png", "tga", "ppm", "pgm", "pbm", "wbmp",
                          "jp2", "j2k", "ps", "pdf"}) {
    if (!testing::FormatBuilt(std::string(ext))) continue;
    SCOPED_TRACE(ext);
    const std::string dir = MakeTempDir(std::string("fulldisk-") + ext);
    const std::string path = dir + "/picture." + ext;
    const TProbeRun old = RunLoadProbe("save 0 16 12 " + ShellQuote(path));
    ASSERT_TRUE(old.Exited && old.Status == 0 && old.Value("aborting") == 0 && old.Value("exception") == 0)
        << old.Output;
    const Bytes before = ReadFileBytes(path);
    ASSERT_FALSE(before.empty());

    const TProbeRun run = RunLoadProbe("save " + std::to_string(kFileLimit) + " 200 150 " + ShellQuote(path));
    ASSERT_TRUE(run.Exited && run.Status == 0) << "ended by " << run.Status << "\n" << run.Output;
    EXPECT_TRUE(run.Value("aborting") == 1 || run.Value("exception") == 1) << "the failed save was not reported";
    EXPECT_EQ(run.Value("result"), iorWriteFailed) << "the failure was not told as a failed write";
    EXPECT_TRUE(ReadFileBytes(path) == before) << "the old file changed";
    EXPECT_EQ(FolderEntries(dir), std::vector<std::string>{"picture." + std::string(ext)});

    // With room the same save goes through: the failure above was the disk's.
    const TProbeRun room = RunLoadProbe("save 0 200 150 " + ShellQuote(path));
    EXPECT_TRUE(room.Exited && room.Status == 0 && room.Value("aborting") == 0 && room.Value("exception") == 0)
        << room.Output;
    EXPECT_GT(ReadFileBytes(path).size(), size_t{kFileLimit});
  }
}

}  // namespace
}  // namespace pixoran
