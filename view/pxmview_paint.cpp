// The thumbnail view's painting: background, the visible thumbnails with
// their prepared copies, captions, borders and selection frames.
#include <algorithm>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_diblist.h"
#include "core/pxrender.h"
#include "core/pxresample.h"
#include "proc/pxfilters.h"
#include "view/pxbackground.h"
#include "view/pxmview.h"

namespace pixoran {

namespace {

// Start of each UTF-8 character.
std::vector<size_t> CharStarts(const std::string& s) {
  std::vector<size_t> starts;
  for (size_t i = 0; i < s.size(); ++i)
    if ((static_cast<unsigned char>(s[i]) & 0xC0) != 0x80) starts.push_back(i);
  return starts;
}

void FrameRect(TCanvas& c, TRect r, TColor colour) {
  c.Pen.Color = colour;
  c.Pen.Style = psSolid;
  c.Pen.Mode = pmCopy;
  c.Brush.Style = bsClear;
  c.Rectangle(r);
}

}  // namespace

std::string EllipsisCaption(const std::string& text, int32_t width,
                            const std::function<int(const std::string&)>& measure) {
  if (measure(text) <= width) return text;
  std::vector<size_t> starts = CharStarts(text);
  std::string s = text;
  // Each round drops one more leading character behind the "...".
  for (size_t drop = 1; drop < starts.size(); ++drop) {
    s = "..." + text.substr(starts[drop]);
    if (measure(s) <= width || starts.size() - drop < 2) break;
  }
  return s;
}

void TPixoranMView::Paint() {
  if (ClientWidth() <= 0 || ClientHeight() <= 0) return;
  DrawVisibleThumbnails(BackBuffer());
}

void TPixoranMView::DrawVisibleThumbnails(TBitmap& bitmap) {
  TCanvas& c = bitmap.Canvas();
  const TRect all = Rect(0, 0, bitmap.Width(), bitmap.Height());
  PaintBackgroundStyle(false, c, pxbsSolid, Background(), 0, 0, bitmap.Width(), bitmap.Height(), all, 16, bsSolid,
                       static_cast<TColor>(0xFF0000));
  painting_ = true;
  RefreshVisible();
  const bool single = displayMode_ == mdSingle || playing_;
restart:
  const int32_t first = single ? std::clamp(playing_ ? playShown_ : std::max(selected_, 0), 0, GetImageCount()) : 0;
  const int32_t end = single ? std::min(first + 1, GetImageCount()) : GetImageCount();
  for (int32_t i = first; i < end; ++i) {
    if (!IsImageVisible(i)) continue;
    if (!IsImageLoaded(i) && !IsWrongImage(i)) {
      if ((i == selected_ || threadPoolSize_ == 0 || !QueueLoad(i)) && !LoadImageNow(i) && removeCorrupted_) {
        // The grid is laid out again before drawing starts over, so no
        // cell keeps the removed image's place.
        DeleteImageNoUpdate(i);
        Update();
        RefreshVisible();
        PaintBackgroundStyle(false, c, pxbsSolid, Background(), 0, 0, bitmap.Width(), bitmap.Height(), all, 16,
                             bsSolid, static_cast<TColor>(0xFF0000));
        goto restart;
      }
    }
    if (end - first > 1 && OnDrawProgress)
      OnDrawProgress(this, static_cast<int32_t>(int64_t{100} * (i - first) / (end - first)));
    const bool selected = i == selected_ || (enableMultiSelect_ && IsInMultiSelection(i));
    DrawThumbnail(bitmap, i, selected && visibleSelection_ && displayMode_ == mdGrid);
  }
  painting_ = false;
  if (end - first > 1 && OnDrawProgress) OnDrawProgress(this, 0);
}

void TPixoranMView::DrawThumbnail(TBitmap& bitmap, int32_t index, bool selected) {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  TPXMViewImage& rec = *images_[index];
  TCanvas& c = bitmap.Canvas();
  const int32_t x = rec.CellX - viewX_, y = rec.CellY - viewY_;
  const int32_t boxW = thumbWidth_, boxH = thumbHeight_;
  const std::string& bottom = rec.BottomText->Caption;
  const int32_t captionH = bottom.empty() ? 0 : c.TextHeight(bottom);
  const int32_t areaH = std::max(boxH - upperGap_ - bottomGap_ - captionH, 1);
  const TColor cellColour = drawImageBackground_ ? rec.Background : thumbsBackground_;
  if (OnBeforeImageDraw) OnBeforeImageDraw(this, index, x, y, c);

  if (rec.Cache) {
    c.Brush.Color = cellColour;
    c.Brush.Style = bsSolid;
    c.FillRect(Rect(x, y, x + boxW, y + boxH));
    // The prepared copy, made once per thumbnail size.
    if (!rec.Thumb) {
      TPXBitmap stored;
      if (store_->ImageToBitmap(rec.Cache, stored) && stored.Width() > 0) {
        int32_t w = stored.Width(), h = stored.Height();
        if (fitAlways_ || w > boxW || h > areaH) FitThumbSize(stored.Width(), stored.Height(), boxW, areaH, w, h);
        TPXBitmap prepared;
        if (w != stored.Width() || h != stored.Height()) {
          prepared.Allocate(w, h, pxBGR24);
          ResampleBitmap(stored, prepared, rfFastLinear);
        } else {
          prepared.Assign(&stored);
        }
        if (roundDivisor_ > 0) {
          const int32_t radius = std::min(w, h) / roundDivisor_;
          RoundCorners(prepared, radius, radius);
        }
        if (softShadow_.Enabled)
          AddSoftShadowToBitmap(prepared, softShadow_.OffsetX, softShadow_.OffsetY, {}, TBGR{0, 0, 0}, false,
                                softShadow_.Radius);
        rec.Thumb = thumbStore_->AddImage(prepared);
      }
    }
    if (rec.Thumb) {
      TPXBitmap thumb;
      if (thumbStore_->ImageToBitmap(rec.Thumb, thumb)) {
        const int32_t w = thumb.Width(), h = thumb.Height();
        const int32_t ix = x + std::abs(boxW - w) / 2, iy = y + upperGap_ + std::abs(areaH - h) / 2;
        TPXRenderRect r;
        r.SrcWidth = w;
        r.SrcHeight = h;
        r.DstX = ix;
        r.DstY = iy;
        r.DstWidth = w;
        r.DstHeight = h;
        RenderToTBitmap(thumb, bitmap, r);
      }
    }
  }
  // Captions over the cell colour; a long one loses its first characters.
  auto caption = [&](const TPXMText& t, int32_t ty, bool right) {
    if (t.Caption.empty()) return;
    const std::string s = EllipsisCaption(t.Caption, boxW, [&c](const std::string& v) { return c.TextWidth(v); });
    const int32_t tw = c.TextWidth(s);
    c.Brush.Color = cellColour;
    c.Brush.Style = bsSolid;
    c.TextOut(right ? x + boxW - tw - 2 : x + (boxW - tw) / 2, ty, s);
  };
  caption(*rec.TopText, y, false);
  caption(*rec.BottomText, y + boxH - bottomGap_ - captionH, false);
  caption(*rec.InfoText, y + boxH - bottomGap_ - captionH - c.TextHeight("Ag"), true);

  if (OnImageDraw) OnImageDraw(this, index, x, y, c);
  for (int32_t k = 1; k <= borderWidth_; ++k)
    FrameRect(c, Rect(x - k, y - k, x + boxW + k, y + boxH + k), borderColor_);
  if (selected) {
    const int32_t n = Focused() ? selectionWidth_ : 1;
    for (int32_t k = 1; k <= n; ++k)
      FrameRect(c, Rect(x - k, y - k, x + boxW + k, y + boxH + k), selectionColor_);
  }
}

}  // namespace pixoran
