// Saves a small picture as PNG through the installed library and reads it
// back; a format's own header is found where the library installs it.
#include <cstdio>
#include <string>

#include "io/formats/png/pngfilt.h"
#include "io/pixoranio.h"
#include "platform/streams.h"

int main(int argc, char** argv) {
  const std::string file = argc > 1 ? argv[1] : "consumer.png";
  pixoran::TPixoranIO io;
  io.PXBitmap()->Allocate(7, 5, pixoran::pxBGR24);
  io.SaveToFile(file);
  pixoran::TPixoranIO back;
  back.LoadFromFile(file);
  pixoran::TFileStream saved(file, pixoran::fmOpenRead);
  const bool ok = !io.Aborting() && !back.Aborting() && back.PXBitmap()->Width() == 7 &&
                  back.PXBitmap()->Height() == 5 && pixoran::IsPNGStream(saved);
  std::printf("%s: %d x %d\n", ok ? "ok" : "failed", back.PXBitmap()->Width(), back.PXBitmap()->Height());
  return ok ? 0 : 1;
}
