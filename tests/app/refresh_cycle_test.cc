#include "app/refresh_cycle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "app/main_loop.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using std::chrono::milliseconds;

template <typename Map>
std::optional<typename Map::mapped_type> lookup(const Map& map, const std::string& key) {
  auto it = map.find(key);
  return it == map.end() ? std::nullopt : std::optional(it->second);
}

// Answers from tables the test fills; records what was asked.
struct fake_services : refresh_services {
  std::vector<discovered_system> found;
  std::function<void()> on_discover;                      // may throw
  std::map<std::string, event_policy> policies;           // by address
  int probe_failures = 0;                                 // the next probes that fail
  std::map<std::string, replication_status> replication;  // by serial
  int syncs = 0;
  std::vector<std::string> probed;

  std::vector<discovered_system> discover(int) override {
    if (on_discover) on_discover();
    return found;
  }
  std::optional<event_policy> fetch_policy(const discovered_system& s, int) override {
    return lookup(policies, s.address);
  }
  bool probe_identity(const system_record& s, int) override {
    probed.push_back(s.serial);
    return probe_failures-- <= 0;
  }
  void synchronize_pairing(control_config& config) override {
    ++syncs;
    config.set_policy_sync(true, "Main event pairing is synchronized.");
  }
  std::optional<replication_status> fetch_replication(const system_record& s, int) override {
    return lookup(replication, s.serial);
  }
};

class RefreshCycleTest : public ::testing::Test {
 protected:
  testing::temp_dir dir_;
  control_config config_{dir_.file("operator-control.json")};
  fake_services services_;
  std::ostringstream out_, err_;
  refresh_cycle cycle_{config_, services_, out_, err_};

  std::string take_output() {
    std::string s = out_.str();
    out_.str("");
    return s;
  }
};

// A pass that throws ends with the guard message and saves nothing (the
// message itself is checked in the main-loop test below).
TEST_F(RefreshCycleTest, FirstPassLogsAndSavesUnlessItThrows) {
  services_.on_discover = [] { throw std::runtime_error("no socket"); };
  EXPECT_FALSE(cycle_.run_pass());
  EXPECT_FALSE(std::filesystem::exists(config_.path()));
  services_.on_discover = nullptr;
  auto status = cycle_.run_pass();
  ASSERT_TRUE(status);
  EXPECT_EQ(take_output(), "[status] enabled=false active=none\n");
  EXPECT_EQ(status->main_label, "Main: Not configured");
  services_.found = {{"10.77.0.2", 5000, "Server A", "S1"}};
  cycle_.run_pass();
  EXPECT_NE(testing::read_text(config_.path()).find("\"serial\":\"S1\""), std::string::npos);
}

TEST_F(RefreshCycleTest, ReadyInterfaceSurvivesTwoFailedProbes) {
  services_.found = {{"10.77.0.2", 5000, "", "S1"}};
  cycle_.run_pass();
  ASSERT_TRUE(config_.find("S1")->ui_ready);
  take_output();
  // Fail, fail, succeed (which resets the count), fail three times, succeed.
  const bool ready_after[] = {true, true, true, true, true, false, true};
  for (int pass = 0; pass < 7; ++pass) {
    services_.probe_failures = pass == 2 || pass == 6 ? 0 : 1;
    cycle_.run_pass();
    EXPECT_EQ(config_.find("S1")->ui_ready, ready_after[pass]) << pass;
    if (pass == 4) {
      EXPECT_EQ(take_output(), "") << "nothing changed: no status lines";
    }
  }
  EXPECT_NE(take_output(), "");
}

TEST_F(RefreshCycleTest, AdoptsPublishedPairingOnlyWhileUnconfigured) {
  services_.found = {{"10.77.0.2", 5000, "", "M"}, {"10.77.0.3", 5000, "", "B"}};
  event_policy published;
  published.systems = {{"M", "Server A", "10.77.0.2", system_role::main, ""},
                       {"B", "Server B", "10.77.0.3", system_role::backup, ""}};
  published.shared_function_ids = {4, 5};
  services_.policies["10.77.0.2"] = published;  // a disabled policy is not kept
  published.enabled = true;
  services_.policies["10.77.0.3"] = published;
  cycle_.run_pass();
  ASSERT_TRUE(config_.controller_configured() && config_.backup_for("M"));
  EXPECT_EQ(config_.backup_for("M")->serial, "B");
  EXPECT_EQ(config_.shared_functions(), (std::set<int>{4, 5}));
  // With an enabled pair, readiness belongs to the protection service.
  EXPECT_TRUE(services_.probed.empty());
  EXPECT_EQ(services_.syncs, 1);
}

TEST_F(RefreshCycleTest, StatusLinesAndReplicationOnlyForPairedOnlineServers) {
  testing::write_text(config_.path(),
                      R"({"enabled":true,"systems":[{"serial":"M","address":"10.77.0.2","role":"Main"},)"
                      R"({"serial":"B","address":"10.77.0.3","role":"Backup","backupForSerial":"M"},)"
                      R"({"serial":"I","address":"10.77.0.4"}]})");
  config_.load();
  services_.found = {{"10.77.0.2", 5000, "", "M"}, {"10.77.0.3", 5001, "", "B"}, {"10.77.0.4", 5000, "", "I"}};
  replication_status rep;
  rep.revision = 3;
  services_.replication["M"] = rep;
  services_.replication["I"] = rep;
  cycle_.run_pass();
  EXPECT_EQ(take_output(),
            "[status] enabled=true active=none\n"
            "[status] M role=Main online=true uiReady=false address=10.77.0.2 web=5000 control=1256\n"
            "[status] B role=Backup online=true uiReady=false address=10.77.0.3 web=5001 control=1256 "
            "backupFor=M\n"
            "[status] I role=Independent online=true uiReady=false address=10.77.0.4 web=5000 control=1256\n");
  EXPECT_EQ(config_.find("I")->replication_revision, 0);
  // No answer keeps the previous status; replication never triggers status lines.
  services_.replication.clear();
  cycle_.run_pass();
  EXPECT_EQ(config_.find("M")->replication_revision, 3);
  EXPECT_EQ(take_output(), "");
}

// The main loop runs passes at once, then 2000 ms after each one ends (each
// takes 700 ms of the stepped clock), also after one that threw; a flood of
// 1,000 new identities leaves the registry at its bound with the pair in
// place, and each pass logs what it ignored.
TEST_F(RefreshCycleTest, MainLoopPacesPassesAndADiscoveryFloodStaysBounded) {
  steady_time now{};
  std::atomic<bool> running{true};
  std::vector<milliseconds> starts;
  services_.on_discover = [&] {
    starts.push_back(std::chrono::duration_cast<milliseconds>(now - steady_time{}));
    now += milliseconds(700);
    if (starts.size() == 4) running = false;
    if (starts.size() == 2) throw std::runtime_error("boom");
  };
  config_.merge_discovered({{"10.0.0.1", 5000, "", "MAIN"}, {"10.0.0.2", 5000, "", "BACKUP"}});
  config_.configure_pair(true, "MAIN", "BACKUP");
  for (int i = 0; i < 1000; ++i) services_.found.push_back({"10.1.0.1", 5000, "", std::to_string(i)});
  main_loop_context loop{config_, cycle_, running, out_, err_, nullptr, {}, {}, kDefaultUiPort,
                         [&] { return now; }, [&](milliseconds d) { now += d; }, {}};
  run_main_loop(loop);
  EXPECT_EQ(starts, (std::vector<milliseconds>{milliseconds(0), milliseconds(2700), milliseconds(5400),
                                               milliseconds(8100)}));
  const std::string line = "[status] registry full (256 servers): ignored 746 new servers\n";
  EXPECT_EQ(err_.str(), line + "Redundancy Control refresh: boom\n" + line + line);
  EXPECT_EQ(config_.systems().size(), kMaxSystems);
  EXPECT_TRUE(config_.find("253") && !config_.find("254"));
  EXPECT_TRUE(config_.main_system()->serial == "MAIN" && config_.backup_for("MAIN")->serial == "BACKUP");
}

}  // namespace
}  // namespace tolvarine::operator_control
