#pragma once
// NeuQuant (a Kohonen self-organising network of colours, used for 128
// colours and more) and TPXQuantizer, the one facade through which every
// paletted writer, the pixel-format conversion and the colour reduction turn
// 24-bit pixels into palette indices.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "core/stdquant.h"

namespace pixoran {

class TPXBitmap;

// Learning samples every sample-factor-th pixel: 1 below 2000 pixels, then
// growing with the image up to 30.
PIXORAN_CORE_EXPORT int32_t NeuQuantSampleFactor(int64_t pixelCount);

class PIXORAN_CORE_EXPORT TPXNeuQuant {
 public:
  // Trains a network of n entries (clamped to 1..256 and to the palette's
  // size) on the source and writes entry i to palette[i]. Quality -1 picks
  // the sample factor from the pixel count; 0..100 maps 100 to every pixel
  // and 0 to every 30th.
  TPXNeuQuant(TPXRowReader& source, std::span<TBGR> palette, int32_t n, int32_t quality = -1);

  // Palette index of the nearest entry (sum of absolute differences).
  // Answers are remembered; threads may ask at once.
  int32_t ColorIndex(int32_t color) const;
  void MapRow(const uint8_t* bgr, uint8_t* indices, int32_t count) const;
  int32_t NetSize() const { return netSize_; }
  int32_t SampleFactor() const { return sampleFactor_; }

 private:
  int32_t Search(int32_t b, int32_t g, int32_t r) const;
  // The remembered answer of a colour (index + 1, 0 for none), and a
  // colour's answer found and remembered.
  uint16_t Known(uint32_t color) const;
  int32_t Answer(uint32_t color, int32_t b, int32_t g, int32_t r) const;

  int32_t netSize_ = 0;
  int32_t sampleFactor_ = 1;
  // The network sorted by green, with each entry's palette index.
  std::vector<int32_t> blue_, green_, red_, index_;
  std::array<int32_t, 256> greenIndex_{};
  struct TFree {
    void operator()(void* p) const { std::free(p); }
  };
  std::unique_ptr<uint16_t[], TFree> cache_;  // answers by colour (nullptr when it could not be had)
};

// How TPXQuantizer::Init built the palette.
enum class TPXQuantMethod : uint8_t {
  None,           // no palette was written
  PaletteCopy,    // a pxPal8 source: its own palette
  GrayRamp,       // a grey source: entry i = 256 * i / N in all three bytes
  ExactPalette,   // at most N distinct colours, in order of first appearance
  VarianceSplit,  // fewer than 128 colours
  NeuralNet,      // 128 colours and more
};

class PIXORAN_CORE_EXPORT TPXQuantizer {
 public:
  TPXQuantizer();
  ~TPXQuantizer();
  TPXQuantizer(const TPXQuantizer&) = delete;
  TPXQuantizer& operator=(const TPXQuantizer&) = delete;

  // Builds the palette for source with at most nColors entries (clamped to
  // 1..256 and to palette.size()). Entries from ColorCount() on are left
  // untouched. The source is only read during Init.
  void Init(TPXBitmap& source, std::span<TBGR> palette, int32_t nColors, int32_t quality = -1);
  // Frees the quantizer state; ColorIndex then answers 0.
  void Done();

  // Palette index of a colour integer (blue in bits 0-7, red in 16-23):
  // an exact palette gives the entry holding that colour or -1; a grey
  // source red * N / 256; a quantizer its mapping; a pxPal8 source the
  // first entry of its palette holding that colour, or 256 when none does.
  int32_t ColorIndex(int32_t color) const;
  // As ColorIndex, but always a written entry (0..ColorCount()-1): a colour
  // that no entry holds gets NearestPaletteIndex's answer (least sum of
  // absolute differences, first wins). What writers use.
  int32_t ColorIndexOrNearest(int32_t color) const;
  // ColorIndexOrNearest of count blue-green-red pixels, one dispatch per row.
  // Threads may map rows at once.
  void MapRow(const uint8_t* bgr, uint8_t* indices, int32_t count) const;

  TPXQuantMethod Method() const { return method_; }
  bool Gray() const { return gray_; }
  int32_t NColors() const { return nColors_; }
  // Palette entries Init wrote.
  int32_t ColorCount() const { return colorCount_; }

 private:
  class TColorTable;

  int32_t Nearest(uint32_t color) const;

  TPXQuantMethod method_ = TPXQuantMethod::None;
  bool gray_ = false;
  int32_t nColors_ = 0;
  int32_t colorCount_ = 0;
  std::array<TBGR, 256> palette_{};     // the entries written, for nearest look-ups
  std::unique_ptr<TColorTable> table_;  // exact palette or the pxPal8 source's palette
  int32_t tableMiss_ = -1;              // ColorIndex of a colour the table lacks
  std::unique_ptr<TPXStdQuantizer> std_;
  std::unique_ptr<TPXNeuQuant> neural_;
};

}  // namespace pixoran
