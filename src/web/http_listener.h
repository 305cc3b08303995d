// A small HTTP/1.1 server on 127.0.0.1: one request per connection, a
// complete response, then close. Used by the admin API.
//
// Owns one accept thread and a fixed pool of worker threads. The accept
// thread takes connections as they come (up to kMaxOpenConnections at once;
// beyond that they wait in the kernel's backlog) and queues them with their
// arrival time; a worker reads the request and calls the handler. A
// connection that has not delivered a complete request within the stall
// limit of its arrival is closed without a reply, so one silent client
// never holds up the others. Malformed requests are closed without a reply
// too; the handler sees only requests with a method and a path.
//
// Thread rule: start()/stop() from the owner only; the handler runs on the
// worker threads, several at once, and must be thread-safe. Lock order:
// mutex_ is a leaf (no I/O and no handler call under it). Failures are
// values: start() returns false; a handler exception closes the connection
// without a reply.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/clock.h"
#include "common/mutex.h"
#include "common/unique_fd.h"
#include "web/http_request_reader.h"

namespace tolvarine::operator_control {

struct http_reply {
  int status = 200;
  std::string content_type;
  std::string body;
};

class http_listener {
 public:
  using handler_fn = std::function<http_reply(const http_request_message& request)>;

  static constexpr int kBacklog = 16;
  static constexpr size_t kWorkers = 8;
  static constexpr size_t kMaxOpenConnections = 128;
  static constexpr std::chrono::milliseconds kStallLimit{2000};

  explicit http_listener(handler_fn handler, std::chrono::milliseconds stall_limit = kStallLimit);
  ~http_listener();
  http_listener(const http_listener&) = delete;
  http_listener& operator=(const http_listener&) = delete;

  // Binds 127.0.0.1:`port` (address reuse, backlog 16; port 0 picks a free
  // one) and starts the threads. True when running afterwards, also when
  // it already was; false (nothing left open) when the socket cannot be set
  // up or bound.
  [[nodiscard]] bool start(uint16_t port) EXCLUDES(mutex_);
  // Wakes every thread, joins them, closes the listening socket and every
  // connection not yet answered. Idempotent.
  void stop() EXCLUDES(mutex_);
  // The bound port while running, else 0.
  uint16_t port() const { return port_.load(std::memory_order_acquire); }

 private:
  struct pending {
    unique_fd fd;
    steady_time arrived;
  };

  void accept_loop() EXCLUDES(mutex_);
  void worker_loop() EXCLUDES(mutex_);
  void serve(int fd, steady_time arrived);

  // Constant after construction.
  const handler_fn handler_;
  const std::chrono::milliseconds stall_limit_;

  // Set by start(), cleared by stop(); the threads only read the fds.
  unique_fd listen_fd_;
  unique_fd wake_fd_;  // eventfd: readable once stop() begins
  std::thread accept_thread_;
  std::vector<std::thread> workers_;
  std::atomic<uint16_t> port_{0};

  mutex mutex_;
  condition_variable changed_;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::deque<pending> queue_ GUARDED_BY(mutex_);
  size_t open_ GUARDED_BY(mutex_) = 0;  // queued plus being served
};

}  // namespace tolvarine::operator_control
