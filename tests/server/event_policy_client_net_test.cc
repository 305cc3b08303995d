#include "server/event_policy_client.h"

#include <gtest/gtest.h>

#include <string>

#include "config/control_config.h"
#include "config/json_util.h"
#include "server/sim_fixture.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using testing::running_sim;

constexpr const char* kMainAddress = "10.77.0.2";
constexpr int kTimeout = 1500;

event_policy desired_pair() {
  event_policy p;
  p.enabled = true;
  p.systems = {{"S-MAIN", "Server A", "10.77.0.2", system_role::main, ""},
               {"S-BACK", "Server B", "10.77.0.3", system_role::backup, "S-MAIN"}};
  p.shared_function_ids = {1, 2, 3};
  return p;
}

// One simulated Main on 10.77.0.2:5000.
class PairingNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::in_test_network()) FAIL() << testing::kNeedsTestNetwork;
    main_ = std::make_unique<running_sim>(dir_, kMainAddress, 5000, "S-MAIN", "Server A");
    ASSERT_TRUE(main_->ready());
  }
  bool sync(std::string& message, const event_policy& desired = desired_pair()) {
    return client_.synchronize_event_policy(kMainAddress, 5000, desired, message, kTimeout);
  }
  int updates() const {
    std::string state = main_->state();
    size_t at = state.find("\"updates\":");
    return at == std::string::npos ? 0 : std::atoi(state.c_str() + at + 10);
  }

  testing::temp_dir dir_;
  std::unique_ptr<running_sim> main_;
  event_policy_client client_;
};

TEST_F(PairingNetTest, WritesThePairingIntoTheModelOnceAndConfirmsIt) {
  const std::string model = R"({"Name":"Show","Cues":[{"Id":1}],"ReplicationRevision":31})";
  main_->set_event_model(model);
  main_->set("replication_revision=44");  // what the configuration read reports

  std::string message;
  EXPECT_TRUE(sync(message));
  EXPECT_EQ(message, kPolicySynchronized);
  const std::string expected_model =
      R"({"Name":"Show","Cues":[{"Id":1}],"ReplicationRevision":31,"OperatorControl":)" +
      operator_control_json(desired_pair(), 44) + "}";
  EXPECT_EQ(main_->event_model(), expected_model);
  EXPECT_NE(main_->state().find(json_util::escape(event_model_form(expected_model))),
            std::string::npos);
  EXPECT_EQ(updates(), 1);

  // Already equivalent (other order, other addresses): nothing is posted.
  event_policy reordered = desired_pair();
  std::swap(reordered.systems[0], reordered.systems[1]);
  reordered.systems[0].address = "10.77.0.9";
  EXPECT_TRUE(sync(message, reordered));
  EXPECT_EQ(message, kPolicySynchronized);
  EXPECT_EQ(updates(), 1);

  std::optional<event_policy> read = client_.fetch(kMainAddress, 5000, 750);
  ASSERT_TRUE(read.has_value());
  EXPECT_TRUE(event_policy_client::equivalent(*read, desired_pair()));
  EXPECT_EQ(read->replication_revision, 44);
  EXPECT_EQ(read->systems[0].workstation, "Server A");
}

TEST_F(PairingNetTest, ReplacesAnExistingValueAndTakesTheModelsRevisionWhenUnread) {
  main_->set_event_model(R"({"Name":"Show","OperatorControl":null,"ReplicationRevision":12})");
  main_->set("configuration_status=500");  // the first read fails ...
  std::string message;
  EXPECT_FALSE(sync(message));  // ... and so does the confirming one
  EXPECT_EQ(message, kUpdateNotExposed);
  EXPECT_EQ(main_->event_model(), R"({"Name":"Show","OperatorControl":)" +
                                      operator_control_json(desired_pair(), 12) +
                                      R"(,"ReplicationRevision":12})");

  main_->set("configuration_status=200");
  EXPECT_TRUE(sync(message));
  EXPECT_EQ(message, kPolicySynchronized);
  EXPECT_EQ(updates(), 1);
}

TEST_F(PairingNetTest, EachFailureHasItsMessage) {
  struct row {
    const char* knobs;
    const char* model;  // null: keep the simulator's
    const char* message;
  };
  const row rows[] = {
      {"event_model_status=500", nullptr, kEventUnreadable},
      {"event_model_error=on", nullptr, kEventUnreadable},
      {"update=reject", nullptr, kUpdateRejected},
      {"update=fail", nullptr, kUpdateRejected},
      {"update=ignore", nullptr, kUpdateNotExposed},
      {"http=reset&fault_paths=/Home/UpdateEventModel", nullptr, kUpdateRejected},
      {"update=accept", "[1,2,3]", kEventUnprepared},
      {"update=accept", "", kEventUnreadable},
  };
  for (const row& r : rows) {
    main_->call("POST", "/sim/reset");
    main_->set(r.knobs);
    if (r.model != nullptr) main_->set_event_model(r.model);
    std::string message;
    EXPECT_FALSE(sync(message)) << r.knobs;
    EXPECT_EQ(message, r.message) << r.knobs;
    EXPECT_EQ(updates(), 0) << r.knobs;
    if (r.message == kEventUnprepared || r.message == kEventUnreadable) {
      EXPECT_EQ(main_->state().find("UpdateEventModel"), std::string::npos) << r.knobs;
    }
  }
}

TEST_F(PairingNetTest, ControllerPolicyReachesTheMainThroughTheRegistry) {
  running_sim backup(dir_, "10.77.0.3", 5000, "S-BACK", "Server B");
  ASSERT_TRUE(backup.ready());
  control_config config(dir_.file("operator-control.json"));
  config.merge_discovered({{"10.77.0.2", 5000, "Server A", "S-MAIN"},
                           {"10.77.0.3", 5000, "Server B", "S-BACK"},
                           {"10.77.0.4", 5000, "Other", "S-OTHER"}});
  config.configure_pair(true, "S-MAIN", "S-BACK");
  config.set_shared_functions({1, 2, 3});

  std::string message;
  EXPECT_TRUE(synchronize_controller_policy(config, client_, message));
  EXPECT_EQ(message, kPolicySynchronized);
  EXPECT_TRUE(config.policy_synchronized());
  EXPECT_EQ(config.policy_sync_message(), kPolicySynchronized);
  std::optional<event_policy> read = client_.fetch(kMainAddress, 5000, 750);
  ASSERT_TRUE(read.has_value());
  EXPECT_TRUE(event_policy_client::equivalent(*read, desired_pair()));
  EXPECT_EQ(read->systems.size(), 2u);  // the Independent server is left out

  // The Backup's replication status follows the pairing it can read.
  backup.set_event_model(main_->event_model());
  backup.set("pending_media=4&last_error=disk%20full&replication_applied_revision=6");
  std::optional<replication_status> status =
      client_.fetch_replication_status("10.77.0.3", 5000, 600);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(status->enabled);
  EXPECT_EQ(status->role + " " + status->local_serial + " of " + status->main_serial +
                ", applied " + std::to_string(status->applied_revision) + ", pending " +
                std::to_string(status->pending_media) + ", " + status->last_error,
            "Backup S-BACK of S-MAIN, applied 6, pending 4, disk full");

  // A Main that fails afterwards leaves a failure message in the registry.
  main_->set("update=reject&configuration_status=404");
  EXPECT_FALSE(synchronize_controller_policy(config, client_, message));
  EXPECT_EQ(config.policy_sync_message(), kUpdateRejected);
  EXPECT_FALSE(config.policy_synchronized());
}

TEST_F(PairingNetTest, AdoptsThePairingTheMainPublishesAndProbesIdentity) {
  main_->set_event_model(
      R"({"Name":"Show","operatorControl":{"enabled":true,"systems":[)"
      R"({"serial":"S-MAIN","role":"Main","address":"10.77.0.2"},)"
      R"({"serial":"S-BACK","role":"Backup","backupForSerial":"S-MAIN","address":"10.77.0.3"}],)"
      R"("sharedFunctionIds":[5,6]}})");
  control_config config(dir_.file("operator-control.json"));
  config.merge_discovered({{"10.77.0.2", 5000, "Server A", "S-MAIN"}});
  std::optional<event_policy> published = client_.fetch(kMainAddress, 5000, 750);
  ASSERT_TRUE(published.has_value());
  config.apply_event_policy(*published);
  EXPECT_TRUE(config.controller_configured() && config.enabled());
  EXPECT_EQ(config.shared_functions(), (std::set<int>{5, 6}));
  ASSERT_TRUE(config.backup_for("S-MAIN").has_value());
  EXPECT_EQ(config.backup_for("S-MAIN")->address, "10.77.0.3");

  EXPECT_TRUE(client_.probe_identity(kMainAddress, 5000, "S-MAIN", 750));
  EXPECT_FALSE(client_.probe_identity(kMainAddress, 5000, "S-BACK", 750));
  main_->set("http=hang&hang_ms=2000");
  EXPECT_FALSE(client_.probe_identity(kMainAddress, 5000, "S-MAIN", 300));
  EXPECT_FALSE(client_.probe_identity("10.77.0.8", 5000, "S-MAIN", 300));  // nobody there
}

}  // namespace
}  // namespace tolvarine::operator_control
