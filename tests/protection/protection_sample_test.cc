#include "protection/protection_sample.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;

const steady_time kNow = steady_time{} + 100s;

std::optional<protection_sample> read(const std::string& fields) {
  return read_health_answer(R"({"serial":"S-MAIN","version":1,)" + fields + "}", "S-MAIN", 1500,
                            kNow);
}

TEST(ProtectionSampleTest, ReadsHealthOnlyForThisSerialAndVersionOneAndIdentityAsUnsupported) {
  const auto s = read(R"("engineRunning":true,"engineResponsive":true,"telemetryAvailable":false,)"
                      R"("engineStarting":1,"outputs":[{"id":"o1","available":true}])");
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->reachable && s->supported && s->engineRunning && s->engineResponsive);
  EXPECT_FALSE(s->telemetryAvailable);
  EXPECT_FALSE(s->engineStarting) << "only the bytes true count";
  EXPECT_EQ(s->updated, kNow);
  EXPECT_EQ(s->outputs, R"([{"id":"o1","available":true}])");
  EXPECT_EQ(read("")->outputs, "[]");
  for (const char* body : {R"({"serial":"S-OTHER","version":1})", R"({"version":1})",
                           R"({"serial":"S-MAIN","version":2})",
                           R"({"serial":"S-MAIN","version":"1"})", R"({"serial":"S-MAIN"})",
                           "garbage", ""}) {
    EXPECT_FALSE(read_health_answer(body, "S-MAIN", 1500, kNow)) << body;
  }

  const auto id = read_identity_answer(R"({"Serial":"S-MAIN","Workstation":"A"})", "S-MAIN", kNow);
  ASSERT_TRUE(id);
  EXPECT_TRUE(id->reachable);
  EXPECT_FALSE(id->supported || id->engineRunning);
  EXPECT_EQ(id->updated, kNow);
  EXPECT_EQ(id->outputs, "[]");
  EXPECT_FALSE(read_identity_answer(R"({"Serial":"S-B"})", "S-MAIN", kNow));
  EXPECT_FALSE(read_identity_answer(R"({"serial":"S-MAIN"})", "S-MAIN", kNow));
}

TEST(ProtectionSampleTest, AppliesTheClockResourceAndFrameRules) {
  struct row {
    std::string fields;
    std::string faults;  // of "clock", "pressure", "stalled"
  };
  const row rows[] = {
      {R"("clockEngaged":true)", "clock"}, {R"("clockEngaged":true,"clockHealthy":true)", ""},
      {R"("clockEngaged":false,"clockHealthy":false)", ""},
      {R"("resourcesKnown":true,"memoryAvailablePercent":5,"cpuPercent":94,"gpuTemperature":89)",
       ""},
      {R"("resourcesKnown":true,"memoryAvailablePercent":4)", "pressure"},
      {R"("resourcesKnown":true,"memoryAvailablePercent":-1)", "pressure"},
      {R"("resourcesKnown":true,"cpuPercent":95)", "pressure"},
      {R"("resourcesKnown":true,"gpuTemperature":90)", "pressure"},
      {R"("resourcesKnown":true,"memoryAvailablePercent":"x","cpuPercent":null)", ""},
      {R"("resourcesKnown":false,"cpuPercent":99,"memoryAvailablePercent":1)", ""},
      {R"("telemetryAvailable":true)", "stalled"}, {R"("telemetryAvailable":false)", ""},
      {R"("telemetryAvailable":true,"channels":[])", "stalled"},
      {R"("telemetryAvailable":true,"channels":[{"ageMs":1499},{"ageMs":20}])", ""},
      {R"("telemetryAvailable":true,"channels":[{"ageMs":20},{"ageMs":1500}])", "stalled"},
      {R"("telemetryAvailable":false,"channels":[{"ageMs":9000}])", "stalled"},
      {R"("telemetryAvailable":true,"channels":[{"ageMs":"9000"},{}])", ""},
  };
  for (const row& r : rows) {
    const auto s = read(r.fields);
    ASSERT_TRUE(s) << r.fields;
    const std::string faults = std::string(s->clock_fault ? "clock" : "") +
                               (s->resource_pressure ? "pressure" : "") +
                               (s->frameStalled ? "stalled" : "");
    EXPECT_EQ(faults, r.faults) << r.fields;
  }
}

TEST(ProtectionSampleTest, OutputAvailabilityTakesTheFirstMatchingOutput) {
  protection_sample s;
  s.outputs =
      R"([{"id":"a","available":true},{"id":"b","available":true,"known":false},)"
      R"({"id":"c","available":false},{"id":"d","available":true,"known":true},)"
      R"({"id":"e","available":false},{"id":"e","available":true}])";
  const std::pair<const char*, bool> rows[] = {{"a", true},  {"b", false}, {"c", false},
                                                {"d", true},  {"e", false}, {"x", false},
                                                {"A", false}};
  for (const auto& [id, available] : rows) EXPECT_EQ(output_available(s, id), available) << id;
  EXPECT_FALSE(output_available(protection_sample{}, "a"));
}

}  // namespace
}  // namespace tolvarine::operator_control
