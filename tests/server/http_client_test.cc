#include "server/http_client.h"

#include <gtest/gtest.h>

#include <future>
#include <string>

#include "protection/control_sender.h"
#include "server/loopback_server.h"
#include "server/name_lookup.h"

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
      {chunked + "5\r\nhello\r\n", "0:"},
      {chunked + "ffffffffffffffffff\r\nx\r\n", "0:"},
      {ok + "X-Transfer-Encoding: chunked\r\n\r\n5\r\nhi\r\n0\r\n\r\n", "200:5\r\nhi\r\n0\r\n\r\n"},
      {ok + "Content-Length: 10\r\n\r\nabcd", "0:"},
      {ok + "Content-Length: 10\r\n\r\n0123456789ABCD", "200:0123456789"},
      {ok + "content-length:\t 3\r\n\r\nabcdef", "200:abc"},
      {ok + "Content-Length: 0\r\n\r\nkept", "200:kept"},
      {ok + "Content-Length: 99999999999999999999999\r\n\r\nabc", "0:"},
      {"HTTP/1.1 abc\r\n\r\nbody", "0:"},
      {"HTTP/1.1 200 OK", "0:"},
  };
  for (const auto& [raw, expected] : rows) {
    const http_response response = parse_http_response(raw);
    EXPECT_EQ(std::to_string(response.status) + ":" + response.body, expected) << raw;
  }
}

TEST(UrlEncode, KeepsUnreservedAndEncodesTheRest) {
  EXPECT_EQ(url_encode(std::string("a b/\xC3\xBC AZaz09-._~\n&=+%\0", 23)),
            "a+b%2F%C3%BC+AZaz09-._~%0A%26%3D%2B%25%00");
}

TEST(HttpRequest, SendsTheRequestAndReadsTheAnswer) {
  loopback_server server(reply_with("HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"));
  http_response response = http_request("127.0.0.1", server.port(), "POST", "/Home/Echo?x=1", "abc",
                                        "text/plain", 2000, kLimit);
  EXPECT_EQ(std::to_string(response.status) + ":" + response.body, "200:hello");
  EXPECT_EQ(server.requests(),
            std::vector<std::string>{
                "POST /Home/Echo?x=1 HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(server.port()) +
                "\r\nConnection: close\r\nAccept: application/json,text/plain,*/*\r\n"
                "Content-Type: text/plain\r\nContent-Length: 3\r\n\r\nabc"});
}

// Each outcome as "<status>:<body>"; a port that had a listener a moment
// ago and an unusable host give status 0 too. The server would send 100 MB
// at most; the client stops reading at its limit.
TEST(HttpRequest, MisbehavingServersEndWithinTheTimeAndSizeLimits) {
  const std::pair<loopback_server::behaviour, std::string> rows[] = {
      {send_then_hold(""), "0:"},
      {send_then_hold("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"), "200:ok"},
      {reply_with("HTTP/1.1 204 No Content\r\n"), "204:"},
      {reply_with("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nabcd"), "0:"},
      {send_then_hold("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhel"), "0:"},
      {reply_with("\x01\x02garbage without lines"), "0:"},
      {reply_with(""), "0:"},
  };
  uint16_t closed_port = 0;
  for (size_t i = 0; i < std::size(rows); ++i) {
    loopback_server server(rows[i].first);
    closed_port = server.port();
    const http_response r =
        http_request("127.0.0.1", server.port(), "GET", "/Home/GetKelHealth", "", "", 250, kLimit);
    EXPECT_EQ(std::to_string(r.status) + ":" + r.body, rows[i].second) << i;
  }
  for (const char* host : {"127.0.0.1", "", "bad host name"}) {
    const http_response r = http_request(host, closed_port, "GET", "/", "", "", 300, kLimit);
    EXPECT_TRUE(r.status == 0 && r.body.empty()) << host;
  }

  loopback_server server([](int fd, const std::string&) {
    loopback_server::send_text(fd, "HTTP/1.1 200 OK\r\n\r\n");
    for (int i = 0; i < 1600 && loopback_server::send_text(fd, std::string(65536, 'x')); ++i) {
    }
  });
  const http_response r = http_request("127.0.0.1", server.port(), "GET", "/", "", "", 2000, 4096);
  EXPECT_EQ(r.status, 200);
  EXPECT_TRUE(r.body.size() >= 4096u - 19u && r.body.size() < 4096u + 16384u) << r.body.size();
}

// With the resolver hanging, an action and a health request give up at
// their own time limit; a failing one gives the resolution message;
// numeric addresses never ask it.
TEST(NameLookup, LookupsCostOnlyTheCallsOwnTimeLimit) {
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  auto asked = std::make_shared<std::atomic<int>>(0);
  const name_lookup_fn previous =
      set_name_lookup([=](const std::string& host, const std::string&, int, int) {
        if (++*asked && host != "gone.example") released.wait();
        return std::optional<std::vector<resolved_address>>();
      });
  std::string error;
  EXPECT_EQ(http_request("server.example", 5000, "GET", "/", "", "", 100, 4096).status, 0);
  for (const char* host : {"device.example", "gone.example"}) {
    EXPECT_FALSE(send_control_string(host, 9000, false, "GO", 100, &error));
    EXPECT_EQ(error, "Destination could not be resolved.") << host;
  }
  EXPECT_TRUE(send_control_string("127.0.0.1", 9, true, "GO", 100, &error));
  EXPECT_EQ(asked->load(), 3);
  release.set_value();  // the hanging lookups end only now
  set_name_lookup(previous);
}

}  // namespace
}  // namespace tolvarine::operator_control
