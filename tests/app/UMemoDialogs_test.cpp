#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QTimer>

#include "app/UMemoDialogs.h"
#include "platform/graphics.h"
#include "view/pxtextc.h"

using namespace pixoran;

namespace {
// Accepts whichever dialog is showing once the event loop runs.
void AcceptNextDialog() {
  QTimer::singleShot(0, [] {
    if (auto* d = qobject_cast<QDialog*>(QApplication::activeModalWidget())) d->accept();
  });
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
