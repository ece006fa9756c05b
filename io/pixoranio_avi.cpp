// AVI frames of the I/O component.
#include "core/kopxutils_settings.h"
#include "io/pixoranio.h"
#include "io/formats/avi/pxavi.h"

namespace pixoran {

int32_t TPixoranIO::OpenAVIFile(const std::string& fileName) {
  // No finishing event, but a result of its own.
  result_.Reset();
  cancelRequested_ = false;
  CloseAVIFile();
  aviFrameCount_ = 0;
  params_->AVIFrameCount = 0;
  params_->FileName = fileName;
  params_->FileType = 0;
  std::unique_ptr<TStream> stream;
  try {
    stream = std::make_unique<TFileStream>(fileName, fmOpenRead);
  } catch (...) {
    std::string text;
    const TPXIOResult kind = IOResultOfException(std::current_exception(), text);
    Fail(kind, "AVI: " + text);
    return 0;
  }
  auto reader = std::make_shared<TAVIReader>();
  if (!reader->Open(std::move(stream))) {
    Fail(reader->FailureKind(), reader->FailureText());
    return 0;
  }
  avi_ = std::move(reader);
  aviFrameCount_ = params_->AVIFrameCount = avi_->FrameCount();
  aviFrameDelay_ = params_->AVIFrameDelay = 0;
  return aviFrameCount_;
}

void TPixoranIO::CloseAVIFile() { avi_.reset(); }

void TPixoranIO::LoadFromAVI(int32_t frame) {
  if (HandOff([this, frame] { LoadFromAVI(frame); })) return;
  RunOperation([&] {
    aborting_ = false;
    if (!PrepareBitmap()) {
      Fail(iorFailed, "AVI: the attached bitmap cannot take the frame");
      return;
    }
    if (!avi_) {
      Fail(iorFailed, "AVI: no file is open");
      return;
    }
    if (frame < 0 || frame >= avi_->FrameCount()) {
      Fail(iorFailed,
           "AVI: frame " + std::to_string(frame) + " is not among the " + std::to_string(avi_->FrameCount()));
      return;
    }
    params_->ResetInfo();
    TPXProgressRec progress = MakeProgress();
    const int32_t bits = avi_->ReadFrame(frame, *working_, progress);
    if (bits == 0) {
      Fail(iorCorrupt, "AVI: frame " + std::to_string(frame) + " cannot be decoded");
      return;
    }
    TIOParamsVals& p = *params_;
    aviFrameCount_ = p.AVIFrameCount = avi_->FrameCount();
    aviFrameDelay_ = p.AVIFrameDelay = avi_->FrameDelay();
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
