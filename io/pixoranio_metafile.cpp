// ImportMetafile of the I/O component: EMF and placeable WMF drawn by our own
// record player.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/kopxutils_settings.h"
#include "io/pixoranio.h"
#include "io/formats/metafile/pxmetafile.h"
#include "io/pxfiltutil.h"
#include "platform/system.h"

namespace pixoran {

namespace {

// Bytes of one band of the picture drawn at a time: a picture may be far
// larger than what may be held in memory, the bitmap it goes into not.
constexpr int64_t kBandBytes = int64_t{64} << 20;

// Rows of a band of a width-pixel 24-bit picture.
int32_t BandRows(int32_t width, int32_t height) {
  const int64_t budget = std::min<int64_t>(kBandBytes, CodecMemoryLimit() / 4);
  const int64_t rows = budget / (int64_t{width} * 3);
  return static_cast<int32_t>(std::clamp<int64_t>(rows, 1, height));
}

// Draws the picture band by band over fill, in band (one buffer for every
// band and pass; the last band uses its first rows), and hands each row to
// store(y, row). False when the band cannot be had or drawn, or on abort.
template <typename Store>
bool DrawInBands(const std::vector<uint8_t>& data, int32_t width, int32_t height, TColor fill, TBitmap& band,
                 TMetafileWork& work, const std::atomic<bool>& abort, Store store) {
  const int32_t rows = BandRows(width, height);
  band.SetPixelFormat(pf24bit);
  band.SetSize(width, rows);
  if (band.Width() != width || band.Height() != rows) return false;
  for (int32_t top = 0; top < height; top += rows) {
    const int32_t n = std::min(rows, height - top);
    band.Canvas().Brush.Style = bsSolid;
    band.Canvas().Brush.Color = fill;
    band.Canvas().FillRect(Rect(0, 0, width, rows));
    if (!PlayMetafileBand(data.data(), static_cast<int64_t>(data.size()), band,
                          TMetafileArea{width, height, top, &work}, &abort) ||
        abort)
      return false;
    for (int32_t y = 0; y < n; ++y)
      if (!store(top + y, band.ScanLine(y))) return false;
  }
  return true;
}

// The format a failure text names: by content once it is known, before
// that by the file's extension.
std::string MetafileName(const std::string& fileName) {
  const size_t dot = fileName.find_last_of('.');
  std::string ext = dot == std::string::npos ? std::string() : fileName.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return ext == "emf" ? "EMF" : "WMF";
}

}  // namespace

void TPixoranIO::ImportMetafile(const std::string& fileName, int32_t width, int32_t height, bool withAlpha) {
  if (HandOff([this, fileName, width, height, withAlpha] { ImportMetafile(fileName, width, height, withAlpha); }))
    return;
  RunOperation([&] {
    aborting_ = false;
    if (width == 0 || height == 0) return;
    std::string name = MetafileName(fileName);
    if (!PrepareBitmap()) {
      Fail(iorFailed, name + ": the attached bitmap cannot take the picture");
      return;
    }
    params_->ResetInfo();
    std::vector<uint8_t> data;
    TMetafileInfo info;
    int32_t w = 0, h = 0;
    int64_t fileSize = 0;
    try {
      TFileStream file(fileName, fmOpenRead);
      fileSize = file.Size();
      if (fileSize <= 0) {
        Fail(iorCorrupt, name + ": the file is empty");
        return;
      }
      // The records are played from memory.
      if (fileSize > CodecMemoryLimit()) {
        Fail(iorTooLarge, name + ": " + std::to_string(fileSize) + " bytes of records exceed the memory budget");
        return;
      }
      data.resize(static_cast<size_t>(fileSize));
      if (!file.ReadExact(data.data(), fileSize)) {
        Fail(iorCorrupt, name + ": the file cannot be read whole");
        return;
      }
    } catch (...) {
      std::string text;
      const TPXIOResult kind = IOResultOfException(std::current_exception(), text);
      Fail(kind, name + ": " + text);
      return;
    }
    if (!ReadMetafileInfo(data.data(), fileSize, info)) {
      Fail(iorCorrupt, name + ": neither an enhanced metafile nor a placeable WMF header");
      return;
    }
    name = info.Enhanced ? "EMF" : "WMF";
    if (!MetafileTargetSize(info, width, height, w, h)) {
      Fail(iorCorrupt, name + ": the picture has no size (" + std::to_string(info.Width) + " x " +
                           std::to_string(info.Height) + ")");
      return;
    }
    // Drawn vectors cover any area whatever the file's size: no expansion
    // bound applies, the side limit of MetafileTargetSize holds the bitmap.
    TPXProgressRec progress = MakeProgress();
    if (!CheckDeclaredImage(name.c_str(), w, h, 24, fileSize, 0, progress)) return;
    // The bitmap takes the picture row by row (above the memory threshold it
    // lives in a temporary file); both passes share one work limit.
    working_->RemoveAlphaChannel();
    if (!working_->Allocate(w, h, pxBGR24) || working_->Width() != w || working_->Height() != h) {
      Fail(iorNoMemory, name + ": no storage for a " + std::to_string(w) + " x " + std::to_string(h) + " picture");
      return;
    }
    TMetafileWork work{MetafileWorkLimit(w, h)};
    TBitmap band;
    const size_t rowBytes = static_cast<size_t>(w) * 3;
    const bool drawn = DrawInBands(data, w, h, Background(), band, work, aborting_, [&](int32_t y, const uint8_t* row) {
      uint8_t* d = working_->Scanline(y);
      if (!d) return false;
      std::memcpy(d, row, rowBytes);
      return true;
    });
    if (!drawn || aborting_) {
      Fail(iorNoMemory, name + ": no storage for a band of the picture");
      return;
    }
    if (withAlpha) {
      // Drawn again over an unlikely colour: what stays that colour is transparent.
      TPXBitmap* alpha = working_->GetAlphaChannel();
      const bool keyed =
          alpha && DrawInBands(data, w, h, RGBColor(3, 2, 1), band, work, aborting_, [&](int32_t y, const uint8_t* s) {
            uint8_t* a = alpha->Scanline(y);
            if (!a) return false;
            for (int32_t x = 0; x < w; ++x, s += 3) a[x] = s[0] == 1 && s[1] == 2 && s[2] == 3 ? 0 : 255;
            return true;
          });
      if (aborting_) return;
      if (keyed) alpha->SyncFull();
      else working_->RemoveAlphaChannel();
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
