#pragma once
// The framework printer: Qt's print support in high-resolution mode. Where
// the machine has no printer (or when an output file is chosen) the pages
// go to a PDF file, whose name the user gives.
#include <memory>
#include <string>

#include "platform/pxexport.h"
#include "platform/graphics.h"

class QPrinter;
class QPainter;

namespace pixoran {

class PIXORAN_PLATFORM_WIDGETS_EXPORT TPrinter {
 public:
  TPrinter();
  ~TPrinter();
  TPrinter(const TPrinter&) = delete;
  TPrinter& operator=(const TPrinter&) = delete;

  // Starts a document (the job title shows in the print queue); false when
  // the device cannot be opened. The canvas draws on its first page.
  bool BeginDoc(const std::string& title);
  void NewPage();
  // Finishes the document and sends it.
  void EndDoc();
  bool Printing() const { return painter_ != nullptr; }

  // Device pixels per inch of each axis.
  int PixelsPerInchX() const;
  int PixelsPerInchY() const;
  // The printable area of the page in device pixels.
  int PageWidth() const;
  int PageHeight() const;
  // The page's canvas while a document is open (drawing outside one goes nowhere).
  TCanvas& Canvas() { return canvas_; }

  // The PDF file the pages go to; empty goes back to the system's default
  // printer, or, where there is none, to a PDF file not yet named.
  void SetOutputFileName(const std::string& fileName);
  std::string OutputFileName() const;
  // Whether the pages go to a PDF file rather than a printer.
  bool OutputsToPdf() const;
  // A PDF output whose file has not been named yet: a document cannot be
  // started until it is.
  bool NeedsOutputFileName() const;
  // Page size in millimetres (portrait) and resolution of the device.
  void SetPageSizeMM(double width, double height);
  void SetResolution(int dpi);
  // True: the page's canvas and size are the whole sheet, not the printable area.
  void SetFullPage(bool value);
  // Takes the current printer again (the one chosen, or the PDF file
  // named) with its default settings.
  void Reset();

  // For the forms' print dialog, which chooses the printer or PDF file.
  QPrinter& QtPrinter() { return *printer_; }

 private:
  void ChooseDevice();
  std::unique_ptr<QPrinter> printer_;
  std::unique_ptr<QPainter> painter_;
  TBitmap nowhere_;  // the canvas's owner when no page is open
  TCanvas canvas_{nowhere_};
};

// The process-wide printer (created on first use, on the UI thread).
PIXORAN_PLATFORM_WIDGETS_EXPORT TPrinter& Printer();

}  // namespace pixoran
