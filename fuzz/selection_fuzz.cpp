// Fuzz target of the viewer's selection stream: the first two bytes give
// the picture's size, the rest is loaded as a saved selection. A selection
// that loads is saved, loaded again and must save to the same bytes.
#include <QApplication>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "fuzz/fuzz_support.h"
#include "platform/streams.h"
#include "view/pixoranview.h"

using namespace pixoran;

namespace {

std::vector<uint8_t> Saved(TPixoranView& view) {
  TMemoryStream out;
  view.SaveSelectionToStream(out);
  const auto* p = static_cast<const uint8_t*>(out.Memory());
  return std::vector<uint8_t>(p, p + out.Size());
}

TPixoranView& View() {
  // The viewer is a control: it needs the application, on the screenless
  // platform, made once for the process.
  static int argc = 1;
  static char name[] = "selection_fuzz";
  static char* argv[] = {name, nullptr};
  static const bool platform = setenv("QT_QPA_PLATFORM", "offscreen", 0) == 0;
  static QApplication app(argc, argv);
  static TPixoranView view;
  (void)platform;
  return view;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pixoran::fuzzing::UseTempFilesForLargeImages();
  if (size < 2) return 0;
  TPixoranView& view = View();
  if (!view.GetPXBitmap()->Allocate(data[0] % 64 + 1, data[1] % 64 + 1, pxBGR24)) std::abort();
  view.Update();
  TReadOnlyMemoryStream stream(data + 2, static_cast<int64_t>(size - 2));
  if (!view.LoadSelectionFromStream(stream)) return 0;
  const std::vector<uint8_t> first = Saved(view);
  TReadOnlyMemoryStream again(first.data(), static_cast<int64_t>(first.size()));
  if (!view.LoadSelectionFromStream(again)) std::abort();
  if (Saved(view) != first) std::abort();
  return 0;
}
