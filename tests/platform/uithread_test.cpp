// Calls handed to the UI thread for objects that are not controls.
#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QTimer>
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

// Workers post while the UI thread posts Qt events of its own (a view asking
// to be repainted). The workers must not touch Qt's event queue: the thread
// sanitizer cannot see the futexes that guard it and reports the two as a race.
TEST(UIThreadPoster, WorkersPostWhileTheUIThreadPostsItsOwnEvents) {
  TUIThreadPoster poster;
  QObject target;
  constexpr int kPerWorker = 3000;
  std::atomic<int> ran{0};
  std::vector<std::thread> workers;
  for (int w = 0; w < 2; ++w)
    workers.emplace_back([&] {
      for (int i = 0; i < kPerWorker; ++i) poster.Post([&ran] { ++ran; });
    });
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (ran.load() < 2 * kPerWorker && std::chrono::steady_clock::now() < end) {
    // Bursts of varying length, at the low priority of a repaint request, make
    // Qt grow its queue's storage and move what is in it.
    const int burst = 1 + (ran.load() * 7) % 97;
    for (int i = 0; i < burst; ++i)
      QCoreApplication::postEvent(&target, new QEvent(QEvent::User), Qt::LowEventPriority);
    QCoreApplication::processEvents();
  }
  for (std::thread& t : workers) t.join();
  EXPECT_EQ(ran.load(), 2 * kPerWorker);
}

// A call that waits in a nested event loop, as a modal prompt does, still
// lets the calls posted after it run.
TEST(UIThreadPoster, ACallWaitingInANestedLoopLetsLaterCallsRun) {
  TUIThreadPoster poster;
  std::vector<int> order;
  bool secondRan = false;
  std::thread worker([&] {
    poster.Post([&] {
      order.push_back(1);
      QEventLoop loop;
      QTimer giveUp;
      giveUp.setSingleShot(true);
      QObject::connect(&giveUp, &QTimer::timeout, &loop, &QEventLoop::quit);
      giveUp.start(10000);
      QTimer poll;
      QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (secondRan) loop.quit();
      });
      poll.start(1);
      loop.exec();
      order.push_back(3);
    });
    poster.Post([&] {
      order.push_back(2);
      secondRan = true;
    });
  });
  worker.join();
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (order.size() < 3 && std::chrono::steady_clock::now() < end) QCoreApplication::processEvents();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

}  // namespace
}  // namespace pixoran
