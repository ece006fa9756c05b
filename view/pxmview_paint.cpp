// The thumbnail view's painting: background, the visible thumbnails with
// their prepared copies, captions, borders and selection frames.
#include <algorithm>
#include <cmath>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_diblist.h"
#include "core/pxrender.h"
#include "core/pxresample.h"
#include "proc/pxfilters.h"
#include "view/pxbackground.h"
#include "view/pxmview.h"

namespace pixoran {

namespace {

// Loads of an image again after the image store lost it.
constexpr int32_t kMaxReloads = 2;

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
  // A running transition shows its own frames, locked or not.
  if (transition_->PaintFrame(BackBuffer())) return;
  if (updateLock_ > 0) return;
  DrawVisibleThumbnails(BackBuffer());
}

void TPixoranMView::DrawWallPaper(TCanvas& c, int32_t w, int32_t h) {
  const TBitmap& wp = *wallPaper_;
  if (wp.Empty()) return;
  switch (wallPaperStyle_) {
    case pxwoNormal: c.Draw(0, 0, wp); break;
    case pxwoStretch: c.StretchDraw(Rect(0, 0, w, h), wp); break;
    case pxwoTile:
      for (int32_t y = 0; y < h; y += wp.Height())
        for (int32_t x = 0; x < w; x += wp.Width()) c.Draw(x, y, wp);
      break;
  }
}

int32_t TPixoranMView::ShownImage() const {
  return std::clamp(playing_ ? playShown_ : std::max(selected_, 0), 0, GetImageCount());
}

void TPixoranMView::DrawVisibleThumbnails(TBitmap& bitmap) {
  TCanvas& c = bitmap.Canvas();
  const TRect all = Rect(0, 0, bitmap.Width(), bitmap.Height());
  auto background = [&] {
    PaintBackgroundStyle(false, c, backgroundStyle_, Background(), 0, 0, bitmap.Width(), bitmap.Height(), all,
                         chessSize_, chessBrush_, gradientColour_);
    DrawWallPaper(c, bitmap.Width(), bitmap.Height());
  };
  background();
  painting_ = true;
  RefreshVisible();
  const bool single = displayMode_ == mdSingle || playing_;
restart:
  const int32_t first = single ? ShownImage() : 0;
  const int32_t end = single ? std::min(first + 1, GetImageCount()) : GetImageCount();
  for (int32_t i = first; i < end; ++i) {
    if (end - first > 1 && OnDrawProgress)
      OnDrawProgress(this, static_cast<int32_t>(int64_t{100} * (i - first) / (end - first)));
    if (!IsImageVisible(i)) continue;
    {
      // The store could not keep it (a full disk): loaded again, but only a
      // few times, so that a disk that stays full does not have it loaded
      // at every paint; then, as an image that could not be stored, Wrong.
      std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
      TPXMViewImage& rec = *images_[i];
      if (rec.Cache && rec.Cache->Lost) {
        const bool placeholder = rec.Wrong;
        FreeRecordStore(rec);
        rec.Wrong = placeholder || ++rec.Reloads > kMaxReloads;
      }
    }
    if (!IsImageLoaded(i) && !IsWrongImage(i)) {
      if ((i == selected_ || threadPoolSize_ == 0 || !QueueLoad(i)) && !LoadImageNow(i) && removeCorrupted_) {
        // The grid is laid out again before drawing starts over, so no
        // cell keeps the removed image's place.
        DeleteImageNoUpdate(i);
        Update();
        RefreshVisible();
        background();
        goto restart;
      }
    }
    const bool selected = i == selected_ || (enableMultiSelect_ && IsInMultiSelection(i));
    DrawThumbnail(bitmap, i, selected && visibleSelection_ && displayMode_ == mdGrid);
  }
  painting_ = false;
  if (end - first > 1 && OnDrawProgress) OnDrawProgress(this, 0);
}

namespace {

// One pixel of a quarter circle's outline per row and per column, so the
// arc has no gaps at either end.
void Arc(TCanvas& c, int32_t cx, int32_t cy, int32_t r, int32_t sx, int32_t sy, TColor colour) {
  for (int32_t d = 0; d <= r; ++d) {
    const int32_t e = static_cast<int32_t>(std::lround(std::sqrt(static_cast<double>(r) * r - double(d) * d)));
    c.SetPixel(cx + sx * e, cy + sy * d, colour);
    c.SetPixel(cx + sx * d, cy + sy * e, colour);
  }
}

// A raised 1-pixel edge just inside r.
void RaisedEdge(TCanvas& c, TRect r) {
  if (r.Width() < 2 || r.Height() < 2) return;
  c.Brush.Style = bsSolid;
  c.Brush.Color = clBtnHighlight;
  c.FillRect(Rect(r.Left, r.Top, r.Right - 1, r.Top + 1));
  c.FillRect(Rect(r.Left, r.Top, r.Left + 1, r.Bottom - 1));
  c.Brush.Color = clBtnShadow;
  c.FillRect(Rect(r.Left, r.Bottom - 1, r.Right, r.Bottom));
  c.FillRect(Rect(r.Right - 1, r.Top, r.Right, r.Bottom));
}

}  // namespace

// count nested outlines around box, one pixel further out each; with a
// corner size their corners are quarter circles of half that size.
void TPixoranMView::DrawFrames(TCanvas& c, TRect box, int32_t count, TColor colour, int32_t corner) {
  for (int32_t k = 1; k <= count; ++k) {
    const TRect r = Rect(box.Left - k, box.Top - k, box.Right + k, box.Bottom + k);
    const int32_t rad = std::min({corner / 2, (r.Width() - 1) / 2, (r.Height() - 1) / 2});
    if (rad <= 0) {
      FrameRect(c, r, colour);
      continue;
    }
    c.Brush.Style = bsSolid;
    c.Brush.Color = colour;
    const int32_t l = r.Left, t = r.Top, rr = r.Right - 1, b = r.Bottom - 1;
    c.FillRect(Rect(l + rad, t, rr - rad + 1, t + 1));
    c.FillRect(Rect(l + rad, b, rr - rad + 1, b + 1));
    c.FillRect(Rect(l, t + rad, l + 1, b - rad + 1));
    c.FillRect(Rect(rr, t + rad, rr + 1, b - rad + 1));
    Arc(c, l + rad, t + rad, rad, -1, -1, colour);
    Arc(c, rr - rad, t + rad, rad, 1, -1, colour);
    Arc(c, l + rad, b - rad, rad, -1, 1, colour);
    Arc(c, rr - rad, b - rad, rad, 1, 1, colour);
  }
}

void TPixoranMView::DrawThumbnail(TBitmap& bitmap, int32_t index, bool selected) {
  std::lock_guard<std::recursive_mutex> guard(MViewLoaderLock());
  TPXMViewImage& rec = *images_[index];
  TCanvas& c = bitmap.Canvas();
  int32_t x = rec.CellX - viewX_, y = rec.CellY - viewY_;
  int32_t boxW = thumbWidth_, boxH = thumbHeight_;
  if (OnBeforeImageDraw) OnBeforeImageDraw(this, index, x, y, c);
  if (OnBeforeImageDrawEx) {
    TRect r = Rect(0, 0, boxW, boxH);
    OnBeforeImageDrawEx(this, index, x, y, r);
    x += r.Left;
    y += r.Top;
    boxW = std::max(r.Width(), 1);
    boxH = std::max(r.Height(), 1);
  }
  const bool acdSelected = selected && selectionStyle_ == pxssACD;
  const std::string& bottom = rec.BottomText->Caption;
  const TFont savedFont = c.Font;
  c.Font = rec.BottomText->Font;
  const int32_t captionH = showCaptions_ && !bottom.empty() ? c.TextHeight(bottom) : 0;
  c.Font = savedFont;
  const int32_t upper = showCaptions_ ? upperGap_ : plainUpperGap_;
  const int32_t lower = (showCaptions_ ? bottomGap_ : plainBottomGap_) + captionH;
  const int32_t areaH = std::max(boxH - upper - lower, 1);
  const TColor cellColour = acdSelected ? clHighlight : drawImageBackground_ ? rec.Background : thumbsBackground_;
  const TRect box = Rect(x, y, x + boxW, y + boxH);

  if (rec.Cache) {
    if (fillThumbnail_)
      PaintBackgroundStyle(false, c, thumbsBackgroundStyle_, cellColour, x, y, boxW, boxH, box, chessSize_, chessBrush_,
                           gradientColour_);
    // The copy reduced for drawing, kept once per thumbnail size.
    TPXBitmap prepared;
    TPXBitmap* picture = nullptr;
    if (rec.Thumb && thumbStore_->ImageToBitmap(rec.Thumb, prepared) && prepared.Width() > 0) {
      picture = &prepared;
    } else {
      TPXBitmap stored;
      if (store_->ImageToBitmap(rec.Cache, stored) && stored.Width() > 0) {
        int32_t w = stored.Width(), h = stored.Height();
        if (fitAlways_ || w > boxW || h > areaH) FitThumbSize(stored.Width(), stored.Height(), boxW, areaH, w, h);
        if (w != stored.Width() || h != stored.Height()) {
          const bool bw = stored.PixelFormat() == pxBW1;
          const bool shrinks = w < stored.Width() || h < stored.Height();
          prepared.Allocate(w, h, pxBGR24);
          ResampleBitmap(stored, prepared, bw && shrinks ? rfFastLinear : displayFilter_);
        } else {
          prepared.Assign(&stored);
        }
        if (roundDivisor_ > 0) {
          const int32_t radius = std::min(w, h) / roundDivisor_;
          pixoran::RoundCorners(prepared, radius, radius);
        }
        if (softShadow_.Enabled)
          AddSoftShadowToBitmap(prepared, softShadow_.OffsetX, softShadow_.OffsetY, {}, TBGR{0, 0, 0}, false,
                                softShadow_.Radius);
        if (prepareThumbs_) {
          if (rec.Thumb) thumbStore_->DeleteImage(rec.Thumb);
          // Never an empty thumbnail (its bitmap could not be had).
          rec.Thumb = prepared.Width() > 0 ? thumbStore_->AddImage(prepared) : nullptr;
        }
        picture = &prepared;
      } else if (rec.Cache->Lost) {
        Invalidate();  // the next paint loads it again
      }
    }
    TRect pic = Rect(x, y + upper, x, y + upper);
    if (picture) {
      const int32_t w = picture->Width(), h = picture->Height();
      pic = Rect(x + std::abs(boxW - w) / 2, y + upper + std::abs(areaH - h) / 2, 0, 0);
      pic.Right = pic.Left + w;
      pic.Bottom = pic.Top + h;
      TPXRenderRect r;
      r.SrcWidth = w;
      r.SrcHeight = h;
      r.DstX = pic.Left;
      r.DstY = pic.Top;
      r.DstWidth = w;
      r.DstHeight = h;
      TPXRenderOptions o;
      o.UseAlpha = enableAlpha_ && picture->HasAlphaChannel();
      RenderToTBitmap(*picture, bitmap, r, o);
    }
    if (fillThumbnail_) {
      // The margins around the picture, solid.
      c.Brush.Style = bsSolid;
      c.Brush.Color = cellColour;
      c.FillRect(Rect(x, y, x + boxW, std::min(pic.Top, y + boxH)));
      c.FillRect(Rect(x, std::max(pic.Bottom, y), x + boxW, y + boxH));
      c.FillRect(Rect(x, pic.Top, std::min(pic.Left, x + boxW), pic.Bottom));
      c.FillRect(Rect(std::max(pic.Right, x), pic.Top, x + boxW, pic.Bottom));
    }

    // Captions over the cell colour; a long one loses its first characters.
    if (showCaptions_) {
      auto caption = [&](const TPXMText& t, int32_t ty, bool right) {
        if (t.Caption.empty()) return;
        c.Font = t.Font;
        if (acdSelected) c.Font.Color = clHighlightText;
        const std::string s = EllipsisCaption(t.Caption, boxW, [&c](const std::string& v) { return c.TextWidth(v); });
        const int32_t tw = c.TextWidth(s);
        c.Brush.Color = cellColour;
        c.Brush.Style = bsSolid;
        c.TextOut(right ? x + boxW - tw - 2 : x + (boxW - tw) / 2, ty, s);
      };
      caption(*rec.TopText, y, false);
      caption(*rec.BottomText, y + boxH - lower, false);
      c.Font = rec.InfoText->Font;
      caption(*rec.InfoText, y + boxH - lower - c.TextHeight("Ag"), true);
      c.Font = savedFont;
    }
    if (style_ == pxmsACD) {
      RaisedEdge(c, Rect(x, y + upper, x + boxW, y + upper + areaH));
      if (captionH > 0) RaisedEdge(c, Rect(x, y + boxH - lower, x + boxW, y + boxH - lower + captionH));
    }
  }

  if (OnImageDraw) OnImageDraw(this, index, x, y, c);
  const int32_t corner = roundDivisor_ > 0 ? std::min(thumbWidth_, thumbHeight_) / roundDivisor_ : 0;
  DrawFrames(c, box, borderWidth_, borderColor_, corner);
  if (selected && selectionStyle_ != pxssACD) DrawFrames(c, box, Focused() ? selectionWidth_ : 1, selectionColor_, 0);
}

}  // namespace pixoran
