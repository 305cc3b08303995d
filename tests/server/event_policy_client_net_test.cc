#include "server/event_policy_client.h"

#include <gtest/gtest.h>

#include <string>

#include "config/json_util.h"
#include "support/simulator.h"

namespace tolvarine::operator_control {
namespace {

// Against one simulated Main: the pairing is written into its event model
// once, with the revision it can read, and each failure has its message.
TEST(PairingNetTest, WritesThePairingOnceOrNamesTheFailure) {
  if (!testing::in_test_network()) FAIL() << testing::kNeedsTestNetwork;
  testing::simulator main("10.77.0.2", "S-MAIN", "Server A");
  ASSERT_TRUE(main.serving());
  const event_policy desired{true,
                             {{"S-MAIN", "Server A", "10.77.0.2", system_role::main, ""},
                              {"S-BACK", "Server B", "10.77.0.3", system_role::backup, "S-MAIN"}},
                             {1, 2, 3}, 0};
  auto sync = [&](std::string& message, const event_policy& policy) {
    return event_policy_client().synchronize_event_policy("10.77.0.2", 5000, policy, message, 1500);
  };
  auto updates = [&] {
    return json_util::integer_value(main.sim_get("state"), "updates").value_or(0);
  };
  struct row {
    const char* knobs;
    const char* model;     // null: keep the simulator's
    const char* expected;  // the model afterwards, V the pairing at `revision`; null: untouched
    int64_t revision;
    const char* message;
  };
  const row rows[] = {
      // The configuration read's revision wins, else the model's own, else 0.
      {"replication_revision=44", R"({"Name":"Show","Cues":[{"Id":1}],"ReplicationRevision":31})",
       R"({"Name":"Show","Cues":[{"Id":1}],"ReplicationRevision":31,"OperatorControl":V})", 44,
       kPolicySynchronized},
      {"configuration_status=500", R"({"Name":"Show","OperatorControl":null,"ReplicationRevision":12})",
       R"({"Name":"Show","OperatorControl":V,"ReplicationRevision":12})", 12, kUpdateNotExposed},
      {"configuration_status=500", R"({"Name":"Show"})", R"({"Name":"Show","OperatorControl":V})", 0,
       kUpdateNotExposed},
      {"event_model_status=500", nullptr, nullptr, 0, kEventUnreadable},
      {"event_model_error=on", nullptr, nullptr, 0, kEventUnreadable},
      {"update=reject", nullptr, nullptr, 0, kUpdateRejected},
      {"update=fail", nullptr, nullptr, 0, kUpdateRejected},
      {"update=ignore", nullptr, nullptr, 0, kUpdateNotExposed},
      {"http=reset&fault_paths=/Home/UpdateEventModel", nullptr, nullptr, 0, kUpdateRejected},
      {"update=accept", "[1,2,3]", nullptr, 0, kEventUnprepared},
      {"update=accept", "", nullptr, 0, kEventUnreadable},
  };
  for (const row& r : rows) {
    ASSERT_TRUE(main.reset() && main.set(r.knobs));
    if (r.model != nullptr) {
      ASSERT_TRUE(main.set_event_model(r.model));
    }
    std::string message;
    EXPECT_EQ(sync(message, desired), r.message == kPolicySynchronized) << r.knobs;
    EXPECT_EQ(message, r.message) << r.knobs;
    EXPECT_EQ(updates(), r.expected != nullptr ? 1 : 0) << r.knobs;
    if (r.expected != nullptr) {
      std::string expected = r.expected;
      expected.replace(expected.find('V'), 1, operator_control_json(desired, r.revision));
      EXPECT_EQ(main.sim_get("event-model"), expected);
      EXPECT_NE(main.sim_get("state").find(json_util::escape(event_model_form(expected))),
                std::string::npos);
    } else if (r.message == kEventUnprepared || r.message == kEventUnreadable) {
      EXPECT_EQ(main.sim_get("state").find("UpdateEventModel"), std::string::npos) << r.knobs;
    }
  }

  // Already equivalent (other order, other addresses): nothing is posted.
  ASSERT_TRUE(main.reset() && main.set("replication_revision=44"));
  std::string message;
  ASSERT_TRUE(sync(message, desired));
  event_policy reordered = desired;
  std::swap(reordered.systems[0], reordered.systems[1]);
  reordered.systems[0].address = "10.77.0.9";
  EXPECT_TRUE(sync(message, reordered));
  EXPECT_EQ(message, kPolicySynchronized);
  EXPECT_EQ(updates(), 1);
}

}  // namespace
}  // namespace tolvarine::operator_control
