#pragma once
// Metadata carried by the I/O parameter record: JPEG marker segments, IPTC
// datasets, TIFF imaging annotations and ICC profiles. These classes hold
// the data and read and build the IPTC and annotation blocks; the filters
// place the blocks in files.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/pxexport.h"

namespace pixoran {

class TPXBitmap;

// The APPn and COM segments of a JPEG file, in file order, duplicates allowed.
class PIXORAN_IO_EXPORT TPXMarkerList {
 public:
  // A segment's length field is 16-bit.
  static constexpr int32_t kMaxMarkerLength = 65535;

  TPXMarkerList() = default;
  ~TPXMarkerList() = default;
  TPXMarkerList(const TPXMarkerList&) = delete;
  TPXMarkerList& operator=(const TPXMarkerList&) = delete;

  int32_t Count() const { return static_cast<int32_t>(markers_.size()); }
  // Second byte of the JPEG marker (0xE1 APP1, 0xED APP13, 0xFE COM); 0 out of range.
  uint8_t MarkerType(int32_t index) const;
  // The marker's bytes; nullptr out of range or when empty.
  const uint8_t* MarkerData(int32_t index) const;
  uint8_t* MarkerData(int32_t index);
  // 0 out of range.
  int32_t MarkerLength(int32_t index) const;
  // First index with that type, or -1.
  int32_t IndexOf(uint8_t type) const;

  // Appends a copy; returns its index, or -1 (nothing added) when length is
  // outside 0..kMaxMarkerLength or data is missing for a non-empty marker.
  int32_t AddMarker(uint8_t type, const void* data, int32_t length);
  // Replaces the marker at index with a copy; false (unchanged) on a bad
  // index or length, as for AddMarker.
  bool SetMarker(int32_t index, uint8_t type, int32_t length, const void* data);
  void DeleteMarker(int32_t index);  // a bad index is ignored
  void Clear() { markers_.clear(); }
  // Deep copy; nullptr is ignored.
  void Assign(const TPXMarkerList* other);

 private:
  struct TMarker {
    uint8_t Type = 0;
    std::vector<uint8_t> Data;
  };
  std::vector<TMarker> markers_;
};

// IPTC datasets (record:dataset numbers with their data blocks).
class PIXORAN_IO_EXPORT TPXIPTCInfoList {
 public:
  TPXIPTCInfoList() = default;
  ~TPXIPTCInfoList() = default;
  TPXIPTCInfoList(const TPXIPTCInfoList&) = delete;
  TPXIPTCInfoList& operator=(const TPXIPTCInfoList&) = delete;

  int32_t Count() const { return static_cast<int32_t>(items_.size()); }
  // These read 0 (or nullptr) for an index out of range.
  int32_t RecordNumber(int32_t index) const;
  int32_t DataSet(int32_t index) const;
  int32_t DataLength(int32_t index) const;
  const uint8_t* Data(int32_t index) const;  // nullptr also for an empty dataset
  // The dataset's bytes as text (IPTC text datasets are not zero-terminated).
  std::string DataAsString(int32_t index) const;
  // First index of record:dataset, or -1.
  int32_t IndexOf(int32_t record, int32_t dataset) const;

  // Appends a copy and sets UserChanged; returns the new index, or -1
  // (nothing added) for a negative length or missing data.
  int32_t AddData(int32_t record, int32_t dataset, int32_t length, const void* data);
  // Removes one dataset and sets UserChanged; a bad index is ignored.
  void DeleteData(int32_t index);
  // Empties the list and sets UserChanged.
  void Clear();
  // Deep copy that sets UserChanged; nullptr is ignored.
  void Assign(const TPXIPTCInfoList* other);

  // Encodes the datasets as an IPTC block into buffer (replacing what it
  // held); an empty list gives an empty buffer. With the APP13 header the
  // block starts with a Photoshop resource header whose length counts the
  // dataset bytes; without it (TIFF) it starts with the record-version
  // dataset 2:00. Datasets 2:00, empty datasets and datasets whose numbers
  // do not fit a byte are left out. The block is padded to an even size.
  void SaveToBuffer(std::vector<uint8_t>& buffer, bool withAPP13Header) const;
  // Replaces the list by the datasets of an IPTC block (an APP13 segment's
  // data or a TIFF IPTC tag). Parsing stops at the first inconsistency; the
  // datasets before it are kept. UserChanged ends false.
  void LoadFromBuffer(const void* data, int64_t length);

  // True after any edit or clear; the loader clears it, so an untouched
  // block read from a file is written back as it was.
  bool UserChanged = false;

 private:
  struct TDataSet {
    int32_t Record = 0;
    int32_t DataSet = 0;
    std::vector<uint8_t> Data;  // its size is the dataset length
  };
  std::vector<TDataSet> items_;
};

// A Photoshop APP13 segment's data (an image-resource block) with its IPTC
// resource (0x0404) replaced by the one of iptcBlock (SaveToBuffer with the
// APP13 header; empty removes it) where it stood, or added at the end; the
// IPTC digest (0x0425), which no longer matches, is dropped; every other
// resource is kept as it was. False (out empty) when segment is not a
// resource block that can be walked to its end. out holds just the
// signature when no resource is left.
PIXORAN_IO_EXPORT bool ReplaceIPTCResource(const uint8_t* segment, size_t length, const std::vector<uint8_t>& iptcBlock,
                                           std::vector<uint8_t>& out);

// One point of an annotation line, in image pixels.
struct PIXORAN_IO_EXPORT TPXAnnotPoint {
  int32_t X = 0, Y = 0;
  friend bool operator==(const TPXAnnotPoint&, const TPXAnnotPoint&) = default;
};

// A named block of an annotation mark ("OiFilNam", say) that the object
// does not interpret, kept so it is written back with the mark.
struct PIXORAN_IO_EXPORT TPXAnnotNamedBlock {
  std::string Name;  // at most 8 characters
  std::vector<uint8_t> Data;
  friend bool operator==(const TPXAnnotNamedBlock&, const TPXAnnotNamedBlock&) = default;
};

// One annotation mark.
class PIXORAN_IO_EXPORT TPXImagingObject {
 public:
  // Size of the mark attribute block, kept byte for byte as in the file.
  static constexpr int32_t kAttributesSize = 164;

  TPXImagingObject();  // everything empty, attributes zero
  ~TPXImagingObject();
  TPXImagingObject(const TPXImagingObject&) = delete;
  TPXImagingObject& operator=(const TPXImagingObject&) = delete;

  // Deep copy of attributes, points, text and image.
  void Assign(const TPXImagingObject& source);

  // Mark type from the attribute block (little-endian int32 at offset 0):
  // 1 embedded image, 2 image reference, 3 straight line, 4 freehand line,
  // 5 hollow rectangle, 6 filled rectangle, 7 typed text, 8 text from file,
  // 9 text stamp, 10 attached note, 12 form.
  int32_t MarkType() const { return AttrInt(0); }
  void SetMarkType(int32_t value) { SetAttrInt(0, value); }
  // Little-endian int32 at a byte offset of the attribute block (0 to 160).
  int32_t AttrInt(int32_t offset) const;
  void SetAttrInt(int32_t offset, int32_t value);

  std::array<uint8_t, kAttributesSize> Attributes{};
  std::vector<TPXAnnotPoint> Points;  // the point count is Points.size()
  std::string Text;                   // empty when the mark has none
  std::unique_ptr<TPXBitmap> Image;   // embedded image, or nullptr
  // The mark's named blocks that none of the above stands for, in file order.
  std::vector<TPXAnnotNamedBlock> OtherBlocks;
};

// The imaging annotations of one TIFF page.
class PIXORAN_IO_EXPORT TPXImagingAnnot {
 public:
  TPXImagingAnnot();
  ~TPXImagingAnnot();
  TPXImagingAnnot(const TPXImagingAnnot&) = delete;
  TPXImagingAnnot& operator=(const TPXImagingAnnot&) = delete;

  int32_t Count() const { return static_cast<int32_t>(objects_.size()); }
  // nullptr for an index out of range.
  TPXImagingObject* Object(int32_t index);
  const TPXImagingObject* Object(int32_t index) const;
  // Appends a new empty object and returns it.
  TPXImagingObject* AddObject();
  // Takes ownership of an object (nullptr is ignored); returns its index or -1.
  int32_t AddObject(std::unique_ptr<TPXImagingObject> object);
  void DeleteObject(int32_t index);  // a bad index is ignored
  // Frees all objects.
  void Clear();
  // Clears, then deep-copies every object; nullptr is ignored.
  void Assign(const TPXImagingAnnot* other);

  // Parses an annotation block (TIFF tag 32932), adding its marks to the
  // list; size 0 does nothing. Only the size bytes are read: a record that
  // does not fit ends the parse, the marks before it kept. Clears Modified.
  void LoadFromStandardBuffer(const void* data, int64_t size);
  // Builds the block; empty when there are no marks.
  void SaveToStandardBuffer(std::vector<uint8_t>& buffer) const;

  // Cleared after parsing; set by whoever edits the marks.
  bool Modified = false;

 private:
  std::vector<std::unique_ptr<TPXImagingObject>> objects_;
};

// The raw bytes of an ICC colour profile. No colour conversion is done with
// it: it is kept and copied.
class PIXORAN_IO_EXPORT TPXICC {
 public:
  TPXICC() = default;
  ~TPXICC() = default;
  TPXICC(const TPXICC&) = delete;
  TPXICC& operator=(const TPXICC&) = delete;

  // Replaces the profile by a copy of size bytes; false (and cleared) for a
  // negative size or missing data.
  bool LoadFromBuffer(const void* data, int64_t size);
  // Frees the bytes and drops the transform state.
  void Clear();
  // Copies the profile bytes; nullptr is ignored.
  void Assign(const TPXICC* other);
  // Drops the transform state.
  void FreeTransforms();

  const uint8_t* Raw() const { return profile_.empty() ? nullptr : profile_.data(); }
  int64_t RawSize() const { return static_cast<int64_t>(profile_.size()); }
  bool IsEmpty() const { return profile_.empty(); }
  // Colour transforms are never built here, so this stays false; kept for
  // callers that ask before converting.
  bool IsTransformReady() const { return transformReady_; }

 private:
  std::vector<uint8_t> profile_;
  void* inputTransform_ = nullptr;
  void* outputTransform_ = nullptr;
  bool transformReady_ = false;
};

}  // namespace pixoran
