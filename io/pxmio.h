#pragma once
// The multi-image component: loads every frame or page of a GIF, TIFF, AVI,
// icon or DCX file into a thumbnail view and keeps one parameter record per
// image of that view, in the view's order. It follows the view's inserts,
// deletes and clears through the view's bitmap-change callbacks, shows the
// save-parameters preview dialog for one frame or for all (through the
// I/O component's dialog hook), and receives acquired bitmaps.
//
// The view is reached through TPXMIOView (io/pxmioview.h); the view layer
// attaches its thumbnail view with AttachMView (view/pxmview_mio.h).
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "io/pixoranio_params.h"
#include "io/pxmioview.h"
#include "core/pxprogress.h"
#include "io/pxtwain.h"
#include "platform/classes.h"
#include "platform/graphics.h"
#include "platform/streams.h"

namespace pixoran {

class TPixoranIO;
class TPXWia;
class TPXBitmap;

// Bits of PreviewsParams.
constexpr uint8_t ioppDefaultLockPreview = 0x01;  // the preview starts locked
constexpr uint8_t ioppApplyButton = 0x02;         // the dialog shows its Apply button

class PIXORAN_IO_EXPORT TPixoranMIO : public TComponent {
 public:
  explicit TPixoranMIO(TComponent* owner = nullptr);
  ~TPixoranMIO() override;
  TPixoranMIO(const TPixoranMIO&) = delete;
  TPixoranMIO& operator=(const TPixoranMIO&) = delete;

  // ------------------------------------------------------------ the view

  TPXMIOView* AttachedMView() const { return view_.get(); }
  // Leaves the old view, takes the new one (nullptr: none) and makes the
  // records as many as its images: records past its count go, missing ones
  // are added at the end.
  void SetAttachedMView(std::unique_ptr<TPXMIOView> view);

  // The record of image index; nullptr out of range.
  TIOParamsVals* GetParams(int32_t index) const;
  int32_t ParamsCount() const { return static_cast<int32_t>(params_.size()); }
  // A new record at index (appended past the end), copied from its
  // neighbour when there is one; then the index fields are renumbered.
  void InsertParams(int32_t index);
  void DeleteParams(int32_t index);
  // Gives every other record the write options of record 0; each keeps its
  // own size, palette, position and delay.
  void CopyFirstParams();

  // ------------------------------------------------------------ properties

  bool SimplifiedParamsDialogs() const { return simplifiedParamsDialogs_; }
  void SetSimplifiedParamsDialogs(bool v) { simplifiedParamsDialogs_ = v; }
  TMsgLanguage MsgLanguage() const { return msgLanguage_; }
  void SetMsgLanguage(TMsgLanguage v) { msgLanguage_ = v; }
  uint8_t PreviewsParams() const { return previewsParams_; }
  void SetPreviewsParams(uint8_t v) { previewsParams_ = v; }
  const TFont& PreviewFont() const { return previewFont_; }
  void SetPreviewFont(const TFont& font) { previewFont_ = font; }
  bool AutoAdjustDPI() const { return autoAdjustDPI_; }
  void SetAutoAdjustDPI(bool v) { autoAdjustDPI_ = v; }
  bool FilteredAdjustDPI() const { return filteredAdjustDPI_; }
  void SetFilteredAdjustDPI(bool v) { filteredAdjustDPI_ = v; }
  uint8_t DialogsMeasureUnit() const { return dialogsMeasureUnit_; }
  void SetDialogsMeasureUnit(uint8_t v) { dialogsMeasureUnit_ = v; }
  // Set by a failed or cancelled load; setting it stops a running load
  // after its current image.
  bool Aborting() const { return aborting_.load(); }
  void SetAborting(bool v) {
    if (v) cancelRequested_.store(true);
    aborting_.store(v);
  }
  // Why the last load ended as it did, as TPixoranIO::LastResult and
  // LastResultText tell it; reset when a load starts, readable from
  // OnFinishWork.
  TPXIOResult LastResult() const { return result_.Kind; }
  const std::string& LastResultText() const { return result_.Text; }

  // (Sender, percent).
  TPXProgressEvent OnProgress;
  // (Sender, bitmap, var handled): handled keeps the bitmap out of the view.
  std::function<void(TObject*, TPXBitmap&, bool&)> OnAcquireBitmap;
  // (Sender), once at the end of every load.
  std::function<void(TObject*)> OnFinishWork;

  // ------------------------------------------------------------ loading
  //
  // Each inserts the images from the view's selected position on (0
  // without a selection). Without a view nothing happens. A file that
  // cannot be opened raises EFOpenError after the finishing events; an
  // unreadable or empty file sets Aborting and keeps the images loaded
  // before the failure.

  // By extension: .gif, .tif/.tiff/.fax/.g3f/.g3n, .avi, .ico, .dcx; any
  // other file becomes one image the view loads itself. A blank name sets
  // Aborting.
  void LoadFromFile(const std::string& fileName);
  // Frames composed on the logical screen, as the animation shows them.
  void LoadGIFFrames(const std::string& fileName);
  void LoadGIFFrames(TStream& stream);
  void LoadTIFFPages(const std::string& fileName);
  void LoadTIFFPages(TStream& stream);
  void LoadICOImages(const std::string& fileName);
  void LoadICOImages(TStream& stream);
  void LoadDCXPages(const std::string& fileName);
  void LoadDCXPages(TStream& stream);
  void LoadAVIFrames(const std::string& fileName);

  // ------------------------------------------------------------ dialogs and acquisition

  // The save-parameters preview dialog on the record of image index
  // (negative: image 0, whose record then goes to every frame) with the
  // view's current image; true when closed with OK.
  virtual bool DoPreviews(int32_t index, uint32_t pages);
  // Inserts the bitmap as an image at the acquisition position and hands
  // out its record (nullptr when OnAcquireBitmap handled it or there is no
  // view).
  virtual void AcquireBitmap(TPXBitmap& bitmap, TIOParamsVals*& params);
  // The next acquired bitmap goes first again.
  virtual void ResetAcquisition() { acquirePos_ = 0; }
  // OnProgress(100), then OnFinishWork.
  virtual void DoFinishWork();
  // The scanner and camera acquisition object, created on first use.
  virtual TPXWia* GetWia();
  // The TWAIN settings: a multi-image component takes a stack of pages, so
  // the feeder flags start on.
  TPXTWainParams& TWainParams() { return *twainParams_; }
  // Two option bytes, both 1 at creation; the first goes to the preview
  // dialog (as the I/O component's BW conversion).
  uint8_t PreviewOption() const { return options_[0]; }
  void SetPreviewOption(uint8_t v) { options_[0] = v; }
  uint8_t SecondOption() const { return options_[1]; }
  void SetSecondOption(uint8_t v) { options_[1] = v; }
  // The acquisition layer's state word (0 at creation).
  int32_t AcquireState() const { return acquireState_; }
  void SetAcquireState(int32_t v) { acquireState_ = v; }

 protected:
  void ComponentRemoved(TComponent* component) override;

 private:
  // What reading one image gives the loader.
  struct TFrameOut;
  // Reads image i into the record and says what the view stores; returns
  // the file's image count, or -1 when the loader was told it up front.
  using TFrameReader = std::function<int32_t(int32_t i, TIOParamsVals& rec, TFrameOut& out)>;
  // The frame every loader shares; count < 0: the reader tells it.
  void RunLoader(TStream* stream, int32_t fileType, const std::string& fileName, int32_t count,
                 const TFrameReader& read);
  void LoadFile(const std::string& fileName, void (TPixoranMIO::*load)(TStream&));
  static void ViewCallback(void* userData, TPXViewLink* view, bool destroying);
  void ViewChanged(int32_t kind, int32_t index);
  void DetachView();
  void Renumber();
  int32_t PositionOf(const TIOParamsVals* rec) const;
  // With AutoAdjustDPI, resamples the bitmap so both resolutions of rec agree.
  void AdjustDPI(TPXBitmap& bitmap, TIOParamsVals& rec);
  TPixoranIO& Helper();
  void Progress(int32_t percent);
  // One public load: the outermost resets the result and, at its end,
  // gives a failure without a reason its kind.
  class TLoadScope;
  TPXProgressRec LoadProgress();
  void Fail(TPXIOResult kind, std::string text);
  // The kind and message of a caught exception, through Fail.
  void FailFromException(std::exception_ptr error);
  void SettleResult();
  int32_t loadDepth_ = 0;
  std::atomic<bool> cancelRequested_{false};
  TPXIOResultRec result_;

  int32_t viewHandle_ = -1;
  TComponent* viewComponent_ = nullptr;  // the view's control, for free notification
  std::atomic<bool> aborting_{false};
  std::unique_ptr<TPXMIOView> view_;
  bool simplifiedParamsDialogs_ = true;
  // Shared with a running load, which keeps hold of the record it fills.
  std::vector<std::shared_ptr<TIOParamsVals>> params_;
  std::unique_ptr<TPXWia> wia_;
  TMsgLanguage msgLanguage_ = msSystem;
  uint8_t previewsParams_ = 0;
  TFont previewFont_;
  int32_t acquirePos_ = 0;
  bool autoAdjustDPI_ = false;
  bool filteredAdjustDPI_ = false;
  uint8_t options_[2] = {1, 1};
  uint8_t dialogsMeasureUnit_ = 0;  // inches
  int32_t acquireState_ = 0;
  std::unique_ptr<TPXTWainParams> twainParams_;
  // The record the view's last insertion made: what a load fills.
  std::shared_ptr<TIOParamsVals> inserted_;
  // Resampling and the dialog hook work through an I/O component.
  std::unique_ptr<TPixoranIO> helper_;
};

}  // namespace pixoran
