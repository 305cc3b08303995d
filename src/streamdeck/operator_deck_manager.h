// Keeps the attached Stream Decks showing the operator decks of the server
// whose UI is active (the display authority), and carries key presses back
// to the servers.
//
// Owns the manager thread (one pass every 100 ms: registration every 2 s as
// the session's keep-alive, authority hand-over, state polls, painting),
// the key thread, which hands each key press on as soon as it is queued so
// a key never waits behind a slow poll or registration, and one sender
// thread per server, which sends that server's copies in arrival order, so
// a hung server delays only its own copies. `start`/`stop` from the owner only; `enqueue_key` from
// any thread (the adapter's key callback).
//
// Lock order: manager mutex, then the adapter's locks (the adapter mutex,
// then a deck's mutex). The manager mutex is held across the adapter calls
// of a paint and never during an HTTP request. The key queue has its own
// mutex, a leaf taken with no other lock held, so the key callback never
// waits for a paint.
//
// Failures are silent except for the "[streamdeck]" lines; an exception in
// a pass is reported and the loop goes on.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <future>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/mutex.h"
#include "config/control_config.h"
#include "streamdeck/operator_deck_client.h"
#include "streamdeck/streamdeck_adapter.h"

namespace tolvarine::operator_control {

class operator_deck_manager {
 public:
  struct key_event {
    std::string serial;  // deck serial
    std::int32_t index = 0;
    bool down = false;
  };

  // Seams for tests; the defaults are what the program uses.
  struct options {
    std::unique_ptr<operator_deck_client> client;  // null: the HTTP client
    steady_clock_fn clock = steady_now;
    std::string machine_name;  // empty: the host name ("operator" without one)
    std::ostream* out = &std::cout;
    std::ostream* err = &std::cerr;
  };

  // Time limits of the requests, in milliseconds.
  static constexpr int kRegisterMs = 750;
  static constexpr int kStateMs = 1500;
  static constexpr int kKeyMs = 600;
  static constexpr int kSetPageMs = 500;
  static constexpr int kDetachMs = 300;

  operator_deck_manager(control_config& config, streamdeck_adapter& adapter);
  operator_deck_manager(control_config& config, streamdeck_adapter& adapter, options opts);
  ~operator_deck_manager();
  operator_deck_manager(const operator_deck_manager&) = delete;
  operator_deck_manager& operator=(const operator_deck_manager&) = delete;

  // Installs the key callback and starts both threads; true (also when
  // already running).
  bool start();
  // Stops and joins both threads, then withdraws the session from every
  // UI-ready server (results ignored). Does nothing when not running.
  void stop();

  // Queues one key press or release and wakes the key thread. Any thread.
  void enqueue_key(const std::string& serial, int index, bool pressed) EXCLUDES(queue_mutex_);

  // One pass of the manager thread; while the key thread is not running it
  // also handles the key queue. Tests drive it directly.
  void run_pass() EXCLUDES(mutex_, queue_mutex_);
  // Takes the whole key queue and delivers it in arrival order.
  void process_key_events() EXCLUDES(queue_mutex_);

  const std::string& machine_name() const { return machine_name_; }
  const std::string& session_id() const { return session_id_; }

 private:
  struct server_cache {
    std::int64_t generation = 0;
    std::map<std::string, operator_deck_snapshot> decks;
  };

  void run();
  void key_loop() EXCLUDES(queue_mutex_);
  void pass_steps() EXCLUDES(mutex_, queue_mutex_);
  void register_decks(const std::vector<system_record>& systems,
                      const std::vector<deck_info>& decks);
  void update_authority(const std::optional<system_record>& active) EXCLUDES(mutex_);
  void poll_server(const system_record& server, bool authority) EXCLUDES(mutex_);
  void apply_snapshot(const std::string& server, const operator_deck_state& state, bool authority)
      EXCLUDES(mutex_);
  void paint_locked(const operator_deck_snapshot& snapshot) REQUIRES(mutex_);
  void synchronize_pages(const std::string& previous, const system_record& next) EXCLUDES(mutex_);
  void repaint_returned_decks(const std::vector<deck_info>& decks) EXCLUDES(mutex_);
  void release_keys_of_detached_decks(const std::vector<deck_info>& decks) EXCLUDES(queue_mutex_);
  class server_sender;
  // One key press on its way: the servers it went to, in registry order,
  // and their answers.
  struct delivery {
    key_event event;
    bool pair = false;
    std::vector<system_record> targets;
    std::vector<std::future<bool>> results;
  };
  void dispatch_queued_keys() EXCLUDES(queue_mutex_);
  void process_key_event(const key_event& event);
  void write_delivery_lines(bool wait);
  void log_out(const std::string& line);
  void log_err(const std::string& line);

  // Constant after construction.
  control_config& config_;
  streamdeck_adapter& adapter_;
  const std::unique_ptr<operator_deck_client> client_;
  const steady_clock_fn clock_;
  std::ostream& out_;
  std::ostream& err_;
  const std::string machine_name_;
  const std::string session_id_;

  std::atomic<bool> running_{false};
  std::atomic<bool> key_thread_active_{false};
  std::thread thread_;
  std::thread key_thread_;

  // Manager thread only (or the test driving run_pass).
  std::string last_authority_;
  steady_time next_registration_ = steady_time::min();
  std::map<std::string, int> deck_passes_;  // attached deck -> passes seen
  std::set<std::string> ever_attached_;

  // Key thread only (or the test calling process_key_events).
  std::deque<delivery> deliveries_;
  std::map<std::string, std::unique_ptr<server_sender>> senders_;  // by server serial

  mutex mutex_;
  std::map<std::string, server_cache> caches_ GUARDED_BY(mutex_);

  mutex queue_mutex_;
  condition_variable key_wake_;
  condition_variable stop_wake_;
  std::deque<key_event> queue_ GUARDED_BY(queue_mutex_);
  std::map<std::string, std::set<int>> held_keys_ GUARDED_BY(queue_mutex_);
  long long completions_ GUARDED_BY(queue_mutex_) = 0;  // copies answered

  mutex log_mutex_;
};

}  // namespace tolvarine::operator_control
