// The simulator is the fixture of the integration tests: its health
// answer and its fault knobs must look to the HTTP client as described in
// its README.
#include "server/http_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "config/json_util.h"
#include "server/sim_fixture.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using testing::running_sim;

class ShowServerSimNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::in_test_network()) FAIL() << testing::kNeedsTestNetwork;
    sim_ = std::make_unique<running_sim>(dir_, "10.77.0.2", 5000, "S-MAIN", "Server A",
                                         std::vector<std::string>{"--control-port", "5099"});
    ASSERT_TRUE(sim_->ready());
  }
  http_response health() const {
    return http_request("10.77.0.2", 5000, "GET", "/Home/GetKelHealth", "", "", 350, 262144);
  }

  testing::temp_dir dir_;
  std::unique_ptr<running_sim> sim_;
};

TEST_F(ShowServerSimNetTest, HealthKnobsChangeTheFieldsThePollReads) {
  struct row {
    const char* knobs;
    const char* key;
    const char* starts;  // expected beginning of the key's value
  };
  const row rows[] = {
      {"", "serial", "\"S-MAIN\""},
      {"", "version", "1"},
      {"", "engineRunning", "true"},
      {"engine=stopped", "engineRunning", "false"},
      {"engine=not_responsive", "engineResponsive", "false"},
      {"engine=starting", "engineStarting", "true"},
      {"telemetry=off", "telemetryAvailable", "false"},
      {"frames=stalled", "ageMs", "60000"},
      {"frames=none", "channels", "[]"},
      {"output_unavailable=out-2", "outputs",
       R"([{"id":"out-1","available":true,"known":true},{"id":"out-2","available":false)"},
      {"clock=fault", "clockHealthy", "false"},
      {"clock=healthy", "clockEngaged", "true"},
      {"resources=pressure", "cpuPercent", "97"},
      {"resources=unknown", "resourcesKnown", "false"},
      {"memory_available_percent=3", "memoryAvailablePercent", "3"},
      {"gpu_temperature=95", "gpuTemperature", "95"},
      {"health_serial=S-OTHER", "serial", "\"S-OTHER\""},
      {"health_version=2", "version", "2"},
  };
  for (const row& r : rows) {
    sim_->call("POST", "/sim/reset");
    if (*r.knobs != '\0') sim_->set(r.knobs);
    http_response response = health();
    ASSERT_EQ(response.status, 200) << r.knobs;
    size_t at = json_util::value_start(response.body, r.key);
    ASSERT_NE(at, json_util::npos) << r.knobs << " " << r.key;
    EXPECT_EQ(response.body.compare(at, std::string(r.starts).size(), r.starts), 0)
        << r.knobs << ": " << response.body;
  }
}

TEST_F(ShowServerSimNetTest, TransportFaultsReachTheClient) {
  struct row {
    const char* knobs;
    int status;
  };
  const row rows[] = {
      {"health_status=404", 404},
      {"answer=chunked", 200},
      {"answer=truncated", 0},
      {"answer=broken_chunks", 0},
      {"answer=garbage", 0},
      {"answer=no_header_end", 200},
      {"http=reset", 0},
      {"http=hang&hang_ms=1500", 0},
      {"http=slow&slow_ms=1000", 0},
      {"http=slow&slow_ms=50", 200},
      {"answer=oversized&oversized_bytes=2000000", 200},
  };
  for (const row& r : rows) {
    sim_->call("POST", "/sim/reset");
    sim_->set(r.knobs);
    auto start = std::chrono::steady_clock::now();
    http_response response = health();
    EXPECT_EQ(response.status, r.status) << r.knobs;
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2)) << r.knobs;
    EXPECT_LT(response.body.size(), 262144u + 16384u) << r.knobs;
  }
  sim_->call("POST", "/sim/reset");
  EXPECT_NE(health().body.find("\"engineRunning\":true"), std::string::npos);

  // A refusing web port is set back to normal through the control port.
  sim_->set("http=refuse");
  EXPECT_TRUE(testing::eventually([&] { return health().status == 0; }, std::chrono::seconds(2)));
  EXPECT_EQ(
      http_request("10.77.0.2", 5099, "GET", "/sim/set?http=normal", "", "", 1000, 4096).status,
      200);
  EXPECT_TRUE(testing::eventually([&] { return health().status == 200; }, std::chrono::seconds(2)));
}

}  // namespace
}  // namespace tolvarine::operator_control
