#pragma once
// The controls both print-preview forms share: the seven number edits with
// their step buttons, the nine position buttons and the size-mode box, and
// the one routine that reads them into a print layout.
#include <QObject>
#include <functional>
#include <string>

#include "platform/pxexport.h"
#include "io/pxprint.h"

class QButtonGroup;
class QComboBox;
class QLineEdit;
class QToolButton;
class QWidget;

namespace pixoran {

class TPixoranIO;
class TPixoranView;

// Measure units of the forms: 0 inches, 1 centimetres, 2 inches selectable,
// 3 centimetres selectable.
inline double UnitDivisor(uint8_t unit) { return unit == 1 || unit == 3 ? 2.54 : 1.0; }

struct PIXORAN_DIALOGS_EXPORT TPrnControls {
  // Edit[1] top, [2] left, [3] right, [4] bottom margin, [5] width, [6]
  // height, [7] gamma; UpDown[i] steps Edit[i] (index 0 unused).
  QLineEdit* Edit[8] = {};
  QToolButton* Up[8] = {};
  QToolButton* Down[8] = {};
  // SpeedButton[1..9]: top left ... bottom right, one exclusive group.
  QToolButton* SpeedButton[10] = {};
  QButtonGroup* Positions = nullptr;
  QComboBox* ComboBox1 = nullptr;

  // Creates the controls as children of parent (placing them is the form's
  // business); change runs after every edit, position or size change.
  void Create(QWidget* parent, const std::function<void()>& change);
  // One edit with its two step buttons, side by side.
  QWidget* EditWithSteps(int index, QWidget* parent) const;
  // Size items, hints and the like in a language; sets nothing else.
  void SetSizeItems(const std::string& normal, const std::string& fit, const std::string& stretch,
                    const std::string& specified);
  // The layout the controls describe (margins and sizes in inches).
  TPrintLayoutArgs Read(uint8_t unit) const;
  // Enables the width and height edits for "Specified size" only.
  void UpdateSizeEdits();
  // Adds delta to an edit's number, never below 0, and writes it back.
  static void StepEdit(QLineEdit* edit, double delta);
};

// When the framework printer can only write a PDF file not yet named, asks
// for its name; false when the user gives none.
PIXORAN_DIALOGS_EXPORT bool AskPdfFileName(QWidget* parent, const std::string& title);

// The modal result a print-preview form closes with when its print failed
// (the printer or the PDF file could not be opened): not printed.
constexpr int kPrintFailedResult = 3;

// The page preview into a viewer at its size, or the print of the image
// under a job title (print true). False when a print was asked for and did
// not happen: the user gave no PDF file name, or the printer or the PDF
// file could not be opened (then *failed is set, when given).
PIXORAN_DIALOGS_EXPORT bool RunPrintPreview(TPixoranIO& io, TPixoranView& view, const TPrintLayoutArgs& args,
                                            bool print, const std::string& title, bool* failed = nullptr);

// Shows the framework's print dialog (printer or PDF file, copies) for the
// framework printer; true when accepted.
PIXORAN_DIALOGS_EXPORT bool ExecutePrinterSetup(QWidget* parent);

}  // namespace pixoran
