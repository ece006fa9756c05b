#pragma once

namespace pixoran {
// Lets the I/O component (and the multi-image component through it) show
// the save-parameters preview dialog and the open and save dialogs with
// preview. Called once at start-up by the program.
void InstallIODialogs();
}  // namespace pixoran
