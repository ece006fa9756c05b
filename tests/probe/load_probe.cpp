// Loads one file through the I/O component in a process of its own, under
// a data-size and a processor-time limit, and prints what it cost:
//   load_probe <data-limit-MB> <cpu-limit-s> <file>
// prints "aborting=A width=W height=H cpu_ms=C peak_kb=P allocfail=F" and
// exits 0. A crash, a hang past the processor limit (SIGXCPU) or an
// uncaught exception ends it otherwise, which is what the caller looks for.
#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "io/pixoranio.h"

namespace {

int gAllocFailures = 0;

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

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: load_probe <data-limit-MB> <cpu-limit-s> <file>\n");
    return 2;
  }
  Limit(RLIMIT_DATA, static_cast<rlim_t>(std::atoll(argv[1])) << 20);
  Limit(RLIMIT_CPU, static_cast<rlim_t>(std::atoll(argv[2])));
  std::set_new_handler(CountFailure);

  pixoran::TPixoranIO io;
  io.LoadFromFile(argv[3]);
  std::set_new_handler(CountFailure);

  rusage use{};
  getrusage(RUSAGE_SELF, &use);
  const long cpuMs = (use.ru_utime.tv_sec + use.ru_stime.tv_sec) * 1000L +
                     (use.ru_utime.tv_usec + use.ru_stime.tv_usec) / 1000L;
  std::printf("aborting=%d width=%d height=%d cpu_ms=%ld peak_kb=%ld allocfail=%d\n", io.Aborting() ? 1 : 0,
              io.PXBitmap()->Width(), io.PXBitmap()->Height(), cpuMs, use.ru_maxrss, gAllocFailures);
  return 0;
}
