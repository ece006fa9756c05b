#pragma once
// A full disk for the tests: while armed, every positioned write and kernel
// file copy of this process fails with ENOSPC, as a disk with no room left
// answers once a sparse file's size is set. Include in one source file of
// a test executable only: it defines the C library's pwrite and
// copy_file_range for the whole executable, passing through when disarmed.
#include <dlfcn.h>
#include <errno.h>
#include <unistd.h>

#include <atomic>

namespace pixoran::testing {

inline std::atomic<bool>& DiskFull() {
  static std::atomic<bool> full{false};
  return full;
}

// Fills the disk for one scope.
class TFullDiskScope {
 public:
  TFullDiskScope() { DiskFull() = true; }
  ~TFullDiskScope() { DiskFull() = false; }
  TFullDiskScope(const TFullDiskScope&) = delete;
  TFullDiskScope& operator=(const TFullDiskScope&) = delete;
};

}  // namespace pixoran::testing

extern "C" ssize_t pwrite(int fd, const void* buf, size_t count, off_t offset) {
  using TPwrite = ssize_t (*)(int, const void*, size_t, off_t);
  static const auto real = reinterpret_cast<TPwrite>(dlsym(RTLD_NEXT, "pwrite"));
  if (pixoran::testing::DiskFull() && count > 0) {
    errno = ENOSPC;
    return -1;
  }
  return real(fd, buf, count, offset);
}

extern "C" ssize_t copy_file_range(int in, loff_t* inOffset, int out, loff_t* outOffset, size_t len,
                                   unsigned int flags) {
  using TCopy = ssize_t (*)(int, loff_t*, int, loff_t*, size_t, unsigned int);
  static const auto real = reinterpret_cast<TCopy>(dlsym(RTLD_NEXT, "copy_file_range"));
  if (pixoran::testing::DiskFull() && len > 0) {
    errno = ENOSPC;
    return -1;
  }
  return real(in, inOffset, out, outOffset, len, flags);
}
