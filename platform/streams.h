#pragma once
// Byte streams of the framework layer: an abstract stream with Delphi-like
// semantics (Read returns the count actually read), a file stream on a POSIX
// descriptor and a growable memory stream.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/pxexport.h"

namespace pixoran {

enum class TSeekOrigin { soBeginning, soCurrent, soEnd };

class PIXORAN_PLATFORM_EXPORT EStreamError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
class PIXORAN_PLATFORM_EXPORT EFOpenError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class PIXORAN_PLATFORM_EXPORT EFCreateError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class PIXORAN_PLATFORM_EXPORT EReadError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};
class PIXORAN_PLATFORM_EXPORT EWriteError : public EStreamError {
 public:
  using EStreamError::EStreamError;
};

class PIXORAN_PLATFORM_EXPORT TStream {
 public:
  virtual ~TStream() = default;
  TStream() = default;
  TStream(const TStream&) = delete;
  TStream& operator=(const TStream&) = delete;

  // Reads up to count bytes; returns how many were read (0 at the end).
  virtual int64_t Read(void* buffer, int64_t count) = 0;
  // Writes up to count bytes; returns how many were written.
  virtual int64_t Write(const void* buffer, int64_t count) = 0;
  // Moves the position and returns the new one. From soEnd the position
  // becomes size + offset.
  virtual int64_t Seek(int64_t offset, TSeekOrigin origin) = 0;
  virtual int64_t Size();
  // Returns false when the size cannot be changed.
  virtual bool SetSize(int64_t newSize) = 0;

  int64_t Position() { return Seek(0, TSeekOrigin::soCurrent); }
  void SetPosition(int64_t pos) { Seek(pos, TSeekOrigin::soBeginning); }

  // True only when all count bytes were read.
  bool ReadExact(void* buffer, int64_t count) { return count <= 0 || Read(buffer, count) == count; }
  // Raising forms, for callers that want the framework's exceptions.
  void ReadBuffer(void* buffer, int64_t count);
  void WriteBuffer(const void* buffer, int64_t count);
  // Copies count bytes from source (count 0: from its position to its end);
  // returns the bytes copied.
  int64_t CopyFrom(TStream& source, int64_t count);
};

enum TFileMode : uint32_t {
  fmOpenRead = 0x0000,
  fmOpenWrite = 0x0001,
  fmOpenReadWrite = 0x0002,
  fmCreate = 0xFF00,  // create or truncate, read-write
};

// File stream on a POSIX descriptor. Reads and writes go straight to the
// descriptor at the tracked position (pread/pwrite), so no hidden buffer can
// hold stale bytes when two streams share a file.
class PIXORAN_PLATFORM_EXPORT TFileStream : public TStream {
 public:
  // Raises EFOpenError (or EFCreateError for fmCreate) when the file cannot be opened.
  TFileStream(const std::string& fileName, uint32_t mode);
  // Takes ownership of an open descriptor.
  TFileStream(int fd, std::string fileName);
  ~TFileStream() override;

  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override;
  bool SetSize(int64_t newSize) override;

  int Handle() const { return fd_; }
  const std::string& FileName() const { return fileName_; }
  // The system's error number of the first write that failed (0: none).
  int LastWriteError() const { return writeError_; }
  // Replaces this file's whole content with source's (kernel copy where it can).
  bool CopyWholeFileFrom(TFileStream& source);

 private:
  int fd_ = -1;
  int64_t pos_ = 0;
  std::string fileName_;
  int writeError_ = 0;
};

// Growable memory stream.
class PIXORAN_PLATFORM_EXPORT TMemoryStream : public TStream {
 public:
  TMemoryStream() = default;
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return static_cast<int64_t>(data_.size()); }
  bool SetSize(int64_t newSize) override;

  uint8_t* Memory() { return data_.data(); }
  const uint8_t* Memory() const { return data_.data(); }
  void Clear();
  void LoadFromStream(TStream& source);
  void SaveToStream(TStream& dest);
  void LoadFromFile(const std::string& fileName);
  void SaveToFile(const std::string& fileName);
  std::vector<uint8_t>& Bytes() { return data_; }

 private:
  std::vector<uint8_t> data_;
  int64_t pos_ = 0;
};

// Read-only stream over memory the caller owns; writes nothing, never grows.
class PIXORAN_PLATFORM_EXPORT TReadOnlyMemoryStream : public TStream {
 public:
  TReadOnlyMemoryStream(const void* data, int64_t size)
      : data_(static_cast<const uint8_t*>(data)), size_(size < 0 ? 0 : size) {}
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void*, int64_t) override { return 0; }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return size_; }
  bool SetSize(int64_t) override { return false; }
  const uint8_t* Memory() const { return data_; }

 private:
  const uint8_t* data_;
  int64_t size_;
  int64_t pos_ = 0;
};

}  // namespace pixoran
