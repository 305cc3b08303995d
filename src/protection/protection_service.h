// The protection service: watches the configured Main/Backup pair, turns
// confirmed faults into alerts, moves operation to the Backup when the Main
// fails (and back on the operator's word), and fires outbound actions at
// external devices when it does. Owns the protection policy and its file
// (the settings path + ".protection.json"), the latest health sample of
// each server, the alert list and its log, and the job queue.
//
// Threads: start() runs a monitor thread (one cycle every 250 ms: the Main
// and the Backup polled in parallel on two short-lived threads, at most one
// poll in flight per server; an evaluation pass as each poll stores its
// result, at the moment a sample age or a confirmation delay is reached,
// and at the end of a cycle whose polls are all still hanging) and an
// action thread (one outbound sequence at a time).
// stop() (also run by the destructor) ends both and joins them; call
// start()/stop() from the owner only. Every other public method is
// thread-safe and takes mutex_ itself.
//
// Lock order: log_mutex_, then mutex_, then the registry's own lock (the
// service calls control_config while holding mutex_; control_config never
// calls back); view_mutex_ is a leaf. I/O under mutex_: only the protection
// file, which every move persists before it takes effect. The read-only
// entries (json, policy_json and the read-outs) never take mutex_: they
// answer from a view published at the end of every change, so a slow disk
// holding a save does not freeze status. Network I/O never runs under mutex_;
// alert log lines are collected under mutex_ and appended after it is
// released, in order, under log_mutex_.
//
// Failure is a value: refused operations return false with one sentence in
// *error; polls that fail store nothing; exceptions in a monitor cycle
// raise the "monitor" alert and never leave the thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/mutex.h"
#include "config/control_config.h"
#include "protection/alert_list.h"
#include "protection/protection_policy.h"
#include "protection/protection_sample.h"
#include "server/http_client.h"

namespace tolvarine::operator_control {

class protection_service {
 public:
  // One queued outbound sequence.
  struct job {
    std::vector<protection_policy::action> actions;  // in execution order
    std::string label;  // "Transfer to Backup", "Return to Main" or "Test action"
  };

  // A GET of `path` on a server (the health and identity requests).
  using health_fetch = std::function<http_response(const std::string& host, uint16_t port,
                                                   const std::string& path, int timeout_ms,
                                                   size_t max_bytes)>;
  // Sends one decoded control string (send_control_string's contract).
  using action_sender =
      std::function<bool(const std::string& host, int32_t port, bool udp, const std::string& bytes,
                         int32_t timeout_ms, std::string* error)>;

  // The seams tests replace; production uses the defaults.
  struct environment {
    steady_clock_fn steady = steady_now;          // ages, confirmation delays, grace
    std::function<int64_t()> wall = wall_ms_now;  // alert times and log lines
    health_fetch fetch;                           // empty: http_request
    action_sender send;                           // empty: send_control_string
    // Replaces the protection file whole; empty: replace_file.
    std::function<bool(const std::string& path, const std::string& text)> save;
  };

  // Loads the protection file beside the settings file; starts nothing.
  explicit protection_service(control_config& config);
  protection_service(control_config& config, environment env);
  ~protection_service();
  protection_service(const protection_service&) = delete;
  protection_service& operator=(const protection_service&) = delete;

  // The policy record's reader, check and writer (pure).
  static protection_policy parse(std::string_view text);
  [[nodiscard]] static bool validate(const protection_policy& policy, std::string* error);
  static std::string policy_json(const protection_policy& policy);

  // --- Admin entries (thread-safe) -----------------------------------------
  // Replaces the policy with the JSON text and saves it. False with the
  // validation message, or "Protection settings could not be saved." (the
  // old policy stays in force).
  [[nodiscard]] bool configure(const std::string& text, std::string* error) EXCLUDES(mutex_);
  // "arm", "disarm", "acknowledge", "main" or "backup". False with one
  // sentence when refused (see the operation's messages).
  [[nodiscard]] bool operate(const std::string& operation, std::string* error) EXCLUDES(mutex_);
  // Queues the saved action `index` alone as a "Test action" sequence.
  [[nodiscard]] bool test_action(int index, std::string* error) EXCLUDES(mutex_);
  // The status document (policy, state, samples, alerts).
  std::string json() const EXCLUDES(view_mutex_);
  // The saved policy's JSON.
  std::string policy_json() const EXCLUDES(view_mutex_);

  // --- Read-outs (from the published view) ----------------------------------
  protection_policy policy() const EXCLUDES(view_mutex_);
  std::string active_serial() const EXCLUDES(view_mutex_);
  bool held_on_backup() const EXCLUDES(view_mutex_);
  bool selection_pending() const EXCLUDES(view_mutex_);
  std::string last_action() const EXCLUDES(view_mutex_);
  std::vector<protection_alert> alerts() const EXCLUDES(view_mutex_);
  std::optional<protection_sample> sample(const std::string& serial) const
      EXCLUDES(view_mutex_);
  bool actions_busy() const EXCLUDES(view_mutex_);
  const std::string& policy_path() const { return policy_path_; }
  const std::string& alert_log_path() const { return alert_log_path_; }

  // --- Threads --------------------------------------------------------------
  // Starts the startup grace, tells the registry the likely selection, then
  // starts the action thread and the monitor thread. Once only.
  void start() EXCLUDES(mutex_);
  // Ends both threads: a sequence stops at its next delay or attempt
  // boundary (an attempt in progress finishes or times out first); queued
  // jobs are dropped. Idempotent.
  void stop() EXCLUDES(mutex_);

  // --- The monitor thread's pieces, callable directly by tests --------------
  // One cycle: polls the Main and its Backup in parallel, then evaluates.
  void run_monitor_cycle() EXCLUDES(mutex_, log_mutex_);
  // Asks one server for its health and stores the result.
  void poll(const system_record& record, int stall_ms) EXCLUDES(mutex_);
  // Stores a poll's result: a sample replaces the server's entry; a failed
  // poll (nothing) only creates a default entry when there is none.
  void store_poll_result(const std::string& serial, std::optional<protection_sample> sample)
      EXCLUDES(mutex_);
  // One evaluation pass over the latest samples, as the monitor runs it
  // after each cycle (the "monitor" alert recovers).
  void evaluation_pass() EXCLUDES(mutex_, log_mutex_);

  // --- The action thread's piece, callable directly by tests ----------------
  // Takes the first queued job and executes it on the calling thread.
  // False when the queue was empty.
  bool run_next_job() EXCLUDES(mutex_, log_mutex_);

 private:
  struct pass_state {
    bool main_fault = false;
    std::string failover_reason;
  };
  // The state the read-only entries show: a copy, taken after a change is
  // complete (and saved), never in the middle of one.
  struct view {
    std::shared_ptr<const protection_policy> policy;
    std::map<std::string, protection_sample> samples;
    std::deque<protection_alert> alerts;
    std::string active_serial;
    std::string last_action;
    bool held_on_backup = false;
    bool selection_pending = true;
    bool busy = false;
  };

  // Publishes the current state for the read-only entries.
  void publish_locked() REQUIRES(mutex_) EXCLUDES(view_mutex_);
  std::shared_ptr<const view> current_view() const EXCLUDES(view_mutex_);

  void load() EXCLUDES(mutex_);
  [[nodiscard]] bool save_locked() REQUIRES(mutex_);
  // Before the first save over a file that failed to load: renames it to
  // "<file>.invalid" and logs why, once. False when it cannot be kept.
  [[nodiscard]] bool keep_invalid_file_locked() REQUIRES(mutex_);
  std::string file_text_locked() const REQUIRES(mutex_);

  // Evaluation (protection_evaluation.cc).
  void evaluate() REQUIRES(mutex_);
  void initial_selection_locked(const system_record& main, const system_record& backup)
      REQUIRES(mutex_);
  void server_faults_locked(const system_record& record, bool in_grace, pass_state& pass)
      REQUIRES(mutex_);
  void fault_locked(const system_record& record, const std::string& prefix, bool in_grace,
                    const std::string& name, bool condition, fault_mode mode, int64_t delay_ms,
                    const std::string& message, pass_state& pass) REQUIRES(mutex_);
  [[nodiscard]] bool confirmed(const std::string& key, bool condition, int64_t delay_ms)
      REQUIRES(mutex_);
  void alert(const std::string& key, bool active, const std::string& message,
             const std::string& severity) REQUIRES(mutex_);
  void recover(const std::string& key) REQUIRES(mutex_);
  bool eligible(const system_record& record) REQUIRES(mutex_);
  bool transition(const system_record& target, const std::string& event,
                  const std::string& reason, std::string* error) REQUIRES(mutex_);
  bool operator_transfer_locked(const std::string& operation, std::string* error)
      REQUIRES(mutex_);
  bool busy_locked() const REQUIRES(mutex_) { return sequence_busy_ || !jobs_.empty(); }
  // Whether the server answered within the last two poll cycles: an
  // operator transfer needs a target that is answering now.
  bool answering_now_locked(const std::string& serial) const REQUIRES(mutex_);
  // Whether the sample is fresh: reachable and younger than lossMs.
  bool fresh_locked(const protection_sample& sample, steady_time now) const REQUIRES(mutex_);

  // Threads and jobs (protection_actions.cc and protection_service.cc).
  void monitor_loop() EXCLUDES(mutex_, log_mutex_);
  // Starts a poll thread for the Main and for its Backup unless one is
  // still in flight for that server (monitor thread only).
  void start_polls(std::map<std::string, std::thread>& polls) EXCLUDES(mutex_);
  // Runs one monitor step; an exception raises the "monitor" alert.
  void guarded_monitor_step(const std::function<void()>& step) EXCLUDES(mutex_, log_mutex_);
  // The next moment at which an evaluation could change its outcome by the
  // passing of time alone (a sample reaching lossMs, a confirmation delay,
  // the end of the startup grace, a held Backup silent for lossMs) after
  // the last pass began; the far future when nothing is pending. A moment
  // passed while a pass was still running is due at once: a busy machine
  // delays the pass that notices it, never skips it.
  steady_time next_due_locked() const REQUIRES(mutex_);
  void action_loop() EXCLUDES(mutex_, log_mutex_);
  void execute_job(const job& j) EXCLUDES(mutex_, log_mutex_);
  // Waits on wake_ until `delay_ms` after `from`, or until stop.
  void wait_delay(std::chrono::steady_clock::time_point from, int32_t delay_ms) EXCLUDES(mutex_);
  // Appends the collected alert log lines, in order.
  void flush_alert_log() EXCLUDES(mutex_, log_mutex_);

  // Constant after construction.
  control_config& config_;
  const environment env_;
  const std::string policy_path_;
  const std::string alert_log_path_;

  mutable mutex log_mutex_ ACQUIRED_BEFORE(mutex_);
  mutable mutex mutex_;
  mutable mutex view_mutex_ ACQUIRED_AFTER(mutex_);
  std::shared_ptr<const view> view_ GUARDED_BY(view_mutex_);
  condition_variable wake_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stopped_{false};  // stop() was called: sequences end early
  std::thread monitor_thread_;        // owner only
  std::thread action_thread_;         // owner only

  protection_policy policy_ GUARDED_BY(mutex_);
  // The policy as last published; replaced only when policy_ changed.
  std::shared_ptr<const protection_policy> published_policy_ GUARDED_BY(mutex_);
  bool policy_changed_ GUARDED_BY(mutex_) = true;
  std::map<std::string, protection_sample> samples_ GUARDED_BY(mutex_);
  std::map<std::string, steady_time> fault_since_ GUARDED_BY(mutex_);
  // Per fault still waiting for its confirmation delay: when it is due.
  std::map<std::string, steady_time> fault_due_ GUARDED_BY(mutex_);
  std::set<std::string> polling_ GUARDED_BY(mutex_);  // serials with a poll in flight
  bool poll_finished_ GUARDED_BY(mutex_) = false;     // a poll stored its result
  std::set<std::string> failing_polls_ GUARDED_BY(mutex_);  // last poll threw
  // Per serial: the first poll without an answer since the last answer.
  std::map<std::string, steady_time> unanswered_since_ GUARDED_BY(mutex_);
  alert_list alerts_ GUARDED_BY(mutex_);
  std::deque<job> jobs_ GUARDED_BY(mutex_);
  steady_time grace_start_ GUARDED_BY(mutex_){};
  steady_time last_pass_at_ GUARDED_BY(mutex_) = steady_time::min();  // when the last pass began
  std::string pairMain_ GUARDED_BY(mutex_);
  std::string pairBackup_ GUARDED_BY(mutex_);
  std::string active_serial_ GUARDED_BY(mutex_);
  bool heldOnBackup_ GUARDED_BY(mutex_) = false;
  bool selection_pending_ GUARDED_BY(mutex_) = true;
  bool sequence_busy_ GUARDED_BY(mutex_) = false;
  std::string lastAction_ GUARDED_BY(mutex_);
  std::string invalid_file_reason_ GUARDED_BY(mutex_);  // set while an invalid file is kept
  std::vector<std::string> pending_log_ GUARDED_BY(mutex_);  // alert log lines not yet written
};

}  // namespace tolvarine::operator_control
