#include "io/pxmetafile.h"

#include <emf2svg.h>

#include <algorithm>
#include <cstdlib>

namespace pixoran {

namespace {
uint32_t U32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
int32_t I32(const uint8_t* p) { return static_cast<int32_t>(U32(p)); }
int16_t I16(const uint8_t* p) { return static_cast<int16_t>(p[0] | (p[1] << 8)); }
uint16_t U16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
constexpr int64_t kScreenDpi = 96;
constexpr int64_t kMaxSide = 16000;
}  // namespace

bool ReadMetafileInfo(const uint8_t* data, int64_t size, TMetafileInfo& info) {
  if (!data) return false;
  if (size >= 88 && U32(data) == 1 && U32(data + 40) == 0x464D4520u) {  // EMR_HEADER, " EMF"
    const int64_t fw = int64_t{I32(data + 32)} - I32(data + 24), fh = int64_t{I32(data + 36)} - I32(data + 28);
    const int64_t devX = I32(data + 72), devY = I32(data + 76), mmX = I32(data + 80), mmY = I32(data + 84);
    info.Enhanced = true;
    // Frame in hundredths of a millimetre to reference-device pixels.
    info.Width = devX > 0 && mmX > 0 ? fw * devX / (mmX * 100) : fw * kScreenDpi / 2540;
    info.Height = devY > 0 && mmY > 0 ? fh * devY / (mmY * 100) : fh * kScreenDpi / 2540;
    return true;
  }
  if (size >= 22 && U32(data) == 0x9AC6CDD7u) {  // placeable WMF
    const int64_t inch = U16(data + 14);
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

bool EmfStructureSound(const uint8_t* data, int64_t size) {
  if (!data || size < 88 || U32(data) != 1) return false;
  const int64_t headerSize = U32(data + 4);
  if (headerSize < 88 || headerSize > size || (headerSize & 3)) return false;
  // The description string lies inside the header record.
  const int64_t descChars = U32(data + 60), descOffset = U32(data + 64);
  if (descChars > 0 && (descOffset < 88 || descOffset > headerSize || descChars * 2 > headerSize - descOffset))
    return false;
  if (headerSize >= 100) {  // pixel-format block, when the header has room for it
    const int64_t pfSize = U32(data + 88), pfOffset = U32(data + 92);
    if (pfSize > 0 && (pfOffset < 88 || pfOffset > size || pfSize > size - pfOffset)) return false;
  }
  // Every record whole, aligned, inside the data, up to an end-of-file record.
  for (int64_t pos = 0, records = 0; pos + 8 <= size && records < 10000000; ++records) {
    const int64_t type = U32(data + pos), length = U32(data + pos + 4);
    if (length < 8 || (length & 3) || length > size - pos) return false;
    if (type == 14) return true;  // EMR_EOF
    if (type < 1 || type > 122) return false;
    pos += length;
  }
  return false;
}

bool EmfToSvg(std::vector<uint8_t>& emf, int32_t width, int32_t height, std::string& svg) {
  // The converter trusts the structure: anything it could read outside the data is refused first.
  if (!EmfStructureSound(emf.data(), static_cast<int64_t>(emf.size()))) return false;
  // The converter reads the description at its offset even when it is empty; it draws nothing.
  std::fill(emf.begin() + 60, emf.begin() + 68, uint8_t{0});
  generatorOptions options{};
  options.verbose = false;
  options.emfplus = true;
  options.svgDelimiter = true;
  options.imgWidth = width;
  options.imgHeight = height;
  char* out = nullptr;
  size_t outLength = 0;
  const int ok = emf2svg(reinterpret_cast<char*>(emf.data()), emf.size(), &out, &outLength, &options);
  if (out) {
    if (ok) svg.assign(out, outLength);
    std::free(out);
  }
  return ok && !svg.empty();
}

}  // namespace pixoran
