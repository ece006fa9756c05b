// The thumbnail view under load: 2,000 real files (JPEG, PNG and GIF) loaded
// by the background loader while the UI thread scrolls, inserts, deletes
// and changes the thumbnail settings. Run under ThreadSanitizer by name.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QWidget>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "io/pixoranio.h"
#include "testsupport.h"
#include "view/pxmview.h"
#include "tests/sanitized.h"

using namespace pixoran;

namespace {

constexpr int32_t kImages = 2000;
constexpr int32_t kSide = 160, kOtherSide = 120;

// Resident memory of this process, in bytes.
int64_t ResidentBytes() {
  std::ifstream statm("/proc/self/statm");
  int64_t pages = 0, resident = 0;
  statm >> pages >> resident;
  return resident * 4096;
}

// kImages files in dir: 30 distinct pictures, 10 each of JPEG, PNG and GIF,
// copied under numbered names.
std::vector<std::string> MakeFiles(const std::string& dir) {
  std::vector<std::string> sources;
  const char* exts[] = {"jpg", "png", "gif"};
  for (int i = 0; i < 30; ++i) {
    TPixoranIO io;
    TPXBitmap& b = *io.PXBitmap();
    b.Allocate(kSide, kOtherSide, pxBGR24);
    for (int32_t y = 0; y < kOtherSide; ++y) {
      uint8_t* row = b.Scanline(y);
      for (int32_t x = 0; x < kSide; ++x) {
        row[3 * x] = static_cast<uint8_t>(i * 8);
        row[3 * x + 1] = static_cast<uint8_t>((x / 8 + y / 8) % 8 * 32);
        row[3 * x + 2] = static_cast<uint8_t>(y * 2);
      }
    }
    sources.push_back(dir + "/src" + std::to_string(i) + "." + exts[i % 3]);
    io.SaveToFile(sources.back());
    if (io.Aborting()) return {};
  }
  std::vector<std::string> files;
  for (int32_t i = 0; i < kImages; ++i) {
    const std::string& src = sources[static_cast<size_t>(i) % sources.size()];
    files.push_back(dir + "/" + std::to_string(i) + src.substr(src.rfind('.')));
    std::filesystem::copy_file(src, files.back());
  }
  return files;
}

bool Settle(TPixoranMView& v) {
  for (int i = 0; i < 3000; ++i) {
    QCoreApplication::processEvents();  // the loader's hand-offs to the UI thread
    if (v.PendingCount() == 0 && v.RunningCount() == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(MViewLoadThread, TwoThousandFilesWhileScrollingEditingAndChangingSettings) {
  const std::string dir = pixoran::testing::MakeTempDir("mview-load");
  const std::vector<std::string> files = MakeFiles(dir);
  ASSERT_EQ(files.size(), static_cast<size_t>(kImages));

  const int64_t residentBefore = ResidentBytes();
  {
    TPixoranMView v;
    // Qt paints its scroll bars with help from its own pool threads,
    // synchronised inside Qt where the sanitizer cannot follow: without bars
    // the threads under test are the loader's only. Scrolling is by code.
    v.SetScrollBars(ssNone);
    v.SetBounds(0, 0, 200, 140);
    v.SetThumbWidth(48);
    v.SetThumbHeight(36);
    v.SetImageCacheSize(8);
    v.Show();
    for (const std::string& f : files) v.SetImageFileName(v.AppendImage(), f);
    std::mt19937 rng(46);
    int32_t inserted = 0, deleted = 0;
    for (int step = 0; step < 120; ++step) {
      int32_t mx = 0, my = 0;
      v.GetMaxViewXY(mx, my);
      v.SetViewY(static_cast<int32_t>(rng() % static_cast<uint32_t>(my + 1)));
      if (step % 3 == 0) {
        const int32_t at = static_cast<int32_t>(rng() % static_cast<uint32_t>(v.GetImageCount()));
        v.InsertImageNoSelect(at);
        v.SetImageFileName(at, files[rng() % files.size()]);
        ++inserted;
      }
      if (step % 4 == 0) {
        v.DeleteImage(static_cast<int32_t>(rng() % static_cast<uint32_t>(v.GetImageCount())));
        ++deleted;
      }
      if (step % 10 == 5) {
        const bool small = step % 20 == 5;
        v.SetThumbWidth(small ? 40 : 56);
        v.SetThumbHeight(small ? 30 : 42);
        v.SetImageCacheSize(small ? 4 : 8);
        v.SetStoreType(step % 40 == 5 ? pxtNormal : pxtThumb);
      }
      if (step % 15 == 7) v.SetSelectedImage(static_cast<int32_t>(rng() % static_cast<uint32_t>(v.GetImageCount())));
      v.Widget()->repaint();  // painting asks the loader for what is visible
      QCoreApplication::processEvents();
    }
    EXPECT_EQ(v.GetImageCount(), kImages + inserted - deleted);
    v.SetViewY(0);
    v.Widget()->repaint();
    ASSERT_TRUE(Settle(v));
    v.Widget()->repaint();
    ASSERT_TRUE(Settle(v));
    // Everything on screen came in, none of it as the failed-load placeholder.
    int32_t visible = 0;
    for (int32_t i = 0; i < v.GetImageCount(); ++i) {
      if (!v.IsImageVisible(i)) continue;
      ++visible;
      EXPECT_TRUE(v.IsImageLoaded(i)) << i;
      EXPECT_FALSE(v.IsWrongImage(i)) << i;
    }
    EXPECT_GT(visible, 0);
    // The stored pictures (up to 2,000 of 57,600 bytes) live in the store's
    // file; memory holds only the mapped few the cache size allows.
    const int64_t grown = ResidentBytes() - residentBefore;
    std::printf("resident growth %lld KB\n", static_cast<long long>(grown / 1024));
    if (!kSanitized) {
      EXPECT_LT(grown, int64_t{48} << 20);
    }
  }
}

}  // namespace
