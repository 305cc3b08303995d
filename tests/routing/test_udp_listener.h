// A UDP socket bound to one address and port (0: an ephemeral one) that
// collects datagrams; ok() tells whether the bind worked. Not thread-safe:
// one owner.
#pragma once

#include <arpa/inet.h>
#include <poll.h>

#include <chrono>
#include <optional>
#include <string>

#include "common/unique_fd.h"

namespace tolvarine::operator_control::testing {

class test_udp_listener {
 public:
  test_udp_listener(const std::string& address, uint16_t port)
      : fd_(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)) {
    int one = 1;
    ::setsockopt(fd_.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in sa{AF_INET, htons(port), {}, {}};
    if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
        ::bind(fd_.get(), reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
      fd_.reset();
    }
  }

  bool ok() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  uint16_t port() const {
    sockaddr_in sa{};
    socklen_t len = sizeof(sa);
    ::getsockname(fd_.get(), reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
  }

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
};

}  // namespace tolvarine::operator_control::testing
