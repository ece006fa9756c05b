#pragma once
// The image store: many small images (thumbnails, cached full images) in one
// growing temporary file, so that thousands of them cost disk space instead
// of memory. At most a few are mapped into memory at a time (the least
// recently used are unmapped first). An image is read in place as a
// DIB-like block, or checked out as a TPXBitmap, changed and written back.
// Deleted images leave free extents that later images of the same or a
// smaller size reuse; the file shrinks back when the last image goes.
//
// The store holds 1-bit and 24-bit images; any other image is stored as a
// 24-bit copy.
//
// Threads: the store has no lock of its own. It may be used from any
// thread, one at a time: callers that share it hold one lock of their own
// around every call and around every use of an address or bitmap it hands
// out (those stay valid only until the next call).
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxutils_bitmap.h"

namespace pixoran {

// One image of the store, allocated by it and used by callers as the
// image's handle, valid from NewImage (AddImage) to DeleteImage.
struct PIXORAN_CORE_EXPORT TPXVirtualDIBImage {
  int64_t Offset = 0;         // in the store file
  int64_t Size = 0;           // bytes of the image
  int64_t MappedSize = 0;     // bytes mapped, the same as Size
  uint8_t* Mapped = nullptr;  // nullptr while not mapped
  bool CheckedOut = false;
  int32_t OriginalWidth = 0;   // full-size width (the thumbnail view keeps the
  int32_t OriginalHeight = 0;  // size before reduction here)
  bool HasAlpha = false;
  uint8_t MapMode = 0;  // 1 read, 2 new, 3 read-write (file-buffer access bits)
  // Its content is gone (a write-back failed, or the stored header no longer
  // fits the record): reads of it fail until a bitmap is stored into it again.
  bool Lost = false;
};

class PIXORAN_CORE_EXPORT TPXVirtualDIBList {
 public:
  // Layout of an image at its offset: a 40-byte BITMAPINFOHEADER, two
  // palette entries (black, white), the rows bottom row first, each
  // CalcRowLen(width, bits, 32) long; with alpha one Full byte (nonzero:
  // entirely opaque) and the 8-bit alpha rows, bottom row first.
  static constexpr int64_t kHeaderSize = 48;
  static constexpr int64_t kInitialSize = 0x10000;

  // Creates the store file (64 KB) in the library's temporary folder.
  TPXVirtualDIBList();
  ~TPXVirtualDIBList();
  TPXVirtualDIBList(const TPXVirtualDIBList&) = delete;
  TPXVirtualDIBList& operator=(const TPXVirtualDIBList&) = delete;

  // Stores a copy of the bitmap (alpha only from a TPXBitmap that has one);
  // nullptr when it could not be stored.
  TPXVirtualDIBImage* AddImage(TPXBaseBitmap& bitmap);
  // A new image with a cleared header; nullptr when no room could be had.
  TPXVirtualDIBImage* NewImage(int32_t width, int32_t height, bool hasAlpha, int32_t bitCount);
  // Reserves room for the image and writes its header (mapped as new).
  bool AllocImage(TPXVirtualDIBImage* record, int32_t width, bool hasAlpha, int32_t bitCount, int32_t height);
  void DeleteImage(TPXVirtualDIBImage* record);

  // Checks an image out as a bitmap (the same one, counted, while it is
  // checked out); nullptr when the image cannot be read.
  TPXBitmap* GetBitmap(TPXVirtualDIBImage* record);
  // Returns a checked-out bitmap, storing it first when asked; freed at the
  // last release. Bitmaps not checked out here are ignored.
  void ReleaseBitmap(TPXBitmap* bitmap, bool writeBack);
  void ReleaseImage(TPXVirtualDIBImage* record, bool writeBack);
  // Copies a stored image into a bitmap (pxBW1 or pxBGR24); false when the
  // image cannot be read.
  bool ImageToBitmap(TPXVirtualDIBImage* record, TPXBitmap& bitmap);
  // Writes a bitmap into the image (in place when size, depth and alpha
  // agree, else in a new extent; a lost image gets its content back); false
  // when it cannot be stored.
  bool BitmapToImage(TPXVirtualDIBImage* record, TPXBitmap& bitmap);

  // From the checked-out bitmap, else from the stored header; 0 when the
  // image cannot be read.
  int32_t GetImageWidth(TPXVirtualDIBImage* record);
  int32_t GetImageHeight(TPXVirtualDIBImage* record);
  int32_t GetImageBitCount(TPXVirtualDIBImage* record);
  // The pixel rows (bottom row first) or the alpha rows; nullptr when they
  // are not one block in memory (a checked-out bitmap kept in a temporary
  // file), when there is no alpha (or it is entirely opaque), or when the
  // image cannot be read.
  uint8_t* GetImageBits(TPXVirtualDIBImage* record);
  uint8_t* GetImageAlphaBits(TPXVirtualDIBImage* record);
  void SetOriginalWidth(TPXVirtualDIBImage* record, int32_t value);
  void SetOriginalHeight(TPXVirtualDIBImage* record, int32_t value);

  // Grows the file ahead of a batch of images; false (the planned size as it
  // was) when the size does not fit int64 or the file cannot grow.
  bool ReserveSpace(int32_t width, int32_t height, int32_t count, int32_t bitCount);

  // Mapping. A failed write-back while unmapping is never raised: it is
  // reported as false and marks the unmapped image lost, whichever call
  // caused the unmapping, so other images stay usable.
  bool MapImage(TPXVirtualDIBImage* record, uint8_t mode);
  bool UnmapImage(TPXVirtualDIBImage* record);
  bool UnmapOldest();
  bool UnmapAll();
  int32_t MaxMapped() const { return maxMapped_; }
  // At least 1.
  void SetMaxMapped(int32_t value) { maxMapped_ = value < 1 ? 1 : value; }
  int32_t MappedCount() const { return mappedCount_; }

  int32_t ImageCount() const { return static_cast<int32_t>(records_.size()); }
  // The store file's planned (and actual) size.
  int64_t FileSize() const { return plannedSize_; }
  int64_t EndOffset() const { return endOffset_; }

  // Steps of the above.
  bool ResizeFile();
  void ClearAll();
  void DeleteRecord(int32_t index);
  int32_t FindCheckout(const TPXVirtualDIBImage* record) const;

 private:
  struct TExtent {
    int64_t Offset;
    int64_t Size;
  };
  struct TCheckout {
    TPXVirtualDIBImage* Record;
    std::unique_ptr<TPXBitmap> Bitmap;
    int32_t Count;
  };
  // Mapped in any mode (mapping it to read when it is not), with a header
  // that fits the record; nullptr otherwise (a header that does not fit
  // marks the image lost).
  uint8_t* Header(TPXVirtualDIBImage* record);
  // Mapped in the mode, with a header that fits the record, as Header.
  uint8_t* Readable(TPXVirtualDIBImage* record, uint8_t mode);
  void WriteRows(TPXVirtualDIBImage* record, TPXBaseBitmap& bitmap, TPXBitmap* alpha);

  TPXFileBuffer file_;
  int64_t plannedSize_ = kInitialSize;
  std::vector<std::unique_ptr<TPXVirtualDIBImage>> records_;
  std::deque<TPXVirtualDIBImage*> mapped_;  // least recently used first
  std::vector<TExtent> free_;
  int64_t endOffset_ = 0;
  int64_t increment_ = kInitialSize;
  int32_t maxMapped_ = 10;
  int32_t mappedCount_ = 0;
  std::vector<TCheckout> checkouts_;
  int64_t lastRequest_ = 0;
};

}  // namespace pixoran
