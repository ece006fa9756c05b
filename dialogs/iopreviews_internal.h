#pragma once
// Small helpers the files of the save-parameters dialog share.
#include <QColor>
#include <QString>

#include "core/kopxdefs.h"
#include "core/kopxutils_words.h"

namespace pixoran::iopreviews {

inline QString Word(int w, TMsgLanguage l) { return QString::fromStdString(GetWordText(static_cast<uint8_t>(w), l)); }

inline QColor ToQColor(TBGR c) { return QColor(c.r, c.g, c.b); }
inline TBGR FromQColor(const QColor& c) {
  return TBGR{static_cast<uint8_t>(c.blue()), static_cast<uint8_t>(c.green()), static_cast<uint8_t>(c.red())};
}

}  // namespace pixoran::iopreviews
