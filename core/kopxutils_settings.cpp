#include "core/kopxutils_settings.h"

namespace pixoran {

TPXSettings& PXSettings() {
  static TPXSettings settings;  // created on first use
  return settings;
}

}  // namespace pixoran
