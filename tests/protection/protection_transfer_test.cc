#include "protection/protection_service.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "protection/protection_fixture.h"

namespace tolvarine::operator_control {
namespace {

const char* const kNotReady =
    "Requested server is not ready for takeover. Check engine and protected outputs.";
const char* const kWait = "Wait for the outbound sequence to finish before transferring again.";

class ProtectionTransferTest : public ProtectionFixture {
 protected:
  // Three actions: Backup (enabled), Main (enabled), Backup (disabled).
  void configure_actions() {
    configure(R"({"actions":[)"
              R"({"name":"to-backup","event":"backup","host":"10.77.0.8","port":7001,)"
              R"("payload":"B\\r","enabled":true},)"
              R"({"name":"to-main","event":"main","host":"10.77.0.8","port":7002,)"
              R"("payload":"M\\r","enabled":true},)"
              R"({"name":"off","event":"backup","host":"10.77.0.8","port":7003,)"
              R"("payload":"X"}]})");
  }
  protection_sample engine_stopped() const {
    protection_sample s = healthy();
    s.engineRunning = false;
    return s;
  }
  std::string operate(const std::string& op) {
    std::string error;
    return service_->operate(op, &error) ? "ok" : error;
  }
  // Breaks and restores saving by putting a regular file where the
  // settings folder was.
  void break_storage() {
    std::filesystem::rename(dir_.path(), dir_.path() + ".away");
    testing::write_text(dir_.path(), "not a folder");
  }
  void restore_storage() {
    std::filesystem::remove(dir_.path());
    std::filesystem::rename(dir_.path() + ".away", dir_.path());
  }
  std::string selected() const {
    const auto s = config_->active_ui_system();
    return s ? s->serial : "none";
  }
};

TEST_F(ProtectionTransferTest, EngineStopOnTheMainMovesOperationToTheBackupInTheSamePass) {
  configure_actions();
  settle();
  pass(engine_stopped(), healthy());

  EXPECT_EQ(service_->active_serial(), kBackup);
  EXPECT_TRUE(service_->held_on_backup());
  EXPECT_EQ(selected(), kBackup);
  EXPECT_NE(testing::read_text(service_->policy_path()).find("\"heldOnBackup\":true"),
            std::string::npos);
  const auto engine = active_alert("S-MAIN:engine");
  ASSERT_TRUE(engine);
  EXPECT_EQ(engine->severity, "critical");
  const auto transfer = active_alert("transfer");
  ASSERT_TRUE(transfer);
  EXPECT_EQ(transfer->message,
            "Main: Engine stopped or exited.; operating on Backup. Return to Main manually when "
            "ready.");
  EXPECT_EQ(transfer->severity, "notice");
  EXPECT_FALSE(active_alert("failover-blocked"));

  // Only the enabled actions of the event run, in policy order.
  EXPECT_TRUE(service_->actions_busy());
  EXPECT_TRUE(service_->run_next_job());
  EXPECT_FALSE(service_->run_next_job());
  ASSERT_EQ(sent_.size(), 1u);
  EXPECT_EQ(sent_[0].port, 7001);
  EXPECT_EQ(sent_[0].bytes, "B\r");
  EXPECT_EQ(service_->last_action(),
            "Transfer to Backup: sequence sent; device execution unconfirmed.");

  // The Main recovering never takes operation back by itself.
  for (int i = 0; i < 100; ++i) {
    advance(250);
    pass_healthy();
  }
  EXPECT_EQ(service_->active_serial(), kBackup);
  EXPECT_FALSE(active_alert("S-MAIN:engine"));

  // The operator returns to the Main; its own sequence runs.
  EXPECT_EQ(operate("main"), "ok");
  EXPECT_EQ(service_->active_serial(), kMain);
  EXPECT_FALSE(service_->held_on_backup());
  EXPECT_EQ(active_alert("transfer")->message, "Operator requested transfer; operating on Main.");
  EXPECT_TRUE(service_->run_next_job());
  EXPECT_EQ(sent_.back().port, 7002);
  EXPECT_EQ(service_->last_action(), "Return to Main: sequence sent; device execution unconfirmed.");
}

TEST_F(ProtectionTransferTest, LossAtExactlyLossMsFailsOverInThatPass) {
  settle();
  pass_healthy();
  protection_sample backup = healthy();
  advance(999);
  backup.updated = now_;
  pass(std::nullopt, backup);
  EXPECT_EQ(service_->active_serial(), kMain);
  advance(1);
  backup.updated = now_;
  pass(std::nullopt, backup);
  EXPECT_EQ(service_->active_serial(), kBackup);
  EXPECT_EQ(active_alert("transfer")->message,
            "Main: Server communication lost.; operating on Backup. Return to Main manually when "
            "ready.");
  EXPECT_FALSE(service_->actions_busy()) << "no enabled actions: switched, nothing queued";
}

TEST_F(ProtectionTransferTest, AnIntermittentMainWithShortGapsNeverCausesATransfer) {
  settle();
  // A minute of 250 ms cycles in which the Main's good answers come with
  // random gaps of up to lossMs - 300 ms between them.
  std::mt19937 random(99);
  std::uniform_int_distribution<int> coin(0, 1);
  int since_good_ms = 0;
  for (int cycle = 0; cycle < 240; ++cycle) {
    advance(250);
    since_good_ms += 250;
    const bool answer = since_good_ms + 250 > 700 || coin(random) == 1;
    if (answer) since_good_ms = 0;
    pass(answer ? std::optional<protection_sample>(healthy()) : std::nullopt, healthy());
    ASSERT_EQ(service_->active_serial(), kMain) << "cycle " << cycle;
    ASSERT_FALSE(active_alert("S-MAIN:server")) << "cycle " << cycle;
  }
  EXPECT_FALSE(service_->held_on_backup());
}

TEST_F(ProtectionTransferTest, FailoverWaitsForArmingGraceAReadyBackupAndAnIdleQueue) {
  configure(R"({"armed":false,"actions":[{"name":"a","host":"h","port":1,"payload":"x",)"
            R"("enabled":true}]})");
  settle();
  pass(engine_stopped(), healthy());
  EXPECT_TRUE(active_alert("S-MAIN:engine"));
  EXPECT_EQ(service_->active_serial(), kMain) << "disarmed";
  EXPECT_FALSE(active_alert("failover-blocked"));

  EXPECT_EQ(operate("arm"), "ok");
  protection_sample starting = healthy();
  starting.engineStarting = true;
  pass(engine_stopped(), starting);
  EXPECT_EQ(service_->active_serial(), kMain);
  auto blocked = active_alert("failover-blocked");
  ASSERT_TRUE(blocked);
  EXPECT_EQ(blocked->message, "Main fault detected; failover blocked because Backup is not ready.");
  EXPECT_EQ(blocked->severity, "critical");
  EXPECT_TRUE(active_alert("backup-readiness"));

  std::string error;
  ASSERT_TRUE(service_->test_action(0, &error)) << error;
  pass(engine_stopped(), healthy());
  EXPECT_EQ(service_->active_serial(), kMain);
  EXPECT_EQ(active_alert("failover-blocked")->message,
            "Main fault detected; failover blocked because Backup is not ready.")
      << "the first message stays while the key is active";
  pass_healthy();
  EXPECT_FALSE(active_alert("failover-blocked"));
  pass(engine_stopped(), healthy());
  EXPECT_EQ(active_alert("failover-blocked")->message,
            "Main fault detected; waiting for the current outbound sequence.");

  ASSERT_TRUE(service_->run_next_job());
  pass(engine_stopped(), healthy());
  EXPECT_EQ(service_->active_serial(), kBackup);
  EXPECT_FALSE(active_alert("failover-blocked"));
}

TEST_F(ProtectionTransferTest, OperationsAndTheirMessages) {
  configure_actions();
  settle();
  EXPECT_EQ(operate("ARM"), "Unknown protection operation.");
  EXPECT_EQ(operate(""), "Unknown protection operation.");

  EXPECT_EQ(operate("disarm"), "ok");
  EXPECT_FALSE(service_->policy().armed);
  EXPECT_NE(testing::read_text(service_->policy_path()).find("{\"armed\":false,"),
            std::string::npos);
  EXPECT_EQ(operate("arm"), "ok");
  EXPECT_TRUE(service_->policy().armed);

  pass(engine_stopped(), healthy());  // a fault, a failover, a job
  EXPECT_EQ(operate("acknowledge"), "ok");
  for (const auto& a : service_->alerts()) EXPECT_TRUE(a.acknowledged) << a.key;

  EXPECT_EQ(operate("main"), kWait) << "a sequence is queued";
  EXPECT_EQ(operate("backup"), kWait);
  ASSERT_TRUE(service_->run_next_job());
  EXPECT_EQ(operate("main"), kNotReady) << "the Main's engine is stopped";
  const size_t jobs_sent = sent_.size();
  EXPECT_EQ(operate("backup"), "ok") << "already there";
  EXPECT_FALSE(service_->actions_busy()) << "nothing queued";
  EXPECT_EQ(sent_.size(), jobs_sent);

  pass_healthy();
  EXPECT_EQ(operate("main"), "ok");
  EXPECT_TRUE(service_->run_next_job());
  protection_sample starting = healthy();
  starting.engineStarting = true;
  pass(healthy(), starting);
  EXPECT_EQ(operate("backup"), kNotReady);

  config_->configure_pair(false, kMain, kBackup);
  pass_healthy();
  EXPECT_EQ(operate("backup"), kNotReady) << "redundancy disabled";
}

TEST_F(ProtectionTransferTest, SyncFailoverModeNeedsAReplicatedBackup) {
  configure(R"({"sync":2})");
  settle();
  EXPECT_EQ(operate("backup"), kNotReady) << "Main revision 0";
  replication_status main_status;
  main_status.revision = 4;
  config_->set_replication_status(kMain, main_status);
  replication_status backup_status;
  backup_status.applied_revision = 4;
  backup_status.pending_media = 1;
  config_->set_replication_status(kBackup, backup_status);
  EXPECT_EQ(operate("backup"), kNotReady) << "media pending";
  backup_status.pending_media = 0;
  config_->set_replication_status(kBackup, backup_status);
  EXPECT_EQ(operate("backup"), "ok");
  EXPECT_EQ(operate("main"), "ok") << "the Main needs no replication";

  configure(R"({"sync":1})");
  config_->clear_replication_status(kMain);
  config_->clear_replication_status(kBackup);
  EXPECT_EQ(operate("backup"), "ok");
}

TEST_F(ProtectionTransferTest, InitialSelectionAfterARestartKeepsAnAnsweringHeldBackup) {
  settle();
  ASSERT_EQ(operate("backup"), "ok");

  make_service();  // a restart, held on the Backup
  ASSERT_TRUE(service_->held_on_backup());
  pass(healthy(), healthy());
  EXPECT_EQ(service_->active_serial(), kBackup);
  EXPECT_TRUE(service_->held_on_backup());
  EXPECT_FALSE(service_->selection_pending());

  make_service();  // the Backup does not answer this time, the Main does
  pass(std::nullopt, std::nullopt);
  EXPECT_TRUE(service_->selection_pending()) << "no fresh sample yet";
  EXPECT_EQ(service_->active_serial(), kBackup) << "reported while pending";
  pass(healthy(), std::nullopt);
  EXPECT_EQ(service_->active_serial(), kMain);
  EXPECT_FALSE(service_->held_on_backup());
  EXPECT_NE(testing::read_text(service_->policy_path()).find("\"heldOnBackup\":false"),
            std::string::npos);
}

TEST_F(ProtectionTransferTest, MovesThatCannotBePersistedDoNotHappen) {
  configure_actions();
  settle();
  break_storage();
  EXPECT_EQ(operate("backup"), "Could not persist active server; transfer was blocked.");
  auto storage = active_alert("transfer-storage");
  ASSERT_TRUE(storage);
  EXPECT_EQ(storage->message, "Could not persist active server; transfer was blocked.");
  EXPECT_EQ(storage->severity, "critical");
  EXPECT_EQ(service_->active_serial(), kMain);
  EXPECT_FALSE(service_->held_on_backup());
  EXPECT_FALSE(service_->actions_busy());
  EXPECT_EQ(operate("disarm"), "Could not save protection state.");
  EXPECT_TRUE(service_->policy().armed);

  // Automatic failover is blocked the same way.
  pass(engine_stopped(), healthy());
  EXPECT_EQ(service_->active_serial(), kMain);
  EXPECT_TRUE(active_alert("failover-blocked") == std::nullopt);

  restore_storage();
  pass(engine_stopped(), healthy());
  EXPECT_EQ(service_->active_serial(), kBackup);
  EXPECT_FALSE(active_alert("transfer-storage"));

  // A held system whose Backup is silent at restart returns to the Main
  // only if that can be saved.
  make_service();
  break_storage();
  pass(healthy(), std::nullopt);
  EXPECT_TRUE(service_->selection_pending());
  EXPECT_TRUE(service_->held_on_backup());
  EXPECT_EQ(active_alert("transfer-storage")->message,
            "Could not persist initial Main selection; selection was blocked.");
  restore_storage();
  pass(healthy(), std::nullopt);
  EXPECT_FALSE(service_->selection_pending());
  EXPECT_EQ(service_->active_serial(), kMain);
  EXPECT_FALSE(active_alert("transfer-storage"));
}

}  // namespace
}  // namespace tolvarine::operator_control
