// The loopback HTTP server: request framing and parsing, the origin guard,
// and the listener under malformed, stalled and slow requests.
#include "web/http_listener.h"

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include "web/origin_guard.h"
#include "web/test_http_client.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;
using testing::exchange;
using testing::raw_connection;

TEST(HttpRequestFramingTest, FramesSplitsAndFindsHeaders) {
  const std::pair<std::string, bool> complete[] = {
      {"POST /a HTTP/1.1\r\nContent-Length: 4\r\n\r\nabc", false},
      // Only the two spellings count; any other means no body.
      {"POST /a HTTP/1.1\r\nCONTENT-LENGTH: 4\r\n\r\n", true},
      {"POST /a HTTP/1.1\r\nContent-Length: -1\r\n\r\nabc", false},
      {"POST /a HTTP/1.1\r\nContent-Length: junk\r\n\r\n", true},
      {"GET / HTTP/1.1\r\nX: " + std::string(kMaxRequestBytes - 19, 'a'), false},
      {"GET / HTTP/1.1\r\nX: " + std::string(kMaxRequestBytes, 'a'), true},
  };
  for (const auto& [text, done] : complete) EXPECT_EQ(request_complete(text), done) << text.substr(0, 60);

  auto r = parse_request("POST  /api/route?x=1 HTTP/1.1\r\nHost: 1\r\nContent-Length: 3\r\n\r\nabcdef");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->method + "|" + r->path + "|" + r->header_block + "|" + r->body,
            "POST|/api/route?x=1|Host: 1\r\nContent-Length: 3|abc");
  EXPECT_EQ(parse_request("POST /x HTTP/1.1\r\nCONTENT-LENGTH: 3\r\n\r\nabc")->body, "");
  r = parse_request("GET /big HTTP/1.1\r\nX: aaaa");  // cut short at the size bound
  ASSERT_TRUE(r);
  EXPECT_EQ(r->header_block + "|" + r->body, "X: aaaa|");
  for (const char* text : {"", "GET / HTTP/1.1", "\r\n\r\n", "GET\r\n\r\n", "   /\r\n\r\n", " GET \r\n\r\n"})
    EXPECT_FALSE(parse_request(text)) << text;

  const std::string block = "Host: a\r\nORIGIN:\t http://x \r\norigin: y\r\nX-Origin: z\r\nbroken";
  EXPECT_EQ(header_values(block, "Origin"), (std::vector<std::string>{"http://x", "y"}));
  EXPECT_EQ(header_values(block, "host"), (std::vector<std::string>{"a"}));
}

TEST(OriginGuardTest, AllowsOnlyTheLocalPagesAndLoopbackHosts) {
  for (const char* headers : {"", "Host: [::1]:5251", "Origin: http://127.0.0.1:5300",
                              "Origin: http://localhost:5300\r\nHost: localhost"}) {
    EXPECT_TRUE(check_request_origin(headers, 5300, 5251).allowed) << headers;
  }
  // 5270 is not the configured UI port.
  for (const char* headers : {"Origin: http://evil.example", "Origin: null", "Origin: ",
                              "Origin: http://127.0.0.1:5270", "Origin: https://127.0.0.1:5300",
                              "Origin: http://127.0.0.1:5300\r\nOrigin: http://evil.example",
                              "Host: 127.0.0.1:5300", "Host: localhost.evil.example"}) {
    EXPECT_FALSE(check_request_origin(headers, 5300, 5251).allowed) << headers;
  }
  // The refused values on one line, control characters replaced.
  origin_check check = check_request_origin("Host: evil.example:5251\r\nOrigin: null", 5270, 5251);
  EXPECT_EQ(refusal_log_line(check), "[admin] refused origin=null host=evil.example:5251");
  check = check_request_origin("Origin: http://127.0.0.1:5270\r\nOrigin: http://a\nb", 5270, 5251);
  EXPECT_EQ(refusal_log_line(check), "[admin] refused origin=http://a?b host=");
}

constexpr auto kStall = 2000ms;

// A listener on an ephemeral loopback port whose handler echoes the method,
// path and body, throws for "/throw", sleeps for "/slow" and answers
// "/large" with 640 kB.
class HttpListenerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(listener_.start(0)); }

  std::atomic<int> handled_{0};
  http_listener listener_{
      [this](const http_request_message& r) -> http_reply {
        ++handled_;
        if (r.path == "/throw") throw std::runtime_error("boom");
        if (r.path == "/slow") std::this_thread::sleep_for(kStall);
        if (r.path == "/large") return {200, "text/plain", std::string(640000, 'x')};
        return {200, "text/plain", r.method + " " + r.path + " [" + r.body + "]"};
      },
      kStall};
};

TEST_F(HttpListenerTest, AnswersEachRequestAndClosesMalformedOnesWithoutReply) {
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
      "no line end", "\r\n\r\n", " /path\r\n\r\n", "GET\r\n\r\n", std::string("\x00\xff\x13garbage", 10),
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

  raw_connection idle(listener_.port()), half(listener_.port());
  ASSERT_TRUE(half.send_text("POST /x HTTP/1.1\r\n"));
  std::this_thread::sleep_for(50ms);
  listener_.stop();
  EXPECT_EQ(listener_.port(), 0);
  EXPECT_EQ(idle.read_all(kStall / 2).value_or("-") + half.read_all(kStall / 2).value_or("-"), "");
  listener_.stop();  // idempotent
  // A second listener on a port in use fails.
  ASSERT_TRUE(listener_.start(0));
  EXPECT_FALSE(http_listener([](const http_request_message&) { return http_reply{}; })
                   .start(listener_.port()));
}

// 64 clients that read a large reply 4 KiB at a time hold no worker: a
// request is answered meanwhile, and each of them is cut off. Requests held
// at once stay under 16 MiB: the fifth declaring 4 MB is refused at once.
TEST_F(HttpListenerTest, SlowReadersAndMemoryHogsCostTheOthersNothing) {
  const std::string large = testing::get("/large");
  const size_t full = exchange(listener_.port(), large).value_or("").size();
  ASSERT_GT(full, 640000u);
  std::vector<std::unique_ptr<raw_connection>> slow;
  for (int i = 0; i < 64; ++i) {
    slow.push_back(std::make_unique<raw_connection>(listener_.port(), "127.0.0.1", 4096));
    ASSERT_TRUE(slow.back()->send_text(large));
  }
  std::vector<size_t> got(slow.size());
  for (int round = 0; round < 14; ++round, std::this_thread::sleep_for(500ms)) {
    for (size_t i = 0; i < slow.size(); ++i) got[i] += slow[i]->read_some(4096);
    if (round == 2) {
      EXPECT_EQ(exchange(listener_.port(), large, kStall).value_or("").size(), full);
    }
  }
  for (size_t i = 0; i < slow.size(); ++i) {
    EXPECT_LT(got[i] + slow[i]->read_all(kStall).value_or(std::string(full, '+')).size(), full) << i;
  }
  const std::string hog =
      "POST /x HTTP/1.1\r\nContent-Length: 4000000\r\n\r\n" + std::string(100000, '[');
  slow.clear();
  for (int i = 0; i < 5; ++i, std::this_thread::sleep_for(100ms)) {
    slow.push_back(std::make_unique<raw_connection>(listener_.port()));
    ASSERT_TRUE(slow.back()->send_text(hog));
  }
  EXPECT_EQ(testing::status_of(slow.back()->read_all(1s).value_or("")), 413);
  EXPECT_EQ(testing::body_of(exchange(listener_.port(), testing::get("/after")).value_or("")),
            "GET /after []");
}

}  // namespace
}  // namespace tolvarine::operator_control
