#pragma once
// The fixed print-preview dialog: margins, position, size and gamma beside
// a live page preview; OK prints through the I/O component.
#include <QDialog>
#include <memory>
#include <string>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"
#include "dialogs/pxprnform_controls.h"

class QComboBox;
class QGroupBox;
class QLabel;
class QPushButton;

namespace pixoran {

class TPixoranIO;
class TPixoranView;

class PIXORAN_DIALOGS_EXPORT TfpxPrnForm2 : public QDialog {
  Q_OBJECT

 public:
  TfpxPrnForm2(TPixoranIO& io, QWidget* parent = nullptr);
  ~TfpxPrnForm2() override;

  // Unit 0 inches, 1 cm, 2 inches selectable, 3 cm selectable.
  void SetMeasureUnit(uint8_t unit);
  uint8_t MeasureUnit() const { return unit_; }
  void SetTitle(const std::string& title) { title_ = title; }
  void ApplyLanguage(TMsgLanguage language);
  // Previews, or prints when sender is the OK button; false when a print
  // found no PDF file name given.
  bool printpreview(QObject* sender);
  // The layout the controls describe now.
  TPrintLayoutArgs CurrentArgs() const { return controls_.Read(unit_); }

  TPrnControls& Controls() { return controls_; }
  QComboBox* ComboBox2 = nullptr;
  QPushButton* Button1 = nullptr;  // OK: prints
  QPushButton* Button2 = nullptr;  // Cancel
  QPushButton* Button4 = nullptr;  // printer setup
  TPixoranView* PixoranView1() const { return view_.get(); }

 protected:
  void showEvent(QShowEvent* event) override;

 private:
  void FormActivate();
  void ComboBox2Change();
  void UnitCaptions();

  TPixoranIO& io_;
  TPrnControls controls_;
  std::unique_ptr<TPixoranView> view_;
  uint8_t unit_ = 0;
  TMsgLanguage language_ = msSystem;
  std::string title_;
  bool printFailed_ = false;  // the last print could not open its printer or file
  QGroupBox* margins_ = nullptr;
  QGroupBox* position_ = nullptr;
  QGroupBox* preview_ = nullptr;
  QGroupBox* size_ = nullptr;
  QGroupBox* gamma_ = nullptr;
  QGroupBox* units_ = nullptr;
  QLabel* labels_[5] = {};      // top, left, right, bottom margin
  QLabel* unitLabels_[2] = {};  // after the width and height
  QLabel* widthLabel_ = nullptr;
  QLabel* heightLabel_ = nullptr;
  QLabel* gammaLabel_ = nullptr;
  QLabel* unitsLabel_ = nullptr;
  bool activated_ = false;
};

}  // namespace pixoran
