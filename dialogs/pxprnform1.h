#pragma once
// The print-preview window: a menu, a panel of the layout controls (hints
// instead of labels) and the page preview filling the window. It stays open
// after printing.
#include <QDialog>
#include <memory>
#include <string>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "dialogs/pxprnform_controls.h"

class QAction;
class QToolButton;

namespace pixoran {

class TPixoranIO;
class TPixoranView;

class PIXORAN_DIALOGS_EXPORT TfpxPrnForm1 : public QDialog {
  Q_OBJECT

 public:
  TfpxPrnForm1(TPixoranIO& io, QWidget* parent = nullptr);
  ~TfpxPrnForm1() override;

  void SetMeasureUnit(uint8_t unit) { unit_ = unit; }
  void SetTitle(const std::string& title) { title_ = title; }
  void ApplyLanguage(TMsgLanguage language);
  // Previews, or prints when sender is the print button or menu item.
  void PrintPreview(QObject* sender);
  TPrintLayoutArgs CurrentArgs() const { return controls_.Read(unit_); }

  TPrnControls& Controls() { return controls_; }
  QToolButton* SpeedButton10 = nullptr;  // print setup
  QToolButton* SpeedButton11 = nullptr;  // print
  QToolButton* SpeedButton12 = nullptr;  // close
  QAction* Print1 = nullptr;
  QAction* PrintSetup1 = nullptr;
  QAction* Exit1 = nullptr;
  TPixoranView* PixoranView1() const { return view_.get(); }

 protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  TPixoranIO& io_;
  TPrnControls controls_;
  std::unique_ptr<TPixoranView> view_;
  uint8_t unit_ = 0;
  std::string title_;
  QMenu* file_ = nullptr;
  bool activated_ = false;
};

}  // namespace pixoran
