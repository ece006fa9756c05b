// Fuzz target of the AVI frame reader: every input is opened as an AVI and
// each of its first frames decoded.
#include <atomic>
#include <cstdint>
#include <memory>

#include "core/kopxutils_bitmap.h"
#include "fuzz/fuzz_support.h"
#include "io/formats/avi/pxavi.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

using namespace pixoran;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pixoran::fuzzing::UseTempFilesForLargeImages();
  auto stream = std::make_unique<TMemoryStream>();
  stream->Write(data, static_cast<int64_t>(size));
  TAVIReader reader;
  if (!reader.Open(std::move(stream))) return 0;
  reader.FrameDelay();
  const int32_t n = reader.FrameCount() < 4 ? reader.FrameCount() : 4;
  for (int32_t i = 0; i < n; ++i) {
    TPXBitmap bitmap;
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    reader.ReadFrame(i, bitmap, progress);
  }
  return 0;
}
