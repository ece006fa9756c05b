// What the main window's commands do: saving and printing, the view, the
// edits and the effects through their dialogs, and the web page.
#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QFileInfo>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPrinter>
#include <QScreen>
#include <QSlider>

#include <cmath>

#include "app/ProEffectImage.h"
#include "app/UBlur.h"
#include "app/UCropInfo.h"
#include "app/UEffectForm.h"
#include "app/UFlip.h"
#include "app/ULens.h"
#include "app/ULightDarkness.h"
#include "app/UMain.h"
#include "app/UMosaic.h"
#include "app/UPrintInfo.h"
#include "app/URotate.h"
#include "app/URoundConer.h"
#include "app/UShadow.h"
#include "app/UTile.h"
#include "app/UTwist.h"
#include "app/UWave.h"
#include "app/Uresize.h"
#include "core/kopxutils_bitmap.h"
#include "io/pixoranio.h"
#include "platform/printer.h"
#include "proc/pixoranproc.h"
#include "view/pixoranview.h"

namespace tolvaren {

using namespace pixoran;

namespace {

void SelectRect(TPixoranView& view, int32_t left, int32_t top, int32_t right, int32_t bottom) {
  view.Select(left, top, right, bottom, 0);
}
void DeselectAll(TPixoranView& view) { view.Deselect(); }

int RoundHalfEvenInt(double v) { return static_cast<int>(std::nearbyint(v)); }

int ScreenWidth() {
  const QScreen* screen = QGuiApplication::primaryScreen();
  return screen ? screen->geometry().width() : 1024;
}

// The largest side a bitmap is made with (65535 x 65535 pixels already go
// to a temporary file of about 12.9 GB).
constexpr int64_t kMaxResizeSide = 65535;

// The side the resampler makes of a typed one: 0 keeps the side, -1 follows
// the other side's proportion, other negatives count as their size.
int64_t ResultSide(int64_t typed, int64_t keep) { return typed == 0 ? keep : std::abs(typed); }

}  // namespace

// ---------------------------------------------------------------- saving and printing

void TfrmMain::acSaveFileExecute() {
  FlattenComposition();
  TPixoranIO& io = *PixoranView_Main->GetIO();
  std::string name;
  io.ExecuteSaveDialog("", "", "", name, 3, false);
  if (name.empty()) return;
  SaveOrRaise(io, name);
  saveName_ = name;
}

void TfrmMain::acSaveAsExecute() {
  FlattenComposition();
  TPixoranIO& io = *PixoranView_Main->GetIO();
  // The file last loaded or saved by the viewer's own component: the
  // working file until the user saves elsewhere (the snapshot has its own).
  // Nothing loaded (an undo without snapshot empties the viewer): nothing to
  // write over the file.
  if (io.Params().FileName.empty() || saveName_.empty()) return;
  SaveOrRaise(io, saveName_);
}

void TfrmMain::acPrintExecute() {
  FlattenComposition();
  ReportPdfPrint(PixoranView_Main->GetIO()->DoPrintPreviewDialog(0, ""));
}

void TfrmMain::ReportPdfPrint(int32_t printed) {
  TPrinter& printer = Printer();
  if (printed < 0) {
    // The form closed as not printed: its printer or file could not be opened.
    if (printer.OutputsToPdf())
      ShowFileMessage(this, QStringLiteral("打印失败，无法写入PDF文件："), printer.OutputFileName());
    else
      ShowFileMessage(this, QStringLiteral("打印失败，无法打开打印机："),
                      printer.QtPrinter().printerName().toStdString());
    return;
  }
  if (printed != 1 || !printer.OutputsToPdf()) return;
  const std::string file = printer.OutputFileName();
  if (file.empty() || !QFileInfo::exists(QString::fromStdString(file))) return;
  ShowFileMessage(this, QStringLiteral("已打印到PDF文件："), file);
}

void TfrmMain::PreselectCentre() {
  TPixoranView& v = *PixoranView_Main;
  TPXBitmap* picture = v.GetPXBitmap();
  const int32_t w = picture->Width(), h = picture->Height();
  // The centred half-size rectangle of the picture at every zoom: both
  // corners go through the viewer's scale (its extents added to client
  // coordinates unscaled would fit only at zoom 100).
  const int32_t x1 = RoundHalfEvenInt(w / 4.0), y1 = RoundHalfEvenInt(h / 4.0);
  const int32_t x2 = x1 + RoundHalfEvenInt(w / 2.0), y2 = y1 + RoundHalfEvenInt(h / 2.0);
  v.SetMouseInteract(miSelect);
  SelectRect(v, v.BitmapToScreenX(x1), v.BitmapToScreenY(y1), v.BitmapToScreenX(x2), v.BitmapToScreenY(y2));
}

void TfrmMain::ShowPrompt(QDialog* prompt, int left, int top) {
  prompt->move(left, top);
  prompt->show();
}

void TfrmMain::acPrintAreaExecute() {
  // The area is chosen on the picture, not on a frame layer over it (a
  // key-colour frame keeps its own pixel size); it is printed from the
  // composition of every layer and text.
  PixoranView_Main->SetCurrentLayer(0);
  PreselectCentre();
  auto* prompt = new TfrmPrintInfo(PixoranView_Main.get(), this);
  prompt->Deselect = [this] { DeselectAll(*PixoranView_Main); };
  prompt->PrintSelection = [this](TPixoranView&) {
    TBitmap area;
    if (!CopyComposedSelection(area)) return;
    TPixoranIO io;
    io.SetAttachedBitmap(&area);
    ReportPdfPrint(io.DoPrintPreviewDialog(0, ""));
  };
  ShowPrompt(prompt, ScreenWidth() - prompt->width() - 30, 100);
}

void TfrmMain::acExitExecute() {
  close();
  QCoreApplication::quit();
}

// ---------------------------------------------------------------- view

void TfrmMain::acFullImageExecute() {
  TPixoranView& v = *PixoranView_Main;
  v.SetAutoFit(false);
  v.SetZoom(100);
  acFitImage->setChecked(false);
  acFullImage->setChecked(true);
  v.Update();
  v.Invalidate();
}

void TfrmMain::acFitImageExecute() {
  TPixoranView& v = *PixoranView_Main;
  v.SetAutoFit(true);
  v.ZoomToFit();
  acFitImage->setChecked(true);
  acFullImage->setChecked(false);
  v.Update();
  v.Invalidate();
}

// ---------------------------------------------------------------- edits

void TfrmMain::acCropExecute() {
  SaveUndoSnapshot();
  PreselectCentre();
  auto* prompt = new TfrmCrop(PixoranView_Main.get(), PixoranView_Main->GetProc(), this);
  prompt->Deselect = [this] { DeselectAll(*PixoranView_Main); };
  prompt->OnEnd = SnapshotEnder();
  ShowPrompt(prompt, ScreenWidth() - 200, 100);
}

void TfrmMain::acResizeExecute() {
  SaveUndoSnapshot();
  TPixoranView& v = *PixoranView_Main;
  if (v.GetPXBitmap()->Width() <= 0 || v.GetIO()->Params().FileName.empty()) {
    RestoreKeptSnapshot();
    ShowMessage(this, QStringLiteral("请选打开需要处理的图片"));
    return;
  }
  TfrmResize dialog(&v, this);
  if (!Confirmed(dialog)) return;
  if (dialog.Edit1->text().isEmpty()) {
    RestoreKeptSnapshot();
    return;
  }
  const int width = StrToInt(dialog.Edit1->text());
  const int height = StrToInt(dialog.Edit2->text());
  const int64_t w = v.GetPXBitmap()->Width(), h = v.GetPXBitmap()->Height();
  int64_t newW = ResultSide(width, w), newH = ResultSide(height, h);
  if (width == -1) newW = newH * w / std::max<int64_t>(h, 1);
  if (height == -1 && width != -1) newH = newW * h / std::max<int64_t>(w, 1);
  if (newW > kMaxResizeSide || newH > kMaxResizeSide) {
    RestoreKeptSnapshot();
    ShowMessage(this, QStringLiteral("图片太大：宽和高最多为%1像素").arg(kMaxResizeSide));
    return;
  }
  v.GetProc()->Resample(width, height, rfLinear);
}

void TfrmMain::acRemoveRedEyeExecute() {
  SaveUndoSnapshot();
  PixoranView_Main->GetProc()->RemoveRedEyes();
  ShowMessage(this, QStringLiteral("去红眼完成"));
}

void TfrmMain::acLightDarknessExecute() {
  SaveUndoSnapshot();
  TPixoranView& v = *PixoranView_Main;
  TfrmLightDarkness dialog(&v, this);
  dialog.TrackBar1->setValue(5);
  // The dialog opens on the unchanged picture until the bar moves.
  dialog.CopyPicture();
  if (!Confirmed(dialog)) return;
  TBitmap picture;
  CopyPictureTo24(v, picture);
  const int p = dialog.TrackBar1->value();
  if (p < 1) BitmapDarken(picture, -2 * p);
  else BitmapLighten(picture, 2 * p);
  ShowBitmapIn(v, picture);
}

void TfrmMain::acAddTextExecute() {
  SaveUndoSnapshot();
  StartAddText();
}

// ---------------------------------------------------------------- effects

void TfrmMain::acRotateExecute() {
  SaveUndoSnapshot();
  TfrmRotate dialog(PixoranView_Main.get(), this);
  dialog.CopyPicture();
  if (!Confirmed(dialog)) return;
  PixoranView_Main->GetProc()->Rotate(dialog.TrackBar1->value(), false, 0, static_cast<TColor>(-1));
}

void TfrmMain::acFlipExecute() {
  SaveUndoSnapshot();
  TfrmFlip dialog(PixoranView_Main.get(), this);
  dialog.CopyPicture();
  if (!Confirmed(dialog)) return;
  const int item = dialog.ComboBox1->currentIndex();
  if (item == 1) PixoranView_Main->GetProc()->Flip(1);
  if (item == 2) PixoranView_Main->GetProc()->Flip(0);
}

void TfrmMain::acGrayExecute() {
  SaveUndoSnapshot();
  PixoranView_Main->GetProc()->ConvertToGray();
}

void TfrmMain::acWaveExecute() {
  SaveUndoSnapshot();
  TfrmWave dialog(PixoranView_Main.get(), this);
  dialog.CopyPicture();
  if (!Confirmed(dialog)) return;
  PixoranView_Main->GetProc()->Wave(dialog.TrackBar1->value(), dialog.TrackBar2->value(), dialog.TrackBar3->value(),
                                    false);
}

void TfrmMain::acShadowExecute() {
  SaveUndoSnapshot();
  TfrmShadow dialog(PixoranView_Main.get(), this);
  dialog.PixoranView1()->SetEnableAlphaChannel(true);
  dialog.CopyPicture();
  if (!Confirmed(dialog)) return;
  PixoranView_Main->GetProc()->AddSoftShadow(dialog.TrackBar1->value(), dialog.TrackBar2->value(),
                                             dialog.TrackBar3->value(), true, dialog.ShapeColor());
}

void TfrmMain::acBlurExecute() {
  SaveUndoSnapshot();
  TfrmBlur dialog(PixoranView_Main.get(), this);
  dialog.CopyPicture();
  if (!Confirmed(dialog)) return;
  PixoranView_Main->GetProc()->Blur(dialog.TrackBar1->value());
}

void TfrmMain::acLensExecute() {
  SaveUndoSnapshot();
  TPixoranView& v = *PixoranView_Main;
  TfrmLens dialog(&v, this);
  TPXBitmap* picture = v.GetPXBitmap();
  dialog.Edit1->setText(QStringLiteral("0"));
  dialog.Edit2->setText(QStringLiteral("0"));
  dialog.Edit3->setText(QString::number(2 * static_cast<int64_t>(picture->Width())));
  dialog.Edit4->setText(QString::number(2 * static_cast<int64_t>(picture->Height())));
  dialog.CopyPicture();
  if (!Confirmed(dialog)) return;
  const int x = StrToInt(dialog.Edit1->text()), y = StrToInt(dialog.Edit2->text());
  const int w = StrToInt(dialog.Edit3->text()), h = StrToInt(dialog.Edit4->text());
  v.GetProc()->Lens(x, y, w, h, dialog.TrackBar1->value());
}

void TfrmMain::acRoundConerExecute() {
  SaveUndoSnapshot();
  TfrmRoundConer dialog(PixoranView_Main.get(), this);
  dialog.PixoranView1()->SetEnableAlphaChannel(true);
  dialog.Edit1->setText(QStringLiteral("20"));
  dialog.Edit2->setText(QStringLiteral("20"));
  dialog.CopyPicture();
  if (!Confirmed(dialog)) return;
  const int rw = StrToInt(dialog.Edit1->text()), rh = StrToInt(dialog.Edit2->text());
  PixoranView_Main->GetProc()->RoundImage(rw, rh);
}

void TfrmMain::acTileExecute() {
  SaveUndoSnapshot();
  TPixoranView& v = *PixoranView_Main;
  TfrmTile dialog(&v, this);
  dialog.TrackBar1->setValue(2);
  dialog.CopyPicture();
  if (!Confirmed(dialog)) return;
  TBitmap a, b;
  CopyPictureTo24(v, a);
  b.Assign(a);
  BitmapTile(a, b, dialog.TrackBar1->value());
  ShowBitmapIn(v, b);
}

void TfrmMain::acMosacExecute() {
  SaveUndoSnapshot();
  TPixoranView& v = *PixoranView_Main;
  TfrmMosaic dialog(&v, this);
  dialog.TrackBar1->setValue(5);
  dialog.CopyPicture();
  if (!Confirmed(dialog)) return;
  TBitmap picture;
  CopyPictureTo24(v, picture);
  BitmapMosaic(picture, dialog.TrackBar1->value());
  ShowBitmapIn(v, picture);
}

void TfrmMain::acTwistExecute() {
  SaveUndoSnapshot();
  TPixoranView& v = *PixoranView_Main;
  TfrmTwist dialog(&v, this);
  dialog.TrackBar1->setValue(20);
  dialog.CopyPicture();
  if (!Confirmed(dialog)) return;
  TBusyCursor busy;
  TBitmap a, b;
  CopyPictureTo24(v, a);
  b.Assign(a);
  BitmapTwist(a, b, 201 - 2 * dialog.TrackBar1->value());
  ShowBitmapIn(v, b);
}

void TfrmMain::acEdgeDelectExecute() {
  SaveUndoSnapshot();
  PixoranView_Main->GetProc()->EdgeDetect(7, 0, 0.99, 0.9, true);
}

void TfrmMain::acWebSiteExecute() { OpenWebPage(QString::fromUtf8(kWebSiteAddress)); }

}  // namespace tolvaren
