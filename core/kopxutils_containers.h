#pragma once
// Small containers of the core: a hash set of 32-bit keys, a growable byte
// buffer, a stream that stores nothing, lists of fixed-size items, and the
// parameter records of the viewers' scroll bars and mouse wheel.
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/pxexport.h"
#include "platform/classes.h"
#include "platform/streams.h"

namespace pixoran {

// ------------------------------------------------------------ THash1

// A chain node of a THash1 bucket.
struct PIXORAN_CORE_EXPORT THash1Item {
  uint32_t Key = 0;
  std::unique_ptr<THash1Item> Next;
  int32_t Value = 0;  // the user's
};

// Hash set of 32-bit keys in 2^bits buckets; the bucket of a key is
// key & (2^bits - 1). A bucket is empty, holds one key directly, or holds a
// chain of nodes in insertion order.
class PIXORAN_CORE_EXPORT THash1 : public TObject {
 public:
  enum TBucketState : uint8_t { hbEmpty = 0, hbKey = 1, hbChain = 2 };

  explicit THash1(int32_t bits);  // bits is kept within 0..24
  ~THash1() override;
  THash1(const THash1&) = delete;
  THash1& operator=(const THash1&) = delete;

  // Adds the key; false when it was already present.
  bool Insert(uint32_t key);
  // As Insert, also giving the key's bucket and its new chain node (nullptr
  // when the key went directly into an empty bucket; the bucket's user value
  // is then the key's). When a single-key bucket becomes a chain, the old
  // key (with its user value) comes first and the new key after it.
  bool InsertEx(uint32_t key, int32_t& bucket, THash1Item*& node);
  bool Contains(uint32_t key) const;

  int32_t Count() const { return count_; }
  int32_t Bits() const { return bits_; }
  int32_t BucketCount() const { return static_cast<int32_t>(state_.size()); }
  int32_t BucketOf(uint32_t key) const { return static_cast<int32_t>(key & mask_); }
  TBucketState BucketState(int32_t bucket) const { return state_[bucket]; }
  // The key of a hbKey bucket.
  uint32_t BucketKey(int32_t bucket) const { return keys_[bucket]; }
  // The first node of a hbChain bucket.
  THash1Item* BucketChain(int32_t bucket) const { return chains_[bucket].get(); }
  // The user value of a hbKey bucket.
  int32_t& BucketValue(int32_t bucket) { return values_[bucket]; }

 private:
  int32_t bits_;
  uint32_t mask_;
  int32_t count_ = 0;
  std::vector<TBucketState> state_;
  std::vector<uint32_t> keys_;
  std::vector<std::unique_ptr<THash1Item>> chains_;
  std::vector<int32_t> values_;
};

// ------------------------------------------------------------ TPXByteArray

// Growable byte buffer. The capacity runs 8192 bytes ahead of the size and
// is cut back only when the size drops more than that below it.
class PIXORAN_CORE_EXPORT TPXByteArray : public TObject {
 public:
  static constexpr int32_t kGrowth = 8192;
  TPXByteArray();

  int32_t Size() const { return size_; }
  int32_t Capacity() const { return capacity_; }
  uint8_t* Data() { return data_.get(); }
  const uint8_t* Data() const { return data_.get(); }

  // False (nothing changed) for a negative size, one beyond int32 with its
  // growth room, or when memory runs out. Bytes gained read as 0.
  bool SetSize(int32_t n);
  bool AddByte(uint8_t b);
  // Extends by n, reads into the new room, then shrinks back to what was
  // actually read; returns the count read.
  int32_t AppendFromStream(TStream& stream, int32_t n);

 private:
  bool Reallocate(int64_t capacity, int32_t keep);
  int32_t size_ = 0;
  int32_t capacity_ = 0;
  std::unique_ptr<uint8_t[]> data_;
};

// ------------------------------------------------------------ TNulStream

// Stores nothing: measures what is written. Size is the largest position
// reached by reading, writing or seeking from the beginning or the current
// position; seeking from the end gives size + offset and leaves the size.
class PIXORAN_CORE_EXPORT TNulStream : public TStream {
 public:
  int64_t Read(void* buffer, int64_t count) override;
  int64_t Write(const void* buffer, int64_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;
  int64_t Size() override { return size_; }
  bool SetSize(int64_t newSize) override;

 private:
  void Advance(int64_t count);
  int64_t position_ = 0;
  int64_t size_ = 0;
};

// ------------------------------------------------------------ TPXList family

// Items of one fixed size in one block.
class PIXORAN_CORE_EXPORT TPXList : public TObject {
 public:
  explicit TPXList(int32_t itemSize = 0) : itemSize_(itemSize < 0 ? 0 : itemSize) {}
  TPXList(const TPXList&) = delete;
  TPXList& operator=(const TPXList&) = delete;

  // Keeps the first min(count, n) items; new items are zero. Sets Changed.
  virtual void SetCount(int32_t n);
  // Removes item i (an index outside 0..count - 1 is ignored). Sets Changed.
  virtual void Delete(int32_t i);
  // No items, Changed false.
  virtual void Clear();
  // Takes count, item size, Changed and a copy of the data; nullptr is ignored.
  virtual void Assign(const TPXList* source);

  // Appends a copy of itemSize bytes and returns its index.
  int32_t Add(const void* item);
  // The item's address, without a bounds check.
  uint8_t* GetItem(int32_t i) { return data_.data() + static_cast<size_t>(i) * static_cast<size_t>(itemSize_); }
  const uint8_t* GetItem(int32_t i) const {
    return data_.data() + static_cast<size_t>(i) * static_cast<size_t>(itemSize_);
  }

  int32_t Count() const { return count_; }
  int32_t ItemSize() const { return itemSize_; }
  bool Changed = false;

 protected:
  int32_t itemSize_;

 private:
  int32_t count_ = 0;
  std::vector<uint8_t> data_;
};

// Numbers of type T, with a range and a current value.
template <typename T>
class TPXNumberList : public TPXList {
 public:
  TPXNumberList() : TPXList(static_cast<int32_t>(sizeof(T))) {}
  void Clear() override {
    TPXList::Clear();
    itemSize_ = static_cast<int32_t>(sizeof(T));
    RangeMin = RangeMax = RangeStep = 0;
    Current = 0;
  }
  // Also the range and current value of a list of the same type.
  void Assign(const TPXList* source) override {
    TPXList::Assign(source);
    if (const auto* d = dynamic_cast<const TPXNumberList*>(source)) {
      RangeMin = d->RangeMin;
      RangeMax = d->RangeMax;
      RangeStep = d->RangeStep;
      Current = d->Current;
    }
  }

  int32_t Add(T v) { return TPXList::Add(&v); }
  T Get(int32_t i) const {
    T v;
    std::memcpy(&v, GetItem(i), sizeof v);
    return v;
  }
  void Set(int32_t i, T v) {
    std::memcpy(GetItem(i), &v, sizeof v);
    Changed = true;
  }

  T RangeMin = 0, RangeMax = 0, RangeStep = 0;
  T Current = 0;
};

class TPXDoubleList : public TPXNumberList<double> {};

class TPXIntegerList : public TPXNumberList<int32_t> {};

// Items of a size given at creation.
class PIXORAN_CORE_EXPORT TPXRecordList : public TPXList {
 public:
  explicit TPXRecordList(int32_t itemSize) : TPXList(itemSize) {}
};

// ------------------------------------------------------------ viewer parameters

struct PIXORAN_CORE_EXPORT TPXScrollBarParams {
  int32_t LineStep = -1;  // -1: automatic
  int32_t PageStep = -1;  // -1: automatic
  bool Tracking = true;   // scroll while the thumb is dragged
};

enum TPXMouseWheelAction : uint8_t { mwaNone = 0, mwaScroll = 1, mwaZoom = 2 };
enum TPXMouseWheelAmountKind : uint8_t { mwkAbsolute = 0, mwkPercent = 1 };

struct PIXORAN_CORE_EXPORT TPXMouseWheelParams {
  bool InvertDirection = false;
  TPXMouseWheelAction Action = mwaZoom;
  TPXMouseWheelAmountKind AmountKind = mwkPercent;
  int32_t Amount = 8;
  bool ZoomAtMousePosition = false;
};

}  // namespace pixoran
