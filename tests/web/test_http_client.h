// Raw HTTP exchanges with a local server, for tests that need to send
// malformed bytes or hold a connection open. Not thread-safe: one owner
// per connection.
#pragma once

#include <arpa/inet.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>

#include "common/clock.h"
#include "common/unique_fd.h"

namespace tolvarine::operator_control::testing {

class raw_connection {
 public:
  // A `receive_buffer` above 0 sets SO_RCVBUF before connecting.
  explicit raw_connection(uint16_t port, const char* address = "127.0.0.1", int receive_buffer = 0)
      : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (receive_buffer > 0) {
      ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof(receive_buffer));
    }
    sockaddr_in sa{AF_INET, htons(port), {}, {}};
    ::inet_pton(AF_INET, address, &sa.sin_addr);
    if (::connect(fd_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) fd_.reset();
  }
  bool ok() const { return fd_.valid(); }

  bool send_text(const std::string& text) {
    return ::send(fd_.get(), text.data(), text.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(text.size());
  }
  void finish_sending() { ::shutdown(fd_.get(), SHUT_WR); }
  // Up to `max` bytes already arrived, without waiting; their count.
  size_t read_some(size_t max) {
    std::string buffer(max, '\0');
    const ssize_t n = ::recv(fd_.get(), buffer.data(), max, MSG_DONTWAIT);
    return static_cast<size_t>(std::max<ssize_t>(n, 0));
  }

  // Everything the server sends until it closes (or resets); nothing if it
  // does not close within `limit`.
  std::optional<std::string> read_all(std::chrono::milliseconds limit) {
    const steady_time deadline = steady_now() + limit;
    std::string out;
    char buffer[16384];
    while (true) {
      pollfd p{fd_.get(), POLLIN, 0};
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - steady_now());
      if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
        return std::nullopt;
      }
      const ssize_t n = ::recv(fd_.get(), buffer, sizeof(buffer), 0);
      if (n <= 0) return out;
      out.append(buffer, static_cast<size_t>(n));
    }
  }

 private:
  unique_fd fd_;
};

// Sends `request` on a fresh connection and returns the whole response, or
// nothing when the connection fails or the server does not close in time.
inline std::optional<std::string> exchange(
    uint16_t port, const std::string& request,
    std::chrono::milliseconds limit = std::chrono::milliseconds(5000)) {
  raw_connection c(port);
  if (!c.ok() || !c.send_text(request)) return std::nullopt;
  return c.read_all(limit);
}

// The body of a raw response (after the first blank line).
inline std::string body_of(const std::string& response) {
  const size_t at = response.find("\r\n\r\n");
  return at == std::string::npos ? std::string() : response.substr(at + 4);
}

// The status code of a raw response, 0 when there is none.
inline int status_of(const std::string& response) {
  const bool has_status = response.starts_with("HTTP/1.1 ") && response.size() >= 12;
  return has_status ? std::stoi(response.substr(9, 3)) : 0;
}

// A POST with a correct Content-Length, a GET; extra header lines each end in CR LF.
inline std::string post(const std::string& path, const std::string& body,
                        const std::string& extra_headers = "") {
  return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:5251\r\n" + extra_headers +
         "Content-Type: text/plain\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" +
         body;
}
inline std::string get(const std::string& path, const std::string& extra_headers = "") {
  return "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1:5251\r\n" + extra_headers + "\r\n";
}

}  // namespace tolvarine::operator_control::testing
