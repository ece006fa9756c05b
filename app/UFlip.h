#pragma once
// The flip dialog: no flip, top-bottom or left-right, shown as soon as chosen.
#include "app/UEffectForm.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;

namespace tolvaren {

class TfrmFlip : public TEffectForm {
  Q_OBJECT
 public:
  explicit TfrmFlip(TPixoranView* mainView, QWidget* parent = nullptr);
  QComboBox* ComboBox1 = nullptr;
  void ComboBox1Change();
};

}  // namespace tolvaren
