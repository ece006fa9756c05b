#include "platform/uithread.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QMetaObject>
#include <QSocketNotifier>
#include <QThread>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <mutex>
#include <utility>

namespace pixoran {

struct TUIThreadPoster::TState {
  // Held while a call runs. Recursive: a posted call may destroy its own poster.
  std::recursive_mutex Lock;
  bool Alive = true;
};

namespace {

// Workers never touch Qt here. Qt's event queue is guarded by futexes the
// thread sanitizer cannot see, so a worker posting into it while the UI
// thread posts a repaint reads as a race. A worker puts its call in a queue
// of our own and writes to an eventfd; a socket notifier on the UI thread
// wakes up and runs the calls there.
struct TWakeQueue {
  std::mutex Lock;
  std::deque<std::pair<std::shared_ptr<TUIThreadPoster::TState>, std::function<void()>>> Calls;
  bool ContinuePosted = false;  // UI thread only
  int Fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  std::atomic<bool> Listening{false};
};

// Never destroyed: a worker may still post while the process exits.
TWakeQueue& Queue() {
  static TWakeQueue* q = new TWakeQueue;
  return *q;
}

void Signal(TWakeQueue& q) {
  const uint64_t one = 1;
  // A full counter (never reached) or an interrupted write still leaves the
  // descriptor readable, which is all the UI thread needs.
  while (write(q.Fd, &one, sizeof one) < 0 && errno == EINTR) {}
}

// On the UI thread: runs the queued calls in the order they were posted.
// Before each call it asks Qt (from this thread, so safely) to come back for
// the rest, so a call that waits in a nested event loop (a modal prompt)
// does not hold up those posted after it.
void RunQueued() {
  TWakeQueue& q = Queue();
  uint64_t count = 0;
  while (read(q.Fd, &count, sizeof count) < 0 && errno == EINTR) {}
  for (;;) {
    std::pair<std::shared_ptr<TUIThreadPoster::TState>, std::function<void()>> next;
    bool more = false;
    {
      std::lock_guard<std::mutex> guard(q.Lock);
      if (q.Calls.empty()) return;
      next = std::move(q.Calls.front());
      q.Calls.pop_front();
      more = !q.Calls.empty();
    }
    if (more && !q.ContinuePosted) {
      q.ContinuePosted = true;
      QMetaObject::invokeMethod(
          QCoreApplication::instance(),
          [] {
            Queue().ContinuePosted = false;
            RunQueued();
          },
          Qt::QueuedConnection);
    }
    TUIThreadPoster::TState& state = *next.first;
    std::lock_guard<std::recursive_mutex> guard(state.Lock);
    if (state.Alive) next.second();
  }
}

// Called by every application object as it is built, on its own thread.
void Listen() {
  QCoreApplication* app = QCoreApplication::instance();
  TWakeQueue& q = Queue();
  if (app == nullptr || q.Fd < 0) return;
  auto* notifier = new QSocketNotifier(q.Fd, QSocketNotifier::Read, app);
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [] { RunQueued(); });
  QObject::connect(app, &QObject::destroyed, [] {
    TWakeQueue& queue = Queue();
    queue.Listening = false;
    decltype(queue.Calls) dropped;
    std::lock_guard<std::mutex> guard(queue.Lock);
    dropped.swap(queue.Calls);
  });
  q.Listening = true;
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(Listen)

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
  TWakeQueue& q = Queue();
  if (QCoreApplication::instance() == nullptr || !call || !q.Listening) return false;
  {
    std::lock_guard<std::mutex> guard(q.Lock);
    q.Calls.emplace_back(state_, std::move(call));
  }
  Signal(q);
  return true;
}

void TUIThreadPoster::RunOrPost(std::function<void()> call) const {
  if (!call) return;
  // Without an application there is no other thread to hand it to.
  if (IsUIThread() || QCoreApplication::instance() == nullptr) call();
  else Post(std::move(call));
}

}  // namespace pixoran
