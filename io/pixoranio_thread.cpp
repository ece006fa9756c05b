#include "io/pixoranio_thread.h"

#include <algorithm>
#include <cstdio>

#include "io/pixoranio.h"

namespace pixoran {

bool TPXIOThread::Start(std::shared_ptr<TPXIOThreadList> list, std::function<void()> call) {
  if (!list || !call) return false;
  std::unique_ptr<TPXIOThread> thread(new TPXIOThread(list, std::move(call)));
  TPXIOThread* t = thread.get();
  {
    std::lock_guard<std::mutex> guard(list->Lock);
    list->Threads.push_back(t);
  }
  try {
    std::thread(&TPXIOThread::Execute, t).detach();
  } catch (...) {
    // No thread to be had: the caller runs the operation itself.
    std::lock_guard<std::mutex> guard(list->Lock);
    list->Threads.erase(std::find(list->Threads.begin(), list->Threads.end(), t));
    list->Changed.notify_all();
    return false;
  }
  thread.release();  // the thread frees itself
  return true;
}

void TPXIOThread::Execute() {
  std::unique_ptr<TPXIOThread> self(this);
  // Keeps the list alive after this object is gone, until the end.
  const std::shared_ptr<TPXIOThreadList> list = list_;
  uint64_t finishedBefore = 0;
  {
    std::lock_guard<std::mutex> guard(list->Lock);
    threadId_ = std::this_thread::get_id();
    finishedBefore = list->Finished;
  }
  try {
    call_();
  } catch (...) {
    std::fputs("Exception in TPXIOThread.Execute\n", stderr);
    TPixoranIO* component = nullptr;
    bool owed = false;
    {
      std::lock_guard<std::mutex> guard(list->Lock);
      component = list->Component;
      owed = list->Finished == finishedBefore;
    }
    // Alive: its destructor, on another thread, waits for this one to leave.
    if (component) {
      try {
        component->WorkerFailed(owed);
      } catch (...) {
        // A finishing handler that raises has nobody to tell on a worker.
      }
    }
  }
  call_ = nullptr;  // the call's copies go while the component still lives
  {
    std::lock_guard<std::mutex> guard(list->Lock);
    if (list->Component) list->Component->WorkerLeaving();
    list->Threads.erase(std::find(list->Threads.begin(), list->Threads.end(), this));
    list->Changed.notify_all();
  }
}

}  // namespace pixoran
