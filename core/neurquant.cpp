#include "core/neurquant.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_colors.h"
#include "core/kopxutils_helpers.h"

namespace pixoran {

namespace {

// NeuQuant's published constants. Colours are learnt as 4-bit fixed point
// (value << 4); frequencies and biases in 16-bit fixed point.
constexpr int32_t kNetBiasShift = 4;
constexpr int32_t kCycles = 100;  // learning cycles (alpha/radius decays)
constexpr int32_t kIntBiasShift = 16;
constexpr int32_t kIntBias = 1 << kIntBiasShift;
constexpr int32_t kGammaShift = 10;
constexpr int32_t kBetaShift = 10;
constexpr int32_t kBeta = kIntBias >> kBetaShift;                       // 64
constexpr int32_t kBetaGamma = kIntBias << (kGammaShift - kBetaShift);  // 65536
constexpr int32_t kRadiusBiasShift = 6;
constexpr int32_t kRadiusBias = 1 << kRadiusBiasShift;
constexpr int32_t kRadiusDec = 30;
constexpr int32_t kInitAlpha = 1 << 10;
constexpr int32_t kRadBiasShift = 8;
constexpr int32_t kRadBias = 1 << kRadBiasShift;
constexpr int32_t kAlphaRadBias = 1 << 18;
constexpr int32_t kPrimes[4] = {499, 491, 487, 503};

inline uint32_t PackBGR(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16);
}

// The training network: structure of arrays so the contest loop vectorises.
class TNetwork {
 public:
  explicit TNetwork(int32_t n) : n_(n), b_(n), g_(n), r_(n), bias_(n, 0), freq_(n), radPower_(std::max(n / 8, 1)) {
    for (int32_t i = 0; i < n; ++i) {
      const int32_t v = (i << (kNetBiasShift + 8)) / n;
      b_[i] = g_[i] = r_[i] = v;
      freq_[i] = kIntBias / n;
    }
  }

  void Learn(const std::vector<uint32_t>& samples, int32_t sampleFactor) {
    const int64_t count = static_cast<int64_t>(samples.size());
    const int32_t alphaDec = 30 + (sampleFactor - 1) / 3;
    const int64_t delta = std::max<int64_t>(count / kCycles, 1);
    int32_t alpha = kInitAlpha;
    int32_t radius = (n_ / 8) * kRadiusBias;
    int32_t rad = RadFor(radius);
    BuildRadPower(alpha, rad);
    for (int64_t i = 0; i < count; ++i) {
      const uint32_t c = samples[static_cast<size_t>(i)];
      const int32_t b = static_cast<int32_t>(c & 0xFF) << kNetBiasShift;
      const int32_t g = static_cast<int32_t>((c >> 8) & 0xFF) << kNetBiasShift;
      const int32_t r = static_cast<int32_t>((c >> 16) & 0xFF) << kNetBiasShift;
      const int32_t j = Contest(b, g, r);
      AlterSingle(alpha, j, b, g, r);
      if (rad > 0) AlterNeighbours(rad, j, b, g, r);
      if ((i + 1) % delta == 0) {
        alpha -= alpha / alphaDec;
        radius -= radius / kRadiusDec;
        rad = RadFor(radius);
        BuildRadPower(alpha, rad);
      }
    }
  }

  int32_t Blue(int32_t i) const { return b_[i]; }
  int32_t Green(int32_t i) const { return g_[i]; }
  int32_t Red(int32_t i) const { return r_[i]; }

 private:
  static int32_t RadFor(int32_t radius) {
    // A radius of one entry would only move the winner again.
    return radius < 2 * kRadiusBias ? 0 : radius >> kRadiusBiasShift;
  }
  void BuildRadPower(int32_t alpha, int32_t rad) {
    const int32_t rad2 = rad * rad;
    for (int32_t j = 0; j < rad; ++j) radPower_[j] = alpha * (((rad2 - j * j) * kRadBias) / rad2);
  }

  // Finds the entry nearest the colour, counting in each entry's bias so that
  // rarely chosen entries get a chance; updates frequencies and biases.
  int32_t Contest(int32_t b, int32_t g, int32_t r) {
    int32_t* bias = bias_.data();
    int32_t* freq = freq_.data();
    const int32_t* nb = b_.data();
    const int32_t* ng = g_.data();
    const int32_t* nr = r_.data();
    const int32_t n = n_;
    // Distance x 256 + entry: the least key is the least distance, the first
    // entry winning ties, and a plain minimum lets the loop vectorise.
    // Distances stay below 2^14 and biased ones within +-2^20, so keys fit.
    int32_t bestKey = std::numeric_limits<int32_t>::max();
    int32_t bestBiasKey = std::numeric_limits<int32_t>::max();
    for (int32_t i = 0; i < n; ++i) {
      const int32_t d = std::abs(nb[i] - b) + std::abs(ng[i] - g) + std::abs(nr[i] - r);
      const int32_t biasDist = d - (bias[i] >> (kIntBiasShift - kNetBiasShift));  // arithmetic shift
      bestKey = std::min(bestKey, d * 256 + i);
      bestBiasKey = std::min(bestBiasKey, biasDist * 256 + i);
      const int32_t betaFreq = freq[i] >> kBetaShift;
      freq[i] -= betaFreq;
      bias[i] += betaFreq << kGammaShift;
    }
    const int32_t bestPos = bestKey & 0xFF;
    freq[bestPos] += kBeta;
    bias[bestPos] -= kBetaGamma;
    return bestBiasKey & 0xFF;
  }

  void AlterSingle(int32_t alpha, int32_t i, int32_t b, int32_t g, int32_t r) {
    b_[i] -= (alpha * (b_[i] - b)) / kInitAlpha;
    g_[i] -= (alpha * (g_[i] - g)) / kInitAlpha;
    r_[i] -= (alpha * (r_[i] - r)) / kInitAlpha;
  }

  void AlterNeighbours(int32_t rad, int32_t i, int32_t b, int32_t g, int32_t r) {
    const int32_t lo = std::max(i - rad, -1);
    const int32_t hi = std::min(i + rad, n_);
    int32_t j = i + 1, k = i - 1, step = 0;
    while (j < hi || k > lo) {
      const int32_t a = radPower_[++step];
      if (j < hi) {
        b_[j] -= (a * (b_[j] - b)) / kAlphaRadBias;
        g_[j] -= (a * (g_[j] - g)) / kAlphaRadBias;
        r_[j] -= (a * (r_[j] - r)) / kAlphaRadBias;
        ++j;
      }
      if (k > lo) {
        b_[k] -= (a * (b_[k] - b)) / kAlphaRadBias;
        g_[k] -= (a * (g_[k] - g)) / kAlphaRadBias;
        r_[k] -= (a * (r_[k] - r)) / kAlphaRadBias;
        --k;
      }
    }
  }

  int32_t n_;
  std::vector<int32_t> b_, g_, r_, bias_, freq_, radPower_;
};

// The learning samples in the order the network sees them: every step-th
// pixel, wrapping modulo the pixel count. Rows are visited once each, top to
// bottom, however the sampling jumps about.
std::vector<uint32_t> GatherSamples(TPXRowReader& source, int64_t count, int32_t step) {
  const int64_t width = source.Width(), height = source.Height();
  const int64_t pixels = width * height;
  std::vector<uint32_t> samples(static_cast<size_t>(count), 0);
  if (count == 0) return samples;

  std::vector<int64_t> rowStart(static_cast<size_t>(height + 1), 0);
  int64_t pos = 0;
  for (int64_t k = 0; k < count; ++k) {
    ++rowStart[static_cast<size_t>(pos / width + 1)];
    pos = (pos + step) % pixels;
  }
  for (int64_t y = 0; y < height; ++y) rowStart[static_cast<size_t>(y + 1)] += rowStart[static_cast<size_t>(y)];

  struct TSlot {
    int64_t sample;
    int32_t column;
  };
  std::vector<TSlot> placed(static_cast<size_t>(count));
  std::vector<int64_t> fill(rowStart.begin(), rowStart.end() - 1);
  pos = 0;
  for (int64_t k = 0; k < count; ++k) {
    const int64_t y = pos / width;
    placed[static_cast<size_t>(fill[static_cast<size_t>(y)]++)] = TSlot{k, static_cast<int32_t>(pos - y * width)};
    pos = (pos + step) % pixels;
  }
  for (int64_t y = 0; y < height; ++y) {
    const int64_t first = rowStart[static_cast<size_t>(y)], last = rowStart[static_cast<size_t>(y + 1)];
    if (first == last) continue;
    const uint8_t* row = source.Row(static_cast<int32_t>(y));
    if (!row) continue;
    for (int64_t s = first; s < last; ++s) {
      const TSlot& slot = placed[static_cast<size_t>(s)];
      samples[static_cast<size_t>(slot.sample)] = PackBGR(row + 3 * static_cast<int64_t>(slot.column));
    }
  }
  return samples;
}

}  // namespace

int32_t NeuQuantSampleFactor(int64_t pixelCount) {
  if (pixelCount < 2000) return 1;
  const double f = (static_cast<double>(pixelCount) * 13.0 - 26000.0) / 148000.0 + 2.0;
  return static_cast<int32_t>(std::clamp<int64_t>(RoundHalfEven(f), 1, 30));
}

TPXNeuQuant::TPXNeuQuant(TPXRowReader& source, std::span<TBGR> palette, int32_t n, int32_t quality) {
  n = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(std::clamp(n, 1, 256)), palette.size()));
  if (n <= 0) return;
  netSize_ = n;

  const int64_t pixels = source.PixelCount();
  if (quality == -1) {
    sampleFactor_ = NeuQuantSampleFactor(pixels);
  } else {
    const int32_t q = std::clamp(quality, 0, 100);
    sampleFactor_ = TruncToInt32((100 - q) / 100.0 * 29.0) + 1;
  }
  const int64_t byteLength = pixels * 3;
  int32_t step = kPrimes[3];
  for (int p = 0; p < 3; ++p) {
    if (byteLength % kPrimes[p] != 0) {
      step = kPrimes[p];
      break;
    }
  }

  TNetwork net(n);
  net.Learn(GatherSamples(source, byteLength / (3 * static_cast<int64_t>(sampleFactor_)), step), sampleFactor_);

  blue_.resize(static_cast<size_t>(n));
  green_.resize(static_cast<size_t>(n));
  red_.resize(static_cast<size_t>(n));
  index_.resize(static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i) {
    blue_[i] = std::clamp(net.Blue(i) >> kNetBiasShift, 0, 255);
    green_[i] = std::clamp(net.Green(i) >> kNetBiasShift, 0, 255);
    red_[i] = std::clamp(net.Red(i) >> kNetBiasShift, 0, 255);
    index_[i] = i;
    palette[static_cast<size_t>(i)] =
        TBGR{static_cast<uint8_t>(blue_[i]), static_cast<uint8_t>(green_[i]), static_cast<uint8_t>(red_[i])};
  }

  // Sort by green (selection sort: a later equal value does not displace)
  // and index each green level at the middle of its run.
  int32_t previous = 0, runStart = 0;
  for (int32_t i = 0; i < n; ++i) {
    int32_t smallPos = i;
    for (int32_t j = i + 1; j < n; ++j)
      if (green_[j] < green_[smallPos]) smallPos = j;
    if (smallPos != i) {
      std::swap(blue_[i], blue_[smallPos]);
      std::swap(green_[i], green_[smallPos]);
      std::swap(red_[i], red_[smallPos]);
      std::swap(index_[i], index_[smallPos]);
    }
    const int32_t v = green_[i];
    if (v != previous) {
      greenIndex_[static_cast<size_t>(previous)] = (runStart + i) >> 1;
      for (int32_t j = previous + 1; j < v; ++j) greenIndex_[static_cast<size_t>(j)] = i;
      previous = v;
      runStart = i;
    }
  }
  greenIndex_[static_cast<size_t>(previous)] = (runStart + n - 1) >> 1;
  for (int32_t j = previous + 1; j < 256; ++j) greenIndex_[static_cast<size_t>(j)] = n - 1;
  // Made here, not on first use, so that threads mapping rows at once share
  // it; its pages are only touched as answers are stored.
  cache_.reset(static_cast<uint16_t*>(std::calloc(size_t{1} << 24, sizeof(uint16_t))));
}

int32_t TPXNeuQuant::Search(int32_t b, int32_t g, int32_t r) const {
  if (netSize_ == 0) return 0;
  int32_t bestD = 1000;  // beyond any distance (at most 3 x 255)
  int32_t best = -1;
  int32_t i = greenIndex_[static_cast<size_t>(g)];
  int32_t j = i - 1;
  // Walk outwards from the green level in both directions; a direction ends
  // once its green difference alone reaches the best distance.
  while (i < netSize_ || j >= 0) {
    if (i < netSize_) {
      int32_t d = green_[i] - g;
      if (d >= bestD) {
        i = netSize_;
      } else {
        d = std::abs(d) + std::abs(blue_[i] - b);
        if (d < bestD) {
          d += std::abs(red_[i] - r);
          if (d < bestD) {
            bestD = d;
            best = index_[i];
          }
        }
        ++i;
      }
    }
    if (j >= 0) {
      int32_t d = g - green_[j];
      if (d >= bestD) {
        j = -1;
      } else {
        d = std::abs(d) + std::abs(blue_[j] - b);
        if (d < bestD) {
          d += std::abs(red_[j] - r);
          if (d < bestD) {
            bestD = d;
            best = index_[j];
          }
        }
        --j;
      }
    }
  }
  return best;
}

// Each distinct colour is searched once: answers are kept in a table over the
// whole colour cube (index + 1; 0 = not yet known), zeroed lazily by the
// system as its pages are first touched, so a small image costs little.
// Answers (index + 1, 0 for none yet) are read and stored whole: threads that
// find the same colour unanswered both search and store the same answer.
uint16_t TPXNeuQuant::Known(uint32_t color) const {
  return std::atomic_ref<uint16_t>(cache_[color]).load(std::memory_order_relaxed);
}

int32_t TPXNeuQuant::Answer(uint32_t color, int32_t b, int32_t g, int32_t r) const {
  const int32_t found = Search(b, g, r);
  std::atomic_ref<uint16_t>(cache_[color]).store(static_cast<uint16_t>(found + 1), std::memory_order_relaxed);
  return found;
}

int32_t TPXNeuQuant::ColorIndex(int32_t color) const {
  const uint32_t c = static_cast<uint32_t>(color) & 0xFFFFFFu;
  const auto b = static_cast<int32_t>(c & 0xFF), g = static_cast<int32_t>((c >> 8) & 0xFF),
             r = static_cast<int32_t>(c >> 16);
  if (!cache_) return Search(b, g, r);
  const uint16_t known = Known(c);
  return known != 0 ? known - 1 : Answer(c, b, g, r);
}

void TPXNeuQuant::MapRow(const uint8_t* bgr, uint8_t* indices, int32_t count) const {
  if (!cache_) {
    for (int32_t x = 0; x < count; ++x, bgr += 3) indices[x] = static_cast<uint8_t>(Search(bgr[0], bgr[1], bgr[2]));
    return;
  }
  for (int32_t x = 0; x < count; ++x, bgr += 3) {
    const uint32_t c = PackBGR(bgr);
    const uint16_t known = Known(c);
    indices[x] = static_cast<uint8_t>(known != 0 ? known - 1 : Answer(c, bgr[0], bgr[1], bgr[2]));
  }
}

// --- TPXQuantizer

// Colour -> palette index for up to 256 colours: open addressing at a load
// of at most a quarter, the first colour inserted keeping its index.
class TPXQuantizer::TColorTable {
 public:
  TColorTable() { keys_.fill(kEmpty); }

  int32_t Find(uint32_t color) const {
    for (uint32_t h = Hash(color);; h = (h + 1) & kMask) {
      if (keys_[h] == color) return values_[h];
      if (keys_[h] == kEmpty) return -1;
    }
  }
  // Adds the colour unless present; true when it was added.
  bool Insert(uint32_t color, int32_t index) {
    for (uint32_t h = Hash(color);; h = (h + 1) & kMask) {
      if (keys_[h] == color) return false;
      if (keys_[h] == kEmpty) {
        keys_[h] = color;
        values_[h] = static_cast<int16_t>(index);
        return true;
      }
    }
  }

 private:
  static constexpr uint32_t kSize = 1024;
  static constexpr uint32_t kMask = kSize - 1;
  static constexpr uint32_t kEmpty = 0xFFFFFFFFu;  // no 24-bit colour
  static uint32_t Hash(uint32_t c) { return (c * 0x9E3779B1u) >> 22; }

  std::array<uint32_t, kSize> keys_;
  std::array<int16_t, kSize> values_{};
};

TPXQuantizer::TPXQuantizer() = default;
TPXQuantizer::~TPXQuantizer() = default;

void TPXQuantizer::Done() {
  table_.reset();
  std_.reset();
  neural_.reset();
  method_ = TPXQuantMethod::None;
  colorCount_ = 0;
  tableMiss_ = -1;
}

void TPXQuantizer::Init(TPXBitmap& source, std::span<TBGR> palette, int32_t nColors, int32_t quality) {
  Done();
  const int32_t n =
      static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(std::clamp(nColors, 1, 256)), palette.size()));
  nColors_ = n;
  gray_ = source.IsGrayscale();
  if (n <= 0) return;
  const TPXPixelFormat format = source.PixelFormat();

  if (format == pxPal8) {
    // A paletted source keeps its palette, grey or not, and maps through it,
    // so that its indices stay right whatever levels the palette holds.
    const int32_t count = source.PaletteCount();
    table_ = std::make_unique<TColorTable>();
    for (int32_t i = 0; i < count; ++i) {
      const TBGR e = source.GetPaletteEntry(i);
      table_->Insert(static_cast<uint32_t>(BGRToInt(e)), i);
      if (i < n) palette_[static_cast<size_t>(i)] = palette[static_cast<size_t>(i)] = e;
    }
    colorCount_ = std::min(n, count);
    tableMiss_ = count;
    method_ = TPXQuantMethod::PaletteCopy;
    return;
  }
  if (gray_ || format != pxBGR24) {
    if (gray_) {
      for (int32_t i = 0; i < n; ++i) {
        const auto v = static_cast<uint8_t>(i * 256 / n);  // exact form of 256 / N x i
        palette_[static_cast<size_t>(i)] = palette[static_cast<size_t>(i)] = TBGR{v, v, v};
      }
      colorCount_ = n;
      method_ = TPXQuantMethod::GrayRamp;
    }
    return;
  }

  // At most n distinct colours: they are the palette, in order of first appearance.
  {
    TPXRowReader reader(source);
    auto table = std::make_unique<TColorTable>();
    int32_t found = 0;
    bool fits = true;
    const int32_t width = reader.Width();
    for (int32_t y = 0; y < reader.Height() && fits; ++y) {
      const uint8_t* p = reader.Row(y);
      if (!p) continue;
      uint32_t last = 0xFFFFFFFFu;
      for (int32_t x = 0; x < width; ++x, p += 3) {
        const uint32_t c = PackBGR(p);
        if (c == last) continue;
        last = c;
        if (table->Find(c) >= 0) continue;
        if (found == n) {
          fits = false;
          break;
        }
        table->Insert(c, found);
        palette_[static_cast<size_t>(found)] = TBGR{p[0], p[1], p[2]};
        ++found;
      }
    }
    if (fits) {
      std::copy_n(palette_.begin(), found, palette.begin());
      table_ = std::move(table);
      colorCount_ = found;
      method_ = TPXQuantMethod::ExactPalette;
      return;
    }
  }

  TPXRowReader reader(source);
  if (n < 128) {
    std_ = std::make_unique<TPXStdQuantizer>(reader, palette, n);
    colorCount_ = std_->BoxCount();
    method_ = TPXQuantMethod::VarianceSplit;
  } else {
    neural_ = std::make_unique<TPXNeuQuant>(reader, palette, n, quality);
    colorCount_ = neural_->NetSize();
    method_ = TPXQuantMethod::NeuralNet;
  }
  std::copy_n(palette.begin(), colorCount_, palette_.begin());
}

int32_t TPXQuantizer::ColorIndex(int32_t color) const {
  const uint32_t c = static_cast<uint32_t>(color) & 0xFFFFFFu;
  switch (method_) {
    case TPXQuantMethod::ExactPalette: return table_->Find(c);
    case TPXQuantMethod::GrayRamp: return static_cast<int32_t>((c >> 16) * static_cast<uint32_t>(nColors_) / 256);
    case TPXQuantMethod::VarianceSplit: return std_->ColorIndex(static_cast<int32_t>(c));
    case TPXQuantMethod::NeuralNet: return neural_->ColorIndex(static_cast<int32_t>(c));
    case TPXQuantMethod::PaletteCopy: {
      const int32_t i = table_->Find(c);
      return i >= 0 ? i : tableMiss_;
    }
    case TPXQuantMethod::None: break;
  }
  return 0;
}

int32_t TPXQuantizer::Nearest(uint32_t color) const {
  // The library's one nearest-entry rule, shared with the colour operations.
  return NearestPaletteIndex(palette_.data(), colorCount_, static_cast<int32_t>(color));
}

int32_t TPXQuantizer::ColorIndexOrNearest(int32_t color) const {
  const uint32_t c = static_cast<uint32_t>(color) & 0xFFFFFFu;
  if (method_ == TPXQuantMethod::ExactPalette || method_ == TPXQuantMethod::PaletteCopy) {
    const int32_t i = table_->Find(c);
    return i >= 0 && i < colorCount_ ? i : Nearest(c);
  }
  return ColorIndex(static_cast<int32_t>(c));
}

void TPXQuantizer::MapRow(const uint8_t* bgr, uint8_t* indices, int32_t count) const {
  if (count <= 0) return;
  switch (method_) {
    case TPXQuantMethod::ExactPalette:
    case TPXQuantMethod::PaletteCopy: {
      uint32_t last = 0xFFFFFFFFu;
      uint8_t lastIndex = 0;
      for (int32_t x = 0; x < count; ++x, bgr += 3) {
        const uint32_t c = PackBGR(bgr);
        if (c != last) {
          last = c;
          const int32_t i = table_->Find(c);
          lastIndex = static_cast<uint8_t>(i >= 0 && i < colorCount_ ? i : Nearest(c));
        }
        indices[x] = lastIndex;
      }
      return;
    }
    case TPXQuantMethod::GrayRamp: {
      const uint32_t n = static_cast<uint32_t>(nColors_);
      for (int32_t x = 0; x < count; ++x) indices[x] = static_cast<uint8_t>(bgr[3 * x + 2] * n >> 8);
      return;
    }
    case TPXQuantMethod::VarianceSplit: std_->MapRow(bgr, indices, count); return;
    case TPXQuantMethod::NeuralNet: neural_->MapRow(bgr, indices, count); return;
    case TPXQuantMethod::None: break;
  }
  std::memset(indices, 0, static_cast<size_t>(count));
}

}  // namespace pixoran
