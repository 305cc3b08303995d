#include "web/admin_server.h"

#include <gtest/gtest.h>

#include "web/admin_net_fixture.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;
using testing::body_of;
using testing::exchange;
using testing::get;
using testing::post;
using testing::status_of;

using AdminServerNetTest = AdminNetTest;

TEST_F(AdminServerNetTest, DiscoversPairsAndRoutesToBothSimulators) {
  discover_and_pair();
  std::string status = call(get("/api/status"), 200);
  for (const char* part : {"\"serial\":\"S-MAIN\"", "\"serial\":\"S-BACK\"", "\"streamDeckCount\":0",
                           "\"streamDecks\":[]", "\"protection\":{\"policy\":", "\"configPath\":"}) {
    EXPECT_NE(status.find(part), std::string::npos) << part << " in " << status;
  }

  std::string reply = call(post("/api/route", "{\"functionId\":2,\"payload\":\"CUE|7\"}"), 200);
  EXPECT_EQ(reply,
            "{\"ok\":true,\"routed\":true,\"targetFound\":true,\"mainOnline\":true,\"shared\":true,"
            "\"backupOnline\":true,\"sequence\":1,\"deliveries\":["
            "{\"role\":\"Main\",\"attempted\":true,\"sent\":true,\"error\":\"\"},"
            "{\"role\":\"Backup\",\"attempted\":true,\"sent\":true,\"error\":\"\"}]}");
  EXPECT_TRUE(testing::eventually(
      [&] { return main_->log().find(" CUE|7") != std::string::npos; }, 3s));
  EXPECT_TRUE(testing::eventually(
      [&] { return backup_->log().find(" CUE|7") != std::string::npos; }, 3s));

  reply = call(post("/api/route", "{\"functionId\":9,\"payload\":\"SOLO\"}"), 200);
  EXPECT_NE(reply.find("\"shared\":false,\"backupOnline\":false,\"sequence\":2,"), std::string::npos);
  EXPECT_TRUE(testing::eventually(
      [&] { return main_->log().find(" SOLO") != std::string::npos; }, 3s));

  reply = call(post("/api/route", "{\"functionId\":1,\"targetSerial\":\"S-NONE\",\"payload\":\"x\"}"), 200);
  EXPECT_NE(reply.find("\"targetFound\":false"), std::string::npos);
  EXPECT_NE(reply.find("\"sequence\":3,\"deliveries\":[]"), std::string::npos);
  EXPECT_EQ(backup_->log().find(" SOLO"), std::string::npos);
}

TEST_F(AdminServerNetTest, AnswersQueriesMethodsAndHeaderSpellingsAsDocumented) {
  EXPECT_EQ(call(get("/api/status?x=1"), 404), "not found");
  EXPECT_EQ(call(post("/api/status", "{}"), 404), "not found");
  EXPECT_EQ(call(get("/api/protection"), 404), "not found");
  // An upper-case Content-Length is no Content-Length: the route sees no body.
  EXPECT_EQ(call("POST /api/route HTTP/1.1\r\nCONTENT-LENGTH: 36\r\n\r\n"
                 "{\"functionId\":1,\"payload\":\"GO\"}",
                 400),
            "{\"ok\":false,\"error\":\"functionId and payload are required\"}");
  const std::string page = call(get("/"), 200);
  EXPECT_NE(page.find("http://127.0.0.1:5270/"), std::string::npos);
  EXPECT_EQ(call(post("/api/protection/operate", "{\"operation\":\"disarm\"}"), 200),
            "{\"ok\":true,\"error\":\"\"}");
  EXPECT_EQ(call(post("/api/protection/operate", "{\"operation\":\"Disarm\"}"), 400),
            "{\"ok\":false,\"error\":\"Unknown protection operation.\"}");
  EXPECT_EQ(call(post("/api/role", "{\"serial\":\"S-X\",\"role\":\"main\"}"), 200), "{\"ok\":true}");

  // The port is taken while this server runs.
  admin_server second(config_, discovery_, router_, policy_client_, *decks_, protection_);
  EXPECT_FALSE(second.start(kAdminPort));
}

TEST_F(AdminServerNetTest, RefusesCrossSiteRequestsAndChangesNothing) {
  const auto armed = [&] { return protection_.policy().armed; };
  const bool before = armed();
  const std::string operation = std::string("{\"operation\":\"") + (before ? "disarm" : "arm") + "\"}";
  for (const std::string headers : {"Origin: http://evil.example\r\n", "Origin: null\r\n"}) {
    EXPECT_EQ(call(post("/api/protection/operate", operation, headers), 400),
              "{\"ok\":false,\"error\":\"Request origin not allowed.\"}");
  }
  EXPECT_EQ(call("POST /api/protection/operate HTTP/1.1\r\nHost: evil.example:5251\r\n"
                 "Content-Length: " + std::to_string(operation.size()) + "\r\n\r\n" + operation,
                 400),
            "{\"ok\":false,\"error\":\"Request origin not allowed.\"}");
  EXPECT_EQ(armed(), before);

  EXPECT_EQ(call(post("/api/protection/operate", operation, "Origin: http://127.0.0.1:5270\r\n"), 200),
            "{\"ok\":true,\"error\":\"\"}");
  EXPECT_EQ(armed(), !before);
  EXPECT_EQ(call("POST /api/protection/operate HTTP/1.1\r\nContent-Length: " +
                     std::to_string(operation.size()) + "\r\n\r\n" + operation,
                 200),
            "{\"ok\":true,\"error\":\"\"}");
}

}  // namespace
}  // namespace tolvarine::operator_control
