// Failover and return: when the Backup takes over, that each move is saved
// before it takes effect, the held Backup across restarts, the outbound
// action sequences and alert storms.
#include <gtest/gtest.h>

#include "protection/protection_fixture.h"

namespace tolvarine::operator_control {
namespace {

using ProtectionTransferTest = ProtectionFixture;

const char* const kNotReady =
    "Requested server is not ready for takeover. Check engine and protected outputs.";
const char* const kBlocked = "Main fault detected; failover blocked because Backup is not ready.";
const char* const kNoSave = "Could not persist active server; transfer was blocked.";
// Backup (enabled, 7001), Main (enabled, UDP, 7002), Backup (disabled, 7003).
const char* const kActions =
    R"({"actions":[{"name":"one","host":"h","port":7001,"payload":"B\\r\\n\\t\\\\",)"
    R"("enabled":true},)"
    R"({"name":"two","event":"main","host":"h","port":7002,"payload":"2\\x41","retries":2,)"
    R"("timeoutMs":250,"enabled":true,"transport":"UDP"},{"name":"off","port":7003}]})";

TEST_F(ProtectionTransferTest, LossMsOfSilenceFailsOverAndAfterARestartHandsBack) {
  settle();
  advance(900);
  pass(std::nullopt, healthy());
  pass_healthy();  // one answer restarts the count
  advance(999);
  pass(std::nullopt, healthy());
  EXPECT_TRUE(active_keys().empty() && config_->find(kMain)->online);
  advance(1);
  pass(std::nullopt, healthy());
  EXPECT_TRUE(service_->active_serial() == kBackup && !config_->find(kMain)->online)
      << "failover in the same pass";
  EXPECT_EQ(active_alert("transfer").message,
            "Main: Server communication lost.; operating on Backup. Return to Main manually when "
            "ready.");
  advance(1000);
  pass(std::nullopt, std::nullopt);
  EXPECT_FALSE(active_alert("backup-readiness").active) << "eligible up to lossMs inclusive";
  advance(1);
  pass(std::nullopt, std::nullopt);
  EXPECT_EQ(active_keys(), (keys{"S-MAIN:server", "transfer", "S-BACK:server", "backup-readiness"}))
      << "the Backup lost after lossMs";

  // After a restart the Main takes over only once the held Backup has been
  // silent for lossMs, and only once that is saved.
  make_service();
  pass(std::nullopt, std::nullopt);
  advance(750);
  pass(healthy(), std::nullopt);
  EXPECT_TRUE(service_->selection_pending() && service_->held_on_backup());
  advance(250);
  save_fails_ = true;
  pass(healthy(), std::nullopt);
  EXPECT_TRUE(service_->held_on_backup());
  EXPECT_EQ(active_alert("transfer-storage").message,
            "Could not persist initial Main selection; selection was blocked.");
  save_fails_ = false;
  pass(healthy(), std::nullopt);
  EXPECT_FALSE(service_->selection_pending() || active_alert("transfer-storage").active);
  EXPECT_EQ(service_->active_serial(), kMain);
  EXPECT_TRUE(saved("\"heldOnBackup\":false"));
}

TEST_F(ProtectionTransferTest, AFaultFailsOverOnlyArmedToAReadyIdleBackupAndSavedFirst) {
  configure(kActions);
  settle();
  EXPECT_EQ(operate("disarm"), "ok");
  pass(healthy(stop_engine), healthy());
  EXPECT_EQ(active_keys(), keys{"S-MAIN:engine"}) << "disarmed: alert only";
  EXPECT_EQ(operate("arm"), "ok");
  pass(healthy(stop_engine), healthy(start_engine));
  EXPECT_EQ(active_alert("failover-blocked").message, kBlocked);
  ASSERT_EQ(operate("test 1"), "ok");
  pass_healthy();
  pass(healthy(stop_engine), healthy());
  EXPECT_EQ(active_alert("failover-blocked").message,
            "Main fault detected; waiting for the current outbound sequence.");
  ASSERT_TRUE(service_->run_next_job());
  save_fails_ = true;
  pass(healthy(stop_engine), healthy());
  EXPECT_EQ(active_alert("transfer-storage").message, kNoSave);
  EXPECT_FALSE(service_->held_on_backup() || service_->actions_busy());
  save_fails_ = false;
  pass(healthy(stop_engine), healthy());
  EXPECT_EQ(service_->active_serial(), kBackup);
  EXPECT_TRUE(saved("\"heldOnBackup\":true"));
  EXPECT_EQ(active_keys(), (keys{"S-MAIN:engine", "transfer"}));
  EXPECT_EQ(active_alert("transfer").message,
            "Main: Engine stopped or exited.; operating on Backup. Return to Main manually when "
            "ready.");
}

TEST_F(ProtectionTransferTest, OnlyTheOperatorReturnsAndOnlyToAServerAnsweringNow) {
  configure(kActions);
  settle();
  save_fails_ = true;
  EXPECT_EQ(operate("backup"), kNoSave);
  EXPECT_EQ(operate("disarm"), "Could not save protection state.");
  save_fails_ = false;
  EXPECT_EQ(operate("backup"), "ok");
  EXPECT_EQ(operate("main"), "Wait for the outbound sequence to finish before transferring again.");
  EXPECT_TRUE(service_->run_next_job());

  for (int i = 0; i < 100; ++i, advance(250)) pass_healthy();
  make_service();  // a restart keeps the Backup
  pass_healthy();
  EXPECT_EQ(service_->active_serial(), kBackup) << "no automatic return";
  advance(900);  // the Main's last answer is old: it must answer now
  pass(std::nullopt, healthy());
  EXPECT_EQ(operate("main"), kNotReady);
  pass_healthy();
  EXPECT_EQ(operate("main"), "ok");
  EXPECT_FALSE(service_->held_on_backup());
  EXPECT_EQ(active_alert("transfer").message, "Operator requested transfer; operating on Main.");
  for (int i = 0; i < 8; ++i, advance(250)) pass_healthy();
  EXPECT_EQ(service_->active_serial(), kMain) << "the old silence does not fail over again";
  ASSERT_TRUE(service_->run_next_job());
  pass(healthy(), healthy(start_engine));
  EXPECT_EQ(operate("backup"), kNotReady);
  config_->configure_pair(false, kMain, kBackup);
  pass_healthy();
  EXPECT_EQ(operate("backup"), kNotReady) << "redundancy disabled";
}

TEST_F(ProtectionTransferTest, ShowSyncWarnsAndSyncFailoverNeedsAReplicatedBackup) {
  configure(R"({"sync":2})");
  settle();
  EXPECT_EQ(operate("backup"), kNotReady) << "Main revision 0";
  replication_status main_status, backup;
  backup.pending_media = 4;  // a Main that does not replicate is never out of sync
  config_->set_replication_status(kBackup, backup);
  pass_healthy();
  advance(2000);
  pass_healthy();
  EXPECT_EQ(active_keys(), keys{"backup-readiness"});
  main_status.revision = backup.applied_revision = 4;  // at the Main's revision, media pending
  config_->set_replication_status(kMain, main_status);
  config_->set_replication_status(kBackup, backup);
  pass_healthy();
  advance(1999);
  pass_healthy();
  EXPECT_EQ(active_keys(), keys{"backup-readiness"});
  advance(1);
  pass_healthy();
  EXPECT_EQ(log_lines().back(), log_line("fault", "show-sync",
                                         "Backup show state or media is not synchronized."));
  backup.pending_media = 0;
  config_->set_replication_status(kBackup, backup);
  pass_healthy();
  EXPECT_EQ(active_keys(), keys{});
  EXPECT_EQ(operate("backup"), "ok");
  EXPECT_EQ(operate("main"), "ok") << "the Main needs no replication";
}

TEST_F(ProtectionTransferTest, AFailingStepEndsTheSequenceAndIsReportedThreeWays) {
  configure(kActions);
  failing_port_ = 7002;
  settle();
  ASSERT_EQ(operate("backup"), "ok");
  ASSERT_TRUE(service_->run_next_job());
  ASSERT_EQ(operate("main"), "ok");
  ASSERT_TRUE(service_->run_next_job());
  EXPECT_EQ(sent_, (keys{"7001 tcp 1000 B\r\n\t\\", "7002 udp 250 2A", "7002 udp 250 2A",
                         "7002 udp 250 2A"})) << "the disabled action is skipped";
  const std::string failure = std::string("Return to Main / two: ") + kSendFailed;
  EXPECT_EQ(service_->last_action(), failure);
  EXPECT_EQ(log_lines().back(), log_line("action", "", failure));
  EXPECT_EQ(active_alert("action:two:main").message, failure);

  // A successful test of the failed action recovers its alert.
  failing_port_ = 0;
  EXPECT_EQ(operate("test 1"), "ok");
  ASSERT_TRUE(service_->run_next_job());
  EXPECT_EQ(active_keys(), keys{"transfer"});
  EXPECT_EQ(operate("test 0"), "ok");  // the first saved action can be tested too
  ASSERT_TRUE(service_->run_next_job());
  EXPECT_EQ(sent_.back(), "7001 tcp 1000 B\r\n\t\\");
}

// 220 output faults over a Backup that cannot take over, for 10 s: the list,
// ids and log lines stay bounded, the critical alerts keep their places, and
// each displaced fault logs again only after a minute.
TEST_F(ProtectionTransferTest, AlertStormStaysBounded) {
  settle();
  std::string rules;
  for (int i = 0; i < 110; ++i) {
    const std::string n = std::to_string(i);
    rules += (i ? R"(,{"mainId":"m)" : R"({"mainId":"m)") + n + R"(","backupId":"b)" + n + "\"}";
  }
  configure(R"({"outputRules":[)" + rules + "]}");
  const size_t before = log_lines().size();
  for (int i = 0; i < 40; ++i, advance(250)) pass(healthy(), healthy(stall_engine));
  EXPECT_TRUE(service_->alerts().size() <= 200u && service_->alerts().back().id <= 230u);
  EXPECT_TRUE(active_alert("backup-readiness").active && active_alert("S-BACK:responsive").active);
  const size_t storm = log_lines().size() - before;
  EXPECT_LE(storm, 230u) << "log lines";
  advance(60000);
  pass(healthy(), healthy(stall_engine));
  EXPECT_EQ(log_lines().size() - before - storm, 22u);
}

}  // namespace
}  // namespace tolvarine::operator_control
