#include "protection/protection_policy.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvarine::operator_control {
namespace {

const char* const kDelay =
    "Fault delays must be 500-30000 ms; startup grace must be 1000-60000 ms.";
const char* const kResources = "Resource pressure supports Ignore or Alert only.";
const char* const kMode = "Choose Ignore, Alert only, or Alert + failover.";
const char* const kLimit = "Maximum 128 output rules and 32 outbound actions.";
const char* const kRule =
    "Each protected output needs a unique Main output; failover rules also need a Backup output.";
const char* const kAction = "Check action destination, event, timeout, delay, and retry settings.";

// One enabled, valid action; `fields` come first and so override its values.
std::string action(const std::string& fields) {
  return R"({"actions":[{)" + fields +
         R"(,"name":"router","host":"10.0.0.9","port":9000,"payload":"GO\\r\\n","enabled":true}]})";
}

// `count` output rules with distinct Main outputs, or `count` empty actions.
std::string many(const char* key, int count) {
  const bool rules = key == std::string("outputRules");
  std::string text = std::string("{\"") + key + "\":[";
  for (int i = 0; i < count; ++i) {
    text += (i ? "," : "") + (rules ? R"({"mainId":"out)" + std::to_string(i) + "\"}" : "{}");
  }
  return text + "]}";
}

TEST(ProtectionPolicyTest, ParseFallsBackValueByValueAndTheDocumentRoundTripsByteForByte) {
  const std::string defaults =
      R"({"armed":true,"audible":false,"lossMs":1000,"stallMs":1500,"outputMs":1000,)"
      R"("startupMs":5000,"server":2,"engine":2,"responsive":2,"frames":2,"sync":1,)"
      R"("clock":1,"resources":1,"outputRules":[],"actions":[]})";
  EXPECT_EQ(protection_policy_json(protection_policy{}), defaults);
  for (const char* text : {"", "{}", R"({"lossMs":)", R"({"lossMs":"2000"})", R"({"armed":0})",
                           R"({"audible":1})", R"({"armed":"false"})"}) {
    EXPECT_EQ(protection_policy_json(parse_protection_policy(text)), defaults) << text;
  }
  EXPECT_TRUE(parse_protection_policy(R"({"audible": true})").audible);
  EXPECT_EQ(parse_protection_policy(R"({"lossMs": -7})").lossMs, -7);
  EXPECT_EQ(parse_protection_policy(R"({"lossMs":4294967297})").lossMs, 1000);  // not a number

  const protection_policy p = parse_protection_policy(
      R"({"armed":false,"outputRules":[{"mainId":"out \"1\"","backupId":"b1","mode":2},)"
      R"({"mainId":"out2","mode":0},{"mainId":"A"}],"actions":[{"name":"router",)"
      R"("host":"10.0.0.9","port":9000,"transport":"UDP","payload":"GO\\r\\n","enabled":true},)"
      R"({"transport":"udp","port":"80","retries":2,"event":"main"}]})");
  const std::string text = protection_policy_json(p);
  EXPECT_EQ(text,
            R"({"armed":false,"audible":false,"lossMs":1000,"stallMs":1500,"outputMs":1000,)"
            R"("startupMs":5000,"server":2,"engine":2,"responsive":2,"frames":2,"sync":1,)"
            R"("clock":1,"resources":1,"outputRules":[{"mainId":"out \"1\"","backupId":"b1",)"
            R"("mode":2},{"mainId":"out2","backupId":"","mode":0},{"mainId":"A","backupId":"",)"
            R"("mode":1}],"actions":[{"name":"router","event":"backup","host":"10.0.0.9",)"
            R"("port":9000,"transport":"UDP","payload":"GO\\r\\n","delayMs":0,"timeoutMs":1000,)"
            R"("retries":0,"enabled":true},{"name":"","event":"main","host":"","port":0,)"
            R"("transport":"TCP","payload":"","delayMs":0,"timeoutMs":1000,"retries":2,)"
            R"("enabled":false}]})");
  EXPECT_EQ(p.outputRules[0].mainId, "out \"1\"");
  EXPECT_EQ(p.actions[0].payload, "GO\\r\\n") << "kept escaped until sent";
  EXPECT_EQ(protection_policy_json(parse_protection_policy(text)), text);
}

TEST(ProtectionPolicyTest, ValidationNamesTheFirstDefect) {
  const std::string host = "\"host\":\"" + std::string(255, 'h');
  struct row {
    std::string json;
    const char* error;  // empty: valid
  };
  const row rows[] = {
      // Ranges, modes, and the order of the checks.
      {"{}", ""}, {R"({"lossMs":499})", kDelay}, {R"({"lossMs":30001})", kDelay},
      {R"({"lossMs":-1000})", kDelay}, {R"({"lossMs":500,"stallMs":30000,"outputMs":500})", ""},
      {R"({"stallMs":499})", kDelay}, {R"({"outputMs":30001})", kDelay},
      {R"({"startupMs":999})", kDelay}, {R"({"startupMs":1000})", ""},
      {R"({"startupMs":60000})", ""}, {R"({"startupMs":60001})", kDelay},
      {R"({"resources":2})", kResources}, {R"({"resources":-1})", kResources},
      {R"({"resources":0,"server":0,"engine":1,"frames":2})", ""}, {R"({"sync":3})", kMode},
      {R"({"server":-1})", kMode}, {R"({"clock":7})", kMode},
      {R"({"lossMs":1,"resources":2,"sync":3})", kDelay},
      {R"({"resources":2,"sync":3})", kResources},
      // Limits.
      {many("outputRules", 128), ""}, {many("outputRules", 129), kLimit},
      {many("actions", 32), ""}, {many("actions", 33), kLimit},
      // Output rules.
      {R"({"outputRules":[{"mainId":"A"}]})", ""},
      {R"({"outputRules":[{"mainId":"A","mode":2}]})", kRule},
      {R"({"outputRules":[{"mainId":"A","backupId":"a","mode":2}]})", ""},
      {R"({"outputRules":[{"backupId":"a"}]})", kRule},
      {R"({"outputRules":[{"mainId":"A","backupId":"a","mode":3}]})", kRule},
      {R"({"outputRules":[{"mainId":"A","mode":0},{"mainId":"A","backupId":"a","mode":2}]})",
       kRule},
      {R"({"outputRules":[{"mainId":"A","mode":0},{"mainId":"B","mode":0}]})", ""},
      // Actions: only enabled ones are checked.
      {R"({"actions":[{"payload":"GO\\"}]})", ""}, {R"({"actions":[{"enabled":true}]})", kAction},
      {action(R"("x":0)"), ""}, {action(host + "\""), ""}, {action(host + "h\""), kAction},
      {action(R"("port":65535)"), ""}, {action(R"("port":65536)"), kAction},
      {action(R"("port":-1)"), kAction}, {action(R"("timeoutMs":99)"), kAction},
      {action(R"("timeoutMs":3000)"), ""}, {action(R"("timeoutMs":3001)"), kAction},
      {action(R"("delayMs":10000)"), ""}, {action(R"("delayMs":10001)"), kAction},
      {action(R"("delayMs":-1)"), kAction}, {action(R"("retries":3)"), ""},
      {action(R"("retries":4)"), kAction}, {action(R"("event":"main")"), ""},
      {action(R"("event":"Backup")"), kAction},
      {action(R"("payload":"GO\\")"), "Trailing backslash in command."},
  };
  for (const row& r : rows) {
    std::string error;
    const bool ok = validate_protection_policy(parse_protection_policy(r.json), &error);
    EXPECT_EQ(ok, *r.error == '\0') << r.json.substr(0, 120);
    EXPECT_EQ(ok ? "" : error, r.error) << r.json.substr(0, 120);
  }
}

}  // namespace
}  // namespace tolvarine::operator_control
