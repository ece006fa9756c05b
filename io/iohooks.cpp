#include "io/iohooks.h"

namespace pixoran {

TPXIOHooks& PXIOHooks() {
  static TPXIOHooks hooks;  // created on first use
  return hooks;
}

}  // namespace pixoran
