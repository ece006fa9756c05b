#include "core/kopxutils_containers.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <new>

namespace pixoran {

// ------------------------------------------------------------ THash1

THash1::THash1(int32_t bits) : bits_(std::clamp(bits, 0, 24)), mask_((1u << bits_) - 1) {
  const size_t n = size_t{1} << bits_;
  state_.assign(n, hbEmpty);
  keys_.assign(n, 0);
  chains_.resize(n);
  values_.assign(n, 0);
}

THash1::~THash1() {
  // Unlink node by node: a long chain freed recursively could exhaust the stack.
  for (auto& head : chains_)
    while (head) head = std::move(head->Next);
}

bool THash1::Contains(uint32_t key) const {
  const int32_t b = BucketOf(key);
  switch (state_[b]) {
    case hbKey: return keys_[b] == key;
    case hbChain:
      for (const THash1Item* n = chains_[b].get(); n; n = n->Next.get())
        if (n->Key == key) return true;
      return false;
    default: return false;
  }
}

bool THash1::Insert(uint32_t key) {
  int32_t bucket;
  THash1Item* node;
  return InsertEx(key, bucket, node);
}

bool THash1::InsertEx(uint32_t key, int32_t& bucket, THash1Item*& node) {
  bucket = BucketOf(key);
  node = nullptr;
  switch (state_[bucket]) {
    case hbEmpty:
      state_[bucket] = hbKey;
      keys_[bucket] = key;
      values_[bucket] = 0;
      break;
    case hbKey: {
      if (keys_[bucket] == key) return false;
      auto first = std::make_unique<THash1Item>();
      first->Key = keys_[bucket];
      first->Value = values_[bucket];
      first->Next = std::make_unique<THash1Item>();
      first->Next->Key = key;
      node = first->Next.get();
      chains_[bucket] = std::move(first);
      state_[bucket] = hbChain;
      break;
    }
    case hbChain: {
      THash1Item* last = chains_[bucket].get();
      for (;;) {
        if (last->Key == key) return false;
        if (!last->Next) break;
        last = last->Next.get();
      }
      last->Next = std::make_unique<THash1Item>();
      last->Next->Key = key;
      node = last->Next.get();
      break;
    }
  }
  ++count_;
  return true;
}

// ------------------------------------------------------------ TPXByteArray

TPXByteArray::TPXByteArray() { Reallocate(kGrowth, 0); }

bool TPXByteArray::Reallocate(int64_t capacity, int32_t keep) {
  if (capacity > std::numeric_limits<int32_t>::max()) return false;
  std::unique_ptr<uint8_t[]> block(new (std::nothrow) uint8_t[static_cast<size_t>(capacity)]());
  if (!block) return false;
  if (keep > 0) std::memcpy(block.get(), data_.get(), static_cast<size_t>(keep));
  data_ = std::move(block);
  capacity_ = static_cast<int32_t>(capacity);
  return true;
}

bool TPXByteArray::SetSize(int32_t n) {
  if (n < 0) return false;
  if (n > size_) {
    if (n > capacity_) {
      if (!Reallocate(static_cast<int64_t>(n) + kGrowth, size_)) return false;
    } else {
      std::memset(data_.get() + size_, 0, static_cast<size_t>(n - size_));
    }
  } else if (static_cast<int64_t>(n) < static_cast<int64_t>(capacity_) - kGrowth) {
    // Much smaller than the block: hand the surplus back.
    if (!Reallocate(static_cast<int64_t>(n) + kGrowth, n)) return false;
  }
  size_ = n;
  return true;
}

bool TPXByteArray::AddByte(uint8_t b) {
  if (size_ == std::numeric_limits<int32_t>::max() || !SetSize(size_ + 1)) return false;
  data_[size_ - 1] = b;
  return true;
}

int32_t TPXByteArray::AppendFromStream(TStream& stream, int32_t n) {
  if (n <= 0) return 0;
  const int32_t old = size_;
  if (static_cast<int64_t>(old) + n > std::numeric_limits<int32_t>::max() || !SetSize(old + n)) return 0;
  int64_t got = 0;
  try {
    got = stream.Read(data_.get() + old, n);
  } catch (...) {
    got = 0;
  }
  got = std::clamp<int64_t>(got, 0, n);
  SetSize(old + static_cast<int32_t>(got));
  return static_cast<int32_t>(got);
}

// ------------------------------------------------------------ TNulStream

void TNulStream::Advance(int64_t count) {
  if (count > 0) position_ += count;
  size_ = std::max(size_, position_);
}

int64_t TNulStream::Read(void*, int64_t count) {
  Advance(count);
  return count > 0 ? count : 0;
}

int64_t TNulStream::Write(const void*, int64_t count) {
  Advance(count);
  return count > 0 ? count : 0;
}

int64_t TNulStream::Seek(int64_t offset, TSeekOrigin origin) {
  switch (origin) {
    case TSeekOrigin::soBeginning:
      position_ = offset;
      size_ = std::max(size_, position_);
      break;
    case TSeekOrigin::soCurrent:
      position_ += offset;
      size_ = std::max(size_, position_);
      break;
    case TSeekOrigin::soEnd: position_ = size_ + offset; break;
  }
  return position_;
}

bool TNulStream::SetSize(int64_t newSize) {
  if (newSize < 0) return false;
  size_ = newSize;
  return true;
}

// ------------------------------------------------------------ TPXList

void TPXList::SetCount(int32_t n) {
  if (n < 0) n = 0;
  data_.resize(static_cast<size_t>(n) * static_cast<size_t>(itemSize_), 0);
  count_ = n;
  Changed = true;
}

void TPXList::Delete(int32_t i) {
  if (i < 0 || i >= count_) return;
  const auto first = data_.begin() + static_cast<std::ptrdiff_t>(i) * itemSize_;
  data_.erase(first, first + itemSize_);
  --count_;
  Changed = true;
}

void TPXList::Clear() {
  data_.clear();
  data_.shrink_to_fit();
  count_ = 0;
  Changed = false;
}

void TPXList::Assign(const TPXList* source) {
  if (!source || source == this) return;
  count_ = source->count_;
  itemSize_ = source->itemSize_;
  Changed = source->Changed;
  data_ = source->data_;
}

int32_t TPXList::Add(const void* item) {
  SetCount(count_ + 1);
  if (itemSize_ > 0) std::memcpy(GetItem(count_ - 1), item, static_cast<size_t>(itemSize_));
  Changed = true;
  return count_ - 1;
}

}  // namespace pixoran
