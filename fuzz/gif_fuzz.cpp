// Fuzz target of the GIF reader and so of the LZW decoder: every input is
// read as one frame (and for its parameters only), copied without a frame,
// and, when its screen is small (always at the default budget), composed
// as an animation. A frame that reads cleanly is written back in a pixel
// format and with a record the input picks, and must read back as written.
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "fuzz/fuzz_support.h"
#include "io/formats/gif/giffilter.h"
#include "io/pixoranio_params.h"
#include "core/pxprogress.h"
#include "platform/streams.h"

using namespace pixoran;

namespace {

// Rows as colours, whatever the pixel format.
std::vector<uint8_t> Colours(TPXBitmap& b) {
  const int32_t w = b.Width();
  std::vector<uint8_t> out(static_cast<size_t>(w) * 3 * static_cast<size_t>(b.Height()));
  for (int32_t y = 0; y < b.Height(); ++y)
    RowToBGR24(b.PixelFormat(), b.Scanline(y), out.data() + static_cast<size_t>(y) * w * 3, w, b.Palette(),
               b.PaletteCount());
  return out;
}

// A small generator of the record and format choices, fed from the input.
struct TChoices {
  const uint8_t* p;
  size_t n, at = 0;
  uint32_t Next(uint32_t range) { return range ? (at < n ? p[at++] : 0) % range : 0; }
};

// Written back in a pixel format and with a record picked by the input, a
// frame must be writable and read back at its size and place; its colours
// come back exactly at 8 bits (and from a black-and-white bitmap at any
// depth), and the comments and delay with the 89a signature.
void RoundTrip(TPXBitmap& frame, TChoices& pick) {
  if (int64_t{frame.Width()} * frame.Height() > (1 << 16)) return;
  static constexpr TPXPixelFormat kFormats[] = {pxBW1, pxPal8, pxGray8, pxBGR24, pxGray16};
  TPXBitmap image;
  image.Assign(&frame);
  try {
    image.SetPixelFormat(kFormats[pick.Next(5)]);
  } catch (const EPXBitmapError&) {
    return;  // a pair the conversion refuses
  }
  TIOParamsVals params;
  params.BitsPerSample = pick.Next(2) ? 8 : 1 + static_cast<int32_t>(pick.Next(8));
  params.GIFVersion = pick.Next(4) ? "GIF89a" : "GIF87a";
  params.GIFInterlaced = static_cast<uint8_t>(pick.Next(2));
  params.GIFXPos = static_cast<int32_t>(pick.Next(40));
  params.GIFYPos = static_cast<int32_t>(pick.Next(40));
  params.GIFDelayTime = static_cast<int32_t>(pick.Next(200));
  params.GIFAction = static_cast<uint8_t>(pick.Next(4));  // written as 2 whatever it is
  params.GIFTransparent = static_cast<uint8_t>(pick.Next(2));
  params.GIFTranspColor = TBGR{static_cast<uint8_t>(pick.Next(256)), 0, 0};
  params.GIFBackground = TBGR{0, static_cast<uint8_t>(pick.Next(256)), 0};
  params.GIFWinWidth = static_cast<int32_t>(pick.Next(300));
  params.GIFWinHeight = static_cast<int32_t>(pick.Next(300));
  // One sub-block a line: up to 255 characters.
  if (pick.Next(2)) params.GIFComments = {std::string(1 + pick.Next(255), 'c'), "second"};
  const bool v89 = params.GIFVersion == "GIF89a";
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream out;
  WriteGIFStream(out, image, params, progress);
  if (aborting) std::abort();
  out.SetPosition(0);
  TPXBitmap back;
  TIOParamsVals backParams;
  std::unique_ptr<TPXMask> mask;
  int32_t count = 0;
  ReadGIFStream(out, back, count, backParams, progress, false, mask, true);
  if (aborting || count != 1 || back.Width() != image.Width() || back.Height() != image.Height()) std::abort();
  if (backParams.GIFXPos != params.GIFXPos || backParams.GIFYPos != params.GIFYPos) std::abort();
  // Below 256 colours the box quantizer keeps five bits a channel.
  const bool exact = params.BitsPerSample == 8 || (params.BitsPerSample == 1 && image.PixelFormat() == pxBW1);
  if (exact && !params.GIFTransparent && Colours(image) != Colours(back)) std::abort();
  if (v89 && (backParams.GIFDelayTime != params.GIFDelayTime || backParams.GIFComments != params.GIFComments))
    std::abort();
}

// Frames 0..3 and the screen stay small. Larger ones are legal (data may
// end early, the rest is zero) but cost seconds per input here; the tests
// cover them. At the default budget every input is composed, so that a
// screen only the budget would bound shows as an RSS failure.
bool SmallEnough(const uint8_t* data, int64_t size) {
  if (size < 10 || int64_t{data[6] | (data[7] << 8)} * (data[8] | (data[9] << 8)) > (1 << 16)) return false;
  int32_t widest = 0, highest = 0;
  for (int32_t i = 0; i < 4; ++i) {
    TReadOnlyMemoryStream stream(data, size);
    TPXBitmap none;
    TIOParamsVals params;
    params.GIFImageIndex = i;
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    std::unique_ptr<TPXMask> mask;
    int32_t count = 0;
    ReadGIFStream(stream, none, count, params, progress, true, mask, true);
    widest = std::max({widest, params.Width, params.GIFWinWidth});
    highest = std::max({highest, params.Height, params.GIFWinHeight});
    if (i + 1 >= count) break;
  }
  return int64_t{widest} * highest <= (1 << 16);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  pixoran::fuzzing::UseTempFilesForLargeImages();
  const uint8_t choice = size ? data[size - 1] : 0;
  const auto length = static_cast<int64_t>(size);
  if (!pixoran::fuzzing::AtDefaultBudget() && !SmallEnough(data, length)) {
    // Only what costs nothing per pixel: parameters, counting and copying.
    TReadOnlyMemoryStream stream(data, length);
    TMemoryStream copy;
    CopyGIFWithoutFrame(stream, &copy, (choice >> 4) & 3);
    return 0;
  }
  {
    TReadOnlyMemoryStream stream(data, length);
    TPXBitmap bitmap;
    TIOParamsVals params;
    params.GIFImageIndex = choice & 3;
    params.KeepNativeFormat = (choice >> 2) & 1;
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    std::unique_ptr<TPXMask> mask;
    int32_t count = 0;
    ReadGIFStream(stream, bitmap, count, params, progress, false, mask, (choice >> 3) & 1);
    // The record and format of the round trip come from the input's end.
    TChoices pick{data + length - std::min<int64_t>(length, 16), static_cast<size_t>(std::min<int64_t>(length, 16))};
    if (!aborting && bitmap.Width() > 0 && bitmap.Height() > 0) RoundTrip(bitmap, pick);
    stream.SetPosition(0);
    aborting = false;
    ReadGIFStream(stream, bitmap, count, params, progress, true, mask, true);
  }
  {
    TReadOnlyMemoryStream stream(data, length);
    TMemoryStream copy;
    CopyGIFWithoutFrame(stream, &copy, (choice >> 4) & 3);
  }
  {
    TReadOnlyMemoryStream stream(data, length);
    TPXBitmap bitmap, alpha;
    TIOParamsVals params;
    params.GIFImageIndex = (choice >> 4) & 3;
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    ReadGIFAnimationFrame(stream, bitmap, alpha, params, progress);
  }
  return 0;
}
