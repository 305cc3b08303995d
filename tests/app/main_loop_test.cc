#include "app/main_loop.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using std::chrono::milliseconds;

// Discovery finds `found`; each pass takes 700 ms of the stepped clock, the
// second one throws and the fourth ends the loop.
struct timed_services : refresh_services {
  steady_time& now;
  std::atomic<bool>& running;
  std::vector<milliseconds> starts;
  std::vector<discovered_system> found;
  explicit timed_services(steady_time& n, std::atomic<bool>& r) : now(n), running(r) {}
  std::vector<discovered_system> discover(int) override {
    starts.push_back(std::chrono::duration_cast<milliseconds>(now - steady_time{}));
    now += milliseconds(700);
    if (starts.size() == 4) running = false;
    if (starts.size() == 2) throw std::runtime_error("boom");
    return found;
  }
  std::optional<event_policy> fetch_policy(const discovered_system&, int) override { return {}; }
  bool probe_identity(const system_record&, int) override { return false; }
  void synchronize_pairing(control_config&) override {}
  std::optional<replication_status> fetch_replication(const system_record&, int) override {
    return {};
  }
};

// Passes run at once, then 2000 ms after each one ends, also after one
// that threw; a flood of 1,000 new identities leaves the registry at its
// bound with the pair in place, and each pass logs what it ignored.
TEST(MainLoopTest, PassesFollowTheSteppedClockAndADiscoveryFloodStaysBounded) {
  testing::temp_dir dir;
  control_config config(dir.file("operator-control.json"));
  steady_time now{};
  std::atomic<bool> running{true};
  timed_services services(now, running);
  config.merge_discovered({{"10.0.0.1", 5000, "", "MAIN"}, {"10.0.0.2", 5000, "", "BACKUP"}});
  config.configure_pair(true, "MAIN", "BACKUP");
  for (int i = 0; i < 1000; ++i) services.found.push_back({"10.1.0.1", 5000, "", std::to_string(i)});
  std::ostringstream out, err;
  refresh_cycle refresh(config, services, out, err);
  main_loop_context loop{config,  refresh, running, out, err, nullptr, {}, {}, kDefaultUiPort,
                         [&] { return now; }, [&](milliseconds d) { now += d; }, {}};
  run_main_loop(loop);
  EXPECT_EQ(services.starts,
            (std::vector<milliseconds>{milliseconds(0), milliseconds(2700), milliseconds(5400),
                                       milliseconds(8100)}));
  const std::string line = "[status] registry full (256 servers): ignored 746 new servers\n";
  EXPECT_EQ(err.str(), line + "Redundancy Control refresh: boom\n" + line + line);
  EXPECT_EQ(config.systems().size(), kMaxSystems);
  EXPECT_TRUE(config.find("253") && !config.find("254"));
  EXPECT_EQ(config.backup_for("MAIN")->serial, "BACKUP");
  EXPECT_EQ(config.main_system()->serial, "MAIN");
}

}  // namespace
}  // namespace tolvarine::operator_control
