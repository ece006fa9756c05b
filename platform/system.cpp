#include "platform/system.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace pixoran {

std::string SystemTempPath() {
  const char* t = std::getenv("TMPDIR");
  if (t && *t) {
    std::string s(t);
    while (s.size() > 1 && s.back() == '/') s.pop_back();
    return s;
  }
  return "/tmp";
}

std::unique_ptr<TFileStream> CreateTempFileStream(const std::string& folder, const std::string& prefix,
                                                  std::string* createdName) {
  std::string dir = folder.empty() ? SystemTempPath() : folder;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  std::string templ = dir + "/" + prefix + "XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  const int fd = ::mkostemp(buf.data(), O_CLOEXEC);
  if (fd < 0) return nullptr;
  std::string name(buf.data());
  ::unlink(name.c_str());
  if (createdName) *createdName = name;
  return std::make_unique<TFileStream>(fd, name);
}

int64_t PlatformAvailablePhysicalMemory() {
  if (FILE* f = std::fopen("/proc/meminfo", "r")) {
    char line[256];
    long long kb = -1;
    while (std::fgets(line, sizeof line, f)) {
      if (std::sscanf(line, "MemAvailable: %lld kB", &kb) == 1) break;
    }
    std::fclose(f);
    if (kb >= 0) return static_cast<int64_t>(kb) * 1024;
  }
  const long pages = ::sysconf(_SC_AVPHYS_PAGES);
  const long page = ::sysconf(_SC_PAGESIZE);
  if (pages > 0 && page > 0) return static_cast<int64_t>(pages) * page;
  return 0;
}

namespace {

constexpr size_t kHugePage = size_t{2} << 20;

// Whole huge pages: the block's last one can be one too.
size_t BigBlockLength(size_t bytes) { return (bytes + kHugePage - 1) / kHugePage * kHugePage; }

// Read once: the devices do not change while the program runs.
bool UseHugePages() {
  static const bool use = !FreePageReportingInUse("/sys/bus/virtio/drivers/virtio_balloon");
  return use;
}

}  // namespace

bool FreePageReportingInUse(const std::string& balloonDriverDir) {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(balloonDriverDir, ec)) {
    std::ifstream in(entry.path() / "features");
    std::string bits;
    // The device's feature bits, lowest first; bit 5 is free page reporting.
    if (in >> bits && bits.size() > 5 && bits[5] == '1') return true;
  }
  return false;
}

void* PlatformAllocateBigBlock(size_t bytes) {
  if (bytes == 0 || bytes > SIZE_MAX - 2 * kHugePage) return nullptr;
  const size_t len = BigBlockLength(bytes);
  // Anonymous pages come zeroed and cost nothing until touched. One huge
  // page more than needed, so an aligned start can be cut out of it.
  const size_t span = len + kHugePage;
  void* m = ::mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (m == MAP_FAILED) return nullptr;
  const auto base = reinterpret_cast<uintptr_t>(m);
  const uintptr_t start = (base + kHugePage - 1) / kHugePage * kHugePage;
  if (start > base) ::munmap(m, start - base);
  if (base + span > start + len) ::munmap(reinterpret_cast<void*>(start + len), base + span - (start + len));
  void* block = reinterpret_cast<void*>(start);
#ifdef MADV_HUGEPAGE
  // Advice only: a system without huge pages ignores it.
  if (UseHugePages()) ::madvise(block, len, MADV_HUGEPAGE);
#endif
  return block;
}

void PlatformFreeBigBlock(void* block, size_t bytes) {
  if (block) ::munmap(block, BigBlockLength(bytes));
}

bool PathIsDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool CreateOneDirectory(const std::string& path) { return ::mkdir(path.c_str(), 0777) == 0 || PathIsDirectory(path); }

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

int64_t FileSizeByName(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<int64_t>(st.st_size);
}

bool DeleteFileByName(const std::string& path) { return ::unlink(path.c_str()) == 0; }

bool RenameFileReplacing(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0;
}

std::string ProgramDirectory() {
  char buf[PATH_MAX + 1];
  const ssize_t n = ::readlink("/proc/self/exe", buf, PATH_MAX);
  if (n <= 0) return ".";
  std::string s(buf, static_cast<size_t>(n));
  const auto slash = s.rfind('/');
  return slash == std::string::npos ? std::string(".") : s.substr(0, slash == 0 ? 1 : slash);
}

namespace {

mode_t ProcessUmask() {
  // Read rather than set: umask() would change it for every thread meanwhile.
  if (FILE* f = std::fopen("/proc/self/status", "r")) {
    char line[128];
    unsigned mask = 0;
    bool found = false;
    while (std::fgets(line, sizeof line, f))
      if (std::sscanf(line, "Umask: %o", &mask) == 1) {
        found = true;
        break;
      }
    std::fclose(f);
    if (found) return static_cast<mode_t>(mask);
  }
  return 022;
}

// The file a path finally names: symbolic links are followed (also one whose
// target does not exist yet), so that a save replaces the target rather
// than the link. Gives up after as many links as the system allows.
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
    std::vector<char> buf(static_cast<size_t>(st.st_size > 0 ? st.st_size : 255) + 1);
    const ssize_t n = ::readlink(path.c_str(), buf.data(), buf.size());
    if (n <= 0 || static_cast<size_t>(n) >= buf.size()) return path;
    std::string link(buf.data(), static_cast<size_t>(n));
    if (link[0] != '/') {
      const size_t slash = path.find_last_of('/');
      if (slash != std::string::npos) link = path.substr(0, slash + 1) + link;
    }
    path = std::move(link);
  }
  return path;
}

}  // namespace

TSiblingTempFile::TSiblingTempFile(const std::string& link) : target_(FollowLinks(link)) {
  const std::string& target = target_;
  const size_t slash = target.find_last_of('/');
  const std::string dir = slash == std::string::npos ? std::string(".") : target.substr(0, slash == 0 ? 1 : slash);
  const std::string base = slash == std::string::npos ? target : target.substr(slash + 1);
  std::string templ = dir + (dir == "/" ? "" : "/") + "." + base + ".XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  const int fd = ::mkostemp(buf.data(), O_CLOEXEC);
  if (fd < 0) throw EFCreateError("Cannot create file \"" + target + "\". " + std::strerror(errno));
  temp_ = buf.data();
  struct stat st {};
  const mode_t mode = ::stat(target.c_str(), &st) == 0 ? (st.st_mode & 07777) : (0666 & ~ProcessUmask());
  (void)::fchmod(fd, mode);
  stream_ = std::make_unique<TFileStream>(fd, temp_);
}

TSiblingTempFile::~TSiblingTempFile() {
  if (!committed_) {
    stream_.reset();
    ::unlink(temp_.c_str());
  }
}

bool TSiblingTempFile::Commit() {
  const bool synced = ::fsync(stream_->Handle()) == 0;
  error_ = synced ? stream_->LastWriteError() : errno;
  stream_.reset();
  if (!synced) return false;
  if (!RenameFileReplacing(temp_, target_)) {
    error_ = errno;
    return false;
  }
  committed_ = true;
  return true;
}

}  // namespace pixoran

#include <QLocale>

namespace pixoran {
std::string SystemLanguageCode() {
  static const std::string code = [] {
    const QString name = QLocale::system().name();  // "de_DE", "C", ...
    return name.section(u'_', 0, 0).toLower().toStdString();
  }();
  return code;
}
}  // namespace pixoran
