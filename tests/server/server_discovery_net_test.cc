#include "server/server_discovery.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "server/sim_fixture.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using std::chrono::milliseconds;
using testing::running_sim;

class DiscoveryNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::in_test_network()) FAIL() << testing::kNeedsTestNetwork;
  }
  // Looks a server up by address and web port.
  static const discovered_system* find(const std::vector<discovered_system>& found,
                                       const std::string& address, uint16_t port) {
    for (const discovered_system& s : found) {
      if (s.address == address && s.web_port == port) return &s;
    }
    return nullptr;
  }
  testing::temp_dir dir_;
};

TEST_F(DiscoveryNetTest, FindsEveryServerOnceWithItsFields) {
  running_sim a(dir_, "10.77.0.2", 5000, "S-MAIN", "Server A");
  running_sim b(dir_, "10.77.0.3", 5010, "S-BACK", "Server B",
                {"--set", "discovery_repeat=3"});
  running_sim c(dir_, "10.77.0.4", 5000, "", "No Serial", {"--set", "discovery_repeat=2"});
  ASSERT_TRUE(a.ready() && b.ready() && c.ready());

  std::vector<discovered_system> found = server_discovery().discover(milliseconds(400));
  ASSERT_EQ(found.size(), 3u);
  const discovered_system* main = find(found, "10.77.0.2", 5000);
  ASSERT_NE(main, nullptr);
  EXPECT_EQ(main->serial, "S-MAIN");
  EXPECT_EQ(main->workstation, "Server A");
  const discovered_system* backup = find(found, "10.77.0.3", 5010);
  ASSERT_NE(backup, nullptr);
  EXPECT_EQ(backup->serial, "S-BACK");
  const discovered_system* unnamed = find(found, "10.77.0.4", 5000);
  ASSERT_NE(unnamed, nullptr);
  EXPECT_EQ(unnamed->serial, "");
  EXPECT_EQ(unnamed->workstation, "No Serial");
}

TEST_F(DiscoveryNetTest, SameSerialFromTwoAddressesKeepsTheFirstAnswer) {
  running_sim first(dir_, "10.77.0.2", 5000, "S-DUP", "First");
  running_sim second(dir_, "10.77.0.3", 5000, "S-DUP", "Second",
                     {"--set", "discovery_delay_ms=150"});
  ASSERT_TRUE(first.ready() && second.ready());
  std::vector<discovered_system> found = server_discovery().discover(milliseconds(500));
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].address, "10.77.0.2");
  EXPECT_EQ(found[0].workstation, "First");
}

TEST_F(DiscoveryNetTest, MalformedAndSilentServersAreSkipped) {
  running_sim good(dir_, "10.77.0.2", 5000, "S-GOOD", "Good");
  running_sim bad_port(dir_, "10.77.0.3", 5000, "S-BAD", "Bad",
                       {"--set", "discovery_port_field=abc"});
  running_sim silent(dir_, "10.77.0.4", 5000, "S-SILENT", "Silent", {"--set", "discovery=off"});
  // Another discovering machine's question reaching us: ignored, but it
  // arrives 150 ms late and so prolongs the collection.
  running_sim asker(dir_, "10.77.0.5", 5000, "S-ASK", "Asker",
                    {"--set", "discovery_reply=tolvarine-server?", "--set",
                     "discovery_delay_ms=150"});
  ASSERT_TRUE(good.ready() && bad_port.ready() && silent.ready() && asker.ready());

  auto start = std::chrono::steady_clock::now();
  std::vector<discovered_system> found = server_discovery().discover(milliseconds(250));
  auto elapsed = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].serial, "S-GOOD");
  EXPECT_GE(elapsed, milliseconds(390));
}

TEST_F(DiscoveryNetTest, NoServerGivesAnEmptyListAfterTheQuietTime) {
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(server_discovery().discover(milliseconds(200)).empty());
  EXPECT_GE(std::chrono::steady_clock::now() - start, milliseconds(190));
}

}  // namespace
}  // namespace tolvarine::operator_control
