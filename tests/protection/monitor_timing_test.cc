// The monitor thread's timing: a Main whose health poll hangs is found lost
// when its last answer reaches lossMs, while that poll is still hanging.
#include "protection/protection_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;

TEST(MonitorTimingTest, AHangingMainPollDoesNotHoldBackTheFailover) {
  testing::temp_dir dir;
  control_config config(dir.file("operator-control.json"));
  config.merge_discovered({{"10.77.0.2", 5000, "Server A", "S-MAIN"},
                           {"10.77.0.3", 5000, "Server B", "S-BACK"}});
  config.configure_pair(true, "S-MAIN", "S-BACK");

  std::mutex m;
  std::condition_variable released;
  bool hang = false, release = false;
  std::atomic<int> hanging{0};
  protection_service::environment env;
  env.fetch = [&](const std::string& host, uint16_t, const std::string&, int, size_t) {
    const bool main = host == "10.77.0.2";
    std::unique_lock lock(m);
    if (main && hang) {
      ++hanging;
      released.wait(lock, [&] { return release; });  // far beyond the poll's own limit
      --hanging;
      return http_response{};
    }
    return http_response{200, std::string(R"({"serial":")") + (main ? "S-MAIN" : "S-BACK") +
                                  R"(","version":1,"engineRunning":true,"engineResponsive":true,)"
                                  R"("outputs":[],"channels":[{"ageMs":0}]})"};
  };
  protection_service service(config, env);
  std::string error;
  ASSERT_TRUE(service.configure(R"({"startupMs":1000,"lossMs":500,"frames":1})", &error)) << error;
  service.start();
  ASSERT_TRUE(testing::eventually([&] { return service.active_serial() == "S-MAIN"; }, 5s));
  std::this_thread::sleep_for(1100ms);  // past the startup grace

  {
    std::lock_guard lock(m);
    hang = true;
  }
  const bool moved = testing::eventually([&] { return service.active_serial() == "S-BACK"; }, 5s);
  const bool still_hanging = hanging.load() == 1;
  {
    std::lock_guard lock(m);
    release = true;
  }
  released.notify_all();
  EXPECT_TRUE(moved) << "the Backup takes over while the Main's poll hangs: " << service.json();
  EXPECT_TRUE(still_hanging) << "one poll in flight for the Main, never a second";
  service.stop();
}

}  // namespace
}  // namespace tolvarine::operator_control
