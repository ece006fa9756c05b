#pragma once
// The vector layer: a viewer with objects (lines, boxes, ellipses, arcs,
// bitmaps, texts, rulers, polylines, angles, memos, labelled lines) kept in
// image coordinates and drawn over the composed picture at every repaint,
// or burnt into the image on request.
//
// pxvect.cpp holds the object model (the object array, drawing order,
// selection list, shared-bitmap table, template, hit testing and change
// notifications); pxvect_draw.cpp draws the objects and their grips;
// pxvect_tools.cpp holds the mouse tools; pxvect_text.cpp the in-place
// editors; pxvect_stream.cpp the object stream and undo snapshots.
//
// Texts are UTF-8; every length or position counted in characters (memo
// length, character format indexes, text on a path) counts code points.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/pxexport.h"
#include "core/kopxutils_geometry.h"
#include "platform/streams.h"
#include "view/pixoranview.h"
#include "view/pxmview.h"

namespace pixoran {

class TPXBitmap;
class TPXEdit;
class TPXTextControl;

enum TPXVObjectKind : uint8_t {
  pxokNone = 0,
  pxokLine = 1,
  pxokBox = 2,
  pxokEllipse = 3,
  pxokArc = 4,
  pxokBitmap = 5,
  pxokText = 6,
  pxokRuler = 7,
  pxokPolyline = 8,
  pxokAngle = 9,
  pxokMemo = 10,
  pxokLineLabel = 11,
};

// Measure units; the abbreviation of each is MeasureUnitAbbreviation's.
enum TPXUnits : uint8_t {
  pxuPIXELS = 0,
  pxuINCHES,
  pxuKM,
  pxuMETERS,
  pxuCENTIMETERS,
  pxuMILLIMETERS,
  pxuMICRONS,
  pxuNANOMETERS,
};
// "pixels", "inches", "km", "mt", "cm", "mm", "microns", "nanometers"; ""
// for values past the last.
PIXORAN_VIEW_EXPORT const char* MeasureUnitAbbreviation(TPXUnits unit);

// Object flags.
constexpr uint8_t kPXVSelectable = 0x01, kPXVMovable = 0x02, kPXVResizable = 0x04, kPXVVisible = 0x08;

// Handles besides the object indexes.
constexpr int32_t kPXVTemplate = -1, kPXVLast = -2, kPXVAll = -3, kPXVNone = -4;
// Empty minimum and maximum of accumulated bounds; an angle point whose x
// is kPXVUnset is not placed yet.
constexpr int32_t kPXVBig = 1000000, kPXVUnset = -1000000;

// Vector tools (SetMouseInteractVect).
constexpr uint16_t kPXVTMeasureArea = 0x0001, kPXVTMeasureLength = 0x0002, kPXVTLine = 0x0004, kPXVTBox = 0x0008,
                   kPXVTEllipse = 0x0010, kPXVTBitmap = 0x0020, kPXVTText = 0x0040, kPXVTSelect = 0x0080,
                   kPXVTDragLength = 0x0100, kPXVTRuler = 0x0200, kPXVTPolyline = 0x0400, kPXVTAngle = 0x0800,
                   kPXVTMemo = 0x1000, kPXVTLineLabel = 0x2000, kPXVTEditPolyline = 0x4000, kPXVTNoClickCreate = 0x8000;

// One format of a memo's characters, byte for byte as the object stream and
// the clipboard keep it (280 bytes).
struct PIXORAN_VIEW_EXPORT TPXMemoFormat {
  int32_t UsageCount = 0;      // characters that use it
  uint8_t FontName[256] = {};  // length byte, then the name
  int32_t Height = 0;          // negative: character height
  uint8_t Style = 0;           // 1 bold, 2 italic, 4 underline, 8 strike-out
  uint8_t Unused1[3] = {};
  int32_t Color = 0;      // font colour
  int32_t BackColor = 0;  // background colour
  uint8_t BackStyle = 0;  // background brush style
  uint8_t Alignment = 0;  // 0 left, 1 right, 2 centre, 3 justify
  uint8_t Unused2[2] = {};
};
static_assert(sizeof(TPXMemoFormat) == 280);

// A point of a text path: fractions of the object's rectangle.
struct PIXORAN_VIEW_EXPORT TPXVPathPoint {
  double X = 0.0, Y = 0.0;
};

// One vector object. The defaults are the template's at construction
// (except the pen colour and font, which come from the control's canvas).
// The record owns its texts, font, path, points and formats: copying it
// copies them.
struct PIXORAN_VIEW_EXPORT TPXVObject {
  // Image coordinates. Lines, rulers and labelled lines keep their
  // direction (x1, y1 is the start); other kinds keep x1 <= x2, y1 <= y2.
  int32_t X1 = 0, Y1 = 0, X2 = 63, Y2 = 63;
  TPXVObjectKind Kind = pxokNone;
  int32_t Opacity = 255;  // 0..255, for the alpha drawing pipeline
  // Line-end shapes of lines and labelled lines: 0 none, 1 base on the end
  // point, 2 tip on the end point; their size in image pixels.
  uint8_t BeginShape = 0, EndShape = 0;
  int32_t ShapeWidth = 10, ShapeLength = 20;
  TColor LabelBrushColor = 0xFFFFFF;
  TBrushStyle LabelBrushStyle = bsSolid;
  uint8_t LabelPosition = 1;  // 0 at the start point, 1 at the end point
  TColor PenColor = clBlack;
  TPenStyle PenStyle = psSolid;
  int32_t PenWidth = 1;  // image pixels
  TColor BrushColor = 0xFFFFFF;
  TBrushStyle BrushStyle = bsClear;
  bool Highlight = false;                             // boxes: tint what lies under instead of painting
  double ArcStart = 0.0, ArcEnd = 6.283185307179586;  // radians
  int32_t BitmapIdx = -1;                             // shared-bitmap table entry
  std::string Text;                                   // UTF-8
  std::optional<TPXLogFont> Font;
  // Texts and labelled lines: 0 left, 1 right, 2 and 3 centred; memos: the
  // paragraph alignment of new text.
  uint8_t Alignment = 0;
  bool AutoSize = false;
  bool PlainText = true;                                 // memos: one format for all text
  std::vector<TPXVPathPoint> Path;                       // texts: the line the characters follow
  int32_t CharAngle = -10;                               // tenths of degrees, -10 = along the path
  std::vector<int32_t> CharFormats;                      // memos: format index per code point
  std::optional<std::vector<TPXMemoFormat>> FormatList;  // memos
  int32_t LineSpacing = 0;                               // memos: extra pixels between lines
  TColor BorderColor = 0xFFFFFF;                         // memos: frame pen colour
  TPenStyle BorderStyle = psSolid;                       // memos: frame pen style (psClear none)
  int32_t FixedLineHeight = 0;                           // memos: cell height, 0 = from the font
  std::string Name;
  uint32_t UserValue = 0;
  uint8_t Flags = kPXVSelectable | kPXVMovable | kPXVResizable | kPXVVisible;
  TPXUnits RulerUnit = pxuPIXELS;
  uint8_t RulerStyle = 2;  // 0 graduated, 1..3 length text at start, middle, end
  // Polylines: points in the frame of PointBounds (corners inclusive), which
  // drawing maps onto the rectangle.
  std::vector<TPXPoint> Points;
  TRect PointBounds{};
  bool Closed = false;
  std::vector<TPXPoint> DrawnPoints;  // the points as last drawn (target)
  // Angles: first arm end, vertex, second arm end.
  TPXPoint AnglePoints[3] = {{0, 0}, {50, 0}, {50, 50}};
  TRect ResizeStart{};  // rectangle at the start of a proportional resize
  // Target-coordinate bounds (corners inclusive) of the last drawing, and
  // its pen width.
  TRect DrawnBounds{};
  int32_t DrawnPenWidth = 0;
  TPXVSoftShadow Shadow{false, 3.0, 0, 0};
};

// The factors that map a polyline's stored points (the frame of its
// PointBounds) onto its rectangle; a frame without width or height gives 1
// on that axis.
PIXORAN_VIEW_EXPORT void PolylineScale(const TPXVObject& o, double& sx, double& sy);

// Code points of a UTF-8 text (malformed bytes count one each).
PIXORAN_VIEW_EXPORT int32_t Utf8Length(const std::string& utf8);
// The text cut into its code points, each as its own UTF-8 string.
PIXORAN_VIEW_EXPORT std::vector<std::string> Utf8Chars(const std::string& utf8);

using TPXVMeasureHintEvent = std::function<void(TObject* sender, const std::string& text, double value)>;
using TPXVDragLenEndEvent = std::function<void(TObject* sender, double value)>;
using TPXVNewObject = std::function<void(TObject* sender, int32_t handle)>;
using TPXVObjectMoveResizeEvent =
    std::function<void(TObject* sender, int32_t handle, int32_t grip, int32_t dx, int32_t dy)>;
using TPXVObjectClickEvent = std::function<void(TObject* sender, int32_t handle)>;
using TPXVTextKeyDownEvent = std::function<void(TObject* sender, int& key, TShiftState shift)>;

// Drawing target mode.
enum TPXVDrawMode : uint8_t { pxdmScreen = 0, pxdmImage = 1 };

class PIXORAN_VIEW_EXPORT TPixoranVect : public TPixoranView {
 public:
  explicit TPixoranVect(TComponent* owner = nullptr, TWinControl* parent = nullptr);
  ~TPixoranVect() override;

  // The layout, then the editor follows its object.
  void Update() override;

  // ------------------------------------------------------------ objects
  // The record for 0..count-1, -1 (template) and -2 (last object); nullptr
  // for anything else.
  TPXVObject* GetObject(int32_t handle);
  int32_t ObjectsCount() const { return static_cast<int32_t>(objects_.size()); }
  // Handles in drawing order (the last is drawn on top).
  const std::vector<int32_t>& DrawingOrder() const { return order_; }
  // Appends a copy of the record as a new object; returns its handle.
  int32_t AddObject(const TPXVObject& source);
  // Adds a copy of the template.
  int32_t AddNewObject() { return AddObject(template_); }
  void Clear();
  void RemoveAllObjects();

  // ------------------------------------------------------------ selection
  void SelectObject(int32_t handle);
  void SelectObjectRaw(int32_t handle);
  bool IsSelObject(int32_t handle);
  void UnselectObject(int32_t handle);
  void ClearSelection();
  void UnselectAllObjects();
  void SelectObjectsInRect(int32_t handle, int32_t x1, int32_t y1, int32_t x2, int32_t y2);
  const std::vector<int32_t>& SelectedObjects() const { return selection_; }

  // ------------------------------------------------------------ object settings
  void SetObjFont(int32_t handle, const TFont& font);
  void SetObjFont(int32_t handle, const TPXLogFont& font, TColor color);
  void SetObjMemoBorderStyle(int32_t handle, TPenStyle style);
  void SetObjMemoPlainText(int32_t handle, bool value);
  int32_t GetObjFontStyle(int32_t handle);
  void AddPolylinePoint(int32_t handle, int32_t x, int32_t y);
  void RefitPolyline(TPXVObject& object);

  // ------------------------------------------------------------ shared bitmaps
  // Equal bitmaps share one entry while ShareBitmaps is on. The bitmap is
  // copied; the caller keeps its own.
  void SetObjBitmap(int32_t handle, TPXBitmap* bitmap);
  void SetObjBitmapIdx(int32_t handle, int32_t index);
  // A 64 x 64 (or given size) placeholder picture.
  void SetObjBitmapIcon(int32_t handle, int32_t icon, int32_t width, int32_t height);
  TPXBitmap* GetObjBitmap(int32_t index);
  int32_t FindBitmapInTable(TPXBitmap* bitmap);
  void CompactBitmapTable();
  int32_t BitmapTableCount() const { return static_cast<int32_t>(bitmaps_.size()); }
  int32_t BitmapRefCount(int32_t index) const;

  // ------------------------------------------------------------ hit testing
  // The nearest object (strictly nearer wins, so the top of equals) whose
  // box overlaps the visible image area; -3 and 2147483647.0 when none.
  int32_t FindObjectAt(int32_t x, int32_t y, bool selectableOnly, double& distance);
  int32_t FindObjectAtClient(int32_t x, int32_t y, double& distance);
  // Distance from an image point to the object; -1 for kinds that have none.
  double ObjectDistance(const TPXVObject& object, int32_t x, int32_t y);

  // ------------------------------------------------------------ copies
  void CopyObjectsTo(TPixoranVect& dest);
  void CopyObjectTo(TPixoranVect& dest, int32_t handle);
  // nullptr: clears; another vector viewer: takes a copy of its objects.
  void Assign(TPixoranVect* source);
  using TPixoranView::Assign;

  // ------------------------------------------------------------ drawing
  // Draws every object in drawing order into target: screen mode through
  // the view's coordinates (zoomed), image mode as they are.
  void DrawObjectsToBitmap(TPXBitmap& image, TPXVDrawMode mode, bool supersample, TBitmap& target);
  void DrawObjectsOnBackBuffer(TBitmap& buffer);
  // Burns the objects into the bitmap (made pxBGR24 over a platform bitmap).
  void DrawObjectsToPXBitmap(TPXBitmap& bitmap, bool antialias);
  void CopyObjectsToBack(bool antialias);
  bool DrawObject(TPXVObject& object, TBitmap& target, int32_t pass, int32_t factor, TPXBitmap* work, bool screen,
                  bool clip);
  int32_t ObjToTargetX(int32_t x, bool screen, int32_t factor);
  int32_t ObjToTargetY(int32_t y, bool screen, int32_t factor);
  int32_t DrawnCount() const { return drawnCount_; }
  // The angle at an angle object's vertex in degrees (0..360), as drawn;
  // 0 until its three points are placed.
  static double ObjAngleDegrees(const TPXVObject& object);
  // The grips of the selected objects (after the objects, on every repaint).
  void DrawGrips(TCanvas& canvas);
  // In polyline-editing mode: a diamond on every point of the selected
  // polylines.
  void DrawPointHandles(TCanvas& canvas);
  bool ObjectsHidden() const { return objectsHidden_; }
  void SetObjectsHidden(bool value);

  // ------------------------------------------------------------ measuring
  void ComputeUnitPerPixel(double& ux, double& uy, TPXUnits unit);
  double MeasureScale() const { return measureScale_; }
  void SetMeasureScale(double value);
  TPXUnits MUnit() const { return mUnit_; }
  void SetMUnit(TPXUnits value);
  int32_t FloatDigits() const { return floatDigits_; }
  void SetFloatDigits(int32_t value);
  int32_t FloatPrecision() const { return floatPrecision_; }
  void SetFloatPrecision(int32_t value);
  double UnitPerPixelX() const { return unitX_; }
  double UnitPerPixelY() const { return unitY_; }
  // value with FloatDigits decimals (FloatToStrF fixed).
  std::string FormatMeasure(double value) const;
  void SetDpiX(int32_t dpi) override;
  void SetDpiY(int32_t dpi) override;

  // ------------------------------------------------------------ properties
  bool ShareBitmaps() const { return shareBitmaps_; }
  void SetShareBitmaps(bool value) { shareBitmaps_ = value; }
  bool ZoomObjectsWidth() const { return zoomObjectsWidth_; }
  void SetZoomObjectsWidth(bool value);
  TResampleFilter BitmapResampleFilter() const { return bitmapFilter_; }
  void SetBitmapResampleFilter(TResampleFilter value);
  bool ObjAntialias() const { return objAntialias_; }
  void SetObjAntialias(bool value);
  int32_t ObjUndoLimit() const { return objUndoLimit_; }
  void SetObjUndoLimit(int32_t value) { objUndoLimit_ = value; }
  bool ObjAutoUndo() const { return objAutoUndo_; }
  void SetObjAutoUndo(bool value) { objAutoUndo_ = value; }
  bool SelectOnMouseDown() const { return selectOnMouseDown_; }
  void SetSelectOnMouseDown(bool value) { selectOnMouseDown_ = value; }
  bool ObjAlphaDrawing() const { return alphaDrawing_; }
  virtual void SetObjAlphaDrawing(bool value);
  // Set while the user drags objects: bitmaps are stretched unfiltered.
  bool InteractionInProgress() const { return interacting_; }
  void SetInteractionInProgress(bool value) { interacting_ = value; }

  // ------------------------------------------------------------ notifications
  virtual void DoVectorialChanged();
  virtual void DoBeforeVectorialChanged();
  bool ChangePending() const { return changePending_; }
  void FireObjectClick(int32_t handle);
  void FireObjectDblClick(int32_t handle);
  // Forgets the creation and grip in progress and ends an edit in place.
  void CancelInteraction();
  int32_t EditedObject() const { return edited_; }

  // ------------------------------------------------------------ seams
  // Object undo snapshots (pxvect_stream.cpp): the objects written as an
  // object stream into a new snapshot; the oldest go beyond ObjUndoLimit.
  virtual void SaveObjUndo();
  void SaveObjectsToStream(TStream& stream);
  void ClearObjUndo();
  int32_t ObjUndoCount() const { return static_cast<int32_t>(objUndo_.size()); }
  const TMemoryStream& ObjUndoSnapshot(int32_t i) const { return *objUndo_[static_cast<size_t>(i)]; }
  // In-place editing (pxvect_text.cpp): ends an edit (the object takes
  // the editor's text back), starts one, and places the editor over the
  // edited object.
  virtual void EndTextEdit();
  virtual void StartTextEdit(int32_t handle);
  virtual void PositionTextEditor();
  // The measure hint (the vector tools) is redrawn after a change of unit,
  // scale or resolution.
  virtual void RefreshMeasureHint();
  TPXEdit* TextEditor() const { return textEdit_; }
  TPXTextControl* MemoEditor() const { return memoEdit_; }

  // ------------------------------------------------------------ events
  TNotifyEvent OnSelectObject;
  TPXVMeasureHintEvent OnMeasureHint;
  TPXVDragLenEndEvent OnDragLenEnd;
  TPXVNewObject OnNewObject;
  TPXVObjectMoveResizeEvent OnObjectMoveResize;
  TPXVObjectClickEvent OnObjectClick;
  TPXVObjectClickEvent OnObjectDblClick;
  TPXVObjectClickEvent OnObjectOver;
  TNotifyEvent OnVectorialChanged;
  // Stored; nothing fires it (the before-change step fires OnVectorialChanged).
  TNotifyEvent OnBeforeVectorialChanged;
  TPXVTextKeyDownEvent OnTextKeyDown;

  // ------------------------------------------------------------ vector tools (pxvect_tools.cpp)
  // The tool set (kPXVT* bits): the first newly added tool bit becomes the
  // only one (bit 15 stays beside it).
  uint16_t MouseInteractVect() const { return vtools_; }
  void SetMouseInteractVect(uint16_t value);
  // A nonzero viewer mode keeps only the measuring tools and bit 15.
  void SetMouseInteract(TPXMouseInteractItems value) override;
  // Client coordinates; -1000000 takes the last position.
  void ShowMeasureHint(int32_t x, int32_t y);
  void HideMeasureHint();
  bool MeasureHintVisible() const { return hint_.Visible; }
  bool MeasureHintShown() const { return hint_.Shown; }
  const std::string& MeasureHintText() const { return hint_.Text; }
  double LastMeasure() const { return hint_.Last; }
  // The grip (1-9) of the selected objects under a client point; 0 none.
  int32_t GripAt(int32_t x, int32_t y);
  void ClickSelect(TShiftState shift, int32_t x, int32_t y, bool onPress);
  void ResizeObject(int32_t handle, int32_t grip, int32_t dx, int32_t dy, bool keepProportions);
  void MoveObject(int32_t handle, int32_t dx, int32_t dy);
  // The point or segment (index) of the one selected polyline under a
  // client point; -1 none.
  int32_t PolylinePointAt(int32_t x, int32_t y);
  int32_t PolylineSegmentAt(int32_t x, int32_t y);
  // Area and length of the viewer's selection polygon in the measure unit.
  double PolygonArea();
  double PolygonLength();
  // The box around an angle's vertex reaching its farther arm end.
  static TRect AngleBounds(const TPXVObject& angle);
  // The segment to the pointer counts while a polygon is drawn.
  bool LiveSegment = true;
  static constexpr int32_t GripSize = 4;

 protected:
  void DrawLayersToBackBuffer(TBitmap& buffer, const TRect& rect) override;
  void DoViewChange(int32_t change) override;
  // The press point of a drag follows an auto-scroll, as the viewer's own do.
  void ShiftSelection(int32_t dx, int32_t dy) override;

  // Memos are drawn through the text editor's layout (a memo of its own
  // when the object is not being edited).
  virtual void DrawMemo(TPXVObject& object, TBitmap& target, int32_t x1, int32_t y1, int32_t x2, int32_t y2, double d,
                        bool alphaPass);

  // The editors, created and owned (as components of this control) by the
  // text editor; nullptr until then.
  TPXEdit* textEdit_ = nullptr;
  TPXTextControl* memoEdit_ = nullptr;
  std::shared_ptr<TPXEdit> textEditOwned_;  // shared_ptr: freed here without the editors' definitions
  std::shared_ptr<TPXTextControl> memoEditOwned_;
  bool destroying_ = false;  // the destructor ends an edit without notifying
  void TextEditChanged();
  void TextEditKeyDown(int& key, TShiftState shift);
  void MemoEditKeyDown(int& key, TShiftState shift);
  int32_t edited_ = -1;  // the object edited in place
  // Tool state shared with the vector tools: creation kind in progress and
  // the grip in use.
  uint8_t creationKind_ = 0;
  int32_t grip_ = 0;

  // ------------------------------------------------------------ vector tools (pxvect_tools.cpp)
  void MouseDown(TMouseButton button, TShiftState shift, int x, int y) override;
  void MouseMove(TShiftState shift, int x, int y) override;
  void MouseUp(TMouseButton button, TShiftState shift, int x, int y) override;
  void KeyDown(int& key, TShiftState shift) override;
  void Resize() override;
  // Draws the rubber band and the hint box over the window.
  void PaintWindowOverlay() override;
  enum TRubber : uint8_t { rbNone, rbLine, rbRect, rbEllipse, rbPolyline };
  struct TToolDrag {
    bool Down = false;
    bool Double = false;                   // the press was a double click
    bool SelectedBefore = false;           // the clicked object was selected at the press
    bool DragLength = false;               // the line being made is only measured
    int32_t PressX = 0, PressY = 0;        // client, raw
    int32_t PressImgX = 0, PressImgY = 0;  // image
    int32_t CurX = 0, CurY = 0;            // client, clamped
    int32_t MoveX = 0, MoveY = 0;          // accumulated image units
    int32_t Building = -1;                 // polyline or angle being made
    int32_t PolyPoint = -1, PolySegment = -1;
  } tdrag_;
  struct TRubberBand {
    TRubber Kind = rbNone;
    std::vector<TPoint> Points;  // client; two corners, or a path
  } rubber_;
  struct TMeasureHint {
    bool Visible = false;  // the hint is in use
    bool Shown = false;    // drawn at Pos with Text by the overlay
    TPoint Pos{0, 0};
    double Last = 0.0;
    std::string Text;
  } hint_;
  uint16_t vtools_ = 0;
  uint8_t CreationKindFromTools() const;
  // Offset of a drag in image units (pointer from the press point), and its
  // change since the last move.
  void DragStep(int32_t x, int32_t y, int32_t& dx, int32_t& dy);
  // The press point in image units, moved onto the displayed picture when
  // it lay beside it: where a created object starts.
  TPXPoint PressOnPicture();
  void SetRubber(TRubber kind, std::vector<TPoint> points);

 private:
  struct TBitmapEntry {
    std::unique_ptr<TPXBitmap> Bitmap;  // nullptr: free entry
    int32_t RefCount = 0;
  };
  int32_t AllocBitmapEntry();
  void ReleaseBitmapEntry(int32_t index);
  // A new entry (count 1) holding a copy of the bitmap.
  int32_t NewBitmapEntry(TPXBitmap& bitmap);
  void FreeObjData(TPXVObject& object);
  // Resolves -2 to the last object; other handles pass.
  int32_t Resolve(int32_t handle) const;
  double EllipseDistance(const TPXVObject& o, int32_t x, int32_t y, bool filled);

  // Drawing helpers (pxvect_draw.cpp).
  int32_t ObjPenWidth(TPXVObject& object, double d);
  void DrawLineShape(TCanvas& c, uint8_t shape, int32_t x, int32_t y, int32_t ox, int32_t oy, int32_t width,
                     int32_t length, TRect& bounds);
  void DrawLabel(TPXVObject& o, TCanvas& c, double d, int32_t X1, int32_t Y1, int32_t X2, int32_t Y2, TRect& bounds);
  void DrawTextObject(TPXVObject& o, TBitmap& target, double d, int32_t X1, int32_t Y1, int32_t X2, int32_t Y2,
                      TRect& bounds);
  void DrawRuler(TPXVObject& o, TCanvas& c, double d, int32_t X1, int32_t Y1, int32_t X2, int32_t Y2, TRect& bounds);
  void DrawAngle(TPXVObject& o, TCanvas& c, double d, bool screen, int32_t factor, TRect& bounds);
  void DrawBitmapObject(TPXVObject& o, TBitmap& target, TPXBitmap* work, int32_t X1, int32_t Y1, int32_t X2, int32_t Y2,
                        TRect& bounds);
  void DrawPipeline(TPXBitmap& image, bool screen, int32_t factor, TBitmap& target);
  // A box (target pixels, corners inclusive) holding whatever the object draws.
  TRect ObjectExtent(TPXVObject& object, TCanvas& canvas, bool screen, int32_t factor);
  // A polyline's points in target coordinates, as drawing places them.
  void PolylineTargetPoints(const TPXVObject& o, bool screen, int32_t factor, std::vector<TPoint>& pts);
  // Its points on the client now (its point cache refreshed): none while
  // it is hidden or off the client.
  const std::vector<TPXPoint>& ShownPolylinePoints(TPXVObject& o);
  // Target corners of an object as drawn (pen-width adjusted).
  void TargetCorners(TPXVObject& object, bool screen, int32_t factor, double d, int32_t& X1, int32_t& Y1, int32_t& X2,
                     int32_t& Y2);

  std::vector<TPXVObject> objects_;
  std::vector<int32_t> order_;
  std::vector<int32_t> selection_;
  std::vector<TBitmapEntry> bitmaps_;
  std::vector<std::unique_ptr<TMemoryStream>> objUndo_;  // oldest first
  TPXVObject template_;
  // The pass's target as a bitmap for the renderer (attached once a pass,
  // with its row table kept), and the platform bitmap it wraps.
  std::unique_ptr<TPXBitmap> passTarget_;
  TBitmap* passTargetT_ = nullptr;
  TPXRenderTables passTables_;
  std::unique_ptr<TPXBitmap> work_;  // the pipeline's work bitmap
  // The alpha pass is painted here (8-bit grey, painted in place) and its
  // touched area copied into the work bitmap's alpha channel.
  std::unique_ptr<TBitmap> workAlpha_;
  // Work area (target pixels) that may differ from a cleared work bitmap.
  TRect workDirty_{};
  int32_t drawnCount_ = 0;

  TPXUnits mUnit_ = pxuPIXELS;
  double unitX_ = 1.0, unitY_ = 1.0;
  double measureScale_ = 1.0;
  int32_t floatDigits_ = 2, floatPrecision_ = 15;
  bool shareBitmaps_ = true;
  bool zoomObjectsWidth_ = true;
  TResampleFilter bitmapFilter_ = rfNone;
  bool objAntialias_ = false;
  int32_t objUndoLimit_ = 1;
  bool objAutoUndo_ = false;
  bool selectOnMouseDown_ = true;
  bool changePending_ = false;
  bool objectsHidden_ = false;
  bool alphaDrawing_ = false;
  bool interacting_ = false;
};

}  // namespace pixoran
