#include "routing/command_router.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "common/mutex.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

// Addresses that are not dotted quads: deliveries fail in the transport
// without touching the network, yet show which servers were attempted.
class CommandRouterTest : public ::testing::Test {
 protected:
  CommandRouterTest() {
    config_.merge_discovered({{"main-host", 5000, "Server A", "S-MAIN"},
                              {"backup-host", 5000, "Server B", "S-BACK"},
                              {"solo-host", 5000, "Server C", "S-SOLO"}});
    config_.configure_pair(true, "S-MAIN", "S-BACK");
    config_.set_shared_functions({1, 2, 3});
  }

  std::vector<std::string> take_lines() {
    mutex_lock lock(log_mutex_);
    return std::exchange(lines_, {});
  }

  testing::temp_dir dir_;
  control_config config_{dir_.file("operator-control.json")};
  mutex log_mutex_;
  std::vector<std::string> lines_ GUARDED_BY(log_mutex_);
  command_router router_{config_, [this](const std::string& line) {
                           mutex_lock lock(log_mutex_);
                           lines_.push_back(line);
                         }};
};

// A delivery that was attempted to `address` for a server of `role`.
::testing::AssertionResult Delivery(const delivery_result& d, int32_t role, const char* address) {
  const std::string error = std::string("Invalid IPv4 address: ") + address;
  if (d.role == role && d.attempted && !d.sent && d.error == error) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "role=" << d.role << " attempted=" << d.attempted
                                       << " sent=" << d.sent << " error=" << d.error;
}

TEST_F(CommandRouterTest, SharedFunctionGoesToTargetThenBackup) {
  const fanout_result r = router_.route_streamdeck(2, "", "GO|2");
  EXPECT_EQ(r.payload, "GO|2");
  ASSERT_EQ(r.deliveries.size(), 2u);
  EXPECT_TRUE(Delivery(r.deliveries[0], 1, "main-host"));
  EXPECT_TRUE(Delivery(r.deliveries[1], 2, "backup-host"));
  EXPECT_EQ(take_lines(), (std::vector<std::string>{
                              "[route] Main -> main-host:1256 serial=S-MAIN",
                              "[route] Backup -> backup-host:1256 serial=S-BACK"}));
}

TEST_F(CommandRouterTest, UnsharedFunctionGoesToTargetOnly) {
  const fanout_result r = router_.route_streamdeck(18, "S-MAIN", "GO");
  ASSERT_EQ(r.deliveries.size(), 1u);
  EXPECT_TRUE(Delivery(r.deliveries[0], 1, "main-host"));
  EXPECT_EQ(take_lines(),
            (std::vector<std::string>{"[route] Main -> main-host:1256 serial=S-MAIN"}));

  // Any server can be the target; the log still calls it "Main" and a
  // shared function finds no Backup naming it.
  const fanout_result solo = router_.route_streamdeck(1, "S-SOLO", "GO");
  ASSERT_EQ(solo.deliveries.size(), 1u);
  EXPECT_TRUE(Delivery(solo.deliveries[0], 0, "solo-host"));
  EXPECT_EQ(take_lines(), (std::vector<std::string>{
                              "[route] Main -> solo-host:1256 serial=S-SOLO",
                              "[route] Backup unavailable for Main S-SOLO"}));
}

TEST_F(CommandRouterTest, OfflineServersAreSkippedWithTheirLogLines) {
  config_.set_health_presence("S-MAIN", false);
  const fanout_result shared = router_.route_streamdeck(3, "", "GO");
  ASSERT_EQ(shared.deliveries.size(), 1u);
  EXPECT_TRUE(Delivery(shared.deliveries[0], 2, "backup-host"));
  EXPECT_EQ(take_lines(), (std::vector<std::string>{
                              "[route] Main offline -> S-MAIN",
                              "[route] Backup -> backup-host:1256 serial=S-BACK"}));

  EXPECT_TRUE(router_.route_streamdeck(4, "", "GO").deliveries.empty());
  EXPECT_EQ(take_lines(), (std::vector<std::string>{"[route] Main offline -> S-MAIN"}));

  config_.set_health_presence("S-MAIN", true);
  config_.set_health_presence("S-BACK", false);
  const fanout_result no_backup = router_.route_streamdeck(1, "", "GO");
  ASSERT_EQ(no_backup.deliveries.size(), 1u);
  EXPECT_TRUE(Delivery(no_backup.deliveries[0], 1, "main-host"));
  EXPECT_EQ(take_lines(), (std::vector<std::string>{
                              "[route] Main -> main-host:1256 serial=S-MAIN",
                              "[route] Backup unavailable for Main S-MAIN"}));
}

TEST_F(CommandRouterTest, EveryRequestTakesTheNextSequenceNumber) {
  EXPECT_EQ(router_.route_streamdeck(1, "", "GO").sequence, 1u);
  const fanout_result unknown = router_.route_streamdeck(1, "S-NOBODY", "GO");
  EXPECT_EQ(unknown.sequence, 2u);
  EXPECT_EQ(unknown.payload, "GO");
  EXPECT_TRUE(unknown.deliveries.empty());
  EXPECT_EQ(router_.route_streamdeck(1, "", "GO").sequence, 3u);
  take_lines();

  // Without a Main, the default target is unknown too: no line at all.
  control_config empty(dir_.file("empty.json"));
  command_router quiet(empty, [this](const std::string& line) {
    mutex_lock lock(log_mutex_);
    lines_.push_back(line);
  });
  EXPECT_EQ(quiet.route_streamdeck(1, "", "GO").sequence, 1u);
  EXPECT_TRUE(take_lines().empty());
}

TEST_F(CommandRouterTest, ConcurrentRequestsGetDistinctSequenceNumbers) {
  constexpr int kThreads = 4;
  constexpr int kEach = 25;
  std::vector<std::vector<uint64_t>> seen(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([this, t, &seen] {
      for (int i = 0; i < kEach; ++i) {
        const fanout_result r = router_.route_streamdeck(1, "", "GO");
        if (r.deliveries.size() == 2) seen[t].push_back(r.sequence);
      }
    });
  }
  for (std::thread& t : threads) t.join();
  std::vector<uint64_t> all;
  for (const auto& s : seen) all.insert(all.end(), s.begin(), s.end());
  std::sort(all.begin(), all.end());
  ASSERT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
  for (size_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i], i + 1);
  EXPECT_EQ(take_lines().size(), static_cast<size_t>(2 * kThreads * kEach));
}

}  // namespace
}  // namespace tolvarine::operator_control
