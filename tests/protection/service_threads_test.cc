// The service under real threads: a Main whose health poll hangs is found
// lost the moment its last answer turns lossMs old; status answers while a
// save is held.
#include "protection/protection_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "common/atomic_file.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;

// On a clock the test moves by hand, the Main's health poll hangs from one
// moment on and a busy machine makes the pass that runs just before the
// Main's last answer turns lossMs old end just after it (the clock jumps
// inside the pass). The next pass is due at once, while the Main's poll
// still hangs; otherwise nothing would start one before the cycle ends.
TEST(MonitorTimingTest, ALossReachedDuringAPassFailsOverAtOnceBehindAHangingPoll) {
  testing::temp_dir dir;
  control_config config(dir.file("operator-control.json"));
  config.merge_discovered({{"10.77.0.2", 5000, "Server A", "S-MAIN"},
                           {"10.77.0.3", 5000, "Server B", "S-BACK"}});
  config.configure_pair(true, "S-MAIN", "S-BACK");

  // The Main's last answer is read at 1'001'100 and turns lossMs old at
  // 1'002'100; the pass that starts at 1'002'099 moves the clock 100 ms on.
  constexpr long long kStraddlingPass = 1'002'099;
  std::atomic<long long> now_ms{1'000'000};
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> hang{false};
  std::atomic<int> hanging{0};
  protection_service::environment env;
  env.steady = [&] { return steady_time(std::chrono::milliseconds(now_ms.load())); };
  env.wall = [&] {  // read inside every pass
    if (now_ms == kStraddlingPass) now_ms += 100;
    return now_ms.load();
  };
  env.fetch = [&](const std::string& host, uint16_t, const std::string&, int, size_t) {
    const bool main = host == "10.77.0.2";
    if (main && hang) {
      ++hanging;
      released.wait();  // far beyond the poll's own limit
      --hanging;
      return http_response{};
    }
    return http_response{200, std::string(R"({"serial":")") + (main ? "S-MAIN" : "S-BACK") +
                                  R"(","version":1,"engineRunning":true,"engineResponsive":true,)"
                                  R"("outputs":[],"channels":[{"ageMs":0}]})"};
  };
  protection_service service(config, env);
  std::string error;
  ASSERT_TRUE(service.configure(R"({"startupMs":1000,"lossMs":1000,"frames":1})", &error)) << error;
  service.start();
  // Each step starts a new cycle: its Backup poll answers at once.
  auto advance_to = [&](long long ms) {
    now_ms = ms;
    return testing::eventually(
        [&] {
          const std::optional<protection_sample> backup = service.sample("S-BACK");
          return backup && backup->updated.time_since_epoch() >= std::chrono::milliseconds(ms);
        },
        2s);
  };
  ASSERT_TRUE(advance_to(1'001'100));  // past the grace, both answering
  ASSERT_TRUE(testing::eventually([&] { return service.active_serial() == "S-MAIN"; }, 2s));
  hang = true;
  ASSERT_TRUE(advance_to(1'001'400));
  ASSERT_TRUE(advance_to(kStraddlingPass));

  const bool moved = testing::eventually([&] { return service.active_serial() == "S-BACK"; }, 2s);
  const bool still_hanging = hanging.load() == 1;
  release.set_value();
  EXPECT_TRUE(moved) << "the Backup takes over without waiting for the cycle's end: " << service.json();
  EXPECT_TRUE(still_hanging) << "one poll in flight for the Main, never a second";
  service.stop();
}

// A save held by a slow disk: status answers meanwhile, from the state
// before the move.
TEST(SlowDiskTest, StatusAnswersWhileASaveIsBlocked) {
  testing::temp_dir dir;
  control_config config(dir.file("operator-control.json"));
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> slow{false};
  protection_service::environment env;
  env.save = [&](const std::string& path, const std::string& text) {
    if (slow.exchange(false)) entered.set_value(), released.wait_for(3s);
    return replace_file(path, text);
  };
  protection_service service(config, env);
  slow = true;
  std::string error;
  auto disarm = std::async(std::launch::async, [&] { return service.operate("disarm", &error); });
  entered.get_future().wait();
  const std::string status = service.json();
  EXPECT_EQ(disarm.wait_for(0s), std::future_status::timeout) << "status waited for the save";
  EXPECT_NE(status.find("\"armed\":true"), std::string::npos) << status;
  release.set_value();
  EXPECT_TRUE(disarm.get());
  EXPECT_FALSE(service.policy().armed);
}

}  // namespace
}  // namespace tolvarine::operator_control
