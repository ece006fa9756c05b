#pragma once
// The lens dialog: the lens rectangle and its refraction.
#include "app/UEffectForm.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;

namespace tolvaren {

class TfrmLens : public TEffectForm {
  Q_OBJECT
 public:
  explicit TfrmLens(TPixoranView* mainView, QWidget* parent = nullptr);
  QLineEdit* Edit1 = nullptr;  // left
  QLineEdit* Edit2 = nullptr;  // top
  QLineEdit* Edit3 = nullptr;  // width
  QLineEdit* Edit4 = nullptr;  // height
  QSlider* TrackBar1 = nullptr;

  // The preview handler.
  void Button1Click();

 protected:
  void RunPreview() override { Button1Click(); }
};

}  // namespace tolvaren
