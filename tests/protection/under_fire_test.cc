// Protection under fire: operator transfers and restarts that must not
// flap, alert storms, a slow disk and hostile health answers.
#include <gtest/gtest.h>

#include <future>

#include "common/atomic_file.h"
#include "config/json_value.h"
#include "protection/protection_fixture.h"

namespace tolvarine::operator_control {
namespace {

using namespace std::chrono_literals;
using UnderFireTest = ProtectionFixture;

// The Main's last answer 900 ms old: "main" is refused; answering, it is
// accepted and nothing fails over while it keeps answering.
TEST_F(UnderFireTest, ReturnToMainNeedsAMainAnsweringNow) {
  settle();
  ASSERT_EQ(operate("backup"), "ok");
  advance(900);
  pass(std::nullopt, healthy());
  EXPECT_EQ(operate("main"),
            "Requested server is not ready for takeover. Check engine and protected outputs.");
  pass_healthy();
  EXPECT_EQ(operate("main"), "ok");
  for (int i = 0; i < 8; ++i, advance(250)) pass_healthy();
  EXPECT_FALSE(service_->held_on_backup());
}

// After a restart a held show stays on the Backup until the Backup has
// been polled without an answer for lossMs.
TEST_F(UnderFireTest, RestartKeepsTheBackupUntilItIsSilentForLossMs) {
  settle();
  ASSERT_EQ(operate("backup"), "ok");
  make_service();
  for (int waited = 0; waited < 1000; waited += 250, advance(250)) {
    pass(healthy(), std::nullopt);
    EXPECT_TRUE(service_->selection_pending() && service_->held_on_backup()) << waited;
  }
  pass(healthy(), std::nullopt);
  EXPECT_EQ(service_->active_serial(), kMain);
}

// 220 output faults over a Backup that cannot take over, for 10 s: ids and
// log lines stay bounded, the critical alerts keep their places, and each
// displaced fault logs again only after a minute.
TEST_F(UnderFireTest, AlertStormStaysBounded) {
  settle();
  std::string rules;
  for (int i = 0; i < 110; ++i) {
    rules += (i ? ",{\"mainId\":\"m" : "{\"mainId\":\"m") + std::to_string(i) + "\",\"backupId\":\"b" +
             std::to_string(i) + "\"}";
  }
  configure("{\"outputRules\":[" + rules + "]}");
  auto storm_pass = [this] {
    protection_sample unresponsive = healthy();
    unresponsive.engineResponsive = false;
    pass(healthy(), unresponsive);
  };
  const size_t before = log_lines().size();
  for (int i = 0; i < 40; ++i, advance(250)) storm_pass();
  EXPECT_LE(service_->alerts().back().id, 230u);
  EXPECT_TRUE(active_alert("backup-readiness") && active_alert(std::string(kBackup) + ":responsive"));
  const size_t storm = log_lines().size() - before;
  EXPECT_LE(storm, 230u);
  advance(60000);
  storm_pass();
  EXPECT_EQ(log_lines().size() - before - storm, 22u);
}

// A save held by a slow disk: status answers meanwhile, from the state
// before the move.
TEST(SlowDiskTest, StatusAnswersWhileASaveIsBlocked) {
  testing::temp_dir dir;
  control_config config(dir.file("operator-control.json"));
  std::promise<void> entered, release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<bool> slow{false};
  protection_service::environment env;
  env.save = [&](const std::string& path, const std::string& text) {
    if (slow.exchange(false)) entered.set_value(), released.wait_for(3s);
    return replace_file(path, text);
  };
  protection_service service(config, env);
  slow = true;
  auto disarm = std::async(std::launch::async, [&] {
    std::string error;
    return service.operate("disarm", &error);
  });
  entered.get_future().wait();
  const std::string status = service.json();
  EXPECT_EQ(disarm.wait_for(0s), std::future_status::timeout) << "status waited for the save";
  EXPECT_NE(status.find("\"armed\":true"), std::string::npos) << status;
  release.set_value();
  EXPECT_TRUE(disarm.get());
  EXPECT_FALSE(service.policy().armed);
}

// Server outputs reach the status document only as valid, compact JSON.
TEST(HostileHealthTest, ServerOutputsAreRewrittenOrDropped) {
  const std::pair<const char*, const char*> cases[] = {
      {R"([ {"id" : "a\u00e9\"", "n":-1.5e+3} , null,true ])",
       R"([{"id":"a\u00e9\"","n":-1.5e+3},null,true])"},
      {"[1,,]", "[]"}, {"[01]", "[]"}, {"[\"a\x01\"]", "[]"}, {R"(["\x"])", "[]"},
      {R"([{"a" 1}])", "[]"}, {R"([{"a":1,}])", "[]"}, {"[1.]", "[]"}, {"[tru]", "[]"},
  };
  for (const auto& [outputs, expected] : cases) {
    const std::string body = std::string(R"({"serial":"S1","version":1,"outputs":)") + outputs + "}";
    EXPECT_EQ(read_health_answer(body, "S1", 1500, steady_now())->outputs, expected) << outputs;
  }
  EXPECT_TRUE(compact_json(std::string(64, '[') + std::string(64, ']')));
  EXPECT_FALSE(compact_json(std::string(66, '[') + std::string(66, ']')));
}

}  // namespace
}  // namespace tolvarine::operator_control
