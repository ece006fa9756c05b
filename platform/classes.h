#pragma once
// Root of the framework's objects (what an event's Sender points at) and the
// component with an owner and free notification.
#include <functional>
#include <vector>

#include "platform/pxexport.h"

namespace pixoran {

class PIXORAN_PLATFORM_EXPORT TObject {
 public:
  virtual ~TObject() = default;
};

// An event with nothing to tell but who sent it.
using TNotifyEvent = std::function<void(TObject* sender)>;

// A component knows its owner; the owner keeps (and frees) what it owns
// through its own members. A component that holds a pointer to another asks
// it for free notification: when the other goes, its destructor calls this
// one's ComponentRemoved, so the pointer is dropped before it dangles. The
// link is kept on both sides, so whichever goes first unlinks itself.
class PIXORAN_PLATFORM_EXPORT TComponent : public TObject {
 public:
  explicit TComponent(TComponent* owner = nullptr) : owner_(owner) {}
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;
  TComponent* Owner() const { return owner_; }

  // Tells listener (through its ComponentRemoved) when this component goes.
  // Asking twice is the same as asking once.
  void FreeNotification(TComponent* listener);
  void RemoveFreeNotification(TComponent* listener);

 protected:
  // component is going: its own destructor is running, so only its address
  // may be used (compare, forget), not its members.
  virtual void ComponentRemoved(TComponent* /*component*/) {}
  // Sends the removal notices now. A class whose listeners hold pointers into
  // its members (a picture) calls it first thing in its destructor, while
  // those members still live; the base destructor sends whatever is left.
  void NotifyRemoval();

 private:
  void Unlink(TComponent* other);
  TComponent* owner_;
  std::vector<TComponent*> links_;  // listeners, and the components this one listens to
};

}  // namespace pixoran
