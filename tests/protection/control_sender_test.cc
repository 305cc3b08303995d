#include "protection/control_sender.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

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
  socklen_t len = sizeof(addr);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

// Every byte over TCP, one datagram over UDP; a closed port or a receiver
// that never reads fails within the deadline.
TEST(ControlSenderTest, SendsTheBytesOrFailsWithinTheDeadline) {
  int port = 0;
  unique_fd listener = bound_socket(SOCK_STREAM, &port);
  ASSERT_EQ(::listen(listener.get(), 4), 0);
  std::string error, got;
  ASSERT_TRUE(send_control_string("127.0.0.1", port, false, "GO\r\n", 1000, &error)) << error;
  unique_fd conn(::accept(listener.get(), nullptr, nullptr));
  char buf[64];
  for (ssize_t n; (n = ::recv(conn.get(), buf, sizeof(buf), 0)) > 0;) got.append(buf, n);
  EXPECT_EQ(got, "GO\r\n");
  const std::string datagram("\x01\0z", 3);
  unique_fd udp = bound_socket(SOCK_DGRAM, &port);
  ASSERT_TRUE(send_control_string("127.0.0.1", port, true, datagram, 1000, &error)) << error;
  ASSERT_EQ(::recv(udp.get(), buf, sizeof(buf), 0), 3);
  EXPECT_EQ(std::string(buf, 3), datagram);

  int closed_port = 0, stalled_port = 0;
  (void)bound_socket(SOCK_STREAM, &closed_port);  // closed again: nobody listens
  unique_fd stalled = bound_socket(SOCK_STREAM, &stalled_port);
  ASSERT_EQ(::listen(stalled.get(), 4), 0);  // never accepted nor read
  auto failure = [](int to, const std::string& bytes) {
    std::string e;
    return send_control_string("127.0.0.1", to, false, bytes, 300, &e) ? "sent" : e;
  };
  const char* const kFailed = "Connect/send failed or timed out; device execution is unconfirmed.";
  EXPECT_EQ(failure(closed_port, "GO"), kFailed);
  EXPECT_EQ(failure(stalled_port, std::string(16 << 20, 'x')), kFailed);
}

}  // namespace
}  // namespace tolvarine::operator_control
