// The operator UI server of the built agent: its routes, the browser
// hand-off between instances (a stub xdg-open first on PATH records every
// browser the program opens), exit code 4, port moves and many silent
// connections.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>
#include <memory>

#include "e2e/agent_process.h"
#include "support/test_env.h"
#include "web/operator_page.h"
#include "web/shell_server.h"
#include "web/test_http_client.h"

namespace tolvarine::operator_control::testing {
namespace {

using namespace std::chrono_literals;

class UiServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!in_test_network()) GTEST_FAIL() << kNeedsTestNetwork;
    std::filesystem::create_directories(work_.file("bin"));
    std::filesystem::create_directories(work_.file("cfg"));
    write_text(work_.file("bin/xdg-open"), "#!/bin/sh\necho \"$# $1\" >> " + opened_ + "\n");
    ::chmod(work_.file("bin/xdg-open").c_str(), 0755);
  }
  void TearDown() override {
    if (agent_) {
      agent_->signal(SIGTERM);
      EXPECT_EQ(agent_->wait_for(10s), 0);
    }
  }
  child_process::options run(std::vector<std::string> args) {
    args.insert(args.end(), {"--console", "--config", settings_});
    child_process::options o = agent_options({args, home_.path(), "", out_, err_});
    o.env["PATH"] = work_.file("bin") + ":" + std::getenv("PATH");
    return o;
  }
  void start_agent(const std::string& settings_text) {
    write_text(settings_, settings_text);
    agent_ = std::make_unique<child_process>(run({"--background"}));
    ASSERT_TRUE(eventually([&] { return file_contains(out_, "Log:"); }, 10s)) << read_text(err_);
  }
  int exit_code(std::vector<std::string> args) { return child_process(run(std::move(args))).wait_for(10s).value_or(-1); }

  temp_dir home_, work_;
  std::string settings_ = work_.file("cfg/operator-control.json");
  std::string out_ = work_.file("stdout.txt"), err_ = work_.file("stderr.txt");
  std::string opened_ = work_.file("opened.txt");
  std::unique_ptr<child_process> agent_;
};

std::string page_request(const std::string& line, uint16_t port = 5270) {
  return line + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nOrigin: http://127.0.0.1:" +
         std::to_string(port) + "\r\n\r\n";
}

TEST_F(UiServerTest, ServesThePageAndHandsSecondStartsToOneTabOrOneBrowser) {
  start_agent("{}");
  EXPECT_EQ(exchange(5270, "GET /index.html HTTP/1.1\r\n\r\n"), std::string(kShellFound));
  EXPECT_EQ(exchange(5270, "HEAD / HTTP/1.1\r\n\r\n"), std::string(kShellMethodNotAllowed));
  EXPECT_EQ(exchange(5270, "POST / HTTP/1.1\r\nContent-Length: 0\r\n\r\n"), std::string(kShellMethodNotAllowed));
  for (const char* target : {"/", "/?configure=1"}) {
    EXPECT_EQ(exchange(5270, page_request(std::string("GET ") + target)),
              shell_reply(200, operator_page(), "text/html; charset=utf-8")) << target;
  }

  // An open tab polls, takes the request and acknowledges it: no browser.
  child_process second(run({}));
  std::string id;
  ASSERT_TRUE(eventually([&] {
    id = body_of(exchange(5270, page_request("GET /kel/browser/poll")).value_or(""));
    return id.size() > 14;
  }, 5s));
  id = id.substr(12, id.size() - 14);  // {"request":"ID"}
  EXPECT_EQ(body_of(exchange(5270, page_request("POST /kel/browser/ack?request=" + id)).value_or("")),
            "{\"ok\":true,\"configure\":false}");
  EXPECT_EQ(second.wait_for(10s), 0);

  // Two starts at once with no tab: exactly one browser, at the page.
  child_process third(run({})), fourth(run({}));
  EXPECT_EQ(third.wait_for(10s), 0);
  EXPECT_EQ(fourth.wait_for(10s), 0);
  EXPECT_EQ(exit_code({"--background"}), 0);  // silent
  ASSERT_TRUE(eventually([&] { return !read_text(opened_).empty(); }, 5s));
  std::this_thread::sleep_for(500ms);  // a second, wrong opener would have written by now
  EXPECT_EQ(read_text(opened_), "1 http://127.0.0.1:5270/\n");
}

TEST_F(UiServerTest, TakenPortsExitMovesAndRestoresAndSilentConnectionsAreBounded) {
  raw_connection probe(5270);
  ASSERT_FALSE(probe.ok());
  // Something else listens on 5290.
  unique_fd taken(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(5290);
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(taken.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(::listen(taken.get(), 4), 0);
  write_text(settings_, R"({"uiPort":5290})");
  EXPECT_EQ(exit_code({"--background"}), 4);
  EXPECT_EQ(read_text(err_), "Unable to start Redundancy Control shell on 127.0.0.1:5290\n");
  EXPECT_FALSE(raw_connection(5251).ok());  // the admin API was stopped

  start_agent(R"({"uiPort":5270})");
  auto admin_status = [](const std::string& origin) {
    return status_of(exchange(5251, get("/api/status", "Origin: http://127.0.0.1:" + origin + "\r\n")).value_or(""));
  };
  EXPECT_EQ(admin_status("5271"), 400);  // never served
  EXPECT_EQ(status_of(exchange(5251, post("/api/configure", R"({"uiPort":5271})")).value_or("")), 200);
  ASSERT_TRUE(eventually([&] { return file_contains(out_, "[shell] UI port changed to 5271\n"); }, 5s));
  EXPECT_EQ(status_of(exchange(5271, page_request("GET /", 5271)).value_or("")), 200);
  EXPECT_FALSE(raw_connection(5270).ok());
  EXPECT_EQ(admin_status("5270"), 200);  // a page loaded before the move can follow it
  EXPECT_EQ(admin_status("5271"), 200);

  EXPECT_EQ(status_of(exchange(5251, post("/api/configure", R"({"uiPort":5290})")).value_or("")), 200);
  ASSERT_TRUE(eventually([&] {
    return file_contains(err_, "[shell] unable to bind requested UI port 5290; restoring 5271\n") &&
           file_contains(settings_, "\"uiPort\":5271");
  }, 5s)) << read_text(err_);
  EXPECT_EQ(admin_status("5290"), 400);
  EXPECT_EQ(status_of(exchange(5271, page_request("GET /", 5271)).value_or("")), 200);

  // 200 connections that send nothing hold at most 64 threads, for 2 s.
  std::vector<std::unique_ptr<raw_connection>> silent;
  for (int i = 0; i < 200; ++i) silent.push_back(std::make_unique<raw_connection>(5271));
  std::this_thread::sleep_for(200ms);
  const std::string status = read_text("/proc/" + std::to_string(agent_->pid()) + "/status");
  const int threads = std::stoi(status.substr(status.find("Threads:") + 8));
  EXPECT_LE(threads, 64 + 16) << status;
  EXPECT_TRUE(eventually([&] {
    return status_of(exchange(5271, page_request("GET /", 5271), 1s).value_or("")) == 200;
  }, 10s));
}

}  // namespace
}  // namespace tolvarine::operator_control::testing
