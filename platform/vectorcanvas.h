#pragma once
// Vector drawing on a platform bitmap for the metafile player: paths under an
// affine transform with pens, brushes (solid, hatched, image), images and
// text. Every call counts the pixels it may touch, so that a caller can bound
// the work a picture makes.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/pxexport.h"
#include "platform/graphics.h"

class QPainter;

namespace pixoran {

// An image with rows top-down, each pixel 0xAARRGGBB.
struct PIXORAN_PLATFORM_EXPORT TVImage {
  int32_t Width = 0, Height = 0;
  std::vector<uint32_t> Pixels;
};

struct PIXORAN_PLATFORM_EXPORT TVPen {
  bool Null = false;
  TColor Color = clBlack;
  double Width = 0;   // in transformed units; 0 is one device pixel
  uint8_t Style = 0;  // 0 solid, 1 dash, 2 dot, 3 dash-dot, 4 dash-dot-dot
};

struct PIXORAN_PLATFORM_EXPORT TVBrush {
  enum TKind : uint8_t { NullBrush, SolidBrush, HatchBrush, ImageBrush };
  TKind Kind = SolidBrush;
  TColor Color = clWhite;
  uint8_t Hatch = 0;  // 0 horizontal, 1 vertical, 2 forward diagonal, 3 backward, 4 cross, 5 diagonal cross
  std::shared_ptr<const TVImage> Pattern;
};

struct PIXORAN_PLATFORM_EXPORT TVFont {
  std::string Face;
  double PixelHeight = 12;  // device pixels, cell height
  double Angle = 0;         // degrees, counter-clockwise
  int32_t Weight = 400;
  bool Italic = false, Underline = false, StrikeOut = false;
};

// One step of a path, in the coordinates the transform maps.
struct PIXORAN_PLATFORM_EXPORT TVPathOp {
  enum TKind : uint8_t { Move, Line, Cubic, Close, Ellipse, Arc, Chord, Pie, RoundRect };
  TKind Kind;
  // Move, Line: x, y. Cubic: two control points and the end. Ellipse and
  // RoundRect: left, top, right, bottom (RoundRect then corner width, height).
  // Arc, Chord, Pie: the box, then start angle and sweep in degrees.
  double A[6];
};
using TVPath = std::vector<TVPathOp>;

class PIXORAN_PLATFORM_EXPORT TVectorCanvas {
 public:
  explicit TVectorCanvas(TBitmap& target);
  ~TVectorCanvas();
  TVectorCanvas(const TVectorCanvas&) = delete;
  TVectorCanvas& operator=(const TVectorCanvas&) = delete;

  // x' = x m11 + y m21 + dx, y' = x m12 + y m22 + dy. A transform that is not
  // finite makes the drawing calls do nothing.
  void SetTransform(double m11, double m12, double m21, double m22, double dx, double dy);
  // A device rectangle that clips everything drawn, or none.
  void SetClip(const double* leftTopRightBottom);

  // Fills (winding or alternate rule) then outlines the path. Hatches show
  // the background colour between their lines when opaque.
  void DrawPath(const TVPath& path, bool winding, const TVPen& pen, const TVBrush& brush, TColor background,
                bool opaqueBackground);
  // The source rectangle of image stretched over the transformed rectangle.
  void DrawImage(double x, double y, double w, double h, const TVImage& image, int32_t sx, int32_t sy, int32_t sw,
                 int32_t sh);
  // Text at a device point; align holds the horizontal (0 left, 2 right,
  // 6 centre) and vertical (0 top, 8 bottom, 24 baseline) flags. Nothing
  // is drawn without a GUI application (fonts need one).
  void DrawText(double x, double y, const std::u16string& text, const TVFont& font, TColor color, uint32_t align,
                bool opaqueBackground, TColor background);

  // Pixels the calls so far may have touched.
  int64_t Work() const { return work_; }

 private:
  bool Charge(double left, double top, double right, double bottom, int64_t extra);
  TBitmap& target_;
  std::unique_ptr<QPainter> painter_;
  bool transformValid_ = true;
  int64_t work_ = 0;
};

}  // namespace pixoran
