// The viewer's painting: the back buffer is recomposed only while dirty
// (background, layers through the renderer, selection overlays, pixel
// grid), then goes to the window, where the selection outline, OnPaint and
// the version caption are drawn over it.
#include <algorithm>

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
  const TPXRenderRect same{visCol_, visRow_, visImgW_, visImgH_, offX_, offY_, visCliW_, visCliH_};
  if (same.SrcX != renderKey_.SrcX || same.SrcY != renderKey_.SrcY || same.SrcWidth != renderKey_.SrcWidth ||
      same.SrcHeight != renderKey_.SrcHeight || same.DstX != renderKey_.DstX || same.DstY != renderKey_.DstY ||
      same.DstWidth != renderKey_.DstWidth || same.DstHeight != renderKey_.DstHeight) {
    renderTables_.Clear();
    renderKey_ = same;
    // The renderer steps through the source with the view's own tables, so
    // every client pixel shows the column and row the conversions name.
    auto steps = [](std::vector<int32_t>& out, const std::vector<int32_t>& visible, int32_t offset, int32_t count) {
      if (static_cast<size_t>(count) > visible.size()) return;
      out.assign(static_cast<size_t>(offset) + count, 0);
      std::copy(visible.begin(), visible.begin() + count, out.begin() + offset);
    };
    steps(renderTables_.XSteps, tabX_.PixToCol, offX_, visCliW_);
    steps(renderTables_.YSteps, tabY_.PixToCol, offY_, visCliH_);
  }
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
    if (layersSameSize_) {
      o.Filter = FilterFor(false);
      o.FreeTables = false;
      layer.ClientRect = Rect(offX_, offY_, offX_ + visCliW_, offY_ + visCliH_);
      RenderToTBitmap(*b, buffer, same, o, &renderTables_);
    } else {
      // Placed by its own position and display size.
      const int32_t x1 = BitmapToScreenX(layer.PosX), y1 = BitmapToScreenY(layer.PosY);
      const int32_t x2 = BitmapToScreenX(layer.PosX + layer.GetWidth());
      const int32_t y2 = BitmapToScreenY(layer.PosY + layer.GetHeight());
      layer.ClientRect = Rect(x1, y1, x2, y2);
      TPXRenderRect r{0, 0, b->Width(), b->Height(), x1, y1, x2 - x1, y2 - y1};
      if (layer.Clip && layer.GetWidth() > 0 && layer.GetHeight() > 0) {
        // Cut what lies left of or above the image and right of or below the
        // extent; the source shrinks in proportion.
        const double sx = static_cast<double>(b->Width()) / layer.GetWidth();
        const double sy = static_cast<double>(b->Height()) / layer.GetHeight();
        const int32_t cutL = std::max(0, -layer.PosX), cutT = std::max(0, -layer.PosY);
        const int32_t cutR = std::max(0, layer.PosX + layer.GetWidth() - extentW_);
        const int32_t cutB = std::max(0, layer.PosY + layer.GetHeight() - extentH_);
        const int32_t w = layer.GetWidth() - cutL - cutR, h = layer.GetHeight() - cutT - cutB;
        if (w <= 0 || h <= 0) continue;
        const int32_t cx1 = BitmapToScreenX(layer.PosX + cutL), cy1 = BitmapToScreenY(layer.PosY + cutT);
        const int32_t cx2 = BitmapToScreenX(layer.PosX + cutL + w), cy2 = BitmapToScreenY(layer.PosY + cutT + h);
        r = TPXRenderRect{RoundToInt32(cutL * sx),
                          RoundToInt32(cutT * sy),
                          RoundToInt32(w * sx),
                          RoundToInt32(h * sy),
                          cx1,
                          cy1,
                          cx2 - cx1,
                          cy2 - cy1};
      }
      o.Filter = FilterFor(layer.Width != 0 || layer.Height != 0);
      if (i > 0 && layer.SoftShadow && layer.ShadowRadius >= 1.0) DrawLayerShadow(buffer, layer, x1, y1, x2, y2, o);
      RenderToTBitmap(*b, buffer, r, o);
      DrawLayerFrame(buffer, layer, i == currentLayer_);
    }
    drawn = true;
  }
  if (!drawn) PaintBackground(buffer, &rect);
  if (HasFinishedSelection()) {
    if (SelectionOptions & pxsoFilled)
      mask_->DrawXor(buffer, Rect(offX_, offY_, offX_ + visCliW_, offY_ + visCliH_),
                     Rect(visCol_, visRow_, visCol_ + visImgW_, visRow_ + visImgH_));
    if (SelectionOptions & pxsoMarkOuter)
      mask_->DrawToTBitmap(buffer, offX_ - SnapViewX(viewX_), offY_ - SnapViewY(viewY_), zoomW_, zoomH_);
    // A selection its outline does not describe (a wand's fill, alone or
    // with outlines): unless filled or marked, the mask's own dashed edge
    // shows what is selected.
    if (maskBeyondOutline_ && !(SelectionOptions & (pxsoFilled | pxsoMarkOuter)))
      mask_->DrawOutline(buffer, poly_.Color1, poly_.Color2, zoomW_, zoomH_, offX_ - SnapViewX(viewX_),
                         offY_ - SnapViewY(viewY_), 0, 0);
  }
  DrawPixelGrid(buffer);
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
