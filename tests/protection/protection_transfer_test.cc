#include "protection/protection_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <random>
#include <thread>

#include "protection/protection_fixture.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;
using keys = std::vector<std::string>;

const char* const kNotReady =
    "Requested server is not ready for takeover. Check engine and protected outputs.";
const char* const kWait = "Wait for the outbound sequence to finish before transferring again.";
const char* const kBlocked = "Main fault detected; failover blocked because Backup is not ready.";

class ProtectionTransferTest : public ProtectionFixture {
 protected:
  // Backup (enabled), Main (enabled), Backup (disabled).
  void configure_actions() {
    configure(R"({"actions":[)"
              R"({"name":"to-backup","host":"h","port":7001,"payload":"B\\r","enabled":true},)"
              R"({"name":"to-main","event":"main","host":"h","port":7002,"payload":"M\\r",)"
              R"("enabled":true},{"name":"off","host":"h","port":7003,"payload":"X"}]})");
  }
  protection_sample starting() const {
    protection_sample s = healthy();
    s.engineStarting = true;
    return s;
  }
};

TEST_F(ProtectionTransferTest, AnIntermittentMainWithShortGapsNeverCausesATransfer) {
  settle();
  // A minute of 250 ms cycles; gaps between good answers up to lossMs - 300 ms.
  std::mt19937 random(99);
  int since_good_ms = 0;
  for (int cycle = 0; cycle < 240; ++cycle) {
    advance(250);
    since_good_ms += 250;
    const bool answer = since_good_ms + 250 > 700 || random() % 2 == 1;
    if (answer) since_good_ms = 0;
    pass(answer ? std::optional<protection_sample>(healthy()) : std::nullopt, healthy());
    ASSERT_EQ(service_->active_serial(), kMain) << "cycle " << cycle;
    ASSERT_FALSE(active_alert("S-MAIN:server")) << "cycle " << cycle;
  }
  EXPECT_FALSE(service_->held_on_backup());
}

TEST_F(ProtectionTransferTest, FailoverWaitsForArmingAReadyBackupAndAnIdleQueue) {
  configure(R"({"armed":false,"actions":[{"name":"a","host":"h","port":1,"payload":"x",)"
            R"("enabled":true}]})");
  settle();
  pass(engine_stopped(), healthy());
  EXPECT_TRUE(active_alert("S-MAIN:engine"));
  EXPECT_EQ(service_->active_serial(), kMain) << "disarmed";
  EXPECT_FALSE(active_alert("failover-blocked"));

  EXPECT_EQ(operate("arm"), "ok");
  pass(engine_stopped(), starting());
  EXPECT_EQ(service_->active_serial(), kMain);
  ASSERT_TRUE(active_alert("failover-blocked"));
  EXPECT_EQ(active_alert("failover-blocked")->message, kBlocked);
  EXPECT_EQ(active_alert("failover-blocked")->severity, "critical");
  EXPECT_TRUE(active_alert("backup-readiness"));

  ASSERT_EQ(test_action(0), "ok");
  pass(engine_stopped(), healthy());
  EXPECT_EQ(service_->active_serial(), kMain);
  EXPECT_EQ(active_alert("failover-blocked")->message, kBlocked)
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

TEST_F(ProtectionTransferTest, EngineStopFailsOverAtOnceAndOnlyTheOperatorReturns) {
  configure_actions();
  settle();
  EXPECT_EQ(operate("ARM"), "Unknown protection operation.");
  EXPECT_EQ(operate(""), "Unknown protection operation.");
  EXPECT_EQ(operate("disarm"), "ok");
  EXPECT_TRUE(saved("{\"armed\":false,"));
  EXPECT_EQ(operate("arm"), "ok");

  pass(engine_stopped(), healthy());
  EXPECT_EQ(service_->active_serial(), kBackup);
  EXPECT_TRUE(service_->held_on_backup());
  EXPECT_TRUE(saved("\"heldOnBackup\":true"));
  ASSERT_TRUE(active_alert("transfer"));
  EXPECT_EQ(active_alert("transfer")->message,
            "Main: Engine stopped or exited.; operating on Backup. Return to Main manually when "
            "ready.");
  EXPECT_EQ(active_alert("transfer")->severity, "notice");
  EXPECT_FALSE(active_alert("failover-blocked"));
  EXPECT_EQ(operate("acknowledge"), "ok");
  for (const auto& a : service_->alerts()) EXPECT_TRUE(a.acknowledged) << a.key;

  EXPECT_EQ(operate("main"), kWait) << "a sequence is queued";
  EXPECT_EQ(operate("backup"), kWait);
  EXPECT_TRUE(service_->run_next_job());
  EXPECT_FALSE(service_->run_next_job());
  ASSERT_EQ(sent_.size(), 1u) << "only the enabled actions of the event";
  EXPECT_EQ(sent_[0].port, 7001);
  EXPECT_EQ(sent_[0].bytes, "B\r");
  EXPECT_EQ(service_->last_action(),
            "Transfer to Backup: sequence sent; device execution unconfirmed.");
  EXPECT_EQ(operate("main"), kNotReady) << "the Main's engine is stopped";
  EXPECT_EQ(operate("backup"), "ok") << "already there";
  EXPECT_FALSE(service_->actions_busy()) << "nothing queued";

  for (int i = 0; i < 100; ++i) {
    advance(250);
    pass_healthy();
  }
  EXPECT_EQ(service_->active_serial(), kBackup) << "no automatic return";
  EXPECT_EQ(operate("main"), "ok");
  EXPECT_EQ(service_->active_serial(), kMain);
  EXPECT_FALSE(service_->held_on_backup());
  EXPECT_EQ(active_alert("transfer")->message, "Operator requested transfer; operating on Main.");
  EXPECT_TRUE(service_->run_next_job());
  EXPECT_EQ(sent_.back().port, 7002);
  EXPECT_EQ(service_->last_action(), "Return to Main: sequence sent; device execution unconfirmed.");

  pass(healthy(), starting());
  EXPECT_EQ(operate("backup"), kNotReady);
  config_->configure_pair(false, kMain, kBackup);
  pass_healthy();
  EXPECT_EQ(operate("backup"), kNotReady) << "redundancy disabled";
}

TEST_F(ProtectionTransferTest, ShowSyncWarnsAndSyncFailoverNeedsAReplicatedBackup) {
  configure(R"({"sync":2})");
  settle();
  EXPECT_EQ(operate("backup"), kNotReady) << "Main revision 0";
  replication_status main_status;
  main_status.revision = 4;
  config_->set_replication_status(kMain, main_status);
  replication_status backup;
  backup.applied_revision = 3;
  config_->set_replication_status(kBackup, backup);
  configure(R"({"armed":false})");
  pass_healthy();
  advance(1999);
  pass_healthy();
  EXPECT_FALSE(active_alert("show-sync"));
  advance(1);
  pass_healthy();
  ASSERT_TRUE(active_alert("show-sync"));
  EXPECT_EQ(active_alert("show-sync")->message, "Backup show state or media is not synchronized.");
  EXPECT_EQ(active_alert("show-sync")->severity, "warning");

  configure(R"({"sync":2})");
  backup.applied_revision = 4;
  backup.pending_media = 1;
  config_->set_replication_status(kBackup, backup);
  EXPECT_EQ(operate("backup"), kNotReady) << "media pending";
  backup.pending_media = 0;
  config_->set_replication_status(kBackup, backup);
  pass_healthy();
  EXPECT_FALSE(active_alert("show-sync"));
  EXPECT_EQ(operate("backup"), "ok");
  EXPECT_EQ(operate("main"), "ok") << "the Main needs no replication";
  configure(R"({"sync":1})");
  config_->clear_replication_status(kMain);
  config_->clear_replication_status(kBackup);
  EXPECT_EQ(operate("backup"), "ok");
}

TEST_F(ProtectionTransferTest, InitialSelectionAfterARestart) {
  settle();
  ASSERT_EQ(operate("backup"), "ok");
  make_service();  // a restart, held on the Backup
  ASSERT_TRUE(service_->held_on_backup());
  pass_healthy();
  EXPECT_EQ(service_->active_serial(), kBackup);
  EXPECT_TRUE(service_->held_on_backup());
  EXPECT_FALSE(service_->selection_pending());

  // The Backup does not answer this time, the Main does: the return to the
  // Main happens only once it is saved.
  make_service();
  pass(std::nullopt, std::nullopt);
  EXPECT_TRUE(service_->selection_pending()) << "no fresh sample yet";
  EXPECT_EQ(service_->active_serial(), kBackup) << "reported while pending";
  advance(1000);  // the Backup silent for lossMs
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
  EXPECT_FALSE(service_->held_on_backup());
  EXPECT_TRUE(saved("\"heldOnBackup\":false"));
  EXPECT_FALSE(active_alert("transfer-storage"));
}

TEST_F(ProtectionTransferTest, MovesThatCannotBePersistedDoNotHappen) {
  configure_actions();
  settle();
  break_storage();
  EXPECT_EQ(operate("backup"), "Could not persist active server; transfer was blocked.");
  ASSERT_TRUE(active_alert("transfer-storage"));
  EXPECT_EQ(active_alert("transfer-storage")->message,
            "Could not persist active server; transfer was blocked.");
  EXPECT_EQ(active_alert("transfer-storage")->severity, "critical");
  EXPECT_EQ(service_->active_serial(), kMain);
  EXPECT_FALSE(service_->held_on_backup());
  EXPECT_FALSE(service_->actions_busy());
  EXPECT_EQ(operate("disarm"), "Could not save protection state.");
  EXPECT_TRUE(service_->policy().armed);

  pass(engine_stopped(), healthy());  // automatic failover is blocked the same way
  EXPECT_EQ(service_->active_serial(), kMain);
  EXPECT_FALSE(active_alert("failover-blocked"));
  restore_storage();
  pass(engine_stopped(), healthy());
  EXPECT_EQ(service_->active_serial(), kBackup);
  EXPECT_FALSE(active_alert("transfer-storage"));
}

class ProtectionActionsTest : public ProtectionFixture {
 protected:
  // Three Backup actions on ports 7001..7003 (the second retries twice) and
  // a disabled Main one.
  void configure_sequence(int second_delay_ms = 0) {
    configure(R"({"actions":[{"name":"one","host":"h1","port":7001,"payload":"1","enabled":true},)"
              R"({"name":"two","host":"h2","port":7002,"payload":"2\\x41","retries":2,)"
              R"("timeoutMs":250,"delayMs":)" + std::to_string(second_delay_ms) +
              R"(,"enabled":true,"transport":"UDP"},)"
              R"({"name":"three","host":"h3","port":7003,"payload":"3","enabled":true},)"
              R"({"name":"later","event":"main","host":"h4","port":7004,"payload":"4"}]})");
  }
};

TEST_F(ProtectionActionsTest, AFailingStepEndsTheSequenceAndIsReportedThreeWays) {
  configure_sequence();
  failing_ports_ = {7002};
  settle();
  ASSERT_EQ(operate("backup"), "ok");
  ASSERT_TRUE(service_->run_next_job());
  ASSERT_EQ(sent_.size(), 4u) << "one, then two three times, never three";
  EXPECT_EQ(sent_[0].port, 7001);
  for (int i = 1; i < 4; ++i) {
    EXPECT_TRUE(sent_[i].port == 7002 && sent_[i].bytes == "2A" && sent_[i].udp &&
                sent_[i].timeout_ms == 250)
        << i;
  }
  const std::string failure = std::string("Transfer to Backup / two: ") + kSendFailed;
  EXPECT_EQ(service_->last_action(), failure);
  EXPECT_EQ(active_keys(), (keys{"transfer", "action:two:backup"}));
  EXPECT_EQ(active_alert("action:two:backup")->message, failure);
  EXPECT_EQ(active_alert("action:two:backup")->severity, "critical");
  const auto lines = log_lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines.end()[-3],
            log_line("action", "",
                     "Transfer to Backup / one: sent; device execution unconfirmed."));
  EXPECT_EQ(lines.end()[-2], log_line("fault", "action:two:backup", failure));
  EXPECT_EQ(lines.end()[-1], log_line("action", "", failure));
  EXPECT_FALSE(service_->actions_busy());

  // Testing needs a saved, enabled action and an idle queue; a successful
  // test of the failed action recovers its alert.
  EXPECT_EQ(test_action(-1), "Save the action before testing it.");
  EXPECT_EQ(test_action(4), "Save the action before testing it.");
  EXPECT_EQ(test_action(3), "Enable and save the action before testing it.");
  failing_ports_.clear();
  EXPECT_EQ(test_action(1), "ok");
  EXPECT_EQ(test_action(0), "An outbound sequence is already running.");
  ASSERT_TRUE(service_->run_next_job());
  EXPECT_FALSE(active_alert("action:two:backup"));
  EXPECT_EQ(service_->last_action(), "Test action: sequence sent; device execution unconfirmed.");
  EXPECT_EQ(sent_.back().port, 7002);
}

TEST_F(ProtectionActionsTest, StoppingDuringALongDelayReturnsPromptlyAndSendsNothing) {
  configure_sequence(10000);
  service_->start();
  ASSERT_EQ(test_action(1), "ok");
  ASSERT_TRUE(testing::eventually([&] { return service_->actions_busy(); }, 5s));
  std::this_thread::sleep_for(50ms);  // well inside the delay
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    service_->stop();
    stopped = true;
  });
  EXPECT_TRUE(testing::eventually([&] { return stopped.load(); }, 5s))
      << "stop waited for the delay";
  stopper.join();
  EXPECT_TRUE(sent_.empty());
  EXPECT_EQ(service_->last_action(), "");
}

TEST_F(ProtectionActionsTest, StartTellsTheRegistryTheHeldBackupBeforeTheFirstPass) {
  settle();
  ASSERT_EQ(operate("backup"), "ok");
  config_->set_health_selection(false, "");
  config_->set_health_presence(kMain, true);
  config_->set_health_presence(kBackup, true);

  // A restart whose monitor stays inside its first poll until released.
  service_.reset();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  protection_service::environment env;
  env.fetch = [released](const std::string&, uint16_t, const std::string&, int, size_t) {
    released.wait();
    return http_response{};
  };
  service_ = std::make_unique<protection_service>(*config_, env);
  service_->start();
  const auto selected = config_->active_ui_system();
  release.set_value();
  service_->stop();
  ASSERT_TRUE(selected);
  EXPECT_EQ(selected->serial, kBackup);
}

}  // namespace
}  // namespace tolvarine::operator_control
