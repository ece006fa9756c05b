#pragma once
// The background I/O thread: one operation of an I/O component, stored as a
// call with its arguments copied, run on a thread of its own. The thread
// calls the very same operation again; being one of the component's
// workers, that call then runs synchronously.
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/pxexport.h"

namespace pixoran {

class TPixoranIO;
class TPXIOThread;

// The component's list of running workers, in a block the workers share:
// a worker that outlives its component (one that freed the component from
// its own operation) still finds the lock and the list alive.
struct PIXORAN_IO_EXPORT TPXIOThreadList {
  std::mutex Lock;
  std::condition_variable Changed;  // signalled whenever a worker leaves
  std::vector<TPXIOThread*> Threads;
  // Cleared (under Lock) when the component goes.
  TPixoranIO* Component = nullptr;
  // Operations that fired their finishing events; a worker compares it
  // before and after its call to know whether an escaped exception still
  // owes them.
  uint64_t Finished = 0;
};

class PIXORAN_IO_EXPORT TPXIOThread {
 public:
  // Enters the list, starts the thread and returns at once; the thread
  // leaves the list and frees itself when the call returns. An exception
  // out of the call is caught there: the component's Aborting is set and,
  // when the operation did not get to fire them, the finishing events fire.
  // False (nothing started) when no thread can be had.
  static bool Start(std::shared_ptr<TPXIOThreadList> list, std::function<void()> call);

  // The running thread's id; a default id until the thread has started.
  std::thread::id ThreadId() const { return threadId_; }

 private:
  TPXIOThread(std::shared_ptr<TPXIOThreadList> list, std::function<void()> call)
      : list_(std::move(list)), call_(std::move(call)) {}
  void Execute();

  std::shared_ptr<TPXIOThreadList> list_;
  std::function<void()> call_;
  std::thread::id threadId_;  // written and read under the list's lock
};

}  // namespace pixoran
