// A small HTTP/1.1 server on 127.0.0.1: one request per connection, a
// complete response, then close. Used by the admin API.
//
// Owns one I/O thread and a fixed pool of worker threads. The I/O thread
// accepts connections (up to kMaxOpenConnections open at once; beyond that
// they wait in the kernel's backlog) and reads every one of them at the
// same time without blocking. A connection that has not delivered a
// complete request within the stall limit of its arrival is closed without
// a reply; so are peers that close early and malformed requests. Complete
// requests go to the workers, which call the handler and write the reply.
// So silent or slow clients never hold up the others, and a slow handler
// (a discovery) holds up only its own worker.
//
// Thread rule: start()/stop() from the owner only; the handler runs on the
// worker threads, several at once, and must be thread-safe. mutex_ is a
// leaf: no I/O and no handler call under it. Failures are values: start()
// returns false; a handler exception closes the connection without a reply.
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
  static constexpr size_t kWorkers = 4;
  static constexpr size_t kMaxOpenConnections = 64;
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
  // connection not yet answered. A handler already running finishes first.
  // Idempotent.
  void stop() EXCLUDES(mutex_);
  // The bound port while running, else 0.
  uint16_t port() const { return port_.load(std::memory_order_acquire); }

 private:
  // A connection whose request is still arriving (I/O thread only).
  struct reading {
    unique_fd fd;
    steady_time arrived;
    std::string buffer;
    request_framer framer;
  };
  // A complete request waiting for a worker.
  struct job {
    unique_fd fd;
    http_request_message request;
  };

  void io_loop() EXCLUDES(mutex_);
  void accept_ready(steady_time now) EXCLUDES(mutex_);
  // Reads what is there; false when the connection is finished with
  // (handed to a worker, or to be closed).
  bool read_ready(reading& connection) EXCLUDES(mutex_);
  void worker_loop() EXCLUDES(mutex_);
  void answer(job& work);

  // Constant after construction.
  const handler_fn handler_;
  const std::chrono::milliseconds stall_limit_;

  // Set by start() before the threads begin, cleared by stop() after they
  // end; in between the threads only read them.
  unique_fd listen_fd_;
  unique_fd wake_fd_;  // eventfd: readable once stop() begins
  std::thread io_thread_;
  std::vector<std::thread> workers_;
  std::atomic<uint16_t> port_{0};

  // I/O thread only (and stop() after joining it).
  std::vector<reading> reading_;

  mutex mutex_;
  condition_variable work_ready_;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::deque<job> jobs_ GUARDED_BY(mutex_);
  size_t answering_ GUARDED_BY(mutex_) = 0;  // queued jobs plus those being answered
};

}  // namespace tolvarine::operator_control
