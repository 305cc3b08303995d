#include <gtest/gtest.h>

#include "protection/protection_fixture.h"

namespace tolvarine::operator_control {
namespace {

using AlertStormTest = ProtectionFixture;

// 220 output faults on top of a Backup that cannot take over: for 10 s of
// passes the ids and log lines stay bounded, the critical readiness alert
// keeps its place, and a displaced fault logs again only after a minute.
TEST_F(AlertStormTest, StormOfOutputFaultsStaysBounded) {
  settle();
  std::string rules;
  for (int i = 0; i < 110; ++i) {
    rules += std::string(i ? "," : "") + R"({"mainId":"m)" + std::to_string(i) +
             R"(","backupId":"b)" + std::to_string(i) + R"(","mode":1})";
  }
  configure("{\"outputRules\":[" + rules + "]}");
  auto unresponsive = [this] {
    protection_sample s = healthy();
    s.engineResponsive = false;
    return s;
  };
  const size_t lines_before = log_lines().size();
  for (int i = 0; i < 40; ++i) {
    advance(250);
    pass(healthy(), unresponsive());
  }
  const std::vector<protection_alert> alerts = service_->alerts();
  EXPECT_EQ(alerts.size(), kMaxAlerts);
  EXPECT_LE(alerts.back().id, 230u);
  EXPECT_TRUE(active_alert("backup-readiness"));
  EXPECT_TRUE(active_alert(std::string(kBackup) + ":responsive"));
  const size_t storm_lines = log_lines().size() - lines_before;
  EXPECT_LE(storm_lines, 230u);
  advance(60000);
  pass(healthy(), unresponsive());
  EXPECT_EQ(log_lines().size() - lines_before - storm_lines, 22u);
}

}  // namespace
}  // namespace tolvarine::operator_control
