#include "protection/control_sender.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "common/unique_fd.h"

namespace tolvarine::operator_control {
namespace {

const char* const kFailed = "Connect/send failed or timed out; device execution is unconfirmed.";

// A loopback socket on an ephemeral port.
unique_fd bound_socket(int type, int* port) {
  unique_fd fd(::socket(AF_INET, type, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) return {};
  socklen_t len = sizeof(addr);
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

TEST(ControlSenderTest, SendsEveryByteOverTcpAndOneDatagramOverUdp) {
  int port = 0;
  unique_fd listener = bound_socket(SOCK_STREAM, &port);
  ASSERT_EQ(::listen(listener.get(), 4), 0);
  std::string error;
  ASSERT_TRUE(send_control_string("127.0.0.1", port, false, "GO\r\n", 1000, &error)) << error;
  unique_fd conn(::accept(listener.get(), nullptr, nullptr));
  std::string got;
  char buf[64];
  for (ssize_t n; (n = ::recv(conn.get(), buf, sizeof(buf), 0)) > 0;) {
    got.append(buf, static_cast<size_t>(n));
  }
  EXPECT_EQ(got, "GO\r\n");

  const std::string datagram("\x01\0z", 3);
  unique_fd udp = bound_socket(SOCK_DGRAM, &port);
  ASSERT_TRUE(send_control_string("127.0.0.1", port, true, datagram, 1000, &error)) << error;
  ASSERT_EQ(::recv(udp.get(), buf, sizeof(buf), 0), 3);
  EXPECT_EQ(std::string(buf, 3), datagram);
}

TEST(ControlSenderTest, ClosedPortOrStalledReceiverFailsWithinTheDeadline) {
  int closed_port = 0;
  (void)bound_socket(SOCK_STREAM, &closed_port);  // closed again: nobody listens
  int stalled_port = 0;
  unique_fd listener = bound_socket(SOCK_STREAM, &stalled_port);
  ASSERT_EQ(::listen(listener.get(), 4), 0);  // never accepted nor read
  const std::string huge(16 * 1024 * 1024, 'x');
  for (const auto& [port, bytes] : {std::pair{closed_port, std::string("GO")},
                                    std::pair{stalled_port, huge}}) {
    std::string error;
    EXPECT_FALSE(send_control_string("127.0.0.1", port, false, bytes, 300, &error)) << port;
    EXPECT_EQ(error, kFailed);
  }
}

}  // namespace
}  // namespace tolvarine::operator_control
