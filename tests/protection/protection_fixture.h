// A protection service on a Main/Backup pair with a stepped clock, a fake
// wall clock, scripted health answers and a recording action sender, so the
// evaluation pass and the job queue run without threads or network.
#pragma once

#include <gtest/gtest.h>

#include <sstream>

#include "common/atomic_file.h"
#include "protection/protection_service.h"
#include "support/test_env.h"

namespace tolvarine::operator_control {

class ProtectionFixture : public ::testing::Test {
 protected:
  using keys = std::vector<std::string>;
  static constexpr const char* kMain = "S-MAIN";
  static constexpr const char* kBackup = "S-BACK";
  static constexpr const char* kSendFailed =
      "Connect/send failed or timed out; device execution is unconfirmed.";

  ProtectionFixture() {
    config_->merge_discovered({{"10.77.0.2", 5000, "Server A", kMain},
                               {"10.77.0.3", 5000, "Server B", kBackup}});
    config_->configure_pair(true, kMain, kBackup);
    make_service();
  }

  void make_service() {  // also a restart over the same files
    service_.reset();
    protection_service::environment env;
    env.steady = [this] { return now_; };
    env.wall = [this] { return wall_; };
    env.fetch = [this](const std::string& host, uint16_t, const std::string& path, int, size_t) {
      if (fetch_hook_) fetch_hook_();
      auto it = answers_.find(host + path);
      return it == answers_.end() ? http_response{} : it->second;
    };
    env.send = [this](const std::string&, int32_t port, bool udp, const std::string& bytes,
                      int32_t timeout_ms, std::string* error) {
      sent_.push_back(std::to_string(port) + (udp ? " udp " : " tcp ") +
                      std::to_string(timeout_ms) + " " + bytes);
      if (port == failing_port_) *error = kSendFailed;
      return port != failing_port_;
    };
    env.save = [this](const std::string& path, const std::string& text) {
      return !save_fails_ && replace_file(path, text);
    };
    service_ = std::make_unique<protection_service>(*config_, env);
  }

  void advance(int ms) { now_ += std::chrono::milliseconds(ms), wall_ += ms; }

  // A fresh sample of a healthy, fully reporting server; `edit` spoils it.
  protection_sample healthy(void (*edit)(protection_sample&) = nullptr) const {
    protection_sample s;
    s.reachable = s.supported = s.engineRunning = s.engineResponsive = s.telemetryAvailable = true;
    s.updated = now_;
    s.outputs = R"([{"id":"out1","available":true},{"id":"out2","available":true},)"
                R"({"id":"bk1","available":true},{"id":"bk2","available":true}])";
    if (edit) edit(s);
    return s;
  }
  static void stop_engine(protection_sample& s) { s.engineRunning = false; }
  static void start_engine(protection_sample& s) { s.engineStarting = true; }
  static void stall_engine(protection_sample& s) { s.engineResponsive = false; }

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
  }

  void configure(const std::string& json) {
    std::string error;
    ASSERT_TRUE(service_->configure(json, &error)) << error;
  }
  // "ok", or the refusal's message; "test N" tests action N.
  std::string operate(const std::string& op) {
    std::string error;
    const bool ok = op.starts_with("test ") ? service_->test_action(std::stoi(op.substr(5)), &error)
                                            : service_->operate(op, &error);
    return ok ? "ok" : error;
  }

  bool saved(const std::string& text) const {
    return testing::file_has(service_->policy_path(), text);
  }

  // The active alert of `key`, or an empty one.
  protection_alert active_alert(const std::string& key) const {
    for (const auto& a : service_->alerts()) if (a.active && a.key == key) return a;
    return {};
  }
  keys active_keys() const {
    keys out;
    for (const auto& a : service_->alerts()) if (a.active) out.push_back(a.key);
    return out;
  }

  keys log_lines() const {
    keys lines;
    std::istringstream text(testing::read_text(service_->alert_log_path()));
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    return lines;
  }
  // The alert log line of `event` ("fault", "recovered", "action") now.
  std::string log_line(const std::string& event, const std::string& key,
                       const std::string& message = "") const {
    return "{\"time\":" + std::to_string(wall_) + ",\"event\":\"" + event + "\"" +
           (key.empty() ? "" : ",\"key\":\"" + key + "\"") +
           (message.empty() ? "" : ",\"message\":\"" + message + "\"") + "}";
  }

  testing::temp_dir dir_;
  steady_time now_ = steady_time{} + std::chrono::hours(1);
  int64_t wall_ = 1700000000000;
  std::unique_ptr<control_config> config_ = std::make_unique<control_config>(
      dir_.file("operator-control.json"), [this] { return now_; });
  std::map<std::string, http_response> answers_;  // host + path -> answer
  std::function<void()> fetch_hook_;  // set before polling starts: runs in every fetch
  keys sent_;                         // "port tcp|udp timeout bytes" of each send
  int32_t failing_port_ = 0;
  bool save_fails_ = false;  // the protection file cannot be written
  std::unique_ptr<protection_service> service_;
};

}  // namespace tolvarine::operator_control
