// Loads one file through the I/O component in a process of its own, under
// a data-size and a processor-time limit, and prints what it cost:
//   load_probe <data-limit-MB> <cpu-limit-s> <file> [<image index> [mio]]
// prints "aborting=A width=W height=H cpu_ms=C peak_kb=P allocfail=F ... result=R"
// (R: the I/O result kind, its text on the line before) and exits 0. An image index picks the frame or page to load;
// "mio" loads every image through the multi-image component instead, W x H then being the first image's size (0 x 0 for
// none). A crash, a hang past the processor limit (SIGXCPU) or an uncaught exception ends it otherwise, which is what
// the caller looks for. Built with a sanitizer it sets no data limit and allows ten times the processor time, and says
// so (sanitized=1).
//   load_probe save <file-size-limit> <width> <height> <file>
// saves a noisy picture by the file's extension with files limited to the
// given bytes (0: no limit), as on a full disk, and prints
// "aborting=A exception=E result=R" (R: the I/O result kind).
#include <sys/resource.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "core/kopxutils_settings.h"
#include "io/pixoranio.h"
#include "io/pxmio.h"
#include "io/pxmioview.h"
#include "tests/sanitized.h"
#include "tests/sizes_mioview.h"

namespace {

constexpr int64_t kProbeMemoryBudget = int64_t{64} << 30;

// A sanitized probe measures its peak instead of limiting its data size
// (the sanitizers reserve terabytes of shadow memory, which the limit counts).

std::atomic<int> gAllocFailures{0};

// An allocation the limit refused: counted, then the usual failure.
void CountFailure() {
  ++gAllocFailures;
  std::set_new_handler(nullptr);
  throw std::bad_alloc();
}

void Limit(int resource, rlim_t value) {
  rlimit r{value, value};
  setrlimit(resource, &r);
}

int Save(char** argv) {
  const rlim_t limit = static_cast<rlim_t>(std::atoll(argv[2]));
  const int32_t w = std::atoi(argv[3]), h = std::atoi(argv[4]);
  pixoran::TPixoranIO io;
  pixoran::TPXBitmap& b = *io.PXBitmap();
  if (!b.Allocate(w, h, pixoran::pxBGR24)) return 3;
  uint32_t seed = 12345;
  for (int32_t y = 0; y < h; ++y) {
    uint8_t* row = b.Scanline(y);
    for (int32_t x = 0; x < 3 * w; ++x) row[x] = static_cast<uint8_t>((seed = seed * 1103515245u + 12345u) >> 16);
  }
  io.Params().ICOSizes[0] = {w, h};
  io.Params().ICOBitCounts[0] = 24;
  if (limit > 0) {
    // What a full disk does to a writer: its writes fail, nothing kills it.
    std::signal(SIGXFSZ, SIG_IGN);
    Limit(RLIMIT_FSIZE, limit);
  }
  int exception = 0;
  try {
    io.SaveToFile(argv[5]);
  } catch (...) {
    exception = 1;
  }
  std::printf("aborting=%d exception=%d result=%d\n", io.Aborting() ? 1 : 0, exception,
              static_cast<int>(io.LastResult()));
  return 0;
}

}  // namespace

// Every allocation of the process, the codec libraries' too, goes through
// these: a refused one is counted, so a reader that meets the limit and
// reports a plain failure still shows that it asked for too much. Left to
// the sanitizers' own allocator in a sanitized build.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void __libc_free(void* p);

void* malloc(size_t size) {
  void* p = __libc_malloc(size);
  if (!p && size) ++gAllocFailures;
  return p;
}
void* calloc(size_t count, size_t size) {
  void* p = __libc_calloc(count, size);
  if (!p && count && size) ++gAllocFailures;
  return p;
}
void* realloc(void* old, size_t size) {
  void* p = __libc_realloc(old, size);
  if (!p && size) ++gAllocFailures;
  return p;
}
void free(void* p) { __libc_free(p); }
}
#endif

int main(int argc, char** argv) {
  if (argc == 6 && std::string(argv[1]) == "save") return Save(argv);
  if (argc < 4 || argc > 6) {
    std::fprintf(stderr, "usage: load_probe <data-limit-MB> <cpu-limit-s> <file> [<image index> [mio]]\n");
    return 2;
  }
  // The library's default budget, half the available memory, moves with the
  // machine and with what other processes hold. The probe fixes it at what a
  // 128 GB machine gives, so every row meets the same budget wherever and
  // beside whatever it runs, and a claim bounded by the budget alone (not by
  // its data) shows up here whatever the machine.
  pixoran::PXSettings().MemoryThresholdOverride = kProbeMemoryBudget;
  if (!kSanitized) Limit(RLIMIT_DATA, static_cast<rlim_t>(std::atoll(argv[1])) << 20);
  Limit(RLIMIT_CPU, static_cast<rlim_t>(std::atoll(argv[2])) * (kSanitized ? 10 : 1));
  std::set_new_handler(CountFailure);

  bool aborting = false;
  int32_t width = 0, height = 0;
  pixoran::TPXIOResult result = pixoran::iorOk;
  std::string text;
  if (argc == 6) {
    pixoran::TPixoranMIO mio;
    auto view = std::make_unique<pixoran::testing::TSizesView>();
    pixoran::testing::TSizesView* sizes = view.get();
    mio.SetAttachedMView(std::move(view));
    mio.LoadFromFile(argv[3]);
    aborting = mio.Aborting();
    result = mio.LastResult();
    text = mio.LastResultText();
    if (!sizes->Sizes.empty()) width = sizes->Sizes[0].first, height = sizes->Sizes[0].second;
  } else {
    pixoran::TPixoranIO io;
    if (argc == 5) {
      pixoran::TIOParamsVals& p = io.Params();
      p.GIFImageIndex = p.TIFFImageIndex = p.ICOImageIndex = p.DCXImageIndex = std::atoi(argv[4]);
    }
    io.LoadFromFile(argv[3]);
    aborting = io.Aborting();
    result = io.LastResult();
    text = io.LastResultText();
    width = io.PXBitmap()->Width(), height = io.PXBitmap()->Height();
  }
  std::set_new_handler(CountFailure);

  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  const long cpuMs =
      (use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1000L + (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1000L;
  std::printf("%s\naborting=%d width=%d height=%d cpu_ms=%ld peak_kb=%ld allocfail=%d sanitized=%d result=%d\n",
              text.c_str(), aborting ? 1 : 0, width, height, cpuMs, use.ru_maxrss, gAllocFailures.load(),
              kSanitized ? 1 : 0, static_cast<int>(result));
  return 0;
}
