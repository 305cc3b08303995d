#include "routing/command_router.h"

#include <gtest/gtest.h>

#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

// Addresses that are not dotted quads: deliveries fail in the transport
// without touching the network, yet show which servers were attempted.
class CommandRouterTest : public ::testing::Test {
 protected:
  CommandRouterTest() {
    config_.merge_discovered({{"main-host", 5000, "Server A", "S-MAIN"},
                              {"backup-host", 5000, "Server B", "S-BACK"},
                              {"solo-host", 5000, "Server C", "S-SOLO"}});
    config_.configure_pair(true, "S-MAIN", "S-BACK");
    config_.set_shared_functions({1, 2, 3});
  }

  testing::temp_dir dir_;
  control_config config_{dir_.file("operator-control.json")};
  std::vector<std::string> lines_;
  command_router router_{config_, [this](const std::string& line) { lines_.push_back(line); }};
};

TEST_F(CommandRouterTest, RoutesToTargetAndBackupWithTheirLogLines) {
  const std::string main = "[route] Main -> main-host:1256 serial=S-MAIN";
  const std::string backup = "[route] Backup -> backup-host:1256 serial=S-BACK";
  struct row {
    const char* offline;
    int function;
    const char* target;
    std::vector<std::string> attempted;  // role@address
    std::vector<std::string> lines;
  };
  // Any server can be the target; the log still calls it "Main".
  const row rows[] = {
      {"", 2, "", {"1@main-host", "2@backup-host"}, {main, backup}},
      {"", 18, "S-MAIN", {"1@main-host"}, {main}},
      {"", 1, "S-SOLO", {"0@solo-host"}, {"[route] Main -> solo-host:1256 serial=S-SOLO",
                                          "[route] Backup unavailable for Main S-SOLO"}},
      {"S-MAIN", 3, "", {"2@backup-host"}, {"[route] Main offline -> S-MAIN", backup}},
      {"S-MAIN", 4, "", {}, {"[route] Main offline -> S-MAIN"}},
      {"S-BACK", 1, "", {"1@main-host"}, {main, "[route] Backup unavailable for Main S-MAIN"}},
      {"", 1, "S-NOBODY", {}, {}},
  };
  for (const row& r : rows) {
    for (const char* serial : {"S-MAIN", "S-BACK"}) {
      config_.set_health_presence(serial, std::string(serial) != r.offline);
    }
    const fanout_result result = router_.route_streamdeck(r.function, r.target, "GO|2");
    EXPECT_EQ(result.payload, "GO|2");
    std::vector<std::string> attempted;
    for (const delivery_result& d : result.deliveries) {
      EXPECT_TRUE(d.attempted && !d.sent) << r.function;
      attempted.push_back(std::to_string(d.role) + "@" + d.error.substr(d.error.find(": ") + 2));
    }
    EXPECT_EQ(attempted, r.attempted) << r.function << " " << r.target;
    EXPECT_EQ(std::exchange(lines_, {}), r.lines) << r.function << " " << r.target;
  }
}

}  // namespace
}  // namespace tolvarine::operator_control
