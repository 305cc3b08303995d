// The built agent's admin API under hostile clients: slow readers, memory
// hogs and a process out of descriptors.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <filesystem>
#include <future>
#include <memory>
#include <thread>
#include <vector>

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
using connections = std::vector<std::unique_ptr<raw_connection>>;

class AdminHostileNetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!in_test_network()) GTEST_FAIL() << kNeedsTestNetwork;
    agent_ = std::make_unique<child_process>(agent_options(
        {"--console", "--background", "--config", work_.file("settings.json")}, home_.path(), "", err_));
    ASSERT_TRUE(eventually([&] { return status() == 200; }, 20s)) << read_text(err_);
  }
  void TearDown() override {
    agent_->signal(SIGTERM);
    EXPECT_EQ(agent_->wait_for(10s), 0);
  }
  static int status() { return status_of(exchange(5251, get("/api/status"), 10s).value_or("")); }
  static connections open(size_t n, const std::string& text, int receive_buffer = 0) {
    connections all;
    for (size_t i = 0; i < n; ++i) {
      all.push_back(std::make_unique<raw_connection>(5251, "127.0.0.1", receive_buffer));
      EXPECT_TRUE(all.back()->send_text(text));
    }
    return all;
  }
  // Whether any thread of the agent is running or waiting to run: a thread
  // spinning is, whatever the machine's load; a calm one sleeps.
  bool busy() const {
    const std::string tasks = "/proc/" + std::to_string(agent_->pid()) + "/task";
    for (const auto& task : std::filesystem::directory_iterator(tasks)) {
      const std::string stat = read_text(task.path().string() + "/stat");
      if (stat.compare(stat.rfind(')') + 2, 1, "R") == 0) return true;
    }
    return false;
  }

  temp_dir home_, work_;
  std::string err_ = work_.file("agent.err");
  std::unique_ptr<child_process> agent_;
};

// 64 clients that read a large reply a little at a time hold no worker:
// status is answered meanwhile, and each is cut off at the connection limit.
TEST_F(AdminHostileNetTest, SlowReadersCannotStarveTheApi) {
  std::string rules;  // a status document of about 640 kB
  for (int i = 0; i < 40; ++i) {
    const std::string id = std::to_string(i) + std::string(8000, 'x');
    rules += std::string(i ? "," : "") + R"({"mainId":"m)" + id + R"(","backupId":"b)" + id + "\"}";
  }
  const std::string configured =
      exchange(5251, post("/api/protection", "{\"outputRules\":[" + rules + "]}")).value_or("");
  ASSERT_EQ(status_of(configured), 200) << configured.substr(0, 300);
  const size_t full = exchange(5251, get("/api/status")).value_or("").size();
  ASSERT_GT(full, 600000u);

  connections slow = open(64, get("/api/status"), 4096);
  auto answered = std::async(std::launch::async, [] {
    return exchange(5251, get("/api/status"), 10s).value_or("").size();
  });
  std::vector<size_t> got(slow.size());
  for (int round = 0; round < 18; ++round) {  // 4 KiB every half second for 9 s
    for (size_t i = 0; i < slow.size(); ++i) got[i] += slow[i]->read_some(4096);
    std::this_thread::sleep_for(500ms);
  }
  EXPECT_EQ(answered.get(), full);
  for (size_t i = 0; i < slow.size(); ++i) {
    EXPECT_LT(got[i] + slow[i]->read_all(5s).value_or(std::string(full, '+')).size(), full) << i;
  }
}

// Requests declaring 4 MB each: the fifth passes the 16 MiB ceiling and is
// refused at once; status is still answered.
TEST_F(AdminHostileNetTest, HeldRequestBytesAreBounded) {
  const std::string hog =
      "POST /api/shared HTTP/1.1\r\nContent-Length: 4000000\r\n\r\n" + std::string(100000, '[');
  connections hogs = open(4, hog);
  std::this_thread::sleep_for(200ms);
  connections refused = open(1, hog);
  EXPECT_EQ(status_of(refused[0]->read_all(1s).value_or("")), 413);
  EXPECT_EQ(status(), 200);
}

// Out of descriptors, the agent neither spins on its listener nor logs more
// than once, and serves again once descriptors are free.
TEST_F(AdminHostileNetTest, OutOfDescriptorsDoesNotSpin) {
#ifdef TRC_SANITIZED
  GTEST_SKIP() << "sanitizer runtimes report false errors without spare descriptors";
#endif
  const std::string fds = "/proc/" + std::to_string(agent_->pid()) + "/fd";
  const auto in_use = std::distance(std::filesystem::directory_iterator(fds), {});
  rlimit original{};
  ASSERT_EQ(prlimit(agent_->pid(), RLIMIT_NOFILE, nullptr, &original), 0);
  const rlimit low{static_cast<rlim_t>(in_use + 3), original.rlim_max};
  ASSERT_EQ(prlimit(agent_->pid(), RLIMIT_NOFILE, &low, nullptr), 0);
  connections idle = open(12, "");
  std::this_thread::sleep_for(200ms);
  int busy_samples = 0;
  for (int i = 0; i < 50; ++i, std::this_thread::sleep_for(20ms)) busy_samples += busy();
  EXPECT_LT(busy_samples, 10);
  idle.clear();
  ASSERT_EQ(prlimit(agent_->pid(), RLIMIT_NOFILE, &original, nullptr), 0);
  EXPECT_EQ(status(), 200) << read_text(err_);
  const std::string log = read_text(err_);
  const std::string line = "[admin] Out of file descriptors; new connections wait.";
  EXPECT_NE(log.find(line), std::string::npos) << log;
  EXPECT_EQ(log.find(line), log.rfind(line)) << log;
}

}  // namespace
}  // namespace tolvarine::operator_control::testing
