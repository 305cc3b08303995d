// The built agent's admin API with the process out of descriptors (slow
// readers and memory hogs are covered on the listener itself).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <thread>

#include "support/test_env.h"
#include "web/test_http_client.h"

namespace tolvarine::operator_control::testing {
namespace {

#if defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TRC_SANITIZED 1
#endif
#endif

using namespace std::chrono_literals;

// Out of descriptors, the agent neither spins on its listener nor logs more
// than once, and serves again once descriptors are free.
TEST(AdminHostileNetTest, OutOfDescriptorsDoesNotSpin) {
#ifdef TRC_SANITIZED
  GTEST_SKIP() << "sanitizer runtimes report false errors without spare descriptors";
#endif
  if (!in_test_network()) GTEST_FAIL() << kNeedsTestNetwork;
  temp_dir home, work;
  const std::string err = work.file("agent.err");
  child_process agent(agent_options(
      {"--console", "--background", "--config", work.file("settings.json")}, home.path(), "", err));
  auto status = [] { return status_of(exchange(5251, get("/api/status"), 10s).value_or("")); };
  ASSERT_TRUE(eventually([&] { return status() == 200; }, 20s)) << read_text(err);
  // Whether any thread of the agent is running or waiting to run: a thread
  // spinning is, whatever the machine's load; a calm one sleeps.
  const std::string proc = "/proc/" + std::to_string(agent.pid());
  auto busy = [&] {
    for (const auto& task : std::filesystem::directory_iterator(proc + "/task")) {
      const std::string stat = read_text(task.path().string() + "/stat");
      if (stat.compare(stat.rfind(')') + 2, 1, "R") == 0) return true;
    }
    return false;
  };
  const auto in_use = std::distance(std::filesystem::directory_iterator(proc + "/fd"), {});
  rlimit original{};
  ASSERT_EQ(prlimit(agent.pid(), RLIMIT_NOFILE, nullptr, &original), 0);
  const rlimit low{static_cast<rlim_t>(in_use + 3), original.rlim_max};
  ASSERT_EQ(prlimit(agent.pid(), RLIMIT_NOFILE, &low, nullptr), 0);
  {
    std::vector<std::unique_ptr<raw_connection>> idle;
    for (int i = 0; i < 12; ++i) idle.push_back(std::make_unique<raw_connection>(5251));
    std::this_thread::sleep_for(200ms);
    int busy_samples = 0;
    for (int i = 0; i < 50; ++i, std::this_thread::sleep_for(20ms)) busy_samples += busy();
    EXPECT_LT(busy_samples, 10);
  }
  ASSERT_EQ(prlimit(agent.pid(), RLIMIT_NOFILE, &original, nullptr), 0);
  EXPECT_EQ(status(), 200) << read_text(err);
  const std::string log = read_text(err);
  const std::string line = "[admin] Out of file descriptors; new connections wait.";
  EXPECT_NE(log.find(line), std::string::npos) << log;
  EXPECT_EQ(log.find(line), log.rfind(line)) << log;
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.wait_for(10s), 0);
}

}  // namespace
}  // namespace tolvarine::operator_control::testing
