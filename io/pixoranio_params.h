#pragma once
// The per-image I/O parameter record: what a reader learned from a file and
// what a writer takes its options from.
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "core/kopxutils_bitmap.h"
#include "io/iohooks.h"
#include "io/pxmetadata.h"

namespace pixoran {

class TPXBitmap;
class TBitmap;

// What the record needs of its owner (the I/O component): the size of the
// platform bitmap it works on and the viewer that hears of resolution changes.
class PIXORAN_IO_EXPORT TIOParamsOwner {
 public:
  virtual ~TIOParamsOwner() = default;
  // The owner's platform bitmap, or nullptr.
  virtual TBitmap* OwnerTBitmap() = 0;
  // Tell the attached viewer, if any, of a new resolution.
  virtual void OwnerDpiXChanged(int32_t dpi) = 0;
  virtual void OwnerDpiYChanged(int32_t dpi) = 0;
};

// Marks of the fields in io/pixoranio_params_fields.h (which says what they mean).
enum : uint32_t {
  pfSave = 0x01,
  pfCopy = 0x02,
  pfInfo = 0x04,
  pfExif = 0x08,
  pfDefaultByHand = 0x10,
  pfCopyByHand = 0x20,
};

constexpr std::array<std::array<int32_t, 2>, 16> DefaultICOSizes() {
  std::array<std::array<int32_t, 2>, 16> sizes{};
  sizes[0] = {64, 64};
  return sizes;
}
constexpr std::array<int32_t, 16> DefaultICOBitCounts() {
  std::array<int32_t, 16> bits{};
  bits[0] = 8;
  return bits;
}

class PIXORAN_IO_EXPORT TIOParamsVals {
 public:
  explicit TIOParamsVals(TIOParamsOwner* owner = nullptr);  // Init
  ~TIOParamsVals();                                         // Done
  TIOParamsVals(const TIOParamsVals&) = delete;
  TIOParamsVals& operator=(const TIOParamsVals&) = delete;

  void SetDefaultParams();
  // Per-load reset: metadata and descriptive texts go, options stay.
  void ResetInfo();
  void ResetEXIF();
  // Copies every field but Owner and KeepNativeFormat; the EXIF thumbnail
  // ends as the source's (a copy, or none when the source has none).
  void Assign(const TIOParamsVals& source);
  // Copies only the write options.
  void CopySaveOptions(const TIOParamsVals& source);

  // Also set EXIFXResolution (EXIFYResolution), then tell the owner.
  void SetDpiX(int32_t value);
  void SetDpiY(int32_t value);
  // NaN becomes 0; values are clamped to the int32 range, then truncated.
  void SetEXIFXResolution(double value);
  void SetEXIFYResolution(double value);
  // Both set TIFFOrientation and EXIFOrientation.
  void SetTIFFOrientation(int32_t value);
  void SetEXIFOrientation(int32_t value);

  // Indexed EXIF arrays; an index out of range is ignored by the setters and
  // reads 0 from the getters.
  int32_t GetEXIFISOSpeed(int index) const;
  void SetEXIFISOSpeed(int index, int32_t value);
  double GetEXIFWhitePoint(int index) const;
  void SetEXIFWhitePoint(int index, double value);
  double GetEXIFPrimaryChromaticities(int index) const;
  void SetEXIFPrimaryChromaticities(int index, double value);
  double GetEXIFYCbCrCoefficients(int index) const;
  void SetEXIFYCbCrCoefficients(int index, double value);
  double GetEXIFReferenceBlackWhite(int index) const;
  void SetEXIFReferenceBlackWhite(int index, double value);

  // Replaces the palette by count entries (nullptr data: zero-filled); count <= 0 frees it.
  void SetPalette(const TBGR* data, int32_t count);
  void FreePalette();

  TIOParamsOwner* Owner = nullptr;

  // Every field, from the one list.
#define PX_PARAM(name, init, marks, ...) __VA_ARGS__ name = init;
#include "io/pixoranio_params_fields.h"
#undef PX_PARAM

 private:
  // The fields with a mark in Any and none in None (defaults written out by
  // hand are never reset here, copies by hand never copied).
  template <uint32_t Any, uint32_t None>
  void ResetFields();
  template <uint32_t Any>
  void CopyFields(const TIOParamsVals& source);
};

}  // namespace pixoran
