// The built agent with a hand-edited protection file that does not load:
// the first save over it keeps it as "<file>.invalid" and logs that once.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "support/sim_pair.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;
using testing::sim_pair;

TEST(ProtectionFileTest, AnInvalidFileIsKeptAsideBeforeTheFirstSaveOverIt) {
  if (!testing::in_test_network()) GTEST_FAIL() << testing::kNeedsTestNetwork;
  sim_pair sims;
  ASSERT_TRUE(sims.ready());
  testing::temp_dir home;
  const std::string settings = home.file("operator-control.json");
  const std::string protection = settings + ".protection.json";
  const std::string edited = R"({"armed":true,"startupMs":5,"heldOnBackup":true,"pairMain":"S-MAIN"})";
  testing::write_text(settings, sim_pair::kPairedSettings);
  testing::write_text(protection, edited);
  testing::write_text(protection + ".invalid", "an older copy");
  testing::child_process::options o;
  o.args = {testing::agent_program(), "--config", settings, "--background"};
  o.env["HOME"] = home.path();
  testing::child_process agent(o);
  // The evaluation pass sees a new pair and saves the defaults.
  EXPECT_TRUE(testing::eventually(
      [&] { return testing::read_text(protection).find("\"heldOnBackup\":false") != std::string::npos; },
      10s))
      << testing::read_text(protection);
  EXPECT_EQ(testing::read_text(protection + ".invalid"), edited);
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.wait_for(10s), 0);
  const std::string log = testing::read_text(home.file("operator-control.log"));
  const std::string line = "[protection] Invalid saved protection settings: Fault delays must be "
                           "500-30000 ms; startup grace must be 1000-60000 ms. The file is kept as " +
                           protection + ".invalid\n";
  EXPECT_NE(log.find(line), std::string::npos) << log;
  EXPECT_EQ(log.find(line), log.rfind(line));
}

}  // namespace
}  // namespace tolvarine::operator_control
