#pragma once
// The twist dialog: the strength, 0 to 100 (amount 201 - 2 x strength).
#include "app/UEffectForm.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;

namespace tolvaren {

class TfrmTwist : public TEffectForm {
  Q_OBJECT
 public:
  explicit TfrmTwist(TPixoranView* mainView, QWidget* parent = nullptr);
  QSlider* TrackBar1 = nullptr;

  // The preview handler.
  void Button1Click();

 protected:
  void RunPreview() override { Button1Click(); }
};

}  // namespace tolvaren
