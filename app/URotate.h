#pragma once
// The rotate dialog: an angle from -360 to 360 degrees, previewed on demand.
#include "app/UEffectForm.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;

namespace tolvaren {

class TfrmRotate : public TEffectForm {
  Q_OBJECT
 public:
  explicit TfrmRotate(TPixoranView* mainView, QWidget* parent = nullptr);
  QSlider* TrackBar1 = nullptr;
  QLabel* LabelValue = nullptr;
  // The preview: the copy turned by the track bar's angle.
  void Button2Click();
  // Only the angle label follows the track bar.
  void TrackBar1Change();

 protected:
  void RunPreview() override { Button2Click(); }
};

}  // namespace tolvaren
