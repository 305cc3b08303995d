#include "protection/protection_service.h"

#include <cerrno>
#include <cstdio>
#include <exception>
#include <algorithm>
#include <map>
#include <utility>
#include <iostream>

#include "common/atomic_file.h"
#include "common/prompt_wakeup.h"
#include "config/json_util.h"
#include "protection/alert_log.h"
#include "protection/control_sender.h"
#include "protection/json_numbers.h"

namespace tolvarine::operator_control {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kMonitorPeriod{250};

protection_service::environment with_defaults(protection_service::environment env) {
  if (!env.steady) env.steady = steady_now;
  if (!env.wall) env.wall = wall_ms_now;
  if (!env.fetch) {
    env.fetch = [](const std::string& host, uint16_t port, const std::string& path,
                   int timeout_ms, size_t max_bytes) {
      return http_request(host, port, "GET", path, "", "", timeout_ms, max_bytes);
    };
  }
  if (!env.send) env.send = send_control_string;
  if (!env.save) {
    env.save = [](const std::string& path, const std::string& text) {
      return replace_file(path, text);
    };
  }
  return env;
}

const char* bool_text(bool b) { return b ? "true" : "false"; }

}  // namespace

protection_service::protection_service(control_config& config)
    : protection_service(config, environment{}) {}

protection_service::protection_service(control_config& config, environment env)
    : config_(config),
      env_(with_defaults(std::move(env))),
      policy_path_(config.path() + ".protection.json"),
      alert_log_path_(policy_path_ + ".alerts.jsonl") {
  load();
  mutex_lock lock(mutex_);
  publish_locked();
}

protection_service::~protection_service() { stop(); }

protection_policy protection_service::parse(std::string_view text) {
  return parse_protection_policy(text);
}

bool protection_service::validate(const protection_policy& policy, std::string* error) {
  return validate_protection_policy(policy, error);
}

std::string protection_service::policy_json(const protection_policy& policy) {
  return protection_policy_json(policy);
}

// --- The protection file ------------------------------------------------------

void protection_service::load() {
  std::string text;
  if (!read_file(policy_path_, &text)) return;
  protection_policy loaded = parse(text);
  std::string error;
  const bool valid = validate(loaded, &error);
  mutex_lock lock(mutex_);
  if (!valid) {
    // Defaults stay in force; the file is left for the operator to see and
    // kept aside before the first save over it.
    lastAction_ = "Invalid saved protection settings: " + error;
    invalid_file_reason_ = error;
    return;
  }
  policy_ = std::move(loaded);
  heldOnBackup_ = protection_json::starts_with(text, "heldOnBackup", "true");
  pairMain_ = json_util::string_value(text, "pairMain", "");
  pairBackup_ = json_util::string_value(text, "pairBackup", "");
}

std::string protection_service::file_text_locked() const {
  std::string text = policy_json(policy_);
  text.pop_back();  // the closing brace
  text += ",\"heldOnBackup\":";
  text += bool_text(heldOnBackup_);
  text += ",\"pairMain\":\"" + json_util::escape(pairMain_) + "\",\"pairBackup\":\"" +
          json_util::escape(pairBackup_) + "\"}";
  return text;
}

bool protection_service::keep_invalid_file_locked() {
  if (invalid_file_reason_.empty()) return true;
  const std::string kept = policy_path_ + ".invalid";
  // Replaces an older copy; the save's flush of the folder makes it durable.
  if (::rename(policy_path_.c_str(), kept.c_str()) != 0 && errno != ENOENT) return false;
  std::cerr << "[protection] Invalid saved protection settings: " << invalid_file_reason_
            << " The file is kept as " << kept << std::endl;
  invalid_file_reason_.clear();
  return true;
}

bool protection_service::save_locked() {
  // Flushed to disk before and after the rename: a move persisted a moment
  // before a power cut survives it.
  if (!keep_invalid_file_locked()) return false;
  if (!env_.save(policy_path_, file_text_locked())) return false;
  recover("transfer-storage");
  return true;
}

bool protection_service::configure(const std::string& text, std::string* error) {
  protection_policy next = parse(text);
  std::string message;
  if (!validate(next, &message)) {
    if (error) *error = message;
    return false;
  }
  bool saved = false;
  {
    mutex_lock lock(mutex_);
    protection_policy previous = std::move(policy_);
    policy_ = std::move(next);
    saved = save_locked();
    if (saved) {
      fault_since_.clear();  // every confirmation timer restarts
      fault_due_.clear();
    } else {
      policy_ = std::move(previous);
    }
    policy_changed_ = true;
    publish_locked();
  }
  flush_alert_log();
  if (!saved && error) *error = "Protection settings could not be saved.";
  return saved;
}

// --- Operations ---------------------------------------------------------------

bool protection_service::operate(const std::string& operation, std::string* error) {
  bool ok = false;
  std::string message;
  {
    mutex_lock lock(mutex_);
    if (operation == "arm" || operation == "disarm") {
      const bool previous = policy_.armed;
      policy_.armed = operation == "arm";
      ok = save_locked();
      if (!ok) {
        policy_.armed = previous;
        message = "Could not save protection state.";
      }
    } else if (operation == "acknowledge") {
      alerts_.acknowledge_all();
      ok = true;
    } else if (operation == "main" || operation == "backup") {
      ok = operator_transfer_locked(operation, &message);
    } else {
      message = "Unknown protection operation.";
    }
    policy_changed_ = true;
    publish_locked();
  }
  flush_alert_log();
  if (!ok && error) *error = message;
  return ok;
}

bool protection_service::operator_transfer_locked(const std::string& operation,
                                                  std::string* error) {
  if (busy_locked()) {
    *error = "Wait for the outbound sequence to finish before transferring again.";
    return false;
  }
  const std::optional<system_record> main = config_.main_system();
  std::optional<system_record> target;
  if (operation == "main") {
    target = main;
  } else if (main) {
    target = config_.backup_for(main->serial);
  }
  if (config_.enabled() && target && eligible(*target) && answering_now_locked(target->serial)) {
    if (active_serial_ == target->serial) return true;
    return transition(*target, operation, "Operator requested transfer", error);
  }
  *error = "Requested server is not ready for takeover. Check engine and protected outputs.";
  return false;
}

bool protection_service::answering_now_locked(const std::string& serial) const {
  auto it = samples_.find(serial);
  return it != samples_.end() && it->second.reachable &&
         env_.steady() - it->second.updated < 2 * kMonitorPeriod;
}

bool protection_service::test_action(int index, std::string* error) {
  mutex_lock lock(mutex_);
  const char* message = nullptr;
  if (index < 0 || static_cast<size_t>(index) >= policy_.actions.size()) {
    message = "Save the action before testing it.";
  } else if (!policy_.actions[static_cast<size_t>(index)].enabled) {
    message = "Enable and save the action before testing it.";
  } else if (busy_locked()) {
    message = "An outbound sequence is already running.";
  }
  if (message) {
    if (error) *error = message;
    return false;
  }
  jobs_.push_back(job{{policy_.actions[static_cast<size_t>(index)]}, "Test action"});
  wake_.notify_all();
  publish_locked();
  return true;
}

// --- Read-outs ----------------------------------------------------------------

void protection_service::publish_locked() {
  if (policy_changed_ || !published_policy_) {
    published_policy_ = std::make_shared<const protection_policy>(policy_);
    policy_changed_ = false;
  }
  auto next = std::make_shared<view>();
  next->policy = published_policy_;
  next->samples = samples_;
  next->alerts = alerts_.entries();
  next->active_serial = active_serial_;
  next->last_action = lastAction_;
  next->held_on_backup = heldOnBackup_;
  next->selection_pending = selection_pending_;
  next->busy = busy_locked();
  mutex_lock lock(view_mutex_);
  view_ = std::move(next);
}

std::shared_ptr<const protection_service::view> protection_service::current_view() const {
  mutex_lock lock(view_mutex_);
  return view_;
}

std::string protection_service::json() const {
  const std::shared_ptr<const view> v = current_view();
  const steady_time now = env_.steady();
  std::string out = "{\"policy\":" + policy_json(*v->policy);
  out += ",\"armed\":";
  out += bool_text(v->policy->armed);
  out += ",\"heldOnBackup\":";
  out += bool_text(v->held_on_backup);
  out += ",\"actionsBusy\":";
  out += bool_text(v->busy);
  out += ",\"lastAction\":\"" + json_util::escape(v->last_action) + "\",\"systems\":[";
  bool first = true;
  for (const auto& [serial, s] : v->samples) {
    if (!first) out += ',';
    first = false;
    const long long age =
        s.reachable
            ? std::chrono::duration_cast<milliseconds>(now - s.updated).count()
            : -1;
    out += "{\"serial\":\"" + json_util::escape(serial) + "\",\"ageMs\":" + std::to_string(age);
    out += ",\"supported\":";
    out += bool_text(s.supported);
    out += ",\"engineRunning\":";
    out += bool_text(s.engineRunning);
    out += ",\"engineResponsive\":";
    out += bool_text(s.engineResponsive);
    out += ",\"telemetryAvailable\":";
    out += bool_text(s.telemetryAvailable);
    out += ",\"frameStalled\":";
    out += bool_text(s.frameStalled);
    out += ",\"outputs\":" + s.outputs + "}";
  }
  out += "],\"alerts\":" + alert_list::json(v->alerts) + "}";
  return out;
}

std::string protection_service::policy_json() const { return policy_json(*current_view()->policy); }

protection_policy protection_service::policy() const { return *current_view()->policy; }

std::string protection_service::active_serial() const { return current_view()->active_serial; }

bool protection_service::held_on_backup() const { return current_view()->held_on_backup; }

bool protection_service::selection_pending() const { return current_view()->selection_pending; }

std::string protection_service::last_action() const { return current_view()->last_action; }

std::vector<protection_alert> protection_service::alerts() const {
  const std::shared_ptr<const view> v = current_view();
  return {v->alerts.begin(), v->alerts.end()};
}

std::optional<protection_sample> protection_service::sample(const std::string& serial) const {
  const std::shared_ptr<const view> v = current_view();
  auto it = v->samples.find(serial);
  if (it == v->samples.end()) return std::nullopt;
  return it->second;
}

bool protection_service::actions_busy() const { return current_view()->busy; }

// --- Threads ------------------------------------------------------------------

void protection_service::start() {
  if (monitor_thread_.joinable() || action_thread_.joinable()) return;
  {
    mutex_lock lock(mutex_);
    running_ = true;
    stopped_ = false;
    grace_start_ = env_.steady();
    // Tell the registry where operation will most likely be, before the
    // first pass confirms it.
    const std::optional<system_record> main = config_.main_system();
    const std::optional<system_record> backup =
        main ? config_.backup_for(main->serial) : std::nullopt;
    if (config_.enabled() && main && backup) {
      const bool held = heldOnBackup_ && pairMain_ == main->serial && pairBackup_ == backup->serial;
      config_.set_health_selection(true, held ? backup->serial : main->serial);
    }
    publish_locked();
  }
  action_thread_ = std::thread([this] { action_loop(); });
  monitor_thread_ = std::thread([this] { monitor_loop(); });
}

void protection_service::stop() {
  {
    mutex_lock lock(mutex_);
    running_ = false;
    stopped_ = true;
    wake_.notify_all();
  }
  if (monitor_thread_.joinable()) monitor_thread_.join();
  if (action_thread_.joinable()) action_thread_.join();
}

void protection_service::monitor_loop() {
  request_prompt_wakeup();
  // Polls in flight, one per server at most; the monitor thread owns them.
  std::map<std::string, std::thread> polls;
  auto join_finished = [&] {
    std::vector<std::string> done;
    {
      mutex_lock lock(mutex_);
      for (const auto& [serial, thread] : polls) {
        if (!polling_.count(serial)) done.push_back(serial);
      }
    }
    for (const std::string& serial : done) {
      polls[serial].join();
      polls.erase(serial);
    }
  };
  while (running_) {
    const steady_time cycle_end = env_.steady() + kMonitorPeriod;
    bool evaluated = false;
    guarded_monitor_step([&] {
      join_finished();
      start_polls(polls);
    });
    // Until the cycle ends: evaluate as soon as a poll has stored its
    // result, and at the moment a sample age or a confirmation delay is
    // reached, so a lost Main is noticed when the rule is met, never a
    // cycle later and never behind a poll that is still hanging.
    while (running_) {
      bool poll_done = false;
      bool time_due = false;
      {
        mutex_lock lock(mutex_);
        const steady_time due = next_due_locked();
        const steady_time until = std::min(cycle_end, due);
        while (running_ && !poll_finished_ && env_.steady() < until) {
          wake_.wait_until(lock, std::chrono::steady_clock::now() + (until - env_.steady()));
        }
        // A poll that failed does not start a pass; the time-driven ones
        // still run, so a failing Main is still found lost on time.
        poll_done = std::exchange(poll_finished_, false) && failing_polls_.empty();
        time_due = env_.steady() >= due;
      }
      if (!running_) break;
      const bool cycle_over = env_.steady() >= cycle_end;
      // A cycle whose polls are all still hanging is evaluated at its end.
      if (poll_done || time_due || (cycle_over && !evaluated)) {
        guarded_monitor_step([&] { evaluation_pass(); });
        evaluated = true;
      }
      if (cycle_over) break;
    }
  }
  for (auto& [serial, thread] : polls) thread.join();
}

void protection_service::start_polls(std::map<std::string, std::thread>& polls) {
  const std::optional<system_record> main = config_.main_system();
  const std::optional<system_record> backup =
      main ? config_.backup_for(main->serial) : std::nullopt;
  int stall_ms = 0;
  {
    mutex_lock lock(mutex_);
    stall_ms = policy_.stallMs;
  }
  for (const std::optional<system_record>* r : {&main, &backup}) {
    if (!*r || polls.count((*r)->serial)) continue;  // still waiting for its answer
    if ((*r)->address.empty()) {
      store_poll_result((*r)->serial, std::nullopt);  // counts as silent
      continue;
    }
    {
      mutex_lock lock(mutex_);
      polling_.insert((*r)->serial);
    }
    polls.emplace((*r)->serial, std::thread([this, record = **r, stall_ms] {
                    request_prompt_wakeup();
                    std::string failure;
                    try {
                      poll(record, stall_ms);
                    } catch (const std::exception& e) {
                      failure = e.what();  // nothing stored: the sample ages
                    }
                    {
                      mutex_lock lock(mutex_);
                      polling_.erase(record.serial);
                      if (failure.empty()) {
                        failing_polls_.erase(record.serial);
                      } else {
                        failing_polls_.insert(record.serial);
                        alert("monitor", true, "Protection monitor error: " + failure,
                              "critical");
                        publish_locked();
                      }
                      poll_finished_ = true;
                      wake_.notify_all();
                    }
                    flush_alert_log();
                  }));
  }
}

void protection_service::guarded_monitor_step(const std::function<void()>& step) {
  try {
    step();
  } catch (const std::exception& e) {
    {
      mutex_lock lock(mutex_);
      alert("monitor", true, std::string("Protection monitor error: ") + e.what(), "critical");
      publish_locked();
    }
    flush_alert_log();
  }
}

void protection_service::run_monitor_cycle() {
  guarded_monitor_step([&] {
    std::map<std::string, std::thread> polls;
    start_polls(polls);
    for (auto& [serial, thread] : polls) thread.join();
    {
      mutex_lock lock(mutex_);
      poll_finished_ = false;
      if (!failing_polls_.empty()) return;  // a cycle that failed is not evaluated
    }
    evaluation_pass();
  });
}

void protection_service::evaluation_pass() {
  {
    mutex_lock lock(mutex_);
    evaluate();
    // The "monitor" alert stays while a server's poll keeps failing.
    if (failing_polls_.empty()) recover("monitor");
    publish_locked();
  }
  flush_alert_log();
}

void protection_service::poll(const system_record& record, int stall_ms) {
  std::optional<protection_sample> result;
  const http_response health =
      env_.fetch(record.address, record.web_port, kHealthPath, kPollTimeoutMs, kHealthMaxBytes);
  if (health.status == 200) {
    result = read_health_answer(health.body, record.serial, stall_ms, env_.steady());
  } else if (health.status == 404) {
    // A server without the health endpoint: at least learn it is there.
    const http_response identity = env_.fetch(record.address, record.web_port, kIdentityPath,
                                              kPollTimeoutMs, kIdentityMaxBytes);
    if (identity.status == 200) {
      result = read_identity_answer(identity.body, record.serial, env_.steady());
    }
  }
  store_poll_result(record.serial, std::move(result));
}

void protection_service::store_poll_result(const std::string& serial,
                                           std::optional<protection_sample> sample) {
  mutex_lock lock(mutex_);
  if (sample && sample->reachable) {
    samples_[serial] = std::move(*sample);
    unanswered_since_.erase(serial);
  } else {
    // A failed poll leaves the previous sample ageing.
    samples_.try_emplace(serial);
    unanswered_since_.try_emplace(serial, env_.steady());
  }
  publish_locked();
}

void protection_service::flush_alert_log() {
  mutex_lock order(log_mutex_);
  std::vector<std::string> lines;
  {
    mutex_lock lock(mutex_);
    lines.swap(pending_log_);
  }
  append_alert_lines(alert_log_path_, lines);
}

}  // namespace tolvarine::operator_control
