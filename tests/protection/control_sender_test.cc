#include "protection/control_sender.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <string>

#include "common/unique_fd.h"

namespace tolvarine::operator_control {
namespace {

// A loopback socket on an ephemeral port, listening when it is a stream.
unique_fd bound_socket(int type, int* port) {
  unique_fd fd(::socket(AF_INET, type, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
  if (type == SOCK_STREAM) {
    EXPECT_EQ(::listen(fd.get(), 4), 0);
  }
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

// Every byte over TCP, one datagram over UDP; a closed port or a receiver
// that never reads fails within the deadline.
TEST(ControlSenderTest, SendsTheBytesOrFailsWithinTheDeadline) {
  auto send = [](int port, bool udp, const std::string& bytes) {
    std::string error;
    return send_control_string("127.0.0.1", port, udp, bytes, 300, &error) ? "sent" : error;
  };
  int tcp_port = 0, udp_port = 0, closed_port = 0;
  unique_fd listener = bound_socket(SOCK_STREAM, &tcp_port);
  unique_fd udp = bound_socket(SOCK_DGRAM, &udp_port);
  (void)bound_socket(SOCK_STREAM, &closed_port);  // closed again: nobody listens
  ASSERT_EQ(send(tcp_port, false, "GO\r\n"), "sent");
  unique_fd conn(::accept(listener.get(), nullptr, nullptr));
  char buf[64];
  ASSERT_EQ(::recv(conn.get(), buf, sizeof(buf), MSG_WAITALL), 4);
  EXPECT_EQ(std::string(buf, 4), "GO\r\n");
  ASSERT_EQ(send(udp_port, true, std::string("\x01\0z", 3)), "sent");
  ASSERT_EQ(::recv(udp.get(), buf, sizeof(buf), 0), 3);
  EXPECT_EQ(std::string(buf, 3), std::string("\x01\0z", 3));

  const char* const kFailed = "Connect/send failed or timed out; device execution is unconfirmed.";
  EXPECT_EQ(send(closed_port, false, "GO"), kFailed);
  EXPECT_EQ(send(tcp_port, false, std::string(16 << 20, 'x')), kFailed) << "never read";
}

}  // namespace
}  // namespace tolvarine::operator_control
