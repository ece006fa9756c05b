#pragma once
// Fills the word table the library's dialogs take their captions from.

namespace pixoran {

// Fills rows English to Polish (1,440 texts; Polish has none for word 123).
// Safe to call more than once: the table is filled only the first time.
// Every form of this layer calls it before it reads a caption.
void FillWordTable();

}  // namespace pixoran
