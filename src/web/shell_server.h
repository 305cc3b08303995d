// The operator UI server on 127.0.0.1:<ui port>: the operator page, and the
// three hand-off routes under /kel/browser/ that let the program show the
// page in a tab that is already open (see browser_handoff).
//
// One accept thread; one detached thread per connection, at most
// kMaxConnections at once (further connections are closed at once). A
// connection that sends nothing within kIdleLimit is closed without an
// answer. Connection threads share only the hand-off state, which they keep
// alive themselves, so stop() never waits for them.
//
// The hand-off routes (they change or reveal the pending request) accept
// only the page's own Origin and a loopback Host; GET of the page is open
// to any Host, since the page is a fixed document that carries no data
// (everything it shows comes from the admin API, which checks both).
//
// Thread rule: start()/stop() from the owner only. Failure is a value:
// start() returns false when the port cannot be bound.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "common/clock.h"
#include "common/unique_fd.h"
#include "web/browser_handoff.h"

namespace tolvarine::operator_control {

// Every answer that is not one of these comes from shell_reply.
inline constexpr std::string_view kShellMethodNotAllowed =
    "HTTP/1.1 405 Method Not Allowed\r\nServer: Tolvarine-Redundancy-Control\r\nAllow: GET\r\n"
    "Content-Length: 0\r\nConnection: close\r\n\r\n";
inline constexpr std::string_view kShellFound =
    "HTTP/1.1 302 Found\r\nServer: Tolvarine-Redundancy-Control\r\nLocation: /\r\n"
    "Cache-Control: no-store\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";

// "HTTP/1.1 <status> OK|Not Found|Bad Request", Server, Content-Type,
// Content-Length, Connection: close, Cache-Control: no-store, the body.
std::string shell_reply(int status, std::string_view body, std::string_view content_type);

// What a request line asks for. The method and target are its first two
// whitespace-separated words.
enum class shell_route { page, poll, reuse, ack, found, not_allowed };
struct shell_request {
  shell_route route = shell_route::not_allowed;
  bool configure = false;   // reuse in configure mode
  std::string_view ack_id;  // for ack: everything after "/kel/browser/ack?request="
};
shell_request classify_shell_request(std::string_view received);

// True when `received` must hold its whole header block before it can be
// answered: the hand-off routes check the page's origin and host.
bool shell_needs_headers(std::string_view received);

// The complete answer to the bytes received on a connection to the UI
// server on `port`. The hand-off routes refuse a foreign Origin or Host
// with 400 {"ok":false,"error":"Request origin not allowed."}. A reuse
// blocks for up to browser_handoff::kDeadline.
std::string shell_response(std::string_view received, browser_handoff& handoff, uint16_t port);

class shell_server {
 public:
  static constexpr uint16_t kDefaultPort = 5270;
  static constexpr int kBacklog = 64;
  static constexpr size_t kMaxConnections = 64;
  static constexpr size_t kMaxRequestBytes = 16383;
  static constexpr std::chrono::milliseconds kIdleLimit{2000};

  explicit shell_server(steady_clock_fn clock = steady_now);
  ~shell_server();
  shell_server(const shell_server&) = delete;
  shell_server& operator=(const shell_server&) = delete;

  // Binds 127.0.0.1:`port` (address reuse, backlog 64) and starts the
  // accept thread. True when running afterwards, also when it already was
  // (then nothing is rebound: callers stop first to change ports); false
  // when the socket cannot be set up or bound.
  [[nodiscard]] bool start(uint16_t port);
  // Stops accepting and closes the listening socket. Idempotent.
  void stop();
  // The port of the last start attempt.
  uint16_t port() const { return port_.load(std::memory_order_acquire); }

 private:
  // What connection threads share; each keeps it alive while it runs.
  struct shared_state {
    explicit shared_state(steady_clock_fn clock) : handoff(std::move(clock)) {}
    browser_handoff handoff;
    std::atomic<size_t> connections{0};
  };

  void run();
  static void handle_client(unique_fd client, std::shared_ptr<shared_state> shared, uint16_t port);

  const std::shared_ptr<shared_state> shared_;
  std::atomic<bool> running_{false};
  std::atomic<uint16_t> port_{kDefaultPort};
  // Set by start() before the accept thread begins, closed by stop() after
  // it ends.
  unique_fd listen_fd_;
  std::thread accept_thread_;
};

}  // namespace tolvarine::operator_control
