// A UDP socket bound to one address and port that collects datagrams, for
// tests of command delivery. Not thread-safe: one owner.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <optional>
#include <string>

#include "common/unique_fd.h"

namespace tolvarine::operator_control::testing {

class test_udp_listener {
 public:
  // Binds `address`:`port` (port 0: an ephemeral one). ok() tells whether
  // it worked.
  test_udp_listener(const std::string& address, uint16_t port) {
    fd_.reset(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    if (!fd_) return;
    int one = 1;
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
        ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
      fd_.reset();
      return;
    }
    socklen_t len = sizeof(sa);
    ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
  }

  bool ok() const { return fd_.valid(); }
  uint16_t port() const { return port_; }
  int fd() const { return fd_.get(); }

  // The next datagram, or nothing when none arrives within `limit`.
  std::optional<std::string> receive(std::chrono::milliseconds limit) {
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(limit.count())) <= 0) return std::nullopt;
    std::string buffer(70000, '\0');
    const ssize_t n = ::recv(fd_.get(), buffer.data(), buffer.size(), 0);
    if (n < 0) return std::nullopt;
    buffer.resize(static_cast<size_t>(n));
    return buffer;
  }

 private:
  unique_fd fd_;
  uint16_t port_ = 0;
};

}  // namespace tolvarine::operator_control::testing
