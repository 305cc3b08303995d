// One simulated show server: HTTP on <address>:<web port>, discovery
// answers on UDP 1255 (shared with other simulators through SO_REUSEADDR
// and SO_REUSEPORT, answered from <address>), and a log of every datagram
// received on <address>:1256. Faults are switched through knobs (see
// sim_knobs.h) over HTTP under /sim/ on the web port, or on the optional
// control port, which always answers normally.
//
// Threads: one per listener (web, control, discovery, commands) plus one
// short-lived thread per HTTP connection. Every piece of shared state is
// guarded by mutex_; no socket I/O happens under it. start() and stop()
// from the owner only; stop() waits (bounded) for connection threads.
// Log lines go to stdout, one per line, flushed, tagged "[sim]".
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "common/unique_fd.h"
#include "sim_answers.h"
#include "sim_decks.h"
#include "sim_knobs.h"

namespace tolvarine::show_server_sim {

using operator_control::mutex;
using operator_control::unique_fd;

struct sim_options {
  sim_identity identity;
  uint16_t control_port = 0;  // 0: no separate control listener
  uint16_t discovery_port = 1255;
  uint16_t command_port = 1256;
  std::string event_model;  // empty: the built-in one
};

class sim_server {
 public:
  explicit sim_server(sim_options options);
  ~sim_server();
  sim_server(const sim_server&) = delete;
  sim_server& operator=(const sim_server&) = delete;

  // Binds every socket; false with `error` set when one cannot be bound.
  [[nodiscard]] bool start(std::string& error);
  void stop();

  // Sets one knob as /sim/set does; false for an unknown name.
  [[nodiscard]] bool set_knob(const std::string& name, const std::string& value)
      EXCLUDES(mutex_);

 private:
  struct request {
    std::string method;
    std::string path;   // without the query
    std::string query;  // without '?'
    std::string body;
  };

  void web_loop();
  void control_loop();
  void discovery_loop();
  void command_loop();
  void serve_connection(unique_fd fd, bool control_only);
  // Answers one /sim/ request; the reply text is written into status/body.
  void handle_control(const request& req, int& status, std::string& body, std::string& type)
      EXCLUDES(mutex_);
  void handle_home(const request& req, int& status, std::string& body, std::string& type)
      EXCLUDES(mutex_);
  bool open_web_listener();
  std::string state_json() EXCLUDES(mutex_);
  bool fault_applies(const sim_knobs& knobs, const std::string& path) const;
  bool wait_or_stop(long long ms) const;  // false when stopping

  static void log(const std::string& line);

  // Constant after construction.
  const sim_options options_;

  std::atomic<bool> stopping_{false};
  std::atomic<int> connections_{0};
  unique_fd web_listener_;  // web thread only once started
  unique_fd control_listener_;
  unique_fd discovery_socket_;
  unique_fd reply_socket_;
  unique_fd command_socket_;
  std::vector<std::thread> threads_;

  mutable mutex mutex_;
  sim_knobs knobs_ GUARDED_BY(mutex_);
  std::string event_model_ GUARDED_BY(mutex_);
  long long refuse_until_ms_ GUARDED_BY(mutex_) = 0;
  std::map<std::string, long long> counts_ GUARDED_BY(mutex_);
  std::deque<std::string> recent_requests_ GUARDED_BY(mutex_);
  std::deque<std::string> datagrams_ GUARDED_BY(mutex_);  // JSON objects
  long long updates_ GUARDED_BY(mutex_) = 0;
  std::string last_update_body_ GUARDED_BY(mutex_);
  // Raw bodies of the last requests of each kind.
  std::deque<std::string> registrations_ GUARDED_BY(mutex_);
  std::deque<std::string> key_events_ GUARDED_BY(mutex_);
  std::deque<std::string> page_changes_ GUARDED_BY(mutex_);
  long long detaches_ GUARDED_BY(mutex_) = 0;
  sim_deck_sessions decks_ GUARDED_BY(mutex_);
};

}  // namespace tolvarine::show_server_sim
