// The built agent with two simulated servers, driven through its admin API
// in one long scenario: status, routing to Main and Backup, the test of a
// saved action, failover on a stopped engine, the held Backup across a
// restart, the logged recovery and the return to the Main. The cross-site
// guard is proven once, in admin_routes_test.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

#include "common/unique_fd.h"
#include "support/agent_pair.h"

namespace tolvarine::operator_control::testing {
namespace {

using namespace std::chrono_literals;

int count_of(const std::string& text, const std::string& needle) {
  int n = 0;
  for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
  return n;
}

bool has(const std::string& text, const std::string& needle) { return text.find(needle) != std::string::npos; }

TEST(AgentTest, RoutesTestsActionsFailsOverAndHoldsTheBackupAcrossARestart) {
  if (!in_test_network()) GTEST_FAIL() << kNeedsTestNetwork;
  unique_fd device(::socket(AF_INET, SOCK_DGRAM, 0));
  sockaddr_in at{AF_INET, htons(7002), {}, {}};
  ::inet_pton(AF_INET, "10.77.0.8", &at.sin_addr);
  ASSERT_EQ(::bind(device.get(), reinterpret_cast<sockaddr*>(&at), sizeof(at)), 0);
  timeval tv{5, 0};
  ::setsockopt(device.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));

  agent_pair pair({}, R"({"startupMs":1000})");
  ASSERT_TRUE(pair.ok()) << pair.error();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(has(pair.status(), "\"streamDeckCount\":0,\"streamDecks\":[]")) << pair.status();
  EXPECT_TRUE(has(pair.status(), "\"configPath\":\"" + pair.settings() + "\""));
  EXPECT_TRUE(eventually([&] { return has(pair.out(), "[status] S-BACK role=Backup online=true uiReady=true "
                                                      "address=10.77.0.3 web=5000 control=1256 backupFor=S-MAIN\n"); }, 5s))
      << pair.out();

  // A shared function reaches both servers, a private one only the Main.
  std::string reply = pair.post_reply("/api/route", R"({"functionId":2,"payload":"GO 1"})");
  EXPECT_TRUE(has(reply, "\"ok\":true,\"routed\":true")) << reply;
  auto udp = [](simulator& s) { return count_of(s.log(), "[sim] udp from"); };
  EXPECT_TRUE(eventually([&] { return udp(pair.main()) == 1 && udp(pair.backup()) == 1; }, 5s));
  EXPECT_TRUE(has(pair.post_reply("/api/route", R"({"functionId":9,"payload":"GO 2"})"), "\"shared\":false"));
  EXPECT_TRUE(eventually([&] { return udp(pair.main()) == 2 && has(pair.main().log(), "GO 2"); }, 5s));
  EXPECT_TRUE(has(pair.out(), "[route] Main -> 10.77.0.2:1256 serial=S-MAIN\n"
                              "[route] Backup -> 10.77.0.3:1256 serial=S-BACK\n")) << pair.out();

  // Testing an action needs it saved; the test sends it to the device.
  EXPECT_EQ(body_of(pair.post_reply("/api/protection/test", R"({"index":0})")),
            R"({"ok":false,"error":"Save the action before testing it."})");
  EXPECT_EQ(body_of(pair.post_reply("/api/protection",
                                    R"({"startupMs":1000,"actions":[{"name":"switcher","host":"10.77.0.8",)"
                                    R"("port":7002,"transport":"UDP","payload":"CUT\\r","enabled":true}]})")),
            R"({"ok":true,"error":""})");
  EXPECT_EQ(body_of(pair.post_reply("/api/protection/test", R"({"index":0})")), R"({"ok":true,"error":""})");
  char buf[64];
  ASSERT_EQ(::recv(device.get(), buf, sizeof(buf), 0), 4);
  EXPECT_EQ(std::string(buf, 4), "CUT\r");
  EXPECT_TRUE(eventually([&] {
    return has(pair.status(), "\"lastAction\":\"Test action: sequence sent; device execution unconfirmed.\"");
  }, 5s));

  // A stopped engine on the Main moves operation to the Backup, which is
  // held there across a restart until the operator returns.
  auto active = [&](const std::string& serial) {
    return eventually([&] { return has(pair.status(), "\"activeSerial\":\"" + serial + "\""); }, 10s);
  };
  ASSERT_TRUE(active("S-MAIN")) << pair.status();
  std::this_thread::sleep_until(started + 1500ms);  // past the startup grace
  ASSERT_TRUE(pair.main().set("engine=stopped"));
  ASSERT_TRUE(active("S-BACK")) << pair.status();
  const std::string failed = pair.status();
  EXPECT_TRUE(has(failed, R"("message":"Main: Engine stopped or exited.","severity":"critical")")) << failed;
  EXPECT_TRUE(has(failed, "Main: Engine stopped or exited.; operating on Backup. Return to Main manually when ready."));
  EXPECT_EQ(pair.stop(), 0);

  pair.start();
  ASSERT_TRUE(pair.ok()) << pair.error();
  EXPECT_TRUE(has(pair.status(), "\"heldOnBackup\":true"));
  ASSERT_TRUE(active("S-BACK"));
  EXPECT_EQ(body_of(pair.post_reply("/api/protection/operate", R"({"operation":"main"})")),
            R"({"ok":false,"error":"Requested server is not ready for takeover. Check engine and protected outputs."})");
  std::this_thread::sleep_for(1500ms);  // the stopped engine is raised again after the grace
  ASSERT_TRUE(pair.main().set("engine=running"));
  EXPECT_TRUE(eventually([&] {
    return has(read_text(pair.settings() + ".protection.json.alerts.jsonl"),
               R"("event":"recovered","key":"S-MAIN:engine")");
  }, 5s));
  EXPECT_TRUE(has(pair.status(), "\"activeSerial\":\"S-BACK\"")) << "no automatic return";
  EXPECT_TRUE(eventually([&] {
    return has(pair.post_reply("/api/protection/operate", R"({"operation":"main"})"), "\"ok\":true");
  }, 5s));
  EXPECT_TRUE(active("S-MAIN"));
  EXPECT_TRUE(has(pair.status(), "\"heldOnBackup\":false"));
  EXPECT_EQ(pair.stop(), 0);
}

}  // namespace
}  // namespace tolvarine::operator_control::testing
