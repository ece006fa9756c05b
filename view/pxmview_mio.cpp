// The thumbnail view as the multi-image component sees it.
#include "view/pxmview_mio.h"

#include "io/pxmio.h"
#include "view/pxmview.h"

namespace pixoran {

namespace {

class TMViewLink final : public TPXMIOView {
 public:
  explicit TMViewLink(TPixoranMView* view) : view_(view) {}
  TPXView* Control() override { return view_; }
  int32_t LastChange() override { return view_->GetLastChange(); }
  int32_t LastChangeIndex() override { return view_->GetLastChangeIndex(); }
  int32_t ImageCount() override { return view_->GetImageCount(); }
  int32_t SelectedImage() override { return view_->SelectedImage(); }
  void SetSelectedImage(int32_t index) override { view_->SetSelectedImage(index); }
  void InsertImageNoSelect(int32_t index) override { view_->InsertImageNoSelect(index); }
  void DeleteImage(int32_t index) override { view_->DeleteImage(index); }
  bool SetImageBitmap(int32_t index, TPXBitmap& bitmap) override { return view_->SetImageBitmap(index, bitmap); }
  void SetImageDelayTime(int32_t index, int32_t ms) override { view_->SetImageDelayTime(index, ms); }
  void SetImageBackground(int32_t index, TColor colour) override { view_->SetImageBackground(index, colour); }
  void ReserveCacheSpace(int32_t count, int32_t width, int32_t height, int32_t bits) override {
    view_->ReserveCacheSpace(count, width, height, bits);
  }
  bool LoadImageFromFile(int32_t index, const std::string& fileName) override {
    return view_->LoadImageFromFile(index, fileName);
  }
  bool CopyImage(int32_t index, TPXBitmap& bitmap) override { return view_->CopyStoredImage(index, bitmap); }
  void Refresh() override {
    view_->Update();
    view_->Invalidate();
  }

 private:
  TPixoranMView* view_;
};

}  // namespace

std::unique_ptr<TPXMIOView> MViewLink(TPixoranMView* view) {
  if (!view) return nullptr;
  return std::make_unique<TMViewLink>(view);
}

void AttachMView(TPixoranMIO& mio, TPixoranMView* view) { mio.SetAttachedMView(MViewLink(view)); }

}  // namespace pixoran
