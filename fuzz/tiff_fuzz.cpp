// Fuzz target of the TIFF reader and its codecs: every input is read as a
// TIFF page (the page, native formats and orientation chosen by its last
// byte), counted, read for its parameters only, and fed raw to the LZW and
// CCITT decoders. The annotations a page holds must write and read back to
// the same block once written by us, and a small page with annotations or a
// profile must carry both through the TIFF writer.
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "fuzz/fuzz_support.h"
#include "io/pixoranio_params.h"
#include "io/pxmetadata.h"
#include "core/pxprogress.h"
#include "io/formats/tiff/tifccitt.h"
#include "io/formats/tiff/tiffilt.h"
#include "io/formats/tiff/tiflzw.h"
#include "platform/streams.h"

using namespace pixoran;

namespace {

std::vector<uint8_t> SavedAnnotations(const TPXImagingAnnot& a) {
  std::vector<uint8_t> out;
  a.SaveToStandardBuffer(out);
  return out;
}

std::vector<uint8_t> Reparsed(const std::vector<uint8_t>& block) {
  TPXImagingAnnot a;
  a.LoadFromStandardBuffer(block.data(), static_cast<int64_t>(block.size()));
  return SavedAnnotations(a);
}

// Our own block reads back to itself (after one pass, which brings font
// heights beyond what the scale can hold into range).
void CheckAnnotations(const TPXImagingAnnot& read) {
  const std::vector<uint8_t> once = Reparsed(SavedAnnotations(read));
  if (Reparsed(once) != once) std::abort();
}

// The page written with its annotations and profile reads back with them.
void CheckMetadataThroughTheWriter(TPXBitmap& bitmap, TIOParamsVals& params) {
  std::atomic<bool> aborting{false};
  TPXProgressRec progress;
  progress.Aborting = &aborting;
  TMemoryStream out;
  params.TIFFImageIndex = 0;
  WriteTIFFStream(out, false, &bitmap, progress, params);
  if (aborting) std::abort();
  out.SetPosition(0);
  TIOParamsVals back;
  int32_t pages = 0;
  ReadTIFFStream(nullptr, out, pages, false, true, true, nullptr, true, progress, &back);
  if (aborting || pages != 1) std::abort();
  if (SavedAnnotations(*back.ImagingAnnot) != SavedAnnotations(*params.ImagingAnnot)) std::abort();
  const TPXICC& a = *params.InputICC;
  const TPXICC& b = *back.InputICC;
  if (a.RawSize() != b.RawSize() || (a.RawSize() > 0 && std::memcmp(a.Raw(), b.Raw(), a.RawSize()) != 0)) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzzing::UseTempFilesForLargeImages();
  const uint8_t choice = size ? data[size - 1] : 0;
  const auto length = static_cast<int64_t>(size);
  {
    TReadOnlyMemoryStream stream(data, length);
    TPXBitmap bitmap, alpha;
    TIOParamsVals params;
    params.TIFFImageIndex = choice & 3;
    params.KeepNativeFormat = (choice >> 2) & 1;
    params.TIFFApplyOrientation = (choice >> 3) & 1;
    std::atomic<bool> aborting{false};
    TPXProgressRec progress;
    progress.Aborting = &aborting;
    int32_t pages = 0;
    ReadTIFFStream(&bitmap, stream, pages, (choice >> 4) & 1, (choice >> 5) & 1, true, &alpha, false, progress,
                   &params);
    if (params.ImagingAnnot->Count() > 0) CheckAnnotations(*params.ImagingAnnot);
    if (!aborting && bitmap.Width() > 0 && int64_t{bitmap.Width()} * bitmap.Height() <= 65536 &&
        (params.ImagingAnnot->Count() > 0 || !params.InputICC->IsEmpty())) {
      // What the writer makes of the annotations is compared, so they are
      // brought to our own form first.
      const std::vector<uint8_t> ours = SavedAnnotations(*params.ImagingAnnot);
      params.ImagingAnnot->Clear();
      params.ImagingAnnot->LoadFromStandardBuffer(ours.data(), static_cast<int64_t>(ours.size()));
      CheckMetadataThroughTheWriter(bitmap, params);
    }
    stream.SetPosition(0);
    TIFFPageCount(stream);
    stream.SetPosition(0);
    TIOParamsVals only;
    aborting = false;
    ReadTIFFStream(nullptr, stream, pages, false, false, true, nullptr, true, progress, &only);
  }
  // The codecs on their own, on a row width from the first bytes.
  const int32_t width = size >= 2 ? 1 + ((data[0] << 8 | data[1]) % 4000) : 1;
  std::vector<uint8_t> row((width + 7) / 8), ref(row.size(), 0xFF);
  int64_t bit = 0;
  for (int y = 0; y < 64 && bit < length * 8; ++y) {
    const int64_t next =
        (choice & 64) ? DecodeCCITTRow2D(row.data(), data, length, true, 1 + (choice >> 7), bit, ref.data(), width)
                      : DecodeCCITTRow1D(row.data(), data, length, 1 + (choice >> 7), bit, width);
    if (next <= bit) break;
    bit = next;
  }
  TTIFFLZWState* state = nullptr;
  for (int y = 0; y < 64; ++y)
    if (!TIFFLZWDecompress(data, length, width, state)) break;
  TIFFLZWDecompress(nullptr, 0, 0, state);
  return 0;
}
