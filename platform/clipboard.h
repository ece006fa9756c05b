#pragma once
// The system clipboard: plain text and private formats registered by name.
// Everything a copy puts there goes in one piece, so setting the text does
// not drop the private data beside it.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/pxexport.h"

namespace pixoran {

using TClipboardFormat = uint32_t;

// Registers a private format by name (start-up, before the UI runs): the
// same name always gives the same number, numbers start at 0xC000. No GUI
// application is needed.
PIXORAN_PLATFORM_WIDGETS_EXPORT TClipboardFormat RegisterClipboardFormat(const std::string& name);
// The registered name, "" for an unknown number.
PIXORAN_PLATFORM_WIDGETS_EXPORT std::string ClipboardFormatName(TClipboardFormat format);

struct PIXORAN_PLATFORM_WIDGETS_EXPORT TClipboardItem {
  TClipboardFormat Format = 0;
  std::string Data;  // raw bytes
};

// Replaces the clipboard's content with the plain text (UTF-8, when given)
// and the private items. False when there is no clipboard (no GUI
// application) or a format is not registered.
PIXORAN_PLATFORM_WIDGETS_EXPORT bool ClipboardSet(const std::optional<std::string>& textUtf8,
                                                  const std::vector<TClipboardItem>& items);
PIXORAN_PLATFORM_WIDGETS_EXPORT bool ClipboardHasFormat(TClipboardFormat format);
// The bytes of a private format; nullopt when absent.
PIXORAN_PLATFORM_WIDGETS_EXPORT std::optional<std::string> ClipboardGet(TClipboardFormat format);
// The plain text as UTF-8; nullopt when the clipboard holds none.
PIXORAN_PLATFORM_WIDGETS_EXPORT std::optional<std::string> ClipboardGetText();

}  // namespace pixoran
