#include "web/http_request_reader.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "common/unique_fd.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;

TEST(HttpRequestFramingTest, KnowsWhenHeadersAndBodyAreIn) {
  const std::pair<std::string, bool> cases[] = {
      {"GET / HTTP/1.1\r\n\r\n", true},
      {"GET / HTTP/1.1\r\nHost: x\r\n", false},
      {"POST /a HTTP/1.1\r\nContent-Length: 4\r\n\r\nabc", false},
      {"POST /a HTTP/1.1\r\nContent-Length: 4\r\n\r\nabcd", true},
      {"POST /a HTTP/1.1\r\ncontent-length: 4\r\n\r\nabcd", true},
      {"POST /a HTTP/1.1\r\ncontent-length:4\r\n\r\nab", false},
      // Only the two spellings count; any other means no body.
      {"POST /a HTTP/1.1\r\nCONTENT-LENGTH: 4\r\n\r\n", true},
      {"POST /a HTTP/1.1\r\nContent-Length: -1\r\n\r\nabc", false},
      {"POST /a HTTP/1.1\r\nContent-Length: junk\r\n\r\n", true},
      {"no line end at all", false},
  };
  for (const auto& [text, complete] : cases) EXPECT_EQ(request_complete(text), complete) << text;

  std::string huge = "GET / HTTP/1.1\r\nX: " + std::string(kMaxRequestBytes, 'a');
  EXPECT_TRUE(request_complete(huge));
  huge.resize(kMaxRequestBytes);
  EXPECT_FALSE(request_complete(huge));
}

TEST(HttpRequestFramingTest, SplitsMethodPathHeadersAndBody) {
  auto r = parse_request("POST  /api/route?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                         "Content-Length: 3\r\n\r\nabcdef");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->method, "POST");
  EXPECT_EQ(r->path, "/api/route?x=1");
  EXPECT_EQ(r->header_block, "Host: 127.0.0.1\r\nContent-Length: 3");
  EXPECT_EQ(r->body, "abc");

  r = parse_request("POST /x HTTP/1.1\r\nCONTENT-LENGTH: 3\r\n\r\nabc");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->body, "");

  r = parse_request("GET /\r\n\r\n");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->path, "/");
  EXPECT_EQ(r->header_block, "");

  // Cut short at the size bound: the header lines that came, no body.
  r = parse_request("GET /big HTTP/1.1\r\nX: aaaa");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->header_block, "X: aaaa");
  EXPECT_EQ(r->body, "");

  const std::string refused[] = {"", "GET / HTTP/1.1", "\r\n\r\n", "GET\r\n\r\n", "   /\r\n\r\n",
                                 " GET \r\n\r\n"};
  for (const std::string& text : refused) EXPECT_FALSE(parse_request(text)) << text;
}

TEST(HttpRequestFramingTest, FindsHeaderValuesWhateverTheNameCase) {
  const std::string block = "Host: a\r\nORIGIN:\t http://x \r\norigin: y\r\nX-Origin: z\r\nbroken";
  EXPECT_EQ(header_values(block, "Origin"), (std::vector<std::string>{"http://x", "y"}));
  EXPECT_EQ(header_values(block, "host"), (std::vector<std::string>{"a"}));
  EXPECT_TRUE(header_values(block, "Referer").empty());
  EXPECT_TRUE(header_values("", "Host").empty());
}

TEST(HttpResponseTest, WritesFixedHeadersAndReasons) {
  EXPECT_EQ(response_text(200, "application/json", "{\"ok\":true}"),
            "HTTP/1.1 200 OK\r\nServer: Tolvarine-Redundancy-Control\r\n"
            "Content-Type: application/json\r\nContent-Length: 11\r\nConnection: close\r\n"
            "Cache-Control: no-store\r\nAccess-Control-Allow-Origin: *\r\n\r\n{\"ok\":true}");
  EXPECT_EQ(reason_phrase(400), "Bad Request");
  EXPECT_EQ(reason_phrase(404), "Not Found");
  EXPECT_EQ(reason_phrase(500), "Not Found");
}

// A connected socket pair: the test writes to client_, the reader reads
// server_.
class ReadRequestTest : public ::testing::Test {
 protected:
  void SetUp() override {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    server_.reset(fds[0]);
    client_.reset(fds[1]);
  }
  void send_text(const std::string& text) {
    ASSERT_EQ(::send(client_.get(), text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  }
  unique_fd server_;
  unique_fd client_;
};

TEST_F(ReadRequestTest, ReadsRequestArrivingInPieces) {
  std::thread writer([this] {
    send_text("POST /api/x HTTP/1.1\r\nContent-");
    std::this_thread::sleep_for(20ms);
    send_text("Length: 5\r\n\r\nab");
    std::this_thread::sleep_for(20ms);
    send_text("cde");
  });
  const auto raw = read_request(server_.get(), steady_now() + 5s);
  writer.join();
  EXPECT_EQ(raw, "POST /api/x HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde");
}

TEST_F(ReadRequestTest, GivesUpOnStallsClosedPeersAndWakeUps) {
  send_text("POST / HTTP/1.1\r\nContent-Length: 10\r\n\r\nshort");
  const steady_time start = steady_now();
  EXPECT_EQ(read_request(server_.get(), start + 200ms), std::nullopt);
  EXPECT_GE(steady_now() - start, 190ms);

  // A request already complete is served even when its deadline has passed.
  SetUp();
  send_text("GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(read_request(server_.get(), steady_now() - 1s), "GET / HTTP/1.1\r\n\r\n");

  SetUp();
  send_text("GET / HTTP/1.1\r\n");
  ::shutdown(client_.get(), SHUT_WR);
  EXPECT_EQ(read_request(server_.get(), steady_now() + 5s), std::nullopt);

  SetUp();
  unique_fd wake(::eventfd(1, 0));
  EXPECT_EQ(read_request(server_.get(), steady_now() + 5s, wake.get()), std::nullopt);
}

}  // namespace
}  // namespace tolvarine::operator_control
