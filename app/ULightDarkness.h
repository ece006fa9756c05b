#pragma once
// The light and dark dialog: the preview follows the track bar at once.
#include "app/UEffectForm.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;

namespace tolvaren {

class TfrmLightDarkness : public TEffectForm {
  Q_OBJECT
 public:
  explicit TfrmLightDarkness(TPixoranView* mainView, QWidget* parent = nullptr);
  QSlider* TrackBar1 = nullptr;
  // Darkens (position below 1) or lightens the copy by twice the position.
  void TrackBar1Change();
};

}  // namespace tolvaren
