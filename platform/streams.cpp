#include "platform/streams.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pixoran {

namespace {
// The position a seek leads to; a negative result leaves the position as it was.
int64_t MovedPosition(int64_t pos, int64_t size, int64_t offset, TSeekOrigin origin) {
  int64_t np = pos;
  switch (origin) {
    case TSeekOrigin::soBeginning: np = offset; break;
    case TSeekOrigin::soCurrent: np = pos + offset; break;
    case TSeekOrigin::soEnd: np = size + offset; break;
  }
  return np >= 0 ? np : pos;
}
}  // namespace

int64_t TStream::Size() {
  const int64_t pos = Position();
  const int64_t end = Seek(0, TSeekOrigin::soEnd);
  Seek(pos, TSeekOrigin::soBeginning);
  return end;
}

void TStream::ReadBuffer(void* buffer, int64_t count) {
  if (count > 0 && Read(buffer, count) != count) throw EReadError("Stream read error");
}

void TStream::WriteBuffer(const void* buffer, int64_t count) {
  if (count > 0 && Write(buffer, count) != count) throw EWriteError("Stream write error");
}

int64_t TStream::CopyFrom(TStream& source, int64_t count) {
  if (count <= 0) {
    const int64_t pos = source.Position();
    count = source.Size() - pos;
  }
  constexpr int64_t kChunk = 1 << 20;
  std::vector<uint8_t> buf(static_cast<size_t>(std::min<int64_t>(std::max<int64_t>(count, 1), kChunk)));
  int64_t done = 0;
  while (done < count) {
    const int64_t n = source.Read(buf.data(), std::min<int64_t>(kChunk, count - done));
    if (n <= 0) break;
    const int64_t w = Write(buf.data(), n);
    done += w;
    if (w != n) break;
  }
  return done;
}

// ---------------------------------------------------------------- file stream

TFileStream::TFileStream(const std::string& fileName, uint32_t mode) : fileName_(fileName) {
  int flags = O_CLOEXEC;
  if (mode == fmCreate) {
    flags |= O_RDWR | O_CREAT | O_TRUNC;
  } else {
    switch (mode & 3) {
      case fmOpenWrite: flags |= O_WRONLY; break;
      case fmOpenReadWrite: flags |= O_RDWR; break;
      default: flags |= O_RDONLY; break;
    }
  }
  fd_ = ::open(fileName.c_str(), flags, 0666);
  if (fd_ < 0) {
    const std::string why = std::strerror(errno);
    if (mode == fmCreate) throw EFCreateError("Cannot create file \"" + fileName + "\". " + why);
    throw EFOpenError("Cannot open file \"" + fileName + "\". " + why);
  }
  struct stat st {};
  if (::fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
    ::close(fd_);
    fd_ = -1;
    throw EFOpenError("Cannot open file \"" + fileName + "\". Is a directory");
  }
}

TFileStream::TFileStream(int fd, std::string fileName) : fd_(fd), fileName_(std::move(fileName)) {}

TFileStream::~TFileStream() {
  if (fd_ >= 0) ::close(fd_);
}

int64_t TFileStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || fd_ < 0) return 0;
  auto* p = static_cast<uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd_, p + done, static_cast<size_t>(count - done), pos_ + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += n;
  }
  pos_ += done;
  return done;
}

int64_t TFileStream::Write(const void* buffer, int64_t count) {
  if (count <= 0 || fd_ < 0) return 0;
  const auto* p = static_cast<const uint8_t*>(buffer);
  int64_t done = 0;
  while (done < count) {
    const ssize_t n = ::pwrite(fd_, p + done, static_cast<size_t>(count - done), pos_ + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (writeError_ == 0) writeError_ = n < 0 ? errno : ENOSPC;
      break;
    }
    done += n;
  }
  pos_ += done;
  return done;
}

int64_t TFileStream::Seek(int64_t offset, TSeekOrigin origin) {
  pos_ = MovedPosition(pos_, origin == TSeekOrigin::soEnd ? Size() : 0, offset, origin);
  return pos_;
}

int64_t TFileStream::Size() {
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return 0;
  return static_cast<int64_t>(st.st_size);
}

bool TFileStream::SetSize(int64_t newSize) {
  if (fd_ < 0 || newSize < 0) return false;
  if (::ftruncate(fd_, newSize) != 0) return false;
  if (pos_ > newSize) pos_ = newSize;
  return true;
}

bool TFileStream::CopyWholeFileFrom(TFileStream& source) {
  if (fd_ < 0 || source.fd_ < 0) return false;
  const int64_t size = source.Size();
  if (::ftruncate(fd_, 0) != 0) return false;
  loff_t in = 0, out = 0;
  while (in < size) {
    const ssize_t n = ::copy_file_range(source.fd_, &in, fd_, &out, static_cast<size_t>(size - in), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
  }
  if (in < size) {
    // No kernel copy here (another file system, an old kernel): plain copy.
    std::vector<uint8_t> buf(1 << 20);
    while (in < size) {
      const ssize_t n =
          ::pread(source.fd_, buf.data(), static_cast<size_t>(std::min<int64_t>(buf.size(), size - in)), in);
      if (n <= 0) return false;
      if (::pwrite(fd_, buf.data(), static_cast<size_t>(n), in) != n) return false;
      in += n;
    }
  }
  return Size() == size;
}

// -------------------------------------------------------------- memory stream

int64_t TMemoryStream::Read(void* buffer, int64_t count) {
  const int64_t size = Size();
  if (count <= 0 || pos_ >= size) return 0;
  const int64_t n = std::min(count, size - pos_);
  std::memcpy(buffer, data_.data() + pos_, static_cast<size_t>(n));
  pos_ += n;
  return n;
}

int64_t TMemoryStream::Write(const void* buffer, int64_t count) {
  if (count <= 0) return 0;
  const int64_t end = pos_ + count;
  if (end > Size()) {
    try {
      if (pos_ == Size()) {
        // Appending, as every writer does: the vector's own (doubling)
        // growth, and no zero-fill of bytes about to be overwritten.
        const auto* bytes = static_cast<const uint8_t*>(buffer);
        data_.insert(data_.end(), bytes, bytes + count);
        pos_ = end;
        return count;
      }
      if (static_cast<uint64_t>(end) > data_.capacity())
        data_.reserve(static_cast<size_t>(std::max<int64_t>(end, static_cast<int64_t>(data_.capacity()) * 3 / 2)));
      data_.resize(static_cast<size_t>(end));
    } catch (const std::bad_alloc&) {
      return 0;
    }
  }
  std::memcpy(data_.data() + pos_, buffer, static_cast<size_t>(count));
  pos_ = end;
  return count;
}

int64_t TMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  pos_ = MovedPosition(pos_, origin == TSeekOrigin::soEnd ? Size() : 0, offset, origin);
  return pos_;
}

bool TMemoryStream::SetSize(int64_t newSize) {
  if (newSize < 0) return false;
  try {
    data_.resize(static_cast<size_t>(newSize));
  } catch (const std::bad_alloc&) {
    return false;
  }
  if (pos_ > newSize) pos_ = newSize;
  return true;
}

void TMemoryStream::Clear() {
  data_.clear();
  data_.shrink_to_fit();
  pos_ = 0;
}

void TMemoryStream::LoadFromStream(TStream& source) {
  source.SetPosition(0);
  const int64_t size = source.Size();
  if (!SetSize(size)) throw EReadError("Out of memory while reading stream");
  pos_ = 0;
  source.ReadBuffer(data_.data(), size);
}

void TMemoryStream::SaveToStream(TStream& dest) { dest.WriteBuffer(data_.data(), Size()); }

void TMemoryStream::LoadFromFile(const std::string& fileName) {
  TFileStream f(fileName, fmOpenRead);
  LoadFromStream(f);
}

void TMemoryStream::SaveToFile(const std::string& fileName) {
  TFileStream f(fileName, fmCreate);
  SaveToStream(f);
}

// ------------------------------------------------------ read-only memory stream

int64_t TReadOnlyMemoryStream::Read(void* buffer, int64_t count) {
  if (count <= 0 || pos_ >= size_) return 0;
  const int64_t n = std::min(count, size_ - pos_);
  std::memcpy(buffer, data_ + pos_, static_cast<size_t>(n));
  pos_ += n;
  return n;
}

int64_t TReadOnlyMemoryStream::Seek(int64_t offset, TSeekOrigin origin) {
  pos_ = MovedPosition(pos_, size_, offset, origin);
  return pos_;
}

}  // namespace pixoran
