// The bitmap container: lifecycle, storage, rows and alpha channel.
#include "core/kopxutils_bitmap.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <utility>

#include "core/kopxutils_bitmap_internal.h"
#include "platform/system.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"

namespace pixoran {

const char* const kNoStorage = "Not enough storage for the image";

namespace {
// The allocation hook: left until the armed allocation, -1 when disarmed.
std::atomic<int64_t> gFaultCountdown{-1};
std::atomic<int64_t> gAllocations{0};
std::atomic<bool> gFaultFired{false};
}  // namespace

void PXArmAllocationFault(int64_t n) {
  gFaultFired = false;
  gAllocations = 0;
  gFaultCountdown = n > 0 ? n : -1;
}

bool PXAllocationFaultFired() { return gFaultFired; }

int64_t PXAllocationCount() { return gAllocations; }

namespace {
thread_local int64_t tStorageFailures = 0;
thread_local int64_t tStorageWriteFailures = 0;
}  // namespace

int64_t PXStorageFailures() { return tStorageFailures; }
int64_t PXStorageWriteFailures() { return tStorageWriteFailures; }
void PXNoteStorageWriteFailure() { ++tStorageWriteFailures; }

bool PXAllocationFails() {
  if (gFaultCountdown.load(std::memory_order_relaxed) < 0) return false;
  ++gAllocations;
  if (gFaultCountdown.fetch_sub(1) != 1) return false;
  gFaultFired = true;
  return true;
}

void RefuseForTBitmap(TPXPixelFormat format) {
  if (format == px32f) throw EPXBitmapError("px32f pixel format not allowed when Location=pxTBitmap");
  if (format == pxCMYK) throw EPXBitmapError("pxCMYK pixel format not allowed when Location=pxTBitmap");
}

namespace {

// No process address space holds a larger block; refusing it up front keeps
// an absurd size from reaching the allocator at all.
constexpr int64_t kMaxMemoryBlock = int64_t{1} << 47;

// Rows of 32 MB or more go in a block of their own on huge pages (filling
// 72 MB then takes a few dozen page faults, not eighteen thousand). Smaller
// ones stay with the allocator, which hands a freed block of that size out
// again already faulted in, where a fresh block would take its faults anew
// (a reduction to a few MB run over and over spent a quarter of its time
// clearing new huge pages). Not in an AddressSanitizer build, which watches
// only the allocator's blocks.
#if defined(__SANITIZE_ADDRESS__)
constexpr int64_t kBigBlock = std::numeric_limits<int64_t>::max();
#else
constexpr int64_t kBigBlock = int64_t{32} << 20;
#endif

void GrayRamp(TBGR* p) {
  for (int i = 0; i < 256; ++i) p[i] = TBGR{static_cast<uint8_t>(i), static_cast<uint8_t>(i), static_cast<uint8_t>(i)};
}

TPixelFormat TBitmapFormatFor(TPXPixelFormat format) {
  switch (format) {
    case pxBW1: return pf1bit;
    case pxPal8:
    case pxGray8:
    case pxGray16: return pf8bit;
    default: return pf24bit;
  }
}

bool AllMax(const uint8_t* p, int64_t n) {
  for (int64_t i = 0; i < n; ++i)
    if (p[i] != 0xFF) return false;
  return true;
}

}  // namespace

// ---------------------------------------------------------------- lifecycle

TPXBitmap::TPXBitmap() : fileBuffer_(std::make_unique<TPXFileBuffer>()) {
  const int64_t override = PXSettings().MemoryThresholdOverride;
  if (override != -1) {
    MemoryThreshold = override;
  } else {
    const int64_t avail = GetAvailablePhysicalMemory();
    MemoryThreshold = avail != 0 ? avail / 2 : 0x2000000;
  }
}

TPXBitmap::TPXBitmap(ThresholdTag, int64_t threshold) : fileBuffer_(std::make_unique<TPXFileBuffer>()) {
  MemoryThreshold = threshold;
}

std::unique_ptr<TPXBitmap> TPXBitmap::NewWorkBitmap() const {
  return std::unique_ptr<TPXBitmap>(new TPXBitmap(ThresholdTag{}, MemoryThreshold));
}

TPXBitmap::~TPXBitmap() { FreeImage(true); }

void TPXBitmap::InitAsAlpha(int32_t width, int32_t height, TPXLocation location) {
  isAlpha_ = true;
  location_ = location == pxTBitmap ? pxInMemory : location;
  if (Allocate(width, height, pxGray8)) Fill(255);
}

void TPXBitmap::ClearFields() {
  mappedRow_ = nullptr;
  palette_.reset();
  paletteCount_ = 0;
  memory_ = nullptr;
  ownedMemory_.reset();
  tbitmap_ = nullptr;
  ownedTBitmap_.reset();
  rowTable_.clear();
  rowTableBase_ = nullptr;
  extraRows_.clear();
  width_ = height_ = bitCount_ = rowLen_ = 0;
  format_ = pxNone;
  tbitmapNotOwned_ = memoryNotOwned_ = false;
  Full = false;
}

void TPXBitmap::FreeImage(bool withAlpha) {
  // Close drops mapped rows unwritten: the file goes away with them.
  fileBuffer_->Close();
  ClearFields();
  if (withAlpha) alpha_.reset();
}

void TPXBitmap::ReleaseForRealloc(bool withAlpha) {
  if (location_ != pxTBitmap || !tbitmap_) {
    FreeImage(withAlpha);
    return;
  }
  TBitmap* held = tbitmap_;
  std::unique_ptr<TBitmap> owned = std::move(ownedTBitmap_);
  const bool notOwned = tbitmapNotOwned_;
  tbitmap_ = nullptr;
  FreeImage(withAlpha);
  tbitmap_ = held;
  ownedTBitmap_ = std::move(owned);
  tbitmapNotOwned_ = notOwned;
}

bool TPXBitmap::HasStorage() const {
  switch (location_) {
    case pxInMemory: return memory_ != nullptr;
    case pxTempFile: return fileBuffer_->IsOpen();
    case pxTBitmap: return tbitmap_ != nullptr && !rowTable_.empty();
  }
  return false;
}

void TPXBitmap::TransferTo(TPXBitmap& target) {
  if (&target == this) return;
  target.FreeImage(true);
  target.width_ = width_;
  target.height_ = height_;
  target.bitCount_ = bitCount_;
  target.mappedRow_ = mappedRow_;
  target.rowLen_ = rowLen_;
  target.format_ = format_;
  target.palette_ = std::move(palette_);
  target.paletteCount_ = paletteCount_;
  target.alpha_ = std::move(alpha_);
  target.isAlpha_ = isAlpha_;
  target.memory_ = memory_;
  target.ownedMemory_ = std::move(ownedMemory_);
  target.tbitmap_ = tbitmap_;
  target.ownedTBitmap_ = std::move(ownedTBitmap_);
  target.location_ = location_;
  target.Full = Full;
  target.tbitmapNotOwned_ = tbitmapNotOwned_;
  target.memoryNotOwned_ = memoryNotOwned_;
  target.rowTable_ = std::move(rowTable_);
  target.rowTableBase_ = rowTableBase_;
  target.BWConversion = BWConversion;
  target.RowAlign = RowAlign;
  target.fileBuffer_ = std::move(fileBuffer_);
  target.extraRows_ = std::move(extraRows_);
  fileBuffer_ = std::make_unique<TPXFileBuffer>();
  extraRows_ = {};
  rowTable_ = {};
  ClearFields();
}

void TPXBitmap::MoveInto(TPXBitmap& target) {
  if (&target == this) return;
  std::unique_ptr<TPXBitmap> kept, incoming;
  if (target.alpha_ && alpha_) {
    kept = std::move(target.alpha_);
    incoming = std::move(alpha_);
  }
  TransferTo(target);
  if (kept) {
    incoming->TransferTo(*kept);
    target.alpha_ = std::move(kept);
  }
}

std::unique_ptr<TPXBitmap> TPXBitmap::TakeImage() {
  auto t = NewWorkBitmap();
  TransferTo(*t);
  return t;
}

// ------------------------------------------------------------------ storage

bool TPXBitmap::Allocate(int32_t width, int32_t height, TPXPixelFormat format) {
  if (location_ == pxTBitmap) RefuseForTBitmap(format);
  ReleaseForRealloc(true);
  if (width < 0 || height < 0 || format >= kPXPixelFormatCount) {
    FreeImage(true);
    return false;
  }
  width_ = width;
  height_ = height;
  format_ = format;
  return AllocateStorage();
}

bool TPXBitmap::AllocateStorage() {
  if (location_ == pxTBitmap) RefuseForTBitmap(format_);
  Full = false;
  if (format_ >= kPXPixelFormatCount || width_ < 0 || height_ < 0) {
    FreeImage(true);
    return false;
  }
  if (location_ == pxTBitmap && format_ == pxGray16) format_ = pxGray8;  // the platform bitmap has no 16-bit gray
  bitCount_ = BitsOfFormat(format_);
  const int64_t rowLen = CalcRowLen(width_, bitCount_, RowAlign);
  if (rowLen < 0) {  // wider than a row can be, or an alignment not taken
    FreeImage(true);
    return false;
  }
  rowLen_ = static_cast<int32_t>(rowLen);
  // An 8-bit platform bitmap is always reported paletted (a gray ramp), so
  // a gray image stored there is paletted from the start.
  if (location_ == pxTBitmap && format_ == pxGray8 && !isAlpha_) format_ = pxPal8;
  // A paletted image always has its palette, even before it has rows.
  if (format_ == pxPal8 && !palette_) {
    palette_ = std::make_unique<TBGR[]>(256);
    GrayRamp(palette_.get());
    paletteCount_ = 256;
  } else if (format_ != pxPal8) {
    palette_.reset();
    paletteCount_ = 0;
  }
  if (width_ == 0 || height_ == 0 || format_ == pxNone) {
    if (location_ == pxTBitmap && tbitmap_) {
      tbitmap_->SetSize(0, 0);
      if (format_ != pxNone) tbitmap_->SetPixelFormat(TBitmapFormatFor(format_));
      rowTable_.clear();
      rowTableBase_ = nullptr;
    }
    return true;
  }
  const int64_t size = rowLen * height_;  // both below 2^31: no overflow
  if (location_ != pxTBitmap && PXAllocationFails()) {
    ++tStorageFailures;
    FreeImage(true);
    return false;
  }
  if (location_ == pxTempFile && size < MemoryThreshold) location_ = pxInMemory;
  else if (location_ == pxInMemory && size > MemoryThreshold) location_ = pxTempFile;

  bool fellBack = false;
  if (location_ == pxTempFile) {
    if (fileBuffer_->Open("", size)) return true;
    location_ = pxInMemory;
    fellBack = true;
  }
  if (location_ == pxInMemory) {
    // Without its temporary file a big image may take memory only while the
    // machine has it: a lying file header must not exhaust the process.
    const int64_t avail = fellBack ? GetAvailablePhysicalMemory() : 0;
    const bool fits = size <= kMaxMemoryBlock && !(fellBack && avail > 0 && size > avail);
    const bool big = size >= kBigBlock;
    void* p = !fits ? nullptr
              : big ? PlatformAllocateBigBlock(static_cast<size_t>(size))
                    : std::calloc(static_cast<size_t>(size), 1);
    if (!p) {
      ++tStorageFailures;
      FreeImage(true);
      return false;
    }
    ownedMemory_ = std::unique_ptr<uint8_t, BlockDeleter>(static_cast<uint8_t*>(p),
                                                          BlockDeleter{big ? static_cast<size_t>(size) : 0});
    memory_ = ownedMemory_.get();
    return true;
  }
  // pxTBitmap
  if (!tbitmap_) {
    ownedTBitmap_ = std::make_unique<TBitmap>();
    tbitmap_ = ownedTBitmap_.get();
    tbitmapNotOwned_ = false;
  }
  // Emptied first, so the new rows start from zeros and not from old content.
  tbitmap_->SetSize(0, 0);
  tbitmap_->SetPixelFormat(TBitmapFormatFor(format_));
  tbitmap_->SetSize(width_, height_);
  if (tbitmap_->Empty()) {
    FreeImage(true);
    return false;
  }
  BuildRowTable();
  UpdateTBitmapPalette();
  return true;
}

void TPXBitmap::BlockDeleter::operator()(uint8_t* p) const {
  if (BigBytes > 0) PlatformFreeBigBlock(p, BigBytes);
  else std::free(p);
}

void TPXBitmap::SetTBitmapFormatFor(TPXPixelFormat format) {
  if (tbitmap_) tbitmap_->SetPixelFormat(TBitmapFormatFor(format));
}

void TPXBitmap::BuildRowTable() {
  rowTable_.clear();
  rowTableBase_ = nullptr;
  if (!tbitmap_) return;
  const int h = tbitmap_->Height();
  rowTable_.resize(static_cast<size_t>(std::max(h, 0)));
  for (int y = 0; y < h; ++y) rowTable_[static_cast<size_t>(y)] = tbitmap_->ScanLine(y);
  rowTableBase_ = std::as_const(*tbitmap_).Image().constBits();
}

void TPXBitmap::FreeRowTable() {
  rowTable_.clear();
  rowTableBase_ = nullptr;
}

void TPXBitmap::ReadTBitmapPalette() {
  palette_ = std::make_unique<TBGR[]>(256);
  paletteCount_ = 256;
  if (!tbitmap_ || tbitmap_->PaletteSize() == 0) {
    GrayRamp(palette_.get());
    return;
  }
  for (int i = 0; i < 256; ++i) {
    const TPaletteEntry e = tbitmap_->GetPaletteEntry(i);
    palette_[i] = TBGR{e.Blue, e.Green, e.Red};
  }
}

void TPXBitmap::ResyncFromTBitmap() {
  if (location_ != pxTBitmap || !tbitmap_) return;
  const QImage& img = std::as_const(*tbitmap_).Image();
  if (img.isNull()) {
    // Emptied from outside: no rows. A stored size with one zero side is
    // kept, since the platform bitmap cannot hold it.
    if (width_ > 0 && height_ > 0) {
      width_ = height_ = 0;
      rowLen_ = 0;
    }
    FreeRowTable();
    return;
  }
  TPixelFormat pf = tbitmap_->PixelFormat();
  if (pf != pf1bit && pf != pf8bit && pf != pf24bit) {
    // Only 1-, 8- and 24-bit rows can be read as this container's formats.
    tbitmap_->SetPixelFormat(pf24bit);
    pf = pf24bit;
  }
  const TPXPixelFormat f = pf == pf1bit ? pxBW1 : pf == pf8bit ? (isAlpha_ ? pxGray8 : pxPal8) : pxBGR24;
  const int32_t w = img.width(), h = img.height();
  if (w != width_ || h != height_ || f != format_) {
    const bool formatChanged = f != format_;
    width_ = w;
    height_ = h;
    format_ = f;
    bitCount_ = BitsOfFormat(f);
    const int64_t rl = CalcRowLen(w, bitCount_, RowAlign);
    rowLen_ = rl >= 0 ? static_cast<int32_t>(rl) : tbitmap_->BytesPerLine();
    if (f == pxPal8) {
      if (formatChanged || !palette_) ReadTBitmapPalette();
    } else {
      palette_.reset();
      paletteCount_ = 0;
    }
    if (alpha_ && (alpha_->width_ != w || alpha_->height_ != h)) alpha_->Allocate(w, h, pxGray8);
    BuildRowTable();
  }
  if (height_ > 0 && std::as_const(*tbitmap_).Image().constBits() != rowTableBase_) BuildRowTable();
}

void TPXBitmap::SetLocation(TPXLocation location) {
  if (location == location_ || location > pxTBitmap) return;
  ResyncFromTBitmap();
  if (location == pxTBitmap) RefuseForTBitmap(format_);
  // Where the allocation would land anyway: nothing to move.
  if (location != pxTBitmap && location_ != pxTBitmap && HasStorage()) {
    const int64_t size = static_cast<int64_t>(rowLen_) * height_;
    TPXLocation lands = location;
    if (lands == pxTempFile && size < MemoryThreshold) lands = pxInMemory;
    else if (lands == pxInMemory && size > MemoryThreshold) lands = pxTempFile;
    if (lands == location_ && !memoryNotOwned_) return;
  }
  const TPXLocation oldLocation = location_;
  const bool full = Full;
  auto old = TakeImage();
  location_ = location;
  if (!Allocate(old->width_, old->height_, old->format_)) {
    FreeImage(true);
    old->TransferTo(*this);
    location_ = oldLocation;
    throw EPXBitmapError(kNoStorage);
  }
  try {
    CopyRowsFrom(*old);
  } catch (...) {
    FreeImage(true);
    old->TransferTo(*this);
    throw;
  }
  if (palette_ && old->palette_) {
    const int32_t n = std::min(paletteCount_, old->paletteCount_);
    std::memcpy(palette_.get(), old->palette_.get(), static_cast<size_t>(n) * sizeof(TBGR));
  }
  UpdateTBitmapPalette();
  isAlpha_ = old->isAlpha_;
  alpha_ = std::move(old->alpha_);
  Full = full;
}

TBitmap* TPXBitmap::VclBitmap() {
  SetLocation(pxTBitmap);
  if (!tbitmap_) {
    ownedTBitmap_ = std::make_unique<TBitmap>();
    tbitmap_ = ownedTBitmap_.get();
    tbitmapNotOwned_ = false;
    if (format_ != pxNone) SetTBitmapFormatFor(format_);
  }
  return tbitmap_;
}

TCanvas* TPXBitmap::GetCanvas() { return &VclBitmap()->Canvas(); }

void TPXBitmap::AttachTBitmap(TBitmap* bitmap, bool freeFirst) {
  if (bitmap && bitmap == tbitmap_ && location_ == pxTBitmap) {
    ResyncFromTBitmap();
    return;
  }
  if (freeFirst) FreeImage(true);
  if (!bitmap) return;
  FreeImage(false);  // storage of our own that the attached bitmap replaces
  tbitmap_ = bitmap;
  tbitmapNotOwned_ = true;
  location_ = pxTBitmap;
  width_ = bitmap->Width();
  height_ = bitmap->Height();
  // 8-bit and other formats (and their palettes) are settled by the resync.
  format_ = bitmap->PixelFormat() == pf1bit ? pxBW1 : bitmap->PixelFormat() == pf24bit ? pxBGR24 : pxNone;
  bitCount_ = BitsOfFormat(format_);
  const int64_t rl = CalcRowLen(width_, bitCount_, RowAlign);
  rowLen_ = rl >= 0 ? static_cast<int32_t>(rl) : 0;
  BuildRowTable();
  ResyncFromTBitmap();
}

void TPXBitmap::AttachMemory(void* buffer, int32_t width, int32_t height, TPXPixelFormat format, bool freeFirst) {
  if (freeFirst) FreeImage(true);
  if (!buffer) return;
  FreeImage(false);
  if (width < 0 || height < 0 || format >= kPXPixelFormatCount) return;
  const int64_t rl = CalcRowLen(width, BitsOfFormat(format), RowAlign);
  if (rl < 0) return;
  memory_ = static_cast<uint8_t*>(buffer);
  memoryNotOwned_ = true;
  location_ = pxInMemory;
  width_ = width;
  height_ = height;
  format_ = format;
  bitCount_ = BitsOfFormat(format);
  rowLen_ = static_cast<int32_t>(rl);
  if (format == pxPal8) {
    palette_ = std::make_unique<TBGR[]>(256);
    GrayRamp(palette_.get());
    paletteCount_ = 256;
  }
}

// --------------------------------------------------------------------- rows

uint8_t* TPXBitmap::Row(int32_t r) {
  if (r < 0 || r >= height_) return nullptr;
  switch (location_) {
    case pxInMemory: return memory_ ? memory_ + static_cast<int64_t>(rowLen_) * (height_ - r - 1) : nullptr;
    case pxTBitmap: {
      if (!tbitmap_) return nullptr;
      const QImage& img = std::as_const(*tbitmap_).Image();
      if (img.constBits() != rowTableBase_ || img.height() != height_ || img.width() != width_) {
        ResyncFromTBitmap();  // resized or moved from outside
        if (r >= height_) return nullptr;
      }
      return static_cast<size_t>(r) < rowTable_.size() ? rowTable_[static_cast<size_t>(r)] : nullptr;
    }
    case pxTempFile: {
      if (!fileBuffer_->IsOpen()) return nullptr;
      if (mappedRow_) {
        uint8_t* p = mappedRow_;
        mappedRow_ = nullptr;
        fileBuffer_->UnmapBlock(p);
      }
      mappedRow_ = fileBuffer_->MapBlock(AccessMode, rowLen_, r, static_cast<int64_t>(r) * rowLen_);
      return mappedRow_;
    }
  }
  return nullptr;
}

uint8_t* TPXBitmap::Scanline(int32_t row) { return Row(row); }

uint8_t* TPXBitmap::MapRowExtra(int32_t row) {
  if (location_ != pxTempFile) return Row(row);
  if (row < 0 || row >= height_ || !fileBuffer_->IsOpen()) return nullptr;
  uint8_t* p = fileBuffer_->MapBlock(AccessMode, rowLen_, row, static_cast<int64_t>(row) * rowLen_);
  if (p) extraRows_.push_back(p);
  return p;
}

void TPXBitmap::UnmapRowExtra(int index) {
  if (location_ != pxTempFile || index < 0 || static_cast<size_t>(index) >= extraRows_.size()) return;
  uint8_t* p = extraRows_[static_cast<size_t>(index)];
  extraRows_.erase(extraRows_.begin() + index);
  fileBuffer_->UnmapBlock(p);
}

void TPXBitmap::UnmapAllRows() {
  // Everything is unmapped even when a write-back fails; the failure is
  // reported afterwards.
  bool failed = false;
  auto unmap = [&](uint8_t* p) {
    try {
      fileBuffer_->UnmapBlock(p);
    } catch (const EPXStorageError&) {
      failed = true;
    }
  };
  if (mappedRow_) {
    uint8_t* p = mappedRow_;
    mappedRow_ = nullptr;
    unmap(p);
  }
  while (!extraRows_.empty()) {
    uint8_t* p = extraRows_.back();
    extraRows_.pop_back();
    unmap(p);
  }
  if (failed) throw EPXStorageError("Cannot write the temporary file of a bitmap");
}

void TPXBitmap::FlushRows() {
  UnmapAllRows();
  if (alpha_) alpha_->UnmapAllRows();
}

// --------------------------------------------------------- base operations

int32_t TPXBitmap::BitCount() {
  ResyncFromTBitmap();
  return bitCount_;
}
int32_t TPXBitmap::Height() {
  ResyncFromTBitmap();
  return height_;
}
int32_t TPXBitmap::Width() {
  ResyncFromTBitmap();
  return width_;
}
TPXPixelFormat TPXBitmap::PixelFormat() {
  ResyncFromTBitmap();
  return format_;
}
int32_t TPXBitmap::RowLen() {
  ResyncFromTBitmap();
  return rowLen_;
}

// -------------------------------------------------------------------- alpha

TPXBitmap* TPXBitmap::GetAlphaChannel() {
  if (isAlpha_) return nullptr;
  if (!alpha_) {
    ResyncFromTBitmap();
    auto a = NewWorkBitmap();
    a->InitAsAlpha(width_, height_, location_);
    // A channel without rows would read as nullptr rows in every caller.
    if (width_ > 0 && height_ > 0 && a->Width() != width_) throw EPXBitmapError(kNoStorage);
    alpha_ = std::move(a);
  }
  return alpha_.get();
}

void TPXBitmap::RemoveAlphaChannel() {
  if (!isAlpha_) alpha_.reset();
}

uint8_t TPXBitmap::GetAlpha(int32_t x, int32_t y) {
  TPXBitmap* a = isAlpha_ ? this : GetAlphaChannel();
  if (!a || x < 0 || x >= a->rowLen_) return 0;
  const uint8_t* row = a->Row(y);
  return row ? row[x] : 0;
}

void TPXBitmap::SetAlpha(int32_t x, int32_t y, uint8_t value) {
  TPXBitmap* a = isAlpha_ ? this : GetAlphaChannel();
  if (!a || x < 0 || x >= a->rowLen_) return;
  uint8_t* row = a->Row(y);
  if (!row) return;
  row[x] = value;
  if (value != 255) {
    Full = false;
    a->Full = false;
  }
}

uint8_t TPXBitmap::GetByte(int32_t x, int32_t y) {
  if (x < 0 || x >= rowLen_) return 0;
  const uint8_t* row = Row(y);
  return row ? row[x] : 0;
}

void TPXBitmap::SetByte(int32_t x, int32_t y, uint8_t value) {
  if (x < 0 || x >= rowLen_) return;
  uint8_t* row = Row(y);
  if (!row) return;
  row[x] = value;
  if (value != 255) Full = false;
}

void TPXBitmap::SyncFull() {
  ResyncFromTBitmap();
  if (format_ == pxNone || width_ <= 0 || height_ <= 0) {
    Full = false;
    return;
  }
  // Only the pixels count; the padding at the end of a row is not looked at.
  TPXAccessScope guard(*this, pxaRead);
  const int64_t bits = static_cast<int64_t>(width_) * bitCount_;
  for (int32_t y = 0; y < height_; ++y) {
    const uint8_t* row = Row(y);
    if (!row) {
      Full = false;
      return;
    }
    bool ok;
    if (format_ == px32f) {
      ok = true;
      for (int32_t x = 0; x < width_ && ok; ++x) {
        float f;
        std::memcpy(&f, row + 4 * static_cast<int64_t>(x), 4);
        ok = f == 1.0f;
      }
    } else {
      ok = AllMax(row, bits >> 3);
      if (ok && (bits & 7)) {
        const uint8_t mask = static_cast<uint8_t>(0xFF << (8 - (bits & 7)));
        ok = (row[bits >> 3] & mask) == mask;
      }
    }
    if (!ok) {
      Full = false;
      return;
    }
  }
  Full = true;
}

}  // namespace pixoran
