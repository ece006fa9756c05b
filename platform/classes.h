#pragma once
// Root of the framework's objects: what an event's Sender points at.

namespace pixoran {

class TObject {
 public:
  virtual ~TObject() = default;
};

}  // namespace pixoran
