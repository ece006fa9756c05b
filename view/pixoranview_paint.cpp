// The viewer's painting: the back buffer is recomposed only while dirty
// (background, layers through the renderer, selection overlays, pixel
// grid), then goes to the window, where the selection outline, OnPaint and
// the version caption are drawn over it.
#include <algorithm>
#include <limits>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "proc/pxfilters.h"
#include "view/pixoranview.h"

namespace pixoran {

std::string TPixoranView::VersionCaption() { return "Pixoran Version 2.1.7 - 9/11/2004"; }

void TPixoranView::SetBackgroundStyle(TPXBackgroundStyle style) {
  backgroundStyle_ = style;
  Invalidate();
  Update();
}

void TPixoranView::SetChessboardStyle(int32_t size, TBrushStyle brushStyle) {
  squareSize_ = size;
  squareBrush_ = brushStyle;
}

void TPixoranView::SetGradientEndColor(TColor c) {
  gradientColour_ = c;
  dirty_ = true;
  Invalidate();
}

void TPixoranView::SetPixelGrid(bool value) {
  pixelGrid_ = value;
  Update();
}

void TPixoranView::SetDrawVersion(bool value) {
  drawVersion_ = value;
  Update();
}

void TPixoranView::InvalidateViewRect(const TRect& r) {
  dirty_ = true;
  InvalidateRect(r);
}

// ------------------------------------------------------------ to the window

void TPixoranView::Paint() {
  if (!HasParentWindow() || ClientWidth() == 0 || ClientHeight() == 0) return;
  if (transition_ && transition_->PaintFrame(BackBuffer())) {
    // The frame covers the buffer: the picture is composed again afterwards.
    dirty_ = true;
    return;
  }
  if (updateLock_ == 0) {
    TBitmap& buffer = BackBuffer();
    if (buffer.Width() != bufW_ || buffer.Height() != bufH_) {
      bufW_ = buffer.Width();
      bufH_ = buffer.Height();
      dirty_ = true;
    }
    if (dirty_) {
      // The whole buffer: composing only the exposed part would leave the
      // rest stale once the flag is cleared.
      DrawLayersToBackBuffer(buffer, Rect(0, 0, bufW_, bufH_));
      if (OnDrawBackBuffer) OnDrawBackBuffer(this);
      dirty_ = false;
    }
  }
  // Each repaint counts the delayed filter down, so a burst of scrolling is
  // drawn unfiltered and the filtered picture follows when it stops.
  CountDownDelay();
}

void TPixoranView::PaintWindowOverlay() {
  TCanvas& window = WindowCanvas();
  if (updateLock_ == 0) DrawRubberBand(window);
  DrawSelectionOutline(window);
  if (OnPaint) OnPaint(this);
  if (drawVersion_) {
    const TFont savedFont = window.Font;
    const TBrush savedBrush = window.Brush;
    window.Font = TFont{};
    window.Font.Name = "Arial";
    window.Font.Height = 13;
    window.Font.Color = clBlack;
    window.Brush.Color = clWhite;
    window.Brush.Style = bsSolid;
    const std::string text = VersionCaption();
    window.TextOut(ClientWidth() - window.TextWidth(text), ClientHeight() - window.TextHeight(text), text);
    window.Font = savedFont;
    window.Brush = savedBrush;
  }
}

// ------------------------------------------------------------ composing

TResampleFilter TPixoranView::FilterFor(bool ownDisplaySize) {
  if (delay1_ > 0) return rfNone;
  return zoom_ != 100.0 || ownDisplaySize ? zoomFilter_ : rfNone;
}

// An opaque picture covering the whole buffer hides the background.
bool TPixoranView::BackgroundHidden() {
  const bool alphaShown = enableAlpha_ && image_->HasAlphaChannel() && !image_->GetAlphaChannel()->Full;
  return offX_ < 1 && offY_ < 1 && bufW_ <= visCliW_ && bufH_ <= visCliH_ && !alphaShown && layers_[0]->Opacity > 254;
}

void TPixoranView::PaintBackground(TBitmap& buffer, const TRect* rect, bool coveredByLayer) {
  if (BackgroundHidden()) return;
  TCanvas& c = buffer.Canvas();
  const int32_t w = buffer.Width(), h = buffer.Height();
  const TRect image = Rect(offX_, offY_, offX_ + visCliW_, offY_ + visCliH_);
  TRect limit = Rect(0, 0, w, h);
  if (rect) limit = Rect(rect->Left, rect->Top, rect->Right + 1, rect->Bottom + 1);
  auto paint = [&](TRect r) {
    r = Rect(std::max(r.Left, limit.Left), std::max(r.Top, limit.Top), std::min(r.Right, limit.Right),
             std::min(r.Bottom, limit.Bottom));
    if (r.Width() <= 0 || r.Height() <= 0) return;
    c.SetClipRect(&r);
    PaintBackgroundStyle(false, c, backgroundStyle_, Background(), 0, 0, w, h, image, squareSize_, squareBrush_,
                         gradientColour_);
  };
  if (coveredByLayer) {
    // The first layer will cover the picture's rectangle whole: only the
    // strips around it need the background (the pixels come out the same).
    paint(Rect(0, 0, w, image.Top));
    paint(Rect(0, image.Bottom, w, h));
    paint(Rect(0, image.Top, image.Left, image.Bottom));
    paint(Rect(image.Right, image.Top, w, image.Bottom));
  } else {
    paint(Rect(0, 0, w, h));
  }
  c.SetClipRect(nullptr);
}

void TPixoranView::DrawLayersToBackBuffer(TBitmap& buffer, const TRect& rect) {
  bufW_ = buffer.Width();
  bufH_ = buffer.Height();
  SyncLayers();
  ComputeVisibleRect();
  RebuildCoordTables();
  TPXBitmap* alpha = image_->HasAlphaChannel() ? image_->GetAlphaChannel() : nullptr;
  if (image_->Width() == 0 || image_->Height() == 0 ||
      (alpha && (alpha->Width() != image_->Width() || alpha->Height() != image_->Height()))) {
    // Nothing to show yet: the background at least, not what the buffer held.
    PaintBackground(buffer, &rect);
    return;
  }
  PlaceMask();
  bool drawn = false;
  for (int32_t i = 0; i < GetLayersCount(); ++i) {
    TPXLayer& layer = *layers_[static_cast<size_t>(i)];
    TPXBitmap* b = layer.Bitmap();
    if (!layer.Visible || visCliW_ <= 0 || visCliH_ <= 0 || !b || (b->Width() <= 1 && b->Height() <= 1)) continue;
    const bool alphaShown = enableAlpha_ && b->HasAlphaChannel() && !b->GetAlphaChannel()->Full;
    const bool fill = !drawn && backgroundStyle_ == pxbsSolid;
    if (!drawn)
      PaintBackground(buffer, &rect,
                      layersSameSize_ && (fill || (layer.Opacity >= 255 && layer.BlendMode == 0 && !alphaShown)));
    TPXRenderOptions o;
    o.BlendMode = layer.BlendMode;
    o.Opacity = static_cast<uint8_t>(std::clamp(layer.Opacity, 0, 255));
    o.UseAlpha = enableAlpha_;
    o.FillTransparent = fill;
    o.Background = Background();
    o.RowCopy = true;
    o.FreeTables = false;
    if (layersSameSize_) {
      o.Filter = FilterFor(false);
      layer.ClientRect = Rect(offX_, offY_, offX_ + visCliW_, offY_ + visCliH_);
      RenderLayer(*b, buffer, 0, 0, b->Width(), b->Height(), true, o);
    } else {
      // Placed by its own position and display size.
      const int32_t x1 = BitmapToScreenX(layer.PosX), y1 = BitmapToScreenY(layer.PosY);
      const int32_t x2 = BitmapToScreenX(layer.PosX + layer.GetWidth());
      const int32_t y2 = BitmapToScreenY(layer.PosY + layer.GetHeight());
      layer.ClientRect = Rect(x1, y1, x2, y2);
      o.Filter = FilterFor(layer.Width != 0 || layer.Height != 0);
      if (i > 0 && layer.SoftShadow && layer.ShadowRadius >= 1.0) DrawLayerShadow(buffer, layer, x1, y1, x2, y2, o);
      RenderLayer(*b, buffer, layer.PosX, layer.PosY, layer.GetWidth(), layer.GetHeight(), layer.Clip, o);
      DrawLayerFrame(buffer, layer, i == currentLayer_);
    }
    drawn = true;
  }
  if (!drawn) PaintBackground(buffer, &rect);
  if (HasFinishedSelection()) {
    // Placed by the coordinate tables, like the picture. The outline of a
    // selection its polygon does not describe is drawn on the window, so
    // its dashes march.
    const TRect all = Rect(0, 0, bufW_, bufH_);
    if (SelectionOptions & pxsoFilled) mask_->DrawXorPlaced(buffer, maskPlace_, all);
    if (SelectionOptions & pxsoMarkOuter) mask_->ShadePlaced(buffer, maskPlace_, all);
  }
  DrawPixelGrid(buffer);
}

namespace {

// Steps of one axis of a layer: the client positions [lo, hi) that show it
// and the layer column (row) at each, from the column (row) of the image
// each shows. False when none does.
template <class ColumnAt>
bool LayerAxisSteps(std::vector<int32_t>& steps, int32_t size, int32_t from, int32_t to, ColumnAt columnAt, int32_t& lo,
                    int32_t& hi) {
  steps.assign(static_cast<size_t>(std::max(size, 0)), 0);
  lo = hi = 0;
  for (int32_t x = std::max(from, 0); x < std::min(to, size); ++x) {
    const int64_t u = columnAt(x);
    if (u < 0) continue;
    if (u == std::numeric_limits<int64_t>::max()) break;  // past the layer: the rest is too
    if (hi == 0) lo = x;
    hi = x + 1;
    steps[static_cast<size_t>(x)] = static_cast<int32_t>(u);
  }
  return hi > lo;
}

}  // namespace

void TPixoranView::RenderLayer(TPXBitmap& b, TBitmap& buffer, int32_t posX, int32_t posY, int32_t width, int32_t height,
                               bool clip, const TPXRenderOptions& o) {
  const int32_t bw = b.Width(), bh = b.Height();
  if (bw <= 0 || bh <= 0 || width <= 0 || height <= 0) return;
  // Only what lands on the client, each client pixel taking the column and
  // row the coordinate tables give it: at any zoom the picture is where the
  // conversions say, and nothing is cut away in proportion to a
  // destination far larger than the client.
  auto axis = [&](bool vertical) {
    return [this, vertical, bw, bh, posX, posY, width, height, clip](int32_t x) -> int64_t {
      const int64_t image = vertical ? ImageRowAtClient(x) : ImageColumnAtClient(x);
      const int32_t extent = vertical ? extentH_ : extentW_, pos = vertical ? posY : posX;
      const int32_t size = vertical ? height : width, bsize = vertical ? bh : bw;
      if (clip && (image < 0 || image >= extent)) return image < 0 ? -1 : std::numeric_limits<int64_t>::max();
      int64_t u = image - pos;
      if (size != bsize) {
        // A layer of its own display size: its pixel under the client
        // pixel's position in the image.
        const int64_t j = vertical ? int64_t{x} - offY_ + tabY_.PixStart : int64_t{x} - offX_ + tabX_.PixStart;
        const double at = (static_cast<double>(j) * zoomInv_ - pos) * bsize / size;
        u = at < 0 ? -1 : static_cast<int64_t>(std::min(at, 9.0e18));
      }
      if (u >= bsize) return std::numeric_limits<int64_t>::max();
      return u;
    };
  };
  // Layers drawn as the image keep to the picture's visible part.
  const int32_t fromX = clip ? offX_ : 0, fromY = clip ? offY_ : 0;
  const int32_t toX = clip ? offX_ + OnClientPixels(visCliW_, bufW_, offX_) : bufW_;
  const int32_t toY = clip ? offY_ + OnClientPixels(visCliH_, bufH_, offY_) : bufH_;
  int32_t x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  if (!LayerAxisSteps(renderTables_.XSteps, bufW_, fromX, toX, axis(false), x1, x2) ||
      !LayerAxisSteps(renderTables_.YSteps, bufH_, fromY, toY, axis(true), y1, y2))
    return;
  const int32_t sx = renderTables_.XSteps[static_cast<size_t>(x1)], sy = renderTables_.YSteps[static_cast<size_t>(y1)];
  const int32_t sw = renderTables_.XSteps[static_cast<size_t>(x2) - 1] - sx + 1;
  const int32_t sh = renderTables_.YSteps[static_cast<size_t>(y2) - 1] - sy + 1;
  if (sw <= 0 || sh <= 0) return;
  RenderToTBitmap(b, buffer, TPXRenderRect{sx, sy, sw, sh, x1, y1, x2 - x1, y2 - y1}, o, &renderTables_);
}

void TPixoranView::PlaceMask() {
  // Client column x shows mask column Cols[x + 1]; the entries beside the
  // client look past its edge, where the picture may go on.
  auto axis = [](std::vector<int32_t>& out, const TAxisTables& t, int32_t size, int32_t offset, int32_t visible,
                 int32_t zoomed) {
    out.resize(static_cast<size_t>(std::max(size, 0)) + 2);
    for (int32_t x = -1; x <= size; ++x) {
      const int64_t d = int64_t{x} - offset, j = t.PixStart + d;
      out[static_cast<size_t>(x + 1)] = t.Exist() && d < visible && j >= 0 && j < zoomed ? t.Column(j) : -1;
    }
  };
  axis(maskPlace_.Cols, tabX_, bufW_, offX_, visCliW_, zoomW_);
  axis(maskPlace_.Rows, tabY_, bufH_, offY_, visCliH_, zoomH_);
  maskPlace_.ZoomX = int64_t{tabX_.PixStart} - offX_;
  maskPlace_.ZoomY = int64_t{tabY_.PixStart} - offY_;
}

void TPixoranView::DrawLayerShadow(TBitmap& buffer, const TPXLayer& layer, int32_t x1, int32_t y1, int32_t x2,
                                   int32_t y2, const TPXRenderOptions& layerOptions) {
  const int64_t w = int64_t{x2} - x1, h = int64_t{y2} - y1;
  if (w <= 0 || h <= 0) return;
  // A black shape of the layer's client rectangle whose alpha is the whole
  // rectangle (kind 0) or a rectangle inset by the radius (kind 1); the soft
  // shadow grows it by its margin and the result is drawn below the layer,
  // moved by half that margin. Only the part of the shape that can reach
  // the buffer is made: the buffer grown by twice the margin, which the blur
  // and the move never cross, so the edges come out as from the whole shape.
  const int64_t margin = std::max<int64_t>(TruncToInt32(layer.ShadowRadius * 5), 1);
  const int64_t guard = 2 * margin + 2;
  const int64_t sx1 = std::max<int64_t>(x1, -guard), sy1 = std::max<int64_t>(y1, -guard);
  const int64_t sx2 = std::min<int64_t>(x2, int64_t{buffer.Width()} + guard);
  const int64_t sy2 = std::min<int64_t>(y2, int64_t{buffer.Height()} + guard);
  if (sx1 >= sx2 || sy1 >= sy2) return;
  TPXBitmap shadow;
  if (!shadow.Allocate(static_cast<int32_t>(sx2 - sx1), static_cast<int32_t>(sy2 - sy1), pxBGR24)) return;
  TPXBitmap* alpha = shadow.GetAlphaChannel();
  if (!alpha) return;
  if (layer.ShadowKind == 1) {
    const int64_t inset = std::min<int64_t>({static_cast<int64_t>(layer.ShadowRadius), (w - 1) / 2, (h - 1) / 2});
    auto part = [](int64_t v) { return static_cast<int32_t>(std::clamp<int64_t>(v, -1, INT32_MAX)); };
    alpha->Fill(0);
    alpha->FillRect(part(x1 + inset - sx1), part(y1 + inset - sy1), part(x2 - 1 - inset - sx1),
                    part(y2 - 1 - inset - sy1), 255);
  } else {
    alpha->Fill(255);
  }
  alpha->SyncFull();
  try {
    AddSoftShadowToBitmap(shadow, 0, 0, {}, TBGR{0, 0, 0}, true, layer.ShadowRadius);
  } catch (const std::exception&) {
    return;
  }
  TPXRenderOptions o = layerOptions;
  o.UseAlpha = true;
  o.FillTransparent = false;
  o.RowCopy = false;
  o.Filter = rfNone;
  RenderToTBitmap(shadow, buffer,
                  TPXRenderRect{0, 0, shadow.Width(), shadow.Height(), static_cast<int32_t>(sx1),
                                static_cast<int32_t>(sy1), shadow.Width(), shadow.Height()},
                  o);
}

void TPixoranView::DrawLayerFrame(TBitmap& buffer, TPXLayer& layer, bool current) {
  if (!layer.Frame) return;
  const bool layerModes = (mouseInteract_ & (miMoveLayers | miResizeLayers)) != 0;
  if (!(current ? layerModes : showAllFrames_)) return;
  TCanvas& c = buffer.Canvas();
  const TPen savedPen = c.Pen;
  const TBrush savedBrush = c.Brush;
  const TRect& r = layer.ClientRect;
  c.Pen = TPen{};
  c.Pen.Mode = pmNot;
  c.Pen.Style = psDot;
  c.Brush.Style = bsClear;
  c.Rectangle(r);
  if (current && (mouseInteract_ & miResizeLayers) && !layer.Locked) {
    c.Pen = TPen{};
    c.Pen.Color = clBlack;
    c.Brush.Style = bsSolid;
    c.Brush.Color = clWhite;
    const int32_t mx = (r.Left + r.Right) / 2, my = (r.Top + r.Bottom) / 2;
    const int32_t xs[8] = {r.Left, r.Right, r.Right, r.Left, r.Left, r.Right, mx, mx};
    const int32_t ys[8] = {r.Top, r.Top, r.Bottom, r.Bottom, my, my, r.Top, r.Bottom};
    for (int k = 0; k < 8; ++k) c.Rectangle(Rect(xs[k] - 4, ys[k] - 4, xs[k] + 5, ys[k] + 5));
  }
  c.Pen = savedPen;
  c.Brush = savedBrush;
}

void TPixoranView::DrawPixelGrid(TBitmap& buffer) {
  if (!pixelGrid_ || zoom_ < 400.0 || (extentW_ <= 1 && extentH_ <= 1)) return;
  TCanvas& c = buffer.Canvas();
  const TPen saved = c.Pen;
  c.Pen = TPen{};
  c.Pen.Mode = pmNot;
  const int32_t x1 = BitmapToScreenX(visCol_), x2 = BitmapToScreenX(visCol_ + visImgW_);
  const int32_t y1 = BitmapToScreenY(visRow_), y2 = BitmapToScreenY(visRow_ + visImgH_);
  for (int32_t r = visRow_ + 1; r < visRow_ + visImgH_; ++r) {
    const int32_t y = BitmapToScreenY(r);
    c.MoveTo(x1, y);
    c.LineTo(x2, y);
  }
  for (int32_t col = visCol_ + 1; col < visCol_ + visImgW_; ++col) {
    const int32_t x = BitmapToScreenX(col);
    c.MoveTo(x, y1);
    c.LineTo(x, y2);
  }
  c.Pen = saved;
}

}  // namespace pixoran
