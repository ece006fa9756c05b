// Fuzz target of the metafile reader: the header's size, the bitmap size
// rules and the record player, for EMF and placeable WMF, on a small bitmap.
#include <QGuiApplication>

#include <cstdint>
#include <cstdlib>

#include "io/formats/metafile/pxmetafile.h"
#include "platform/graphics.h"

using namespace pixoran;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Text needs fonts, and fonts need a GUI application.
  static QGuiApplication* app = [] {
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    static int argc = 1;
    static char name[] = "metafile_fuzz";
    static char* argv[] = {name, nullptr};
    return new QGuiApplication(argc, argv);
  }();
  (void)app;
  TMetafileInfo info;
  if (!ReadMetafileInfo(data, static_cast<int64_t>(size), info)) return 0;
  int32_t w = 0, h = 0;
  // The last byte picks the requested width (0: the picture's own size).
  const int32_t req = size && data[size - 1] ? static_cast<int8_t>(data[size - 1]) : -1;
  if (!MetafileTargetSize(info, req, -1, w, h)) return 0;
  if (int64_t{w} * h > 256 * 256) w = 64, h = 64;  // the player's work, not the bitmap size, is under test
  TBitmap target;
  target.SetPixelFormat(pf24bit);
  target.SetSize(w, h);
  PlayMetafile(data, static_cast<int64_t>(size), target);
  return 0;
}
