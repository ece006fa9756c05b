#pragma once
// The print-area prompt: prints the selected area, as often as wanted.
#include <functional>

#include "app/UCropInfo.h"

namespace tolvaren {

class TfrmPrintInfo : public TSelectionPrompt {
  Q_OBJECT
 public:
  explicit TfrmPrintInfo(TPixoranView* mainView, QWidget* parent = nullptr);
  // Prints the selection (the prompt stays), or asks for one.
  void Button1Click() override;
  // Copies the selected area and runs the print preview on it; set by the
  // main window, which has the selection and print-preview calls.
  std::function<void(TPixoranView& mainView)> PrintSelection;
};

}  // namespace tolvaren
