// A scripted one-connection-at-a-time TCP server on 127.0.0.1 with an
// ephemeral port, for client tests. Each accepted connection's request is
// read (at most 2 s), recorded and answered by the behaviour it was given.
// Owns one thread; the destructor joins it.
#pragma once

#include <arpa/inet.h>
#include <poll.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/mutex.h"
#include "common/unique_fd.h"
#include "web/http_request_reader.h"

namespace tolvarine::operator_control::testing {

class loopback_server {
 public:
  // What to do with one connection: gets the socket and the request text.
  using behaviour = std::function<void(int fd, const std::string& request)>;

  explicit loopback_server(behaviour on_request)
      : on_request_(std::move(on_request)),
        listener_(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof(address);
    ::bind(listener_.get(), reinterpret_cast<sockaddr*>(&address), length);
    ::listen(listener_.get(), 16);
    ::getsockname(listener_.get(), reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { run(); });
  }
  ~loopback_server() {
    stop_.store(true);
    thread_.join();
  }

  uint16_t port() const { return port_; }
  std::vector<std::string> requests() const EXCLUDES(mutex_) {
    mutex_lock lock(mutex_);
    return requests_;
  }

  // Writes all of `data` (a blocking send); false when the peer went away.
  static bool send_text(int fd, const std::string& data) {
    return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
  }

 private:
  void run() {
    while (!stop_.load()) {
      pollfd entry{listener_.get(), POLLIN, 0};
      if (::poll(&entry, 1, 20) <= 0) continue;
      unique_fd connection(::accept4(listener_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      const std::string request =
          read_request(connection.get(), steady_now() + std::chrono::seconds(2)).value_or("");
      {
        mutex_lock lock(mutex_);
        requests_.push_back(request);
      }
      on_request_(connection.get(), request);
    }
  }

  behaviour on_request_;
  unique_fd listener_;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  mutable mutex mutex_;
  std::vector<std::string> requests_ GUARDED_BY(mutex_);
  std::thread thread_;
};

// Replies with `text` and closes.
inline loopback_server::behaviour reply_with(std::string text) {
  return [text](int fd, const std::string&) { loopback_server::send_text(fd, text); };
}

}  // namespace tolvarine::operator_control::testing
