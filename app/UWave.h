#pragma once
// The wave dialog: amplitude, wave length and phase.
#include "app/UEffectForm.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;

namespace tolvaren {

class TfrmWave : public TEffectForm {
  Q_OBJECT
 public:
  explicit TfrmWave(TPixoranView* mainView, QWidget* parent = nullptr);
  QSlider* TrackBar1 = nullptr;  // amplitude
  QSlider* TrackBar2 = nullptr;  // wave length
  QSlider* TrackBar3 = nullptr;  // phase

  // The preview handler.
  void Button3Click();

 protected:
  void RunPreview() override { Button3Click(); }
};

}  // namespace tolvaren
