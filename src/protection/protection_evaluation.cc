// The evaluation pass of protection_service: faults, their confirmation,
// alerts, the choice of the active server and the transfers between Main
// and Backup. Everything here runs with mutex_ held.
#include <chrono>

#include "protection/protection_service.h"

namespace tolvarine::operator_control {
namespace {

using std::chrono::milliseconds;

constexpr int64_t kResourceDelayMs = 10000;
constexpr int64_t kShowSyncDelayMs = 2000;

int64_t elapsed_ms(steady_time from, steady_time to) {
  return std::chrono::duration_cast<milliseconds>(to - from).count();
}

}  // namespace

bool protection_service::fresh_locked(const protection_sample& sample, steady_time now) const {
  return sample.reachable && elapsed_ms(sample.updated, now) < policy_.lossMs;
}

void protection_service::alert(const std::string& key, bool active, const std::string& message,
                               const std::string& severity) {
  const int64_t now = env_.wall();
  std::string line = active ? alerts_.raise(key, message, severity, now) : alerts_.recover(key, now);
  if (!line.empty()) pending_log_.push_back(std::move(line));
}

void protection_service::recover(const std::string& key) { alert(key, false, "", "warning"); }

bool protection_service::confirmed(const std::string& key, bool condition, int64_t delay_ms) {
  if (!condition) {
    fault_since_.erase(key);
    fault_due_.erase(key);
    return false;
  }
  const steady_time now = env_.steady();
  const steady_time since = fault_since_.try_emplace(key, now).first->second;
  const bool met = elapsed_ms(since, now) >= delay_ms;
  if (met) {
    fault_due_.erase(key);
  } else {
    fault_due_[key] = since + milliseconds(delay_ms);
  }
  return met;
}

steady_time protection_service::next_due_locked() const {
  steady_time next = steady_time::max();
  const steady_time after = last_pass_at_;
  auto consider = [&](steady_time at) {
    if (at > after && at < next) next = at;
  };
  const milliseconds loss(policy_.lossMs);
  for (const std::string* serial : {&pairMain_, &pairBackup_}) {
    auto it = samples_.find(*serial);
    if (it != samples_.end() && it->second.reachable) consider(it->second.updated + loss);
  }
  for (const auto& [key, due] : fault_due_) consider(due);
  consider(grace_start_ + milliseconds(policy_.startupMs));
  if (heldOnBackup_ && selection_pending_) {
    auto silent = unanswered_since_.find(pairBackup_);
    if (silent != unanswered_since_.end()) consider(silent->second + loss);
  }
  return next;
}

void protection_service::evaluate() {
  last_pass_at_ = env_.steady();
  // 1. The pair.
  const std::optional<system_record> main = config_.main_system();
  const std::optional<system_record> backup =
      main ? config_.backup_for(main->serial) : std::nullopt;
  if (!main || !backup) {
    config_.set_health_selection(false, "");
    return;
  }
  // 2. A new pair starts over: its own state, alerts cleared, grace anew.
  if (pairMain_ != main->serial || pairBackup_ != backup->serial) {
    pairMain_ = main->serial;
    pairBackup_ = backup->serial;
    heldOnBackup_ = false;
    selection_pending_ = true;
    active_serial_.clear();
    fault_since_.clear();
    fault_due_.clear();
    alerts_.recover_all_silently(env_.wall());
    grace_start_ = env_.steady();
    (void)save_locked();
  }
  // 3. The first choice of the active server.
  const bool enabled = config_.enabled();
  if (enabled && selection_pending_) initial_selection_locked(*main, *backup);
  // 4. Startup grace.
  const bool in_grace = elapsed_ms(grace_start_, env_.steady()) < policy_.startupMs;
  // 5. Per-server faults.
  pass_state pass;
  server_faults_locked(*main, in_grace, pass);
  server_faults_locked(*backup, in_grace, pass);
  // 6. Show state and media of the Backup.
  const bool out_of_sync =
      main->replication_revision > 0 &&
      (backup->replication_applied_revision != main->replication_revision ||
       backup->replication_pending_media >= 1 || !backup->replication_last_error.empty());
  const bool sync_fires = !in_grace && policy_.sync != fault_mode::ignore &&
                          confirmed("show-sync", out_of_sync, kShowSyncDelayMs);
  alert("show-sync", sync_fires, "Backup show state or media is not synchronized.", "warning");
  // 7. Whether the Backup could take over.
  const bool ready = eligible(*backup);
  alert("backup-readiness", !in_grace && !ready,
        "Backup is not ready; automatic protection is degraded.", "critical");
  // 8. The active server.
  if (active_serial_.empty()) active_serial_ = heldOnBackup_ ? backup->serial : main->serial;
  config_.set_health_selection(enabled, active_serial_);
  // 9. Automatic failover.
  if (enabled && !selection_pending_ && !heldOnBackup_ && !in_grace && policy_.armed &&
      pass.main_fault) {
    if (ready && !busy_locked()) {
      std::string ignored;
      (void)transition(*backup, "backup", pass.failover_reason, &ignored);
      recover("failover-blocked");
    } else {
      alert("failover-blocked", true,
            ready ? "Main fault detected; waiting for the current outbound sequence."
                  : "Main fault detected; failover blocked because Backup is not ready.",
            "critical");
    }
  } else {
    recover("failover-blocked");
  }
}

void protection_service::initial_selection_locked(const system_record& main,
                                                  const system_record& backup) {
  const steady_time now = env_.steady();
  auto fresh = [&](const std::string& serial) REQUIRES(mutex_) {
    auto it = samples_.find(serial);
    return it != samples_.end() && fresh_locked(it->second, now);
  };
  // A Backup held before a restart keeps operation while it answers, and
  // gives it back only once it has been polled without an answer for
  // lossMs: one missed poll does not hand a held show back to the Main.
  if (heldOnBackup_) {
    if (fresh(backup.serial)) {
      active_serial_ = backup.serial;
      selection_pending_ = false;
      return;
    }
    auto silent = unanswered_since_.find(backup.serial);
    if (silent == unanswered_since_.end() || elapsed_ms(silent->second, now) < policy_.lossMs) {
      return;
    }
  }
  if (!fresh(main.serial)) return;  // wait for the Main to answer
  const bool was_held = heldOnBackup_;
  heldOnBackup_ = false;
  if (was_held && !save_locked()) {
    heldOnBackup_ = true;
    alert("transfer-storage", true,
          "Could not persist initial Main selection; selection was blocked.", "critical");
    return;
  }
  active_serial_ = main.serial;
  selection_pending_ = false;
  grace_start_ = now;
  fault_since_.clear();
  fault_due_.clear();
  recover("transfer-storage");
}

void protection_service::server_faults_locked(const system_record& record, bool in_grace,
                                              pass_state& pass) {
  const protection_sample s = samples_[record.serial];  // a default one when never polled
  const bool lost = !fresh_locked(s, env_.steady());
  config_.set_health_presence(record.serial, !lost);
  const std::string prefix = record.role == system_role::main ? "Main: " : "Backup: ";
  const protection_policy& p = policy_;
  auto fault = [&](const std::string& name, bool condition, fault_mode mode, int64_t delay_ms,
                   const std::string& message) REQUIRES(mutex_) {
    fault_locked(record, prefix, in_grace, name, condition, mode, delay_ms, message, pass);
  };
  const bool up = !lost;
  const bool sup = s.supported;
  fault("server", lost, p.server, 0, "Server communication lost.");
  fault("engine", up && sup && !s.engineRunning, p.engine, 0, "Engine stopped or exited.");
  fault("responsive", up && sup && s.engineRunning && !s.engineResponsive, p.responsive,
        p.lossMs, "Engine is not responding.");
  fault("frames", up && s.engineRunning && s.telemetryAvailable && s.frameStalled, p.frames, 0,
        "Engine channel frame progress stalled.");
  fault("clock", up && sup && s.clock_fault, p.clock, p.lossMs,
        "Engaged external clock is unavailable or unlocked.");
  fault("resources", up && sup && s.resource_pressure, p.resources, kResourceDelayMs,
        "Sustained resource pressure: CPU >=95%, available memory <5%, or GPU temperature >=90 "
        "C.");
  fault("telemetry", up && (!sup || (s.engineRunning && !s.telemetryAvailable)),
        fault_mode::alert_only, p.lossMs,
        "Frame/output telemetry unavailable; update Tolvarine and its engine.");
  const bool is_main = record.role == system_role::main;
  for (const auto& rule : p.outputRules) {
    const std::string& id = is_main ? rule.mainId : rule.backupId;
    if (id.empty()) continue;
    fault("output:" + id, up && s.engineRunning && !output_available(s, id), rule.mode,
          p.outputMs, "Protected output unavailable: " + id);
  }
}

void protection_service::fault_locked(const system_record& record, const std::string& prefix,
                                      bool in_grace, const std::string& name, bool condition,
                                      fault_mode mode, int64_t delay_ms,
                                      const std::string& message, pass_state& pass) {
  const std::string key = record.serial + ":" + name;
  // During grace nothing fires and pending timers are left as they are.
  const bool fire = !in_grace && confirmed(key, mode != fault_mode::ignore && condition, delay_ms);
  const bool failover = mode == fault_mode::alert_failover;
  alert(key, fire, prefix + message, failover ? "critical" : "warning");
  if (failover && fire && record.role == system_role::main) {
    pass.main_fault = true;
    if (pass.failover_reason.empty()) pass.failover_reason = prefix + message;
  }
}

bool protection_service::eligible(const system_record& record) {
  auto it = samples_.find(record.serial);
  if (it == samples_.end()) return false;
  const protection_sample& s = it->second;
  const protection_policy& p = policy_;
  if (!s.reachable || !s.supported || !s.engineRunning || !s.engineResponsive ||
      s.engineStarting) {
    return false;
  }
  if (elapsed_ms(s.updated, env_.steady()) > p.lossMs) return false;
  if (p.frames == fault_mode::alert_failover && (!s.telemetryAvailable || s.frameStalled)) {
    return false;
  }
  if (p.clock == fault_mode::alert_failover && s.clock_fault) return false;
  const bool is_main = record.role == system_role::main;
  for (const auto& rule : p.outputRules) {
    if (rule.mode != fault_mode::alert_failover) continue;
    if (!output_available(s, is_main ? rule.mainId : rule.backupId)) return false;
  }
  if (p.sync == fault_mode::alert_failover && record.role == system_role::backup) {
    const std::optional<system_record> main = config_.main_system();
    if (!main || main->replication_revision < 1 ||
        record.replication_applied_revision != main->replication_revision ||
        record.replication_pending_media > 0 || !record.replication_last_error.empty()) {
      return false;
    }
  }
  return true;
}

bool protection_service::transition(const system_record& target, const std::string& event,
                                    const std::string& reason, std::string* error) {
  // Persist first: a move that cannot be saved does not happen.
  const bool was_held = heldOnBackup_;
  heldOnBackup_ = event == "backup";
  if (!save_locked()) {
    heldOnBackup_ = was_held;
    const std::string message = "Could not persist active server; transfer was blocked.";
    if (error) *error = message;
    alert("transfer-storage", true, message, "critical");
    return false;
  }
  recover("transfer-storage");
  active_serial_ = target.serial;
  selection_pending_ = false;
  config_.set_health_selection(true, active_serial_);
  recover("transfer");
  alert("transfer", true,
        reason + "; operating on " +
            (heldOnBackup_ ? "Backup. Return to Main manually when ready." : "Main."),
        "notice");
  job next;
  next.label = event == "backup" ? "Transfer to Backup" : "Return to Main";
  for (const auto& a : policy_.actions) {
    if (a.enabled && a.event == event) next.actions.push_back(a);
  }
  if (next.actions.empty()) return true;
  jobs_.push_back(std::move(next));
  wake_.notify_all();
  return true;
}

}  // namespace tolvarine::operator_control
