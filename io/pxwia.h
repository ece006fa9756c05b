#pragma once
// Scanner and camera acquisition object. The platform's image-acquisition
// device manager does not exist here: it cannot be created, the interface
// stays null and the device list stays empty (no device is present).
#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "platform/pxexport.h"
#include "platform/classes.h"

namespace pixoran {

class PIXORAN_IO_EXPORT TPXWia {
 public:
  explicit TPXWia(TComponent* owner);
  // Releases the manager, ClearDevices.
  ~TPXWia();
  TPXWia(const TPXWia&) = delete;
  TPXWia& operator=(const TPXWia&) = delete;

  // Frees the device entries from the first on.
  void ClearDevices();
  int32_t DeviceCount() const { return static_cast<int32_t>(devices_.size()); }
  // Null when the device manager could not be created (always, here).
  void* DeviceManager() const { return manager_; }
  TComponent* Owner() const { return owner_; }
  // Transfer progress in percent; the answer false asks to stop. The I/O
  // component that creates the object sets it.
  std::function<bool(int32_t percent)> OnProgress;

 private:
  void* manager_ = nullptr;
  std::vector<std::unique_ptr<TObject>> devices_;
  std::unique_ptr<TObject> current_;
  TComponent* owner_;
  [[maybe_unused]] std::array<uint8_t, 16> selection_{};
  [[maybe_unused]] uint8_t flag_ = 1;
  [[maybe_unused]] uint32_t reserved_ = 0;
};

}  // namespace pixoran
