#pragma once
// The round-corner dialog: the corners' width and height.
#include "app/UEffectForm.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;

namespace tolvaren {

class TfrmRoundConer : public TEffectForm {
  Q_OBJECT
 public:
  explicit TfrmRoundConer(TPixoranView* mainView, QWidget* parent = nullptr);
  QLineEdit* Edit1 = nullptr;
  QLineEdit* Edit2 = nullptr;

  // The preview handler.
  void Button1Click();

 protected:
  void RunPreview() override { Button1Click(); }
};

}  // namespace tolvaren
