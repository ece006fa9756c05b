// The main window's action list, main menu and tool bar, their images, and
// the hooks the commands reach the desktop through (browser, modal loop).
#include <QAction>
#include <QDesktopServices>
#include <QDialog>
#include <QIcon>
#include <QMenuBar>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QStandardPaths>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>

#include <cmath>

#include "app/UEffectForm.h"
#include "app/UMain.h"

namespace tolvaren {

namespace {

// One row of the action list.
struct TActionRow {
  QAction* TfrmMain::*Member;
  const char* Name;
  const char* Caption;
  const char* Hint;  // nullptr: the caption
  void (TfrmMain::*Handler)();
};

// The action list in the order of the tool bar, then the rest.
const TActionRow kActions[] = {
    {&TfrmMain::acOpenFile, "acOpenFile", "打开...", nullptr, &TfrmMain::acOpenFileExecute},
    {&TfrmMain::acSaveAs, "acSaveAs", "保存", nullptr, &TfrmMain::acSaveAsExecute},
    {&TfrmMain::acSaveFile, "acSaveFile", "保存为...", nullptr, &TfrmMain::acSaveFileExecute},
    {&TfrmMain::acGoBack, "acGoBack", "撤销上一操作", nullptr, &TfrmMain::acGoBackExecute},
    {&TfrmMain::acCrop, "acCrop", "修剪", nullptr, &TfrmMain::acCropExecute},
    {&TfrmMain::acResize, "acResize", "改变图像大小", "改变大小", &TfrmMain::acResizeExecute},
    {&TfrmMain::acRemoveRedEye, "acRemoveRedEye", "去红眼", nullptr, &TfrmMain::acRemoveRedEyeExecute},
    {&TfrmMain::acLightDarkness, "acLightDarkness", "明暗调节", nullptr, &TfrmMain::acLightDarknessExecute},
    {&TfrmMain::acAddText, "acAddText", "添加文字", nullptr, &TfrmMain::acAddTextExecute},
    {&TfrmMain::acRotate, "acRotate", "图像旋转", "旋转图片", &TfrmMain::acRotateExecute},
    {&TfrmMain::acFlip, "acFlip", "图像翻转", "翻转", &TfrmMain::acFlipExecute},
    {&TfrmMain::acGray, "acGray", "转为黑白图像", "转为黑白照片", &TfrmMain::acGrayExecute},
    {&TfrmMain::acWave, "acWave", "波纹效果", nullptr, &TfrmMain::acWaveExecute},
    {&TfrmMain::acShadow, "acShadow", "投影效果", nullptr, &TfrmMain::acShadowExecute},
    {&TfrmMain::acBlur, "acBlur", "模糊效果", nullptr, &TfrmMain::acBlurExecute},
    {&TfrmMain::acLens, "acLens", "球面效果", nullptr, &TfrmMain::acLensExecute},
    {&TfrmMain::acRoundConer, "acRoundConer", "圆角效果", nullptr, &TfrmMain::acRoundConerExecute},
    {&TfrmMain::acTile, "acTile", "瓦片效果", nullptr, &TfrmMain::acTileExecute},
    {&TfrmMain::acMosac, "acMosac", "马赛克效果", nullptr, &TfrmMain::acMosacExecute},
    {&TfrmMain::acTwist, "acTwist", "旋纽效果", nullptr, &TfrmMain::acTwistExecute},
    {&TfrmMain::acEdgeDelect, "acEdgeDelect", "素描效果", nullptr, &TfrmMain::acEdgeDelectExecute},
    {&TfrmMain::acPrint, "acPrint", "打印", nullptr, &TfrmMain::acPrintExecute},
    {&TfrmMain::acPrintArea, "acPrintArea", "打印选定区域", nullptr, &TfrmMain::acPrintAreaExecute},
    {&TfrmMain::acWebSite, "acWebSite", "软件网站 ", "软件网站", &TfrmMain::acWebSiteExecute},
    {&TfrmMain::acExit, "acExit", "退出", nullptr, &TfrmMain::acExitExecute},
    {&TfrmMain::acFullImage, "acFullImage", "图片实际大小", nullptr, &TfrmMain::acFullImageExecute},
    {&TfrmMain::acFitImage, "acFitImage", "图像自动适应屏幕", nullptr, &TfrmMain::acFitImageExecute},
    {&TfrmMain::acApply, "acApply", "应用此相框", nullptr, &TfrmMain::acApplyExecute},
};

// Images the desktop's icon theme has.
struct TThemed {
  const char* Action;
  const char* Icon;
};
const TThemed kThemed[] = {
    {"acOpenFile", "document-open"},
    {"acSaveAs", "document-save"},
    {"acSaveFile", "document-save-as"},
    {"acPrint", "document-print"},
    {"acPrintArea", "document-print-preview"},
    {"acExit", "application-exit"},
    {"acFullImage", "zoom-original"},
    {"acFitImage", "zoom-fit-best"},
    {"acGoBack", "edit-undo"},
    {"acCrop", "edit-cut"},
    {"acAddText", "insert-text"},
    {"acRotate", "object-rotate-right"},
    {"acFlip", "object-flip-vertical"},
    {"acWebSite", "web-browser"},
};

// Draws one effect's image on a 16 x 16 grid.
void DrawEffect(QPainter& p, const QString& name) {
  const QColor ink(40, 60, 110), sky(90, 150, 220), leaf(70, 160, 80);
  p.setRenderHint(QPainter::Antialiasing);
  if (name == "acResize") {
    p.setPen(QPen(ink, 1));
    p.setBrush(sky.lighter(140));
    p.drawRect(QRectF(1.5, 1.5, 13, 13));
    p.setBrush(sky);
    p.drawRect(QRectF(1.5, 7.5, 7, 7));
    p.setPen(QPen(ink, 1.5));
    p.drawLine(QPointF(8, 8), QPointF(13, 3));
    p.drawLine(QPointF(13, 3), QPointF(10, 3));
    p.drawLine(QPointF(13, 3), QPointF(13, 6));
  } else if (name == "acRemoveRedEye") {
    QPainterPath eye;
    eye.moveTo(1, 8);
    eye.quadTo(8, 1, 15, 8);
    eye.quadTo(8, 15, 1, 8);
    p.setPen(QPen(ink, 1));
    p.setBrush(Qt::white);
    p.drawPath(eye);
    p.setBrush(QColor(220, 30, 30));
    p.drawEllipse(QPointF(8, 8), 3.2, 3.2);
    p.setBrush(Qt::black);
    p.drawEllipse(QPointF(8, 8), 1.3, 1.3);
  } else if (name == "acLightDarkness") {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(250, 200, 40));
    p.drawPie(QRectF(3, 3, 10, 10), 90 * 16, 180 * 16);
    p.setBrush(QColor(60, 60, 70));
    p.drawPie(QRectF(3, 3, 10, 10), -90 * 16, 180 * 16);
    p.setPen(QPen(QColor(230, 170, 20), 1.2));
    for (int i = 0; i < 5; ++i) {
      const double a = M_PI / 2 + i * M_PI / 4;
      p.drawLine(QPointF(8 + 6 * std::cos(a), 8 - 6 * std::sin(a)),
                 QPointF(8 + 7.5 * std::cos(a), 8 - 7.5 * std::sin(a)));
    }
  } else if (name == "acGray") {
    QLinearGradient g(0, 0, 16, 0);
    g.setColorAt(0, Qt::black);
    g.setColorAt(1, Qt::white);
    p.setPen(QPen(ink, 1));
    p.setBrush(g);
    p.drawRect(QRectF(1.5, 2.5, 13, 11));
  } else if (name == "acWave") {
    p.setPen(QPen(sky.darker(130), 1.6));
    for (double y0 : {4.0, 8.0, 12.0}) {
      QPainterPath wave;
      wave.moveTo(1, y0);
      for (double x = 1; x <= 15; x += 0.5) wave.lineTo(x, y0 + 1.6 * std::sin((x - 1) * M_PI / 3.5));
      p.drawPath(wave);
    }
  } else if (name == "acShadow") {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0, 0, 0, 90));
    p.drawRect(QRectF(5, 5, 10, 10));
    p.setPen(QPen(ink, 1));
    p.setBrush(sky);
    p.drawRect(QRectF(1.5, 1.5, 10, 10));
  } else if (name == "acBlur") {
    QRadialGradient g(QPointF(8, 8), 7);
    g.setColorAt(0, sky.darker(120));
    g.setColorAt(0.5, QColor(sky.red(), sky.green(), sky.blue(), 150));
    g.setColorAt(1, QColor(sky.red(), sky.green(), sky.blue(), 0));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawEllipse(QPointF(8, 8), 7.5, 7.5);
  } else if (name == "acLens") {
    QRadialGradient g(QPointF(6, 5.5), 8);
    g.setColorAt(0, Qt::white);
    g.setColorAt(0.35, sky.lighter(120));
    g.setColorAt(1, sky.darker(160));
    p.setPen(QPen(ink, 1));
    p.setBrush(g);
    p.drawEllipse(QPointF(8, 8), 6.5, 6.5);
  } else if (name == "acRoundConer") {
    p.setPen(QPen(ink, 1.2));
    p.setBrush(leaf.lighter(130));
    p.drawRoundedRect(QRectF(1.5, 2.5, 13, 11), 4, 4);
  } else if (name == "acTile") {
    p.setPen(QPen(Qt::white, 1));
    for (int i = 0; i < 4; ++i) {
      p.setBrush(i % 3 == 0 ? sky : leaf);
      p.drawRect(QRectF(1 + (i % 2) * 7, 1 + (i / 2) * 7, 7, 7));
    }
  } else if (name == "acMosac") {
    const QColor cells[] = {QColor(220, 80, 60), QColor(240, 180, 40), sky, leaf};
    p.setPen(Qt::NoPen);
    for (int y = 0; y < 4; ++y)
      for (int x = 0; x < 4; ++x) {
        p.setBrush(cells[(x * 3 + y * 2) % 4]);
        p.drawRect(QRectF(x * 4, y * 4, 4, 4));
      }
  } else if (name == "acTwist") {
    QPainterPath spiral;
    spiral.moveTo(8, 8);
    for (double t = 0; t <= 4 * M_PI; t += 0.2) spiral.lineTo(8 + 0.55 * t * std::cos(t), 8 + 0.55 * t * std::sin(t));
    p.setPen(QPen(QColor(150, 60, 170), 1.4));
    p.drawPath(spiral);
  } else if (name == "acEdgeDelect") {
    p.setPen(QPen(QColor(70, 70, 70), 1));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(0.5, 0.5, 15, 15));
    p.drawEllipse(QPointF(6, 6), 3, 3);
    p.drawLine(QPointF(2, 14), QPointF(6, 9));
    p.drawLine(QPointF(6, 9), QPointF(9, 12));
    p.drawLine(QPointF(9, 12), QPointF(14, 6));
  } else {
    // Any other action: its caption's first character on a plain tile.
    p.setPen(QPen(ink, 1));
    p.setBrush(sky.lighter(150));
    p.drawRoundedRect(QRectF(0.5, 0.5, 15, 15), 2, 2);
  }
}

QIcon DrawnIcon(const QString& name, const QString& letter) {
  QIcon icon;
  for (int size : {16, 24, 32}) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.scale(size / 16.0, size / 16.0);
    DrawEffect(p, name);
    if (!letter.isEmpty()) {
      QFont f = p.font();
      f.setPixelSize(11);
      p.setFont(f);
      p.setPen(Qt::black);
      p.drawText(QRectF(0, 0, 16, 16), Qt::AlignCenter, letter);
    }
    p.end();
    icon.addPixmap(pixmap);
  }
  return icon;
}

// Where the desktop names no theme (a bare window manager, offscreen) Qt
// looks for none and searches only its resources: the installed themes'
// folders are added and Adwaita is taken, first and as the fallback.
void UseInstalledIconTheme() {
  static const bool done = [] {
    QStringList paths = QIcon::themeSearchPaths();
    for (const QString& dir : QStandardPaths::locateAll(QStandardPaths::GenericDataLocation, QStringLiteral("icons"),
                                                        QStandardPaths::LocateDirectory))
      if (!paths.contains(dir)) paths << dir;
    if (!paths.contains(QStringLiteral("/usr/share/icons"))) paths << QStringLiteral("/usr/share/icons");
    QIcon::setThemeSearchPaths(paths);
    if (QIcon::themeName().isEmpty() || QIcon::themeName() == QLatin1String("hicolor"))
      QIcon::setThemeName(QStringLiteral("Adwaita"));
    if (QIcon::fallbackThemeName().isEmpty() || QIcon::fallbackThemeName() == QLatin1String("hicolor"))
      QIcon::setFallbackThemeName(QStringLiteral("Adwaita"));
    return true;
  }();
  (void)done;
}

bool Drawn(const QString& name) {
  static const char* const drawn[] = {"acResize", "acRemoveRedEye", "acLightDarkness", "acGray",       "acWave",
                                      "acShadow", "acBlur",         "acLens",          "acRoundConer", "acTile",
                                      "acMosac",  "acTwist",        "acEdgeDelect"};
  for (const char* d : drawn)
    if (name == QLatin1String(d)) return true;
  return false;
}

}  // namespace

TOpenWebPageHook& OpenWebPageHook() {
  static TOpenWebPageHook hook = [](const QUrl& url) { return QDesktopServices::openUrl(url); };
  return hook;
}

void OpenWebPage(const QString& address) {
  if (OpenWebPageHook()) OpenWebPageHook()(QUrl(address));
}

TModalHook& ModalHook() {
  static TModalHook hook;
  return hook;
}

int ShowModal(QDialog& dialog) { return ModalHook() ? ModalHook()(dialog) : dialog.exec(); }

QIcon ActionIcon(const QString& actionName) {
  if (Drawn(actionName)) return DrawnIcon(actionName, QString());
  for (const TThemed& t : kThemed) {
    if (actionName != QLatin1String(t.Action)) continue;
    UseInstalledIconTheme();
    QIcon icon = QIcon::fromTheme(QLatin1String(t.Icon));
    if (!icon.isNull()) return icon;
    for (const TActionRow& row : kActions)
      if (actionName == QLatin1String(row.Name)) return DrawnIcon(actionName, QString::fromUtf8(row.Caption).left(1));
  }
  return QIcon();
}

void TfrmMain::BuildActions() {
  for (const TActionRow& row : kActions) {
    auto* action = new QAction(QString::fromUtf8(row.Caption), this);
    action->setObjectName(QLatin1String(row.Name));
    action->setToolTip(QString::fromUtf8(row.Hint ? row.Hint : row.Caption));
    action->setIcon(ActionIcon(action->objectName()));
    action->setIconVisibleInMenu(false);
    this->*row.Member = action;
    const auto handler = row.Handler;
    connect(action, &QAction::triggered, this, [this, handler, action] { RunCommand(handler, action->text()); });
  }
  acFullImage->setCheckable(true);
  acFitImage->setCheckable(true);

  QMenu* file = menuBar()->addMenu(QStringLiteral("文件"));
  file->addActions({acOpenFile, acSaveAs, acSaveFile});
  file->addSeparator();
  file->addActions({acPrint, acPrintArea});
  file->addSeparator();
  file->addAction(acExit);
  menuBar()->addMenu(QStringLiteral("视图"))->addActions({acFullImage, acFitImage});
  menuBar()
      ->addMenu(QStringLiteral("编辑"))
      ->addActions({acGoBack, acCrop, acResize, acRemoveRedEye, acLightDarkness, acAddText});
  menuBar()
      ->addMenu(QStringLiteral("特效"))
      ->addActions({acRotate, acFlip, acGray, acWave, acShadow, acBlur, acLens, acRoundConer, acTile, acMosac, acTwist,
                    acEdgeDelect});
  menuBar()->addMenu(QStringLiteral("帮助"))->addAction(acWebSite);

  ToolBar_Main = addToolBar(QStringLiteral("ToolBar_Main"));
  ToolBar_Main->setObjectName(QStringLiteral("ToolBar_Main"));
  ToolBar_Main->setMovable(false);
  ToolBar_Main->setToolButtonStyle(Qt::ToolButtonIconOnly);
  // 16-pixel images make the buttons about 23 pixels square.
  ToolBar_Main->setIconSize(QSize(16, 16));
  ToolBar_Main->addActions({acOpenFile, acSaveAs, acSaveFile});
  ToolBar_Main->addSeparator();
  ToolBar_Main->addActions({acGoBack, acCrop, acResize, acRemoveRedEye, acLightDarkness, acAddText});
  ToolBar_Main->addSeparator();
  ToolBar_Main->addActions({acRotate, acFlip, acGray, acWave, acShadow, acBlur, acLens, acRoundConer, acTile, acMosac,
                            acTwist, acEdgeDelect});
  ToolBar_Main->addSeparator();
  ToolBar_Main->addActions({acPrint, acPrintArea});
  ToolBar_Main->addSeparator();
  ToolBar_Main->addAction(acWebSite);
}

void TfrmMain::RunCommand(void (TfrmMain::*handler)(), const QString& caption) {
  snapshotTaken_ = false;
  snapshotHandedOff_ = false;
  bool ok = false;
  {
    TStatusScope status(*this, caption);
    ok = RunGuarded(this, [this, handler] { (this->*handler)(); });
  }
  if (!ok && snapshotTaken_) {
    // Whatever the command changed before it failed is undone: the picture
    // is the flattened one the snapshot holds, and the undo step is the
    // one before the command.
    RunGuarded(this, [this] { acGoBackExecute(); });
    RestoreKeptSnapshot();
  } else if (!snapshotHandedOff_) {
    ConfirmSnapshot();
  }
  snapshotTaken_ = false;
}

}  // namespace tolvaren
