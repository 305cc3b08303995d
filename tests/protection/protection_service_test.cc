#include "protection/protection_service.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "protection/protection_fixture.h"

namespace tolvarine::operator_control {
namespace {

using ProtectionServiceTest = ProtectionFixture;
using keys = std::vector<std::string>;

TEST_F(ProtectionServiceTest, SavesThePolicyWithTheFailoverStateAndLoadsItBack) {
  EXPECT_EQ(service_->policy_path(), dir_.file("operator-control.json.protection.json"));
  EXPECT_EQ(service_->alert_log_path(),
            dir_.file("operator-control.json.protection.json.alerts.jsonl"));
  configure("{}");
  EXPECT_EQ(testing::read_text(service_->policy_path()),
            R"({"armed":true,"audible":false,"lossMs":1000,"stallMs":1500,"outputMs":1000,)"
            R"("startupMs":5000,"server":2,"engine":2,"responsive":2,"frames":2,"sync":1,)"
            R"("clock":1,"resources":1,"outputRules":[],"actions":[],"heldOnBackup":false,)"
            R"("pairMain":"","pairBackup":""})");
  EXPECT_FALSE(std::filesystem::exists(service_->policy_path() + ".tmp"));

  settle();
  ASSERT_EQ(operate("backup"), "ok");
  configure(R"({"lossMs":2000,"outputRules":[{"mainId":"o\"1","mode":0}]})");
  EXPECT_EQ(testing::read_text(service_->policy_path()),
            R"({"armed":true,"audible":false,"lossMs":2000,"stallMs":1500,"outputMs":1000,)"
            R"("startupMs":5000,"server":2,"engine":2,"responsive":2,"frames":2,"sync":1,)"
            R"("clock":1,"resources":1,"outputRules":[{"mainId":"o\"1","backupId":"","mode":0}],)"
            R"("actions":[],"heldOnBackup":true,"pairMain":"S-MAIN","pairBackup":"S-BACK"})");

  // Invalid or unsavable policies leave the saved one in force.
  const std::string saved_text = testing::read_text(service_->policy_path());
  std::string error;
  EXPECT_FALSE(service_->configure(R"({"sync":3})", &error));
  EXPECT_EQ(error, "Choose Ignore, Alert only, or Alert + failover.");
  break_storage();
  EXPECT_FALSE(service_->configure(R"({"lossMs":4000})", &error));
  EXPECT_EQ(error, "Protection settings could not be saved.");
  restore_storage();
  EXPECT_EQ(testing::read_text(service_->policy_path()), saved_text);

  make_service();
  EXPECT_EQ(service_->policy().lossMs, 2000);
  EXPECT_EQ(service_->policy().outputRules.at(0).mainId, "o\"1");
  EXPECT_TRUE(service_->held_on_backup());
  EXPECT_TRUE(service_->selection_pending());
  EXPECT_EQ(service_->last_action(), "");
}

TEST_F(ProtectionServiceTest, BadFilesLoadDefaultsAndAreNotRewritten) {
  const std::string invalid = "Invalid saved protection settings: ";
  const std::pair<std::string, std::string> rows[] = {  // content, lastAction
      {"", ""},
      {"{}", ""},
      {"garbage \x01\xff", ""},
      {R"({"armed":false,"lossMs":10)",
       invalid + "Fault delays must be 500-30000 ms; startup grace must be 1000-60000 ms."},
      {R"({"resources":2,"heldOnBackup":true,"pairMain":"S-MAIN"})",
       invalid + "Resource pressure supports Ignore or Alert only."},
  };
  for (const auto& [content, last_action] : rows) {
    testing::write_text(service_->policy_path(), content);
    make_service();
    EXPECT_EQ(service_->policy_json(), protection_service::policy_json(protection_policy{}))
        << content;
    EXPECT_FALSE(service_->held_on_backup()) << content;
    EXPECT_EQ(service_->last_action(), last_action) << content;
    EXPECT_EQ(testing::read_text(service_->policy_path()), content);
  }
}

TEST_F(ProtectionServiceTest, StartupGraceHoldsFaultsBackAndThePairIsSelected) {
  pass(std::nullopt, std::nullopt);  // neither answers: the selection waits
  EXPECT_TRUE(service_->selection_pending());
  EXPECT_EQ(service_->active_serial(), kMain) << "reported while pending";
  EXPECT_TRUE(saved(R"("heldOnBackup":false,"pairMain":"S-MAIN","pairBackup":"S-BACK"})"));
  EXPECT_FALSE(active_alert("S-MAIN:server")) << "in grace";
  advance(6000);
  pass(std::nullopt, std::nullopt);
  EXPECT_TRUE(active_alert("S-MAIN:server"));
  EXPECT_FALSE(service_->sample(kMain)->reachable);

  // The Main answering makes the selection and restarts the grace.
  pass_healthy();
  EXPECT_FALSE(service_->selection_pending());
  EXPECT_FALSE(active_alert("S-MAIN:server"));
  pass(std::nullopt, healthy());
  advance(1000);
  pass(std::nullopt, healthy());
  EXPECT_FALSE(active_alert("S-MAIN:server")) << "grace restarted by the selection";
  advance(4000);
  pass(std::nullopt, healthy());
  EXPECT_TRUE(active_alert("S-MAIN:server"));
}

TEST_F(ProtectionServiceTest, FaultTableRaisesEachFaultAfterItsUninterruptedDelay) {
  configure(R"({"armed":false,"clock":2,"outputRules":[{"mainId":"out1","backupId":"bk1",)"
            R"("mode":1},{"mainId":"out2","mode":2,"backupId":"bk2"},)"
            R"({"mainId":"out3","mode":0}]})");
  settle();
  using edit = void (*)(protection_sample&);
  struct row {
    edit change;
    int delay_ms;  // the fault must hold this long
    const char* key;
    const char* severity;
    const char* message;
  };
  const row rows[] = {
      {[](protection_sample& s) { s.engineRunning = false; }, 0, "S-MAIN:engine", "critical",
       "Main: Engine stopped or exited."},
      {[](protection_sample& s) { s.engineResponsive = false; }, 1000, "S-MAIN:responsive",
       "critical", "Main: Engine is not responding."},
      {[](protection_sample& s) { s.frameStalled = true; }, 0, "S-MAIN:frames", "critical",
       "Main: Engine channel frame progress stalled."},
      {[](protection_sample& s) { s.clock_fault = true; }, 1000, "S-MAIN:clock", "critical",
       "Main: Engaged external clock is unavailable or unlocked."},
      {[](protection_sample& s) { s.resource_pressure = true; }, 10000, "S-MAIN:resources",
       "warning",
       "Main: Sustained resource pressure: CPU >=95%, available memory <5%, or GPU temperature "
       ">=90 C."},
      {[](protection_sample& s) { s.telemetryAvailable = false; }, 1000, "S-MAIN:telemetry",
       "warning", "Main: Frame/output telemetry unavailable; update Tolvarine and its engine."},
      // A server without the health endpoint only gets the telemetry warning.
      {[](protection_sample& s) { s = {.reachable = true, .updated = s.updated}; }, 1000,
       "S-MAIN:telemetry", "warning",
       "Main: Frame/output telemetry unavailable; update Tolvarine and its engine."},
      {[](protection_sample& s) { s.outputs = R"([{"id":"out2","available":true}])"; }, 1000,
       "S-MAIN:output:out1", "warning", "Main: Protected output unavailable: out1"},
      {[](protection_sample& s) { s.outputs = R"([{"id":"out1","available":true}])"; }, 1000,
       "S-MAIN:output:out2", "critical", "Main: Protected output unavailable: out2"},
  };
  // out3 (mode 0) is never reported and never alerts.
  auto good = [&] {
    protection_sample s = healthy();
    s.outputs = R"([{"id":"out1","available":true},{"id":"out2","available":true},)"
                R"({"id":"bk1","available":true},{"id":"bk2","available":true}])";
    return s;
  };
  pass(good(), good());
  ASSERT_EQ(active_keys(), keys{});
  for (const row& r : rows) {
    SCOPED_TRACE(r.key);
    auto faulty = [&] {
      protection_sample s = good();
      r.change(s);
      return s;
    };
    pass(faulty(), good());
    if (r.delay_ms > 0) {
      advance(r.delay_ms - 1);
      pass(good(), good());  // one good sample restarts the delay
      pass(faulty(), good());
      advance(r.delay_ms - 1);
      pass(faulty(), good());
      EXPECT_EQ(active_keys(), keys{}) << "raised before its delay";
      advance(1);
      pass(faulty(), good());
    }
    ASSERT_EQ(active_keys(), keys{r.key});
    EXPECT_EQ(active_alert(r.key)->severity, r.severity);
    EXPECT_EQ(active_alert(r.key)->message, r.message);
    EXPECT_EQ(log_lines().back(), log_line("fault", r.key, r.message));
    EXPECT_EQ(service_->active_serial(), kMain) << "disarmed: no failover";
    pass(good(), good());
    EXPECT_EQ(active_keys(), keys{}) << "not recovered";
    EXPECT_EQ(log_lines().back(), log_line("recovered", r.key));
  }

  // Turning a rule to mode 0 recovers its alert.
  protection_sample no_out1 = good();
  rows[7].change(no_out1);
  pass(no_out1, good());
  advance(1000);
  no_out1.updated = now_;
  pass(no_out1, good());
  ASSERT_TRUE(active_alert("S-MAIN:output:out1"));
  configure(R"({"armed":false,"outputRules":[{"mainId":"out1","mode":0}]})");
  pass(no_out1, good());
  EXPECT_EQ(active_keys(), keys{});
}

TEST_F(ProtectionServiceTest, LossAtExactlyLossMsFailsOverAndBackupFaultsHaveTheirPrefix) {
  settle();
  advance(999);
  pass(std::nullopt, healthy());
  EXPECT_EQ(active_keys(), keys{});
  EXPECT_TRUE(config_->find(kMain)->online);
  advance(1);
  pass(std::nullopt, healthy());
  EXPECT_EQ(active_alert("S-MAIN:server")->message, "Main: Server communication lost.");
  EXPECT_FALSE(config_->find(kMain)->online);
  EXPECT_EQ(service_->active_serial(), kBackup) << "failover in the same pass";
  EXPECT_EQ(active_alert("transfer")->message,
            "Main: Server communication lost.; operating on Backup. Return to Main manually when "
            "ready.");
  EXPECT_FALSE(service_->actions_busy()) << "no enabled actions: switched, nothing queued";
  advance(1000);
  pass(std::nullopt, std::nullopt);
  EXPECT_FALSE(active_alert("backup-readiness")) << "eligible up to lossMs inclusive";
  advance(1);
  pass(std::nullopt, std::nullopt);
  EXPECT_TRUE(active_alert("backup-readiness"));
  EXPECT_EQ(active_alert("S-BACK:server")->message, "Backup: Server communication lost.");
  EXPECT_EQ(active_alert("S-BACK:server")->severity, "critical");
  EXPECT_FALSE(active_alert("S-MAIN:engine")) << "a lost server has no other faults";
}

TEST_F(ProtectionServiceTest, PairChangeClearsAlertsSilentlyAndStartsOver) {
  configure(R"({"armed":false})");
  settle();
  advance(1000);
  pass(std::nullopt, healthy());
  ASSERT_TRUE(active_alert("S-MAIN:server"));
  const size_t lines_before = log_lines().size();

  config_->merge_discovered({{"10.77.0.4", 5000, "Server C", "S-C"}});
  config_->configure_pair(true, kMain, "S-C");
  service_->evaluation_pass();
  for (const auto& a : service_->alerts()) {
    EXPECT_FALSE(a.active) << a.key;
    EXPECT_EQ(a.recovered, wall_) << a.key;
  }
  EXPECT_EQ(log_lines().size(), lines_before) << "no recovery lines";
  EXPECT_TRUE(service_->selection_pending());
  EXPECT_TRUE(saved("\"pairBackup\":\"S-C\""));
}

TEST_F(ProtectionServiceTest, StatusDocumentShowsPolicyStateSamplesAndAlerts) {
  service_->store_poll_result("S-X", std::nullopt);
  protection_sample s = healthy();
  s.outputs = R"([{"id":"o"}])";
  service_->store_poll_result("S-A", s);
  advance(120);
  EXPECT_EQ(service_->json(),
            "{\"policy\":" + protection_service::policy_json(protection_policy{}) +
                ",\"armed\":true,\"heldOnBackup\":false,\"actionsBusy\":false,\"lastAction\":\"\","
                "\"systems\":[{\"serial\":\"S-A\",\"ageMs\":120,\"supported\":true,"
                "\"engineRunning\":true,\"engineResponsive\":true,\"telemetryAvailable\":true,"
                "\"frameStalled\":false,\"outputs\":[{\"id\":\"o\"}]},{\"serial\":\"S-X\","
                "\"ageMs\":-1,\"supported\":false,\"engineRunning\":false,"
                "\"engineResponsive\":false,\"telemetryAvailable\":false,\"frameStalled\":false,"
                "\"outputs\":[]}],\"alerts\":[]}");
}

TEST_F(ProtectionServiceTest, PollReadsHealthThenIdentityAndFailedPollsKeepTheLastSample) {
  const system_record main = *config_->find(kMain);
  const std::string health = "10.77.0.2/Home/GetKelHealth";
  answers_[health] = {200, R"({"serial":"S-MAIN","version":1,"engineRunning":true,)"
                           R"("outputs":[{"id":"o"}],"channels":[{"ageMs":700}]})"};
  service_->poll(main, 500);
  ASSERT_TRUE(service_->sample(kMain));
  EXPECT_TRUE(service_->sample(kMain)->frameStalled) << "the stall threshold is passed in";

  answers_[health] = {200, R"({"serial":"S-BACK","version":1})"};
  advance(100);
  service_->poll(main, 500);
  EXPECT_TRUE(service_->sample(kMain)->engineRunning) << "another serial is a failed poll";
  EXPECT_EQ(service_->sample(kMain)->outputs, R"([{"id":"o"}])");

  answers_[health] = {404, "no"};
  answers_["10.77.0.2/Home/GetOperatorControlIdentity"] = {200, R"({"Serial":"S-MAIN"})"};
  service_->poll(main, 500);
  EXPECT_TRUE(service_->sample(kMain)->reachable);
  EXPECT_FALSE(service_->sample(kMain)->supported);
  EXPECT_EQ(service_->sample(kMain)->updated, now_);

  answers_[health] = {500, ""};
  fetches_ = 0;
  service_->poll(main, 500);
  EXPECT_EQ(fetches_, 1) << "only a 404 asks for the identity";
}

TEST_F(ProtectionServiceTest, ExceptionInAMonitorCycleRaisesTheMonitorAlertUntilACleanCycle) {
  fetch_error_ = true;
  service_->run_monitor_cycle();
  ASSERT_TRUE(active_alert("monitor"));
  EXPECT_EQ(active_alert("monitor")->message, "Protection monitor error: boom");
  EXPECT_EQ(active_alert("monitor")->severity, "critical");
  fetch_error_ = false;
  service_->run_monitor_cycle();
  EXPECT_FALSE(active_alert("monitor"));
}

}  // namespace
}  // namespace tolvarine::operator_control
