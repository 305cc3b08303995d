#include "server/http_client.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "server/loopback_server.h"

namespace tolvarine::operator_control {
namespace {

using testing::loopback_server;
using testing::reply_with;

constexpr size_t kLimit = 262144;

// Sends `text` and keeps the connection open until the client gives up
// (a client without a time limit hangs the test until ctest ends it).
loopback_server::behaviour send_then_hold(std::string text) {
  return [text](int fd, const std::string&) {
    if (!text.empty()) loopback_server::send_text(fd, text);
    char byte;
    pollfd entry{fd, POLLIN, 0};
    while (::poll(&entry, 1, 60000) > 0 && ::recv(fd, &byte, 1, 0) > 0) {
    }
  };
}

// Each answer as "<status>:<body>".
TEST(HttpResponseParser, StatusLengthAndChunkRules) {
  const std::string ok = "HTTP/1.1 200 OK\r\n", chunked = ok + "Transfer-Encoding: chunked\r\n\r\n";
  const std::pair<std::string, std::string> rows[] = {
      {"HTTP/1.1 404 Not Found\r\n\r\nmissing", "404:missing"},
      {ok + "Transfer-Encoding: Chunked\r\n\r\n5\r\nhello\r\n6;x=1\r\n world\r\n0\r\n\r\n",
       "200:hello world"},
      {ok + "transfer-encoding: gzip, chunked\r\n\r\n3\r\nabc\r\n0\r\nX-Trailer: 1\r\n\r\n",
       "200:abc"},
      {chunked + "zz\r\nhello\r\n0\r\n\r\n", "0:"},
      {chunked + "5\r\nhelloXX0\r\n\r\n", "0:"},
      {chunked + "5\r\nhel", "0:"},
      {chunked + "5\r\nhello\r\n", "0:"},
      {chunked + "ffffffffffffffffff\r\nx\r\n", "0:"},
      {ok + "X-Transfer-Encoding: chunked\r\n\r\n5\r\nhi\r\n0\r\n\r\n", "200:5\r\nhi\r\n0\r\n\r\n"},
      {ok + "Content-Length: 10\r\n\r\nabcd", "0:"},
      {ok + "Content-Length: 10\r\n\r\n0123456789ABCD", "200:0123456789"},
      {ok + "content-length:\t 3\r\n\r\nabcdef", "200:abc"},
      {ok + "Content-Length: 003\r\n\r\nabcdef", "200:abc"},
      {ok + "Content-Length: 0\r\n\r\nkept", "200:kept"},
      {ok + "Content-Length: x\r\n\r\nkept", "200:kept"},
      {ok + "Content-Length: 99999999999999999999999\r\n\r\nabc", "0:"},
      {ok + "Server: x\r\n", "200:"},
      {"HTTP/1.1 abc\r\n\r\nbody", "0:"},
      {"HTTP/1.1 200 OK", "0:"},
      {"", "0:"},
      {"\r\n", "0:"},
  };
  for (const auto& [raw, expected] : rows) {
    const http_response response = parse_http_response(raw);
    EXPECT_EQ(std::to_string(response.status) + ":" + response.body, expected) << raw;
  }
}

TEST(UrlEncode, KeepsUnreservedAndEncodesTheRest) {
  EXPECT_EQ(url_encode("a b/\xC3\xBC"), "a+b%2F%C3%BC");
  EXPECT_EQ(url_encode("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(url_encode("\n&=+%"), "%0A%26%3D%2B%25");
  EXPECT_EQ(url_encode(std::string("\0\xFF", 2)), "%00%FF");
  EXPECT_EQ(url_encode(""), "");
}

TEST(HttpRequest, SendsTheRequestAndReadsTheAnswer) {
  loopback_server server(reply_with("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"));
  http_response response = http_request("127.0.0.1", server.port(), "POST", "/Home/Echo?x=1", "abc",
                                        "text/plain", 2000, kLimit);
  EXPECT_EQ(response.status, 200);
  EXPECT_EQ(response.body, "hello");
  ASSERT_EQ(server.requests().size(), 1u);
  EXPECT_EQ(server.requests()[0],
            "POST /Home/Echo?x=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                "\r\nConnection: close\r\nAccept: application/json,text/plain,*/*\r\n"
                "Content-Type: text/plain\r\nContent-Length: 3\r\n\r\nabc");

  // "localhost" resolves (possibly to ::1 first); the loopback IPv4 address
  // still answers when the first address refuses.
  response = http_request("localhost", server.port(), "GET", "/", "", "", 2000, kLimit);
  EXPECT_EQ(response.status, 200);
}

TEST(HttpRequest, MisbehavingServersEndWithinTheTimeLimit) {
  struct row {
    const char* name;
    loopback_server::behaviour behaviour;
    int status;
    std::string body;
  };
  std::string endless_chunks = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel";
  const row rows[] = {
      {"never answers", send_then_hold(""), 0, ""},
      {"answers and never closes",
       send_then_hold("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"), 200,
       "ok"},
      {"status line only, no header end", reply_with("HTTP/1.1 204 No Content\r\n"), 204, ""},
      {"short body against Content-Length",
       reply_with("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabcd"), 0, ""},
      {"broken chunks then silence", send_then_hold(endless_chunks), 0, ""},
      {"garbage", reply_with("\x01\x02garbage without lines"), 0, ""},
      {"closes at once", reply_with(""), 0, ""},
  };
  uint16_t closed_port = 0;  // had a listener a moment ago, has none now
  for (const row& r : rows) {
    loopback_server server(r.behaviour);
    closed_port = server.port();
    http_response response =
        http_request("127.0.0.1", server.port(), "GET", "/Home/GetKelHealth", "", "", 250, kLimit);
    EXPECT_EQ(response.status, r.status) << r.name;
    EXPECT_EQ(response.body, r.body) << r.name;
  }
  for (const char* host : {"127.0.0.1", "", "bad host name"}) {
    http_response response = http_request(host, closed_port, "GET", "/", "", "", 300, kLimit);
    EXPECT_TRUE(response.status == 0 && response.body.empty()) << host;
  }
}

TEST(HttpRequest, OversizedAnswersAreCutAtTheLimit) {
  // The server would send 100 MB; the client stops reading at its limit.
  loopback_server server([](int fd, const std::string&) {
    loopback_server::send_text(fd, "HTTP/1.1 200 OK\r\n\r\n");
    std::string block(65536, 'x');
    for (int i = 0; i < 1600; ++i) {
      if (!loopback_server::send_text(fd, block)) break;
    }
  });
  http_response response = http_request("127.0.0.1", server.port(), "GET", "/", "", "", 2000, 4096);
  EXPECT_EQ(response.status, 200);
  EXPECT_GE(response.body.size(), 4096u - 19u);
  EXPECT_LT(response.body.size(), 4096u + 16384u);
}

}  // namespace
}  // namespace tolvarine::operator_control
