#pragma once
// A stand-in for the thumbnail view under the multi-image component that
// keeps only the sizes of the images stored in it. It has no control, so the
// component numbers the images itself; it needs no GUI, and so serves the
// load probe's child processes too.
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "io/pxmioview.h"

namespace pixoran::testing {

class TSizesView : public TPXMIOView {
 public:
  std::vector<std::pair<int32_t, int32_t>> Sizes;
  TPXViewLink* Control() override { return nullptr; }
  int32_t LastChange() override { return pxmcNone; }
  int32_t LastChangeIndex() override { return 0; }
  int32_t ImageCount() override { return static_cast<int32_t>(Sizes.size()); }
  int32_t SelectedImage() override { return -1; }
  void SetSelectedImage(int32_t) override {}
  void InsertImageNoSelect(int32_t index) override {
    if (index < 0) index = 0;
    if (index > ImageCount()) index = ImageCount();
    Sizes.insert(Sizes.begin() + index, {0, 0});
  }
  void DeleteImage(int32_t index) override { Sizes.erase(Sizes.begin() + index); }
  bool SetImageBitmap(int32_t index, TPXBitmap& b) override {
    Sizes[static_cast<size_t>(index)] = {b.Width(), b.Height()};
    return true;
  }
  void SetImageDelayTime(int32_t, int32_t) override {}
  void SetImageBackground(int32_t, TColor) override {}
  void ReserveCacheSpace(int32_t, int32_t, int32_t, int32_t) override {}
  bool LoadImageFromFile(int32_t, const std::string&) override { return false; }
  bool CopyImage(int32_t, TPXBitmap&) override { return false; }
  void Refresh() override {}
};

}  // namespace pixoran::testing
