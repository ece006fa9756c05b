#include "core/pxpool.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "core/kopxutils_bitmap.h"
#include "core/kopxutils_settings.h"

namespace pixoran {

namespace {

// Set on the pool's own threads: a worker that calls PXParallelRows again
// works its rows itself.
thread_local bool t_poolThread = false;

// One call's bands. Helpers hold it by shared pointer, so one that comes
// late finds every band taken and leaves without touching the caller's
// worker, which may be gone by then.
struct TBandJob {
  const TPXRowWorker* Worker = nullptr;
  int32_t Rows = 0;
  int32_t Bands = 0;
  std::atomic<int32_t> Next{0};
  std::atomic<bool> Stop{false};

  std::mutex Lock;
  std::condition_variable Finished;
  std::vector<uint8_t> Done;  // per band, under Lock
  int32_t DoneCount = 0;      // under Lock
  std::exception_ptr Error;   // the first one, under Lock

  int32_t First(int32_t band) const { return static_cast<int32_t>(int64_t{Rows} * band / Bands); }

  // Takes one band and works it; false when none is left. A band taken
  // after a stop is only marked done, so the caller's wait always ends.
  bool WorkOne() {
    const int32_t b = Next.fetch_add(1);
    if (b >= Bands) return false;
    if (!Stop.load()) {
      try {
        (*Worker)(First(b), First(b + 1));
      } catch (...) {
        std::lock_guard<std::mutex> g(Lock);
        if (!Error) Error = std::current_exception();
        Stop.store(true);
      }
    }
    {
      std::lock_guard<std::mutex> g(Lock);
      Done[static_cast<size_t>(b)] = 1;
      ++DoneCount;
    }
    Finished.notify_all();
    return true;
  }
};

// Threads that wait for jobs. A job is lent only the threads free at the
// moment (busy_ counts the lent ones), so the threads of all callers together
// never exceed the setting however many call at once. The pool lives until
// the process ends: a detached worker of another component may still hand
// it rows while the process exits.
class TBandPool {
 public:
  // Lends up to wanted threads to the job; gives the number lent. Threads
  // that cannot be started (a process under a thread or memory limit) are
  // simply not lent.
  int32_t Lend(const std::shared_ptr<TBandJob>& job, int32_t wanted, int32_t limit) {
    std::lock_guard<std::mutex> g(lock_);
    int32_t n = std::max(0, std::min(wanted, limit - busy_));
    while (started_ < busy_ + n) {
      try {
        std::thread([this] { Run(); }).detach();
      } catch (...) {
        break;
      }
      ++started_;
    }
    n = std::max(0, std::min(n, started_ - busy_));
    int32_t lent = 0;
    try {
      for (; lent < n; ++lent) queue_.push_back(job);
    } catch (const std::bad_alloc&) {}
    busy_ += lent;
    if (lent > 0) wake_.notify_all();
    return lent;
  }

 private:
  void Run() {
    t_poolThread = true;
    std::unique_lock<std::mutex> g(lock_);
    for (;;) {
      wake_.wait(g, [this] { return !queue_.empty(); });
      std::shared_ptr<TBandJob> job = std::move(queue_.front());
      queue_.pop_front();
      g.unlock();
      while (job->WorkOne()) {}
      job.reset();
      g.lock();
      --busy_;
    }
  }

  std::mutex lock_;
  std::condition_variable wake_;
  std::deque<std::shared_ptr<TBandJob>> queue_;
  int32_t started_ = 0;  // threads running Run (detached)
  int32_t busy_ = 0;
};

TBandPool& Pool() {
  // Never destroyed (see above).
  union Holder {
    TBandPool pool;
    Holder() : pool() {}
    ~Holder() {}
  };
  static Holder holder;
  return holder.pool;
}

// Every band on this thread, in order, told to the handler as it ends.
bool RunInline(int32_t rows, const TPXRowWorker& worker, const TPXRowsDone& done) {
  if (!done) {
    worker(0, rows);
    return true;
  }
  for (int32_t y = 0; y < rows; ++y) {
    worker(y, y + 1);
    if (!done(y, y + 1)) return false;
  }
  return true;
}

}  // namespace

int32_t PXThreadCount() {
  int32_t n = PXSettings().ThreadCount.load(std::memory_order_relaxed);
  if (n <= 0) n = static_cast<int32_t>(std::thread::hardware_concurrency());
  return std::max(n, 1);
}

bool PXRowsShareable(std::initializer_list<TPXBitmap*> bitmaps) {
  for (TPXBitmap* b : bitmaps)
    if (b && b->Location() == pxTempFile) return false;
  return true;
}

std::vector<uint8_t*> PXRowPointers(TPXBitmap& bitmap) {
  std::vector<uint8_t*> rows;
  if (bitmap.Location() == pxTempFile) return rows;
  const int32_t h = bitmap.Height();
  rows.resize(static_cast<size_t>(std::max(h, 0)));
  for (int32_t y = 0; y < h; ++y) rows[static_cast<size_t>(y)] = bitmap.Scanline(y);
  return rows;
}

bool PXParallelRows(int32_t rows, int64_t pixelsPerRow, const TPXRowWorker& worker, bool serial,
                    const TPXRowsDone& done) {
  if (rows <= 0) return true;
  const int32_t threads = serial || t_poolThread ? 1 : PXThreadCount();
  const int64_t total = int64_t{rows} * std::max<int64_t>(pixelsPerRow, 1);
  // A few bands per thread even out uneven rows; none below the least size.
  const int64_t bySize = std::max<int64_t>(1, total / kPXMinBandPixels);
  const auto bands = static_cast<int32_t>(std::min<int64_t>({bySize, rows, int64_t{threads} * 4}));
  if (threads <= 1 || bands <= 1) return RunInline(rows, worker, done);

  std::shared_ptr<TBandJob> job;
  try {
    job = std::make_shared<TBandJob>();
    job->Done.assign(static_cast<size_t>(bands), 0);
  } catch (const std::bad_alloc&) {
    return RunInline(rows, worker, done);  // the rows themselves need nothing more
  }
  job->Worker = &worker;
  job->Rows = rows;
  job->Bands = bands;
  if (Pool().Lend(job, std::min(threads, bands) - 1, threads - 1) == 0) return RunInline(rows, worker, done);

  // Tells the handler of the bands finished in a row from the top; false
  // once it asked to stop or raised.
  int32_t told = 0;
  bool stopped = false;
  std::exception_ptr handlerError;
  auto tell = [&](std::unique_lock<std::mutex>& g) {
    while (told < bands && job->Done[static_cast<size_t>(told)]) {
      if (job->Stop.load()) {
        told = bands;  // nothing more is told after a stop
        break;
      }
      const int32_t b = told++;
      if (!done) continue;
      g.unlock();
      bool goOn = false;
      try {
        goOn = done(job->First(b), job->First(b + 1));
      } catch (...) {
        handlerError = std::current_exception();
      }
      g.lock();
      if (!goOn) {
        stopped = true;
        job->Stop.store(true);
      }
    }
  };

  // The caller takes bands like any helper and, between them, tells what is
  // done; then it waits for the bands the helpers still work on.
  while (job->WorkOne()) {
    std::unique_lock<std::mutex> g(job->Lock);
    tell(g);
  }
  {
    std::unique_lock<std::mutex> g(job->Lock);
    for (;;) {
      tell(g);
      if (job->DoneCount == bands) break;
      job->Finished.wait(g);
    }
    tell(g);
  }
  if (job->Error) std::rethrow_exception(job->Error);
  if (handlerError) std::rethrow_exception(handlerError);
  return !stopped;
}

}  // namespace pixoran
