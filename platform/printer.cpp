#include "platform/printer.h"

#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>

#include "platform/system.h"

namespace pixoran {

TPrinter::TPrinter() : printer_(std::make_unique<QPrinter>(QPrinter::HighResolution)) { ChooseDevice(); }

TPrinter::~TPrinter() { EndDoc(); }

void TPrinter::ChooseDevice() {
  if (!outputFile_.empty() || QPrinterInfo::availablePrinters().isEmpty()) {
    printer_->setOutputFormat(QPrinter::PdfFormat);
    const std::string file = outputFile_.empty() ? SystemTempPath() + "/pixoran-print.pdf" : outputFile_;
    printer_->setOutputFileName(QString::fromStdString(file));
  } else {
    printer_->setOutputFormat(QPrinter::NativeFormat);
    printer_->setPrinterName(QPrinterInfo::defaultPrinter().printerName());
  }
}

bool TPrinter::BeginDoc(const std::string& title) {
  EndDoc();
  printer_->setDocName(QString::fromStdString(title));
  auto painter = std::make_unique<QPainter>();
  if (!painter->begin(printer_.get())) return false;
  painter_ = std::move(painter);
  canvas_.SetExternalPainter(painter_.get());
  return true;
}

void TPrinter::NewPage() {
  if (painter_) printer_->newPage();
}

void TPrinter::EndDoc() {
  if (!painter_) return;
  canvas_.SetExternalPainter(nullptr);
  painter_->end();
  painter_.reset();
}

int TPrinter::PixelsPerInchX() const { return printer_->logicalDpiX(); }
int TPrinter::PixelsPerInchY() const { return printer_->logicalDpiY(); }
int TPrinter::PageWidth() const { return printer_->width(); }
int TPrinter::PageHeight() const { return printer_->height(); }

void TPrinter::SetOutputFileName(const std::string& fileName) {
  outputFile_ = fileName;
  ChooseDevice();
}

std::string TPrinter::OutputFileName() const { return printer_->outputFileName().toStdString(); }

void TPrinter::SetPageSizeMM(double width, double height) {
  printer_->setPageSize(QPageSize(QSizeF(width, height), QPageSize::Millimeter));
}

void TPrinter::SetResolution(int dpi) { printer_->setResolution(dpi); }

void TPrinter::SetFullPage(bool value) { printer_->setFullPage(value); }

void TPrinter::Reset() {
  EndDoc();
  printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
  ChooseDevice();
}

TPrinter& Printer() {
  static TPrinter printer;
  return printer;
}

}  // namespace pixoran
