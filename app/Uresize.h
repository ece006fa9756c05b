#pragma once
// The resize dialog: the picture's size, and the new width and height with
// the aspect kept as the user types.
#include <QString>

#include "app/UEffectForm.h"

class QLabel;
class QLineEdit;

namespace tolvaren {

class TfrmResize : public TEffectForm {
  Q_OBJECT
 public:
  // The labels show the main picture's width and height.
  explicit TfrmResize(TPixoranView* mainView, QWidget* parent = nullptr);

  QLabel* LabelW = nullptr;
  QLabel* LabelH = nullptr;
  QLineEdit* Edit1 = nullptr;  // width
  QLineEdit* Edit2 = nullptr;  // height
  // Key-up in the width (height) edit: the other edit follows the aspect.
  void Edit1KeyUp();
  void Edit2KeyUp();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  // The edits' texts when the aspect lock last looked at them.
  QString seen1_, seen2_;
};

}  // namespace tolvaren
