// The built agent against two simulators, driven through its admin API:
// failover on a stopped engine, the held state across a restart, return to
// the Main, and the test of a saved action.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <thread>

#include "common/unique_fd.h"
#include "protection/sim_pair.h"
#include "server/http_client.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;
using testing::sim_pair;

constexpr uint16_t kAdminPort = 5251;

const char* const kPairedSettings =
    R"({"enabled":true,"controllerConfigured":true,"uiPort":5270,"systems":[)"
    R"({"serial":"S-MAIN","workstation":"Server A","address":"10.77.0.2","webPort":5000,)"
    R"("role":"Main","backupForSerial":""},)"
    R"({"serial":"S-BACK","workstation":"Server B","address":"10.77.0.3","webPort":5000,)"
    R"("role":"Backup","backupForSerial":"S-MAIN"}]})";

class ProtectionAgentNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::in_test_network()) GTEST_FAIL() << testing::kNeedsTestNetwork;
    ASSERT_TRUE(std::filesystem::exists(testing::agent_program()))
        << "build the agent first: " << testing::agent_program();
    ASSERT_TRUE(sims_.ready());
    testing::write_text(settings_, kPairedSettings);
    testing::write_text(settings_ + ".protection.json", R"({"startupMs":1000})");
  }

  void start_agent() {
    testing::child_process::options o;
    o.args = {testing::agent_program(), "--config", settings_, "--background", "--console"};
    o.env["HOME"] = home_.path();
    o.stdout_path = home_.file("agent.out");
    o.stderr_path = home_.file("agent.err");
    agent_ = std::make_unique<testing::child_process>(o);
    ASSERT_TRUE(testing::eventually([&] { return get_status().status == 200; }, 10s))
        << testing::read_text(home_.file("agent.err"));
  }
  void stop_agent() {
    agent_->signal(SIGTERM);
    const auto code = agent_->wait_for(10s);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0);
    agent_.reset();
  }

  static http_response get_status() {
    return http_request("127.0.0.1", kAdminPort, "GET", "/api/status", "", "", 2000, 1 << 20);
  }
  static std::string post(const std::string& path, const std::string& body) {
    return http_request("127.0.0.1", kAdminPort, "POST", path, body, "application/json", 3000,
                        1 << 16)
        .body;
  }
  static bool status_has(const std::string& text) {
    return get_status().body.find(text) != std::string::npos;
  }

  sim_pair sims_;
  testing::temp_dir home_;
  std::string settings_ = home_.file("operator-control.json");
  std::unique_ptr<testing::child_process> agent_;
};

TEST_F(ProtectionAgentNetTest, FailsOverHoldsTheBackupAcrossARestartAndReturnsOnRequest) {
  start_agent();
  ASSERT_TRUE(testing::eventually([] { return status_has("\"activeSerial\":\"S-MAIN\""); }, 10s))
      << get_status().body;
  std::this_thread::sleep_for(1500ms);  // past the startup grace
  ASSERT_TRUE(sim_pair::set(sim_pair::kMainAddress, "engine=stopped"));
  ASSERT_TRUE(testing::eventually([] { return status_has("\"activeSerial\":\"S-BACK\""); }, 5s))
      << get_status().body;
  EXPECT_TRUE(status_has("\"heldOnBackup\":true"));
  EXPECT_TRUE(status_has("Main: Engine stopped or exited.; operating on Backup. Return to Main "
                         "manually when ready."));
  stop_agent();

  start_agent();
  EXPECT_TRUE(status_has("\"heldOnBackup\":true"));
  ASSERT_TRUE(testing::eventually([] { return status_has("\"activeSerial\":\"S-BACK\""); }, 10s))
      << get_status().body;
  EXPECT_EQ(post("/api/protection/operate", R"({"operation":"main"})"),
            R"({"ok":false,"error":"Requested server is not ready for takeover. Check engine and protected outputs."})");
  ASSERT_TRUE(sim_pair::set(sim_pair::kMainAddress, "engine=running"));
  ASSERT_TRUE(testing::eventually(
      [] {
        return post("/api/protection/operate", R"({"operation":"main"})").find("\"ok\":true") !=
               std::string::npos;
      },
      5s));
  EXPECT_TRUE(testing::eventually([] { return status_has("\"activeSerial\":\"S-MAIN\""); }, 5s));
  EXPECT_TRUE(status_has("\"heldOnBackup\":false"));
  stop_agent();
}

TEST_F(ProtectionAgentNetTest, TestsASavedActionThroughTheAdminApi) {
  unique_fd udp(::socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(7002);
  ::inet_pton(AF_INET, "10.77.0.8", &a.sin_addr);
  ASSERT_EQ(::bind(udp.get(), reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
  timeval tv{5, 0};
  ::setsockopt(udp.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

  start_agent();
  EXPECT_EQ(post("/api/protection/test", R"({"index":0})"),
            R"({"ok":false,"error":"Save the action before testing it."})");
  EXPECT_EQ(post("/api/protection",
                 R"({"startupMs":1000,"actions":[{"name":"switcher","host":"10.77.0.8",)"
                 R"("port":7002,"transport":"UDP","payload":"CUT\\r","enabled":true}]})"),
            R"({"ok":true,"error":""})");
  EXPECT_EQ(post("/api/protection/test", R"({"index":0})"), R"({"ok":true,"error":""})");
  char buf[64];
  const ssize_t n = ::recv(udp.get(), buf, sizeof(buf), 0);
  ASSERT_EQ(n, 4);
  EXPECT_EQ(std::string(buf, 4), "CUT\r");
  EXPECT_TRUE(testing::eventually(
      [] {
        return status_has("\"lastAction\":\"Test action: sequence sent; device execution "
                          "unconfirmed.\"");
      },
      5s));
  stop_agent();
}

}  // namespace
}  // namespace tolvarine::operator_control
