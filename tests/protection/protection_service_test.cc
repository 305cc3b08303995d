#include "protection/protection_service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

#include "protection/protection_fixture.h"

namespace tolvarine::operator_control {
namespace {

using ProtectionServiceTest = ProtectionFixture;

const char* const kDefaultFile =
    R"({"armed":true,"audible":false,"lossMs":1000,"stallMs":1500,"outputMs":1000,)"
    R"("startupMs":5000,"server":2,"engine":2,"responsive":2,"frames":2,"sync":1,"clock":1,)"
    R"("resources":1,"outputRules":[],"actions":[],"heldOnBackup":false,"pairMain":"",)"
    R"("pairBackup":""})";

TEST_F(ProtectionServiceTest, SavesThePolicyWithTheFailoverStateAndLoadsItBack) {
  EXPECT_EQ(service_->policy_path(), dir_.file("operator-control.json.protection.json"));
  EXPECT_EQ(service_->alert_log_path(),
            dir_.file("operator-control.json.protection.json.alerts.jsonl"));
  configure("{}");
  EXPECT_EQ(testing::read_text(service_->policy_path()), kDefaultFile);
  EXPECT_FALSE(std::filesystem::exists(service_->policy_path() + ".tmp"));

  settle();
  pass(healthy(), healthy());
  std::string error;
  ASSERT_TRUE(service_->operate("backup", &error)) << error;
  configure(R"({"lossMs":2000,"outputRules":[{"mainId":"o\"1","mode":0}]})");
  EXPECT_EQ(testing::read_text(service_->policy_path()),
            R"({"armed":true,"audible":false,"lossMs":2000,"stallMs":1500,"outputMs":1000,)"
            R"("startupMs":5000,"server":2,"engine":2,"responsive":2,"frames":2,"sync":1,)"
            R"("clock":1,"resources":1,"outputRules":[{"mainId":"o\"1","backupId":"","mode":0}],)"
            R"("actions":[],"heldOnBackup":true,"pairMain":"S-MAIN","pairBackup":"S-BACK"})");

  make_service();
  EXPECT_EQ(service_->policy().lossMs, 2000);
  EXPECT_EQ(service_->policy().outputRules.at(0).mainId, "o\"1");
  EXPECT_TRUE(service_->held_on_backup());
  EXPECT_TRUE(service_->selection_pending());
  EXPECT_EQ(service_->last_action(), "");
}

TEST_F(ProtectionServiceTest, BadFilesLoadDefaultsAndAreNotRewritten) {
  struct row {
    std::string content;
    std::string last_action;
  };
  const row rows[] = {
      {"", ""},
      {"{}", ""},
      {"garbage \x01\xff", ""},
      {R"({"armed":false,"lossMs":10)", "Invalid saved protection settings: " +
                                            std::string("Fault delays must be 500-30000 ms; "
                                                        "startup grace must be 1000-60000 ms.")},
      {R"({"resources":2,"heldOnBackup":true,"pairMain":"S-MAIN"})",
       "Invalid saved protection settings: Resource pressure supports Ignore or Alert only."},
  };
  for (const row& r : rows) {
    testing::write_text(service_->policy_path(), r.content);
    make_service();
    EXPECT_EQ(service_->policy_json(), protection_service::policy_json(protection_policy{}))
        << r.content;
    EXPECT_FALSE(service_->held_on_backup()) << r.content;
    EXPECT_EQ(service_->last_action(), r.last_action) << r.content;
    EXPECT_EQ(testing::read_text(service_->policy_path()), r.content);
  }
}

TEST_F(ProtectionServiceTest, ConfigureRefusesInvalidPoliciesAndKeepsTheOldOneWhenSavingFails) {
  configure(R"({"lossMs":3000})");
  std::string error;
  EXPECT_FALSE(service_->configure(R"({"sync":3})", &error));
  EXPECT_EQ(error, "Choose Ignore, Alert only, or Alert + failover.");
  EXPECT_EQ(service_->policy().lossMs, 3000);

  // Saving fails while the folder is a regular file.
  const std::string saved = testing::read_text(service_->policy_path());
  std::filesystem::rename(dir_.path(), dir_.path() + ".away");
  testing::write_text(dir_.path(), "not a folder");
  EXPECT_FALSE(service_->configure(R"({"lossMs":4000})", &error));
  EXPECT_EQ(error, "Protection settings could not be saved.");
  EXPECT_EQ(service_->policy().lossMs, 3000);
  std::filesystem::remove(dir_.path());
  std::filesystem::rename(dir_.path() + ".away", dir_.path());
  EXPECT_EQ(testing::read_text(service_->policy_path()), saved);
}

TEST_F(ProtectionServiceTest, StartupGraceHoldsFaultsBackAndThePairIsSelected) {
  pass(std::nullopt, std::nullopt);  // neither answers: the selection waits
  EXPECT_TRUE(service_->selection_pending());
  EXPECT_FALSE(active_alert("S-MAIN:server")) << "in grace";
  EXPECT_EQ(service_->active_serial(), kMain) << "reported while pending";
  EXPECT_TRUE(testing::read_text(service_->policy_path())
                  .ends_with(R"("heldOnBackup":false,"pairMain":"S-MAIN","pairBackup":"S-BACK"})"))
      << "the new pair is saved";

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

TEST_F(ProtectionServiceTest, FaultTableRaisesEachFaultWithItsDelaySeverityAndMessage) {
  configure(R"({"armed":false,"clock":2,"outputRules":[{"mainId":"out1","backupId":"bk1",)"
            R"("mode":1},{"mainId":"out2","mode":2,"backupId":"bk2"}]})");
  settle();
  using edit = void (*)(protection_sample&);
  struct row {
    const char* name;
    edit change;
    int delay_ms;  // the fault must hold this long
    const char* key;
    const char* severity;
    const char* message;
  };
  const row rows[] = {
      {"engine", [](protection_sample& s) { s.engineRunning = false; }, 0, "S-MAIN:engine",
       "critical", "Main: Engine stopped or exited."},
      {"responsive", [](protection_sample& s) { s.engineResponsive = false; }, 1000,
       "S-MAIN:responsive", "critical", "Main: Engine is not responding."},
      {"frames", [](protection_sample& s) { s.frameStalled = true; }, 0, "S-MAIN:frames",
       "critical", "Main: Engine channel frame progress stalled."},
      {"clock", [](protection_sample& s) { s.clock_fault = true; }, 1000, "S-MAIN:clock",
       "critical", "Main: Engaged external clock is unavailable or unlocked."},
      {"resources", [](protection_sample& s) { s.resource_pressure = true; }, 10000,
       "S-MAIN:resources", "warning",
       "Main: Sustained resource pressure: CPU >=95%, available memory <5%, or GPU temperature "
       ">=90 C."},
      {"telemetry", [](protection_sample& s) { s.telemetryAvailable = false; }, 1000,
       "S-MAIN:telemetry", "warning",
       "Main: Frame/output telemetry unavailable; update Tolvarine and its engine."},
      {"output mode 1", [](protection_sample& s) { s.outputs = R"([{"id":"bk1"}])"; }, 1000,
       "S-MAIN:output:out1", "warning", "Main: Protected output unavailable: out1"},
      {"output mode 2", [](protection_sample& s) { s.outputs = R"([{"id":"out1","available":true}])"; },
       1000, "S-MAIN:output:out2", "critical", "Main: Protected output unavailable: out2"},
  };
  auto good = [&] {
    protection_sample s = healthy();
    s.outputs = R"([{"id":"out1","available":true},{"id":"out2","available":true}])";
    return s;
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    auto faulty = [&] {
      protection_sample s = good();
      r.change(s);
      return s;
    };
    pass(faulty(), healthy());
    if (r.delay_ms > 0) {
      EXPECT_FALSE(active_alert(r.key)) << "raised before its delay";
      advance(r.delay_ms - 1);
      pass(faulty(), healthy());
      EXPECT_FALSE(active_alert(r.key)) << "raised 1 ms before its delay";
      advance(1);
      pass(faulty(), healthy());
    }
    const auto a = active_alert(r.key);
    ASSERT_TRUE(a) << "not raised after its delay";
    EXPECT_EQ(a->severity, r.severity);
    EXPECT_EQ(a->message, r.message);
    EXPECT_EQ(service_->active_serial(), kMain) << "disarmed: no failover";
    pass(good(), healthy());
    EXPECT_FALSE(active_alert(r.key)) << "not recovered";
  }
}

TEST_F(ProtectionServiceTest, LossCountsFromTheLastGoodPollAndBackupFaultsCarryTheirPrefix) {
  configure(R"({"armed":false})");
  settle();
  pass(healthy(), healthy());
  advance(999);
  pass(std::nullopt, std::nullopt);
  EXPECT_FALSE(active_alert("S-MAIN:server"));
  EXPECT_TRUE(config_->find(kMain)->online);
  advance(1);
  pass(std::nullopt, std::nullopt);
  const auto main_lost = active_alert("S-MAIN:server");
  const auto backup_lost = active_alert("S-BACK:server");
  ASSERT_TRUE(main_lost && backup_lost);
  EXPECT_EQ(main_lost->message, "Main: Server communication lost.");
  EXPECT_EQ(backup_lost->message, "Backup: Server communication lost.");
  EXPECT_EQ(backup_lost->severity, "critical");
  EXPECT_FALSE(config_->find(kMain)->online);
  EXPECT_FALSE(active_alert("backup-readiness")) << "eligible up to lossMs inclusive";
  advance(1);
  pass(std::nullopt, std::nullopt);
  EXPECT_TRUE(active_alert("backup-readiness"));
  EXPECT_FALSE(active_alert("S-MAIN:engine")) << "a lost server has no other faults";
}

TEST_F(ProtectionServiceTest, ResponsivenessTimerRestartsOnOneGoodSample) {
  configure(R"({"armed":false})");
  settle();
  protection_sample stuck = healthy();
  stuck.engineResponsive = false;
  for (int i = 0; i < 3; ++i) {
    stuck.updated = now_;
    pass(stuck, healthy());
    advance(400);
  }
  pass_healthy();  // 1200 ms in, but interrupted
  for (int i = 0; i < 3; ++i) {
    stuck.updated = now_;
    pass(stuck, healthy());
    EXPECT_FALSE(active_alert("S-MAIN:responsive")) << i;
    advance(400);
  }
  stuck.updated = now_;
  pass(stuck, healthy());
  EXPECT_TRUE(active_alert("S-MAIN:responsive"));
}

TEST_F(ProtectionServiceTest, ModeZeroAndUnsupportedServersLimitWhatFires) {
  configure(R"({"outputRules":[{"mainId":"gone","mode":1}]})");
  settle();
  protection_sample s = healthy();
  s.outputs = "[]";
  pass(s, healthy());
  advance(1000);
  s.updated = now_;
  pass(s, healthy());
  ASSERT_TRUE(active_alert("S-MAIN:output:gone"));
  configure(R"({"outputRules":[{"mainId":"gone","mode":0}]})");
  s.updated = now_;
  pass(s, healthy());
  EXPECT_FALSE(active_alert("S-MAIN:output:gone")) << "mode 0 recovers";
  advance(5000);
  s.updated = now_;
  pass(s, healthy());
  EXPECT_FALSE(active_alert("S-MAIN:output:gone")) << "mode 0 never fires";

  // A server without the health endpoint only gets the telemetry warning.
  protection_sample old;
  old.reachable = true;
  old.updated = now_;
  pass(old, healthy());
  advance(1000);
  old.updated = now_;
  pass(old, healthy());
  std::vector<std::string> keys;
  for (const auto& a : service_->alerts()) {
    if (a.active) keys.push_back(a.key);
  }
  EXPECT_EQ(keys, std::vector<std::string>{"S-MAIN:telemetry"});
  EXPECT_EQ(active_alert("S-MAIN:telemetry")->severity, "warning");
}

TEST_F(ProtectionServiceTest, ShowSyncWarnsAfterTwoSecondsOutOfStep) {
  replication_status main_status;
  main_status.revision = 7;
  config_->set_replication_status(kMain, main_status);
  replication_status backup_status;
  backup_status.applied_revision = 6;
  config_->set_replication_status(kBackup, backup_status);
  settle();
  pass_healthy();
  advance(1999);
  pass_healthy();
  EXPECT_FALSE(active_alert("show-sync"));
  advance(1);
  pass_healthy();
  const auto a = active_alert("show-sync");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->message, "Backup show state or media is not synchronized.");
  EXPECT_EQ(a->severity, "warning");
  backup_status.applied_revision = 7;
  config_->set_replication_status(kBackup, backup_status);
  pass_healthy();
  EXPECT_FALSE(active_alert("show-sync"));
}

TEST_F(ProtectionServiceTest, PairChangeClearsAlertsSilentlyAndStartsOver) {
  configure(R"({"armed":false})");
  settle();
  pass(std::nullopt, healthy());
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
  EXPECT_NE(testing::read_text(service_->policy_path()).find("\"pairBackup\":\"S-C\""),
            std::string::npos);
}

TEST_F(ProtectionServiceTest, AlertLogRecordsRaisesAndRecoveries) {
  configure(R"({"armed":false})");
  settle();
  protection_sample stopped = healthy();
  stopped.engineRunning = false;
  pass(stopped, healthy());
  pass_healthy();
  const std::vector<std::string> lines = log_lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[lines.size() - 2],
            "{\"time\":" + std::to_string(wall_) +
                ",\"event\":\"fault\",\"key\":\"S-MAIN:engine\",\"message\":\"Main: Engine "
                "stopped or exited.\"}");
  EXPECT_EQ(lines.back(), "{\"time\":" + std::to_string(wall_) +
                              ",\"event\":\"recovered\",\"key\":\"S-MAIN:engine\"}");
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

  // A failed poll leaves the previous sample, flags and outputs included.
  service_->store_poll_result("S-A", std::nullopt);
  EXPECT_EQ(service_->sample("S-A")->outputs, R"([{"id":"o"}])");
  EXPECT_TRUE(service_->sample("S-A")->engineRunning);
}

TEST_F(ProtectionServiceTest, PollReadsHealthThenIdentityAndRefusesStrangers) {
  system_record main = *config_->find(kMain);
  answers_["10.77.0.2/Home/GetKelHealth"] = {
      200, R"({"serial":"S-MAIN","version":1,"engineRunning":true,"channels":[{"ageMs":700}]})"};
  service_->poll(main, 500);
  ASSERT_TRUE(service_->sample(kMain));
  EXPECT_TRUE(service_->sample(kMain)->engineRunning);
  EXPECT_TRUE(service_->sample(kMain)->frameStalled) << "the stall threshold is passed in";

  answers_["10.77.0.2/Home/GetKelHealth"] = {200, R"({"serial":"S-BACK","version":1})"};
  advance(100);
  service_->poll(main, 500);
  EXPECT_TRUE(service_->sample(kMain)->engineRunning) << "another serial is a failed poll";

  answers_["10.77.0.2/Home/GetKelHealth"] = {404, "no"};
  answers_["10.77.0.2/Home/GetOperatorControlIdentity"] = {200, R"({"Serial":"S-MAIN"})"};
  service_->poll(main, 500);
  EXPECT_TRUE(service_->sample(kMain)->reachable);
  EXPECT_FALSE(service_->sample(kMain)->supported);
  EXPECT_EQ(service_->sample(kMain)->updated, now_);

  answers_["10.77.0.2/Home/GetKelHealth"] = {500, ""};
  fetches_ = 0;
  service_->poll(main, 500);
  EXPECT_EQ(fetches_, 1) << "only a 404 asks for the identity";
}

TEST_F(ProtectionServiceTest, AnExceptionInAMonitorCycleRaisesTheMonitorAlertUntilACleanCycle) {
  bool throw_once = true;
  protection_service::environment env;
  env.steady = [this] { return now_; };
  env.wall = [this] { return wall_; };
  env.fetch = [&](const std::string& host, uint16_t, const std::string&, int, size_t) {
    if (throw_once && host == "10.77.0.2") throw std::runtime_error("boom");
    return http_response{};
  };
  service_ = std::make_unique<protection_service>(*config_, env);
  service_->run_monitor_cycle();
  const auto a = active_alert("monitor");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->message, "Protection monitor error: boom");
  EXPECT_EQ(a->severity, "critical");
  throw_once = false;
  service_->run_monitor_cycle();
  EXPECT_FALSE(active_alert("monitor"));
}

}  // namespace
}  // namespace tolvarine::operator_control
