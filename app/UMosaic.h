#pragma once
// The mosaic dialog: the block size.
#include "app/UEffectForm.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;

namespace tolvaren {

class TfrmMosaic : public TEffectForm {
  Q_OBJECT
 public:
  explicit TfrmMosaic(TPixoranView* mainView, QWidget* parent = nullptr);
  QSlider* TrackBar1 = nullptr;

  // The preview handler.
  void Button1Click();

 protected:
  void RunPreview() override { Button1Click(); }
};

}  // namespace tolvaren
