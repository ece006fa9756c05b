#include "core/kopxutils_helpers.h"

#include <stdexcept>

#include "platform/system.h"

namespace pixoran {

int64_t CalcRowLen(int64_t width, int64_t bits, int32_t alignment) {
  if (width < 0 || bits < 0) return -1;
  if (alignment != 8 && alignment != 16 && alignment != 32) return -1;
  const int64_t totalBits = width * bits;  // width and bits are int32-sized
  const int64_t len = (totalBits + alignment - 1) / alignment * (alignment / 8);
  return len > std::numeric_limits<int32_t>::max() ? -1 : len;
}

TBGR ColorToBGR(TColor color) {
  const TColor c = ColorToRGB(color);
  return TBGR{static_cast<uint8_t>(c >> 16), static_cast<uint8_t>(c >> 8), static_cast<uint8_t>(c)};
}

int32_t BitFieldShift(uint32_t mask) {
  if (mask == 0) return 0;
  int32_t s = 0;
  while ((mask & 1u) == 0) mask >>= 1, ++s;
  return s;
}

int32_t BitFieldWidth(uint32_t mask) {
  if (mask == 0) return 0;
  mask >>= BitFieldShift(mask);
  int32_t w = 0;
  while (mask & 1u) mask >>= 1, ++w;
  return w;
}

void SafeStreamWrite(TStream& stream, bool& errorFlag, const void* buffer, int64_t count) {
  if (count <= 0) return;
  int64_t written = 0;
  try {
    written = stream.Write(buffer, count);
  } catch (...) {
    written = 0;
  }
  if (written < count) errorFlag = true;
}

void MakeDirectoryPath(const std::string& path) {
  if (path.empty()) throw std::runtime_error("Cannot Create Directory");
  std::string p = path;
  if (p.size() > 1 && p.back() == '/') p.pop_back();
  if (p.size() <= 2 || PathIsDirectory(p)) return;
  const auto slash = p.rfind('/');
  if (slash != std::string::npos && slash > 0) MakeDirectoryPath(p.substr(0, slash));
  CreateOneDirectory(p);
}

int64_t GetAvailablePhysicalMemory() { return PlatformAvailablePhysicalMemory(); }

}  // namespace pixoran
