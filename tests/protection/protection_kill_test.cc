#include "protection/protection_service.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <thread>

#include "config/control_config.h"
#include "config/json_util.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;

constexpr const char* kChurnEnv = "TRC_PROTECTION_CHURN_PATH";

protection_sample healthy() {
  protection_sample s;
  s.reachable = s.supported = s.engineRunning = s.engineResponsive = s.telemetryAvailable = true;
  s.updated = steady_now();
  return s;
}

// The child side: transfers back and forth, policy changes and settings
// saves as fast as possible until killed. Skipped unless started by the
// kill test below.
TEST(ProtectionKillTest, ChurnUntilKilled) {
  const char* path = std::getenv(kChurnEnv);
  if (!path) GTEST_SKIP() << "runs only as the kill test's child";
  control_config config(path);
  config.load();
  if (!config.has_configured_pair()) {
    config.merge_discovered({{"10.77.0.2", 5000, "Server A", "S-MAIN"},
                             {"10.77.0.3", 5000, "Server B", "S-BACK"}});
    config.configure_pair(true, "S-MAIN", "S-BACK");
  }
  protection_service service(config);
  std::string error;
  (void)service.configure(R"({"startupMs":1000})", &error);
  for (unsigned i = 0;; ++i) {
    service.store_poll_result("S-MAIN", healthy());
    service.store_poll_result("S-BACK", healthy());
    service.evaluation_pass();
    (void)service.operate(i % 2 ? "main" : "backup", &error);
    const std::string loss = std::to_string(500 + i % 1000);
    (void)service.configure(
        R"({"startupMs":1000,"lossMs":)" + loss +
            R"(,"outputRules":[{"mainId":"out-1","mode":1}],"actions":[{"name":"a)" + loss +
            R"(","host":"h","port":1,"payload":"x","enabled":false}]})",
        &error);
    config.set_ui_port(static_cast<uint16_t>(5300 + i % 100));
    config.save();
    if (i == 0) {
      std::puts("[churn] running");
      std::fflush(stdout);
    }
  }
}

// The settings file as the program wrote it whole: its last complete form.
void expect_complete_settings(const std::string& path, int round) {
  const std::string text = testing::read_text(path);
  ASSERT_TRUE(text.starts_with("{\"enabled\":true,") && text.ends_with("\"}"))
      << "round " << round << ": " << text;
  control_config loaded(path);
  loaded.load();
  EXPECT_TRUE(loaded.has_configured_pair()) << "round " << round;
  EXPECT_GE(loaded.ui_port(), 5300) << "round " << round;
}

void expect_complete_protection(const std::string& path, int round) {
  const std::string text = testing::read_text(path);
  ASSERT_TRUE(text.ends_with(R"(,"pairMain":"S-MAIN","pairBackup":"S-BACK"})") ||
              text.ends_with(R"(,"pairMain":"","pairBackup":""})"))
      << "round " << round << ": " << text;
  std::string error;
  EXPECT_TRUE(protection_service::validate(protection_service::parse(text), &error))
      << "round " << round << ": " << error;
  EXPECT_EQ(json_util::value_start(text, "heldOnBackup") == json_util::npos, false)
      << "round " << round;
}

TEST(ProtectionKillTest, KillingDuringTransfersAndSavesLeavesLoadableFiles) {
  if (std::getenv(kChurnEnv)) GTEST_SKIP();
  testing::temp_dir dir;
  const std::string settings = dir.file("operator-control.json");
  const std::string protection = settings + ".protection.json";
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> moment_us(0, 40000);
  int kills_with_files = 0;
  for (int round = 0; round < 200; ++round) {
    testing::child_process::options o;
    o.args = {"/proc/self/exe", "--gtest_filter=ProtectionKillTest.ChurnUntilKilled"};
    o.args[0] = std::filesystem::read_symlink("/proc/self/exe").string();
    o.env[kChurnEnv] = settings;
    o.stdout_path = dir.file("churn.out");
    testing::child_process child(o);
    if (round % 4 == 0) {
      // Some kills only once the churn is surely under way.
      ASSERT_TRUE(testing::eventually(
          [&] {
            return testing::read_text(dir.file("churn.out")).find("[churn] running") !=
                   std::string::npos;
          },
          10s));
    }
    std::this_thread::sleep_for(std::chrono::microseconds(moment_us(random)));
    child.signal(SIGKILL);
    ASSERT_TRUE(child.wait_for(5s).has_value());
    if (std::filesystem::exists(settings)) expect_complete_settings(settings, round);
    if (std::filesystem::exists(protection)) {
      expect_complete_protection(protection, round);
      ++kills_with_files;
    }
    if (::testing::Test::HasFailure()) break;
  }
  EXPECT_GT(kills_with_files, 150) << "most kills should land after the first save";
}

}  // namespace
}  // namespace tolvarine::operator_control
