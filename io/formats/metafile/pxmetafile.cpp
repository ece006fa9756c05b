#include "io/formats/metafile/pxmetafile.h"
#include "io/pxfiltutil.h"

#include <algorithm>
#include <cstdlib>

namespace pixoran {

namespace {
int32_t I32(const uint8_t* p) { return static_cast<int32_t>(GetLE32(p)); }
int16_t I16(const uint8_t* p) { return static_cast<int16_t>(GetLE16(p)); }
constexpr int64_t kScreenDpi = 96;
// Vectors cover any area whatever the file's size, so the picture's claim
// is bounded by its sides instead of by its data.
constexpr int64_t kMaxSide = 16000;
}  // namespace

bool ReadMetafileInfo(const uint8_t* data, int64_t size, TMetafileInfo& info) {
  if (!data) return false;
  if (size >= 88 && GetLE32(data) == 1 && GetLE32(data + 40) == 0x464D4520u) {  // EMR_HEADER, " EMF"
    const int64_t fw = int64_t{I32(data + 32)} - I32(data + 24), fh = int64_t{I32(data + 36)} - I32(data + 28);
    const int64_t devX = I32(data + 72), devY = I32(data + 76), mmX = I32(data + 80), mmY = I32(data + 84);
    info.Enhanced = true;
    // Frame in hundredths of a millimetre to reference-device pixels.
    info.Width = devX > 0 && mmX > 0 ? fw * devX / (mmX * 100) : fw * kScreenDpi / 2540;
    info.Height = devY > 0 && mmY > 0 ? fh * devY / (mmY * 100) : fh * kScreenDpi / 2540;
    return true;
  }
  if (size >= 22 && GetLE32(data) == 0x9AC6CDD7u) {  // placeable WMF
    const int64_t inch = GetLE16(data + 14);
    if (inch == 0) return false;
    info.Enhanced = false;
    info.Width = (int64_t{I16(data + 10)} - I16(data + 6)) * kScreenDpi / inch;
    info.Height = (int64_t{I16(data + 12)} - I16(data + 8)) * kScreenDpi / inch;
    return true;
  }
  return false;
}

bool MetafileTargetSize(const TMetafileInfo& info, int32_t width, int32_t height, int32_t& outWidth,
                        int32_t& outHeight) {
  int64_t w = width, h = height;
  if (width < 0 || height < 0) {
    if (info.Width <= 0 || info.Height <= 0) return false;  // no proportion to follow
    if (width < 0 && height < 0) w = info.Width, h = info.Height;
    else if (width < 0) w = h * info.Width / info.Height;
    else h = w * info.Height / info.Width;
  }
  if (w <= 0 || h <= 0) return false;
  if (w > kMaxSide || h > kMaxSide) {
    if (w >= h) h = std::max<int64_t>(1, h * kMaxSide / w), w = kMaxSide;
    else w = std::max<int64_t>(1, w * kMaxSide / h), h = kMaxSide;
  }
  outWidth = static_cast<int32_t>(w);
  outHeight = static_cast<int32_t>(h);
  return true;
}

}  // namespace pixoran
