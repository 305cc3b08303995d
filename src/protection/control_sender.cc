#include "protection/control_sender.h"

#include <fcntl.h>
#include <netdb.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>

#include "common/unique_fd.h"
#include "server/name_lookup.h"

namespace tolvarine::operator_control {
namespace {

using clock_type = std::chrono::steady_clock;

long long remaining_ms(clock_type::time_point deadline) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock_type::now())
      .count();
}

// Waits until `fd` is writable or the deadline passes.
bool wait_writable(int fd, clock_type::time_point deadline) {
  while (true) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - clock_type::now());
    if (left.count() <= 0) return false;
    if (fd >= FD_SETSIZE) return false;
    fd_set set;
    FD_ZERO(&set);
    FD_SET(fd, &set);
    timeval tv{static_cast<time_t>(left.count() / 1000000),
               static_cast<suseconds_t>(left.count() % 1000000)};
    const int r = ::select(fd + 1, nullptr, &set, nullptr, &tv);
    if (r > 0) return true;
    if (r == 0) return false;
    if (errno != EINTR) return false;
  }
}

bool send_to_address(const addrinfo& ai, bool udp, const std::string& bytes,
                     clock_type::time_point deadline) {
  unique_fd fd(::socket(ai.ai_family, ai.ai_socktype | SOCK_CLOEXEC, ai.ai_protocol));
  if (!fd) return false;
  const int flags = ::fcntl(fd.get(), F_GETFL, 0);
  if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) < 0) return false;

  if (::connect(fd.get(), ai.ai_addr, ai.ai_addrlen) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return false;
    if (remaining_ms(deadline) < 1) return false;
    if (!wait_writable(fd.get(), deadline)) return false;
    int pending = 0;
    socklen_t len = sizeof(pending);
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &pending, &len) != 0 || pending != 0) {
      return false;
    }
  }

  size_t sent = 0;
  while (sent < bytes.size()) {
    if (remaining_ms(deadline) < 1) break;
    if (!wait_writable(fd.get(), deadline)) break;
    const ssize_t n = ::send(fd.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (udp) break;
      continue;
    }
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
    if (udp) break;  // one datagram
  }
  return sent == bytes.size();
}

}  // namespace

bool send_control_string(const std::string& host, int32_t port, bool udp,
                         const std::string& bytes, int32_t timeout_ms, std::string* error) {
  // One deadline for the whole call, the name lookup included.
  const auto deadline = clock_type::now() + std::chrono::milliseconds(timeout_ms);
  const std::optional<std::vector<resolved_address>> addresses =
      port < 0 || port > 65535
          ? std::nullopt
          : resolve_within(host, static_cast<uint16_t>(port), AF_UNSPEC,
                           udp ? SOCK_DGRAM : SOCK_STREAM, deadline);
  if (!addresses) {
    if (error) *error = "Destination could not be resolved.";
    return false;
  }
  bool ok = false;
  for (const resolved_address& r : *addresses) {
    ok = send_to_address(r.entry(), udp, bytes, deadline);
    if (ok) break;
  }
  if (!ok && error) *error = "Connect/send failed or timed out; device execution is unconfirmed.";
  return ok;
}

}  // namespace tolvarine::operator_control
