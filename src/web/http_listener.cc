#include "web/http_listener.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>

#include "common/prompt_wakeup.h"

namespace tolvarine::operator_control {
namespace {

// How long the I/O thread sleeps at most while it may not accept (the
// connection bound is reached) and nothing else wakes it.
constexpr int kBoundRecheckMs = 20;
// Chunks read from one connection per wake-up, so one fast sender cannot
// starve the others.
constexpr int kChunksPerWake = 16;
// Kernel send buffer of each connection: the reply beyond it waits in our
// own buffer, where the connection limit can end it. (Left to the kernel,
// a slow reader could keep megabytes queued after the close.)
constexpr int kSendBufferBytes = 64 * 1024;

void log_to_stderr(const std::string& line) {
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

int ms_until(steady_time deadline, steady_time now) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(0, left.count()));
}

}  // namespace

http_listener::http_listener(handler_fn handler, std::chrono::milliseconds stall_limit,
                             log_fn problem, at_once_fn at_once)
    : handler_(std::move(handler)),
      stall_limit_(stall_limit),
      problem_(problem ? std::move(problem) : log_fn(log_to_stderr)),
      at_once_(std::move(at_once)) {}

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
  wake_io();
  if (io_thread_.joinable()) io_thread_.join();
  for (std::thread& worker : workers_) worker.join();
  workers_.clear();
  open_.clear();
  {
    mutex_lock lock(mutex_);
    jobs_.clear();
    replies_.clear();
    answering_ = 0;
    held_bytes_ = 0;
  }
  listen_fd_.reset();
  wake_fd_.reset();
  port_.store(0, std::memory_order_release);
}

void http_listener::wake_io() {
  if (!wake_fd_) return;
  const uint64_t one = 1;
  (void)!::write(wake_fd_.get(), &one, sizeof(one));
}

void http_listener::io_loop() {
  request_prompt_wakeup();
  std::vector<pollfd> fds;
  while (true) {
    size_t answering = 0;
    {
      mutex_lock lock(mutex_);
      if (stopping_) return;
      answering = answering_;
    }
    collect_replies();
    const steady_time now = steady_now();
    const bool full = open_.size() + answering >= kMaxOpenConnections;
    const bool paused = now < accept_paused_until_;
    // At the bound a newcomer may still come in by displacing the oldest
    // open connection; with every slot at a worker it waits in the backlog.
    const bool may_accept = !paused && (!full || !open_.empty());
    int timeout = -1;
    if (paused) timeout = ms_until(accept_paused_until_, now);
    if (full && open_.empty()) timeout = kBoundRecheckMs;
    for (const connection& c : open_) {
      const steady_time deadline = c.arrived + (c.writing ? reply_limit() : stall_limit_);
      const int left = ms_until(deadline, now);
      timeout = timeout < 0 ? left : std::min(timeout, left);
    }

    fds.clear();
    fds.push_back({wake_fd_.get(), POLLIN, 0});
    fds.push_back({may_accept ? listen_fd_.get() : -1, POLLIN, 0});
    for (const connection& c : open_) {
      fds.push_back({c.fd.get(), static_cast<short>(c.writing ? POLLOUT : POLLIN), 0});
    }
    if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
      // Only a resource shortage lands here; breathe instead of spinning.
      pollfd wake{wake_fd_.get(), POLLIN, 0};
      ::poll(&wake, 1, kBoundRecheckMs);
      continue;
    }
    if (fds[0].revents != 0) {
      uint64_t count = 0;
      (void)!::read(wake_fd_.get(), &count, sizeof(count));
    }

    // Read and write what is ready first: a request complete by now is
    // served even if its time is also up.
    const steady_time after = steady_now();
    size_t kept = 0;
    for (size_t i = 0; i < open_.size(); ++i) {
      connection& c = open_[i];
      bool keep = true;
      if (c.writing) {
        if (fds[i + 2].revents != 0 || !c.tried) keep = write_ready(c);
        keep = keep && after < c.arrived + reply_limit();
      } else {
        if (fds[i + 2].revents != 0) keep = read_ready(c);
        // A refused request turned into a reply leaves at once.
        if (keep && c.writing) keep = write_ready(c);
        keep = keep && after < c.arrived + (c.writing ? reply_limit() : stall_limit_);
      }
      if (!keep && !c.writing && c.reserved > 0) {
        mutex_lock lock(mutex_);
        held_bytes_ -= c.reserved;
      }
      if (keep) {
        if (kept != i) open_[kept] = std::move(c);
        ++kept;
      }
    }
    open_.resize(kept);
    if (fds[1].revents != 0) accept_ready(after);
  }
}

void http_listener::collect_replies() {
  std::deque<job> done;
  {
    mutex_lock lock(mutex_);
    done.swap(replies_);
    answering_ -= done.size();
  }
  const steady_time now = steady_now();
  for (job& j : done) {
    connection c;
    c.fd = std::move(j.fd);
    c.arrived = now;  // from here on, the reply's own limit
    c.buffer = std::move(j.reply);
    c.writing = true;
    open_.push_back(std::move(c));
  }
}

void http_listener::accept_ready(steady_time now) {
  while (true) {
    size_t answering = 0;
    {
      mutex_lock lock(mutex_);
      answering = answering_;
    }
    const bool full = open_.size() + answering >= kMaxOpenConnections;
    if (full && open_.empty()) return;
    unique_fd fd(::accept4(listen_fd_.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
    if (!fd) {
      const int error = errno;
      if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
        // The listener stays readable: pause rather than spin on it.
        accept_paused_until_ = now + kAcceptPause;
        if (!out_of_descriptors_) {
          out_of_descriptors_ = true;
          problem_("[admin] Out of file descriptors; new connections wait.");
        }
      }
      // Every waiting connection got in: a shortage episode is over.
      if (error == EAGAIN || error == EWOULDBLOCK) out_of_descriptors_ = false;
      return;
    }
    if (full) (void)evict_oldest();  // only now that a newcomer is really there
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &kSendBufferBytes, sizeof(kSendBufferBytes));
    connection c;
    c.fd = std::move(fd);
    c.arrived = now;
    open_.push_back(std::move(c));
  }
}

bool http_listener::evict_oldest() {
  if (open_.empty()) return false;
  auto oldest = std::min_element(open_.begin(), open_.end(),
                                 [](const connection& a, const connection& b) {
                                   return a.arrived < b.arrived;
                                 });
  if (!oldest->writing && oldest->reserved > 0) {
    mutex_lock lock(mutex_);
    held_bytes_ -= oldest->reserved;
  }
  open_.erase(oldest);
  return true;
}

bool http_listener::reserve(connection& c, size_t wanted) {
  if (wanted <= c.reserved) return true;
  mutex_lock lock(mutex_);
  if (held_bytes_ + (wanted - c.reserved) > kMaxHeldRequestBytes) return false;
  held_bytes_ += wanted - c.reserved;
  c.reserved = wanted;
  return true;
}

void http_listener::refuse_too_large(connection& c) {
  {
    mutex_lock lock(mutex_);
    held_bytes_ -= c.reserved;
  }
  c.reserved = 0;
  ::shutdown(c.fd.get(), SHUT_RD);
  c.buffer = response_text(413, "text/plain; charset=utf-8", "request too large");
  c.writing = true;
  c.arrived = steady_now();
}

bool http_listener::read_ready(connection& c) {
  char chunk[kRequestReadChunk];
  for (int i = 0; i < kChunksPerWake; ++i) {
    const ssize_t n = ::recv(c.fd.get(), chunk, sizeof(chunk), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;  // closed or failed before the request was complete
    c.buffer.append(chunk, static_cast<size_t>(n));
    const bool complete = c.framer.complete(c.buffer);
    // Once the length is known, the whole request is counted up front.
    const size_t wanted = std::max(c.buffer.size(), std::min(c.framer.expected_size(),
                                                             kMaxRequestBytes + 1));
    if (!reserve(c, wanted)) {
      refuse_too_large(c);
      return true;
    }
    if (!complete) continue;

    std::optional<http_request_message> request = parse_request(c.buffer);
    if (!request) return false;
    job work{std::move(c.fd), c.arrived, c.reserved, std::move(*request), {}};
    c.reserved = 0;  // now counted by the job
    const bool at_once = at_once_ && work.request.body.size() <= kMaxAtOnceBodyBytes &&
                         at_once_(work.request);
    {
      mutex_lock lock(mutex_);
      ++answering_;
      if (!at_once) jobs_.push_back(std::move(work));
    }
    if (at_once) {
      answer(work);
      finish(work);
    } else {
      work_ready_.notify_one();
    }
    return false;
  }
  return true;
}

bool http_listener::write_ready(connection& c) {
  c.tried = true;
  while (c.sent < c.buffer.size()) {
    const ssize_t n = ::send(c.fd.get(), c.buffer.data() + c.sent, c.buffer.size() - c.sent,
                             MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (n <= 0) return false;
    c.sent += static_cast<size_t>(n);
  }
  return false;
}

void http_listener::worker_loop() {
  request_prompt_wakeup();
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
    finish(work);
  }
}

void http_listener::finish(job& work) {
  const bool replied = !work.reply.empty();
  {
    mutex_lock lock(mutex_);
    held_bytes_ -= work.held;
    if (replied) {
      replies_.push_back(std::move(work));
    } else {
      --answering_;  // no reply: the connection closes here
    }
  }
  if (replied) wake_io();
  work.fd.reset();
}

void http_listener::answer(job& work) {
  http_reply reply;
  try {
    reply = handler_(work.request);
  } catch (...) {
    return;  // no reply rather than a wrong one
  }
  work.request = {};
  work.reply = response_text(reply.status, reply.content_type, reply.body);
}

}  // namespace tolvarine::operator_control
