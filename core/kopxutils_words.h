#pragma once
// The dialogs' multilingual word table: 13 rows (one per TMsgLanguage) of
// 131 captions each, UTF-8. Rows English to Polish (1,440 texts; Polish has
// none for word 123) are filled on the table's first use; msSystem and
// msUser stay empty until an application stores texts there.
#include <cstdint>
#include <string>

#include "platform/pxexport.h"
#include "core/kopxdefs.h"

namespace pixoran {

constexpr int kWordLanguages = 13;
constexpr int kWordCount = 131;

// Stores Text as word Word of row Language; indices outside the table are ignored.
PIXORAN_CORE_EXPORT void SetWordText(uint8_t language, uint8_t word, const std::string& text);
// The caption of word Word in Language. A named language falls back to the
// English row when its text is empty; msSystem takes the row of the system
// locale as it is. A word outside the table gives an empty string.
PIXORAN_CORE_EXPORT std::string GetWordText(uint8_t word, TMsgLanguage language);
// The row msSystem stands for on a system whose language has this ISO 639
// code: one of the ten translated rows, else English.
PIXORAN_CORE_EXPORT TMsgLanguage LanguageOfLocaleCode(const std::string& code);
// The row msSystem stands for on this machine (read once).
PIXORAN_CORE_EXPORT TMsgLanguage SystemMsgLanguage();

}  // namespace pixoran
