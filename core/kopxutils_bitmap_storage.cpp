// Temporary-file store of large bitmaps, and the bit-run copy of 1-bit rows.
#include <algorithm>
#include <cstring>
#include <new>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "platform/system.h"

namespace pixoran {

// ------------------------------------------------------------------ bit runs

void CopyBitRun(const uint8_t* src, int64_t srcBit, uint8_t* dst, int64_t dstBit, int64_t count) {
  if (count <= 0 || !src || !dst) return;
  src += srcBit >> 3;
  dst += dstBit >> 3;
  int s = static_cast<int>(srcBit & 7);
  int d = static_cast<int>(dstBit & 7);
  if (s == d) {
    // Same phase: masked head and tail bytes around a plain byte copy.
    if (d != 0) {
      const int n = static_cast<int>(std::min<int64_t>(count, 8 - d));
      const uint8_t mask = static_cast<uint8_t>((0xFF >> d) & (0xFF << (8 - d - n)));
      *dst = static_cast<uint8_t>((*dst & ~mask) | (*src & mask));
      ++src, ++dst;
      count -= n;
    }
    const int64_t whole = count >> 3;
    if (whole > 0) std::memmove(dst, src, static_cast<size_t>(whole));
    src += whole, dst += whole;
    const int rem = static_cast<int>(count & 7);
    if (rem) {
      const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - rem));
      *dst = static_cast<uint8_t>((*dst & ~mask) | (*src & mask));
    }
    return;
  }
  // Different phase: fill the destination one (partial) byte at a time from
  // a 16-bit window of the source; the second source byte is read only when
  // the run reaches into it.
  while (count > 0) {
    const int n = static_cast<int>(std::min<int64_t>(count, 8 - d));
    const unsigned window = (static_cast<unsigned>(src[0]) << 8) | (s + n > 8 ? src[1] : 0u);
    const unsigned bits = (window >> (16 - s - n)) & ((1u << n) - 1);
    const int shift = 8 - d - n;
    const unsigned mask = ((1u << n) - 1) << shift;
    *dst = static_cast<uint8_t>((*dst & ~mask) | (bits << shift));
    s += n;
    src += s >> 3;
    s &= 7;
    d += n;
    if (d == 8) ++dst, d = 0;
    count -= n;
  }
}

// --------------------------------------------------------------- file buffer

TPXFileBuffer::~TPXFileBuffer() { Close(); }

bool TPXFileBuffer::Open(const std::string& fileName, int64_t size) {
  Close();
  if (size < 0) return false;
  std::unique_ptr<TFileStream> stream;
  std::string name;
  bool unlinked = false;
  if (fileName.empty()) {
    const std::string folder = PXSettings().TempFolder;
    if (!folder.empty()) {
      try {
        MakeDirectoryPath(folder);
      } catch (...) {
        return false;
      }
    }
    stream = CreateTempFileStream(folder, "pixoran", &name);
    unlinked = true;
  } else {
    try {
      stream = std::make_unique<TFileStream>(fileName, fmCreate);
    } catch (...) {
      return false;
    }
    name = fileName;
  }
  if (!stream) return false;
  // ftruncate: the file is sparse and reads as zeros, nothing is written.
  if (!stream->SetSize(size)) {
    stream.reset();
    if (!unlinked) DeleteFileByName(name);
    return false;
  }
  stream_ = std::move(stream);
  fileName_ = name;
  unlinked_ = unlinked;
  return true;
}

void TPXFileBuffer::Close() {
  // The file goes away with its content, so mapped blocks are dropped
  // without being written back.
  blocks_.clear();
  if (!stream_) return;
  stream_.reset();
  if (!unlinked_ && !fileName_.empty()) DeleteFileByName(fileName_);
  fileName_.clear();
  unlinked_ = false;
}

bool TPXFileBuffer::SetSize(int64_t size) { return stream_ && stream_->SetSize(size); }

int64_t TPXFileBuffer::FileSize() const { return stream_ ? stream_->Size() : 0; }

int TPXFileBuffer::IndexOfBlock(const void* memory) const {
  // Search from the end: the block asked for is almost always the latest.
  for (int i = static_cast<int>(blocks_.size()) - 1; i >= 0; --i)
    if (blocks_[static_cast<size_t>(i)].Memory.get() == memory) return i;
  return -1;
}

uint8_t* TPXFileBuffer::MapBlock(TPXAccessMode access, int32_t size, int32_t userValue, int64_t offset) {
  if (!stream_ || size <= 0 || offset < 0) return nullptr;
  std::unique_ptr<uint8_t[]> mem(new (std::nothrow) uint8_t[static_cast<size_t>(size)]);
  if (!mem) return nullptr;
  if (access & pxaRead) {
    stream_->SetPosition(offset);
    if (!stream_->ReadExact(mem.get(), size)) throw EPXStorageError("Cannot read the temporary file of a bitmap");
  } else {
    // Not read: start from zeros, never from stale heap bytes.
    std::memset(mem.get(), 0, static_cast<size_t>(size));
  }
  TPXMappedBlock block;
  block.Offset = offset;
  block.Size = size;
  block.UserValue = userValue;
  block.Access = access;
  block.Memory = std::move(mem);
  uint8_t* p = block.Memory.get();
  blocks_.push_back(std::move(block));
  return p;
}

void TPXFileBuffer::UnmapBlock(const void* memory) {
  const int i = IndexOfBlock(memory);
  if (i < 0) return;
  // Take the record out first, so a failed write leaves no dangling entry.
  TPXMappedBlock block = std::move(blocks_[static_cast<size_t>(i)]);
  blocks_.erase(blocks_.begin() + i);
  if ((block.Access & pxaWrite) && stream_) {
    stream_->SetPosition(block.Offset);
    if (stream_->Write(block.Memory.get(), block.Size) != block.Size) {
      PXNoteStorageWriteFailure();
      throw EPXStorageError("Cannot write the temporary file of a bitmap");
    }
  }
}

void TPXFileBuffer::UnmapAll() {
  // Every block is unmapped even when one write-back fails; the first
  // failure is reported afterwards.
  bool failed = false;
  while (!blocks_.empty()) {
    try {
      UnmapBlock(blocks_.back().Memory.get());
    } catch (const EPXStorageError&) {
      failed = true;
    }
  }
  if (failed) throw EPXStorageError("Cannot write the temporary file of a bitmap");
}

bool TPXFileBuffer::CopyTo(TPXFileBuffer& dest, int64_t size, int64_t offset) {
  if (!IsOpen() || !dest.IsOpen() || &dest == this || size < 0 || offset < 0) return false;
  UnmapAll();
  dest.UnmapAll();
  if (offset == 0 && size == FileSize()) {
    const int64_t destSize = dest.FileSize();
    if (!dest.stream_->CopyWholeFileFrom(*stream_)) {
      PXNoteStorageWriteFailure();
      return false;
    }
    // Rows past the copy (a taller destination) stay, reading as zeros.
    return destSize <= size || dest.stream_->SetSize(destSize);
  }
  constexpr int64_t kChunk = 1 << 20;
  std::vector<uint8_t> buf;
  try {
    buf.resize(static_cast<size_t>(std::min(kChunk, std::max<int64_t>(size, 1))));
  } catch (const std::bad_alloc&) {
    return false;
  }
  stream_->SetPosition(offset);
  dest.stream_->SetPosition(offset);
  int64_t done = 0;
  while (done < size) {
    const int64_t n = std::min(kChunk, size - done);
    if (!stream_->ReadExact(buf.data(), n)) return false;
    if (dest.stream_->Write(buf.data(), n) != n) {
      PXNoteStorageWriteFailure();
      return false;
    }
    done += n;
  }
  return true;
}

}  // namespace pixoran
