#include "core/stdquant.h"

#include <algorithm>
#include <memory>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "platform/graphics.h"

namespace pixoran {

// --- TPXRowReader

TPXRowReader::TPXRowReader(TPXBaseBitmap& bitmap) {
  if (bitmap.PixelFormat() != pxBGR24 || bitmap.Width() <= 0 || bitmap.Height() <= 0) {
    row_ = [](int32_t) -> const uint8_t* { return nullptr; };
    return;
  }
  readOnly_.emplace(bitmap, pxaRead);
  width_ = bitmap.Width();
  height_ = bitmap.Height();
  row_ = [source = &bitmap](int32_t r) -> const uint8_t* { return source->Scanline(r); };
}

TPXRowReader::TPXRowReader(TBitmap& bitmap) {
  if (bitmap.PixelFormat() != pf24bit || bitmap.Empty()) {
    row_ = [](int32_t) -> const uint8_t* { return nullptr; };
    return;
  }
  width_ = bitmap.Width();
  height_ = bitmap.Height();
  row_ = [source = static_cast<const TBitmap*>(&bitmap)](int32_t r) -> const uint8_t* { return source->ScanLine(r); };
}

TPXRowReader::~TPXRowReader() = default;

// --- variance splitting

namespace {

constexpr int kRed = 0, kGreen = 1, kBlue = 2;
// Score of a channel that cannot be split: above any real sum of variances.
constexpr double kNoSplit = 17523.6;

struct TBox {
  double variance = 0.0;
  double mean[3] = {0.0, 0.0, 0.0};  // red, green, blue in 5-bit units
  int64_t count = 0;
  int64_t hist[3][32] = {};      // red, green, blue
  int32_t lower[3] = {0, 0, 0};  // inclusive
  int32_t upper[3] = {0, 0, 0};  // exclusive
};

inline int32_t Cell(int32_t r, int32_t g, int32_t b) { return (r << 10) | (g << 5) | b; }

class TSplitter {
 public:
  TSplitter(const std::vector<int64_t>& histogram, int64_t pixelCount)
      : histogram_(histogram), pixelCount_(pixelCount) {}

  void Statistics(TBox& box) const {
    if (box.count == 0) {
      box.variance = 0.0;
      return;
    }
    const double n = static_cast<double>(box.count);
    double variance = 0.0;
    for (int c = 0; c < 3; ++c) {
      double s1 = 0.0, s2 = 0.0;
      for (int32_t i = box.lower[c]; i < box.upper[c]; ++i) {
        const double h = static_cast<double>(box.hist[c][i]);
        s1 += i * h;
        s2 += static_cast<double>(i) * i * h;
      }
      box.mean[c] = s1 / n;
      variance += s2 - box.mean[c] * box.mean[c] * n;
    }
    box.variance = variance / static_cast<double>(pixelCount_);
  }

  // Splits box along channel c into first and second; false when it cannot.
  bool TrialSplit(const TBox& box, int c, TBox& first, TBox& second) const {
    const int32_t lo = box.lower[c], hi = box.upper[c];
    if (hi == lo + 1) return false;
    const int64_t n = box.count;
    const double m = box.mean[c];
    const int32_t start = static_cast<int32_t>(RoundHalfEven((lo + m) * 0.5));
    const int32_t end = static_cast<int32_t>(RoundHalfEven((m + hi) * 0.5));
    const int64_t* h = box.hist[c];
    int64_t below = 0;
    for (int32_t i = lo; i < start; ++i) below += h[i];
    double best = -1.0, t = 0.0;
    int32_t cut = start;
    int64_t cutCount = n;
    // Every pixel lies below hi, so the running count reaches n before e
    // could leave the box; the bound only guards the table.
    for (int32_t e = start; e <= end && e < hi; ++e) {
      below += h[e];
      if (below == n) break;
      t += static_cast<double>(h[e]) * e / static_cast<double>(n);
      const double d = m - t;
      const double score = static_cast<double>(below) / static_cast<double>(n - below) * d * d;
      if (score > best) {
        best = score;
        cut = e;
        cutCount = below;
      }
    }
    first = box;
    second = box;
    first.count = cutCount;
    first.upper[c] = cut + 1;
    second.count = n - cutCount;
    second.lower[c] = cut + 1;
    if (first.count == 0 || second.count == 0) return false;

    // Boxes are disjoint rectangles, so every histogram cell inside first's
    // bounds is first's own.
    for (auto& ch : first.hist) std::fill(std::begin(ch), std::end(ch), 0);
    for (int32_t r = first.lower[kRed]; r < first.upper[kRed]; ++r) {
      for (int32_t g = first.lower[kGreen]; g < first.upper[kGreen]; ++g) {
        const int64_t* row = &histogram_[static_cast<size_t>(Cell(r, g, 0))];
        int64_t sum = 0;
        for (int32_t b = first.lower[kBlue]; b < first.upper[kBlue]; ++b) {
          sum += row[b];
          first.hist[kBlue][b] += row[b];
        }
        first.hist[kRed][r] += sum;
        first.hist[kGreen][g] += sum;
      }
    }
    for (int ch = 0; ch < 3; ++ch)
      for (int i = 0; i < 32; ++i) second.hist[ch][i] -= first.hist[ch][i];
    Shrink(first);
    Shrink(second);
    Statistics(first);
    Statistics(second);
    return true;
  }

  // Splits boxes[k] into itself and boxes[into] along the best channel.
  bool Split(std::vector<TBox>& boxes, int32_t k, int32_t into) const {
    TBox halves[3][2];
    double score[3];
    for (int c = 0; c < 3; ++c) {
      score[c] = TrialSplit(boxes[static_cast<size_t>(k)], c, halves[c][0], halves[c][1])
                     ? halves[c][0].variance + halves[c][1].variance
                     : kNoSplit;
    }
    int chosen = -1;
    if (score[kRed] < kNoSplit && score[kRed] <= score[kGreen] && score[kRed] <= score[kBlue]) chosen = kRed;
    else if (score[kGreen] < kNoSplit && score[kGreen] <= score[kRed] && score[kGreen] <= score[kBlue]) chosen = kGreen;
    else if (score[kBlue] < kNoSplit) chosen = kBlue;
    if (chosen < 0) return false;
    boxes[static_cast<size_t>(k)] = halves[chosen][0];
    boxes[static_cast<size_t>(into)] = halves[chosen][1];
    return true;
  }

 private:
  static void Shrink(TBox& box) {
    for (int c = 0; c < 3; ++c) {
      int32_t lo = 0, hi = 31;
      while (lo < 32 && box.hist[c][lo] == 0) ++lo;
      while (hi >= lo && box.hist[c][hi] == 0) --hi;
      box.lower[c] = lo;
      box.upper[c] = hi + 1;
    }
  }

  const std::vector<int64_t>& histogram_;
  int64_t pixelCount_;
};

}  // namespace

TPXStdQuantizer::TPXStdQuantizer(TPXRowReader& source, std::span<TBGR> palette, int32_t n) {
  n = static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(std::clamp(n, 1, 256)), palette.size()));
  if (n <= 0) return;

  // 64-bit counters: a cell of a very large image may pass 2^32 pixels.
  std::vector<int64_t> histogram(32768, 0);
  const int32_t width = source.Width(), height = source.Height();
  for (int32_t y = 0; y < height; ++y) {
    const uint8_t* p = source.Row(y);
    if (!p) continue;
    for (int32_t x = 0; x < width; ++x, p += 3) ++histogram[static_cast<size_t>(Cell(p[2] >> 3, p[1] >> 3, p[0] >> 3))];
  }

  std::vector<TBox> boxes(256);
  TBox& first = boxes[0];
  for (int32_t r = 0; r < 32; ++r)
    for (int32_t g = 0; g < 32; ++g)
      for (int32_t b = 0; b < 32; ++b) {
        const int64_t h = histogram[static_cast<size_t>(Cell(r, g, b))];
        first.hist[kRed][r] += h;
        first.hist[kGreen][g] += h;
        first.hist[kBlue][b] += h;
      }
  for (int c = 0; c < 3; ++c) {
    first.lower[c] = 0;
    first.upper[c] = 32;
  }
  first.count = source.PixelCount();
  TSplitter splitter(histogram, source.PixelCount());
  splitter.Statistics(first);

  int32_t i = 1;
  while (i < n) {
    int32_t chosen = -1;
    double largest = 0.0;
    for (int32_t k = 0; k < i; ++k) {
      if (boxes[static_cast<size_t>(k)].variance > largest) {
        largest = boxes[static_cast<size_t>(k)].variance;
        chosen = k;
      }
    }
    if (chosen < 0) break;
    if (splitter.Split(boxes, chosen, i)) ++i;
    else boxes[static_cast<size_t>(chosen)].variance = 0.0;
  }
  boxCount_ = i;

  for (int32_t k = 0; k < boxCount_; ++k) {
    const TBox& box = boxes[static_cast<size_t>(k)];
    auto level = [](double mean) { return static_cast<uint8_t>(std::clamp<int64_t>(RoundHalfEven(mean), 0, 31) << 3); };
    palette[static_cast<size_t>(k)] = TBGR{level(box.mean[kBlue]), level(box.mean[kGreen]), level(box.mean[kRed])};
    // Later boxes overwrite earlier ones where bounds overlap.
    for (int32_t r = box.lower[kRed]; r < box.upper[kRed]; ++r)
      for (int32_t g = box.lower[kGreen]; g < box.upper[kGreen]; ++g)
        for (int32_t b = box.lower[kBlue]; b < box.upper[kBlue]; ++b)
          inverseMap_[static_cast<size_t>(Cell(r, g, b))] = static_cast<uint8_t>(k);
  }
}

void TPXStdQuantizer::MapRow(const uint8_t* bgr, uint8_t* indices, int32_t count) const {
  const uint8_t* map = inverseMap_.data();
  for (int32_t x = 0; x < count; ++x, bgr += 3)
    indices[x] = map[((bgr[2] >> 3) << 10) | ((bgr[1] >> 3) << 5) | (bgr[0] >> 3)];
}

}  // namespace pixoran
