#pragma once
// Whether this build has a format's filter: a build without an optional
// codec (JPEG 2000 without OpenJPEG) keeps the format's record but offers it
// neither for reading nor for writing. Tables skip such rows.
#include <string>

#include "io/pxformats.h"

namespace pixoran::testing {

inline bool FormatBuilt(const TPXFileFormatInfo* info) {
  return info == nullptr || info->ReadFunction != nullptr || info->WriteFunction != nullptr;
}
inline bool FormatBuilt(int32_t fileType) { return FormatBuilt(FindFileFormatInfo(fileType)); }
inline bool FormatBuilt(const std::string& extension) { return FormatBuilt(FindFileFormatInfoByExtension(extension)); }

}  // namespace pixoran::testing
