#pragma once
// The bitmap container: width, height, pixel format, optional palette and
// alpha channel, rows kept in memory (one bottom-up block), in a temporary
// file (top-down rows, one mapped at a time) or in a platform bitmap.
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "platform/graphics.h"
#include "platform/streams.h"

namespace pixoran {

// Refused storage requests and pixel-format pairs.
class PIXORAN_CORE_EXPORT EPXBitmapError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// A temporary-file read or write failed (disk full): rows would be lost.
class PIXORAN_CORE_EXPORT EPXStorageError : public EPXBitmapError {
 public:
  using EPXBitmapError::EPXBitmapError;
};

class TPXMask;
class TPXDibbitmap;

// Test hook over the library's own storage allocations: a bitmap's rows in
// memory or in a temporary file (allocation, resizing, copies, undo copies)
// and the codecs' work buffers. Armed with n, the n-th allocation from then
// on fails as a refused allocation does; every other one goes through.
// Process-wide and inert unless armed; n <= 0 disarms.
PIXORAN_CORE_EXPORT void PXArmAllocationFault(int64_t n);
// True once the armed allocation has been failed.
PIXORAN_CORE_EXPORT bool PXAllocationFaultFired();
// Allocations consulted since the hook was last armed.
PIXORAN_CORE_EXPORT int64_t PXAllocationCount();
// Asked at each allocation point: true when this one is to fail.
PIXORAN_CORE_EXPORT bool PXAllocationFails();
// Bitmap storage requests refused on this thread so far (no memory, no
// temporary file, or the hook), and writes to bitmaps' temporary files that
// failed: an operation that ends without a reason given can tell that it
// ran out of memory or disk.
PIXORAN_CORE_EXPORT int64_t PXStorageFailures();
PIXORAN_CORE_EXPORT int64_t PXStorageWriteFailures();
// Counts a failed write to a bitmap's temporary file (the file buffer does).
PIXORAN_CORE_EXPORT void PXNoteStorageWriteFailure();

// Copies count bits from src (starting at bit srcBit, most significant bit
// first) to dst (starting at bit dstBit), leaving the other bits of dst alone.
PIXORAN_CORE_EXPORT void CopyBitRun(const uint8_t* src, int64_t srcBit, uint8_t* dst, int64_t dstBit, int64_t count);

class PIXORAN_CORE_EXPORT TPXBaseBitmap {
 public:
  virtual ~TPXBaseBitmap() = default;
  TPXAccessMode AccessMode = pxaRead | pxaWrite;

  virtual uint8_t* Scanline(int32_t row) = 0;
  virtual int32_t BitCount() = 0;
  virtual int32_t Height() = 0;
  virtual int32_t Width() = 0;
  virtual TPXPixelFormat PixelFormat() = 0;
  virtual int32_t RowLen() = 0;
  // Drops the old image and allocates a new one. Returns false when the
  // storage could not be had (size not representable, out of memory); the
  // bitmap is then empty.
  virtual bool Allocate(int32_t width, int32_t height, TPXPixelFormat format) = 0;
  virtual void Assign(TPXBaseBitmap* source) = 0;
};

// Sets a bitmap's access mode for a scope and restores it: a copy that
// overwrites whole rows need not read them from a temporary file, one that
// only reads need not write them back.
class PIXORAN_CORE_EXPORT TPXAccessScope {
 public:
  TPXAccessScope(TPXBaseBitmap& bitmap, TPXAccessMode mode) : bitmap_(bitmap), saved_(bitmap.AccessMode) {
    bitmap.AccessMode = mode;
  }
  ~TPXAccessScope() { bitmap_.AccessMode = saved_; }
  TPXAccessScope(const TPXAccessScope&) = delete;
  TPXAccessScope& operator=(const TPXAccessScope&) = delete;

 private:
  TPXBaseBitmap& bitmap_;
  TPXAccessMode saved_;
};

// One block of a temporary file brought into memory.
struct PIXORAN_CORE_EXPORT TPXMappedBlock {
  int64_t Offset = 0;
  int32_t Size = 0;
  int32_t UserValue = 0;
  std::unique_ptr<uint8_t[]> Memory;
  TPXAccessMode Access = 0;
};

// Temporary-file store of a bitmap's rows.
class PIXORAN_CORE_EXPORT TPXFileBuffer {
 public:
  TPXFileBuffer() = default;
  ~TPXFileBuffer();
  TPXFileBuffer(const TPXFileBuffer&) = delete;
  TPXFileBuffer& operator=(const TPXFileBuffer&) = delete;

  // With an empty name, a new temporary file (prefix "pixoran") in the
  // library's temporary folder, unlinked at once. The file is set to the
  // size without writing (it reads as zeros). False on any failure.
  bool Open(const std::string& fileName, int64_t size);
  // Drops every mapped block unwritten, closes and deletes the file.
  void Close();
  bool IsOpen() const { return stream_ != nullptr; }
  bool SetSize(int64_t size);
  // Copies size bytes from offset into dest (both open; both unmap all
  // blocks first). The whole file (offset 0, size = file size) goes by a
  // file copy, the rest through a 1 MB buffer. A destination that was longer
  // keeps its length. False on failure.
  bool CopyTo(TPXFileBuffer& dest, int64_t size, int64_t offset);
  int IndexOfBlock(const void* memory) const;
  // Returns the block's memory (nullptr when it cannot be had). Raises
  // EPXStorageError when a requested read fails.
  uint8_t* MapBlock(TPXAccessMode access, int32_t size, int32_t userValue, int64_t offset);
  // Writes the block back when its access asks for it, then frees it.
  // Raises EPXStorageError when the write-back fails.
  void UnmapBlock(const void* memory);
  void UnmapAll();
  const std::string& FileName() const { return fileName_; }
  int64_t FileSize() const;

 private:
  std::string fileName_;
  bool unlinked_ = false;  // a temporary file, already gone from its folder
  std::unique_ptr<TFileStream> stream_;
  std::vector<TPXMappedBlock> blocks_;
};

// Threads: a bitmap is used by one thread at a time. Even reading it may
// change it (the size is resynchronised from a platform bitmap, a row read
// maps a temporary-file row and may switch the access mode), so two threads
// never read one bitmap at once; the I/O component hands its working bitmap
// to its worker for the length of an operation. The one exception: within
// an operation, row bands (core/pxpool.h) work disjoint rows of an
// in-memory or platform bitmap at once, through row pointers taken on the
// calling thread before they start.
class PIXORAN_CORE_EXPORT TPXBitmap : public TPXBaseBitmap {
 public:
  TPXBitmap();
  ~TPXBitmap() override;
  TPXBitmap(const TPXBitmap&) = delete;
  TPXBitmap& operator=(const TPXBitmap&) = delete;

  // Makes this (fresh) bitmap an alpha channel of the given size, full of 255.
  void InitAsAlpha(int32_t width, int32_t height, TPXLocation location);

  // --- the base bitmap's operations
  // Row 0 is the top row. nullptr for an empty bitmap or a row out of
  // range. A temp-file row stays valid until the next Scanline call on this
  // bitmap; mapping it may raise EPXStorageError (the previous row could
  // not be written back, or this one not read).
  uint8_t* Scanline(int32_t row) override;
  int32_t BitCount() override;
  int32_t Height() override;
  int32_t Width() override;
  TPXPixelFormat PixelFormat() override;
  int32_t RowLen() override;
  // Raises EPXBitmapError for px32f or pxCMYK while the location is
  // pxTBitmap (nothing is touched then).
  bool Allocate(int32_t width, int32_t height, TPXPixelFormat format) override;
  // Copies a TPXBitmap (other classes are ignored). Into pxTBitmap, px32f and
  // pxCMYK are refused with EPXBitmapError before anything changes, and
  // pxGray16 is stored as 8-bit (high bytes). Raises EPXBitmapError when the
  // storage cannot be had, EPXStorageError when a temporary file fails.
  void Assign(TPXBaseBitmap* source) override;
  void Assign(TBitmap* source);  // CopyFromTBitmap

  // --- ownership and storage
  void TransferTo(TPXBitmap& target);
  // TransferTo, except that an alpha channel the target already has stays
  // the same object (callers may hold it): it takes the content of this
  // image's channel, or goes when this image has none.
  void MoveInto(TPXBitmap& target);
  void FreeImage(bool withAlpha = true);
  // Storage for the stored width, height and format, zero-filled; the
  // location is decided here by MemoryThreshold. False (and the bitmap
  // empty) when the size cannot be represented or had.
  bool AllocateStorage();
  TPXLocation Location() const { return location_; }
  // Moves the image (pixels, palette, alpha channel) to another location.
  // Refusals and failures raise as Assign does; a refused or failed move
  // leaves the image where it was.
  void SetLocation(TPXLocation location);
  TBitmap* VclBitmap();  // switches to pxTBitmap
  TCanvas* GetCanvas();  // switches to pxTBitmap
  void AttachTBitmap(TBitmap* bitmap, bool freeFirst);
  // Wraps a bottom-up row buffer that stays the caller's.
  void AttachMemory(void* buffer, int32_t width, int32_t height, TPXPixelFormat format, bool freeFirst);
  void ResyncFromTBitmap();
  void BuildRowTable();
  void FreeRowTable();
  TPXFileBuffer& FileBuffer() { return *fileBuffer_; }

  // --- rows
  uint8_t* MapRowExtra(int32_t row);
  void UnmapRowExtra(int index);
  void UnmapAllRows();
  // UnmapAllRows on the image and its alpha channel: rows still mapped from
  // a temporary file are written back now, so a write that fails shows to
  // the operation that made them. Raises EPXStorageError then.
  void FlushRows();

  // --- alpha channel
  // nullptr for an alpha channel itself. Created on first use; raises
  // EPXBitmapError when its storage cannot be had (no channel is kept then).
  TPXBitmap* GetAlphaChannel();
  bool HasAlphaChannel() const { return alpha_ != nullptr; }
  void RemoveAlphaChannel();
  uint8_t GetAlpha(int32_t x, int32_t y);
  void SetAlpha(int32_t x, int32_t y, uint8_t value);
  void SyncFull();
  bool IsAlpha() const { return isAlpha_; }

  // --- copies
  void CopyPixelsFrom(TPXBitmap& source);
  // Copies a w x h rectangle (both pxBW1, pxBW1 into pxBGR24, or equal
  // formats). A start left of or above either image shifts both starts and
  // shrinks the run; a start past either image copies nothing.
  void CopyRectTo(TPXBitmap& dest, int32_t sx, int32_t sy, int32_t dx, int32_t dy, int32_t w, int32_t h);
  void CopyAlphaRectTo(TPXBitmap& dest, int32_t sx, int32_t sy, int32_t dx, int32_t dy, int32_t w, int32_t h);
  void CopyFromTBitmap(TBitmap& bitmap);
  // nullptr fills the bitmap with 255; a 1-bit mask gives pxBW1, an 8-bit one pxGray8.
  void CopyFromMask(TPXMask* mask);
  // pxBW1 and pxGray8 only; the mask's box is set from the content.
  void CopyToMask(TPXMask& mask);
  // 1-bit images become pxBW1, 8-bit pxGray8 and 24-bit pxBGR24; an empty
  // DIB bitmap changes nothing.
  void CopyFromDibbitmap(TPXDibbitmap& dib);

  // --- size (gained area zero-filled; EPXBitmapError when storage cannot be had)
  void SetWidth(int32_t w);
  void SetHeight(int32_t h);
  void Resize(int32_t newWidth, int32_t newHeight, int32_t fill, int32_t alphaFill, int hAlign, int vAlign);
  void MoveRegion(int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t dx, int32_t dy, int32_t fill);
  void AlignBeforeShrink(int32_t newWidth, int32_t newHeight, int32_t fill, int hAlign, int vAlign);
  void AlignAfterGrow(int32_t oldWidth, int32_t oldHeight, int32_t fill, int hAlign, int vAlign);

  // --- pixels
  void Fill(double value);
  void FillRect(int32_t x1, int32_t y1, int32_t x2, int32_t y2, double value);
  uint8_t GetByte(int32_t x, int32_t y);
  void SetByte(int32_t x, int32_t y, uint8_t value);
  TBGR GetPixel24(int32_t x, int32_t y);
  TBGR GetPixelAsRGB(int32_t x, int32_t y);
  bool IsGrayscale();

  // --- palette (entries B,G,R; up to 256)
  TBGR* Palette() { return palette_.get(); }
  int32_t PaletteCount() const { return paletteCount_; }
  TBGR GetPaletteEntry(int32_t index) const;
  void SetPaletteEntry(int32_t index, TBGR color);
  void UpdateTBitmapPalette();

  // --- format (defined with the pixel-format conversions)
  void SetPixelFormat(TPXPixelFormat format);
  // Converts the image in place (alpha channel kept). Refused pairs raise
  // EPXBitmapError before anything is allocated or changed.
  void ConvertPixelFormat(TPXPixelFormat format);

  // --- settings read by conversion and rendering
  bool Full = false;            // every value known to be at its maximum
  int64_t MemoryThreshold = 0;  // bytes; above it rows go to a temporary file
  uint8_t BWConversion = 1;     // 0 ordered dither, 1 threshold at the mean
  int32_t MaxColors = 256;
  double GrayMin = 0.0, GrayMax = 0.0;
  int32_t RedOffset = 0, GreenOffset = 0, BlueOffset = 0;
  bool ColorAdjust = false;
  int32_t Contrast = 0;
  int32_t RowAlign = 32;

 private:
  // Frees the rows: a big block by its size, a small one with free.
  struct BlockDeleter {
    BlockDeleter() noexcept : BigBytes(0) {}
    explicit BlockDeleter(size_t bigBytes) noexcept : BigBytes(bigBytes) {}
    void operator()(uint8_t* p) const;
    size_t BigBytes;
  };
  struct ThresholdTag {};
  // A working bitmap that takes its threshold from its maker instead of
  // asking the system again.
  TPXBitmap(ThresholdTag, int64_t threshold);
  std::unique_ptr<TPXBitmap> NewWorkBitmap() const;

  // Row pointer without the virtual call; nullptr out of range or without storage.
  uint8_t* Row(int32_t row);
  // Hands everything to a new bitmap and leaves this one empty.
  std::unique_ptr<TPXBitmap> TakeImage();
  void SetTBitmapFormatFor(TPXPixelFormat format);
  void ClearFields();
  // Frees the image but keeps the held platform bitmap for reuse.
  void ReleaseForRealloc(bool withAlpha);
  void CopyImageFrom(TPXBitmap& source, bool fullAssign);
  // Copies the rows of a bitmap of the same size (gray16 into 8 bits by the high byte).
  void CopyRowsFrom(TPXBitmap& source);
  void ChangeSize(int32_t w, int32_t h);
  void ReadTBitmapPalette();
  bool HasStorage() const;
  // The two halves of ConvertPixelFormat: rows in memory or a temporary
  // file, and rows held by the platform bitmap.
  void ConvertStoredImage(TPXPixelFormat format);
  void ConvertPlatformImage(TPXPixelFormat format);

  std::unique_ptr<TPXFileBuffer> fileBuffer_;
  uint8_t* mappedRow_ = nullptr;
  std::unique_ptr<TBGR[]> palette_;
  int32_t paletteCount_ = 0;
  std::unique_ptr<TPXBitmap> alpha_;
  uint8_t* memory_ = nullptr;                           // rows of pxInMemory, bottom-up
  std::unique_ptr<uint8_t, BlockDeleter> ownedMemory_;  // zeroed: big blocks come so for free
  TBitmap* tbitmap_ = nullptr;                          // the platform bitmap of pxTBitmap
  std::unique_ptr<TBitmap> ownedTBitmap_;
  std::vector<uint8_t*> rowTable_;
  const uint8_t* rowTableBase_ = nullptr;  // where the platform bitmap's rows were when the table was built
  std::vector<uint8_t*> extraRows_;
  int32_t width_ = 0;
  int32_t height_ = 0;
  int32_t bitCount_ = 0;
  int32_t rowLen_ = 0;
  TPXPixelFormat format_ = pxNone;
  bool isAlpha_ = false;
  TPXLocation location_ = pxTempFile;
  bool tbitmapNotOwned_ = false;
  bool memoryNotOwned_ = false;
};

}  // namespace pixoran
