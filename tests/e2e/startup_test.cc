// The agent as a process: file locations, command line, single instance,
// log redirection, banner and signals.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include "e2e/agent_process.h"
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
  temp_dir home_;
  temp_dir work_;
  std::string out_ = work_.file("stdout.txt");
  std::string err_ = work_.file("stderr.txt");
};

TEST_F(StartupTest, DefaultLocationsBannerAndSigterm) {
  child_process agent(agent_options({{"--background"}, home_.path(), work_.path(), out_, err_}));
  const std::string folder = data_folder(home_.path());
  const std::string log = folder + "/operator-control.log";
  ASSERT_TRUE(eventually([&] { return file_contains(log, "Log:"); }, 10s)) << read_text(err_);
  const std::string banner = "Tolvarine-Redundancy-Control 0.9.2\n"
                             "Operator view: http://127.0.0.1:5270/\n"
                             "Diagnostics:   http://127.0.0.1:5251/\n"
                             "Config:        " + folder + "/operator-control.json\n"
                             "Log:           " + log + "\n";
  EXPECT_TRUE(file_contains(log, banner)) << read_text(log);
  EXPECT_FALSE(file_contains(out_, "Operator view"));  // the log took stdout

  struct stat st{};
  ASSERT_EQ(stat((folder + "/operator-control.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  agent.signal(SIGTERM);
  EXPECT_EQ(agent.wait_for(10s), 0);
  EXPECT_TRUE(fs::exists(folder + "/operator-control.lock"));  // never deleted
}

TEST_F(StartupTest, SecondInstanceOnSameFolderExitsZero) {
  const std::string config = work_.file("cfg/settings.json");
  child_process first(agent_options({{"--background", "--config", config}, home_.path(), "", out_, err_}));
  const std::string log = work_.file("cfg/operator-control.log");
  ASSERT_TRUE(eventually([&] { return file_contains(log, "Log:"); }, 10s));

  child_process second(agent_options({{"--background", "--config=" + config}, home_.path(), "", "", ""}));
  EXPECT_EQ(second.wait_for(10s), 0);
  EXPECT_TRUE(first.running());
  // A different folder is a different instance, which then finds the admin
  // API port taken.
  const std::string other_err = work_.file("other-stderr.txt");
  child_process other(agent_options({{"--background", work_.file("other/settings.json")}, home_.path(), "", "",
                                     other_err}));
  EXPECT_EQ(other.wait_for(10s), 3);
  EXPECT_TRUE(file_contains(work_.file("other/operator-control.log"),
                            "Unable to start Redundancy Control API on 127.0.0.1:5251\n"));
  EXPECT_TRUE(first.running());
  first.signal(SIGINT);
  EXPECT_EQ(first.wait_for(10s), 0);
}

TEST_F(StartupTest, ConsoleKeepsOutputOnTerminal) {
  child_process agent(agent_options({{"--console", "--background", work_.file("settings.json")},
                                     home_.path(), "", out_, err_}));
  ASSERT_TRUE(eventually([&] { return file_contains(out_, "Log:"); }, 10s));
  EXPECT_TRUE(file_contains(out_, "Config:        " + work_.file("settings.json")));
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.wait_for(10s), 0);
  EXPECT_EQ(read_text(work_.file("operator-control.log")), "");
}

TEST_F(StartupTest, HomeUnsetUsesWorkingDirectory) {
  child_process agent(agent_options({{"--background"}, "", work_.path(), out_, err_}));
  ASSERT_TRUE(eventually([&] { return file_contains(work_.file("operator-control.log"), "Log:"); }, 10s));
  EXPECT_TRUE(file_contains(work_.file("operator-control.log"),
                            "Config:        " + work_.path() + "/operator-control.json"));
  EXPECT_TRUE(fs::exists(work_.file("operator-control.lock")));
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.wait_for(10s), 0);
}

TEST_F(StartupTest, MigratesWorkingDirectorySettingsOnce) {
  const std::string old_settings = R"({"uiPort":6123,"systems":[]})";
  write_text(work_.file("operator-control.json"), old_settings);
  const std::string copied = data_folder(home_.path()) + "/operator-control.json";
  {
    child_process agent(agent_options({{"--background"}, home_.path(), work_.path(), out_, err_}));
    ASSERT_TRUE(eventually([&] { return fs::exists(data_folder(home_.path()) + "/operator-control.log") &&
                                        file_contains(data_folder(home_.path()) + "/operator-control.log", "Log:"); },
                           10s));
    EXPECT_TRUE(file_contains(data_folder(home_.path()) + "/operator-control.log",
                              "Operator view: http://127.0.0.1:6123/"));
    agent.signal(SIGTERM);
    EXPECT_EQ(agent.wait_for(10s), 0);
  }
  EXPECT_TRUE(fs::exists(work_.file("operator-control.json")));  // the old file stays
  // Once the data folder has settings, the working directory's file is not copied again.
  write_text(work_.file("operator-control.json"), R"({"uiPort":6200})");
  write_text(copied, R"({"uiPort":6124})");
  child_process again(agent_options({{"--background"}, home_.path(), work_.path(), out_, err_}));
  ASSERT_TRUE(eventually([&] { return file_contains(data_folder(home_.path()) + "/operator-control.log",
                                                    "Operator view: http://127.0.0.1:6124/"); }, 10s));
  again.signal(SIGTERM);
  EXPECT_EQ(again.wait_for(10s), 0);
}

TEST_F(StartupTest, UnopenableLogDoesNotStopStartup) {
  fs::create_directories(work_.file("cfg/operator-control.log"));  // a folder where the log should be
  child_process agent(agent_options({{"--background", work_.file("cfg/settings.json")}, home_.path(), "", out_, err_}));
  EXPECT_TRUE(eventually([&] { return file_contains(out_, "Log:"); }, 10s));
  agent.signal(SIGTERM);
  EXPECT_EQ(agent.wait_for(10s), 0);
}

TEST_F(StartupTest, HelpAndVersionTouchNothing) {
  for (const char* flag : {"--version", "--help"}) {
    child_process info(agent_options({{flag, work_.file("x/settings.json")}, home_.path(), "", out_, err_}));
    EXPECT_EQ(info.wait_for(5s), 0) << flag;
  }
  EXPECT_TRUE(file_contains(out_, "Tolvarine-Redundancy-Control 0.9.2\n"));
  EXPECT_TRUE(file_contains(out_, "--config PATH"));
  EXPECT_FALSE(fs::exists(work_.file("x")));
  EXPECT_FALSE(fs::exists(home_.file("Library")));
}

}  // namespace
}  // namespace tolvarine::operator_control::testing
