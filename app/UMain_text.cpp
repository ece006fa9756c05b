// The main window's part in added texts: the snapshot draws them into the
// picture once.
#include "app/UMain.h"
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

}  // namespace tolvaren
