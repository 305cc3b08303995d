#include "server/server_discovery.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "server/sim_fixture.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using std::chrono::milliseconds;
using testing::running_sim;

// "address:port workstation serial" of each server found, sorted.
std::vector<std::string> discover(milliseconds quiet) {
  std::vector<std::string> found;
  for (const discovered_system& s : server_discovery().discover(quiet)) {
    found.push_back(s.address + ":" + std::to_string(s.web_port) + " " + s.workstation + " " +
                    s.serial);
  }
  std::sort(found.begin(), found.end());
  return found;
}

TEST(DiscoveryNet, FindsEveryServerOnceAndSkipsMalformedAnswers) {
  if (!testing::in_test_network()) FAIL() << testing::kNeedsTestNetwork;
  testing::temp_dir dir;
  running_sim a(dir, "10.77.0.2", 5000, "S-MAIN", "Server A");
  running_sim b(dir, "10.77.0.3", 5010, "S-BACK", "Server B", {"--set", "discovery_repeat=3"});
  running_sim c(dir, "10.77.0.4", 5000, "", "No Serial", {"--set", "discovery_repeat=2"});
  // The same serial again from another address, later: the first answer wins.
  running_sim dup(dir, "10.77.0.5", 5000, "S-MAIN", "Second", {"--set", "discovery_delay_ms=150"});
  running_sim bad_port(dir, "10.77.0.6", 5000, "S-BAD", "Bad",
                       {"--set", "discovery_port_field=abc"});
  running_sim silent(dir, "10.77.0.7", 5000, "S-SILENT", "Silent", {"--set", "discovery=off"});
  // Another discovering machine's question: ignored. The late datagrams
  // prolong the collection.
  running_sim asker(
      dir, "10.77.0.8", 5000, "S-ASK", "Asker",
      {"--set", "discovery_reply=tolvarine-server?", "--set", "discovery_delay_ms=150"});
  for (running_sim* sim : {&a, &b, &c, &dup, &bad_port, &silent, &asker}) ASSERT_TRUE(sim->ready());

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(discover(milliseconds(300)), (std::vector<std::string>{"10.77.0.2:5000 Server A S-MAIN",
                                                                   "10.77.0.3:5010 Server B S-BACK",
                                                                   "10.77.0.4:5000 No Serial "}));
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(440));
}

TEST(DiscoveryNet, NoServerGivesAnEmptyListAfterTheQuietTime) {
  if (!testing::in_test_network()) FAIL() << testing::kNeedsTestNetwork;
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(discover(milliseconds(200)).empty());
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(190));
}

}  // namespace
}  // namespace tolvarine::operator_control
