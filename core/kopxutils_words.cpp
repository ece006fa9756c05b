#include "core/kopxutils_words.h"

#include <array>

#include "platform/system.h"

namespace pixoran {

namespace {
std::array<std::array<std::string, kWordCount>, kWordLanguages>& Table() {
  static std::array<std::array<std::string, kWordCount>, kWordLanguages> table;
  return table;
}
}  // namespace

void SetWordText(uint8_t language, uint8_t word, const std::string& text) {
  if (language >= kWordLanguages || word >= kWordCount) return;
  Table()[language][word] = text;
}

TMsgLanguage LanguageOfLocaleCode(const std::string& code) {
  static const struct { const char* code; TMsgLanguage lang; } kMap[] = {
      {"de", msGerman}, {"el", msGreek},      {"es", msSpanish}, {"fr", msFrench}, {"it", msItalian},
      {"nl", msDutch},  {"pl", msPolish},     {"pt", msPortuguese}, {"ru", msRussian}, {"sv", msSwedish},
  };
  for (const auto& m : kMap)
    if (code == m.code) return m.lang;
  return msEnglish;
}

TMsgLanguage SystemMsgLanguage() {
  static const TMsgLanguage lang = LanguageOfLocaleCode(SystemLanguageCode());
  return lang;
}

std::string GetWordText(uint8_t word, TMsgLanguage language) {
  if (word >= kWordCount || language >= kWordLanguages) return {};
  const auto& t = Table();
  if (language == msSystem) return t[SystemMsgLanguage()][word];
  const std::string& s = t[language][word];
  return s.empty() ? t[msEnglish][word] : s;
}

}  // namespace pixoran
