// The viewer's layer list (current layer, insert, remove, merge, external
// bitmaps), copies into the image, and the processing component.
#include <algorithm>
#include <cmath>
#include <mutex>
#include <new>
#include <unordered_map>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "core/pxblend.h"
#include "io/pixoranio.h"
#include "proc/pixoranproc.h"
#include "view/pixoranview.h"

namespace pixoran {

namespace {

// Handles of objects that posted messages carry.
struct TMessageObjects {
  std::mutex Lock;
  std::unordered_map<intptr_t, TObject*> Objects;
  intptr_t Next = 1;
};
TMessageObjects& MessageObjects() {
  static TMessageObjects m;
  return m;
}
}  // namespace

intptr_t RegisterMessageObject(TObject* object) {
  if (!object) return 0;
  TMessageObjects& m = MessageObjects();
  std::lock_guard<std::mutex> g(m.Lock);
  const intptr_t h = m.Next++;
  m.Objects[h] = object;
  return h;
}

void ReleaseMessageObject(intptr_t handle) {
  TMessageObjects& m = MessageObjects();
  std::lock_guard<std::mutex> g(m.Lock);
  m.Objects.erase(handle);
}

TObject* MessageObject(intptr_t handle) {
  TMessageObjects& m = MessageObjects();
  std::lock_guard<std::mutex> g(m.Lock);
  const auto it = m.Objects.find(handle);
  return it == m.Objects.end() ? nullptr : it->second;
}

// ------------------------------------------------------------ current layer

void TPixoranView::BindLayer(int32_t index) {
  currentLayer_ = index;
  SetImage(layers_[static_cast<size_t>(index)]->Bitmap());
  CallBitmapChangeEvents();
  DoLayerNotify(index, 0);
  Update();
}

void TPixoranView::SetCurrentLayer(int32_t index) {
  if (index < 0 || index >= GetLayersCount() || index == currentLayer_) return;
  BindLayer(index);
}

void TPixoranView::DoLayerNotify(int32_t layer, int32_t event) {
  if (OnLayerNotify) OnLayerNotify(this, layer, event);
}

int32_t TPixoranView::NewLayer(int32_t index) {
  std::unique_ptr<TPXLayer> layer;
  try {
    layer = std::make_unique<TPXLayer>(image_, false);
    TPXBitmap& b = *layer->Bitmap();
    b.Fill(BackgroundFill(b));
    b.FlushRows();
    // Storage for its bitmap could not be had: no layer rather than an empty one.
    if (b.Width() != image_->Width() || b.Height() != image_->Height()) return -1;
  } catch (const EPXBitmapError&) {
    return -1;
  } catch (const std::bad_alloc&) {
    return -1;
  }
  index = std::clamp(index, 0, GetLayersCount());
  layers_.insert(layers_.begin() + index, std::move(layer));
  // The current layer may have moved up by the insertion.
  if (index <= currentLayer_) ++currentLayer_;
  SetCurrentLayer(index);
  return index;
}

int32_t TPixoranView::AddLayer() { return NewLayer(GetLayersCount()); }

int32_t TPixoranView::InsertLayer(int32_t index) { return NewLayer(index); }

void TPixoranView::RemoveLayer(int32_t index) {
  const int32_t count = GetLayersCount();
  if (count < 2 || index < 0 || index >= count) return;
  // A component's worker may be writing into it: stopped before it goes.
  CallBitmapReleaseEvents(layers_[static_cast<size_t>(index)]->Bitmap(), true);
  layers_.erase(layers_.begin() + index);
  if (index == currentLayer_) {
    // The image was the removed layer's bitmap: bind the new current layer
    // even when its index is the same.
    BindLayer(std::min(index, count - 2));
    return;
  }
  if (index < currentLayer_) --currentLayer_;
  Update();
}

int32_t TPixoranView::LayerAt(int32_t x, int32_t y) const {
  for (int32_t i = GetLayersCount() - 1; i >= 0; --i) {
    const TRect& r = layers_[static_cast<size_t>(i)]->ClientRect;
    if (x >= r.Left && x <= r.Right && y >= r.Top && y <= r.Bottom) return i;
  }
  return -1;
}

void TPixoranView::SetExternalBitmap(TPXBitmap* bitmap) {
  if (currentLayer_ < 0 || currentLayer_ >= GetLayersCount()) return;
  TPXLayer& layer = *layers_[static_cast<size_t>(currentLayer_)];
  // A worker writing into the old bitmap is waited for; stopped when the
  // bitmap is ours and goes.
  CallBitmapReleaseEvents(layer.Bitmap(), layer.OwnsBitmap());
  if (!bitmap) {
    layer.SetBitmap(new TPXBitmap(), true);
    SetImage(layer.Bitmap());
    CallBitmapChangeEvents();
    Update();
    return;
  }
  layer.SetBitmap(bitmap, false);
  SetImage(bitmap);
  CallBitmapChangeEvents();
  Update();
}

// ------------------------------------------------------------ merging

namespace {
// One layer as the merge reads it: blue-green-red rows and alpha bytes at
// its display size, placed at (X, Y) of the result.
struct TMergeSource {
  TPXLayer* Layer = nullptr;
  TPXBitmap* Pixels = nullptr;  // the layer's bitmap or its resampled copy
  TPXBitmap Resampled;
  int32_t X = 0, Y = 0, W = 0, H = 0;
  std::vector<uint8_t> Row, Alpha;

  // Reads row y of the layer (0 <= y < H) into Row and Alpha.
  void ReadRow(int32_t y) {
    const uint8_t* src = Pixels->Scanline(y);
    if (!src) throw EPXBitmapError("Cannot read a layer's row");
    RowToBGR24(Pixels->PixelFormat(), src, Row.data(), W, Pixels->Palette(), Pixels->PaletteCount());
    TPXBitmap* b = Layer->Bitmap();
    const int32_t op = std::clamp(Layer->Opacity, 0, 255);
    if (!b->HasAlphaChannel()) {
      std::fill(Alpha.begin(), Alpha.end(), static_cast<uint8_t>(op));
      return;
    }
    // The alpha at the display size, nearest source pixel.
    TPXBitmap* a = b->GetAlphaChannel();
    const int64_t bw = a->Width(), bh = a->Height();
    const uint8_t* ar = a->Scanline(static_cast<int32_t>(y * bh / H));
    if (!ar) throw EPXBitmapError("Cannot read a layer's alpha");
    for (int32_t x = 0; x < W; ++x) Alpha[x] = std::min<uint8_t>(ar[x * bw / W], static_cast<uint8_t>(op));
  }
};
}  // namespace

bool TPixoranView::MergeLayers(int32_t first, int32_t second) {
  // The merge's result is its signal: a flag left from an earlier operation
  // of the I/O component must not read as this merge's.
  if (io_) io_->SetAborting(false);
  try {
    return MergeLayersInto(first, second);
  } catch (const EPXBitmapError&) {
    return false;  // no storage for the result: both layers stay
  } catch (const std::bad_alloc&) {
    return false;
  }
}

bool TPixoranView::MergeLayersInto(int32_t first, int32_t second) {
  const int32_t count = GetLayersCount();
  if (first < 0 || second < 0 || first >= count || second >= count || first == second) return false;
  const int32_t lower = std::min(first, second), upper = std::max(first, second);
  TMergeSource src[2];
  src[0].Layer = layers_[static_cast<size_t>(lower)].get();
  src[1].Layer = layers_[static_cast<size_t>(upper)].get();
  // Both are read, then replaced: a worker writing into one finishes first.
  for (const TMergeSource& s : src) CallBitmapReleaseEvents(s.Layer->Bitmap(), false);
  const uint8_t mode = src[1].Layer->BlendMode;
  for (TMergeSource& s : src) {
    TPXBitmap* b = s.Layer->Bitmap();
    s.W = s.Layer->GetWidth();
    s.H = s.Layer->GetHeight();
    if (s.W <= 0 || s.H <= 0 || b->Width() <= 0 || b->Height() <= 0) return false;
  }
  // Negative positions shift both layers so the result starts at 0.
  int64_t x1 = src[0].Layer->PosX, y1 = src[0].Layer->PosY, x2 = src[1].Layer->PosX, y2 = src[1].Layer->PosY;
  const int64_t shiftX = std::max<int64_t>(0, -std::min(x1, x2)), shiftY = std::max<int64_t>(0, -std::min(y1, y2));
  x1 += shiftX;
  x2 += shiftX;
  y1 += shiftY;
  y2 += shiftY;
  const int64_t w = std::max(x1 + src[0].W, x2 + src[1].W), h = std::max(y1 + src[0].H, y2 + src[1].H);
  // Layers stay within kPXLayerReach extents, so a side fits; a large
  // result lives in a temporary file like any large bitmap.
  if (w > INT32_MAX || h > INT32_MAX) return false;
  src[0].X = static_cast<int32_t>(x1);
  src[0].Y = static_cast<int32_t>(y1);
  src[1].X = static_cast<int32_t>(x2);
  src[1].Y = static_cast<int32_t>(y2);
  TPixoranProc proc;
  proc.SetAutoUndo(false);
  for (TMergeSource& s : src) {
    TPXBitmap* b = s.Layer->Bitmap();
    s.Pixels = b;
    if (s.W != b->Width() || s.H != b->Height()) {
      proc.AttachBitmap(b);
      proc.ResampleTo(s.Resampled, s.W, s.H, zoomFilter_);
      if (proc.Aborting() || s.Resampled.Width() != s.W || s.Resampled.Height() != s.H) return false;
      s.Pixels = &s.Resampled;
    }
    s.Row.resize(static_cast<size_t>(s.W) * 3);
    s.Alpha.resize(static_cast<size_t>(s.W));
  }
  proc.AttachBitmap(nullptr);

  auto merged = std::make_unique<TPXBitmap>();
  merged->MemoryThreshold = image_->MemoryThreshold;
  if (!merged->Allocate(static_cast<int32_t>(w), static_cast<int32_t>(h), pxBGR24)) return false;
  const TBGR bg = ColorToBGR(Background());
  merged->Fill(BackgroundFill(*merged));
  TPXBitmap* alpha = merged->GetAlphaChannel();
  alpha->Fill(0);
  for (int32_t y = 0; y < h; ++y) {
    bool in[2];
    for (int k = 0; k < 2; ++k) {
      in[k] = y >= src[k].Y && y < src[k].Y + src[k].H;
      if (in[k]) src[k].ReadRow(y - src[k].Y);
    }
    if (!in[0] && !in[1]) continue;
    uint8_t* out = merged->Scanline(y);
    uint8_t* outA = alpha->Scanline(y);
    if (!out || !outA) return false;
    for (int32_t x = 0; x < w; ++x) {
      const bool c1 = in[0] && x >= src[0].X && x < src[0].X + src[0].W;
      const bool c2 = in[1] && x >= src[1].X && x < src[1].X + src[1].W;
      uint8_t* o = out + 3 * static_cast<size_t>(x);
      if (c1 && c2) {
        const uint8_t* p1 = src[0].Row.data() + 3 * static_cast<size_t>(x - src[0].X);
        const uint8_t* p2 = src[1].Row.data() + 3 * static_cast<size_t>(x - src[1].X);
        const double a1 = src[0].Alpha[static_cast<size_t>(x - src[0].X)] / 255.0;
        const double a2 = src[1].Alpha[static_cast<size_t>(x - src[1].X)] / 255.0;
        const double under = (1.0 - a2) * a1;
        const double a = a2 + under;
        if (a == 1.0 && under == 0.0) {
          o[0] = p1[0];
          o[1] = p1[1];
          o[2] = p1[2];
          BlendPixel(p2, o, mode);
        } else if (a > 0.0) {
          for (int c = 0; c < 3; ++c) {
            const double v = std::trunc((a2 * p2[c] + under * p1[c]) / a);
            o[c] = static_cast<uint8_t>(std::clamp(v, 0.0, 255.0));
          }
        } else {
          o[0] = bg.b;
          o[1] = bg.g;
          o[2] = bg.r;
        }
        outA[x] = static_cast<uint8_t>(std::clamp(std::trunc(a * 255.0), 0.0, 255.0));
      } else if (c1 || c2) {
        const TMergeSource& s = src[c1 ? 0 : 1];
        const uint8_t* p = s.Row.data() + 3 * static_cast<size_t>(x - s.X);
        o[0] = p[0];
        o[1] = p[1];
        o[2] = p[2];
        outA[x] = s.Alpha[static_cast<size_t>(x - s.X)];
      }
    }
  }

  // Rows still mapped from a temporary file are written now: a failure
  // shows before either layer goes.
  merged->FlushRows();
  auto layer = std::make_unique<TPXLayer>(merged.release(), true);
  layer->Locked = src[0].Layer->Locked;
  // The merged pixels stay where the two layers were.
  layer->PosX = static_cast<int32_t>(-shiftX);
  layer->PosY = static_cast<int32_t>(-shiftY);
  layers_.erase(layers_.begin() + upper);
  layers_[static_cast<size_t>(lower)] = std::move(layer);
  if (currentLayer_ > upper) --currentLayer_;
  BindLayer(lower);
  return true;
}

// ------------------------------------------------------------ image copies

void TPixoranView::ClearImage() {
  StopTransition();
  image_->RemoveAlphaChannel();
  image_->Allocate(1, 1, image_->PixelFormat() == pxNone ? pxBGR24 : image_->PixelFormat());
  FillWithBackground();
}

void TPixoranView::Assign(TPixoranView* source) {
  if (!source || source == this) return;
  image_->Assign(source->GetPXBitmap());
  TPXView::SetBackground(source->Background());
  SetDpi(source->DpiX(), source->DpiY());
  Update();
  ImageChange();
}

void TPixoranView::Assign(TBitmap* source) {
  if (!source) return;
  image_->Assign(source);
  if (image_->PixelFormat() != pxBW1 && image_->PixelFormat() != pxBGR24) image_->ConvertPixelFormat(pxBGR24);
  Update();
  ImageChange();
}

// ------------------------------------------------------------ processing component

TPixoranProc* TPixoranView::GetProc() {
  if (!proc_) {
    proc_ = std::make_unique<TPixoranProc>(this);
    proc_->OnProgress = onProgress_;
    proc_->SetAttachedPixoran(this);
  }
  return proc_.get();
}

}  // namespace pixoran
