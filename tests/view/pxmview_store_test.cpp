// The thumbnail view on an image store that loses images: a disk that is
// full while the view paints.
#include "view/pxmview.h"

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include <fstream>

#include "core/kopxutils_bitmap.h"
#include "io/pxformats.h"
#include "testsupport.h"

using namespace pixoran;

namespace {

constexpr int32_t kSide = 40;

// Blue is the seed, so each thumbnail can be told apart on the screen.
void FillSeeded(TPXBitmap& b, uint8_t seed) {
  b.Allocate(kSide, kSide, pxBGR24);
  for (int32_t y = 0; y < kSide; ++y) {
    uint8_t* r = b.Scanline(y);
    for (int32_t x = 0; x < kSide; ++x) {
      r[3 * x] = seed;
      r[3 * x + 1] = static_cast<uint8_t>(y);
      r[3 * x + 2] = static_cast<uint8_t>(x);
    }
  }
}

// A test format whose files hold a number: the picture is seeded with
// 10 + that number, and every read is counted.
std::map<int, int>& Loads() {
  static std::map<int, int> loads;
  return loads;
}

void SeededRead(TStream& s, TPXBitmap& b, TIOParamsVals&, TPXProgressRec&, bool) {
  char text[16] = {};
  s.Read(text, sizeof text - 1);
  const int n = std::atoi(text);
  ++Loads()[n];
  FillSeeded(b, static_cast<uint8_t>(10 + n));
}

// Pixels of the cell that show the image's own blue.
int32_t SeedPixels(TPixoranMView& v, TBitmap& buffer, int32_t index, uint8_t seed) {
  int32_t n = 0;
  const int32_t x0 = v.GetImageCellX(index), y0 = v.GetImageCellY(index);
  for (int32_t y = y0; y < y0 + kSide + 20 && y < buffer.Height(); ++y)
    for (int32_t x = x0; x < x0 + kSide + 20 && x < buffer.Width(); ++x)
      n += ((buffer.Canvas().Pixel(x, y) >> 16) & 0xFF) == seed;
  return n;
}

// In a child process, whose file-size limit is its own: the stores' files
// grow for 30 images, then get a limit below the thirteenth, so the
// write-backs of the later ones fail as painting maps the images in turn.
// Reserved ahead, the image store loses images; painted once before the
// limit, the images are on disk and the prepared thumbnails are what is
// lost. Prints what went wrong and exits 0 when nothing did.
void ViewUnderAFileSizeLimit(bool paintedFirst) {
  std::string wrong;
  auto check = [&](bool ok, const std::string& what) {
    if (!ok) wrong += what + "\n";
  };
  std::signal(SIGXFSZ, SIG_IGN);
  TPixoranMView v;
  v.SetBounds(0, 0, 1600, 1200);
  v.SetThumbWidth(kSide);
  v.SetThumbHeight(kSide);
  v.SetThreadPoolSize(0);  // loads in the paint itself
  if (!FindFileFormatInfoByExtension("PXSEED")) {
    TPXFileFormatInfo info;
    info.FileType = 1902;
    info.FullName = "Seeded test picture";
    info.Extensions = "PXSEED";
    info.ReadFunction = SeededRead;
    RegisterFileFormat(info);
  }
  const std::string dir = pixoran::testing::MakeTempDir("mviewstore");
  for (int32_t i = 0; i < 30; ++i) {
    const std::string name = dir + "/" + std::to_string(i) + ".pxseed";
    std::ofstream(name, std::ios::binary) << i;
    v.SetImageFileName(v.AppendImage(), name);
  }
  const std::map<int, int>& loads = Loads();
  for (int32_t i = 0; i < 30; ++i) check(v.IsImageVisible(i), "not shown " + std::to_string(i));
  TBitmap buffer;
  buffer.SetSize(v.ClientWidth(), v.ClientHeight());
  if (paintedFirst) v.DrawVisibleThumbnails(buffer);
  else v.ReserveCacheSpace(30, kSide, kSide, 24);
  // Every image not given up on shows its own picture.
  auto allDrawn = [&](const std::string& when) {
    int32_t shown = 0;
    for (int32_t i = 0; i < 30; ++i) {
      if (v.IsWrongImage(i)) continue;
      ++shown;
      check(SeedPixels(v, buffer, i, static_cast<uint8_t>(10 + i)) >= kSide * kSide / 2,
            "image " + std::to_string(i) + " not drawn " + when);
    }
    return shown;
  };

  const rlim_t limit = 12 * (48 + kSide * 3 * kSide);
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit limited = saved;
  limited.rlim_cur = limit;
  check(setrlimit(RLIMIT_FSIZE, &limited) == 0, "setrlimit");
  for (int pass = 0; pass < 8; ++pass) v.DrawVisibleThumbnails(buffer);
  if (paintedFirst) check(allDrawn("on the full disk") == 30, "images given up on the full disk");
  setrlimit(RLIMIT_FSIZE, &saved);
  int most = 0, reloaded = 0;
  for (const auto& [name, n] : loads) {
    most = std::max(most, n);
    reloaded += n > 1;
  }
  check(paintedFirst ? reloaded == 0 : reloaded > 0, "lost images loaded again: " + std::to_string(reloaded));
  check(most <= 3, "an image was loaded " + std::to_string(most) + " times on a disk that stayed full");

  // Room again.
  v.DrawVisibleThumbnails(buffer);
  const int32_t shown = allDrawn("with room again");
  check(shown >= 12, "only " + std::to_string(shown) + " images kept");
  std::fputs(wrong.c_str(), stderr);
  std::exit(wrong.empty() ? 0 : 1);
}

}  // namespace

TEST(MViewStoreDeathTest, LostImagesAreLoadedAgainAFewTimesAtMostAndLostThumbnailsPreparedAgain) {
  // A fresh child (a fork would copy the running application's threads).
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (bool paintedFirst : {false, true}) {
    SCOPED_TRACE(paintedFirst ? "painted before the limit" : "reserved before the limit");
    EXPECT_EXIT(ViewUnderAFileSizeLimit(paintedFirst), ::testing::ExitedWithCode(0), "");
  }
}
