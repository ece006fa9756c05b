// Saves a small picture as PNG through the installed library and reads it back.
#include <cstdio>
#include <string>

#include "io/pixoranio.h"

int main(int argc, char** argv) {
  const std::string file = argc > 1 ? argv[1] : "consumer.png";
  pixoran::TPixoranIO io;
  io.PXBitmap()->Allocate(7, 5, pixoran::pxBGR24);
  io.SaveToFile(file);
  pixoran::TPixoranIO back;
  back.LoadFromFile(file);
  const bool ok = !io.Aborting() && !back.Aborting() && back.PXBitmap()->Width() == 7 && back.PXBitmap()->Height() == 5;
  std::printf("%s: %d x %d\n", ok ? "ok" : "failed", back.PXBitmap()->Width(), back.PXBitmap()->Height());
  return ok ? 0 : 1;
}
