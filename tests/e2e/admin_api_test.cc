// The admin API of the built agent with two simulated servers: status,
// command routing to Main and Backup, and the cross-site guard.
#include <gtest/gtest.h>
#include <signal.h>

#include "e2e/agent_process.h"
#include "support/simulator.h"
#include "support/test_env.h"
#include "web/test_http_client.h"

namespace tolvarine::operator_control::testing {
namespace {

using namespace std::chrono_literals;

class AdminApiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!in_test_network()) GTEST_FAIL() << kNeedsTestNetwork;
    main_ = std::make_unique<simulator>("10.77.0.2", "S-MAIN", "Server A");
    backup_ = std::make_unique<simulator>("10.77.0.3", "S-BACK", "Server B");
    ASSERT_TRUE(main_->serving() && backup_->serving());
    write_text(settings_,
               R"({"enabled":true,"controllerConfigured":true,"systems":[)"
               R"({"serial":"S-MAIN","address":"10.77.0.2","webPort":5000,"role":"Main"},)"
               R"({"serial":"S-BACK","address":"10.77.0.3","webPort":5000,"role":"Backup","backupForSerial":"S-MAIN"}],)"
               R"("sharedFunctionIds":[1,2]})");
    agent_ = std::make_unique<child_process>(agent_options(
        {{"--console", "--background", "--config", settings_}, home_.path(), "", out_, err_}));
    ASSERT_TRUE(eventually([&] {
      const std::string body = body_of(exchange(5251, get("/api/status"), 1s).value_or(""));
      return body.find("\"online\":true") != body.rfind("\"online\":true");  // both online
    }, 20s)) << read_text(err_);
  }
  void TearDown() override {
    if (agent_) {
      agent_->signal(SIGTERM);
      EXPECT_EQ(agent_->wait_for(10s), 0);
    }
  }
  static int udp_count(simulator& sim) {
    const std::string log = sim.log();
    int n = 0;
    for (size_t at = log.find("[sim] udp from"); at != std::string::npos; at = log.find("[sim] udp from", at + 1)) ++n;
    return n;
  }

  temp_dir home_, work_;
  std::string settings_ = work_.file("operator-control.json");
  std::string out_ = work_.file("agent.out"), err_ = work_.file("agent.err");
  std::unique_ptr<simulator> main_, backup_;
  std::unique_ptr<child_process> agent_;
};

TEST_F(AdminApiTest, StatusAndRoutingThroughTheBuiltAgent) {
  const std::string status = body_of(exchange(5251, get("/api/status")).value_or(""));
  EXPECT_NE(status.find("\"streamDeckCount\":0,\"streamDecks\":[]"), std::string::npos) << status;
  EXPECT_NE(status.find("\"configPath\":\"" + settings_ + "\""), std::string::npos) << status;

  // A shared function reaches both servers, a private one only the Main.
  std::string reply = body_of(exchange(5251, post("/api/route", R"({"functionId":2,"payload":"GO 1"})")).value_or(""));
  EXPECT_NE(reply.find("\"ok\":true,\"routed\":true"), std::string::npos) << reply;
  EXPECT_TRUE(eventually([&] { return udp_count(*main_) == 1 && udp_count(*backup_) == 1; }, 5s));
  reply = body_of(exchange(5251, post("/api/route", R"({"functionId":9,"payload":"GO 2"})")).value_or(""));
  EXPECT_NE(reply.find("\"shared\":false"), std::string::npos) << reply;
  EXPECT_TRUE(eventually([&] { return udp_count(*main_) == 2; }, 5s));
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(udp_count(*backup_), 1);
  EXPECT_NE(main_->log().find("GO 2"), std::string::npos);
  EXPECT_TRUE(eventually([&] {
    return read_text(out_).find("[route] Main -> 10.77.0.2:1256 serial=S-MAIN\n[route] Backup -> 10.77.0.3:1256 serial=S-BACK\n") !=
           std::string::npos;
  }, 2s)) << read_text(out_);

  reply = exchange(5251, post("/api/route", R"({"functionId":0,"payload":"x"})")).value_or("");
  EXPECT_EQ(status_of(reply), 400);
}

TEST_F(AdminApiTest, CrossSiteRequestsChangeNothing) {
  const std::string arm = R"({"operation":"disarm"})";
  for (const std::string& headers : {std::string("Origin: http://evil.example\r\n"), std::string("Origin: null\r\n")}) {
    const std::string reply = exchange(5251, post("/api/protection/operate", arm, headers)).value_or("");
    EXPECT_EQ(status_of(reply), 400) << headers;
    EXPECT_EQ(body_of(reply), "{\"ok\":false,\"error\":\"Request origin not allowed.\"}");
  }
  const std::string rebound = "POST /api/protection/operate HTTP/1.1\r\nHost: evil.example:5251\r\n"
                              "Content-Length: " + std::to_string(arm.size()) + "\r\n\r\n" + arm;
  EXPECT_EQ(status_of(exchange(5251, rebound).value_or("")), 400);
  EXPECT_TRUE(eventually([&] {
    return read_text(err_).find("[admin] refused origin=http://evil.example host=127.0.0.1:5251") != std::string::npos;
  }, 2s)) << read_text(err_);
  auto armed = [] {
    return body_of(exchange(5251, get("/api/status")).value_or("")).find("\"armed\":true,") != std::string::npos;
  };
  EXPECT_TRUE(armed());
  // The operator page's own origin is served.
  const std::string page = exchange(5251, post("/api/protection/operate", R"({"operation":"disarm"})",
                                               "Origin: http://127.0.0.1:5270\r\n")).value_or("");
  EXPECT_EQ(status_of(page), 200) << page;
  EXPECT_FALSE(armed());
}

}  // namespace
}  // namespace tolvarine::operator_control::testing
