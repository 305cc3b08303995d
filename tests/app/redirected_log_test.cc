#include "app/redirected_log.h"

#include <gtest/gtest.h>

#include <sstream>
#include <thread>
#include <vector>

#include "support/test_env.h"

namespace tolvarine::operator_control {
namespace {

TEST(RedirectedLogTest, LinesFromManyThreadsArriveWholeAndInOrder) {
  testing::temp_dir dir;
  const std::string path = dir.file("operator-control.log");
  constexpr int kThreads = 8, kLines = 400;
  {
    redirected_log log;
    ASSERT_TRUE(log.open(path));
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([t] {
        for (int i = 0; i < kLines; ++i) {
          (i % 2 ? std::cerr : std::cout) << "[t" << t << "] " << i << ' ' << std::string(60, 'x') << std::endl;
        }
      });
    }
    for (std::thread& w : writers) w.join();
  }
  // Every line whole ("[t<thread>] <n> " and 60 x), each thread's in order.
  std::istringstream text(testing::read_text(path));
  std::vector<int> next(kThreads, 0);
  int lines = 0, t = 0;
  for (std::string line; std::getline(text, line); ++lines) {
    ASSERT_TRUE(std::sscanf(line.c_str(), "[t%d]", &t) == 1 && t >= 0 && t < kThreads) << line;
    ASSERT_EQ(line, "[t" + std::to_string(t) + "] " + std::to_string(next[t]++) + " " + std::string(60, 'x'));
  }
  EXPECT_EQ(lines, kThreads * kLines);
}

}  // namespace
}  // namespace tolvarine::operator_control
