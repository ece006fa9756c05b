#pragma once
// The image viewer control: one picture (or a stack of layers) at any zoom,
// with scroll bars, centring and automatic fitting, painted through a
// client-sized back buffer that is recomposed only when marked dirty.
//
// Geometry (pixoranview_geometry.cpp): the zoom and its two derived factors,
// the view origin in zoomed pixels and its maximum, centring offsets, the
// visible area and the per-pixel coordinate tables, scroll bars with a fixed
// range of 0..65535 and a per-axis factor, fitting and the delayed zoom
// filter. Painting (pixoranview_paint.cpp): composing the layers into the
// back buffer, the background styles, the pixel grid, and what is drawn on
// the window after the copy. Layers (pixoranview_layers.cpp): the layer list,
// merging, image copies and the processing component. Interaction
// (pixoranview_mouse.cpp): mouse modes, drags, cursors, keys and the
// navigator link.
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "core/kopxutils_containers.h"
#include "core/pxmask.h"
#include "core/pxrender.h"
#include "core/pxview.h"
#include "core/pxprogress.h"
#include "proc/pxselection.h"
#include "view/pxbackground.h"
#include "view/pxtransitions.h"

namespace pixoran {

class TPXBitmap;
class TPixoranIO;
class TPixoranProc;

enum TScrollStyle : uint8_t { ssNone = 0, ssHorizontal = 1, ssVertical = 2, ssBoth = 3 };

// Mouse modes (bits of a 16-bit set).
using TPXMouseInteractItems = uint16_t;
constexpr TPXMouseInteractItems miZoom = 0x1, miScroll = 0x2, miSelect = 0x4, miSelectPolygon = 0x8,
                                miSelectCircle = 0x10, miSelectZoom = 0x20, miSelectMagicWand = 0x40,
                                miSelectLasso = 0x80, miMoveLayers = 0x100, miResizeLayers = 0x200;

enum TPXSelectionBase : uint8_t { pxsbClientArea = 0, pxsbBitmap = 1 };

using TPXSelectionOptions = uint8_t;
constexpr TPXSelectionOptions pxsoAnimated = 0x01, pxsoSizeable = 0x02, pxsoMoveable = 0x04, pxsoFilled = 0x08,
                              pxsoCutBorders = 0x10, pxsoMarkOuter = 0x20, pxsoCanScroll = 0x40;

// The viewer's cursors, registered as screen cursors 1778..1810; 1785 is
// the default, 1786..1789 resize, 1790 move, 1791 and 1794 the "add"
// variants.
constexpr TCursor kPXFirstViewCursor = 1778;
constexpr int32_t kPXViewCursorCount = 33;
constexpr TCursor kPXDefaultViewCursor = 1785;

// How far (in image extents) a dragged layer may grow and move.
constexpr int32_t kPXLayerReach = 4;

// One layer of a viewer.
class PIXORAN_VIEW_EXPORT TPXLayer {
 public:
  // With useBitmap the given bitmap is taken over; otherwise the layer gets
  // a new bitmap of its size and pixel format (over a platform bitmap when
  // the given one is). A null bitmap gives an empty bitmap of the layer's own.
  TPXLayer(TPXBitmap* bitmap, bool useBitmap);
  ~TPXLayer();
  TPXLayer(const TPXLayer&) = delete;
  TPXLayer& operator=(const TPXLayer&) = delete;

  // Display size in image pixels: the field when non-zero, else the bitmap's.
  int32_t GetWidth() const;
  int32_t GetHeight() const;

  TPXBitmap* Bitmap() const { return bitmap_; }
  // Puts another bitmap in the layer, owned or not; an owned one it held
  // goes, except the layer's own bitmap handed back, which stays owned.
  void SetBitmap(TPXBitmap* bitmap, bool owns);
  bool OwnsBitmap() const { return owned_ != nullptr; }

  int32_t Width = 0;
  int32_t Height = 0;
  bool Visible = true;
  bool Frame = true;  // the frame and grips may be drawn around it
  int32_t Opacity = 255;
  int32_t PosX = 0, PosY = 0;  // top-left corner in image coordinates
  TRect ClientRect;            // where it was last drawn (client coordinates)
  bool Clip = false;           // cut what lies outside the image area
  bool Locked = false;         // neither moved nor resized
  bool SoftShadow = false;
  double ShadowRadius = 2.0;
  uint8_t ShadowKind = 0;
  uint8_t BlendMode = 0;
  int32_t Reserved = 0;

 private:
  TPXBitmap* bitmap_ = nullptr;
  std::unique_ptr<TPXBitmap> owned_;
};

using TPXViewChangeEvent = std::function<void(TObject* sender, int32_t change)>;
using TPXZoomEvent = std::function<void(TObject* sender, double& zoom)>;
// event 0: the layer became current, 1: it was moved, 2: it was resized.
using TPXLayerNotifyEvent = std::function<void(TObject* sender, int32_t layer, int32_t event)>;
using TPXSpecialKeyEvent = std::function<void(TObject* sender, int32_t key, bool& handled)>;
using TPXGripEvent = std::function<void(TObject* sender, int32_t grip)>;
using TPXObjectEvent = std::function<void(TObject* sender, TObject* object)>;

// Posted messages that carry an object (a video frame, a player event)
// carry a handle from here: the viewer acts only while the handle is still
// registered, so an object freed before the message arrives is never used.
constexpr uint32_t kPXNewFrameMessage = 0x1F59;
constexpr uint32_t kPXPlayerEventMessage = 0x1F5A;
PIXORAN_VIEW_EXPORT intptr_t RegisterMessageObject(TObject* object);
PIXORAN_VIEW_EXPORT void ReleaseMessageObject(intptr_t handle);
PIXORAN_VIEW_EXPORT TObject* MessageObject(intptr_t handle);

// The next click-zoom step: in (left button) or out (right button).
PIXORAN_VIEW_EXPORT double ClickZoomIn(double zoom);
PIXORAN_VIEW_EXPORT double ClickZoomOut(double zoom);

// Screen facts the viewers read, taken once from Qt's style and screen.
struct PIXORAN_VIEW_EXPORT TPXViewUnitState {
  int32_t ColorDepth = 24;
  bool Remote = false;
  int32_t ScreenDpiX = 96, ScreenDpiY = 96;
  int32_t CXEdge = 2, CYEdge = 2, CXBorder = 1, CYBorder = 1;
  int32_t CYHScroll = 16, CXVScroll = 16;
};
// Fills the unit state (the first call does it; later calls return it).
PIXORAN_VIEW_EXPORT const TPXViewUnitState& ViewUnitState();
// Registers the viewer's 33 cursors (the first call does it).
PIXORAN_VIEW_EXPORT void LoadViewCursors();

class PIXORAN_VIEW_EXPORT TPixoranView : public TPXView, public TPXSelectionSource {
 public:
  explicit TPixoranView(TComponent* owner = nullptr, TWinControl* parent = nullptr);
  ~TPixoranView() override;

  // ------------------------------------------------------------ image and layers
  TBitmap* GetTBitmap() override;
  TPXBitmap* GetPXBitmap() override { return image_; }
  TPXBitmap* GetAlphaChannel() override;
  bool HasAlphaChannel() override;
  void RemoveAlphaChannel(bool merge) override;
  bool LegacyBitmap() const { return legacyBitmap_; }
  virtual void SetLegacyBitmap(bool value);
  bool EnableAlphaChannel() const { return enableAlpha_; }
  void SetEnableAlphaChannel(bool value);
  virtual bool IsEmpty();

  int32_t GetLayersCount() const { return static_cast<int32_t>(layers_.size()); }
  TPXLayer* GetLayer(int32_t index) const;
  int32_t CurrentLayer() const { return currentLayer_; }
  virtual void SetCurrentLayer(int32_t index);
  // A new layer over a bitmap of the image's size and pixel format, filled
  // with Background, appended and made current; returns its index, or -1
  // (nothing added) when storage for its bitmap cannot be had.
  int32_t AddLayer();
  // A new layer like AddLayer's, put at index (clamped to the list) and made current.
  int32_t InsertLayer(int32_t index);
  // Needs two layers and a valid index. When the current layer goes, the
  // one at min(index, count - 1) becomes current.
  void RemoveLayer(int32_t index);
  // The topmost layer whose last drawn rectangle holds the client point
  // (edges included), -1 when none.
  int32_t LayerAt(int32_t x, int32_t y) const;
  // Merges two layers into one 24-bit layer with alpha at the lower index
  // (lower layer under the upper one), which becomes current. A large
  // result goes to a temporary file like any large bitmap. False, with both
  // layers as they were, when nothing was merged (invalid indices, or
  // storage for the result that could not be had). The I/O component's
  // Aborting left from an earlier operation is cleared when a merge starts.
  bool MergeLayers(int32_t first, int32_t second);
  // nullptr gives the current layer an empty bitmap of its own; a bitmap
  // becomes its bitmap and the image, staying the caller's.
  void SetExternalBitmap(TPXBitmap* bitmap);
  virtual void DoLayerNotify(int32_t layer, int32_t event);
  // Copies another viewer's image, background and resolution.
  void Assign(TPixoranView* source);
  // Copies a platform bitmap (1-bit kept, anything else as 24-bit).
  void Assign(TBitmap* source);
  // Stops a transition and makes the image 1 x 1 in Background.
  void ClearImage();
  // Stores the image into its layer and recomputes the extent (enlarging
  // smaller layers while all layers are kept the same size).
  void SyncLayers();
  bool LayersSameSize() const { return layersSameSize_; }
  void SetLayersSameSize(bool value);
  bool ShowAllLayerFrames() const { return showAllFrames_; }
  void SetShowAllLayerFrames(bool value);
  // Fills the image with Background, drops its alpha channel, lays out.
  void FillWithBackground();
  void SetBackground(TColor color) override;

  // The I/O component, created attached to the viewer on first use.
  TPixoranIO* GetIO();
  // The processing component, created attached to the viewer on first use.
  TPixoranProc* GetProc();
  TPXProgressEvent OnProgressHandler() const { return onProgress_; }
  virtual void SetOnProgress(TPXProgressEvent handler);

  // ------------------------------------------------------------ zoom and origin
  double Zoom() const { return zoom_; }
  // Ignores values <= 0, the current zoom, and zooms whose zoomed picture or
  // coordinate tables would not fit in int32.
  void SetZoom(double value);
  void ZoomAt(int32_t x, int32_t y, double zoom);
  int32_t ViewX() const { return viewX_; }
  int32_t ViewY() const { return viewY_; }
  void SetViewX(int32_t v) { SetViewXY(v, viewY_); }
  void SetViewY(int32_t v) { SetViewXY(viewX_, v); }
  void SetViewXY(int32_t x, int32_t y);
  void GetMaxViewXY(int32_t& mx, int32_t& my);
  bool Center() const { return center_; }
  void SetCenter(bool value);
  TResampleFilter ZoomFilter() const { return zoomFilter_; }
  void SetZoomFilter(TResampleFilter value);
  bool DelayZoomFilter = false;
  void BeginLayout() { ++layoutLock_; }
  void EndLayout();
  virtual int32_t ViewClientWidth();
  virtual int32_t ViewClientHeight();
  virtual bool HasParentWindow();
  void LockUpdate() override { ++updateLock_; }
  void UnlockUpdate() override;
  void UnlockUpdateNoPaint() override;
  int32_t UpdateLockCount() const { return updateLock_; }
  void ImageChange() override;
  // The layout: every change of image, size, zoom or options ends here.
  void Update() override;

  // Geometry as last laid out.
  int32_t OffsetX() const { return offX_; }
  int32_t OffsetY() const { return offY_; }
  int32_t ExtentWidth() const { return extentW_; }
  int32_t ExtentHeight() const { return extentH_; }
  int32_t ZoomedWidth() const { return zoomW_; }
  int32_t ZoomedHeight() const { return zoomH_; }
  int32_t DisplayedWidth() const { return dispW_; }
  int32_t DisplayedHeight() const { return dispH_; }
  int32_t VisibleColumn() const { return visCol_; }
  int32_t VisibleRow() const { return visRow_; }
  int32_t VisibleImageWidth() const { return visImgW_; }
  int32_t VisibleImageHeight() const { return visImgH_; }
  int32_t VisibleClientWidth() const { return visCliW_; }
  int32_t VisibleClientHeight() const { return visCliH_; }
  // Entries the coordinate tables hold: pixel-to-column and column-to-pixel,
  // per axis (the client's pixels and the columns they show).
  void CoordTableLengths(int32_t& pixX, int32_t& colX, int32_t& pixY, int32_t& colY) const;
  // The image column (row) client column x (row y) shows, also beside the
  // picture, where it is not cut to the image.
  int64_t ImageColumnAtClient(int32_t x);
  int64_t ImageRowAtClient(int32_t y);

  // ------------------------------------------------------------ coordinates
  int32_t ScreenToBitmapX(int32_t x);
  int32_t ScreenToBitmapY(int32_t y);
  int32_t BitmapToScreenX(int32_t x);
  int32_t BitmapToScreenY(int32_t y);
  int32_t SnapViewX(int32_t o);
  int32_t SnapViewY(int32_t o);

  // ------------------------------------------------------------ fitting
  void GetBorderSize(int32_t& bx, int32_t& by, bool fitting);
  // 0 (nothing to fit) when a side of the image or of the room is 0.
  double GetFitZoom();
  void ZoomToFit();
  double GetAutoZoom(int32_t w, int32_t h, int32_t boxW, int32_t boxH, bool stretch, bool shrink);
  // Zooms to the selection's box; without a selection nothing happens.
  virtual void ZoomToSelection();
  bool AutoFit() const { return autoFit_; }
  void SetAutoFit(bool v);
  bool AutoStretch() const { return autoStretch_; }
  void SetAutoStretch(bool v);
  bool AutoShrink() const { return autoShrink_; }
  void SetAutoShrink(bool v);

  // ------------------------------------------------------------ scroll bars and wheel
  TScrollStyle ScrollBars() const { return scrollBars_; }
  virtual void SetScrollBars(TScrollStyle value);
  bool FlatScrollBars() const { return flatScrollBars_; }
  void SetFlatScrollBars(bool value);
  bool ScrollBarsAlwaysVisible() const { return barsAlwaysVisible_; }
  void SetScrollBarsAlwaysVisible(bool value);
  double HorzScrollFactor() const { return factorX_; }
  double VertScrollFactor() const { return factorY_; }
  TPXScrollBarParams& HorzScrollBarParams() { return horzParams_; }
  TPXScrollBarParams& VertScrollBarParams() { return vertParams_; }
  TPXMouseWheelParams& MouseWheelParams() { return wheelParams_; }
  void HideHorzScrollBar();
  void HideVertScrollBar();
  // Scroll actions: 0 position, 1 end, 2 start, 3 line back, 4 line
  // forward, 5 page back, 6 page forward.
  enum TScrollAction { saPosition, saEnd, saStart, saLineBack, saLineForward, saPageBack, saPageForward };
  void ScrollHorz(TScrollAction action, int32_t value);
  void ScrollVert(TScrollAction action, int32_t value);
  void ApplyMouseWheel(int32_t delta, int32_t x, int32_t y, bool ctrl);

  // ------------------------------------------------------------ painting
  bool DoubleBuffer = true;
  TPXBackgroundStyle BackgroundStyle() const { return backgroundStyle_; }
  void SetBackgroundStyle(TPXBackgroundStyle style);
  void SetChessboardStyle(int32_t size, TBrushStyle brushStyle);
  TColor GradientEndColor() const { return gradientColour_; }
  void SetGradientEndColor(TColor c);
  bool PixelGrid() const { return pixelGrid_; }
  void SetPixelGrid(bool value);
  bool DrawVersion() const { return drawVersion_; }
  void SetDrawVersion(bool value);
  // Marks the back buffer dirty and repaints a rectangle of the client.
  void InvalidateViewRect(const TRect& r);
  // The caption DrawVersion puts at the bottom-right corner.
  static std::string VersionCaption();

  // ------------------------------------------------------------ interaction state read by painting
  TPXMouseInteractItems MouseInteract() const { return mouseInteract_; }
  // Keeps only modes that go together: the first newly added mode decides
  // (layer modes only stay without a newly added other mode); an unfinished
  // polygon is closed first.
  virtual void SetMouseInteract(TPXMouseInteractItems value);
  TPXSelectionOptions SelectionOptions = pxsoAnimated | pxsoSizeable | pxsoMoveable | pxsoCanScroll;
  TPXSelectionBase SelectionBase = pxsbClientArea;
  TPXMask& Mask() { return *mask_; }
  TCursor Cursor() const { return cursorShown_; }
  void SetCursor(TCursor c);
  TCursor DefaultCursor() const { return defaultCursor_; }
  // Shows a cursor now without changing the default one.
  void SetTempCursor(TCursor c);
  void RestoreCursor() { SetTempCursor(defaultCursor_); }
  // Shift adds to the selection.
  bool ShiftAdd = true;
  // Polygon points snap to 45-degree steps as with Alt held (which the
  // window manager often takes for itself).
  bool LineSnap = false;
  // Fixed selection box size; a navigator shows the visible area with it.
  int32_t FixedSelectionWidth = 100, FixedSelectionHeight = 100;
  // A second viewer acting as navigator of this one (nullptr unlinks).
  void SetLinkedView(TPixoranView* view);
  TPixoranView* LinkedView() const { return linked_; }
  // While the client point lies outside the displayed image, scrolls by the
  // distance outside (shifting the stored selection along); true when it
  // scrolled.
  bool AutoScroll(int32_t x, int32_t y);
  // The grip of the current layer under a client point: 1 top-left, 2
  // top-right, 3 bottom-right, 4 bottom-left, 5 left, 6 right, 7 top, 8
  // bottom, 0 none.
  int32_t LayerGripAt(int32_t x, int32_t y);
  // Resize cursor by grip number, 0 for none.
  static TCursor GripCursor(int32_t grip);

  // ------------------------------------------------------------ selections (pixoranview_selection.cpp)
  // Rectangle selection, operation 0 new or 1 added to the present one; the
  // corners are client coordinates with pxsbClientArea, image ones otherwise.
  // A rectangle without width or height does nothing.
  virtual void Select(int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t operation = 0);
  // The polygon part of Select (the mask is cleared for a new selection but
  // not filled); false for a degenerate rectangle. lockAspect squares it
  // (aspect ratio -1) and clip shifts it into the image whole.
  bool SelectRect(int32_t x1, int32_t y1, int32_t x2, int32_t y2, int32_t operation, bool lockAspect, bool clip);
  // Appends a polygon point; from the third point on the mask follows.
  virtual void AddSelectionPoint(int32_t x, int32_t y);
  // Fills the mask from every polygon of the outline; true when the mask is
  // empty (and the selection then absent).
  virtual bool EndSelect();
  void Deselect();
  // Operation 0 new, 1 added; the region by MagicWandMode (0 outline
  // polygon, 1 flood fill, 2 every pixel of the colour).
  void MagicWandSelect(int32_t x, int32_t y, int32_t operation);
  // Moves the outline in image pixels; it stops at the image border with its
  // size kept. Without clip a move that would take the box wholly outside
  // is refused.
  void MoveSelection(int32_t dx, int32_t dy, bool clip);
  // The selection's box of the image, unselected pixels in Background;
  // false without a selection. The platform bitmap is 24-bit unless the
  // image is 1-bit; the library bitmap keeps the image's format.
  bool CopySelectionToBitmap(TBitmap& bitmap);
  bool CopySelectionToPXBitmap(TPXBitmap& bitmap);
  // A stack of saved selections; Pop restores the last one (false when empty).
  void PushSelection();
  bool PopSelection();
  // Whether a selection is present (finished or being drawn).
  bool Selected() const { return selPresent_; }
  TColor SelectionColor1() const { return poly_.Color1; }
  TColor SelectionColor2() const { return poly_.Color2; }
  void SetSelectionColor1(TColor c);
  void SetSelectionColor2(TColor c);
  // Stores the options and lays out again.
  void SetSelectionOptions(TPXSelectionOptions options);
  // Depth of the selection mask, 1 or 8 bits (changing it drops the selection).
  int32_t SelectionMaskDepth() const { return maskDepth_; }
  void SetSelectionMaskDepth(int32_t bits);
  // -1: a square while the aspect is locked; > 0 that height / width ratio;
  // 0: boxes of the fixed selection size.
  double SelectionAspectRatio = -1.0;
  int32_t MagicWandTolerance = 15;
  int32_t MagicWandMode = 0;
  bool MagicWandMaxFilter = false;
  int32_t SelectionGripSize = 5;
  TColor SelectionGripPenColor = 0;
  TColor SelectionGripBrushColor = 0xFFFFFF;
  TBrushStyle SelectionGripBrushStyle = bsSolid;
  bool DrawSelectionGrips = true;
  // Phase of the marching ants, 0..9, and whether their timer runs (it also
  // counts down the delayed zoom filter).
  int32_t AntsPhase() const { return poly_.Phase; }
  bool AntsTimerRunning() const { return timerRunning_; }

  // ------------------------------------------------------------ selection source
  TPXMask* GetSelectionMask() override { return mask_.get(); }
  bool HasSelection() override { return HasFinishedSelection(); }
  TPXPoint* GetSelectionPoints() override { return poly_.Points.empty() ? nullptr : poly_.Points.data(); }
  int32_t GetSelectionPointCount() override { return static_cast<int32_t>(poly_.Points.size()); }
  // Mask size, polygon, bounds, presence, mask depth, box, Full flag and rows.
  void SaveSelectionToStream(TStream& stream) override;
  // False, nothing changed, for truncated or inconsistent data.
  bool LoadSelectionFromStream(TStream& stream) override;

  // ------------------------------------------------------------ events
  TNotifyEvent OnImageChange;
  TPXViewChangeEvent OnViewChange;
  TNotifyEvent OnPaint;
  TNotifyEvent OnDrawBackBuffer;
  TPXZoomEvent OnZoomIn;
  TPXZoomEvent OnZoomOut;
  TPXLayerNotifyEvent OnLayerNotify;
  TPXSpecialKeyEvent OnSpecialKey;
  TNotifyEvent OnSelectionChange;
  TNotifyEvent OnSelectionChanging;
  TNotifyEvent OnBeforeSelectionChange;
  TNotifyEvent OnMouseInSel;
  TPXGripEvent OnMouseInResizingGrip;
  TPXObjectEvent OnDShowNewFrame;
  TPXObjectEvent OnDShowEvent;

  // The viewer's transition engine; it stops whenever the viewer updates.
  TPXTransitionEffects& Transitions() { return *transition_; }

  // Margin (image pixels) added to the extent when scrolling is needed.
  double ExtentMargin() const { return extentMargin_; }

 protected:
  virtual void DoViewChange(int32_t change);
  virtual void RebuildCoordTables();
  virtual void ComputeVisibleRect();
  virtual void ZoomKeepCentre(double z);
  virtual void ComputeExtent();
  virtual void DrawLayersToBackBuffer(TBitmap& buffer, const TRect& rect);

  // Painting's view of the selection: whether one is finished (its mask is
  // then filled or its outside marked when composing), its outline and the
  // rubber band of an unfinished polygon drawn on the window after the copy.
  // StopTransition stops the viewer's engine (a resize, a cleared image).
  virtual bool HasFinishedSelection();
  virtual void DrawSelectionOutline(TCanvas& window);
  virtual void DrawRubberBand(TCanvas& window);
  virtual void StopTransition();

  // The mouse handling's view of the selection (pixoranview_selection.cpp).
  // Press returns true when a selection drag (drawing, moving or a grip)
  // started.
  virtual bool SelectionPress(TPXMouseInteractItems mode, TShiftState shift, int32_t x, int32_t y);
  virtual void SelectionDrag(TShiftState shift, int32_t x, int32_t y);
  // Ends what the press started; true when a selection was made.
  virtual bool SelectionRelease(TPXMouseInteractItems mode, TShiftState shift, int32_t x, int32_t y);
  // Hover: the selection's grip under the point (0 none), whether the point
  // is inside the selection, and the rubber band of an unfinished polygon.
  virtual int32_t SelectionGripAt(int32_t x, int32_t y);
  virtual bool PointInSelection(int32_t x, int32_t y);
  virtual void SelectionHover(int32_t x, int32_t y);
  virtual bool PolygonInProgress() { return polyDrawing_; }
  virtual void ClosePolygon(TShiftState shift);
  virtual void ShiftSelection(int32_t dx, int32_t dy);
  virtual void MagicWandAt(int32_t x, int32_t y, bool add);
  // The selection's box in image coordinates; false without one.
  virtual bool SelectionBox(TRect& box);
  // One tick of the ants timer: the phase steps and the outline is redrawn;
  // true when that asked for a repaint of the client.
  bool AntsTick();
  // One step of the delayed zoom filter's two counters.
  void CountDownDelay();
  // One auto-scroll step while a selection drag is held outside the picture.
  void AutoScrollTick();
  static constexpr uint32_t kAutoScrollTimer = 2;
  static constexpr uint32_t kAutoScrollMs = 50;

  void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
  void MouseMove(TShiftState shift, int x, int y) override;
  void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
  void KeyDown(int& key, TShiftState shift) override;
  void KeyUp(int& key, TShiftState shift) override;
  void ComponentRemoved(TComponent* component) override;
  // Resizes the current layer by the dragged grip to the client point.
  void ResizeLayerByGrip(int32_t x, int32_t y, bool keepAspect);
  // Keeps a dragged layer within reach: its display size at most
  // kPXLayerReach times the image extent on each axis, its position within
  // that many extents of the image's origin either way.
  void BoundLayer(TPXLayer& layer);

  void Paint() override;
  void PaintWindowOverlay() override;
  void Resize() override;
  void Scroll(TScrollBarKind bar, TScrollCode code, int32_t pos) override;
  bool MouseWheel(TShiftState shift, int wheelDelta, int x, int y) override;
  void DoEnter() override { Invalidate(); }
  void DoExit() override { Invalidate(); }
  void Timer(uint32_t id) override;
  void HandleMessage(TMessage& message) override;

 private:
  void SetImage(TPXBitmap* image);
  // Background as a Fill value of the bitmap's format.
  double BackgroundFill(TPXBitmap& b);
  // Makes layer index current whatever the current index says.
  void BindLayer(int32_t index);
  int32_t NewLayer(int32_t index);
  // MergeLayers' work; raises when storage for the result cannot be had.
  bool MergeLayersInto(int32_t first, int32_t second);
  void LinkedSelectionChanging();
  void AfterLayout();
  void ReloadDelayCounters();
  void StoreZoom(double z);
  bool ZoomFits(double z);
  void Layout(int32_t pass);
  void LayoutBar(TScrollBarKind bar, int32_t maximum, int32_t client, int32_t origin, double& factor, bool& shown);
  void PaintBackground(TBitmap& buffer, const TRect* rect, bool coveredByLayer = false);
  bool BackgroundHidden();
  // The soft shadow of a positioned layer, drawn below it.
  void DrawLayerShadow(TBitmap& buffer, const TPXLayer& layer, int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                       const TPXRenderOptions& layerOptions);
  void DrawLayerFrame(TBitmap& buffer, TPXLayer& layer, bool current);
  void DrawPixelGrid(TBitmap& buffer);
  // Draws the part of a layer bitmap that lands on the client: the bitmap
  // covers width x height image pixels from (posX, posY); with clip only
  // what lies on the picture is drawn.
  void RenderLayer(TPXBitmap& b, TBitmap& buffer, int32_t posX, int32_t posY, int32_t width, int32_t height, bool clip,
                   const TPXRenderOptions& o);
  void PlaceMask();
  TResampleFilter FilterFor(bool ownDisplaySize);

  // Image and layers.
  TPXBitmap* image_ = nullptr;
  std::vector<std::unique_ptr<TPXLayer>> layers_;
  int32_t currentLayer_ = 0;
  int32_t extentW_ = 0, extentH_ = 0;
  bool legacyBitmap_ = true;
  bool layersSameSize_ = true;
  bool enableAlpha_ = false;
  bool showAllFrames_ = false;

  // Geometry.
  double zoom_ = 100.0, zoomF_ = 1.0, zoomInv_ = 1.0;
  int32_t viewX_ = 0, viewY_ = 0;
  int32_t offX_ = 0, offY_ = 0;
  int32_t dispW_ = 0, dispH_ = 0;
  int32_t zoomW_ = 0, zoomH_ = 0;
  int32_t visCol_ = 0, visRow_ = 0, visImgW_ = 0, visImgH_ = 0, visCliW_ = 0, visCliH_ = 0;
  int32_t lastImgW_ = 0, lastImgH_ = 0;
  double extentMargin_ = 0.5;
  // Coordinate tables per axis. The whole tables would map every zoomed
  // pixel 0..Pixels to its image column and every column 0..Columns to its
  // first zoomed pixel; only the stretch the client shows is kept (PixToCol
  // from PixStart, the snapped origin where the client's first pixel lies,
  // one entry a client pixel; ColToPix from ColBase, the columns those
  // pixels show), and any other entry is worked out on demand, so memory and
  // time follow the client, not the zoom. The buffers are kept from one zoom
  // to the next.
  struct TAxisTables {
    std::vector<int32_t> PixToCol, ColToPix;
    int32_t PixStart = 0, ColBase = 0;
    int32_t Columns = 0;                   // columns the visible client shows
    int64_t Pixels = -1, AllColumns = -1;  // last entries of the whole tables; -1: no tables
    int32_t Last = 0;                      // last image column
    double ZoomF = 1.0, ZoomInv = 1.0;
    bool Up = false;  // zoom above 100 %: several pixels a column
    bool Exist() const { return Pixels >= 0; }
    // No tables; the buffers keep their room.
    void Reset();
    // Entries of the whole tables (0 <= j <= Pixels, 0 <= c <= AllColumns).
    int32_t PixToColAt(int64_t j) const;
    int32_t ColToPixAt(int64_t c) const;
    void Define(double zoom, int32_t zoomed, int32_t client, int32_t extent, double zoomF, double zoomInv);
    // Keeps the stretch of pixels from start and the columns they show.
    void Window(int32_t start, int32_t pixels, int32_t first);
    // Entries of the whole tables, from the kept stretches where they hold them.
    int32_t Column(int64_t j) const;
    int32_t Pixel(int64_t c) const;
    // The first zoomed pixel of the column showing zoomed pixel o.
    int32_t Snap(int32_t o, int32_t zoomed) const;
    // The column zoomed pixel j shows, also beside the picture (not cut to it).
    int64_t ColumnOfPixel(int64_t j, int32_t zoomed, double zoomInv) const;
  };
  // Of the visible client pixels, those the client holds past the offset.
  static int32_t OnClientPixels(int32_t visible, int32_t client, int32_t offset);
  TAxisTables tabX_, tabY_;
  double keyZoom_ = -1.0;
  int32_t keyCliW_ = -1, keyCliH_ = -1, keyExtW_ = -1, keyExtH_ = -1;
  bool center_ = true, autoFit_ = false, autoStretch_ = false, autoShrink_ = false;
  TScrollStyle scrollBars_ = ssBoth;
  bool flatScrollBars_ = false, barsAlwaysVisible_ = false;
  bool horzShown_ = false, vertShown_ = false;
  double factorX_ = 0.0, factorY_ = 0.0;
  TPXScrollBarParams horzParams_, vertParams_;
  TPXMouseWheelParams wheelParams_;
  int32_t updateLock_ = 0, layoutLock_ = 0;
  TResampleFilter zoomFilter_ = rfNone, pressFilter_ = rfNone;
  int32_t delayReload1_ = 4, delayReload2_ = 2, delay1_ = 0, delay2_ = 0;
  int32_t sizeW_ = -1, sizeH_ = -1;

  // Painting.
  // Every origin, zoom and layout change invalidates the whole window, so
  // the copy to the window needs no flag of its own beside this one.
  bool dirty_ = true;
  int32_t bufW_ = -1, bufH_ = -1;
  TPXBackgroundStyle backgroundStyle_ = pxbsSolid;
  int32_t squareSize_ = 16;
  TBrushStyle squareBrush_ = bsSolid;
  TColor gradientColour_ = 0xFF0000;
  bool pixelGrid_ = false, drawVersion_ = false;
  TPXRenderTables renderTables_;
  // How the mask lies on the client, from the coordinate tables (PlaceMask).
  TPXMaskPlacement maskPlace_;
  bool timerRunning_ = false;

  // Interaction and components.
  TPXMouseInteractItems mouseInteract_ = 0;
  TCursor defaultCursor_ = kPXDefaultViewCursor, cursorShown_ = kPXDefaultViewCursor;
  std::unique_ptr<TPXMask> mask_;
  std::unique_ptr<TPixoranIO> io_;
  std::unique_ptr<TPixoranProc> proc_;
  TPXProgressEvent onProgress_;
  TPixoranView* linked_ = nullptr;
  bool inLinkUpdate_ = false;

  // The drag in progress: press position (clamped, client), last position,
  // origin at the press, the button, and what the press started.
  struct TDragState {
    bool Down = false;
    TMouseButton Button = mbLeft;
    int32_t PressX = 0, PressY = 0, LastX = 0, LastY = 0;
    int32_t OriginX = 0, OriginY = 0;
    int32_t LayerPosX = 0, LayerPosY = 0, LayerW = 0, LayerH = 0;
    bool Scrolling = false, Selecting = false, Moved = false;
    TShiftState Shift = 0;     // at the last move
    int32_t MovingLayer = -1;  // layer being moved
    int32_t LayerGrip = 0;     // layer grip being dragged
    TPXSelectionBase SavedBase = pxsbClientArea;
  } drag_;

  // Selections (pixoranview_selection.cpp). The outline in image
  // coordinates; a point whose x is kPXPolygonSeparator separates polygons.
  struct TSelPolygon {
    std::vector<TPXPoint> Points;
    TColor Color1 = 0, Color2 = 0xFFFFFF;
    int32_t Phase = 0;        // marching-ants phase, 0..9
    int32_t DashCounter = 0;  // position in the 4 + 4 dash while drawing
    int32_t X1 = 0, Y1 = 0, X2 = 0, Y2 = 0;
    int32_t RealPoints = 0;  // points that are not separators
    bool Shown = false;
  } poly_;
  bool selPresent_ = false;
  bool polyDrawing_ = false, lasso_ = false, rectDrawing_ = false, ellipseDrawing_ = false, selMoving_ = false;
  int32_t selGrip_ = -1;  // -1 none, 0 moving, 1..8 a grip
  int32_t maskDepth_ = 1;
  // The mask holds what the outline does not say (a wand's fill, alone or
  // added to an outline): such a selection is outlined by the mask's own
  // edge and moves its mask, even when the outline is a rectangle.
  bool maskBeyondOutline_ = false;
  // The selection drag: where it started (image and client), the outline
  // and box as they were, whether it adds and whether the mouse moved.
  struct TSelDrag {
    int32_t ImageX = 0, ImageY = 0, ClientX = 0, ClientY = 0, LastX = 0, LastY = 0;
    size_t Keep = 0;  // outline points kept below the shape being drawn
    std::vector<TPXPoint> Points;
    int32_t BoxX1 = 0, BoxY1 = 0, BoxX2 = 0, BoxY2 = 0;
    int32_t MovedX = 0, MovedY = 0;  // mask offset applied so far
    bool Add = false, Moved = false;
    bool Rect = false;  // a rectangle selection: only its outline moves, the mask follows at the release
  } selDrag_;
  int32_t rubberX_ = 0, rubberY_ = 0;
  bool rubberShown_ = false;
  TRect shownOutline_;  // client rectangle of the outline as last drawn
  std::vector<std::unique_ptr<TMemoryStream>> selStack_;
  void AppendPoint(int32_t x, int32_t y);
  void AppendSeparator();
  void ClearPolygon();
  void RecomputeBounds();
  // The outline is one rectangle (four corners).
  bool IsRectangle() const;
  // The selection is that rectangle: its mask is the rectangle's fill.
  bool RectangleSelection() const;
  void ClearMask();
  bool MaskIsOutlineFill();
  void NoteMaskContent();
  // Moves every outline point, each kept within the image.
  void ShiftOutline(int32_t dx, int32_t dy);
  bool AntsAnimated() const;
  // The selection is outlined by its mask's own edge.
  bool MaskOutlined() const;
  void UpdateAntsTimer();
  void StartViewTimer();
  void DropSelection();
  void BeginNewShape(bool add);
  // The rest of a rectangle: aspect, shift into the image, clamp and
  // order, four points appended (image coordinates).
  void AddRectPoints(int32_t x1, int32_t y1, int32_t x2, int32_t y2, bool lockAspect, bool clip);
  void DrawFixedBox(int32_t x, int32_t y, bool ellipse);
  void RefreshSelection(bool recompose);
  TRect OutlineClientRect();
  void PlotDashedLine(TCanvas& c, int32_t x0, int32_t y0, int32_t x1, int32_t y1);
  void BuildEllipse(int32_t cx, int32_t cy, int32_t rx, int32_t ry);
  void ResizeByGrip(int32_t x, int32_t y, bool keepAspect);
  void WandAtImagePoint(int32_t x, int32_t y, int32_t operation);
  int32_t ToImageX(int32_t x) { return SelectionBase == pxsbClientArea ? ScreenToBitmapX(x) : x; }
  int32_t ToImageY(int32_t y) { return SelectionBase == pxsbClientArea ? ScreenToBitmapY(y) : y; }

  // Last, so it goes first: its timer stops before the viewer does.
  std::unique_ptr<TPXTransitionEffects> transition_;
};

}  // namespace pixoran
