#include "protection/control_sender.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <string>

#include "common/unique_fd.h"

namespace tolvarine::operator_control {
namespace {

// A loopback stream socket on an ephemeral port, listening.
unique_fd listening_socket(int* port) {
  unique_fd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(addr);
  EXPECT_EQ(::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), len), 0);
  EXPECT_EQ(::listen(fd.get(), 4), 0);
  ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
  *port = ntohs(addr.sin_port);
  return fd;
}

// Every byte over TCP (UDP is covered end to end); a closed port or a
// receiver that never reads fails within the deadline.
TEST(ControlSenderTest, SendsTheBytesOrFailsWithinTheDeadline) {
  auto send = [](int port, const std::string& bytes) {
    std::string error;
    return send_control_string("127.0.0.1", port, false, bytes, 300, &error) ? "sent" : error;
  };
  int port = 0, closed_port = 0;
  unique_fd listener = listening_socket(&port);
  (void)listening_socket(&closed_port);  // closed again: nobody listens
  ASSERT_EQ(send(port, std::string("GO\0\r\n", 5)), "sent");
  unique_fd conn(::accept(listener.get(), nullptr, nullptr));
  char buf[64];
  ASSERT_EQ(::recv(conn.get(), buf, sizeof(buf), MSG_WAITALL), 5);
  EXPECT_EQ(std::string(buf, 5), std::string("GO\0\r\n", 5));
  const char* const kFailed = "Connect/send failed or timed out; device execution is unconfirmed.";
  EXPECT_EQ(send(closed_port, "GO"), kFailed);
  EXPECT_EQ(send(port, std::string(16 << 20, 'x')), kFailed) << "never read";
}

}  // namespace
}  // namespace tolvarine::operator_control
