#include "io/pxmetadata.h"


#include "core/kopxutils_bitmap.h"

namespace pixoran {

namespace {

// Bytes [data, data + length) as a vector; data may be null only when length is 0.
std::vector<uint8_t> CopyBytes(const void* data, int64_t length) {
  if (length <= 0) return {};
  const auto* p = static_cast<const uint8_t*>(data);
  return std::vector<uint8_t>(p, p + length);
}

template <typename Vec>
bool InRange(const Vec& v, int32_t index) {
  return index >= 0 && static_cast<size_t>(index) < v.size();
}

}  // namespace

// ---------------------------------------------------------------- markers

uint8_t TPXMarkerList::MarkerType(int32_t index) const { return InRange(markers_, index) ? markers_[index].Type : 0; }

const uint8_t* TPXMarkerList::MarkerData(int32_t index) const {
  if (!InRange(markers_, index) || markers_[index].Data.empty()) return nullptr;
  return markers_[index].Data.data();
}

uint8_t* TPXMarkerList::MarkerData(int32_t index) {
  if (!InRange(markers_, index) || markers_[index].Data.empty()) return nullptr;
  return markers_[index].Data.data();
}

int32_t TPXMarkerList::MarkerLength(int32_t index) const {
  return InRange(markers_, index) ? static_cast<int32_t>(markers_[index].Data.size()) : 0;
}

int32_t TPXMarkerList::IndexOf(uint8_t type) const {
  for (size_t i = 0; i < markers_.size(); ++i)
    if (markers_[i].Type == type) return static_cast<int32_t>(i);
  return -1;
}

int32_t TPXMarkerList::AddMarker(uint8_t type, const void* data, int32_t length) {
  if (length < 0 || length > kMaxMarkerLength || (length > 0 && data == nullptr)) return -1;
  markers_.push_back(TMarker{type, CopyBytes(data, length)});
  return Count() - 1;
}

bool TPXMarkerList::SetMarker(int32_t index, uint8_t type, int32_t length, const void* data) {
  if (!InRange(markers_, index)) return false;
  if (length < 0 || length > kMaxMarkerLength || (length > 0 && data == nullptr)) return false;
  // Copy first: data may point into the marker being replaced.
  std::vector<uint8_t> bytes = CopyBytes(data, length);
  markers_[index].Type = type;
  markers_[index].Data = std::move(bytes);
  return true;
}

void TPXMarkerList::DeleteMarker(int32_t index) {
  if (InRange(markers_, index)) markers_.erase(markers_.begin() + index);
}

void TPXMarkerList::Assign(const TPXMarkerList* other) {
  if (other == nullptr || other == this) return;
  markers_ = other->markers_;
}

// ---------------------------------------------------------------- IPTC

int32_t TPXIPTCInfoList::RecordNumber(int32_t index) const { return InRange(items_, index) ? items_[index].Record : 0; }

int32_t TPXIPTCInfoList::DataSet(int32_t index) const { return InRange(items_, index) ? items_[index].DataSet : 0; }

int32_t TPXIPTCInfoList::DataLength(int32_t index) const {
  return InRange(items_, index) ? static_cast<int32_t>(items_[index].Data.size()) : 0;
}

const uint8_t* TPXIPTCInfoList::Data(int32_t index) const {
  if (!InRange(items_, index) || items_[index].Data.empty()) return nullptr;
  return items_[index].Data.data();
}

std::string TPXIPTCInfoList::DataAsString(int32_t index) const {
  if (!InRange(items_, index)) return {};
  const auto& d = items_[index].Data;
  return std::string(d.begin(), d.end());
}

int32_t TPXIPTCInfoList::IndexOf(int32_t record, int32_t dataset) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (items_[i].Record == record && items_[i].DataSet == dataset) return static_cast<int32_t>(i);
  return -1;
}

int32_t TPXIPTCInfoList::AddData(int32_t record, int32_t dataset, int32_t length, const void* data) {
  if (length < 0 || (length > 0 && data == nullptr)) return -1;
  items_.push_back(TDataSet{record, dataset, CopyBytes(data, length)});
  UserChanged = true;
  return Count() - 1;
}

void TPXIPTCInfoList::DeleteData(int32_t index) {
  if (!InRange(items_, index)) return;
  items_.erase(items_.begin() + index);
  UserChanged = true;
}

void TPXIPTCInfoList::Clear() {
  items_.clear();
  UserChanged = true;
}

void TPXIPTCInfoList::Assign(const TPXIPTCInfoList* other) {
  if (other == nullptr) return;
  if (other != this) items_ = other->items_;
  UserChanged = true;
}

// ---------------------------------------------------------------- annotations

TPXImagingObject::TPXImagingObject() = default;
TPXImagingObject::~TPXImagingObject() = default;

int32_t TPXImagingObject::AttrInt(int32_t offset) const {
  if (offset < 0 || offset > kAttributesSize - 4) return 0;
  const uint8_t* p = Attributes.data() + offset;
  return static_cast<int32_t>(static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
                              (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24));
}

void TPXImagingObject::SetAttrInt(int32_t offset, int32_t value) {
  if (offset < 0 || offset > kAttributesSize - 4) return;
  const auto v = static_cast<uint32_t>(value);
  uint8_t* p = Attributes.data() + offset;
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

void TPXImagingObject::Assign(const TPXImagingObject& source) {
  if (&source == this) return;
  // Build the image copy before touching this object, so a failed copy leaves it as it was.
  std::unique_ptr<TPXBitmap> image;
  if (source.Image) {
    image = std::make_unique<TPXBitmap>();
    image->Assign(source.Image.get());
  }
  Attributes = source.Attributes;
  Points = source.Points;
  Text = source.Text;
  Image = std::move(image);
}

TPXImagingAnnot::TPXImagingAnnot() = default;
TPXImagingAnnot::~TPXImagingAnnot() = default;

TPXImagingObject* TPXImagingAnnot::Object(int32_t index) {
  return InRange(objects_, index) ? objects_[index].get() : nullptr;
}

const TPXImagingObject* TPXImagingAnnot::Object(int32_t index) const {
  return InRange(objects_, index) ? objects_[index].get() : nullptr;
}

TPXImagingObject* TPXImagingAnnot::AddObject() {
  objects_.push_back(std::make_unique<TPXImagingObject>());
  return objects_.back().get();
}

int32_t TPXImagingAnnot::AddObject(std::unique_ptr<TPXImagingObject> object) {
  if (!object) return -1;
  objects_.push_back(std::move(object));
  return Count() - 1;
}

void TPXImagingAnnot::DeleteObject(int32_t index) {
  if (InRange(objects_, index)) objects_.erase(objects_.begin() + index);
}

void TPXImagingAnnot::Clear() { objects_.clear(); }

void TPXImagingAnnot::Assign(const TPXImagingAnnot* other) {
  if (other == nullptr || other == this) return;
  std::vector<std::unique_ptr<TPXImagingObject>> copies;
  copies.reserve(other->objects_.size());
  for (const auto& obj : other->objects_) {
    auto copy = std::make_unique<TPXImagingObject>();
    copy->Assign(*obj);
    copies.push_back(std::move(copy));
  }
  objects_ = std::move(copies);
}

// ---------------------------------------------------------------- ICC

bool TPXICC::LoadFromBuffer(const void* data, int64_t size) {
  if (size < 0 || (size > 0 && data == nullptr)) {
    Clear();
    return false;
  }
  // Copy before clearing: data may be this profile's own bytes.
  std::vector<uint8_t> bytes = CopyBytes(data, size);
  Clear();
  profile_ = std::move(bytes);
  return true;
}

void TPXICC::Clear() {
  profile_.clear();
  profile_.shrink_to_fit();
  FreeTransforms();
}

void TPXICC::Assign(const TPXICC* other) {
  if (other == nullptr || other == this) return;
  profile_ = other->profile_;
  FreeTransforms();
}

void TPXICC::FreeTransforms() {
  inputTransform_ = nullptr;
  outputTransform_ = nullptr;
  transformReady_ = false;
}

}  // namespace pixoran
