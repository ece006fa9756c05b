// The composition: the undo snapshot every edit writes first, going back to
// it, and applying a frame as one or two layers over the picture.
#include <QFile>
#include <QFileInfo>

#include <stdexcept>
#include <vector>

#include "app/UEffectForm.h"
#include "app/UMain.h"
#include "app/UMain_frames.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio.h"
#include "platform/controls.h"
#include "proc/pixoranproc.h"
#include "view/pixoranview.h"
#include "view/pxmview.h"

namespace tolvaren {

using namespace pixoran;

namespace {

// alpha(x, y) := red of pixel (x, y): white is opaque, black transparent.
void AlphaFromRed(TPXBitmap& bitmap) {
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
  }
  alpha->Full = opaque;
  bitmap.Full = opaque;
}

}  // namespace

void TfrmMain::FlattenComposition() {
  TPixoranView& v = *PixoranView_Main;
  // Every layer goes into one, not just the first two, so a frame of both
  // families (three layers) is kept whole.
  while (v.GetLayersCount() > 1) {
    const int32_t before = v.GetLayersCount();
    v.MergeLayers(0, 1);
    if (v.GetLayersCount() >= before) v.RemoveLayer(1);  // an empty layer cannot be merged
  }
  v.SetMouseInteract(miResizeLayers);
  FlattenVectorObjects();
  v.RemoveAlphaChannel(true);
}

void TfrmMain::SaveUndoSnapshot() {
  FlattenComposition();
  // Deleted first, so a failed write never leaves an older snapshot behind
  // for going back to load.
  DeleteSnapshot();
  snapshotTaken_ = SaveThrough(*snapshotIO_, SnapshotFileName());
  // An edit that could not be taken back is refused before it starts (the
  // flattened picture looks as it did). Without a picture there is nothing
  // to keep: the command says so itself.
  if (!snapshotTaken_ && PixoranView_Main->GetPXBitmap()->Width() > 0)
    throw std::runtime_error(SaveFailedMessage(SnapshotFileName()));
}

void TfrmMain::acGoBackExecute() {
  const std::string snapshot = SnapshotFileName();
  // Without a snapshot there is nothing to go back to: the picture stays.
  if (!QFileInfo::exists(QString::fromStdString(snapshot))) return;
  EmptyMainView();
  LoadThrough(*snapshotIO_, snapshot);
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
  bool added = false;
  if (families.AlphaFromRed) added = AddAlphaFromRedLayer(frame, families.Inverted) || added;
  if (families.KeyColour) added = AddKeyColourLayer(frame) || added;
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
  if (!LoadThrough(*temp.GetIO(), frame)) return false;
  TPXBitmap* pixels = temp.GetPXBitmap();
  if (pixels->Width() < 1 || pixels->Height() < 1) return false;
  // The negative and the reds are taken from 24-bit pixels, whatever the
  // file held (a grey or palette frame included).
  if (pixels->PixelFormat() != pxBGR24) pixels->ConvertPixelFormat(pxBGR24);
  TPixoranProc* proc = temp.GetProc();
  proc->SetAutoUndo(false);
  if (inverted) proc->Negative();
  TPXBitmap* image = v.GetPXBitmap();
  proc->Resample(image->Width(), image->Height(), rfFastLinear);

  v.AddLayer();
  TPXBitmap* layer = v.GetPXBitmap();
  layer->Assign(temp.GetPXBitmap());
  AlphaFromRed(*layer);
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
  return true;
}

}  // namespace tolvaren
