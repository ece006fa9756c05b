#include "app/UMemoDialogs.h"

#include <QColorDialog>
#include <QFontDialog>

#include <cmath>
#include <cstdlib>

#include "platform/graphics.h"
#include "view/pxtextc.h"

namespace tolvaren {

using namespace pixoran;

void InstallMemoDialogs() {
  PXMemoFontDialogHook = [](TPXMemoFontChoice& choice) {
    QFont font(QString::fromStdString(choice.Name));
    if (choice.Height != 0) font.setPixelSize(std::abs(choice.Height));
    font.setBold(choice.Style & mfsBold);
    font.setItalic(choice.Style & mfsItalic);
    font.setUnderline(choice.Style & mfsUnderline);
    font.setStrikeOut(choice.Style & mfsStrikeOut);
    bool ok = false;
    const QFont chosen = QFontDialog::getFont(&ok, font);
    if (!ok) return false;
    choice.Name = chosen.family().toStdString();
    // The dialog answers in points unless a pixel size was kept.
    choice.Height = chosen.pixelSize() > 0 ? -chosen.pixelSize() : PointsToLogHeight(chosen.pointSizeF());
    choice.Style =
        static_cast<uint8_t>((chosen.bold() ? mfsBold : 0) | (chosen.italic() ? mfsItalic : 0) |
                             (chosen.underline() ? mfsUnderline : 0) | (chosen.strikeOut() ? mfsStrikeOut : 0));
    return true;
  };
  PXMemoColorDialogHook = [](TColor& color) {
    const TColor rgb = ColorToRGB(color);
    const QColor chosen = QColorDialog::getColor(QColor(rgb & 0xFF, (rgb >> 8) & 0xFF, (rgb >> 16) & 0xFF));
    if (!chosen.isValid()) return false;
    color = RGBColor(static_cast<uint8_t>(chosen.red()), static_cast<uint8_t>(chosen.green()),
                     static_cast<uint8_t>(chosen.blue()));
    return true;
  };
}

}  // namespace tolvaren
