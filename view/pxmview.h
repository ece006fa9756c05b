#pragma once
// The thumbnail view: a list of images shown as a grid of thumbnails.
// Model (pxmview_model.cpp): the image records, the two image stores (the
// images and the thumbnails prepared for drawing), inserting, deleting and
// filling images. Loaders (pxmview_loader.cpp): synchronous loads, the
// placeholder of a failed load and the background loader. Layout
// (pxmview_layout.cpp): the grid, the view origin, hit-testing, the
// selection and its keyboard moves. Painting (pxmview_paint.cpp). Input
// (pxmview_input.cpp): scroll bars, wheel, mouse and playback.
//
// Threads: the stores and every record's store handles are guarded by one
// process-wide loader lock (MViewLoaderLock), shared by all thumbnail views
// and recursive, since drawing and storing nest it.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "core/kopxutils_containers.h"
#include "core/pxprogress.h"
#include "core/pxview.h"
#include "view/pixoranview.h"
#include "view/pxbackground.h"
#include "view/pxtransitions.h"

namespace pixoran {

class TPXBitmap;
class TPXVirtualDIBList;
struct TPXVirtualDIBImage;
class TPixoranMView;
class TPixoranMIO;
class TPixoranIO;
class TPixoranProc;

enum TPXStoreType : uint8_t { pxtNormal = 0, pxtThumb = 1 };
enum TPXDisplayMode : uint8_t { mdGrid = 0, mdSingle = 1 };
enum TPXMultiSelectionOption : uint8_t { pxmoRegion = 1, pxmoSelectOnMouseUp = 2 };
using TPXMultiSelectionOptions = uint8_t;
// pxmsACD draws 3-D edges around the image and caption areas.
enum TPXMViewStyle : uint8_t { pxmsFlat = 0, pxmsACD = 1 };
// pxssACD marks a selected cell by the highlight colour instead of a frame.
enum TPXMSelectionStyle : uint8_t { pxssAround = 0, pxssACD = 1 };
enum TPXWallPaperStyle : uint8_t { pxwoNormal = 0, pxwoStretch = 1, pxwoTile = 2 };
// Mouse and keyboard interaction sets.
using TPXMMouseInteract = uint8_t;
constexpr TPXMMouseInteract mmiScroll = 1, mmiSelect = 2;
using TPXMKeyInteract = uint8_t;
constexpr TPXMKeyInteract mkiMoveSelected = 1;

// What a load learnt about the file besides its pixels.
struct PIXORAN_VIEW_EXPORT TPXMLoadInfo {
  int32_t OriginalWidth = 0, OriginalHeight = 0;  // full size; 0: the bitmap's
  bool HasBackground = false;
  TColor Background = clBtnFace;  // the file's background colour
};

// The process-wide loader lock.
PIXORAN_VIEW_EXPORT std::recursive_mutex& MViewLoaderLock();

// The settings a thumbnail is reduced with; a zero size reduces nothing.
struct PIXORAN_VIEW_EXPORT TPXMThumbBox {
  int32_t Width = 0, Height = 0;
  bool FitAlways = true;  // images smaller than the box are enlarged too
  TResampleFilter Filter = rfFastLinear;
};

// The bitmap reduced to the largest size that fits the box keeping its
// aspect ratio (24-bit; 1-bit sources shrink by averaging, with rfNone the
// others are stretched without filter); nullptr when it keeps its size.
PIXORAN_VIEW_EXPORT std::unique_ptr<TPXBitmap> ReduceToThumbBox(TPXBitmap& bitmap, const TPXMThumbBox& box);

// One caption of a thumbnail: 0 top, 1 bottom, 2 above the bottom.
class PIXORAN_VIEW_EXPORT TPXMText {
 public:
  TPXMText(TPixoranMView* owner, int32_t kind, TColor background, const TFont& font)
      : Font(font), Owner(owner), Kind(kind), Background(background) {}
  std::string Caption;
  TFont Font;  // a copy of the view's CaptionFont when made
  TPixoranMView* Owner;
  int32_t Kind;
  TColor Background;
};

struct PIXORAN_VIEW_EXPORT TPXVSoftShadow {
  bool Enabled = false;
  double Radius = 3.0;
  int32_t OffsetX = 3;
  int32_t OffsetY = 3;
};

// One image of the view, in display order.
struct PIXORAN_VIEW_EXPORT TPXMViewImage {
  TPixoranMView* Owner = nullptr;
  TPXVirtualDIBImage* Cache = nullptr;  // in the image store; nullptr while not loaded
  TPXVirtualDIBImage* Thumb = nullptr;  // prepared thumbnail; nullptr until drawn
  int32_t CellX = 0, CellY = 0;
  int32_t Row = 0, Column = 0;
  TColor Background = clBtnFace;
  std::string FileName;  // empty: none
  int32_t ImageID = -1;
  int32_t Delay = 0;  // playback delay, milliseconds
  std::unique_ptr<TPXMText> TopText, BottomText, InfoText;
  bool Wrong = false;   // the stored image is the failed-load placeholder
  int32_t Reloads = 0;  // times loaded again after the image store lost it
};

// Shortens text from the left ("..." replacing its first characters) until
// measure(text) fits width or fewer than 2 characters remain.
PIXORAN_VIEW_EXPORT std::string EllipsisCaption(const std::string& text, int32_t width,
                                                const std::function<int(const std::string&)>& measure);

// The largest size that fits w x h in boxW x boxH keeping the aspect ratio,
// each side at least 1 pixel (a thin image would otherwise give 0).
PIXORAN_VIEW_EXPORT void FitThumbSize(int32_t w, int32_t h, int32_t boxW, int32_t boxH, int32_t& outW, int32_t& outH);

class PIXORAN_VIEW_EXPORT TPixoranMView : public TPXView {
 public:
  explicit TPixoranMView(TComponent* owner = nullptr, TWinControl* parent = nullptr);
  ~TPixoranMView() override;

  // ---------------------------------------------------------------- images
  int32_t GetImageCount() const { return static_cast<int32_t>(images_.size()); }
  void InsertImage(int32_t index);
  void InsertImageNoSelect(int32_t index);
  int32_t AppendImage();
  bool DeleteImage(int32_t index);
  bool DeleteImageNoUpdate(int32_t index);
  void Clear();

  void SetImageFileName(int32_t index, const std::string& name);
  std::string GetImageFileName(int32_t index) const;
  void SetImageBackground(int32_t index, TColor colour);
  TColor GetImageBackground(int32_t index) const;
  void SetImageDelayTime(int32_t index, int32_t ms);
  int32_t GetImageDelayTime(int32_t index) const;
  void SetImageID(int32_t index, int32_t id);
  int32_t GetImageID(int32_t index) const;
  TPXMText* GetImageTopText(int32_t index);
  TPXMText* GetImageBottomText(int32_t index);
  TPXMText* GetImageInfoText(int32_t index);
  // Full-size dimensions of the stored image; 0 when not loaded.
  int32_t GetImageOriginalWidth(int32_t index);
  int32_t GetImageOriginalHeight(int32_t index);
  // Whether the image is in the store.
  bool IsImageLoaded(int32_t index);
  // A copy of the stored image (pxBW1 or pxBGR24); false when not loaded.
  bool CopyStoredImage(int32_t index, TPXBitmap& bitmap);

  // Stores a copy (reduced to the thumbnail box with pxtThumb); false when
  // the index is out of range or the store cannot take it.
  bool SetImageBitmap(int32_t index, TPXBitmap& bitmap);
  void ReserveCacheSpace(int32_t count, int32_t width, int32_t height, int32_t bits);

  // Loads synchronously through the view's own I/O component (at thumbnail
  // size with pxtThumb); a failure stores the placeholder and gives false.
  bool LoadImageFromFile(int32_t index, const std::string& name);
  bool LoadImageNow(int32_t index);
  // Offers OnWrongImage a ThumbWidth x ThumbHeight bitmap, else draws the
  // placeholder ("?" on white) into it; stores it as the image.
  virtual void ShowWrongImage(int32_t index);
  // Whether the stored image of index is the placeholder of a failed load.
  bool IsWrongImage(int32_t index);

  // Background loading: QueueLoad asks for an image that painting found
  // missing; true when it is loaded, pending or running, false when the
  // caller should load it synchronously (no file name, or an image ID with
  // a request event). Each job is an asynchronous I/O component loading on
  // its own I/O thread, with the thumbnail settings of the moment it was
  // queued. CancelLoads drops the pending entries and cancels the running
  // jobs, waiting about a second at most for them.
  bool QueueLoad(int32_t index);
  virtual void CancelLoads();
  // Jobs waiting and running, for the owner and for tests.
  int32_t PendingCount();
  int32_t RunningCount();

  // The multi-image component, created on first use attached to this view
  // with OnProgress.
  virtual TPixoranMIO* GetMIO();

  // What the bitmap-change callbacks being called are about: 1 an image
  // inserted at GetLastChangeIndex, 2 one deleted there, 3 all cleared;
  // 0 outside those calls.
  int32_t GetLastChange() const { return lastChange_; }
  int32_t GetLastChangeIndex() const { return lastChangeIndex_; }
  void CallBitmapChangeEvents() override;

  // ---------------------------------------------------------------- settings
  TPXStoreType StoreType() const { return storeType_; }
  void SetStoreType(TPXStoreType v);
  int32_t ThumbWidth() const { return thumbWidth_; }
  int32_t ThumbHeight() const { return thumbHeight_; }
  // At least 1; a change drops the prepared thumbnails.
  void SetThumbWidth(int32_t v);
  void SetThumbHeight(int32_t v);
  int32_t HorizBorder() const { return horizBorder_; }
  void SetHorizBorder(int32_t v);
  int32_t VertBorder() const { return vertBorder_; }
  void SetVertBorder(int32_t v);
  int32_t GridWidth() const { return gridWidth_; }
  void SetGridWidth(int32_t v);
  TPXDisplayMode DisplayMode() const { return displayMode_; }
  // During playback the mode is only remembered for the end.
  void SetDisplayMode(TPXDisplayMode v);
  int32_t ImageCacheSize() const { return imageCacheSize_; }
  void SetImageCacheSize(int32_t v);
  bool EnableMultiSelect() const { return enableMultiSelect_; }
  void SetEnableMultiSelect(bool v) { enableMultiSelect_ = v; }
  TPXMultiSelectionOptions MultiSelectionOptions() const { return multiOptions_; }
  void SetMultiSelectionOptions(TPXMultiSelectionOptions v) { multiOptions_ = v; }
  int32_t ThreadPoolSize() const { return threadPoolSize_; }
  void SetThreadPoolSize(int32_t v);
  TResampleFilter ThumbnailResampleFilter() const { return thumbFilter_; }
  void SetThumbnailResampleFilter(TResampleFilter v) { thumbFilter_ = v; }
  bool FitAlways() const { return fitAlways_; }
  void SetFitAlways(bool v) { fitAlways_ = v; }
  TPXVSoftShadow& SoftShadow() { return softShadow_; }
  // Images that fail to load are removed from the list while painting.
  bool RemoveCorrupted() const { return removeCorrupted_; }
  void SetRemoveCorrupted(bool v) {
    removeCorrupted_ = v;
    Invalidate();
  }

  // The view's own I/O component for synchronous loads (its progress goes
  // to OnIOProgress); its parameters are those of the last such load.
  TPixoranIO* GetIO();
  // The processing component, created on first use with OnProgress.
  virtual TPixoranProc* GetProc();
  TPXProgressEvent OnProgressHandler() const { return onProgress_; }
  virtual void SetOnProgress(TPXProgressEvent handler);
  // Progress of synchronous loads.
  TPXProgressEvent OnIOProgress;

  // The selected image, copied from the store and kept until the selection
  // changes; nullptr without a selection or while it is not loaded.
  TBitmap* GetTBitmap() override;
  TPXBitmap* GetPXBitmap() override;

  // ---------------------------------------------------------------- layout
  void Update() override;
  // Columns of the grid: GridWidth, or as many as fit for -1; 0 (also a
  // client narrower than one cell with -1) keeps every image in one row.
  int32_t Columns();
  void GetMaxViewXY(int32_t& mx, int32_t& my);
  int32_t ViewX() const { return viewX_; }
  int32_t ViewY() const { return viewY_; }
  void SetViewX(int32_t v);
  void SetViewY(int32_t v);
  void SetViewXY(int32_t x, int32_t y);
  // While locked the view neither lays out nor paints.
  void LockUpdate() override { ++updateLock_; }
  void UnlockUpdate() override;
  void UnlockUpdateNoPaint() override;
  int32_t UpdateLockCount() const { return updateLock_; }
  // (Sender, 0): the origin moved or was clamped.
  TPXViewChangeEvent OnViewChange;
  TScrollStyle ScrollBars() const { return scrollBars_; }
  virtual void SetScrollBars(TScrollStyle value);
  bool FlatScrollBars() const { return flatScrollBars_; }
  void SetFlatScrollBars(bool value);
  // Bars without anything to scroll stay, with their arrows disabled.
  bool ScrollBarsAlwaysVisible() const { return barsAlwaysVisible_; }
  void SetScrollBarsAlwaysVisible(bool value);
  TPXScrollBarParams& HorzScrollBarParams() { return horzParams_; }
  TPXScrollBarParams& VertScrollBarParams() { return vertParams_; }
  double HorzScrollFactor() const { return factorX_; }
  double VertScrollFactor() const { return factorY_; }
  TPXMMouseInteract MouseInteract() const { return mouseInteract_; }
  virtual void SetMouseInteract(TPXMMouseInteract v) { mouseInteract_ = v; }
  TPXMKeyInteract KeyInteract() const { return keyInteract_; }
  virtual void SetKeyInteract(TPXMKeyInteract v) { keyInteract_ = v; }
  // The image whose thumbnail holds the client point, -1 when none. In
  // mdSingle (and during playback) that is the image shown.
  int32_t ImageAtPos(int32_t x, int32_t y);
  // The image mdSingle shows: the one playing, else the selected one (0 when none).
  int32_t ShownImage() const;
  bool IsImageVisible(int32_t index);
  int32_t GetImageCellX(int32_t index) const;
  int32_t GetImageCellY(int32_t index) const;
  int32_t TotalWidth() const { return totalWidth_; }
  int32_t TotalHeight() const { return totalHeight_; }

  // ---------------------------------------------------------------- selection
  int32_t SelectedImage() const { return selected_; }
  void SetSelectedImage(int32_t index);
  void Deselect();
  bool IsInMultiSelection(int32_t index) const;
  const std::vector<int32_t>& MultiSelectedImages() const { return multiSel_; }
  // Selects the image under the point; Shift or Ctrl adds to the
  // multi-selection, Shift also everything between it and the previous one.
  void SelectAt(int32_t x, int32_t y, TShiftState shift);
  // 0 previous, 1 next, 2 up, 3 down, 4 first, 5 last, 6 page down, 7 page up.
  void MoveSelection(int32_t direction);

  // ---------------------------------------------------------------- playback
  bool Playing() const { return playing_; }
  void SetPlaying(bool value);
  bool PlayLoop() const { return playLoop_; }
  void SetPlayLoop(bool v) { playLoop_ = v; }
  int32_t PlaybackIndex() const { return playIndex_; }
  // Shows the current image and arms the timer with its delay (at least
  // 10 ms); the timer's tick calls it again.
  void UpdatePlayback();
  // The playback timer: (milliseconds) arms it, (-1) stops it. The default
  // is the window's timer 1; tests inject their own.
  using TPlaybackTimer = std::function<void(int32_t ms)>;
  void SetPlaybackTimer(TPlaybackTimer timer) { playTimer_ = std::move(timer); }
  // The change from one played image to the next.
  TPXTransitionType TransitionEffect() const { return transition_->Type(); }
  void SetTransitionEffect(TPXTransitionType t) { transition_->SetType(t); }
  int32_t TransitionDuration() const { return transition_->Duration(); }
  void SetTransitionDuration(int32_t ms) { transition_->SetDuration(ms); }
  TPXTransitionEffects& Transitions() { return *transition_; }

  // (Sender, image ID, bitmap to fill): the image of a record with an ID.
  std::function<void(TObject*, int32_t, TPXBitmap&)> OnImageIDRequest;
  // (Sender, index, image ID, bitmap to fill): the same with the index;
  // asked when OnImageIDRequest is not set.
  std::function<void(TObject*, int32_t, int32_t, TPXBitmap&)> OnImageIDRequestEx;
  // (Sender, index).
  std::function<void(TObject*, int32_t)> OnImageSelect;
  // (Sender, bitmap, index, handled).
  std::function<void(TObject*, TPXBitmap&, int32_t, bool&)> OnWrongImage;
  // (Sender, index, left, top, canvas), before a thumbnail is drawn.
  std::function<void(TObject*, int32_t, int32_t, int32_t, TCanvas&)> OnBeforeImageDraw;
  // (Sender, index, left, top, rectangle): the rectangle starts as the
  // thumbnail box (0, 0, ThumbWidth, ThumbHeight); the box takes its size
  // and moves by its left and top.
  std::function<void(TObject*, int32_t, int32_t, int32_t, TRect&)> OnBeforeImageDrawEx;
  // (Sender, percent) while several thumbnails are drawn; 0 at the end.
  std::function<void(TObject*, int32_t)> OnDrawProgress;
  // (Sender, index, left, top, canvas), after a thumbnail is drawn.
  std::function<void(TObject*, int32_t, int32_t, int32_t, TCanvas&)> OnImageDraw;

  // ---------------------------------------------------------------- painting
  // The font new captions start with.
  TFont CaptionFont;
  int32_t SelectionWidth() const { return selectionWidth_; }
  void SetSelectionWidth(int32_t v) {
    selectionWidth_ = v;
    Invalidate();
  }
  TColor SelectionColor() const { return selectionColor_; }
  void SetSelectionColor(TColor v) {
    selectionColor_ = v;
    Invalidate();
  }
  bool VisibleSelection() const { return visibleSelection_; }
  void SetVisibleSelection(bool v) {
    visibleSelection_ = v;
    Invalidate();
  }
  int32_t ThumbnailsBorderWidth() const { return borderWidth_; }
  void SetThumbnailsBorderWidth(int32_t v) {
    borderWidth_ = v;
    Invalidate();
  }
  TColor ThumbnailsBorderColor() const { return borderColor_; }
  void SetThumbnailsBorderColor(TColor v) {
    borderColor_ = v;
    Invalidate();
  }
  TColor ThumbnailsBackground() const { return thumbsBackground_; }
  void SetThumbnailsBackground(TColor v) {
    thumbsBackground_ = v;
    Invalidate();
  }
  // Cells take their image's own background colour.
  bool DrawImageBackground() const { return drawImageBackground_; }
  void SetDrawImageBackground(bool v) {
    drawImageBackground_ = v;
    Invalidate();
  }
  int32_t BottomGap() const { return bottomGap_; }
  void SetBottomGap(int32_t v) {
    bottomGap_ = v;
    Invalidate();
  }
  int32_t UpperGap() const { return upperGap_; }
  void SetUpperGap(int32_t v) {
    upperGap_ = v;
    Invalidate();
  }
  // Captions shown (with UpperGap and BottomGap), or not (with the plain
  // gaps, 0 by default, and no caption drawn).
  bool ShowCaptions() const { return showCaptions_; }
  void SetShowCaptions(bool v) {
    showCaptions_ = v;
    DropThumbs();
    Invalidate();
  }
  int32_t PlainUpperGap() const { return plainUpperGap_; }
  void SetPlainUpperGap(int32_t v) {
    plainUpperGap_ = v;
    DropThumbs();
    Invalidate();
  }
  int32_t PlainBottomGap() const { return plainBottomGap_; }
  void SetPlainBottomGap(int32_t v) {
    plainBottomGap_ = v;
    DropThumbs();
    Invalidate();
  }
  // Corner-rounding divisor: 0 square corners, else radius min(w, h) div d
  // for the pictures and corner size min(ThumbWidth, ThumbHeight) div d for
  // the borders.
  void SetRoundCorners(int32_t d) {
    roundDivisor_ = d < 0 ? 0 : d;
    DropThumbs();
    Invalidate();
  }
  int32_t RoundCorners() const { return roundDivisor_; }
  TPXMViewStyle Style() const { return style_; }
  void SetStyle(TPXMViewStyle v) {
    if (v != style_) {
      style_ = v;
      Invalidate();
    }
  }
  TPXMSelectionStyle SelectionStyle() const { return selectionStyle_; }
  void SetSelectionStyle(TPXMSelectionStyle v) {
    if (v != selectionStyle_) {
      selectionStyle_ = v;
      Invalidate();
    }
  }
  TPXBackgroundStyle BackgroundStyle() const { return backgroundStyle_; }
  void SetBackgroundStyle(TPXBackgroundStyle v) {
    backgroundStyle_ = v;
    Invalidate();
  }
  TPXBackgroundStyle ThumbnailsBackgroundStyle() const { return thumbsBackgroundStyle_; }
  void SetThumbnailsBackgroundStyle(TPXBackgroundStyle v) {
    thumbsBackgroundStyle_ = v;
    Invalidate();
  }
  void SetChessboardStyle(int32_t size, TBrushStyle brushStyle) {
    chessSize_ = size;
    chessBrush_ = brushStyle;
  }
  TColor GradientEndColor() const { return gradientColour_; }
  void SetGradientEndColor(TColor c) {
    gradientColour_ = c;
    Invalidate();
  }
  // The picture drawn over the background, behind the cells; an empty
  // bitmap is none.
  TBitmap& WallPaper() { return *wallPaper_; }
  void SetWallPaper(const TBitmap& picture) {
    wallPaper_->Assign(picture);
    Invalidate();
  }
  TPXWallPaperStyle WallPaperStyle() const { return wallPaperStyle_; }
  void SetWallPaperStyle(TPXWallPaperStyle v) {
    wallPaperStyle_ = v;
    Invalidate();
  }
  // Loaded cells are filled (in ThumbnailsBackgroundStyle) before their picture.
  bool FillThumbnail() const { return fillThumbnail_; }
  void SetFillThumbnail(bool v) {
    fillThumbnail_ = v;
    Invalidate();
  }
  // Reduced copies are kept in the thumbnail store for the next paint.
  bool PrepareThumbnails() const { return prepareThumbs_; }
  void SetPrepareThumbnails(bool v) { prepareThumbs_ = v; }
  // The filter of pictures resized for drawing (1-bit ones that shrink use
  // rfFastLinear).
  TResampleFilter DisplayResampleFilter() const { return displayFilter_; }
  void SetDisplayResampleFilter(TResampleFilter v) {
    displayFilter_ = v;
    DropThumbs();
    Invalidate();
  }
  bool EnableAlphaChannel() const { return enableAlpha_; }
  void SetEnableAlphaChannel(bool v) {
    enableAlpha_ = v;
    Invalidate();
  }
  // Draws every visible thumbnail into the bitmap (client-sized, 24-bit).
  void DrawVisibleThumbnails(TBitmap& bitmap);

  // Keys 33 to 40 move the selection (page up, page down, end, home, left,
  // up, right, down).
  void KeyDown(int& key, TShiftState shift) override;
  // Claims keys 33 to 40 from focus navigation.
  void HandleMessage(TMessage& message) override;

 protected:
  void Resize() override { Update(); }
  void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
  void MouseMove(TShiftState shift, int x, int y) override;
  void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
  bool MouseWheel(TShiftState shift, int wheelDelta, int x, int y) override;
  void Scroll(TScrollBarKind bar, TScrollCode code, int32_t pos) override;
  void Timer(uint32_t id) override;
  void Paint() override;
  void DoEnter() override { Invalidate(); }
  void DoExit() override { Invalidate(); }

 private:
  struct TLoader;
  void DrawThumbnail(TBitmap& bitmap, int32_t index, bool selected);
  bool StoreBitmap(TPXMViewImage& rec, TPXBitmap& bitmap, int32_t fullW, int32_t fullH, bool wrong);
  // The view's reduction settings now (the box only with pxtThumb).
  TPXMThumbBox ThumbBox() const;
  std::unique_ptr<TPXBitmap> ReduceToBox(TPXBitmap& bitmap);
  void StoreWrongImage(TPXMViewImage& rec, int32_t index);
  void ShowWrongRecord(TPXMViewImage* rec);
  void RefreshVisible();
  void DetachLoads(TPXMViewImage* rec);
  void SetLoaderPoolSize(int32_t size);
  void CreateLoader();
  void CloseLoader();
  void FreeRecordStore(TPXMViewImage& rec);
  void DropThumbs();
  void RecreateStores();
  void StopPlayback() {
    if (playing_) SetPlaying(false);
  }
  // Brings the playback image on screen, through the transition engine
  // from the image shown before when an effect is set.
  virtual void ShowPlaybackImage(int32_t index);
  void DrawWallPaper(TCanvas& c, int32_t w, int32_t h);
  void DrawFrames(TCanvas& c, TRect box, int32_t count, TColor colour, int32_t corner);
  void ScrollBarLayout(TScrollBarKind bar, int32_t max, int32_t client, int32_t origin, double& factor);
  void DropSelectedBitmap();
  bool LoadThroughOwnIO(int32_t index, const std::string& name, TPXBitmap& b, TPXMLoadInfo& info);
  void ArmTimer(int32_t ms);
  void UpdateScrollBars();
  void ScrollToSelected();
  void AddToMultiSelection(int32_t index);

  std::vector<std::unique_ptr<TPXMViewImage>> images_;
  std::unique_ptr<TPXVirtualDIBList> store_;
  std::unique_ptr<TPXVirtualDIBList> thumbStore_;
  std::vector<int32_t> multiSel_;
  int32_t selected_ = -1;
  int32_t lastChange_ = 0;
  int32_t lastChangeIndex_ = 0;

  TPXStoreType storeType_ = pxtNormal;
  int32_t thumbWidth_ = 100, thumbHeight_ = 100;
  int32_t horizBorder_ = 4, vertBorder_ = 4;
  int32_t gridWidth_ = 0;
  TPXDisplayMode displayMode_ = mdGrid;
  int32_t imageCacheSize_ = 10;
  bool enableMultiSelect_ = false;
  TPXMultiSelectionOptions multiOptions_ = 0;
  int32_t threadPoolSize_ = 5;
  TResampleFilter thumbFilter_ = rfFastLinear;
  bool fitAlways_ = true;
  TPXVSoftShadow softShadow_;
  bool multiAdd_ = false;
  bool removeCorrupted_ = false;
  bool drawImageBackground_ = false;

  int32_t viewX_ = 0, viewY_ = 0;
  int32_t totalWidth_ = 0, totalHeight_ = 0;
  int32_t selectionWidth_ = 3;
  TColor selectionColor_ = 255;
  bool visibleSelection_ = true;
  int32_t borderWidth_ = 0;
  TColor borderColor_ = clBtnFace;
  TColor thumbsBackground_ = clBtnFace;
  int32_t bottomGap_ = 0, upperGap_ = 0;
  int32_t roundDivisor_ = 0;
  std::shared_ptr<TLoader> loader_;  // shared with the starter, which may outlive the view
  bool painting_ = false;
  bool playing_ = false, playLoop_ = true, playBusy_ = false;
  bool playEndDue_ = false;  // the last image is on screen: the next tick ends playback
  int32_t playIndex_ = 0, playShown_ = 0;
  TPXDisplayMode savedMode_ = mdGrid;
  int32_t savedSelected_ = -1;
  TPlaybackTimer playTimer_;
  int32_t pressX_ = 0, pressY_ = 0, pressIndex_ = -1;
  bool pressed_ = false, moved_ = false, pressSelected_ = false;
  double factorX_ = 1.0, factorY_ = 1.0;
  bool inLayout_ = false;
  bool destroying_ = false;
  int32_t updateLock_ = 0;
  TScrollStyle scrollBars_ = ssBoth;
  bool flatScrollBars_ = false, barsAlwaysVisible_ = false;
  TPXScrollBarParams horzParams_, vertParams_;
  TPXMMouseInteract mouseInteract_ = mmiSelect;
  TPXMKeyInteract keyInteract_ = mkiMoveSelected;
  int32_t pressViewX_ = 0, pressViewY_ = 0;
  bool showCaptions_ = true;
  int32_t plainUpperGap_ = 0, plainBottomGap_ = 0;
  TPXMViewStyle style_ = pxmsACD;
  TPXMSelectionStyle selectionStyle_ = pxssAround;
  TPXBackgroundStyle backgroundStyle_ = pxbsSolid, thumbsBackgroundStyle_ = pxbsSolid;
  int32_t chessSize_ = 16;
  TBrushStyle chessBrush_ = bsSolid;
  TColor gradientColour_ = static_cast<TColor>(0xFF0000);
  std::unique_ptr<TBitmap> wallPaper_;
  TPXWallPaperStyle wallPaperStyle_ = pxwoNormal;
  bool fillThumbnail_ = true, prepareThumbs_ = true, enableAlpha_ = true;
  TResampleFilter displayFilter_ = rfNone;
  std::unique_ptr<TPixoranIO> io_;
  std::unique_ptr<TPixoranMIO> mio_;
  std::unique_ptr<TPixoranProc> proc_;
  TPXProgressEvent onProgress_;
  std::unique_ptr<TPXBitmap> selBitmap_;
  const TPXMViewImage* selBitmapRec_ = nullptr;
  std::unique_ptr<TPXTransitionEffects> transition_;
  int32_t lastShown_ = -1;  // the playback image on screen, for the transition
};

}  // namespace pixoran
