// A small HTTP/1.1 server on 127.0.0.1: one request per connection, a
// complete response, then close. Used by the admin API.
//
// Owns one I/O thread and a fixed pool of worker threads. The I/O thread
// accepts connections, reads every request and writes every reply without
// blocking; the workers only call the handler. Small requests the owner
// marks as never waiting (a look-up and a datagram) are answered on the
// I/O thread itself: handing them to a worker costs a wake-up, which on a
// busy machine can wait for a core. Bounds, so that hostile or
// broken clients cost the others nothing:
// - a connection that has not delivered a complete request within the
//   stall limit of its arrival is closed without a reply (so are peers
//   that close early and malformed requests);
// - a connection gets at most the connection limit of its client's time:
//   the stall limit to deliver the request, the rest to take the reply
//   (the time a worker needs is not counted; a reply gets at least one
//   send), and is then closed;
// - at most kMaxOpenConnections are open; when a new one arrives at that
//   bound, the oldest connection that is still arriving or leaving gives
//   way;
// - the request bytes held at once (arriving, queued and being answered)
//   stay within kMaxHeldRequestBytes: a request that would pass it is
//   refused with 413 as soon as its declared length or its bytes show it;
// - when accept fails for want of descriptors, accepting pauses briefly
//   (one log line per episode) instead of spinning.
//
// Thread rule: start()/stop() from the owner only; the handler runs on the
// worker threads, several at once, and must be thread-safe. mutex_ is a
// leaf: no I/O and no handler call under it. Failures are values: start()
// returns false; a handler exception closes the connection without a reply.
#pragma once

#include <algorithm>
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
  // Receives one log line without its line feed.
  using log_fn = std::function<void(const std::string& line)>;
  // Whether a request's handler never waits, so the I/O thread may call it.
  using at_once_fn = std::function<bool(const http_request_message& request)>;

  static constexpr int kBacklog = 16;
  static constexpr size_t kWorkers = 4;
  static constexpr size_t kMaxOpenConnections = 64;
  static constexpr size_t kMaxHeldRequestBytes = 16 * 1024 * 1024;
  static constexpr std::chrono::milliseconds kStallLimit{2000};
  static constexpr std::chrono::milliseconds kConnectionLimit{5000};
  static constexpr std::chrono::milliseconds kAcceptPause{250};
  // Larger requests go to a worker whatever `at_once` says.
  static constexpr size_t kMaxAtOnceBodyBytes = 64 * 1024;

  // `problem` (default: standard error, flushed) gets the line logged when
  // descriptors run out; `at_once` (default: none) picks the requests the
  // I/O thread answers itself.
  explicit http_listener(handler_fn handler, std::chrono::milliseconds stall_limit = kStallLimit,
                         log_fn problem = {}, at_once_fn at_once = {});
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
  // A connection whose request is still arriving, or whose reply is
  // leaving (I/O thread only).
  struct connection {
    unique_fd fd;
    steady_time arrived;   // when it was accepted, or its reply was ready
    std::string buffer;    // the request so far, or the reply
    size_t reserved = 0;   // request bytes counted against the ceiling
    size_t sent = 0;       // reply bytes already written
    bool writing = false;  // the reply is leaving
    bool tried = false;    // the reply has had its first send
    request_framer framer;
  };
  // A complete request waiting for a worker, or its reply waiting for the
  // I/O thread.
  struct job {
    unique_fd fd;
    steady_time arrived;
    size_t held = 0;  // request bytes counted against the ceiling
    http_request_message request;
    std::string reply;
  };

  void io_loop() EXCLUDES(mutex_);
  // Takes the replies the workers have finished into open_.
  void collect_replies() EXCLUDES(mutex_);
  void accept_ready(steady_time now) EXCLUDES(mutex_);
  // Closes the oldest connection not with a worker; false when there is none.
  bool evict_oldest();
  // Reads what is there; false when the connection is finished with
  // (handed to a worker, or to be closed).
  bool read_ready(connection& c) EXCLUDES(mutex_);
  // Counts the request's bytes (and, once its length is known, the bytes
  // it declares) against the ceiling; false when they do not fit.
  bool reserve(connection& c, size_t wanted) EXCLUDES(mutex_);
  // Turns `c` into a 413 reply.
  void refuse_too_large(connection& c) EXCLUDES(mutex_);
  // Writes what the peer takes; false when finished (all sent, or failed).
  static bool write_ready(connection& c);
  void worker_loop() EXCLUDES(mutex_);
  void answer(job& work);
  // Queues an answered job's reply for the I/O thread, or closes its
  // connection when there is none.
  void finish(job& work) EXCLUDES(mutex_);
  void wake_io();
  // How long a reply may take to leave once it is ready.
  std::chrono::milliseconds reply_limit() const {
    return std::max(kConnectionLimit - stall_limit_, std::chrono::milliseconds(1000));
  }

  // Constant after construction.
  const handler_fn handler_;
  const std::chrono::milliseconds stall_limit_;
  const log_fn problem_;
  const at_once_fn at_once_;

  // Set by start() before the threads begin, cleared by stop() after they
  // end; in between the threads only read them.
  unique_fd listen_fd_;
  unique_fd wake_fd_;  // eventfd: readable once stop() begins
  std::thread io_thread_;
  std::vector<std::thread> workers_;
  std::atomic<uint16_t> port_{0};

  // I/O thread only (and stop() after joining it).
  std::vector<connection> open_;
  steady_time accept_paused_until_{};
  bool out_of_descriptors_ = false;  // an episode is under way (logged once)

  mutex mutex_;
  condition_variable work_ready_;
  bool stopping_ GUARDED_BY(mutex_) = false;
  std::deque<job> jobs_ GUARDED_BY(mutex_);
  std::deque<job> replies_ GUARDED_BY(mutex_);  // answered, for the I/O thread to write
  size_t answering_ GUARDED_BY(mutex_) = 0;     // queued jobs, those being answered, replies
  size_t held_bytes_ GUARDED_BY(mutex_) = 0;    // request bytes counted against the ceiling
};

}  // namespace tolvarine::operator_control
