// Health evaluation of the pair: the saved policy file, startup grace and
// selection, each fault after its delay with its exact alert and log line,
// polling, the status document and the monitor's own failures.
#include "protection/protection_service.h"

#include <gtest/gtest.h>

#include <stdexcept>

#include "protection/protection_fixture.h"

namespace tolvarine::operator_control {
namespace {

using ProtectionServiceTest = ProtectionFixture;

TEST_F(ProtectionServiceTest, SavesThePolicyWithTheFailoverStateAndLoadsOnlyAValidFile) {
  settle();
  ASSERT_EQ(operate("backup"), "ok");
  configure(R"({"audible": true,"outputRules":[{"mainId":"o\"1","mode":0}],"actions":[)"
            R"({"transport":"UDP","port":"80","retries":2,"event":"main"}]})");
  const std::string policy = service_->policy_json();
  EXPECT_TRUE(saved(R"("heldOnBackup":true,"pairMain":"S-MAIN","pairBackup":"S-BACK"})"));
  std::string error;  // invalid or unsavable policies leave the saved one in force
  EXPECT_FALSE(service_->configure(R"({"sync":3})", &error));
  save_fails_ = true;
  EXPECT_FALSE(service_->configure(R"({"lossMs":4000})", &error));
  EXPECT_EQ(error, "Protection settings could not be saved.");
  save_fails_ = false;
  make_service();
  EXPECT_EQ(service_->policy_json(), policy);
  EXPECT_TRUE(service_->held_on_backup() && service_->selection_pending());

  // A bad file loads the defaults, is reported, and is not rewritten.
  const std::string bad = R"({"resources":2,"heldOnBackup":true,"pairMain":"S-MAIN"})";
  testing::write_text(service_->policy_path(), bad);
  make_service();
  EXPECT_EQ(service_->policy_json(), protection_service::policy_json({}));
  EXPECT_FALSE(service_->held_on_backup());
  EXPECT_EQ(service_->last_action(),
            "Invalid saved protection settings: Resource pressure supports Ignore or Alert only.");
  EXPECT_EQ(testing::read_text(service_->policy_path()), bad);
}

TEST_F(ProtectionServiceTest, StartupGraceHoldsFaultsBackAndAPairChangeStartsOver) {
  pass(std::nullopt, std::nullopt);  // neither answers: the selection waits
  EXPECT_TRUE(service_->selection_pending());
  advance(4999);
  pass(std::nullopt, std::nullopt);
  EXPECT_EQ(active_keys(), keys{}) << "in grace";
  advance(1);
  pass(std::nullopt, std::nullopt);
  EXPECT_EQ(active_keys(), (keys{"S-MAIN:server", "S-BACK:server", "backup-readiness"}));

  pass_healthy();  // the Main answering makes the selection and restarts the grace
  advance(4999);
  pass(std::nullopt, healthy());
  EXPECT_EQ(active_keys(), keys{}) << "grace restarted by the selection";
  advance(1);
  pass(std::nullopt, healthy());
  ASSERT_EQ(active_keys(), (keys{"S-MAIN:server", "transfer"})) << "failed over at once";

  config_->merge_discovered({{"10.77.0.4", 5000, "Server C", "S-C"}});
  config_->configure_pair(true, kMain, "S-C");
  service_->evaluation_pass();
  EXPECT_TRUE(active_keys().empty() && service_->selection_pending());
}

TEST_F(ProtectionServiceTest, FaultTableRaisesEachFaultAfterItsUninterruptedDelay) {
  configure(
      R"({"armed":false,"clock":2,"outputRules":[{"mainId":"out1","backupId":"bk1",)"
      R"("mode":1},{"mainId":"out2","mode":2,"backupId":"bk2"},{"mainId":"out3","mode":0}]})");
  settle();
  struct row {
    void (*change)(protection_sample&);
    int delay_ms;  // the fault must hold this long
    const char *key, *severity, *message;
  };
  const row rows[] = {  // out3 is never reported
      {[](auto& s) { s.engineRunning = false; }, 0, "S-MAIN:engine", "critical",
       "Main: Engine stopped or exited."},
      {[](auto& s) { s.engineResponsive = false; }, 1000, "S-MAIN:responsive", "critical",
       "Main: Engine is not responding."},
      {[](auto& s) { s.frameStalled = true; }, 0, "S-MAIN:frames", "critical",
       "Main: Engine channel frame progress stalled."},
      {[](auto& s) { s.clock_fault = true; }, 1000, "S-MAIN:clock", "critical",
       "Main: Engaged external clock is unavailable or unlocked."},
      {[](auto& s) { s.telemetryAvailable = false; }, 1000, "S-MAIN:telemetry", "warning",
       "Main: Frame/output telemetry unavailable; update Tolvarine and its engine."},
      // A server without the health endpoint only gets the telemetry warning.
      {[](auto& s) { s = {.reachable = true, .updated = s.updated}; }, 1000, "S-MAIN:telemetry",
       "warning", "Main: Frame/output telemetry unavailable; update Tolvarine and its engine."},
      {[](auto& s) { s.outputs = R"([{"id":"out2","available":true}])"; }, 1000,
       "S-MAIN:output:out1", "warning", "Main: Protected output unavailable: out1"},
      {[](auto& s) { s.outputs = R"([{"id":"out1","available":true}])"; }, 1000,
       "S-MAIN:output:out2", "critical", "Main: Protected output unavailable: out2"},
  };
  pass_healthy();
  ASSERT_EQ(active_keys(), keys{});
  for (const row& r : rows) {
    SCOPED_TRACE(r.key);
    pass(healthy(r.change), healthy());
    if (r.delay_ms > 0) {  // one good sample restarts the delay
      advance(r.delay_ms - 1);
      pass_healthy();
      pass(healthy(r.change), healthy());
      advance(r.delay_ms - 1);
      pass(healthy(r.change), healthy());
      EXPECT_EQ(active_keys(), keys{}) << "raised before its delay";
      advance(1);
      pass(healthy(r.change), healthy());
    }
    ASSERT_EQ(active_keys(), keys{r.key});
    EXPECT_EQ(active_alert(r.key).severity, r.severity);
    EXPECT_EQ(log_lines().back(), log_line("fault", r.key, r.message));
    pass_healthy();
    EXPECT_EQ(active_keys(), keys{}) << "not recovered";
    EXPECT_EQ(log_lines().back(), log_line("recovered", r.key));
  }
}

TEST_F(ProtectionServiceTest, PolledSamplesAndMonitorErrorsShowInTheStatusDocument) {
  const system_record main = *config_->find(kMain);
  const std::string health = "10.77.0.2/Home/GetKelHealth";
  answers_[health] = {200, R"({"serial":"S-MAIN","version":1,"engineRunning":true,)"
                           R"("outputs":[{"id":"o"}],"channels":[{"ageMs":700}]})"};
  service_->poll(main, 500);  // the stall threshold is passed in
  answers_[health] = {200, R"({"serial":"S-BACK","version":1})"};
  advance(120);
  service_->poll(main, 500);  // another serial is a failed poll: the last sample stays
  fetch_hook_ = [] { throw std::runtime_error("boom"); };  // alerts until a clean cycle
  service_->run_monitor_cycle();
  EXPECT_NE(service_->json().find(
            R"("systems":[{"serial":"S-MAIN","ageMs":120,"supported":true,"engineRunning":true,)"
            R"("engineResponsive":false,"telemetryAvailable":false,"frameStalled":true,)"
            R"("outputs":[{"id":"o"}]}],"alerts":[{"id":1,)"
            R"("message":"Protection monitor error: boom",)"),
            std::string::npos) << service_->json();
  fetch_hook_ = nullptr;
  service_->run_monitor_cycle();
  EXPECT_FALSE(active_alert("monitor").active);

  answers_[health] = {404, "no"};
  answers_["10.77.0.2/Home/GetOperatorControlIdentity"] = {200, R"({"Serial":"S-MAIN"})"};
  service_->poll(main, 500);
  EXPECT_TRUE(service_->sample(kMain)->reachable && !service_->sample(kMain)->supported);
}

}  // namespace
}  // namespace tolvarine::operator_control
