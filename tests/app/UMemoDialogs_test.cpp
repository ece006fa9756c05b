#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>

#include "app/UMemoDialogs.h"
#include "platform/graphics.h"
#include "testsupport.h"
#include "view/pxtextc.h"

using namespace pixoran;

namespace {
// Accepts the next modal dialog once it shows.
void AcceptNextDialog() {
  pixoran::testing::WhenShown(
      [](QWidget* w) { return w == QApplication::activeModalWidget() && qobject_cast<QDialog*>(w); },
      [](QWidget* w) { static_cast<QDialog*>(w)->accept(); });
}
}  // namespace

// Accepting the dialogs unchanged gives back what they were opened with.
TEST(MemoDialogs, AcceptedUnchangedKeepTheChoice) {
  tolvaren::InstallMemoDialogs();
  TPXMemoFontChoice choice{"Noto Sans CJK SC", -17, mfsBold | mfsUnderline, clRed};
  AcceptNextDialog();
  ASSERT_TRUE(PXMemoFontDialogHook(choice));
  EXPECT_EQ(choice.Height, -17);
  EXPECT_EQ(choice.Style, mfsBold | mfsUnderline);
  EXPECT_FALSE(choice.Name.empty());
  TColor colour = RGBColor(10, 200, 30);
  AcceptNextDialog();
  ASSERT_TRUE(PXMemoColorDialogHook(colour));
  EXPECT_EQ(colour, RGBColor(10, 200, 30));
  PXMemoFontDialogHook = nullptr;
  PXMemoColorDialogHook = nullptr;
}
