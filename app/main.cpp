// Tolvaren: the photo-frame program. Takes no arguments. With the
// environment variable TOLVAREN_SCREENSHOT set to a file name it saves the
// window once the start-up has loaded everything, reports the time and ends.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <QApplication>
#include <QLibraryInfo>

#include "app/UMain.h"
#include "app/UMain_shot.h"
#include "app/UMemoDialogs.h"
#include "core/kopxutils_controls.h"
#include "core/kopxutils_settings.h"
#include "dialogs/pxiodlghooks.h"
#include "dialogs/pxprnhooks.h"

int main(int argc, char* argv[]) {
  const auto started = std::chrono::steady_clock::now();
  const auto elapsed = [started] {
    return static_cast<int64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
  };
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Tolvaren"));
  // Qt's own dialogs in Chinese like the rest of the program, whatever the
  // locale; without the translation installed they stay in English.
  tolvaren::InstallQtTranslation(QLibraryInfo::path(QLibraryInfo::TranslationsPath));
  // Read the screen's logical resolution here, on the UI thread, so codecs
  // running on workers see the real value rather than the default.
  pixoran::ScreenLogicalDpiY();
  pixoran::InstallControlHooks();
  pixoran::InstallIODialogs();
  pixoran::InstallPrintPreviewForms();
  tolvaren::InstallMemoDialogs();
  const int64_t appMs = elapsed();

  tolvaren::TfrmMain form(tolvaren::ProgramDirectory());
  const int64_t formMs = elapsed();
  form.show();

  if (const char* shot = std::getenv("TOLVAREN_SCREENSHOT"); shot && *shot) {
    tolvaren::RunStartupShot(form, shot, elapsed, [appMs, formMs](const tolvaren::TStartupShot& r) {
      std::printf("Screenshot: %s\n", r.Shot.c_str());
      std::printf(
          "Start-up: %lld ms from program start to the first painted frame with the sample and category 0 "
          "loaded (application ready at %lld ms, main window created at %lld ms)%s\n",
          static_cast<long long>(r.FirstFrameMs), static_cast<long long>(appMs), static_cast<long long>(formMs),
          r.Ready ? "" : " (NOT everything loaded: time limit reached)");
      std::printf("After applying the selected frame: %s\n", r.AppliedShot.c_str());
      std::fflush(stdout);
      QCoreApplication::exit(r.Ready && !r.Shot.empty() ? 0 : 1);
    });
  }
  return app.exec();
}
