#include "io/pixoranio_params.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <type_traits>
#include <utility>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "io/pxmetadata.h"
#include "platform/graphics.h"

namespace pixoran {

namespace {

// Days from 1899-12-30 (the date-time epoch of the file formats' stamps) to 1970-01-01.
constexpr int32_t kDaysTo1970 = 25569;

// Today's local date at time 0, as a day count since 1899-12-30.
double TodayAsDateTime() {
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  if (localtime_r(&now, &local) == nullptr) return 0.0;
  using namespace std::chrono;
  const year_month_day ymd{year{local.tm_year + 1900}, month{static_cast<unsigned>(local.tm_mon + 1)},
                           day{static_cast<unsigned>(local.tm_mday)}};
  return static_cast<double>(sys_days{ymd}.time_since_epoch().count() + kDaysTo1970);
}

template <size_t N, typename T>
T GetAt(const std::array<T, N>& a, int index) {
  return index >= 0 && static_cast<size_t>(index) < N ? a[index] : T{};
}

template <size_t N, typename T>
void SetAt(std::array<T, N>& a, int index, T value) {
  if (index >= 0 && static_cast<size_t>(index) < N) a[index] = value;
}

template <class T>
struct TIsOwned : std::false_type {};
template <class T>
struct TIsOwned<std::unique_ptr<T>> : std::true_type {};

// An owned object is made once, then only cleared, so pointers to it stay good.
template <class T, class V>
void ResetField(T& field, V&& init) {
  if constexpr (TIsOwned<T>::value) {
    if (field) field->Clear();
    else field = std::make_unique<typename T::element_type>();
  } else {
    field = std::forward<V>(init);
  }
}

template <class T>
void CopyField(T& field, const T& source) {
  if constexpr (TIsOwned<T>::value) field->Assign(source.get());
  else field = source;
}

}  // namespace

TIOParamsVals::TIOParamsVals(TIOParamsOwner* owner) : Owner(owner) { SetDefaultParams(); }

// Out of line: the owned metadata types are complete only here.
TIOParamsVals::~TIOParamsVals() = default;

template <uint32_t Any, uint32_t None>
void TIOParamsVals::ResetFields() {
#define PX_PARAM(name, init, marks, ...) \
  if constexpr (((marks)&Any) != 0 && ((marks) & (None | pfDefaultByHand)) == 0) ResetField(name, init);
#include "io/pixoranio_params_fields.h"
#undef PX_PARAM
}

template <uint32_t Any>
void TIOParamsVals::CopyFields(const TIOParamsVals& source) {
#define PX_PARAM(name, init, marks, ...) \
  if constexpr (((marks)&Any) != 0 && ((marks)&pfCopyByHand) == 0) CopyField(name, source.name);
#include "io/pixoranio_params_fields.h"
#undef PX_PARAM
}

void TIOParamsVals::SetDefaultParams() {
  FreePalette();
  // Every field but the EXIF block and those written out below. A field
  // without marks (KeepNativeFormat) is reset too.
  ResetFields<~0u, pfExif>();
  ResetField(KeepNativeFormat, uint8_t{0});

  // Without an owner there is no bitmap to size from and no viewer to tell,
  // so size and resolution keep what they hold.
  if (Owner != nullptr) {
    if (TBitmap* bmp = Owner->OwnerTBitmap()) {
      Width = bmp->Width();
      Height = bmp->Height();
    }
    SetDpiX(PXSettings().DefaultDpiX);
    SetDpiY(PXSettings().DefaultDpiY);
  }
  SetTIFFOrientation(1);  // EXIFOrientation goes back to 0 in ResetEXIF below
  TGADate = TodayAsDateTime();
  ResetEXIF();
}

void TIOParamsVals::ResetInfo() {
  ResetFields<pfInfo, 0>();
  ResetEXIF();
}

void TIOParamsVals::ResetEXIF() {
  // Fields are reset directly: going through the setters would also move
  // DpiX/DpiY and TIFFOrientation, which describe the image, not the EXIF block.
  ResetFields<pfExif, 0>();
  EXIFThumbnail.reset();
}

void TIOParamsVals::Assign(const TIOParamsVals& source) {
  if (&source == this) return;

  // The thumbnail copy is the only step that may fail (storage); do it first
  // so a failure leaves this record untouched. The copy is exact: a record
  // without a thumbnail must not pass on the one this record held before,
  // or a file would be saved with another image's thumbnail.
  std::unique_ptr<TPXBitmap> thumbnail;
  if (source.EXIFThumbnail) {
    thumbnail = std::make_unique<TPXBitmap>();
    thumbnail->Assign(source.EXIFThumbnail.get());
  }

  // The write options, the TIFF orientation through its setter (which also
  // sets the EXIF orientation; that one is copied exactly below).
  CopySaveOptions(source);

  // The resolution goes through the setters so this record's viewer hears
  // of it; the EXIF resolutions are copied afterwards, so they end equal to
  // the source's even where they differ from its DpiX/DpiY.
  SetDpiX(source.DpiX);
  SetDpiY(source.DpiY);
  CopyFields<pfCopy>(source);
  EXIFThumbnail = std::move(thumbnail);
  SetPalette(source.Palette.get(), source.Palette ? source.PaletteCount : 0);
}

void TIOParamsVals::CopySaveOptions(const TIOParamsVals& source) {
  if (&source == this) return;
  CopyFields<pfSave>(source);
  SetTIFFOrientation(source.TIFFOrientation);
}

void TIOParamsVals::SetDpiX(int32_t value) {
  DpiX = value;
  EXIFXResolution = value;
  if (Owner != nullptr) Owner->OwnerDpiXChanged(value);
}

void TIOParamsVals::SetDpiY(int32_t value) {
  DpiY = value;
  EXIFYResolution = value;
  if (Owner != nullptr) Owner->OwnerDpiYChanged(value);
}

// EXIF rationals may hold anything (NaN from 0/0, huge values); truncating
// those directly would be undefined, so they are clamped first.
void TIOParamsVals::SetEXIFXResolution(double value) { SetDpiX(TruncToInt32(value)); }

void TIOParamsVals::SetEXIFYResolution(double value) { SetDpiY(TruncToInt32(value)); }

void TIOParamsVals::SetTIFFOrientation(int32_t value) {
  TIFFOrientation = value;
  EXIFOrientation = value;
}

void TIOParamsVals::SetEXIFOrientation(int32_t value) {
  TIFFOrientation = value;
  EXIFOrientation = value;
}

int32_t TIOParamsVals::GetEXIFISOSpeed(int index) const { return GetAt(EXIFISOSpeedRatings, index); }
void TIOParamsVals::SetEXIFISOSpeed(int index, int32_t value) { SetAt(EXIFISOSpeedRatings, index, value); }
double TIOParamsVals::GetEXIFWhitePoint(int index) const { return GetAt(EXIFWhitePoint, index); }
void TIOParamsVals::SetEXIFWhitePoint(int index, double value) { SetAt(EXIFWhitePoint, index, value); }
double TIOParamsVals::GetEXIFPrimaryChromaticities(int index) const { return GetAt(EXIFPrimaryChromaticities, index); }
void TIOParamsVals::SetEXIFPrimaryChromaticities(int index, double value) {
  SetAt(EXIFPrimaryChromaticities, index, value);
}
double TIOParamsVals::GetEXIFYCbCrCoefficients(int index) const { return GetAt(EXIFYCbCrCoefficients, index); }
void TIOParamsVals::SetEXIFYCbCrCoefficients(int index, double value) { SetAt(EXIFYCbCrCoefficients, index, value); }
double TIOParamsVals::GetEXIFReferenceBlackWhite(int index) const { return GetAt(EXIFReferenceBlackWhite, index); }
void TIOParamsVals::SetEXIFReferenceBlackWhite(int index, double value) {
  SetAt(EXIFReferenceBlackWhite, index, value);
}

void TIOParamsVals::SetPalette(const TBGR* data, int32_t count) {
  if (count <= 0) {
    FreePalette();
    return;
  }
  // Build the new palette before freeing the old: data may point into it.
  auto palette = std::make_unique<TBGR[]>(static_cast<size_t>(count));
  if (data != nullptr) std::memcpy(palette.get(), data, static_cast<size_t>(count) * sizeof(TBGR));
  Palette = std::move(palette);
  PaletteCount = count;
}

void TIOParamsVals::FreePalette() {
  Palette.reset();
  PaletteCount = 0;
}

}  // namespace pixoran
