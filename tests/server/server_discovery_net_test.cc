#include "server/server_discovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "support/simulator.h"

namespace tolvarine::operator_control {
namespace {

TEST(DiscoveryNet, FindsEveryServerOnce) {
  if (!testing::in_test_network()) FAIL() << testing::kNeedsTestNetwork;
  using testing::simulator;
  simulator a("10.77.0.2", "S-MAIN", "Server A");
  simulator b("10.77.0.3", "S-BACK", "Server B", 5010, {"--set", "discovery_repeat=3"});
  simulator c("10.77.0.4", "", "No Serial", 5000, {"--set", "discovery_repeat=2"});
  for (simulator* sim : {&a, &b, &c}) ASSERT_TRUE(sim->serving());
  std::vector<std::string> found;
  for (const discovered_system& s : server_discovery().discover(std::chrono::milliseconds(300)))
    found.push_back(s.address + ":" + std::to_string(s.web_port) + " " + s.workstation + " " + s.serial);
  std::sort(found.begin(), found.end());
  EXPECT_EQ(found, (std::vector<std::string>{"10.77.0.2:5000 Server A S-MAIN", "10.77.0.3:5010 Server B S-BACK",
                                             "10.77.0.4:5000 No Serial "}));
}

}  // namespace
}  // namespace tolvarine::operator_control
