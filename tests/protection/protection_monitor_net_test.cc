#include "protection/protection_service.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>

#include <thread>

#include "common/unique_fd.h"
#include "protection/sim_pair.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;
using testing::sim_pair;

class ProtectionMonitorNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::in_test_network()) GTEST_FAIL() << testing::kNeedsTestNetwork;
    ASSERT_TRUE(sims_.ready());
    sim_pair::pair(config_);
  }

  // Starts the service with a short grace, once the Main is selected.
  void start(const std::string& policy = R"({"startupMs":1000})") {
    std::string error;
    ASSERT_TRUE(service_.configure(policy, &error)) << error;
    service_.start();
    ASSERT_TRUE(testing::eventually(
        [&] { return service_.active_serial() == "S-MAIN" && !service_.selection_pending(); },
        5s));
  }

  std::optional<protection_alert> active_alert(const std::string& key) const {
    for (const auto& a : service_.alerts()) {
      if (a.active && a.key == key) return a;
    }
    return std::nullopt;
  }
  static long long health_polls(const char* address) {
    return sim_pair::count(address, "/Home/GetKelHealth");
  }

  sim_pair sims_;
  testing::temp_dir dir_;
  control_config config_{dir_.file("operator-control.json")};
  protection_service service_{config_};
};

TEST_F(ProtectionMonitorNetTest, PollsBothServersInParallelAboutFourTimesASecond) {
  start();
  const long long main_before = health_polls(sim_pair::kMainAddress);
  const long long backup_before = health_polls(sim_pair::kBackupAddress);
  std::this_thread::sleep_for(2s);
  // About eight in two seconds; loose bounds for a loaded machine.
  EXPECT_GE(health_polls(sim_pair::kMainAddress) - main_before, 4);
  EXPECT_LE(health_polls(sim_pair::kMainAddress) - main_before, 10);
  EXPECT_GE(health_polls(sim_pair::kBackupAddress) - backup_before, 4);
  EXPECT_LE(health_polls(sim_pair::kBackupAddress) - backup_before, 10);

  // A hanging Main does not keep the Backup's samples from arriving.
  ASSERT_TRUE(sim_pair::set(sim_pair::kMainAddress, "http=hang"));
  const long long hung_before = health_polls(sim_pair::kBackupAddress);
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(service_.sample("S-BACK"));
    EXPECT_LT(steady_now() - service_.sample("S-BACK")->updated, 1000ms) << "Backup went stale";
  }
  EXPECT_GE(health_polls(sim_pair::kBackupAddress) - hung_before, 4);
  EXPECT_FALSE(active_alert("S-BACK:server"));
  EXPECT_TRUE(testing::eventually([&] { return service_.active_serial() == "S-BACK"; }, 5s))
      << "the hanging Main is lost and the Backup takes over";
}

TEST_F(ProtectionMonitorNetTest, ServerWithoutHealthEndpointGetsOnlyTheTelemetryWarning) {
  ASSERT_TRUE(sim_pair::set(sim_pair::kMainAddress, "health_status=404"));
  start();
  ASSERT_TRUE(
      testing::eventually([&] { return active_alert("S-MAIN:telemetry").has_value(); }, 5s));
  std::this_thread::sleep_for(1500ms);
  std::vector<std::string> main_keys;
  for (const auto& a : service_.alerts()) {
    if (a.active && a.key.starts_with("S-MAIN:")) main_keys.push_back(a.key);
  }
  EXPECT_EQ(main_keys, std::vector<std::string>{"S-MAIN:telemetry"});
  EXPECT_EQ(active_alert("S-MAIN:telemetry")->severity, "warning");
  EXPECT_FALSE(service_.sample("S-MAIN")->supported);
}

TEST_F(ProtectionMonitorNetTest, OutboundActionsReachTheirListenersInOrder) {
  unique_fd tcp = sim_pair::device_socket(SOCK_STREAM, 7001);
  ASSERT_EQ(::listen(tcp.get(), 4), 0);
  ::fcntl(tcp.get(), F_SETFL, O_NONBLOCK);
  unique_fd udp = sim_pair::device_socket(SOCK_DGRAM, 7002);
  ASSERT_TRUE(udp);
  start(R"({"startupMs":1000,"actions":[)"
        R"({"name":"router","host":"10.77.0.8","port":7001,"payload":"ROUTE 1\\r\\n",)"
        R"("enabled":true},)"
        R"({"name":"switcher","host":"10.77.0.8","port":7002,"transport":"UDP",)"
        R"("payload":"\\x02CUT\\x03","delayMs":200,"enabled":true},)"
        R"({"name":"closed","host":"10.77.0.8","port":7009,"payload":"X","timeoutMs":300,)"
        R"("retries":1,"enabled":true},)"
        R"({"name":"after","host":"10.77.0.8","port":7001,"payload":"NEVER","enabled":true}]})");
  std::string error;
  const auto begun = std::chrono::steady_clock::now();
  ASSERT_TRUE(service_.operate("backup", &error)) << error;
  ASSERT_TRUE(testing::eventually([&] { return !service_.actions_busy(); }, 10s));
  EXPECT_GE(std::chrono::steady_clock::now() - begun, 200ms) << "the switcher waits its delay";

  unique_fd conn(::accept4(tcp.get(), nullptr, nullptr, SOCK_NONBLOCK));
  ASSERT_TRUE(conn);
  char buf[256];
  ssize_t n = ::recv(conn.get(), buf, sizeof(buf), 0);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "ROUTE 1\r\n");
  n = ::recv(udp.get(), buf, sizeof(buf), MSG_DONTWAIT);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "\x02" "CUT\x03");
  EXPECT_FALSE(unique_fd(::accept4(tcp.get(), nullptr, nullptr, SOCK_NONBLOCK)))
      << "the action after the failure was sent";
  EXPECT_EQ(service_.last_action(),
            "Transfer to Backup / closed: Connect/send failed or timed out; device execution is "
            "unconfirmed.");
  EXPECT_TRUE(active_alert("action:closed:backup"));
}

}  // namespace
}  // namespace tolvarine::operator_control
