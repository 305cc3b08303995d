// A protection service on a Main/Backup pair with a stepped clock, a fake
// wall clock, scripted health answers and a recording action sender, so the
// evaluation pass and the job queue run without threads or network.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/control_config.h"
#include "protection/protection_service.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {

class ProtectionFixture : public ::testing::Test {
 protected:
  struct sent_action {
    std::string host;
    int32_t port;
    bool udp;
    std::string bytes;
    int32_t timeout_ms;
  };

  static constexpr const char* kMain = "S-MAIN";
  static constexpr const char* kBackup = "S-BACK";

  ProtectionFixture() {
    config_->merge_discovered({{"10.77.0.2", 5000, "Server A", kMain},
                               {"10.77.0.3", 5000, "Server B", kBackup}});
    config_->configure_pair(true, kMain, kBackup);
    make_service();
  }

  void make_service() {
    service_.reset();
    protection_service::environment env;
    env.steady = [this] { return now_; };
    env.wall = [this] { return wall_; };
    env.fetch = [this](const std::string& host, uint16_t, const std::string& path, int, size_t) {
      ++fetches_;
      auto it = answers_.find(host + path);
      return it == answers_.end() ? http_response{} : it->second;
    };
    env.send = [this](const std::string& host, int32_t port, bool udp, const std::string& bytes,
                      int32_t timeout_ms, std::string* error) {
      sent_.push_back({host, port, udp, bytes, timeout_ms});
      if (std::find(failing_ports_.begin(), failing_ports_.end(), port) == failing_ports_.end()) {
        return true;
      }
      *error = "Connect/send failed or timed out; device execution is unconfirmed.";
      return false;
    };
    service_ = std::make_unique<protection_service>(*config_, env);
  }

  void advance(int ms) {
    now_ += std::chrono::milliseconds(ms);
    wall_ += ms;
  }

  // A fresh sample of a healthy, fully reporting server.
  protection_sample healthy() const {
    protection_sample s;
    s.reachable = s.supported = s.engineRunning = s.engineResponsive = s.telemetryAvailable = true;
    s.updated = now_;
    s.outputs = R"([{"id":"out1","available":true},{"id":"bk1","available":true}])";
    return s;
  }

  // Stores the given samples (nothing: a failed poll) and runs one pass.
  void pass(std::optional<protection_sample> main, std::optional<protection_sample> backup) {
    service_->store_poll_result(kMain, std::move(main));
    service_->store_poll_result(kBackup, std::move(backup));
    service_->evaluation_pass();
  }
  void pass_healthy() { pass(healthy(), healthy()); }

  // Both servers healthy, the Main selected and the startup grace over.
  void settle() {
    pass_healthy();
    advance(service_->policy().startupMs);
    pass_healthy();
    ASSERT_EQ(service_->active_serial(), kMain);
    ASSERT_FALSE(service_->selection_pending());
  }

  void configure(const std::string& json) {
    std::string error;
    ASSERT_TRUE(service_->configure(json, &error)) << error;
  }

  std::optional<protection_alert> active_alert(const std::string& key) const {
    for (const auto& a : service_->alerts()) {
      if (a.active && a.key == key) return a;
    }
    return std::nullopt;
  }

  std::vector<std::string> log_lines() const {
    std::vector<std::string> lines;
    std::string text = testing::read_text(service_->alert_log_path());
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find('\n', start);
      if (end == std::string::npos) end = text.size();
      lines.push_back(text.substr(start, end - start));
      start = end + 1;
    }
    return lines;
  }

  testing::temp_dir dir_;
  steady_time now_ = steady_time{} + std::chrono::hours(1);
  int64_t wall_ = 1700000000000;
  std::unique_ptr<control_config> config_ = std::make_unique<control_config>(
      dir_.file("operator-control.json"), [this] { return now_; });
  std::map<std::string, http_response> answers_;  // host + path -> answer
  std::atomic<int> fetches_{0};  // the monitor polls on two threads
  std::vector<sent_action> sent_;
  std::vector<int32_t> failing_ports_;
  std::unique_ptr<protection_service> service_;
};

}  // namespace tolvarine::operator_control
