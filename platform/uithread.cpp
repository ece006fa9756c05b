#include "platform/uithread.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <deque>
#include <mutex>

namespace pixoran {

struct TUIThreadPoster::TState {
  // Held while a call runs. Recursive: a posted call may destroy its own poster.
  std::recursive_mutex Lock;
  bool Alive = true;
  // The calls themselves go through this queue under a lock of our own, so
  // what a worker wrote before posting is handed over through a lock the
  // thread sanitizer follows (Qt's event queue synchronises with futexes it
  // cannot see). Qt's queued event only says "run the next one".
  std::mutex QueueLock;
  std::deque<std::function<void()>> Queue;
};

namespace {

void RunNext(TUIThreadPoster::TState& state) {
  std::function<void()> call;
  {
    std::lock_guard<std::mutex> q(state.QueueLock);
    if (state.Queue.empty()) return;
    call = std::move(state.Queue.front());
    state.Queue.pop_front();
  }
  std::lock_guard<std::recursive_mutex> guard(state.Lock);
  if (state.Alive) call();
}

}  // namespace

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
  {
    std::lock_guard<std::mutex> q(state_->QueueLock);
    state_->Queue.push_back(std::move(call));
  }
  std::shared_ptr<TState> state = state_;
  QMetaObject::invokeMethod(
      app, [state] { RunNext(*state); }, Qt::QueuedConnection);
  return true;
}

void TUIThreadPoster::RunOrPost(std::function<void()> call) const {
  if (!call) return;
  // Without an application there is no other thread to hand it to.
  if (IsUIThread() || QCoreApplication::instance() == nullptr) call();
  else Post(std::move(call));
}

}  // namespace pixoran
