#pragma once
// A full disk for the tests: while armed, every positioned write and kernel
// file copy of this process fails with ENOSPC, as a disk with no room left
// answers once a sparse file's size is set. A countdown fails only the N-th
// write instead (TFailNthWrite), for running an operation once per write it
// makes. Include in one source file of a test executable only: it defines
// the C library's pwrite and copy_file_range for the whole executable,
// passing through when disarmed.
#include <dlfcn.h>
#include <errno.h>
#include <unistd.h>

#include <atomic>

namespace pixoran::testing {

inline std::atomic<bool>& DiskFull() {
  static std::atomic<bool> full{false};
  return full;
}

// Writes left until the one that fails (-1: none armed), writes seen since
// arming, and whether the armed one has failed.
inline std::atomic<long>& WriteCountdown() {
  static std::atomic<long> left{-1};
  return left;
}
inline std::atomic<long>& WritesSeen() {
  static std::atomic<long> seen{0};
  return seen;
}
inline std::atomic<bool>& WriteFailed() {
  static std::atomic<bool> failed{false};
  return failed;
}

// True when this write is to fail: the disk is full, or it is the N-th.
inline bool FailThisWrite() {
  if (DiskFull()) return true;
  if (WriteCountdown().load() < 0) return false;
  ++WritesSeen();
  if (WriteCountdown().fetch_sub(1) != 1) return false;
  WriteFailed() = true;
  return true;
}

// Fails the n-th write (and only that one) from here to the end of the scope.
class TFailNthWrite {
 public:
  explicit TFailNthWrite(long n) {
    WritesSeen() = 0;
    WriteFailed() = false;
    WriteCountdown() = n > 0 ? n : -1;
  }
  ~TFailNthWrite() { WriteCountdown() = -1; }
  TFailNthWrite(const TFailNthWrite&) = delete;
  TFailNthWrite& operator=(const TFailNthWrite&) = delete;
  bool Failed() const { return WriteFailed(); }
  long Seen() const { return WritesSeen(); }
};

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
  if (count > 0 && pixoran::testing::FailThisWrite()) {
    errno = ENOSPC;
    return -1;
  }
  return real(fd, buf, count, offset);
}

extern "C" ssize_t copy_file_range(int in, loff_t* inOffset, int out, loff_t* outOffset, size_t len,
                                   unsigned int flags) {
  using TCopy = ssize_t (*)(int, loff_t*, int, loff_t*, size_t, unsigned int);
  static const auto real = reinterpret_cast<TCopy>(dlsym(RTLD_NEXT, "copy_file_range"));
  if (len > 0 && pixoran::testing::FailThisWrite()) {
    errno = ENOSPC;
    return -1;
  }
  return real(in, inOffset, out, outOffset, len, flags);
}
