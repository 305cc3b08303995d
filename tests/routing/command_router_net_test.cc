#include "routing/command_router.h"

#include <gtest/gtest.h>

#include "routing/test_udp_listener.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;

// Main 10.77.0.2 and Backup 10.77.0.3, each listening on the control port.
TEST(CommandRouterNet, SharedCommandsReachBothServersOthersOnlyTheTarget) {
  if (!testing::in_test_network()) FAIL() << testing::kNeedsTestNetwork;
  testing::test_udp_listener main("10.77.0.2", kControlPort), backup("10.77.0.3", kControlPort);
  ASSERT_TRUE(main.ok() && backup.ok());
  testing::temp_dir dir;
  control_config config(dir.file("operator-control.json"));
  config.merge_discovered(
      {{"10.77.0.2", 5000, "Server A", "S-MAIN"}, {"10.77.0.3", 5000, "Server B", "S-BACK"}});
  config.configure_pair(true, "S-MAIN", "S-BACK");
  config.set_shared_functions({1, 2});
  command_router router(config, [](const std::string&) {});

  const std::string payload("SHOW|cue 7|\x01\xfe", 14);
  const fanout_result shared = router.route_streamdeck(2, "", payload);
  ASSERT_EQ(shared.deliveries.size(), 2u);
  EXPECT_TRUE(shared.deliveries[0].sent && shared.deliveries[0].role == 1);
  EXPECT_TRUE(shared.deliveries[1].sent && shared.deliveries[1].role == 2);
  EXPECT_EQ(main.receive(2000ms), payload);
  EXPECT_EQ(backup.receive(2000ms), payload);

  EXPECT_EQ(router.route_streamdeck(9, "", "LOCAL").deliveries.size(), 1u);
  EXPECT_EQ(main.receive(2000ms), "LOCAL");
  EXPECT_EQ(router.route_streamdeck(9, "S-BACK", "ONLY-B").deliveries.size(), 1u);
  EXPECT_EQ(backup.receive(2000ms), "ONLY-B");
  EXPECT_EQ(main.receive(100ms), std::nullopt);
  EXPECT_EQ(backup.receive(100ms), std::nullopt);
}

}  // namespace
}  // namespace tolvarine::operator_control
