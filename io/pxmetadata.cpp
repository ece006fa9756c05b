#include "io/pxmetadata.h"
#include "io/pxfiltutil.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>
#include <string>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "core/pxdib.h"

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

namespace {

// Photoshop's image-resource header in front of the IPTC resource of an APP13 segment.
constexpr char kPhotoshopSignature[] = "Photoshop 3.0";                 // followed by a zero byte
constexpr size_t kPhotoshopSignatureSize = sizeof kPhotoshopSignature;  // with the zero
constexpr uint16_t kIPTCResourceId = 0x0404;
// Dataset lengths from here on take the extended form.
constexpr int64_t kExtendedLengthFrom = 32768;

uint32_t BE32(const uint8_t* p) {
  return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
         (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void PutBE32(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 24));
  out.push_back(static_cast<uint8_t>(v >> 16));
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

bool Writable(int32_t record, int32_t dataset, size_t length) {
  if (record < 0 || record > 255 || dataset < 0 || dataset > 255) return false;
  return length > 0 && !(record == 2 && dataset == 0);  // 2:00 is written by the encoder itself, or not at all
}

// Walks the resources of a Photoshop resource block that starts with its
// signature, calling visit(id, head, dataAt, size) for each (head: where the
// resource starts); visit returns false to stop there. Done: read to the end,
// where only pad bytes may follow the last resource, which may itself lack
// its pad byte; Fault: a resource or the tail does not parse.
enum class TResourceWalk { Done, Stopped, Fault };
template <typename F>
TResourceWalk WalkPhotoshopResources(const uint8_t* p, size_t n, F&& visit) {
  size_t pos = kPhotoshopSignatureSize;
  while (pos < n) {
    // Signature, id, name length: the smallest resource head is 12 bytes.
    if (n - pos < 12 || std::memcmp(p + pos, "8BIM", 4) != 0)
      return n - pos < 4 && std::all_of(p + pos, p + n, [](uint8_t b) { return b == 0; }) ? TResourceWalk::Done
                                                                                          : TResourceWalk::Fault;
    const uint16_t id = static_cast<uint16_t>((p[pos + 4] << 8) | p[pos + 5]);
    // Pascal name: length byte and text, padded to an even size.
    size_t nameField = 1 + static_cast<size_t>(p[pos + 6]);
    nameField += nameField & 1;
    const size_t sizeAt = pos + 6 + nameField;
    if (sizeAt > n || n - sizeAt < 4) return TResourceWalk::Fault;
    const size_t size = BE32(p + sizeAt);
    const size_t dataAt = sizeAt + 4;
    if (size > n - dataAt) return TResourceWalk::Fault;
    if (!visit(id, pos, dataAt, size)) return TResourceWalk::Stopped;
    pos = std::min(n, dataAt + size + (size & 1));
  }
  return TResourceWalk::Done;
}

// The data of the IPTC resource of a Photoshop resource block, found by
// walking the resources rather than by the first 0x1C byte, which may lie
// inside another resource (a thumbnail, say). walked: the block was read to
// its end or to the IPTC resource without fault.
bool FindIPTCResource(const uint8_t* p, size_t n, size_t& begin, size_t& end, bool& walked) {
  walked = false;
  if (n < kPhotoshopSignatureSize || std::memcmp(p, kPhotoshopSignature, kPhotoshopSignatureSize) != 0) return false;
  bool found = false;
  const TResourceWalk walk = WalkPhotoshopResources(p, n, [&](uint16_t id, size_t, size_t dataAt, size_t size) {
    if (id != kIPTCResourceId) return true;
    begin = dataAt;
    end = dataAt + size;
    found = true;
    return false;
  });
  walked = walk != TResourceWalk::Fault;
  return found;
}

}  // namespace

void TPXIPTCInfoList::SaveToBuffer(std::vector<uint8_t>& buffer, bool withAPP13Header) const {
  buffer.clear();
  if (items_.empty()) return;
  uint64_t datasetBytes = 0;
  for (const auto& d : items_)
    if (Writable(d.Record, d.DataSet, d.Data.size()))
      datasetBytes += (d.Data.size() < kExtendedLengthFrom ? 5 : 9) + static_cast<uint64_t>(d.Data.size());
  // The resource length field is 32-bit.
  if (datasetBytes > 0xFFFFFFFFu) return;

  std::vector<uint8_t> out;
  out.reserve(static_cast<size_t>(datasetBytes) + 27);
  if (withAPP13Header) {
    out.insert(out.end(), kPhotoshopSignature, kPhotoshopSignature + kPhotoshopSignatureSize);
    out.insert(out.end(), {'8', 'B', 'I', 'M', 0x04, 0x04, 0x00, 0x00});
    PutBE32(out, static_cast<uint32_t>(datasetBytes));
  } else {
    out.insert(out.end(), {0x1C, 0x02, 0x00, 0x00, 0x02, 0x00, 0x02});
  }
  for (const auto& d : items_) {
    if (!Writable(d.Record, d.DataSet, d.Data.size())) continue;
    const size_t len = d.Data.size();
    out.push_back(0x1C);
    out.push_back(static_cast<uint8_t>(d.Record));
    out.push_back(static_cast<uint8_t>(d.DataSet));
    if (len < kExtendedLengthFrom) {
      out.push_back(static_cast<uint8_t>(len >> 8));
      out.push_back(static_cast<uint8_t>(len));
    } else {
      out.push_back(0x80);
      out.push_back(0x04);
      PutBE32(out, static_cast<uint32_t>(len));
    }
    out.insert(out.end(), d.Data.begin(), d.Data.end());
  }
  if (out.size() & 1) out.push_back(0);
  buffer = std::move(out);
}

void TPXIPTCInfoList::LoadFromBuffer(const void* data, int64_t length) {
  items_.clear();
  UserChanged = false;
  if (data == nullptr || length <= 0) return;
  const auto* p = static_cast<const uint8_t*>(data);
  const auto n = static_cast<size_t>(length);

  size_t pos = 0, end = n;
  size_t resBegin = 0, resEnd = 0;
  bool walked = false;
  if (FindIPTCResource(p, n, resBegin, resEnd, walked)) {
    pos = resBegin;
    end = resEnd;
  } else if (walked) {
    return;  // a sound resource block without IPTC
  }
  // Any header before the first dataset is skipped.
  while (pos < end && p[pos] != 0x1C) ++pos;
  while (pos < end && p[pos] == 0x1C) {
    if (end - pos < 5) break;
    const uint8_t record = p[pos + 1];
    const uint8_t dataset = p[pos + 2];
    size_t header = 5;
    uint64_t len = (static_cast<uint32_t>(p[pos + 3]) << 8) | p[pos + 4];
    if (p[pos + 3] & 0x80) {
      header = 9;
      if (end - pos < header) break;
      len = BE32(p + pos + 5);
    }
    if (len > end - pos - header || len > static_cast<uint64_t>(INT32_MAX)) break;
    items_.push_back(TDataSet{record, dataset, CopyBytes(p + pos + header, static_cast<int64_t>(len))});
    pos += header + static_cast<size_t>(len);
  }
}

bool ReplaceIPTCResource(const uint8_t* p, size_t n, const std::vector<uint8_t>& iptcBlock, std::vector<uint8_t>& out) {
  constexpr uint16_t kDigestResourceId = 0x0425;
  out.clear();
  if (p == nullptr || n < kPhotoshopSignatureSize || std::memcmp(p, kPhotoshopSignature, kPhotoshopSignatureSize) != 0)
    return false;
  if (!iptcBlock.empty() && (iptcBlock.size() < kPhotoshopSignatureSize ||
                             std::memcmp(iptcBlock.data(), kPhotoshopSignature, kPhotoshopSignatureSize) != 0))
    return false;
  std::vector<uint8_t> result(p, p + kPhotoshopSignatureSize);
  bool placed = false;
  auto putIPTC = [&] {
    if (!placed) result.insert(result.end(), iptcBlock.begin() + kPhotoshopSignatureSize, iptcBlock.end());
    placed = true;
  };
  if (iptcBlock.empty()) placed = true;
  const TResourceWalk walk = WalkPhotoshopResources(p, n, [&](uint16_t id, size_t head, size_t dataAt, size_t size) {
    if (id == kIPTCResourceId) {
      putIPTC();
    } else if (id != kDigestResourceId) {
      result.insert(result.end(), p + head, p + dataAt + size);
      if (size & 1) result.push_back(0);
    }
    return true;
  });
  if (walk == TResourceWalk::Fault) return false;
  putIPTC();
  out = std::move(result);
  return true;
}

// ---------------------------------------------------------------- annotations

TPXImagingObject::TPXImagingObject() = default;
TPXImagingObject::~TPXImagingObject() = default;

int32_t TPXImagingObject::AttrInt(int32_t offset) const {
  if (offset < 0 || offset > kAttributesSize - 4) return 0;
  return static_cast<int32_t>(GetLE32(Attributes.data() + offset));
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
  OtherBlocks = source.OtherBlocks;
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

namespace {

// Mark types and the named blocks the object stands for.
constexpr int32_t kMarkImage = 1;
constexpr int32_t kAnnotAttrRecord = 5;
constexpr int32_t kAnnotDefaultBlock = 2;
constexpr int32_t kAnnotMarkBlock = 6;
constexpr int32_t kFontHeightOffset = 48;
constexpr size_t kRotationSize = 56;
constexpr size_t kAnTextHeader = 16;
// Font heights are kept against this creation scale.
constexpr double kPointScale = 72000.0;

bool IsLine(int32_t type) { return type == 3 || type == 4; }
bool IsText(int32_t type) { return type >= 7 && type <= 10; }

void PutLE32(std::vector<uint8_t>& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

using TBlockSet = std::vector<TPXAnnotNamedBlock>;

// A later block of a name replaces the earlier one, where it stood.
void PutBlock(TBlockSet& set, std::string name, const uint8_t* data, size_t n) {
  for (auto& b : set)
    if (b.Name == name) {
      b.Data.assign(data, data + n);
      return;
    }
  set.push_back(TPXAnnotNamedBlock{std::move(name), std::vector<uint8_t>(data, data + n)});
}

const TPXAnnotNamedBlock* FindBlock(const TBlockSet& mark, const TBlockSet& defaults, const char* name) {
  for (const auto& b : mark)
    if (b.Name == name) return &b;
  for (const auto& b : defaults)
    if (b.Name == name) return &b;
  return nullptr;
}

// Whether the object of a mark type rebuilds the named block when written.
bool RebuiltBlock(int32_t type, const std::string& name) {
  if (name == "OiGroup" || name == "OiIndex") return true;
  if (name == "OiAnoDat") return type == kMarkImage || IsLine(type);
  if (name == "OiDIB") return type == kMarkImage;
  if (name == "OiAnText") return IsText(type);
  return false;
}

// The object a mark's attributes and named blocks stand for; nullptr for
// a mark without a type.
std::unique_ptr<TPXImagingObject> MakeObject(const uint8_t* attributes, const TBlockSet& mark,
                                             const TBlockSet& defaults) {
  auto obj = std::make_unique<TPXImagingObject>();
  std::memcpy(obj->Attributes.data(), attributes, TPXImagingObject::kAttributesSize);
  const int32_t type = obj->MarkType();
  if (type < 1) return nullptr;
  if (type == kMarkImage) {
    if (const auto* dib = FindBlock(mark, defaults, "OiDIB")) {
      // The DIB is read only when its header, palette and rows lie in the block.
      auto image = std::make_unique<TPXBitmap>();
      if (!dib->Data.empty() && DIBToBitmap(dib->Data.data(), static_cast<int64_t>(dib->Data.size()), *image) != 0)
        obj->Image = std::move(image);
    }
  } else if (IsLine(type)) {
    const auto* dat = FindBlock(mark, defaults, "OiAnoDat");
    if (dat && dat->Data.size() >= 8) {
      const size_t fit = (dat->Data.size() - 8) / 8;
      const size_t count = std::min<size_t>(GetLE32(dat->Data.data() + 4), fit);
      obj->Points.resize(count);
      for (size_t i = 0; i < count; ++i) {
        const uint8_t* p = dat->Data.data() + 8 + i * 8;
        obj->Points[i] = TPXAnnotPoint{static_cast<int32_t>(GetLE32(p)), static_cast<int32_t>(GetLE32(p + 4))};
      }
    }
  } else if (IsText(type)) {
    const auto* txt = FindBlock(mark, defaults, "OiAnText");
    if (txt && txt->Data.size() >= kAnTextHeader) {
      const uint8_t* d = txt->Data.data();
      const auto scale = static_cast<int32_t>(GetLE32(d + 4));
      const size_t length = std::min<size_t>(GetLE32(d + 12), txt->Data.size() - kAnTextHeader);
      const auto* text = reinterpret_cast<const char*>(d + kAnTextHeader);
      obj->Text.assign(text, strnlen(text, length));
      // The file's height is in the creation scale's units; a scale of 0
      // says nothing, and the height stays as it is.
      if (scale != 0) {
        const double dpi = ScreenLogicalDpiY();
        obj->SetAttrInt(kFontHeightOffset, RoundToInt32(kPointScale / scale / dpi *
                                                        -static_cast<double>(obj->AttrInt(kFontHeightOffset))));
      }
    }
  }
  for (const auto& b : mark)
    if (!RebuiltBlock(type, b.Name)) obj->OtherBlocks.push_back(b);
  return obj;
}

void PutNamedBlock(std::vector<uint8_t>& out, int32_t type, const std::string& name, const uint8_t* data, size_t n) {
  PutLE32(out, static_cast<uint32_t>(type));
  PutLE32(out, 12);
  char field[8] = {};
  std::memcpy(field, name.data(), std::min<size_t>(name.size(), 8));
  out.insert(out.end(), field, field + 8);
  PutLE32(out, static_cast<uint32_t>(n));
  if (n > 0) out.insert(out.end(), data, data + n);
}

void PutNamedText(std::vector<uint8_t>& out, int32_t type, const std::string& name, const std::string& text) {
  PutNamedBlock(out, type, name, reinterpret_cast<const uint8_t*>(text.c_str()), text.size() + 1);
}

}  // namespace

void TPXImagingAnnot::LoadFromStandardBuffer(const void* data, int64_t size) {
  if (data == nullptr || size < 8) return;
  const auto* p = static_cast<const uint8_t*>(data);
  const auto n = static_cast<size_t>(size);
  // Integers are 32-bit either way; 16-bit blocks put 4 more bytes in
  // every named-block header.
  const size_t blockHeader = GetLE32(p + 4) != 0 ? 12 : 16;
  constexpr size_t kAttr = TPXImagingObject::kAttributesSize;
  TBlockSet defaults, mark;
  std::array<uint8_t, kAttr> attributes{};
  bool haveMark = false;
  auto finish = [&] {
    if (haveMark)
      if (auto obj = MakeObject(attributes.data(), mark, defaults)) objects_.push_back(std::move(obj));
    mark.clear();
    haveMark = false;
  };
  size_t pos = 8;
  while (n - pos >= 8) {
    const uint32_t type = GetLE32(p + pos);
    const uint32_t recordSize = GetLE32(p + pos + 4);
    pos += 8;
    if (type == kAnnotAttrRecord) {
      finish();
      if (n - pos < kAttr) break;
      std::memcpy(attributes.data(), p + pos, kAttr);
      haveMark = true;
      // A longer attribute record is skipped whole.
      pos += recordSize > kAttr && recordSize <= n - pos ? recordSize : kAttr;
    } else if (type == kAnnotDefaultBlock || type == kAnnotMarkBlock) {
      if (n - pos < blockHeader) break;
      const auto* name = reinterpret_cast<const char*>(p + pos);
      const size_t contentSize = GetLE32(p + pos + 8);
      if (contentSize > n - pos - blockHeader) break;
      PutBlock(type == kAnnotDefaultBlock ? defaults : mark, std::string(name, strnlen(name, 8)), p + pos + blockHeader,
               contentSize);
      pos += blockHeader + contentSize;
    } else {
      if (recordSize > n - pos) break;
      pos += recordSize;
    }
  }
  finish();
  Modified = false;
}

void TPXImagingAnnot::SaveToStandardBuffer(std::vector<uint8_t>& buffer) const {
  buffer.clear();
  if (objects_.empty()) return;
  const int32_t dpiX = ScreenLogicalDpiX(), dpiY = ScreenLogicalDpiY();
  constexpr int32_t kWrittenScale = 1000;
  const int32_t thirdInt = TruncToInt32(kPointScale / dpiY);
  std::vector<uint8_t> out;
  PutLE32(out, 0);
  PutLE32(out, 1);  // 32-bit integers
  PutNamedText(out, kAnnotDefaultBlock, "OiGroup", "0");
  PutNamedText(out, kAnnotDefaultBlock, "OiIndex", "1");
  for (size_t i = 0; i < objects_.size(); ++i) {
    const TPXImagingObject& obj = *objects_[i];
    const int32_t type = obj.MarkType();
    PutLE32(out, kAnnotAttrRecord);
    PutLE32(out, TPXImagingObject::kAttributesSize);
    const size_t attrAt = out.size();
    out.insert(out.end(), obj.Attributes.begin(), obj.Attributes.end());
    std::vector<uint8_t> block;
    if (type == kMarkImage) {
      for (int32_t v : {1, 1000, dpiX, dpiY, dpiX, dpiY, 0, 0}) PutLE32(block, static_cast<uint32_t>(v));
      block.resize(kRotationSize, 0);
      PutNamedBlock(out, kAnnotMarkBlock, "OiAnoDat", block.data(), block.size());
      if (obj.Image && obj.Image->Width() > 0 && obj.Image->Height() > 0) {
        const TPXPackedDIB dib = BitmapRectToDIB(*obj.Image, 0, 0, 0, 0);
        if (!dib.Empty()) PutNamedBlock(out, kAnnotMarkBlock, "OiDIB", dib.Data(), static_cast<size_t>(dib.Size()));
      }
    } else if (IsLine(type)) {
      const auto count = static_cast<uint32_t>(obj.Points.size());
      PutLE32(block, count);
      PutLE32(block, count);
      for (const auto& pt : obj.Points) {
        PutLE32(block, static_cast<uint32_t>(pt.X));
        PutLE32(block, static_cast<uint32_t>(pt.Y));
      }
      PutNamedBlock(out, kAnnotMarkBlock, "OiAnoDat", block.data(), block.size());
    } else if (IsText(type)) {
      for (int32_t v : {0, kWrittenScale, thirdInt, static_cast<int32_t>(obj.Text.size())})
        PutLE32(block, static_cast<uint32_t>(v));
      block.insert(block.end(), obj.Text.begin(), obj.Text.end());
      block.push_back(0);
      PutNamedBlock(out, kAnnotMarkBlock, "OiAnText", block.data(), block.size());
      // The height goes back to the creation scale written above: the
      // inverse of the reading, so a round trip keeps it.
      const int32_t height = obj.AttrInt(kFontHeightOffset);
      const auto fileHeight = static_cast<uint32_t>(
          -static_cast<int64_t>(RoundToInt32(static_cast<double>(height) * kWrittenScale * dpiY / kPointScale)));
      for (int b = 0; b < 4; ++b) out[attrAt + kFontHeightOffset + b] = static_cast<uint8_t>(fileHeight >> (8 * b));
    }
    for (const auto& b : obj.OtherBlocks) PutNamedBlock(out, kAnnotMarkBlock, b.Name, b.Data.data(), b.Data.size());
    PutNamedText(out, kAnnotMarkBlock, "OiGroup", "0");
    PutNamedText(out, kAnnotMarkBlock, "OiIndex", std::to_string(i));
  }
  buffer = std::move(out);
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
