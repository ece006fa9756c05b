// ImportMetafile of the I/O component: EMF and placeable WMF drawn by our own
// record player.
#include <cstdlib>
#include <vector>

#include "core/kopxutils_settings.h"
#include "io/pixoranio.h"
#include "io/pxmetafile.h"
#include "platform/system.h"

namespace pixoran {

namespace {

// The metafile drawn on a width x height bitmap filled with fill first.
bool Draw(const std::vector<uint8_t>& data, int32_t width, int32_t height, TColor fill, TBitmap& target,
          const std::atomic<bool>& abort) {
  target.SetPixelFormat(pf24bit);
  target.SetSize(width, height);
  if (target.Width() != width || target.Height() != height) return false;
  target.Canvas().Brush.Style = bsSolid;
  target.Canvas().Brush.Color = fill;
  target.Canvas().FillRect(Rect(0, 0, width, height));
  return PlayMetafile(data.data(), static_cast<int64_t>(data.size()), target, &abort);
}

}  // namespace

void TPixoranIO::ImportMetafile(const std::string& fileName, int32_t width, int32_t height, bool withAlpha) {
  if (HandOff([this, fileName, width, height, withAlpha] { ImportMetafile(fileName, width, height, withAlpha); }))
    return;
  RunOperation([&] {
    aborting_ = false;
    if (width == 0 || height == 0) return;
    if (!PrepareBitmap()) {
      aborting_ = true;
      return;
    }
    const int64_t fileSize = FileSizeByName(fileName);
    std::vector<uint8_t> data;
    TMetafileInfo info;
    int32_t w = 0, h = 0;
    try {
      if (fileSize <= 0 || fileSize > CodecMemoryLimit()) throw 0;
      data.resize(static_cast<size_t>(fileSize));
      TFileStream file(fileName, fmOpenRead);
      if (!file.ReadExact(data.data(), fileSize)) throw 0;
    } catch (...) {
      aborting_ = true;
      return;
    }
    if (!ReadMetafileInfo(data.data(), fileSize, info) || !MetafileTargetSize(info, width, height, w, h)) {
      aborting_ = true;
      return;
    }
    TBitmap picture;
    if (!Draw(data, w, h, Background(), picture, aborting_) || aborting_) {
      aborting_ = true;
      return;
    }
    working_->Assign(&picture);
    if (working_->Width() != w || working_->Height() != h) {
      aborting_ = true;
      return;
    }
    working_->RemoveAlphaChannel();
    if (withAlpha) {
      // Drawn again over an unlikely colour: what stays that colour is transparent.
      const TColor key = RGBColor(3, 2, 1);
      TBitmap second;
      if (Draw(data, w, h, key, second, aborting_)) {
        TPXBitmap* alpha = working_->GetAlphaChannel();
        for (int32_t y = 0; alpha && y < h; ++y) {
          const uint8_t* s = second.ScanLine(y);
          uint8_t* a = alpha->Scanline(y);
          for (int32_t x = 0; x < w; ++x, s += 3) a[x] = s[0] == 1 && s[1] == 2 && s[2] == 3 ? 0 : 255;
        }
        if (alpha) alpha->SyncFull();
      }
    }
    TIOParamsVals& p = *params_;
    p.FileType = info.Enhanced ? 10 : 9;
    p.BitsPerSample = 8;
    p.SamplesPerPixel = 3;
    p.Width = w;
    p.Height = h;
    p.DpiX = PXSettings().DefaultDpiX;
    p.DpiY = PXSettings().DefaultDpiY;
    p.FreePalette();
    TellViewerDpi();
    UpdateAttached();
  });
}

}  // namespace pixoran
