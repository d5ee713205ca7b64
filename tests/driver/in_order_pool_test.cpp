#include "driver/in_order_pool.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace phasefit::driver {
namespace {

using Pool = InOrderPool<int, int>;

// Later tasks finish first, so any ordering that follows completion would
// show.
void sleep_for_task(int task, int tasks) {
  std::this_thread::sleep_for(std::chrono::milliseconds(2 * (tasks - task)));
}

TEST(InOrderPool, ResultsComeBackInPushOrderWithinTheWindow) {
  for (const std::size_t workers : {1u, 3u, 8u}) {
    SCOPED_TRACE("workers = " + std::to_string(workers));
    constexpr int kTasks = 20;
    std::atomic<int> running{0};
    std::atomic<int> most_running{0};
    Pool pool(workers, 2 * workers,
              [&](std::size_t worker, const int& task, int& result, const Pool::TurnGate&) {
                EXPECT_LT(worker, workers);
                const int now = ++running;
                int seen = most_running.load();
                while (now > seen && !most_running.compare_exchange_weak(seen, now)) {
                }
                sleep_for_task(task, kTasks);
                result = task * task;
                --running;
              });
    int next = 0;
    std::vector<int> results;
    while (next < kTasks || !pool.empty()) {
      while (next < kTasks && !pool.full()) pool.push(next++);
      EXPECT_LE(pool.size(), 2 * workers);
      pool.release_front();
      results.push_back(pool.wait_front());
      pool.pop_front();
    }
    std::vector<int> expected;
    for (int i = 0; i < kTasks; ++i) expected.push_back(i * i);
    EXPECT_EQ(results, expected);
    EXPECT_LE(most_running.load(), static_cast<int>(workers));
  }
}

TEST(InOrderPool, GatedActionsRunInTaskOrderAfterEveryEarlierTaskIsCommitted) {
  constexpr int kTasks = 12;
  std::mutex log_mutex;
  std::vector<std::string> log;
  const auto note = [&](std::string entry) {
    const std::lock_guard lock(log_mutex);
    log.push_back(std::move(entry));
  };
  Pool pool(4, 8, [&](std::size_t, const int& task, int& result, const Pool::TurnGate& gate) {
    sleep_for_task(task, kTasks);
    // Odd tasks pass the gate twice, as a routine that pauses twice would.
    const int passes = task % 2 == 1 ? 2 : task % 3 == 0 ? 1 : 0;
    for (int i = 0; i < passes; ++i) {
      gate.wait_turn();
      note("gate " + std::to_string(task));
    }
    result = task;
  });
  int next = 0;
  std::vector<std::string> expected;
  while (next < kTasks || !pool.empty()) {
    while (next < kTasks && !pool.full()) pool.push(next++);
    const int task = pool.front_task();
    pool.release_front();
    EXPECT_EQ(pool.wait_front(), task);
    note("commit " + std::to_string(task));
    pool.pop_front();
    const int passes = task % 2 == 1 ? 2 : task % 3 == 0 ? 1 : 0;
    for (int i = 0; i < passes; ++i) expected.push_back("gate " + std::to_string(task));
    expected.push_back("commit " + std::to_string(task));
  }
  EXPECT_EQ(log, expected);
}

TEST(InOrderPool, AFailureReachesTheOwnerAtItsPlaceAndLaterTasksStillComplete) {
  Pool pool(3, 6, [](std::size_t, const int& task, int& result, const Pool::TurnGate&) {
    if (task == 2) throw std::runtime_error("task 2 failed");
    result = task;
  });
  for (int i = 0; i < 5; ++i) pool.push(i);
  for (int i = 0; i < 5; ++i) {
    pool.release_front();
    if (i == 2) {
      EXPECT_THROW(pool.wait_front(), std::runtime_error);
    } else {
      EXPECT_EQ(pool.wait_front(), i);
    }
    pool.pop_front();
  }
}

TEST(InOrderPool, DestroyingThePoolCancelsWaitingGatesAndDropsQueuedTasks) {
  std::atomic<int> started{0};
  std::atomic<int> cancelled{0};
  std::atomic<int> passed{0};
  {
    Pool pool(2, 10, [&](std::size_t, const int&, int&, const Pool::TurnGate& gate) {
      ++started;
      try {
        gate.wait_turn();
        ++passed;
      } catch (const PoolCancelled&) {
        ++cancelled;
        throw;
      }
    });
    for (int i = 0; i < 10; ++i) pool.push(i);
    // Both workers reach their gates; none is ever released.
    while (started.load() < 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(started.load(), 2);
  EXPECT_EQ(cancelled.load(), 2);
  EXPECT_EQ(passed.load(), 0);
}

TEST(InOrderPool, ADiscardedTaskNeverPassesItsGateAndLaterTasksGoOn) {
  // Every task passes its gate; task 1 is discarded, whether it is already
  // waiting at the gate or not yet started (one worker, so task 2 waits).
  for (const std::size_t workers : {1u, 3u}) {
    SCOPED_TRACE("workers = " + std::to_string(workers));
    std::mutex log_mutex;
    std::vector<int> gated;
    Pool pool(workers, 4,
              [&](std::size_t, const int& task, int& result, const Pool::TurnGate& gate) {
                gate.wait_turn();
                const std::lock_guard lock(log_mutex);
                gated.push_back(task);
                result = task;
              });
    for (int task = 0; task < 4; ++task) pool.push(task);
    std::vector<int> results;
    for (int task = 0; task < 4; ++task) {
      if (task == 1) {
        pool.discard_front();
        continue;
      }
      pool.release_front();
      results.push_back(pool.wait_front());
      pool.pop_front();
    }
    EXPECT_TRUE(pool.empty());
    EXPECT_EQ(results, (std::vector<int>{0, 2, 3}));
    EXPECT_EQ(gated, (std::vector<int>{0, 2, 3}));
  }
}

}  // namespace
}  // namespace phasefit::driver
