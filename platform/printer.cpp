#include "platform/printer.h"

#include <QPageLayout>
#include <QPageSize>
#include <QPainter>
#include <QPrinter>
#include <QPrinterInfo>

namespace pixoran {

TPrinter::TPrinter() { ChooseDevice(); }

TPrinter::~TPrinter() { EndDoc(); }

void TPrinter::ChooseDevice() {
  EndDoc();
  printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
  if (QPrinterInfo::availablePrinters().isEmpty()) {
    // Only PDF: to a file the user names, never to a fixed one.
    printer_->setOutputFormat(QPrinter::PdfFormat);
  } else {
    printer_->setOutputFormat(QPrinter::NativeFormat);
    printer_->setPrinterName(QPrinterInfo::defaultPrinter().printerName());
  }
}

bool TPrinter::BeginDoc(const std::string& title) {
  EndDoc();
  if (NeedsOutputFileName()) return false;
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
  if (fileName.empty()) {
    ChooseDevice();
    return;
  }
  EndDoc();
  printer_->setOutputFormat(QPrinter::PdfFormat);
  printer_->setOutputFileName(QString::fromStdString(fileName));
}

std::string TPrinter::OutputFileName() const { return printer_->outputFileName().toStdString(); }

bool TPrinter::OutputsToPdf() const { return printer_->outputFormat() == QPrinter::PdfFormat; }

bool TPrinter::NeedsOutputFileName() const { return OutputsToPdf() && printer_->outputFileName().isEmpty(); }

void TPrinter::SetPageSizeMM(double width, double height) {
  printer_->setPageSize(QPageSize(QSizeF(width, height), QPageSize::Millimeter));
}

void TPrinter::SetResolution(int dpi) { printer_->setResolution(dpi); }

void TPrinter::SetFullPage(bool value) { printer_->setFullPage(value); }

void TPrinter::Reset() {
  EndDoc();
  // The device chosen stays chosen; only its settings start afresh.
  const bool pdf = OutputsToPdf();
  const QString name = printer_->printerName();
  const QString file = printer_->outputFileName();
  printer_ = std::make_unique<QPrinter>(QPrinter::HighResolution);
  if (pdf) {
    printer_->setOutputFormat(QPrinter::PdfFormat);
    if (!file.isEmpty()) printer_->setOutputFileName(file);
  } else {
    printer_->setOutputFormat(QPrinter::NativeFormat);
    printer_->setPrinterName(name);
  }
}

TPrinter& Printer() {
  static TPrinter printer;
  return printer;
}

}  // namespace pixoran
