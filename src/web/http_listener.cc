#include "web/http_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace tolvarine::operator_control {
namespace {

// How long the I/O thread sleeps at most while it may not accept (the
// connection bound is reached) and nothing else wakes it.
constexpr int kBoundRecheckMs = 20;
// Chunks read from one connection per wake-up, so one fast sender cannot
// starve the others.
constexpr int kChunksPerWake = 16;

}  // namespace

http_listener::http_listener(handler_fn handler, std::chrono::milliseconds stall_limit)
    : handler_(std::move(handler)), stall_limit_(stall_limit) {}

http_listener::~http_listener() { stop(); }

bool http_listener::start(uint16_t port) {
  if (io_thread_.joinable()) return true;
  unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd) return false;
  const int one = 1;
  if (::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one)) != 0) return false;
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(fd.get(), kBacklog) != 0) {
    return false;
  }
  socklen_t length = sizeof(address);
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  unique_fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wake) return false;

  listen_fd_ = std::move(fd);
  wake_fd_ = std::move(wake);
  {
    mutex_lock lock(mutex_);
    stopping_ = false;
  }
  port_.store(ntohs(address.sin_port), std::memory_order_release);
  try {
    io_thread_ = std::thread([this] { io_loop(); });
    for (size_t i = 0; i < kWorkers; ++i) workers_.emplace_back([this] { worker_loop(); });
  } catch (const std::system_error&) {
    stop();
    return false;
  }
  return true;
}

void http_listener::stop() {
  {
    mutex_lock lock(mutex_);
    stopping_ = true;
  }
  work_ready_.notify_all();
  if (wake_fd_) {
    const uint64_t one = 1;
    (void)!::write(wake_fd_.get(), &one, sizeof(one));
  }
  if (io_thread_.joinable()) io_thread_.join();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
  reading_.clear();
  {
    mutex_lock lock(mutex_);
    answering_ -= jobs_.size();
    jobs_.clear();
  }
  listen_fd_.reset();
  wake_fd_.reset();
  port_.store(0, std::memory_order_release);
}

void http_listener::io_loop() {
  std::vector<pollfd> fds;
  while (true) {
    size_t answering = 0;
    {
      mutex_lock lock(mutex_);
      if (stopping_) return;
      answering = answering_;
    }
    const bool may_accept = reading_.size() + answering < kMaxOpenConnections;
    const steady_time now = steady_now();
    int timeout = may_accept ? -1 : kBoundRecheckMs;
    for (const reading& c : reading_) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(c.arrived + stall_limit_ - now);
      const int left_ms = static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
      timeout = timeout < 0 ? left_ms : std::min(timeout, left_ms);
    }

    fds.clear();
    fds.push_back({wake_fd_.get(), POLLIN, 0});
    fds.push_back({may_accept ? listen_fd_.get() : -1, POLLIN, 0});
    for (const reading& c : reading_) fds.push_back({c.fd.get(), POLLIN, 0});
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
      // Only a resource shortage lands here; breathe instead of spinning.
      pollfd wake{wake_fd_.get(), POLLIN, 0};
      ::poll(&wake, 1, kBoundRecheckMs);
      continue;
    }
    if (fds[0].revents != 0) return;

    // Read what arrived first: a request complete by now is served even if
    // its time is also up.
    const steady_time after = steady_now();
    size_t kept = 0;
    for (size_t i = 0; i < reading_.size(); ++i) {
      reading& c = reading_[i];
      const bool ready = fds[i + 2].revents != 0;
      const bool keep = ready ? read_ready(c) : true;
      if (keep && after < c.arrived + stall_limit_) {
        if (kept != i) reading_[kept] = std::move(c);
        ++kept;
      }
    }
    reading_.resize(kept);
    if (fds[1].revents != 0) accept_ready(after);
  }
}

void http_listener::accept_ready(steady_time now) {
  while (true) {
    size_t answering = 0;
    {
      mutex_lock lock(mutex_);
      answering = answering_;
    }
    if (reading_.size() + answering >= kMaxOpenConnections) return;
    unique_fd fd(::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd) return;  // nothing more waiting, or out of descriptors for now
    reading_.push_back({std::move(fd), now, std::string(), request_framer()});
  }
}

bool http_listener::read_ready(reading& c) {
  char chunk[kRequestReadChunk];
  for (int i = 0; i < kChunksPerWake; ++i) {
    const ssize_t n = ::recv(c.fd.get(), chunk, sizeof(chunk), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;  // closed or failed before the request was complete
    c.buffer.append(chunk, static_cast<size_t>(n));
    if (!c.framer.complete(c.buffer)) continue;

    std::optional<http_request_message> request = parse_request(c.buffer);
    if (!request) return false;
    {
      mutex_lock lock(mutex_);
      jobs_.push_back({std::move(c.fd), std::move(*request)});
      ++answering_;
    }
    work_ready_.notify_one();
    return false;
  }
  return true;
}

void http_listener::worker_loop() {
  while (true) {
    job work;
    {
      mutex_lock lock(mutex_);
      while (!stopping_ && jobs_.empty()) work_ready_.wait(lock);
      if (stopping_) return;
      work = std::move(jobs_.front());
      jobs_.pop_front();
    }
    answer(work);
    work.fd.reset();
    {
      mutex_lock lock(mutex_);
      --answering_;
    }
  }
}

void http_listener::answer(job& work) {
  // Blocking writes from here on, bounded so that a client that stops
  // reading cannot hold a worker.
  const int fd = work.fd.get();
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  timeval limit{};
  limit.tv_sec = static_cast<time_t>(stall_limit_.count() / 1000);
  limit.tv_usec = static_cast<suseconds_t>((stall_limit_.count() % 1000) * 1000);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
  http_reply reply;
  try {
    reply = handler_(work.request);
  } catch (...) {
    return;  // no reply rather than a wrong one
  }
  (void)respond(fd, reply.status, reply.content_type, reply.body);
}

}  // namespace tolvarine::operator_control
