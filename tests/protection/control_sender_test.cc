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

std::string read_all(int fd) {
  std::string out;
  char buf[4096];
  while (true) {
    const ssize_t n = ::recv(fd, buf, sizeof(buf), 0);
    if (n <= 0) return out;
    out.append(buf, static_cast<size_t>(n));
  }
}

TEST(ControlSenderTest, SendsEveryByteOverTcpAndOneDatagramOverUdp) {
  int port = 0;
  unique_fd listener = bound_socket(SOCK_STREAM, &port);
  ASSERT_TRUE(listener);
  ASSERT_EQ(::listen(listener.get(), 4), 0);
  const std::string big(100000, 'x');  // more than one socket buffer at a time
  std::string error;
  ASSERT_TRUE(send_control_string("127.0.0.1", port, false, "GO\r\n", 1000, &error)) << error;
  unique_fd conn(::accept(listener.get(), nullptr, nullptr));
  EXPECT_EQ(read_all(conn.get()), "GO\r\n");

  unique_fd udp = bound_socket(SOCK_DGRAM, &port);
  ASSERT_TRUE(send_control_string("127.0.0.1", port, true, std::string("\x01\0z", 3), 1000,
                                  &error))
      << error;
  char buf[64];
  EXPECT_EQ(::recv(udp.get(), buf, sizeof(buf), 0), 3);
  EXPECT_EQ(std::string(buf, 3), std::string("\x01\0z", 3));
}

TEST(ControlSenderTest, ClosedTcpPortFailsWithTheUnconfirmedMessage) {
  int port = 0;
  {
    unique_fd reserved = bound_socket(SOCK_STREAM, &port);  // closed again: nobody listens
  }
  std::string error;
  EXPECT_FALSE(send_control_string("127.0.0.1", port, false, "GO", 500, &error));
  EXPECT_EQ(error, "Connect/send failed or timed out; device execution is unconfirmed.");
}

TEST(ControlSenderTest, AStalledReceiverEndsTheSendAtTheDeadline) {
  int port = 0;
  unique_fd listener = bound_socket(SOCK_STREAM, &port);
  ASSERT_EQ(::listen(listener.get(), 4), 0);
  // Never accepted nor read: several megabytes cannot all leave.
  const std::string huge(16 * 1024 * 1024, 'x');
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(send_control_string("127.0.0.1", port, false, huge, 300, &error));
  EXPECT_EQ(error, "Connect/send failed or timed out; device execution is unconfirmed.");
  // Bounded by the deadline (with generous slack for a loaded machine).
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

}  // namespace
}  // namespace tolvarine::operator_control
