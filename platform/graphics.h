#pragma once
// Framework graphics: colours, the platform bitmap over QImage and a small
// canvas. The platform bitmap owns its QImage and never shares it, so the row
// pointers handed out by ScanLine stay valid until the bitmap itself changes.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <QImage>

#include "platform/pxexport.h"
#include "platform/classes.h"

class QPainter;

namespace pixoran {

// Framework colour: red in bits 0-7, green 8-15, blue 16-23. A value with
// the high bit set names a system colour (its low byte is the index).
using TColor = int32_t;
constexpr TColor clBlack = 0x000000;
constexpr TColor clWhite = 0xFFFFFF;
constexpr TColor clRed = 0x0000FF;
constexpr TColor clLime = 0x00FF00;
constexpr TColor clBlue = 0xFF0000;
constexpr TColor clGray = 0x808080;
constexpr TColor clSilver = 0xC0C0C0;
constexpr TColor clYellow = 0x00FFFF;
constexpr TColor clNone = 0x1FFFFFFF;
constexpr TColor clSystemColor = static_cast<TColor>(0x80000000u);
constexpr TColor clScrollBar = clSystemColor | 0;
constexpr TColor clBackground = clSystemColor | 1;
constexpr TColor clWindow = clSystemColor | 5;
constexpr TColor clWindowText = clSystemColor | 8;
constexpr TColor clHighlight = clSystemColor | 13;
constexpr TColor clHighlightText = clSystemColor | 14;
constexpr TColor clBtnFace = clSystemColor | 15;
constexpr TColor clBtnShadow = clSystemColor | 16;
constexpr TColor clBtnText = clSystemColor | 18;
constexpr TColor clBtnHighlight = clSystemColor | 20;

// Resolves a system colour to its RGB value; plain colours pass unchanged.
PIXORAN_PLATFORM_EXPORT TColor ColorToRGB(TColor color);
inline TColor RGBColor(uint8_t r, uint8_t g, uint8_t b) { return r | (g << 8) | (b << 16); }

enum TPixelFormat { pfDevice, pf1bit, pf4bit, pf8bit, pf15bit, pf16bit, pf24bit, pf32bit, pfCustom };

struct PIXORAN_PLATFORM_EXPORT TRect {
  int Left = 0, Top = 0, Right = 0, Bottom = 0;  // right and bottom exclusive
  int Width() const { return Right - Left; }
  int Height() const { return Bottom - Top; }
};
inline TRect Rect(int l, int t, int r, int b) { return TRect{l, t, r, b}; }

// One palette entry as the framework stores it: red, green, blue, flags.
struct PIXORAN_PLATFORM_EXPORT TPaletteEntry {
  uint8_t Red = 0, Green = 0, Blue = 0, Flags = 0;
};

class TBitmap;

// Brush styles: a solid fill, none, or a hatch in the brush colour over the
// canvas's background colour.
enum TBrushStyle : uint8_t {
  bsSolid,
  bsClear,
  bsHorizontal,
  bsVertical,
  bsFDiagonal,
  bsBDiagonal,
  bsCross,
  bsDiagCross
};
struct PIXORAN_PLATFORM_EXPORT TBrush {
  TColor Color = clWhite;
  TBrushStyle Style = bsSolid;
};
// Pen modes: pmCopy draws the pen colour, pmNot inverts what lies under the
// pen, pmXor exclusive-ors the pen colour in.
enum TPenMode : uint8_t { pmCopy, pmNot, pmXor };
// Pen styles keep the framework's numbers: psDot sets every other pixel
// along the line, psDash runs of 6 on and 2 off, psDashDot and psDashDotDot
// mix the two, psClear (5) draws no outline, psInsideFrame draws solid.
// Pens wider than one pixel draw solid whatever their style.
enum TPenStyle : uint8_t { psSolid, psDash, psDot, psDashDot, psDashDotDot, psClear, psInsideFrame };
struct PIXORAN_PLATFORM_EXPORT TPen {
  TColor Color = clBlack;
  int Width = 1;
  TPenMode Mode = pmCopy;
  TPenStyle Style = psSolid;
};
struct PIXORAN_PLATFORM_EXPORT TFont {
  std::string Name = "Noto Sans CJK SC";
  int Size = 10;   // points
  int Height = 0;  // pixels; when above 0 it decides instead of Size
  TColor Color = clBlack;
  bool Bold = false, Italic = false, Underline = false, StrikeOut = false;
  // Character-cell height in pixels (ascent plus descent); when above 0 it
  // decides instead of Height and Size.
  int CellHeight = 0;
  // Angle of the text's baseline in tenths of a degree, counter-clockwise.
  int Escapement = 0;
  bool Antialias = true;
  // Set when the size came out as 0 pixels: the text draws nothing.
  bool Empty = false;
};

// Heights of fonts given in points: -Round(size * 96 / 72), the negative
// height of a character of that size.
PIXORAN_PLATFORM_EXPORT int32_t PointsToLogHeight(double points);

// The framework's 60-byte logical font. Height: negative is the character
// height in pixels, positive the cell height, 0 the default size.
// Escapement in tenths of a degree, counter-clockwise. Weight 700 and above
// is bold. Quality 3 asks for plain, 4 for antialiased glyphs. The face
// name is UTF-8, zero-terminated.
struct PIXORAN_PLATFORM_EXPORT TPXLogFont {
  int32_t Height = 0;
  int32_t Width = 0;
  int32_t Escapement = 0;
  int32_t Orientation = 0;
  int32_t Weight = 400;
  uint8_t Italic = 0, Underline = 0, StrikeOut = 0, CharSet = 1;
  uint8_t OutPrecision = 0, ClipPrecision = 0, Quality = 0, PitchAndFamily = 0;
  char FaceName[32] = {};
};
static_assert(sizeof(TPXLogFont) == 60);
PIXORAN_PLATFORM_EXPORT std::string LogFontFaceName(const TPXLogFont& lf);
// Stores at most 31 bytes, never splitting a character.
PIXORAN_PLATFORM_EXPORT void SetLogFontFaceName(TPXLogFont& lf, const std::string& utf8);
// The canvas font the logical font describes (colour left as it was).
PIXORAN_PLATFORM_EXPORT void FontFromLogFont(const TPXLogFont& lf, TFont& font);
// The logical font of a canvas font (sizes in points by PointsToLogHeight).
PIXORAN_PLATFORM_EXPORT TPXLogFont LogFontFromFont(const TFont& font);

struct PIXORAN_PLATFORM_EXPORT TPoint {
  int X = 0, Y = 0;
  friend bool operator==(const TPoint&, const TPoint&) = default;
};

// Text alignment of TextOut, in the framework's flag values: horizontal
// taLeft, taRight, taCenter; vertical taTop, taBottom, taBaseline.
constexpr uint32_t taLeft = 0, taRight = 2, taCenter = 6, taTop = 0, taBottom = 8, taBaseline = 24;

// Drawing surface of one platform bitmap. Each call paints and finishes, so
// the bitmap's row pointers stay valid between calls.
class PIXORAN_PLATFORM_EXPORT TCanvas {
 public:
  explicit TCanvas(TBitmap& owner) : owner_(owner) {}
  TBrush Brush;
  TPen Pen;
  TFont Font;

  // The background colour of hatched brushes (and of nothing else); clNone
  // leaves the background between the hatch lines alone.
  TColor BackColor = clWhite;
  // Where TextOut's point lies on the text (ta... flags).
  uint32_t TextAlign = taLeft | taTop;

  // Fills with the brush (nothing with bsClear).
  void FillRect(const TRect& r);
  TColor Pixel(int x, int y) const;
  void SetPixel(int x, int y, TColor c);
  void MoveTo(int x, int y) { penX_ = x, penY_ = y; }
  // Like GDI: the end point itself is not drawn.
  void LineTo(int x, int y);
  // Outline with the pen (its right and bottom lines at Right - 1 and
  // Bottom - 1), inside filled with the brush.
  void Rectangle(const TRect& r);
  // The two-pixel sunken edge of a client area: shadow and dark shadow at
  // the top and left, highlight and light at the bottom and right.
  void DrawSunkenEdge(const TRect& r);
  // A two-colour gradient across the rectangle, from colour1 at the top
  // (vertical) or left to colour2 at the bottom or right.
  void GradientFill(const TRect& r, TColor colour1, TColor colour2, bool vertical);
  void Draw(int x, int y, const TBitmap& source);
  void StretchDraw(const TRect& dest, const TBitmap& source);
  // Outline with the pen inside the box (its right and bottom edges left
  // out), filled with the brush.
  void Ellipse(const TRect& box);
  // The outline of the box's ellipse counter-clockwise from the ray towards
  // (xs, ys) to the ray towards (xe, ye); coinciding rays give the whole
  // ellipse.
  void Arc(const TRect& box, int xs, int ys, int xe, int ye);
  // A closed outline through the points, filled with the brush.
  void Polygon(const TPoint* points, int count);
  // An open line through the points (its last pixel left out).
  void Polyline(const TPoint* points, int count);
  // With a clear brush only the glyphs are drawn; otherwise the text's
  // cell is first filled with the brush colour. The font's escapement turns
  // the text about (x, y).
  void TextOut(int x, int y, const std::string& utf8);
  // TextOut cut to the rectangle.
  void TextRect(const TRect& clip, int x, int y, const std::string& utf8);
  int TextWidth(const std::string& utf8) const;
  int TextHeight(const std::string& utf8) const;
  // Distance from the top of the cell to the baseline.
  int TextAscent() const;

  // Drawing is cut to this rectangle (a copy is kept), or not at all.
  void SetClipRect(const TRect* clip);
  // The clip rectangle, or the whole bitmap without one.
  TRect ClipRect() const;

  // Sends the drawing calls to a painter open on another device (the
  // printer's page) instead of the owner bitmap; nullptr goes back to the
  // bitmap. Pixel reads and the inverting pen modes need the bitmap and do
  // nothing on such a device.
  void SetExternalPainter(QPainter* painter) { external_ = painter; }

 private:
  template <typename Fn>
  void Paint(Fn&& fn);
  void PixelLine(int x0, int y0, int x1, int y1, bool lastPixel, int width = 1);
  void Span(int y, int x0, int x1, TColor colour, TPenMode mode);
  TBitmap& owner_;
  QPainter* external_ = nullptr;
  int penX_ = 0, penY_ = 0;
  bool clipped_ = false;
  TRect clip_;
};

class PIXORAN_PLATFORM_EXPORT TBitmap : public TObject {
 public:
  TBitmap();
  ~TBitmap();
  TBitmap(const TBitmap&) = delete;
  TBitmap& operator=(const TBitmap&) = delete;

  int Width() const { return image_.width(); }
  int Height() const { return image_.height(); }
  // Resizing keeps the top-left content and zero-fills what is gained.
  void SetWidth(int w) { SetSize(w, Height()); }
  void SetHeight(int h) { SetSize(Width(), h); }
  void SetSize(int w, int h);
  bool Empty() const { return image_.isNull() || Width() == 0 || Height() == 0; }

  TPixelFormat PixelFormat() const { return format_; }
  // Converts the content; pf4bit is held as pf8bit, pfDevice and pfCustom as pf24bit.
  void SetPixelFormat(TPixelFormat pf);

  // Row y, top row 0; nullptr when out of range or empty.
  uint8_t* ScanLine(int y);
  const uint8_t* ScanLine(int y) const;
  int BytesPerLine() const { return image_.isNull() ? 0 : static_cast<int>(image_.bytesPerLine()); }

  // Palette of pf1bit and pf8bit bitmaps (empty for the others).
  int PaletteSize() const { return static_cast<int>(image_.colorCount()); }
  TPaletteEntry GetPaletteEntry(int i) const;
  void SetPaletteEntries(int start, const std::vector<TPaletteEntry>& entries);
  // True for a pf1bit bitmap whose palette is black then white.
  bool Monochrome() const;

  TCanvas& Canvas();
  void Assign(const TBitmap& source);  // deep copy
  void FreeImage();

  // A deep copy for Qt code (painting, saving); never the held image.
  QImage ToQImage() const { return image_.copy(); }
  // Replaces the content with a deep copy of a QImage (converted to the nearest held format).
  void FromQImage(const QImage& img);
  // The held image, for platform-layer painting only.
  QImage& Image() { return image_; }
  const QImage& Image() const { return image_; }

  // Whoever changes the pixels announces it with Modified; a control that
  // shows the bitmap repaints on OnChange.
  TNotifyEvent OnChange;
  void Modified() {
    if (OnChange) OnChange(this);
  }

 private:
  QImage image_;
  TPixelFormat format_ = pf24bit;
  std::unique_ptr<TCanvas> canvas_;
};

PIXORAN_PLATFORM_EXPORT QImage::Format QtFormatOf(TPixelFormat pf);

// Size of the primary screen in pixels (0 without a GUI application).
PIXORAN_PLATFORM_EXPORT int ScreenWidth();
PIXORAN_PLATFORM_EXPORT int ScreenHeight();
// Bits per pixel and logical dots per inch of the primary screen (24 and 96
// without a GUI application).
PIXORAN_PLATFORM_EXPORT int ScreenColorDepth();
PIXORAN_PLATFORM_EXPORT int ScreenDpiX();
PIXORAN_PLATFORM_EXPORT int ScreenDpiY();

}  // namespace pixoran
