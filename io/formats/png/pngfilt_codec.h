#pragma once
// What the PNG reader and writer share: the error record libpng jumps out
// through, the guard that runs one codec step, and the alpha rows the
// filters fill or read (a mask or an 8-bit alpha bitmap).
#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <type_traits>

#include "platform/pxexport.h"

namespace pixoran {

class TPXBitmap;
class TPXMask;

namespace pngcodec {

// The codec's error pointer. The error procedure keeps the codec's message
// and jumps back to the guard that ran the step; the filter then reports
// the failure with it.
struct PIXORAN_IO_EXPORT TPNGError {
  char message[128];
  jmp_buf jump;
};
static_assert(std::is_standard_layout_v<TPNGError>);

[[noreturn]] PIXORAN_IO_EXPORT void ErrorProc(png_structp png, png_const_charp message);
PIXORAN_IO_EXPORT void WarningProc(png_structp png, png_const_charp message);

using TCodecStep = void (*)(void* context);

// Runs one codec step; false when the codec raised an error. The jump skips
// only the step and codec frames, none of which holds an object with a
// destructor.
PIXORAN_IO_EXPORT bool RunGuarded(TPNGError& err, TCodecStep step, void* context);

// Rows of an 8-bit alpha map of the image's size, top row first.
class PIXORAN_IO_EXPORT TAlphaRows {
 public:
  virtual ~TAlphaRows() = default;
  // Reader side: sized (false when it cannot be had). What the read does not
  // reach is 255 for a mask, unspecified for an alpha bitmap, whose every
  // value the reader writes (and which a failed read leaves unused).
  virtual bool Allocate(int32_t width, int32_t height) = 0;
  // Reader side: some value is below 255.
  virtual void SetTranslucent() = 0;
  // Row y, nullptr when out of range or not to be had.
  virtual uint8_t* Row(int32_t y) = 0;
};

class PIXORAN_IO_EXPORT TMaskAlphaRows final : public TAlphaRows {
 public:
  explicit TMaskAlphaRows(TPXMask& mask) : mask_(mask) {}
  bool Allocate(int32_t width, int32_t height) override;
  void SetTranslucent() override;
  uint8_t* Row(int32_t y) override;

 private:
  TPXMask& mask_;
};

class PIXORAN_IO_EXPORT TBitmapAlphaRows final : public TAlphaRows {
 public:
  explicit TBitmapAlphaRows(TPXBitmap& alpha) : alpha_(alpha) {}
  bool Allocate(int32_t width, int32_t height) override;
  void SetTranslucent() override;
  uint8_t* Row(int32_t y) override;

 private:
  TPXBitmap& alpha_;
};

}  // namespace pngcodec
}  // namespace pixoran
