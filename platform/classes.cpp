#include "platform/classes.h"

#include <algorithm>

namespace pixoran {

TComponent::~TComponent() { NotifyRemoval(); }

void TComponent::Unlink(TComponent* other) { std::erase(links_, other); }

void TComponent::FreeNotification(TComponent* listener) {
  if (!listener || listener == this) return;
  if (std::find(links_.begin(), links_.end(), listener) == links_.end()) links_.push_back(listener);
  if (std::find(listener->links_.begin(), listener->links_.end(), this) == listener->links_.end())
    listener->links_.push_back(this);
}

void TComponent::RemoveFreeNotification(TComponent* listener) {
  if (!listener) return;
  Unlink(listener);
  listener->Unlink(this);
}

void TComponent::NotifyRemoval() {
  // Taken out first: a listener may link or unlink while it is told.
  std::vector<TComponent*> links = std::move(links_);
  links_.clear();
  for (TComponent* c : links) c->Unlink(this);
  for (TComponent* c : links) c->ComponentRemoved(this);
}

}  // namespace pixoran
