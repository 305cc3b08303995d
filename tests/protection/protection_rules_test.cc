// The pure parts of protection: the policy document and its checks (command
// escapes included) and reading health answers.
#include <gtest/gtest.h>

#include <string>

#include "protection/alert_list.h"
#include "protection/protection_policy.h"
#include "protection/protection_sample.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;
using rows = std::initializer_list<std::pair<std::string, std::string>>;

// `count` output rules (or actions) with distinct Main outputs.
std::string many(const std::string& key, int count) {
  std::string text = "{\"" + key + "\":[";
  for (int i = 0; i < count; ++i) {
    text += (i ? R"(,{"mainId":"o)" : R"({"mainId":"o)") + std::to_string(i) + "\"}";
  }
  return text + "]}";
}

TEST(ProtectionPolicyTest, ParseFallsBackValueByValueAndValidationNamesTheFirstDefect) {
  for (const char* text : {R"({"lossMs":)", R"({"lossMs":"2000"})", R"({"lossMs":4294967297})"}) {
    EXPECT_EQ(protection_policy_json(parse_protection_policy(text)), protection_policy_json({}))
        << text;
  }
  const protection_policy p =
      parse_protection_policy(R"({"armed":false,"lossMs":-7,"outputRules":[{"mainId":"A"}]})");
  EXPECT_TRUE(!p.armed && p.lossMs == -7 && p.outputRules.at(0).mode == fault_mode::alert_only);

  const std::string delay =
      "Fault delays must be 500-30000 ms; startup grace must be 1000-60000 ms.";
  const std::string limit = "Maximum 128 output rules and 32 outbound actions.";
  const std::string rule =
      "Each protected output needs a unique Main output; failover rules also need a Backup output.";
  const std::string action = "Check action destination, event, timeout, delay, and retry settings.";
  // One enabled action, valid at every limit; `f` comes first and so overrides.
  auto act = [](const std::string& f) {
    return R"({"actions":[{)" + f + R"("name":"r","host":")" + std::string(255, 'h') +
           R"(","port":65535,"timeoutMs":3000,"delayMs":10000,"retries":3,"event":"main",)"
           R"("payload":"GO\\r","enabled":true}]})";
  };
  for (const auto& [json, expected] : rows{
           {R"({"lossMs":500,"stallMs":500,"outputMs":500,"startupMs":1000,"resources":0})", ""},
           {R"({"lossMs":30000,"stallMs":30000,"outputMs":30000,"startupMs":60000,"server":0,)"
            R"("frames":2})", ""},
           {R"({"lossMs":499})", delay}, {R"({"stallMs":30001})", delay},
           {R"({"outputMs":499})", delay}, {R"({"startupMs":999})", delay},
           {R"({"startupMs":60001})", delay},
           {R"({"resources":2,"sync":3})", "Resource pressure supports Ignore or Alert only."},
           {R"({"server":-1})", "Choose Ignore, Alert only, or Alert + failover."},
           {many("outputRules", 128), ""}, {many("outputRules", 129), limit},
           {many("actions", 32), ""}, {many("actions", 33), limit},
           {R"({"outputRules":[{"mainId":"A","mode":2}]})", rule},
           {R"({"outputRules":[{"mainId":"A","mode":0},{"mainId":"A","mode":0}]})", rule},
           {R"({"actions":[{"payload":"GO\\"}]})", ""}, {act(""), ""},
           {act(R"("event":"Backup",)"), action}, {act(R"("timeoutMs":99,)"), action},
           {act(R"("payload":"GO\\",)"), "Trailing backslash in command."},
           {act(R"("payload":"\\x4g",)"), "Use two hexadecimal digits after \\x."},
           {act(R"("payload":"\\q",)"), "Supported escapes: \\r, \\n, \\t, \\\\, \\xHH."},
           {act(R"("payload":")" + std::string(16385, 'a') + "\","),
            "Command must contain 1-16384 bytes."}}) {
    std::string error;
    const bool ok = validate_protection_policy(parse_protection_policy(json), &error);
    EXPECT_EQ(ok ? "" : error, expected) << json.substr(0, 120);
  }
}

TEST(AlertListTest, AFullListNeverGivesAnActiveAlertToALesserOne) {
  alert_list list;
  for (int i = 0; i < 200; ++i) (void)list.raise("c" + std::to_string(i), "m", "critical", i);
  (void)list.raise("w", "m", "warning", 300);
  EXPECT_EQ(list.entries().front().key, "c0");
  EXPECT_EQ(list.entries().back().key, "c199");
  (void)list.raise("c200", "m", "critical", 301);
  EXPECT_EQ(list.entries().back().key, "c200") << "an equal one gives way";
}

TEST(ProtectionSampleTest, ReadsOnlyThisSerialsVersionOneAnswerAndAppliesTheFaultRules) {
  const steady_time now = steady_time{} + 100s;
  auto read = [&](const std::string& fields) {
    return read_health_answer(R"({"serial":"S-MAIN","version":1,)" + fields + "}", "S-MAIN", 1500,
                              now);
  };
  for (const char* body : {R"({"serial":"S-OTHER","version":1})", R"({"version":1})",
                           R"({"serial":"S-MAIN","version":"1"})", R"({"Serial":"S-B"})"}) {
    EXPECT_FALSE(read_health_answer(body, "S-MAIN", 1500, now)) << body;
    EXPECT_FALSE(read_identity_answer(body, "S-MAIN", now)) << body;
  }
  const auto id = read_identity_answer(R"({"Serial":"S-MAIN","Workstation":"A"})", "S-MAIN", now);
  EXPECT_TRUE(id && id->reachable && !id->supported && !id->engineRunning && id->updated == now);

  EXPECT_EQ(read("\"outputs\":{}")->outputs, "[]");  // only an array reaches the status
  EXPECT_EQ(read(R"("outputs": [ "\u00aa\u0A0F" , 1,,])")->outputs, "[]");  // invalid: dropped
  EXPECT_EQ(read(R"("outputs": [ "\u00aa\u0A0F" , -1.5e+3 ])")->outputs,
            R"(["\u00aa\u0A0F",-1.5e+3])");
  const std::string resources = R"("resourcesKnown":true,)";
  for (const auto& [fields, faults] : rows{
           {R"("engineStarting":1,"clockEngaged":true)", "clock"},
           {R"("clockEngaged":true,"clockHealthy":true)", ""},
           {resources + R"("memoryAvailablePercent":5,"cpuPercent":94,"gpuTemperature":89)", ""},
           {resources + R"("cpuPercent":95)", "pressure"},
           {R"("telemetryAvailable":true)", "stalled"},
           {R"("telemetryAvailable":true,"channels":[{"ageMs":1499},{"ageMs":20}])", ""},
           {R"("telemetryAvailable":false,"channels":[{"ageMs":20},{"ageMs":1500}])", "stalled"}}) {
    const auto s = read(fields);
    ASSERT_TRUE(s && s->reachable && s->supported && !s->engineStarting && s->updated == now);
    EXPECT_EQ(std::string(s->clock_fault ? "clock" : "") +
                  (s->resource_pressure ? "pressure" : "") + (s->frameStalled ? "stalled" : ""),
              faults) << fields;
  }
  const protection_sample o{  // the first output of an id decides
      .outputs = R"([{"id":"a","available":true},{"id":"b","available":true,"known":false},)"
                  R"({"id":"e","available":false},{"id":"e","available":true}])"};
  EXPECT_FALSE(output_available(o, "b") || output_available(o, "e") || output_available(o, "A"));
}

}  // namespace
}  // namespace tolvarine::operator_control
