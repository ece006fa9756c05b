// The palette dialog the colour panels of the save-parameters dialog open.
#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <algorithm>

#include "dialogs/iopreviews.h"
#include "dialogs/iopreviews_internal.h"

namespace pixoran {

using iopreviews::ToQColor;

TPixoranPaletteDialog::TPixoranPaletteDialog(QWidget* owner) : QDialog(owner) {
  setObjectName(QStringLiteral("PixoranPaletteDialog"));
  setWindowTitle(QStringLiteral("Palette"));
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
  setFixedSize(520, 199);
  setMouseTracking(true);
  cancel_ = new QPushButton(QStringLiteral("&Cancel"), this);
  cancel_->setObjectName(QStringLiteral("CancelButton"));
  cancel_->setGeometry(4, 136, 75, 25);
  connect(cancel_, &QPushButton::clicked, this, [this] { done(2); });
  if (QScreen* s = QGuiApplication::primaryScreen()) move(s->geometry().center() - rect().center());
}

void TPixoranPaletteDialog::SetPalette(const TBGR* palette, int32_t count) {
  palette_ = palette;
  count_ = palette ? std::clamp(count, 0, 256) : 0;
  hovered_ = -1;
  update();
}

void TPixoranPaletteDialog::SetCancelCaption(const QString& caption) { cancel_->setText(caption); }

bool TPixoranPaletteDialog::Execute() { return exec() == 1; }

int32_t TPixoranPaletteDialog::EntryAt(int32_t x, int32_t y) const {
  // Truncating division, so x and y of 0 still fall in the first cell.
  const int32_t column = (x - 1) / 16, row = (y - 1) / 16;
  // A position right of the 32nd column names no entry (it would otherwise
  // wrap into the next row).
  if (column < 0 || column > 31 || row < 0) return -1;
  const int64_t index = static_cast<int64_t>(row) * 32 + column;
  return index < count_ ? static_cast<int32_t>(index) : -1;
}

void TPixoranPaletteDialog::paintEvent(QPaintEvent* event) {
  QDialog::paintEvent(event);
  QPainter p(this);
  for (int32_t i = 0; i < count_; ++i) {
    const int x = (i % 32) * 16, y = (i / 32) * 16;
    const QRect cell(x + 1, y + 1, 16, 16);
    p.fillRect(cell, ToQColor(palette_[i]));
    p.setPen(i == hovered_ ? Qt::black : Qt::white);
    p.drawRect(cell.adjusted(0, 0, -1, -1));
  }
}

void TPixoranPaletteDialog::mouseMoveEvent(QMouseEvent* event) {
  const QPoint pos = event->position().toPoint();
  const int32_t i = EntryAt(pos.x(), pos.y());
  if (i >= 0 && i != hovered_) {
    hovered_ = i;
    update();
  }
}

void TPixoranPaletteDialog::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || hovered_ < 0 || hovered_ >= count_) return;
  color_ = palette_[hovered_];
  done(1);
}

}  // namespace pixoran
