// The word table the library's dialogs take their captions from: its rows,
// the fall-backs, and a table that is whole from its first use.
#include <gtest/gtest.h>

#include <QPushButton>

#include <cstdlib>

#include "core/kopxutils_words.h"
#include "dialogs/pxprnform2.h"
#include "io/pixoranio.h"

using namespace pixoran;

TEST(WordTable, EveryTextPresentButPolish123) {
  int filled = 0;
  for (int lang = msEnglish; lang <= msPolish; ++lang)
    for (int w = 0; w < kWordCount; ++w) {
      const std::string own = GetWordText(static_cast<uint8_t>(w), static_cast<TMsgLanguage>(lang));
      EXPECT_FALSE(own.empty()) << lang << " " << w;
      filled += lang != msEnglish && own != GetWordText(static_cast<uint8_t>(w), msEnglish) ? 1 : 0;
    }
  EXPECT_GT(filled, 131 * 8);  // the rows are translations, not copies of English
  EXPECT_EQ(GetWordText(123, msPolish), "Rate");
  EXPECT_EQ(GetWordText(11, msEnglish), "Value");
  EXPECT_EQ(GetWordText(103, msEnglish), "Value");
}

TEST(WordTable, TellingRows) {
  const struct {
    uint8_t word;
    TMsgLanguage lang;
    const char* text;
  } kCases[] = {
      {0, msFrench, "Prévisualisation"},
      {0, msSwedish, "Granska"},
      {3, msSpanish, "Aceptar"},
      {3, msFrench, "Ok"},
      {4, msDutch, "Annuleren"},
      {91, msSwedish, "Skriv ut"},
      {99, msGerman, "Druckbereich auf Seite anpassen"},
      {99, msSwedish, "Exakt"},
      {99, msRussian, "Fit to page"},
      {99, msPortuguese, "Ajustar à página"},
      {120, msGreek, "Apply"},
      {120, msItalian, "Applica"},
      {123, msItalian, "Qualità"},
      {123, msSwedish, "Proportion"},
      {123, msGerman, "Rate"},
      {5, msUser, "Lock preview"},
      {130, msEnglish, "Print Selected"},
      {0, msGreek, "Προεπισκόπηση"},
      {91, msRussian, "Печать"},
  };
  for (const auto& c : kCases) EXPECT_EQ(GetWordText(c.word, c.lang), c.text) << int(c.word) << " " << int(c.lang);
}

TEST(WordTable, UserRowAndRangeChecks) {
  SetWordText(msUser, 5, "预览锁定");
  EXPECT_EQ(GetWordText(5, msUser), "预览锁定");
  SetWordText(msUser, 5, "");
  EXPECT_EQ(GetWordText(5, msUser), "Lock preview");
  SetWordText(13, 0, "x");  // outside the table: ignored
  SetWordText(msUser, 131, "x");
  EXPECT_EQ(GetWordText(131, msEnglish), "");
  EXPECT_EQ(GetWordText(0, static_cast<TMsgLanguage>(200)), "");
}

TEST(WordTable, SystemLocaleRows) {
  const struct {
    const char* code;
    TMsgLanguage lang;
  } kCases[] = {
      {"de", msGerman},  {"el", msGreek},   {"es", msSpanish},    {"fr", msFrench},  {"it", msItalian},
      {"nl", msDutch},   {"pl", msPolish},  {"pt", msPortuguese}, {"ru", msRussian}, {"sv", msSwedish},
      {"en", msEnglish}, {"zh", msEnglish}, {"ja", msEnglish},    {"", msEnglish},
  };
  for (const auto& c : kCases) EXPECT_EQ(LanguageOfLocaleCode(c.code), c.lang) << c.code;
  // msSystem shows the system row as it is, with no English fallback.
  const TMsgLanguage sys = SystemMsgLanguage();
  EXPECT_EQ(GetWordText(123, msSystem), sys == msPolish ? "" : GetWordText(123, sys));
}

// In a fresh process (the death-test child runs this test alone): texts an
// application stores before any dialog exists stay, a lookup before any
// dialog finds the table's texts, and the first dialog overwrites nothing.
TEST(WordTable, WholeFromTheFirstUseAndNeverOverTheApplication) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        SetWordText(msItalian, 3, "Va bene");
        SetWordText(msUser, 91, "打印");
        bool ok = GetWordText(0, msEnglish) == "Preview" && GetWordText(91, msGerman) == "Drucken" &&
                  GetWordText(3, msItalian) == "Va bene";
        TPixoranIO io;
        TfpxPrnForm2 form(io);
        form.ApplyLanguage(msItalian);
        ok = ok && form.Button1->text() == "Va bene" && GetWordText(91, msUser) == "打印" &&
             GetWordText(4, msItalian) == "Annulla";
        std::exit(ok ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}
