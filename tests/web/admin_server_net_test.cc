#include <gtest/gtest.h>

#include "web/admin_net_fixture.h"
#include "web/admin_server.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;
using testing::get;
using testing::post;

using AdminServerNetTest = AdminNetTest;

TEST_F(AdminServerNetTest, DiscoversPairsAndRoutesToBothSimulators) {
  EXPECT_EQ(call(post("/api/discover", ""), 200), "{\"ok\":true}");
  EXPECT_EQ(call(post("/api/configure", R"({"enabled":true,"mainSerial":"S-MAIN",)"
                                        R"("backupSerial":"S-BACK","sharedFunctionIds":[1,2,3]})"),
                 200),
            R"({"ok":true,"serverUpdated":true,"uiPort":5270,"uiPortChanged":false,)"
            R"("message":"Main event pairing is synchronized."})");
  const std::string status = call(get("/api/status"), 200);
  for (const char* part : {"\"serial\":\"S-MAIN\"", "\"serial\":\"S-BACK\"", "\"streamDecks\":[]",
                           "\"protection\":{\"policy\":", "\"configPath\":"}) {
    EXPECT_NE(status.find(part), std::string::npos) << part << " in " << status;
  }
  const auto received = [](testing::simulator& sim, const std::string& payload) {
    return testing::eventually([&] { return sim.log().find(" " + payload) != std::string::npos; },
                               3s);
  };

  EXPECT_EQ(call(post("/api/route", R"({"functionId":2,"payload":"CUE|7"})"), 200),
            R"({"ok":true,"routed":true,"targetFound":true,"mainOnline":true,"shared":true,)"
            R"("backupOnline":true,"sequence":1,"deliveries":[)"
            R"({"role":"Main","attempted":true,"sent":true,"error":""},)"
            R"({"role":"Backup","attempted":true,"sent":true,"error":""}]})");
  EXPECT_TRUE(received(*main_, "CUE|7"));
  EXPECT_TRUE(received(*backup_, "CUE|7"));

  std::string reply = call(post("/api/route", R"({"functionId":9,"payload":"SOLO"})"), 200);
  EXPECT_NE(reply.find(R"("shared":false,"backupOnline":false,"sequence":2,)"), std::string::npos);
  EXPECT_TRUE(received(*main_, "SOLO"));

  reply =
      call(post("/api/route", R"({"functionId":1,"targetSerial":"S-NONE","payload":"x"})"), 200);
  EXPECT_NE(
      reply.find(R"("targetFound":false,"mainOnline":false,"shared":true,"backupOnline":false,)"
                 R"("sequence":3,"deliveries":[]})"),
      std::string::npos);
  EXPECT_EQ(backup_->log().find(" SOLO"), std::string::npos);
}

TEST_F(AdminServerNetTest, AnswersOverTheWireAsDocumented) {
  EXPECT_EQ(call(get("/api/status?x=1"), 404), "not found");
  EXPECT_EQ(call(post("/api/status", "{}"), 404), "not found");
  // An upper-case Content-Length is no Content-Length: the route sees no body.
  EXPECT_EQ(call("POST /api/route HTTP/1.1\r\nCONTENT-LENGTH: 32\r\n\r\n"
                 "{\"functionId\":1,\"payload\":\"GO\"}",
                 400),
            "{\"ok\":false,\"error\":\"functionId and payload are required\"}");
  EXPECT_NE(call(get("/"), 200).find("http://127.0.0.1:5270/"), std::string::npos);
  EXPECT_EQ(call(post("/api/protection/operate", "{\"operation\":\"Disarm\"}"), 400),
            "{\"ok\":false,\"error\":\"Unknown protection operation.\"}");

  // The port is taken while this server runs.
  admin_server second(config_, discovery_, router_, policy_client_, *decks_, protection_);
  EXPECT_FALSE(second.start(kAdminPort));
}

}  // namespace
}  // namespace tolvarine::operator_control
