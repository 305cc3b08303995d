#include "protection/protection_service.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "protection/protection_fixture.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;

class ProtectionActionsTest : public ProtectionFixture {
 protected:
  // Three Backup actions on ports 7001..7003; the second retries twice.
  void configure_sequence(int second_delay_ms = 0) {
    configure(R"({"actions":[)"
              R"({"name":"one","host":"h1","port":7001,"payload":"1","enabled":true},)"
              R"({"name":"two","host":"h2","port":7002,"payload":"2\\x41","retries":2,)"
              R"("timeoutMs":250,"delayMs":)" + std::to_string(second_delay_ms) +
              R"(,"enabled":true,"transport":"UDP"},)"
              R"({"name":"three","host":"h3","port":7003,"payload":"3","enabled":true},)"
              R"({"name":"later","event":"main","host":"h4","port":7004,"payload":"4"}]})");
  }
  std::string test_action(int index) {
    std::string error;
    return service_->test_action(index, &error) ? "ok" : error;
  }
};

TEST_F(ProtectionActionsTest, AFailingStepEndsTheSequenceAndIsReportedThreeWays) {
  configure_sequence();
  failing_ports_ = {7002};
  settle();
  std::string error;
  ASSERT_TRUE(service_->operate("backup", &error)) << error;
  ASSERT_TRUE(service_->run_next_job());

  ASSERT_EQ(sent_.size(), 4u) << "one, then two three times, never three";
  EXPECT_EQ(sent_[0].port, 7001);
  for (int i = 1; i < 4; ++i) {
    EXPECT_EQ(sent_[i].port, 7002);
    EXPECT_EQ(sent_[i].bytes, "2A");
    EXPECT_TRUE(sent_[i].udp);
    EXPECT_EQ(sent_[i].timeout_ms, 250);
  }
  const std::string failure =
      "Transfer to Backup / two: Connect/send failed or timed out; device execution is "
      "unconfirmed.";
  EXPECT_EQ(service_->last_action(), failure);
  const auto a = active_alert("action:two:backup");
  ASSERT_TRUE(a);
  EXPECT_EQ(a->message, failure);
  EXPECT_EQ(a->severity, "critical");
  EXPECT_FALSE(active_alert("action:one:backup"));
  const auto lines = log_lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3],
            "{\"time\":" + std::to_string(wall_) +
                ",\"event\":\"action\",\"message\":\"Transfer to Backup / one: sent; device "
                "execution unconfirmed.\"}");
  EXPECT_EQ(lines[lines.size() - 2],
            "{\"time\":" + std::to_string(wall_) +
                ",\"event\":\"fault\",\"key\":\"action:two:backup\",\"message\":\"" + failure +
                "\"}");
  EXPECT_EQ(lines.back(), "{\"time\":" + std::to_string(wall_) +
                              ",\"event\":\"action\",\"message\":\"" + failure + "\"}");
  EXPECT_FALSE(service_->actions_busy());

  // A successful test of the same action recovers its alert.
  failing_ports_.clear();
  EXPECT_EQ(test_action(1), "ok");
  EXPECT_TRUE(service_->actions_busy());
  EXPECT_EQ(test_action(0), "An outbound sequence is already running.");
  ASSERT_TRUE(service_->run_next_job());
  EXPECT_FALSE(active_alert("action:two:backup"));
  EXPECT_EQ(service_->last_action(), "Test action: sequence sent; device execution unconfirmed.");
  EXPECT_EQ(sent_.back().port, 7002);
}

TEST_F(ProtectionActionsTest, TestActionNeedsASavedEnabledActionAndAnIdleQueue) {
  configure_sequence();
  EXPECT_EQ(test_action(-1), "Save the action before testing it.");
  EXPECT_EQ(test_action(4), "Save the action before testing it.");
  EXPECT_EQ(test_action(3), "Enable and save the action before testing it.");
  EXPECT_EQ(test_action(0), "ok");
  EXPECT_EQ(test_action(2), "An outbound sequence is already running.");
  EXPECT_TRUE(service_->run_next_job());
  EXPECT_EQ(test_action(2), "ok");
}

TEST_F(ProtectionActionsTest, ActionThreadRunsQueuedSequencesWithTheirDelays) {
  configure_sequence(100);
  service_->start();
  std::string error;
  ASSERT_TRUE(service_->test_action(0, &error)) << error;
  ASSERT_TRUE(testing::eventually([&] { return !service_->actions_busy(); }, 5s));
  ASSERT_TRUE(service_->test_action(1, &error)) << error;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(testing::eventually([&] { return !service_->actions_busy(); }, 5s));
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms) << "the step waits its delay";
  service_->stop();
  ASSERT_EQ(sent_.size(), 2u);
  EXPECT_EQ(sent_[0].port, 7001);
  EXPECT_EQ(sent_[1].port, 7002);
}

TEST_F(ProtectionActionsTest, StoppingDuringALongDelayReturnsPromptlyAndSendsNothing) {
  configure_sequence(10000);
  service_->start();
  std::string error;
  ASSERT_TRUE(service_->test_action(1, &error)) << error;
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
  std::string error;
  ASSERT_TRUE(service_->operate("backup", &error)) << error;
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
