#include "core/kopxutils_diblist.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"

namespace pixoran {

namespace {

constexpr uint8_t kMapRead = pxaRead;
constexpr uint8_t kMapNew = pxaWrite;
constexpr uint8_t kMapReadWrite = pxaRead | pxaWrite;

int32_t GetLE32(const uint8_t* p) {
  uint32_t v = 0;
  std::memcpy(&v, p, 4);  // the store file is written on this machine: little-endian
  return static_cast<int32_t>(v);
}

void PutLE32(uint8_t* p, int32_t v) { std::memcpy(p, &v, 4); }

// Bytes of an image, or -1 when the sizes are not those of an image the
// store can map (one block of at most int32 bytes).
int64_t ImageBytes(int32_t width, int32_t height, int32_t bitCount, bool hasAlpha) {
  if (width <= 0 || height <= 0 || (bitCount != 1 && bitCount != 24)) return -1;
  const int64_t rowLen = CalcRowLen(width, bitCount, 32);
  const int64_t alphaLen = CalcRowLen(width, 8, 32);
  if (rowLen <= 0 || alphaLen <= 0) return -1;
  int64_t bytes = TPXVirtualDIBList::kHeaderSize + rowLen * height;
  if (hasAlpha) bytes += 1 + alphaLen * height;
  return bytes <= std::numeric_limits<int32_t>::max() ? bytes : -1;
}

// Into a new (zeroed) block.
void WriteHeader(uint8_t* h, int32_t width, int32_t height, int32_t bitCount) {
  PutLE32(h, 40);
  PutLE32(h + 4, width);
  PutLE32(h + 8, height);
  h[12] = 1;  // planes
  h[14] = static_cast<uint8_t>(bitCount);
  h[44] = h[45] = h[46] = 255;  // palette entry 1: white
}

int32_t HeaderWidth(const uint8_t* h) { return GetLE32(h + 4); }
int32_t HeaderHeight(const uint8_t* h) { return GetLE32(h + 8); }
int32_t HeaderBitCount(const uint8_t* h) { return static_cast<int32_t>(h[14] | (h[15] << 8)); }

}  // namespace

TPXVirtualDIBList::TPXVirtualDIBList() { ResizeFile(); }

TPXVirtualDIBList::~TPXVirtualDIBList() { ClearAll(); }

// ---------------------------------------------------------------- the file

bool TPXVirtualDIBList::ResizeFile() {
  free_.clear();
  if (file_.IsOpen()) {
    UnmapAll();  // the mapped images go to the file before it changes size
    return file_.SetSize(plannedSize_);
  }
  // A file that was closed (or never created) is created anew; the records
  // stay, so no handle a caller holds, nor the one being allocated, dangles.
  return file_.Open(std::string(), plannedSize_);
}

bool TPXVirtualDIBList::ReserveSpace(int32_t width, int32_t height, int32_t count, int32_t bitCount) {
  if (width <= 0 || height <= 0 || count <= 0) return false;
  const int64_t rowLen = CalcRowLen(width, bitCount, 32);
  int64_t each = 0, all = 0, planned = 0;
  if (rowLen <= 0 || __builtin_mul_overflow(rowLen, int64_t{height}, &each) ||
      __builtin_add_overflow(each, kHeaderSize, &each) || __builtin_mul_overflow(each, int64_t{count}, &all) ||
      __builtin_add_overflow(plannedSize_, all, &planned))
    return false;
  const int64_t before = plannedSize_;
  plannedSize_ = planned;
  if (ResizeFile()) return true;
  plannedSize_ = before;
  return false;
}

void TPXVirtualDIBList::ClearAll() {
  // Closing drops every mapped block unwritten: the file goes anyway.
  for (auto& r : records_) r->Mapped = nullptr;
  records_.clear();
  mapped_.clear();
  mappedCount_ = 0;
  free_.clear();
  checkouts_.clear();
  file_.Close();
  endOffset_ = 0;
}

// ---------------------------------------------------------------- mapping

bool TPXVirtualDIBList::MapImage(TPXVirtualDIBImage* record, uint8_t mode) {
  if (!record || record->Lost) return false;
  if (record->Mapped && record->MapMode != mode && !UnmapImage(record)) return false;
  if (record->Mapped) {
    // Most recently used now.
    mapped_.erase(std::find(mapped_.begin(), mapped_.end(), record));
    mapped_.push_back(record);
    return true;
  }
  while (mappedCount_ + 1 > maxMapped_ && !mapped_.empty()) UnmapOldest();
  if (!file_.IsOpen() || record->MappedSize <= 0) return false;
  uint8_t* memory = nullptr;
  try {
    memory = file_.MapBlock(mode, static_cast<int32_t>(record->MappedSize), 0, record->Offset);
  } catch (const EPXStorageError&) {
    memory = nullptr;
  }
  if (!memory) return false;
  record->Mapped = memory;
  record->MapMode = mode;
  ++mappedCount_;
  mapped_.push_back(record);
  return true;
}

bool TPXVirtualDIBList::UnmapImage(TPXVirtualDIBImage* record) {
  if (!record || !record->Mapped) return true;
  uint8_t* memory = record->Mapped;
  record->Mapped = nullptr;
  auto it = std::find(mapped_.begin(), mapped_.end(), record);
  if (it != mapped_.end()) mapped_.erase(it);
  --mappedCount_;
  try {
    file_.UnmapBlock(memory);  // writes back for modes 2 and 3
  } catch (const EPXStorageError&) {
    // The file does not hold this image now, whoever asked for the unmapping.
    record->Lost = true;
    return false;
  }
  return true;
}

bool TPXVirtualDIBList::UnmapOldest() {
  if (mapped_.empty()) return true;
  return UnmapImage(mapped_.front());
}

bool TPXVirtualDIBList::UnmapAll() {
  bool ok = true;
  while (!mapped_.empty()) ok = UnmapImage(mapped_.front()) && ok;
  return ok;
}

uint8_t* TPXVirtualDIBList::Header(TPXVirtualDIBImage* record) {
  if (!record) return nullptr;
  // Mapped already: in its own mode, which only makes it most recently used.
  return Readable(record, record->Mapped ? record->MapMode : kMapRead);
}

uint8_t* TPXVirtualDIBList::Readable(TPXVirtualDIBImage* record, uint8_t mode) {
  if (!MapImage(record, mode)) return nullptr;
  uint8_t* h = record->Mapped;
  // A block the file never received reads as zeros: not this image.
  if (ImageBytes(HeaderWidth(h), HeaderHeight(h), HeaderBitCount(h), record->HasAlpha) == record->Size) return h;
  UnmapImage(record);
  record->Lost = true;
  return nullptr;
}

// ---------------------------------------------------------------- images

bool TPXVirtualDIBList::AllocImage(TPXVirtualDIBImage* record, int32_t width, bool hasAlpha, int32_t bitCount,
                                   int32_t height) {
  if (!record) return false;
  const int64_t need = ImageBytes(width, height, bitCount, hasAlpha);
  if (need < 0) return false;
  if (!file_.IsOpen() && !ResizeFile()) return false;
  int64_t offset = -1;
  for (size_t i = 0; i < free_.size(); ++i) {
    if (free_[i].Size >= need) {
      // First fit; the rest of the extent is not kept.
      offset = free_[i].Offset;
      free_.erase(free_.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  }
  if (offset < 0) {
    if (need > increment_) increment_ = lastRequest_ + need;
    lastRequest_ = need;
    if (endOffset_ + need > plannedSize_) {
      plannedSize_ += increment_;
      if (!ResizeFile()) {
        plannedSize_ -= increment_;
        return false;
      }
    }
    offset = endOffset_;
    endOffset_ += need;
  }
  record->Offset = offset;
  record->Size = need;
  record->MappedSize = need;
  record->Mapped = nullptr;
  record->CheckedOut = false;
  record->Lost = false;
  record->OriginalWidth = width;
  record->OriginalHeight = height;
  record->HasAlpha = hasAlpha;
  if (!MapImage(record, kMapNew)) {
    // The room stays usable by the next image.
    free_.push_back(TExtent{offset, need});
    return false;
  }
  WriteHeader(record->Mapped, width, height, bitCount);
  return true;
}

TPXVirtualDIBImage* TPXVirtualDIBList::NewImage(int32_t width, int32_t height, bool hasAlpha, int32_t bitCount) {
  auto record = std::make_unique<TPXVirtualDIBImage>();
  if (!AllocImage(record.get(), width, hasAlpha, bitCount, height)) return nullptr;
  records_.push_back(std::move(record));
  return records_.back().get();
}

void TPXVirtualDIBList::WriteRows(TPXVirtualDIBImage* record, TPXBaseBitmap& bitmap, TPXBitmap* alpha) {
  uint8_t* base = record->Mapped;
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  const int32_t bits = HeaderBitCount(base);
  const int64_t rowLen = CalcRowLen(w, bits, 32);
  const TPXPixelFormat format = bitmap.PixelFormat();
  auto* px = dynamic_cast<TPXBitmap*>(&bitmap);
  const TBGR* palette = px ? px->Palette() : nullptr;
  const int32_t paletteCount = px ? px->PaletteCount() : 0;
  const auto used = static_cast<size_t>((static_cast<int64_t>(w) * bits + 7) / 8);
  {
    TPXAccessScope readOnly(bitmap, pxaRead);
    for (int32_t i = 0; i < h; ++i) {
      uint8_t* dst = base + kHeaderSize + rowLen * i;
      const uint8_t* src = bitmap.Scanline(h - 1 - i);
      if (!src) continue;
      if ((bits == 1 && format == pxBW1) || (bits == 24 && format == pxBGR24)) std::memcpy(dst, src, used);
      else RowToBGR24(format, src, dst, w, palette, paletteCount);
    }
  }
  if (!record->HasAlpha || !alpha) return;
  uint8_t* a = base + kHeaderSize + rowLen * h;
  *a++ = alpha->Full ? 1 : 0;
  const int64_t alphaLen = CalcRowLen(w, 8, 32);
  TPXAccessScope readOnly(*alpha, pxaRead);
  for (int32_t i = 0; i < h; ++i)
    if (const uint8_t* src = alpha->Scanline(h - 1 - i)) std::memcpy(a + alphaLen * i, src, static_cast<size_t>(w));
}

TPXVirtualDIBImage* TPXVirtualDIBList::AddImage(TPXBaseBitmap& bitmap) {
  const TPXPixelFormat format = bitmap.PixelFormat();
  // Only two depths are kept: anything else becomes 24-bit rows, never
  // rows of another depth read back as 24-bit.
  const int32_t bits = format == pxBW1 ? 1 : 24;
  auto* px = dynamic_cast<TPXBitmap*>(&bitmap);
  TPXBitmap* alpha = (px && px->HasAlphaChannel()) ? px->GetAlphaChannel() : nullptr;
  TPXVirtualDIBImage* record = NewImage(bitmap.Width(), bitmap.Height(), alpha != nullptr, bits);
  if (!record) return nullptr;
  WriteRows(record, bitmap, alpha);
  return record;
}

bool TPXVirtualDIBList::ImageToBitmap(TPXVirtualDIBImage* record, TPXBitmap& bitmap) {
  const uint8_t* base = Readable(record, kMapRead);
  if (!base) return false;
  const int32_t w = HeaderWidth(base), h = HeaderHeight(base), bits = HeaderBitCount(base);
  const TPXPixelFormat format = bits == 1 ? pxBW1 : pxBGR24;
  if (bitmap.PixelFormat() != format || bitmap.Width() != w || bitmap.Height() != h) {
    if (!bitmap.Allocate(w, h, format)) return false;
  }
  const int64_t rowLen = CalcRowLen(w, bits, 32);
  const auto used = static_cast<size_t>((static_cast<int64_t>(w) * bits + 7) / 8);
  {
    TPXAccessScope writeOnly(bitmap, pxaWrite);  // whole rows are replaced
    for (int32_t i = 0; i < h; ++i)
      if (uint8_t* dst = bitmap.Scanline(h - 1 - i)) std::memcpy(dst, base + kHeaderSize + rowLen * i, used);
  }
  const uint8_t* a = base + kHeaderSize + rowLen * h;
  if (!record->HasAlpha || *a != 0) {
    bitmap.RemoveAlphaChannel();
    return true;
  }
  TPXBitmap* alpha = bitmap.GetAlphaChannel();
  if (!alpha) return true;
  alpha->Full = false;
  const int64_t alphaLen = CalcRowLen(w, 8, 32);
  TPXAccessScope writeOnly(*alpha, pxaWrite);
  for (int32_t i = 0; i < h; ++i)
    if (uint8_t* dst = alpha->Scanline(h - 1 - i)) std::memcpy(dst, a + 1 + alphaLen * i, static_cast<size_t>(w));
  return true;
}

bool TPXVirtualDIBList::BitmapToImage(TPXVirtualDIBImage* record, TPXBitmap& bitmap) {
  if (!record) return false;
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  const int32_t bits = bitmap.PixelFormat() == pxBW1 ? 1 : 24;
  TPXBitmap* alpha = bitmap.HasAlphaChannel() ? bitmap.GetAlphaChannel() : nullptr;
  if (record->Lost) {
    // Nothing of the old content to keep: the image is written anew, in its
    // own extent when it has the same size.
    const int64_t need = ImageBytes(w, h, bits, alpha != nullptr);
    if (need < 0) return false;
    const TPXVirtualDIBImage saved = *record;
    record->Lost = false;
    if (need == record->Size && record->HasAlpha == (alpha != nullptr) && MapImage(record, kMapNew)) {
      WriteHeader(record->Mapped, w, h, bits);
    } else if (!AllocImage(record, w, alpha != nullptr, bits, h)) {
      *record = saved;
      return false;
    }
    WriteRows(record, bitmap, alpha);
    return true;
  }
  const uint8_t* base = Readable(record, kMapReadWrite);
  if (!base) return false;
  if (HeaderWidth(base) != w || HeaderHeight(base) != h || HeaderBitCount(base) != bits ||
      record->HasAlpha != (alpha != nullptr)) {
    // Another size: a new extent (the old one is not freed).
    const TPXVirtualDIBImage saved = *record;
    const bool kept = UnmapImage(record);
    if (!AllocImage(record, w, alpha != nullptr, bits, h)) {
      *record = saved;
      record->Mapped = nullptr;
      record->Lost = !kept;
      return false;
    }
  }
  WriteRows(record, bitmap, alpha);
  return true;
}

void TPXVirtualDIBList::DeleteRecord(int32_t index) {
  if (index < 0 || index >= ImageCount()) return;
  records_.erase(records_.begin() + index);
}

void TPXVirtualDIBList::DeleteImage(TPXVirtualDIBImage* record) {
  auto it = std::find_if(records_.begin(), records_.end(), [&](const auto& r) { return r.get() == record; });
  if (it == records_.end()) return;
  free_.push_back(TExtent{record->Offset, record->MappedSize});
  if (const int32_t c = FindCheckout(record); c >= 0) checkouts_.erase(checkouts_.begin() + c);
  UnmapImage(record);
  DeleteRecord(static_cast<int32_t>(it - records_.begin()));
  if (records_.empty()) {
    plannedSize_ = increment_;
    endOffset_ = 0;
    ResizeFile();
  }
}

// ---------------------------------------------------------------- check-out

int32_t TPXVirtualDIBList::FindCheckout(const TPXVirtualDIBImage* record) const {
  for (size_t i = 0; i < checkouts_.size(); ++i)
    if (checkouts_[i].Record == record) return static_cast<int32_t>(i);
  return -1;
}

TPXBitmap* TPXVirtualDIBList::GetBitmap(TPXVirtualDIBImage* record) {
  if (!record) return nullptr;
  if (const int32_t c = FindCheckout(record); c >= 0) {
    ++checkouts_[static_cast<size_t>(c)].Count;
    return checkouts_[static_cast<size_t>(c)].Bitmap.get();
  }
  auto bitmap = std::make_unique<TPXBitmap>();
  if (!ImageToBitmap(record, *bitmap)) return nullptr;
  record->CheckedOut = true;
  checkouts_.push_back(TCheckout{record, std::move(bitmap), 1});
  return checkouts_.back().Bitmap.get();
}

void TPXVirtualDIBList::ReleaseBitmap(TPXBitmap* bitmap, bool writeBack) {
  if (!bitmap) return;
  auto it =
      std::find_if(checkouts_.begin(), checkouts_.end(), [&](const TCheckout& c) { return c.Bitmap.get() == bitmap; });
  if (it == checkouts_.end()) return;
  if (bitmap->Location() == pxTBitmap) bitmap->ResyncFromTBitmap();
  --it->Count;
  TPXVirtualDIBImage* record = it->Record;
  if (writeBack) BitmapToImage(record, *bitmap);
  if (it->Count <= 0) {
    record->CheckedOut = false;
    checkouts_.erase(it);
  }
}

void TPXVirtualDIBList::ReleaseImage(TPXVirtualDIBImage* record, bool writeBack) {
  const int32_t c = FindCheckout(record);
  if (c >= 0) ReleaseBitmap(checkouts_[static_cast<size_t>(c)].Bitmap.get(), writeBack);
}

// ---------------------------------------------------------------- reading in place

int32_t TPXVirtualDIBList::GetImageWidth(TPXVirtualDIBImage* record) {
  if (const int32_t c = FindCheckout(record); c >= 0) return checkouts_[static_cast<size_t>(c)].Bitmap->Width();
  const uint8_t* h = Header(record);
  return h ? HeaderWidth(h) : 0;
}

int32_t TPXVirtualDIBList::GetImageHeight(TPXVirtualDIBImage* record) {
  if (const int32_t c = FindCheckout(record); c >= 0) return checkouts_[static_cast<size_t>(c)].Bitmap->Height();
  const uint8_t* h = Header(record);
  return h ? HeaderHeight(h) : 0;
}

int32_t TPXVirtualDIBList::GetImageBitCount(TPXVirtualDIBImage* record) {
  if (const int32_t c = FindCheckout(record); c >= 0) return checkouts_[static_cast<size_t>(c)].Bitmap->BitCount();
  const uint8_t* h = Header(record);
  return h ? HeaderBitCount(h) : 0;
}

uint8_t* TPXVirtualDIBList::GetImageBits(TPXVirtualDIBImage* record) {
  if (const int32_t c = FindCheckout(record); c >= 0) {
    TPXBitmap& b = *checkouts_[static_cast<size_t>(c)].Bitmap;
    // Only rows in memory are one bottom-up block; a temporary file's are not.
    if (b.Location() != pxInMemory || b.Height() <= 0) return nullptr;
    return b.Scanline(b.Height() - 1);
  }
  uint8_t* h = Header(record);
  return h ? h + kHeaderSize : nullptr;
}

uint8_t* TPXVirtualDIBList::GetImageAlphaBits(TPXVirtualDIBImage* record) {
  if (!record || !record->HasAlpha) return nullptr;
  if (const int32_t c = FindCheckout(record); c >= 0) {
    TPXBitmap& b = *checkouts_[static_cast<size_t>(c)].Bitmap;
    if (!b.HasAlphaChannel()) return nullptr;
    TPXBitmap& a = *b.GetAlphaChannel();
    if (a.Location() != pxInMemory || a.Height() <= 0) return nullptr;
    return a.Scanline(a.Height() - 1);
  }
  uint8_t* h = Header(record);
  if (!h) return nullptr;
  uint8_t* full = h + kHeaderSize + CalcRowLen(HeaderWidth(h), HeaderBitCount(h), 32) * HeaderHeight(h);
  return *full == 0 ? full + 1 : nullptr;
}

void TPXVirtualDIBList::SetOriginalWidth(TPXVirtualDIBImage* record, int32_t value) {
  if (record) record->OriginalWidth = value;
}

void TPXVirtualDIBList::SetOriginalHeight(TPXVirtualDIBImage* record, int32_t value) {
  if (record) record->OriginalHeight = value;
}

}  // namespace pixoran
