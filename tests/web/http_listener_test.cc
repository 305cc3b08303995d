#include "web/http_listener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "web/test_http_client.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;
using testing::exchange;
using testing::raw_connection;

constexpr auto kStall = 2000ms;

// A listener on an ephemeral loopback port whose handler echoes the method,
// path and body, throws for "/throw" and sleeps for "/slow".
class HttpListenerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(listener_.start(0)); }

  std::atomic<int> handled_{0};
  http_listener listener_{
      [this](const http_request_message& r) -> http_reply {
        ++handled_;
        if (r.path == "/throw") throw std::runtime_error("boom");
        if (r.path == "/slow") std::this_thread::sleep_for(kStall);
        return {200, "text/plain", r.method + " " + r.path + " [" + r.body + "]"};
      },
      kStall};
};

TEST_F(HttpListenerTest, AnswersEachRequestAndClosesMalformedOnesWithoutReply) {
  EXPECT_TRUE(listener_.start(0));  // already running
  EXPECT_EQ(
      exchange(listener_.port(), testing::post("/api/x?y", "{\"a\":1}")),
      "HTTP/1.1 200 OK\r\nServer: Tolvarine-Redundancy-Control\r\nContent-Type: text/plain\r\n"
      "Content-Length: 23\r\nConnection: close\r\nCache-Control: no-store\r\n"
      "Access-Control-Allow-Origin: *\r\n\r\nPOST /api/x?y [{\"a\":1}]");
  const std::string big(4 * 1024 * 1024 - 200, 'b');  // just under 4 MiB arrives whole
  EXPECT_EQ(testing::body_of(exchange(listener_.port(), testing::post("/big", big)).value_or("")).size(),
            big.size() + 12);

  // Each is closed as soon as it is known to be bad (well before the stall
  // limit), a client hanging up mid-request included.
  const std::string malformed[] = {
      "no line end",
      "\r\n\r\n",
      " /path\r\n\r\n",
      "GET\r\n\r\n",
      std::string("\x00\xff\x13garbage", 10),
      "POST /x HTTP/1.1\r\nContent-Length: 50\r\n\r\nshort",
      "GET /api/status HTTP/1.1\r\nX-Pad: " + std::string(2 * 1024 * 1024, 'p'),
  };
  for (const std::string& text : malformed) {
    raw_connection c(listener_.port());
    (void)c.send_text(text);
    std::this_thread::sleep_for(50ms);  // the listener has read and waits for more
    c.finish_sending();
    EXPECT_EQ(c.read_all(kStall / 2), "") << text.substr(0, 60);
  }
  EXPECT_EQ(exchange(listener_.port(), "GET /throw HTTP/1.1\r\n\r\n"), "");
  EXPECT_EQ(handled_.load(), 3);
}

TEST_F(HttpListenerTest, StalledClientsAndSlowHandlersDoNotBlockOthersAndStopEndsAll) {
  // More silent clients than workers, plus one that sends half a request.
  std::vector<std::unique_ptr<raw_connection>> silent;
  for (int i = 0; i < 20; ++i) silent.push_back(std::make_unique<raw_connection>(listener_.port()));
  ASSERT_TRUE(silent.back()->send_text("GET /half HTTP/1.1\r\nHost: x"));
  EXPECT_EQ(testing::body_of(exchange(listener_.port(), "GET /status HTTP/1.1\r\n\r\n", kStall / 2).value_or("")),
            "GET /status []");
  for (auto& c : silent) EXPECT_EQ(c->read_all(kStall + 1s), "");

  std::vector<std::thread> slow;
  for (int i = 0; i < 3; ++i) {
    slow.emplace_back([this] { (void)exchange(listener_.port(), "GET /slow HTTP/1.1\r\n\r\n"); });
  }
  std::this_thread::sleep_for(50ms);
  EXPECT_TRUE(exchange(listener_.port(), "GET /fast HTTP/1.1\r\n\r\n", kStall / 2));
  for (std::thread& t : slow) t.join();
  EXPECT_EQ(handled_.load(), 5);

  raw_connection idle(listener_.port());
  raw_connection half(listener_.port());
  ASSERT_TRUE(half.send_text("POST /x HTTP/1.1\r\n"));
  std::this_thread::sleep_for(50ms);
  listener_.stop();
  EXPECT_EQ(listener_.port(), 0);
  EXPECT_EQ(idle.read_all(kStall / 2), "");
  EXPECT_EQ(half.read_all(kStall / 2), "");
  listener_.stop();  // idempotent

  // The port can be taken again right away; a second listener on it fails.
  http_listener again([](const http_request_message&) { return http_reply{200, "text/plain", ""}; });
  ASSERT_TRUE(listener_.start(0));
  EXPECT_FALSE(again.start(listener_.port()));
}

}  // namespace
}  // namespace tolvarine::operator_control
