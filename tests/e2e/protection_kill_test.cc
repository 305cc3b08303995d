// Kills the built agent (SIGKILL) at random moments while transfers,
// protection settings and settings saves are under way, 200 times, and
// checks after each kill that both files load as complete versions.
#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <random>
#include <thread>

#include "config/control_config.h"
#include "protection/protection_service.h"
#include "server/http_client.h"
#include "support/agent_pair.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;

void post(const std::string& path, const std::string& body) {
  (void)http_request("127.0.0.1", 5251, "POST", path, body, "application/json",
                     500, 4096);
}

// Transfers back and forth, policy and shared-function changes (each one a
// save of a file) until told to stop.
void drive(const std::atomic<bool>& stop) {
  for (unsigned i = 0; !stop; ++i) {
    post("/api/protection/operate", i % 2 ? R"({"operation":"main"})" : R"({"operation":"backup"})");
    post("/api/protection", R"({"startupMs":1000,"lossMs":)" + std::to_string(500 + i % 1000) +
                                R"(,"outputRules":[{"mainId":"out-1","mode":1}]})");
    post("/api/shared", R"({"ids":[1,2,)" + std::to_string(3 + i % 50) + "]}");
    post("/api/protection/operate", i % 3 ? R"({"operation":"arm"})" : R"({"operation":"disarm"})");
  }
}

TEST(ProtectionAgentKillNetTest, KillingTheAgentAtRandomMomentsLeavesLoadableFiles) {
  if (!testing::in_test_network()) GTEST_FAIL() << testing::kNeedsTestNetwork;
  testing::simulator main("10.77.0.2", "S-MAIN", "Server A"), backup("10.77.0.3", "S-BACK", "Server B");
  ASSERT_TRUE(main.serving() && backup.serving());
  testing::temp_dir home;
  const std::string settings = home.file("operator-control.json");
  const std::string protection = settings + ".protection.json";
  testing::write_text(settings, testing::agent_pair::kSettings);

  std::mt19937 random(2024);
  std::uniform_int_distribution<int> moment_ms(0, 400);
  int rounds_with_both_files = 0;
  int rounds_held_on_backup = 0;
  for (int round = 0; round < 200 && !::testing::Test::HasFailure(); ++round) {
    testing::child_process::options o;
    o.args = {testing::agent_program(), "--config", settings, "--background", "--console"};
    o.env["HOME"] = home.path();
    testing::child_process agent(o);
    std::atomic<bool> stop{false};
    std::thread driver([&] { drive(stop); });
    std::this_thread::sleep_for(std::chrono::milliseconds(moment_ms(random)));
    agent.signal(SIGKILL);
    stop = true;
    driver.join();
    ASSERT_TRUE(agent.wait_for(5s).has_value());

    const std::string settings_text = testing::read_text(settings);
    EXPECT_TRUE(settings_text.starts_with("{\"enabled\":true,") && settings_text.ends_with("}"))
        << "round " << round << ": " << settings_text;
    control_config loaded(settings);
    loaded.load();
    EXPECT_TRUE(loaded.has_configured_pair()) << "round " << round << ": " << settings_text;

    const std::string protection_text = testing::read_text(protection);
    if (protection_text.empty()) continue;  // killed before the first save
    ++rounds_with_both_files;
    if (protection_text.find("\"heldOnBackup\":true") != std::string::npos) ++rounds_held_on_backup;
    std::string error;
    EXPECT_TRUE(protection_service::validate(protection_service::parse(protection_text), &error))
        << "round " << round << ": " << error;
    EXPECT_TRUE(protection_text.ends_with(R"("pairMain":"S-MAIN","pairBackup":"S-BACK"})"))
        << "round " << round << ": " << protection_text;
  }
  EXPECT_GT(rounds_with_both_files, 100);
  EXPECT_GT(rounds_held_on_backup, 10) << "kills should also land between transfers";
}

}  // namespace
}  // namespace tolvarine::operator_control
