#include "server/http_client.h"

#include <gtest/gtest.h>

#include <thread>

#include "server/loopback_server.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;

// A 150 ms time-out is per stalled read: a body arriving 40 ms apart in 15
// pieces is read whole; one still trickling after ten time-outs is cut off.
TEST(HttpReceiveTest, TimeOutIsPerStalledReadWithACeilingOfTen) {
  for (int pieces : {15, 60}) {
    testing::loopback_server server([pieces](int fd, const std::string&) {
      std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(pieces) + "\r\n\r\n";
      testing::loopback_server::send_text(fd, head);
      for (int i = 0; i < pieces; ++i) {
        std::this_thread::sleep_for(40ms);
        if (!testing::loopback_server::send_text(fd, "x")) return;
      }
    });
    const http_response r = http_request("127.0.0.1", server.port(), "GET", "/", "", "", 150, 4096);
    EXPECT_EQ(r.status, pieces == 15 ? 200 : 0) << pieces;
    EXPECT_EQ(r.body, pieces == 15 ? std::string(15, 'x') : "") << pieces;
  }
}

}  // namespace
}  // namespace tolvarine::operator_control
