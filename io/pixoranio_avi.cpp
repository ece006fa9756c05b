// AVI frames of the I/O component.
#include "core/kopxutils_settings.h"
#include "io/pixoranio.h"
#include "io/formats/avi/pxavi.h"

namespace pixoran {

int32_t TPixoranIO::OpenAVIFile(const std::string& fileName) {
  CloseAVIFile();
  aviFrameCount_ = 0;
  params_->FileName = fileName;
  params_->FileType = 0;
  std::unique_ptr<TStream> stream;
  try {
    stream = std::make_unique<TFileStream>(fileName, fmOpenRead);
  } catch (...) {
    aborting_ = true;
    return 0;
  }
  auto reader = std::make_shared<TAVIReader>();
  if (!reader->Open(std::move(stream))) {
    aborting_ = true;
    return 0;
  }
  avi_ = std::move(reader);
  aviFrameCount_ = avi_->FrameCount();
  aviFrameDelay_ = 0;
  return aviFrameCount_;
}

void TPixoranIO::CloseAVIFile() { avi_.reset(); }

void TPixoranIO::LoadFromAVI(int32_t frame) {
  if (HandOff([this, frame] { LoadFromAVI(frame); })) return;
  RunOperation([&] {
    aborting_ = false;
    if (!PrepareBitmap() || !avi_ || frame < 0 || frame >= avi_->FrameCount()) {
      aborting_ = true;
      return;
    }
    params_->ResetInfo();
    TPXProgressRec progress = MakeProgress();
    const int32_t bits = avi_->ReadFrame(frame, *working_, progress);
    if (bits == 0) {
      aborting_ = true;
      return;
    }
    aviFrameCount_ = avi_->FrameCount();
    aviFrameDelay_ = avi_->FrameDelay();
    TIOParamsVals& p = *params_;
    p.BitsPerSample = bits <= 8 ? bits : bits == 15 ? 5 : 8;
    p.SamplesPerPixel = bits <= 8 ? 1 : 3;
    p.Width = working_->Width();
    p.Height = working_->Height();
    p.DpiX = PXSettings().DefaultDpiX;
    p.DpiY = PXSettings().DefaultDpiY;
    p.FreePalette();
    UpdateAttached();
  });
}

void TPixoranIO::LoadAVIFileFirstFrame(const std::string& fileName) {
  RunOperation([&] {
    aborting_ = false;
    if (OpenAVIFile(fileName) > 0) {
      try {
        RunInner([&] { LoadFromAVI(0); });
      } catch (...) {
        CloseAVIFile();
        throw;
      }
    }
    CloseAVIFile();
    if (!aborting_) {
      params_->FileName = fileName;
      params_->FileType = ioAVI;
    }
  });
}

}  // namespace pixoran
