#include "web/shell_server.h"

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <set>
#include <thread>

#include "web/operator_page.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;

std::string body_of(const std::string& response) { return response.substr(response.find("\r\n\r\n") + 4); }

TEST(ShellServerTest, DispatchesRequestLinesByRouteTable) {
  browser_handoff handoff;
  const std::string page = shell_reply(200, operator_page(), "text/html; charset=utf-8");
  const std::string found(kShellFound), not_allowed(kShellMethodNotAllowed);
  const struct {
    std::string request;
    std::string response;
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: evil.example\r\n\r\n", page},
      {"GET /?configure=1 HTTP/1.1\r\n\r\n", page},
      {"GET\t/?x\n", page},
      {"GET /index.html HTTP/1.1\r\n\r\n", found},
      {"GET", found},
      {"GET /kel/browser/polls", found},
      {"HEAD / HTTP/1.1\r\n\r\n", not_allowed},
      {"POST / HTTP/1.1\r\n\r\n", not_allowed},
      {"POST /kel/browser/reuse?configure=2 HTTP/1.1\r\n\r\n", not_allowed},
      {"get / HTTP/1.1\r\n\r\n", not_allowed},
      {"\n", not_allowed},
      {std::string("\0GET /", 6), not_allowed},
      {"\xff\xfe\x01garbage", not_allowed},
      {"POST " + std::string(shell_server::kMaxRequestBytes, '/'), not_allowed},
  };
  for (const auto& c : cases) EXPECT_EQ(shell_response(c.request, handoff, 5270), c.response) << c.request;
  EXPECT_TRUE(page.starts_with("HTTP/1.1 200 OK\r\nServer: Tolvarine-Redundancy-Control\r\nContent-Type: "
                              "text/html; charset=utf-8\r\nContent-Length: " +
                              std::to_string(operator_page().size()) +
                              "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n<!DOCTYPE html>"));
  EXPECT_TRUE(body_of(page).ends_with("</body>\n</html>"));
  EXPECT_NE(body_of(page).find("<title>Tolvarine-Redundancy-Control</title>"), std::string::npos);
}

// Two overlapping reuse calls share one request; only the page's own origin
// may poll and acknowledge it; without a tab exactly one caller opens.
TEST(ShellServerTest, HandsOffToOneTabOrOneNewWindow) {
  std::mutex clock_mutex;
  std::set<std::thread::id> waiting;  // threads that read the clock
  std::atomic<long long> ms{1000};
  browser_handoff handoff([&] {
    std::lock_guard<std::mutex> lock(clock_mutex);
    waiting.insert(std::this_thread::get_id());
    return steady_time(std::chrono::milliseconds(ms.load()));
  });
  auto callers = [&] {
    std::lock_guard<std::mutex> lock(clock_mutex);
    return waiting.size() - waiting.count(std::this_thread::get_id());
  };
  auto wait_for_callers = [&](size_t n) {
    for (int i = 0; i < 500 && callers() < n; ++i) std::this_thread::sleep_for(10ms);
    ASSERT_EQ(callers(), n);
  };
  const std::string headers = " HTTP/1.1\r\nHost: 127.0.0.1:5270\r\nOrigin: http://127.0.0.1:5270\r\n\r\n";
  auto request = [&](const std::string& line) { return body_of(shell_response(line + headers, handoff, 5270)); };
  std::string first, second;

  std::thread a([&] { first = request("POST /kel/browser/reuse"); });
  wait_for_callers(1);
  std::thread b([&] { second = request("POST /kel/browser/reuse?configure=1"); });
  wait_for_callers(2);
  for (const char* refused : {"Origin: http://evil.example\r\n", "Origin: null\r\n", "Host: evil.example:5270\r\n",
                              "Origin: http://127.0.0.1:5251\r\n", "Host: 127.0.0.1:5251\r\n"}) {
    EXPECT_EQ(shell_response("GET /kel/browser/poll HTTP/1.1\r\n" + std::string(refused) + "\r\n", handoff, 5270),
              shell_reply(400, "{\"ok\":false,\"error\":\"Request origin not allowed.\"}", "application/json"))
        << refused;
  }
  EXPECT_EQ(shell_response("GET /kel/browser/poll HTTP/1.1\r\nHost: 127.0.0.1:5270\r\n", handoff, 5270).substr(0, 12),
            "HTTP/1.1 400");  // header block never completed
  const std::string id = "1000000000";  // the clock's nanoseconds at creation
  EXPECT_EQ(request("POST /kel/browser/ack?request=" + id), "{\"ok\":false,\"configure\":false}");  // not polled
  EXPECT_EQ(body_of(shell_response("GET /kel/browser/poll\r\nHost: localhost\r\n\r\n", handoff, 5270)),
            "{\"request\":\"" + id + "\"}");
  EXPECT_EQ(request("GET /kel/browser/poll"), "{\"request\":\"\"}");  // delivered once
  EXPECT_EQ(request("POST /kel/browser/ack?request=" + id + "0"), "{\"ok\":false,\"configure\":false}");
  EXPECT_EQ(request("POST /kel/browser/ack?request="), "{\"ok\":false,\"configure\":false}");
  EXPECT_EQ(request("POST /kel/browser/ack?request=" + id), "{\"ok\":true,\"configure\":true}");
  a.join();
  b.join();
  EXPECT_EQ(first, "{\"reused\":true,\"open\":false}");
  EXPECT_EQ(second, "{\"reused\":true,\"open\":false}");

  // No tab: the deadline passes and only the creator opens a window.
  ms += 10;
  {
    std::lock_guard<std::mutex> lock(clock_mutex);
    waiting.clear();  // thread ids are reused
  }
  std::thread c([&] { first = request("POST /kel/browser/reuse"); });
  wait_for_callers(1);
  std::thread d([&] { second = request("POST /kel/browser/reuse"); });
  wait_for_callers(2);
  ms += 1999;
  EXPECT_EQ(request("GET /kel/browser/poll"), "{\"request\":\"1010000000\"}");
  ms += 1;
  EXPECT_EQ(request("POST /kel/browser/ack?request=1010000000"), "{\"ok\":false,\"configure\":false}");
  c.join();
  d.join();
  EXPECT_EQ((std::set<std::string>{first, second}),
            (std::set<std::string>{"{\"reused\":false,\"open\":true}", "{\"reused\":false,\"open\":false}"}));
}

}  // namespace
}  // namespace tolvarine::operator_control
