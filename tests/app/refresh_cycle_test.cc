#include "app/refresh_cycle.h"

#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

// Answers from tables the test fills; records what was asked.
class fake_services : public refresh_services {
 public:
  std::vector<discovered_system> found;
  bool discovery_throws = false;
  std::map<std::string, event_policy> policies;  // by address
  std::deque<bool> probe_results;                // consumed per probe; empty: true
  std::map<std::string, replication_status> replication;  // by serial
  int syncs = 0;
  std::vector<std::string> probed;

  std::vector<discovered_system> discover(int) override {
    if (discovery_throws) throw std::runtime_error("Unable to bind discovery socket");
    return found;
  }
  std::optional<event_policy> fetch_policy(const discovered_system& s, int) override {
    auto it = policies.find(s.address);
    if (it == policies.end()) return std::nullopt;
    return it->second;
  }
  bool probe_identity(const system_record& s, int) override {
    probed.push_back(s.serial);
    if (probe_results.empty()) return true;
    bool r = probe_results.front();
    probe_results.pop_front();
    return r;
  }
  void synchronize_pairing(control_config& config) override {
    ++syncs;
    config.set_policy_sync(true, "Main event pairing is synchronized.");
  }
  std::optional<replication_status> fetch_replication(const system_record& s, int) override {
    auto it = replication.find(s.serial);
    if (it == replication.end()) return std::nullopt;
    return it->second;
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

TEST_F(RefreshCycleTest, FirstPassLogsAndSavesThenStaysQuiet) {
  auto status = cycle_.run_pass();
  ASSERT_TRUE(status);
  EXPECT_EQ(take_output(), "[status] enabled=false active=none\n");
  EXPECT_EQ(status->main_label, "Main: Not configured");
  EXPECT_EQ(status->backup_label, "Backup: Not configured");
  EXPECT_TRUE(std::filesystem::exists(config_.path()));

  services_.found = {{"10.77.0.2", 5000, "Server A", "S1"}};
  cycle_.run_pass();
  EXPECT_EQ(take_output(),
            "[status] enabled=false active=independent\n"
            "[status] S1 role=Independent online=true uiReady=true address=10.77.0.2 web=5000 "
            "control=1256\n");
  cycle_.run_pass();
  EXPECT_EQ(take_output(), "");
  EXPECT_NE(testing::read_text(config_.path()).find("\"serial\":\"S1\""), std::string::npos);
}

TEST_F(RefreshCycleTest, ReadyInterfaceSurvivesTwoFailedProbes) {
  services_.found = {{"10.77.0.2", 5000, "", "S1"}};
  cycle_.run_pass();
  ASSERT_TRUE(config_.find("S1")->ui_ready);
  services_.probe_results = {false, false};
  cycle_.run_pass();
  cycle_.run_pass();
  EXPECT_TRUE(config_.find("S1")->ui_ready);
  services_.probe_results = {false};
  cycle_.run_pass();
  EXPECT_FALSE(config_.find("S1")->ui_ready);
  // One success restores it and resets the count.
  cycle_.run_pass();
  EXPECT_TRUE(config_.find("S1")->ui_ready);
  services_.probe_results = {false, false};
  cycle_.run_pass();
  cycle_.run_pass();
  EXPECT_TRUE(config_.find("S1")->ui_ready);
}

TEST_F(RefreshCycleTest, AdoptsPublishedPairingOnlyWhileUnconfigured) {
  services_.found = {{"10.77.0.2", 5000, "", "M"}, {"10.77.0.3", 5000, "", "B"}};
  event_policy published;
  published.enabled = true;
  published.systems = {{"M", "Server A", "10.77.0.2", system_role::main, ""},
                       {"B", "Server B", "10.77.0.3", system_role::backup, ""}};
  published.shared_function_ids = {4, 5};
  services_.policies["10.77.0.3"] = published;
  event_policy disabled = published;
  disabled.enabled = false;
  services_.policies["10.77.0.2"] = disabled;  // a disabled policy is not kept

  cycle_.run_pass();
  EXPECT_TRUE(config_.controller_configured());
  ASSERT_TRUE(config_.backup_for("M"));
  EXPECT_EQ(config_.backup_for("M")->serial, "B");
  EXPECT_EQ(config_.shared_functions(), (std::set<int>{4, 5}));
  // With an enabled pair, readiness belongs to the protection service.
  EXPECT_TRUE(services_.probed.empty());
  EXPECT_EQ(services_.syncs, 1);
}

TEST_F(RefreshCycleTest, ReplicationOnlyForPairedOnlineServers) {
  testing::write_text(config_.path(),
                      R"({"enabled":true,"systems":[{"serial":"M","address":"10.77.0.2","role":"Main"},)"
                      R"({"serial":"B","address":"10.77.0.3","role":"Backup","backupForSerial":"M"},)"
                      R"({"serial":"I","address":"10.77.0.4"}]})");
  config_.load();
  services_.found = {{"10.77.0.2", 5000, "", "M"}, {"10.77.0.3", 5000, "", "B"}, {"10.77.0.4", 5000, "", "I"}};
  replication_status rep;
  rep.revision = 3;
  services_.replication["M"] = rep;
  services_.replication["I"] = rep;
  cycle_.run_pass();
  EXPECT_EQ(config_.find("M")->replication_revision, 3);
  EXPECT_EQ(config_.find("I")->replication_revision, 0);
  // No answer keeps the previous status.
  services_.replication.clear();
  cycle_.run_pass();
  EXPECT_EQ(config_.find("M")->replication_revision, 3);
}

TEST_F(RefreshCycleTest, ExceptionEndsPassWithGuardMessage) {
  services_.discovery_throws = true;
  EXPECT_FALSE(cycle_.run_pass());
  EXPECT_EQ(err_.str(), "Redundancy Control refresh: Unable to bind discovery socket\n");
  EXPECT_FALSE(std::filesystem::exists(config_.path()));
  services_.discovery_throws = false;
  EXPECT_TRUE(cycle_.run_pass());
}

}  // namespace
}  // namespace tolvarine::operator_control
