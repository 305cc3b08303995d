// The built agent's two files on disk: a hand-edited protection file that
// does not load is kept aside before the first save over it, and killing the
// agent (SIGKILL) at random moments while transfers, protection settings and
// settings saves are under way leaves both files loadable, complete versions.
#include <signal.h>

#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

#include "protection/protection_service.h"
#include "support/sim_pair.h"

namespace tolvarine::operator_control::testing {
namespace {

using namespace std::chrono_literals;

void post(const std::string& path, const std::string& body) {
  (void)http_request("127.0.0.1", 5251, "POST", path, body, "application/json", 500, 4096);
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

TEST(ProtectionFilesTest, AnInvalidFileIsKeptAsideAndKillsLeaveLoadableFiles) {
  if (!in_test_network()) GTEST_FAIL() << kNeedsTestNetwork;
  sim_pair sims;
  ASSERT_TRUE(sims.ready());
  temp_dir home;
  const std::string settings = home.file("operator-control.json");
  const std::string protection = settings + ".protection.json";
  const std::string edited = R"({"armed":true,"startupMs":5,"heldOnBackup":true,"pairMain":"S-MAIN"})";
  write_text(settings, sim_pair::kPairedSettings);
  write_text(protection, edited);
  write_text(protection + ".invalid", "an older copy");
  auto start = [&] {
    return std::make_unique<child_process>(
        agent_options({"--config", settings, "--background"}, home.path()));
  };
  auto agent = start();
  // The evaluation pass sees a new pair and saves the defaults.
  EXPECT_TRUE(eventually([&] { return file_has(protection, "\"heldOnBackup\":false"); }, 10s))
      << read_text(protection);
  post("/api/protection", R"({"startupMs":1000})");  // a second save keeps the first copy
  EXPECT_EQ(read_text(protection + ".invalid"), edited);
  agent->signal(SIGTERM);
  EXPECT_EQ(agent->wait_for(10s), 0);
  const std::string log = read_text(home.file("operator-control.log"));
  const std::string line = "[protection] Invalid saved protection settings: Fault delays must be "
                           "500-30000 ms; startup grace must be 1000-60000 ms. The file is kept as " +
                           protection + ".invalid\n";
  EXPECT_NE(log.find(line), std::string::npos) << log;
  EXPECT_EQ(log.find(line), log.rfind(line));

  // Kills: after each one both files load as complete versions.
  std::mt19937 random(2024);
  std::uniform_int_distribution<int> moment_ms(0, 400);
  for (int round = 0; round < 60 && !::testing::Test::HasFailure(); ++round) {
    agent = start();
    std::atomic<bool> stop{false};
    std::thread driver([&] { drive(stop); });
    std::this_thread::sleep_for(std::chrono::milliseconds(moment_ms(random)));
    agent->signal(SIGKILL);
    stop = true;
    driver.join();
    ASSERT_TRUE(agent->wait_for(5s).has_value());

    control_config loaded(settings);
    loaded.load();
    EXPECT_TRUE(loaded.has_configured_pair()) << "round " << round << ": " << read_text(settings);
    const std::string protection_text = read_text(protection);
    std::string error;
    EXPECT_TRUE(protection_service::validate(protection_service::parse(protection_text), &error))
        << "round " << round << ": " << error;
    EXPECT_TRUE(protection_text.ends_with(R"("pairMain":"S-MAIN","pairBackup":"S-BACK"})"))
        << "round " << round << ": " << protection_text;
  }
}

}  // namespace
}  // namespace tolvarine::operator_control::testing
