// Calls handed to the UI thread for objects that are not controls.
#include <QCoreApplication>
#include <QThread>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/uithread.h"

namespace pixoran {
namespace {

bool OnMainThread() { return QThread::currentThread() == QCoreApplication::instance()->thread(); }

TEST(UIThreadPoster, WorkerCallsRunOnTheUIThreadInOrderUntilThePosterGoes) {
  auto poster = std::make_unique<TUIThreadPoster>();
  std::vector<int> order;  // touched on the UI thread only
  std::atomic<bool> offUI{false};
  std::thread worker([&] {
    EXPECT_FALSE(IsUIThread());
    for (int i = 0; i < 50; ++i)
      poster->Post([&order, &offUI, i] {
        if (!OnMainThread()) offUI = true;
        order.push_back(i);
      });
    poster->RunOrPost([&order] { order.push_back(50); });  // not the UI thread: queued too
  });
  worker.join();
  EXPECT_TRUE(IsUIThread());
  EXPECT_TRUE(order.empty());  // nothing before the event loop runs
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (order.size() < 51 && std::chrono::steady_clock::now() < end) QCoreApplication::processEvents();
  ASSERT_EQ(order.size(), 51u);
  for (int i = 0; i <= 50; ++i) EXPECT_EQ(order[static_cast<size_t>(i)], i);
  EXPECT_FALSE(offUI);

  // Queued from a worker, then the poster goes: dropped.
  bool ran = false;
  std::thread late([&] { poster->Post([&ran] { ran = true; }); });
  late.join();
  poster.reset();
  QCoreApplication::processEvents();
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace pixoran
