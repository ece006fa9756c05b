#include "platform/uithread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <mutex>

namespace pixoran {

struct TUIThreadPoster::TState {
  // Recursive: a posted call may destroy its own poster.
  std::recursive_mutex Lock;
  bool Alive = true;
};

bool IsUIThread() {
  const QCoreApplication* app = QCoreApplication::instance();
  return app != nullptr && QThread::currentThread() == app->thread();
}

TUIThreadPoster::TUIThreadPoster() : state_(std::make_shared<TState>()) {}

TUIThreadPoster::~TUIThreadPoster() {
  std::lock_guard<std::recursive_mutex> guard(state_->Lock);
  state_->Alive = false;
}

bool TUIThreadPoster::Post(std::function<void()> call) const {
  QCoreApplication* app = QCoreApplication::instance();
  if (app == nullptr || !call) return false;
  // The queued call holds the state, not the poster: the poster may be gone
  // by the time the event loop reaches it.
  std::shared_ptr<TState> state = state_;
  QMetaObject::invokeMethod(
      app,
      [state, call = std::move(call)] {
        std::lock_guard<std::recursive_mutex> guard(state->Lock);
        if (state->Alive) call();
      },
      Qt::QueuedConnection);
  return true;
}

void TUIThreadPoster::RunOrPost(std::function<void()> call) const {
  if (!call) return;
  // Without an application there is no other thread to hand it to.
  if (IsUIThread() || QCoreApplication::instance() == nullptr)
    call();
  else
    Post(std::move(call));
}

}  // namespace pixoran
