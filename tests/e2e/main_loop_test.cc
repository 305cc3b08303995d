// The agent running on its own against simulated show servers: discovery,
// status lines, adoption of a published pairing, readiness probes, pairing
// synchronisation and ageing.
#include <gtest/gtest.h>
#include <signal.h>

#include <regex>

#include "config/json_util.h"
#include "e2e/agent_process.h"
#include "support/simulator.h"
#include "support/test_env.h"

namespace tolvarine::operator_control::testing {
namespace {

using namespace std::chrono_literals;

int count_of(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

class MainLoopTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!in_test_network()) GTEST_FAIL() << kNeedsTestNetwork;
  }
  void start_agent() {
    agent_ = std::make_unique<child_process>(agent_options(
        {{"--console", "--background", "--config", settings_}, home_.path(), "", out_, out_}));
  }
  std::string output() const { return read_text(out_); }
  bool wait_output(const std::string& text, std::chrono::milliseconds limit = 10s) {
    return eventually([&] { return output().find(text) != std::string::npos; }, limit);
  }
  int path_count(simulator& sim, const std::string& path) {
    const std::string state = sim.sim_get("state");
    const size_t at = json_util::value_start(state, path);
    return at == json_util::npos ? 0 : std::atoi(state.c_str() + at);
  }
  void TearDown() override {
    if (agent_) {
      agent_->signal(SIGTERM);
      EXPECT_EQ(agent_->wait_for(10s), 0);
    }
  }

  temp_dir home_, work_;
  std::string settings_ = work_.file("operator-control.json");
  std::string out_ = work_.file("agent.log");
  std::unique_ptr<child_process> agent_;
};

TEST_F(MainLoopTest, FirstPassLogsStatusOnceAndSavesServers) {
  simulator main("10.77.0.2", "S-MAIN", "Server A");
  simulator backup("10.77.0.3", "S-BACKUP", "Server B");
  ASSERT_TRUE(main.serving() && backup.serving());
  start_agent();
  const std::string main_line =
      "[status] S-MAIN role=Independent online=true uiReady=true address=10.77.0.2 web=5000 control=1256\n";
  const std::string backup_line =
      "[status] S-BACKUP role=Independent online=true uiReady=true address=10.77.0.3 web=5000 control=1256\n";
  ASSERT_TRUE(wait_output(backup_line) && wait_output(main_line)) << output();
  EXPECT_EQ(output().find("[status] enabled=false active=independent\n") != std::string::npos, true) << output();
  // The first pass runs at once: its header line is the first status line.
  EXPECT_EQ(output().find("[status] enabled="), output().find("[status] enabled=false active="));

  // Nothing changes: no more status lines over two more passes.
  const std::string before = output();
  std::this_thread::sleep_for(5s);
  EXPECT_EQ(count_of(output(), "[status] enabled="), count_of(before, "[status] enabled="));
  const std::string saved = read_text(settings_);
  EXPECT_NE(saved.find("\"serial\":\"S-MAIN\",\"workstation\":\"Server A\",\"address\":\"10.77.0.2\""),
            std::string::npos)
      << saved;
  EXPECT_NE(saved.find("\"serial\":\"S-BACKUP\""), std::string::npos);
}

TEST_F(MainLoopTest, AdoptsPairingPublishedByTheMain) {
  simulator main("10.77.0.2", "S-MAIN", "Server A");
  simulator backup("10.77.0.3", "S-BACKUP", "Server B");
  ASSERT_TRUE(main.set_event_model(
      R"({"Name":"Show","OperatorControl":{"Enabled":true,"Systems":[)"
      R"({"Serial":"S-MAIN","WorkstationName":"Server A","Address":"10.77.0.2","Role":"Main"},)"
      R"({"Serial":"S-BACKUP","WorkstationName":"Server B","Address":"10.77.0.3","Role":"Backup"}],)"
      R"("SharedFunctionIds":[3,2],"ReplicationRevision":7}})"));
  start_agent();
  ASSERT_TRUE(wait_output("role=Backup")) << output();
  ASSERT_TRUE(eventually([&] { return read_text(settings_).find("\"role\":\"Backup\"") != std::string::npos; }, 10s));
  const std::string saved = read_text(settings_);
  EXPECT_NE(saved.find("\"enabled\":true,\"controllerConfigured\":true"), std::string::npos) << saved;
  EXPECT_NE(saved.find("\"role\":\"Backup\",\"backupForSerial\":\"S-MAIN\""), std::string::npos) << saved;
  EXPECT_NE(saved.find("\"sharedFunctionIds\":[2,3]"), std::string::npos) << saved;
}

TEST_F(MainLoopTest, ReadyInterfaceSurvivesTwoFailedProbes) {
  simulator server("10.77.0.2", "S-ONE", "Server A");
  start_agent();
  ASSERT_TRUE(wait_output("[status] S-ONE role=Independent online=true uiReady=true")) << output();
  const int probes = path_count(server, "/Home/GetOperatorControlIdentity");
  ASSERT_TRUE(server.set("identity_status=500"));
  ASSERT_TRUE(eventually([&] { return path_count(server, "/Home/GetOperatorControlIdentity") >= probes + 2; }, 10s));
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(output().find("uiReady=false"), std::string::npos) << output();
  ASSERT_TRUE(wait_output("[status] S-ONE role=Independent online=true uiReady=false", 10s)) << output();
  EXPECT_GE(path_count(server, "/Home/GetOperatorControlIdentity"), probes + 3);
  ASSERT_TRUE(server.set("identity_status=200"));
  EXPECT_TRUE(eventually([&] { return count_of(output(), "S-ONE role=Independent online=true uiReady=true") == 2; }, 10s));
}

TEST_F(MainLoopTest, PushesConfiguredPairingToTheMain) {
  simulator main("10.77.0.2", "S-MAIN", "Server A");
  simulator backup("10.77.0.3", "S-BACKUP", "Server B");
  write_text(settings_,
             R"({"enabled":true,"controllerConfigured":true,"systems":[)"
             R"({"serial":"S-MAIN","workstation":"Server A","address":"10.77.0.2","webPort":5000,"role":"Main"},)"
             R"({"serial":"S-BACKUP","workstation":"Server B","address":"10.77.0.3","webPort":5000,)"
             R"("role":"Backup","backupForSerial":"S-MAIN"}],"sharedFunctionIds":[1,2]})");
  start_agent();
  ASSERT_TRUE(eventually([&] {
    return read_text(settings_).find("\"policySyncMessage\":\"Main event pairing is synchronized.\"") !=
           std::string::npos;
  }, 15s)) << read_text(settings_) << output();
  EXPECT_NE(read_text(settings_).find("\"policySynchronized\":true"), std::string::npos);
  const std::string model = main.sim_get("event-model");
  EXPECT_NE(model.find("\"OperatorControl\":{"), std::string::npos) << model;
  EXPECT_NE(model.find("S-BACKUP"), std::string::npos) << model;
  EXPECT_NE(model.find("\"Name\":\"Evening Show\""), std::string::npos) << model;  // rest of the model kept
}

TEST_F(MainLoopTest, SilentServerGoesOfflineAfterSixSeconds) {
  simulator quiet("10.77.0.3", "S-QUIET", "Server B");
  start_agent();
  ASSERT_TRUE(wait_output("[status] S-QUIET role=Independent online=true")) << output();
  ASSERT_TRUE(quiet.set("discovery=off"));
  const auto silenced = std::chrono::steady_clock::now();
  ASSERT_TRUE(wait_output("[status] S-QUIET role=Independent online=false", 15s)) << output();
  const auto waited = std::chrono::steady_clock::now() - silenced;
  // Offline once last seen more than 6 s ago, noticed at the next pass.
  EXPECT_GE(waited, 5s);
  EXPECT_LE(waited, 11s);
}

}  // namespace
}  // namespace tolvarine::operator_control::testing
