#include "server/event_policy_client.h"

#include <gtest/gtest.h>

#include <string>

#include "config/control_config.h"
#include "config/json_util.h"
#include "support/simulator.h"

namespace tolvarine::operator_control {
namespace {

constexpr const char* kMainAddress = "10.77.0.2";

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
    ASSERT_TRUE(main_.serving());
  }
  bool sync(std::string& message, const event_policy& desired = desired_pair()) {
    return client_.synchronize_event_policy(kMainAddress, 5000, desired, message, 1500);
  }
  int updates() { return json_util::integer_value(main_.sim_get("state"), "updates").value_or(0); }

  testing::simulator main_{kMainAddress, "S-MAIN", "Server A"};
  event_policy_client client_;
};

TEST_F(PairingNetTest, WritesThePairingIntoTheModelOnceWithTheRevisionItCanRead) {
  struct row {
    const char* model;
    const char* knobs;
    std::string expected;  // the model afterwards; V is the pairing at the revision below
    int64_t revision;
    bool confirmed;
  };
  const row rows[] = {
      // The configuration read's revision wins ...
      {R"({"Name":"Show","Cues":[{"Id":1}],"ReplicationRevision":31})", "replication_revision=44",
       R"({"Name":"Show","Cues":[{"Id":1}],"ReplicationRevision":31,"OperatorControl":V})", 44, true},
      // ... else the model's own, else 0; an existing value is replaced.
      {R"({"Name":"Show","OperatorControl":null,"ReplicationRevision":12})", "configuration_status=500",
       R"({"Name":"Show","OperatorControl":V,"ReplicationRevision":12})", 12, false},
      {R"({"Name":"Show"})", "configuration_status=500", R"({"Name":"Show","OperatorControl":V})", 0, false},
  };
  for (const row& r : rows) {
    ASSERT_TRUE(main_.reset() && main_.set(r.knobs) && main_.set_event_model(r.model));
    std::string message;
    EXPECT_EQ(sync(message), r.confirmed) << r.model;
    EXPECT_EQ(message, r.confirmed ? kPolicySynchronized : kUpdateNotExposed) << r.model;
    std::string expected = r.expected;
    expected.replace(expected.find('V'), 1, operator_control_json(desired_pair(), r.revision));
    EXPECT_EQ(main_.sim_get("event-model"), expected);
    EXPECT_NE(main_.sim_get("state").find(json_util::escape(event_model_form(expected))), std::string::npos);
    EXPECT_EQ(updates(), 1);
  }

  // Already equivalent (other order, other addresses): nothing is posted.
  ASSERT_TRUE(main_.set("configuration_status=200"));
  event_policy reordered = desired_pair();
  std::swap(reordered.systems[0], reordered.systems[1]);
  reordered.systems[0].address = "10.77.0.9";
  std::string message;
  EXPECT_TRUE(sync(message, reordered));
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
    ASSERT_TRUE(main_.reset() && main_.set(r.knobs));
    if (r.model != nullptr) {
      ASSERT_TRUE(main_.set_event_model(r.model));
    }
    std::string message;
    EXPECT_FALSE(sync(message)) << r.knobs;
    EXPECT_EQ(message, r.message) << r.knobs;
    EXPECT_EQ(updates(), 0) << r.knobs;
    if (r.message == kEventUnprepared || r.message == kEventUnreadable) {
      EXPECT_EQ(main_.sim_get("state").find("UpdateEventModel"), std::string::npos) << r.knobs;
    }
  }
}

TEST_F(PairingNetTest, ControllerPolicyReachesTheMainThroughTheRegistry) {
  testing::simulator backup("10.77.0.3", "S-BACK", "Server B");
  ASSERT_TRUE(backup.serving());
  testing::temp_dir dir;
  control_config config(dir.file("operator-control.json"));
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
  EXPECT_EQ(read->systems[0].workstation, "Server A");

  // The Backup's replication status follows the pairing it can read.
  ASSERT_TRUE(backup.set_event_model(main_.sim_get("event-model")));
  ASSERT_TRUE(backup.set("pending_media=4&last_error=disk%20full&replication_applied_revision=6"));
  std::optional<replication_status> status = client_.fetch_replication_status("10.77.0.3", 5000, 600);
  ASSERT_TRUE(status.has_value());
  EXPECT_TRUE(status->enabled);
  EXPECT_EQ(status->role + " " + status->local_serial + " of " + status->main_serial + ", applied " +
                std::to_string(status->applied_revision) + ", pending " + std::to_string(status->pending_media) +
                ", " + status->last_error,
            "Backup S-BACK of S-MAIN, applied 6, pending 4, disk full");

  // A Main that fails afterwards leaves a failure message in the registry.
  ASSERT_TRUE(main_.set("update=reject&configuration_status=404"));
  EXPECT_FALSE(synchronize_controller_policy(config, client_, message));
  EXPECT_EQ(config.policy_sync_message(), kUpdateRejected);
  EXPECT_FALSE(config.policy_synchronized());
}

}  // namespace
}  // namespace tolvarine::operator_control
