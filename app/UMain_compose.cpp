// The composition: the undo snapshot every edit writes first, going back to
// it, and applying a frame as one or two layers over the picture.
#include <QFile>
#include <QFileInfo>
#include <QPointer>

#include <algorithm>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <vector>

#include "app/UEffectForm.h"
#include "app/UMain.h"
#include "app/UMain_frames.h"
#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_helpers.h"
#include "core/pxmask.h"
#include "io/pixoranio.h"
#include "platform/controls.h"
#include "proc/pixoranproc.h"
#include "view/pixoranview.h"
#include "view/pxmview.h"

namespace tolvaren {

using namespace pixoran;

namespace {

// A frame that could not become its layer: the command fails (the guard
// shows this, and the picture goes back to its snapshot).
[[noreturn]] void RaiseFrameFailure(const std::string& frame, TPXIOResult why) {
  throw std::runtime_error(
      FileMessageText(QStringLiteral("无法应用相框："), frame, ResultCauseText(why)).toStdString());
}

// Storage refused or a temporary file not written since the counts were
// taken: the layers made meanwhile may be blank or half made.
void RaiseIfStorageFailed(const std::string& frame, int64_t failures, int64_t writeFailures) {
  if (PXStorageWriteFailures() != writeFailures) RaiseFrameFailure(frame, iorWriteFailed);
  if (PXStorageFailures() != failures) RaiseFrameFailure(frame, iorNoMemory);
}

// alpha(x, y) := red of pixel (x, y): white is opaque, black transparent.
void AlphaFromRed(TPXBitmap& bitmap, const std::function<void(int)>& progress) {
  TPXBitmap* alpha = bitmap.GetAlphaChannel();
  if (!alpha) return;
  const int32_t w = bitmap.Width(), h = bitmap.Height();
  std::vector<uint8_t> reds(static_cast<size_t>(w));
  bool opaque = true;
  for (int32_t y = 0; y < h; ++y) {
    // A temporary-file row is valid only until the next row of the same
    // bitmap: take the reds before touching the alpha rows.
    const uint8_t* row = bitmap.Scanline(y);
    if (!row) return;
    for (int32_t x = 0; x < w; ++x) reds[static_cast<size_t>(x)] = row[3 * static_cast<size_t>(x) + 2];
    uint8_t* a = alpha->Scanline(y);
    if (!a) return;
    for (int32_t x = 0; x < w; ++x) {
      a[x] = reds[static_cast<size_t>(x)];
      opaque = opaque && a[x] == 255;
    }
    progress(static_cast<int>((int64_t{y} + 1) * 100 / h));
  }
  alpha->Full = opaque;
  bitmap.Full = opaque;
}

}  // namespace

namespace {
bool IsEmptyLayer(const TPXLayer& layer) {
  return layer.GetWidth() <= 0 || layer.GetHeight() <= 0 || layer.Bitmap()->Width() <= 0 ||
         layer.Bitmap()->Height() <= 0;
}

// Every layer goes into one, not just the first two, so a frame of both
// families (three layers) is kept whole. An empty layer has nothing to
// merge and goes; a merge that fails (no memory or disk for its result)
// keeps every layer and answers false.
bool MergeAllLayers(TPixoranView& v) {
  while (v.GetLayersCount() > 1) {
    if (v.MergeLayers(0, 1)) continue;
    if (IsEmptyLayer(*v.GetLayer(1))) v.RemoveLayer(1);
    else if (IsEmptyLayer(*v.GetLayer(0))) v.RemoveLayer(0);
    else return false;
  }
  return true;
}

// The command stops before it changes anything; the message box says why.
void MergeAllLayersOrRaise(TPixoranView& v) {
  if (!MergeAllLayers(v)) throw std::runtime_error("无法合并图层：内存或磁盘空间不足，命令未执行。");
}
}  // namespace

void TfrmMain::FlattenComposition() {
  TPixoranView& v = *PixoranView_Main;
  MergeAllLayersOrRaise(v);
  v.SetMouseInteract(miResizeLayers);
  FlattenVectorObjects();
  v.RemoveAlphaChannel(true);
}

void TfrmMain::ComposeInto(TPixoranVect& scratch) {
  TPixoranVect& v = *PixoranView_Main;
  scratch.SetBackground(v.Background());
  scratch.SetLayersSameSize(false);
  scratch.SetEnableAlphaChannel(true);
  for (int32_t i = 0; i < v.GetLayersCount(); ++i) {
    if (i > 0) scratch.AddLayer();
    const TPXLayer* from = v.GetLayer(i);
    TPXLayer* to = scratch.GetLayer(i);
    to->Bitmap()->Assign(from->Bitmap());
    to->Width = from->Width;
    to->Height = from->Height;
    to->PosX = from->PosX;
    to->PosY = from->PosY;
    to->Visible = from->Visible;
    to->Opacity = from->Opacity;
    to->BlendMode = from->BlendMode;
  }
  v.CancelInteraction();  // an open edit gives its text to its object first
  v.CopyObjectsTo(scratch);
  MergeAllLayersOrRaise(scratch);
  scratch.UnselectAllObjects();
  if (scratch.ObjectsCount() > 0) scratch.CopyObjectsToBack(true);
  scratch.RemoveAlphaChannel(true);
}

bool TfrmMain::CopyComposedSelection(TBitmap& area) {
  TPixoranView& v = *PixoranView_Main;
  {
    // Ends a selection still being drawn, and tells whether there is one.
    TPXBitmap probe;
    if (!v.CopySelectionToPXBitmap(probe)) return false;
  }
  const TPXMask* mask = v.GetSelectionMask();
  const TPXLayer* layer = v.GetLayer(v.CurrentLayer());
  if (!mask || !layer) return false;
  const int64_t bw = layer->Bitmap()->Width(), bh = layer->Bitmap()->Height();
  const int64_t dw = layer->GetWidth(), dh = layer->GetHeight();
  if (bw <= 0 || bh <= 0 || dw <= 0 || dh <= 0) return false;
  const int64_t x1 = std::max<int64_t>(mask->X1, 0), y1 = std::max<int64_t>(mask->Y1, 0);
  const int64_t x2 = std::min<int64_t>(mask->X2, bw - 1), y2 = std::min<int64_t>(mask->Y2, bh - 1);
  if (x1 > x2 || y1 > y2) return false;

  TPixoranVect scratch;
  ComposeInto(scratch);
  TPXBitmap* composed = scratch.GetPXBitmap();
  if (composed->PixelFormat() != pxBGR24) composed->ConvertPixelFormat(pxBGR24);
  // The selection is in the selected layer's pixels; the composition in
  // image coordinates from the merged layer's corner.
  const int64_t originX = scratch.GetLayer(0)->PosX, originY = scratch.GetLayer(0)->PosY;
  const int64_t left = std::max<int64_t>(layer->PosX + x1 * dw / bw - originX, 0);
  const int64_t top = std::max<int64_t>(layer->PosY + y1 * dh / bh - originY, 0);
  const int64_t right = std::min<int64_t>(layer->PosX + ((x2 + 1) * dw + bw - 1) / bw - originX, composed->Width());
  const int64_t bottom = std::min<int64_t>(layer->PosY + ((y2 + 1) * dh + bh - 1) / bh - originY, composed->Height());
  if (right <= left || bottom <= top) return false;

  const TBGR bg = ColorToBGR(v.Background());
  area.SetPixelFormat(pf24bit);
  area.SetSize(static_cast<int>(right - left), static_cast<int>(bottom - top));
  if (area.Empty()) return false;
  for (int64_t y = top; y < bottom; ++y) {
    const uint8_t* s = composed->Scanline(static_cast<int32_t>(y));
    uint8_t* d = area.ScanLine(static_cast<int>(y - top));
    if (!s || !d) return false;
    const int64_t my = std::clamp<int64_t>((y + originY - layer->PosY) * bh / dh, 0, bh - 1);
    for (int64_t x = left; x < right; ++x, d += 3) {
      const int64_t mx = std::clamp<int64_t>((x + originX - layer->PosX) * bw / dw, 0, bw - 1);
      if (mask->IsPointInside(static_cast<int32_t>(mx), static_cast<int32_t>(my))) {
        std::memcpy(d, s + 3 * x, 3);
      } else {
        d[0] = bg.b;
        d[1] = bg.g;
        d[2] = bg.r;
      }
    }
  }
  return true;
}

void TfrmMain::SaveUndoSnapshot() {
  FlattenComposition();
  // A command still open (a prompt) is taken as confirmed by the next one.
  ConfirmSnapshot();
  // The previous snapshot is kept aside until the command is confirmed, so
  // a cancelled dialog gives the one undo step back.
  const QString snapshot = QString::fromStdString(SnapshotFileName());
  const QString kept = QString::fromStdString(KeptSnapshotFileName());
  QFile::remove(kept);
  hadKeptSnapshot_ = QFileInfo::exists(snapshot) && QFile::rename(snapshot, kept);
  // Gone before the write, so a failed write never leaves a snapshot that
  // does not belong to this command.
  QFile::remove(snapshot);
  snapshotPending_ = true;
  ++snapshotId_;
  {
    TStatusScope status(*this, QStringLiteral("正在保存撤销快照..."));
    snapshotTaken_ = SaveThrough(*snapshotIO_, SnapshotFileName());
  }
  // An edit that could not be taken back is refused before it starts (the
  // flattened picture looks as it did). Without a picture there is nothing
  // to keep: the command says so itself.
  if (!snapshotTaken_ && PixoranView_Main->GetPXBitmap()->Width() > 0) {
    const TPXIOResult why = snapshotIO_->LastResult();
    RestoreKeptSnapshot();
    throw std::runtime_error(SaveFailedMessage(SnapshotFileName(), why));
  }
}

std::string TfrmMain::KeptSnapshotFileName() const { return workFolder_ + ".tempfile-kept.png"; }

void TfrmMain::ConfirmSnapshot() {
  if (!snapshotPending_) return;
  snapshotPending_ = false;
  QFile::remove(QString::fromStdString(KeptSnapshotFileName()));
}

void TfrmMain::RestoreKeptSnapshot() {
  if (!snapshotPending_) return;
  snapshotPending_ = false;
  const QString snapshot = QString::fromStdString(SnapshotFileName());
  QFile::remove(snapshot);
  if (hadKeptSnapshot_) QFile::rename(QString::fromStdString(KeptSnapshotFileName()), snapshot);
}

bool TfrmMain::Confirmed(QDialog& dialog) {
  if (ShowModal(dialog) == mrOk) return true;
  RestoreKeptSnapshot();
  return false;
}

std::function<void(bool)> TfrmMain::SnapshotEnder() {
  snapshotHandedOff_ = true;
  const uint64_t id = snapshotId_;
  QPointer<TfrmMain> self(this);
  return [self, id](bool confirmed) {
    if (!self || id != self->snapshotId_) return;  // a later command owns the snapshot now
    if (confirmed) self->ConfirmSnapshot();
    else self->RestoreKeptSnapshot();
  };
}

void TfrmMain::acGoBackExecute() {
  const std::string snapshot = SnapshotFileName();
  EmptyMainView();
  // Without a snapshot nothing is loaded: the viewer stays empty, and
  // neither applying nor saving takes the empty viewer for a picture.
  bool loaded = false;
  if (QFileInfo::exists(QString::fromStdString(snapshot))) {
    TStatusScope status(*this, QStringLiteral("正在撤销..."));
    loaded = LoadThrough(*snapshotIO_, snapshot);
  }
  if (!loaded) {
    PixoranView_Main->GetIO()->Params().FileName.clear();
    saveName_.clear();
  }
}

void TfrmMain::acApplyExecute() {
  TPixoranView& v = *PixoranView_Main;
  if (v.GetIO()->Params().FileName.empty()) {
    ShowMessage(this, QStringLiteral("请先选择图片"));
    return;
  }
  TBusyCursor busy;
  SaveUndoSnapshot();
  const int32_t selected = PixoranMViewMain->SelectedImage();
  const std::string frame = selected >= 0 ? PixoranMViewMain->GetImageFileName(selected) : std::string();
  const TPXLayer* picture = v.GetLayer(v.CurrentLayer());
  const int32_t width = picture->GetWidth(), height = picture->GetHeight();
  const int32_t posX = picture->PosX, posY = picture->PosY;

  const TFrameFamilies families = ClassifyFrame(frame);
  const int64_t failures = PXStorageFailures(), writeFailures = PXStorageWriteFailures();
  bool added = false;
  if (families.AlphaFromRed) added = AddAlphaFromRedLayer(frame, families.Inverted) || added;
  if (families.KeyColour) added = AddKeyColourLayer(frame) || added;
  // A step that ran out of memory or disk without saying so (a layer's
  // storage, its alpha channel) must not pass for a frame applied.
  RaiseIfStorageFailed(frame, failures, writeFailures);
  if (!added) return;
  // The frame covers exactly the picture's rectangle, whatever its own size.
  TPXLayer* top = v.GetLayer(v.CurrentLayer());
  top->Width = width;
  top->Height = height;
  top->PosX = posX;
  top->PosY = posY;
  v.Update();
  v.Invalidate();
}

bool TfrmMain::AddAlphaFromRedLayer(const std::string& frame, bool inverted) {
  TPixoranView& v = *PixoranView_Main;
  // No owner, no parent window, never shown: only its components are used.
  TPixoranView temp;
  temp.SetOnProgress([this](TObject*, int percent) { ReportProgress(percent); });
  // A damaged frame adds nothing, as before; one that could not be read for
  // want of memory or disk fails the command.
  if (!LoadThrough(*temp.GetIO(), frame)) {
    const TPXIOResult why = temp.GetIO()->LastResult();
    if (why == iorNoMemory || why == iorWriteFailed) RaiseFrameFailure(frame, why);
    return false;
  }
  TPXBitmap* pixels = temp.GetPXBitmap();
  if (pixels->Width() < 1 || pixels->Height() < 1) return false;
  // The negative and the reds are taken from 24-bit pixels, whatever the
  // file held (a grey or palette frame included).
  if (pixels->PixelFormat() != pxBGR24) pixels->ConvertPixelFormat(pxBGR24);
  TPixoranProc* proc = temp.GetProc();
  proc->SetAutoUndo(false);
  if (inverted) proc->Negative();
  if (proc->Aborting()) RaiseFrameFailure(frame, iorNoMemory);
  TPXBitmap* image = v.GetPXBitmap();
  proc->Resample(image->Width(), image->Height(), rfFastLinear);
  if (proc->Aborting()) RaiseFrameFailure(frame, iorNoMemory);

  v.AddLayer();
  TPXBitmap* layer = v.GetPXBitmap();
  layer->Assign(temp.GetPXBitmap());
  AlphaFromRed(*layer, [this](int percent) { ReportProgress(percent); });
  v.Update();
  return true;
}

bool TfrmMain::AddKeyColourLayer(const std::string& frame) {
  TPixoranView& v = *PixoranView_Main;
  // The frame as the preview loaded it, not resampled.
  if (previewFile_ != frame) LoadPreview(frame);
  if (previewFile_ != frame) return false;
  TPXBitmap* shown = PixoranViewPreView->GetPXBitmap();
  if (shown->Width() < 1 || shown->Height() < 1) return false;
  v.AddLayer();
  TPXBitmap* layer = v.GetPXBitmap();
  layer->Assign(shown);
  if (layer->PixelFormat() != pxBGR24) layer->ConvertPixelFormat(pxBGR24);
  v.Update();
  const TBGR key{kFrameKeyBlue, kFrameKeyGreen, kFrameKeyRed};
  v.GetProc()->SetTransparentColors(key, key, 0);
  if (v.GetProc()->Aborting()) RaiseFrameFailure(frame, iorNoMemory);
  return true;
}

}  // namespace tolvaren
