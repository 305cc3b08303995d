#include "protection/protection_sample.h"

#include <gtest/gtest.h>

#include <string>

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;

const steady_time kNow = steady_time{} + 100s;

std::optional<protection_sample> read(const std::string& fields, int stall_ms = 1500) {
  return read_health_answer(R"({"serial":"S-MAIN","version":1,)" + fields + "}", "S-MAIN",
                            stall_ms, kNow);
}

TEST(ProtectionSampleTest, ReadsHealthFlagsOnlyForThisSerialAndVersionOne) {
  const auto s = read(R"("engineRunning":true,"engineResponsive":true,"telemetryAvailable":false,)"
                      R"("engineStarting":1,"outputs":[{"id":"o1","available":true}])");
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->reachable);
  EXPECT_TRUE(s->supported);
  EXPECT_TRUE(s->engineRunning);
  EXPECT_TRUE(s->engineResponsive);
  EXPECT_FALSE(s->telemetryAvailable);
  EXPECT_FALSE(s->engineStarting) << "only the bytes true count";
  EXPECT_EQ(s->updated, kNow);
  EXPECT_EQ(s->outputs, R"([{"id":"o1","available":true}])");
  EXPECT_EQ(read("")->outputs, "[]");

  const char* const refused[] = {
      R"({"serial":"S-OTHER","version":1})", R"({"version":1})",
      R"({"serial":"S-MAIN","version":2})",  R"({"serial":"S-MAIN","version":"1"})",
      R"({"serial":"S-MAIN"})",              "garbage",
      "",
  };
  for (const char* body : refused) {
    EXPECT_FALSE(read_health_answer(body, "S-MAIN", 1500, kNow)) << body;
  }
}

TEST(ProtectionSampleTest, AppliesTheClockResourceAndFrameRules) {
  struct row {
    std::string fields;
    bool clock_fault;
    bool pressure;
    bool stalled;
  };
  const row rows[] = {
      {R"("clockEngaged":true)", true, false, false},
      {R"("clockEngaged":true,"clockHealthy":true)", false, false, false},
      {R"("clockEngaged":false,"clockHealthy":false)", false, false, false},
      {R"("resourcesKnown":true,"memoryAvailablePercent":5,"cpuPercent":94,"gpuTemperature":89)",
       false, false, false},
      {R"("resourcesKnown":true,"memoryAvailablePercent":4)", false, true, false},
      {R"("resourcesKnown":true,"memoryAvailablePercent":-1)", false, true, false},
      {R"("resourcesKnown":true,"cpuPercent":95)", false, true, false},
      {R"("resourcesKnown":true,"gpuTemperature":90)", false, true, false},
      {R"("resourcesKnown":true,"memoryAvailablePercent":"x","cpuPercent":null)", false, false,
       false},
      {R"("resourcesKnown":false,"cpuPercent":99,"memoryAvailablePercent":1)", false, false,
       false},
      {R"("telemetryAvailable":true)", false, false, true},
      {R"("telemetryAvailable":true,"channels":[])", false, false, true},
      {R"("telemetryAvailable":false)", false, false, false},
      {R"("telemetryAvailable":true,"channels":[{"ageMs":1499},{"ageMs":20}])", false, false,
       false},
      {R"("telemetryAvailable":true,"channels":[{"ageMs":20},{"ageMs":1500}])", false, false,
       true},
      {R"("telemetryAvailable":false,"channels":[{"ageMs":9000}])", false, false, true},
      {R"("telemetryAvailable":true,"channels":[{"ageMs":"9000"},{}])", false, false, false},
  };
  for (const row& r : rows) {
    const auto s = read(r.fields);
    ASSERT_TRUE(s) << r.fields;
    EXPECT_EQ(s->clock_fault, r.clock_fault) << r.fields;
    EXPECT_EQ(s->resource_pressure, r.pressure) << r.fields;
    EXPECT_EQ(s->frameStalled, r.stalled) << r.fields;
  }
}

TEST(ProtectionSampleTest, IdentityAnswerMakesAReachableUnsupportedSample) {
  const auto s = read_identity_answer(R"({"Serial":"S-MAIN","Workstation":"A"})", "S-MAIN", kNow);
  ASSERT_TRUE(s);
  EXPECT_TRUE(s->reachable);
  EXPECT_FALSE(s->supported);
  EXPECT_FALSE(s->engineRunning);
  EXPECT_EQ(s->updated, kNow);
  EXPECT_EQ(s->outputs, "[]");
  EXPECT_FALSE(read_identity_answer(R"({"Serial":"S-B"})", "S-MAIN", kNow));
  EXPECT_FALSE(read_identity_answer(R"({"serial":"S-MAIN"})", "S-MAIN", kNow));
}

TEST(ProtectionSampleTest, OutputAvailabilityTakesTheFirstMatchingOutput) {
  protection_sample s;
  s.outputs =
      R"([{"id":"a","available":true},{"id":"b","available":true,"known":false},)"
      R"({"id":"c","available":false},{"id":"d","available":true,"known":true},)"
      R"({"id":"e","available":false},{"id":"e","available":true}])";
  struct row {
    const char* id;
    bool available;
  };
  const row rows[] = {{"a", true}, {"b", false}, {"c", false}, {"d", true},
                      {"e", false}, {"x", false}, {"A", false}};
  for (const row& r : rows) EXPECT_EQ(output_available(s, r.id), r.available) << r.id;
  EXPECT_FALSE(output_available(protection_sample{}, "a"));
}

}  // namespace
}  // namespace tolvarine::operator_control
