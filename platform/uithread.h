#pragma once
// Calls handed to the UI thread for objects that are not controls (the I/O
// component, the thumbnail loader): a worker posts a call, the UI thread runs
// it from its event loop. Controls take posted messages instead
// (PostMessage in controls.h).
#include <functional>
#include <memory>

#include "platform/pxexport.h"

namespace pixoran {

// True on the thread that runs the application's event loop (the thread
// that created the application object); false when there is none.
PIXORAN_PLATFORM_EXPORT bool IsUIThread();

// Owned by the object the calls belong to. Calls posted through it run on
// the UI thread, in the order they were posted, as long as the poster lives;
// once it is destroyed, those not yet run are dropped. Its destructor waits
// for a call that is running at that moment, so it may be destroyed on any
// thread (a component freed from its own worker).
class PIXORAN_PLATFORM_EXPORT TUIThreadPoster {
 public:
  TUIThreadPoster();
  ~TUIThreadPoster();
  TUIThreadPoster(const TUIThreadPoster&) = delete;
  TUIThreadPoster& operator=(const TUIThreadPoster&) = delete;

  // From any thread. False (and the call dropped) without an application.
  bool Post(std::function<void()> call) const;
  // On the UI thread (or without an application) the call runs at once,
  // else it is posted.
  void RunOrPost(std::function<void()> call) const;

  struct TState;  // shared with the queued calls, which may outlive the poster

 private:
  std::shared_ptr<TState> state_;
};

}  // namespace pixoran
