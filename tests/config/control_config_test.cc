#include "config/control_config.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;
using testing::temp_dir;

class ControlConfigTest : public ::testing::Test {
 protected:
  steady_time now_ = steady_time{} + 1000s;
  temp_dir dir_;
  control_config config_{dir_.file("operator-control.json"), [this] { return now_; }};

  void load_text(const std::string& text) {
    testing::write_text(config_.path(), text);
    config_.load();
  }
};

// The document byte for byte; a save and load brings back the static
// fields only.
TEST_F(ControlConfigTest, WritesTheSettingsDocumentAndReadsBackStaticFields) {
  EXPECT_EQ(config_.to_json(),
            R"({"enabled":false,"controllerConfigured":false,"uiPort":5270,"runtimeUiPort":5270,)"
            R"("systems":[],"sharedFunctionIds":[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,17,24,25,)"
            R"(26,27,28,29],"policySynchronized":false,"policySyncMessage":""})");

  config_.merge_discovered({{"10.0.0.5", 5000, "Stage \"A\"", "S1"}, {"10.0.0.6", 5001, "", "S2"}});
  config_.configure_pair(true, "S1", "S2");
  config_.set_shared_functions({3, 1});
  config_.set_replication_status("S1", {.enabled = true, .role = "Main", .local_serial = "S1", .main_serial = "S1",
                                        .revision = 7, .applied_revision = 6, .pending_media = 2, .event_title = "Gala\n", .last_error = "x"});
  config_.set_runtime_ui_port(5300);
  EXPECT_EQ(config_.to_json(),
            R"({"enabled":true,"controllerConfigured":true,"uiPort":5270,"runtimeUiPort":5300,)"
            R"("systems":[{"serial":"S1","workstation":"Stage \"A\"","address":"10.0.0.5","webPort":5000,)"
            R"("controlPort":1256,"role":"Main","backupForSerial":"","online":true,"uiReady":false,)"
            R"("replicationEnabled":true,"replicationRole":"Main","replicationRevision":7,)"
            R"("replicationAppliedRevision":6,"replicationPendingMedia":2,"replicationEventTitle":"Gala\n",)"
            R"("replicationLastError":"x"},{"serial":"S2","workstation":"","address":"10.0.0.6",)"
            R"("webPort":5001,"controlPort":1256,"role":"Backup","backupForSerial":"S1","online":true,)"
            R"("uiReady":false,"replicationEnabled":false,"replicationRole":"Independent",)"
            R"("replicationRevision":0,"replicationAppliedRevision":0,"replicationPendingMedia":0,)"
            R"("replicationEventTitle":"","replicationLastError":""}],"sharedFunctionIds":[1,3],)"
            R"("policySynchronized":false,"policySyncMessage":"Waiting to synchronize pairing with Main."})");
  config_.clear_replication_status("S1");
  EXPECT_TRUE(config_.find("S1")->replication_role == "Independent" && config_.find("S1")->replication_revision == 0);

  config_.set_ui_port(6000);
  config_.save();
  EXPECT_FALSE(std::filesystem::exists(config_.path() + ".tmp"));
  control_config reloaded(config_.path());
  reloaded.load();
  ASSERT_EQ(reloaded.systems().size(), 2u);
  EXPECT_EQ(reloaded.systems()[0].workstation, "Stage \"A\"");
  EXPECT_FALSE(reloaded.systems()[0].online);  // runtime state is never read back
  EXPECT_EQ(reloaded.backup_for("S1")->serial, "S2");
  EXPECT_TRUE(reloaded.enabled() && reloaded.controller_configured());
  EXPECT_EQ(reloaded.shared_functions(), (std::set<int>{1, 3}));
  EXPECT_EQ(reloaded.runtime_ui_port(), 6000);
}

TEST_F(ControlConfigTest, LoadRulesFallBackPerKey) {
  for (const auto& [text, port] : std::initializer_list<std::pair<const char*, uint16_t>>{
           {R"({"uiPort":80})", 5270}, {R"({"uiPort":6000})", 6000}, {R"({"uiPort":65536})", 5270}}) {
    load_text(text);
    EXPECT_TRUE(config_.ui_port() == port && config_.runtime_ui_port() == port) << text;
  }

  load_text(R"({"systems":[{"serial":"M","role":"main"},{"address":"","serial":""},)"
            R"({"serial":"B","role":"Backup","backupForSerial":"M","webPort":"x"}]})");
  auto systems = config_.systems();
  ASSERT_EQ(systems.size(), 2u);  // the empty object is dropped
  EXPECT_EQ(systems[0].role, system_role::independent);  // lower-case role
  EXPECT_EQ(systems[1].web_port, 5000);
  EXPECT_FALSE(config_.controller_configured());

  // Without controllerConfigured, a Main with its Backup counts as configured.
  load_text(R"({"systems":[{"serial":"M","role":"Main"},{"serial":"B","role":"Backup","backupForSerial":"M"}]})");
  EXPECT_TRUE(config_.controller_configured() && config_.has_configured_pair());

  load_text(R"({"sharedFunctionIds":[3,1],"enabled":"true"})");
  EXPECT_FALSE(config_.enabled());
  load_text(R"({"sharedFunctionIds":[],"enabled":true})");
  EXPECT_EQ(config_.shared_functions(), (std::set<int>{1, 3}));  // empty keeps the current set
  EXPECT_TRUE(config_.enabled());

  for (const char* garbage : {"", "{\"systems\":[{\"serial\":\"A\"", "\x01\xff garbage", "[]"}) {
    load_text(garbage);
    EXPECT_TRUE(config_.systems().empty()) << garbage;
  }
}

TEST_F(ControlConfigTest, MergeDiscoveredRefreshesMovesAndAges) {
  auto s1 = [&] { return *config_.find("S1"); };
  auto where = [&] { return s1().address + ":" + std::to_string(s1().web_port) + " " + s1().workstation; };
  config_.merge_discovered({{"10.0.0.5", 5000, "A", "S1"}, {"10.0.0.7", 5000, "", ""}});
  config_.set_ui_ready("S1", true);
  // Known serial at a new address: a ready UI keeps the old address.
  now_ += 1s;
  config_.merge_discovered({{"10.0.0.9", 5005, "", "S1"}});
  EXPECT_EQ(where(), "10.0.0.5:5000 A");  // an empty workstation never erases
  EXPECT_TRUE(s1().ui_ready);
  config_.set_ui_ready("S1", false);
  config_.merge_discovered({{"10.0.0.9", 5005, "A2", "S1"}});
  EXPECT_EQ(where(), "10.0.0.9:5005 A2");
  // Same address, new port: the UI is no longer ready.
  config_.set_ui_ready("S1", true);
  config_.merge_discovered({{"10.0.0.9", 5006, "", "S1"}});
  EXPECT_FALSE(s1().ui_ready);
  // Without a serial a server is matched by address.
  config_.merge_discovered({{"10.0.0.7", 5000, "Anon", ""}});
  EXPECT_EQ(config_.systems().size(), 2u);

  // Ageing: exactly six seconds is still online, seven is not.
  config_.set_ui_ready("S1", true);
  now_ += 6s;
  config_.merge_discovered({});
  EXPECT_TRUE(s1().online);
  now_ += 1s;
  config_.merge_discovered({});
  EXPECT_FALSE(s1().online || s1().ui_ready);

  // Records loaded from the file were never seen: offline at the first merge.
  load_text(R"({"systems":[{"serial":"L","address":"10.0.0.1"}]})");
  config_.set_ui_ready("L", true);
  config_.merge_discovered({});
  EXPECT_FALSE(config_.find("L")->online || config_.find("L")->ui_ready);
}

TEST_F(ControlConfigTest, PairingChangesRolesAndSyncState) {
  config_.merge_discovered({{"10.0.0.5", 5000, "", "A"}, {"10.0.0.6", 5000, "", "B"}, {"10.0.0.7", 5000, "", "C"}});
  config_.configure_pair(true, "A", "A");
  EXPECT_TRUE(config_.controller_configured() && !config_.has_configured_pair());
  EXPECT_EQ(config_.policy_sync_message(), "Waiting to synchronize pairing with Main.");
  config_.configure_pair(true, "A", "B");
  EXPECT_TRUE(config_.main_system()->serial == "A" && config_.backup_for("A")->serial == "B");
  config_.set_policy_sync(true, "done");
  config_.configure_pair(false, "C", "A");
  EXPECT_TRUE(config_.main_system()->serial == "C" && config_.find("B")->role == system_role::independent);
  EXPECT_FALSE(config_.policy_synchronized());
  EXPECT_EQ(config_.policy_sync_message(), "Waiting to synchronize disabled redundancy state with Main.");
  config_.assign_role("B", system_role::main, "ignored");
  EXPECT_TRUE(config_.find("B")->backup_for_serial.empty() && config_.main_system()->serial == "B");
  EXPECT_FALSE(config_.has_configured_pair());  // A backs up C, which is not the first Main
}

TEST_F(ControlConfigTest, ActiveUiFollowsRedundancyAndHealthSelection) {
  load_text(R"({"enabled":true,"systems":[{"serial":"M","address":"10.0.0.2","role":"Main"},)"
            R"({"serial":"B","address":"10.0.0.3","role":"Backup","backupForSerial":"M"},)"
            R"({"serial":"I","address":"10.0.0.4"}]})");
  EXPECT_EQ(config_.active_ui_label(), "none");
  config_.set_health_presence("B", true);
  config_.set_health_presence("I", true);
  // Enabled pair, no selection, Main offline: the Backup is offered.
  EXPECT_EQ(config_.active_ui_label(), "backup");
  config_.set_health_presence("M", true);
  EXPECT_EQ(config_.active_ui_label(), "main");
  // A selection on the Backup whose UI is not ready offers nothing.
  config_.set_health_selection(true, "B");
  EXPECT_EQ(config_.active_ui_label(), "backup");
  config_.set_ui_ready("B", false);
  EXPECT_FALSE(config_.active_ui_system().has_value());
  // Disabled: never the Backup; Main first, then an independent server.
  config_.configure_pair(false, "", "");
  config_.set_health_presence("M", false);
  EXPECT_EQ(config_.active_ui_system()->serial, "I");
  config_.set_health_presence("I", false);
  config_.set_ui_ready("B", true);
  EXPECT_EQ(config_.active_ui_label(), "none");
}

}  // namespace
}  // namespace tolvarine::operator_control
