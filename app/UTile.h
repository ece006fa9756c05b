#pragma once
// The tile dialog: the number of tiles per side.
#include "app/UEffectForm.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;

namespace tolvaren {

class TfrmTile : public TEffectForm {
  Q_OBJECT
 public:
  explicit TfrmTile(TPixoranView* mainView, QWidget* parent = nullptr);
  QSlider* TrackBar1 = nullptr;

  // The preview handler.
  void Button1Click();

 protected:
  void RunPreview() override { Button1Click(); }
};

}  // namespace tolvaren
