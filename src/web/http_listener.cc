#include "web/http_listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace tolvarine::operator_control {

http_listener::http_listener(handler_fn handler, std::chrono::milliseconds stall_limit)
    : handler_(std::move(handler)), stall_limit_(stall_limit) {}

http_listener::~http_listener() { stop(); }

bool http_listener::start(uint16_t port) {
  if (accept_thread_.joinable()) return true;
  unique_fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
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
    accept_thread_ = std::thread([this] { accept_loop(); });
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
  changed_.notify_all();
  if (wake_fd_) {
    const uint64_t one = 1;
    (void)!::write(wake_fd_.get(), &one, sizeof(one));
  }
  if (accept_thread_.joinable()) accept_thread_.join();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
  {
    mutex_lock lock(mutex_);
    open_ -= queue_.size();
    queue_.clear();
  }
  listen_fd_.reset();
  wake_fd_.reset();
  port_.store(0, std::memory_order_release);
}

void http_listener::accept_loop() {
  while (true) {
    {
      mutex_lock lock(mutex_);
      while (!stopping_ && open_ >= kMaxOpenConnections) changed_.wait(lock);
      if (stopping_) return;
    }
    pollfd fds[2] = {{listen_fd_.get(), POLLIN, 0}, {wake_fd_.get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;  // EINTR
    if (fds[1].revents != 0) return;
    unique_fd connection(::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC));
    const steady_time arrived = steady_now();
    if (!connection) {
      // Out of descriptors or an aborted handshake: breathe, then retry.
      if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
        pollfd wake{wake_fd_.get(), POLLIN, 0};
        ::poll(&wake, 1, 50);
      }
      continue;
    }
    // A client that stops reading cannot hold a worker beyond the limit.
    timeval send_limit{};
    send_limit.tv_sec = static_cast<time_t>(stall_limit_.count() / 1000);
    send_limit.tv_usec = static_cast<suseconds_t>((stall_limit_.count() % 1000) * 1000);
    ::setsockopt(connection.get(), SOL_SOCKET, SO_SNDTIMEO, &send_limit, sizeof(send_limit));
    {
      mutex_lock lock(mutex_);
      if (stopping_) return;
      queue_.push_back({std::move(connection), arrived});
      ++open_;
    }
    changed_.notify_all();
  }
}

void http_listener::worker_loop() {
  while (true) {
    pending next;
    {
      mutex_lock lock(mutex_);
      while (!stopping_ && queue_.empty()) changed_.wait(lock);
      if (stopping_) return;
      next = std::move(queue_.front());
      queue_.pop_front();
    }
    serve(next.fd.get(), next.arrived);
    next.fd.reset();
    {
      mutex_lock lock(mutex_);
      --open_;
    }
    changed_.notify_all();
  }
}

void http_listener::serve(int fd, steady_time arrived) {
  const std::optional<std::string> raw = read_request(fd, arrived + stall_limit_, wake_fd_.get());
  if (!raw) return;
  const std::optional<http_request_message> request = parse_request(*raw);
  if (!request) return;
  http_reply reply;
  try {
    reply = handler_(*request);
  } catch (...) {
    return;  // no reply rather than a wrong one
  }
  (void)respond(fd, reply.status, reply.content_type, reply.body);
}

}  // namespace tolvarine::operator_control
