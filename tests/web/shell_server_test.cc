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

TEST(ShellServerTest, DispatchesRequestLinesByRouteTable) {
  browser_handoff handoff;
  const std::string page = shell_reply(200, operator_page(), "text/html; charset=utf-8");
  const std::string found(kShellFound), refused(kShellMethodNotAllowed);
  const std::pair<std::string, std::string> cases[] = {
      {"GET /?configure=1 HTTP/1.1\r\nHost: evil.example\r\n\r\n", page}, {"GET\t/?x\n", page},
      {"GET", found}, {"GET /kel/browser/polls", found}, {"get / HTTP/1.1", refused}, {"\n", refused},
      {std::string("\0GET /", 6), refused}, {"\xff\xfe\x01", refused},
      {"POST /kel/browser/reuse?configure=2", refused}, {"POST " + std::string(16383, '/'), refused}};
  for (const auto& [request, response] : cases) EXPECT_EQ(shell_response(request, handoff, 5270), response) << request;
  EXPECT_TRUE(page.starts_with("HTTP/1.1 200 OK\r\nServer: Tolvarine-Redundancy-Control\r\nContent-Type: text/html; "
                               "charset=utf-8\r\nContent-Length: " + std::to_string(operator_page().size()) +
                               "\r\nConnection: close\r\nCache-Control: no-store\r\n\r\n<!DOCTYPE html>"));
  EXPECT_TRUE(page.ends_with("</body>\n</html>"));
}

// Overlapping reuse calls share one request; only the page's own origin may
// poll and acknowledge it; without a tab exactly one caller opens a window.
TEST(ShellServerTest, HandsOffToOneTabOrOneNewWindow) {
  std::mutex clock_mutex;
  std::set<std::thread::id> readers;  // threads that read the clock
  std::atomic<long long> ms{1000};
  browser_handoff handoff([&] {
    std::lock_guard<std::mutex> lock(clock_mutex);
    readers.insert(std::this_thread::get_id());
    return steady_time(std::chrono::milliseconds(ms.load()));
  });
  auto start_reuse = [&](std::string& answer, const std::string& target, size_t readers_after) {
    std::thread t([&answer, &handoff, target] { answer = shell_response("POST " + target + "\r\n\r\n", handoff, 5270); });
    auto count = [&] { return std::lock_guard<std::mutex>(clock_mutex), readers.size(); };
    for (int i = 0; i < 500 && count() < readers_after; ++i) std::this_thread::sleep_for(10ms);
    return t;
  };
  auto body = [&](const std::string& line, const std::string& headers = "Origin: http://localhost:5270\r\n") {
    const std::string response = shell_response(line + " HTTP/1.1\r\n" + headers + "\r\n", handoff, 5270);
    return response.substr(response.find("\r\n\r\n") + 4);
  };
  const std::string refused = "{\"ok\":false,\"error\":\"Request origin not allowed.\"}";
  const std::string not_acknowledged = "{\"ok\":false,\"configure\":false}";
  std::string first, second;
  std::thread a = start_reuse(first, "/kel/browser/reuse", 1);
  std::thread b = start_reuse(second, "/kel/browser/reuse?configure=1", 2);
  for (const char* bad : {"Origin: http://evil.example\r\n", "Origin: null\r\n", "Host: evil.example:5270\r\n",
                          "Origin: http://127.0.0.1:5251\r\n", "Host: 127.0.0.1:5251\r\n", "Host: localhost:5270"}) {
    EXPECT_EQ(body("GET /kel/browser/poll", bad), refused) << bad;  // the last one never ends its headers
  }
  EXPECT_EQ(body("POST /kel/browser/ack?request=1000000000"), not_acknowledged);  // not polled yet
  EXPECT_EQ(body("GET /kel/browser/poll", "Host: [::1]:5270\r\n"), "{\"request\":\"1000000000\"}");
  EXPECT_EQ(body("GET /kel/browser/poll"), "{\"request\":\"\"}");  // handed out once
  for (const char* id : {"", "10000000000", "100000000"}) {
    EXPECT_EQ(body("POST /kel/browser/ack?request=" + std::string(id)), not_acknowledged) << id;
  }
  EXPECT_EQ(body("POST /kel/browser/ack?request=1000000000", "Origin: http://evil.example\r\n"), refused);
  EXPECT_EQ(body("POST /kel/browser/ack?request=1000000000"), "{\"ok\":true,\"configure\":true}");
  a.join(), b.join();
  EXPECT_EQ(first.substr(first.find('{')) + second.substr(second.find('{')),
            "{\"reused\":true,\"open\":false}{\"reused\":true,\"open\":false}");

  ms += 10;
  { std::lock_guard<std::mutex> lock(clock_mutex); readers.clear(); }  // thread ids are reused
  std::thread c = start_reuse(first, "/kel/browser/reuse", 1), d = start_reuse(second, "/kel/browser/reuse", 2);
  ms += 1999;
  EXPECT_EQ(body("GET /kel/browser/poll"), "{\"request\":\"1010000000\"}");
  ms += 1;
  EXPECT_EQ(body("POST /kel/browser/ack?request=1010000000"), not_acknowledged);  // past its deadline
  c.join(), d.join();
  EXPECT_EQ(std::set<std::string>({first.substr(first.find('{')), second.substr(second.find('{'))}),
            std::set<std::string>({"{\"reused\":false,\"open\":true}", "{\"reused\":false,\"open\":false}"}));
}

}  // namespace
}  // namespace tolvarine::operator_control
