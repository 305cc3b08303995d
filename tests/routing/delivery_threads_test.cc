#include "routing/delivery_threads.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;

delivery_result result_with_role(int32_t role) {
  delivery_result r;
  r.role = role;
  return r;
}

TEST(DeliveryThreadsTest, RunsTwoDeliveriesAtTheSameTime) {
  delivery_threads threads(2);
  ASSERT_TRUE(threads.start());
  EXPECT_TRUE(threads.start());
  // Each job waits until both have begun: only parallel threads finish.
  std::atomic<int> begun{0};
  auto job = [&begun](int32_t role) {
    return [&begun, role] {
      ++begun;
      const auto deadline = std::chrono::steady_clock::now() + 5s;
      while (begun.load() < 2 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
      }
      return result_with_role(begun.load() == 2 ? role : -1);
    };
  };
  auto first = threads.submit(job(1));
  auto second = threads.submit(job(2));
  EXPECT_EQ(first.get().role, 1);
  EXPECT_EQ(second.get().role, 2);
}

TEST(DeliveryThreadsTest, FinishesQueuedWorkOnStopAndRunsLaterWorkInline) {
  delivery_threads threads(1);
  ASSERT_TRUE(threads.start());
  std::vector<std::future<delivery_result>> results;
  for (int i = 0; i < 20; ++i) {
    results.push_back(threads.submit([i] {
      std::this_thread::sleep_for(1ms);
      return result_with_role(i);
    }));
  }
  threads.stop();
  for (int i = 0; i < 20; ++i) EXPECT_EQ(results[i].get().role, i);
  threads.stop();  // idempotent

  const std::thread::id caller = std::this_thread::get_id();
  std::thread::id ran_on;
  auto late = threads.submit([&ran_on] {
    ran_on = std::this_thread::get_id();
    return result_with_role(7);
  });
  EXPECT_EQ(late.get().role, 7);
  EXPECT_EQ(ran_on, caller);
}

}  // namespace
}  // namespace tolvarine::operator_control
