// The built agent against two simulators, driven through its admin API:
// failover on a stopped engine with its critical alert, the held state across
// a restart, the logged recovery, return to the Main, and the test of a saved
// action.
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

class ProtectionAgentNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::in_test_network()) GTEST_FAIL() << testing::kNeedsTestNetwork;
    ASSERT_TRUE(std::filesystem::exists(testing::agent_program()))
        << "build the agent first: " << testing::agent_program();
    ASSERT_TRUE(sims_.ready());
    testing::write_text(settings_, sim_pair::kPairedSettings);
    testing::write_text(settings_ + ".protection.json", R"({"startupMs":1000})");
  }

  void start_agent() {
    testing::child_process::options o;
    o.args = {testing::agent_program(), "--config", settings_, "--background", "--console"};
    o.env["HOME"] = home_.path();
    o.stderr_path = home_.file("agent.err");
    agent_ = std::make_unique<testing::child_process>(o);
    ASSERT_TRUE(testing::eventually([&] { return !status().empty(); }, 10s))
        << testing::read_text(home_.file("agent.err"));
  }
  void stop_agent() {
    agent_->signal(SIGTERM);
    EXPECT_EQ(agent_->wait_for(10s), 0);
    agent_.reset();
  }

  // The status document, empty unless the agent answers 200.
  static std::string status() {
    const http_response r = http_request("127.0.0.1", sim_pair::kAdminPort, "GET", "/api/status",
                                         "", "", 2000, 1 << 20);
    return r.status == 200 ? r.body : "";
  }
  static std::string post(const std::string& path, const std::string& body) {
    return http_request("127.0.0.1", sim_pair::kAdminPort, "POST", path, body, "application/json",
                        3000, 1 << 16)
        .body;
  }
  static bool status_has(const std::string& text) {
    return status().find(text) != std::string::npos;
  }
  static bool eventually_active(const std::string& serial, std::chrono::seconds limit) {
    return testing::eventually(
        [&] { return status_has("\"activeSerial\":\"" + serial + "\""); }, limit);
  }

  sim_pair sims_;
  testing::temp_dir home_;
  std::string settings_ = home_.file("operator-control.json");
  std::unique_ptr<testing::child_process> agent_;
};

TEST_F(ProtectionAgentNetTest, FailsOverHoldsTheBackupAcrossARestartAndReturnsOnRequest) {
  start_agent();
  ASSERT_TRUE(eventually_active("S-MAIN", 10s)) << status();
  std::this_thread::sleep_for(1500ms);  // past the startup grace
  ASSERT_TRUE(sim_pair::set(sim_pair::kMainAddress, "engine=stopped"));
  ASSERT_TRUE(eventually_active("S-BACK", 5s)) << status();
  EXPECT_TRUE(status_has(R"("message":"Main: Engine stopped or exited.","severity":"critical")"));
  EXPECT_TRUE(status_has("\"heldOnBackup\":true"));
  EXPECT_TRUE(status_has("Main: Engine stopped or exited.; operating on Backup. Return to Main "
                         "manually when ready."));
  stop_agent();

  start_agent();
  EXPECT_TRUE(status_has("\"heldOnBackup\":true"));
  ASSERT_TRUE(eventually_active("S-BACK", 10s)) << status();
  EXPECT_EQ(post("/api/protection/operate", R"({"operation":"main"})"),
            R"({"ok":false,"error":"Requested server is not ready for takeover. )"
            R"(Check engine and protected outputs."})");
  std::this_thread::sleep_for(1500ms);  // the stopped engine is raised again after the grace
  ASSERT_TRUE(sim_pair::set(sim_pair::kMainAddress, "engine=running"));
  ASSERT_TRUE(testing::eventually(
      [&] {
        return testing::read_text(settings_ + ".protection.json.alerts.jsonl")
                   .find(R"("event":"recovered","key":"S-MAIN:engine")") != std::string::npos;
      },
      5s));
  std::this_thread::sleep_for(1s);
  EXPECT_TRUE(status_has("\"activeSerial\":\"S-BACK\"")) << "no automatic return";
  ASSERT_TRUE(testing::eventually(
      [] {
        return post("/api/protection/operate", R"({"operation":"main"})").find("\"ok\":true") !=
               std::string::npos;
      },
      5s));
  EXPECT_TRUE(eventually_active("S-MAIN", 5s));
  EXPECT_TRUE(status_has("\"heldOnBackup\":false"));
  stop_agent();
}

TEST_F(ProtectionAgentNetTest, TestsASavedActionThroughTheAdminApi) {
  unique_fd udp = sim_pair::device_socket(SOCK_DGRAM, 7002);
  ASSERT_TRUE(udp);
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
  ASSERT_EQ(::recv(udp.get(), buf, sizeof(buf), 0), 4);
  EXPECT_EQ(std::string(buf, 4), "CUT\r");
  EXPECT_TRUE(testing::eventually(
      [] {
        return status_has(
            "\"lastAction\":\"Test action: sequence sent; device execution unconfirmed.\"");
      },
      5s));
  stop_agent();
}

}  // namespace
}  // namespace tolvarine::operator_control
