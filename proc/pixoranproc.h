#pragma once
// The processing component: works on one bitmap at a time (a viewer's, an
// image control's picture, an external one, or its own), keeps undo and redo lists of image copies and
// selections, and runs every operation in one frame: check the pixel
// format, save the undo entry, restrict the work to the selection and merge
// it back through the selection mask, report progress, refresh the viewer.
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "core/kopxutils_bitmap.h"
#include "core/pxmask.h"
#include "core/pxprogress.h"
#include "core/pxviewlink.h"
#include "platform/classes.h"
#include "platform/graphics.h"
#include "platform/streams.h"
#include "proc/pxselection.h"

namespace pixoran {

class TImage;

// Set of pixel formats an operation takes: bit f for format f; 0 takes any.
using TPXPixelFormats = uint8_t;
static_assert(kPXPixelFormatCount <= 8 * sizeof(TPXPixelFormats), "every pixel format has its bit in the one-byte set");
constexpr TPXPixelFormats PXFormatSet(TPXPixelFormat f) { return static_cast<TPXPixelFormats>(1u << f); }
constexpr TPXPixelFormats kPXAnyFormat = 0;

// Options of the component's preview dialogs (a one-byte set).
using TPRPreviewsParams = uint8_t;
// (Sender, preview form), before a preview dialog shows.
using TPXPreviewEvent = std::function<void(TObject* sender, TObject* form)>;

// What an undo or redo entry holds: a copy of the image or the selection.
enum TPXUndoSource : int32_t { pxusImage = 1, pxusSelection = 2 };

// The selection an operation works in (see GetSelection).
struct PIXORAN_PROC_EXPORT TPXSelectionInfo {
  int32_t X1 = 0, Y1 = 0, X2 = 0, Y2 = 0;  // X2, Y2 exclusive
  TPXMask* Mask = nullptr;
  TPXPoint* Points = nullptr;
  int32_t PointCount = 0;
};

class PIXORAN_PROC_EXPORT TPixoranProc : public TComponent {
 public:
  explicit TPixoranProc(TComponent* owner = nullptr);
  ~TPixoranProc() override;

  // ------------------------------------------------------------ attachment

  TPXViewLink* AttachedPixoran() const { return view_; }
  // Works on the viewer's bitmap (or on a wrapper of its platform bitmap)
  // and follows it; nullptr gives the component an empty bitmap of its own.
  void SetAttachedPixoran(TPXViewLink* view);
  TImage* AttachedTImage() const { return image_; }
  // Works on the control's picture through a wrapper of its own (no copy);
  // nullptr lets go of an attached control and gives the component an
  // empty bitmap of its own.
  void SetAttachedTImage(TImage* image);
  // Works on the caller's bitmap, which stays the caller's. nullptr while a
  // viewer or image control is attached does nothing.
  void AttachBitmap(TPXBitmap* bitmap);
  // The bitmap-change callback the component registers with its viewer.
  void ViewBitmapChanged(bool destroying);

  TPXBitmap* Bitmap() const { return bitmap_; }
  bool Owned() const { return owned_ != nullptr; }
  // The platform bitmap the working bitmap wraps, or nullptr.
  TBitmap* WrappedTBitmap() const { return wrapped_; }

  // ------------------------------------------------------------ properties

  bool AutoUndo() const { return autoUndo_; }
  void SetAutoUndo(bool value) { autoUndo_ = value; }
  // The attached viewer's background, else the component's own.
  TColor Background() const;
  void SetBackground(TColor color);
  TMsgLanguage MsgLanguage() const { return msgLanguage_; }
  void SetMsgLanguage(TMsgLanguage value) { msgLanguage_ = value; }
  TPRPreviewsParams PreviewsParams() const { return previewsParams_; }
  void SetPreviewsParams(TPRPreviewsParams value) { previewsParams_ = value; }
  const TFont& PreviewFont() const { return *previewFont_; }
  void SetPreviewFont(const TFont& font) { *previewFont_ = font; }
  int32_t UndoLimit() const { return undoLimit_; }
  // Never below 1.
  void SetUndoLimit(int32_t value) { undoLimit_ = value < 1 ? 1 : value; }
  // Where undo and redo copies of the image are kept (pxTempFile: in a
  // temporary file whatever their size).
  TPXLocation UndoLocation() const { return undoLocation_; }
  void SetUndoLocation(TPXLocation location) { undoLocation_ = location; }

  // (Sender, percent) after each row of an operation, when set.
  TPXProgressEvent OnProgress;
  TPXPreviewEvent OnPreview;

  // ------------------------------------------------------------ undo and redo

  // Pushes a copy of the image (pxusImage; needs a bitmap of at least 2 x 2)
  // or of the attached viewer's selection (pxusSelection). With UndoLimit
  // entries already, the oldest goes first. True when an entry was pushed.
  virtual bool SaveUndo(int32_t source);
  // SaveUndo, and the new entry gets the caption.
  bool SaveUndoCaptioned(const std::string& caption, int32_t source);
  // The automatic undo entry an operation takes of the image before it
  // changes it: true when the operation may go on (no automatic undo, an
  // image under 2 x 2 that takes no entry, or the entry was pushed). False,
  // with Aborting set, when the copy could not be stored (no memory or disk
  // for it): the operation then changes nothing.
  bool TakeAutoUndo(const std::string& caption);
  virtual void Undo();
  // Restores entry N counted from the newest (0 <= N < count); the entry
  // stays in the list.
  virtual void UndoAt(int32_t n);
  virtual bool SaveRedo(int32_t source);
  bool SaveRedoCaptioned(const std::string& caption, int32_t source);
  virtual void ClearLastRedo();
  virtual void Redo();
  virtual void RedoAt(int32_t n);
  void ClearUndo();
  void ClearRedo();
  int32_t UndoCount() const { return static_cast<int32_t>(undo_.size()); }
  int32_t RedoCount() const { return static_cast<int32_t>(redo_.size()); }
  // Captions, oldest first, one per entry.
  const std::vector<std::string>& UndoCaptions() const { return undoCaptions_; }
  const std::vector<std::string>& RedoCaptions() const { return redoCaptions_; }

  // ------------------------------------------------------------ the operation frame

  // False without a bitmap or when its format is not in the set (0: any).
  // A wrapped platform bitmap is wrapped again first (it may have changed).
  bool CheckBitmap(TPXPixelFormats allowed);
  // The selection of an attached viewer that has one: its mask, polygon and
  // the mask's box (X2, Y2 exclusive). Without one the whole image and no
  // mask. True when there is a selection.
  virtual bool GetSelection(TPXSelectionInfo& selection);
  // Opens an operation: the format check (false ends it silently) and the
  // work bitmap, a copy the caller owns: of the whole image, or with a
  // selection of the selection's box (then the rectangle is the copy's
  // whole area, and mask is the selection's). A copy that cannot be had
  // ends it too (false, Aborting set). The undo entry is taken when the
  // result is put in place.
  bool BeginImageProcessing(TPXPixelFormats allowed, int32_t& x1, int32_t& y1, int32_t& x2, int32_t& y2,
                            const std::string& caption, TPXBitmap*& workBitmap, TPXMask*& mask);
  // Takes the work bitmap back: merged through the mask into a copy of the
  // image, or the whole result; then the undo entry, and the result takes
  // the image's place (FinishChange). False, with Aborting set and the image
  // and undo list as they were, when storage failed on the way.
  bool EndImageProcessing(TPXBitmap* workBitmap, TPXMask* mask);
  // True when the last operation could not have the storage it needs (its
  // copy of the image, its undo copy, a row written to a temporary file: no
  // memory or disk for it): it changed nothing and left the undo list as it
  // was. Operations never raise for it; this is how such a failure shows.
  // Cleared when an operation (and an undo or redo) starts.
  bool Aborting() const { return aborting_; }
  // After a change: a wrapped platform bitmap loses the alpha channel; the
  // viewer lays out and repaints.
  void FinishChange();
  // The whole frame around a worker that changes the work bitmap's
  // rectangle x1, y1, x2, y2 (x2, y2 exclusive).
  using TRectWorker = std::function<void(TPXBitmap& work, int32_t x1, int32_t y1, int32_t x2, int32_t y2)>;
  void RunInSelection(TPXPixelFormats allowed, const std::string& caption, const TRectWorker& worker);

  // ------------------------------------------------------------ geometric transforms
  // Whole-image operations (the selection frame is not used), each with its
  // undo entry.

  // 0 mirrors left-right, 1 top-bottom; any other direction does nothing.
  void Flip(int32_t direction);
  // Crops to the selection's box: pixels and alpha under the mask, the
  // Background colour elsewhere. Without a selection only the undo entry.
  void CropSel();
  // Turns the image by angle degrees, counter-clockwise when positive
  // (thousandths; whole turns dropped). antialiasMode 1 bilinear, 2 bicubic
  // (others as 1) for 24-bit images, when the angle is not a multiple of 90;
  // background -1 is the Background property. 16-bit grey, float and CMYK
  // images are left alone without an undo entry.
  void Rotate(double angle, bool antiAlias, uint8_t antialiasMode, TColor background);
  // Resamples the image through ResampleTo; the result becomes the image.
  void Resample(int32_t newWidth, int32_t newHeight, TResampleFilter filter);
  // Resamples the image into dest. A side of 0 keeps the image's, -1 keeps
  // the aspect from the other side, other negatives count as positive; both
  // negative does nothing but the undo entry. The result is made aside:
  // when its storage fails, dest and the image stay as they were and
  // Aborting is set.
  void ResampleTo(TPXBitmap& dest, int32_t newWidth, int32_t newHeight, TResampleFilter filter);

  // ------------------------------------------------------------ colour operations
  // The first four work in the selection (or the whole image).

  // Every pxBGR24 pixel becomes its luminance.
  void ConvertToGray();
  // Inverts pxBGR24 bytes and pxBW1 bits.
  void Negative();
  // Gives alpha to the pixels whose channels lie between minColor's and
  // maxColor's (pxBGR24), or to the set (minColor.r != 0) or clear pixels
  // (pxBW1).
  void SetTransparentColors(TBGR minColor, TBGR maxColor, uint8_t alpha);
  // Darkens red-dominated pixels (pxBGR24 only).
  void RemoveRedEyes();
  // pxBGR24 only: below 3 colours the image becomes 1-bit (threshold at the
  // mean luminance or ordered dither); 3 to 1024 keeps pxBGR24 with at most
  // that many colours; above 1024 changes nothing.
  void ConvertTo(int32_t numColors, bool threshold);
  // As ConvertTo, writing the palette used; numColors is clamped to the
  // palette's size, and 0 does nothing at all.
  void ConvertToPalette(int32_t numColors, std::span<TBGR> palette, bool threshold);

  // ------------------------------------------------------------ filters, effects, edges
  // (the routines behind them: proc/pxfilters.h, proc/pxedges.h)

  // Gaussian blur of pxGray8 or pxBGR24 in the selection; caption "Blur "
  // and the radius.
  void Blur(double radius);
  // A soft shadow of the whole image's opaque part (any format).
  void AddSoftShadow(double radius, int32_t offsetX, int32_t offsetY, bool enlarge, TColor shadowColor);
  // pxBGR24 in the selection.
  void Lens(int32_t x, int32_t y, int32_t width, int32_t height, double refraction);
  void Wave(int32_t amplitude, int32_t waveLength, int32_t phase, bool mode);
  // Transparent rounded corners in the selection (any format).
  void RoundImage(int32_t roundWidth, int32_t roundHeight);
  // A pxBGR24 image becomes a 1-bit drawing of its edges, black on white.
  void EdgeDetect(int32_t windowSize, int32_t thinFactor, double ratio, double smoothing, bool hysteresis);

  // For the operations' workers: OnProgress (when set) after row `done` of
  // `rows` with Trunc(done * 100 / (rows - 0.5)), which ends a little above
  // 100 as the operations always reported it.
  void ReportRow(int32_t done, int32_t rows);
  // A progress record that forwards to OnProgress, for the core routines.
  TPXProgressRec ProgressRec();

 protected:
  // The attached viewer or image control is going away: let go of it
  // without calling into it.
  void ComponentRemoved(TComponent* component) override;

 private:
  struct TUndoEntry {
    std::unique_ptr<TPXBitmap> Image;
    std::unique_ptr<TMemoryStream> Selection;
  };
  using TEntryList = std::vector<TUndoEntry>;

  static void ViewCallback(void* userData, TPXViewLink* view, bool destroying);
  // The attached viewer's selection interface, or nullptr.
  TPXSelectionSource* SelectionSource() const;
  void RemoveViewCallback();
  // Lets go of the viewer (callback and removal notice) or the image control.
  void DetachView();
  void DetachImage();
  void WrapTBitmap(TBitmap* bitmap);
  void TakeViewBitmap();
  void ResetToOwned();
  // A copy of the working bitmap's pixels (and alpha) in the mask's box, or
  // nullptr when no storage can be had for it.
  std::unique_ptr<TPXBitmap> CopySelectionBox(const TPXMask& mask);
  // A copy of the working bitmap in the undo location, its rows written
  // out, or nullptr when storage fails.
  std::unique_ptr<TPXBitmap> CopyForUndo();
  bool PushEntry(TEntryList& list, std::vector<std::string>& captions, int32_t source);
  void RestoreEntry(TEntryList& list, int32_t n);
  // A copy of the image (pixels, palette, alpha channel) where the image's
  // threshold puts it, its rows written out; nullptr when storage fails.
  std::unique_ptr<TPXBitmap> CopyOfImage();
  // Puts a finished result in the image's place: its rows are written out,
  // the undo entry is taken (withUndo), then the result replaces the image
  // and FinishChange runs. False, Aborting set, image and undo list
  // unchanged, when storage fails.
  bool CommitResult(std::unique_ptr<TPXBitmap> result, const std::string& caption, bool withUndo);
  // Runs change on a copy of the whole image and commits it. change returns
  // false when it could not finish. Any storage failure ends it with nothing
  // changed and Aborting set.
  bool ChangeImage(const std::string& caption, const std::function<bool(TPXBitmap& copy)>& change);
  // Runs make on result (a copy of the image or a new bitmap) and commits
  // it when make returns true; a storage failure is a false.
  bool MakeAndCommit(std::unique_ptr<TPXBitmap> result, const std::string& caption,
                     const std::function<bool(TPXBitmap& result)>& make);
  // Resamples the image into out at nw x nh; false when storage failed.
  bool ResampleInto(TPXBitmap& out, int32_t nw, int32_t nh, TResampleFilter filter);
  // Shared part of ConvertTo and ConvertToPalette.
  void ConvertColors(int32_t numColors, std::span<TBGR> palette, bool threshold, const std::string& caption);

  bool autoUndo_ = true;
  bool aborting_ = false;
  std::string pendingCaption_;  // the undo caption of the operation between Begin and EndImageProcessing
  TPXViewLink* view_ = nullptr;
  TComponent* viewComponent_ = nullptr;  // the viewer, for free notification
  int32_t callbackHandle_ = -1;
  TColor background_ = 0;  // black, as a fresh component starts
  TMsgLanguage msgLanguage_ = msSystem;
  TPRPreviewsParams previewsParams_ = 0;
  std::unique_ptr<TFont> previewFont_;
  TPXBitmap* bitmap_ = nullptr;
  std::unique_ptr<TPXBitmap> owned_;
  TEntryList undo_;
  TPXLocation undoLocation_ = pxTempFile;
  int32_t undoLimit_ = 1;
  std::vector<std::string> undoCaptions_;
  TEntryList redo_;
  std::vector<std::string> redoCaptions_;
  TBitmap* wrapped_ = nullptr;
  TImage* image_ = nullptr;  // held by pointer only (platform/imagelink.h)
  TComponent* imageComponent_ = nullptr;
};

// ------------------------------------------------------------ rotation routines
// Each turns the bitmap in place by angle degrees, counter-clockwise when
// positive; the angle counts in thousandths and whole turns are dropped. The
// result goes where the bitmap's threshold puts it. False when nothing was
// turned (angle 0, an empty bitmap, a format the routine does not take, or
// storage that could not be had: the bitmap is then unchanged).

// Integral and divisible by 90.
PIXORAN_PROC_EXPORT bool IsRightAngleMultiple(double angle);
// The shear rotation: quarter turns, then three shears of the rest (each
// shifted run blended with its neighbour when antiAlias). pxBGR24 with the
// background triple, pxGray8 with its luminance, pxPal8 by whole pixels with
// the nearest palette entry, pxBW1 through RotateBW (background bit set when
// all three bytes are non-zero). An alpha channel turns along with
// background 0. Other formats are not turned.
PIXORAN_PROC_EXPORT bool RotateBitmap(TPXBitmap& bitmap, bool antiAlias, const TPXProgressRec& progress,
                                      TBGR background, double angle);
// The shear rotation of one byte per pixel (pxGray8, pxPal8, alpha channels).
PIXORAN_PROC_EXPORT bool RotateGray8(TPXBitmap& bitmap, bool antiAlias, const TPXProgressRec& progress,
                                     uint8_t background, double angle);
// 1-bit images: quarter turns by bit copies, other angles by the inverse
// rotation of each destination pixel (nearest source bit).
PIXORAN_PROC_EXPORT bool RotateBW(TPXBitmap& bitmap, bool backgroundBit, double angle);
// RotateBW's mapping on one byte per pixel (the alpha channel of a 1-bit image).
PIXORAN_PROC_EXPORT bool RotateGray8ForBW(TPXBitmap& bitmap, uint8_t background, double angle);
// pxBGR24 by sampling the source for every destination pixel: mode 2
// bicubic, any other bilinear; outside the image the background. An alpha
// channel turns along with background 0.
PIXORAN_PROC_EXPORT bool RotateAntialiased(TPXBitmap& bitmap, uint8_t mode, const TPXProgressRec& progress,
                                           TBGR background, double angle);
// RotateAntialiased's sampling on one byte per pixel, background 0.
PIXORAN_PROC_EXPORT bool RotateAlphaAntialiased(TPXBitmap& bitmap, uint8_t mode, double angle);

// The Fill value of a colour in the bitmap's format: the set or clear bit,
// the nearest palette entry, the luminance (as a word for 16-bit grey, a
// fraction for float), the colour itself for colour formats.
PIXORAN_PROC_EXPORT double FillValue(TPXBitmap& b, TColor color);

// ------------------------------------------------------------ plain routines

// The rectangle x1..x2-1, y1..y2-1 cut to the bitmap; false when nothing is left.
inline bool ClipToImage(TPXBitmap& b, int32_t& x1, int32_t& y1, int32_t& x2, int32_t& y2) {
  x1 = std::max(x1, 0);
  y1 = std::max(y1, 0);
  x2 = std::min(x2, b.Width());
  y2 = std::min(y2, b.Height());
  return x1 < x2 && y1 < y2;
}

// Replaces every pixel of a pxBGR24 bitmap by its entry in a palette of at
// most n colours built for it (the quantizer makes up to 256). The palette
// is written into the given span (n is cut to its size) or, when it is
// empty, into one of the routine's own. Other formats are left alone.
PIXORAN_PROC_EXPORT void QuantizeBitmap(TPXBitmap& bitmap, int32_t n, std::span<TBGR> palette,
                                        const TPXProgressRec& progress = {});

}  // namespace pixoran
