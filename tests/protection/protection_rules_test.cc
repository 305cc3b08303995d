// The pure parts of protection: the policy document and its checks, reading
// health answers and control-string escapes.
#include <gtest/gtest.h>

#include <string>

#include "protection/control_string.h"
#include "protection/protection_policy.h"
#include "protection/protection_sample.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;
using rows = std::initializer_list<std::pair<std::string, std::string>>;

// `count` output rules with distinct Main outputs, or `count` empty actions.
std::string many(const std::string& key, int count) {
  std::string text = "{\"" + key + "\":[";
  for (int i = 0; i < count; ++i) {
    text +=
        (i ? "," : "") + (key == "actions" ? "{}" : R"({"mainId":"o)" + std::to_string(i) + "\"}");
  }
  return text + "]}";
}

TEST(ProtectionPolicyTest, ParseFallsBackValueByValueAndValidationNamesTheFirstDefect) {
  const std::string defaults = protection_policy_json(protection_policy{});
  for (const char* text : {"", R"({"lossMs":)", R"({"lossMs":"2000"})", R"({"armed":0})",
                           R"({"lossMs":4294967297})"}) {
    EXPECT_EQ(protection_policy_json(parse_protection_policy(text)), defaults) << text;
  }
  const protection_policy p =
      parse_protection_policy(R"({"armed":false,"lossMs":-7,"outputRules":[{"mainId":"A"}]})");
  EXPECT_TRUE(!p.armed && p.lossMs == -7 && p.outputRules.at(0).mode == fault_mode::alert_only);

  const std::string delay =
      "Fault delays must be 500-30000 ms; startup grace must be 1000-60000 ms.";
  const std::string mode = "Choose Ignore, Alert only, or Alert + failover.";
  const std::string resources = "Resource pressure supports Ignore or Alert only.";
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
           {R"({"startupMs":60001})", delay}, {R"({"resources":2,"sync":3})", resources},
           {R"({"sync":3})", mode}, {R"({"server":-1})", mode},
           {many("outputRules", 128), ""}, {many("outputRules", 129), limit},
           {many("actions", 32), ""}, {many("actions", 33), limit},
           {R"({"outputRules":[{"mainId":"A","backupId":"a","mode":2},{"mainId":"B"}]})", ""},
           {R"({"outputRules":[{"mainId":"A","mode":2}]})", rule},
           {R"({"outputRules":[{"mainId":"A","backupId":"a","mode":3}]})", rule},
           {R"({"outputRules":[{"mainId":"A","mode":0},{"mainId":"A","mode":0}]})", rule},
           {R"({"actions":[{"payload":"GO\\"}]})", ""}, {act(""), ""},
           {act(R"("event":"Backup",)"), action}, {act(R"("port":65536,)"), action},
           {act(R"("host":")" + std::string(256, 'h') + "\","), action},
           {act(R"("timeoutMs":99,)"), action}, {act(R"("timeoutMs":3001,)"), action},
           {act(R"("delayMs":10001,)"), action}, {act(R"("retries":4,)"), action},
           {act(R"("payload":"GO\\",)"), "Trailing backslash in command."}}) {
    std::string error;
    const bool ok = validate_protection_policy(parse_protection_policy(json), &error);
    EXPECT_EQ(ok ? "" : error, expected) << json.substr(0, 120);
  }
}

TEST(ControlStringTest, DecodesEscapesOrNamesTheFirstDefect) {
  const std::string hex = "Use two hexadecimal digits after \\x.";
  const std::string escapes = "Supported escapes: \\r, \\n, \\t, \\\\, \\xHH.";
  const std::string length = "Command must contain 1-16384 bytes.";
  std::string max_text;
  for (int i = 0; i < 16384; ++i) max_text += "\\x00";
  for (const auto& [text, expected] : rows{  // bytes, or the error
           {"abc\\r\\n\\t\\\\", "abc\r\n\t\\"},
           {"\\x41\\x7a\\xFF\\x00", std::string("Az\xFF\0", 4)},
           {max_text, std::string(16384, '\0')}, {max_text + "a", length}, {"", length},
           {"abc\\", "Trailing backslash in command."}, {"\\x4", hex}, {"\\x4g", hex},
           {"\\X41", escapes}, {"\\q then \\", escapes}}) {
    std::string bytes, error;
    const bool ok = decode_control_string(text, &bytes, &error);
    EXPECT_EQ(ok ? bytes : error, expected) << text.substr(0, 40);
  }
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

  // Outputs reach the status document only as valid, compact JSON.
  EXPECT_EQ(read("\"x\":0")->outputs, "[]");
  EXPECT_EQ(read(R"("outputs":[ {"id" : "a\u00e9\"", "n":-1.5e+3} , null ])")->outputs,
            R"([{"id":"a\u00e9\"","n":-1.5e+3},null])");
  const std::string resources = R"("resourcesKnown":true,)";
  for (const auto& [fields, faults] : rows{
           {R"("engineStarting":1,"clockEngaged":true)", "clock"},
           {R"("clockEngaged":true,"clockHealthy":true)", ""},
           {resources + R"("memoryAvailablePercent":5,"cpuPercent":94,"gpuTemperature":89)", ""},
           {resources + R"("memoryAvailablePercent":4)", "pressure"},
           {resources + R"("cpuPercent":95)", "pressure"},
           {resources + R"("gpuTemperature":90)", "pressure"},
           {R"("resourcesKnown":false,"cpuPercent":99)", ""},
           {R"("telemetryAvailable":true)", "stalled"},
           {R"("telemetryAvailable":true,"channels":[{"ageMs":1499},{"ageMs":20}])", ""},
           {R"("telemetryAvailable":false,"channels":[{"ageMs":20},{"ageMs":1500}])", "stalled"}}) {
    const auto s = read(fields);
    ASSERT_TRUE(s && s->reachable && s->supported && !s->engineStarting && s->updated == now);
    EXPECT_EQ(std::string(s->clock_fault ? "clock" : "") +
                  (s->resource_pressure ? "pressure" : "") + (s->frameStalled ? "stalled" : ""),
              faults) << fields;
  }
  protection_sample o;  // the first output of an id decides
  o.outputs = R"([{"id":"a","available":true},{"id":"b","available":true,"known":false},)"
              R"({"id":"e","available":false},{"id":"e","available":true}])";
  EXPECT_TRUE(output_available(o, "a"));
  EXPECT_FALSE(output_available(o, "b") || output_available(o, "e") || output_available(o, "A"));
}

}  // namespace
}  // namespace tolvarine::operator_control
