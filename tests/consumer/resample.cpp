// Loads a JPEG, halves it and saves it as PNG with the I/O and processing
// libraries alone: a program that links no widget library.
#include <cstdio>

#include "io/pixoranio.h"
#include "proc/pixoranproc.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  pixoran::TPixoranIO io;
  io.LoadFromFile(argv[1]);
  pixoran::TPXBitmap& image = *io.PXBitmap();
  const int32_t w = image.Width() / 2, h = image.Height() / 2;
  pixoran::TPixoranProc proc;
  proc.AttachBitmap(&image);
  proc.Resample(w, h, pixoran::rfLanczos3);
  io.SaveToFile(argv[2]);
  pixoran::TPixoranIO back;
  back.LoadFromFile(argv[2]);
  const bool ok = w > 0 && !proc.Aborting() && io.LastResult() == pixoran::iorOk && back.PXBitmap()->Width() == w &&
                  back.PXBitmap()->Height() == h;
  std::printf("%s: %d x %d\n", ok ? "ok" : "failed", back.PXBitmap()->Width(), back.PXBitmap()->Height());
  return ok ? 0 : 1;
}
