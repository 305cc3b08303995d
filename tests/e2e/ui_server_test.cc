// The operator UI server of the built agent: exit code 4, the page, the
// browser hand-off between instances (a stub xdg-open first on PATH records
// every browser the program opens) and port moves. Silent and slow clients:
// http_listener_test.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/test_env.h"
#include "web/operator_page.h"
#include "web/shell_server.h"
#include "web/test_http_client.h"

namespace tolvarine::operator_control::testing {
namespace {

using namespace std::chrono_literals;

std::string page_request(const std::string& line, int port = 5270) {
  const std::string address = "127.0.0.1:" + std::to_string(port);
  return line + " HTTP/1.1\r\nHost: " + address + "\r\nOrigin: http://" + address + "\r\n\r\n";
}

TEST(UiServerTest, ServesHandsOffAndMovesThePort) {
  ASSERT_TRUE(in_test_network()) << kNeedsTestNetwork;
  temp_dir home, work;
  const std::string settings = work.file("operator-control.json"), out = work.file("out"), err = work.file("err");
  const std::string opened = work.file("opened");
  std::filesystem::create_directories(work.file("bin"));
  write_text(work.file("bin/xdg-open"), "#!/bin/sh\necho \"$# $1\" >> " + opened + "\n");
  ::chmod(work.file("bin/xdg-open").c_str(), 0755);
  auto run = [&](std::vector<std::string> args) {
    args.insert(args.end(), {"--console", "--config", settings});
    child_process::options o = agent_options(args, home.path(), out, err);
    o.env["PATH"] = work.file("bin") + ":" + std::getenv("PATH");
    return o;
  };
  auto exit_code = [&](std::vector<std::string> args) { return child_process(run(args)).wait_for(10s).value_or(-1); };
  auto admin_status = [](const std::string& port) {
    return status_of(exchange(5251, get("/api/status", "Origin: http://127.0.0.1:" + port + "\r\n")).value_or(""));
  };

  unique_fd taken(::socket(AF_INET, SOCK_STREAM, 0));  // something else listens on 5290
  sockaddr_in sa{.sin_family = AF_INET, .sin_port = htons(5290), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
  ASSERT_EQ(::bind(taken.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) | ::listen(taken.get(), 4), 0);
  write_text(settings, R"({"uiPort":5290})");
  EXPECT_EQ(exit_code({"--background"}), 4);
  EXPECT_EQ(read_text(err), "Unable to start Redundancy Control shell on 127.0.0.1:5290\n");
  EXPECT_FALSE(raw_connection(5251).ok());  // the admin API was stopped

  write_text(settings, R"({"uiPort":5270})");
  child_process agent(run({"--background"}));
  ASSERT_TRUE(eventually([&] { return file_has(out, "Log:"); }, 10s)) << read_text(err);
  const std::string page = shell_reply(200, operator_page(), "text/html; charset=utf-8");
  EXPECT_EQ(exchange(5270, page_request("GET /")), page);

  // A second start is handed to the open tab that polls and acknowledges.
  child_process second(run({}));
  std::string id;
  ASSERT_TRUE(eventually([&] { return (id = body_of(exchange(5270, page_request("GET /kel/browser/poll")).value_or(""))).size() > 14; }, 5s));
  EXPECT_EQ(body_of(exchange(5270, page_request("POST /kel/browser/ack?request=" + id.substr(12, id.size() - 14))).value_or("")),
            "{\"ok\":true,\"configure\":false}");
  EXPECT_EQ(second.wait_for(10s), 0);
  // Two starts at once with no tab: exactly one browser; --background: none.
  child_process third(run({})), fourth(run({}));
  EXPECT_EQ(third.wait_for(10s).value_or(-1) | fourth.wait_for(10s).value_or(-1) | exit_code({"--background"}), 0);
  ASSERT_TRUE(eventually([&] { return !read_text(opened).empty(); }, 5s));
  std::this_thread::sleep_for(500ms);  // a second opener would have written by now
  EXPECT_EQ(read_text(opened), "1 http://127.0.0.1:5270/\n");

  // Moving the port moves the server; the old page's origin stays allowed.
  EXPECT_EQ(status_of(exchange(5251, post("/api/configure", R"({"uiPort":5271})")).value_or("")), 200);
  ASSERT_TRUE(eventually([&] { return file_has(out, "[shell] UI port changed to 5271\n"); }, 5s));
  EXPECT_FALSE(raw_connection(5270).ok());
  EXPECT_EQ(admin_status("5270"), 200);
  EXPECT_EQ(admin_status("5271"), 200);
  // A taken port is reported, and the old one put back, saved and served.
  EXPECT_EQ(status_of(exchange(5251, post("/api/configure", R"({"uiPort":5290})")).value_or("")), 200);
  ASSERT_TRUE(eventually([&] {
    return file_has(err, "[shell] unable to bind requested UI port 5290; restoring 5271\n") &&
           file_has(settings, "\"uiPort\":5271");
  }, 5s)) << read_text(err);
  EXPECT_EQ(admin_status("5290"), 400);
  auto served = [] { return status_of(exchange(5271, page_request("GET /", 5271), 1s).value_or("")) == 200; };
  EXPECT_TRUE(eventually(served, 5s));
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.wait_for(10s), 0);
}

}  // namespace
}  // namespace tolvarine::operator_control::testing
