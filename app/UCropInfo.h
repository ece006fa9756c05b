#pragma once
// The two non-modal prompts that stay on top while the user drags a
// selection in the main viewer: trim (here) and print area (UPrintInfo).
#include <functional>

#include <QDialog>
#include <QString>

class QPushButton;

namespace pixoran {
class TPixoranView;
class TPixoranProc;
}  // namespace pixoran

namespace tolvaren {

using pixoran::TPixoranProc;
using pixoran::TPixoranView;

class TSelectionPrompt : public QDialog {
  Q_OBJECT
 public:
  // mainView is the main viewer whose selection the prompt works on; the
  // prompt frees itself when one of its buttons ends it.
  TSelectionPrompt(TPixoranView* mainView, const QString& caption, const QString& line1, QWidget* parent);

  QPushButton* Button1 = nullptr;  // "确定"
  QPushButton* Button2 = nullptr;  // "取消"
  virtual void Button1Click() = 0;
  // Removes the selection, back to resizing layers, and ends the prompt.
  void Button2Click();
  // Whether the main viewer has a selection.
  bool MainHasSelection() const;
  // Removes the main viewer's selection; set by the main window (the
  // selection calls are the main viewer's).
  std::function<void()> Deselect;
  // Called once when the prompt ends: true when "确定" did its work, false
  // for "取消".
  std::function<void(bool confirmed)> OnEnd;

 protected:
  // The close box is refused; closing from the program (its buttons, or the
  // program quitting) always goes through.
  void closeEvent(QCloseEvent* event) override;
  // Escape reaches reject(), which would close the prompt past its
  // clean-up (the viewer left selecting): only the buttons end it.
  void reject() override {}
  // Closes and frees the prompt.
  void Finish();
  TPixoranView* mainView_;
};

class TfrmCrop : public TSelectionPrompt {
  Q_OBJECT
 public:
  // proc is the main viewer's processing component, which crops.
  TfrmCrop(TPixoranView* mainView, TPixoranProc* proc, QWidget* parent = nullptr);
  // Crops to the selection and ends, or asks for a selection and stays.
  void Button1Click() override;

 private:
  TPixoranProc* proc_;
};

}  // namespace tolvaren
