// The built agent with two simulated servers, driven through its admin API
// in one long scenario: status, routing to Main and Backup, failover on a
// stopped engine, the held Backup across a restart, the logged recovery and
// the return to the Main. Testing a saved action: the page scenarios.
#include <gtest/gtest.h>
#include <thread>

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

TEST(AgentTest, RoutesFailsOverAndHoldsTheBackupAcrossARestart) {
  if (!in_test_network()) GTEST_FAIL() << kNeedsTestNetwork;
  agent_pair pair({}, R"({"startupMs":1000})");
  ASSERT_TRUE(pair.ok()) << pair.error();
  const auto started = std::chrono::steady_clock::now();
  EXPECT_TRUE(has(pair.status(), "\"configPath\":\"" + pair.settings() + "\""));
  EXPECT_TRUE(eventually([&] {
    return has(pair.out(), "[status] S-BACK role=Backup online=true uiReady=true address=10.77.0.3 web=5000 "
                           "control=1256 backupFor=S-MAIN\n");
  }, 5s)) << pair.out();

  // A shared function reaches both servers, once each (private ones: unit tests).
  std::string reply = pair.post_reply("/api/route", R"({"functionId":2,"payload":"GO 1"})");
  EXPECT_TRUE(has(reply, "\"ok\":true,\"routed\":true")) << reply;
  auto sent = [&](const char* address) { return count_of(pair.sims().log(address), "[sim] udp from") == 1; };
  EXPECT_TRUE(eventually([&] { return sent(sim_pair::kMainAddress) && sent(sim_pair::kBackupAddress); }, 5s));
  EXPECT_TRUE(has(pair.out(), "[route] Main -> 10.77.0.2:1256 serial=S-MAIN\n"
                              "[route] Backup -> 10.77.0.3:1256 serial=S-BACK\n")) << pair.out();

  // A stopped engine on the Main moves operation to the Backup, which is
  // held there across a restart until the operator returns.
  auto active = [&](const std::string& serial) {
    return eventually([&] { return has(pair.status(), "\"activeSerial\":\"" + serial + "\""); }, 10s);
  };
  ASSERT_TRUE(active("S-MAIN")) << pair.status();
  std::this_thread::sleep_until(started + 1500ms);  // past the startup grace
  ASSERT_TRUE(sim_pair::set(sim_pair::kMainAddress, "engine=stopped"));
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
  ASSERT_TRUE(sim_pair::set(sim_pair::kMainAddress, "engine=running"));
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
