#pragma once
// Operating-system services the library needs: temporary files, memory
// status, directories and file names.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/pxexport.h"
#include "platform/streams.h"

namespace pixoran {

// Creates a new temporary file "<folder>/<prefix>XXXXXX" with mkstemp and
// unlinks it at once, so nothing is left behind after a crash. An empty
// folder means the system's temporary folder. Returns nullptr on failure;
// the created name (already gone from the folder) goes to *createdName.
PIXORAN_PLATFORM_EXPORT std::unique_ptr<TFileStream> CreateTempFileStream(const std::string& folder,
                                                                          const std::string& prefix,
                                                                          std::string* createdName = nullptr);

// The system's temporary folder ($TMPDIR, else /tmp).
PIXORAN_PLATFORM_EXPORT std::string SystemTempPath();

// Physical memory currently available to new allocations, in bytes; 0 when unknown.
PIXORAN_PLATFORM_EXPORT int64_t PlatformAvailablePhysicalMemory();

// A zeroed block of at least bytes for a big pixel buffer: aligned to 2 MB
// and marked for huge pages where the system offers them, so filling it
// takes one page fault per 2 MB instead of per 4 KB. nullptr when it cannot
// be had. Freed only by PlatformFreeBigBlock with the same size.
PIXORAN_PLATFORM_EXPORT void* PlatformAllocateBigBlock(size_t bytes);
PIXORAN_PLATFORM_EXPORT void PlatformFreeBigBlock(void* block, size_t bytes);
// True when a virtual machine's balloon device (its driver folder given)
// reports free pages to the host. The host then takes back every freed
// 2 MB block, so each huge page faulted in later is backed by the host
// anew: on such a machine a fresh process's huge pages cost 0.3 to 1.9 s of
// system time per 160 MB, ten times what normal pages cost, and big blocks
// are not marked for huge pages.
PIXORAN_PLATFORM_EXPORT bool FreePageReportingInUse(const std::string& balloonDriverDir);

PIXORAN_PLATFORM_EXPORT bool PathIsDirectory(const std::string& path);
// Creates one directory; false when it could not be created.
PIXORAN_PLATFORM_EXPORT bool CreateOneDirectory(const std::string& path);
PIXORAN_PLATFORM_EXPORT bool PathExists(const std::string& path);
// Size of a file in bytes, -1 when it cannot be read.
PIXORAN_PLATFORM_EXPORT int64_t FileSizeByName(const std::string& path);
PIXORAN_PLATFORM_EXPORT bool DeleteFileByName(const std::string& path);
// Renames over an existing target atomically.
PIXORAN_PLATFORM_EXPORT bool RenameFileReplacing(const std::string& from, const std::string& to);
// Folder of the running executable, without a trailing slash.
PIXORAN_PLATFORM_EXPORT std::string ProgramDirectory();

// A new hidden file beside a target, renamed over it by Commit and removed
// when not committed: the target is never opened for writing, so a failed
// save leaves it as it was. It takes the target's permissions, or the usual
// ones of a new file. A target that is a symbolic link is followed: the
// file it names is replaced (the temporary file lives beside that one) and
// the link stays. Raises EFCreateError when it cannot be created.
class PIXORAN_PLATFORM_EXPORT TSiblingTempFile {
 public:
  explicit TSiblingTempFile(const std::string& target);
  ~TSiblingTempFile();
  TSiblingTempFile(const TSiblingTempFile&) = delete;
  TSiblingTempFile& operator=(const TSiblingTempFile&) = delete;

  TStream& Stream() { return *stream_; }
  // Puts the data on disk, then replaces the target. False (target untouched) on failure.
  bool Commit();
  // The system's error number of a failed Commit (0: none).
  int LastError() const { return error_; }

 private:
  int error_ = 0;
  std::string target_;
  std::string temp_;
  std::unique_ptr<TFileStream> stream_;
  bool committed_ = false;
};

}  // namespace pixoran

namespace pixoran {
// Two-letter ISO 639 code of the system locale's language ("de", "zh", ...),
// read once and kept for the process.
PIXORAN_PLATFORM_EXPORT std::string SystemLanguageCode();
}  // namespace pixoran
