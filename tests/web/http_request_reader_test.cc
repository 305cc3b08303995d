#include "web/http_request_reader.h"

#include <gtest/gtest.h>
#include <sys/eventfd.h>
#include <sys/socket.h>

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
      {"POST /a HTTP/1.1\r\ncontent-length:4\r\n\r\nab", false},
      // Only the two spellings count; any other means no body.
      {"POST /a HTTP/1.1\r\nCONTENT-LENGTH: 4\r\n\r\n", true},
      {"POST /a HTTP/1.1\r\nContent-Length: -1\r\n\r\nabc", false},
      {"POST /a HTTP/1.1\r\nContent-Length: junk\r\n\r\n", true},
  };
  for (const auto& [text, complete] : cases) EXPECT_EQ(request_complete(text), complete) << text;

  std::string huge = "GET / HTTP/1.1\r\nX: " + std::string(kMaxRequestBytes, 'a');
  EXPECT_TRUE(request_complete(huge));
  huge.resize(kMaxRequestBytes);
  EXPECT_FALSE(request_complete(huge));
}

TEST(HttpRequestFramingTest, SplitsMethodPathHeadersAndBody) {
  auto r = parse_request(
      "POST  /api/route?x=1 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
      "Content-Length: 3\r\n\r\nabcdef");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->method, "POST");
  EXPECT_EQ(r->path, "/api/route?x=1");
  EXPECT_EQ(r->header_block, "Host: 127.0.0.1\r\nContent-Length: 3");
  EXPECT_EQ(r->body, "abc");
  EXPECT_EQ(parse_request("POST /x HTTP/1.1\r\nCONTENT-LENGTH: 3\r\n\r\nabc")->body, "");
  EXPECT_EQ(parse_request("GET /\r\n\r\n")->path, "/");

  // Cut short at the size bound: the header lines that came, no body.
  r = parse_request("GET /big HTTP/1.1\r\nX: aaaa");
  ASSERT_TRUE(r);
  EXPECT_EQ(r->header_block, "X: aaaa");
  EXPECT_EQ(r->body, "");

  for (const char* text :
       {"", "GET / HTTP/1.1", "\r\n\r\n", "GET\r\n\r\n", "   /\r\n\r\n", " GET \r\n\r\n"}) {
    EXPECT_FALSE(parse_request(text)) << text;
  }
}

TEST(HttpRequestFramingTest, FindsHeaderValuesWhateverTheNameCase) {
  const std::string block = "Host: a\r\nORIGIN:\t http://x \r\norigin: y\r\nX-Origin: z\r\nbroken";
  EXPECT_EQ(header_values(block, "Origin"), (std::vector<std::string>{"http://x", "y"}));
  EXPECT_EQ(header_values(block, "host"), (std::vector<std::string>{"a"}));
  EXPECT_TRUE(header_values(block, "Referer").empty());
  EXPECT_EQ(reason_phrase(400), "Bad Request");
  EXPECT_EQ(reason_phrase(404), "Not Found");
}

// Stalls and closed peers are covered through the listener; here the
// reader's own edges: pieces, a passed deadline, a wake-up.
TEST(ReadRequestTest, ReadsPiecesAndStopsOnWakeUp) {
  const auto connected = [] {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    return std::pair<unique_fd, unique_fd>(fds[0], fds[1]);
  };
  const auto send_text = [](const unique_fd& fd, const std::string& text) {
    ASSERT_EQ(::send(fd.get(), text.data(), text.size(), 0), static_cast<ssize_t>(text.size()));
  };
  auto [server, client] = connected();
  std::thread writer([&, &client = client] {
    for (const char* piece : {"POST /api/x HTTP/1.1\r\nContent-", "Length: 5\r\n\r\nab", "cde"}) {
      send_text(client, piece);
      std::this_thread::sleep_for(20ms);
    }
  });
  EXPECT_EQ(read_request(server.get(), steady_now() + 5s),
            "POST /api/x HTTP/1.1\r\nContent-Length: 5\r\n\r\nabcde");
  writer.join();

  // A request already complete is served even when its deadline has passed.
  auto [server2, client2] = connected();
  send_text(client2, "GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(read_request(server2.get(), steady_now() - 1s), "GET / HTTP/1.1\r\n\r\n");

  auto [server3, client3] = connected();
  unique_fd wake(::eventfd(1, 0));
  EXPECT_EQ(read_request(server3.get(), steady_now() + 5s, wake.get()), std::nullopt);
}

}  // namespace
}  // namespace tolvarine::operator_control
