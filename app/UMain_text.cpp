// The main window's part in added texts: the add-text window, and the
// snapshot that draws the texts into the picture once.
#include "app/UMain.h"
#include "app/utext.h"
#include "view/pxvect.h"

namespace tolvaren {

using namespace pixoran;

void TfrmMain::FlattenVectorObjects() {
  TPixoranVect& v = *PixoranView_Main;
  v.CancelInteraction();  // an open edit gives its text to its object first
  v.UnselectAllObjects();
  if (v.ObjectsCount() == 0) return;
  v.CopyObjectsToBack(true);
  // Drawn in now: kept, they would be drawn in again by the next edit.
  v.Clear();
}

void TfrmMain::StartAddText() {
  TfrmAddText* form = ShowAddTextWindow(*PixoranView_Main, this);
  // "取消输入" with no text placed takes the command back; texts placed stay
  // and are the edit the snapshot undoes.
  form->OnEnd = [ender = SnapshotEnder(), view = PixoranView_Main.get()](bool done) {
    ender(done || view->ObjectsCount() > 0);
  };
}

}  // namespace tolvaren
