#include "routing/command_router.h"

#include <gtest/gtest.h>

#include "routing/test_udp_listener.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;

// Two servers on the private test network, each with a listener on the
// control port, paired as Main and Backup.
class CommandRouterNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::in_test_network()) FAIL() << testing::kNeedsTestNetwork;
    ASSERT_TRUE(main_.ok());
    ASSERT_TRUE(backup_.ok());
    config_.merge_discovered({{"10.77.0.2", 5000, "Server A", "S-MAIN"},
                              {"10.77.0.3", 5000, "Server B", "S-BACK"}});
    config_.configure_pair(true, "S-MAIN", "S-BACK");
    config_.set_shared_functions({1, 2});
  }

  testing::temp_dir dir_;
  control_config config_{dir_.file("operator-control.json")};
  command_router router_{config_, [](const std::string&) {}};
  testing::test_udp_listener main_{"10.77.0.2", kControlPort};
  testing::test_udp_listener backup_{"10.77.0.3", kControlPort};
};

TEST_F(CommandRouterNetTest, SharedCommandReachesBothServersByteForByte) {
  const std::string payload("SHOW|cue 7|\x01\xfe", 14);
  const fanout_result r = router_.route_streamdeck(2, "", payload);
  ASSERT_EQ(r.deliveries.size(), 2u);
  for (const delivery_result& d : r.deliveries) {
    EXPECT_TRUE(d.sent) << d.error;
    EXPECT_EQ(d.error, "");
  }
  EXPECT_EQ(r.deliveries[0].role, 1);
  EXPECT_EQ(r.deliveries[1].role, 2);
  EXPECT_EQ(main_.receive(2000ms), payload);
  EXPECT_EQ(backup_.receive(2000ms), payload);
}

TEST_F(CommandRouterNetTest, UnsharedCommandReachesOnlyItsTarget) {
  const fanout_result to_main = router_.route_streamdeck(9, "", "LOCAL");
  ASSERT_EQ(to_main.deliveries.size(), 1u);
  EXPECT_TRUE(to_main.deliveries[0].sent);
  EXPECT_EQ(main_.receive(2000ms), "LOCAL");

  const fanout_result to_backup = router_.route_streamdeck(9, "S-BACK", "ONLY-B");
  ASSERT_EQ(to_backup.deliveries.size(), 1u);
  EXPECT_EQ(to_backup.deliveries[0].role, 2);
  EXPECT_EQ(backup_.receive(2000ms), "ONLY-B");

  EXPECT_EQ(main_.receive(100ms), std::nullopt);
  EXPECT_EQ(backup_.receive(100ms), std::nullopt);
}

}  // namespace
}  // namespace tolvarine::operator_control
