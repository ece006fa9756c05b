#pragma once
// The soft-shadow dialog: radius, two offsets and the shadow colour.
#include "app/UEffectForm.h"

class QComboBox;
class QLabel;
class QLineEdit;
class QSlider;

namespace tolvaren {

class TfrmShadow : public TEffectForm {
  Q_OBJECT
 public:
  explicit TfrmShadow(TPixoranView* mainView, QWidget* parent = nullptr);
  QSlider* TrackBar1 = nullptr;  // radius
  QSlider* TrackBar2 = nullptr;  // horizontal offset
  QSlider* TrackBar3 = nullptr;  // vertical offset
  QLabel* Shape1 = nullptr;      // the colour swatch
  // The swatch's colour (framework colour, red in the low byte).
  pixoran::TColor ShapeColor() const { return shapeColor_; }
  void SetShapeColor(pixoran::TColor color);
  // Picks the colour with the colour dialog.
  void Button4Click();

  // The preview handler.
  void Button1Click();

 protected:
  void RunPreview() override { Button1Click(); }

 private:
  pixoran::TColor shapeColor_ = pixoran::clBlack;
};

}  // namespace tolvaren
