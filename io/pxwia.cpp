#include "io/pxwia.h"

namespace pixoran {

// Creating the device manager fails on this platform; failures are not
// reported, the manager just stays null.
TPXWia::TPXWia(TComponent* owner) : owner_(owner) {}

TPXWia::~TPXWia() {
  manager_ = nullptr;
  ClearDevices();
}

void TPXWia::ClearDevices() {
  while (!devices_.empty()) devices_.erase(devices_.begin());
}

}  // namespace pixoran
