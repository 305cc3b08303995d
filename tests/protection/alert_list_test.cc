#include "protection/alert_list.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvarine::operator_control {
namespace {

TEST(AlertListTest, KeepsOneActiveAlertPerKey) {
  alert_list alerts;
  EXPECT_NE(alerts.raise("S1:server", "Main: \"lost\"", "critical", 1000), "");
  EXPECT_EQ(alerts.raise("S1:server", "other text", "warning", 2000), "") << "already active";
  EXPECT_NE(alerts.recover("S1:server", 3000), "");
  EXPECT_EQ(alerts.recover("S1:server", 3500), "");
  EXPECT_EQ(alerts.recover("never", 3500), "");
  EXPECT_NE(alerts.raise("S1:server", "again", "warning", 4000), "");
  alerts.acknowledge_all();
  EXPECT_EQ(alerts.json(),
            "[{\"id\":1,\"message\":\"Main: \\\"lost\\\"\",\"severity\":\"critical\","
            "\"started\":1000,\"recovered\":3000,\"active\":false,\"acknowledged\":true},"
            "{\"id\":2,\"message\":\"again\",\"severity\":\"warning\",\"started\":4000,"
            "\"recovered\":0,\"active\":true,\"acknowledged\":true}]");
  alerts.recover_all_silently(5000);
  EXPECT_FALSE(alerts.entries()[1].active);
  EXPECT_EQ(alerts.entries()[1].recovered, 5000);
}

TEST(AlertListTest, LimitEvictsTheOldestInactiveAlertElseTheOldest) {
  alert_list alerts;
  for (int i = 0; i < 200; ++i) (void)alerts.raise("k" + std::to_string(i), "m", "warning", i);
  (void)alerts.recover("k199", 300);  // only the newest is inactive
  (void)alerts.raise("new", "m", "warning", 400);
  ASSERT_EQ(alerts.entries().size(), 200u);
  EXPECT_EQ(alerts.entries().front().key, "k0");
  EXPECT_EQ(alerts.entries()[198].key, "k198");
  EXPECT_EQ(alerts.entries().back().key, "new");
  EXPECT_EQ(alerts.entries().back().id, 201u);
  (void)alerts.raise("newer", "m", "warning", 500);  // all active: the oldest goes
  ASSERT_EQ(alerts.entries().size(), 200u);
  EXPECT_EQ(alerts.entries().front().key, "k1");
  EXPECT_EQ(alerts.entries().back().key, "newer");
}

}  // namespace
}  // namespace tolvarine::operator_control
