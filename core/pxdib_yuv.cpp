// The YUV layouts of capture devices decoded into 24-bit frames, for the
// DIB reader.
#include <algorithm>
#include <array>
#include <cstring>

#include "core/pxdib.h"

namespace pixoran {

namespace {

// The products of the conversion by sample value, so each pixel costs three
// sums; the sums are those of the formula, in its order.
struct TYUVTables {
  std::array<double, 256> Y, BU, GV, GU, RV;
  TYUVTables() {
    for (int i = 0; i < 256; ++i) {
      Y[i] = 1.164 * (i - 16);
      BU[i] = 2.018 * (i - 128);
      GV[i] = 0.813 * (i - 128);
      GU[i] = 0.391 * (i - 128);
      RV[i] = 1.596 * (i - 128);
    }
  }
};
uint32_t LE32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

const TYUVTables& YUV() {
  static const TYUVTables t;
  return t;
}

inline uint8_t Clamp255(double v) {
  const int64_t r = RoundHalfEven(v);
  return static_cast<uint8_t>(r < 0 ? 0 : r > 255 ? 255 : r);
}

inline void PutYUV(const TYUVTables& t, uint8_t* p, uint8_t y, uint8_t u, uint8_t v) {
  const double yy = t.Y[y];
  p[0] = Clamp255(yy + t.BU[u]);
  p[1] = Clamp255(yy - t.GV[v] - t.GU[u]);
  p[2] = Clamp255(yy + t.RV[v]);
}

// Bytes a frame of w x h needs in each layout (groups and chroma planes
// rounded up for odd sizes).
int64_t NeedPlanar2(int64_t w, int64_t h) { return w * h + 2 * ((w + 1) / 2) * ((h + 1) / 2); }
int64_t NeedPlanar4(int64_t w, int64_t h) { return w * h + 2 * ((w + 3) / 4) * ((h + 3) / 4); }
int64_t NeedPacked422(int64_t w, int64_t h) { return (w + 1) / 2 * 4 * h; }
int64_t NeedIYU1(int64_t w, int64_t h) { return (w + 3) / 4 * 6 * h; }
int64_t NeedIYU2(int64_t w, int64_t h) { return w * 3 * h; }
int64_t NeedY41P(int64_t w, int64_t h) { return (w + 7) / 8 * 12 * h; }
int64_t NeedGroup4(int64_t w, int64_t h) { return (w + 3) / 4 * 4 * h; }

// Size and row order shared by every frame decoder.
struct TFrame {
  int32_t W = 0, H = 0;
  bool TopDown = true;
  TPXBaseBitmap* Bitmap = nullptr;
  uint8_t* Row(int32_t r) const { return Bitmap->Scanline(TopDown ? r : H - 1 - r); }
};

bool StartFrame(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown,
                int64_t (*need)(int64_t, int64_t), TFrame& f) {
  if (!data || bitmap.PixelFormat() != pxBGR24 || bitmap.Width() <= 0 || bitmap.Height() <= 0) return false;
  f.W = bitmap.Width();
  f.H = bitmap.Height();
  f.TopDown = topDown;
  f.Bitmap = &bitmap;
  return size >= need(f.W, f.H);
}

// Planar frames: a full Y plane, then two chroma planes of
// ceil(W / div) x ceil(H / div); vFirst when V comes before U.
bool DecodePlanar(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown, int32_t div, bool vFirst) {
  TFrame f;
  if (!StartFrame(data, size, bitmap, topDown, div == 2 ? NeedPlanar2 : NeedPlanar4, f)) return false;
  const int64_t w = f.W, h = f.H;
  const int64_t cw = (w + div - 1) / div, ch = (h + div - 1) / div;
  const uint8_t* yPlane = data;
  const uint8_t* first = data + w * h;
  const uint8_t* second = first + cw * ch;
  const uint8_t* uPlane = vFirst ? second : first;
  const uint8_t* vPlane = vFirst ? first : second;
  const TYUVTables& t = YUV();
  for (int32_t r = 0; r < f.H; ++r) {
    uint8_t* d = f.Row(r);
    if (!d) return false;
    const uint8_t* ys = yPlane + r * w;
    const uint8_t* us = uPlane + (r / div) * cw;
    const uint8_t* vs = vPlane + (r / div) * cw;
    for (int32_t x = 0; x < f.W; ++x) PutYUV(t, d + 3 * x, ys[x], us[x / div], vs[x / div]);
  }
  return true;
}

// Packed frames: rows of need(W, 1) bytes one after the other;
// decodeRow(t, d, s, w) turns the source row s into the w pixels at d.
template <typename TDecodeRow>
bool DecodePackedRows(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown,
                      int64_t (*need)(int64_t, int64_t), TDecodeRow decodeRow) {
  TFrame f;
  if (!StartFrame(data, size, bitmap, topDown, need, f)) return false;
  const int64_t rowBytes = need(f.W, 1);
  const TYUVTables& t = YUV();
  for (int32_t r = 0; r < f.H; ++r) {
    uint8_t* d = f.Row(r);
    if (!d) return false;
    decodeRow(t, d, data + r * rowBytes, f.W);
  }
  return true;
}

// Packed two-pixel groups of four bytes; the offsets of Y0, U, Y1, V.
bool DecodePacked422(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown, int y0, int u, int y1,
                     int v) {
  return DecodePackedRows(data, size, bitmap, topDown, NeedPacked422,
                          [=](const TYUVTables& t, uint8_t* d, const uint8_t* s, int32_t w) {
                            for (int32_t x = 0; x < w; x += 2, s += 4) {
                              PutYUV(t, d + 3 * x, s[y0], s[u], s[v]);
                              if (x + 1 < w) PutYUV(t, d + 3 * (x + 1), s[y1], s[u], s[v]);
                            }
                          });
}

}  // namespace

TBGR YUVToBGR(int32_t y, int32_t u, int32_t v) {
  uint8_t p[3];
  PutYUV(YUV(), p, static_cast<uint8_t>(std::clamp(y, 0, 255)), static_cast<uint8_t>(std::clamp(u, 0, 255)),
         static_cast<uint8_t>(std::clamp(v, 0, 255)));
  return TBGR{p[0], p[1], p[2]};
}

bool DecodeFrameI420(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown) {
  return DecodePlanar(data, size, bitmap, topDown, 2, false);
}
bool DecodeFrameYV12(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown) {
  return DecodePlanar(data, size, bitmap, topDown, 2, true);
}
bool DecodeFrameYVU9(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown) {
  return DecodePlanar(data, size, bitmap, topDown, 4, true);
}
bool DecodeFrameYUY2(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown) {
  return DecodePacked422(data, size, bitmap, topDown, 0, 1, 2, 3);
}
bool DecodeFrameUYVY(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown) {
  return DecodePacked422(data, size, bitmap, topDown, 1, 0, 3, 2);
}
bool DecodeFrameYVYU(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown) {
  return DecodePacked422(data, size, bitmap, topDown, 0, 3, 2, 1);
}

bool DecodeFrameIYU1(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown) {
  static constexpr int kY[4] = {1, 2, 4, 5};  // U Y0 Y1 V Y2 Y3
  return DecodePackedRows(data, size, bitmap, topDown, NeedIYU1,
                          [](const TYUVTables& t, uint8_t* d, const uint8_t* s, int32_t w) {
                            for (int32_t x = 0; x < w; x += 4, s += 6)
                              for (int k = 0; k < 4 && x + k < w; ++k) PutYUV(t, d + 3 * (x + k), s[kY[k]], s[0], s[3]);
                          });
}

bool DecodeFrameIYU2(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown) {
  return DecodePackedRows(data, size, bitmap, topDown, NeedIYU2,
                          [](const TYUVTables& t, uint8_t* d, const uint8_t* s, int32_t w) {
                            for (int32_t x = 0; x < w; ++x, s += 3) PutYUV(t, d + 3 * x, s[1], s[0], s[2]);
                          });
}

bool DecodeFrameY41P(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown) {
  // U0 Y0 V0 Y1 U4 Y2 V4 Y3 Y4 Y5 Y6 Y7
  static constexpr int kY[8] = {1, 3, 5, 7, 8, 9, 10, 11};
  return DecodePackedRows(data, size, bitmap, topDown, NeedY41P,
                          [](const TYUVTables& t, uint8_t* d, const uint8_t* s, int32_t w) {
                            for (int32_t x = 0; x < w; x += 8, s += 12)
                              for (int k = 0; k < 8 && x + k < w; ++k) {
                                const uint8_t u = k < 4 ? s[0] : s[4];
                                const uint8_t v = k < 4 ? s[2] : s[6];
                                PutYUV(t, d + 3 * (x + k), s[kY[k]], u, v);
                              }
                          });
}

bool DecodeFrameY211(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown) {
  return DecodePackedRows(data, size, bitmap, topDown, NeedGroup4,
                          [](const TYUVTables& t, uint8_t* d, const uint8_t* s, int32_t w) {
                            for (int32_t x = 0; x < w; x += 4, s += 4)  // Y0 U Y2 V
                              for (int k = 0; k < 4 && x + k < w; ++k)
                                PutYUV(t, d + 3 * (x + k), k < 2 ? s[0] : s[2], s[1], s[3]);
                          });
}

bool DecodeFrameCLJR(const uint8_t* data, int64_t size, TPXBaseBitmap& bitmap, bool topDown) {
  return DecodePackedRows(data, size, bitmap, topDown, NeedGroup4,
                          [](const TYUVTables& t, uint8_t* d, const uint8_t* s, int32_t w) {
                            for (int32_t x = 0; x < w; x += 4, s += 4) {
                              const uint32_t word = LE32(s);
                              const uint8_t v = static_cast<uint8_t>((word & 0x3F) << 2);
                              const uint8_t u = static_cast<uint8_t>(((word >> 6) & 0x3F) << 2);
                              for (int k = 0; k < 4 && x + k < w; ++k) {
                                const uint8_t y = static_cast<uint8_t>(((word >> (12 + 5 * k)) & 0x1F) << 3);
                                PutYUV(t, d + 3 * (x + k), y, u, v);
                              }
                            }
                          });
}

const TPXYUVLayout* FindYUVLayout(uint32_t code) {
  static const TPXYUVLayout kTable[] = {
      {FourCC('I', '4', '2', '0'), DecodeFrameI420, NeedPlanar2, true},
      {FourCC('I', 'Y', 'U', 'V'), DecodeFrameI420, NeedPlanar2, true},
      {FourCC('Y', 'V', '1', '2'), DecodeFrameYV12, NeedPlanar2, true},
      {FourCC('Y', 'V', 'U', '9'), DecodeFrameYVU9, NeedPlanar4, true},
      {FourCC('Y', 'U', 'Y', '2'), DecodeFrameYUY2, NeedPacked422, true},
      {FourCC('Y', 'U', 'N', 'V'), DecodeFrameYUY2, NeedPacked422, true},
      {FourCC('U', 'Y', 'V', 'Y'), DecodeFrameUYVY, NeedPacked422, true},
      {FourCC('U', 'Y', 'N', 'V'), DecodeFrameUYVY, NeedPacked422, true},
      {FourCC('c', 'y', 'u', 'v'), DecodeFrameUYVY, NeedPacked422, false},
      {FourCC('Y', 'V', 'Y', 'U'), DecodeFrameYVYU, NeedPacked422, true},
      {FourCC('I', 'Y', 'U', '1'), DecodeFrameIYU1, NeedIYU1, true},
      {FourCC('I', 'Y', 'U', '2'), DecodeFrameIYU2, NeedIYU2, true},
      {FourCC('Y', '4', '1', 'P'), DecodeFrameY41P, NeedY41P, false},
      {FourCC('Y', '2', '1', '1'), DecodeFrameY211, NeedGroup4, true},
      {FourCC('C', 'L', 'J', 'R'), DecodeFrameCLJR, NeedGroup4, true},
  };
  for (const auto& e : kTable)
    if (e.Code == code) return &e;
  return nullptr;
}

}  // namespace pixoran
