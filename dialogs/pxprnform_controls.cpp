#include "dialogs/pxprnform_controls.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QDir>
#include <QFileDialog>
#include <QPrintDialog>
#include <QPrinter>
#include <QStandardPaths>
#include <QToolButton>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdint>

#include "core/kopxutils_helpers.h"
#include "core/kopxutils_settings.h"
#include "core/kopxutils_words.h"
#include "io/pixoranio.h"
#include "platform/printer.h"
#include "view/pixoranview.h"

namespace pixoran {

void TPrnControls::Create(QWidget* parent, const std::function<void()>& change) {
  static const char* const kDefaults[8] = {"", "1", "1", "1", "1", "6", "4", "1"};
  for (int i = 1; i <= 7; ++i) {
    Edit[i] = new QLineEdit(QString::fromLatin1(kDefaults[i]), parent);
    Edit[i]->setObjectName(QStringLiteral("Edit%1").arg(i));
    Edit[i]->setMaximumWidth(70);
    Up[i] = new QToolButton(parent);
    Up[i]->setObjectName(QStringLiteral("UpDown%1Up").arg(i));
    Up[i]->setArrowType(Qt::UpArrow);
    Down[i] = new QToolButton(parent);
    Down[i]->setObjectName(QStringLiteral("UpDown%1Down").arg(i));
    Down[i]->setArrowType(Qt::DownArrow);
    for (QToolButton* b : {Up[i], Down[i]}) b->setFixedSize(16, 11);
    const double step = i == 7 ? 0.1 : 0.01;  // gamma steps by tenths
    QLineEdit* e = Edit[i];
    QObject::connect(Up[i], &QToolButton::clicked, parent, [e, step] { StepEdit(e, step); });
    QObject::connect(Down[i], &QToolButton::clicked, parent, [e, step] { StepEdit(e, -step); });
    QObject::connect(e, &QLineEdit::textChanged, parent, [change] { change(); });
  }
  Positions = new QButtonGroup(parent);
  Positions->setExclusive(true);
  static const char* const kArrows[10] = {"", "↖", "↑", "↗", "←", "•", "→", "↙", "↓", "↘"};
  for (int i = 1; i <= 9; ++i) {
    SpeedButton[i] = new QToolButton(parent);
    SpeedButton[i]->setObjectName(QStringLiteral("SpeedButton%1").arg(i));
    SpeedButton[i]->setText(QString::fromUtf8(kArrows[i]));
    SpeedButton[i]->setCheckable(true);
    SpeedButton[i]->setFixedSize(24, 24);
    Positions->addButton(SpeedButton[i], i);
  }
  SpeedButton[5]->setChecked(true);
  QObject::connect(Positions, &QButtonGroup::idClicked, parent, [change](int) { change(); });
  ComboBox1 = new QComboBox(parent);
  ComboBox1->setObjectName(QStringLiteral("ComboBox1"));
  SetSizeItems("Normal", "Fit to page", "Stretch to page", "Specified size");
  ComboBox1->setCurrentIndex(-1);
  QObject::connect(ComboBox1, &QComboBox::currentIndexChanged, parent, [this, change](int) {
    UpdateSizeEdits();
    change();
  });
  UpdateSizeEdits();
}

QWidget* TPrnControls::EditWithSteps(int index, QWidget* parent) const {
  auto* box = new QWidget(parent);
  auto* row = new QHBoxLayout(box);
  row->setContentsMargins(0, 0, 0, 0);
  row->setSpacing(1);
  row->addWidget(Edit[index]);
  auto* steps = new QVBoxLayout;
  steps->setSpacing(0);
  steps->addWidget(Up[index]);
  steps->addWidget(Down[index]);
  row->addLayout(steps);
  return box;
}

void TPrnControls::SetSizeItems(const std::string& normal, const std::string& fit, const std::string& stretch,
                                const std::string& specified) {
  const int index = ComboBox1->currentIndex();
  const QSignalBlocker quiet(ComboBox1);
  ComboBox1->clear();
  for (const std::string* s : {&normal, &fit, &stretch, &specified}) ComboBox1->addItem(QString::fromStdString(*s));
  ComboBox1->setCurrentIndex(index);
}

void TPrnControls::UpdateSizeEdits() {
  const bool specified = ComboBox1->currentIndex() == 3;
  for (int i : {5, 6}) {
    Edit[i]->setEnabled(specified);
    Up[i]->setEnabled(specified);
    Down[i]->setEnabled(specified);
  }
}

TPrintLayoutArgs TPrnControls::Read(uint8_t unit) const {
  TPrintLayoutArgs a;
  const int pos = std::max(1, Positions->checkedId());
  const int col = (pos - 1) % 3, row = (pos - 1) / 3;
  a.HorizontalPosition = static_cast<uint8_t>(col == 0 ? 0 : col == 2 ? 2 : 1);
  a.VerticalPosition = static_cast<uint8_t>(row == 0 ? 0 : row == 2 ? 2 : 1);
  const int size = ComboBox1->currentIndex();
  a.Size = static_cast<uint8_t>(size < 0 ? pxpsFitToPage : size);
  const double div = UnitDivisor(unit);
  auto num = [&](int i, double def) { return StrToFloatAnySeparator(Edit[i]->text().toStdString(), def); };
  a.MarginLeft = num(2, 0) / div;
  a.MarginTop = num(1, 0) / div;
  a.MarginRight = num(3, 0) / div;
  a.MarginBottom = num(4, 0) / div;
  a.SpecWidth = num(5, 1) / div;
  a.SpecHeight = num(6, 1) / div;
  a.Gamma = num(7, 1);
  return a;
}

void TPrnControls::StepEdit(QLineEdit* edit, double delta) {
  const double v = std::max(0.0, StrToFloatAnySeparator(edit->text().toStdString(), 0) + delta);
  edit->setText(QString::fromStdString(FloatToStr(v < 1e-9 ? 0 : v)));
}

namespace {
// A PDF file in the user's documents folder (home when there is none),
// named after the job.
QString SuggestedPdfName(const std::string& title) {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (folder.isEmpty() || !QDir(folder).exists()) folder = QDir::homePath();
  const QString base = title.empty() ? QStringLiteral("print") : QString::fromStdString(title);
  return QDir(folder).filePath(base + QStringLiteral(".pdf"));
}
}  // namespace

// The page in bands of rows, each drawn through the canvas's clip, so the
// resampled and gamma-corrected pixels made at once stay a band's worth
// whatever the printer's resolution (a page at 1200 dpi is about 400 MB).
void PrintPageInBands(TPixoranIO& io, const TPrintLayoutArgs& args) {
  TPrinter& printer = Printer();
  TCanvas& canvas = printer.Canvas();
  const int64_t width = std::max(printer.PageWidth(), 1), height = std::max(printer.PageHeight(), 1);
  const int64_t bandBytes = std::min<int64_t>(CodecMemoryLimit() / 8, int64_t{32} << 20);
  const int64_t rows = std::clamp<int64_t>(bandBytes / (3 * width), 1, height);
  for (int64_t top = 0; top < height; top += rows) {
    const TRect band = Rect(0, static_cast<int32_t>(top), static_cast<int32_t>(width),
                            static_cast<int32_t>(std::min(top + rows, height)));
    canvas.SetClipRect(&band);
    io.PrintImage(&canvas, args);
  }
  canvas.SetClipRect(nullptr);
}

bool AskPdfFileName(QWidget* parent, const std::string& title) {
  TPrinter& printer = Printer();
  if (!printer.NeedsOutputFileName()) return true;
  QFileDialog dialog(parent, QString::fromStdString(GetWordText(91, msSystem)) + QStringLiteral(" (PDF)"),
                     SuggestedPdfName(title), QStringLiteral("PDF (*.pdf)"));
  dialog.setObjectName(QStringLiteral("PdfFileDialog"));
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setDefaultSuffix(QStringLiteral("pdf"));
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  printer.SetOutputFileName(QDir::cleanPath(dialog.selectedFiles().first()).toStdString());
  return !printer.NeedsOutputFileName();
}

bool RunPrintPreview(TPixoranIO& io, TPixoranView& view, const TPrintLayoutArgs& args, bool print,
                     const std::string& title, bool* failed) {
  if (failed) *failed = false;
  if (print) {
    if (!AskPdfFileName(view.Widget()->window(), title)) return false;
    TPrinter& printer = Printer();
    if (!printer.BeginDoc(title)) {
      // Nothing was printed: never reported as printed.
      if (failed) *failed = true;
      io.SetLastResult(iorWriteFailed, "cannot open the printer or the PDF file for \"" + title + "\"");
      return false;
    }
    PrintPageInBands(io, args);
    printer.EndDoc();
    return true;
  }
  TBitmap* page = view.GetTBitmap();
  if (!page) return true;
  io.PreviewPrintImage(*page, view.ClientWidth(), view.ClientHeight(), nullptr, args);
  view.ImageChange();
  view.Update();
  return true;
}

bool ExecutePrinterSetup(QWidget* parent) {
  // The print dialog: the printer (or a PDF file), copies and the page.
  TPrinter& printer = Printer();
  // A PDF output not named yet shows a name to keep or change, not a folder.
  const bool unnamed = printer.NeedsOutputFileName();
  if (unnamed) printer.QtPrinter().setOutputFileName(SuggestedPdfName(""));
  QPrintDialog dialog(&printer.QtPrinter(), parent);
  dialog.setObjectName(QStringLiteral("PrinterSetupDialog"));
  if (dialog.exec() == QDialog::Accepted) return true;
  if (unnamed) printer.SetOutputFileName("");
  return false;
}

}  // namespace pixoran
