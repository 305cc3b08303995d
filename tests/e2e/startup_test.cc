// The agent as a process: file locations, command line, single instance,
// log redirection, banner, settings migration and signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "support/test_env.h"

namespace tolvarine::operator_control::testing {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class StartupTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!in_test_network()) GTEST_FAIL() << kNeedsTestNetwork;
  }
  // The agent with `args`, HOME set to `home` (unset when empty), in `cwd`.
  std::unique_ptr<child_process> run(std::vector<std::string> args, const std::string& home,
                                     const std::string& cwd = "") {
    child_process::options o = agent_options(std::move(args), home, out_);
    o.cwd = cwd;
    return std::make_unique<child_process>(o);
  }
  bool wait_for_text(const std::string& path, const std::string& text) {
    return eventually([&] { return file_has(path, text); }, 10s);
  }
  void terminate(child_process& agent, int sig = SIGTERM) {
    agent.signal(sig);
    EXPECT_EQ(agent.wait_for(10s), 0);
  }

  temp_dir home_, work_;
  std::string out_ = work_.file("stdout.txt");
  std::string folder_ = home_.path() + "/.config/Brellin Labs/Tolvarine OperatorControl";
};

TEST_F(StartupTest, DefaultLocationsBannerLockSecondInstanceAndSignals) {
  auto agent = run({"--background"}, home_.path(), work_.path());
  const std::string log = folder_ + "/operator-control.log";
  ASSERT_TRUE(wait_for_text(log, "Log:"));
  EXPECT_NE(read_text(log).find("Tolvarine-Redundancy-Control 0.9.2\n"
                                "Operator view: http://127.0.0.1:5270/\n"
                                "Diagnostics:   http://127.0.0.1:5251/\n"
                                "Config:        " + folder_ + "/operator-control.json\n"
                                "Log:           " + log + "\n"), std::string::npos) << read_text(log);
  EXPECT_EQ(read_text(out_).find("Operator view"), std::string::npos);  // the log took stdout
  struct stat st{};
  ASSERT_EQ(stat((folder_ + "/operator-control.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A second start on the same folder exits 0; another folder is another
  // instance, which finds the admin API port taken.
  EXPECT_EQ(run({"--background", "--config=" + folder_ + "/operator-control.json"}, home_.path())->wait_for(10s), 0);
  EXPECT_EQ(run({"--background", work_.file("other/settings.json")}, home_.path())->wait_for(10s), 3);
  EXPECT_NE(read_text(work_.file("other/operator-control.log"))
                .find("Unable to start Redundancy Control API on 127.0.0.1:5251\n"), std::string::npos);
  EXPECT_TRUE(agent->running());
  terminate(*agent, SIGINT);
  EXPECT_TRUE(fs::exists(folder_ + "/operator-control.lock"));  // never deleted

  // --console keeps output on the terminal, even when the log cannot be opened.
  fs::create_directories(work_.file("cfg/operator-control.log"));
  agent = run({"--console", "--background", "--config", work_.file("cfg/settings.json")}, home_.path());
  ASSERT_TRUE(wait_for_text(out_, "Config:        " + work_.file("cfg/settings.json")));
  terminate(*agent);

  for (const char* flag : {"--version", "--help"}) EXPECT_EQ(run({flag, work_.file("x/s.json")}, "")->wait_for(5s), 0);
  EXPECT_NE(read_text(out_).find("--config PATH"), std::string::npos);
  EXPECT_FALSE(fs::exists(work_.file("x")));
}

TEST_F(StartupTest, HomeUnsetUsesTheWorkingDirectoryAndSettingsThereAreCopiedOnce) {
  auto agent = run({"--background"}, "", work_.path());
  ASSERT_TRUE(wait_for_text(work_.file("operator-control.log"),
                            "Config:        " + work_.path() + "/operator-control.json"));
  EXPECT_TRUE(fs::exists(work_.file("operator-control.lock")));
  terminate(*agent);

  write_text(work_.file("operator-control.json"), R"({"uiPort":6123,"systems":[]})");
  agent = run({"--background"}, home_.path(), work_.path());
  ASSERT_TRUE(wait_for_text(folder_ + "/operator-control.log", "Operator view: http://127.0.0.1:6123/"));
  terminate(*agent);
  EXPECT_TRUE(fs::exists(work_.file("operator-control.json")));  // the old file stays
  write_text(work_.file("operator-control.json"), R"({"uiPort":6200})");
  write_text(folder_ + "/operator-control.json", R"({"uiPort":6124})");
  agent = run({"--background"}, home_.path(), work_.path());
  EXPECT_TRUE(wait_for_text(folder_ + "/operator-control.log", "Operator view: http://127.0.0.1:6124/"));
  terminate(*agent);
}

}  // namespace
}  // namespace tolvarine::operator_control::testing
