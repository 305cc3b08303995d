#include "protection/protection_service.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
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
    ASSERT_TRUE(sims_->ready());
    sim_pair::pair(config_);
  }

  // Starts the service with a short grace, once the Main is selected.
  void start(const std::string& policy = R"({"startupMs":1000})") {
    std::string error;
    ASSERT_TRUE(service_->configure(policy, &error)) << error;
    service_->start();
    ASSERT_TRUE(testing::eventually(
        [&] { return service_->active_serial() == "S-MAIN" && !service_->selection_pending(); },
        5s));
  }

  std::optional<protection_alert> active_alert(const std::string& key) const {
    for (const auto& a : service_->alerts()) {
      if (a.active && a.key == key) return a;
    }
    return std::nullopt;
  }

  std::unique_ptr<sim_pair> sims_ = std::make_unique<sim_pair>();
  testing::temp_dir dir_;
  control_config config_{dir_.file("operator-control.json")};
  std::unique_ptr<protection_service> service_ = std::make_unique<protection_service>(config_);
};

TEST_F(ProtectionMonitorNetTest, PollsBothServersInParallelAboutFourTimesASecond) {
  start();
  const long long main_before = sim_pair::count(sim_pair::kMainAddress, "/Home/GetKelHealth");
  const long long backup_before = sim_pair::count(sim_pair::kBackupAddress, "/Home/GetKelHealth");
  std::this_thread::sleep_for(2s);
  const long long main_polls =
      sim_pair::count(sim_pair::kMainAddress, "/Home/GetKelHealth") - main_before;
  const long long backup_polls =
      sim_pair::count(sim_pair::kBackupAddress, "/Home/GetKelHealth") - backup_before;
  // About eight in two seconds; loose bounds for a loaded machine.
  EXPECT_GE(main_polls, 4);
  EXPECT_LE(main_polls, 10);
  EXPECT_GE(backup_polls, 4);
  EXPECT_LE(backup_polls, 10);

  // A Main that hangs does not keep the Backup's samples from arriving:
  // each cycle waits at most one poll limit for it.
  ASSERT_TRUE(sim_pair::set(sim_pair::kMainAddress, "http=hang"));
  const long long hung_before =
      sim_pair::count(sim_pair::kBackupAddress, "/Home/GetKelHealth");
  for (int i = 0; i < 20; ++i) {
    std::this_thread::sleep_for(100ms);
    const auto backup = service_->sample("S-BACK");
    ASSERT_TRUE(backup);
    EXPECT_LT(steady_now() - backup->updated, 1000ms) << "Backup sample went stale";
  }
  EXPECT_GE(sim_pair::count(sim_pair::kBackupAddress, "/Home/GetKelHealth") - hung_before, 4);
  EXPECT_FALSE(active_alert("S-BACK:server"));
  EXPECT_TRUE(testing::eventually([&] { return service_->active_serial() == "S-BACK"; }, 5s))
      << "the hanging Main is lost and the Backup takes over";
  service_->stop();
}

TEST_F(ProtectionMonitorNetTest, EngineStopRaisesCriticalAlertFailsOverAndRecoveryIsLogged) {
  start();
  ASSERT_TRUE(sim_pair::set(sim_pair::kMainAddress, "engine=stopped"));
  ASSERT_TRUE(testing::eventually([&] { return active_alert("S-MAIN:engine").has_value(); }, 5s));
  const auto a = active_alert("S-MAIN:engine");
  EXPECT_EQ(a->message, "Main: Engine stopped or exited.");
  EXPECT_EQ(a->severity, "critical");
  ASSERT_TRUE(testing::eventually([&] { return service_->active_serial() == "S-BACK"; }, 5s));
  EXPECT_EQ(active_alert("transfer")->message,
            "Main: Engine stopped or exited.; operating on Backup. Return to Main manually when "
            "ready.");
  EXPECT_TRUE(testing::eventually(
      [&] {
        const auto ui = config_.active_ui_system();
        return ui && ui->serial == "S-BACK";
      },
      5s));

  ASSERT_TRUE(sim_pair::set(sim_pair::kMainAddress, "engine=running"));
  ASSERT_TRUE(testing::eventually(
      [&] {
        return testing::read_text(service_->alert_log_path())
                   .find("\"event\":\"recovered\",\"key\":\"S-MAIN:engine\"") != std::string::npos;
      },
      5s));
  std::this_thread::sleep_for(1s);
  EXPECT_EQ(service_->active_serial(), "S-BACK") << "no automatic return";

  // The held state survives a restart of the service.
  service_ = std::make_unique<protection_service>(config_);
  EXPECT_TRUE(service_->held_on_backup());
  service_->start();
  ASSERT_TRUE(testing::eventually([&] { return !service_->selection_pending(); }, 5s));
  EXPECT_EQ(service_->active_serial(), "S-BACK");
  std::string error;
  ASSERT_TRUE(service_->operate("main", &error)) << error;
  EXPECT_EQ(service_->active_serial(), "S-MAIN");
  service_->stop();
}

TEST_F(ProtectionMonitorNetTest, ServerWithoutHealthEndpointGetsOnlyTheTelemetryWarning) {
  ASSERT_TRUE(sim_pair::set(sim_pair::kMainAddress, "health_status=404"));
  start();
  ASSERT_TRUE(
      testing::eventually([&] { return active_alert("S-MAIN:telemetry").has_value(); }, 5s));
  std::this_thread::sleep_for(1500ms);
  std::vector<std::string> main_keys;
  for (const auto& a : service_->alerts()) {
    if (a.active && a.key.starts_with("S-MAIN:")) main_keys.push_back(a.key);
  }
  EXPECT_EQ(main_keys, std::vector<std::string>{"S-MAIN:telemetry"});
  EXPECT_EQ(active_alert("S-MAIN:telemetry")->severity, "warning");
  EXPECT_FALSE(service_->sample("S-MAIN")->supported);
  service_->stop();
}

TEST_F(ProtectionMonitorNetTest, OutboundActionsReachTheirListenersInOrder) {
  // A TCP listener and a UDP socket on the test network.
  auto bound = [](int type, const char* address, uint16_t port) {
    unique_fd fd(::socket(AF_INET, type, 0));
    int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, address, &a.sin_addr);
    EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    return fd;
  };
  unique_fd tcp = bound(SOCK_STREAM, "10.77.0.8", 7001);
  ASSERT_EQ(::listen(tcp.get(), 4), 0);
  unique_fd udp = bound(SOCK_DGRAM, "10.77.0.8", 7002);
  start(R"({"startupMs":1000,"actions":[)"
        R"({"name":"router","host":"10.77.0.8","port":7001,"payload":"ROUTE 1\\r\\n",)"
        R"("enabled":true},)"
        R"({"name":"switcher","host":"10.77.0.8","port":7002,"transport":"UDP",)"
        R"("payload":"\\x02CUT\\x03","delayMs":200,"enabled":true},)"
        R"({"name":"closed","host":"10.77.0.8","port":7009,"payload":"X","timeoutMs":300,)"
        R"("retries":1,"enabled":true},)"
        R"({"name":"after","host":"10.77.0.8","port":7001,"payload":"NEVER","enabled":true}]})");

  std::string error;
  ASSERT_TRUE(service_->operate("backup", &error)) << error;
  ASSERT_TRUE(testing::eventually([&] { return !service_->actions_busy(); }, 10s));

  unique_fd conn(::accept4(tcp.get(), nullptr, nullptr, SOCK_NONBLOCK));
  ASSERT_TRUE(conn);
  char buf[256];
  ssize_t n = ::recv(conn.get(), buf, sizeof(buf), 0);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "ROUTE 1\r\n");
  n = ::recv(udp.get(), buf, sizeof(buf), MSG_DONTWAIT);
  ASSERT_GT(n, 0);
  EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), "\x02" "CUT\x03");
  ::fcntl(tcp.get(), F_SETFL, O_NONBLOCK);
  unique_fd extra(::accept4(tcp.get(), nullptr, nullptr, SOCK_NONBLOCK));
  EXPECT_FALSE(extra) << "the action after the failure was sent";
  EXPECT_EQ(service_->last_action(),
            "Transfer to Backup / closed: Connect/send failed or timed out; device execution is "
            "unconfirmed.");
  EXPECT_TRUE(active_alert("action:closed:backup"));
  service_->stop();
}

}  // namespace
}  // namespace tolvarine::operator_control
