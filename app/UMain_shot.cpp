#include "app/UMain_shot.h"

#include <memory>

#include <QAction>
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPixmap>
#include <QTimer>

#include "app/UMain.h"
#include "io/pixoranio.h"
#include "view/pixoranview.h"
#include "view/pxmview.h"

namespace tolvaren {

using namespace pixoran;

bool StartupLoaded(TfrmMain& form) {
  if (form.PixoranView_Main->IsEmpty()) return false;
  TPixoranMView& strip = *form.PixoranMViewMain;
  // The strip loads what it shows.
  for (int32_t i = 0; i < strip.GetImageCount(); ++i)
    if (strip.IsImageVisible(i) && !strip.IsImageLoaded(i)) return false;
  return strip.GetImageCount() == 0 || !form.PreviewFileName().empty();
}

namespace {

bool SavePicture(const QPixmap& picture, const std::string& path) {
  QDir().mkpath(QFileInfo(QString::fromStdString(path)).absolutePath());
  return picture.save(QString::fromStdString(path), "PNG");
}

std::string AppliedName(const std::string& path) {
  const QFileInfo info(QString::fromStdString(path));
  return (info.absolutePath() + '/' + info.completeBaseName() + QStringLiteral("-applied.png")).toStdString();
}

}  // namespace

void RunStartupShot(TfrmMain& form, const std::string& shotPath, std::function<int64_t()> elapsedMs,
                    std::function<void(const TStartupShot&)> done, int limitMs) {
  auto* poll = new QTimer(&form);
  auto waited = std::make_shared<QElapsedTimer>();
  waited->start();
  poll->setInterval(5);
  QObject::connect(poll, &QTimer::timeout, &form, [&form, poll, waited, shotPath, elapsedMs, done, limitMs] {
    const bool ready = StartupLoaded(form);
    if (!ready && waited->elapsed() < limitMs) return;
    poll->stop();
    poll->deleteLater();
    TStartupShot result;
    result.Ready = ready;
    const std::string absolute = QFileInfo(QString::fromStdString(shotPath)).absoluteFilePath().toStdString();
    // grab() paints the whole window into a picture, as the screen shows it;
    // the time is taken once it is painted, before the file is written.
    const QPixmap first = form.grab();
    result.FirstFrameMs = elapsedMs();
    if (SavePicture(first, absolute)) result.Shot = absolute;
    form.acApply->trigger();
    QCoreApplication::processEvents();
    const std::string applied = AppliedName(absolute);
    if (SavePicture(form.grab(), applied)) result.AppliedShot = applied;
    done(result);
  });
  poll->start();
}

}  // namespace tolvaren
