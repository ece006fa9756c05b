#pragma once
// Process-wide settings of the library. All are constant-initialised, so no
// unit depends on another unit's start-up order. The numbers and the hook
// are set before any worker starts and only read afterwards (the
// luminance weights are read per pixel); the temporary folder, a text read
// on every temporary file, may be changed at any time.
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/pxexport.h"

namespace pixoran {

class TWinControl;
using TCenterWindowHook = void (*)(TWinControl* window);

class TCanvas;
class TPrinter;
struct PIXORAN_CORE_EXPORT TPrintDevice {
  int32_t DpiX = 0, DpiY = 0;             // device pixels per inch
  int32_t PageWidth = 0, PageHeight = 0;  // printable size in device pixels
};
// The printer as the I/O component reaches it (nullptr: the process-wide
// one). Printers belong to the platform's widget part, which the image
// layers do not link: InstallControlHooks (core/kopxutils_controls.h) sets
// these at start-up, and while they are unset printing ends unsupported.
struct PIXORAN_CORE_EXPORT TPXPrinterHooks {
  void (*Metrics)(TPrinter* printer, TPrintDevice& device) = nullptr;
  TCanvas* (*Canvas)(TPrinter* printer) = nullptr;
  void (*Reset)() = nullptr;
};

// A text setting read and written under a lock: a reader gets a copy.
class PIXORAN_CORE_EXPORT TPXLockedString {
 public:
  operator std::string() const {
    std::lock_guard<std::mutex> guard(lock_);
    return value_;
  }
  TPXLockedString& operator=(std::string value) {
    std::lock_guard<std::mutex> guard(lock_);
    value_ = std::move(value);
    return *this;
  }

 private:
  mutable std::mutex lock_;
  std::string value_;
};

struct PIXORAN_CORE_EXPORT TPXSettings {
  // Grey level = (R * LumRed + G * LumGreen + B * LumBlue) div 100.
  int32_t LumRed = 21;
  int32_t LumGreen = 71;
  int32_t LumBlue = 8;
  // Bytes above which bitmaps go to a temporary file; -1 means "half the
  // available physical memory".
  int64_t MemoryThresholdOverride = -1;
  // Threads an operation whose rows are independent may use (the caller's
  // own among them); 0 or less means the hardware threads, 1 works every
  // row on the caller's thread. Read at the start of each operation.
  std::atomic<int32_t> ThreadCount{0};
  // The least memory budget CodecMemoryLimit gives. A process that bounds
  // its own memory (a fuzzer) may lower it.
  int64_t CodecMemoryFloor = int64_t{256} << 20;
  // Folder of the library's temporary files; empty means the system's.
  TPXLockedString TempFolder;
  TCenterWindowHook CenterWindowHook = nullptr;
  TPXPrinterHooks PrinterHooks;
  // Resolution given to images whose file carries none (or less than 2).
  int32_t DefaultDpiX = 300;
  int32_t DefaultDpiY = 300;
};

// The one settings record of the process.
PIXORAN_CORE_EXPORT TPXSettings& PXSettings();

// The memory budget of one buffer that must live in memory (codec work
// areas, index buffers, caches): the memory-threshold override when set,
// else half the available physical memory, never below CodecMemoryFloor
// (256 MB unless lowered). Bitmaps are
// not bound by it: above their threshold they live in temporary files.
PIXORAN_CORE_EXPORT int64_t CodecMemoryLimit();

// The display's logical pixels per inch, which the TIFF annotation marks
// measure their font heights against. Asked on the GUI thread while a GUI
// exists, the screen's value is read once and kept; elsewhere (no GUI, a
// worker before the GUI thread asked) it is 96. Never 0.
PIXORAN_CORE_EXPORT int32_t ScreenLogicalDpiX();
PIXORAN_CORE_EXPORT int32_t ScreenLogicalDpiY();
// Pins both values (a program or test that knows them); a value below 1
// goes back to reading the screen.
PIXORAN_CORE_EXPORT void SetScreenLogicalDpi(int32_t x, int32_t y);

}  // namespace pixoran
