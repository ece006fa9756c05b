#pragma once
// The font and colour dialogs the memo editor's Ctrl+F and Ctrl+G open.

namespace tolvaren {

// Sets the memo editor's dialog hooks to Qt's font and colour dialogs.
void InstallMemoDialogs();

}  // namespace tolvaren
