#include "protection/protection_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvarine::operator_control {
namespace {

const char* const kDelayMessage =
    "Fault delays must be 500-30000 ms; startup grace must be 1000-60000 ms.";
const char* const kModeMessage = "Choose Ignore, Alert only, or Alert + failover.";
const char* const kLimitMessage = "Maximum 128 output rules and 32 outbound actions.";
const char* const kRuleMessage =
    "Each protected output needs a unique Main output; failover rules also need a Backup output.";
const char* const kActionMessage =
    "Check action destination, event, timeout, delay, and retry settings.";

protection_policy::action enabled_action() {
  protection_policy::action a;
  a.name = "router";
  a.host = "10.0.0.9";
  a.port = 9000;
  a.payload = "GO\\r\\n";
  a.enabled = true;
  return a;
}

std::string validation_error(const protection_policy& p) {
  std::string error;
  if (validate_protection_policy(p, &error)) return "";
  return error.empty() ? "(no message)" : error;
}

TEST(ProtectionPolicyTest, ParseFallsBackToDefaultsValueByValue) {
  const protection_policy empty = parse_protection_policy("");
  EXPECT_TRUE(empty.armed);
  EXPECT_FALSE(empty.audible);
  EXPECT_EQ(empty.lossMs, 1000);
  EXPECT_EQ(empty.startupMs, 5000);
  EXPECT_EQ(empty.sync, fault_mode::alert_only);
  EXPECT_TRUE(empty.outputRules.empty());
  EXPECT_EQ(protection_policy_json(parse_protection_policy("{}")),
            protection_policy_json(protection_policy{}));

  // Only a value starting with false disarms; only true turns audible on.
  EXPECT_TRUE(parse_protection_policy(R"({"armed":0})").armed);
  EXPECT_FALSE(parse_protection_policy(R"({"armed":false})").armed);
  EXPECT_FALSE(parse_protection_policy(R"({"audible":1})").audible);
  EXPECT_TRUE(parse_protection_policy(R"({"audible": true})").audible);
  // Quoted numbers are not numbers.
  EXPECT_EQ(parse_protection_policy(R"({"lossMs":"2000"})").lossMs, 1000);
  EXPECT_EQ(parse_protection_policy(R"({"lossMs": -7})").lossMs, -7);
  EXPECT_EQ(parse_protection_policy(R"({"lossMs":4294967297})").lossMs, 1);  // truncated
  EXPECT_EQ(parse_protection_policy(R"({"lossMs":)").lossMs, 1000);

  const protection_policy p = parse_protection_policy(
      R"({"outputRules":[{"mainId":"A"},{"mainId":"B","backupId":"b","mode":2}],)"
      R"("actions":[{"transport":"udp"},{"name":"n","event":"main","transport":"UDP",)"
      R"("port":"80","enabled":true,"retries":2}]})");
  ASSERT_EQ(p.outputRules.size(), 2u);
  EXPECT_EQ(p.outputRules[0].mode, fault_mode::alert_only);
  EXPECT_EQ(p.outputRules[1].backupId, "b");
  EXPECT_EQ(p.outputRules[1].mode, fault_mode::alert_failover);
  ASSERT_EQ(p.actions.size(), 2u);
  EXPECT_EQ(p.actions[0].event, "backup");
  EXPECT_FALSE(p.actions[0].udp) << "only exactly UDP means UDP";
  EXPECT_EQ(p.actions[0].timeoutMs, 1000);
  EXPECT_FALSE(p.actions[0].enabled);
  EXPECT_TRUE(p.actions[1].udp);
  EXPECT_EQ(p.actions[1].event, "main");
  EXPECT_EQ(p.actions[1].port, 0);
  EXPECT_EQ(p.actions[1].retries, 2);
  EXPECT_TRUE(p.actions[1].enabled);
}

TEST(ProtectionPolicyTest, WritesTheDocumentByteForByteAndReadsItBack) {
  EXPECT_EQ(protection_policy_json(protection_policy{}),
            R"({"armed":true,"audible":false,"lossMs":1000,"stallMs":1500,"outputMs":1000,)"
            R"("startupMs":5000,"server":2,"engine":2,"responsive":2,"frames":2,"sync":1,)"
            R"("clock":1,"resources":1,"outputRules":[],"actions":[]})");

  protection_policy p;
  p.armed = false;
  p.outputRules.push_back({"out \"1\"", "b1", fault_mode::alert_failover});
  p.outputRules.push_back({"out2", "", fault_mode::ignore});
  protection_policy::action a = enabled_action();
  a.udp = true;
  a.payload = "GO\\r\\n";
  p.actions.push_back(a);
  p.actions.push_back(protection_policy::action{});
  const std::string text = protection_policy_json(p);
  EXPECT_EQ(text,
            R"({"armed":false,"audible":false,"lossMs":1000,"stallMs":1500,"outputMs":1000,)"
            R"("startupMs":5000,"server":2,"engine":2,"responsive":2,"frames":2,"sync":1,)"
            R"("clock":1,"resources":1,"outputRules":[{"mainId":"out \"1\"","backupId":"b1",)"
            R"("mode":2},{"mainId":"out2","backupId":"","mode":0}],"actions":[{"name":"router",)"
            R"("event":"backup","host":"10.0.0.9","port":9000,"transport":"UDP",)"
            R"("payload":"GO\\r\\n","delayMs":0,"timeoutMs":1000,"retries":0,"enabled":true},)"
            R"({"name":"","event":"backup","host":"","port":0,"transport":"TCP","payload":"",)"
            R"("delayMs":0,"timeoutMs":1000,"retries":0,"enabled":false}]})");
  EXPECT_EQ(protection_policy_json(parse_protection_policy(text)), text);
}

TEST(ProtectionPolicyTest, ValidationChecksRangesAndModesInOrder) {
  struct row {
    const char* json;
    const char* error;  // empty: valid
  };
  const row rows[] = {
      {R"({})", ""},
      {R"({"lossMs":499})", kDelayMessage},
      {R"({"lossMs":30001})", kDelayMessage},
      {R"({"lossMs":-1000})", kDelayMessage},
      {R"({"lossMs":500,"stallMs":30000,"outputMs":500})", ""},
      {R"({"stallMs":499})", kDelayMessage},
      {R"({"outputMs":30001})", kDelayMessage},
      {R"({"startupMs":999})", kDelayMessage},
      {R"({"startupMs":1000})", ""},
      {R"({"startupMs":60000})", ""},
      {R"({"startupMs":60001})", kDelayMessage},
      {R"({"resources":2})", "Resource pressure supports Ignore or Alert only."},
      {R"({"resources":-1})", "Resource pressure supports Ignore or Alert only."},
      {R"({"resources":0,"server":0,"engine":1,"frames":2})", ""},
      {R"({"sync":3})", kModeMessage},
      {R"({"server":-1})", kModeMessage},
      {R"({"clock":7})", kModeMessage},
      // Order: the delay check comes first, the resource check before modes.
      {R"({"lossMs":1,"resources":2,"sync":3})", kDelayMessage},
      {R"({"resources":2,"sync":3})", "Resource pressure supports Ignore or Alert only."},
  };
  for (const row& r : rows) {
    EXPECT_EQ(validation_error(parse_protection_policy(r.json)), r.error) << r.json;
  }
}

TEST(ProtectionPolicyTest, ValidationLimitsAndChecksOutputRules) {
  protection_policy p;
  for (int i = 0; i < 128; ++i) p.outputRules.push_back({"out" + std::to_string(i), "", fault_mode::alert_only});
  EXPECT_EQ(validation_error(p), "");
  p.outputRules.push_back({"one more", "", fault_mode::alert_only});
  EXPECT_EQ(validation_error(p), kLimitMessage);

  protection_policy q;
  for (int i = 0; i < 32; ++i) q.actions.push_back(protection_policy::action{});
  EXPECT_EQ(validation_error(q), "");
  q.actions.push_back(protection_policy::action{});
  EXPECT_EQ(validation_error(q), kLimitMessage);

  struct row {
    std::vector<protection_policy::output_rule> rules;
    const char* error;
  };
  const row rows[] = {
      {{{"A", "", fault_mode::alert_only}}, ""},
      {{{"A", "", fault_mode::alert_failover}}, kRuleMessage},
      {{{"A", "a", fault_mode::alert_failover}}, ""},
      {{{"", "a", fault_mode::alert_only}}, kRuleMessage},
      {{{"A", "a", static_cast<fault_mode>(3)}}, kRuleMessage},
      {{{"A", "", fault_mode::ignore}, {"A", "a", fault_mode::alert_failover}}, kRuleMessage},
      {{{"A", "", fault_mode::ignore}, {"B", "", fault_mode::ignore}}, ""},
  };
  for (const row& r : rows) {
    protection_policy policy;
    policy.outputRules = r.rules;
    EXPECT_EQ(validation_error(policy), r.error) << protection_policy_json(policy);
  }
}

TEST(ProtectionPolicyTest, ValidationChecksOnlyEnabledActions) {
  protection_policy::action disabled;  // host empty, port 0
  protection_policy p;
  p.actions.push_back(disabled);
  EXPECT_EQ(validation_error(p), "");
  p.actions[0].enabled = true;
  EXPECT_EQ(validation_error(p), kActionMessage);

  using edit = void (*)(protection_policy::action&);
  struct row {
    const char* what;
    edit change;
    const char* error;
  };
  const row rows[] = {
      {"valid", [](protection_policy::action&) {}, ""},
      {"host 255", [](protection_policy::action& a) { a.host = std::string(255, 'h'); }, ""},
      {"host 256", [](protection_policy::action& a) { a.host = std::string(256, 'h'); }, kActionMessage},
      {"port 65535", [](protection_policy::action& a) { a.port = 65535; }, ""},
      {"port 65536", [](protection_policy::action& a) { a.port = 65536; }, kActionMessage},
      {"port -1", [](protection_policy::action& a) { a.port = -1; }, kActionMessage},
      {"timeout 99", [](protection_policy::action& a) { a.timeoutMs = 99; }, kActionMessage},
      {"timeout 3000", [](protection_policy::action& a) { a.timeoutMs = 3000; }, ""},
      {"timeout 3001", [](protection_policy::action& a) { a.timeoutMs = 3001; }, kActionMessage},
      {"delay 10000", [](protection_policy::action& a) { a.delayMs = 10000; }, ""},
      {"delay 10001", [](protection_policy::action& a) { a.delayMs = 10001; }, kActionMessage},
      {"delay -1", [](protection_policy::action& a) { a.delayMs = -1; }, kActionMessage},
      {"retries 3", [](protection_policy::action& a) { a.retries = 3; }, ""},
      {"retries 4", [](protection_policy::action& a) { a.retries = 4; }, kActionMessage},
      {"event main", [](protection_policy::action& a) { a.event = "main"; }, ""},
      {"event Backup", [](protection_policy::action& a) { a.event = "Backup"; }, kActionMessage},
      {"trailing backslash", [](protection_policy::action& a) { a.payload = "GO\\"; },
       "Trailing backslash in command."},
      {"empty payload", [](protection_policy::action& a) { a.payload = ""; },
       "Command must contain 1-16384 bytes."},
  };
  for (const row& r : rows) {
    protection_policy policy;
    policy.actions.push_back(enabled_action());
    r.change(policy.actions[0]);
    EXPECT_EQ(validation_error(policy), r.error) << r.what;
  }
}

}  // namespace
}  // namespace tolvarine::operator_control
